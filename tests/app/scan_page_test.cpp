// The scan page end to end, offscreen: a scan of a complete fixture backup started from the
// backup start page, the tree counts, every category's columns and first row, the filter,
// the check boxes with the statistics line, Recover into a folder, and pause, stop, Home and
// the close query while a scan runs.
#include "app/scan_page.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLineEdit>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>
#include <cmath>
#include <map>
#include <set>

#include "app/device_source.h"
#include "app/language_store.h"
#include "app/main_wnd.h"
#include "app/recover_process_wnd.h"
#include "app/start_pages.h"
#include "engine/backup_session.h"
#include "export/print_page.h"
#include "extractors/extractors.h"
#include "platform/runtime_files.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/unwritable.h"
#include "tests/ui/modal_driver.h"
#include "ui/popup.h"

// Readable QString failures.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace halvern::app {
namespace {

namespace fs = std::filesystem;
using halvern::testing::ModalDriver;

LanguageStore& ShippedTexts() {
  static LanguageStore store = [] {
    LanguageStore s;
    s.Load(fs::path(HALVERN_SOURCE_DIR) / "runtime");
    return s;
  }();
  ui::SetTextSource(&store);
  return store;
}

QString Msg(const char* key) { return ui::MessageText(key); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

// Runs the event loop until `done` or 60 s; false on the time-out.
bool Until(const std::function<bool()>& done) {
  QElapsedTimer clock;
  clock.start();
  while (!done()) {
    if (clock.elapsed() > 60000) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class ScanPageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ShippedTexts();
    ASSERT_TRUE(dir_.isValid());
    appData_ = fs::path(dir_.path().toStdString()) / "data";
    root_ = appData_ / "Apple Computer" / "MobileSync" / "Backup";
    fs::create_directories(root_);
  }
  void TearDown() override {
    if (window_ && !window_->ScanPage().ScanFinished()) {
      window_->ScanPage().Sequence().Stop();
    }
    window_.reset();
  }

  void WriteFullBackup() {
    std::string error;
    ASSERT_TRUE(fixtures::WriteScanBackup(fixtures::PhoneGeneration::kIos14, root_ / "full",
                                          &expected_, &error))
        << error;
  }

  void Open() {
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:/nonexistent/halvern-test-usbmuxd");
    auto session = std::make_unique<BackupSession>(appData_, appData_ / "tmp");
    window_ = std::make_unique<CMainWnd>(std::move(session), CreateDeviceSource());
    ASSERT_TRUE(window_->Ok()) << window_->Errors().join("\n").toStdString();
    QObject::connect(window_.get(), &CMainWnd::WindowMessage, [this](int message, qintptr w) {
      messages_.push_back({message, w});
    });
    window_->resize(1100, 700);
    window_->show();
  }

  int Seen(int message) const {
    int n = 0;
    for (const auto& m : messages_) n += m.first == message;
    return n;
  }
  CScanVrtWnd& Page() { return window_->ScanPage(); }
  template <class T>
  T* Find(const char* name) {
    return window_->findChild<T*>(QLatin1String(name));
  }
  QPushButton* Button(const char* name) { return Find<QPushButton>(name); }

  // Starts the scan of the listed backup with BtnScan and waits for the finished notice.
  void ScanFromStartPage() {
    window_->ChooseStartPage(false);
    ASSERT_EQ(window_->BackupPage().List()->topLevelItemCount(), 1);
    Button("BtnScan")->click();
    ASSERT_TRUE(Until([&] { return Seen(ui::kWmScanFinished) > 0; }));
    QApplication::processEvents();
  }

  void Pick(ScanCategory category) {
    QTreeWidgetItem* row = Page().Tree().Row(category);
    ASSERT_NE(row, nullptr);
    ASSERT_TRUE(row->flags() & Qt::ItemIsEnabled) << CategoryName(category);
    row->treeWidget()->setCurrentItem(row);
    if (Page().List().model().category() != category) Page().Tree().Reselect();
  }
  // The titles of the list's header.
  QStringList Headers() {
    QStringList out;
    QAbstractItemModel* model = Find<QTreeView>("DataList")->model();
    for (int c = 0; c < model->columnCount(); ++c) {
      out << model->headerData(c, Qt::Horizontal).toString();
    }
    return out;
  }
  QStringList Row(int row) {
    QStringList out;
    auto& model = Page().List().model();
    for (int c = 0; c < model.columnCount(); ++c) {
      out << model.data(model.index(row, c), Qt::DisplayRole).toString();
    }
    return out;
  }

  QTemporaryDir dir_;
  fs::path appData_;
  fs::path root_;
  fixtures::ScanExpectation expected_;
  std::unique_ptr<CMainWnd> window_;
  std::vector<std::pair<int, qintptr>> messages_;
};

TEST_F(ScanPageTest, ScanBrowseFilterSelectAndRecover) {
  WriteFullBackup();
  Open();
  EXPECT_EQ(Page().StatisticsText(), "You select 0 MB in 0 item(s) of 0 MB in 0 item(s)");
  ScanFromStartPage();
  CScanVrtWnd& page = Page();
  ASSERT_EQ(page.ScanResult(), 0);
  EXPECT_EQ(window_->MainTabPage()->currentIndex(), 1);
  EXPECT_EQ(Seen(ui::kWmScanStatus), 1);  // status 0 only
  EXPECT_TRUE(Find<QWidget>("ScanToolBar")->isHidden());
  EXPECT_FALSE(Find<QWidget>("ReocveryToolBar")->isHidden());
  EXPECT_FALSE(Find<QWidget>("DataListToolBar")->isHidden());
  EXPECT_TRUE(Button("BtnHome")->isEnabled());
  EXPECT_TRUE(Button("BtnRecovery")->isEnabled());

  // Tree counts: conversations and chats count once each.
  std::set<int64_t> conversations, chats;
  for (const auto& m : expected_.messages) conversations.insert(m.handleId);
  for (const auto& m : expected_.whatsApp) chats.insert(m.sessionId);
  const std::vector<std::pair<ScanCategory, size_t>> counts = {
      {ScanCategory::kCameraRoll, expected_.cameraRoll.size()},
      {ScanCategory::kAppPhotos, expected_.appFiles.size()},
      {ScanCategory::kMessages, conversations.size()},
      {ScanCategory::kContacts, expected_.contacts.size()},
      {ScanCategory::kCallHistory, expected_.calls.size()},
      // Notes come from both notes databases of this phone: counted as the scan found them.
      {ScanCategory::kNotes, Page().Results().notes.size()},
      {ScanCategory::kWhatsApp, chats.size()},
      {ScanCategory::kWhatsAppAttachments, expected_.whatsAppMedia.size()},
  };
  for (const auto& [category, n] : counts) {
    ASSERT_GT(n, 0u) << CategoryName(category);
    EXPECT_EQ(page.Tree().Row(category)->text(0),
              QStringLiteral("%1 (%2)").arg(CategoryName(category)).arg(n));
    EXPECT_EQ(page.Tree().Row(category)->checkState(0), Qt::Checked);
  }
  // Nothing found: the row stays "(0)" and cannot be clicked.
  EXPECT_EQ(page.Tree().Row(ScanCategory::kPhotoStream)->text(0), "Photo Stream (0)");
  EXPECT_FALSE(page.Tree().Row(ScanCategory::kPhotoStream)->flags() & Qt::ItemIsEnabled);
  // The first category with data was picked on its own.
  EXPECT_EQ(page.Tree().Selected(), int32_t(ScanCategory::kCameraRoll));

  // Every category: its columns and its first row.
  struct Case {
    ScanCategory category;
    QStringList headers;
    QStringList first;
    bool filterBar;
  };
  const auto& r = page.Results();
  // The conversation of a deleted message comes first, shown by its last message; its label
  // says how many of its messages are deleted unless all are.
  const MessageItem* lastOfDeleted = nullptr;
  QString firstLabel;
  for (const auto& [id, conversation] : r.messages) {
    const auto& messages = conversation.messages;
    int deleted = 0;
    for (const auto& m : messages) deleted += m.deleted != 0;
    if (deleted > 0 && lastOfDeleted == nullptr) {
      lastOfDeleted = &messages.back();
      firstLabel = Q(lastOfDeleted->name);
      if (deleted < int(messages.size())) firstLabel += QStringLiteral(" \u00B7 %1 deleted").arg(deleted);
    }
  }
  ASSERT_NE(lastOfDeleted, nullptr);
  auto firstDeletedOr0 = [](const auto& items) {
    for (const auto& item : items) {
      if (item.deleted) return &item;
    }
    return &items[0];
  };
  const ContactItem* firstContact = firstDeletedOr0(r.contacts);
  const NoteItem* firstNote = firstDeletedOr0(r.notes);
  const std::vector<Case> cases = {
      {ScanCategory::kCameraRoll,
       {"File Name", "Kind", "File Size"},
       {Q(r.cameraRoll[0].displayName), Q(r.cameraRoll[0].kind),
        Q(FormatSize(int64_t(r.cameraRoll[0].size)))},
       false},
      {ScanCategory::kAppPhotos,
       {"App Name", "Type"},
       {Q(r.appPhotos.begin()->first), "Folder"},
       false},
      {ScanCategory::kMessages,
       {"User Name", "Phone Number", "Date", "Message"},
       {firstLabel, Q(lastOfDeleted->phone), Q(lastOfDeleted->date), Q(lastOfDeleted->text)},
       true},
      {ScanCategory::kContacts,
       {"Name", "Company", "Phone", "Email", "Home Page"},
       {Q(firstContact->name), Q(firstContact->company), Q(firstContact->phones).replace('\n', ' '),
        Q(firstContact->email), Q(firstContact->url)},
       true},
      {ScanCategory::kCallHistory,
       {"User Name", "Phone Number", "Date", "Call Status", "Duration", "Status"},
       {},
       true},
      {ScanCategory::kNotes,
       {"Title", "Folder", "Date", "Note", "Status"},
       {Q(firstNote->title), Q(firstNote->folder), Q(firstNote->date),
        Q(firstNote->body).replace('\n', ' '), firstNote->deleted ? "Deleted" : "Normal"},
       true},
      {ScanCategory::kWhatsApp, {"Chats", "Name", "Phone"}, {}, true},
      {ScanCategory::kWhatsAppAttachments,
       {"File Name", "Kind", "File Size"},
       {Q(r.whatsAppAttachments[0].displayName), "jpg", Q(FormatSize(2048))},
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(CategoryName(c.category));
    Pick(c.category);
    EXPECT_EQ(Headers(), c.headers);
    EXPECT_EQ(Find<QWidget>("FilterToolBar")->isHidden(), !c.filterBar);
    EXPECT_TRUE(Find<QWidget>("iPhoneInfoLayout")->isHidden());
    ASSERT_GT(page.List().model().rowCount(), 0);
    if (!c.first.isEmpty()) {
      EXPECT_EQ(Row(0), c.first);
    }
  }

  // Call History: deleted calls first, each newest first; durations, "Missed"/"Canceled".
  Pick(ScanCategory::kCallHistory);
  {
    ASSERT_EQ(r.calls.size(), expected_.calls.size());
    std::vector<CallItem> calls = r.calls;
    std::stable_sort(calls.begin(), calls.end(), [](const CallItem& a, const CallItem& b) {
      if (a.deleted != b.deleted) return a.deleted > b.deleted;
      return a.date > b.date;
    });
    auto& model = page.List().model();
    ASSERT_EQ(model.rowCount(), int(calls.size()));
    for (size_t i = 0; i < calls.size(); ++i) {
      const CallItem& call = calls[i];
      const QString duration = call.duration == 0 ? (call.incoming ? "Missed" : "Canceled")
                                                  : Q(FormatDuration(call.duration));
      EXPECT_EQ(Row(int(i)),
                (QStringList{Q(call.name), Q(call.phone), Q(call.date),
                             Q(CallKindText(call) + ", " + CallDirectionText(call) + ", " +
                               CallOutcomeText(call)),
                             duration, call.deleted ? "Deleted" : "Normal"}))
          << i;
      EXPECT_NE(CallKindText(call), "Call") << "every fixture call says what it was";
      const QVariant colour = model.data(model.index(int(i), 2), Qt::ForegroundRole);
      EXPECT_EQ(colour.isValid() && colour.value<QColor>().rgba() == 0xFFF37302u,
                call.deleted != 0);
    }
  }

  // Picking a row previews it in the pane; the printable categories enable Print.
  Pick(ScanCategory::kNotes);
  EXPECT_TRUE(Find<QPushButton>("BtnPrint")->isEnabled());
  {
    auto* list = Find<QTreeView>("DataList");
    list->setCurrentIndex(list->model()->index(0, 0));
    const QString shown = Find<QTextEdit>("PreviewEdit")->toPlainText();
    EXPECT_TRUE(shown.contains(Q(firstNote->title))) << shown.toStdString();
  }
  Pick(ScanCategory::kCameraRoll);
  EXPECT_FALSE(Find<QPushButton>("BtnPrint")->isEnabled());

  // WhatsApp: the deleted chat first, shown by its last message (a group lists its members).
  Pick(ScanCategory::kWhatsApp);
  // Its label says how many of its messages are deleted when not all are.
  {
    const DeletedMarks marks = page.Rows().chatMarks.at(0);
    QString label = Q(page.Rows().chats[0].chatTitle);
    if (!marks.Whole()) label += QStringLiteral(" \u00B7 %1 deleted").arg(marks.deleted);
    EXPECT_EQ(Row(0)[0], label);
  }
  EXPECT_EQ(page.Rows().chats[0].deleted, 1);
  EXPECT_EQ(page.Rows().chats[0].sessionId, 1);

  // App Photos: the app folder opens on a double click and Back returns to the apps.
  Pick(ScanCategory::kAppPhotos);
  {
    auto* list = Find<QTreeView>("DataList");
    emit list->activated(list->model()->index(0, 0));
    EXPECT_EQ(Headers(), (QStringList{"File Name", "App Name", "Kind", "Size"}));
    EXPECT_EQ(Row(0)[0], Q(r.appPhotos.begin()->second[0].displayName));
    EXPECT_EQ(Q(r.appPhotos.begin()->second[0].displayName).toLower(), "edited.png");
    EXPECT_FALSE(Button("BtnBackAppDir")->isHidden());
    Button("BtnBackAppDir")->click();
    EXPECT_EQ(Headers(), (QStringList{"App Name", "Type"}));
    EXPECT_TRUE(Button("BtnBackAppDir")->isHidden());
  }

  // The filter: on in Messages keeps only the deleted conversations, off brings all back.
  const StatNode& root = page.Selection().Root();
  const uint32_t items = root.items;
  Pick(ScanCategory::kMessages);
  const int allConversations = page.List().model().rowCount();
  int deletedConversations = 0;
  for (const auto& row : page.Rows().conversations) deletedConversations += row.deleted;
  ASSERT_GT(deletedConversations, 0);
  ASSERT_LT(deletedConversations, allConversations);
  auto* filterCount = Find<QLabel>("LblFilterCount");
  EXPECT_TRUE(filterCount->isHidden());
  Button("OptOnOffFilter")->click();
  EXPECT_EQ(page.List().model().rowCount(), deletedConversations);
  if (const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS"); !folder.isEmpty()) {
    QApplication::processEvents();
    window_->grab().save(QString::fromUtf8(folder) + "/deleted_filter.png");
  }
  EXPECT_FALSE(filterCount->isHidden());
  const int hidden = allConversations - deletedConversations;
  // The line counts the deleted items (not the hidden ones) and says what Recover will take.
  EXPECT_EQ(ui::FullText(filterCount),
            QStringLiteral("%1 of %2 deleted \u00B7 Recover saves the checked ones shown")
                .arg(deletedConversations)
                .arg(allConversations));
  // The hidden rows keep the user's checks: only the filter, not the checks, leaves them out.
  for (const auto& row : page.Rows().conversations) {
    const SelectionEntry* e = page.Selection().Find(&row);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->checked, 1);
    EXPECT_EQ(e->hidden, row.deleted ? 0 : 1);
  }
  EXPECT_EQ(root.selected - root.selectedHidden, items - uint32_t(hidden));
  EXPECT_TRUE(page.StatisticsText().contains(
      QStringLiteral(" in %1 item(s) of ").arg(items - uint32_t(hidden))));
  // Another category with deletion marks is shown filtered too; files are never filtered.
  Pick(ScanCategory::kContacts);
  int deletedContacts = 0;
  for (const auto& c : expected_.contacts) deletedContacts += c.deleted;
  EXPECT_EQ(page.List().model().rowCount(), deletedContacts);
  Pick(ScanCategory::kCameraRoll);
  EXPECT_EQ(page.List().model().rowCount(), int(expected_.cameraRoll.size()));
  EXPECT_TRUE(filterCount->isHidden());
  Pick(ScanCategory::kMessages);
  Button("OptOnOffFilter")->click();
  EXPECT_EQ(page.List().model().rowCount(), allConversations);
  EXPECT_TRUE(filterCount->isHidden());
  EXPECT_EQ(root.hidden, 0u);
  EXPECT_EQ(root.selected, items);

  // Uncheck Contacts in the tree, check one of its rows: half-checked, one contact selected.
  QTreeWidgetItem* contactsRow = page.Tree().Row(ScanCategory::kContacts);
  contactsRow->setCheckState(0, Qt::Unchecked);
  EXPECT_EQ(page.Selection().Category(ScanCategory::kContacts).selected, 0u);
  Pick(ScanCategory::kContacts);
  auto& model = page.List().model();
  EXPECT_EQ(model.data(model.index(0, 0), Qt::CheckStateRole).toInt(), Qt::Unchecked);
  ASSERT_TRUE(model.setData(model.index(0, 0), Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(contactsRow->checkState(0), Qt::PartiallyChecked);
  {
    // The line, summed here from the containers: files by size, records by characters,
    // each at least 1024.
    auto counted = [](uint64_t n) { return std::max<uint64_t>(n, 1024); };
    auto chars = [&](const std::string& s) {
      uint64_t n = 0;
      for (unsigned char ch : s) n += (ch & 0xC0) != 0x80;
      return counted(n);
    };
    uint64_t total = 0, contacts = 0;
    for (const auto& f : r.cameraRoll) total += counted(f.size);
    for (const auto& [app, files] : r.appPhotos)
      for (const auto& f : files) total += counted(f.size);
    for (const auto& f : r.whatsAppAttachments) total += counted(f.size);
    for (const auto& f : r.messageAttachments) total += counted(f.size);
    for (const auto& row : page.Rows().conversations) total += chars(row.text);
    for (const auto& row : page.Rows().chats) total += chars(row.text);
    for (const auto& c : r.calls) total += chars(c.name + c.phone);
    for (const auto& n : r.notes) total += chars(n.body);
    for (const auto& c : r.contacts) contacts += chars(c.name + c.phones);
    total += contacts;
    const ContactItem& checked = page.Rows().contacts[0];
    const uint64_t selected = total - contacts + chars(checked.name + checked.phones);
    const uint32_t selectedCount = items - uint32_t(r.contacts.size()) + 1;
    EXPECT_EQ(page.StatisticsText(),
              QStringLiteral("You select %1 in %2 item(s) of %3 in %4 item(s)")
                  .arg(Q(FormatSize(int64_t(selected))))
                  .arg(selectedCount)
                  .arg(Q(FormatSize(int64_t(total))))
                  .arg(items));
  }

  // Recover into a folder: every selected file is there, the one contact on its page.
  const fs::path out = fs::path(dir_.path().toStdString()) / "out";
  fs::create_directories(out);
  page.chooseFolder = [&](QWidget*) { return std::optional<fs::path>(out); };
  int detailRows = -1;
  uint32_t done = 0;
  QTimer finisher;
  finisher.setInterval(10);
  QObject::connect(&finisher, &QTimer::timeout, [&] {
    auto* wnd = qobject_cast<CRecoverProcessWnd*>(QApplication::activeModalWidget());
    if (wnd == nullptr || !wnd->Finished()) return;
    QApplication::processEvents();
    if (wnd->findChild<QPushButton*>("FinishBtn")->isHidden()) return;
    detailRows = wnd->DetailList()->topLevelItemCount();
    done = wnd->DoneCount();
    EXPECT_TRUE(wnd->findChild<QPushButton*>("CancelBtn")->isHidden());
    // No file fails. The copies for browsers of the fixture's stand-ins (an "ftyp" box and no
    // picture, which libheif cannot decode) fail with their reasons: listed first, each a
    // line of its own, and counted apart from the files.
    EXPECT_EQ(wnd->FailedCount(), 0u);
    EXPECT_EQ(wnd->ItemsFailed(), 0u);
    int heic = 0;
    for (const auto& f : r.cameraRoll) heic += Q(f.displayName).endsWith(".HEIC", Qt::CaseInsensitive);
    const int rows = wnd->DetailList()->topLevelItemCount();
    int failedJpegCopies = 0;
    for (int i = 0; i < rows - int(wnd->DoneCount()); ++i) {
      const QTreeWidgetItem* row = wnd->DetailList()->topLevelItem(i);
      EXPECT_TRUE(row->text(0).endsWith(".jpg")) << row->text(0).toStdString();
      if (!row->text(0).contains(QLatin1String("/thumbs/")) &&
          row->text(1) != QLatin1String("Success")) {
        ++failedJpegCopies;
      }
    }
    EXPECT_EQ(failedJpegCopies, heic);
    wnd->findChild<QPushButton*>("FinishBtn")->click();
  });
  finisher.start();
  Button("BtnRecovery")->click();
  finisher.stop();
  EXPECT_GT(detailRows, int(done));  // the files, and the copies for browsers
  EXPECT_GT(done, 0u);
  for (const auto& f : r.cameraRoll) {
    EXPECT_TRUE(fs::exists(out / "Camera Roll" / f.displayName)) << f.displayName;
  }
  EXPECT_TRUE(fs::exists(out / "WhatsApp Attachments" / r.whatsAppAttachments[0].displayName));
  EXPECT_TRUE(fs::exists(out / "App Photos" / r.appPhotos.begin()->first /
                         r.appPhotos.begin()->second[0].displayName));
  EXPECT_TRUE(fs::exists(out / "Message" / "sms.csv"));
  int contactPages = 0;
  for (const auto& e : fs::recursive_directory_iterator(out / "Contacts")) {
    if (e.path().filename() != "Contacts.html") continue;
    ++contactPages;
    std::ifstream in(e.path());
    const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t rows = 0;
    for (size_t at = html.find("\t<tr"); at != std::string::npos;
         at = html.find("\t<tr", at + 1)) {
      ++rows;
    }
    EXPECT_EQ(rows, 1u);
    EXPECT_NE(html.find(page.Rows().contacts[0].name), std::string::npos);
  }
  EXPECT_EQ(contactPages, 1);
}

TEST_F(ScanPageTest, RecoverWindowListsFailuresFirstAndNeedsItsTemplates) {
  WriteFullBackup();
  Open();
  ScanFromStartPage();
  CScanVrtWnd& page = Page();
  // Only the camera roll, and one of its data files gone from the backup.
  for (int32_t code = 2; code <= 11; ++code)
    page.Selection().SelectCategory(ScanCategory(code), false);
  page.Selection().Recount();
  const auto& roll = page.Results().cameraRoll;
  ASSERT_GE(roll.size(), 2u);
  fs::remove(roll[1].path);
  // A long destination: the window keeps its size and elides the path in its middle.
  const fs::path out = fs::path(dir_.path().toStdString()) / std::string(100, 'a') /
                       (std::string(100, 'b') + "-out");
  fs::create_directories(out);
  RecoverJob job;
  job.engine = page.Sequence().activeEngine();
  job.messages = &page.Results().messages;
  job.chats = &page.Results().whatsApp;
  job.selection = &page.Selection();
  job.destination = out;
  job.templateFolder = fs::path(HALVERN_BIN_DIR) / "template";
  CRecoverProcessWnd wnd(window_.get(), job, uint32_t(roll.size()));
  QTimer::singleShot(0, [&] {
    // The run ends, and the window has shown its last reports.
    ASSERT_TRUE(Until([&] {
      return wnd.Finished() && wnd.DetailList()->topLevelItemCount() == int(roll.size());
    }));
    QApplication::processEvents();
    EXPECT_LE(wnd.width(), 560);
    auto* current = wnd.findChild<QLabel*>("current");
    EXPECT_TRUE(current->text().contains(QChar(0x2026)))
        << current->text().toStdString() << " / " << current->toolTip().toStdString();
    EXPECT_TRUE(current->toolTip().startsWith(Q(out.string())));
    wnd.findChild<QPushButton*>("DetailBtn")->click();
    wnd.findChild<QPushButton*>("closebtn")->click();  // after the run: closes with 1
  });
  EXPECT_EQ(wnd.Run(), ui::kResultOk);
  EXPECT_EQ(wnd.FailedCount(), 1u);
  EXPECT_EQ(wnd.DoneCount(), uint32_t(roll.size()));
  QTreeWidget* detail = wnd.DetailList();
  ASSERT_EQ(detail->topLevelItemCount(), int(roll.size()));
  EXPECT_TRUE(detail->topLevelItem(0)->text(0).endsWith(Q(roll[1].displayName)));
  EXPECT_NE(detail->topLevelItem(0)->text(1), "Success");
  EXPECT_EQ(detail->topLevelItem(0)->foreground(0).color(), QColor(0xE0, 0x20, 0x20));
  for (int i = 1; i < detail->topLevelItemCount(); ++i) {
    EXPECT_EQ(detail->topLevelItem(i)->text(1), "Success");
  }
  const QString n = QString::number(roll.size());
  EXPECT_EQ(wnd.findChild<QLabel*>("recovered")->text(),
            FillMessage(Msg("MSG1102"), {n, n, QString::number(roll.size() - 1), "1"}));

  // Without its templates the window says so and writes nothing.
  const fs::path empty = fs::path(dir_.path().toStdString()) / "no-templates";
  const fs::path out2 = fs::path(dir_.path().toStdString()) / "out2";
  fs::create_directories(empty);
  fs::create_directories(out2);
  job.templateFolder = empty;
  job.destination = out2;
  ModalDriver driver;
  driver.Press("okbtn");
  CRecoverProcessWnd missing(window_.get(), job, uint32_t(roll.size()));
  EXPECT_EQ(missing.Run(), ui::kResultCancel);
  ASSERT_EQ(driver.Seen().size(), 1u);
  EXPECT_EQ(driver.Seen()[0].layout, "MessageBox_Error.xml");
  EXPECT_EQ(driver.Seen()[0].message, Msg("MSG1104"));
  EXPECT_TRUE(fs::is_empty(out2));
}

// Cancelling a run: the worker waits while the question is open, "OK" stops it at its next
// report and the window closes with 2; the files after that are not written.
TEST_F(ScanPageTest, CancellingTheRecoverRunStopsTheWorker) {
  fixtures::BackupSpec spec;
  constexpr int kPhotos = 1500;
  spec.directories = {{"CameraRollDomain", "Media/DCIM/100APPLE"}};
  for (int i = 0; i < kPhotos; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "Media/DCIM/100APPLE/IMG_%04d.JPG", i);
    spec.files.push_back({"CameraRollDomain", name, fixtures::MediaBytes("jpg", 4096)});
  }
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(root_ / "many", spec, &error)) << error;
  Open();
  ScanFromStartPage();
  CScanVrtWnd& page = Page();
  ASSERT_EQ(page.Results().cameraRoll.size(), size_t(kPhotos));
  const fs::path out = fs::path(dir_.path().toStdString()) / "out";
  fs::create_directories(out);
  page.chooseFolder = [&](QWidget*) { return std::optional<fs::path>(out); };

  CRecoverProcessWnd* wnd = nullptr;
  QString question;
  bool workerHeld = false;
  uint32_t doneAtQuestion = 0;
  QTimer driver;
  driver.setInterval(5);
  QObject::connect(&driver, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    if (auto* recover = qobject_cast<CRecoverProcessWnd*>(modal)) {
      if (wnd == nullptr) {
        wnd = recover;
        // From its own event: a timer's slot is not entered again while it runs.
        QTimer::singleShot(0, recover->findChild<QPushButton*>("CancelBtn"), &QPushButton::click);
      }
      return;
    }
    if (modal->property("layout").toString() != "MessageBox_Question.xml" || !question.isEmpty()) {
      return;
    }
    question = modal->findChild<QLabel*>("message")->text();
    EXPECT_TRUE(wnd->isHidden());  // the window steps aside while it asks
    doneAtQuestion = wnd->DoneCount();
    QElapsedTimer held;
    held.start();
    while (held.elapsed() < 150) QApplication::processEvents(QEventLoop::AllEvents, 10);
    workerHeld = wnd->DoneCount() == doneAtQuestion;
    modal->findChild<QPushButton*>("okbtn")->click();
  });
  driver.start();
  Button("BtnRecovery")->click();  // returns when the recover window has closed
  driver.stop();
  EXPECT_EQ(question, Msg("MSG1103"));
  EXPECT_TRUE(workerHeld);
  size_t copied = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(out / "Camera Roll")) ++copied;
  EXPECT_LT(copied, size_t(kPhotos));
  EXPECT_LE(copied, size_t(doneAtQuestion) + 1);
}

