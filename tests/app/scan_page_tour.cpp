// Screenshots of the scan page for a look by eye (not a test): the page while a scan runs,
// after the scan with Messages picked, and the recover window with its details. Writes
// scan-running.png, scan-messages.png, recover-window.png and recover-details.png into OUT_DIR.
//   scan_page_tour OUT_DIR        (under a display, or QT_QPA_PLATFORM=offscreen)
#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>

#include "app/device_source.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/recover_process_wnd.h"
#include "app/scan_page.h"
#include "app/start_pages.h"
#include "engine/backup_session.h"
#include "tests/fixtures/scan_backups.h"
#include "ui/skin.h"

namespace fs = std::filesystem;
using namespace halvern;
using namespace halvern::app;

namespace {
void Wait(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}
}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: scan_page_tour OUT_DIR\n");
    return 2;
  }
  const fs::path out = argv[1];
  fs::create_directories(out);
  ui::InitSkin();
  LanguageStore store;
  store.Load(fs::path(HALVERN_SOURCE_DIR) / "runtime");
  ui::SetTextSource(&store);
  application.setStyleSheet(ui::SkinStyleSheet());

  QTemporaryDir dir;
  const fs::path appData = fs::path(dir.path().toStdString()) / "data";
  std::string error;
  if (!fixtures::WriteScanBackup(fixtures::PhoneGeneration::kIos14,
                                 appData / "Apple Computer" / "MobileSync" / "Backup" / "full",
                                 nullptr, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/halvern-tour-usbmuxd");
  CMainWnd window(std::make_unique<BackupSession>(appData, appData / "tmp"), CreateDeviceSource());
  if (!window.Ok()) return 1;
  window.resize(1100, 700);
  window.show();
  Wait(300);
  CScanVrtWnd& page = window.ScanPage();

  // While scanning: the first progress report switches to the page; pause there for the shot.
  bool shot = false;
  bool finished = false;
  QObject::connect(&window, &CMainWnd::WindowMessage, [&](int message, qintptr w) {
    if (message == ui::kWmScanFinished) finished = true;
    if (message == ui::kWmScanStatus && w == 0 && !shot) {
      shot = true;
      page.Sequence().Pause();  // holds the worker only while the picture is taken
      Wait(150);
      window.grab().save(QString::fromStdString((out / "scan-running.png").string()));
      page.Sequence().Resume();
    }
  });
  window.ChooseStartPage(false);
  window.findChild<QPushButton*>("BtnScan")->click();
  QElapsedTimer t;
  t.start();
  while (!finished && t.elapsed() < 60000) Wait(20);
  Wait(300);

  // After the scan, Messages picked.
  QTreeWidgetItem* messages = page.Tree().Row(ScanCategory::kMessages);
  messages->treeWidget()->setCurrentItem(messages);
  Wait(200);
  window.grab().save(QString::fromStdString((out / "scan-messages.png").string()));

  // The recover window, after its run, then with the details open.
  const fs::path target = fs::path(dir.path().toStdString()) / "recovered";
  fs::create_directories(target);
  page.chooseFolder = [&](QWidget*) { return std::optional<fs::path>(target); };
  QTimer::singleShot(0, [&] {
    auto* wnd = qobject_cast<CRecoverProcessWnd*>(QApplication::activeModalWidget());
    QElapsedTimer run;
    run.start();
    while ((wnd == nullptr || !wnd->Finished()) && run.elapsed() < 60000) {
      Wait(20);
      if (wnd == nullptr)
        wnd = qobject_cast<CRecoverProcessWnd*>(QApplication::activeModalWidget());
    }
    if (wnd == nullptr) return;
    Wait(300);
    wnd->grab().save(QString::fromStdString((out / "recover-window.png").string()));
    wnd->findChild<QPushButton*>("DetailBtn")->click();
    Wait(300);
    wnd->grab().save(QString::fromStdString((out / "recover-details.png").string()));
    wnd->findChild<QPushButton*>("FinishBtn")->click();
  });
  window.findChild<QPushButton*>("BtnRecovery")->click();
  std::printf("screenshots in %s\n", out.c_str());
  return 0;
}
