// Scores the carving on the public SQLite forensic corpus (categories 0A-0E, answer keys in
// XML) and checks that every database of the corpus parses without fault under the sanitizers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sqlite_recovery/dump.h"
#include "sqlite_recovery/scan.h"
#include "tests/sqlite_recovery/sqlite_fixture.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(HALVERN_TEST_DATA_DIR) / "sqlite-corpus" / "v1.0";

struct KeyRow {
  bool target = false;  // deleted row, or a row of a dropped table
  std::vector<std::string> values;
};
struct KeyTable {
  std::string name;
  bool dropped = false;
  std::vector<KeyRow> rows;
};

std::string Unescape(std::string s) {
  static const std::pair<const char*, const char*> kEntities[] = {
      {"&lt;", "<"}, {"&gt;", ">"}, {"&quot;", "\""}, {"&apos;", "'"}, {"&amp;", "&"}};
  for (const auto& [from, to] : kEntities) {
    for (size_t p = s.find(from); p != std::string::npos; p = s.find(from, p + 1)) {
      s.replace(p, std::strlen(from), to);
    }
  }
  return s;
}

// Text between open and close tags found from pos inside [pos, limit).
bool Between(const std::string& x, const std::string& open, const std::string& close, size_t pos,
             size_t limit, std::string& out) {
  const size_t a = x.find(open, pos);
  if (a == std::string::npos || a >= limit) return false;
  const size_t b = x.find(close, a + open.size());
  if (b == std::string::npos || b > limit) return false;
  out = Unescape(x.substr(a + open.size(), b - a - open.size()));
  return true;
}

std::vector<KeyTable> ReadKey(const fs::path& xml) {
  std::ifstream in(xml);
  if (!in) ADD_FAILURE() << "cannot read the answer key " << xml;
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string x = ss.str();
  std::vector<KeyTable> tables;
  for (size_t e = x.find("<element>"); e != std::string::npos; e = x.find("<element>", e + 1)) {
    size_t end = x.find("</element>", e);
    if (end == std::string::npos) end = x.size();
    std::string type, name, deleted;
    if (!Between(x, "<type>", "</type>", e, end, type) || type != "table") continue;
    Between(x, "<name>", "</name>", e, end, name);
    Between(x, "<deleted>", "</deleted>", e, end, deleted);
    KeyTable t;
    t.name = name;
    t.dropped = deleted == "True";
    const auto nextRow = [&](size_t from) {
      for (size_t r = x.find("<row", from); r != std::string::npos; r = x.find("<row", r + 1)) {
        if (x[r + 4] == '>' || x[r + 4] == ' ') return r;  // not <rowsTotal> and the like
      }
      return std::string::npos;
    };
    for (size_t r = nextRow(e); r != std::string::npos && r < end; r = nextRow(r + 1)) {
      const size_t rend = x.find("</row>", r);
      if (rend == std::string::npos || rend > end) break;
      KeyRow row;
      const size_t tagEnd = x.find('>', r);
      row.target = t.dropped || x.substr(r, tagEnd - r).find("deleted=\"1\"") != std::string::npos;
      for (size_t c = x.find("<content", r); c != std::string::npos && c < rend;
           c = x.find("<content", c + 1)) {
        const size_t close = x.find('>', c);
        if (x[close - 1] == '/') {
          row.values.emplace_back();
          continue;
        }
        const size_t stop = x.find("</content>", close);
        row.values.push_back(Unescape(x.substr(close + 1, stop - close - 1)));
      }
      t.rows.push_back(std::move(row));
    }
    tables.push_back(std::move(t));
  }
  return tables;
}

bool ValueMatches(const Value& v, const std::string& expected) {
  switch (v.type) {
    case ValueType::kLost:
      return true;
    case ValueType::kNull:
      return expected.empty();
    case ValueType::kInteger:
      return std::to_string(v.integer) == expected;
    case ValueType::kReal: {
      char* endp = nullptr;
      const double d = std::strtod(expected.c_str(), &endp);
      if (endp == expected.c_str()) return false;
      return std::fabs(d - v.real) <= 1e-9 * std::max(1.0, std::fabs(d));
    }
    case ValueType::kText:
      return v.bytes == expected;
    case ValueType::kBlob:
      return false;
  }
  return false;
}

// A recovered row equals a key row: same column count, every value equal (lost ones aside).
bool RowMatches(const Record& r, const KeyRow& k, bool exact) {
  if (r.values.size() != k.values.size()) return false;
  for (size_t i = 0; i < k.values.size(); ++i) {
    if (exact && r.values[i].IsLost()) return false;
    if (!ValueMatches(r.values[i], k.values[i])) return false;
  }
  return true;
}

struct Score {
  int targets = 0;
  int recovered = 0;  // targets matched exactly
  int partial = 0;    // carved rows consistent with a row but with lost values
  int falseRows = 0;  // carved rows that match no row of the key
};

