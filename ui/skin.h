// The skin: window layouts (Qt Designer XML) and images compiled into the program, the loader
// that builds a window's controls from a layout, and the lookup of controls by name.
#pragma once

#include <QEvent>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <map>
#include <string>

namespace halvern::ui {

// Registers the skin resource with Qt; safe to call more than once. Every other function of
// this file calls it.
void InitSkin();

// Resource path of a layout. Layouts are addressed by their skin names: "skin.xml",
// "PageScan.xml" and "xml/skin.xml" all name members of the skin's "xml" folder.
QString LayoutPath(const QString& layoutName);
// Resource path of an image or animation of the skin ("Controls.png", "iTunesScanning.gif").
QString ImagePath(const QString& fileName);
// The skin's style sheet (colours, fonts and shapes of every control).
QString SkinStyleSheet();
// Every layout of the skin, by name ("skin.xml", ...), sorted.
QStringList LayoutNames();

// Builds the layout `layoutName` as a new widget under `parent` (the custom kinds "ButtonGif",
// "FileTree", "LabelEx", "ButtonEx", "Pagination" and "DiskList" included). Returns null and
// fills `error` when the layout is missing or does not parse.
QWidget* LoadLayout(const QString& layoutName, QWidget* parent, QString* error = nullptr);

// The widget or action named `name` below `root`, or null.
QObject* FindControl(const QWidget* root, const QString& name);

// Looks up the controls a window uses, one call per control, and keeps a line naming the
// layout and the control for every one that is missing or of another kind.
class ControlBinder {
 public:
  ControlBinder(QWidget* root, QString layoutName) : root_(root), layout_(std::move(layoutName)) {}

  template <class T>
  T* Get(const char* name) {
    QObject* found = FindControl(root_, QString::fromLatin1(name));
    T* typed = qobject_cast<T*>(found);
    if (typed == nullptr) {
      Report(QString::fromLatin1(name), found != nullptr, T::staticMetaObject.className());
    }
    return typed;
  }
  template <class T>
  void Bind(T*& target, const char* name) {
    target = Get<T>(name);
  }

  // "PageScan.xml: no control BtnScanPause" lines; empty when every control was found.
  const QStringList& Missing() const { return missing_; }
  bool Ok() const { return missing_.isEmpty(); }

 private:
  void Report(const QString& name, bool wrongKind, const char* expected);

  QWidget* root_;
  QString layout_;
  QStringList missing_;
};

// Text maps of the language files: section -> key -> text, keys in byte order of their UTF-8.
using TextMap = std::map<std::string, std::string>;

// Where windows take their texts from; the application installs its language store.
class TextSource {
 public:
  virtual ~TextSource() = default;
  // The map of `section`; a missing section is created empty.
  virtual TextMap& Section(const std::string& section) = 0;
};
void SetTextSource(TextSource* source);
// The installed source; a process-wide empty one when none is installed.
TextSource& Texts();
// Text of `key` in `map` ("\\n" in the file is a line break); a missing key is added with an
// empty text.
QString Text(TextMap& map, const std::string& key);
// Text of `key` in the section "Messages".
QString MessageText(const std::string& key);

// For every key of `section`, in key order, the control of that name below `root` takes the
// key's text, enabled or not. Keys naming no control are ignored; `skip` names one to leave.
void ApplyTexts(QWidget* root, const TextMap& section, const QString& skip = QString());

// Sets the text of a label, button, option, edit or menu action; false for other kinds.
bool SetControlText(QObject* control, const QString& text);

// Window messages posted to a window; the numbers are the message numbers the windows share.
enum WindowMessage : int {
  kWmPreviewReady = 1027,
  kWmStartScan = 1031,
  kWmScanRefreshTree = 1032,
  kWmScanSelectFirst = 1033,
  kWmScanFinished = 1034,
  kWmScanStatus = 1035,
};

// A posted window message. The Qt event type equals the message number (1024 + n lies in
// Qt's range of user event types).
class WindowMessageEvent : public QEvent {
 public:
  WindowMessageEvent(int message, qintptr wParam, qintptr lParam)
      : QEvent(static_cast<QEvent::Type>(message)),
        message_(message),
        wParam_(wParam),
        lParam_(lParam) {}
  int Message() const { return message_; }
  qintptr WParam() const { return wParam_; }
  qintptr LParam() const { return lParam_; }

 private:
  int message_;
  qintptr wParam_;
  qintptr lParam_;
};
bool IsWindowMessage(const QEvent* event);
// Queues the message for `target`; safe from any thread.
void PostWindowMessage(QObject* target, int message, qintptr wParam = 0, qintptr lParam = 0);

}  // namespace halvern::ui
