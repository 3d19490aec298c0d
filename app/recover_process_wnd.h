// The recover window: runs RecoverWorker on its own thread into the folder the user chose,
// shows the file being written, the progress and the counts, keeps a detail list of every
// file with its outcome (failures first, in red), asks before cancelling, and opens the
// destination folder.
#pragma once

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "export/recover_worker.h"
#include "ui/popup.h"

namespace halvern::app {

class CRecoverProcessWnd : public ui::CPopUpWnd, private RecoverProgress {
  Q_OBJECT
 public:
  // `total`: the number of selected items the run is to write.
  CRecoverProcessWnd(QWidget* parent, RecoverJob job, uint32_t total);
  ~CRecoverProcessWnd() override;

  // Loads the templates (a missing one is reported in a message box and nothing runs),
  // starts the worker and shows the window modally. 1 when closed after the run, 2 when
  // cancelled or not started.
  int Run();

  bool Finished() const { return exportDone_.load(); }
  // Files reported (the detail list's lines) and those with a failure.
  uint32_t DoneCount() const;
  uint32_t FailedCount() const;
  // Selected items whose files are all complete on disk, and items with a failure.
  uint32_t ItemsWritten() const;
  uint32_t ItemsFailed() const;
  // The status shown for a report's error: "Success", the system's own message, or
  // "Stopped" only for the stop the user asked for.
  QString StatusText(int32_t error) const;
  int32_t RunResult() const { return runResult_.load(); }
  const RecoverSummary& Summary() const { return worker_.summary(); }
  QTreeWidget* DetailList() const { return detail_; }

  void Notify(const ui::Notification& n) override;

 protected:
  bool OnInit(QStringList* missing) override;
  void reject() override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  struct Pending {
    std::string path;
    int32_t error;
    std::string reason;  // the run's own sentence for a failure, shown after the status
  };
  int32_t OnRecoverProgress(int32_t percent, int32_t error, const std::string& path) override;
  int32_t OnRecoverFailure(int32_t error, const std::string& path,
                           const std::string& reason) override;
  // Counts one report (a failure's reason kept for the detail list) and queues its display.
  int32_t Record(int32_t percent, int32_t error, const std::string& path,
                 const std::string& reason);
  void OnItemOutcome(int32_t error) override;
  void QueueShow();
  void ShowProgress();
  void OnWorkerDone();
  void AskCancel();
  void ToggleDetail();

  fs::path destination_;
  RecoverWorker worker_;
  uint32_t total_;
  std::thread thread_;
  std::mutex recoverLock_;  // held by a report, and by the window while it asks to cancel
  std::mutex dataLock_;     // what the window has still to show
  bool cancelled_ = false;
  std::atomic<bool> exportDone_{false};
  std::atomic<int32_t> runResult_{0};
  uint32_t done_ = 0, failed_ = 0;
  uint32_t itemsWritten_ = 0, itemsFailed_ = 0;
  int32_t percent_ = 0;
  std::string current_;
  std::vector<Pending> pending_;
  bool updateQueued_ = false;
  QSize createdSize_;
  bool detailShown_ = false;

  QLabel* currentLabel_ = nullptr;
  QLabel* recoveredLabel_ = nullptr;
  QLabel* percentLabel_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QPushButton* finishBtn_ = nullptr;
  QPushButton* cancelBtn_ = nullptr;
  QTreeWidget* detail_ = nullptr;
};

}  // namespace halvern::app
