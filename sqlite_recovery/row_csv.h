// Raw row exports: every row of the message table (sms.db) and of the address book's search
// table (ABPersonFullTextSearch_content), live and deleted, written as lines of
// comma-separated SQL literal values, one row per line, so that each line could be inserted
// back into its table.
//
// Line format (no header line):
//   rowid,value of column 1,value of column 2,...\r\n
//   - the rowid comes first and stands for the table's INTEGER PRIMARY KEY column;
//   - NULL and a value that did not survive carving: NULL
//   - integers (every width) in decimal; reals with 17 significant digits;
//   - texts as RFC 4180 writes them: in double quotes, each double quote doubled and nothing
//     else changed, taken up to their first zero byte; an empty text is ""
//   - blobs as two lower-case hexadecimal digits per byte, unquoted;
//   - every line has one field per column of the table (the rowid column counted once):
//     rows written before the table gained columns are padded with NULL.
// Deleted message rows are rewritten to stand as new rows: a rowid after the largest one
// of the table and a new guid built from it. Every other value, the message's own dates and
// read state among them, is written as the row holds it.
#pragma once

#include <cstdint>
#include <string>

#include "sqlite_recovery/reader.h"
#include "sqlite_recovery/scan.h"

namespace halvern {

// The guid of a rewritten deleted message: this prefix and the rowid as 12 upper-case
// hexadecimal digits.
inline constexpr const char* kRewrittenGuidPrefix = "27B99F78-F6F0-475F-8BA1-";

// Seconds since 2001-01-01 00:00:00 UTC of the present moment: the value a message's date
// column holds for "now" (the inverse of FormatMacTime).
int64_t CurrentMacSeconds();

// Exports every row of `message` to `outputPath`, appending to the file. Carved rows and rows
// without a rowid take reader.MaxRowid + 1, + 2, ... (the counter advances; the caller sets it
// to the largest message rowid the scan met). Deleted rows keep their dates (`nowMacSeconds`
// is no longer written into any row and is kept for callers); a deleted row whose account_guid holds anything but NULL or a 36-character
// guid is taken for a false record and left out, as is any row whose message text is not valid UTF-8 or that holds a
// value cut short. Returns 0; 87 when the reader is not open or the file has no message table;
// the errno value when the file cannot be opened or written; a read fault of the table's tree
// (the rows read until then are written).
int32_t ExportMessagesCsv(CSqliteFileReader& reader, const std::string& outputPath,
                          int64_t nowMacSeconds = CurrentMacSeconds());

// Exports every row of ABPersonFullTextSearch_content to `outputPath` the same way; carved
// rows and rows without a rowid take reader.ContactsExportRowid + 1, ... A row with a text
// that is not valid UTF-8 or a value cut short is left out. Same results as above.
int32_t ExportContactsCsv(CSqliteFileReader& reader, const std::string& outputPath);

// The line of one scanned row of the message table (`messageTable` true) or the address
// book; false when the row is refused. `counter` is the rowid counter; `reader` supplies the
// table's schema and column positions. Exposed for tests.
bool RowCsvLine(CSqliteFileReader& reader, bool messageTable, const ScannedRow& row,
                uint64_t& counter, int64_t nowMacSeconds, std::string& line);

}  // namespace halvern
