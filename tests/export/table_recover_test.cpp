// The table categories in the recovered-items folder: a backup with voicemails and voice memos
// (live, trashed and carved rows, real AMR and M4A sounds) read by the categories' own
// extractors and recovered by the worker: the page with every row, its marks and its players,
// the copies and the playable copies of sounds browsers cannot play, the CSV and the text file
// as stored, only deleted rows, a stop, and files that fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "categories/category.h"
#include "engine/backup_session.h"
#include "engine/engine.h"
#include "engine/scan_sequence.h"
#include "export/recover_worker.h"
#include "media/media.h"
#include "tests/export/golden.h"
#include "tests/fixtures/table_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;

constexpr int64_t kStart = 1622542830;  // 2021-06-01 10:20:30 UTC
constexpr const char* kStamp = "20210601102030";

class Recorder : public RecoverTally {
 public:
  int32_t OnReport(int32_t percent, int32_t, const std::string& path) override {
    if (percent == 100) finished.push_back(path);
    return stopWhen && stopWhen(percent, path) ? kStopped : 0;
  }
  std::function<bool(int32_t, const std::string&)> stopWhen;
  std::vector<std::string> finished;
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The rows of a page's table body, one string each.
std::vector<std::string> PageRows(const std::string& page) {
  std::vector<std::string> rows;
  const size_t body = page.find("<tbody>");
  for (size_t at = page.find("\t<tr", body); at != std::string::npos;
       at = page.find("\t<tr", at + 1)) {
    rows.push_back(page.substr(at, page.find("</tr>", at) - at));
  }
  return rows;
}

class TableRecoverTest : public ::testing::Test {
 protected:
  // `spoil`: phone paths whose bytes are replaced by text that is no sound.
  void Build(const std::vector<std::string>& spoil = {}) {
    fixtures::BackupSpec spec;
    spec.displayName = "Chloé's iPhone 12";
    const fs::path work = dir_ / "work";
    fs::create_directories(work);
    ASSERT_EQ(fixtures::AddVoicemail(spec, work, fixtures::SampleVoicemails()), "");
    ASSERT_EQ(fixtures::AddVoiceMemos(spec, work, fixtures::VoiceMemosLayout::kIos17,
                                      fixtures::SampleVoiceMemos(fixtures::VoiceMemosLayout::kIos17)),
              "");
    for (fixtures::BackupFile& f : spec.files) {
      if (std::find(spoil.begin(), spoil.end(), f.relativePath) != spoil.end()) {
        f.bytes = "this is no sound at all";
      }
    }
    const fs::path backup = dir_ / "backup";
    ASSERT_TRUE(fixtures::WriteBackup(backup, spec));
    BackupInfo info;
    ASSERT_EQ(info.ReadBackupInfo(backup), 0);
    session_ = std::make_unique<BackupSession>(dir_ / "appdata", dir_ / "tmp");
    session_->SetBackupInfo(info);
    ASSERT_EQ(session_->Open(""), 0);
    engine_.reset(CreateEngine(1, session_.get()));
    for (size_t i = 0; i < TableCategories().size(); ++i) {
      const ScanCategory code = TableCategoryCode(i);
      ASSERT_EQ(engine_->ScanTable(int32_t(code), *TableCategories()[i], results_.tables[i]), 0);
      selection_.AddTable(code, results_.tables[i]);
    }
    ASSERT_EQ(Voicemail().rows.size(), 4u);
    ASSERT_EQ(Memos().rows.size(), 4u);
  }

  const CategoryTable& TableOf(const char* key) const {
    const auto& list = TableCategories();
    return results_.tables[size_t(std::find(list.begin(), list.end(), FindTableCategory(key)) -
                                  list.begin())];
  }
  const CategoryTable& Voicemail() const { return TableOf("voicemail"); }
  const CategoryTable& Memos() const { return TableOf("voiceMemos"); }

  RecoverJob Job() {
    RecoverJob job;
    job.engine = engine_.get();
    job.tables = &results_.tables;
    job.selection = &selection_;
    job.destination = dir_ / "out";
    job.templateFolder = fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template";
    job.deviceName = "Chloé's iPhone 12";
    job.startTime = kStart;
    return job;
  }

  fs::path Folder(const char* title) const { return dir_ / "out" / title; }
  std::string File(const char* title, const char* ext) const {
    return golden::ReadBytes(Folder(title) / (std::string(title) + "_" + kStamp + ext));
  }

