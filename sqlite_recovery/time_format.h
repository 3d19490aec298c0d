// Date texts of the phone's databases: seconds since 1970 (Unix) or since 2001 (Mac absolute
// time), as local time "YYYY-MM-DD hh:mm:ss". Every function answers "" for a value that
// the local-time breakdown cannot represent.
#pragma once

#include <cstdint>
#include <string>

namespace halvern {

// Seconds between 1970-01-01 and 2001-01-01, both UTC.
inline constexpr int64_t kMacEpochOffset = 978307200;

// Local-time text of `t` seconds since 1970-01-01 00:00:00 UTC; "" when out of range.
std::string FormatUnixTime(int64_t t);

// Local-time text of `t` seconds since 2001-01-01 00:00:00 UTC: the breakdown of
// t + kMacEpochOffset as Unix time; "" when out of range.
std::string FormatMacTime(int64_t t);

// Whole seconds of an IEEE 754 double, truncated toward zero. False for NaN, infinities and
// values outside the 64-bit range; `seconds` is left alone then.
bool TruncateSeconds(double value, int64_t& seconds);

// The double stored as 8 big-endian bytes (record serial type 7).
double DoubleFromBigEndian(const uint8_t* bytes);

// Local-time text of a Mac absolute time held as a double (Core Data TIMESTAMP columns),
// truncated toward zero; "" for NaN, infinities and values out of range.
std::string FormatMacDouble(double seconds);

// Seconds since 2001 of a message date: the messages database stores seconds up to iOS 10
// and nanoseconds from iOS 11 on, and both can sit side by side in one table (migrated rows),
// so the unit is decided by magnitude: a value of at least 10^11 in absolute terms (which as
// seconds would lie beyond the year 5000) counts nanoseconds and is divided by 10^9,
// truncated toward zero.
int64_t MessageDateSeconds(int64_t value);

}  // namespace halvern
