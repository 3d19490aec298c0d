// Carving: the scanners on pages built byte by byte (exact offsets), and deleted rows of
// databases made by the SQLite library, found with their values and nothing false besides.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>

#include "sqlite_recovery/scan.h"
#include "tests/sqlite_recovery/page_builder.h"
#include "tests/sqlite_recovery/sqlite_fixture.h"

namespace halvern {
namespace {

using test::Cell;
using test::PageBuilder;
using test::TempDb;

// A table leaf page 2 of a 1024-byte database with live cells teaching the shape (int, text,
// int, and `extra` more ints): rowids 1-3 at the page end.
struct ShapedPage {
  PageBuilder b{1024, 2};
  std::vector<uint32_t> live;
  uint32_t top = 1024;
  uint32_t extra = 0;
  explicit ShapedPage(uint32_t extraInts = 0) : extra(extraInts) {
    b.Schema({{"t", 2, Sql()}});
    for (int64_t r = 1; r <= 3; ++r) {
      const auto cell = test::EncodeCell(r, LiveValues(r, std::string("live") + char('0' + r)));
      top -= static_cast<uint32_t>(cell.size());
      b.Write(2, top, cell);
      live.push_back(top);
    }
  }
  std::string Sql() const {
    std::string sql = "CREATE TABLE t(a INT, b TEXT, c INT";
    for (uint32_t i = 0; i < extra; ++i) sql += ", x" + std::to_string(i) + " INT";
    return sql + ")";
  }
  std::vector<Cell> LiveValues(int64_t r, const std::string& text) const {
    std::vector<Cell> values = {r * 1000, text, r};
    for (uint32_t i = 0; i < extra; ++i) values.emplace_back(r * 100000 + i);
    return values;
  }
  PageView View(std::vector<uint8_t>& keep) {
    keep.assign(b.page(2), b.page(2) + 1024);
    PageView v;
    EXPECT_TRUE(ParsePageView(keep, 2, 1024, v));
    return v;
  }
  TableShape Shape() {
    TableSchema s;
    ParseCreateTable(Sql(), s);
    TableShape shape = TableShape::FromSchema(s);
    Record r;
    for (int64_t k = 1; k <= 3; ++k) {
      const auto rec = test::EncodeRecord(LiveValues(k, "live"));
      DecodeRecord(rec, TextEncoding::kUtf8, r);
      shape.Learn(r);
    }
    return shape;
  }
};

std::vector<Cell> Values(const Record& r) {
  std::vector<Cell> out;
  for (const Value& v : r.values) {
    if (v.IsInteger()) {
      out.emplace_back(v.integer);
    } else if (v.IsText()) {
      out.emplace_back(std::string(v.bytes));
    } else if (v.IsReal()) {
      out.emplace_back(v.real);
    } else {
      out.emplace_back(test::Null{});
    }
  }
  return out;
}

// A deleted cell in a freeblock, for each width of its leading varints: the freeblock header
// overwrote the payload size and rowid (and, with 1-byte ones, the header size and the first
// serial type, rebuilt from the block size).
TEST(SqliteCarveFreeblocks, RebuildsTheOverwrittenRecordStart) {
  struct Case {
    const char* what;
    int64_t rowid;
    std::string text;
  } cases[] = {
      {"rowid 1 byte, payload 1 byte: first serial type lost", 5, "Alice"},
      {"rowid 2 bytes: header size lost, serial types whole", 300, "Bob"},
      {"rowid 3 bytes: header size survives", 70000, "Carol"},
      {"payload 2 bytes", 9, std::string(200, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ShapedPage p;
    const std::vector<Cell> values = {int64_t{20001}, c.text, int64_t{-7}};
    const auto cell = test::EncodeCell(c.rowid, values);
    const uint32_t at = p.top - static_cast<uint32_t>(cell.size()) - 40;
    p.b.Write(2, at, cell);
    p.b.Freeblock(2, at, static_cast<uint32_t>(cell.size()), 0);
    p.b.LeafHeader(2, p.live, at, at);
    std::vector<uint8_t> page;
    const PageView view = p.View(page);
    std::vector<Candidate> out;
    ScanFreeblocks(view, p.Shape(), TextEncoding::kUtf8, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].offset, at);
    EXPECT_EQ(out[0].source, RowSource::kFreeblock);
    EXPECT_EQ(Values(out[0].record), values);
    EXPECT_FALSE(out[0].record.rowid.has_value());
  }
}

// Two adjacent deleted cells merged into one freeblock: the first lost its start, the second
// is whole (with its rowid).
TEST(SqliteCarveFreeblocks, MergedBlockGivesEveryRecord) {
  ShapedPage p;
  const std::vector<Cell> first = {int64_t{11}, std::string("first one"), int64_t{1}};
  const std::vector<Cell> second = {int64_t{22}, std::string("second"), int64_t{2}};
  const auto c1 = test::EncodeCell(4, first);
  const auto c2 = test::EncodeCell(5, second);
  const uint32_t at = 600;
  p.b.Write(2, at, c1);
  p.b.Write(2, at + static_cast<uint32_t>(c1.size()), c2);
  p.b.Freeblock(2, at, static_cast<uint32_t>(c1.size() + c2.size()), 0);
  p.b.LeafHeader(2, p.live, at, at);
  std::vector<uint8_t> page;
  const PageView view = p.View(page);
  std::vector<Candidate> out;
  ScanFreeblocks(view, p.Shape(), TextEncoding::kUtf8, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].offset, at);
  EXPECT_EQ(Values(out[0].record), first);
  EXPECT_EQ(out[1].offset, at + c1.size());
  EXPECT_EQ(Values(out[1].record), second);
  EXPECT_EQ(out[1].record.rowid, 5);
}

// An intact cell left in the unallocated gap, found by the gap scanner and through a stale
// cell pointer; a freeblock chain that loops back ends the walk.
TEST(SqliteCarveGap, IntactCellsInTheGapAndStalePointers) {
  ShapedPage p;
  const std::vector<Cell> values = {int64_t{99}, std::string("in the gap"), int64_t{3}};
  const auto cell = test::EncodeCell(42, values);
  const uint32_t at = 500;
  p.b.Write(2, at, cell);
  std::vector<uint32_t> pointers = p.live;
  p.b.LeafHeader(2, pointers, 0, p.top);
  p.b.Put16(p.b.At(2, 8 + 2 * 3), at);  // a stale slot after the three live ones
  std::vector<uint8_t> page;
  const PageView view = p.View(page);
  const TableShape shape = p.Shape();
  std::vector<Candidate> gap, stale, all;
  ScanUnallocated(view, shape, TextEncoding::kUtf8, gap);
  ASSERT_EQ(gap.size(), 1u);
  EXPECT_EQ(gap[0].offset, at);
  EXPECT_EQ(gap[0].record.rowid, 42);
  EXPECT_EQ(Values(gap[0].record), values);
  ScanStalePointers(view, shape, TextEncoding::kUtf8, stale);
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0].offset, at);
  EXPECT_EQ(stale[0].source, RowSource::kStalePointer);
  CarvePage(view, shape, TextEncoding::kUtf8, all);
  EXPECT_EQ(all.size(), 1u);  // the same record once

