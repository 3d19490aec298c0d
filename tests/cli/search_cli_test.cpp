// halvern-cli search over a probe backup: one name found in messages, notes, WhatsApp,
// contacts and the calendar without regard to case or accents, the filters of days, deleted
// items and categories, and the refusals of a bad day or an empty text.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>
#include <set>

#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/table_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::Quote;
using fixtures::TempDir;

class SearchCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    fixtures::BackupSpec spec;
    fixtures::ScanExpectation expected;
    std::string error;
    fs::create_directories(*dir_ / "work");
    ASSERT_TRUE(fixtures::MakeScanBackupSpec(fixtures::PhoneGeneration::kIos14, *dir_ / "work",
                                             spec, expected, &error))
        << error;
    ASSERT_EQ(fixtures::AddCalendar(spec, *dir_ / "work", fixtures::SampleCalendarEvents()), "");
    ASSERT_TRUE(fixtures::WriteBackup(*dir_ / "backup", spec, &error)) << error;
  }
  static void TearDownTestSuite() { delete dir_; }

  static fixtures::CliRun Search(const std::string& rest) {
    return fixtures::RunCli("search " + rest, "TZ=UTC XDG_DATA_HOME=" + Quote(*dir_ / "home"));
  }
  static nlohmann::json Json(const std::string& query, const std::string& options = "") {
    const auto run = Search(Quote(query) + " " + Quote(*dir_ / "backup") + " --json " + options);
    EXPECT_EQ(run.status, 0) << run.out;
    return nlohmann::json::parse(run.out, nullptr, false);
  }
  // category -> texts of its hits
  static std::map<std::string, std::multiset<std::string>> Hits(const nlohmann::json& doc) {
    std::map<std::string, std::multiset<std::string>> out;
    for (const auto& h : doc["hits"]) out[h["category"]].insert(h["text"].get<std::string>());
    return out;
  }
  static TempDir* dir_;
};
TempDir* SearchCli::dir_ = nullptr;

TEST_F(SearchCli, OneNameInEveryCategoryWithoutRegardToCaseOrAccents) {
  const auto doc = Json("MARC");
  const auto hits = Hits(doc);
  // Every hit names a text that holds the name, and marks it.
  for (const auto& h : doc["hits"]) {
    const std::string text = h["text"];
    ASSERT_FALSE(h["marks"].empty()) << h.dump();
    const size_t first = h["marks"][0][0], end = h["marks"][0][1];
    EXPECT_EQ(text.substr(first, end - first).size(), 4u) << text;
  }
  ASSERT_TRUE(hits.count("calendar")) << doc.dump(1);
  EXPECT_EQ(hits.at("calendar"),
            (std::multiset<std::string>{
                "Marc's Birthday",
                "Marc Dupont <marc@example.com> (accepted); Paul Roux <paul@example.com> "
                "(declined)"}));
  EXPECT_TRUE(hits.at("notes").count("Gift ideas\nA book for Marc")) << doc.dump(1);
  ASSERT_TRUE(hits.count("messages"));
  ASSERT_TRUE(hits.count("whatsApp"));
  // "chloe" finds "Chloé" (messages' correspondent and WhatsApp's), "CHLOÉ" the same.
  const auto accents = Hits(Json("chloe"));
  EXPECT_EQ(accents, Hits(Json("CHLOÉ")));
  ASSERT_TRUE(accents.count("messages")) << Json("chloe").dump(1);
  EXPECT_TRUE(accents.at("messages").count("Chlo\xC3\xA9 Bianchi"));

  // The lines for reading: the category with its count, the match in brackets.
  const auto run = Search("birthday " + Quote(*dir_ / "backup"));
  ASSERT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Calendar (1)"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Marc's [Birthday]"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("1 item holds \"birthday\""), std::string::npos) << run.out;
}

TEST_F(SearchCli, FiltersKeepOnlyTheAskedDaysDeletedItemsAndCategories) {
  const auto all = Json("e");
  size_t deletedCount = 0;
  for (const auto& h : all["hits"]) deletedCount += h["deleted"].get<int>() != 0 ? 1 : 0;
  ASSERT_GT(deletedCount, 0u);
  ASSERT_LT(deletedCount, all["hits"].size());
  const auto deleted = Json("e", "--deleted-only");
  EXPECT_EQ(deleted["hits"].size(), deletedCount);
  for (const auto& h : deleted["hits"]) EXPECT_NE(h["deleted"], 0) << h.dump();

  const auto days = Json("e", "--since 2021-09-14 --until 2021-09-15");
  ASSERT_FALSE(days["hits"].empty());
  for (const auto& h : days["hits"]) {
    const std::string date = h["date"];
    ASSERT_GE(date.size(), 10u) << h.dump();
    EXPECT_GE(date.substr(0, 10), "2021-09-14") << h.dump();
    EXPECT_LE(date.substr(0, 10), "2021-09-15") << h.dump();
  }
  // The calendar's events of those two days, by their titles' "e".
  std::set<std::string> events;
  for (const auto& h : days["hits"]) {
    if (h["category"] == "calendar") events.insert(h["where"].get<std::string>());
  }
  EXPECT_EQ(events, (std::set<std::string>{"Dentist", "Launch window"}));

  const auto only = Json("e", "--only calendar,notes");
  std::set<std::string> categories;
  for (const auto& h : only["hits"]) categories.insert(h["category"].get<std::string>());
  EXPECT_EQ(categories, (std::set<std::string>{"calendar", "notes"}));
}

TEST_F(SearchCli, RefusesWhatItCannotRead) {
  const std::string backup = Quote(*dir_ / "backup");
  const std::pair<std::string, int> cases[] = {
      {"marc " + backup + " --since 2021-02-30", 2},
      {"marc " + backup + " --since 2021-09-20 --until 2021-09-01", 2},
      {"'' " + backup, 2},
      {"marc " + backup + " --only nothing", 2},
      {"marc", 2},
      {"marc " + Quote(*dir_ / "no-such-folder"), 1},
  };
  for (const auto& [args, status] : cases) EXPECT_EQ(Search(args).status, status) << args;
}

}  // namespace
}  // namespace halvern
