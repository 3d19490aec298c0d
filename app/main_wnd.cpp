// The main window: title bar, assist menu, start pages and the scan messages.
#include "app/main_wnd.h"

#include <QCloseEvent>
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
  for (const char* hidden : {"item_faq", "item_language"}) {
    if (auto* w = qobject_cast<QWidget*>(ui::FindControl(root_, QLatin1String(hidden)))) {
      w->hide();
    }
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
    // The configured page, else the README shipped beside the program.
    url = links.help.isEmpty() ? QUrl::fromLocalFile(QString::fromStdString(HelpFile().string()))
                               : QUrl(links.help);
  } else if (n.sender == QLatin1String("item_about")) {
    CAboutWnd about(owner_);
    about.DoModal();
  } else if (n.sender == QLatin1String("item_support")) {
    // The configured page, else the project's own page named in the About box.
    url = QUrl(links.support.isEmpty() ? links.about : links.support);
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

std::filesystem::path HelpFile() {
  // A build folder has the README beside the runtime files; an installed copy keeps it with the
  // package's documentation (<prefix>/share/doc/halvern).
  const std::filesystem::path beside = platform::DataFolder() / "README.md";
  const std::filesystem::path doc = platform::DataFolder().parent_path() / "doc" / "halvern" / "README.md";
  std::error_code ec;
  if (!std::filesystem::exists(beside, ec) && std::filesystem::exists(doc, ec)) return doc;
  return beside;
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
  ChooseStartPage(true);
  QStringList missing;
  if (!devicePage_->InitPage(&missing)) errors_ << missing;
  missing.clear();
  if (!backupPage_->InitPage(&missing)) errors_ << missing;
  missing.clear();
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
      ui::ShowMessageBox(ui::kBoxInformation, this, ui::MessageText("MSG0403"),
                         ui::MessageText("MSG0302"), 550, 180);
      AskPasswordAgainAndRestart();
      break;
    case kStatusDeviceGone:
      if (!backup) scanPage_->OnDeviceGone();
      devicePage_->RearmPollTimer();
      break;
    case kStatusOpenFailed: {
      QString text = ui::MessageText("MSG0201");
      text.replace(QStringLiteral("\\n"), QStringLiteral("\n"));
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

void CMainWnd::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter || e->key() == Qt::Key_Escape) {
    e->accept();  // swallowed
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
      windowHandle()->startSystemMove();
      return;
    }
  }
  QWidget::mousePressEvent(e);
}

void CMainWnd::mouseMoveEvent(QMouseEvent* e) {
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