  // A freeblock chain pointing back at itself ends; a size past the page is clamped.
  p.b.Freeblock(2, 700, 20, 700);
  p.b.LeafHeader(2, pointers, 700, 500);
  const PageView looped = p.View(page);
  std::vector<Candidate> none;
  ScanFreeblocks(looped, shape, TextEncoding::kUtf8, none);
  p.b.Freeblock(2, 700, 9000, 0);
  const PageView clamped = p.View(page);
  ScanFreeblocks(clamped, shape, TextEncoding::kUtf8, none);
  EXPECT_TRUE(none.empty());
}

// A newer cell written over the tail of an older one in the gap (a rebuilt page): the older
// record's header is whole, but its last value lies in the newer cell's bytes. It is given
// back with that value lost, never decoded from the other row's bytes.
TEST(SqliteCarveGap, CellWrittenOverAnOlderOneCutsItsValues) {
  ShapedPage p;
  const std::vector<Cell> older = {int64_t{77}, std::string("an older message text"),
                                   int64_t{1234567890123}};
  const std::vector<Cell> newer = {int64_t{88}, std::string("newer"), int64_t{5}};
  const auto c1 = test::EncodeCell(41, older);
  const auto c2 = test::EncodeCell(42, newer);
  const uint32_t at = 400;
  const uint32_t over = at + static_cast<uint32_t>(c1.size()) - 6;  // the 6-byte integer
  p.b.Write(2, at, c1);
  p.b.Write(2, over, c2);
  p.b.LeafHeader(2, p.live, 0, p.top);
  std::vector<uint8_t> page;
  const PageView view = p.View(page);
  std::vector<Candidate> out;
  CarvePage(view, p.Shape(), TextEncoding::kUtf8, out);
  ASSERT_FALSE(out.empty());
  for (const Candidate& c : out) {
    SCOPED_TRACE(c.offset);
    if (c.offset == at) {
      ASSERT_EQ(c.record.values.size(), 3u);
      EXPECT_EQ(c.record.rowid, 41);
      EXPECT_EQ(Values(c.record)[1], older[1]);
      EXPECT_EQ(c.record.values[2].type, ValueType::kLost);
    } else {
      EXPECT_EQ(c.offset, over);
      EXPECT_EQ(Values(c.record), newer);
    }
  }
}

