// Zone offsets from the system's zone database (see zone.h).
#include "categories/zone.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace halvern {

namespace {

// A zone file read into its transitions.
struct Zone {
  std::vector<int64_t> times;     // transition instants, ascending
  std::vector<uint8_t> types;     // the local time type from each transition on
  std::vector<int32_t> offsets;   // each type's offset, seconds east
  std::string footer;             // the POSIX rule after the last transition ("" none)
};

bool SafeZoneName(std::string_view name) {
  if (name.empty() || name.size() > 128 || name.front() == '/' || name.back() == '/') return false;
  char previous = '/';
  for (char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '_' || c == '-' || c == '+' || c == '/';
    if (!ok || (c == '/' && previous == '/')) return false;
    previous = c;
  }
  return true;
}

int64_t BigEndian(const std::string& bytes, size_t at, size_t size) {
  uint64_t v = 0;
  for (size_t i = 0; i < size; ++i) v = (v << 8) | uint8_t(bytes[at + i]);
  if (size == 4) return int64_t(int32_t(uint32_t(v)));
  return int64_t(v);
}

// Reads a TZif file's transitions (the 64-bit block when there is one) and its footer.
std::shared_ptr<const Zone> ReadZone(const std::string& bytes) {
  constexpr size_t kHeader = 44;
  if (bytes.size() < kHeader || bytes.compare(0, 4, "TZif") != 0) return nullptr;
  struct Counts {
    uint64_t isut, isstd, leap, time, type, chars;
  };
  auto countsAt = [&](size_t at, Counts& c) {
    if (at + kHeader > bytes.size()) return false;
    c.isut = uint64_t(BigEndian(bytes, at + 20, 4)) & 0xFFFFFFFFu;
    c.isstd = uint64_t(BigEndian(bytes, at + 24, 4)) & 0xFFFFFFFFu;
    c.leap = uint64_t(BigEndian(bytes, at + 28, 4)) & 0xFFFFFFFFu;
    c.time = uint64_t(BigEndian(bytes, at + 32, 4)) & 0xFFFFFFFFu;
    c.type = uint64_t(BigEndian(bytes, at + 36, 4)) & 0xFFFFFFFFu;
    c.chars = uint64_t(BigEndian(bytes, at + 40, 4)) & 0xFFFFFFFFu;
    return c.type > 0 && c.time < (1u << 20) && c.type <= 256 && c.leap < (1u << 20) &&
           c.chars < (1u << 20) && c.isut <= c.type && c.isstd <= c.type;
  };
  auto blockSize = [](const Counts& c, size_t timeSize) {
    return c.time * timeSize + c.time + c.type * 6 + c.chars + c.leap * (timeSize + 4) +
           c.isstd + c.isut;
  };
  Counts c{};
  if (!countsAt(0, c)) return nullptr;
  size_t at = kHeader;
  size_t timeSize = 4;
  if (bytes[4] >= '2') {
    at += blockSize(c, 4);
    if (!countsAt(at, c)) return nullptr;
    at += kHeader;
    timeSize = 8;
  }
  if (at + blockSize(c, timeSize) > bytes.size()) return nullptr;
  auto zone = std::make_shared<Zone>();
  for (uint64_t i = 0; i < c.time; ++i) zone->times.push_back(BigEndian(bytes, at + i * timeSize, timeSize));
  at += c.time * timeSize;
  for (uint64_t i = 0; i < c.time; ++i) {
    const uint8_t type = uint8_t(bytes[at + i]);
    if (type >= c.type) return nullptr;
    zone->types.push_back(type);
  }
  at += c.time;
  for (uint64_t i = 0; i < c.type; ++i) zone->offsets.push_back(int32_t(BigEndian(bytes, at + i * 6, 4)));
  at += blockSize(c, timeSize) - c.time * timeSize - c.time;
  if (timeSize == 8 && at < bytes.size() && bytes[at] == '\n') {
    const size_t end = bytes.find('\n', at + 1);
    if (end != std::string::npos) zone->footer = bytes.substr(at + 1, end - at - 1);
  }
  if (!std::is_sorted(zone->times.begin(), zone->times.end())) return nullptr;
  return zone;
}

std::shared_ptr<const Zone> LoadZone(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<const Zone>> cache;
  std::lock_guard<std::mutex> lock(mutex);
  const auto found = cache.find(name);
  if (found != cache.end()) return found->second;
  const char* dir = std::getenv("TZDIR");
  const std::string path =
      std::string(dir != nullptr && *dir != '\0' ? dir : "/usr/share/zoneinfo") + "/" + name;
  std::shared_ptr<const Zone> zone;
  std::ifstream in(path, std::ios::binary);
  if (in) {
    std::string bytes;
    bytes.resize(1 << 20);
    in.read(bytes.data(), std::streamsize(bytes.size()));
    bytes.resize(size_t(in.gcount()));
    zone = ReadZone(bytes);
  }
  if (cache.size() < 4096) cache.emplace(name, zone);
  return zone;
}

// ----- POSIX TZ rules -------------------------------------------------------------------------

int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int64_t YearOfDays(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  return yoe + era * 400 + (m <= 2);
}

bool Leap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

class RuleReader {
 public:
  explicit RuleReader(std::string_view text) : s_(text) {}
  bool AtEnd() const { return i_ >= s_.size(); }
  bool Take(char c) {
    if (i_ < s_.size() && s_[i_] == c) return ++i_, true;
    return false;
  }
  bool Name() {
    if (Take('<')) {
      const size_t close = s_.find('>', i_);
      if (close == std::string_view::npos) return false;
      i_ = close + 1;
      return true;
    }
    const size_t start = i_;
    while (i_ < s_.size() && ((s_[i_] >= 'A' && s_[i_] <= 'Z') || (s_[i_] >= 'a' && s_[i_] <= 'z')))
      ++i_;
    return i_ - start >= 3;
  }
  bool Number(int64_t& v, int maxDigits) {
    const size_t start = i_;
    v = 0;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9' && int(i_ - start) < maxDigits)
      v = v * 10 + (s_[i_++] - '0');
    return i_ > start;
  }
  // [+|-]hh[:mm[:ss]] in seconds.
  bool Time(int64_t& seconds) {
    int64_t sign = 1;
    if (Take('-')) sign = -1;
    else Take('+');
    int64_t h = 0, m = 0, sec = 0;
    if (!Number(h, 3)) return false;
    if (Take(':') && (!Number(m, 2) || (Take(':') && !Number(sec, 2)))) return false;
    seconds = sign * (h * 3600 + m * 60 + sec);
    return true;
  }
  bool Next(char c) const { return i_ < s_.size() && s_[i_] == c; }