TEST_F(ScanPageTest, PauseStopAndTheCloseQuery) {
  WriteFullBackup();
  Open();
  window_->ChooseStartPage(false);
  CScanVrtWnd& page = Page();
  page.backupInfo = window_->BackupPage().Backups().at(0);
  auto* pause = Button("BtnScanPause");

  {  // Pause holds the worker; stop while paused asks once, resets the text, ends with 2.
    ASSERT_EQ(page.StartScan(1), 0);
    pause->click();
    EXPECT_TRUE(page.paused);
    EXPECT_EQ(pause->text(), Msg("MSG0506"));
    EXPECT_FALSE(Button("BtnHome")->isEnabled());
    const int32_t shown = page.Sequence().shownPercent();
    QElapsedTimer wait;
    wait.start();
    while (wait.elapsed() < 300) QApplication::processEvents(QEventLoop::AllEvents, 20);
    EXPECT_FALSE(page.ScanFinished());
    EXPECT_EQ(page.Sequence().shownPercent(), shown);
    ModalDriver driver;
    driver.Press("okbtn");
    Button("BtnScanStop")->click();
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].layout, "MessageBox_Question.xml");
    EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0508"));
    EXPECT_TRUE(page.ScanFinished());
    EXPECT_EQ(page.ScanResult(), kStopped);
    EXPECT_FALSE(page.paused);
    EXPECT_EQ(pause->text(), Msg("MSG0507"));
    ASSERT_TRUE(Until([&] { return Seen(ui::kWmScanFinished) == 1; }));
    EXPECT_FALSE(Find<QWidget>("ReocveryToolBar")->isHidden());
    EXPECT_TRUE(Button("BtnHome")->isEnabled());
  }
  {  // Stop answered "Cancel": the scan goes on to its end.
    ASSERT_EQ(page.StartScan(1), 0);
    ModalDriver driver;
    driver.Press("cancelbtn");
    Button("BtnScanStop")->click();
    EXPECT_EQ(driver.Seen().size(), 1u);
    EXPECT_FALSE(page.paused);
    ASSERT_TRUE(Until([&] { return Seen(ui::kWmScanFinished) == 2; }));
    EXPECT_EQ(page.ScanResult(), 0);
  }
  {  // Closing during a paused scan: "Cancel" keeps the window and the pause.
    ASSERT_EQ(page.StartScan(1), 0);
    pause->click();
    ModalDriver driver;
    driver.Press("cancelbtn").Press("okbtn");
    EXPECT_FALSE(window_->close());
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0511"));
    EXPECT_TRUE(window_->isVisible());
    EXPECT_TRUE(page.paused);
    EXPECT_FALSE(page.ScanFinished());
    EXPECT_TRUE(window_->close());  // "OK": the scan stops and the window closes
    EXPECT_EQ(driver.Seen().size(), 2u);
    EXPECT_TRUE(page.ScanFinished());
    EXPECT_EQ(page.ScanResult(), kStopped);
  }
}

