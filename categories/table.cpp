// The forms of a table's values (see table.h).
#include "categories/table.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

namespace halvern {

const char* ColumnTypeName(ColumnType type) {
  switch (type) {
    case ColumnType::kText: return "text";
    case ColumnType::kDate: return "date";
    case ColumnType::kDuration: return "duration";
    case ColumnType::kNumber: return "number";
    case ColumnType::kPlace: return "place";
    case ColumnType::kFile: return "file";
    case ColumnType::kFlag: return "flag";
    case ColumnType::kList: return "list";
  }
  return "text";
}

const char* ItemSourceName(ItemSource origin) {
  switch (origin) {
    case ItemSource::kLive: return "live";
    case ItemSource::kCarved: return "carved";
    case ItemSource::kWal: return "wal";
  }
  return "live";
}

Cell Cell::Text(std::string value) {
  Cell c;
  c.kind = Kind::kText;
  c.text = std::move(value);
  return c;
}
Cell Cell::Integer(int64_t value) {
  Cell c;
  c.kind = Kind::kInteger;
  c.integer = value;
  return c;
}
Cell Cell::Real(double value) {
  Cell c;
  c.kind = Kind::kReal;
  c.real = value;
  return c;
}
Cell Cell::Date(double unixSeconds, std::string zone) {
  Cell c;
  c.kind = Kind::kDate;
  c.real = unixSeconds;
  c.text = std::move(zone);
  return c;
}
Cell Cell::DateAt(double unixSeconds, int64_t offsetSeconds, std::string zone) {
  Cell c = Date(unixSeconds, std::move(zone));
  c.integer = offsetSeconds;
  c.hasOffset = true;
  return c;
}
Cell Cell::LocalTime(double wallClockSeconds) {
  Cell c = DateAt(wallClockSeconds, 0);
  c.floating = true;
  return c;
}
Cell Cell::Place(double latitude, double longitude) {
  Cell c;
  c.kind = Kind::kPlace;
  c.real = latitude;
  c.real2 = longitude;
  return c;
}

Cell Cell::List(std::vector<std::string> items) {
  Cell c;
  c.kind = Kind::kList;
  c.items = std::move(items);
  return c;
}

double Cell::Number() const {
  switch (kind) {
    case Kind::kInteger: return double(integer);
    case Kind::kReal:
    case Kind::kDate: return real;
    default: return 0;
  }
}

int CategoryTable::ColumnIndex(std::string_view key) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (columns[i].key == key) return int(i);
  }
  return -1;
}

size_t CategoryTable::DeletedCount() const {
  return size_t(std::count_if(rows.begin(), rows.end(),
                              [](const TableRow& r) { return r.deleted != 0; }));
}

