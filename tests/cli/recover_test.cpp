// halvern-cli recover over complete fixture backups: the tree it writes, the choice of
// categories and of deleted items, the summary, and the backup left as it was.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;

using RecoverRun = fixtures::CliRun;
RecoverRun Cli(const std::string& args) { return fixtures::RunCli(args); }

RecoverRun Recover(const std::string& args) { return Cli("recover " + args); }

std::string Q(const fs::path& p) { return fixtures::Quote(p); }

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::map<std::string, std::string> Snapshot(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) files[e.path().string()] = Read(e.path());
  }
  return files;
}

// Files below `root` whose path (relative, generic) starts with `prefix` and ends with `suffix`.
std::vector<std::string> FilesUnder(const fs::path& root, const std::string& prefix,
                                    const std::string& suffix = "") {
  std::vector<std::string> out;
  if (!fs::exists(root)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    const std::string rel = e.path().lexically_relative(root).generic_string();
    if (rel.rfind(prefix, 0) == 0 && rel.size() >= suffix.size() &&
        rel.compare(rel.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(rel);
    }
  }
  return out;
}

// A relative link as RFC 3986 writes it: unreserved characters and "/" as they are.
std::string UrlEncoded(const std::string& path) {
  std::string out;
  for (unsigned char c : path) {
    if (std::isalnum(c) || std::string_view("-_.~/").find(char(c)) != std::string_view::npos) {
      out += char(c);
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    }
  }
  return out;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class RecoverCommandTest : public ::testing::TestWithParam<fx::PhoneGeneration> {
 protected:
  void SetUp() override {
    backup_ = dir_ / "backup";
    std::string error;
    ASSERT_TRUE(fx::WriteScanBackup(GetParam(), backup_, &expected_, &error)) << error;
  }
  fx::TempDir dir_;
  fs::path backup_;
  fx::ScanExpectation expected_;
};

TEST_P(RecoverCommandTest, WritesEveryItemAndLeavesTheBackupAlone) {
  const auto before = Snapshot(backup_);
  const fs::path out = dir_ / "out";
  const RecoverRun run = Recover(Q(backup_) + " --to " + Q(out));
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Open " + (out / "index.html").string()), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("failed:        0"), std::string::npos) << run.out;

  // What the scan finds, item by item, is what the folder holds.
  const RecoverRun scan = Cli("scan --json " + Q(backup_));
  ASSERT_EQ(scan.status, 0);
  const nlohmann::json found = nlohmann::json::parse(scan.out)["categories"];
  size_t messages = 0, deletedMessages = 0;
  for (const auto& [id, conversation] : found["messages"].items()) {
    messages += conversation["items"].size();
    for (const auto& m : conversation["items"]) deletedMessages += m["deleted"].get<int>();
  }
  ASSERT_GT(messages, 0u);
  ASSERT_EQ(found["messages"].size(), [&] {
    std::set<int64_t> handles;
    for (const auto& m : expected_.messages) handles.insert(m.handleId);
    return handles.size();
  }());

  // One page and one text file per conversation, every message in its page.
  EXPECT_EQ(FilesUnder(out, "Message/", ".html").size(), found["messages"].size());
  EXPECT_EQ(FilesUnder(out, "Message/", ".txt").size(), found["messages"].size());
  std::string pages;
  for (const auto& p : FilesUnder(out, "Message/", ".html")) pages += Read(out / p);
  EXPECT_EQ(Count(pages, "<div class=\"date\">"), messages);
  EXPECT_EQ(Count(pages, "class=\"del_send_msg\"") + Count(pages, "class=\"del_recv_msg\""),
            deletedMessages);
  // The raw exports: every live message row, and the deleted ones as new rows.
  const std::string sms = Read(out / "Message/sms.csv");
  EXPECT_GE(Count(sms, "\r\n"), messages - deletedMessages);
  ASSERT_EQ(FilesUnder(out, "Contacts/", "Contacts.csv").size(), 1u);
  EXPECT_GE(Count(Read(out / FilesUnder(out, "Contacts/", "Contacts.csv")[0]), "\r\n"),
            found["contacts"].size());

  // One table row per contact, call and note, the deleted ones marked.
  auto deletedIn = [](const nlohmann::json& items) {
    size_t n = 0;
    for (const auto& item : items) n += item["deleted"].get<int>() != 0;
    return n;
  };
  const auto contacts = FilesUnder(out, "Contacts/", ".html");
  ASSERT_EQ(contacts.size(), 1u);
  const std::string contactPage = Read(out / contacts[0]);
  EXPECT_EQ(Count(contactPage, "\t<tr>"), found["contacts"].size() - deletedIn(found["contacts"]));
  EXPECT_EQ(Count(contactPage, "\t<tr class=\"deleted\">"), deletedIn(found["contacts"]));
  const auto calls = FilesUnder(out, "CallHistory/CallHistory_", ".html");
  ASSERT_EQ(calls.size(), 1u);
  const std::string callPage = Read(out / calls[0]);
  EXPECT_EQ(Count(callPage, "\t<tr>"), found["callHistory"].size() - deletedIn(found["callHistory"]));
  EXPECT_EQ(Count(callPage, "\t<tr class=\"deleted\">"), deletedIn(found["callHistory"]));
  const auto notes = FilesUnder(out, "Notes/Notes_", ".html");
  ASSERT_EQ(notes.size(), 1u);
  const std::string notePage = Read(out / notes[0]);
  EXPECT_EQ(Count(notePage, "\t<tr>"), found["notes"].size() - deletedIn(found["notes"]));
  EXPECT_EQ(Count(notePage, "\t<tr class=\"deleted\">"), deletedIn(found["notes"]));
  // Their CSV files: a header and one line per row.
  ASSERT_EQ(FilesUnder(out, "Notes/Notes_", ".csv").size(), 1u);
  EXPECT_EQ(Count(Read(out / FilesUnder(out, "Notes/Notes_", ".csv")[0]), ",yes\r\n"),
            deletedIn(found["notes"]));

  // WhatsApp: text, CSV and page per chat; media copies.
  EXPECT_EQ(FilesUnder(out, "WhatsApp Message/", ".csv").size(), found["whatsApp"].size());
  EXPECT_EQ(FilesUnder(out, "WhatsApp Message/", ".html").size(), found["whatsApp"].size());
  EXPECT_EQ(FilesUnder(out, "Camera Roll/").size(), found["cameraRoll"].size());
  EXPECT_EQ(found["cameraRoll"].size(), expected_.cameraRoll.size());

  // The index links every page.
  const std::string index = Read(out / "index.html");
  for (const auto& page : FilesUnder(out, "", ".html")) {
    if (page == "index.html") continue;
    EXPECT_NE(index.find("href=\"" + UrlEncoded(page) + "\""), std::string::npos) << page;
  }
  EXPECT_EQ(Snapshot(backup_), before);
}

TEST_P(RecoverCommandTest, ChosenCategoriesAndDeletedItemsOnly) {
  const fs::path some = dir_ / "some";
  const RecoverRun run = Recover(Q(backup_) + " --to " + Q(some) + " --only contacts,call-history");
  ASSERT_EQ(run.status, 0) << run.out;
  std::set<std::string> tops;
  for (const auto& e : fs::directory_iterator(some)) tops.insert(e.path().filename().string());
  // The calls are dated: the timeline of what was chosen comes with them.
  EXPECT_EQ(tops, (std::set<std::string>{"CallHistory", "Contacts", "Timeline", "index.html"}));
  const std::string timeline = Read(some / "Timeline" / "Timeline.html");
  EXPECT_EQ(Count(timeline, "<span class=\"category\">Call History</span>"),
            Count(timeline, "<li"));
  EXPECT_GT(Count(timeline, "<li"), 0u);

  const fs::path deleted = dir_ / "deleted";
  ASSERT_EQ(Recover(Q(backup_) + " --to " + Q(deleted) + " --deleted-only").status, 0);
  EXPECT_FALSE(fs::exists(deleted / "Camera Roll"));
  const RecoverRun scan = Cli("scan --json " + Q(backup_));
  ASSERT_EQ(scan.status, 0);
  size_t deletedCalls = 0;
  const nlohmann::json found = nlohmann::json::parse(scan.out);
  for (const auto& c : found["categories"]["callHistory"]) {
    deletedCalls += c["deleted"].get<int>();
  }
  const auto calls = FilesUnder(deleted, "CallHistory/", ".html");
  if (deletedCalls == 0) {
    EXPECT_TRUE(calls.empty());
  } else {
    ASSERT_EQ(calls.size(), 1u);
    // Only deleted rows, each marked so; the page's CSV says it in its last column.
    const std::string page = Read(deleted / calls[0]);
    EXPECT_EQ(Count(page, "\t<tr class=\"deleted\">"), deletedCalls);
    EXPECT_EQ(Count(page, "\t<tr>"), 0u);
    EXPECT_EQ(Count(page, "<span class=\"deleted-label\">deleted</span>"), deletedCalls);
    const auto csv = FilesUnder(deleted, "CallHistory/", ".csv");
    ASSERT_EQ(csv.size(), 1u);
    EXPECT_EQ(Count(Read(deleted / csv[0]), ",yes\r\n"), deletedCalls);
    EXPECT_EQ(Count(Read(deleted / csv[0]), ",no\r\n"), 0u);
  }
  // The raw exports of the address book and the message table hold every row of their table,
  // live ones too: they are left out here.
  EXPECT_TRUE(FilesUnder(deleted, "Contacts/", "Contacts.csv").empty());
  EXPECT_FALSE(FilesUnder(deleted, "Message/", ".txt").empty()) << "deleted messages are written";
  EXPECT_FALSE(fs::exists(deleted / "Message" / "sms.csv"));
  EXPECT_TRUE(FilesUnder(deleted, "", "sms.csv").empty());
}

INSTANTIATE_TEST_SUITE_P(Generations, RecoverCommandTest,
                         ::testing::Values(fx::PhoneGeneration::kIos6Flat,
                                           fx::PhoneGeneration::kIos14));

TEST(RecoverCommand, RefusesUnsafeOrUnclearRequests) {
  fx::TempDir dir;
  const fs::path backup = dir / "backup";
  ASSERT_TRUE(fx::WriteBackup(backup, fx::SampleMediaBackup()));
  std::ofstream(dir / "plain-file") << "x";
  const struct {
    std::string args;
    int status;
  } cases[] = {
      {Q(backup) + " --to " + Q(dir / "plain-file" / "out"), 2},       // cannot be written
      {Q(backup), 2},                                                  // no --to
      {Q(backup) + " --to " + Q(backup / "out"), 2},                   // inside the backup
      {Q(backup) + " --to " + Q(backup), 2},                           // the backup itself
      {Q(backup) + " --to " + Q(dir / "x") + " --only weather", 2},    // unknown category
      {Q(dir / "not-a-backup") + " --to " + Q(dir / "y"), 1},          // not a backup
  };
  for (const auto& c : cases) EXPECT_EQ(Recover(c.args).status, c.status) << c.args;
  EXPECT_FALSE(fs::exists(backup / "out"));
  EXPECT_FALSE(fs::exists(dir / "x"));
}

}  // namespace
}  // namespace halvern