TEST_F(ScanPageTest, HomeAsksOnlyWhenSomethingWasFound) {
  fixtures::BackupSpec spec;
  spec.displayName = spec.deviceName = "Empty Phone";
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(root_ / "empty", spec, &error)) << error;
  Open();
  ScanFromStartPage();
  {
    ModalDriver driver;
    EXPECT_TRUE(Button("BtnHome")->isEnabled());
    EXPECT_FALSE(Button("BtnRecovery")->isEnabled());  // nothing selected
    Button("BtnHome")->click();
    EXPECT_TRUE(driver.Seen().empty());
    EXPECT_EQ(window_->MainTabPage()->currentIndex(), 0);
  }
  // A scan that found something asks first; "Cancel" stays on the page.
  window_.reset();
  messages_.clear();
  fs::remove_all(root_ / "empty");
  WriteFullBackup();
  Open();
  ScanFromStartPage();
  ModalDriver driver;
  driver.Press("cancelbtn").Press("okbtn");
  Button("BtnHome")->click();
  EXPECT_EQ(window_->MainTabPage()->currentIndex(), 1);
  Button("BtnHome")->click();
  ASSERT_EQ(driver.Seen().size(), 2u);
  EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0510"));
  EXPECT_EQ(window_->MainTabPage()->currentIndex(), 0);
  EXPECT_EQ(Page().Selection().Root().items, 0u);
  EXPECT_EQ(Page().Tree().Row(ScanCategory::kMessages)->text(0), "Messages (0)");
}

}  // namespace
}  // namespace halvern::app

