// The words the calendar's list says for a repeat rule and an alert (calendar.cpp), open to
// tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace halvern {

// A Recurrence row in words: "every week", "every 2 days", "every month on day 3", "every week
// on Monday and Thursday", "every month on the last Friday", with ", 10 times" or ", until
// 2021-12-31" after it. `frequency` 1 daily, 2 weekly, 3 monthly, 4 yearly (others are said by
// number); `interval` below 2 is every one; `specifier` the rule's parts ("D=0MO,0TH",
// "M=3", "O=3", "S=-1"), each part said when it is understood and kept as written when not;
// `count` 0 none; `untilDay` the last day ("2021-12-31"), "" none.
std::string RecurrenceWords(int64_t frequency, int64_t interval, std::string_view specifier,
                            int64_t count, std::string_view untilDay);

// An alert `seconds` from the event's start in words: "15 min before", "1 hour 30 min before",
// "1 day before", "2 weeks before", "at the start", "10 min after".
std::string AlarmWords(int64_t seconds);

}  // namespace halvern
