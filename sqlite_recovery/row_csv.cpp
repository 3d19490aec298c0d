// The raw row exports (see row_csv.h): the scan driver walks the table, live rows and carved
// ones, and each row becomes one line of SQL literal values.
#include "sqlite_recovery/row_csv.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <memory>

#include "sqlite_recovery/decoders.h"
#include "sqlite_recovery/text.h"
#include "sqlite_recovery/time_format.h"

namespace halvern {
namespace {

constexpr std::string_view kMessageTable = "message";
constexpr std::string_view kContactTable = "ABPersonFullTextSearch_content";

// Columns of the message table that the rewrite of deleted rows touches, by name; the
// positions of the classic layout stand in when the schema cannot be read.
enum MessageColumn {
  kGuid,
  kText,
  kAccountGuid,
  kDate,
  kDateRead,
  kIsFinished,
  kIsFromMe,
  kIsRead
};
ColumnPositions MessageColumns(const CSqliteFileReader& reader) {
  return ResolveColumns(
      reader, kMessageTable,
      {"guid", "text", "account_guid", "date", "date_read", "is_finished", "is_from_me", "is_read"},
      {1, 2, 13, 15, 16, 19, 21, 26}, 38, ColumnLookup::kByName);
}

// Column count and rowid column of a table, from its schema, else the classic layout.
struct TableLayout {
  uint32_t columns = 0;
  int32_t rowidColumn = 0;
};
TableLayout LayoutOf(const CSqliteFileReader& reader, std::string_view table, uint32_t fixed) {
  const TableSchema* schema = reader.FindTable(table);
  if (schema && schema->parsed && schema->declaredColumnCount > 0) {
    return {schema->declaredColumnCount, schema->rowidColumn};
  }
  return {fixed, 0};
}

bool IsCarved(const ScannedRow& row) {
  switch (row.origin.source) {
    case RowSource::kFreeblock:
    case RowSource::kUnallocated:
    case RowSource::kAfterLastCell:
    case RowSource::kStalePointer:
    case RowSource::kWal:
    case RowSource::kWalReplaced:
      return true;
    case RowSource::kLive:
    case RowSource::kFreelist:
      return false;
  }
  return false;
}

// RFC 4180: the text in double quotes, each double quote doubled; nothing else changes.
void AppendQuoted(std::string_view text, std::string& out) {
  const size_t zero = text.find('\0');
  if (zero != std::string_view::npos) text = text.substr(0, zero);
  out += '"';
  for (char c : text) {
    if (c == '"') out += c;
    out += c;
  }
  out += '"';
}

void AppendHex(std::string_view bytes, std::string& out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (char c : bytes) {
    out += kDigits[uint8_t(c) >> 4];
    out += kDigits[uint8_t(c) & 15];
  }
}

void AppendValue(const Value& v, std::string& out) {
  char buf[40];
  switch (v.type) {
    case ValueType::kNull:
    case ValueType::kLost:
      out += "NULL";
      return;
    case ValueType::kInteger:
      std::snprintf(buf, sizeof buf, "%" PRId64, v.integer);
      out += buf;
      return;
    case ValueType::kReal:
      std::snprintf(buf, sizeof buf, "%.17g", v.real);
      out += buf;
      return;
    case ValueType::kText:
      AppendQuoted(v.bytes, out);  // an empty text stays an empty text, not NULL
      return;
    case ValueType::kBlob:
      if (v.bytes.empty()) {
        out += "NULL";
      } else {
        AppendHex(v.bytes, out);
      }
      return;
  }
}

bool IsGuidText(const Value& v) {
  if (!v.IsText() || v.bytes.size() != 36) return false;
  for (char c : v.bytes) {
    if (c < '-' || c > 'z') return false;
  }
  return true;
}

int32_t Export(CSqliteFileReader& reader, bool messageTable, const std::string& outputPath,
               int64_t nowMacSeconds) {
  if (!reader.IsOpen()) return kSqliteInvalid;
  const std::string_view table = messageTable ? kMessageTable : kContactTable;
  if (!reader.FindTable(table)) return kSqliteInvalid;
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(outputPath.c_str(), "ab"), &std::fclose);
  if (!file) return errno != 0 ? errno : kSqliteInvalid;
  std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 20);  // a large export in few writes