// ----- Outcomes, a safe recover, keyboard use ------------------------------------------------

namespace halvern::app {
namespace {

QString Shown(QWidget* w) { return qobject_cast<QLabel*>(w)->text(); }

// Sends a key press (and release) to `target`, as the keyboard would.
void Key(QWidget* target, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  QKeyEvent press(QEvent::KeyPress, key, modifiers);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, modifiers);
  QApplication::sendEvent(target, &release);
  QApplication::processEvents();
}

double Luminance(QColor c) {
  auto channel = [](double v) {
    v /= 255.0;
    return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}
double Contrast(QColor a, QColor b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

class ScanOutcomeTest : public ScanPageTest {
 protected:
  // The tree rows that say "not scanned".
  std::set<ScanCategory> NotScannedRows() {
    std::set<ScanCategory> out;
    for (ScanCategory category : AllCategories()) {
      if (Page().Tree().Row(category)->text(0).contains("not scanned")) out.insert(category);
    }
    return out;
  }
  // With HALVERN_SCREENSHOTS set, saves the window showing the scan page as <name>.png.
  void Shot(const char* name) {
    const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS");
    if (folder.isEmpty()) return;
    window_->MainTabPage()->setCurrentIndex(1);
    QApplication::processEvents();
    window_->grab().save(QString::fromUtf8(folder) + "/" + name + ".png");
  }
  QString RemarkIcon() { return Find<QLabel>("LblRemarkIcon")->property("outcome").toString(); }
  // After any scan: no spinner, no "being scanned".
  void ExpectEnded() {
    EXPECT_TRUE(Find<QWidget>("BtnGifLoading")->isHidden());
    const QString scanning = ui::Text(ui::Texts().Section("PageScan"), "PageScanDesc1");
    ASSERT_FALSE(scanning.isEmpty());
    EXPECT_NE(Shown(Find<QWidget>("PageScanDesc1")), scanning);
    EXPECT_EQ(Shown(Find<QWidget>("PageScanDesc1")), Page().OutcomeText());
    EXPECT_FALSE(Find<QWidget>("ScanToolBar")->isVisible());
    // The bar's line is the outcome, shortened in the middle when it does not fit.
    auto* remark = Find<QLabel>("LblRemark");
    EXPECT_EQ(ui::FullText(remark), Page().OutcomeText());
    EXPECT_LE(remark->fontMetrics().horizontalAdvance(remark->text()), remark->contentsRect().width());
  }
};

TEST_F(ScanOutcomeTest, EachOutcomeHasItsOwnTextIconAndTree) {
  WriteFullBackup();
  Open();
  {  // Finished: every category read, none marked.
    ScanFromStartPage();
    EXPECT_EQ(Page().Outcome(), ScanOutcome::kFinished);
    EXPECT_EQ(Page().OutcomeText(), Msg("MSG0502"));
    EXPECT_EQ(RemarkIcon(), "scan_done.svg");
    EXPECT_EQ(Page().ScannedCategories().size(), AllCategories().size());
    EXPECT_TRUE(NotScannedRows().empty());
    ExpectEnded();
    Shot("scan_finished");
    // The close question fits a finished scan: no "scan is running".
    ModalDriver driver;
    driver.Press("cancelbtn");
    EXPECT_FALSE(window_->close());
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].message, Msg("MSG0516"));
  }
  {  // Stopped by the user at once: its own text and icon; the categories never reached say so.
    // A backup of many photos, so that the stop comes while the first categories are read.
    fixtures::BackupSpec spec;
    spec.directories = {{"CameraRollDomain", "Media/DCIM/100APPLE"}};
    for (int i = 0; i < 1500; ++i) {
      char name[64];
      std::snprintf(name, sizeof name, "Media/DCIM/100APPLE/IMG_%04d.JPG", i);
      spec.files.push_back({"CameraRollDomain", name, fixtures::MediaBytes("jpg", 1024)});
    }
    const fs::path many = fs::path(dir_.path().toStdString()) / "many";
    std::string error;
    ASSERT_TRUE(fixtures::WriteBackup(many, spec, &error)) << error;
    CScanVrtWnd& page = Page();
    ASSERT_EQ(page.backupInfo.ReadBackupInfo(many), 0);
    ASSERT_EQ(page.StartScan(1), 0);
    Button("BtnScanPause")->click();
    ModalDriver driver;
    driver.Press("okbtn");
    Button("BtnScanStop")->click();
    ASSERT_TRUE(Until([&] { return Seen(ui::kWmScanFinished) == 2; }));
    QApplication::processEvents();
    EXPECT_EQ(page.Outcome(), ScanOutcome::kStopped);
    EXPECT_EQ(page.OutcomeText(), Msg("MSG0520"));
    EXPECT_EQ(RemarkIcon(), "scan_stopped.svg");
    EXPECT_LT(page.ScannedCategories().size(), AllCategories().size());
    std::set<ScanCategory> expected;
    for (ScanCategory category : AllCategories()) {
      if (page.ScannedCategories().count(category) == 0) expected.insert(category);
    }
    EXPECT_EQ(NotScannedRows(), expected);
    ExpectEnded();
    Shot("scan_stopped");
  }
}

TEST_F(ScanOutcomeTest, AFailedOpenSaysWhy) {
  WriteFullBackup();
  fs::remove(root_ / "full" / "Manifest.db");
  fs::remove(root_ / "full" / "Manifest.mbdb");
  Open();
  window_->ChooseStartPage(false);
  ASSERT_EQ(window_->BackupPage().List()->topLevelItemCount(), 1);
  ModalDriver driver;
  driver.Press("okbtn");
  Button("BtnScan")->click();
  ASSERT_TRUE(Until([&] { return Seen(ui::kWmScanFinished) > 0; }));
  QApplication::processEvents();
  CScanVrtWnd& page = Page();
  EXPECT_EQ(page.Outcome(), ScanOutcome::kOpenFailed);
  EXPECT_EQ(RemarkIcon(), "scan_failed.svg");
  EXPECT_FALSE(page.OpenFailureText().isEmpty());
  EXPECT_EQ(page.OutcomeText(), FillMessage(Msg("MSG0525"), {page.OpenFailureText()}));
  EXPECT_EQ(NotScannedRows().size(), AllCategories().size());
  ExpectEnded();
  Shot("scan_failed");
  // The error box names the cause too.
  ASSERT_EQ(driver.Seen().size(), 1u);
  EXPECT_TRUE(driver.Seen()[0].message.endsWith(
      FillMessage(Msg("MSG0536"), {page.OpenFailureText()})))
      << driver.Seen()[0].message.toStdString();
  // Nothing was read: closing asks nothing.
  ModalDriver none;
  EXPECT_TRUE(window_->close());
  EXPECT_TRUE(none.Seen().empty());
}

// The shipped texts of `language` (a config.ini naming it beside the shipped language files).
LanguageStore& TextsOf(const std::string& language) {
  static std::map<std::string, std::unique_ptr<LanguageStore>> stores;
  auto& store = stores[language];
  if (!store) {
    const fs::path config = fs::temp_directory_path() / ("halvern_scan_page_" + language + ".ini");
    std::ofstream(config) << "[DefaultLanguage]\nDefault=" << language << "\n";
    store = std::make_unique<LanguageStore>();
    store->Load(config, fs::path(HALVERN_SOURCE_DIR) / "runtime" / "Languages");
    fs::remove(config);
  }
  ui::SetTextSource(store.get());
  return *store;
}

// A backup whose list of files is missing or damaged: in each language the page says that the
// backup could not be opened and why (not the text of a partly read backup), with real line
// breaks, the bar's line shortened in the middle and the centre heading broken into lines.
TEST_F(ScanOutcomeTest, ABackupThatFailsToOpenHasItsOwnTextThatFitsInEachLanguage) {
  struct Case {
    const char* language;
    const char* damage;
  } cases[] = {{"English", "missing"}, {"English", "garbage"}, {"Deutsch", "garbage"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.language) + " " + c.damage);
    TextsOf(c.language);
    fs::remove_all(root_ / "full");
    messages_.clear();
    WriteFullBackup();
    fs::remove(root_ / "full" / "Manifest.mbdb");
    if (std::string(c.damage) == "missing") {
      fs::remove(root_ / "full" / "Manifest.db");
    } else {
      std::ofstream(root_ / "full" / "Manifest.db", std::ios::binary | std::ios::trunc)
          << std::string(4096, '\x5A');
    }
    Open();
    ModalDriver driver;
    driver.Press("okbtn");
    ScanFromStartPage();
    CScanVrtWnd& page = Page();
    ASSERT_EQ(page.Outcome(), ScanOutcome::kOpenFailed);
    const QString text = page.OutcomeText();
    EXPECT_EQ(text, FillMessage(Msg("MSG0525"), {page.OpenFailureText()}));
    EXPECT_NE(text, FillMessage(Msg("MSG0521"), {page.OpenFailureText()}));
    EXPECT_FALSE(text.contains("\\n"));
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_FALSE(driver.Seen()[0].message.contains("\\n"));
    auto* remark = Find<QLabel>("LblRemark");
    EXPECT_EQ(ui::FullText(remark), text);
    EXPECT_LE(remark->fontMetrics().horizontalAdvance(remark->text()),
              remark->contentsRect().width());
    auto* heading = Find<QLabel>("PageScanDesc1");
    EXPECT_EQ(heading->text(), text);
    EXPECT_TRUE(heading->wordWrap());
    EXPECT_LE(heading->heightForWidth(heading->contentsRect().width()), heading->height());
    Shot((std::string("open_failed_") + c.language).c_str());
    window_.reset();
  }
  ShippedTexts();
}

