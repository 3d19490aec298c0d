// halvern-cli as a user runs it: exit codes, listings and JSON documents.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>

#include "platform/platform.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::CliRun;
using fixtures::Quote;
using fixtures::RunCli;
using fixtures::TempDir;

CliRun Cli(const std::string& args, const std::string& env = "") { return RunCli(args, env); }
std::string Q(const fs::path& p) { return Quote(p); }

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = dir_ / "Apple Computer" / "MobileSync" / "Backup";
    Make("old", "2014-03-05T10:00:00Z", fixtures::ManifestKind::kMbdb);
    Make("new", "2021-06-01T10:20:30Z", fixtures::ManifestKind::kDb);
    Make("mid", "2016-11-20T08:15:00Z", fixtures::ManifestKind::kDb, true);
    fs::create_directories(root_ / "stray-folder");
  }
  void Make(const std::string& name, const std::string& date, fixtures::ManifestKind kind,
            bool encrypted = false) {
    fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
    spec.displayName = name;
    spec.lastBackupDate = date;
    spec.manifest = kind;
    spec.serialNumber = "SN-" + name;
    if (encrypted) {
      spec.manifestSaysEncrypted = true;
      spec.files.push_back({"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb",
                            std::string(1024, '\x9c')});
    }
    ASSERT_TRUE(fixtures::WriteBackup(root_ / name, spec));
  }
  TempDir dir_;
  fs::path root_;
};

TEST_F(CliTest, ListShowsBackupsNewestFirst) {
  const CliRun text = Cli("list", "XDG_DATA_HOME=" + Q(dir_.path()));
  ASSERT_EQ(text.status, 0);
  const auto pNew = text.out.find("new "), pMid = text.out.find("mid "), pOld = text.out.find("old ");
  ASSERT_NE(pNew, std::string::npos);
  EXPECT_LT(pNew, pMid);
  EXPECT_LT(pMid, pOld);
  EXPECT_NE(text.out.find("SN-mid"), std::string::npos);

  const CliRun json = Cli("list --json --root " + Q(root_));
  ASSERT_EQ(json.status, 0);
  const auto list = nlohmann::json::parse(json.out);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0]["displayName"], "new");
  EXPECT_EQ(list[0]["lastBackupDate"], "2021-06-01 10:20:30");
  EXPECT_EQ(list[1]["isEncrypted"], true);
  EXPECT_EQ(list[2]["phoneNumber"], "+33 6 12 34 56 78");
}

// The width a terminal draws a text with: accents take one column, Chinese characters and
// emoji two, combining marks none.
TEST(DisplayWidth, CountsColumnsNotBytes) {
  struct Case {
    const char* text;
    size_t width;
  } cases[] = {
      {"Ann", 3},
      {"J\xC3\xBCrgen", 6},                       // Jürgen
      {"Zoe\xCC\x88", 3},                         // Zoë with a combining diaeresis
      {"\xE6\x9D\x8E\xE7\x9A\x84 iPhone", 11},     // 李的 iPhone
      {"\xE2\x98\x95 Caf\xC3\xA9", 7},              // ☕ Café
      {"\xF0\x9F\x93\xB1", 2},                      // 📱
      {"\xD0\x90\xD0\xBD\xD1\x8F", 3},             // Аня
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform::DisplayWidth(c.text), c.width) << c.text;
    EXPECT_EQ(platform::DisplayWidth(platform::PadToWidth(c.text, 12)), std::max<size_t>(12, c.width))
        << c.text;
  }
}

// Names with letters beyond ASCII keep the columns after them in line.
TEST_F(CliTest, ListAlignsColumnsAfterNonAsciiNames) {
  for (const char* name : {"J\xC3\xBCrgens iPhone", "\xE6\x9D\x8E\xE7\x9A\x84 iPhone",
                           "Zo\xC3\xAB \xE2\x98\x95 phone"}) {
    fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
    spec.displayName = name;
    spec.lastBackupDate = "2020-02-02T10:00:00Z";
    spec.serialNumber = "SN-x";
    ASSERT_TRUE(fixtures::WriteBackup(root_ / (std::string("u") + std::to_string(std::strlen(name))), spec));
  }
  const CliRun text = Cli("list --root " + Q(root_));
  ASSERT_EQ(text.status, 0);
  // The display column where the date starts, on the header line and every backup's line.
  std::set<size_t> dateColumns;
  std::istringstream lines(text.out);
  std::string line;
  int rows = 0;
  while (std::getline(lines, line)) {
    if (line.rfind("  ", 0) == 0) continue;  // a backup's folder
    const size_t at = line.find(rows == 0 ? "LAST BACKUP" : "20");
    ASSERT_NE(at, std::string::npos) << line;
    dateColumns.insert(platform::DisplayWidth(line.substr(0, at)));
    ++rows;
  }
  EXPECT_EQ(rows, 1 + 6);
  EXPECT_EQ(dateColumns, (std::set<size_t>{25})) << text.out;
}

TEST_F(CliTest, ClearErrorsAndExitCodes) {
  EXPECT_NE(Cli("info " + Q(root_ / "stray-folder")).status, 0);
  EXPECT_NE(Cli("list --root " + Q(dir_ / "nowhere")).status, 0);
  EXPECT_NE(Cli("files " + Q(root_ / "stray-folder")).status, 0);
  EXPECT_EQ(Cli("no-such-command").status, 2);
  EXPECT_EQ(Cli("").status, 2);
  const CliRun info = Cli("info --json " + Q(root_ / "old"));
  ASSERT_EQ(info.status, 0);
  EXPECT_EQ(nlohmann::json::parse(info.out)["serialNumber"], "SN-old");
  // A dump whose output cannot be written (a full disk) fails.
  const fs::path manifest = root_ / "new" / "Manifest.db";
  EXPECT_EQ(Cli("sqlite " + Q(manifest) + " --json >/dev/null").status, 0);
  EXPECT_EQ(Cli("sqlite " + Q(manifest) + " --json >/dev/full").status, 1);
}

TEST_F(CliTest, FilesGivesDataPathsInBothLayouts) {
  const std::string id = fixtures::FileId("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.PNG");
  for (const auto& [name, expected] :
       {std::pair{"new", root_ / "new" / id.substr(0, 2) / id}, std::pair{"old", root_ / "old" / id}}) {
    const CliRun run = Cli("files --json " + Q(root_ / name));
    ASSERT_EQ(run.status, 0) << name;
    const auto files = nlohmann::json::parse(run.out);
    bool found = false;
    for (const auto& f : files) {
      if (f["fileID"] == id) {
        found = true;
        EXPECT_EQ(f["dataPath"], expected.string());
        EXPECT_EQ(f["exists"], true);
      }
    }
    EXPECT_TRUE(found) << name;
  }
  const CliRun grep = Cli("files --grep Attachments " + Q(root_ / "new"));
  ASSERT_EQ(grep.status, 0);
  EXPECT_EQ(std::count(grep.out.begin(), grep.out.end(), '\n'), 2);
}

}  // namespace
}  // namespace halvern
