// Modal pop-up windows built from a layout (CPopUpWnd) and the message box of five kinds.
#pragma once

#include <QDialog>
#include <QPoint>
#include <QString>
#include <optional>
#include <string>

#include "ui/notify.h"
#include "ui/skin.h"

namespace halvern::ui {

// Results of a modal pop-up.
inline constexpr int kResultOk = 1;
inline constexpr int kResultCancel = 2;

// A frameless modal window over a parent, built from `layout` with the texts of `section`.
// `okbtn` closes it with 1; `closebtn`, `cancelbtn` and Escape with 2.
class CPopUpWnd : public QDialog, public NotifyTarget {
  Q_OBJECT

 public:
  CPopUpWnd(QString layout, std::string section, QWidget* parent, int width, int height);
  ~CPopUpWnd() override;

  // Builds the layout (once) and raises "windowinit"; false with `error` filled when the
  // layout cannot be built or lacks a control the window needs.
  bool Build(QString* error = nullptr);
  // Builds, centres over the parent (or the screen) and runs modally; 2 when it cannot build.
  int DoModal();

  QWidget* Root() const { return root_; }
  const QString& LayoutName() const { return layout_; }
  const std::string& SectionName() const { return section_; }

  void Notify(const Notification& n) override;

 protected:
  // Called on "windowinit" after the texts are applied; looks up the controls. Returns false
  // (with the missing names in `missing`) when one is absent.
  virtual bool OnInit(QStringList* missing);
  void reject() override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

  TimerSet timers_;

 private:
  void CentreOverParent();

  QString layout_;
  std::string section_;
  QWidget* root_ = nullptr;
  bool built_ = false;
  bool buildOk_ = false;
  QString buildError_;
  std::optional<QPoint> dragOffset_;
};

// Message box kinds.
enum MessageBoxKind : int {
  kBoxError = 0,
  kBoxConfirm = 1,
  kBoxInformation = 2,
  kBoxWarning = 3,
  kBoxQuestion = 4,
};

// Layout of a kind ("MessageBox_Error.xml" for unknown kinds) and its default title key.
QString MessageBoxLayout(int kind);
std::string MessageBoxTitleKey(int kind);

class CMessageBox : public CPopUpWnd {
  Q_OBJECT
 public:
  CMessageBox(int kind, QWidget* parent, std::optional<QString> title, QString text, int width,
              int height);
  int Kind() const { return kind_; }

 protected:
  bool OnInit(QStringList* missing) override;

 private:
  int kind_;
  std::optional<QString> title_;
  QString text_;
};

// Builds the box of `kind` with the section "MessageBox" applied, sets `title` (or the kind's
// default title) and `text`, and runs it modally: 1 for okbtn, 2 for cancelbtn or closebtn.
int ShowMessageBox(int kind, QWidget* parent, std::optional<QString> title, const QString& text,
                   int width, int height);

}  // namespace halvern::ui
