// The strict reader: varints, serial types, payload thresholds, schema parsing, live rows
// against the SQLite library, and damaged files.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "sqlite_recovery/scan.h"
#include "tests/sqlite_recovery/page_builder.h"
#include "tests/sqlite_recovery/sqlite_fixture.h"

namespace halvern {
namespace {

using test::PageBuilder;
using test::RowText;
using test::TempDb;

TEST(SqliteVarint, DecodesEveryLengthAndRefusesTruncated) {
  struct Case {
    std::vector<uint8_t> bytes;
    size_t length;
    uint64_t value;
  } cases[] = {
      {{0x00}, 1, 0},
      {{0x7f}, 1, 127},
      {{0x81, 0x00}, 2, 128},
      {{0x81, 0x80, 0x00}, 3, 16384},
      // Nine bytes: the last one gives all eight bits (-1 as a rowid).
      {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, 9, ~uint64_t{0}},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x01}, 9, 1},
      {{0x81}, 0, 0},                    // runs past the buffer
      {{0xff, 0xff, 0xff, 0xff}, 0, 0},  // likewise
  };
  for (const Case& c : cases) {
    uint64_t v = 0;
    EXPECT_EQ(ReadVarint(c.bytes, v), c.length);
    if (c.length) {
      EXPECT_EQ(v, c.value);
    }
  }
  // Round trip through the encoder of the tests.
  for (uint64_t v :
       {uint64_t{240}, uint64_t{2287}, uint64_t{67823}, uint64_t{1} << 56, ~uint64_t{0} - 5}) {
    std::vector<uint8_t> b;
    test::PutVarint(b, v);
    uint64_t got = 0;
    EXPECT_EQ(ReadVarint(b, got), b.size());
    EXPECT_EQ(got, v);
  }
}

TEST(SqliteRecord, IntegersAreSignedAndEverySerialTypeDecodes) {
  // Header: size 9, types 1 2 3 4 5 6 7 8 9 ... body in order.
  const std::vector<uint8_t> payload = {
      12,   1,    2,    3,    4,    5,    6,    7,    8, 9, 0, 17,  // header (11 types + size byte)
      0xff,                                                         // -1
      0xff, 0xfe,                                                   // -2
      0x80, 0x00, 0x00,                                             // -8388608
      0x7f, 0xff, 0xff, 0xff,                                       // 2147483647
      0x80, 0x00, 0x00, 0x00, 0x00, 0x01,                           // 6-byte: -140737488355327
      0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x9c,               // -100
      0x40, 0x09, 0x21, 0xfb, 0x54, 0x44, 0x2d, 0x18,               // pi
      'a',  'b'};                                                   // text of 2
  Record r;
  ASSERT_TRUE(DecodeRecord(payload, TextEncoding::kUtf8, r));
  ASSERT_EQ(r.ColumnCount(), 11u);
  EXPECT_EQ(r[0].integer, -1);
  EXPECT_EQ(r[1].integer, -2);
  EXPECT_EQ(r[2].integer, -8388608);
  EXPECT_EQ(r[3].integer, 2147483647);
  EXPECT_EQ(r[4].integer, -140737488355327ll);
  EXPECT_EQ(r[5].integer, -100);
  EXPECT_DOUBLE_EQ(r[6].real, 3.141592653589793);
  EXPECT_EQ(r[7].integer, 0);
  EXPECT_EQ(r[8].integer, 1);
  EXPECT_TRUE(r[9].IsNull());
  EXPECT_EQ(r[10].Text(), "ab");
  EXPECT_TRUE(r[11].IsNull());  // past the end: NULL, as for a column added later

  // A body running past the payload, a header size past it, reserved types: refused.
  const std::vector<std::vector<uint8_t>> bad = {{2, 4, 0, 0}, {9, 1, 1}, {2, 10}, {}};
  for (const auto& b : bad) EXPECT_FALSE(DecodeRecord(b, TextEncoding::kUtf8, r));
}

TEST(SqlitePayload, LocalPartFollowsTheThresholdsOfTheUsableSize) {
  struct Case {
    uint64_t payload;
    uint32_t usable;
    uint32_t local;
  } cases[] = {
      {4061, 4096, 4061},                             // X = U - 35: all local
      {4062, 4096, 489},                              // K = M + (P - M) % (U - 4) = 4062 > X: M
      {5000, 4096, 908},                              // K = 489 + 4511 % 4092
      {65501, 65536, 65501}, {100000, 65536, 34468},  // M = 8199, + 91801 % 65532
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LocalPayloadSize(c.payload, c.usable), c.local) << c.payload;
  }
  // Reserved bytes lower the thresholds: usable 4076 (20 reserved).
  EXPECT_EQ(LocalPayloadSize(4041, 4076), 4041u);
  EXPECT_EQ(LocalPayloadSize(4042, 4076), 486u);
}

