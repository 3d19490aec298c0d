// Reminders through the command line: the stores of iOS 15 (one table for every kind of object)
// and iOS 17 (a table of reminders), every store the manifest lists, and the reminders a phone
// before iOS 13 kept in its calendar database; live, marked-for-deletion and carved ones.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/table_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::Quote;
using fixtures::RemindersLayout;
using fixtures::TempDir;

nlohmann::json ScanReminders(const fixtures::BackupSpec& spec, const TempDir& dir) {
  std::string error;
  EXPECT_TRUE(fixtures::WriteBackup(dir / "backup", spec, &error)) << error;
  const auto run = fixtures::RunCli("scan --json " + Quote(dir / "backup"),
                                    "TZ=UTC XDG_DATA_HOME=" + Quote(dir / "home"));
  EXPECT_EQ(run.status, 0);
  return nlohmann::json::parse(run.out, nullptr, false)["categories"]["reminders"];
}

std::map<std::string, nlohmann::json> ByTitle(const nlohmann::json& category) {
  std::map<std::string, nlohmann::json> out;
  for (const auto& item : category["items"]) out[item["title"].get<std::string>()] = item;
  return out;
}

struct Expect {
  const char* title;
  const char* key;
  nlohmann::json value;
};

class RemindersLayouts : public ::testing::TestWithParam<RemindersLayout> {};

TEST_P(RemindersLayouts, EveryReminderOfEveryStoreWithListsDoneFlagsAndDeletedOnes) {
  TempDir dir;
  fs::create_directories(dir / "work");
  fixtures::BackupSpec spec;
  ASSERT_EQ(fixtures::AddReminders(spec, dir / "work", GetParam(),
                                   "3F2A9C4E-1B7D-4E8F-A2C5-9D0E1F2A3B4C",
                                   fixtures::SampleReminders()),
            "");
  // A second account's store.
  ASSERT_EQ(fixtures::AddReminders(spec, dir / "work", GetParam(), "local",
                                   {{.pk = 1, .title = "Water the plants", .list = "Garden"}}),
            "");
  const auto reminders = ScanReminders(spec, dir);
  // Five reminders; the account and list rows of the same store are none.
  ASSERT_EQ(reminders["items"].size(), 5u) << reminders.dump(1);
  const auto byTitle = ByTitle(reminders);
  const Expect cases[] = {
      {"Pick up parcel", "list", "Errands"},
      {"Pick up parcel", "notes", "Post office, counter 3"},
      {"Pick up parcel", "due", "2021-09-14T11:00:00+02:00"},  // in its own zone
      {"Pick up parcel", "flagged", true},
      {"Pick up parcel", "priority", 1},
      {"Pick up parcel", "completed", false},
      {"Pick up parcel", "deleted", 0},
      {"Pay rent", "completed", true},
      {"Pay rent", "completedDate", "2021-08-31T10:53:20+00:00"},
      {"Pay rent", "due", "2021-08-30T07:06:40+00:00"},
      {"Pay rent", "list", "Home"},
      {"Old plan", "deleted", 1},
      {"Old plan", "source", "live"},
      {"Surprise party", "deleted", 1},
      {"Surprise party", "source", "carved"},
      {"Surprise party", "notes", "Don't tell Marc"},
      {"Surprise party", "list", "Errands"},
      {"Water the plants", "list", "Garden"},
  };
  for (const Expect& c : cases) {
    ASSERT_TRUE(byTitle.count(c.title)) << c.title;
    EXPECT_EQ(byTitle.at(c.title)[c.key], c.value) << c.title << " " << c.key;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, RemindersLayouts,
                         ::testing::Values(RemindersLayout::kIos15, RemindersLayout::kIos17));

// Before iOS 13 a reminder was a row of the calendar's database: there, and not among events.
TEST(RemindersCategory, APhoneBeforeIos13KeptThemInItsCalendar) {
  TempDir dir;
  fs::create_directories(dir / "work");
  fixtures::BackupSpec spec;
  ASSERT_EQ(fixtures::AddCalendar(spec, dir / "work", fixtures::SampleCalendarEvents()), "");
  const auto reminders = ScanReminders(spec, dir);
  ASSERT_EQ(reminders["items"].size(), 2u) << reminders.dump(1);
  const auto byTitle = ByTitle(reminders);
  const Expect cases[] = {
      {"Buy bread", "list", "Reminders"},
      {"Buy bread", "due", "2021-09-14T11:00:00+02:00"},
      {"Buy bread", "completed", true},
      {"Buy bread", "completedDate", "2021-09-14T09:33:20+00:00"},
      {"Buy bread", "priority", 1},
      {"Buy bread", "deleted", 0},
      {"Call the bank", "notes", "About the loan"},
      {"Call the bank", "deleted", 1},
      {"Call the bank", "source", "carved"},
  };
  for (const Expect& c : cases) {
    ASSERT_TRUE(byTitle.count(c.title)) << c.title;
    EXPECT_EQ(byTitle.at(c.title)[c.key], c.value) << c.title << " " << c.key;
  }
}

}  // namespace
}  // namespace halvern