  uint64_t& counter = messageTable ? reader.MaxRowid : reader.ContactsExportRowid;
  reader.TableName = std::string(table);
  ScanOptions options;
  options.substituteRowid = false;  // the rowid column stays NULL; the line leads with the rowid
  options.fallbackColumns = messageTable ? 38 : 24;
  int32_t writeError = 0;
  std::string line;
  const int32_t status = ScanTable(reader, table, options, [&](const ScannedRow& row) {
    if (!RowCsvLine(reader, messageTable, row, counter, nowMacSeconds, line)) return true;
    if (std::fwrite(line.data(), 1, line.size(), file.get()) != line.size()) {
      writeError = errno != 0 ? errno : EIO;
      return false;
    }
    return true;
  });
  if (std::fflush(file.get()) != 0 && writeError == 0) writeError = errno != 0 ? errno : EIO;
  if (writeError != 0) return writeError;
  return status == kSqliteStopped ? kSqliteOk : status;
}

}  // namespace

int64_t CurrentMacSeconds() { return int64_t(std::time(nullptr)) - kMacEpochOffset; }

bool RowCsvLine(CSqliteFileReader& reader, bool messageTable, const ScannedRow& row,
                uint64_t& counter, int64_t /*nowMacSeconds*/, std::string& line) {
  const Record& r = row.record;
  const TableLayout layout =
      LayoutOf(reader, messageTable ? kMessageTable : kContactTable, messageTable ? 38 : 24);
  const uint32_t columns = std::max<uint32_t>(layout.columns, uint32_t(r.values.size()));

  // Refusals: a value cut short; texts that are not valid UTF-8 (the address book: every
  // text; messages: the message text).
  ColumnPositions m;
  if (messageTable) m = MessageColumns(reader);
  for (uint32_t c = 0; c < r.values.size(); ++c) {
    const Value& v = r.values[c];
    if (v.truncated) return false;
    const bool mustBeValid = !messageTable || int32_t(c) == m.index[kText];
    if (mustBeValid && v.IsText() && !IsValidUtf8(v.bytes)) return false;
  }
  const bool rewrite = messageTable && row.deleted;
  // A carved account guid that is not guid-shaped marks a record that is not a message
  // (or a damaged one); a NULL account guid is a value the column may hold.
  if (rewrite) {
    const Value& account = r[size_t(m.index[kAccountGuid])];
    if (!account.IsNull() && !IsGuidText(account)) return false;
  }

  int64_t rowid = r.rowid.value_or(0);
  if (IsCarved(row) || rowid == 0) rowid = int64_t(++counter);

  char buf[64];
  std::snprintf(buf, sizeof buf, "%" PRId64, rowid);
  line.assign(buf);
  for (uint32_t c = 0; c < columns; ++c) {
    if (int32_t(c) == layout.rowidColumn) continue;
    line += ',';
    if (rewrite) {
      const int32_t col = int32_t(c);
      if (col == m.index[kGuid]) {
        std::snprintf(buf, sizeof buf, "\"%s%012" PRIX64 "\"", kRewrittenGuidPrefix,
                      uint64_t(rowid));
        line += buf;
        continue;
      }
      if (col == m.index[kIsFinished]) {
        line += '1';
        continue;
      }
    }
    AppendValue(r[c], line);
  }
  line += "\r\n";
  return true;
}

int32_t ExportMessagesCsv(CSqliteFileReader& reader, const std::string& outputPath,
                          int64_t nowMacSeconds) {
  return Export(reader, true, outputPath, nowMacSeconds);
}

int32_t ExportContactsCsv(CSqliteFileReader& reader, const std::string& outputPath) {
  return Export(reader, false, outputPath, 0);
}

}  // namespace halvern
