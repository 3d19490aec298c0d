// The calendar through the command line: every event of Calendar.sqlitedb in `scan --json` with
// its dates in its own zone (floating ones without an offset), place, people, repeat rule and
// alerts in words; a deleted event carved; reminders kept apart; a damaged
// database is the category's failure.
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
using fixtures::TempDir;

nlohmann::json ScanJson(const fs::path& backup, const TempDir& dir, int* status = nullptr) {
  const auto run = fixtures::RunCli("scan --json " + Quote(backup),
                                    "TZ=UTC XDG_DATA_HOME=" + Quote(dir / "home"));
  if (status != nullptr) *status = run.status;
  return nlohmann::json::parse(run.out, nullptr, false);
}

struct Expect {
  const char* title;
  const char* key;
  nlohmann::json value;
};

TEST(CalendarCategory, EveryEventInItsOwnZoneWithPlacePeopleRepeatsAlertsAndDeletedMarks) {
  TempDir dir;
  fixtures::BackupSpec spec;
  fs::create_directories(dir / "work");
  ASSERT_EQ(fixtures::AddCalendar(spec, dir / "work", fixtures::SampleCalendarEvents()), "");
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "backup", spec, &error)) << error;
  int status = -1;
  const auto doc = ScanJson(dir / "backup", dir, &status);
  ASSERT_EQ(status, 0);
  const auto& calendar = doc["categories"]["calendar"];
  // Six events; the two reminders of the same table are not events.
  ASSERT_EQ(calendar["items"].size(), 6u) << calendar.dump(1);
  std::map<std::string, nlohmann::json> byTitle;
  for (const auto& item : calendar["items"]) byTitle[item["title"].get<std::string>()] = item;
  EXPECT_EQ(byTitle.count("Buy bread"), 0u);

  const Expect cases[] = {
      // A named zone: the offset it had at that instant (summer time in Paris).
      {"Dentist", "start", "2021-09-14T09:00:00+02:00"},
      {"Dentist", "end", "2021-09-14T10:00:00+02:00"},
      {"Dentist", "timeZone", "Europe/Paris"},
      {"Dentist", "calendar", "Home"},
      {"Dentist", "location", "Cabinet Dr Martin"},
      {"Dentist", "address", "12 rue de Rivoli, 75001 Paris"},
      {"Dentist", "place", {{"latitude", 48.8566}, {"longitude", 2.3522}}},
      {"Dentist", "notes", "Bring the X-rays"},
      {"Dentist", "alarms", "15 min before"},
      {"Dentist", "allDay", false},
      {"Dentist", "birthday", false},
      {"Dentist", "recurrence", nullptr},
      {"Dentist", "deleted", 0},
      {"Dentist", "source", "live"},
      {"Team meeting", "start", "2021-09-13T10:00:00-04:00"},
      {"Team meeting", "calendar", "Work"},
      {"Team meeting", "organizer", "Anna Weber <anna@example.com>"},
      {"Team meeting", "attendees",
       "Marc Dupont <marc@example.com> (accepted); Paul Roux <paul@example.com> (declined)"},
      {"Team meeting", "recurrence", "every week on Monday"},
      {"Team meeting", "alarms", "1 day before; 10 min before"},
      {"Team meeting", "url", "https://meet.example.com/team"},
      // Floating: the same wall clock wherever one is, so no offset.
      {"Holiday in Lyon", "start", "2021-09-20T00:00:00"},
      {"Holiday in Lyon", "end", "2021-09-21T00:00:00"},
      {"Holiday in Lyon", "timeZone", "_float"},
      {"Holiday in Lyon", "allDay", true},
      {"Marc's Birthday", "birthday", true},
      {"Marc's Birthday", "calendar", "Birthdays"},
      {"Marc's Birthday", "recurrence", "every year"},
      // A zone the zone database does not hold: the instant, the name kept as stored.
      {"Launch window", "start", "2021-09-15T10:00:00+00:00"},
      {"Launch window", "timeZone", "Mars/Olympus_Mons"},
      {"Launch window", "recurrence", "every 2 days"},
      // Deleted on the phone: carved from free space, in its zone.
      {"Job interview", "deleted", 1},
      {"Job interview", "source", "carved"},
      {"Job interview", "start", "2021-09-16T16:00:00+02:00"},
      {"Job interview", "end", "2021-09-16T17:00:00+02:00"},
      {"Job interview", "calendar", "Home"},
  };
  for (const Expect& c : cases) {
    ASSERT_TRUE(byTitle.count(c.title)) << c.title;
    EXPECT_EQ(byTitle[c.title][c.key], c.value) << c.title << " " << c.key;
  }
  // In the order of their days.
  EXPECT_EQ(calendar["items"][0]["title"], "Team meeting");
  EXPECT_EQ(calendar["items"][5]["title"], "Marc's Birthday");
}

TEST(CalendarCategory, ADamagedDatabaseIsTheCategorysFailure) {
  TempDir dir;
  fixtures::BackupSpec spec;
  spec.files = {{"HomeDomain", "Library/Calendar/Calendar.sqlitedb", std::string(4096, 'c')}};
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "backup", spec, &error)) << error;
  int status = 0;
  const auto doc = ScanJson(dir / "backup", dir, &status);
  EXPECT_NE(status, 0);
  EXPECT_EQ(doc["errors"]["calendar"],
            "Calendar.sqlitedb could not be read: it is not a SQLite database (its header is "
            "damaged or it is enciphered)");
}

}  // namespace
}  // namespace halvern
