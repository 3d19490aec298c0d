// The words the calendar's list says for a repeat rule and an alert (calendar.cpp), open to
// tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "categories/table.h"

namespace halvern {

// A Recurrence row in words: "every week", "every 2 days", "every month on day 3", "every week
// on Monday and Thursday", "every month on the last Friday", with ", 10 times" or ", until
// 2021-12-31" after it. `frequency` 1 daily, 2 weekly, 3 monthly, 4 yearly (others are said by
// number); `interval` below 2 is every one; `specifier` the rule's parts ("D=0MO,0TH",
// "M=3", "O=3", "S=-1"), each part said when it is understood and kept as written when not;
// `count` 0 none; `untilDay` the last day ("2021-12-31"), "" none.
std::string RecurrenceWords(int64_t frequency, int64_t interval, std::string_view specifier,
                            int64_t count, std::string_view untilDay);

// The same rule as an iCalendar RRULE value (RFC 5545): "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,TH",
// with COUNT, or UNTIL as a UTC time ("UNTIL=20211231T230000Z") from `untilUnix`; the parts of
// `specifier` that are not understood are left out; "" for a frequency other than 1 to 4.
std::string RecurrenceRule(int64_t frequency, int64_t interval, std::string_view specifier,
                           int64_t count, std::optional<double> untilUnix);

// An alert `seconds` from the event's start in words: "15 min before", "1 hour 30 min before",
// "1 day before", "2 weeks before", "at the start", "10 min after".
std::string AlarmWords(int64_t seconds);

// The calendar's events as one iCalendar file (RFC 5545, CR LF, lines folded at 75 bytes): a
// VEVENT per row that has a start, with its start and end in its own zone (TZID and a VTIMEZONE
// with the zone's changes of offset over the years of the events), as a date for all-day
// events and without zone for floating ones; title, notes, place, coordinates, URL, calendar,
// repeat rule. `table` has the calendar category's columns; deleted rows say so in a comment.
std::string CalendarIcs(const CategoryTable& table, const std::vector<const TableRow*>& rows);

}  // namespace halvern
