// Generic dump of any SQLite file as JSON, written by hand to keep the library free of
// dependencies.
#include "sqlite_recovery/dump.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <thread>

#include "sqlite_recovery/scan.h"
#include "sqlite_recovery/text.h"

namespace halvern {
namespace {

// The document's text, handed to the sink in pieces of about kChunk bytes. Values are written
// straight into the buffer (room is made first), a byte at a time only where they must be.
class JsonOut {
 public:
  explicit JsonOut(const JsonSink& sink) : sink_(sink) { Grow(kChunk + 4096); }

  // Room for n more bytes; write them from the pointer returned, then Commit the end.
  char* Room(size_t n) {
    if (size_ + n > capacity_) Grow(size_ + n);
    return data_.get() + size_;
  }
  void Commit(char* end) { size_ = static_cast<size_t>(end - data_.get()); }
  void Put(char c) { *Room(1) = c, ++size_; }
  void Put(std::string_view s) {
    char* p = Room(s.size());
    std::memcpy(p, s.data(), s.size());
    size_ += s.size();
  }
  template <typename Integer>
  void PutInteger(Integer n) {
    char* p = Room(24);
    Commit(std::to_chars(p, p + 24, n).ptr);
  }
  void PutString(std::string_view s);
  void PutValue(const Value& v);

  bool Flush() {
    if (!failed_ && size_ > 0 && !sink_(std::string_view(data_.get(), size_))) failed_ = true;
    size_ = 0;
    return !failed_;
  }
  // Hands the text on once a piece is full.
  bool Step() { return size_ < kChunk ? !failed_ : Flush(); }
  bool Failed() const { return failed_; }