// A record freed into a freeblock, and a newer cell placed over part of its bytes. The older
// record's values that lie in the newer cell's bytes come back lost, never decoded from them;
// every record whose bytes survive comes back.
TEST(SqliteCarveFreeblocks, CellPlacedInAFreedRecordsBlock) {
  const int64_t kDate = 600000000000;
  const std::vector<Cell> older = {int64_t{77}, std::string("an older message text"),
                                   int64_t{1234567890123}, kDate + 1, kDate + 2, kDate + 3,
                                   kDate + 4};
  const std::vector<Cell> newer = {int64_t{88}, std::string("newer"), int64_t{5}, int64_t{1},
                                   int64_t{2}, int64_t{3}, int64_t{4}};
  std::vector<Cell> olderCut = older;
  for (size_t i = 3; i < olderCut.size(); ++i) olderCut[i] = test::Null{};
  struct Case {
    const char* what;
    bool newerHeader;   // the newer cell was freed on its own: a freeblock header on its start
    uint32_t newerCut;  // bytes of the newer cell a live cell took (0: none)
    std::vector<Cell> olderBack;
  } cases[] = {
      // Taken from the top of the older record's block, then freed and merged with it: the
      // block has the older record's size again, but its last values are the newer cell's.
      {"newer cell whole at the top of the block", false, 0, olderCut},
      {"newer cell behind its own header at the top of the block", true, 0, olderCut},
      // The newer cell lay just above the older record; a live cell took its last three
      // bytes, and the block ends inside it. The older record ends where the newer one's
      // leftover header begins; the newer one keeps the values before the live cell.
      {"older record below a newer cell cut by a live one", true, 3, older},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ShapedPage p(4);
    const auto c1 = test::EncodeCell(70001, older);
    const auto c2 = test::EncodeCell(70002, newer);
    const uint32_t size1 = static_cast<uint32_t>(c1.size());
    const uint32_t size2 = static_cast<uint32_t>(c2.size());
    ASSERT_LT(size2, 4 * 6u);  // the newer cell covers only the last four integers
    const uint32_t at = 400;
    // Nested: the newer cell ends where the older one did; else it follows it.
    const uint32_t over = c.newerCut ? at + size1 : at + size1 - size2;
    const uint32_t blockEnd = c.newerCut ? over + size2 - c.newerCut : at + size1;
    p.b.Write(2, at, c1);
    p.b.Write(2, over, c2);
    if (c.newerHeader) p.b.Freeblock(2, over, size2, 0);
    p.b.Freeblock(2, at, blockEnd - at, 0);
    std::vector<uint32_t> cells = p.live;
    if (c.newerCut) {
      p.b.Write(2, blockEnd, test::EncodeCell(4, p.LiveValues(4, "live4")));
      cells.push_back(blockEnd);
    }
    p.b.LeafHeader(2, cells, at, at);
    std::vector<uint8_t> page;
    const PageView view = p.View(page);
    std::vector<Candidate> out;
    CarvePage(view, p.Shape(), TextEncoding::kUtf8, out);
    bool olderFound = false, newerFound = false;
    for (const Candidate& k : out) {
      SCOPED_TRACE(k.offset);
      if (k.offset == at) {
        olderFound = true;
        EXPECT_EQ(Values(k.record), c.olderBack);
        EXPECT_EQ(k.record.values.back().IsLost(), c.newerCut == 0);
      } else {
        // The newer cell comes back with its own values, those the live cell took lost.
        ASSERT_EQ(k.offset, over);
        newerFound = true;
        std::vector<Cell> want = newer;
        if (c.newerCut) {
          for (size_t i = 4; i < want.size(); ++i) want[i] = test::Null{};
          EXPECT_TRUE(k.record.values.back().IsLost());
        }
        EXPECT_EQ(Values(k.record), want);
      }
    }
    EXPECT_TRUE(olderFound);
    EXPECT_TRUE(newerFound);
  }
}