 private:
  std::string_view s_;
  size_t i_ = 0;
};

struct RuleDate {
  char form = 'M';  // 'J' (1..365, no Feb 29), 'N' (0..365), 'M' (month.week.day)
  int64_t a = 0, b = 0, c = 0;
  int64_t time = 7200;
};

bool ReadRuleDate(RuleReader& r, RuleDate& d) {
  if (r.Take('J')) {
    d.form = 'J';
    if (!r.Number(d.a, 3) || d.a < 1 || d.a > 365) return false;
  } else if (r.Take('M')) {
    d.form = 'M';
    if (!r.Number(d.a, 2) || !r.Take('.') || !r.Number(d.b, 1) || !r.Take('.') ||
        !r.Number(d.c, 1) || d.a < 1 || d.a > 12 || d.b < 1 || d.b > 5 || d.c > 6) {
      return false;
    }
  } else {
    d.form = 'N';
    if (!r.Number(d.a, 3) || d.a > 365) return false;
  }
  if (r.Take('/') && !r.Time(d.time)) return false;
  return true;
}

// The day (since 1970) a rule date falls on in `year`.
int64_t RuleDay(const RuleDate& d, int64_t year) {
  const int64_t jan1 = DaysFromCivil(year, 1, 1);
  if (d.form == 'J') return jan1 + d.a - 1 + (Leap(year) && d.a >= 60 ? 1 : 0);
  if (d.form == 'N') return jan1 + d.a;
  static constexpr int kMonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int64_t first = DaysFromCivil(year, d.a, 1);
  const int64_t weekday = ((first % 7) + 11) % 7;  // 1970-01-01 was a Thursday (4)
  int64_t day = first + (d.c - weekday + 7) % 7 + (d.b - 1) * 7;
  const int64_t length = kMonthDays[d.a - 1] + (d.a == 2 && Leap(year) ? 1 : 0);
  while (day >= first + length) day -= 7;
  return day;
}

}  // namespace

std::optional<int64_t> PosixRuleOffsetAt(std::string_view rule, int64_t unixSeconds) {
  RuleReader r(rule);
  int64_t stdWest = 0;
  if (!r.Name() || !r.Time(stdWest)) return std::nullopt;
  const int64_t stdOffset = -stdWest;
  if (r.AtEnd()) return stdOffset;
  if (!r.Name()) return std::nullopt;
  int64_t dstOffset = stdOffset + 3600;
  if (!r.Next(',') && !r.AtEnd()) {
    int64_t dstWest = 0;
    if (!r.Time(dstWest)) return std::nullopt;
    dstOffset = -dstWest;
  }
  RuleDate start, end;
  if (!r.Take(',') || !ReadRuleDate(r, start) || !r.Take(',') || !ReadRuleDate(r, end) ||
      !r.AtEnd()) {
    return std::nullopt;
  }
  const int64_t localDay = (unixSeconds + stdOffset) / 86400 - ((unixSeconds + stdOffset) % 86400 < 0);
  const int64_t year = YearOfDays(localDay);
  const int64_t startAt = RuleDay(start, year) * 86400 + start.time - stdOffset;
  const int64_t endAt = RuleDay(end, year) * 86400 + end.time - dstOffset;
  const bool dst = startAt < endAt ? (unixSeconds >= startAt && unixSeconds < endAt)
                                   : !(unixSeconds >= endAt && unixSeconds < startAt);
  return dst ? dstOffset : stdOffset;
}

std::optional<int64_t> ZoneOffsetAt(std::string_view zone, double unixSeconds) {
  if (!SafeZoneName(zone) || !std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 1e13)
    return std::nullopt;
  const std::shared_ptr<const Zone> z = LoadZone(std::string(zone));
  if (z == nullptr) return std::nullopt;
  const int64_t t = int64_t(std::floor(unixSeconds));
  if (z->times.empty() || t >= z->times.back()) {
    if (!z->footer.empty()) {
      if (auto offset = PosixRuleOffsetAt(z->footer, t)) return offset;
    }
    if (z->times.empty()) return z->offsets.front();
    return z->offsets[z->types.back()];
  }
  if (t < z->times.front()) return z->offsets.front();
  const size_t i = size_t(std::upper_bound(z->times.begin(), z->times.end(), t) - z->times.begin()) - 1;
  return z->offsets[z->types[i]];
}

Cell ZonedDate(double unixSeconds, const std::string& zone) {
  if (zone.empty()) return Cell::Date(unixSeconds);
  if (const auto offset = ZoneOffsetAt(zone, unixSeconds))
    return Cell::DateAt(unixSeconds, *offset, zone);
  return Cell::Date(unixSeconds, zone);
}

}  // namespace halvern
