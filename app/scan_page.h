// The scan page (the second page of MainTabPage): its controls and texts, and the scan
// state that the start pages fill in before a scan (mode, chosen backup, password).
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QTextEdit>
#include <QTreeWidget>

#include "backup/backup_info.h"
#include "ui/controls.h"
#include "ui/notify.h"

namespace halvern::app {

class CMainWnd;

class CScanVrtWnd : public ui::NotifyTarget {
 public:
  CScanVrtWnd(QWidget* page, CMainWnd& main);

  // Finds every control of the page and applies its texts; false with the missing names.
  bool InitPage(QStringList* missing);
  // The page texts of the section "PageScan" (LblStatistics keeps its own line), the pause
  // button's text and the texts of the current mode.
  void ApplyPageTexts();
  void ApplyModeTexts();

  // Starts a scan of `mode` (0 attached device, 1 backup folder). This page does not run
  // scans yet: it keeps the mode, shows its texts and answers 1 (nothing started).
  int StartScan(int mode);
  // Whether the main window may close; true when no scan is running.
  bool QueryClose();
  // The device went away during a scan; nothing to do while no scan runs.
  void OnDeviceGone();

  void Notify(const ui::Notification& n) override;

  QWidget* Page() const { return page_; }
  int mode = 1;           // 0 attached device, 1 backup folder
  BackupInfo backupInfo;  // the backup the backup start page chose
  QString password;       // the last backup password entered
  bool paused = false;
  bool scanFinished = true;

 private:
  QWidget* page_;
  CMainWnd& main_;
  ui::ButtonGif* gifScanning_ = nullptr;
  ui::ButtonGif* gifLoading_ = nullptr;
  QLabel* scanType_ = nullptr;
  QLabel* remark_ = nullptr;
  QLabel* remarkIcon_ = nullptr;
  QPushButton* pause_ = nullptr;
};

}  // namespace halvern::app