TEST_F(ScanOutcomeTest, RecoverRefusesTheBackupAndAFolderThatTakesNoFile) {
  WriteFullBackup();
  Open();
  ScanFromStartPage();
  CScanVrtWnd& page = Page();
  size_t backupFiles = 0;
  for (const auto& e : fs::recursive_directory_iterator(root_ / "full")) backupFiles += e.is_regular_file();
  {  // Into the backup itself, and into a folder inside it: refused, nothing written.
    for (const fs::path& target : {root_ / "full", root_ / "full" / "Recovered"}) {
      page.chooseFolder = [&](QWidget*) { return std::optional<fs::path>(target); };
      ModalDriver driver;
      driver.Press("okbtn");
      QTimer watch;
      bool recoverWindow = false;
      watch.setInterval(5);
      QObject::connect(&watch, &QTimer::timeout, [&] {
        recoverWindow = recoverWindow ||
                        qobject_cast<CRecoverProcessWnd*>(QApplication::activeModalWidget());
      });
      watch.start();
      Button("BtnRecovery")->click();
      watch.stop();
      EXPECT_FALSE(recoverWindow);
      ASSERT_EQ(driver.Seen().size(), 1u);
      EXPECT_EQ(driver.Seen()[0].layout, "MessageBox_Error.xml");
      EXPECT_EQ(driver.Seen()[0].message,
                FillMessage(Msg("MSG1110"), {Q(fs::weakly_canonical(target).string())}));
    }
    size_t after = 0;
    for (const auto& e : fs::recursive_directory_iterator(root_ / "full")) after += e.is_regular_file();
    EXPECT_EQ(after, backupFiles);
    EXPECT_FALSE(fs::exists(root_ / "full" / "Recovered"));
    EXPECT_FALSE(fs::exists(root_ / "full" / "Camera Roll"));
  }
  {  // A folder without write permission: refused with the system's own message.
    const fixtures::UnwritableFolder locked(fs::path(dir_.path().toStdString()),
                                            fs::path(dir_.path().toStdString()) / "locked");
    page.chooseFolder = [&](QWidget*) { return std::optional<fs::path>(locked.path()); };
    ModalDriver driver;
    driver.Press("okbtn");
    Button("BtnRecovery")->click();
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].message,
              FillMessage(Msg("MSG1111"), {Q(locked.path().string()), "Permission denied"}));
    EXPECT_TRUE(fs::is_empty(locked.path()));

    // Had a run started there anyway (the folder turned read-only meanwhile), no item would
    // count as written and every failure would show the system's message, never "Stopped".
    RecoverJob job;
    job.engine = page.Sequence().activeEngine();
    job.messages = &page.Results().messages;
    job.chats = &page.Results().whatsApp;
    job.selection = &page.Selection();
    job.destination = locked.path();
    job.templateFolder = fs::path(HALVERN_BIN_DIR) / "template";
    const StatNode& root = page.Selection().Root();
    const uint32_t total = root.selected - root.selectedHidden;
    CRecoverProcessWnd wnd(window_.get(), job, total);
    QTimer::singleShot(0, [&] {
      ASSERT_TRUE(Until([&] { return wnd.Finished(); }));
      QApplication::processEvents();
      wnd.findChild<QPushButton*>("FinishBtn")->click();
    });
    EXPECT_EQ(wnd.Run(), ui::kResultOk);
    EXPECT_EQ(wnd.ItemsWritten(), 0u);
    EXPECT_EQ(wnd.ItemsFailed(), total);
    EXPECT_EQ(wnd.findChild<QLabel*>("recovered")->text(),
              FillMessage(Msg("MSG1102"), {QString::number(total), QString::number(total), "0",
                                           QString::number(total)}));
    QTreeWidget* detail = wnd.DetailList();
    ASSERT_GT(detail->topLevelItemCount(), 0);
    for (int i = 0; i < detail->topLevelItemCount(); ++i) {
      const QString status = detail->topLevelItem(i)->text(1);
      EXPECT_TRUE(status == "Permission denied" || status == "No such file or directory")
          << status.toStdString();
    }
    EXPECT_TRUE(fs::is_empty(locked.path()));
  }
}

