// The recover run over a real backup folder (fixture builder) and a selection made by hand:
// the folder tree and its names, unique names, escaping, the raw exports, the index, stopping,
// and the backup left untouched. Pages of each kind are pinned by golden files.
#include "export/recover_worker.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <set>
#include <thread>

#include "engine/backup_session.h"
#include "engine/engine.h"
#include "tests/export/golden.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/temp_dir.h"
#include "tests/fixtures/unwritable.h"
#include "export/destination.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;

constexpr int64_t kStart = 1622542830;  // 2021-06-01 10:20:30 UTC
constexpr const char* kStamp = "20210601102030";

// Every file of a folder with its bytes and modification time.
std::map<std::string, std::pair<std::string, fs::file_time_type>> Snapshot(const fs::path& root) {
  std::map<std::string, std::pair<std::string, fs::file_time_type>> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) {
      files[e.path().string()] = {golden::ReadBytes(e.path()), e.last_write_time()};
    }
  }
  return files;
}

// Counts reports; can answer "stop" from a given report on.
class Recorder : public RecoverTally {
 public:
  int32_t OnReport(int32_t percent, int32_t, const std::string& path) override {
    ++reports;
    if (percent == 100) finished.push_back(path);
    return stopAt > 0 && reports >= stopAt ? kStopped : 0;
  }
  int reports = 0;
  int stopAt = 0;
  std::vector<std::string> finished;
};

MessageItem Msg(int64_t handle, int32_t fromMe, int32_t deleted, std::string date, std::string name,
                std::string phone, std::string text) {
  MessageItem m;
  m.handleId = handle;
  m.fromMe = fromMe;
  m.deleted = deleted;
  m.date = std::move(date);
  m.name = std::move(name);
  m.phone = std::move(phone);
  m.text = std::move(text);
  return m;
}

ChatMessageItem Chat(int64_t session, int32_t fromMe, int32_t deleted, std::string name,
                     std::string phone, std::string text) {
  ChatMessageItem m;
  m.sessionId = session;
  m.fromMe = fromMe;
  m.deleted = deleted;
  m.date = "2021-05-30 18:00:0" + std::to_string(session);
  m.name = std::move(name);
  m.phone = std::move(phone);
  m.text = std::move(text);
  m.chatNames = "Lea, Tom";
  m.chatPhones = "4915112345678, 4917198765432";
  m.chatTitle = "Climbing, Sunday";
  return m;
}

class RecoverWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A backup with a messages database and an address book (for the raw exports) and media.
    fixtures::SmsRows rows;
    rows.handles = {{1, "+4930123456"}};
    rows.messages = {{1, "", std::string("hello"), 1, 600000000, 0},
                     {2, "", std::string("gone"), 1, 600000100, 1},
                     {3, "", std::string("still here"), 1, 600000200, 0}};
    fixtures::SmsChanges changes;
    changes.deleteMessages = {2};
    ASSERT_EQ(
        fixtures::MakeSmsDb(dir_ / "sms.db", rows, changes, {.schemaFile = "sms_all_ios9.sql"})
            .status,
        0);
    ASSERT_EQ(fixtures::MakeAddressBookDb(
                  dir_ / "ab.db",
                  {{1, "Anna", "Berg", "", "+49 30 123456"}, {2, "Ben", "", "", "+49 30 654321"}},
                  {}, {.schemaFile = "addressbook_all_ios8.sql"})
                  .status,
              0);
    fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
    spec.displayName = "Chloé's <iPhone>";
    spec.files.push_back({"HomeDomain", "Library/SMS/sms.db", golden::ReadBytes(dir_ / "sms.db")});
    spec.files.push_back({"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb",
                          golden::ReadBytes(dir_ / "ab.db")});
    backup_ = dir_ / "backup";
    ASSERT_TRUE(fixtures::WriteBackup(backup_, spec));
    BackupInfo info;
    ASSERT_EQ(info.ReadBackupInfo(backup_), 0);
    session_ = std::make_unique<BackupSession>(dir_ / "appdata", dir_ / "tmp");
    session_->SetBackupInfo(info);
    ASSERT_EQ(session_->Open(""), 0);
    session_->messageRowidBase = 3;
    session_->contactRowidBase = 2;
    engine_.reset(CreateEngine(1, session_.get()));

    auto file = [&](const std::string& domain, const std::string& path, const std::string& name) {
      MediaFileItem f;
      f.path = session_->DataFilePath(fixtures::FileId(domain, path));
      f.displayName = name;
      f.size = fs::file_size(f.path);
      return f;
    };
    // Two photos of the same name: the second is written with "(1)".
    results_.cameraRoll = {file("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.JPG", "IMG.JPG"),
                           file("CameraRollDomain", "Media/DCIM/100APPLE/short.JPG", "IMG.JPG")};
    MediaFileItem clip = file("AppDomain-com.example.notes", "Documents/clip.mp4", "clip.mp4");
    results_.appVideos["example.notes"] = {{clip.size, "example.notes", "clip.mp4", clip.path}};
    // Two conversations with nobody known and no number, and one named one.
    results_.messages["handle-7"] = OneToOne("handle-7", {
        Msg(7, 0, 0, "2021-05-01 09:00:00", "", "", "<script>alert(1)</script>"),
        Msg(7, 1, 1, "2021-05-01 09:01:00", "", "", "deleted & sent")});
    results_.messages["handle-8"] = OneToOne("handle-8", {Msg(8, 0, 0, "2021-05-02 10:00:00", "", "", "second unknown")});
    results_.messages["handle-9"] = OneToOne("handle-9", {
        Msg(9, 0, 1, "2021-05-03 11:00:00", "Anna Berg", "+4930123456", "Bis \"morgen\"\nLine two"),
        Msg(9, 1, 0, "2021-05-03 11:05:00", "Anna Berg", "+4930123456", "Ok, bis dann")});
    results_.contacts = {{0, "anna@example.org", "Hauptstr. 1", "", "https://anna.example",
                          "+4930123456\n+4917012345", "Berg & Co", "Anna Berg"},
                         {1, "", "", "", "", "+4930654321", "", "Ben <b>"},
                         {0, "", "", "@tom", "", "+4915112345678", "", "Tom"}};
    results_.calls = {{0, 1, 125, "2021-05-04 12:00:00", "+4930123456", "Anna Berg"},
                      {1, 1, 0, "2021-05-04 13:00:00", "+4930654321", ""},
                      {0, 0, 0, "2021-05-04 14:00:00", "+4915112345678", "Tom"},
                      {0, 0, 3725, "2021-05-04 15:00:00", "+4915112345678", "Tom"}};
    results_.notes = {{0, 1, "2021-05-05 08:00:00", "Shopping", "Milk\nBread <fresh>"},
                      {1, 2, "2021-05-06 08:00:00", "Old", "deleted note"}};
    results_.whatsApp[3] = OneChat(3, {Chat(3, 0, 0, "Lea", "4915112345678", "Who brings the rope?"),
                            Chat(3, 1, 1, "Me", "", "I do, with \"quotes\", commas\nand lines")});
    conversations_ = ConversationRows(results_.messages);
    chats_ = ChatRows(results_.whatsApp);
    selection_.AddFiles(ScanCategory::kCameraRoll, results_.cameraRoll);
    selection_.AddApps(ScanCategory::kAppVideos, results_.appVideos);
    selection_.AddConversations(conversations_);
    selection_.AddContacts(results_.contacts);
    selection_.AddCalls(results_.calls);
    selection_.AddNotes(results_.notes);
    selection_.AddChats(chats_);
  }

  RecoverJob Job(const fs::path& templates) {
    RecoverJob job;
    job.engine = engine_.get();
    job.messages = &results_.messages;
    job.chats = &results_.whatsApp;
    job.selection = &selection_;
    job.destination = dir_ / "out";
    job.templateFolder = templates;
    job.deviceName = "Chloé's <iPhone>";
    job.startTime = kStart;
    return job;
  }

  static fs::path RuntimeTemplates() {
    return fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template";
  }

  TempDir dir_;
  fs::path backup_;
  std::unique_ptr<BackupSession> session_;
  std::unique_ptr<IPhoneRecoveryParse> engine_;
  ScanResults results_;
  std::vector<MessageItem> conversations_;
  std::vector<ChatMessageItem> chats_;
  CStatisticsObj selection_;
};