TEST(SqliteSchema, ParsesCreateTableTexts) {
  struct Case {
    const char* sql;
    std::vector<std::string> columns;
    int32_t rowidColumn;
  } cases[] = {
      {"CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT, c)", {"a", "b", "c"}, 0},
      {"CREATE TABLE 'users' (\"name\"TEXT,surname'TEXT')", {"name", "surname"}, -1},
      {"CREATE TABLE [x y](`a``b` INT, \"c\"\"d\" REAL, PRIMARY KEY(`a``b`))", {"a`b", "c\"d"}, -1},
      {"create table if not exists main.t (id integer, v varchar(10, 2) not null default 'x,y',"
       " -- comment, here\n w /* c, */ blob, primary key (id), unique(v), check (w > 0))",
       {"id", "v", "w"},
       0},
      {"CREATE TABLE t(a INTEGER PRIMARY KEY DESC, b)", {"a", "b"}, -1},
      {"CREATE TABLE t(a INT PRIMARY KEY, b)", {"a", "b"}, -1},
      {"CREATE TABLE t(a INTEGER PRIMARY KEY, b) WITHOUT ROWID", {"a", "b"}, -1},
  };
  for (const Case& c : cases) {
    TableSchema t;
    ASSERT_TRUE(ParseCreateTable(c.sql, t)) << c.sql;
    EXPECT_EQ(t.columns, c.columns) << c.sql;
    EXPECT_EQ(t.rowidColumn, c.rowidColumn) << c.sql;
    EXPECT_EQ(t.declaredColumnCount, c.columns.size());
  }
  TableSchema t;
  EXPECT_FALSE(ParseCreateTable("CREATE TABLE t AS SELECT 1", t));
  EXPECT_FALSE(ParseCreateTable("CREATE VIRTUAL TABLE f USING fts4(a, b)", t));
  EXPECT_FALSE(ParseCreateTable("CREATE TABLE t(a, b", t));
  EXPECT_EQ(t.ColumnIndex("A"), -1);
}

using test::ReaderRows;

struct Layout {
  const char* name;
  const char* setup;  // pragmas before the table
};

// Differential test: on files of every page size, both text encodings, with overflow chains,
// deep trees, an INTEGER PRIMARY KEY and columns added later, every live row equals SELECT *.
TEST(SqliteReaderDifferential, LiveRowsEqualTheLibrary) {
  const Layout layouts[] = {
      {"512", "PRAGMA page_size=512;"},
      {"4096", "PRAGMA page_size=4096;"},
      {"65536", "PRAGMA page_size=65536;"},
      {"utf16le", "PRAGMA page_size=1024; PRAGMA encoding='UTF-16le';"},
      {"utf16be", "PRAGMA page_size=1024; PRAGMA encoding='UTF-16be';"},
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(layout.name);
    TempDb db;
    db.Exec(layout.setup);
    db.Exec(
        "CREATE TABLE m(id INTEGER PRIMARY KEY, text TEXT, n INT, r REAL, b BLOB);"
        "CREATE TABLE \"odd name\"(\"x y\", z);"
        "CREATE INDEX mi ON m(n);");
    std::string sql = "BEGIN;";
    for (int i = 1; i <= 700; ++i) {
      const std::string text = i % 97 == 0 ? std::string(3000 + i * 7, 'a' + i % 26)
                                           : "row " + std::to_string(i) + " \xC3\xA9t\xC3\xA9";
      sql += "INSERT INTO m VALUES(" + std::to_string(i * 3) + ",'" + text + "'," +
             std::to_string((i % 7 - 3) * 1000003ll * (i % 5 ? 1 : 1000000)) + "," +
             (i % 4 ? std::to_string(i) + ".25" : std::to_string(i)) + ", " +
             (i % 11 == 0 ? "zeroblob(" + std::to_string(i * 40) + ")"
                          : "x'00ff" + std::string(i % 3 ? "10" : "") + "'") +
             ");";
      sql += "INSERT INTO \"odd name\" VALUES(" + std::to_string(-i) + ", NULL);";
    }
    sql +=
        "COMMIT; ALTER TABLE m ADD COLUMN added TEXT;"
        "INSERT INTO m(id, text, added) VALUES(100000, 'after', 'new');"
        "DELETE FROM m WHERE id % 5 = 0; UPDATE m SET n = -1 WHERE id % 9 = 0;";
    db.Exec(sql);
    db.Close();
    CSqliteFileReader reader;
    ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
    for (const char* table : {"m", "odd name"}) {
      const auto expected = test::SelectAll(db.path(), table);
      const auto got = ReaderRows(reader, table);
      ASSERT_EQ(got.size(), expected.size()) << table;
      EXPECT_EQ(got, expected) << table;
    }
    EXPECT_TRUE(reader.Faults().empty()) << reader.Faults().front().what;
  }
}

