// The table categories in the desktop program, offscreen: a scan of a phone's backup with
// voicemail and voice memos shows each in the tree group its description names, with its
// count; its list has the table's columns and rows (deleted rows marked, sorted by the stored
// values, filtered and searched like the other categories, checked through the selection); a
// row previews as a card with its sound ready in the pane's player; a plain backup's Call
// History row says why it is empty; and the titles follow the language file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMediaPlayer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "app/device_source.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/scan_page.h"
#include "app/start_pages.h"
#include "categories/category.h"
#include "engine/backup_session.h"
#include "media/media.h"
#include "tests/fixtures/notes_dbs.h"
#include "tests/fixtures/photos_dbs.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/table_dbs.h"

// The preview's sound player (Qt Multimedia over GStreamer) leaves GLib's and GStreamer's
// registries allocated until the process ends; they are not the program's.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libglib-2.0\nleak:libgst\nleak:libpulse\n";
}

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace halvern::app {
namespace {

namespace fs = std::filesystem;
using fixtures::VoiceMemosLayout;

bool Until(const std::function<bool()>& done, int ms = 60000) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > ms) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

LanguageStore& StoreOf(const std::string& language) {
  static std::map<std::string, std::unique_ptr<LanguageStore>> stores;
  auto& store = stores[language];
  if (!store) {
    static QTemporaryDir dir;
    const fs::path config = fs::path(dir.path().toStdString()) / (language + ".ini");
    std::ofstream(config) << "[DefaultLanguage]\nDefault=" << language << "\n";
    store = std::make_unique<LanguageStore>();
    store->Load(config, fs::path(HALVERN_SOURCE_DIR) / "runtime" / "Languages");
  }
  return *store;
}

ScanCategory CodeOf(const char* key) {
  const auto& list = TableCategories();
  for (size_t i = 0; i < list.size(); ++i) {
    if (std::string(list[i]->key) == key) return TableCategoryCode(i);
  }
  ADD_FAILURE() << "no table category " << key;
  return ScanCategory::kCameraRoll;
}

class TableCategoriesPage : public ::testing::Test {
 protected:
  void SetUp() override {
    ui::SetTextSource(&StoreOf("English"));
    ASSERT_TRUE(dir_.isValid());
    root_ = fs::path(dir_.path().toStdString());
    fs::create_directories(root_ / "work");
  }
  void TearDown() override {
    if (window_ && !window_->ScanPage().ScanFinished()) window_->ScanPage().Sequence().Stop();
    window_.reset();
  }

  // A current phone's backup (messages, address book, ...) as `edit` leaves it.
  void WriteBackup(const std::function<void(fixtures::BackupSpec&)>& edit) {
    fixtures::BackupSpec spec;
    fixtures::ScanExpectation expected;
    std::string error;
    ASSERT_TRUE(fixtures::MakeScanBackupSpec(fixtures::PhoneGeneration::kIos14, root_ / "work",
                                             spec, expected, &error))
        << error;
    edit(spec);
    ASSERT_TRUE(fixtures::WriteBackup(
        root_ / "data" / "Apple Computer" / "MobileSync" / "Backup" / "phone", spec, &error))
        << error;
  }

  void Scan() {
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/halvern-test-usbmuxd");
    window_ = std::make_unique<CMainWnd>(
        std::make_unique<BackupSession>(root_ / "data", root_ / "data" / "tmp"),
        CreateDeviceSource());
    ASSERT_TRUE(window_->Ok()) << window_->Errors().join("\n").toStdString();
    QObject::connect(window_.get(), &CMainWnd::WindowMessage, [this](int message, qintptr) {
      finished_ += message == ui::kWmScanFinished;
    });
    window_->resize(1100, 700);
    window_->show();
    window_->ChooseStartPage(false);
    ASSERT_EQ(window_->BackupPage().List()->topLevelItemCount(), 1);
    window_->findChild<QPushButton*>(QStringLiteral("BtnScan"))->click();
    ASSERT_TRUE(Until([&] { return finished_ > 0; }));
    QApplication::processEvents();
    ASSERT_EQ(Page().ScanResult(), 0);
  }

  CScanVrtWnd& Page() { return window_->ScanPage(); }
  QTreeView* View() { return window_->findChild<QTreeView*>(QStringLiteral("DataList")); }
  void Pick(ScanCategory category) {
    QTreeWidgetItem* row = Page().Tree().Row(category);
    ASSERT_NE(row, nullptr);
    ASSERT_TRUE(row->flags() & Qt::ItemIsEnabled);
    row->treeWidget()->setCurrentItem(row);
    ASSERT_EQ(Page().List().model().category(), category);
  }
  // The shown list (sorted and searched as the view shows it), one column.
  QStringList Column(int column) {
    QStringList out;
    QAbstractItemModel* m = View()->model();
    for (int r = 0; r < m->rowCount(); ++r) out << m->index(r, column).data().toString();
    return out;
  }
  QStringList Headers() {
    QStringList out;
    QAbstractItemModel* m = View()->model();
    for (int c = 0; c < m->columnCount(); ++c) out << m->headerData(c, Qt::Horizontal).toString();
    return out;
  }
  // Selects the shown row whose column `column` reads `text`; false when none does.
  bool SelectRow(int column, const QString& text) {
    QAbstractItemModel* m = View()->model();
    for (int r = 0; r < m->rowCount(); ++r) {
      if (m->index(r, column).data().toString() == text) {
        View()->setCurrentIndex(m->index(r, 0));
        QApplication::processEvents();
        return true;
      }
    }
    return false;
  }
  QString Card() {
    return window_->findChild<QTextEdit*>(QStringLiteral("PreviewEdit"))->toPlainText();
  }

  QTemporaryDir dir_;
  fs::path root_;
  std::unique_ptr<CMainWnd> window_;
  int finished_ = 0;
};

TEST_F(TableCategoriesPage, VoicemailAndVoiceMemosInTheTreeListAndPreview) {
  WriteBackup([&](fixtures::BackupSpec& spec) {
    ASSERT_EQ(fixtures::AddVoicemail(spec, root_ / "work", fixtures::SampleVoicemails()), "");
    ASSERT_EQ(fixtures::AddVoiceMemos(spec, root_ / "work", VoiceMemosLayout::kIos17,
                                      fixtures::SampleVoiceMemos(VoiceMemosLayout::kIos17)),
              "");
  });
  Scan();
  const ScanCategory voicemail = CodeOf("voicemail");
  const ScanCategory memos = CodeOf("voiceMemos");

  // The tree: each in its group after the group's own rows, counted, checked, clickable.
  QTreeWidgetItem* vmRow = Page().Tree().Row(voicemail);
  QTreeWidgetItem* memoRow = Page().Tree().Row(memos);
  ASSERT_NE(vmRow, nullptr);
  ASSERT_NE(memoRow, nullptr);
  EXPECT_EQ(vmRow->text(0), "Voicemail (4)");
  EXPECT_EQ(memoRow->text(0), "Voice Memos (4)");
  EXPECT_EQ(vmRow->parent()->text(0), "Messages & Call logs");
  EXPECT_EQ(vmRow->parent()->indexOfChild(vmRow),
            vmRow->parent()->indexOfChild(Page().Tree().Row(ScanCategory::kWhatsAppAttachments)) +
                1);
  EXPECT_EQ(memoRow->parent()->text(0), "Memos & Others");
  EXPECT_FALSE(memoRow->parent()->isHidden());
  for (QTreeWidgetItem* row : {vmRow, memoRow}) {
    EXPECT_EQ(row->checkState(0), Qt::Checked);
    EXPECT_TRUE(row->flags() & Qt::ItemIsEnabled);
  }
  // The old tree's placeholders of these two are gone: one row of each name.
  const auto named = [&](const QString& prefix) {
    return vmRow->treeWidget()->findItems(prefix, Qt::MatchStartsWith | Qt::MatchRecursive).size();
  };
  EXPECT_EQ(named("Voicemail"), 1);
  EXPECT_EQ(named("Voice Memos"), 1);

  // The list: the table's columns; deleted rows in the deleted colour with the deleted icon.
  Pick(voicemail);
  EXPECT_EQ(Headers(), (QStringList{"Caller", "Number", "Date", "Duration", "Line",
                                    "Callback Number", "Transcript", "Audio", "Deleted on",
                                    "ID"}));
  ItemListModel& model = Page().List().model();
  ASSERT_EQ(model.rowCount(), 4);
  int deleted = 0;
  for (int r = 0; r < model.rowCount(); ++r) {
    const QModelIndex first = model.index(r, 0);
    const bool marked = model.ItemDeleted(model.ItemOfRow(r));
    deleted += marked;
    const QString phone = model.index(r, 1).data().toString();
    EXPECT_EQ(marked, phone == "+447700900123" || phone == "0699887766") << phone.toStdString();
    EXPECT_EQ(first.data(Qt::ForegroundRole).value<QColor>() == QColor::fromRgba(kDeletedColour),
              marked);
    EXPECT_EQ(first.data(Qt::DecorationRole).value<QIcon>().cacheKey() ==
                  ListIcons::Deleted().cacheKey(),
              marked);
  }
  EXPECT_EQ(deleted, 2);

  // Sorting by the stored value: dates by their instant, durations by their seconds (as text
  // "12 Sec" would come before "3 Sec").
  View()->sortByColumn(2, Qt::DescendingOrder);
  EXPECT_EQ(Column(1), (QStringList{"0699887766", "+447700900123", "+4930555010",
                                    "+33612345678"}));
  View()->sortByColumn(3, Qt::AscendingOrder);
  EXPECT_EQ(Column(1), (QStringList{"+4930555010", "+447700900123", "+33612345678",
                                    "0699887766"}));

  // The search box looks through every column (the transcript too).
  auto* search = window_->findChild<QLineEdit*>(QStringLiteral("EditSearch"));
  search->setText(QStringLiteral("sunday"));
  EXPECT_EQ(Column(1), QStringList{"+33612345678"});
  search->clear();

  // The deleted-items filter: only the deleted rows, the others hidden in the statistics.
  auto* filter = window_->findChild<QPushButton*>(QStringLiteral("OptOnOffFilter"));
  ASSERT_TRUE(filter->isVisibleTo(window_.get()));
  filter->click();
  EXPECT_EQ(View()->model()->rowCount(), 2);
  EXPECT_EQ(Page().Selection().Category(voicemail).hidden, 2u);
  filter->click();
  EXPECT_EQ(View()->model()->rowCount(), 4);

  // A row's check box goes through the selection: the tree row turns half-checked.
  ASSERT_TRUE(model.setData(model.index(0, 0), Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_EQ(vmRow->checkState(0), Qt::PartiallyChecked);
  EXPECT_EQ(Page().Selection().Category(voicemail).selected, 3u);

  // The preview: a card with the transcript; the AMR sound as a playable copy in the player.
  CPreviewVrtWnd& pane = Page().Pane();
  ASSERT_TRUE(SelectRow(1, QStringLiteral("+33612345678")));
  EXPECT_TRUE(Card().contains("Transcript:\n    Hi, it's me. Call me back about Sunday."))
      << Card().toStdString();
  EXPECT_TRUE(Card().contains("Caller:\n    Chlo\u00e9 Bianchi"));
  EXPECT_TRUE(Card().contains("Status:\n    Not deleted"));
  EXPECT_TRUE(pane.PlayerBox()->isVisible());
  ASSERT_TRUE(Until([&] { return !pane.SoundSource().isEmpty() || !pane.PlayerNote().isEmpty(); }));
  EXPECT_EQ(pane.PlayerNote(), "");
  const fs::path copy = pane.SoundSource().toLocalFile().toStdString();
  EXPECT_EQ(copy.filename(), "1.amr.m4a");
  EXPECT_EQ(copy.parent_path(), pane.SoundFolder());
  EXPECT_TRUE(media::IsBrowserPlayableAudio(copy));

  // The carved one says where it was found.
  ASSERT_TRUE(SelectRow(1, QStringLiteral("0699887766")));
  EXPECT_TRUE(Card().contains("Status:\n    Deleted")) << Card().toStdString();
  EXPECT_TRUE(Card().contains("Found:\n    carved from free space"));

  // Voice Memos: an .m4a plays as it lies in the backup, without a copy.
  Pick(memos);
  ASSERT_TRUE(SelectRow(0, QStringLiteral("Piano lesson")));
  EXPECT_TRUE(Card().contains("Folder:\n    Music")) << Card().toStdString();
  ASSERT_TRUE(Until([&] { return !pane.SoundSource().isEmpty() || !pane.PlayerNote().isEmpty(); }));
  EXPECT_EQ(pane.PlayerNote(), "");
  const fs::path played = pane.SoundSource().toLocalFile().toStdString();
  EXPECT_NE(played.parent_path(), pane.SoundFolder());
  EXPECT_TRUE(media::IsBrowserPlayableAudio(played));
  // A row of another category leaves no sound behind.
  Pick(ScanCategory::kNotes);
  EXPECT_FALSE(pane.PlayerBox()->isVisible());
  EXPECT_TRUE(pane.SoundSource().isEmpty());
}

// The search of every category: the field above the tree finds a name without regard to
// case or accents in messages, contacts and voicemail alike, the hits grouped by category with
// the matching words marked; a hit shows its item in the preview, and Enter on it opens the
// item in its own list, selected. Emptying the field brings the list back.
TEST_F(TableCategoriesPage, SearchEverythingFindsGroupsMarksPreviewsAndOpensHits) {
  WriteBackup([&](fixtures::BackupSpec& spec) {
    ASSERT_EQ(fixtures::AddVoicemail(spec, root_ / "work", fixtures::SampleVoicemails()), "");
  });
  Scan();
  const ScanCategory voicemail = CodeOf("voicemail");
  CSearchPanel& search = Page().SearchAll();
  auto* field = window_->findChild<QLineEdit*>(QStringLiteral("EditSearchAll"));
  ASSERT_NE(field, nullptr);
  ASSERT_TRUE(field->isEnabled());
  EXPECT_EQ(field->placeholderText(), "Search everything");
  const auto find = [&](const QString& text) {
    field->setText(text);
    search.Run();
    return Until([&] { return !search.Running() && search.status()->text() != "Searching…"; });
  };

  ASSERT_TRUE(find(QStringLiteral("CHLOE")));
  EXPECT_TRUE(search.panel()->isVisible());
  EXPECT_FALSE(window_->findChild<QWidget*>(QStringLiteral("DataListLayout"))->isVisible());
  SearchHitsModel& hits = search.model();
  std::map<QString, int> groups;
  for (int g = 0; g < hits.rowCount(); ++g) {
    const QModelIndex group = hits.index(g, 0);
    groups[group.data().toString()] = hits.rowCount(group);
  }
  // Messages: the greeting, Chloé's own messages by her name, the mail thread by its address.
  EXPECT_EQ(groups[QStringLiteral("Messages (3)")], 3);
  EXPECT_EQ(groups[QStringLiteral("Contacts (1)")], 1);
  EXPECT_EQ(search.status()->text(),
            QStringLiteral("%1 items hold \"CHLOE\".").arg(hits.hits().size()));
  // The match is marked inside the text as it is written ("Chloé").
  bool marked = false;
  for (const SearchHit& h : hits.hits()) {
    if (h.text == "Bonjour Chlo\xC3\xA9 !") {
      EXPECT_EQ(h.marks, (std::vector<TextRange>{{8, 14}}));
      EXPECT_EQ(MarkedSnippet(h),
                QStringLiteral("Bonjour <b style=\"background-color:#ffe27a\">Chlo\u00e9</b> !"));
      marked = true;
    }
  }
  EXPECT_TRUE(marked);

  // A voicemail's transcript: the hit previews its card; Enter opens it in its list.
  ASSERT_TRUE(find(QStringLiteral("sunday")));
  ASSERT_EQ(hits.hits().size(), 1u);
  EXPECT_EQ(hits.hits()[0].category, voicemail);
  const QModelIndex hit = hits.index(0, 0, hits.index(0, 0));
  search.view()->setCurrentIndex(hit);
  QApplication::processEvents();
  EXPECT_TRUE(Card().contains("Transcript:\n    Hi, it's me. Call me back about Sunday."))
      << Card().toStdString();
  emit search.view()->activated(hit);
  QApplication::processEvents();
  EXPECT_FALSE(search.panel()->isVisible());
  EXPECT_EQ(Page().Tree().Selected(), int32_t(voicemail));
  ASSERT_EQ(Page().List().model().category(), voicemail);
  const QModelIndex current = View()->currentIndex();
  ASSERT_TRUE(current.isValid());
  EXPECT_EQ(View()->model()->index(current.row(), 1).data().toString(), "+33612345678");

  // Nothing found says so; emptying the field shows the list again.
  ASSERT_TRUE(find(QStringLiteral("no such words anywhere")));
  EXPECT_EQ(hits.rowCount(), 0);
  EXPECT_EQ(search.status()->text(), "No item holds \"no such words anywhere\".");
  field->clear();
  QApplication::processEvents();
  EXPECT_FALSE(search.panel()->isVisible());
  EXPECT_TRUE(window_->findChild<QWidget*>(QStringLiteral("DataListLayout"))->isVisible());
}

// A locked note opened in the preview with the notes password: the pane shows its text, and
// its row in the list (the list's own copy of the note) reads the opened note too.
TEST_F(TableCategoriesPage, LockedNoteOpensInThePreviewAndItsListRow) {
  WriteBackup([&](fixtures::BackupSpec& spec) {
    std::erase_if(spec.files, [](const fixtures::BackupFile& f) {
      return f.domain == "AppDomainGroup-group.com.apple.notes";
    });
    ASSERT_EQ(fixtures::AddRichNotes(spec, root_ / "work", fixtures::NoteStoreLayout::kIos16), "");
  });
  Scan();
  Pick(ScanCategory::kNotes);
  ASSERT_TRUE(SelectRow(0, QString::fromUtf8(fixtures::kLockedNoteTitle)));
  CPreviewVrtWnd& pane = Page().Pane();
  ASSERT_NE(pane.NotesPasswordBox(), nullptr) << Card().toStdString();
  ASSERT_TRUE(pane.NotesPasswordBox()->isVisible());
  const auto rowText = [&] {
    QStringList cells;
    for (int r = 0; r < View()->model()->rowCount(); ++r) {
      if (View()->model()->index(r, 0).data().toString() !=
          QString::fromUtf8(fixtures::kLockedNoteTitle)) {
        continue;
      }
      for (int c = 0; c < View()->model()->columnCount(); ++c) {
        cells << View()->model()->index(r, c).data().toString();
      }
    }
    return cells.join(QLatin1Char('|'));
  };
  EXPECT_FALSE(rowText().contains(QStringLiteral("PIN 4711"))) << rowText().toStdString();

  pane.NotesPasswordField()->setText(QString::fromUtf8(fixtures::kNotesPassword));
  pane.SubmitNotesPassword();
  EXPECT_TRUE(Card().contains(QStringLiteral("PIN 4711"))) << Card().toStdString();
  EXPECT_FALSE(pane.NotesPasswordBox()->isVisible());
  EXPECT_TRUE(rowText().contains(QStringLiteral("PIN 4711"))) << rowText().toStdString();
}

// The Photos library: its row in Photos & Videos with a row per view under it (every album by
// its name), each with its count; a view's row lists only its pictures; the preview shows the
// picture, a video in the player, the date a trashed one was deleted, and a carved record whose
// file is gone.
TEST_F(TableCategoriesPage, PhotosLibraryWithItsAlbumsInTheTreeListAndPreview) {
  WriteBackup([&](fixtures::BackupSpec& spec) {
    std::erase_if(spec.files,
                  [](const fixtures::BackupFile& f) { return f.domain == "CameraRollDomain"; });
    ASSERT_EQ(fixtures::AddPhotos(spec, root_ / "work", fixtures::PhotosLayout::kIos14,
                                  fixtures::SamplePhotoAssets()),
              "");
  });
  Scan();
  const ScanCategory photos = CodeOf("photos");
  QTreeWidgetItem* row = Page().Tree().Row(photos);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->text(0), "Photos (8)");
  EXPECT_EQ(row->parent()->text(0), "Photos & Videos");
  // The old file list stays beside it.
  EXPECT_EQ(Page().Tree().Row(ScanCategory::kCameraRoll)->text(0), "Camera Roll (8)");
  QStringList views;
  for (int i = 0; i < row->childCount(); ++i) views << row->child(i)->text(0);
  EXPECT_EQ(views, (QStringList{"All Photos (5)", "Family (2)", "Holidays (4)", "Favourites (1)",
                                "Hidden (1)", "Recently Deleted (1)", "Deleted records (1)"}));

  // The whole library, then one album.
  Pick(photos);
  EXPECT_EQ(Headers().mid(0, 3), (QStringList{"Original Name", "Date Taken", "Kind"}));
  EXPECT_EQ(View()->model()->rowCount(), 8);
  const auto pickView = [&](int view) {
    row->treeWidget()->setCurrentItem(Page().Tree().ViewRow(photos, size_t(view)));
    QApplication::processEvents();
  };
  pickView(2);
  EXPECT_EQ(Page().Tree().SelectedView(), 2);
  View()->sortByColumn(1, Qt::AscendingOrder);
  EXPECT_EQ(Column(0), (QStringList{"IMG_4501.HEIC", "IMG_4502.HEIC", "IMG_4501.JPG",
                                    "IMG_4501.HEIC"}));
  EXPECT_EQ(Column(2), (QStringList{"photo", "Live Photo", "photo", "photo"}));
  // The deleted-items filter keeps to the view: none of the album is deleted.
  auto* filter = window_->findChild<QPushButton*>(QStringLiteral("OptOnOffFilter"));
  filter->click();
  EXPECT_EQ(View()->model()->rowCount(), 0);
  filter->click();
  EXPECT_EQ(View()->model()->rowCount(), 4);

  // A picture above its card (not a Live Photo here: a video shown in the pane under the
  // offscreen platform leaves Qt's backing store allocated at exit).
  ASSERT_TRUE(SelectRow(0, QStringLiteral("IMG_4501.JPG")));
  EXPECT_TRUE(Card().contains(QChar(0xFFFC))) << Card().toStdString();
  EXPECT_TRUE(Card().contains("Albums:\n    Holidays")) << Card().toStdString();
  EXPECT_TRUE(Card().contains("Title:\n    Sunset at the pier"));

  // Another album: its picture and its video.
  pickView(1);
  EXPECT_EQ(Column(2), (QStringList{"photo", "video"}));

  // Trashed: when it was deleted.
  pickView(5);
  ASSERT_EQ(View()->model()->rowCount(), 1);
  ASSERT_TRUE(SelectRow(0, QStringLiteral("party.jpg")));
  EXPECT_TRUE(Card().contains("Deleted on:\n    2021-07-10 12:00:00")) << Card().toStdString();
  EXPECT_TRUE(Card().contains("Status:\n    Deleted"));

  // Deleted for good: the record without its file.
  pickView(6);
  ASSERT_EQ(View()->model()->rowCount(), 1);
  ASSERT_TRUE(SelectRow(12, QStringLiteral("IMG_0006.JPG")));
  EXPECT_TRUE(Card().contains("File Status:\n    file no longer on the phone"))
      << Card().toStdString();
  EXPECT_TRUE(Card().contains("Found:\n    carved from free space"));
  EXPECT_FALSE(Card().contains(QChar(0xFFFC)));

  // The category's row shows every row again.
  Pick(photos);
  EXPECT_EQ(View()->model()->rowCount(), 8);
}

TEST_F(TableCategoriesPage, PlainBackupWithoutCallHistorySaysSoInItsRow) {
  WriteBackup([](fixtures::BackupSpec& spec) {
    std::erase_if(spec.files, [](const fixtures::BackupFile& f) {
      return f.relativePath.find("CallHistory") != std::string::npos;
    });
  });
  Scan();
  QTreeWidgetItem* calls = Page().Tree().Row(ScanCategory::kCallHistory);
  EXPECT_EQ(calls->text(0), "Call History\n(encrypted backups only)");
  EXPECT_TRUE(calls->toolTip(0).startsWith("Call history is only in encrypted backups."));
  EXPECT_FALSE(calls->flags() & Qt::ItemIsEnabled);
  // A category without such a notice keeps its bare count.
  EXPECT_EQ(Page().Tree().Row(CodeOf("voicemail"))->text(0), "Voicemail (0)");
}

TEST(TableCategoryTexts, TitlesColumnsAndNoticesFollowTheLanguageFile) {
  ui::SetTextSource(&StoreOf("Deutsch"));
  const ScanCategory voicemail = CodeOf("voicemail");
  const TableCategory& vm = *TableCategoryOf(voicemail);
  const CategoryTable empty;
  EXPECT_EQ(CategoryLabel(voicemail), "Mailbox");
  EXPECT_EQ(CategoryLabel(CodeOf("voiceMemos")), "Sprachmemos");
  // By the category's own key first, then by the column's key, else the column's title.
  EXPECT_EQ(TableColumnTitle(vm, {"name", "Caller", ColumnType::kText}), "Anrufer");
  EXPECT_EQ(TableColumnTitle(vm, {"date", "Date", ColumnType::kDate}), "Datum");
  EXPECT_EQ(TableColumnTitle(vm, {"unheardOf", "Unheard Of", ColumnType::kText}), "Unheard Of");
  EXPECT_EQ(NoticeShort("Call history is only in encrypted backups"),
            "nur verschl\u00fcsselt");
  // A view the category always has by its key; an album by its own name.
  EXPECT_EQ(CategoryLabel(CodeOf("photos")), "Fotos");
  EXPECT_EQ(ViewLabel({"all", "All Photos", {}}), "Alle Fotos");
  EXPECT_EQ(ViewLabel({"recentlyDeleted", "Recently Deleted", {}}), "Zuletzt gel\u00f6scht");
  EXPECT_EQ(ViewLabel({"", "favorites", {}}), "favorites");
  EXPECT_EQ(NoticeShort("Safari history is only in encrypted backups"),
            "nur verschl\u00fcsselt");
  // A notice the language file does not know is shown as the scan said it.
  EXPECT_EQ(NoticeShort("Bookmarks are kept elsewhere on this phone"),
            "Bookmarks are kept elsewhere on this phone");
  ui::SetTextSource(&StoreOf("English"));
}

}  // namespace
}  // namespace halvern::app