TEST_F(RecoverWorkerTest, WritesEverySelectedItemToItsPlace) {
  const auto before = Snapshot(backup_);
  Recorder progress;
  RecoverWorker worker(Job(RuntimeTemplates()), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  const fs::path out = dir_ / "out";
  const std::string unknown = std::string("Message/Unknown-") + kStamp + "/";
  for (const std::string& rel : std::vector<std::string>{
           "Camera Roll/IMG.JPG", "Camera Roll/IMG(1).JPG", "App Video/example.notes/clip.mp4",
           unknown + "Unknown.txt", unknown + "Unknown.html", unknown + "Unknown(1).txt",
           unknown + "Unknown(1).html",
           std::string("Message/Anna Berg-") + kStamp + "/Anna Berg(+4930123456).html",
           std::string("Message/Anna Berg-") + kStamp + "/Anna Berg(+4930123456).txt",
           std::string("Message/sms.csv"), std::string("Contacts/") + kStamp + "/Contacts.html",
           std::string("Contacts/") + kStamp + "/Contacts.csv",
           std::string("CallHistory/CallHistory_") + kStamp + ".html",
           std::string("Notes/Notes_") + kStamp + ".html",
           std::string("WhatsApp Message/Climbing, Sunday-") + kStamp + "/Climbing, Sunday.html",
           std::string("WhatsApp Message/Climbing, Sunday-") + kStamp + "/Climbing, Sunday.csv",
           std::string("WhatsApp Message/Climbing, Sunday-") + kStamp + "/Climbing, Sunday.txt",
           std::string("index.html")}) {
    EXPECT_TRUE(fs::is_regular_file(out / rel)) << rel;
  }
  EXPECT_EQ(golden::ReadBytes(out / "Camera Roll/IMG(1).JPG"),
            golden::ReadBytes(results_.cameraRoll[1].path));

  // Markup in a message is text; the deleted message is an orange bubble.
  const std::string page = golden::ReadBytes(out / (unknown + "Unknown.html"));
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("<div class=\"del_send_msg\">deleted &amp; sent</div>"), std::string::npos);
  EXPECT_NE(page.find("iPhone&#39;s Messages of Chloé&#39;s &lt;iPhone&gt;"), std::string::npos);

  // Every row of the message table and of the address book, deleted ones included.
  const std::string sms = golden::ReadBytes(out / "Message/sms.csv");
  EXPECT_EQ(sms.rfind("1,", 0), 0u) << sms;
  EXPECT_NE(sms.find("\"still here\""), std::string::npos);
  const std::string contactsCsv = golden::ReadBytes(out / "Contacts" / kStamp / "Contacts.csv");
  EXPECT_NE(contactsCsv.find("\"Anna\""), std::string::npos);
  EXPECT_NE(contactsCsv.find("\"Ben\""), std::string::npos);

  // One report per contact, each naming the one page.
  const std::string contactsPage = (out / "Contacts" / kStamp / "Contacts.html").string();
  EXPECT_EQ(std::count(progress.finished.begin(), progress.finished.end(), contactsPage), 3);
  EXPECT_EQ(progress.failedCount(), 0u);

  // The index links every page and folder written.
  const std::string index = golden::ReadBytes(out / "index.html");
  for (const std::string& link : std::vector<std::string>{
           "href=\"Camera%20Roll/\"", "href=\"App%20Video/\"", "href=\"Message/sms.csv\"",
           "href=\"Message/Unknown-20210601102030/Unknown%281%29.html\"",
           "href=\"CallHistory/CallHistory_20210601102030.html\"",
           "href=\"WhatsApp%20Message/Climbing%2C%20Sunday-20210601102030/"
           "Climbing%2C%20Sunday.csv\"",
           "href=\"Contacts/20210601102030/Contacts.html\""}) {
    EXPECT_NE(index.find(link), std::string::npos) << link;
  }
  EXPECT_EQ(Snapshot(backup_), before);
}

