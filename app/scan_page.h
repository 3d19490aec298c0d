// The scan page (the second page of MainTabPage): the scan's progress, pause and stop, then
// the results: the category tree, the item list, the selection statistics and Recover.
// The scan itself runs in ScanSequence; this page is its front end and queues every notice of
// the worker to the user-interface thread in the order the worker gave them.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QObject>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QString>
#include <QTextEdit>
#include <QTreeView>
#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>

#include "app/preview_pane.h"
#include "app/file_list_ctrl.h"
#include "app/file_tree_ctrl.h"
#include "app/timeline_list.h"
#include "app/search_panel.h"
#include "backup/backup_info.h"
#include "engine/scan_sequence.h"
#include "selection/statistics.h"
#include "ui/controls.h"
#include "ui/notify.h"

namespace halvern::app {

class CMainWnd;

// How the last scan ended.
enum class ScanOutcome {
  kNone,          // no scan yet, or one running
  kFinished,      // every category was read
  kStopped,       // the user stopped it
  kOpenFailed,    // the backup (or the phone's fresh backup) could not be opened
  kDeviceGone,    // the phone was disconnected
};

class CScanVrtWnd : public ui::NotifyTarget, private ScanFrontEnd {
 public:
  CScanVrtWnd(QWidget* page, CMainWnd& main);
  ~CScanVrtWnd() override;

  // Finds every control of the page, builds the tree and binds the list; false with the
  // missing names.
  bool InitPage(QStringList* missing);
  // The page texts of the section "PageScan" (LblStatistics keeps its own line), the pause
  // button's text, the texts of the current mode and the statistics line.
  void ApplyPageTexts();
  void ApplyModeTexts();

  // Starts a scan of `mode` (0 attached device, 1 backup folder) of `backupInfo` with
  // `password`. 0 when the worker runs; 1 for an unknown mode or a scan still running.
  int StartScan(int mode);
  // The window messages of a scan, forwarded by the main window.
  void RefreshTreeCounts();
  void SelectFirstNode();
  void OnScanFinished();
  // Whether the main window may close (asks while a scan runs or results would be lost).
  bool QueryClose();
  // The device went away during a scan: stop it and tell the user.
  void OnDeviceGone();
  // The last scan's outcome (set when it has ended) and its sentence as the page shows it.
  ScanOutcome Outcome() const { return outcome_; }
  QString OutcomeText() const;
  // Why the last scan's opening failed, in the user's language (empty when it did not).
  QString OpenFailureText() const;
  // Categories the last scan read to their end.
  const std::set<ScanCategory>& ScannedCategories() const { return scanned_; }

  void Notify(const ui::Notification& n) override;

  QWidget* Page() const { return page_; }
  bool ScanFinished() const { return sequence_->finished(); }
  int32_t ScanResult() const { return sequence_->scanResult(); }
  const ScanResults& Results() const { return sequence_->results(); }
  const CategoryRows& Rows() const { return rows_; }
  CStatisticsObj& Selection() { return selection_; }
  CFileTreeCtrl& Tree() { return *tree_; }
  CFileListCtrl& List() { return *list_; }
  // The list of the tree's "Timeline" row (shown in place of the category list).
  CTimelineList& TimelineList() { return *timeline_; }
  CPreviewVrtWnd& Pane() { return *pane_; }
  // The search of every category (its field above the tree, its hits in place of the list).
  CSearchPanel& SearchAll() { return *searchAll_; }
  ScanSequence& Sequence() { return *sequence_; }
  // The statistics line as shown.
  QString StatisticsText() const;
  // The splitter between the list and the preview pane; the pane's width as the user left it
  // (kept in the user's config.ini from one run to the next).
  QSplitter* PreviewSplitter() const { return splitter_; }
  int PreviewWidth() const { return previewWidth_; }
  // Items found per category (conversations and chats count once each).
  const std::map<ScanCategory, size_t>& Counts() const { return counts_; }

  int mode = 1;           // 0 attached device, 1 backup folder
  BackupInfo backupInfo;  // the backup the backup start page chose
  QString password;       // the last backup password entered
  bool paused = false;

  // The folder picker of BtnRecovery; nullopt when the user cancels. Replaceable for tests.
  std::function<std::optional<std::filesystem::path>(QWidget* owner)> chooseFolder;

 private:
  // ScanFrontEnd, called on the worker: each queues its work to this page's thread.
  void Post(int32_t message, int32_t wParam) override;
  void OnScanStarted() override;
  void OnProgressShown(int32_t percent) override;
  void OnCategoryReady(ScanCategory category) override;
  void OnCategoryScanned(ScanCategory category) override;
  void ShowOutcome();
  bool HasSelectedNode() const override;
  // Runs `work` on the user-interface thread unless a newer scan started meanwhile.
  void Queue(std::function<void()> work);

