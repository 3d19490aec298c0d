// The program's only top-level window: the title bar with the assist menu, MainTabPage with
// the start pages (page 0) and the scan page (page 1), and the window messages of a scan.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QTextBrowser>
#include <QWidget>
#include <QUrl>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "ui/notify.h"
#include "ui/skin.h"

namespace halvern {
class BackupSession;
}

namespace halvern::app {

class CIosDeviceVrtWnd;
class CItunesBackupVrtWnd;
class CScanVrtWnd;
class DeviceSource;

// Status codes of WM_SCAN_STATUS.
enum ScanStatus : int {
  kStatusStarted = 0,
  kStatusWrongPassword = 1,
  kStatusDeviceGone = 2,
  kStatusOpenFailed = 3,
  kStatusOpen111 = 4,
};

// The web addresses the program opens, read from the section "Links" of config.ini.
struct LinkTable {
  QString help;           // Help
  QString about;          // About
  QString support;        // Support
  QString deviceSupport;  // DeviceSupport: how to get the phone service running
};
LinkTable Links();
// The user's help page shipped with the program's runtime files ("help/<language>.html",
// English when the language has none), opened by Help when config.ini names no help page.
std::filesystem::path HelpFile();
std::filesystem::path HelpFile(const std::string& language);

// The help page in a window of the program: no browser or other viewer is needed.
class CHelpWnd : public QDialog {
  Q_OBJECT
 public:
  CHelpWnd(QWidget* owner, const std::filesystem::path& page);
  QTextBrowser* Browser() const { return browser_; }
  // False when the page could not be read (the window then says which file is missing).
  bool Loaded() const { return loaded_; }

 private:
  QTextBrowser* browser_ = nullptr;
  bool loaded_ = false;
};

// The assist menu: a pop-up built from "menu_assist.xml" with the texts of "MenuWnd".
class CAssistMenu : public QFrame, public ui::NotifyTarget {
  Q_OBJECT
 public:
  explicit CAssistMenu(QWidget* owner);
  bool Build(QString* error);
  // Shows the menu with its top left corner at `globalPos`; FAQ stays hidden, and Support
  // too when config.ini gives it no page.
  void Open(const QPoint& globalPos);
  // Makes `language` the language of the windows from the next start on (the user's
  // config.ini); false with the reason in `error`.
  bool ChooseLanguage(const std::string& language, QString* error);
  void Notify(const ui::Notification& n) override;
  QWidget* Root() const { return root_; }
  // Opens a web page or local file; the desktop's handler when unset (tests replace it).
  std::function<void(const QUrl&)> openUrl;
  // Shows the shipped help page; the help window when unset (tests replace it).
  std::function<void(const std::filesystem::path&)> openHelp;

 private:
  void OpenLanguageMenu();

  QWidget* owner_;
  QWidget* root_ = nullptr;
};

class CMainWnd : public QWidget, public ui::NotifyTarget {
  Q_OBJECT

 public:
  // Builds the window from the skin; Ok() tells whether every layout and control was found.
  CMainWnd(std::unique_ptr<BackupSession> session, std::unique_ptr<DeviceSource> device,
           QWidget* parent = nullptr);
  ~CMainWnd() override;

  bool Ok() const { return errors_.isEmpty(); }
  const QStringList& Errors() const { return errors_; }

  void Notify(const ui::Notification& n) override;

  // Shows page 0 of TabPage (device) for OptIosDevice or page 1 (backups) for OptBackupFile.
  void ChooseStartPage(bool device);
  // Shows the window normally and brings it to the front (a second copy asked for it).
  bool RaiseWindow();
  // Starts the system's window move; replaceable so that tests can count the moves.
  std::function<void()> startSystemMove;

  QWidget* Root() const { return root_; }
  QStackedWidget* MainTabPage() const { return mainTab_; }
  QStackedWidget* TabPage() const { return tabPage_; }
  BackupSession& Session() { return *session_; }
  CIosDeviceVrtWnd& DevicePage() { return *devicePage_; }
  CItunesBackupVrtWnd& BackupPage() { return *backupPage_; }
  CScanVrtWnd& ScanPage() { return *scanPage_; }
  CAssistMenu& AssistMenu() { return *menu_; }
  DeviceSource& Device() { return *device_; }

  // Posts a window message to this window.
  void Post(int message, qintptr wParam = 0) { ui::PostWindowMessage(this, message, wParam); }

 signals:
  // A window message arrived (after it was handled); lets observers follow the protocol.
  void WindowMessage(int message, qintptr wParam);

 protected:
  bool event(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  QWidget* LoadPage(const QString& layout, QWidget* holder);
  void InitWindow();
  void OnWindowMessage(const ui::WindowMessageEvent& message);
  void OnScanStatus(int code);
  void AskPasswordAgainAndRestart();
  Qt::Edges EdgesAt(const QPoint& pos) const;

  std::unique_ptr<BackupSession> session_;
  std::unique_ptr<DeviceSource> device_;
  QStringList errors_;
  QWidget* root_ = nullptr;
  QStackedWidget* mainTab_ = nullptr;
  QStackedWidget* tabPage_ = nullptr;
  QLabel* productName_ = nullptr;
  QPushButton* optDevice_ = nullptr;
  QPushButton* optBackup_ = nullptr;
  QLabel* optTexts_[4] = {};
  QLabel* optIcons_[2] = {};
  QPushButton* assist_ = nullptr;
  QPushButton* maxBtn_ = nullptr;
  QPushButton* restoreBtn_ = nullptr;
  std::unique_ptr<CIosDeviceVrtWnd> devicePage_;
  std::unique_ptr<CItunesBackupVrtWnd> backupPage_;
  std::unique_ptr<CScanVrtWnd> scanPage_;
  CAssistMenu* menu_ = nullptr;
  // A press in the caption band waits here until the pointer has moved far enough to be a
  // drag: a click alone never starts a move.
  std::optional<QPoint> movePress_;
};

}  // namespace halvern::app
