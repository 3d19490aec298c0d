// Generic dump of any SQLite file as JSON, written by hand to keep the library free of
// dependencies.
#include "sqlite_recovery/dump.h"

#include <cmath>
#include <charconv>
#include <cstdio>
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
      out.append(buf, std::to_chars(buf, buf + sizeof buf, v.integer).ptr);
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

template <typename Integer>
void AppendInteger(std::string& out, Integer n) {
  char buf[24];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, n).ptr);
}

void AppendRow(std::string& out, const ScannedRow& row, size_t columns) {
  out += row.deleted ? "{\"deleted\":1,\"rowid\":" : "{\"deleted\":0,\"rowid\":";
  if (row.record.rowid) {
    AppendInteger(out, *row.record.rowid);
  } else {
    out += "null";
  }
  out += ",\"source\":\"";
  out += RowSourceName(row.origin.source);
  out += "\",\"page\":";
  AppendInteger(out, row.origin.page);
  out += ",\"offset\":";
  AppendInteger(out, row.origin.offset);
  if (row.origin.source == RowSource::kWal) {
    out += ",\"frame\":";
    AppendInteger(out, row.origin.frame);
  }
  if (row.deleted) {
    out += ",\"score\":";
    AppendInteger(out, row.score);
  }
  out += ",\"values\":[";
  const size_t n = columns ? columns : row.record.values.size();
  for (size_t i = 0; i < n; ++i) {
    if (i) out.push_back(',');
    AppendValue(out, row.record[i]);
  }
  out += "]}";
}

// The document's text in pieces of about kChunk bytes; remembers a refused piece.
class JsonOut {
 public:
  explicit JsonOut(const JsonSink& sink) : sink_(sink) { text_.reserve(kChunk + 4096); }
  std::string& text() { return text_; }
  bool Flush() {
    if (!failed_ && !text_.empty() && !sink_(text_)) failed_ = true;
    text_.clear();
    return !failed_;
  }
  // Hands the text on once a piece is full.
  bool Step() { return text_.size() < kChunk ? !failed_ : Flush(); }
  bool Failed() const { return failed_; }

 private:
  static constexpr size_t kChunk = 1 << 16;
  const JsonSink& sink_;
  std::string text_;
  bool failed_ = false;
};

}  // namespace

int32_t DumpSqliteJson(CSqliteFileReader& reader, const std::string& fileLabel,
                       const SqliteDumpOptions& options, const JsonSink& sink) {
  if (!reader.IsOpen()) return kSqliteInvalid;
  JsonOut out(sink);
  std::string& json = out.text();
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
  // Tables in schema order, each with its rows as they are read; rows of no table last.
  bool firstTable = true;
  bool firstRow = true;
  TableGroupCallbacks groups;
  groups.want = [&](const TableSchema* t) {
    if (options.table.empty()) return true;
    return t != nullptr && EqualsIgnoreCase(t->name, options.table);
  };
  groups.begin = [&](const TableSchema* t) {
    if (!firstTable) json.push_back(',');
    firstTable = false;
    firstRow = true;
    json += "{\"name\":";
    if (t) {
      AppendString(json, t->name);
      json += ",\"columns\":[";
      for (size_t i = 0; i < t->columns.size(); ++i) {
        if (i) json.push_back(',');
        AppendString(json, t->columns[i]);
      }
      json += "],\"rows\":[";
    } else {
      json += "null,\"columns\":[],\"rows\":[";
    }
    return out.Step();
  };
  groups.row = [&](const TableSchema* t, const ScannedRow& row) {
    if (!firstRow) json.push_back(',');
    firstRow = false;
    AppendRow(json, row, t ? t->columns.size() : 0);
    return out.Step();
  };
  groups.end = [&](const TableSchema*) {
    json += "]}";
    return out.Step();
  };
  ScanOptions scan;
  scan.live = options.live;
  scan.carve = options.carve;
  scan.freelist = options.freelist;
  scan.wal = options.wal;
  ScanFileByTable(reader, scan, groups);
  if (out.Failed()) return kSqliteWriteFault;
  json += "]}\n";
  return out.Flush() ? kSqliteOk : kSqliteWriteFault;
}

int32_t DumpSqliteJson(const std::string& path, const SqliteDumpOptions& options,
                       const JsonSink& sink) {
  CSqliteFileReader reader;
  SqliteOpenOptions open;
  open.readWal = options.wal;
  const int32_t rc = reader.Open(path, open);
  if (rc != kSqliteOk) return rc;
  return DumpSqliteJson(reader, path, options, sink);
}

int32_t DumpSqliteJson(CSqliteFileReader& reader, const std::string& fileLabel,
                       const SqliteDumpOptions& options, std::string& json) {
  json.clear();
  const int32_t rc = DumpSqliteJson(reader, fileLabel, options, [&](std::string_view piece) {
    json += piece;
    return true;
  });
  if (rc != kSqliteOk) json.clear();
  return rc;
}

int32_t DumpSqliteJson(const std::string& path, const SqliteDumpOptions& options,
                       std::string& json) {
  json.clear();
  const int32_t rc = DumpSqliteJson(path, options, [&](std::string_view piece) {
    json += piece;
    return true;
  });
  if (rc != kSqliteOk) json.clear();
  return rc;
}

}  // namespace halvern
