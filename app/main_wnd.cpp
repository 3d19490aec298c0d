// The main window: title bar, assist menu, start pages and the scan messages.
#include "app/main_wnd.h"

#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QFile>
#include <QMenu>
#include <QPushButton>
#include <QTextBrowser>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QScreen>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include "app/device_source.h"
#include "app/popups.h"
#include "platform/platform.h"
#include "platform/runtime_files.h"
#include "app/language_store.h"
#include "app/scan_page.h"
#include "app/start_pages.h"
#include "engine/backup_session.h"
#include "ui/popup.h"

namespace halvern::app {

namespace {
constexpr int kCaptionHeight = 90;
constexpr int kSizeBorder = 4;
// The smallest window: fits a 1366 x 768 screen at 125 % scaling (1093 x 614 points, less a
// panel); the first size is the layout's 1000 x 650, cut to the screen's free area.
constexpr int kMinWidth = 900;
constexpr int kMinHeight = 540;
constexpr int kFirstWidth = 1000;
constexpr int kFirstHeight = 650;
}  // namespace

LinkTable Links() {
  const LanguageStore& store = LanguageStore::Instance();
  auto get = [&store](const char* key) {
    return QString::fromStdString(store.ConfigValue("Links", key));
  };
  return {get("Help"), get("About"), get("Support"), get("DeviceSupport")};
}

// ----- Assist menu -------------------------------------------------------------------------

CAssistMenu::CAssistMenu(QWidget* owner)
    : QFrame(owner, Qt::Popup | Qt::FramelessWindowHint), owner_(owner) {}

bool CAssistMenu::Build(QString* error) {
  root_ = ui::LoadLayout(QStringLiteral("menu_assist.xml"), this, error);
  if (root_ == nullptr) return false;
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(0, 0, 0, 0);
  box->addWidget(root_);
  ui::BindNotifications(root_, this);
  ui::ApplyTexts(root_, ui::Texts().Section("MenuWnd"));
  return true;
}

void CAssistMenu::Open(const QPoint& globalPos) {
  auto item = [this](const char* name) {
    return qobject_cast<QWidget*>(ui::FindControl(root_, QLatin1String(name)));
  };
  if (QWidget* faq = item("item_faq")) faq->hide();
  // Support opens its configured page; without one the entry would do nothing.
  if (QWidget* support = item("item_support")) support->setVisible(!Links().support.isEmpty());
  if (QWidget* language = item("item_language")) {
    language->setVisible(LanguageStore::Instance().OfferedLanguages().size() > 1);
  }
  adjustSize();
  move(globalPos);
  show();
}

void CAssistMenu::Notify(const ui::Notification& n) {
  if (n.type != QLatin1String(ui::notify::kClick)) return;
  hide();
  const LinkTable links = Links();
  QUrl url;
  if (n.sender == QLatin1String("item_help")) {
    // The configured page, else the help page shipped with the program, in its own window.
    if (links.help.isEmpty()) {
      if (openHelp) {
        openHelp(HelpFile());
      } else {
        CHelpWnd help(owner_, HelpFile());
        help.exec();
      }
    } else {
      url = QUrl(links.help);
    }
  } else if (n.sender == QLatin1String("item_language")) {
    OpenLanguageMenu();
  } else if (n.sender == QLatin1String("item_about")) {
    CAboutWnd about(owner_);
    about.DoModal();
  } else if (n.sender == QLatin1String("item_support")) {
    url = QUrl(links.support);
  } else if (n.sender == QLatin1String("item_exit")) {
    QMetaObject::invokeMethod(owner_, &QWidget::close, Qt::QueuedConnection);
  }
  if (url.isValid() && !url.isEmpty()) {
    if (openUrl) {
      openUrl(url);
    } else {
      QDesktopServices::openUrl(url);
    }
  }
}

void CAssistMenu::OpenLanguageMenu() {
  const LanguageStore& store = LanguageStore::Instance();
  QMenu menu(owner_);
  menu.setTitle(ui::Text(ui::Texts().Section("LanguageMenu"), "title"));
  auto* group = new QActionGroup(&menu);
  for (const auto& [name, shown] : store.OfferedLanguages()) {
    QAction* action = menu.addAction(QString::fromStdString(shown.empty() ? name : shown));
    action->setCheckable(true);
    action->setChecked(name == store.LanguageName());
    action->setData(QString::fromStdString(name));
    group->addAction(action);
  }
  QAction* chosen = menu.exec(QCursor::pos());
  if (chosen == nullptr) return;
  const std::string name = chosen->data().toString().toStdString();
  if (name == store.LanguageName()) return;
  QString error;
  if (!ChooseLanguage(name, &error)) {
    ui::ShowMessageBox(ui::kBoxError, owner_, ui::MessageText("MSG0401"), error, 550, 200);
    return;
  }
  ui::ShowMessageBox(ui::kBoxInformation, owner_, ui::MessageText("MSG0403"),
                     FillMessage(ui::MessageText("MSG0527"), {chosen->text()}), 550, 200);
}

bool CAssistMenu::ChooseLanguage(const std::string& language, QString* error) {
  if (!IsUsableLanguageName(language) ||
      !std::filesystem::is_regular_file(platform::DataFolder() / "Languages" /
                                        (language + ".ini"))) {
    if (error) *error = QString::fromStdString("no language file " + language + ".ini");
    return false;
  }
  std::string reason;
  if (platform::SetUserConfigValue(platform::UserConfigFile(),
                                   platform::DataFolder() / "config.ini", "DefaultLanguage",
                                   "Default", language, reason) != 0) {
    if (error) *error = QString::fromStdString(reason);
    return false;
  }
  return true;
}

std::filesystem::path HelpFile(const std::string& language) {
  const std::filesystem::path folder = platform::DataFolder() / "help";
  std::error_code ec;
  if (IsUsableLanguageName(language)) {
    const std::filesystem::path own = folder / (language + ".html");
    if (std::filesystem::is_regular_file(own, ec)) return own;
  }
  return folder / "English.html";
}

std::filesystem::path HelpFile() { return HelpFile(LanguageStore::Instance().LanguageName()); }

CHelpWnd::CHelpWnd(QWidget* owner, const std::filesystem::path& page) : QDialog(owner) {
  setObjectName(QStringLiteral("HelpWnd"));
  ui::TextMap& texts = ui::Texts().Section("HelpWnd");
  const QString title = ui::Text(texts, "title");
  setWindowTitle(title.isEmpty() ? QStringLiteral("Help") : title);
  resize(720, 560);
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(0, 0, 0, 12);
  browser_ = new QTextBrowser(this);
  browser_->setObjectName(QStringLiteral("HelpBrowser"));
  browser_->setOpenExternalLinks(true);
  browser_->setFrameShape(QFrame::NoFrame);
  box->addWidget(browser_, 1);
  const QString path = QString::fromStdString(page.string());
  QFile file(path);
  if (file.open(QIODevice::ReadOnly)) {
    browser_->setSearchPaths({QString::fromStdString(page.parent_path().string())});
    browser_->setHtml(QString::fromUtf8(file.readAll()));
    loaded_ = true;
    const QString documentTitle = browser_->documentTitle();
    if (!documentTitle.isEmpty()) setWindowTitle(documentTitle);
  } else {
    QString text = ui::MessageText("MSG0528");
    if (text.isEmpty()) text = QStringLiteral("The help page %s is missing. Reinstall the program.");
    browser_->setPlainText(FillMessage(text, {path}));
  }
  auto* row = new QHBoxLayout();
  row->setContentsMargins(12, 0, 12, 0);
  row->addStretch(1);
  auto* close = new QPushButton(this);
  close->setObjectName(QStringLiteral("okbtn"));
  const QString closeText = ui::Text(texts, "okbtn");
  close->setText(closeText.isEmpty() ? QStringLiteral("Close") : closeText);
  close->setDefault(true);
  close->setProperty("role", QStringLiteral("primary"));
  connect(close, &QPushButton::clicked, this, &QDialog::accept);
  row->addWidget(close);
  box->addLayout(row);
}

// ----- Main window -------------------------------------------------------------------------

CMainWnd::CMainWnd(std::unique_ptr<BackupSession> session, std::unique_ptr<DeviceSource> device,
                   QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint),
      session_(std::move(session)),
      device_(std::move(device)) {
  setObjectName(QStringLiteral("FileRecoveryWnd"));
  setWindowTitle(QStringLiteral("Halvern"));
  setWindowIcon(QIcon(ui::ImagePath(QStringLiteral("logo.svg"))));
  setMinimumSize(kMinWidth, kMinHeight);
  QSize first(kFirstWidth, kFirstHeight);
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    first = first.boundedTo(screen->availableGeometry().size()).expandedTo(minimumSize());
  }
  resize(first);
  setMouseTracking(true);
  startSystemMove = [this] {
    if (windowHandle() != nullptr) windowHandle()->startSystemMove();
  };

