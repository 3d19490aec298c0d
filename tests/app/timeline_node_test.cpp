// The tree's "Timeline" row in the desktop program, offscreen: after a scan of a backup whose
// messages, calls, notes, WhatsApp chats and a photo share a day, the row counts every dated
// item; picking it shows its list in place of the category list, by time, deleted items in
// the deleted colour; choosing an entry previews its item; picking a category brings the
// category list back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/device_source.h"
#include "app/file_list_ctrl.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/scan_page.h"
#include "app/start_pages.h"
#include "engine/backup_session.h"
#include "tests/fixtures/photos_dbs.h"
#include "tests/fixtures/scan_backups.h"
#include "timeline/timeline.h"
#include "ui/skin.h"

namespace halvern::app {
namespace {

namespace fs = std::filesystem;

bool WaitFor(const std::function<bool()>& done, int ms = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

TEST(TimelineNode, ListsEveryDatedItemByTimeAndPreviewsTheChosenOne) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const fs::path root = dir.path().toStdString();
  {
    const fs::path config = root / "English.ini";
    std::ofstream(config) << "[DefaultLanguage]\nDefault=English\n";
    static LanguageStore store;
    store.Load(config, fs::path(HALVERN_SOURCE_DIR) / "runtime" / "Languages");
    ui::SetTextSource(&store);
  }
  fs::create_directories(root / "work");
  fixtures::BackupSpec spec;
  fixtures::ScanExpectation expected;
  std::string error;
  ASSERT_TRUE(fixtures::MakeScanBackupSpec(fixtures::PhoneGeneration::kIos14, root / "work", spec,
                                           expected, &error))
      << error;
  fixtures::PhotoAsset photo;
  photo.pk = 1;
  photo.fileName = "IMG_0101.JPG";
  photo.created = 600000000 + 1800;  // the day of the phone's messages, 11:10 UTC
  photo.width = 64;
  photo.height = 48;
  ASSERT_EQ(fixtures::AddPhotos(spec, root / "work", fixtures::PhotosLayout::kIos14, {photo}), "");
  ASSERT_TRUE(fixtures::WriteBackup(root / "data" / "Apple Computer" / "MobileSync" / "Backup" /
                                        "phone",
                                    spec, &error))
      << error;

  qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/halvern-test-usbmuxd");
  CMainWnd window(std::make_unique<BackupSession>(root / "data", root / "data" / "tmp"),
                  CreateDeviceSource());
  ASSERT_TRUE(window.Ok()) << window.Errors().join("\n").toStdString();
  int finished = 0;
  QObject::connect(&window, &CMainWnd::WindowMessage,
                   [&](int message, qintptr) { finished += message == ui::kWmScanFinished; });
  window.resize(1100, 700);
  window.show();
  window.ChooseStartPage(false);
  window.findChild<QPushButton*>(QStringLiteral("BtnScan"))->click();
  ASSERT_TRUE(WaitFor([&] { return finished > 0; }));
  QApplication::processEvents();
  CScanVrtWnd& page = window.ScanPage();
  ASSERT_EQ(page.ScanResult(), 0);

  // The row: in a group of its own above the categories, counting the timeline's entries.
  const size_t entries = BuildTimeline(page.Results()).entries.size();
  ASSERT_GT(entries, 10u);
  QTreeWidgetItem* row = page.Tree().TimelineRow();
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text(0), QStringLiteral("Timeline (%1)").arg(entries));
  EXPECT_TRUE(row->flags() & Qt::ItemIsEnabled);
  ASSERT_NE(row->parent(), nullptr);
  EXPECT_EQ(row->treeWidget()->indexOfTopLevelItem(row->parent()), 0);
  EXPECT_EQ(row->parent()->text(0), QStringLiteral("All categories"));

