// Safari through the command line: bookmarks with their folders and the Reading List, and the
// history of an encrypted backup (every visit, the clearings, the visits a clearing deleted,
// each profile's own history); a plain backup says where the history is.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <iterator>
#include <map>

#include "tests/fixtures/encrypt_backup.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/table_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::Quote;
using fixtures::TempDir;

constexpr double k2001 = 978307200;
constexpr const char* kProfile = "5F0C3C1A-8E2B-4D43-9C39-7A2B1E0D4F11";

nlohmann::json ScanJson(const fs::path& backup, const TempDir& dir, const std::string& password,
                        int* status) {
  const auto run = fixtures::RunCli(
      "scan --json " + Quote(backup) + (password.empty() ? "" : " --password-stdin"),
      "TZ=UTC XDG_DATA_HOME=" + Quote(dir / "home"), password);
  *status = run.status;
  auto doc = nlohmann::json::parse(run.out, nullptr, false);
  EXPECT_FALSE(doc.is_discarded()) << run.out;
  return doc;
}

void AddFile(fixtures::BackupSpec& spec, const char* domain, const std::string& path,
             const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  spec.files.push_back({domain, path, std::string(std::istreambuf_iterator<char>(in), {})});
}

// A backup with Bookmarks.db and, when `history`, the main History.db (in `historyDomain`) and
// a profile's.
fs::path WriteBackup(const TempDir& dir, bool history, const char* historyDomain, bool encrypted) {
  fixtures::BackupSpec spec;
  const fs::path work = dir / "work";
  fs::create_directories(work);
  EXPECT_EQ(fixtures::MakeBookmarksDb(work / "Bookmarks.db", fixtures::SampleBookmarks()), "");
  AddFile(spec, "HomeDomain", "Library/Safari/Bookmarks.db", work / "Bookmarks.db");
  if (history) {
    // Visits on 2021-09-10 and 11; the shop's on the 12th were cleared (the range recorded).
    EXPECT_EQ(fixtures::MakeHistoryDb(
                  work / "History.db",
                  {{.id = 1, .url = "https://www.lemonde.fr/", .time = 1631260800 - k2001,
                    .title = "Le Monde"},
                   {.id = 2, .url = "https://www.lemonde.fr/", .time = 1631347200.5 - k2001,
                    .title = "Le Monde - Actualités"},
                   {.id = 3, .url = "https://weather.example.com/", .time = 1631350000 - k2001,
                    .title = "Weather"},
                   {.id = 4, .url = "https://shop.example.com/cart", .time = 1631440000 - k2001,
                    .title = "Your cart", .deleted = true},
                   {.id = 5, .url = "https://shop.example.com/cart", .time = 1631441000 - k2001,
                    .title = "Checkout", .deleted = true}},
                  {{.start = 1631439000 - k2001, .end = 1631442000 - k2001}}),
              "");
    AddFile(spec, historyDomain, "Library/Safari/History.db", work / "History.db");
    EXPECT_EQ(fixtures::MakeHistoryDb(work / "Profile.db",
                                      {{.id = 1, .url = "https://work.example.com/",
                                        .time = 1631500000 - k2001, .title = "Intranet"}},
                                      {}),
              "");
    AddFile(spec, historyDomain,
            std::string("Library/Safari/Profiles/") + kProfile + "/History.db",
            work / "Profile.db");
  }
  std::string error;
  EXPECT_TRUE(fixtures::WriteBackup(dir / "plain", spec, &error)) << error;
  if (!encrypted) return dir / "plain";
  fixtures::EncryptSpec encrypt;
  encrypt.password = "bread";
  EXPECT_TRUE(fixtures::EncryptBackup(dir / "plain", dir / "encrypted", encrypt, &error)) << error;
  return dir / "encrypted";
}

std::map<std::string, nlohmann::json> ByKey(const nlohmann::json& category, const char* key) {
  std::map<std::string, nlohmann::json> out;
  for (const auto& item : category["items"]) out[item[key].get<std::string>()] = item;
  return out;
}

struct Expect {
  const char* row;
  const char* key;
  nlohmann::json value;
};