  QString error;
  root_ = ui::LoadLayout(QStringLiteral("skin.xml"), this, &error);
  if (root_ == nullptr) {
    errors_ << error;
    return;
  }
  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(0, 0, 0, 0);
  box->addWidget(root_);
  ui::BindNotifications(root_, this);  // before the pages join: their controls go to the pages

  ui::ControlBinder bind(root_, QStringLiteral("skin.xml"));
  productName_ = bind.Get<QLabel>("LblProductName");
  assist_ = bind.Get<QPushButton>("BtnAssist");
  bind.Get<QPushButton>("minbtn");
  maxBtn_ = bind.Get<QPushButton>("maxbtn");
  restoreBtn_ = bind.Get<QPushButton>("restorebtn");
  bind.Get<QPushButton>("closebtn");
  mainTab_ = bind.Get<QStackedWidget>("MainTabPage");
  tabPage_ = bind.Get<QStackedWidget>("TabPage");
  optDevice_ = bind.Get<QPushButton>("OptIosDevice");
  optBackup_ = bind.Get<QPushButton>("OptBackupFile");
  optTexts_[0] = bind.Get<QLabel>("TxtIosDevice1");
  optTexts_[1] = bind.Get<QLabel>("TxtIosDevice2");
  optTexts_[2] = bind.Get<QLabel>("TxtBackupFile1");
  optTexts_[3] = bind.Get<QLabel>("TxtBackupFile2");
  optIcons_[0] = bind.Get<QLabel>("OptIosDeviceIcon");
  optIcons_[1] = bind.Get<QLabel>("OptBackupFileIcon");
  bind.Get<QWidget>("FooterBar");
  auto* scanHolder = bind.Get<QWidget>("PageScanHolder");
  if (!bind.Ok()) {
    errors_ << bind.Missing();
    return;
  }

