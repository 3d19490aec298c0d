// halvern-cli scan and recover over the backups of one person's two phones read as one: the
// union of their items, each once, with the backups each came from; a backup that fails ends
// the run before anything is written.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <array>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/fixtures/encrypt_backup.h"
#include "tests/fixtures/merge_backups.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::Quote;
using nlohmann::json;

// The program's standard output and error together, with its exit status.
fixtures::CliRun RunWithErrors(const std::string& args, const std::string& input = "") {
  const std::string cmd =
      input + "TZ=UTC '" HALVERN_BIN_DIR "/halvern-cli' " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  std::array<char, 65536> buf;
  for (size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;) out.append(buf.data(), n);
  const int status = pclose(p);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::vector<fs::path> FilesUnder(const fs::path& root, const std::string& folder,
                                 const std::string& suffix) {
  std::vector<fs::path> out;
  if (!fs::exists(root / folder)) return out;
  for (const auto& e : fs::recursive_directory_iterator(root / folder)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && name.size() >= suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      out.push_back(e.path());
    }
  }
  return out;
}

class MergeCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(fixtures::WriteTwoPhoneBackups(older_, newer_, &error)) << error;
    olderLabel_ = expected_.olderName + ", 2020-02-01 09:00:00";
    newerLabel_ = expected_.newerName + ", 2021-06-01 10:20:30";
  }
  fixtures::TempDir dir_;
  fs::path older_ = dir_ / "old-phone";
  fs::path newer_ = dir_ / "new-phone";
  fixtures::TwoPhonesExpectation expected_;
  std::string olderLabel_, newerLabel_;
};

TEST_F(MergeCliTest, ScanListsTheUnionOnceWithTheBackupsOfEachItem) {
  // Given newest first: the backups are taken in the order of their dates all the same.
  const fixtures::CliRun run =
      fixtures::RunCli("scan --json " + Quote(newer_) + " " + Quote(older_), "TZ=UTC");
  ASSERT_EQ(run.status, 0) << run.out;
  const json doc = json::parse(run.out);
  ASSERT_EQ(doc["backups"].size(), 2u);
  EXPECT_EQ(doc["backups"][0]["label"], olderLabel_);
  EXPECT_EQ(doc["backups"][1]["label"], newerLabel_);
  EXPECT_EQ(doc["backup"]["displayName"], expected_.newerName);
  const json& found = doc["categories"];

  // One conversation with the person, every message once, in date order.
  ASSERT_EQ(found["messages"].size(), 1u) << found["messages"].dump(1);
  const json& items = found["messages"].begin().value()["items"];
  std::multiset<std::string> guids;
  std::map<std::string, json> byGuid;
  std::string lastDate;
  for (const json& m : items) {
    guids.insert(m["guid"].get<std::string>());
    byGuid[m["guid"]] = m;
    EXPECT_LE(lastDate, m["date"].get<std::string>());
    lastDate = m["date"];
  }
  EXPECT_EQ(guids, std::multiset<std::string>(expected_.guids.begin(), expected_.guids.end()));
  for (const std::string& guid : expected_.guids) {
    const bool inOlder = std::count(expected_.olderGuids.begin(), expected_.olderGuids.end(), guid);
    const bool inNewer = std::count(expected_.newerGuids.begin(), expected_.newerGuids.end(), guid);
    const json& backups = byGuid[guid]["backups"];
    ASSERT_TRUE(backups.is_array()) << guid;
    EXPECT_EQ(backups.front() == olderLabel_, inOlder) << guid << backups;
    if (inNewer) {
      EXPECT_EQ(backups.back(), newerLabel_) << guid;
    }
  }
  // Deleted on the newer phone, live on the older: the live row is the one shown.
  EXPECT_EQ(byGuid[expected_.deletedOnNewer]["deleted"], 0);
  EXPECT_EQ(byGuid[expected_.deletedOnNewer]["text"], "Le code de la porte est 4711");
  EXPECT_EQ(byGuid[expected_.deletedOnNewer]["backups"], json({olderLabel_, newerLabel_}));

  // The call both phones list and the photo both hold (under other names) once.
  ASSERT_EQ(found["callHistory"].size(), expected_.calls);
  std::set<std::string> callIds;
  size_t inBoth = 0;
  for (const json& c : found["callHistory"]) {
    callIds.insert(c["uniqueId"].get<std::string>());
    inBoth += c["backups"].size() == 2;
  }
  EXPECT_EQ(callIds.size(), expected_.calls);
  EXPECT_EQ(inBoth, 1u);
  ASSERT_EQ(found["cameraRoll"].size(), expected_.cameraRoll);
  std::map<std::string, json> photos;
  for (const json& f : found["cameraRoll"]) photos[f["displayName"]] = f["backups"];
  EXPECT_EQ(photos["IMG_5001.JPG"], json({olderLabel_, newerLabel_}));
  EXPECT_EQ(photos["IMG_0002.JPG"], json({olderLabel_}));
  EXPECT_EQ(photos["IMG_5002.JPG"], json({newerLabel_}));

  // The counts say the same.
  const fixtures::CliRun counts = fixtures::RunCli("scan " + Quote(older_) + " " + Quote(newer_), "TZ=UTC");
  ASSERT_EQ(counts.status, 0) << counts.out;
  EXPECT_NE(counts.out.find("2 backups read as one"), std::string::npos) << counts.out;
  EXPECT_NE(counts.out.find(olderLabel_), std::string::npos) << counts.out;
}