// Noise in free space gives no rows: random bytes in the gap and in freeblocks.
TEST(SqliteCarveNoise, RandomFreeSpaceGivesNoCandidates) {
  std::mt19937 rng(7);
  size_t found = 0;
  for (int round = 0; round < 200; ++round) {
    ShapedPage p;
    for (uint32_t k = 20; k < p.top; ++k) p.b.bytes()[p.b.At(2, k)] = static_cast<uint8_t>(rng());
    p.b.Freeblock(2, 300, 200, 0);
    p.b.LeafHeader(2, p.live, 300, 300);
    std::vector<uint8_t> page;
    const PageView view = p.View(page);
    std::vector<Candidate> out;
    CarvePage(view, p.Shape(), TextEncoding::kUtf8, out);
    found += out.size();
  }
  EXPECT_LE(found, 2u) << "false candidates in 200 random pages";
}

// Deleted rows of a database made by SQLite: rows deleted one by one (freeblocks), a page
// emptied (gap), a table dropped (freelist pages), a long row deleted (freed overflow pages).
// Every row deleted and still present comes back once, marked deleted; nothing else comes.
// Cells freed at the top of the content area join the unallocated gap, each keeping the
// freeblock header written when it was freed (its size counting the neighbours it merged
// with); a row inserted afterwards takes the top of the gap and cuts the highest of them. The
// records below it still come back, whole.
TEST(SqliteCarveGap, RecordsBehindLeftoverFreeblockHeadersInTheGap) {
  TempDb db;
  db.Exec(
      "PRAGMA page_size=1024; CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, n INT);"
      "BEGIN;");
  std::string sql;
  for (int i = 1; i <= 10; ++i) {
    sql += "INSERT INTO t VALUES(" + std::to_string(i) + ", 'name " + std::to_string(i) + " " +
           std::string(20, 'x') + "', " + std::to_string(i * 3) + ");";
  }
  db.Exec(sql + "COMMIT;");
  // Row 10 lies at the top of the content area, 9 below it, then 8.
  db.Exec("DELETE FROM t WHERE id = 8; DELETE FROM t WHERE id = 9; DELETE FROM t WHERE id = 10;");
  db.Exec("INSERT INTO t VALUES(11, 'new', 1);");
  db.Close();
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
  std::set<std::string> back;
  ScanOptions options;
  options.live = false;
  ScanTable(reader, "t", options, [&](const ScannedRow& row) {
    EXPECT_EQ(row.origin.source, RowSource::kUnallocated);
    back.insert(std::string(row.record[1].Text()) + "|" + std::to_string(row.record[2].integer));
    return true;
  });
  EXPECT_EQ(back, (std::set<std::string>{"name 10 " + std::string(20, 'x') + "|30",
                                         "name 9 " + std::string(20, 'x') + "|27"}));
}