  QWidget* devicePage = LoadPage(QStringLiteral("PageIosDevice.xml"), nullptr);
  QWidget* backupPage = LoadPage(QStringLiteral("PageItunesBackup.xml"), nullptr);
  QWidget* scanPage = LoadPage(QStringLiteral("PageScan.xml"), scanHolder);
  if (devicePage == nullptr || backupPage == nullptr || scanPage == nullptr) return;
  tabPage_->addWidget(devicePage);
  tabPage_->addWidget(backupPage);
  scanPage_ = std::make_unique<CScanVrtWnd>(scanPage, *this);
  devicePage_ = std::make_unique<CIosDeviceVrtWnd>(devicePage, *this, *device_);
  backupPage_ = std::make_unique<CItunesBackupVrtWnd>(backupPage, *this);
  ui::BindNotifications(devicePage, devicePage_.get());
  ui::BindNotifications(backupPage, backupPage_.get());
  ui::BindNotifications(scanPage, scanPage_.get());

  menu_ = new CAssistMenu(this);
  if (!menu_->Build(&error)) errors_ << error;

  ui::Notification init;
  init.type = QLatin1String(ui::notify::kWindowInit);
  Notify(init);
}

CMainWnd::~CMainWnd() = default;

QWidget* CMainWnd::LoadPage(const QString& layout, QWidget* holder) {
  QString error;
  QWidget* page = ui::LoadLayout(layout, holder, &error);
  if (page == nullptr) {
    errors_ << error;
    return nullptr;
  }
  if (holder != nullptr) {
    QLayout* box = holder->layout();
    if (box == nullptr) box = new QVBoxLayout(holder);
    box->setContentsMargins(0, 0, 0, 0);
    box->addWidget(page);
  }
  return page;
}

void CMainWnd::InitWindow() {
  ui::ApplyTexts(root_, ui::Texts().Section("MainWnd"));
  productName_->setText(ui::MessageText("MSG1209"));
  QStringList missing;
  if (!devicePage_->InitPage(&missing)) errors_ << missing;
  missing.clear();
  if (!backupPage_->InitPage(&missing)) errors_ << missing;
  missing.clear();
  // Backups on this computer are the usual way in: their page comes first when there are any.
  ChooseStartPage(backupPage_->Backups().empty());
  if (!scanPage_->InitPage(&missing)) errors_ << missing;
  for (const QString& e : errors_) qCritical("%s", qPrintable(e));
}

