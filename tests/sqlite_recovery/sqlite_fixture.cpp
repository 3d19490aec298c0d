// Databases made with the real SQLite library for the reader tests.
#include "tests/sqlite_recovery/sqlite_fixture.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>

namespace halvern::test {

TempDb::TempDb(const std::string& name) {
  static std::mt19937_64 rng(std::random_device{}());
  dir_ = std::filesystem::temp_directory_path() /
         ("halvern-sqlite-" + std::to_string(::getpid()) + "-" + std::to_string(rng()));
  std::filesystem::create_directories(dir_);
  path_ = (dir_ / name).string();
}

TempDb::~TempDb() {
  Close();
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void TempDb::Exec(const std::string& sql) {
  if (!db_) {
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db_), SQLITE_OK);
    // Debian builds SQLite with secure delete on; deleted rows must stay in the file.
    sqlite3_exec(db_, "PRAGMA secure_delete=OFF;", nullptr, nullptr, nullptr);
  }
  char* error = nullptr;
  const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "") << "\n" << sql.substr(0, 200);
  sqlite3_free(error);
}

void TempDb::Close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
}

std::vector<RowText> ReaderRows(CSqliteFileReader& reader, const std::string& table,
                                bool deleted) {
  std::vector<RowText> rows;
  ScanOptions options;
  options.carve = deleted;
  options.freelist = deleted;
  options.wal = deleted;
  options.live = !deleted;
  const TableSchema* schema = reader.FindTable(table);
  ScanTable(reader, table, options, [&](const ScannedRow& row) {
    if (row.deleted != deleted) return true;
    RowText t;
    t.push_back(row.record.rowid ? "i:" + std::to_string(*row.record.rowid) : "?");
    const size_t n = schema ? schema->columns.size() : row.record.values.size();
    for (size_t i = 0; i < n; ++i) {
      const Value& v = row.record[i];
      char buf[64];
      switch (v.type) {
        case ValueType::kNull:
          t.push_back("NULL");
          break;
        case ValueType::kLost:
          t.push_back("?");
          break;
        case ValueType::kInteger:
          t.push_back("i:" + std::to_string(v.integer));
          break;
        case ValueType::kReal:
          std::snprintf(buf, sizeof buf, "r:%.17g", v.real);
          t.push_back(buf);
          break;
        case ValueType::kText:
          t.push_back("t:" + std::string(v.bytes));
          break;
        case ValueType::kBlob: {
          std::string hex = "b:";
          for (unsigned char ch : v.bytes) {
            std::snprintf(buf, sizeof buf, "%02x", ch);
            hex += buf;
          }
          t.push_back(hex);
        }
      }
    }
    rows.push_back(std::move(t));
    return true;
  });
  return rows;
}

std::string CopyWithWal(const std::string& path, const std::filesystem::path& folder) {
  namespace fs = std::filesystem;
  fs::create_directories(folder);
  const fs::path to = folder / fs::path(path).filename();
  fs::copy_file(path, to, fs::copy_options::overwrite_existing);
  if (fs::exists(path + "-wal")) {
    fs::copy_file(path + "-wal", to.string() + "-wal", fs::copy_options::overwrite_existing);
  }
  return to.string();
}

std::vector<RowText> SelectAll(const std::string& path, const std::string& table,
                               bool withRowid) {
  std::vector<RowText> rows;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << "cannot open " << path;
    return rows;
  }
  sqlite3_stmt* st = nullptr;
  std::string quoted = "\"";
  for (char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  quoted += '"';
  const std::string sql = withRowid ? "SELECT rowid, * FROM " + quoted + " ORDER BY rowid"
                                    : "SELECT * FROM " + quoted;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db);
    sqlite3_close(db);
    return rows;
  }
  while (sqlite3_step(st) == SQLITE_ROW) {
    RowText row;
    for (int i = 0; i < sqlite3_column_count(st); ++i) {
      char buf[64];
      switch (sqlite3_column_type(st, i)) {
        case SQLITE_NULL:
          row.push_back("NULL");
          break;
        case SQLITE_INTEGER:
          row.push_back("i:" + std::to_string(sqlite3_column_int64(st, i)));
          break;
        case SQLITE_FLOAT:
          std::snprintf(buf, sizeof buf, "r:%.17g", sqlite3_column_double(st, i));
          row.push_back(buf);
          break;
        case SQLITE_TEXT:
          row.push_back("t:" +
                        std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                                    sqlite3_column_bytes(st, i)));
          break;
        default: {
          const auto* p = static_cast<const unsigned char*>(sqlite3_column_blob(st, i));
          std::string hex = "b:";
          for (int k = 0; k < sqlite3_column_bytes(st, i); ++k) {
            std::snprintf(buf, sizeof buf, "%02x", p[k]);
            hex += buf;
          }
          row.push_back(hex);
        }
      }
    }
    rows.push_back(std::move(row));
  }
  sqlite3_finalize(st);
  sqlite3_close(db);
  return rows;
}

}  // namespace halvern::test
