// The generic dump: one JSON document with every table, typed values and provenance.
#include "sqlite_recovery/dump.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/sqlite_recovery/sqlite_fixture.h"

namespace halvern {
namespace {

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

}  // namespace
}  // namespace halvern
