// Start-up and shut-down of the desktop program.
#include "app/app.h"

#include <sys/types.h>

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <csignal>
#include <mutex>
#include <set>

#include "app/device_source.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/single_instance.h"
#include "engine/backup_session.h"
#include "platform/platform.h"
#include "ui/popup.h"
#include "ui/skin.h"

namespace halvern::app {

namespace {

std::mutex g_playersLock;
std::set<long> g_players;

void EndPlayers() {
  std::lock_guard<std::mutex> hold(g_playersLock);
  for (long pid : g_players) kill(static_cast<pid_t>(pid), SIGTERM);
  g_players.clear();
}

// The skin is compiled in; a build without it cannot show a window.
bool SkinPresent() { return QFile::exists(ui::LayoutPath(QStringLiteral("skin.xml"))); }

void CentreOnScreen(QWidget& window) {
  if (QScreen* screen = window.screen()) {
    const QRect area = screen->availableGeometry();
    window.move(area.center() - QPoint(window.width() / 2, window.height() / 2));
  }
}

}  // namespace

void RegisterPlayer(long pid) {
  std::lock_guard<std::mutex> hold(g_playersLock);
  g_players.insert(pid);
}

void ForgetPlayer(long pid) {
  std::lock_guard<std::mutex> hold(g_playersLock);
  g_players.erase(pid);
}

void ShutDown(const std::filesystem::path& appData) {
  EndPlayers();
  if (appData.empty()) return;
  const std::filesystem::path work = appData / kWorkFolderName;
  for (const char* name : {"tmp.jpg", "tmp.wav", "tmp.avi"}) {
    std::error_code ignored;
    std::filesystem::remove(work / name, ignored);
  }
}

int RunHalvern(int argc, char** argv) {
  // The embedded browser (print window) shares its graphics context with the widgets.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Halvern"));
  // The desktop entry's id, so that the desktop matches the window with its launcher and icon.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.halvern.Halvern"));
  ui::InitSkin();

  LanguageStore& store = LanguageStore::Instance();
  ui::SetTextSource(&store);

  SingleInstance instance;
  CMainWnd* window = nullptr;
  if (!instance.Acquire([&window] { return window != nullptr && window->RaiseWindow(); })) {
    if (!instance.AskFirstToRaise()) {
      ui::ShowMessageBox(ui::kBoxInformation, nullptr, std::nullopt,
                         QStringLiteral("Halvern is running."), 350, 150);
    }
    return 0;
  }

  if (!SkinPresent()) {
    QMessageBox::information(nullptr, QStringLiteral("Information"),
                             QStringLiteral("The window layouts are missing, the application can "
                                            "not complete initialization!"));
    return 0;
  }

  application.setStyleSheet(ui::SkinStyleSheet());

  int status = 0;
  {
    CMainWnd main(std::make_unique<BackupSession>(), CreateDeviceSource());
    window = &main;
    if (main.Ok()) {
      CentreOnScreen(main);
      main.show();
      status = application.exec();
    } else {
      for (const QString& e : main.Errors()) qCritical("%s", qPrintable(e));
      status = 1;
    }
    window = nullptr;
  }
  ShutDown(platform::AppDataFolder());
  return status;
}

}  // namespace halvern::app