TEST_F(MergeCliTest, RecoverWritesEachItemOnceWithFilesFromTheirOwnBackup) {
  const fs::path out = dir_ / "out";
  const fixtures::CliRun run =
      RunWithErrors("recover " + Quote(older_) + " " + Quote(newer_) + " --to " + Quote(out));
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("failed:        0"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("from 2 backups read as one"), std::string::npos) << run.out;

  const auto pages = FilesUnder(out, "Message", ".html");
  ASSERT_EQ(pages.size(), 1u);
  const std::string page = Read(pages[0]);
  EXPECT_EQ(Count(page, "<div class=\"date\">"), expected_.guids.size());
  EXPECT_EQ(Count(page, "Le code de la porte est 4711"), 1u);
  EXPECT_EQ(Count(page, "Only the old phone kept this"), 1u);
  EXPECT_EQ(Count(page, "Welcome to the new phone"), 1u);
  // Each message names the backups it was found in, beside its sender.
  EXPECT_EQ(Count(page, "<span class=\"backups\">"), expected_.guids.size());
  // The newer phone's messages and its carved copy of the one it deleted.
  EXPECT_EQ(Count(page, "2021-06-01 10:20:30</span>"), expected_.newerGuids.size() + 1);
  const auto text = FilesUnder(out, "Message", ".txt");
  ASSERT_EQ(text.size(), 1u);
  EXPECT_EQ(Count(Read(text[0]), "Bonjour !"), 1u);

  const auto calls = FilesUnder(out, "CallHistory", ".html");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(Count(Read(calls[0]), "\t<tr>"), expected_.calls);

  // Three photos, one of them from the older backup only: each copied from its own backup.
  const auto photos = FilesUnder(out, "Camera Roll", ".JPG");
  ASSERT_EQ(photos.size(), expected_.cameraRoll);
  std::set<std::string> contents;
  for (const fs::path& p : photos) contents.insert(Read(p));
  EXPECT_EQ(contents.size(), expected_.cameraRoll);
}

TEST_F(MergeCliTest, ABackupThatFailsEndsTheRunNamingItAndWritesNothing) {
  const fs::path broken = dir_ / "not-a-backup";
  fs::create_directories(broken);
  const fs::path out = dir_ / "out";
  for (const std::string command : {"scan", "recover"}) {
    const std::string to = command == "recover" ? " --to " + Quote(out) : "";
    const fixtures::CliRun run =
        RunWithErrors(command + " " + Quote(older_) + " " + Quote(broken) + to);
    EXPECT_NE(run.status, 0) << command << run.out;
    EXPECT_NE(run.out.find(broken.string()), std::string::npos) << command << run.out;
    EXPECT_EQ(run.out.find("backups read as one"), std::string::npos) << command << run.out;
  }
  EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out));
}

// Two encrypted backups in one run: each decrypted copy stays whole while the other is made,
// so that the files of both can be copied; a wrong password for the second fails the run.
TEST_F(MergeCliTest, EncryptedBackupsKeepTheirOwnDecryptedCopies) {
  fixtures::EncryptSpec oldKey, newKey;
  oldKey.password = "old phone";
  newKey.password = "new phone";
  std::string error;
  const fs::path older = dir_ / "old-encrypted", newer = dir_ / "new-encrypted";
  ASSERT_TRUE(fixtures::EncryptBackup(older_, older, oldKey, &error)) << error;
  ASSERT_TRUE(fixtures::EncryptBackup(newer_, newer, newKey, &error)) << error;
  const std::string env = "XDG_CACHE_HOME=" + Quote(dir_ / "cache") + " ";
  const std::string args = "recover --password-stdin " + Quote(older) + " " + Quote(newer) + " --to ";

  const fs::path out = dir_ / "out";
  const fixtures::CliRun run =
      RunWithErrors(args + Quote(out), "printf 'old phone\nnew phone\n' | " + env);
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("failed:        0"), std::string::npos) << run.out;
  const auto photos = FilesUnder(out, "Camera Roll", ".JPG");
  std::set<std::string> contents;
  for (const fs::path& p : photos) contents.insert(Read(p));
  EXPECT_EQ(photos.size(), expected_.cameraRoll);
  EXPECT_EQ(contents.size(), expected_.cameraRoll);
  const auto pages = FilesUnder(out, "Message", ".html");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(Count(Read(pages[0]), "<div class=\"date\">"), expected_.guids.size());

  const fs::path refused = dir_ / "refused";
  const fixtures::CliRun wrong =
      RunWithErrors(args + Quote(refused), "printf 'old phone\nold phone\n' | " + env);
  EXPECT_EQ(wrong.status, 3) << wrong.out;
  EXPECT_NE(wrong.out.find("cannot open " + newer.string() + ": wrong backup password"),
            std::string::npos)
      << wrong.out;
  EXPECT_TRUE(!fs::exists(refused) || fs::is_empty(refused));
}

}  // namespace
}  // namespace halvern
