// Generic dump of any SQLite file as JSON, written by hand to keep the library free of
// dependencies.
#include "sqlite_recovery/dump.h"

#include <cmath>
#include <cstdio>
#include <map>
#include <vector>

#include "sqlite_recovery/scan.h"
#include "sqlite_recovery/text.h"

namespace halvern {
namespace {

// Appends a JSON string; bytes that are not UTF-8 become U+FFFD.
void AppendString(std::string& out, std::string_view s) {
  out.push_back('"');
  size_t i = 0;
  while (i < s.size()) {
    const size_t valid = ValidUtf8Prefix(s.substr(i));
    for (size_t k = i; k < i + valid; ++k) {
      const unsigned char c = static_cast<unsigned char>(s[k]);
      switch (c) {
        case '"':
          out += "\\\"";
          break;
        case '\\':
          out += "\\\\";
          break;
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        default:
          if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
          } else {
            out.push_back(static_cast<char>(c));
          }
      }
    }
    i += valid;
    if (i < s.size()) {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  out.push_back('"');
}

void AppendValue(std::string& out, const Value& v) {
  char buf[40];
  switch (v.type) {
    case ValueType::kNull:
    case ValueType::kLost:
      out += "null";
      return;
    case ValueType::kInteger:
      std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(v.integer));
      out += buf;
      return;
    case ValueType::kReal:
      if (!std::isfinite(v.real)) {
        out += "null";
        return;
      }
      std::snprintf(buf, sizeof buf, "%.17g", v.real);
      out += buf;
      // Keep a real a real for readers that tell 1 from 1.0.
      if (std::string_view(buf).find_first_of(".eE") == std::string_view::npos) out += ".0";
      return;
    case ValueType::kText:
      AppendString(out, v.bytes);
      return;
    case ValueType::kBlob: {
      static constexpr char kHex[] = "0123456789abcdef";
      out += "{\"hex\":\"";
      for (unsigned char c : v.bytes) {
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 15]);
      }
      out += "\"}";
      return;
    }
  }
}

void AppendRow(std::string& out, const ScannedRow& row, size_t columns) {
  char buf[96];
  out += "{\"deleted\":";
  out += row.deleted ? "1" : "0";
  out += ",\"rowid\":";
  if (row.record.rowid) {
    std::snprintf(buf, sizeof buf, "%lld", static_cast<long long>(*row.record.rowid));
    out += buf;
  } else {
    out += "null";
  }
  out += ",\"source\":\"";
  out += RowSourceName(row.origin.source);
  std::snprintf(buf, sizeof buf, "\",\"page\":%u,\"offset\":%u", row.origin.page,
                row.origin.offset);
  out += buf;
  if (row.origin.source == RowSource::kWal) {
    std::snprintf(buf, sizeof buf, ",\"frame\":%u", row.origin.frame);
    out += buf;
  }
  if (row.deleted) {
    std::snprintf(buf, sizeof buf, ",\"score\":%d", row.score);
    out += buf;
  }
  out += ",\"values\":[";
  const size_t n = columns ? columns : row.record.values.size();
  for (size_t i = 0; i < n; ++i) {
    if (i) out.push_back(',');
    AppendValue(out, row.record[i]);
  }
  out += "]}";
}

}  // namespace

int32_t DumpSqliteJson(CSqliteFileReader& reader, const std::string& fileLabel,
                       const SqliteDumpOptions& options, std::string& json) {
  json.clear();
  if (!reader.IsOpen()) return kSqliteInvalid;
  // Rows per table, in schema order; rows of no table last.
  const std::vector<TableSchema>& tables = reader.Tables();
  std::map<const TableSchema*, std::string> rows;
  std::map<const TableSchema*, bool> any;
  ScanOptions scan;
  scan.live = options.live;
  scan.carve = options.carve;
  scan.freelist = options.freelist;
  scan.wal = options.wal;
  const int32_t status = ScanFile(reader, scan, [&](const TableSchema* t, const ScannedRow& row) {
    if (!options.table.empty() && (!t || !EqualsIgnoreCase(t->name, options.table))) return true;
    std::string& out = rows[t];
    if (any[t]) out.push_back(',');
    any[t] = true;
    AppendRow(out, row, t ? t->columns.size() : 0);
    return true;
  });
  json += "{\"file\":";
  AppendString(json, fileLabel);
  json += ",\"pageSize\":" + std::to_string(reader.PageSize());
  json += ",\"wal\":";
  if (reader.WalApplied()) {
    uint64_t committed = 0;
    for (const WalFrame& f : reader.WalFrames()) {
      committed += f.state == WalFrameState::kCurrent || f.state == WalFrameState::kSuperseded;
    }
    json += "{\"frames\":" + std::to_string(reader.WalFrames().size()) +
            ",\"committedFrames\":" + std::to_string(committed) + "}";
  } else {
    json += "null";
  }
  json += ",\"tables\":[";
  bool first = true;
  for (const TableSchema& t : tables) {
    if (!options.table.empty() && !EqualsIgnoreCase(t.name, options.table)) continue;
    if (!first) json.push_back(',');
    first = false;
    json += "{\"name\":";
    AppendString(json, t.name);
    json += ",\"columns\":[";
    for (size_t i = 0; i < t.columns.size(); ++i) {
      if (i) json.push_back(',');
      AppendString(json, t.columns[i]);
    }
    json += "],\"rows\":[" + rows[&t] + "]}";
  }
  if (options.table.empty() && any[nullptr]) {
    if (!first) json.push_back(',');
    json += "{\"name\":null,\"columns\":[],\"rows\":[" + rows[nullptr] + "]}";
  }
  json += "]}\n";
  return status == kSqliteStopped ? kSqliteOk : kSqliteOk;
}

int32_t DumpSqliteJson(const std::string& path, const SqliteDumpOptions& options,
                       std::string& json) {
  CSqliteFileReader reader;
  SqliteOpenOptions open;
  open.readWal = options.wal;
  const int32_t rc = reader.Open(path, open);
  if (rc != kSqliteOk) {
    json.clear();
    return rc;
  }
  return DumpSqliteJson(reader, path, options, json);
}

}  // namespace halvern
