// The password dialog and the preview extraction window.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "ui/popup.h"

namespace halvern {
class BackupSession;
}

namespace halvern::app {

// Asks for a backup password, 550 x 200. Flag 0: the attached device's backup password
// ("MSG0601"); 1: a backup folder's ("MSG0602"). BtnOK keeps the typed text and closes with 1,
// BtnCancel and closebtn close with 2.
class CDecryptionWnd : public ui::CPopUpWnd {
  Q_OBJECT
 public:
  CDecryptionWnd(QWidget* parent, int flag);
  const QString& Password() const { return password_; }
  void Notify(const ui::Notification& n) override;

 protected:
  bool OnInit(QStringList* missing) override;

 private:
  int flag_;
  QString password_;
  QLineEdit* edit_ = nullptr;
};

// Copies one data file of the backup to the preview location on a worker thread, showing
// its progress; closebtn, BtnCancel and Escape ask whether to stop. Closes with 1 when the
// copy ran to its end, 2 when it was stopped.
class CPreviewProcessWnd : public ui::CPopUpWnd {
  Q_OBJECT
 public:
  CPreviewProcessWnd(QWidget* parent, BackupSession& session, std::string dataFile,
                     QString displayName, int width = 500, int height = 200);
  ~CPreviewProcessWnd() override;

  // Where the copy went (empty for a file of no known type or a stopped copy).
  const std::string& PreviewPath() const { return previewPath_; }
  int32_t ExtractResult() const { return result_; }
  void Notify(const ui::Notification& n) override;

 protected:
  bool OnInit(QStringList* missing) override;
  void reject() override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  static int32_t OnProgress(void* self, int32_t percent);
  void AskCancel();

  BackupSession& session_;
  std::string dataFile_;
  QString displayName_;
  std::string previewPath_;
  std::atomic<int32_t> result_{0};
  std::atomic<bool> done_{false};
  std::atomic<bool> cancel_{false};
  std::mutex lock_;
  std::thread worker_;
  QLabel* percentLabel_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QString percentText_;
};

// Runs the event loop until `done` answers true, looking every `stepMs`.
void WaitUntil(const std::function<bool()>& done, int stepMs = 50);

// The About box, 480 x 260: the program's name, version and licence (from the build's
// project version), and what it does. okbtn, Enter, closebtn and Escape close it.
class CAboutWnd : public ui::CPopUpWnd {
  Q_OBJECT
 public:
  explicit CAboutWnd(QWidget* parent);
  // "Version 0.1", "Licence: MIT" as shown.
  static QString VersionText();
  static QString LicenceText();

 protected:
  bool OnInit(QStringList* missing) override;
};

}  // namespace halvern::app
