// The scan driver: walks one table (or every table of a file) and hands each live row and each
// carved deleted row, with where it was found, to a callback. The table decoders and the
// generic dump are written on top of it.
//
// Order of rows for one table: live rows in key order (b-tree order), then the carved rows of
// the table's own leaf pages (by page, then offset), then the rows of freed pages that belong to
// the table: the intact cells of each freed leaf page and the records carved from its free space.
// When a write-ahead log was applied, the rows of the older versions of pages it keeps come
// right after the live rows (superseded frames and frames of its earlier generation, in log
// order, then the main file's copies of the pages the log replaced; intact cells and carved
// records alike): their whole cells win over the partial copies free space keeps.
//
// Values read as SQLite reads them: a record shorter than its table (stored before an ADD
// COLUMN) gives the declared defaults of the missing columns; WITHOUT ROWID tables (index
// b-trees) give their rows in declared column order with no rowid (their rows are not carved).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "sqlite_recovery/carve.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

// Where a row was found.
struct RowOrigin {
  RowSource source = RowSource::kLive;
  uint32_t page = 0;       // 1-based page number
  uint32_t offset = 0;     // offset within that page (cell start, or first surviving byte)
  bool freedPage = false;  // the page is on the freelist (source kFreelist for its intact
                           // cells; carved records of a freed page keep their scanner's source)
  uint32_t frame = 0;      // source kWal: the write-ahead log frame the page version came from
};

// One row handed to the callback. `record` and the bytes its values point at are valid only
// during the callback.
struct ScannedRow {
  const Record& record;
  RowOrigin origin;
  bool deleted = false;  // everything but live rows of the table's own tree
  int32_t score = 0;     // carving score (0 for intact cells: live and freed-page cells)
};

// Return false to stop the scan (the scan then returns kSqliteStopped).
using RowCallback = std::function<bool(const ScannedRow& row)>;

struct ScanOptions {
  bool live = true;      // live rows of the table's tree
  bool carve = true;     // carving of the free space of the table's leaf pages
  bool freelist = true;  // cells and free space of freed pages that belong to the table
  bool wal = true;       // older page versions kept by the write-ahead log (with carve or
                         // freelist only: live rows alone mean no older versions)
  // Column count to carve with when the schema cannot tell it (no CREATE TABLE text, or none
  // parsed): the decoders pass their fixed count. 0: carve only when the schema tells it.
  uint32_t fallbackColumns = 0;
  // Records of the INTEGER PRIMARY KEY column are stored as NULL; give them the rowid (or kLost
  // when the rowid did not survive), as a SELECT would.
  bool substituteRowid = true;
  // Leave out carved rows that equal a live row value for value: stale copies of live rows
  // that page rebuilds leave in free space and on freed pages. Older versions of updated rows
  // differ and stay.
  bool skipLiveCopies = true;
  // Give a deleted record found twice (in free space and on a freed copy of its page) once.
  bool skipCarvedRepeats = true;
  // How many fingerprints of live rows (for skipLiveCopies) stay in memory; a table with more
  // has them sorted into a temporary file and looked up there. 0: about a million (8 MiB).
  size_t liveFingerprintsInMemory = 0;
  // Live rows only (no carving): decode no more than the first columnLimit columns (0: all).
  // Later columns read as NULL. Saves time when a reader needs a few leading columns.
  uint32_t columnLimit = 0;
  // Threads that carve a table's own pages: 1 carves them on the calling thread; 2 carves
  // them on it and one helper thread, the rows still handed on in the same order, on the
  // calling thread.
  uint32_t carveThreads = 1;
};

struct ScanStats {
  uint64_t liveRows = 0;
  uint64_t carvedRows = 0;     // from free space (own pages and freed pages)
  uint64_t freedPageRows = 0;  // intact cells of freed pages
  uint64_t walRows = 0;        // rows of older page versions of the write-ahead log
  TableShape shape;            // the shape the carving used (schema widened by live rows)
};

// Scans one table by name (the schema's spelling, compared case-insensitively). The table's
// root comes from the schema; column count and types for carving from its CREATE TABLE text
// and its live records. Freed pages are given to the table whose shape they fit best (ties go
// to every tied table). Returns 0, kSqliteStopped, kSqliteInvalid when the reader is not open,
// or a read fault of a page of the table's tree (rows already given stay given).
int32_t ScanTable(CSqliteFileReader& reader, std::string_view table, const ScanOptions& options,
                  const RowCallback& onRow, ScanStats* stats = nullptr);

// Scans every table of the schema, then the freed pages and free space that belong to no table.
// table is nullptr for rows that belong to no table of the schema (carved from freed pages of
// dropped tables, or from pages nothing refers to).
using FileRowCallback = std::function<bool(const TableSchema* table, const ScannedRow& row)>;
int32_t ScanFile(CSqliteFileReader& reader, const ScanOptions& options,
                 const FileRowCallback& onRow);

// What ScanFileByTable hands on. Each returns false to stop the scan (kSqliteStopped).
struct TableGroupCallbacks {
  // Whether a table's rows are wanted (nullptr: the rows of no table); empty: all are.
  std::function<bool(const TableSchema* table)> want;
  // Before a wanted table's rows (always for a table of the schema; for the rows of no table
  // only when there are some), and after them.
  std::function<bool(const TableSchema* table)> begin;
  FileRowCallback row;
  std::function<bool(const TableSchema* table)> end;
};

// The rows ScanFile gives, grouped: every row of the first table of the schema (its live rows,
// the older page versions of the log, its carved rows, its freed pages), then every row of the
// next, then the rows of no table. Each row is handed on as its page is read. Kept meanwhile:
// the tables' page lists and shapes, and for the table being read the fingerprints of its
// carved rows (those of its live rows go to a temporary file beyond about a million). First
// pass: every table's shape and pages, which decide whose a freed page or an older page
// version is; the rows are then read a second time.
int32_t ScanFileByTable(CSqliteFileReader& reader, const ScanOptions& options,
                        const TableGroupCallbacks& callbacks);

}  // namespace halvern