TEST(SafariCategories, BookmarksWithTheirFoldersReadingListAndDeletedOnes) {
  TempDir dir;
  int status = -1;
  const auto doc = ScanJson(WriteBackup(dir, false, "", false), dir, "", &status);
  ASSERT_EQ(status, 0);
  const auto& bookmarks = doc["categories"]["safariBookmarks"];
  // Four folders (the root is none) and five bookmarks.
  ASSERT_EQ(bookmarks["items"].size(), 9u) << bookmarks.dump(1);
  const auto byTitle = ByKey(bookmarks, "title");
  EXPECT_EQ(byTitle.count("Root"), 0u);
  const Expect cases[] = {
      {"Le Monde", "kind", "bookmark"},
      {"Le Monde", "url", "https://www.lemonde.fr/"},
      {"Le Monde", "folder", "BookmarksBar/News"},
      {"Le Monde", "modified", "2021-08-30T07:06:40+00:00"},
      {"Le Monde", "deleted", 0},
      {"Weather", "folder", "BookmarksBar"},
      {"News", "kind", "folder"},
      {"News", "folder", "BookmarksBar"},
      {"BookmarksBar", "kind", "folder"},
      {"BookmarksBar", "folder", nullptr},
      {"A long read", "kind", "reading list"},
      {"A long read", "folder", "com.apple.ReadingList"},
      // Deleted on the phone, not yet synced: a live row marked deleted.
      {"Old forum", "deleted", 1},
      {"Old forum", "source", "live"},
      {"Old forum", "folder", "BookmarksMenu"},
      // Deleted from the table: carved, its folder still told.
      {"Secret recipe", "deleted", 1},
      {"Secret recipe", "source", "carved"},
      {"Secret recipe", "url", "https://recipes.example.com/secret"},
      {"Secret recipe", "folder", "BookmarksBar/News"},
  };
  for (const Expect& c : cases) {
    ASSERT_TRUE(byTitle.count(c.row)) << c.row;
    EXPECT_EQ(byTitle.at(c.row)[c.key], c.value) << c.row << " " << c.key;
  }
  // No history in a plain backup: said, not a silent 0.
  EXPECT_EQ(doc["notices"]["safariHistory"], "Safari history is only in encrypted backups");
  EXPECT_TRUE(doc["categories"]["safariHistory"]["items"].empty());
}

class SafariHistoryDomains : public ::testing::TestWithParam<const char*> {};

TEST_P(SafariHistoryDomains, EveryVisitClearingsCarvedVisitsAndProfiles) {
  TempDir dir;
  int status = -1;
  const auto doc = ScanJson(WriteBackup(dir, true, GetParam(), true), dir, "bread", &status);
  ASSERT_EQ(status, 0) << doc["errors"].dump() << doc["notices"].dump();
  const auto& history = doc["categories"]["safariHistory"];
  EXPECT_FALSE(doc["notices"].contains("safariHistory"));
  // Four visits (one of a profile), the clearing, the two cleared visits, and the cleared page
  // whose id was lost with its record's first bytes (its URL stays).
  ASSERT_EQ(history["items"].size(), 8u) << history.dump(1);
  std::map<std::string, nlohmann::json> byTitle;
  for (const auto& item : history["items"]) {
    const std::string key = !item["title"].is_null() ? item["title"].get<std::string>()
                            : item["kind"] == "page" ? "(page)"
                                                     : "(clearing)";
    byTitle[key] = item;
  }
  const Expect cases[] = {
      {"Le Monde", "kind", "visit"},
      {"Le Monde", "time", "2021-09-10T08:00:00+00:00"},
      {"Le Monde", "url", "https://www.lemonde.fr/"},
      {"Le Monde", "visitCount", 2},
      {"Le Monde", "deleted", 0},
      {"Le Monde", "profile", nullptr},
      {"Le Monde - Actualit\xC3\xA9s", "time", "2021-09-11T08:00:00.5+00:00"},
      {"Weather", "visitCount", 1},
      // Cleared: carved from the free space with their page.
      {"Your cart", "deleted", 1},
      {"Your cart", "source", "carved"},
      {"(page)", "url", "https://shop.example.com/cart"},
      {"(page)", "visitCount", 2},
      {"(page)", "deleted", 1},
      {"(page)", "source", "carved"},
      {"Your cart", "time", "2021-09-12T09:46:40+00:00"},
      {"Checkout", "deleted", 1},
      {"(clearing)", "kind", "history cleared"},
      {"(clearing)", "time", "2021-09-12T09:30:00+00:00"},
      {"(clearing)", "until", "2021-09-12T10:20:00+00:00"},
      {"(clearing)", "deleted", 0},
      {"Intranet", "profile", kProfile},
      {"Intranet", "url", "https://work.example.com/"},
  };
  for (const Expect& c : cases) {
    ASSERT_TRUE(byTitle.count(c.row)) << c.row;
    EXPECT_EQ(byTitle.at(c.row)[c.key], c.value) << c.row << " " << c.key;
  }
  EXPECT_EQ(history["items"][0]["title"], "Intranet");
}

INSTANTIATE_TEST_SUITE_P(Domains, SafariHistoryDomains,
                         ::testing::Values("HomeDomain", "AppDomain-com.apple.mobilesafari"));

}  // namespace
}  // namespace halvern
