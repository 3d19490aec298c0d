// Local-time texts of Unix and Mac absolute times.
#include "sqlite_recovery/time_format.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

namespace halvern {

std::string FormatUnixTime(int64_t t) {
  // time_t is 64-bit on the supported platforms; the year must also fit the four-digit text
  // and the int of struct tm, so values beyond year 9999 or before year 0 are refused.
  constexpr int64_t kMin = -62167219200;  // 0000-01-01 00:00:00 UTC
  constexpr int64_t kMax = 253402300799;  // 9999-12-31 23:59:59 UTC
  if (t < kMin + 86400 || t > kMax - 86400) return {};
  time_t value = static_cast<time_t>(t);
  struct tm parts;
  std::memset(&parts, 0, sizeof parts);
  if (localtime_r(&value, &parts) == nullptr) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
  return text;
}

std::string FormatMacTime(int64_t t) {
  if (t > std::numeric_limits<int64_t>::max() - kMacEpochOffset) return {};
  return FormatUnixTime(t + kMacEpochOffset);
}

bool TruncateSeconds(double value, int64_t& seconds) {
  if (!std::isfinite(value)) return false;
  double whole = std::trunc(value);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (whole >= 9223372036854775808.0 || whole < -9223372036854775808.0) return false;
  seconds = static_cast<int64_t>(whole);
  return true;
}

double DoubleFromBigEndian(const uint8_t* bytes) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) bits = (bits << 8) | bytes[i];
  double value;
  static_assert(sizeof value == sizeof bits);
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

std::string FormatMacDouble(double seconds) {
  int64_t whole = 0;
  if (!TruncateSeconds(seconds, whole)) return {};
  return FormatMacTime(whole);
}

int64_t MessageDateSeconds(int64_t value) {
  constexpr int64_t kNanosecondThreshold = 100000000000;  // 10^11
  if (value >= kNanosecondThreshold || value <= -kNanosecondThreshold) {
    return value / 1000000000;  // C++ division truncates toward zero
  }
  return value;
}

}  // namespace halvern