TEST_F(ScanOutcomeTest, ListsAndTreeWorkByKeyboard) {
  WriteFullBackup();
  Open();
  ScanFromStartPage();
  CScanVrtWnd& page = Page();
  auto* view = Find<QTreeView>("DataList");
  auto* tree = Find<QTreeWidget>("NodeTree");
  window_->activateWindow();

  // Every control of the page takes the focus by Tab.
  for (const char* name : {"NodeTree", "DataList", "CheckAll", "EditSearch", "BtnHome",
                           "BtnRecovery", "BtnPrint", "ChkHeicJpeg"}) {
    auto* w = Find<QWidget>(name);
    ASSERT_NE(w, nullptr) << name;
    EXPECT_TRUE(w->focusPolicy() & Qt::TabFocus) << name;
  }

  // The tree: arrows move from category to category, and the list follows.
  Pick(ScanCategory::kMessages);
  tree->setFocus();
  Key(tree, Qt::Key_Down);
  ASSERT_NE(tree->currentItem(), page.Tree().Row(ScanCategory::kMessages));
  EXPECT_EQ(int(page.List().model().category()), page.Tree().Selected());
  Key(tree, Qt::Key_Up);
  EXPECT_EQ(tree->currentItem(), page.Tree().Row(ScanCategory::kMessages));
  EXPECT_EQ(page.List().model().category(), ScanCategory::kMessages);

  // Notes: arrows move the current row and the preview follows it.
  Pick(ScanCategory::kNotes);
  ASSERT_GE(view->model()->rowCount(), 2);
  view->setFocus();
  view->setCurrentIndex(view->model()->index(0, 0));
  Key(view, Qt::Key_Down);
  EXPECT_EQ(view->currentIndex().row(), 1);
  const NoteItem& second = page.Rows().notes[size_t(page.List().SourceRow(view->currentIndex()))];
  EXPECT_TRUE(Find<QTextEdit>("PreviewEdit")->toPlainText().contains(Q(second.title)));

  // Space unchecks the current row; Ctrl+A selects the whole list and Space checks it all.
  const void* key = page.List().model().ItemKey(size_t(page.List().SourceRow(view->currentIndex())));
  ASSERT_TRUE(page.Selection().Find(key)->checked);
  Key(view, Qt::Key_Space);
  EXPECT_FALSE(page.Selection().Find(key)->checked);
  EXPECT_EQ(page.Selection().CategoryState(ScanCategory::kNotes), CheckState::kHalf);
  Key(view, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(view->selectionModel()->selectedRows().size(), view->model()->rowCount());
  Key(view, Qt::Key_Space);
  EXPECT_EQ(page.Selection().CategoryState(ScanCategory::kNotes), CheckState::kChecked);
  Key(view, Qt::Key_Space);
  EXPECT_EQ(page.Selection().CategoryState(ScanCategory::kNotes), CheckState::kUnchecked);

  // App Photos: Enter on an app's row opens its files.
  Pick(ScanCategory::kAppPhotos);
  view->setCurrentIndex(view->model()->index(0, 0));
  Key(view, Qt::Key_Return);
  EXPECT_EQ(page.List().model().level(), ItemListModel::Level::kAppFiles);

  // A message box closes with Enter (OK) and Escape (Cancel).
  {
    ModalDriver driver;
    driver.Key(Qt::Key_Return).Key(Qt::Key_Escape);
    EXPECT_EQ(ui::ShowMessageBox(ui::kBoxQuestion, window_.get(), std::nullopt, "Enter?", 550, 200),
              ui::kResultOk);
    EXPECT_EQ(ui::ShowMessageBox(ui::kBoxQuestion, window_.get(), std::nullopt, "Esc?", 550, 200),
              ui::kResultCancel);
    EXPECT_EQ(driver.Unanswered(), 0);
  }
}

TEST_F(ScanOutcomeTest, HeadersSortAndFitAndTheSearchBoxFilters) {
  WriteFullBackup();
  Open();
  ScanFromStartPage();
  CScanVrtWnd& page = Page();
  auto* view = Find<QTreeView>("DataList");
  QHeaderView* header = view->header();

  // Call History: real headers, wide enough for a date and a phone number.
  Pick(ScanCategory::kCallHistory);
  EXPECT_FALSE(header->isHidden());
  EXPECT_EQ(Headers(), (QStringList{"User Name", "Phone Number", "Date", "Call Status",
                                    "Duration", "Status"}));
  const QFontMetrics fm(view->font());
  EXPECT_GE(header->sectionSize(2), fm.horizontalAdvance("2020-01-06 10:00:00") + 8);
  EXPECT_GE(header->sectionSize(1), fm.horizontalAdvance("+15557277000") + 8);
  EXPECT_NE(header->sectionResizeMode(0), QHeaderView::Fixed);
  header->resizeSection(0, 333);  // resizable by the user
  EXPECT_EQ(header->sectionSize(0), 333);

  // A click on a header sorts by that column, a second click the other way round.
  const int rows = view->model()->rowCount();
  ASSERT_GE(rows, 3);
  auto column = [&](int c) {
    QStringList out;
    for (int r = 0; r < view->model()->rowCount(); ++r) {
      out << view->model()->index(r, c).data().toString();
    }
    return out;
  };
  emit header->sectionClicked(2);
  header->setSortIndicator(2, Qt::AscendingOrder);
  QStringList dates = column(2), sorted = dates;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(dates, sorted);
  header->setSortIndicator(2, Qt::DescendingOrder);
  dates = column(2);
  std::sort(sorted.begin(), sorted.end(), std::greater<>());
  EXPECT_EQ(dates, sorted);

  // Sizes sort by their bytes, not their text ("9.00 KB" after "10.00 KB").
  Pick(ScanCategory::kCameraRoll);
  header->setSortIndicator(2, Qt::AscendingOrder);  // File Name, Kind, File Size
  std::vector<uint64_t> sizes;
  for (int r = 0; r < view->model()->rowCount(); ++r) {
    const int source = page.List().SourceRow(view->model()->index(r, 0));
    sizes.push_back(page.Results().cameraRoll[size_t(source)].size);
  }
  EXPECT_TRUE(std::is_sorted(sizes.begin(), sizes.end()));

  // The search box keeps the rows that hold its text, in any column and any case.
  Pick(ScanCategory::kCallHistory);
  auto* search = Find<QLineEdit>("EditSearch");
  const CallItem& call = page.Rows().calls[0];
  const QString needle = Q(call.phone).right(4);
  search->setText(needle.toLower());
  int expected = 0;
  for (const CallItem& c : page.Rows().calls) {
    expected += Q(c.phone).contains(needle) || Q(c.name).contains(needle, Qt::CaseInsensitive) ||
                Q(c.date).contains(needle);
  }
  EXPECT_EQ(view->model()->rowCount(), expected);
  EXPECT_LT(view->model()->rowCount(), rows);
  Pick(ScanCategory::kNotes);  // another list starts unsearched
  EXPECT_TRUE(search->text().isEmpty());
  EXPECT_EQ(view->model()->rowCount(), int(page.Rows().notes.size()));

  // A selected row is readable: its text against its background, at least 4.5:1 (the first
  // row whose first cell has text, so that the measured part of the row holds some).
  view->setFocus();
  int shown = 0;
  while (shown + 1 < view->model()->rowCount() &&
         view->model()->index(shown, 0).data().toString().isEmpty()) {
    ++shown;
  }
  view->selectionModel()->select(view->model()->index(shown, 0),
                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
  QApplication::processEvents();
  const QRect cell = view->visualRect(view->model()->index(shown, 0));
  const QRect rowRect(0, cell.top() + 2, view->viewport()->width(), cell.height() - 4);
  const QImage shot = view->viewport()->grab(rowRect).toImage();
  std::map<QRgb, int> histogram;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) ++histogram[shot.pixel(x, y)];
  }
  const QColor background = QColor::fromRgb(
      std::max_element(histogram.begin(), histogram.end(),
                       [](auto& a, auto& b) { return a.second < b.second; })
          ->first);
  double best = 1;
  for (const auto& [rgb, n] : histogram) best = std::max(best, Contrast(QColor::fromRgb(rgb), background));
  EXPECT_NE(background, QColor(Qt::white));  // the row shows as selected
  EXPECT_GE(best, 4.5) << background.name().toStdString();
  if (const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS"); !folder.isEmpty()) {
    window_->grab().save(QString::fromUtf8(folder) + "/selected_row.png");
  }
}

}  // namespace
}  // namespace halvern::app

