// The calendar through the command line: every event of Calendar.sqlitedb in `scan --json` with
// its dates in its own zone (floating ones without an offset), place, people, repeat rule and
// alerts in words; a deleted event carved; reminders kept apart; a damaged
// database is the category's failure. The recovered folder has the events month by month and a
// calendar file that a real iCalendar parser reads with every start, end and zone.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <map>

#include "platform/platform.h"
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

// Every event of the calendar file as Python's icalendar reads it: title -> "start|end|zone|rule".
std::map<std::string, std::string> ParsedByIcalendar(const fs::path& ics, const TempDir& dir) {
  const fs::path script = dir / "read_ics.py";
  std::FILE* f = std::fopen(script.c_str(), "w");
  if (f == nullptr) return {};
  std::fputs(
      "import sys, icalendar\n"
      "cal = icalendar.Calendar.from_ical(open(sys.argv[1], 'rb').read())\n"
      "for e in cal.walk('VEVENT'):\n"
      "    s, n = e.get('dtstart'), e.get('dtend')\n"
      "    zone = s.params.get('TZID', '')\n"
      "    rule = e.get('rrule').to_ical().decode() if e.get('rrule') else ''\n"
      "    print('%s\\t%s|%s|%s|%s' % (e.get('summary'), s.dt.isoformat(),\n"
      "          n.dt.isoformat() if n else '', zone, rule))\n",
      f);
  std::fclose(f);
  const std::string out = dir / "parsed.txt";
  const std::string command = "/usr/bin/python3 " + Quote(script) + " " + Quote(ics) + " > " +
                              Quote(out) + " 2>&1";
  if (std::system(command.c_str()) != 0) {
    ADD_FAILURE() << "icalendar could not read the file: "
                  << platform::ReadFile(out).value_or("");
    return {};
  }
  std::map<std::string, std::string> events;
  std::string text = platform::ReadFile(out).value_or("");
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    const size_t tab = line.find('\t');
    if (tab != std::string::npos) events[line.substr(0, tab)] = line.substr(tab + 1);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return events;
}

TEST(CalendarCategory, RecoverWritesEventsMonthByMonthAndACalendarFileParsersRead) {
  if (std::system("/usr/bin/python3 -c 'import icalendar' 2>/dev/null") != 0) {
    GTEST_SKIP() << "python3-icalendar is not installed";
  }
  TempDir dir;
  fixtures::BackupSpec spec;
  fs::create_directories(dir / "work");
  ASSERT_EQ(fixtures::AddCalendar(spec, dir / "work", fixtures::SampleCalendarEvents()), "");
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "backup", spec, &error)) << error;
  const fs::path out = dir / "out";
  const auto run =
      fixtures::RunCli("recover " + Quote(dir / "backup") + " --to " + Quote(out) +
                           " --only calendar",
                       "TZ=UTC XDG_DATA_HOME=" + Quote(dir / "home"));
  ASSERT_EQ(run.status, 0) << run.out;

  // The page: a heading per month, each event under the month it starts in.
  fs::path page;
  for (const auto& e : fs::directory_iterator(out / "Calendar")) {
    if (e.path().extension() == ".html") page = e.path();
  }
  const std::string html = platform::ReadFile(page).value_or("");
  const size_t september = html.find(">2021-09</th>");
  const size_t october = html.find(">2021-10</th>");
  ASSERT_NE(september, std::string::npos) << html;
  ASSERT_NE(october, std::string::npos);
  EXPECT_LT(september, html.find("Dentist"));
  EXPECT_LT(html.find("Job interview"), october);
  EXPECT_LT(october, html.find("Marc&#39;s Birthday") == std::string::npos
                         ? html.find("Marc's Birthday")
                         : html.find("Marc&#39;s Birthday"));

  // The calendar file: every event, at its own instant in its own zone.
  const auto events = ParsedByIcalendar(out / "Calendar" / "Calendar.ics", dir);
  const std::map<std::string, std::string> expected = {
      {"Dentist", "2021-09-14T09:00:00+02:00|2021-09-14T10:00:00+02:00|Europe/Paris|"},
      {"Team meeting",
       "2021-09-13T10:00:00-04:00|2021-09-13T11:00:00-04:00|America/New_York|FREQ=WEEKLY;"
       "BYDAY=MO"},
      // All-day: days, the end the day after the last.
      {"Holiday in Lyon", "2021-09-20|2021-09-21||"},
      {"Marc's Birthday", "2021-10-06|2021-10-07||FREQ=YEARLY"},
      // A zone no zone database knows: the stored instant in UTC.
      {"Launch window", "2021-09-15T10:00:00+00:00|2021-09-15T11:00:00+00:00||FREQ=DAILY;"
                        "INTERVAL=2"},
      {"Job interview", "2021-09-16T16:00:00+02:00|2021-09-16T17:00:00+02:00|Europe/Paris|"},
  };
  EXPECT_EQ(events, expected);
  const std::string ics = platform::ReadFile(out / "Calendar" / "Calendar.ics").value_or("");
  EXPECT_NE(ics.find("COMMENT:Deleted on the phone"), std::string::npos);
  // Content lines end in CR LF and none is longer than 75 bytes.
  size_t start = 0, longest = 0;
  while (start < ics.size()) {
    const size_t end = ics.find("\r\n", start);
    ASSERT_NE(end, std::string::npos) << "a line without CR LF";
    longest = std::max(longest, end - start);
    start = end + 2;
  }
  EXPECT_LE(longest, 75u);
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
