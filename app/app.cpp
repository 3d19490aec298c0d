// Start-up and shut-down of the desktop program.
#include "app/app.h"

#include <sys/types.h>

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QThread>
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
#include "export/print_page.h"
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

// Asked by the scan worker when the temporary folder lacks room for a decrypted copy: says so
// and lets the user pick a folder of his own (on the user-interface thread; the worker waits).
// An empty path gives the scan up with its own message.
std::filesystem::path AskForTempFolder(const TempSpaceShortfall& shortfall) {
  std::filesystem::path chosen;
  auto ask = [&] {
    const QString text =
        QStringLiteral("There is not enough space in %1 for the decrypted copy of this backup: "
                       "it needs %2 MiB and %3 MiB are free.\n\nChoose a folder of your own "
                       "with room for it.")
            .arg(QString::fromStdString(shortfall.folder.string()))
            .arg(shortfall.needed / (1024 * 1024))
            .arg(shortfall.available / (1024 * 1024));
    if (QMessageBox::warning(nullptr, QStringLiteral("Not enough space"), text,
                             QMessageBox::Ok | QMessageBox::Cancel) != QMessageBox::Ok) {
      return;
    }
    const QString folder = QFileDialog::getExistingDirectory(
        nullptr, QStringLiteral("Folder for the decrypted copy"));
    if (!folder.isEmpty()) chosen = folder.toStdString();
  };
  if (QThread::currentThread() == qApp->thread()) {
    ask();
  } else {
    QMetaObject::invokeMethod(qApp, ask, Qt::BlockingQueuedConnection);
  }
  return chosen;
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
  // A print page left by a window that did not close normally holds the user's data.
  std::error_code ignored;
  std::filesystem::remove(PrintPagePath(work), ignored);
  std::filesystem::remove(PrintPagePath(work).parent_path(), ignored);
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
  if (!ApplyLanguage(store)) {
    qWarning("Qt's own translations for %s are not installed; its dialogs stay in English.",
             store.LanguageName().c_str());
  }

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
    // Decrypted copies that killed runs of this user left behind go first.
    SweepTempBackupLeftovers(platform::AppDataFolder());
    auto session = std::make_unique<BackupSession>();
    session->chooseTempFolder = &AskForTempFolder;
    CMainWnd main(std::move(session), CreateDeviceSource());
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