void CMainWnd::ChooseStartPage(bool device) {
  const QSignalBlocker quietDevice(optDevice_);
  const QSignalBlocker quietBackup(optBackup_);
  optDevice_->setChecked(device);
  optBackup_->setChecked(!device);
  tabPage_->setCurrentIndex(device ? 0 : 1);
  const QString on = QStringLiteral("color: #FFFFFF;");
  const QString off = QStringLiteral("color: #000000;");
  for (int i = 0; i < 4; ++i) optTexts_[i]->setStyleSheet((i < 2) == device ? on : off);
  optIcons_[0]->setPixmap(QPixmap(ui::ImagePath(device ? QStringLiteral("opt_device_on.svg")
                                                       : QStringLiteral("opt_device.svg"))));
  optIcons_[1]->setPixmap(QPixmap(ui::ImagePath(device ? QStringLiteral("opt_backup.svg")
                                                       : QStringLiteral("opt_backup_on.svg"))));
}

bool CMainWnd::RaiseWindow() {
  if (isMinimized()) {
    showNormal();
  } else {
    show();
  }
  raise();
  activateWindow();
  return true;
}

void CMainWnd::Notify(const ui::Notification& n) {
  if (n.type == QLatin1String(ui::notify::kWindowInit)) {
    InitWindow();
  } else if (n.type == QLatin1String(ui::notify::kSelectChanged)) {
    if (n.sender == QLatin1String("OptIosDevice") && optDevice_->isChecked()) {
      ChooseStartPage(true);
    } else if (n.sender == QLatin1String("OptBackupFile") && optBackup_->isChecked()) {
      ChooseStartPage(false);
    }
  } else if (n.type == QLatin1String(ui::notify::kClick)) {
    if (n.sender == QLatin1String("BtnAssist")) {
      menu_->Open(assist_->mapToGlobal(QPoint(0, assist_->height())));
    } else if (n.sender == QLatin1String("minbtn")) {
      showMinimized();
    } else if (n.sender == QLatin1String("maxbtn")) {
      showMaximized();
    } else if (n.sender == QLatin1String("restorebtn")) {
      showNormal();
    } else if (n.sender == QLatin1String("closebtn")) {
      close();
    }
  }
}

bool CMainWnd::event(QEvent* e) {
  if (ui::IsWindowMessage(e)) {
    const auto& message = static_cast<const ui::WindowMessageEvent&>(*e);
    OnWindowMessage(message);
    emit WindowMessage(message.Message(), message.WParam());
    return true;
  }
  return QWidget::event(e);
}

void CMainWnd::OnWindowMessage(const ui::WindowMessageEvent& message) {
  switch (message.Message()) {
    case ui::kWmStartScan:
      // A scan that does not start must not leave the start page locked.
      if (scanPage_->StartScan(static_cast<int>(message.WParam())) != 0) {
        backupPage_->EnablePage();
      }
      break;
    case ui::kWmScanStatus:
      OnScanStatus(static_cast<int>(message.WParam()));
      break;
    case ui::kWmScanRefreshTree:
      scanPage_->RefreshTreeCounts();
      break;
    case ui::kWmScanSelectFirst:
      scanPage_->SelectFirstNode();
      break;
    case ui::kWmScanFinished:
      scanPage_->OnScanFinished();
      break;
    default:  // the preview messages belong to the preview pane
      break;
  }
}

void CMainWnd::AskPasswordAgainAndRestart() {
  if (!backupPage_->GetBackupPassword()) {
    backupPage_->EnablePage();
    return;
  }
  backupPage_->DisablePage();
  Post(ui::kWmStartScan, 1);
}

void CMainWnd::OnScanStatus(int code) {
  const bool backup = scanPage_->mode == 1;
  switch (code) {
    case kStatusStarted:
      if (backup) backupPage_->EnablePage();
      mainTab_->setCurrentIndex(1);
      break;
    case kStatusWrongPassword:
      if (!backup) break;
      ui::ShowMessageBox(ui::kBoxWarning, this, ui::MessageText("MSG0405"),
                         ui::MessageText("MSG0302"), 550, 180);
      AskPasswordAgainAndRestart();
      break;
    case kStatusDeviceGone:
      if (!backup) scanPage_->OnDeviceGone();
      devicePage_->RearmPollTimer();
      break;
    case kStatusOpenFailed: {
      QString text = ui::MessageText("MSG0201");
      // The cause, when the scan that failed to open is known.
      if (const QString cause = scanPage_->OpenFailureText(); !cause.isEmpty()) {
        QString format = ui::MessageText("MSG0536");
        if (format.isEmpty()) format = QStringLiteral("Cause: %s");
        text += QStringLiteral("\n\n") + FillMessage(format, {cause});
      }
      ui::ShowMessageBox(ui::kBoxError, this, ui::MessageText("MSG0401"), text, 600, 200);
      // The scan did not start: give the start page back.
      if (backup) backupPage_->EnablePage();
      break;
    }
    case kStatusOpen111:
      if (!backup) break;
      ui::ShowMessageBox(ui::kBoxInformation, this, ui::MessageText("MSG0403"),
                         ui::MessageText("MSG1212"), 550, 200);
      backupPage_->EnablePage();
      break;
    default:
      break;
  }
}