// Long rows deleted from the top of a page's content area: the lower one, freed first, got a
// freeblock header over its payload size and rowid; freeing the one above it then joined both
// to the unallocated gap. Its header size survived, so its record comes back from the gap
// whole, the text's tail and the column after it read from its freed overflow pages.
TEST(SqliteCarveGap, OverflowingRecordBehindAFreeblockHeaderInTheGap) {
  TempDb db;
  db.Exec(
      "PRAGMA secure_delete=OFF; PRAGMA page_size=1024;"
      "CREATE TABLE t(id INTEGER PRIMARY KEY, body TEXT, n INT);"
      "CREATE TABLE filler(x); BEGIN;");
  std::string sql;
  const auto body = [](int i) { return "row " + std::to_string(i) + " " + std::string(1000, 'a' + i % 26); };
  for (int i = 1000; i < 1006; ++i) {
    sql += "INSERT INTO t VALUES(" + std::to_string(i) + ", '" + body(i) + "', " +
           std::to_string(i * 3) + ");";
  }
  for (int i = 0; i < 20; ++i) sql += "INSERT INTO filler VALUES(zeroblob(900));";
  db.Exec(sql + "COMMIT;");
  // The freelist gets a trunk first, so the rows' overflow pages become its leaves.
  db.Exec("DROP TABLE filler;");
  db.Exec("DELETE FROM t WHERE id = 1004;");
  db.Exec("DELETE FROM t WHERE id = 1005;");
  db.Close();
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
  std::map<int64_t, std::string> back;
  ScanOptions options;
  options.live = false;
  ScanTable(reader, "t", options, [&](const ScannedRow& row) {
    const Record& r = row.record;
    if (r[2].IsInteger()) back[r[2].integer / 3] = std::string(r[1].Text());
    return true;
  });
  EXPECT_EQ(back, (std::map<int64_t, std::string>{{1004, body(1004)}, {1005, body(1005)}}));
}

