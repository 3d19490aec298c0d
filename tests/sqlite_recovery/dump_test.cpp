// The generic dump: one JSON document with every table, typed values and provenance.
#include "sqlite_recovery/dump.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/sqlite_recovery/sqlite_fixture.h"

namespace halvern {
namespace {

using test::TempDb;

TEST(SqliteDump, TypedValuesLiveAndCarvedRowsWithProvenance) {
  test::TempDb db;
  db.Exec(
      "PRAGMA page_size=1024; CREATE TABLE t(id INTEGER PRIMARY KEY, s TEXT, r REAL, "
      "b BLOB, n); CREATE TABLE u(a);"
      "INSERT INTO t VALUES(1, 'caf\xC3\xA9 \"q\"\n', 1.5, x'00ff', NULL);"
      "INSERT INTO t VALUES(2, 'second row text', 2.0, x'', -5);"
      "INSERT INTO t VALUES(3, 'third row to delete', 3.25, x'0a', 7);"
      "DELETE FROM t WHERE id = 3;");
  db.Close();
  std::string text;
  SqliteDumpOptions options;
  ASSERT_EQ(DumpSqliteJson(db.path(), options, text), kSqliteOk);
  const auto j = nlohmann::json::parse(text);
  EXPECT_EQ(j["pageSize"], 1024);
  ASSERT_EQ(j["tables"].size(), 2u);
  const auto& t = j["tables"][0];
  EXPECT_EQ(t["name"], "t");
  EXPECT_EQ(t["columns"], nlohmann::json({"id", "s", "r", "b", "n"}));
  ASSERT_GE(t["rows"].size(), 3u);
  const auto& first = t["rows"][0];
  EXPECT_EQ(first["deleted"], 0);
  EXPECT_EQ(first["source"], "live");
  EXPECT_EQ(first["page"], 2);
  EXPECT_EQ(first["rowid"], 1);
  EXPECT_EQ(first["values"],
            nlohmann::json::parse(R"([1, "café \"q\"\n", 1.5, {"hex": "00ff"}, null])"));
  EXPECT_TRUE(t["rows"][1]["values"][2].is_number_float());
  const auto& carved = t["rows"][2];
  EXPECT_EQ(carved["deleted"], 1);
  EXPECT_NE(carved["source"], "live");
  EXPECT_EQ(carved["page"], 2);
  EXPECT_GT(carved["offset"].get<int>(), 0);
  EXPECT_EQ(carved["values"][1], "third row to delete");
  EXPECT_EQ(carved["values"][2], 3.25);

  options.table = "U";
  ASSERT_EQ(DumpSqliteJson(db.path(), options, text), kSqliteOk);
  const auto only = nlohmann::json::parse(text);
  ASSERT_EQ(only["tables"].size(), 1u);
  EXPECT_EQ(only["tables"][0]["name"], "u");

  EXPECT_EQ(DumpSqliteJson(db.path() + ".none", options, text), ENOENT);
}

// A deleted record whose tail a later cell took comes back with its text cut at that cell; the
// row says which of its values are only a beginning.
TEST(SqliteDump, CarvedRowTellsWhichValuesWereCut) {
  test::TempDb db;
  const std::string text(300, 'x');
  db.Exec(
      "PRAGMA page_size=1024; PRAGMA secure_delete=off;"
      "CREATE TABLE t(id INTEGER PRIMARY KEY, guid TEXT, a INT, b INT, c INT, s TEXT, d INT);"
      "INSERT INTO t VALUES(1000, 'G-1', 1, 2, 3, 'short', 4);"
      "INSERT INTO t VALUES(2000, 'G-2-ABCDEFGH', 600000000001, 600000000002, 600000000003, '" +
      text + "', 600000000004);"
      "INSERT INTO t VALUES(3000, 'G-3', 1, 2, 3, 'short', 4);"
      "DELETE FROM t WHERE id = 2000;"
      "INSERT INTO t VALUES(4000, 'G-4', 7, 7, 7, '" + std::string(60, 'y') + "', 7);");
  db.Close();
  std::string json;
  ASSERT_EQ(DumpSqliteJson(db.path(), SqliteDumpOptions{}, json), kSqliteOk);
  const auto rows = nlohmann::json::parse(json)["tables"][0]["rows"];
  size_t carved = 0;
  for (const auto& row : rows) {
    if (row["deleted"] == 0) {
      EXPECT_FALSE(row.contains("cut")) << row.dump();
      continue;
    }
    ++carved;
    ASSERT_EQ(row["values"][1], "G-2-ABCDEFGH");
    const std::string s = row["values"][5];
    ASSERT_LT(s.size(), text.size()) << "the later cell took the end of the text";
    EXPECT_EQ(s, text.substr(0, s.size()));
    EXPECT_EQ(row["cut"], nlohmann::json::array({5}));
  }
  EXPECT_EQ(carved, 1u);
}

// One row as text: where it was found and every value.
std::string RowKey(const ScannedRow& row) {
  std::string s = std::string(RowSourceName(row.origin.source)) + " p" +
                  std::to_string(row.origin.page) + " o" + std::to_string(row.origin.offset) +
                  " f" + std::to_string(row.origin.frame) + " d" + std::to_string(row.deleted) +
                  " s" + std::to_string(row.score) + " r" +
                  (row.record.rowid ? std::to_string(*row.record.rowid) : "-") + ":";
  for (const Value& v : row.record.values) {
    s += " " + std::to_string(static_cast<int>(v.type)) + "=" +
         (v.IsInteger() ? std::to_string(v.integer)
          : v.IsReal()  ? std::to_string(v.real)
                        : std::string(v.bytes));
  }
  return s;
}

// Table by table, as the rows are read, the scan gives exactly what the whole-file scan gives
// for each table, in the same order: live rows, older versions kept by the write-ahead log,
// carved rows, rows of freed pages (a table's own and those shared with no table), and last the
// rows of no table (a dropped table's pages).
TEST(SqliteDump, TableByTableScanGivesTheWholeFileScanGrouped) {
  TempDb db;
  db.Exec(
      "PRAGMA page_size=1024; PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
      "CREATE TABLE t(id INTEGER PRIMARY KEY, s TEXT, n INT); CREATE TABLE gone(a INT, b TEXT);"
      "CREATE TABLE u(x TEXT, y REAL); BEGIN;");
  std::string sql;
  for (int i = 1; i <= 300; ++i) {
    const std::string n = std::to_string(i);
    sql += "INSERT INTO t VALUES(" + n + ", 'row " + n + " of t', " + n + ");" +
           "INSERT INTO gone VALUES(" + n + ", 'dropped row " + n + "');" +
           "INSERT INTO u VALUES('u text " + n + "', " + n + ".5);";
  }
  // Rows deleted in the main file: their freed pages (one of them a freelist trunk now) are
  // the only copies.
  db.Exec(sql + "COMMIT; DELETE FROM t WHERE id BETWEEN 150 AND 250;"
          "PRAGMA wal_checkpoint(TRUNCATE);");
  // The log gets the changes below.
  db.Exec(
      "DELETE FROM t WHERE id % 7 = 0; DROP TABLE gone; DELETE FROM u WHERE rowid > 40;"
      "UPDATE t SET s = 'changed ' || id WHERE id % 5 = 0;");
  db.Exec("UPDATE t SET s = 'changed again ' || id WHERE id % 10 = 0;");
  const std::string copy = test::CopyWithWal(db.path(), db.dir() / "copy");
  db.Close();

  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(copy), kSqliteOk);
  ASSERT_TRUE(reader.WalApplied());
  std::map<const TableSchema*, std::vector<std::string>> whole;
  std::set<RowSource> sources;
  ASSERT_EQ(ScanFile(reader, ScanOptions{},
                     [&](const TableSchema* t, const ScannedRow& row) {
                       whole[t].push_back(RowKey(row));
                       sources.insert(row.origin.source);
                       return true;
                     }),
            kSqliteOk);
  // The fixture has what the grouping must keep in order.
  for (RowSource s : {RowSource::kLive, RowSource::kWal, RowSource::kWalReplaced,
                      RowSource::kFreeblock, RowSource::kFreelist}) {
    EXPECT_TRUE(sources.count(s)) << RowSourceName(s);
  }
  ASSERT_FALSE(whole[nullptr].empty());