  auto* dataList = window.findChild<QTreeView*>(QStringLiteral("DataList"));
  auto* list = window.findChild<QTreeView*>(QStringLiteral("TimelineList"));
  ASSERT_NE(list, nullptr);
  row->treeWidget()->setCurrentItem(row);
  QApplication::processEvents();
  EXPECT_TRUE(list->isVisible());
  EXPECT_FALSE(dataList->isVisible());

  // Its list: one row per entry, by time; deleted items in the deleted colour.
  QAbstractItemModel* m = list->model();
  ASSERT_EQ(size_t(m->rowCount()), entries);
  QStringList headers;
  for (int c = 0; c < m->columnCount(); ++c) headers << m->headerData(c, Qt::Horizontal).toString();
  EXPECT_EQ(headers, (QStringList{"Time", "Category", "What", "Text"}));
  int deleted = 0, note = -1, message = -1;
  for (int r = 0; r < m->rowCount(); ++r) {
    if (r > 0) EXPECT_LE(m->index(r - 1, 0).data().toString(), m->index(r, 0).data().toString());
    const QVariant colour = m->index(r, 3).data(Qt::ForegroundRole);
    if (colour.isValid()) {
      EXPECT_EQ(colour.value<QColor>(), QColor::fromRgba(kDeletedColour));
      ++deleted;
    }
    const QString text = m->index(r, 3).data().toString();
    if (text.contains(QStringLiteral("Passport, charger"))) note = r;
    if (text.contains(QStringLiteral("Bonjour Chlo\u00E9 !"))) message = r;
  }
  EXPECT_GT(deleted, 0);
  ASSERT_GE(note, 0);
  ASSERT_GE(message, 0);
  EXPECT_EQ(m->index(note, 1).data().toString(), QStringLiteral("Notes"));
  EXPECT_EQ(m->index(note, 2).data().toString(), QStringLiteral("Note changed"));
  EXPECT_EQ(m->index(message, 2).data().toString(), QStringLiteral("Message sent"));
  // The photo of that day is on it too.
  EXPECT_FALSE(
      m->match(m->index(0, 1), Qt::DisplayRole, QStringLiteral("Photos"), 1, Qt::MatchExactly)
          .isEmpty());

  // Choosing an entry previews its item: the note as written, the message's conversation.
  list->setCurrentIndex(m->index(note, 0));
  QApplication::processEvents();
  EXPECT_TRUE(window.findChild<QTextEdit*>(QStringLiteral("PreviewEdit"))
                  ->toPlainText()
                  .contains(QStringLiteral("Passport, charger")));
  list->setCurrentIndex(m->index(message, 0));
  QApplication::processEvents();
  auto* bubbles = window.findChild<QListWidget*>(QStringLiteral("MessagesList"));
  ASSERT_NE(bubbles, nullptr);
  EXPECT_GT(bubbles->count(), 0);

  // A category brings its own list back.
  page.Tree().Row(ScanCategory::kMessages)->treeWidget()->setCurrentItem(
      page.Tree().Row(ScanCategory::kMessages));
  QApplication::processEvents();
  EXPECT_FALSE(list->isVisible());
  EXPECT_TRUE(dataList->isVisible());
  EXPECT_EQ(page.List().model().category(), ScanCategory::kMessages);

  // Back to the timeline: the entry chosen before is previewed again.
  row->treeWidget()->setCurrentItem(row);
  QApplication::processEvents();
  EXPECT_EQ(list->currentIndex().row(), message);
  EXPECT_GT(bubbles->count(), 0);
  // A screenshot for a look by eye, when asked for.
  if (const QByteArray shots = qgetenv("HALVERN_SHOTS"); !shots.isEmpty()) {
    // In the program's own skin, as the user sees it.
    qApp->setStyleSheet(ui::SkinStyleSheet());
    QApplication::processEvents();
    window.grab().save(QString::fromUtf8(shots) + QStringLiteral("/timeline-desktop.png"));
    qApp->setStyleSheet(QString());
  }
}

}  // namespace
}  // namespace halvern::app