TEST_F(RecoverWorkerTest, NothingOfTheDestinationIsReplaced) {
  const fs::path out = dir_ / "out";
  fs::create_directories(out / "Message");
  golden::WriteBytes(out / "Message/sms.csv", "mine");
  golden::WriteBytes(out / "index.html", "mine too");
  Recorder progress;
  RecoverWorker worker(Job(RuntimeTemplates()), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  EXPECT_EQ(golden::ReadBytes(out / "Message/sms.csv"), "mine");
  EXPECT_EQ(golden::ReadBytes(out / "index.html"), "mine too");
  EXPECT_TRUE(fs::is_regular_file(out / "Message/sms(1).csv"));
  EXPECT_EQ(worker.summary().index, out / "index(1).html");
}

TEST_F(RecoverWorkerTest, OnlyTheTakenEntriesAreWritten) {
  // Unselected and hidden items stay out.
  selection_.SelectCategory(ScanCategory::kCameraRoll, false);
  selection_.SelectCategory(ScanCategory::kAppVideos, false);
  for (const auto& [item, entry] : selection_.Entries()) {
    if (!entry->group && entry->deleted == 0) selection_.SetHidden(item, true);
  }
  Recorder progress;
  RecoverWorker worker(Job(RuntimeTemplates()), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  const fs::path out = dir_ / "out";
  EXPECT_FALSE(fs::exists(out / "Camera Roll"));
  EXPECT_FALSE(fs::exists(out / "App Video"));
  // Conversations with a deleted message count as deleted; the second unknown one does not.
  EXPECT_TRUE(fs::exists(out / "Message" / (std::string("Unknown-") + kStamp) / "Unknown.html"));
  EXPECT_FALSE(
      fs::exists(out / "Message" / (std::string("Unknown-") + kStamp) / "Unknown(1).html"));
  const std::string contacts = golden::ReadBytes(out / "Contacts" / kStamp / "Contacts.html");
  EXPECT_NE(contacts.find("Ben &lt;b&gt;"), std::string::npos);
  EXPECT_EQ(contacts.find("Anna Berg"), std::string::npos);
}

TEST_F(RecoverWorkerTest, StopLeavesNoPartialFileAndEndsTheWalk) {
  Recorder progress;
  progress.stopAt = 1;
  RecoverWorker worker(Job(RuntimeTemplates()), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  EXPECT_EQ(worker.Run(), kStopped);
  EXPECT_TRUE(worker.summary().stopped);
  const fs::path out = dir_ / "out";
  EXPECT_FALSE(fs::exists(out / "Camera Roll/IMG.JPG"));
  EXPECT_FALSE(fs::exists(out / "Message"));
  EXPECT_EQ(progress.reports, 1);

  // Stopped while a conversation page is being written: the page cut short is removed.
  struct StopInPage : RecoverTally {
    int32_t OnReport(int32_t percent, int32_t, const std::string& path) override {
      return percent < 100 && path.ends_with(".html") ? kStopped : 0;
    }
  } inPage;
  RecoverWorker pages(Job(RuntimeTemplates()), inPage);
  ASSERT_EQ(pages.LoadTemplates(), 0);
  EXPECT_EQ(pages.Run(), kStopped);
  ASSERT_TRUE(fs::exists(out / "Message"));
  for (const auto& e : fs::recursive_directory_iterator(out / "Message")) {
    EXPECT_NE(e.path().extension(), ".html") << e.path();
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  }
}

// Every selected item: 2 photos, 1 app video, 3 conversations, 3 contacts, 4 calls, 2 notes
// and 1 chat.
constexpr uint32_t kSelectedItems = 16;

TEST_F(RecoverWorkerTest, CountsAnItemWrittenOnlyWhenItsFilesAreOnDisk) {
  {
    Recorder progress;
    RecoverWorker worker(Job(RuntimeTemplates()), progress);
    ASSERT_EQ(worker.LoadTemplates(), 0);
    ASSERT_EQ(worker.Run(), 0);
    EXPECT_EQ(progress.itemsWritten(), kSelectedItems);
    EXPECT_EQ(progress.itemsFailed(), 0u);
  }
  // A folder that takes no file: every item fails with the system's own error, none counts as
  // written (table rows included, which are only collected before their page is written), and
  // nothing lands on disk.
  const fixtures::UnwritableFolder locked(dir_.path(), dir_ / "locked");
  RecoverJob job = Job(RuntimeTemplates());
  job.destination = locked.path();
  Recorder progress;
  RecoverWorker worker(job, progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  EXPECT_EQ(progress.itemsWritten(), 0u);
  EXPECT_EQ(progress.itemsFailed(), kSelectedItems);
  EXPECT_EQ(progress.failedCount(), progress.doneCount());
  for (const auto& o : progress.outcomes()) {
    EXPECT_TRUE(o.error == EACCES || o.error == ENOENT) << o.path << ": " << o.error;
  }
  EXPECT_TRUE(worker.summary().written.empty());
  EXPECT_TRUE(fs::is_empty(locked.path()));
}

TEST_F(RecoverWorkerTest, FilesCopiedAheadAreReportedAndCountedNeverCopiedTwice) {
  const fs::path roll = dir_ / "out" / "Camera Roll";
  // Made while the scan still ran: the same names a run gives, nothing copied twice, every
  // item counted once and reported under the name its copy took.
  {
    CopiesAhead ahead;
    ASSERT_EQ(ahead.Copy(*engine_, dir_ / "out", 1, results_.cameraRoll, nullptr), 0);
    EXPECT_EQ(ahead.copied(), 2u);
    RecoverJob job = Job(RuntimeTemplates());
    job.ahead = &ahead;
    Recorder progress;
    RecoverWorker worker(job, progress);
    ASSERT_EQ(worker.LoadTemplates(), 0);
    ASSERT_EQ(worker.Run(), 0);
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(roll)) names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"IMG.JPG", "IMG(1).JPG"}));
    EXPECT_EQ(golden::ReadBytes(roll / "IMG(1).JPG"), golden::ReadBytes(results_.cameraRoll[1].path));
    EXPECT_EQ(progress.itemsWritten(), kSelectedItems);
    for (const char* name : {"IMG.JPG", "IMG(1).JPG"}) {
      EXPECT_EQ(std::count(progress.finished.begin(), progress.finished.end(), (roll / name).string()), 1)
          << name;
    }
    EXPECT_NE(golden::ReadBytes(dir_ / "out" / "index.html").find("(2 files)"), std::string::npos);
  }
  fs::remove_all(dir_ / "out");

  // A run stopped before it reached them still lists and counts them: they are whole on disk.
  {
    CopiesAhead ahead;
    ASSERT_EQ(ahead.Copy(*engine_, dir_ / "out", 1, results_.cameraRoll, nullptr), 0);
    RecoverJob job = Job(RuntimeTemplates());
    job.ahead = &ahead;
    Recorder progress;
    progress.stopAt = 1;
    RecoverWorker worker(job, progress);
    ASSERT_EQ(worker.LoadTemplates(), 0);
    EXPECT_EQ(worker.Run(), kStopped);
    EXPECT_EQ(progress.itemsWritten(), 2u);
    const auto& written = worker.summary().written;
    for (const char* name : {"IMG.JPG", "IMG(1).JPG"}) {
      EXPECT_NE(std::find(written.begin(), written.end(), roll / name), written.end()) << name;
    }
  }
  fs::remove_all(dir_ / "out");

  // Stopped while copying ahead: nothing half-made, and the run copies what was not copied.
  {
    CopiesAhead ahead;
    int asked = 0;
    EXPECT_EQ(ahead.Copy(*engine_, dir_ / "out", 1, results_.cameraRoll, [&] { return ++asked > 1; }),
              kStopped);
    EXPECT_EQ(ahead.copied(), 0u);
    EXPECT_TRUE(!fs::exists(roll) || fs::is_empty(roll));
    RecoverJob job = Job(RuntimeTemplates());
    job.ahead = &ahead;
    Recorder progress;
    RecoverWorker worker(job, progress);
    ASSERT_EQ(worker.LoadTemplates(), 0);
    ASSERT_EQ(worker.Run(), 0);
    EXPECT_TRUE(fs::is_regular_file(roll / "IMG(1).JPG"));
    EXPECT_FALSE(fs::exists(roll / "IMG(2).JPG"));
    EXPECT_EQ(progress.itemsWritten(), kSelectedItems);
  }
}

