// Date texts of the decoders: Mac absolute and Unix times in local time, 8-byte doubles and
// the nanosecond dates of the messages database.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

#include "sqlite_recovery/time_format.h"

namespace halvern {
namespace {

class TimeZone {
 public:
  explicit TimeZone(const char* zone) {
    const char* old = std::getenv("TZ");
    if (old) saved_ = old, hadOld_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~TimeZone() {
    if (hadOld_) {
      setenv("TZ", saved_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  std::string saved_;
  bool hadOld_ = false;
};

TEST(DecodersTime, MacTimeIsTheUnixBreakdownOfTheShiftedValue) {
  TimeZone utc("UTC");
  struct Case {
    int64_t mac;
    const char* text;
  } cases[] = {
      {0, "2001-01-01 00:00:00"},
      {-1, "2000-12-31 23:59:59"},
      {-86400, "2000-12-31 00:00:00"},
      // Dates where breaking the value down from 1970 and adding 31 years is a day off.
      {76161600, "2003-06-01 12:00:00"},
      {473256000, "2015-12-31 12:00:00"},
      {604670400, "2020-02-29 12:00:00"},
      {2200000000, "2070-09-18 23:06:40"},  // beyond 32 bits
  };
  for (const Case& c : cases) EXPECT_EQ(FormatMacTime(c.mac), c.text) << c.mac;
}

TEST(DecodersTime, LocalTimeFollowsTheZoneAndItsDaylightSaving) {
  TimeZone berlin("Europe/Berlin");
  EXPECT_EQ(FormatUnixTime(1609502400), "2021-01-01 13:00:00");  // winter, UTC+1
  EXPECT_EQ(FormatUnixTime(1625140800), "2021-07-01 14:00:00");  // summer, UTC+2
  EXPECT_EQ(FormatUnixTime(1616893199), "2021-03-28 01:59:59");  // last second before the switch
  EXPECT_EQ(FormatUnixTime(1616893200), "2021-03-28 03:00:00");
  EXPECT_EQ(FormatMacTime(0), "2001-01-01 01:00:00");
}

TEST(DecodersTime, ValuesOutsideTheCalendarGiveNoText) {
  TimeZone utc("UTC");
  EXPECT_EQ(FormatUnixTime(std::numeric_limits<int64_t>::max()), "");
  EXPECT_EQ(FormatUnixTime(std::numeric_limits<int64_t>::min()), "");
  EXPECT_EQ(FormatMacTime(std::numeric_limits<int64_t>::max()), "");
  EXPECT_EQ(FormatMacDouble(std::nan("")), "");
  EXPECT_EQ(FormatMacDouble(INFINITY), "");
  EXPECT_EQ(FormatMacDouble(1e300), "");
}

TEST(DecodersTime, DoublesAreTruncatedTowardZeroOverTheWholeRange) {
  TimeZone utc("UTC");
  struct Case {
    double mac;
    const char* text;
  } cases[] = {
      {2.0e8, "2007-05-04 19:33:20"},  // before 2^28 seconds (2009)
      {2.0e8 + 0.999, "2007-05-04 19:33:20"},
      {536870915.0, "2018-01-05 18:48:35"},  // above 2^29: the lowest bit stays
      {6.0e8 + 0.5, "2020-01-06 10:40:00"},
      {1.2e9, "2039-01-10 21:20:00"},  // above 2^30 seconds
      {-0.75, "2001-01-01 00:00:00"},  // toward zero, not down
      {-1.5, "2000-12-31 23:59:59"},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatMacDouble(c.mac), c.text) << c.mac;

  // The big-endian bytes of a record body decode to the same double.
  const uint8_t positive[8] = {0x41, 0xC1, 0xE1, 0xA3, 0x00, 0x00, 0x00, 0x00};
  const uint8_t negative[8] = {0xBF, 0xF8, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  EXPECT_EQ(DoubleFromBigEndian(positive), 6.0e8);
  EXPECT_EQ(DoubleFromBigEndian(negative), -1.5);
}

TEST(DecodersTime, MessageDatesInNanosecondsAndSecondsGiveTheSameText) {
  TimeZone utc("UTC");
  EXPECT_EQ(MessageDateSeconds(600000000), 600000000);
  EXPECT_EQ(MessageDateSeconds(600000000123456789), 600000000);
  EXPECT_EQ(MessageDateSeconds(-31536000), -31536000);
  EXPECT_EQ(MessageDateSeconds(-31536000999999999), -31536000);
  EXPECT_EQ(FormatMacTime(MessageDateSeconds(473256000LL * 1000000000)), FormatMacTime(473256000));
}

}  // namespace
}  // namespace halvern