void CMainWnd::closeEvent(QCloseEvent* e) {
  if (scanPage_ && !scanPage_->QueryClose()) {
    e->ignore();
    return;
  }
  menu_->hide();
  e->accept();
}

void CMainWnd::changeEvent(QEvent* e) {
  if (e->type() == QEvent::WindowStateChange && maxBtn_ != nullptr) {
    const bool maximized = isMaximized();
    maxBtn_->setVisible(!maximized);
    restoreBtn_->setVisible(maximized);
  }
  QWidget::changeEvent(e);
}

// Keys no control took: Enter presses the focused button (the buttons of this window are not
// in a dialog, so they leave Enter to it); Escape and any other Enter are swallowed.
void CMainWnd::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) {
    auto* button = qobject_cast<QPushButton*>(QApplication::focusWidget());
    if (button != nullptr && button->window() == this && button->isVisible() &&
        button->isEnabled() && !e->isAutoRepeat()) {
      button->click();
    }
    e->accept();
    return;
  }
  if (e->key() == Qt::Key_Escape) {
    e->accept();
    return;
  }
  QWidget::keyPressEvent(e);
}

Qt::Edges CMainWnd::EdgesAt(const QPoint& p) const {
  Qt::Edges edges;
  if (isMaximized()) return edges;
  if (p.x() < kSizeBorder) edges |= Qt::LeftEdge;
  if (p.x() >= width() - kSizeBorder) edges |= Qt::RightEdge;
  if (p.y() < kSizeBorder) edges |= Qt::TopEdge;
  if (p.y() >= height() - kSizeBorder) edges |= Qt::BottomEdge;
  return edges;
}

// Presses that reach the window itself (labels and empty areas pass theirs on; buttons,
// options and edits keep theirs) size it at the border and move it in the caption band.
void CMainWnd::mousePressEvent(QMouseEvent* e) {
  if (e->button() == Qt::LeftButton && windowHandle() != nullptr) {
    const QPoint p = e->position().toPoint();
    const Qt::Edges edges = EdgesAt(p);
    if (edges) {
      windowHandle()->startSystemResize(edges);
      return;
    }
    if (p.y() < kCaptionHeight) {
      movePress_ = p;
      return;
    }
  }
  QWidget::mousePressEvent(e);
}

void CMainWnd::mouseReleaseEvent(QMouseEvent* e) {
  movePress_.reset();
  QWidget::mouseReleaseEvent(e);
}

void CMainWnd::mouseMoveEvent(QMouseEvent* e) {
  if (movePress_) {
    if (!(e->buttons() & Qt::LeftButton)) {
      movePress_.reset();
    } else if ((e->position().toPoint() - *movePress_).manhattanLength() >=
               QApplication::startDragDistance()) {
      movePress_.reset();
      if (startSystemMove) startSystemMove();
      return;
    }
  }
  const Qt::Edges edges = EdgesAt(e->position().toPoint());
  if ((edges & Qt::LeftEdge && edges & Qt::TopEdge) ||
      (edges & Qt::RightEdge && edges & Qt::BottomEdge)) {
    setCursor(Qt::SizeFDiagCursor);
  } else if ((edges & Qt::RightEdge && edges & Qt::TopEdge) ||
             (edges & Qt::LeftEdge && edges & Qt::BottomEdge)) {
    setCursor(Qt::SizeBDiagCursor);
  } else if (edges & (Qt::LeftEdge | Qt::RightEdge)) {
    setCursor(Qt::SizeHorCursor);
  } else if (edges & (Qt::TopEdge | Qt::BottomEdge)) {
    setCursor(Qt::SizeVerCursor);
  } else {
    unsetCursor();
  }
  QWidget::mouseMoveEvent(e);
}

}  // namespace halvern::app