TEST_F(RecoverWorkerTest, PicturesGetCopiesForBrowsersAndAFailedCopyIsReportedWithItsReason) {
  // One real HEIC picture, and one that only claims to be one (a JPEG's bytes).
  results_.cameraRoll[0].displayName = "IMG_0004.HEIC";
  results_.cameraRoll[1].displayName = "IMG_0005.HEIC";
  const fs::path realHeic = dir_ / "real.heic";
  fs::copy_file(fs::path(HALVERN_TEST_DATA_DIR) / "media" / "photo.heic", realHeic);
  results_.cameraRoll[1].path = realHeic;
  results_.cameraRoll[1].size = fs::file_size(realHeic);
  RecoverJob job = Job(RuntimeTemplates());
  job.mediaCopies = {true, false};
  Recorder progress;
  RecoverWorker worker(job, progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  const fs::path roll = dir_ / "out" / "Camera Roll";
  // The originals are kept whole; the real picture has its JPEG copy and a thumbnail.
  EXPECT_EQ(golden::ReadBytes(roll / "IMG_0005.HEIC"), golden::ReadBytes(realHeic));
  EXPECT_TRUE(fs::is_regular_file(roll / "IMG_0004.HEIC"));
  EXPECT_EQ(golden::ReadBytes(roll / "IMG_0005.jpg").substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(golden::ReadBytes(roll / "thumbs" / "IMG_0005.HEIC.jpg").substr(0, 2), "\xFF\xD8");
  EXPECT_NE(std::find(worker.summary().written.begin(), worker.summary().written.end(),
                      roll / "IMG_0005.jpg"),
            worker.summary().written.end());
  // The false one fails its copies with a reason, is never left half-written, and still
  // counts as recovered: its original is whole on disk.
  EXPECT_FALSE(fs::exists(roll / "IMG_0004.jpg"));
  EXPECT_FALSE(fs::exists(roll / "thumbs" / "IMG_0004.HEIC.jpg"));
  // (The fixture's app video is no real video either: its poster fails the same way.)
  std::map<std::string, std::vector<MediaCopy::Kind>> failed;
  for (const MediaCopy& failure : progress.copyFailures()) {
    EXPECT_EQ(failure.error, kInvalidParameter);
    EXPECT_FALSE(failure.reason.empty());
    failed[failure.original.filename().string()].push_back(failure.kind);
  }
  EXPECT_EQ(failed["IMG_0004.HEIC"],
            (std::vector<MediaCopy::Kind>{MediaCopy::Kind::kJpeg, MediaCopy::Kind::kThumbnail}));
  EXPECT_EQ(failed["clip.mp4"], std::vector<MediaCopy::Kind>{MediaCopy::Kind::kThumbnail});
  EXPECT_EQ(failed.size(), 2u);
  EXPECT_EQ(progress.copiesMade(), 2u);  // the real picture's JPEG and thumbnail
  EXPECT_EQ(progress.failedCount(), 0u);
  EXPECT_EQ(progress.itemsFailed(), 0u);
  for (const auto& e : fs::recursive_directory_iterator(dir_ / "out")) {
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  }
}

TEST_F(RecoverWorkerTest, NoCopiesForBrowsersUnlessAsked) {
  results_.cameraRoll[0].displayName = "IMG_0004.HEIC";
  RecoverJob job = Job(RuntimeTemplates());
  Recorder progress;
  RecoverWorker worker(job, progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  const fs::path roll = dir_ / "out" / "Camera Roll";
  EXPECT_TRUE(fs::is_regular_file(roll / "IMG_0004.HEIC"));
  EXPECT_FALSE(fs::exists(roll / "IMG_0004.jpg"));
  EXPECT_FALSE(fs::exists(roll / "thumbs"));
  EXPECT_TRUE(progress.copyFailures().empty());
}

TEST(RecoverDestination, RefusesTheBackupAndFoldersThatTakeNoFile) {
  TempDir dir;
  const fs::path backup = dir / "backup";
  fs::create_directories(backup / "Snapshot");
  golden::WriteBytes(dir / "plain-file", "x");
  fs::create_symlink(backup, dir / "link-to-backup");
  using P = DestinationProblem;
  const struct {
    fs::path destination;
    P problem;
  } cases[] = {
      {dir / "out", P::kNone},                       // does not exist yet: its parent is probed
      {dir / "out" / "deeper", P::kNone},
      {backup, P::kInsideBackup},
      {backup / "Snapshot", P::kInsideBackup},
      {backup / "new", P::kInsideBackup},
      {dir / "link-to-backup" / "x", P::kInsideBackup},  // through a link
      {backup / ".." / "backup" / "x", P::kInsideBackup},
      {dir / "backup-copy", P::kNone},               // a name that only begins like the backup
      {dir / "plain-file" / "out", P::kNotWritable},
  };
  for (const auto& c : cases) {
    const DestinationCheck check = CheckRecoverDestination(c.destination, backup);
    EXPECT_EQ(check.problem, c.problem) << c.destination;
    if (c.problem == P::kNotWritable) {
      EXPECT_EQ(check.error, ENOTDIR);
      EXPECT_NE(check.Message().find("Not a directory"), std::string::npos) << check.Message();
    }
  }
  EXPECT_FALSE(fs::exists(dir / "out"));
  {
    const fixtures::UnwritableFolder locked(dir.path(), dir / "locked");
    const DestinationCheck check = CheckRecoverDestination(locked.path() / "sub", backup);
    EXPECT_EQ(check.problem, P::kNotWritable);
    EXPECT_EQ(check.error, EACCES);
    EXPECT_NE(check.Message().find("Permission denied"), std::string::npos) << check.Message();
  }
  // Nothing of the probe is left behind.
  for (const auto& e : fs::recursive_directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename().string().find(".halvern"), std::string::npos) << e.path();
  }
}

TEST_F(RecoverWorkerTest, RunsAtOnceIntoOneFolderKeepEveryPage) {
  // Four runs with the same stamp into one folder: every page and file of each is kept.
  constexpr int kRuns = 4;
  std::vector<std::unique_ptr<Recorder>> progress;
  std::vector<std::unique_ptr<RecoverWorker>> workers;
  for (int i = 0; i < kRuns; ++i) {
    progress.push_back(std::make_unique<Recorder>());
    workers.push_back(std::make_unique<RecoverWorker>(Job(RuntimeTemplates()), *progress.back()));
    ASSERT_EQ(workers.back()->LoadTemplates(), 0);
  }
  std::vector<std::thread> threads;
  std::vector<int32_t> results(kRuns, -1);
  for (int i = 0; i < kRuns; ++i) threads.emplace_back([&, i] { results[i] = workers[i]->Run(); });
  for (auto& t : threads) t.join();
  std::set<fs::path> written;
  size_t total = 0;
  for (int i = 0; i < kRuns; ++i) {
    EXPECT_EQ(results[i], 0);
    EXPECT_EQ(progress[i]->failedCount(), 0u);
    for (const fs::path& p : workers[i]->summary().written) {
      written.insert(p);
      EXPECT_TRUE(fs::is_regular_file(p)) << p;
    }
    total += workers[i]->summary().written.size();
  }
  EXPECT_EQ(written.size(), total);  // no two runs claimed one name
  const fs::path out = dir_ / "out";
  size_t pages = 0;
  for (const auto& name : {"Contacts.html", "Contacts(1).html", "Contacts(2).html", "Contacts(3).html"})
    pages += fs::is_regular_file(out / "Contacts" / kStamp / name);
  EXPECT_EQ(pages, 4u);
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos) << e.path();
  }
}