// Differential test over every layout the library can write: all page sizes, both UTF-16
// encodings, auto-vacuum, and write-ahead-log mode with the commits still in the log (the file
// read is a copy of the database and its log, without -shm, while the writer keeps it open).
// Each file holds a rowid table altered with every kind of constant default (rows from before
// and after each ADD COLUMN, some deleted and updated) and a WITHOUT ROWID table deep enough
// for interior cells and overflow pages.
TEST(SqliteReaderDifferential, EveryLayoutAndLogModeEqualsTheLibrary) {
  struct Case {
    std::string name;
    std::string setup;
    bool wal;
  };
  std::vector<Case> cases;
  for (int size = 512; size <= 65536; size *= 2) {
    cases.push_back({"page " + std::to_string(size), "PRAGMA page_size=" + std::to_string(size) + ";",
                     false});
  }
  cases.push_back({"utf16le", "PRAGMA page_size=1024; PRAGMA encoding='UTF-16le';", false});
  cases.push_back({"utf16be", "PRAGMA page_size=1024; PRAGMA encoding='UTF-16be';", false});
  cases.push_back({"auto-vacuum full", "PRAGMA page_size=1024; PRAGMA auto_vacuum=FULL;", false});
  cases.push_back({"auto-vacuum incremental",
                   "PRAGMA page_size=2048; PRAGMA auto_vacuum=INCREMENTAL;", false});
  cases.push_back({"wal 1024", "PRAGMA page_size=1024;", true});
  cases.push_back({"wal 4096 utf16be", "PRAGMA page_size=4096; PRAGMA encoding='UTF-16be';", true});
  cases.push_back({"wal 65536 auto-vacuum", "PRAGMA page_size=65536; PRAGMA auto_vacuum=FULL;",
                   true});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDb db;
    db.Exec(c.setup);
    if (c.wal) db.Exec("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
    db.Exec(
        "CREATE TABLE m(id INTEGER PRIMARY KEY, t TEXT, n INT, r REAL, b BLOB);"
        "CREATE TABLE w(k TEXT, n INT, v BLOB, PRIMARY KEY(n, k)) WITHOUT ROWID;");
    std::string sql = "BEGIN;";
    for (int i = 1; i <= 400; ++i) {
      const std::string text = i % 61 == 0 ? std::string(2000 + i * 3, char('a' + i % 26))
                                           : "row " + std::to_string(i) + " \xC3\xA9";
      sql += "INSERT INTO m(t, n, r, b) VALUES('" + text + "'," + std::to_string(i * 1000003ll) +
             "," + std::to_string(i) + ".5, x'0a0b');";
      sql += "INSERT INTO w VALUES('k" + std::to_string(i * 37 % 400) + "'," +
             std::to_string(i % 9) + "," +
             (i % 50 == 0 ? "zeroblob(" + std::to_string(3000 + i) + ")" : "x'ff'") + ");";
    }
    db.Exec(sql + "COMMIT;");
    // Columns added later, each with another kind of constant default; rows between them.
    const char* const added[] = {
        "a1 TEXT DEFAULT 'dflt'", "a2 INTEGER DEFAULT -7",   "a3 REAL DEFAULT 2",
        "a4 DEFAULT x'00ff'",     "a5 NUMERIC DEFAULT '12'", "a6 TEXT DEFAULT 5",
        "a7 DEFAULT TRUE",        "a8 REAL DEFAULT '1e3'",   "a9 INTEGER DEFAULT 4.0",
        "a10 DEFAULT -2.5",       "a11 TEXT DEFAULT NULL",   "a12 INT DEFAULT 0x10",
        "a13"};
    int next = 1000;
    for (const char* column : added) {
      db.Exec(std::string("ALTER TABLE m ADD COLUMN ") + column + ";");
      db.Exec("INSERT INTO m(id, t) VALUES(" + std::to_string(next++) + ", 'after');");
    }
    db.Exec("ALTER TABLE w ADD COLUMN z DEFAULT 'zz'; INSERT INTO w(k, n) VALUES('late', 3);");
    db.Exec("DELETE FROM m WHERE id % 7 = 0; UPDATE m SET n = -1 WHERE id % 9 = 0;");
    db.Exec("DELETE FROM w WHERE n = 4; UPDATE w SET v = x'01' WHERE k LIKE 'k1%';");
    const test::TempDb copies;
    const std::string copy = test::CopyWithWal(db.path(), copies.dir() / "copy");
    if (c.wal) {
      ASSERT_TRUE(std::filesystem::exists(copy + "-wal"));
      EXPECT_GT(std::filesystem::file_size(copy + "-wal"), 0u);
    }
    // The library reads its own copy (it makes a -shm beside it).
    const std::string reference = test::CopyWithWal(db.path(), copies.dir() / "reference");
    db.Close();
    CSqliteFileReader reader;
    ASSERT_EQ(reader.Open(copy), kSqliteOk);
    EXPECT_EQ(reader.WalApplied(), c.wal);
    const std::vector<RowText> m = ReaderRows(reader, "m");
    EXPECT_EQ(m, test::SelectAll(reference, "m"));
    // Row 1 predates every added column: it reads their defaults, affinity applied.
    ASSERT_FALSE(m.empty());
    EXPECT_EQ(RowText(m[0].begin() + 6, m[0].end()),
              (RowText{"t:dflt", "i:-7", "r:2", "b:00ff", "i:12", "t:5", "i:1", "r:1000", "i:4",
                       "r:-2.5", "NULL", "i:16", "NULL"}));
    if (c.wal) {
      // The main file alone is an older state of the database.
      CSqliteFileReader mainOnly;
      SqliteOpenOptions noWal;
      noWal.readWal = false;
      ASSERT_EQ(mainOnly.Open(copy, noWal), kSqliteOk);
      EXPECT_NE(ReaderRows(mainOnly, "m"), m);
    }
    std::vector<RowText> w = ReaderRows(reader, "w");
    for (RowText& row : w) {
      EXPECT_EQ(row.front(), "?");  // no rowid
      row.erase(row.begin());
    }
    const auto expected = test::SelectAll(reference, "w", false);
    EXPECT_EQ(w.size(), expected.size());
    EXPECT_EQ(w, expected);
    EXPECT_TRUE(reader.Faults().empty()) << reader.Faults().front().what;
    // Reading wrote nothing beside the copy: no -shm, the log as it was.
    EXPECT_FALSE(std::filesystem::exists(copy + "-shm"));
  }
}