// ----- The preview pane's width, fitting columns and names, German, conversation marks ------

namespace halvern::app {
namespace {

class ScanLayoutTest : public ScanOutcomeTest {};

// The pane is as wide as the user drags it (the list's tool bar gives way), and keeps that
// width from one run to the next.
TEST_F(ScanLayoutTest, ThePreviewPaneIsDraggedWiderAndKeepsItsWidth) {
  QTemporaryDir config;
  const QByteArray before = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
  WriteFullBackup();
  Open();
  window_->resize(1300, 700);
  ScanFromStartPage();
  Pick(ScanCategory::kMessages);
  QApplication::processEvents();
  QSplitter* splitter = Page().PreviewSplitter();
  ASSERT_NE(splitter, nullptr);
  auto* pane = Find<QWidget>("PreviewLayout");
  ASSERT_TRUE(pane->isVisible());
  const int first = pane->width();
  EXPECT_GE(first, 300);  // wide enough for a sender line from the start
  // While the bar has room, the filter's words stand on one line.
  auto* words = Find<QLabel>("PageScanDesc4");
  ASSERT_TRUE(words->isVisible());
  EXPECT_LT(words->heightForWidth(words->width()), 2 * words->fontMetrics().lineSpacing());
  // Drag the handle 180 pixels to the left.
  QSplitterHandle* handle = splitter->handle(1);
  const QPoint from = handle->rect().center();
  auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(at), handle->mapToGlobal(QPointF(at)), Qt::LeftButton, buttons,
                  Qt::NoModifier);
    QApplication::sendEvent(handle, &e);
  };
  send(QEvent::MouseButtonPress, from, Qt::LeftButton);
  send(QEvent::MouseMove, from - QPoint(180, 0), Qt::LeftButton);
  send(QEvent::MouseButtonRelease, from - QPoint(180, 0), Qt::NoButton);
  QApplication::processEvents();
  EXPECT_NEAR(pane->width(), first + 180, 2);
  // The list's tool bar gave way without cutting anything: the filter's words wrap whole
  // inside the bar, and the search field is inside the list side.
  EXPECT_LE(words->heightForWidth(words->width()), words->height());
  EXPECT_LE(words->heightForWidth(words->width()), 2 * words->fontMetrics().lineSpacing());
  const QWidget* side = splitter->widget(0);
  for (const QWidget* w : {static_cast<QWidget*>(words), Find<QWidget>("EditSearch")}) {
    const QRect inSide(w->mapTo(side, QPoint(0, 0)), w->size());
    EXPECT_TRUE(side->rect().contains(inSide)) << w->objectName().toStdString();
  }
  EXPECT_EQ(Page().PreviewWidth(), pane->width());
  Shot("preview_widened");
  const int dragged = pane->width();
  // The next window (the next run) opens the pane as wide as it was left.
  window_.reset();
  messages_.clear();
  Open();
  window_->resize(1300, 700);
  ScanFromStartPage();
  Pick(ScanCategory::kMessages);
  QApplication::processEvents();
  EXPECT_EQ(Page().PreviewWidth(), dragged);
  EXPECT_NEAR(Find<QWidget>("PreviewLayout")->width(), dragged, 2);
  window_.reset();
  if (before.isNull()) {
    qunsetenv("XDG_CONFIG_HOME");
  } else {
    qputenv("XDG_CONFIG_HOME", before);
  }
}

// At the default size and in each language: every column but the last is as wide as its
// widest cell (durations, e-mail addresses, the numbers of a group), the category names of the
// tree and the footer's texts are whole, and the fixed words of the lists are translated.
TEST_F(ScanLayoutTest, ColumnsTreeAndFooterFitInEachLanguage) {
  for (const char* language : {"English", "Deutsch"}) {
    SCOPED_TRACE(language);
    TextsOf(language);
    fs::remove_all(root_ / "full");
    messages_.clear();
    WriteFullBackup();
    Open();
    window_->resize(1000, 650);
    ScanFromStartPage();
    auto* view = Find<QTreeView>("DataList");
    const QFontMetrics fm(view->font());
    for (ScanCategory category : {ScanCategory::kMessages, ScanCategory::kContacts,
                                  ScanCategory::kCallHistory, ScanCategory::kNotes,
                                  ScanCategory::kWhatsApp, ScanCategory::kCameraRoll}) {
      SCOPED_TRACE(CategoryName(category));
      Pick(category);
      QApplication::processEvents();
      auto& model = Page().List().model();
      for (int c = 0; c + 1 < model.columnCount(); ++c) {
        int widest = 0;
        for (int r = 0; r < model.rowCount(); ++r) {
          widest = std::max(widest, fm.horizontalAdvance(model.index(r, c).data().toString()));
        }
        EXPECT_GE(view->header()->sectionSize(c), std::min(widest + 8, 380)) << "column " << c;
      }
    }
    // Fixed words of the lists in the language: the column "Kind", a call's outcome.
    Pick(ScanCategory::kCameraRoll);
    EXPECT_EQ(Headers()[1], ui::Text(ui::Texts().Section("DataList"), "Kind"));
    Pick(ScanCategory::kCallHistory);
    const QString answered = ui::Text(ui::Texts().Section("DataList"), "Answered");
    bool anyAnswered = false;
    for (int r = 0; r < Page().List().model().rowCount(); ++r) {
      anyAnswered = anyAnswered || Row(r)[3].contains(answered);
      if (std::string(language) == "Deutsch") {
        EXPECT_FALSE(Row(r)[3].contains("Answered"));
        EXPECT_FALSE(Row(r)[4].contains("Hour") || Row(r)[4].contains("Sec"))
            << Row(r)[4].toStdString();
      }
    }
    EXPECT_TRUE(anyAnswered);
    // Every category name of the tree is whole.
    auto* tree = Find<QTreeWidget>("NodeTree");
    for (int32_t code = 1; code <= 11; ++code) {
      QTreeWidgetItem* row = Page().Tree().Row(ScanCategory(code));
      if (row->isHidden()) continue;
      const QRect text = tree->visualItemRect(row);
      const int needed = text.left() + 40 + tree->fontMetrics().horizontalAdvance(row->text(0));
      EXPECT_LE(needed, tree->viewport()->width()) << row->text(0).toStdString();
    }
    // The footer: the statistics line (on two lines if need be), the HEIC option and Recover
    // are whole.
    auto* statistics = Find<QLabel>("LblStatistics");
    EXPECT_LE(statistics->heightForWidth(statistics->contentsRect().width()),
              statistics->contentsRect().height());
    EXPECT_LE(statistics->heightForWidth(statistics->contentsRect().width()),
              2 * statistics->fontMetrics().lineSpacing() + 2);
    for (const char* name : {"ChkHeicJpeg", "BtnRecovery", "BtnHome"}) {
      auto* w = Find<QWidget>(name);
      EXPECT_GE(w->width(), w->sizeHint().width()) << name;
    }
    Shot((std::string("results_") + language).c_str());
    window_.reset();
  }
  ShippedTexts();
}