TEST_F(RecoverWorkerTest, FailuresAreFailuresNeverStops) {
  // Folders that cannot be made (a file stands in their place): every item fails with the
  // system's reason, the run is not "stopped", and nothing counts as recovered.
  const fs::path out = dir_ / "out";
  fs::create_directories(out);
  for (const char* blocked : {"Camera Roll", "App Video", "Message", "WhatsApp Message",
                              "Contacts", "CallHistory", "Notes"}) {
    golden::WriteBytes(out / blocked, "in the way");
  }
  Recorder progress;
  RecoverWorker worker(Job(RuntimeTemplates()), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  EXPECT_EQ(worker.Run(), 0);
  EXPECT_FALSE(worker.summary().stopped);
  EXPECT_GT(progress.failedCount(), 0u);
  EXPECT_EQ(progress.doneCount(), progress.failedCount());
  for (const auto& o : progress.outcomes()) {
    if (o.path.find("index") != std::string::npos) continue;
    EXPECT_NE(o.error, 0) << o.path;
    EXPECT_FALSE(IsStopped(o.error)) << o.path;
    EXPECT_NE(RecoverStatusText(o.error), "Stopped") << o.path;
  }
  // ENOENT is 2, the value the stop status once had: it reads as what it is.
  EXPECT_EQ(RecoverStatusText(ENOENT), std::strerror(ENOENT));
  EXPECT_EQ(RecoverStatusText(EROFS), std::strerror(EROFS));  // a read-only disk, not a short read
  EXPECT_EQ(RecoverStatusText(kStopped), "Stopped");
}

TEST_F(RecoverWorkerTest, MissingTemplateStopsBeforeAnythingIsWritten) {
  Recorder progress;
  RecoverWorker worker(Job(dir_ / "no-templates"), progress);
  std::string missing;
  EXPECT_EQ(worker.LoadTemplates(&missing), kInvalidParameter);
  EXPECT_NE(missing.find("CallHistory.html"), std::string::npos);
  EXPECT_EQ(worker.Run(), kInvalidParameter);
  EXPECT_FALSE(fs::exists(dir_ / "out"));
}

// Small templates keep the golden files about what the writers put in, not about styling.
TEST_F(RecoverWorkerTest, PagesOfEachKindMatchTheirGoldenFiles) {
  const fs::path templates = dir_ / "templates";
  fs::create_directories(templates);
  for (const char* name :
       {kCallHistoryTemplate, kNotesTemplate, kContactsTemplate, kSmsTemplate, kWhatsAppTemplate,
        kTableTemplate, kTimelineTemplate}) {
    golden::WriteBytes(templates / name,
                       "<title>{|title|}</title>\n<p>{|person|}</p>\n{|content|}<end>\n");
  }
  Recorder progress;
  RecoverWorker worker(Job(templates), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  const fs::path out = dir_ / "out";
  const fs::path anna = out / "Message" / (std::string("Anna Berg-") + kStamp);
  const fs::path chat = out / "WhatsApp Message" / (std::string("Climbing, Sunday-") + kStamp);
  golden::ExpectGolden("conversation.html",
                       golden::ReadBytes(anna / "Anna Berg(+4930123456).html"));
  golden::ExpectGolden("conversation.txt", golden::ReadBytes(anna / "Anna Berg(+4930123456).txt"));
  golden::ExpectGolden("chat.html", golden::ReadBytes(chat / "Climbing, Sunday.html"));
  golden::ExpectGolden("chat.csv", golden::ReadBytes(chat / "Climbing, Sunday.csv"));
  golden::ExpectGolden("chat.txt", golden::ReadBytes(chat / "Climbing, Sunday.txt"));
  golden::ExpectGolden("contacts.html",
                       golden::ReadBytes(out / "Contacts" / kStamp / "Contacts.html"));
  golden::ExpectGolden(
      "calls.html",
      golden::ReadBytes(out / "CallHistory" / (std::string("CallHistory_") + kStamp + ".html")));
  golden::ExpectGolden(
      "notes.html", golden::ReadBytes(out / "Notes" / (std::string("Notes_") + kStamp + ".html")));
  // The same rows as CSV, the deleted mark in the last column.
  golden::ExpectGolden(
      "calls.csv",
      golden::ReadBytes(out / "CallHistory" / (std::string("CallHistory_") + kStamp + ".csv")));
  golden::ExpectGolden(
      "notes.csv", golden::ReadBytes(out / "Notes" / (std::string("Notes_") + kStamp + ".csv")));
  golden::ExpectGolden("contact_list.csv",
                       golden::ReadBytes(out / "Contacts" / kStamp / "ContactList.csv"));
}

// The shipped templates: each has its content marker once, a title, and the conversation
// templates a place for the person.
TEST(RuntimeTemplates, HaveTheirMarkers) {
  const fs::path folder = fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template";
  for (const char* name : {kCallHistoryTemplate, kNotesTemplate, kContactsTemplate, kSmsTemplate,
                           kWhatsAppTemplate, kTableTemplate, kTimelineTemplate, "Print.html"}) {
    const std::string t = golden::ReadBytes(folder / name);
    ASSERT_FALSE(t.empty()) << name;
    const size_t content = t.find("{|content|}");
    ASSERT_NE(content, std::string::npos) << name;
    EXPECT_EQ(t.find("{|content|}", content + 1), std::string::npos) << name;
    EXPECT_NE(t.find("<meta charset=\"utf-8\">"), std::string::npos) << name;
    const bool conversation =
        std::string(name) == kSmsTemplate || std::string(name) == kWhatsAppTemplate;
    EXPECT_EQ(t.find("{|person|}") != std::string::npos, conversation) << name;
  }
  const std::string print = golden::ReadBytes(folder / "Print.html");
  EXPECT_NE(print.find("function Init()"), std::string::npos);
}

}  // namespace
}  // namespace halvern