 private:
  static constexpr size_t kChunk = 1 << 16;
  void Grow(size_t need) {
    size_t capacity = std::max(capacity_ * 2, need);
    std::unique_ptr<char[]> data(new char[capacity]);
    if (size_ > 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }

  const JsonSink& sink_;
  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
};

// What a byte of a string needs in JSON: 0 as it is, 1 a two-character escape, 2 a \u escape,
// 3 the start of a UTF-8 sequence to check.
constexpr std::array<uint8_t, 256> kStringClass = [] {
  std::array<uint8_t, 256> c{};
  for (int i = 0; i < 0x20; ++i) c[i] = 2;
  c['"'] = c['\\'] = c['\n'] = c['\r'] = c['\t'] = 1;
  for (int i = 0x80; i < 0x100; ++i) c[i] = 3;
  return c;
}();

// True when none of eight bytes needs more than a copy: no control character, quote,
// backslash or byte of a multi-byte sequence.
inline bool AllPlain(uint64_t w) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  constexpr uint64_t kHigh = 0x8080808080808080ull;
  // A byte of x is zero: (x - 1) borrows into its high bit while ~x keeps that bit.
  const auto anyZero = [](uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  const uint64_t below = (w - kOnes * 0x20) & ~w & kHigh;  // a byte below 0x20
  return ((w & kHigh) | below | anyZero(w ^ (kOnes * '"')) | anyZero(w ^ (kOnes * '\\'))) == 0;
}

// Two hex digits for each byte value, as they are written.
constexpr std::array<std::array<char, 2>, 256> kHexPairs = [] {
  constexpr char kHex[] = "0123456789abcdef";
  std::array<std::array<char, 2>, 256> t{};
  for (int i = 0; i < 256; ++i) t[i] = {kHex[i >> 4], kHex[i & 15]};
  return t;
}();

// Length of the well-formed UTF-8 sequence at p (p < end, *p >= 0x80), or 0: no overlong
// forms, no surrogates, nothing above U+10FFFF.
size_t Utf8SequenceAt(const unsigned char* p, const unsigned char* end) {
  const size_t left = static_cast<size_t>(end - p);
  const unsigned char c = p[0];
  const auto cont = [&](size_t k) { return (p[k] & 0xc0) == 0x80; };
  if (c >= 0xc2 && c <= 0xdf) return left >= 2 && cont(1) ? 2 : 0;
  if (c >= 0xe0 && c <= 0xef) {
    if (left < 3 || !cont(1) || !cont(2)) return 0;
    if (c == 0xe0 && p[1] < 0xa0) return 0;
    if (c == 0xed && p[1] >= 0xa0) return 0;
    return 3;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    if (left < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
    if (c == 0xf0 && p[1] < 0x90) return 0;
    if (c == 0xf4 && p[1] >= 0x90) return 0;
    return 4;
  }
  return 0;
}

// A JSON string; bytes that are not UTF-8 become U+FFFD.
void JsonOut::PutString(std::string_view s) {
  Put('"');
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* const end = p + s.size();
  while (p < end) {
    // A piece at a time: at most 6 bytes out for a byte in (a control character as \u00XX),
    // and a sequence begun in the piece may take 3 bytes past it.
    const unsigned char* const stop = p + std::min<size_t>(end - p, 1 << 14);
    char* out = Room(6 * static_cast<size_t>(stop - p) + 4);
    while (p < stop) {
      // Plain ASCII eight bytes at a time.
      while (stop - p >= 8) {
        uint64_t w;
        std::memcpy(&w, p, sizeof w);
        if (!AllPlain(w)) break;
        std::memcpy(out, p, sizeof w);
        out += 8;
        p += 8;
      }
      if (p >= stop) break;
      const unsigned char c = *p;
      switch (kStringClass[c]) {
        case 0:
          *out++ = static_cast<char>(c);
          ++p;
          break;
        case 1:
          *out++ = '\\';
          *out++ = c == '\n' ? 'n' : c == '\r' ? 'r' : c == '\t' ? 't' : static_cast<char>(c);
          ++p;
          break;
        case 2: {
          static constexpr char kHex[] = "0123456789abcdef";
          std::memcpy(out, "\\u00", 4);
          out[4] = kHex[c >> 4];
          out[5] = kHex[c & 15];
          out += 6;
          ++p;
          break;
        }
        default: {
          const size_t n = Utf8SequenceAt(p, end);
          if (n == 0) {
            std::memcpy(out, "\xEF\xBF\xBD", 3);
            out += 3;
            ++p;
          } else {
            std::memcpy(out, p, n);
            out += n;
            p += n;
          }
        }
      }
    }
    Commit(out);
  }
  Put('"');
}

void JsonOut::PutValue(const Value& v) {
  switch (v.type) {
    case ValueType::kNull:
    case ValueType::kLost:
      Put("null");
      return;
    case ValueType::kInteger:
      PutInteger(v.integer);
      return;
    case ValueType::kReal: {
      if (!std::isfinite(v.real)) {
        Put("null");
        return;
      }
      // As printf's %.17g; a real stays a real for readers that tell 1 from 1.0.
      char* p = Room(40);
      char* e = std::to_chars(p, p + 38, v.real, std::chars_format::general, 17).ptr;
      if (std::string_view(p, static_cast<size_t>(e - p)).find_first_of(".eE") ==
          std::string_view::npos) {
        *e++ = '.';
        *e++ = '0';
      }
      Commit(e);
      return;
    }
    case ValueType::kText:
      PutString(v.bytes);
      return;
    case ValueType::kBlob: {
      Put("{\"hex\":\"");
      for (size_t at = 0; at < v.bytes.size(); at += 1 << 15) {
        const std::string_view piece = v.bytes.substr(at, 1 << 15);
        char* out = Room(2 * piece.size());
        for (unsigned char c : piece) {
          std::memcpy(out, kHexPairs[c].data(), 2);
          out += 2;
        }
        Commit(out);
      }
      Put("\"}");
      return;
    }
  }
}

void PutRow(JsonOut& out, const ScannedRow& row, size_t columns) {
  out.Put(row.deleted ? "{\"deleted\":1,\"rowid\":" : "{\"deleted\":0,\"rowid\":");
  if (row.record.rowid) {
    out.PutInteger(*row.record.rowid);
  } else {
    out.Put("null");
  }
  out.Put(",\"source\":\"");
  out.Put(RowSourceName(row.origin.source));
  out.Put("\",\"page\":");
  out.PutInteger(row.origin.page);
  out.Put(",\"offset\":");
  out.PutInteger(row.origin.offset);
  if (row.origin.source == RowSource::kWal) {
    out.Put(",\"frame\":");
    out.PutInteger(row.origin.frame);
  }
  const size_t n = columns ? columns : row.record.values.size();
  if (row.deleted) {
    out.Put(",\"score\":");
    out.PutInteger(row.score);
    // The columns whose text or blob is only the beginning of what was stored (a later cell
    // was written over the rest), so no one takes such a value for the whole one.
    bool any = false;
    for (size_t i = 0; i < n && i < row.record.values.size(); ++i) {
      if (!row.record.values[i].truncated) continue;
      out.Put(any ? "," : ",\"cut\":[");
      out.PutInteger(static_cast<int64_t>(i));
      any = true;
    }
    if (any) out.Put(']');
  }
  out.Put(",\"values\":[");
  for (size_t i = 0; i < n; ++i) {
    if (i) out.Put(',');
    out.PutValue(row.record[i]);
  }
  out.Put("]}");
}

}  // namespace

int32_t DumpSqliteJson(CSqliteFileReader& reader, const std::string& fileLabel,
                       const SqliteDumpOptions& options, const JsonSink& sink) {
  if (!reader.IsOpen()) return kSqliteInvalid;
  JsonOut out(sink);
  out.Put("{\"file\":");
  out.PutString(fileLabel);
  out.Put(",\"pageSize\":");
  out.PutInteger(reader.PageSize());
  out.Put(",\"wal\":");
  if (reader.WalApplied()) {
    uint64_t committed = 0;
    for (const WalFrame& f : reader.WalFrames()) {
      committed += f.state == WalFrameState::kCurrent || f.state == WalFrameState::kSuperseded;
    }
    out.Put("{\"frames\":");
    out.PutInteger(reader.WalFrames().size());
    out.Put(",\"committedFrames\":");
    out.PutInteger(committed);
    out.Put('}');
  } else {
    out.Put("null");
  }
  out.Put(",\"tables\":[");
  // Tables in schema order, each with its rows as they are read; rows of no table last.
  bool firstTable = true;
  bool firstRow = true;
  TableGroupCallbacks groups;
  groups.want = [&](const TableSchema* t) {
    if (options.table.empty()) return true;
    return t != nullptr && EqualsIgnoreCase(t->name, options.table);
  };
  groups.begin = [&](const TableSchema* t) {
    if (!firstTable) out.Put(',');
    firstTable = false;
    firstRow = true;
    out.Put("{\"name\":");
    if (t) {
      out.PutString(t->name);
      out.Put(",\"columns\":[");
      for (size_t i = 0; i < t->columns.size(); ++i) {
        if (i) out.Put(',');
        out.PutString(t->columns[i]);
      }
      out.Put("],\"rows\":[");
    } else {
      out.Put("null,\"columns\":[],\"rows\":[");
    }
    return out.Step();
  };
  groups.row = [&](const TableSchema* t, const ScannedRow& row) {
    if (!firstRow) out.Put(',');
    firstRow = false;
    PutRow(out, row, t ? t->columns.size() : 0);
    return out.Step();
  };
  groups.end = [&](const TableSchema*) {
    out.Put("]}");
    return out.Step();
  };
  ScanOptions scan;
  scan.live = options.live;
  scan.carve = options.carve;
  scan.freelist = options.freelist;
  scan.wal = options.wal;
  // Carving is most of the work: a second core carves pages ahead of the rows written.
  scan.carveThreads = std::thread::hardware_concurrency() > 1 ? 2 : 1;
  ScanFileByTable(reader, scan, groups);
  if (out.Failed()) return kSqliteWriteFault;
  out.Put("]}\n");
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
