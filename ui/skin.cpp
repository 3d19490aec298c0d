// Loading the skin's layouts, finding controls by name, and applying language texts.
#include "ui/skin.h"

#include <QAbstractButton>
#include <QAction>
#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QUiLoader>

#include "ui/controls.h"

static void InitSkinResource() { Q_INIT_RESOURCE(skin); }

namespace halvern::ui {

namespace {

constexpr char kLayoutFolder[] = ":/skin/xml/";
constexpr char kImageFolder[] = ":/skin/images/";

// Makes the custom kinds; everything else is left to Qt's own loader.
class SkinLoader : public QUiLoader {
 public:
  // Designer plugins (the browser among them) are never needed by the skin's layouts.
  SkinLoader() { clearPluginPaths(); }
  QWidget* createWidget(const QString& className, QWidget* parent, const QString& name) override {
    QWidget* made = nullptr;
    if (className == QLatin1String("ButtonGif")) {
      made = new ButtonGif(parent);
    } else if (className == QLatin1String("FileTree")) {
      made = new FileTree(parent);
    } else if (className == QLatin1String("LabelEx")) {
      made = new LabelEx(parent);
    } else if (className == QLatin1String("ButtonEx")) {
      made = new ButtonEx(parent);
    } else if (className == QLatin1String("Pagination")) {
      made = new Pagination(parent);
    } else if (className == QLatin1String("DiskList")) {
      made = new DiskList(parent);
    }
    if (made == nullptr) return QUiLoader::createWidget(className, parent, name);
    made->setObjectName(name);
    return made;
  }
};

class EmptyTexts : public TextSource {
 public:
  TextMap& Section(const std::string& section) override { return sections_[section]; }

 private:
  std::map<std::string, TextMap> sections_;
};

TextSource* g_textSource = nullptr;

}  // namespace

void InitSkin() {
  static const bool done = [] {
    InitSkinResource();
    return true;
  }();
  (void)done;
}

QString LayoutPath(const QString& layoutName) {
  QString name = layoutName;
  name.replace(QLatin1Char('\\'), QLatin1Char('/'));
  if (name.startsWith(QLatin1String("xml/"))) name = name.mid(4);
  return QLatin1String(kLayoutFolder) + name;
}

QString ImagePath(const QString& fileName) { return QLatin1String(kImageFolder) + fileName; }

QString SkinStyleSheet() {
  InitSkin();
  QFile file(QStringLiteral(":/skin/skin.qss"));
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

QStringList LayoutNames() {
  InitSkin();
  QStringList names = QDir(QLatin1String(kLayoutFolder)).entryList(QDir::Files, QDir::Name);
  return names;
}

QWidget* LoadLayout(const QString& layoutName, QWidget* parent, QString* error) {
  InitSkin();
  QFile file(LayoutPath(layoutName));
  if (!file.open(QIODevice::ReadOnly)) {
    if (error != nullptr) *error = layoutName + QLatin1String(": no such layout in the skin");
    return nullptr;
  }
  SkinLoader loader;
  QWidget* built = loader.load(&file, parent);
  if (built == nullptr) {
    if (error != nullptr) *error = layoutName + QLatin1String(": ") + loader.errorString();
    return nullptr;
  }
  return built;
}

QObject* FindControl(const QWidget* root, const QString& name) {
  if (root == nullptr || name.isEmpty()) return nullptr;
  if (root->objectName() == name) return const_cast<QWidget*>(root);
  if (auto* w = root->findChild<QWidget*>(name)) return w;
  if (auto* a = root->findChild<QAction*>(name)) return a;
  return nullptr;
}

void ControlBinder::Report(const QString& name, bool wrongKind, const char* expected) {
  if (wrongKind) {
    missing_
        << QStringLiteral("%1: control %2 is not a %3").arg(layout_, name, QLatin1String(expected));
  } else {
    missing_ << QStringLiteral("%1: no control %2").arg(layout_, name);
  }
}

void SetTextSource(TextSource* source) { g_textSource = source; }

TextSource& Texts() {
  static EmptyTexts empty;
  return g_textSource != nullptr ? *g_textSource : empty;
}

QString Text(TextMap& map, const std::string& key) {
  // A language file keeps each text on one line: "\\n" in it stands for a line break.
  QString text = QString::fromStdString(map[key]);
  text.replace(QLatin1String("\\n"), QLatin1String("\n"));
  return text;
}

QString MessageText(const std::string& key) { return Text(Texts().Section("Messages"), key); }

bool SetControlText(QObject* control, const QString& text) {
  if (auto* label = qobject_cast<QLabel*>(control)) {
    label->setText(text);
  } else if (auto* button = qobject_cast<QAbstractButton*>(control)) {
    button->setText(text);
  } else if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
  } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
    group->setTitle(text);
  } else if (auto* action = qobject_cast<QAction*>(control)) {
    action->setText(text);
  } else {
    return false;
  }
  return true;
}

void ApplyTexts(QWidget* root, const TextMap& section, const QString& skip) {
  for (const auto& [key, text] : section) {
    const QString name = QString::fromStdString(key);
    if (!skip.isEmpty() && name == skip) continue;
    if (QObject* control = FindControl(root, name)) {
      SetControlText(control, QString::fromStdString(text));
    }
  }
}

bool IsWindowMessage(const QEvent* event) {
  const int t = event->type();
  return t == kWmPreviewReady || (t >= kWmStartScan && t <= kWmScanStatus);
}

void PostWindowMessage(QObject* target, int message, qintptr wParam, qintptr lParam) {
  QCoreApplication::postEvent(target, new WindowMessageEvent(message, wParam, lParam));
}

}  // namespace halvern::ui