  // onlyU: one table wanted; spill: the live rows' fingerprints go through the temporary file
  // (a few in memory at a time).
  for (const auto& [onlyU, spill] : {std::pair{false, false}, {true, false}, {false, true}}) {
    std::vector<std::pair<const TableSchema*, std::vector<std::string>>> groups;
    bool open = false;
    TableGroupCallbacks callbacks;
    if (onlyU) callbacks.want = [](const TableSchema* t) { return t && t->name == "u"; };
    callbacks.begin = [&](const TableSchema* t) {
      EXPECT_FALSE(open);
      open = true;
      groups.emplace_back(t, std::vector<std::string>{});
      return true;
    };
    callbacks.row = [&](const TableSchema* t, const ScannedRow& row) {
      EXPECT_TRUE(open && groups.back().first == t);
      groups.back().second.push_back(RowKey(row));
      return true;
    };
    callbacks.end = [&](const TableSchema* t) {
      EXPECT_TRUE(open && groups.back().first == t);
      open = false;
      return true;
    };
    CSqliteFileReader again;
    ASSERT_EQ(again.Open(copy), kSqliteOk);
    ScanOptions options;
    if (spill) options.liveFingerprintsInMemory = 7;
    ASSERT_EQ(ScanFileByTable(again, options, callbacks), kSqliteOk);
    std::vector<std::string> names;
    for (const auto& [t, rows] : groups) {
      names.push_back(t ? t->name : "(none)");
      // Tables of the two readers are matched by their place in the schema.
      const TableSchema* same = t ? &reader.Tables()[t - again.Tables().data()] : nullptr;
      EXPECT_EQ(rows, whole[same]) << names.back();
    }
    const std::vector<std::string> expected =
        onlyU ? std::vector<std::string>{"u"} : std::vector<std::string>{"t", "u", "(none)"};
    EXPECT_EQ(names, expected);
  }