// A conversation is marked deleted only when all its messages are; with some deleted its row
// says how many, and the filter still lists it.
TEST(ConversationMarks, DeletedOnlyWhenEveryMessageIs) {
  auto message = [](const char* conversation, int deleted) {
    MessageItem m;
    m.conversation = conversation;
    m.name = conversation;
    m.text = "text";
    m.deleted = deleted;
    return m;
  };
  struct Case {
    const char* name;
    std::vector<int> deleted;  // per message
    bool marked;               // orange with the deleted icon
    bool listedByFilter;
    const char* label;
  } cases[] = {
      {"one of four deleted", {0, 1, 0, 0}, false, true, "one of four deleted \u00B7 1 deleted"},
      {"three of five deleted", {1, 1, 0, 1, 0}, false, true, "three of five deleted \u00B7 3 deleted"},
      {"all deleted", {1, 1}, true, true, "all deleted"},
      {"none deleted", {0, 0, 0}, false, false, "none deleted"},
  };
  MessageMap map;
  for (const Case& c : cases) {
    Conversation& conversation = map[c.name];
    conversation.title = c.name;
    for (int d : c.deleted) conversation.messages.push_back(message(c.name, d));
  }
  CategoryRows rows;
  rows.conversations = ConversationRows(map);
  rows.conversationMarks = ConversationMarks(map);
  ASSERT_EQ(rows.conversationMarks.size(), rows.conversations.size());
  ScanResults results;
  CStatisticsObj selection;
  selection.AddConversations(rows.conversations);
  ItemListModel model(results, rows, selection);
  model.ShowCategory(ScanCategory::kMessages, false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int row = -1;
    for (int r = 0; r < model.rowCount(); ++r) {
      if (rows.conversations[model.ItemOfRow(r)].conversation == c.name) row = r;
    }
    ASSERT_GE(row, 0);
    const size_t item = model.ItemOfRow(row);
    EXPECT_EQ(rows.conversationMarks[item].total, c.deleted.size());
    EXPECT_EQ(model.ItemMarkedDeleted(item), c.marked);
    EXPECT_EQ(model.ItemDeleted(item), c.listedByFilter);
    const QVariant colour = model.data(model.index(row, 0), Qt::ForegroundRole);
    EXPECT_EQ(colour.isValid(), c.marked);
    EXPECT_EQ(model.data(model.index(row, 0), Qt::DisplayRole).toString(), QString(c.label));
  }
  model.ShowCategory(ScanCategory::kMessages, true);
  EXPECT_EQ(model.rowCount(), 3);
}

// Enter on the focused Recover button recovers, as a click does.
TEST_F(ScanLayoutTest, EnterPressesRecover) {
  WriteFullBackup();
  Open();
  ScanFromStartPage();
  Pick(ScanCategory::kNotes);
  int asked = 0;
  Page().chooseFolder = [&](QWidget*) -> std::optional<fs::path> {
    ++asked;
    return std::nullopt;
  };
  QPushButton* recover = Button("BtnRecovery");
  ASSERT_TRUE(recover->isEnabled());
  recover->setFocus();
  QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(recover, &press);
  QApplication::processEvents();
  EXPECT_EQ(asked, 1);
}

}  // namespace
}  // namespace halvern::app

namespace halvern::app {
namespace {

// Saves `html` (a page of `folder`) as the program's text view draws it, for a look by eye.
void ShotOfPage(const fs::path& page, const char* name) {
  const QByteArray folder = qgetenv("HALVERN_SCREENSHOTS");
  if (folder.isEmpty()) return;
  std::ifstream in(page);
  const std::string html((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  QTextBrowser view;
  view.setSearchPaths({QString::fromStdString(page.parent_path().string())});
  view.setHtml(QString::fromStdString(html));
  view.resize(900, 600);
  view.show();
  QApplication::processEvents();
  view.grab().save(QString::fromUtf8(folder) + "/" + name + ".png");
}

// In German, the recovered pages and the print page speak German: their words, table titles,
// headings and language; the CSV and text files keep the phone's data and English headers.
// The pages take the templates of the language applied to the program's words, whichever
// store holds them.
TEST_F(ScanLayoutTest, GermanRecoveredPagesAndPrintPage) {
  LanguageStore& german = TextsOf("Deutsch");
  ASSERT_TRUE(ApplyLanguage(german));
  WriteFullBackup();
  Open();
  ScanFromStartPage();
  CScanVrtWnd& page = Page();
  const fs::path out = fs::path(dir_.path().toStdString()) / "out";
  fs::create_directories(out);
  page.chooseFolder = [&](QWidget*) { return std::optional<fs::path>(out); };
  QTimer finisher;
  finisher.setInterval(10);
  QObject::connect(&finisher, &QTimer::timeout, [&] {
    auto* wnd = qobject_cast<CRecoverProcessWnd*>(QApplication::activeModalWidget());
    if (wnd == nullptr || !wnd->Finished()) return;
    QApplication::processEvents();
    if (wnd->findChild<QPushButton*>("FinishBtn")->isHidden()) return;
    wnd->findChild<QPushButton*>("FinishBtn")->click();
  });
  finisher.start();
  Button("BtnRecovery")->click();
  finisher.stop();
  fs::path sms, calls;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    const std::string name = e.path().filename().string();
    if (e.path().extension() == ".html" && e.path().parent_path().parent_path() == out / "Message")
      sms = e.path();
    if (name.rfind("CallHistory_", 0) == 0 && e.path().extension() == ".html") calls = e.path();
  }
  ASSERT_FALSE(sms.empty());
  ASSERT_FALSE(calls.empty());
  auto read = [](const fs::path& p) {
    std::ifstream in(p);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::string smsPage = read(sms), callPage = read(calls);
  for (const char* word : {"<html lang=\"de\">", "Datum:", "Nachrichten von"}) {
    EXPECT_NE(smsPage.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(smsPage.find("Date:"), std::string::npos);
  for (const char* word : {"<th>Telefonnummer</th>", "Anrufliste von", "Angenommen"}) {
    EXPECT_NE(callPage.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(callPage.find(">Answered<"), std::string::npos);
  // A call's duration has its units in the language ("1 Std. 2 Min.", not "1 Hour 2 Min").
  EXPECT_NE(callPage.find(">1 Std. 2 Min.<"), std::string::npos);
  EXPECT_EQ(callPage.find("Hour"), std::string::npos);
  ShotOfPage(sms, "recovered_sms_Deutsch");
  ShotOfPage(calls, "recovered_calls_Deutsch");

  // The print page of the calls, as the print window composes it.
  PrintSource source;
  source.category = ScanCategory::kCallHistory;
  source.calls = &page.Rows().calls;
  PageTemplate print;
  ASSERT_EQ(LoadPrintTemplate(PageTemplateFolder(platform::DataFolder(), "Deutsch"), print), 0);
  PrintControl control;
  const fs::path printed = fs::path(dir_.path().toStdString()) / "print" / "page.html";
  ASSERT_EQ(ComposePrintPage(source, print, printed, control), 0);
  const std::string printPage = read(printed);
  for (const char* word : {"<html lang=\"de\">", "Telefonnummer:", "Richtung:", "Ergebnis:"}) {
    EXPECT_NE(printPage.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(printPage.find("Phone Number:"), std::string::npos);
  EXPECT_NE(printPage.find("1 Std. 2 Min."), std::string::npos);
  EXPECT_EQ(printPage.find("Hour"), std::string::npos);
  ShotOfPage(printed, "print_Deutsch");
  window_.reset();
  ApplyLanguage(TextsOf("English"));
  ShippedTexts();
}

}  // namespace
}  // namespace halvern::app
