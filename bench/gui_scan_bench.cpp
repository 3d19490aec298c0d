// The desktop program's scan of a backup, as a user runs it: the main window lists the backup
// on its start page, BtnScan starts the scan, the scan page fills its tree and lists as the
// categories come in; then Messages is picked (its list filled and painted). Reports the time
// to the end of the scan, the item counts, and the process's peak resident memory (which is
// the desktop program's figure: the window, the scan's results and the lists' models).
//
// Run offscreen (no display needed), with a Release build:
//   cmake --build build-bench --target gui_scan_bench
//   QT_QPA_PLATFORM=offscreen /usr/bin/time -v build-bench/bin/gui_scan_bench BACKUP_DIR
// BACKUP_DIR: a backup folder (the one with Manifest.db), e.g. bench/make_backup.py's output.
#include <sys/resource.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <filesystem>

#include "app/device_source.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/scan_page.h"
#include "app/start_pages.h"
#include "engine/backup_session.h"
#include "platform/platform.h"
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

double PeakMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_maxrss) / 1024.0;
}

}  // namespace

int main(int argc, char** argv) {
  platform::KeepLargeAllocationsApart();  // as the program does
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: gui_scan_bench BACKUP_DIR\n");
    return 2;
  }
  std::error_code ec;
  const fs::path backup = fs::absolute(argv[1], ec);
  if (ec || !fs::is_regular_file(backup / "Manifest.db", ec)) {
    std::fprintf(stderr, "%s: no backup there (no Manifest.db)\n", argv[1]);
    return 2;
  }
  ui::InitSkin();
  LanguageStore& store = LanguageStore::Instance();
  ui::SetTextSource(&store);
  application.setStyleSheet(ui::SkinStyleSheet());

  // The backup is listed from a data folder of its own, through a link (nothing is copied).
  QTemporaryDir dir;
  const fs::path appData = fs::path(dir.path().toStdString()) / "data";
  const fs::path listed = appData / "Apple Computer" / "MobileSync" / "Backup";
  fs::create_directories(listed, ec);
  fs::create_directory_symlink(backup, listed / backup.filename(), ec);
  if (ec) {
    std::fprintf(stderr, "cannot link the backup: %s\n", ec.message().c_str());
    return 1;
  }
  qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/halvern-bench-usbmuxd");
  CMainWnd window(std::make_unique<BackupSession>(appData, appData / "tmp"), CreateDeviceSource());
  if (!window.Ok()) {
    std::fprintf(stderr, "the window could not be built\n");
    return 1;
  }
  window.resize(1100, 700);
  window.show();
  Wait(200);
  const double idleMb = PeakMb();

  bool finished = false;
  QObject::connect(&window, &CMainWnd::WindowMessage, [&](int message, qintptr) {
    if (message == ui::kWmScanFinished) finished = true;
  });
  window.ChooseStartPage(false);
  if (window.BackupPage().List()->topLevelItemCount() != 1) {
    std::fprintf(stderr, "the backup is not listed\n");
    return 1;
  }
  QElapsedTimer t;
  t.start();
  window.findChild<QPushButton*>("BtnScan")->click();
  while (!finished) Wait(20);
  const double scanSeconds = double(t.elapsed()) / 1000.0;
  Wait(300);
  const double scannedMb = PeakMb();
  CScanVrtWnd& page = window.ScanPage();
  if (page.ScanResult() != 0) {
    std::fprintf(stderr, "the scan ended with %d\n", page.ScanResult());
    return 1;
  }
  // Messages picked: its list filled and painted.
  if (QTreeWidgetItem* messages = page.Tree().Row(ScanCategory::kMessages)) {
    messages->treeWidget()->setCurrentItem(messages);
    Wait(500);
  }

  std::printf("desktop scan of %s\n", backup.c_str());
  for (const auto& [category, count] : page.Counts())
    std::printf("  %-24s %10zu items\n", CategoryName(category), count);
  std::printf("  %-24s %10.1f s\n", "scan to its end", scanSeconds);
  std::printf("  %-24s %10.0f MB\n", "peak memory, window only", idleMb);
  std::printf("  %-24s %10.0f MB\n", "peak memory, scanned", scannedMb);
  std::printf("  %-24s %10.0f MB\n", "peak memory", PeakMb());
  return 0;
}
