// Databases made with the real SQLite library for the reader tests, and the rows the library
// itself returns from them.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

#include "sqlite_recovery/scan.h"

namespace halvern::test {

// A database file in a fresh temporary folder, removed with the object.
class TempDb {
 public:
  explicit TempDb(const std::string& name = "t.db");
  ~TempDb();
  TempDb(const TempDb&) = delete;
  TempDb& operator=(const TempDb&) = delete;
  const std::string& path() const { return path_; }
  const std::filesystem::path& dir() const { return dir_; }
  // Runs SQL on the file (opening it if needed); fails the test on an error.
  void Exec(const std::string& sql);
  void Close();

 private:
  std::filesystem::path dir_;
  std::string path_;
  sqlite3* db_ = nullptr;
};

// One value as text for comparisons: "NULL", "i:<n>", "r:<%.17g>", "t:<text>", "b:<hex>".
using RowText = std::vector<std::string>;

// The rows SELECT * returns, with the rowid prepended as "i:<n>" (tables with rowid; in rowid
// order). withRowid false: SELECT * alone, in the table's key order (WITHOUT ROWID tables).
std::vector<RowText> SelectAll(const std::string& path, const std::string& table,
                               bool withRowid = true);

// The rows of a table as the reader gives them, in the same text form ("?" first when the row
// has no rowid, then one value per declared column): the live rows, or with deleted the
// deleted ones.
std::vector<RowText> ReaderRows(CSqliteFileReader& reader, const std::string& table,
                                bool deleted = false);

// Copies a database and its write-ahead log (when there is one) into folder, as a file-system
// copy of a database in use would be: no -shm. Returns the copy's path.
std::string CopyWithWal(const std::string& path, const std::filesystem::path& folder);

}  // namespace halvern::test
