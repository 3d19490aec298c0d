// Generic dump of any SQLite file: every table, every column typed, live and carved rows with
// where each was found, as one JSON document.
#pragma once

#include <cstdint>
#include <string>

#include "sqlite_recovery/reader.h"

namespace halvern {

struct SqliteDumpOptions {
  std::string table;     // only this table (case-insensitive); empty: every table
  bool live = true;      // live rows
  bool carve = true;     // rows carved from the free space of the tables' pages
  bool freelist = true;  // rows of freed pages
  bool wal = true;       // apply the write-ahead log beside the file; carve its older pages
};

// The document:
//   {"file": "...", "pageSize": n, "wal": {"frames": n, "committedFrames": n} | null,
//    "tables": [
//     {"name": "t" | null, "columns": ["a", ...], "rows": [
//       {"deleted": 0|1, "rowid": n|null, "source": "live"|"freeblock"|"unallocated"|
//        "afterLastCell"|"stalePointer"|"freelist"|"wal"|"walReplaced", "page": n,
//        "offset": n, ["frame": n,] ["score": n,] "values": [...]}]}]}
// Values: integers and reals as numbers, text as strings, blobs as {"hex": "..."}, NULL and
// lost values as null. The entry named null holds carved rows that belong to no table.
// "wal" is null when no write-ahead log was applied; rows of "wal" give the log frame whose
// older page version held them. Rows of WITHOUT ROWID tables have "rowid": null.
// Returns 0, or the status of Open (the document is then empty).
int32_t DumpSqliteJson(const std::string& path, const SqliteDumpOptions& options,
                       std::string& json);
// The same over an open reader; fileLabel is the "file" member.
int32_t DumpSqliteJson(CSqliteFileReader& reader, const std::string& fileLabel,
                       const SqliteDumpOptions& options, std::string& json);

}  // namespace halvern