TEST(SqliteCarveDatabase, DeletedRowsComeBackAndNothingFalse) {
  TempDb db;
  db.Exec(
      "PRAGMA page_size=1024; CREATE TABLE people(id INTEGER PRIMARY KEY, name TEXT, "
      "age INT, note TEXT); CREATE TABLE other(x REAL, y BLOB);");
  std::string sql = "BEGIN;";
  std::vector<std::vector<std::string>> inserted;
  for (int i = 1; i <= 240; ++i) {
    const std::string name = "person " + std::to_string(i * 7919 % 10007);
    const std::string note = i == 77 ? std::string(2500, 'L') : "n" + std::to_string(i);
    sql += "INSERT INTO people VALUES(" + std::to_string(i) + ",'" + name + "'," +
           std::to_string(20 + i % 60) + ",'" + note + "');";
    sql += "INSERT INTO other VALUES(" + std::to_string(i) + ".5, x'0102');";
  }
  db.Exec(sql + "COMMIT;");
  db.Exec("DELETE FROM people WHERE id % 10 = 3 OR id = 77 OR id BETWEEN 100 AND 130;");
  db.Close();
  const auto live = test::SelectAll(db.path(), "people");
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
  std::multiset<int64_t> ids;
  int falseRows = 0;
  ScanOptions options;
  options.live = false;
  ScanTable(reader, "people", options, [&](const ScannedRow& row) {
    EXPECT_TRUE(row.deleted);
    const Record& r = row.record;
    // A carved row is right when its name and age are those the id (or, with the id lost,
    // the name) was inserted with.
    int64_t id = r[0].IsInteger() ? r[0].integer : 0;
    if (!r[0].IsInteger()) {
      for (int i = 1; i <= 240 && id == 0; ++i) {
        if (r[1].Text() == "person " + std::to_string(i * 7919 % 10007)) id = i;
      }
    }
    const bool right = id > 0 && r[1].Text() == "person " + std::to_string(id * 7919 % 10007) &&
                       r[2].integer == 20 + id % 60;
    if (!right) {
      ++falseRows;
      return true;
    }
    ids.insert(id);
    if (id == 77) {
      EXPECT_EQ(r[3].Text(), std::string(2500, 'L'));  // overflow pages brought back
    }
    return true;
  });
  EXPECT_EQ(falseRows, 0);
  // Every deleted row whose bytes survive the page rebuilds of the deletes comes back, once.
  std::ifstream in(db.path(), std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  int survived = 0;
  for (int i = 1; i <= 240; ++i) {
    if (!(i % 10 == 3 || i == 77 || (i >= 100 && i <= 130))) continue;
    const std::string body = "person " + std::to_string(i * 7919 % 10007) + char(20 + i % 60) +
                             (i == 77 ? "LL" : "n" + std::to_string(i));
    if (file.find(body) == std::string::npos) continue;
    ++survived;
    EXPECT_EQ(ids.count(i), 1u) << i;
  }
  EXPECT_GE(survived, 20);

  // Dropping the table sends its pages to the freelist: ScanFile gives them as rows of no
  // table.
  TempDb dropped;
  dropped.Exec(
      "PRAGMA page_size=1024; CREATE TABLE keep(a); CREATE TABLE gone(a INT, b TEXT);"
      "BEGIN;");
  std::string rows;
  for (int i = 0; i < 100; ++i) {
    rows += "INSERT INTO gone VALUES(" + std::to_string(i) + ", 'dropped row " + std::to_string(i) +
            "');";
  }
  dropped.Exec(rows + "INSERT INTO keep VALUES(1); COMMIT; DROP TABLE gone;");
  dropped.Close();
  CSqliteFileReader r2;
  ASSERT_EQ(r2.Open(dropped.path()), kSqliteOk);
  std::set<int64_t> back;
  ScanFile(r2, ScanOptions{}, [&](const TableSchema* t, const ScannedRow& row) {
    if (t == nullptr && row.record.values.size() == 2 && row.record[0].IsInteger() &&
        row.record[1].Text() == "dropped row " + std::to_string(row.record[0].integer)) {
      back.insert(row.record[0].integer);
      EXPECT_EQ(row.origin.freedPage, true);
    }
    return true;
  });
  EXPECT_GE(back.size(), 90u);
}

// ----- Work ----------------------------------------------------------------------------------

// A table leaf page of `size` bytes with one live cell at its end (a, b TEXT, c) and the bytes
// `dead` placed at `deadAt` in the unallocated gap; the pointer array is the test's to write.
struct GapPage {
  std::vector<uint8_t> bytes;
  uint32_t liveAt = 0;
  TableShape shape;
  PageView view;
  GapPage(uint32_t size, const std::vector<uint8_t>& dead, uint32_t deadAt, TextEncoding enc,
          const std::string& liveText)
      : bytes(size, 0) {
    const auto live = test::EncodeCell(1, {int64_t{1000}, liveText, int64_t{1}});
    liveAt = size - static_cast<uint32_t>(live.size());
    std::copy(live.begin(), live.end(), bytes.begin() + liveAt);
    std::copy(dead.begin(), dead.end(), bytes.begin() + deadAt);
    bytes[0] = 13;
    Put16(3, 1);
    Put16(5, liveAt);
    Put16(8, liveAt);
    TableSchema schema;
    ParseCreateTable("CREATE TABLE t(a INT, b TEXT, c INT)", schema);
    shape = TableShape::FromSchema(schema);
    Record r;
    const auto rec = test::EncodeRecord({int64_t{1000}, liveText, int64_t{1}});
    EXPECT_TRUE(DecodeRecord(rec, enc, r));
    shape.Learn(r);
  }
  void Put16(uint32_t at, uint32_t v) {
    bytes[at] = static_cast<uint8_t>(v >> 8);
    bytes[at + 1] = static_cast<uint8_t>(v);
  }
  bool Parse() { return ParsePageView(bytes, 2, static_cast<uint32_t>(bytes.size()), view); }
};

// UTF-16 little-endian bytes of code units (carried in a std::string, as the record encoder
// takes texts).
std::string Utf16le(const std::vector<uint16_t>& units) {
  std::string out;
  for (uint16_t u : units) {
    out.push_back(static_cast<char>(u & 0xff));
    out.push_back(static_cast<char>(u >> 8));
  }
  return out;
}

// A deleted record with a long text that every slot of the pointer array still points at: the
// record is judged once, not once a slot, and its text's length does not multiply the work.
TEST(SqliteCarveWork, StalePointersToOneLongRecordCostWorkInProportionToThePage) {
  for (const TextEncoding enc : {TextEncoding::kUtf8, TextEncoding::kUtf16le}) {
    SCOPED_TRACE(enc == TextEncoding::kUtf8 ? "UTF-8" : "UTF-16le");
    // About 30,000 bytes as stored, in either encoding.
    std::string text;
    const size_t chars = enc == TextEncoding::kUtf8 ? 30000 : 15000;
    while (text.size() < chars) text += "a deleted message that was long ";
    std::vector<uint16_t> units(text.begin(), text.end());
    const std::string stored = enc == TextEncoding::kUtf8 ? text : Utf16le(units);
    const std::string liveText = enc == TextEncoding::kUtf8 ? "live" : Utf16le({'l', 'i', 'v', 'e'});
    const auto dead = test::EncodeCell(7, {int64_t{7000}, stored, int64_t{7}});
    const uint32_t size = 65536, deadAt = 32768;
    GapPage p(size, dead, deadAt, enc, liveText);
    for (uint32_t slot = 10; slot + 2 <= deadAt; slot += 2) p.Put16(slot, deadAt);
    ASSERT_TRUE(p.Parse());

    const CarveWork before = CarveWorkOfThisThread();
    std::vector<Candidate> out;
    CarvePage(p.view, p.shape, enc, out);
    const CarveWork after = CarveWorkOfThisThread();
    EXPECT_EQ(after.cutShort, before.cutShort) << "the page needed more than its allowance";
    EXPECT_LE(after.steps - before.steps, 16ull * size);  // judged once a slot: 30 times that
    size_t found = 0;
    for (const Candidate& c : out) {
      if (c.offset == deadAt && c.record.rowid == 7 && c.record[1].Text() == text) ++found;
    }
    EXPECT_EQ(found, 1u);
  }
}

// Long texts are judged through tables of the page, short ones byte by byte: both ways take
// and refuse the same texts (malformed ones refused, a control character costs score).
TEST(SqliteCarveWork, LongAndShortTextsAreJudgedAlike) {
  struct Case {
    const char* what;
    TextEncoding enc;
    std::string text;  // as stored
    bool taken;
  };
  const auto repeat = [](const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
  };
  const std::vector<Case> cases = {
      {"UTF-8 text", TextEncoding::kUtf8, "caf\xC3\xA9 \xF0\x9F\x98\x80 ok", true},
      {"UTF-8 with a control character", TextEncoding::kUtf8, "a\x01z", true},
      {"UTF-8 ending inside a character", TextEncoding::kUtf8, "abc\xE2\x82", false},
      {"UTF-8 starting with a continuation byte", TextEncoding::kUtf8, "\x82xyz", false},
      {"UTF-8 overlong form", TextEncoding::kUtf8, "ab\xC0\xAFz", false},
      {"UTF-16 pair", TextEncoding::kUtf16le, Utf16le({'o', 'k', 0xD83D, 0xDE00, '!'}), true},
      {"UTF-16 control character", TextEncoding::kUtf16le, Utf16le({'o', 0x0001, 'k'}), true},
      {"UTF-16 high surrogate last", TextEncoding::kUtf16le, Utf16le({'o', 'k', 0xD83D}), false},
      {"UTF-16 low surrogate first", TextEncoding::kUtf16le, Utf16le({0xDE00, 'o', 'k'}), false},
      {"UTF-16 high surrogate twice", TextEncoding::kUtf16le,
       Utf16le({'o', 0xD83D, 0xD83D, 0xDE00, 'k'}), false},
      {"UTF-16 replacement character", TextEncoding::kUtf16le, Utf16le({'o', 0xFFFD, 'k'}), false},
  };
  for (const Case& c : cases) {
    // The text as it is (short) and with 40 characters of plain text before and after (long).
    const std::string pad = c.enc == TextEncoding::kUtf8 ? repeat("p", 40) : repeat(Utf16le({'p'}), 40);
    int32_t scores[2] = {0, 0};
    for (int longForm = 0; longForm < 2; ++longForm) {
      SCOPED_TRACE(std::string(c.what) + (longForm ? ", long" : ", short"));
      const std::string text = longForm ? pad + c.text + pad : c.text;
      const std::string liveText = c.enc == TextEncoding::kUtf8 ? "live" : Utf16le({'l', 'i', 'v', 'e'});
      const auto dead = test::EncodeCell(7, {int64_t{7000}, text, int64_t{7}});
      GapPage p(4096, dead, 1024, c.enc, liveText);
      ASSERT_TRUE(p.Parse());
      std::vector<Candidate> out;
      ScanUnallocated(p.view, p.shape, c.enc, out);
      const Candidate* at = nullptr;
      for (const Candidate& k : out) {
        if (k.offset == 1024) at = &k;
      }
      EXPECT_EQ(at != nullptr, c.taken);
      if (at) scores[longForm] = at->score;
    }
    EXPECT_EQ(scores[0], scores[1]) << c.what;
  }
}

}  // namespace
}  // namespace halvern
