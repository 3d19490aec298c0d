// Helpers shared by the extractors: opening a database read-only with the extractors' result
// codes, reading the address book, and text comparisons.
#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sqlite_recovery/reader.h"
#include "sqlite_recovery/scan.h"
#include "sqlite_recovery/text.h"
#include "sqlite_recovery/records.h"

namespace halvern::extract {

// Opens `path` with the reader: 0; 87 when the file does not exist or is not a SQLite
// database; the errno value when it exists but cannot be opened. (A missing file is 87 rather
// than ENOENT, whose value 2 would read as "stopped by the user".)
int32_t OpenDatabase(CSqliteFileReader& reader, const std::string& path);

// The people of an open address book: names from ABPersonFullTextSearch_content (from ABPerson
// in an older book without that table); each person's numbers, e-mail addresses and postal
// addresses with their labels from ABMultiValue (structured values joined from their
// ABMultiValueEntry parts in key order) into `numbers`, `emails` and `addresses` wherever it
// holds them; `phones`, `email` and `address` keep the search row's texts. A person without a
// first or last name takes the organisation as name. 0 or the status of the scan.
int32_t DecodeAddressBook(CSqliteFileReader& reader, std::vector<ContactItem>& out);

// Reads the address book's contacts for name lookups (no clean-up). False when the file
// cannot be read; `out` is then empty.
bool ReadAddressBook(CSqliteFileReader& reader, const std::string& path, bool newerSchema,
                     std::vector<ContactItem>& out);

inline const Value kNoValue{};

// The columns of one table by name; a name the table lacks reads as NULL.
class Columns {
 public:
  Columns(const CSqliteFileReader& reader, std::string_view table,
          std::initializer_list<std::string_view> names) {
    const TableSchema* schema = reader.FindTable(table);
    present_ = schema != nullptr && schema->parsed;
    for (std::string_view n : names) {
      index_.push_back(present_ ? schema->ColumnIndex(n) : -1);
      count_ = std::max<uint32_t>(count_, uint32_t(index_.back() + 1));
    }
    if (present_) count_ = std::max<uint32_t>(count_, schema->declaredColumnCount);
  }
  bool present() const { return present_; }
  bool has(size_t i) const { return index_[i] >= 0; }
  uint32_t count() const { return count_; }
  const Value& at(const Record& r, size_t i) const {
    return index_[i] < 0 ? kNoValue : r[size_t(index_[i])];
  }

 private:
  bool present_ = false;
  uint32_t count_ = 0;
  std::vector<int32_t> index_;
};

// Walks the live and carved rows of a table that has a schema (those `base` asks for).
template <class OnRow>
void Walk(CSqliteFileReader& reader, std::string_view table, const Columns& c, OnRow onRow,
          const ScanOptions& base = {}) {
  if (!c.present()) return;
  reader.TableName = std::string(table);
  ScanOptions scan = base;
  scan.fallbackColumns = c.count();
  ScanTable(reader, table, scan, [&](const ScannedRow& row) {
    onRow(row);
    return true;
  });
}

inline int64_t IntOf(const Value& v) { return v.IsInteger() ? v.integer : 0; }

// A text value, complete and well-formed; false when it is cut short or ill-formed (a carved
// row with such a text is refused).
inline bool GoodText(const Value& v, std::string& out) {
  out.clear();
  if (!v.IsText()) return !v.truncated;
  if (v.truncated || !IsValidUtf8(v.bytes) || v.bytes.find('\0') != std::string_view::npos)
    return false;
  out.assign(v.bytes);
  return true;
}

inline std::string PlainTextOf(const Value& v) {
  std::string out;
  GoodText(v, out);
  return out;
}

// Less-than without regard to ASCII case (bytes compared as unsigned).
bool LessIgnoreCase(std::string_view a, std::string_view b);


}  // namespace halvern::extract
