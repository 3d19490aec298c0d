// The device and backup start pages.
#include "app/start_pages.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QUrl>

#include "app/device_source.h"
#include "app/main_wnd.h"
#include "app/popups.h"
#include "app/scan_page.h"
#include "engine/backup_session.h"
#include "ui/popup.h"
#include "ui/skin.h"

namespace halvern::app {

namespace {
enum DevicePage : int { kPageSupportMissing = 0, kPageConnect = 1, kPageConnected = 2 };
constexpr int kRowHeight = 40;
}  // namespace

// ----- Device page -------------------------------------------------------------------------

CIosDeviceVrtWnd::CIosDeviceVrtWnd(QWidget* page, CMainWnd& main, DeviceSource& device)
    : page_(page), main_(main), device_(device), timers_(this) {}

bool CIosDeviceVrtWnd::InitPage(QStringList* missing) {
  ui::ControlBinder bind(page_, QStringLiteral("PageIosDevice.xml"));
  tabs_ = bind.Get<QStackedWidget>("TabIosDevice");
  for (const char* name : {"LblDesc1", "LblDesc2", "LblDesc3", "LblDesc4", "TxtDesc1"}) {
    bind.Get<QLabel>(name);
  }
  info_ = bind.Get<QLabel>("IphoneInfo");
  for (const char* name : {"BtnAppleUrl", "BtnItunesRetry", "BtnDeviceScan"}) {
    bind.Get<QPushButton>(name);
  }
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  ui::ApplyTexts(page_, ui::Texts().Section("PageIosDevice"));
  tabs_->setCurrentIndex(device_.IsSupportAvailable() ? kPageConnect : kPageSupportMissing);
  RearmPollTimer();
  return true;
}

void CIosDeviceVrtWnd::RearmPollTimer() {
  timers_.Set(tabs_, kDevicePollTimer, kDevicePollPeriodMs);
}

bool CIosDeviceVrtWnd::PollTimerActive() const { return timers_.IsActive(tabs_, kDevicePollTimer); }

void CIosDeviceVrtWnd::Poll() {
  if (!device_.IsSupportAvailable()) {
    tabs_->setCurrentIndex(kPageSupportMissing);
    return;
  }
  if (device_.HasDevice() && device_.IsDeviceAttached()) return;
  // A new device, or the old one is gone: stop a running device backup first.
  willEncrypt_ = false;
  device_.RequestQuit();
  WaitUntil([this] { return device_.IsIdle(); }, 1000);
  device_.Close();
  bool encrypt = false;
  if (device_.Connect(encrypt) != 0) {
    tabs_->setCurrentIndex(kPageConnect);
    return;
  }
  willEncrypt_ = encrypt;
  std::string name, deviceClass, version;
  device_.GetDeviceName(name);
  device_.GetDeviceClass(deviceClass);
  device_.GetProductVersion(version);
  std::string text = name + "(" + deviceClass;
  if (!version.empty()) text += " ";
  text += version + ")";
  info_->setText(QString::fromStdString(text));
  tabs_->setCurrentIndex(kPageConnected);
}

void CIosDeviceVrtWnd::StartDeviceScan() {
  if (!willEncrypt_) {
    main_.Post(ui::kWmStartScan, 0);
    return;
  }
  CDecryptionWnd dialog(&main_, 0);
  if (dialog.DoModal() != ui::kResultOk) return;
  const QString password = dialog.Password();
  if (device_.RemoveBackupPassword(password.toStdString()) != 0) {
    ui::ShowMessageBox(ui::kBoxWarning, &main_, ui::MessageText("MSG0405"),
                       ui::MessageText("MSG0302"), 550, 200);
    return;
  }
  main_.ScanPage().password = password;
  main_.Post(ui::kWmStartScan, 0);
}

void CIosDeviceVrtWnd::Notify(const ui::Notification& n) {
  if (n.type == QLatin1String(ui::notify::kTimer)) {
    if (n.control == tabs_ && n.wParam == kDevicePollTimer) Poll();
  } else if (n.Is(ui::notify::kClick, "BtnAppleUrl")) {
    const QString url = Links().deviceSupport;
    if (!url.isEmpty()) QDesktopServices::openUrl(QUrl(url));
  } else if (n.Is(ui::notify::kClick, "BtnItunesRetry")) {
    tabs_->setCurrentIndex(device_.IsSupportAvailable() ? kPageConnect : kPageSupportMissing);
  } else if (n.Is(ui::notify::kClick, "BtnDeviceScan")) {
    StartDeviceScan();
  }
}

// ----- Backup page -------------------------------------------------------------------------

QString BackupRowImage(bool encrypted) {
  return ui::ImagePath(encrypted ? QStringLiteral("backup_locked.svg")
                                 : QStringLiteral("backup_plain.svg"));
}

namespace {
// A message text, or `fallback` when the language file lacks it.
QString LocalText(const char* key, const char* fallback) {
  const QString text = ui::MessageText(key);
  return text.isEmpty() ? QString::fromUtf8(fallback) : text;
}
}  // namespace

CItunesBackupVrtWnd::CItunesBackupVrtWnd(QWidget* page, CMainWnd& main) : page_(page), main_(main) {
  chooseFolder = [](QWidget* owner) -> std::optional<std::filesystem::path> {
    const QString folder = QFileDialog::getExistingDirectory(
        owner,
        LocalText("MSG0703",
                  "Select the iTunes backup file from other folder to recover your data."),
        QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty()) return std::nullopt;
    return std::filesystem::path(folder.toStdString());
  };
}

bool CItunesBackupVrtWnd::InitPage(QStringList* missing) {
  ui::ControlBinder bind(page_, QStringLiteral("PageItunesBackup.xml"));
  list_ = bind.Get<QTreeWidget>("BackupFileList");
  scan_ = bind.Get<QPushButton>("BtnScan");
  selDir_ = bind.Get<QPushButton>("BtnSelDir");
  listHeader_ = bind.Get<QWidget>("BackupListHeader");
  emptyHint_ = bind.Get<QWidget>("EmptyHintBox");
  emptyWhere_ = bind.Get<QLabel>("LblEmptyWhere");
  selDirHint_ = bind.Get<QPushButton>("BtnSelDirHint");
  refresh_ = bind.Get<QPushButton>("BtnRefresh");
  if (!bind.Ok()) {
    *missing = bind.Missing();
    return false;
  }
  ui::ApplyTexts(page_, ui::Texts().Section("PageItunesBackup"));
  lookedIn_ = main_.Session().backupPath;  // the backup root, before any scan chose a backup
  main_.Session().ListBackups(backups_);
  FillList();
  ShowEmptyHint();
  EnablePage();
  // Enter or a double click on a backup scans it, as Start Scan does.
  QObject::connect(list_, &QTreeWidget::itemActivated, list_, [this](QTreeWidgetItem* item) {
    if (item == nullptr || !scan_->isEnabled()) return;
    list_->setCurrentItem(item);
    OnScan();
  });
  relist_.setSingleShot(true);
  relist_.setInterval(700);
  QObject::connect(&relist_, &QTimer::timeout, list_, [this] {
    if (scan_->isEnabled() || backups_.empty()) Refresh();
  });
  QObject::connect(&watcher_, &QFileSystemWatcher::directoryChanged, list_,
                   [this] { relist_.start(); });
  Watch();
  return true;
}

void CItunesBackupVrtWnd::Watch() {
  if (!watcher_.directories().isEmpty()) watcher_.removePaths(watcher_.directories());
  std::filesystem::path folder = lookedIn_;
  std::error_code ec;
  while (!folder.empty() && !std::filesystem::is_directory(folder, ec) &&
         folder != folder.parent_path()) {
    folder = folder.parent_path();
  }
  if (!folder.empty()) watcher_.addPath(QString::fromStdString(folder.string()));
  // Each backup's own folder too: a backup is listed once its Info.plist is written.
  if (std::filesystem::is_directory(lookedIn_, ec)) {
    for (const auto& entry : std::filesystem::directory_iterator(lookedIn_, ec)) {
      if (entry.is_directory(ec)) watcher_.addPath(QString::fromStdString(entry.path().string()));
    }
  }
}

void CItunesBackupVrtWnd::Refresh() {
  std::filesystem::path chosen;
  const int row = list_->indexOfTopLevelItem(list_->currentItem());
  if (row >= 0 && row < static_cast<int>(backups_.size())) {
    chosen = backups_[static_cast<size_t>(row)].folderPath;
  }
  // The folder is read again: the session's list is the one it found at start.
  std::vector<std::filesystem::path> folders;
  BackupSession::ListFolder(lookedIn_, folders);
  backups_ = ListBackupsIn(folders);
  FillList();
  for (size_t i = 0; i < backups_.size(); ++i) {
    if (!chosen.empty() && backups_[i].folderPath == chosen) {
      list_->setCurrentItem(list_->topLevelItem(static_cast<int>(i)));
    }
  }
  ShowEmptyHint();
  if (list_->isEnabled()) scan_->setEnabled(!backups_.empty());
  Watch();
}

// With no backup found, the list gives way to a hint: where the program looked, and the
// folder picker.
void CItunesBackupVrtWnd::ShowEmptyHint() {
  const bool empty = backups_.empty();
  list_->setVisible(!empty);
  listHeader_->setVisible(!empty);
  emptyHint_->setVisible(empty);
  if (!empty) return;
  QString format = ui::MessageText("MSG0701");
  if (format.isEmpty()) {
    format = QStringLiteral(
        "Halvern looked in %s, where iTunes and Finder keep the backups of an iPhone. If your "
        "backup lies elsewhere (a copy, another disk), choose its folder: the one that holds "
        "Info.plist and Manifest.db.");
  }
  emptyWhere_->setText(FillMessage(format, {QString::fromStdString(lookedIn_.string())}));
}

void CItunesBackupVrtWnd::FillList() {
  list_->clear();
  list_->setColumnCount(4);
  list_->setColumnWidth(0, 64);
  list_->setColumnWidth(1, 300);
  list_->setColumnWidth(2, 240);
  for (const BackupInfo& b : backups_) {
    auto* row = new QTreeWidgetItem(list_);
    const QString image = BackupRowImage(b.isEncrypted);
    QIcon icon;
    icon.addFile(image, QSize(), QIcon::Normal);
    icon.addFile(image, QSize(), QIcon::Selected);  // no selection tint over the image
    row->setIcon(0, icon);
    row->setData(0, Qt::UserRole, image);
    row->setText(1, QString::fromStdString(b.displayName));
    row->setText(2, QString::fromStdString(b.lastBackupDate));
    row->setText(3, QString::fromStdString(b.serialNumber));
    row->setSizeHint(0, QSize(64, kRowHeight));
    if (b.isEncrypted) row->setToolTip(0, LocalText("MSG0704", "Encrypted backup"));
  }
  if (list_->topLevelItemCount() > 0) list_->setCurrentItem(list_->topLevelItem(0));
}

void CItunesBackupVrtWnd::EnablePage() {
  scan_->setEnabled(!backups_.empty());
  list_->setEnabled(true);
  selDir_->setEnabled(true);
  main_.MainTabPage()->setEnabled(true);
}

void CItunesBackupVrtWnd::DisablePage() {
  scan_->setEnabled(false);
  list_->setEnabled(false);
  selDir_->setEnabled(false);
  main_.MainTabPage()->setEnabled(false);
}

bool CItunesBackupVrtWnd::GetBackupPassword() {
  for (;;) {
    CDecryptionWnd dialog(&main_, 1);
    if (dialog.DoModal() != ui::kResultOk) return false;
    const QString password = dialog.Password();
    if (password.isEmpty()) {
      const int answer = ui::ShowMessageBox(ui::kBoxWarning, &main_, ui::MessageText("MSG0405"),
                                            ui::MessageText("MSG0301"), 550, 200);
      if (answer == ui::kResultOk) continue;
    }
    main_.ScanPage().password = password;
    return true;
  }
}

void CItunesBackupVrtWnd::OnScan() {
  DisablePage();
  int row = list_->indexOfTopLevelItem(list_->currentItem());
  if (row < 0 && !backups_.empty()) row = 0;
  if (row < 0 || row >= static_cast<int>(backups_.size())) {
    EnablePage();
    return;
  }
  const BackupInfo& chosen = backups_[static_cast<size_t>(row)];
  if (chosen.isEncrypted && !GetBackupPassword()) {
    EnablePage();
    return;
  }
  main_.ScanPage().backupInfo = chosen;
  main_.Post(ui::kWmStartScan, 1);
}

void CItunesBackupVrtWnd::OnSelectFolder() {
  for (;;) {
    const auto folder = chooseFolder(&main_);
    if (!folder) return;
    BackupInfo info;
    if (info.ReadBackupInfo(*folder) == kOk) {
      if (info.isEncrypted && !GetBackupPassword()) return;
      main_.ScanPage().backupInfo = info;
      DisablePage();
      main_.Post(ui::kWmStartScan, 1);
      return;
    }
    const int answer = ui::ShowMessageBox(
        ui::kBoxQuestion, &main_, ui::MessageText("MSG0404"),
        LocalText("MSG0702", "Can not found the backup file, do you want to try again?"), 550, 200);
    if (answer != ui::kResultOk) return;
  }
}

void CItunesBackupVrtWnd::Notify(const ui::Notification& n) {
  if (n.Is(ui::notify::kClick, "BtnScan")) {
    OnScan();
  } else if (n.Is(ui::notify::kClick, "BtnRefresh")) {
    Refresh();
  } else if (n.Is(ui::notify::kClick, "BtnSelDir") || n.Is(ui::notify::kClick, "BtnSelDirHint")) {
    OnSelectFolder();
  }
}

}  // namespace halvern::app