TEST(SqliteReaderDifferential, ReservedBytesAtPageEnds) {
  TempDb db;
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.path().c_str(), &handle), SQLITE_OK);
  int reserve = 32;
  sqlite3_exec(handle, "PRAGMA page_size=1024;", nullptr, nullptr, nullptr);
  ASSERT_EQ(sqlite3_file_control(handle, "main", SQLITE_FCNTL_RESERVE_BYTES, &reserve), SQLITE_OK);
  std::string sql = "CREATE TABLE t(a, b); BEGIN;";
  for (int i = 0; i < 300; ++i) {
    sql += "INSERT INTO t VALUES(" + std::to_string(i) + ", '" + std::string(i * 5 % 1500, 'q') +
           "');";
  }
  sql += "COMMIT;";
  ASSERT_EQ(sqlite3_exec(handle, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(handle);
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
  EXPECT_EQ(reader.UsableSize(), 1024u - 32u);
  EXPECT_EQ(ReaderRows(reader, "t"), test::SelectAll(db.path(), "t"));
}

TEST(SqliteReaderOpen, RefusesWhatIsNotADatabase) {
  TempDb db;
  const auto write = [&](const std::vector<uint8_t>& bytes) {
    std::ofstream(db.path(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  };
  CSqliteFileReader reader;
  EXPECT_EQ(reader.Open(db.path() + ".missing"), ENOENT);
  write({'n', 'o', 't'});
  EXPECT_EQ(reader.Open(db.path()), kSqliteInvalid);
  PageBuilder b(1024, 1);
  b.Put16(16, 1000);  // not a power of two
  write(b.bytes());
  EXPECT_EQ(reader.Open(db.path()), kSqliteInvalid);
  EXPECT_FALSE(reader.IsOpen());
  PageBuilder ok(1024, 1);
  ok.Schema({});
  write(ok.bytes());
  EXPECT_EQ(reader.Open(db.path()), kSqliteOk);
  EXPECT_EQ(reader.PageSize(), 1024u);
}

// A page with one cell: the cell is where the pointer says, even with a freeblock in front
// of it at the start of the content area.
TEST(SqliteReaderPages, SingleCellIsFoundThroughItsPointer) {
  PageBuilder b(1024, 2);
  b.Schema({{"t", 2, "CREATE TABLE t(a, b)"}});
  const uint32_t size = b.PlaceCell(2, 900, 7, {int64_t{42}, std::string("kept")});
  ASSERT_LT(900 + size, 1024u);
  b.PlaceCell(2, 800, 3, {int64_t{1}, std::string("gone")});
  b.Freeblock(2, 800, 100, 0);
  b.LeafHeader(2, {900}, 800, 800);
  CSqliteFileReader reader;
  ASSERT_EQ(reader.OpenMemory(b.bytes()), kSqliteOk);
  const auto rows = ReaderRows(reader, "t");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0], (RowText{"i:7", "i:42", "t:kept"}));
}

// Damaged files: every walk stops, faults are recorded, nothing is read outside a buffer.
TEST(SqliteReaderDamage, LoopsAndBadLinksEndTheWalk) {
  TempDb db;
  db.Exec("PRAGMA page_size=512; CREATE TABLE t(a, b); BEGIN;");
  std::string sql;
  for (int i = 0; i < 400; ++i) sql += "INSERT INTO t VALUES(" + std::to_string(i) + ", 'v');";
  db.Exec(sql +
          "COMMIT; CREATE TABLE big(x); INSERT INTO big VALUES(zeroblob(5000));"
          "CREATE TABLE gone(x); INSERT INTO gone VALUES(zeroblob(3000)); DROP TABLE gone;");
  db.Close();
  std::ifstream in(db.path(), std::ios::binary);
  const std::vector<uint8_t> good((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  CSqliteFileReader probe;
  ASSERT_EQ(probe.OpenMemory(good), kSqliteOk);
  ASSERT_FALSE(probe.FreelistTrunkPages().empty());
  const uint32_t root = probe.FindTable("t")->rootPage;
  const uint32_t bigRoot = probe.FindTable("big")->rootPage;
  const uint32_t trunk = probe.FreelistTrunkPages().front();
  const auto at = [&](uint32_t page, uint32_t offset) { return size_t{page - 1} * 512 + offset; };
  const auto put32 = [](std::vector<uint8_t>& b, size_t where, uint32_t v) {
    for (int k = 0; k < 4; ++k) b[where + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
  };
  struct Damage {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> apply;
  } damages[] = {
      {"right child points at the root", [&](auto& b) { put32(b, at(root, 8), root); }},
      {"right child beyond the file", [&](auto& b) { put32(b, at(root, 8), 999999); }},
      {"trunk points at itself", [&](auto& b) { put32(b, at(trunk, 0), trunk); }},
      {"trunk announces too many leaves", [&](auto& b) { put32(b, at(trunk, 4), 0xffffffff); }},
      {"first trunk beyond the file", [&](auto& b) { put32(b, 32, 0x7fffffff); }},
      {"cell pointers past the page",
       [&](auto& b) {
         for (uint32_t k = 0; k < 40; ++k) b[at(root, 12 + k)] = 0xff;
       }},
      {"cell count huge", [&](auto& b) { b[at(root, 3)] = 0xff; }},
      {"overflow chain loops",
       [&](auto& b) {
         // big's only cell: its overflow pointer is the last 4 bytes of the cell.
         const uint32_t cell = (uint32_t{b[at(bigRoot, 8)]} << 8) | b[at(bigRoot, 9)];
         const uint32_t local = LocalPayloadSize(5003, 512);
         const size_t ptr = at(bigRoot, cell + 3 + local);  // 2-byte size, 1-byte rowid
         uint32_t first = 0;
         for (int k = 0; k < 4; ++k) first = (first << 8) | b[ptr + k];
         put32(b, at(first, 0), first);
       }},
      {"truncated file", [&](auto& b) { b.resize(b.size() / 2 + 100); }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    std::vector<uint8_t> bytes = good;
    d.apply(bytes);
    CSqliteFileReader reader;
    if (reader.OpenMemory(bytes) != kSqliteOk) continue;
    for (const char* table : {"t", "big"}) {
      ScanOptions options;
      size_t rows = 0;
      ScanTable(reader, table, options, [&](const ScannedRow&) {
        ++rows;
        return true;
      });
      EXPECT_LE(rows, 2000u);
    }
    EXPECT_FALSE(reader.Faults().empty());
  }
}

}  // namespace
}  // namespace halvern
