// The print window offscreen: the worker composes the page, the browser loads it, the page's
// Init is called and its print request is answered by printing to a PDF file whose text holds
// the items, item markup included as text.
#include "app/print_wnd.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QPdfDocument>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QWebEnginePage>
#include <QWebEngineView>
#include <chrono>
#include <filesystem>
#include <thread>

#include "tests/ui/qt_test_env.h"

// Qt WebEngine's own library (built without the sanitizers) frees objects through a base
// type of another size and keeps allocations until the process ends; neither is ours. The
// preview's sound player (Qt Multimedia over GStreamer) leaves GLib's and GStreamer's
// registries allocated until the end as well.
extern "C" const char* __asan_default_options() { return "new_delete_type_mismatch=0"; }
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libQt6WebEngineCore\nleak:libpulse\nleak:libfontconfig\nleak:libdbus\n"
         "leak:libglib-2.0\nleak:libgst\n";
}

namespace halvern::app {
namespace {

namespace fs = std::filesystem;

// WebEngine refuses to start as root without this; it must be set before the application.
const bool kSandboxOff = [] {
  qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  return true;
}();

bool Until(const std::function<bool()>& done, int ms = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

QString PdfText(const QString& path) {
  QPdfDocument pdf;
  if (pdf.load(path) != QPdfDocument::Error::None) return {};
  QString text;
  for (int i = 0; i < pdf.pageCount(); ++i) text += pdf.getAllText(i).text();
  return text;
}

TEST(PrintWnd, ComposesLoadsCallsInitAndPrintsToPdf) {
  ASSERT_TRUE(kSandboxOff);
  QTemporaryDir dir;
  std::vector<NoteItem> notes(2);
  notes[0].title = "Shopping";
  notes[0].date = "2024-06-01 07:00:00";
  notes[0].body = "milk and eggs";
  notes[1].deleted = 1;
  notes[1].title = "Trap";
  notes[1].body = "<script>document.title='ran'</script><b>bold</b>";
  PrintSource source;
  source.category = ScanCategory::kNotes;
  source.notes = &notes;

  CPrintWnd wnd(nullptr, source, fs::path(dir.path().toStdString()),
                fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template");
  const QString pdf = dir.filePath(QStringLiteral("printed.pdf"));
  int printRequests = 0;
  bool pdfDone = false;
  wnd.printPage = [&](QWebEngineView* view) {
    ++printRequests;
    QObject::connect(view, &QWebEngineView::pdfPrintingFinished,
                     [&](const QString&, bool ok) { pdfDone = ok; });
    view->printToPdf(pdf);
  };
  QString error;
  ASSERT_TRUE(wnd.Build(&error)) << error.toStdString();
  wnd.show();
  EXPECT_EQ(wnd.TabPage()->currentIndex(), 0);
  const bool finished = Until([&] { return wnd.InitCalled() && pdfDone; });
  ASSERT_TRUE(finished) << wnd.InitCalled() << pdfDone << printRequests << " "
                        << wnd.View()->url().toString().toStdString() << " "
                        << wnd.TabPage()->currentIndex() << " " << wnd.WorkerResult();
  EXPECT_EQ(wnd.WorkerResult(), 0);
  EXPECT_TRUE(wnd.PrintDone());
  EXPECT_EQ(wnd.TabPage()->currentIndex(), 1);
  EXPECT_EQ(printRequests, 1);
  ASSERT_TRUE(fs::exists(wnd.PagePath()));
  EXPECT_EQ(wnd.PagePath().filename(), "page.html");
  ASSERT_GT(fs::file_size(pdf.toStdString()), 0u);
  const QString text = PdfText(pdf);
  EXPECT_TRUE(text.contains(QLatin1String("Shopping"))) << text.toStdString();
  EXPECT_TRUE(text.contains(QLatin1String("milk and eggs")));
  EXPECT_TRUE(text.contains(QLatin1String("<script>document.title='ran'</script><b>bold</b>")))
      << text.toStdString();
  // The item's script did not run.
  EXPECT_NE(wnd.View()->page()->title(), QLatin1String("ran"));

  if (const QByteArray shots = qgetenv("HALVERN_SCREENSHOTS"); !shots.isEmpty()) {
    QApplication::processEvents();
    wnd.grab().save(QString::fromUtf8(shots) + QStringLiteral("/print_wnd.png"));
  }
  // Once composed, the close button closes the window with 1.
  wnd.Notify({QString::fromLatin1(ui::notify::kClick), QStringLiteral("closebtn"), nullptr});
  EXPECT_EQ(wnd.result(), ui::kResultOk);
}

// The page holds the user's data: it goes with the window that showed it. The window owns the
// page and deletes the view first, so that the page never outlives or precedes its view.
TEST(PrintWnd, ThePageGoesWithTheWindow) {
  ASSERT_TRUE(kSandboxOff);
  QTemporaryDir dir;
  std::vector<NoteItem> notes(1);
  notes[0].title = "Private";
  PrintSource source;
  source.category = ScanCategory::kNotes;
  source.notes = &notes;
  fs::path page;
  {
    CPrintWnd wnd(nullptr, source, fs::path(dir.path().toStdString()),
                  fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template");
    wnd.printPage = [](QWebEngineView*) {};
    QString error;
    ASSERT_TRUE(wnd.Build(&error)) << error.toStdString();
    wnd.show();
    ASSERT_TRUE(Until([&] { return wnd.InitCalled(); }));
    page = wnd.PagePath();
    ASSERT_TRUE(fs::exists(page));
    EXPECT_EQ(wnd.View()->page()->parent(), nullptr);  // not the view's: the window's
    wnd.Notify({QString::fromLatin1(ui::notify::kClick), QStringLiteral("closebtn"), nullptr});
  }
  EXPECT_FALSE(fs::exists(page));
  EXPECT_FALSE(fs::exists(page.parent_path()));
}

TEST(PrintWnd, PageWithoutInitIsShownButNotPrinted) {
  QTemporaryDir dir;
  const fs::path templates = fs::path(dir.path().toStdString()) / "template";
  fs::create_directories(templates);
  {
    std::FILE* f = std::fopen((templates / "Print.html").c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("<html><body>{|content|}</body></html>", f);
    std::fclose(f);
  }
  std::vector<CallItem> calls(1);
  calls[0].name = "Ann";
  PrintSource source;
  source.category = ScanCategory::kCallHistory;
  source.calls = &calls;
  CPrintWnd wnd(nullptr, source, fs::path(dir.path().toStdString()), templates);
  int printRequests = 0;
  wnd.printPage = [&](QWebEngineView*) { ++printRequests; };
  ASSERT_TRUE(wnd.Build());
  wnd.show();
  ASSERT_TRUE(Until([&] { return wnd.View()->url().isLocalFile(); }));
  bool loaded = false;
  QObject::connect(wnd.View(), &QWebEngineView::loadFinished, [&](bool ok) { loaded = ok; });
  ASSERT_TRUE(Until([&] { return loaded || wnd.View()->page()->title() == "page.html"; }, 30000));
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 1500) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_FALSE(wnd.InitCalled());
  EXPECT_EQ(printRequests, 0);
}

TEST(PrintWnd, CloseWhileComposingAsksAndClosesWithoutPrinting) {
  QTemporaryDir dir;
  std::vector<NoteItem> notes(20);
  for (NoteItem& n : notes) n.title = "slow";
  PrintSource source;
  source.category = ScanCategory::kNotes;
  source.notes = &notes;
  // Each item takes a while, so that the close comes while the worker composes.
  source.checked = [](const void*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    return true;
  };
  CPrintWnd wnd(nullptr, source, fs::path(dir.path().toStdString()),
                fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template");
  int asked = 0;
  int printRequests = 0;
  wnd.askCancel = [&] {
    ++asked;
    return true;
  };
  wnd.printPage = [&](QWebEngineView*) { ++printRequests; };
  ASSERT_TRUE(wnd.Build());
  wnd.show();
  ASSERT_TRUE(Until([&] { return !wnd.PrintDone(); }, 5000));
  wnd.Notify({QString::fromLatin1(ui::notify::kClick), QStringLiteral("closebtn"), nullptr});
  EXPECT_EQ(asked, 1);
  EXPECT_TRUE(wnd.PrintDone());
  ASSERT_TRUE(Until([&] { return !wnd.isVisible(); }, 5000));
  EXPECT_EQ(wnd.result(), ui::kResultCancel);
  QElapsedTimer clock;
  clock.start();
  while (clock.elapsed() < 1000) QApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_FALSE(wnd.InitCalled());
  EXPECT_EQ(printRequests, 0);
}

}  // namespace
}  // namespace halvern::app
