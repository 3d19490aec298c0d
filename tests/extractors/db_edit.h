// Edits of a finished test database with the SQLite library: rows changed or deleted after a
// builder wrote the file (triggers that call the phone's own functions are dropped first;
// secure delete stays off, so deleted records remain in the file).
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <vector>

namespace halvern::testing {

class DbEdit {
 public:
  explicit DbEdit(const std::filesystem::path& path) {
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) return;
    Exec("PRAGMA secure_delete=OFF");
    std::vector<std::string> triggers;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "SELECT name FROM sqlite_master WHERE type='trigger'", -1, &st,
                       nullptr);
    while (st && sqlite3_step(st) == SQLITE_ROW) {
      triggers.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
    sqlite3_finalize(st);
    for (const auto& t : triggers) Exec("DROP TRIGGER \"" + t + "\"");
  }
  ~DbEdit() { sqlite3_close(db_); }
  DbEdit(const DbEdit&) = delete;
  DbEdit& operator=(const DbEdit&) = delete;

  bool Exec(const std::string& sql) {
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
  // Runs `sql` with one blob bound to ?1.
  bool ExecBlob(const std::string& sql, const std::string& blob) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return false;
    sqlite3_bind_blob(st, 1, blob.data(), int(blob.size()), SQLITE_TRANSIENT);
    const bool ok = sqlite3_step(st) == SQLITE_DONE;
    sqlite3_finalize(st);
    return ok;
  }

 private:
  sqlite3* db_ = nullptr;
};

// A typedstream archive of an NSAttributedString holding `text`, as Messages writes it: the
// header, the class chain NSMutableAttributedString < NSAttributedString < NSObject, then
// the NSString with its "+" type code and the length (one byte below 0x80, else 0x81 and
// two bytes or 0x82 and four bytes, little-endian) followed by the UTF-8 bytes, then the
// attribute runs (a dictionary reference that a reader does not need).
inline std::string TypedStreamArchive(const std::string& text) {
  auto lit = [](const auto& bytes) { return std::string(bytes, sizeof bytes - 1); };
  std::string a = lit("\x04\x0bstreamtyped\x81\xe8\x03\x84\x01\x40\x84\x84\x84");
  a += "\x19NSMutableAttributedString";
  a += lit("\x00\x84\x84\x12") + "NSAttributedString";
  a += lit("\x00\x84\x84\x08") + "NSObject";
  a += lit("\x00\x85\x92\x84\x84\x84\x08") + "NSString";
  a += lit("\x01\x94\x84\x01\x2b");
  const size_t n = text.size();
  if (n < 0x80) {
    a += char(n);
  } else if (n <= 0xFFFF) {
    a += '\x81';
    a += char(n & 0xFF);
    a += char(n >> 8);
  } else {
    a += '\x82';
    for (int i = 0; i < 4; ++i) a += char((n >> (8 * i)) & 0xFF);
  }
  a += text;
  a += lit("\x86\x84\x02iI\x01\x0f\x92\x84\x84\x84\x0cNSDictionary\x00\x94\x84\x01i\x01\x86");
  return a;
}

}  // namespace halvern::testing
