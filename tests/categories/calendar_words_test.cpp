// The calendar's repeat rules and alerts in words.
#include <gtest/gtest.h>

#include <optional>

#include "categories/calendar.h"

namespace halvern {
namespace {

struct RepeatCase {
  int64_t frequency, interval;
  const char* specifier;
  int64_t count;
  const char* until;
  const char* words;
};

TEST(CalendarWords, RepeatRules) {
  const RepeatCase cases[] = {
      {1, 1, "", 0, "", "every day"},
      {1, 2, "", 0, "", "every 2 days"},
      {2, 1, "", 0, "", "every week"},
      {2, 0, "", 0, "", "every week"},  // no interval stored: every one
      {2, 3, "D=0MO,0TH", 0, "", "every 3 weeks on Monday and Thursday"},
      {3, 1, "M=3", 0, "", "every month on day 3"},
      {3, 1, "M=1,15,-1", 0, "", "every month on day 1, 15 and the last day"},
      {3, 1, "D=+1MO", 0, "", "every month on the first Monday"},
      {3, 1, "D=-1FR", 10, "", "every month on the last Friday, 10 times"},
      {3, 1, "S=-1;D=0MO,0TU,0WE,0TH,0FR", 0, "",
       "every month on the last of Monday, Tuesday, Wednesday, Thursday and Friday"},
      {4, 1, "O=3;M=14", 0, "2030-03-14", "every year on day 14 in March, until 2030-03-14"},
      {4, 1, "", 1, "", "every year, 1 time"},
      // What is not understood is kept as written, never dropped.
      {2, 1, "D=0XX;W=20", 0, "", "every week (D=0XX) (W=20)"},
      {9, 1, "", 0, "", "repeats (frequency 9)"},
  };
  for (const RepeatCase& c : cases) {
    EXPECT_EQ(RecurrenceWords(c.frequency, c.interval, c.specifier, c.count, c.until), c.words)
        << c.frequency << " " << c.interval << " " << c.specifier;
  }
}

// The same rules as an iCalendar RRULE.
TEST(CalendarWords, RepeatRulesForTheCalendarFile) {
  struct RuleCase {
    int64_t frequency, interval;
    const char* specifier;
    int64_t count;
    std::optional<double> until;
    const char* rule;
  };
  const RuleCase cases[] = {
      {1, 1, "", 0, std::nullopt, "FREQ=DAILY"},
      {2, 3, "D=0MO,0TH", 0, std::nullopt, "FREQ=WEEKLY;INTERVAL=3;BYDAY=MO,TH"},
      {3, 1, "M=1,15,-1", 0, std::nullopt, "FREQ=MONTHLY;BYMONTHDAY=1,15,-1"},
      {3, 1, "D=+1MO", 0, std::nullopt, "FREQ=MONTHLY;BYDAY=1MO"},
      {3, 1, "D=-1FR", 10, std::nullopt, "FREQ=MONTHLY;COUNT=10;BYDAY=-1FR"},
      {3, 1, "S=-1;D=0MO,0TU,0WE,0TH,0FR", 0, std::nullopt,
       "FREQ=MONTHLY;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1"},
      {4, 1, "O=3;M=14", 0, 1899676800.0, "FREQ=YEARLY;UNTIL=20300314T000000Z;BYMONTH=3;"
                                          "BYMONTHDAY=14"},
      // What cannot be said in the rule is left out of it (the words keep it).
      {2, 1, "D=0XX;W=20", 0, std::nullopt, "FREQ=WEEKLY"},
      {3, 1, "M=40", 0, std::nullopt, "FREQ=MONTHLY"},
      {9, 1, "", 0, std::nullopt, ""},
  };
  for (const RuleCase& c : cases) {
    EXPECT_EQ(RecurrenceRule(c.frequency, c.interval, c.specifier, c.count, c.until), c.rule)
        << c.frequency << " " << c.specifier;
  }
}

TEST(CalendarWords, Alerts) {
  const std::pair<int64_t, const char*> cases[] = {
      {0, "at the start"},
      {-300, "5 min before"},
      {-900, "15 min before"},
      {-3600, "1 hour before"},
      {-5400, "1 hour 30 min before"},
      {-7200, "2 hours before"},
      {-86400, "1 day before"},
      {-172800, "2 days before"},
      {-604800, "1 week before"},
      {-54000, "15 hours before"},  // an all-day event's "9:00 the day before"
      {600, "10 min after"},
      {-90, "1 min 30 sec before"},
  };
  for (const auto& [seconds, words] : cases) EXPECT_EQ(AlarmWords(seconds), words) << seconds;
}

}  // namespace
}  // namespace halvern