Score ScoreDatabase(const fs::path& db) {
  fs::path xml = db;
  xml.replace_extension(".xml");
  std::vector<KeyTable> key = ReadKey(xml);
  Score s;
  std::vector<std::vector<bool>> used(key.size());
  for (size_t t = 0; t < key.size(); ++t) {
    used[t].assign(key[t].rows.size(), false);
    for (const KeyRow& r : key[t].rows) s.targets += r.target;
  }
  CSqliteFileReader reader;
  EXPECT_EQ(reader.Open(db.string()), kSqliteOk) << db;
  ScanOptions options;
  options.live = false;
  ScanFile(reader, options, [&](const TableSchema* table, const ScannedRow& row) {
    if (!row.deleted) return true;
    // Exact match with a target not yet matched (a dropped table's rows may come as rows of
    // no table, or of a later table of the same name).
    for (size_t t = 0; t < key.size(); ++t) {
      if (table && !key[t].dropped && key[t].name != table->name) continue;
      for (size_t i = 0; i < key[t].rows.size(); ++i) {
        if (key[t].rows[i].target && !used[t][i] && RowMatches(row.record, key[t].rows[i], true)) {
          used[t][i] = true;
          ++s.recovered;
          return true;
        }
      }
    }
    for (const KeyTable& t : key) {
      for (const KeyRow& r : t.rows) {
        if (RowMatches(row.record, r, false)) {
          ++s.partial;
          return true;
        }
      }
    }
    ++s.falseRows;
    return true;
  });
  return s;
}

TEST(SqliteCorpus, CarvingRecallOnDeletedRows) {
  ASSERT_TRUE(fs::is_directory(kCorpus)) << "the corpus folder is missing: " << kCorpus;
  std::map<std::string, Score> byCategory;
  Score total;
  for (const char* category : {"0A", "0B", "0C", "0D", "0E"}) {
    std::vector<fs::path> dbs;
    for (const auto& e : fs::directory_iterator(kCorpus / category)) {
      if (e.path().extension() == ".db") dbs.push_back(e.path());
    }
    std::sort(dbs.begin(), dbs.end());
    Score& c = byCategory[category];
    for (const fs::path& db : dbs) {
      const Score s = ScoreDatabase(db);
      c.targets += s.targets;
      c.recovered += s.recovered;
      c.partial += s.partial;
      c.falseRows += s.falseRows;
      std::printf("  %s: %d/%d recovered, %d partial, %d false\n", db.filename().string().c_str(),
                  s.recovered, s.targets, s.partial, s.falseRows);
    }
    std::printf("%s: %d of %d deleted rows recovered exactly, %d partial, %d false rows\n",
                category, c.recovered, c.targets, c.partial, c.falseRows);
    total.targets += c.targets;
    total.recovered += c.recovered;
    total.partial += c.partial;
    total.falseRows += c.falseRows;
  }
  std::printf("0A-0E: %d of %d (%.0f%%) recovered exactly, %d partial, %d false rows\n",
              total.recovered, total.targets, 100.0 * total.recovered / total.targets,
              total.partial, total.falseRows);
  EXPECT_EQ(total.targets, 278);
  // Floors at the figures reached, so that a regression fails.
  EXPECT_EQ(byCategory["0C"].recovered, 101);
  EXPECT_EQ(byCategory["0A"].recovered, 100);
  EXPECT_GE(total.recovered, 230);
  EXPECT_LE(total.falseRows, 2);
}

// Every database of the corpus (odd names, encodings, reserved bytes, pointer maps ...) opens,
// gives the live rows of every table exactly as the SQLite library returns them, and dumps
// without fault.
TEST(SqliteCorpus, EveryDatabaseParses) {
  ASSERT_TRUE(fs::is_directory(kCorpus)) << "the corpus folder is missing: " << kCorpus;
  int databases = 0;
  int tables = 0;
  for (const auto& folder : fs::directory_iterator(kCorpus)) {
    if (!folder.is_directory()) continue;
    for (const auto& e : fs::directory_iterator(folder.path())) {
      if (e.path().extension() != ".db") continue;
      ++databases;
      std::string json;
      SqliteDumpOptions options;
      EXPECT_EQ(DumpSqliteJson(e.path().string(), options, json), kSqliteOk) << e.path();
      EXPECT_FALSE(json.empty()) << e.path();
      CSqliteFileReader reader;
      ASSERT_EQ(reader.Open(e.path().string()), kSqliteOk);
      for (const TableSchema& t : reader.Tables()) {
        if (!t.parsed || t.rootPage == 0) continue;
        std::vector<test::RowText> rows = test::ReaderRows(reader, t.name);
        if (t.withoutRowid) {
          for (test::RowText& row : rows) row.erase(row.begin());
        }
        EXPECT_EQ(rows, test::SelectAll(e.path().string(), t.name, !t.withoutRowid))
            << e.path() << " " << t.name;
        ++tables;
      }
    }
  }
  EXPECT_EQ(databases, 77);
  EXPECT_GT(tables, 77);
}

}  // namespace
}  // namespace halvern
