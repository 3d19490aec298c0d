// Offsets of named zones from the system's zone database, and the POSIX rules its files end with.
#include <gtest/gtest.h>

#include "categories/zone.h"

namespace halvern {
namespace {

struct ZoneCase {
  const char* zone;
  double unixSeconds;
  std::optional<int64_t> offset;
};

// Offsets from the system's zone database, summer and winter, north and south, and far beyond the
// database's last transition (the file's own rule then decides); names that are no zone, or that
// would lead out of the zone folder, give none.
TEST(ZoneOffsets, OffsetAtAnInstant) {
  const ZoneCase cases[] = {
      {"Europe/Berlin", 1631264400, 7200},       // 2021-09-10
      {"Europe/Berlin", 1610000000, 3600},       // 2021-01-07
      {"America/New_York", 1631264400, -14400},
      {"America/New_York", 1610000000, -18000},
      {"Australia/Sydney", 1610000000, 39600},   // southern summer
      {"Australia/Sydney", 1631264400, 36000},
      {"Asia/Kolkata", 1631264400, 19800},
      {"UTC", 1631264400, 0},
      {"Europe/Berlin", 2857000000, 7200},       // 2060-07-14: by the footer rule
      {"Europe/Berlin", 2867000000, 3600},       // 2060-11-07
      {"Australia/Sydney", 2840000000, 39600},   // 2059-12-30
      {"Nowhere/Atlantis", 1631264400, std::nullopt},
      {"../../../etc/passwd", 1631264400, std::nullopt},
      {"/etc/localtime", 1631264400, std::nullopt},
      {"Europe//Berlin", 1631264400, std::nullopt},
      {"", 1631264400, std::nullopt},
      {"Europe", 1631264400, std::nullopt},      // a folder, not a zone
  };
  for (const ZoneCase& c : cases) {
    EXPECT_EQ(ZoneOffsetAt(c.zone, c.unixSeconds), c.offset) << c.zone << " " << c.unixSeconds;
  }
}

TEST(ZoneOffsets, PosixRules) {
  // Northern and southern rules, a "J" day and explicit times, around each change.
  EXPECT_EQ(PosixRuleOffsetAt("CET-1CEST,M3.5.0,M10.5.0/3", 1616893199), 3600);  // 2021-03-28 00:59:59Z
  EXPECT_EQ(PosixRuleOffsetAt("CET-1CEST,M3.5.0,M10.5.0/3", 1616893200), 7200);  // 01:00:00Z
  EXPECT_EQ(PosixRuleOffsetAt("CET-1CEST,M3.5.0,M10.5.0/3", 1635641999), 7200);  // 2021-10-31 00:59:59Z
  EXPECT_EQ(PosixRuleOffsetAt("CET-1CEST,M3.5.0,M10.5.0/3", 1635642000), 3600);
  EXPECT_EQ(PosixRuleOffsetAt("AEST-10AEDT,M10.1.0,M4.1.0/3", 1610000000), 39600);
  EXPECT_EQ(PosixRuleOffsetAt("<+0330>-3:30", 1610000000), 12600);
  EXPECT_EQ(PosixRuleOffsetAt("EST5EDT,J60/2,J300/2", 1631264400), -14400);
  EXPECT_EQ(PosixRuleOffsetAt("nonsense", 0), std::nullopt);
  EXPECT_EQ(PosixRuleOffsetAt("CET-1CEST,M13.5.0,M10.5.0", 0), std::nullopt);
}

}  // namespace
}  // namespace halvern
