// Reading one table of a phone database by column name: its live rows, then the older versions
// the write-ahead log keeps, then the rows carved from free space and freed pages — each with
// where it came from. Column positions come from the file's own CREATE TABLE text, so columns
// appended by upgrades and rows stored before them read right.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "categories/table.h"
#include "sqlite_recovery/reader.h"
#include "sqlite_recovery/scan.h"
#include "sqlite_recovery/time_format.h"

namespace halvern {

// One row of a table, valid during the callback.
class RowView {
 public:
  RowView(const ScannedRow& row, const TableSchema& table) : row_(row), table_(table) {}

  bool Has(std::string_view column) const { return Find(column) != nullptr; }
  // Null, lost (a carved row's value that did not survive) or absent: nullopt.
  std::optional<int64_t> Integer(std::string_view column) const;
  std::optional<double> Real(std::string_view column) const;  // integers too
  std::optional<std::string> Text(std::string_view column) const;
  std::optional<int64_t> Rowid() const { return row_.record.rowid; }
  bool deleted() const { return row_.deleted; }
  ItemSource origin() const;

 private:
  const Value* Find(std::string_view column) const;
  const ScannedRow& row_;
  const TableSchema& table_;
};

// Calls `onRow` for every row of `table` (live, log versions, carved); `onRow` returns false to
// stop. kOk; kSqliteStopped when stopped; kInvalidParameter when the file has no such table; a
// read fault of the table's tree (rows given stay given).
int32_t ForEachRow(CSqliteFileReader& reader, std::string_view table,
                   const std::function<bool(const RowView& row)>& onRow);

// A date is taken as plausible from 2000 to 2100; carved rows with others are junk.
bool PlausibleUnixDate(double unixSeconds);

}  // namespace halvern