  // Live rows alone: the log is applied, but its older page versions (whose unchanged rows
  // are copies of live ones) are carved rows and stay out.
  SqliteDumpOptions liveOnly;
  liveOnly.carve = liveOnly.freelist = false;
  std::string json;
  ASSERT_EQ(DumpSqliteJson(copy, liveOnly, json), kSqliteOk);
  const auto j = nlohmann::json::parse(json);
  EXPECT_TRUE(j["wal"].is_object());
  size_t live = 0;
  for (const auto& t : j["tables"]) {
    for (const auto& row : t["rows"]) {
      EXPECT_EQ(row["source"], "live") << row;
      ++live;
    }
  }
  size_t expectedLive = 0;
  for (const auto& [t, rows] : whole) {
    for (const std::string& row : rows) expectedLive += row.rfind("live ", 0) == 0;
  }
  EXPECT_EQ(live, expectedLive);
}

// A file with no freed page and no log has nothing to share out between its tables: the rows
// table by table are still exactly the whole-file scan's, carved ones included.
TEST(SqliteDump, TableByTableWithoutFreedPagesGivesTheWholeFileScan) {
  TempDb db;
  std::string sql = "CREATE TABLE a(x TEXT, n INT); CREATE TABLE b(y TEXT); BEGIN;";
  for (int i = 1; i <= 200; ++i) {
    const std::string n = std::to_string(i);
    sql += "INSERT INTO a VALUES('a row " + n + "', " + n + "); INSERT INTO b VALUES('b " + n +
           "');";
  }
  db.Exec(sql + "COMMIT; DELETE FROM a WHERE n % 4 = 0; DELETE FROM b WHERE rowid % 5 = 0;");
  db.Close();
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
  ASSERT_EQ(reader.FreelistLeafPages.size() + reader.FreelistTrunkPages().size(), 0u);
  std::map<std::string, std::vector<std::string>> whole, grouped;
  size_t deleted = 0;
  ASSERT_EQ(ScanFile(reader, ScanOptions{},
                     [&](const TableSchema* t, const ScannedRow& row) {
                       whole[t ? t->name : ""].push_back(RowKey(row));
                       deleted += row.deleted;
                       return true;
                     }),
            kSqliteOk);
  EXPECT_GT(deleted, 20u);  // carved rows are part of the comparison
  TableGroupCallbacks callbacks;
  callbacks.row = [&](const TableSchema* t, const ScannedRow& row) {
    grouped[t ? t->name : ""].push_back(RowKey(row));
    return true;
  };
  ASSERT_EQ(ScanFileByTable(reader, ScanOptions{}, callbacks), kSqliteOk);
  EXPECT_EQ(grouped, whole);
}

// Every value as the document writes it: strings escaped, bytes that are not UTF-8 as U+FFFD
// (also where a long text is written piece by piece), reals as %.17g with a fraction kept.
TEST(SqliteDump, ValuesAreWrittenExactly) {
  const std::string longText = std::string(16383, 'a') + "\xE2\x82\xAC" + std::string(20000, 'b');
  std::string longHex;
  for (int i = 0; i < 40000; ++i) longHex += "0f";
  struct Case {
    std::string sql;       // the value as an SQL expression
    std::string expected;  // as the document writes it
  } cases[] = {
      {"'plain'", "\"plain\""},
      {"'q\"b\\' || char(10) || char(13) || char(9) || char(1) || char(31) || char(127)",
       "\"q\\\"b\\\\\\n\\r\\t\\u0001\\u001f\x7f\""},
      {"'\xF0\x9F\x98\x80 \xC3\xA9 \xE2\x82\xAC'", "\"\xF0\x9F\x98\x80 \xC3\xA9 \xE2\x82\xAC\""},
      // A lone continuation byte, an overlong form, a surrogate, beyond U+10FFFF, a sequence cut
      // at the end: each bad byte one U+FFFD, the rest kept.
      {"CAST(x'61806263' AS TEXT)", "\"a\xEF\xBF\xBD" "bc\""},
      {"CAST(x'c0af' AS TEXT)", "\"\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"CAST(x'eda080' AS TEXT)", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"CAST(x'f4908080' AS TEXT)",
       "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"CAST(x'41e282' AS TEXT)", "\"A\xEF\xBF\xBD\xEF\xBF\xBD\""},
      {"'" + longText + "'", "\"" + longText + "\""},
      {"x'00ff10'", "{\"hex\":\"00ff10\"}"},
      {"x'" + longHex + "'", "{\"hex\":\"" + longHex + "\"}"},
      {"0.1", "0.10000000000000001"},
      {"2.0", "2.0"},
      {"-1.5", "-1.5"},
      {"1e-7", "9.9999999999999995e-08"},
      {"1e300", "1.0000000000000001e+300"},
      {"123456789012345678.0", "1.2345678901234568e+17"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"NULL", "null"},
  };
  test::TempDb db;
  std::string sql = "CREATE TABLE t(v);";
  for (const Case& c : cases) sql += "INSERT INTO t VALUES(" + c.sql + ");";
  db.Exec(sql);
  db.Close();
  SqliteDumpOptions options;
  options.carve = options.freelist = false;
  std::string json;
  ASSERT_EQ(DumpSqliteJson(db.path(), options, json), kSqliteOk);
  size_t at = 0;
  for (const Case& c : cases) {
    const std::string values = "\"values\":[" + c.expected + "]}";
    const size_t found = json.find(values, at);
    EXPECT_NE(found, std::string::npos) << c.sql.substr(0, 60);
    if (found != std::string::npos) at = found + values.size();
  }
  EXPECT_TRUE(nlohmann::json::accept(json));
}

// Carving a table's pages on a second thread changes nothing: the same rows in the same order,
// and a callback that stops the scan stops it there.
TEST(SqliteDump, CarvingOnTwoThreadsGivesTheSameRowsInOrder) {
  TempDb db;
  std::string sql =
      "PRAGMA page_size=1024; PRAGMA auto_vacuum=0; CREATE TABLE t(id INTEGER PRIMARY KEY, s TEXT, "
      "n INT); BEGIN;";
  for (int i = 1; i <= 3000; ++i) {
    const std::string n = std::to_string(i);
    sql += "INSERT INTO t VALUES(" + n + ", 'row " + n + " of the table', " + n + ");";
  }
  db.Exec(sql + "COMMIT; DELETE FROM t WHERE id % 3 = 0 OR id BETWEEN 1000 AND 1400;");
  db.Close();
  const auto scan = [&](uint32_t threads, size_t stopAfter, int32_t& status) {
    std::vector<std::string> rows;
    CSqliteFileReader reader;
    EXPECT_EQ(reader.Open(db.path()), kSqliteOk);
    TableGroupCallbacks callbacks;
    callbacks.row = [&](const TableSchema*, const ScannedRow& row) {
      rows.push_back(RowKey(row));
      return rows.size() < stopAfter;
    };
    ScanOptions options;
    options.carveThreads = threads;
    status = ScanFileByTable(reader, options, callbacks);
    return rows;
  };
  int32_t status = 0;
  const std::vector<std::string> one = scan(1, SIZE_MAX, status);
  EXPECT_EQ(status, kSqliteOk);
  size_t carved = 0;
  for (const std::string& row : one) carved += row.rfind("freeblock ", 0) == 0;
  ASSERT_GT(carved, 500u);
  EXPECT_EQ(scan(2, SIZE_MAX, status), one);
  EXPECT_EQ(status, kSqliteOk);
  // Stopped among the carved rows, with pages carved ahead.
  const size_t stopAt = one.size() - carved / 2;
  const std::vector<std::string> stopped = scan(2, stopAt, status);
  EXPECT_EQ(status, kSqliteStopped);
  EXPECT_EQ(stopped, std::vector<std::string>(one.begin(), one.begin() + stopAt));
}

// A sink that refuses a piece ends the dump with a write fault, never with success.
TEST(SqliteDump, RefusedOutputIsAWriteFault) {
  test::TempDb db;
  db.Exec("CREATE TABLE t(a); INSERT INTO t VALUES('x');");
  db.Close();
  int pieces = 0;
  EXPECT_EQ(DumpSqliteJson(db.path(), SqliteDumpOptions{},
                           [&](std::string_view) {
                             ++pieces;
                             return false;
                           }),
            kSqliteWriteFault);
  EXPECT_EQ(pieces, 1);
}

}  // namespace
}  // namespace halvern