  void AddCategory(ScanCategory category, CategoryRows prepared);
  // `view`: the index of one of the category's views, or -1 for the whole category.
  void PickCategory(ScanCategory category, int view = -1);
  // The "Timeline" row: its list in place of the category list, the preview of the chosen
  // entry's item.
  void PickTimeline();
  // Shows the timeline's list (true) or the category list.
  void ShowTimelineList(bool on);
  // Puts the list side and the preview pane into a splitter the user can drag.
  void BuildPreviewSplitter();
  void ApplyPreviewWidth();
  void SavePreviewWidth();
  void OnCategoryCheck(ScanCategory category, bool on);
  void AfterSelectionChange();
  void UpdateStatistics();
  void UpdateRecoverButton();
  void PlayAnimations();
  void StopAnimations();
  void ResetPage();
  void TogglePause();
  void AskStop();
  void GoHome();
  void Recover();
  // Shows the item of a list row in the preview pane.
  void PreviewRow(int row);
  // After notes were opened with their password: the list's copies of them take their text.
  void RefreshOpenedNotes();
  // The item of a search hit in the scan's results (the address the preview takes), or null.
  const void* HitItem(const SearchHit& hit) const;
  // Opens the item of a search hit in its category's list, selected (and so previewed).
  void OpenHit(const SearchHit& hit);
  // Shows the search's hits (true) or the list side again (false).
  void ShowSearch(bool on);
  // Opens the print window over the checked items of the shown category.
  void Print();

  QWidget* page_;
  CMainWnd& main_;
  QObject context_;  // receives the queued work; goes before the sequence ends
  uint64_t generation_ = 0;
  std::atomic<uint64_t> liveGeneration_{0};
  bool everScanned_ = false;
  ScanCategory firstReady_ = ScanCategory::kCameraRoll;
  bool anyReady_ = false;
  std::map<ScanCategory, size_t> counts_;
  // The views of the table categories that have them, made when the category is complete.
  std::map<ScanCategory, std::vector<CategoryView>> views_;
  std::set<ScanCategory> scanned_;
  ScanOutcome outcome_ = ScanOutcome::kNone;
  bool stopAsked_ = false;   // the user answered "OK" to stopping (Stop or closing)
  bool deviceGone_ = false;  // the main window reported the phone gone
  CategoryRows rows_;
  CStatisticsObj selection_;

  ui::ButtonGif* gifScanning_ = nullptr;
  ui::ButtonGif* gifLoading_ = nullptr;
  QWidget* scanBar_ = nullptr;
  QWidget* recoveryBar_ = nullptr;
  QWidget* infoLayout_ = nullptr;
  QWidget* dataLayout_ = nullptr;
  QWidget* listBar_ = nullptr;
  QWidget* filterBar_ = nullptr;
  QWidget* switchLayout_ = nullptr;
  QWidget* previewLayout_ = nullptr;
  QLabel* scanType_ = nullptr;
  QLabel* percent_ = nullptr;
  QLabel* remark_ = nullptr;
  QLabel* remarkIcon_ = nullptr;
  QLabel* desc1_ = nullptr;
  QLabel* desc2_ = nullptr;
  QLabel* desc3_ = nullptr;
  QLabel* statistics_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* pause_ = nullptr;
  QPushButton* home_ = nullptr;
  QPushButton* recovery_ = nullptr;
  QPushButton* filter_ = nullptr;
  QPushButton* preview_ = nullptr;
  QPushButton* backAppDir_ = nullptr;
  QPushButton* print_ = nullptr;
  QCheckBox* heicJpeg_ = nullptr;
  QLineEdit* search_ = nullptr;
  QSplitter* splitter_ = nullptr;
  int previewWidth_ = 0;
  QTimer saveWidth_;
  std::unique_ptr<CPreviewVrtWnd> pane_;
  std::unique_ptr<CFileTreeCtrl> tree_;
  std::unique_ptr<CFileListCtrl> list_;
  std::unique_ptr<CTimelineList> timeline_;
  std::unique_ptr<CSearchPanel> searchAll_;  // ends its search before the results go
  std::unique_ptr<ScanSequence> sequence_;  // ends (and waits for) its worker first
  const ScanResults* results_;              // the sequence's results, for its worker's calls
};

// Fills "%s" and "%d" of a message text in order with `args`.
QString FillMessage(const QString& format, const QStringList& args);

}  // namespace halvern::app
