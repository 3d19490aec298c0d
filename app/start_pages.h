// The two start pages of the main window: the attached device (CIosDeviceVrtWnd) and the
// backups on this computer (CItunesBackupVrtWnd).
#pragma once

#include <QFileSystemWatcher>
#include <QLabel>
#include <QTimer>
#include <QPushButton>
#include <QStackedWidget>
#include <QTreeWidget>
#include <filesystem>
#include <functional>
#include <optional>
#include <vector>

#include "backup/backup_info.h"
#include "ui/notify.h"

namespace halvern::app {

class CMainWnd;
class DeviceSource;

inline constexpr int kDevicePollTimer = 101;
inline constexpr int kDevicePollPeriodMs = 1000;

// Device page: TabIosDevice page 0 (the phone service is missing), 1 (connect a phone),
// 2 (a phone is connected, with IphoneInfo and BtnDeviceScan), driven by DevicePollTimer.
class CIosDeviceVrtWnd : public ui::NotifyTarget {
 public:
  CIosDeviceVrtWnd(QWidget* page, CMainWnd& main, DeviceSource& device);

  bool InitPage(QStringList* missing);
  // One tick of DevicePollTimer.
  void Poll();
  void RearmPollTimer();
  bool PollTimerActive() const;
  int CurrentPage() const { return tabs_->currentIndex(); }

  void Notify(const ui::Notification& n) override;

 private:
  void StartDeviceScan();

  QWidget* page_;
  CMainWnd& main_;
  DeviceSource& device_;
  ui::TimerSet timers_;
  QStackedWidget* tabs_ = nullptr;
  QLabel* info_ = nullptr;
  bool willEncrypt_ = false;
};

// Backup page: the backups found on this computer (newest first) in BackupFileList, BtnScan
// for the selected one, BtnSelDir for a folder chosen by hand.
class CItunesBackupVrtWnd : public ui::NotifyTarget {
 public:
  CItunesBackupVrtWnd(QWidget* page, CMainWnd& main);

  bool InitPage(QStringList* missing);
  // Enables BtnScan (only with a backup listed), the list, BtnSelDir and MainTabPage.
  void EnablePage();
  void DisablePage();
  // Asks for the password of an encrypted backup until one is given; false when cancelled.
  bool GetBackupPassword();

  const std::vector<BackupInfo>& Backups() const { return backups_; }
  QTreeWidget* List() const { return list_; }
  // The hint shown instead of the list when no backup was found.
  QWidget* EmptyHint() const { return emptyHint_; }
  QLabel* EmptyWhere() const { return emptyWhere_; }

  // Lists the backups again (BtnRefresh, and on its own when the backup folder changes),
  // keeping the chosen backup chosen when it is still there.
  void Refresh();
  const QFileSystemWatcher& Watcher() const { return watcher_; }

  // The folder picker of BtnSelDir; nullopt when the user cancels. Replaceable for tests.
  std::function<std::optional<std::filesystem::path>(QWidget* owner)> chooseFolder;

  void Notify(const ui::Notification& n) override;

 private:
  void FillList();
  void OnScan();
  void OnSelectFolder();
  void ShowEmptyHint();
  void Watch();

  QWidget* page_;
  CMainWnd& main_;
  QTreeWidget* list_ = nullptr;
  QPushButton* scan_ = nullptr;
  QPushButton* selDir_ = nullptr;
  QWidget* listHeader_ = nullptr;
  QWidget* emptyHint_ = nullptr;
  QLabel* emptyWhere_ = nullptr;
  QPushButton* selDirHint_ = nullptr;
  std::filesystem::path lookedIn_;
  std::vector<BackupInfo> backups_;
  QPushButton* refresh_ = nullptr;
  // The backup folder (or, until it exists, the nearest folder above it) is watched; a change
  // lists the backups again once it has been quiet for a moment (a backup being written).
  QFileSystemWatcher watcher_;
  QTimer relist_;
};

// Image shown for a backup row: the lock for an encrypted backup.
QString BackupRowImage(bool encrypted);

}  // namespace halvern::app