namespace {

// The broken-down time of a date: at its own offset, else in the computer's local time.
// False when the instant cannot be broken down.
bool BreakDown(const Cell& date, std::tm& tm, long& offset, double& fraction) {
  if (!std::isfinite(date.real) || std::fabs(date.real) > 1e14) return false;
  const double whole = std::floor(date.real);
  fraction = date.real - whole;
  time_t t = time_t(whole);
  if (date.hasOffset) {
    t += time_t(date.integer);
    if (gmtime_r(&t, &tm) == nullptr) return false;
    offset = long(date.integer);
  } else {
    if (localtime_r(&t, &tm) == nullptr) return false;
    offset = tm.tm_gmtoff;
  }
  return true;
}

// A number as JSON keeps it: integers as integers.
std::string NumberText(double value) {
  char text[64];
  if (std::isfinite(value) && value == std::floor(value) && std::fabs(value) < 9e15) {
    std::snprintf(text, sizeof text, "%lld", static_cast<long long>(value));
  } else {
    // The shortest text that reads back as the same double.
    const auto end = std::to_chars(text, text + sizeof text, value).ptr;
    return std::string(text, end);
  }
  return text;
}

std::string CellNumberText(const Cell& cell) {
  switch (cell.kind) {
    case Cell::Kind::kInteger: return std::to_string(cell.integer);
    case Cell::Kind::kReal: return NumberText(cell.real);
    case Cell::Kind::kText: return cell.text;
    default: return {};
  }
}

std::string DurationText(double seconds) {
  if (!std::isfinite(seconds)) return {};
  const int64_t s = int64_t(std::max(0.0, std::min(seconds, 9e15)));
  char text[64];
  if (s < 60) {
    std::snprintf(text, sizeof text, "%lld Sec", static_cast<long long>(s));
  } else if (s < 3600) {
    std::snprintf(text, sizeof text, "%lld Min %lld Sec", static_cast<long long>(s / 60),
                  static_cast<long long>(s % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld Hour %lld Min", static_cast<long long>(s / 3600),
                  static_cast<long long>(s % 3600 / 60));
  }
  return text;
}

std::string Joined(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

}  // namespace

std::string IsoDate(const Cell& date) {
  if (date.kind != Cell::Kind::kDate) return {};
  std::tm tm{};
  long offset = 0;
  double fraction = 0;
  if (!BreakDown(date, tm, offset, fraction)) return NumberText(date.real);
  char text[96];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", tm.tm_year + 1900,
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  std::string out(text, size_t(n));
  if (fraction > 0) {
    // Milliseconds are what the phone's dates carry; trailing zeros dropped.
    std::snprintf(text, sizeof text, "%.3f", fraction);
    std::string digits = std::string(text).substr(1);  // ".250"
    while (digits.size() > 2 && digits.back() == '0') digits.pop_back();
    if (digits != ".0") out += digits;
  }
  if (date.floating) return out;
  const long a = offset < 0 ? -offset : offset;
  std::snprintf(text, sizeof text, "%c%02ld:%02ld", offset < 0 ? '-' : '+', a / 3600,
                a % 3600 / 60);
  return out + text;
}

nlohmann::json JsonValue(const Cell& cell, ColumnType type) {
  using nlohmann::json;
  if (cell.kind == Cell::Kind::kNull) return nullptr;
  switch (type) {
    case ColumnType::kDate:
      if (cell.kind == Cell::Kind::kDate) return IsoDate(cell);
      break;
    case ColumnType::kFlag:
      if (cell.kind == Cell::Kind::kInteger) return cell.integer != 0;
      break;
    case ColumnType::kPlace:
      if (cell.kind == Cell::Kind::kPlace)
        return json{{"latitude", cell.real}, {"longitude", cell.real2}};
      break;
    default:
      break;
  }
  switch (cell.kind) {
    case Cell::Kind::kText: return cell.text;
    case Cell::Kind::kInteger: return cell.integer;
    case Cell::Kind::kReal:
      return std::isfinite(cell.real) ? json(cell.real) : json(nullptr);
    case Cell::Kind::kDate: return IsoDate(cell);
    case Cell::Kind::kPlace:
      return json{{"latitude", cell.real}, {"longitude", cell.real2}};
    case Cell::Kind::kList: return json(cell.items);
    case Cell::Kind::kNull: break;
  }
  return nullptr;
}

std::string CsvText(const Cell& cell, ColumnType) {
  switch (cell.kind) {
    case Cell::Kind::kNull: return {};
    case Cell::Kind::kDate: return IsoDate(cell);
    case Cell::Kind::kPlace: return NumberText(cell.real) + "," + NumberText(cell.real2);
    case Cell::Kind::kList: return Joined(cell.items, "; ");
    default: return CellNumberText(cell);
  }
}

std::string ShownText(const Cell& cell, ColumnType type) {
  if (cell.kind == Cell::Kind::kNull) return {};
  switch (type) {
    case ColumnType::kDate: {
      if (cell.kind != Cell::Kind::kDate) break;
      std::tm tm{};
      long offset = 0;
      double fraction = 0;
      if (!BreakDown(cell, tm, offset, fraction)) return {};
      char text[64];
      std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
      return cell.text.empty() ? std::string(text) : std::string(text) + " (" + cell.text + ")";
    }
    case ColumnType::kDuration:
      if (cell.kind == Cell::Kind::kInteger || cell.kind == Cell::Kind::kReal)
        return DurationText(cell.Number());
      break;
    case ColumnType::kFlag:
      if (cell.kind == Cell::Kind::kInteger) return cell.integer != 0 ? "Yes" : "";
      break;
    case ColumnType::kList:
      if (cell.kind == Cell::Kind::kList) return Joined(cell.items, ", ");
      break;
    case ColumnType::kPlace:
      if (cell.kind == Cell::Kind::kPlace) {
        char text[96];
        std::snprintf(text, sizeof text, "%.6f, %.6f", cell.real, cell.real2);
        return text;
      }
      break;
    default:
      break;
  }
  return CsvText(cell, type);
}

std::string MimeOfName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string ext = platform::AsciiLower(std::string(name.substr(dot + 1)));
  static constexpr struct {
    const char* ext;
    const char* mime;
  } kTypes[] = {
      {"amr", "audio/amr"},   {"m4a", "audio/mp4"},      {"caf", "audio/x-caf"},
      {"mp3", "audio/mpeg"},  {"wav", "audio/wav"},      {"opus", "audio/ogg"},
      {"ogg", "audio/ogg"},   {"aac", "audio/aac"},      {"qta", "video/quicktime"},
      {"mov", "video/quicktime"}, {"mp4", "video/mp4"},  {"m4v", "video/mp4"},
      {"jpg", "image/jpeg"},  {"jpeg", "image/jpeg"},    {"png", "image/png"},
      {"heic", "image/heic"}, {"heif", "image/heif"},    {"gif", "image/gif"},
      {"pdf", "application/pdf"},
  };
  for (const auto& t : kTypes) {
    if (ext == t.ext) return t.mime;
  }
  return {};
}

}  // namespace halvern
