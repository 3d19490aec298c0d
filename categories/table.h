// A kind of data read as a table: typed columns and rows. Every table category (voicemail,
// voice memos, ...) hands its items over in this one form, and everything that shows or writes
// them — the desktop list and preview, the recovered pages, CSV, .txt, `scan --json`, print —
// reads only this form, never the kind itself.
//
// Values stay as the phone holds them: a date is the instant the database stores (seconds
// since 1970, fractions kept) with the zone or offset it was stored with when the database
// keeps one; a duration is the stored number of seconds. Only the shown texts format
// (ShownText); the JSON and CSV forms (JsonValue, CsvText) keep the stored values.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace halvern {

enum class ColumnType : uint8_t {
  kText,      // a text
  kDate,      // an instant, with its zone or offset when the database keeps one
  kDuration,  // seconds
  kNumber,    // an integer or a real
  kPlace,     // latitude and longitude
  kFile,      // the name of a file of the backup that the row owns (see TableRow::files)
  kFlag,      // yes or no (stored as an integer)
  kList,      // several texts (the names of the groups an item is in, ...)
};
// "text", "date", "duration", "number", "place", "file", "flag", "list".
const char* ColumnTypeName(ColumnType type);

struct TableColumn {
  std::string key;    // "date", "transcript", ...: the JSON member and the CSV header
  std::string title;  // "Date", "Transcript", ...: the shown header (English; translated by key)
  ColumnType type = ColumnType::kText;
};

// One value of a row.
struct Cell {
  enum class Kind : uint8_t { kNull, kText, kInteger, kReal, kDate, kPlace, kList };
  Kind kind = Kind::kNull;
  std::string text;     // kText; kDate: the zone name the database gave ("" when none)
  int64_t integer = 0;  // kInteger; kDate: the offset from UTC in seconds when hasOffset
  double real = 0;      // kReal; kDate: seconds since 1970-01-01 UTC; kPlace: latitude
  double real2 = 0;     // kPlace: longitude
  bool hasOffset = false;  // kDate: the offset is known (else the computer's local time)
  bool floating = false;   // kDate: a wall-clock time of no zone (see LocalTime)
  std::vector<std::string> items;  // kList: the texts, in order

  static Cell Null() { return {}; }
  static Cell Text(std::string value);
  static Cell Integer(int64_t value);
  static Cell Real(double value);
  // `unixSeconds` since 1970; `zone` a zone name to show beside it (may be empty).
  static Cell Date(double unixSeconds, std::string zone = {});
  // The same with a known offset from UTC (seconds east).
  static Cell DateAt(double unixSeconds, int64_t offsetSeconds, std::string zone = {});
  // A wall-clock time that belongs to no zone (a "floating" time: 09:00 wherever one is), given
  // as the seconds since 1970 of that wall-clock time read as UTC. It shows as stored on every
  // computer; its ISO 8601 form has no offset ("2021-09-14T09:00:00").
  static Cell LocalTime(double wallClockSeconds);
  static Cell Place(double latitude, double longitude);
  static Cell List(std::vector<std::string> items);

  bool IsNull() const { return kind == Kind::kNull; }
  // The value as a number (integers, reals, dates' seconds); 0 for texts and null.
  double Number() const;
  bool operator==(const Cell&) const = default;
};

// A file of the backup that a row owns (a voicemail's audio, a memo's recording).
struct OwnedFile {
  std::string name;       // the file's name on the phone ("12.amr")
  std::string phonePath;  // domain and path on the phone ("HomeDomain-Library/Voicemail/12.amr")
  std::filesystem::path path;  // the data file in the backup
  std::string mime;       // "audio/amr", "audio/mp4", ...
  uint64_t size = 0;
  bool operator==(const OwnedFile&) const = default;
};

// Where a row was found.
enum class ItemSource : uint8_t {
  kLive,    // a row of the table
  kCarved,  // carved from free space or freed pages
  kWal,     // an older version kept by the write-ahead log
};
// "live", "carved", "wal".
const char* ItemSourceName(ItemSource origin);

struct TableRow {
  int32_t deleted = 0;  // the phone deleted it (in its trash) or it was carved
  ItemSource origin = ItemSource::kLive;
  std::vector<Cell> cells;  // one per column
  std::vector<OwnedFile> files;
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};

struct CategoryTable {
  std::vector<TableColumn> columns;
  std::vector<TableRow> rows;

  // The column of `key`, or -1.
  int ColumnIndex(std::string_view key) const;
  size_t DeletedCount() const;
};

// ----- The forms a value takes ------------------------------------------------------------------

// The value in `scan --json`: null, a string (text, file; a date as ISO 8601 with its offset,
// "2017-03-04T10:00:00+01:00", fractions of a second kept; a floating time without one), a number (number, duration), true or
// false (flag), {"latitude", "longitude"} (place), an array of strings (list).
nlohmann::json JsonValue(const Cell& cell, ColumnType type);
// The value in a CSV file or a .txt: the JSON form as plain text (a place "lat,lon"; a flag as
// stored, 0 or 1; a list its items as stored joined by "; "; null empty).
std::string CsvText(const Cell& cell, ColumnType type);
// The value as lists and pages show it: a date "YYYY-MM-DD hh:mm:ss" in local time (at its own
// offset when the database gave one, with the zone name after it), a duration "1 Min 5 Sec",
// a flag "Yes" or "", a place "52.520000, 13.405000", a list its items joined by ", ".
std::string ShownText(const Cell& cell, ColumnType type);
// ISO 8601 with the offset: the local one of the computer unless the date carries its own; none
// for a floating time.
std::string IsoDate(const Cell& date);

// The MIME type of an audio, video or picture file by its name's extension ("" when unknown).
std::string MimeOfName(std::string_view name);

}  // namespace halvern