  TempDir dir_;
  std::unique_ptr<BackupSession> session_;
  std::unique_ptr<IPhoneRecoveryParse> engine_;
  ScanResults results_;
  CStatisticsObj selection_;
};

TEST_F(TableRecoverTest, PageCsvAndTextHoldEveryRowWithItsMarksAndFiles) {
  ASSERT_NO_FATAL_FAILURE(Build());
  Recorder progress;
  RecoverWorker worker(Job(), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  EXPECT_EQ(progress.failedCount(), 0u);
  EXPECT_EQ(progress.itemsWritten(), 8u);
  EXPECT_EQ(progress.itemsFailed(), 0u);

  // The page: one column per column of the table, every row, the deleted ones marked and
  // orange (the class the templates colour), the carved one said to be carved.
  const std::string page = File("Voicemail", ".html");
  EXPECT_NE(page.find("<title>iPhone&#39;s Voicemail of Chloé&#39;s iPhone 12</title>"),
            std::string::npos);
  for (const TableColumn& c : Voicemail().columns) {
    EXPECT_NE(page.find("<th>" + c.title + "</th>"), std::string::npos) << c.title;
  }
  const std::vector<std::string> rows = PageRows(page);
  ASSERT_EQ(rows.size(), 4u);
  size_t deleted = 0, carved = 0;
  for (size_t i = 0; i < rows.size(); ++i) {
    const TableRow& row = Voicemail().rows[i];
    // Each row's first cell carries its anchor, the row's number on the page.
    const std::string anchor = "<td id=\"r" + std::to_string(i) + "\">";
    EXPECT_NE(rows[i].find(anchor), std::string::npos) << rows[i];
    const bool isDeleted =
        rows[i].starts_with("\t<tr class=\"deleted\">" + anchor + "<span class=\"deleted-label\">deleted</span>");
    EXPECT_EQ(isDeleted, row.deleted != 0) << rows[i];
    deleted += isDeleted;
    carved += rows[i].find(">carved</span>") != std::string::npos;
    EXPECT_EQ(rows[i].find(">carved</span>") != std::string::npos,
              row.origin == ItemSource::kCarved);
    // Values as lists show them.
    EXPECT_NE(rows[i].find(ShownText(row.cells[size_t(Voicemail().ColumnIndex("date"))],
                                     ColumnType::kDate)),
              std::string::npos);
  }
  EXPECT_EQ(deleted, 2u);
  EXPECT_EQ(carved, 1u);
  EXPECT_NE(page.find("<td>+33612345678</td>"), std::string::npos);
  EXPECT_NE(page.find("<td>7 Sec</td>"), std::string::npos);
  EXPECT_NE(page.find("Hi, it&#39;s me. Call me back about Sunday."), std::string::npos);

  // Each sound copied whole; the AMR ones with a playable copy beside them, first in the
  // player, the original after it and as a download; the M4A one plays as it is. (The carved
  // voicemail lost its row id, and with it the name of its sound.)
  const fs::path files = Folder("Voicemail") / "files";
  for (const char* name : {"1.amr", "2.m4a", "3.amr"}) {
    const std::string bytes = golden::ReadBytes(files / name);
    EXPECT_FALSE(bytes.empty()) << name;
    EXPECT_NE(page.find(std::string("<a href=\"files/") + name + "\" download>" + name + "</a>"),
              std::string::npos)
        << name;
  }
  EXPECT_EQ(golden::ReadBytes(files / "1.amr").substr(0, 6), "#!AMR\n");
  for (const char* name : {"1.amr", "3.amr"}) {
    const fs::path playable = files / (std::string(name) + ".m4a");
    EXPECT_TRUE(media::IsBrowserPlayableAudio(playable)) << playable;
    EXPECT_NE(page.find(std::string("<audio controls preload=\"metadata\"><source src=\"files/") +
                        name + ".m4a\" type=\"audio/mp4\"><source src=\"files/" + name +
                        "\" type=\"audio/amr\"></audio>"),
              std::string::npos)
        << name;
  }
  EXPECT_FALSE(fs::exists(files / "2.m4a.m4a"));
  EXPECT_NE(page.find("<audio controls preload=\"metadata\"><source src=\"files/2.m4a\" "
                      "type=\"audio/mp4\"></audio>"),
            std::string::npos);

  // The CSV: every row as stored (dates ISO 8601 with their offset, durations in seconds),
  // with its deleted mark, its source and the paths of its copies.
  const std::string csv = File("Voicemail", ".csv");
  EXPECT_EQ(csv.rfind("\xEF\xBB\xBF" "Caller,Number,Date,Duration,Line,Callback Number,Transcript,"
                      "Audio,Deleted on,ID,Deleted,Source,Files\r\n",
                      0),
            0u)
      << csv.substr(0, 200);
  EXPECT_EQ(Count(csv, "\r\n"), 5u);
  EXPECT_EQ(Count(csv, "\n"), 5u);
  EXPECT_NE(csv.find(",+33612345678,2021-09-10T18:53:20+00:00,7,,+33612345678,"
                     "\"Hi, it's me. Call me back about Sunday.\",1.amr,,1,no,live,"
                     "files/1.amr; files/1.amr.m4a\r\n"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find("\r\n,0699887766,2021-09-14T06:13:20+00:00,12,,0699887766,,,,,yes,carved,\r\n"),
            std::string::npos)
      << csv;
  EXPECT_NE(csv.find(",+447700900123,2021-09-13T02:26:40+00:00,5,,,,3.amr,2021-09-13T04:26:40+00:00,3,"
                     "yes,live,"),
            std::string::npos)
      << csv;

  // The text file: one block per row, values as stored, the deleted ones marked.
  const std::string text = File("Voicemail", ".txt");
  EXPECT_EQ(text.rfind("\xEF\xBB\xBF", 0), 0u);
  EXPECT_EQ(Count(text, "        Deleted: yes\r\n"), 2u) << text;
  EXPECT_EQ(Count(text, "        Deleted: no\r\n"), 2u);
  EXPECT_NE(text.find("     Transcript: Hi, it's me. Call me back about Sunday.\r\n"),
            std::string::npos);
  EXPECT_NE(text.find("           Date: 2021-09-10T18:53:20+00:00\r\n"), std::string::npos);
  EXPECT_NE(text.find("         Source: carved\r\n"), std::string::npos);

  // Voice memos the same way: the M4A recordings play as they are, the carved one has no
  // audio left and says its name only.
  const std::string memos = File("Voice Memos", ".html");
  EXPECT_EQ(PageRows(memos).size(), 4u);
  EXPECT_EQ(Count(memos, "<tr class=\"deleted\">"), 2u);
  EXPECT_EQ(Count(memos, "<audio "), 3u);
  EXPECT_NE(memos.find("<td>20210930 070000.m4a</td>"), std::string::npos);
  EXPECT_NE(File("Voice Memos", ".csv").find(",4.25,"), std::string::npos);

  // The index links every page and list with its count; the files are reached from the page.
  const std::string index = golden::ReadBytes(dir_ / "out" / "index.html");
  for (const std::string& link :
       {std::string("href=\"Voicemail/Voicemail_") + kStamp + ".html\">Voicemail_" + kStamp +
            ".html</a> <span class=\"count\">(4 items)</span>",
        std::string("href=\"Voicemail/Voicemail_") + kStamp + ".csv\"",
        std::string("href=\"Voicemail/Voicemail_") + kStamp + ".txt\"",
        std::string("href=\"Voice%20Memos/Voice%20Memos_") + kStamp + ".html\""}) {
    EXPECT_NE(index.find(link), std::string::npos) << link;
  }
  EXPECT_EQ(index.find("files/"), std::string::npos);
}

TEST_F(TableRecoverTest, OnlyTheDeletedRowsWhenTheOthersAreHidden) {
  ASSERT_NO_FATAL_FAILURE(Build());
  for (const auto& [item, entry] : selection_.Entries()) {
    if (!entry->group && entry->deleted == 0) selection_.SetHidden(item, true);
  }
  selection_.Recount();
  RecoverJob job = Job();
  job.deletedOnly = true;
  Recorder progress;
  RecoverWorker worker(job, progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  EXPECT_EQ(progress.itemsWritten(), 4u);
  for (const char* title : {"Voicemail", "Voice Memos"}) {
    const std::vector<std::string> rows = PageRows(File(title, ".html"));
    EXPECT_EQ(rows.size(), 2u) << title;
    for (const std::string& row : rows) EXPECT_TRUE(row.starts_with("\t<tr class=\"deleted\">"));
    const std::string csv = File(title, ".csv");
    EXPECT_EQ(Count(csv, ",yes,"), 2u) << title;
    EXPECT_EQ(Count(csv, ",no,"), 0u) << title;
    EXPECT_EQ(Count(File(title, ".txt"), "Deleted: no"), 0u) << title;
  }
  // Only the deleted voicemails' sounds are copied.
  std::set<std::string> copied;
  for (const auto& e : fs::directory_iterator(Folder("Voicemail") / "files"))
    copied.insert(e.path().filename());
  EXPECT_EQ(copied, (std::set<std::string>{"3.amr", "3.amr.m4a"}));
}

TEST_F(TableRecoverTest, AStopLeavesNothingHalfWritten) {
  ASSERT_NO_FATAL_FAILURE(Build());
  // Stopped while the second sound of the voicemails is copied, then while the first is
  // (the carved voicemail, which has no sound, comes before both).
  for (const int stopAtCopy : {2, 1}) {
    fs::remove_all(dir_ / "out");
    Recorder progress;
    std::set<std::string> copies;
    progress.stopWhen = [&](int32_t, const std::string& path) {
      if (path.find("/files/") == std::string::npos || path.ends_with(".amr.m4a")) return false;
      copies.insert(path);
      return copies.size() == size_t(stopAtCopy);
    };
    RecoverWorker worker(Job(), progress);
    ASSERT_EQ(worker.LoadTemplates(), 0);
    ASSERT_EQ(worker.Run(), kStopped);
    // Whatever is there is whole: no temporary file, each page complete, and every file a
    // page links is on disk.
    for (const auto& e : fs::recursive_directory_iterator(dir_ / "out")) {
      const std::string name = e.path().filename();
      EXPECT_EQ(name.find(".part-"), std::string::npos) << e.path();
      if (e.path().extension() != ".html" || name.starts_with("index")) continue;
      const std::string page = golden::ReadBytes(e.path());
      EXPECT_TRUE(page.ends_with("</html>\n")) << e.path();
      for (size_t at = page.find("src=\""); at != std::string::npos;
           at = page.find("src=\"", at + 1)) {
        const std::string link = page.substr(at + 5, page.find('"', at + 5) - at - 5);
        EXPECT_TRUE(fs::is_regular_file(e.path().parent_path() / link)) << link;
      }
      EXPECT_EQ(PageRows(page).size(), size_t(stopAtCopy)) << e.path();
    }
    EXPECT_TRUE(fs::exists(Folder("Voicemail") / (std::string("Voicemail_") + kStamp + ".html")));
    EXPECT_FALSE(fs::exists(Folder("Voice Memos")));
    // Items cut short have no outcome.
    EXPECT_EQ(progress.itemsWritten(), uint32_t(stopAtCopy));
    EXPECT_EQ(progress.itemsFailed(), 0u);
  }
}

TEST_F(TableRecoverTest, FilesThatFailAreReportedWithTheirReasonAndTheRowStays) {
  // A voicemail whose sound is no sound: the original is copied, the playable copy fails with
  // its reason, the row is written and counts as failed.
  ASSERT_NO_FATAL_FAILURE(Build({"Library/Voicemail/1.amr"}));
  {
    Recorder progress;
    RecoverWorker worker(Job(), progress);
    ASSERT_EQ(worker.LoadTemplates(), 0);
    ASSERT_EQ(worker.Run(), 0);
    const fs::path files = Folder("Voicemail") / "files";
    EXPECT_EQ(golden::ReadBytes(files / "1.amr"), "this is no sound at all");
    EXPECT_FALSE(fs::exists(files / "1.amr.m4a"));
    ASSERT_EQ(progress.failedCount(), 1u);
    const RecoverTally::Outcome& failed = progress.outcomes().front();
    EXPECT_EQ(failed.path, (files / "1.amr.m4a").string());
    EXPECT_NE(failed.error, 0);
    EXPECT_FALSE(failed.reason.empty());
    EXPECT_EQ(progress.itemsFailed(), 1u);
    EXPECT_EQ(progress.itemsWritten(), 7u);  // the others, and the carved one without a sound
    const std::string page = File("Voicemail", ".html");
    EXPECT_EQ(PageRows(page).size(), 4u);
    EXPECT_NE(page.find("A browser cannot play this sound: "), std::string::npos);
    EXPECT_TRUE(fs::is_regular_file(files / "3.amr.m4a"));
  }
  // A file standing where the copies go: every copy fails with the system's reason, every row
  // of the category is still on its page (with the names of its files) and counts as failed.
  fs::remove_all(dir_ / "out");
  fs::create_directories(Folder("Voicemail"));
  golden::WriteBytes(Folder("Voicemail") / "files", "in the way");
  Recorder progress;
  RecoverWorker worker(Job(), progress);
  ASSERT_EQ(worker.LoadTemplates(), 0);
  ASSERT_EQ(worker.Run(), 0);
  EXPECT_EQ(progress.itemsFailed(), 3u);
  EXPECT_EQ(progress.itemsWritten(), 5u);  // the carved voicemail (no file) and the voice memos
  for (const auto& o : progress.outcomes()) {
    if (o.error != 0) {
      EXPECT_TRUE(o.error == ENOTDIR || o.error == EEXIST) << o.path << ": " << o.error;
    }
  }
  const std::string page = File("Voicemail", ".html");
  EXPECT_EQ(PageRows(page).size(), 4u);
  EXPECT_EQ(page.find("<audio"), std::string::npos);
  EXPECT_NE(page.find("<div class=\"file\">1.amr</div>"), std::string::npos);
}

}  // namespace
}  // namespace halvern
