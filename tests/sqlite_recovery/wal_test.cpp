// The write-ahead log: databases in WAL mode copied with their log while the writer still holds
// it (no checkpoint, no -shm), read as the SQLite library reads them; damaged, unfinished and
// restarted logs; and the older row versions the log keeps, carved with the frame they are in.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "sqlite_recovery/dump.h"
#include "sqlite_recovery/scan.h"
#include "tests/sqlite_recovery/sqlite_fixture.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using test::RowText;
using test::TempDb;

// A writer in WAL mode that never checkpoints; the files stay as a phone leaves them.
class WalWriter {
 public:
  explicit WalWriter(const std::string& path, const std::string& setup = "") {
    EXPECT_EQ(sqlite3_open(path.c_str(), &db_), SQLITE_OK);
    Exec(setup + "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;");
  }
  ~WalWriter() {
    // Leave the log in place when closing (as a copy taken before the close would hold it).
    int done = 0;
    sqlite3_db_config(db_, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &done);
    sqlite3_close(db_);
  }
  void Exec(const std::string& sql) {
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error ? error : "") << "\n"
        << sql.substr(0, 200);
    sqlite3_free(error);
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The live rows of a table: the reader's (on `copy`) and the library's (on a copy of its own).
void ExpectLiveRowsEqual(const std::string& copy, const std::string& table, const fs::path& work) {
  const std::string reference = test::CopyWithWal(copy, work / "reference");
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(copy), kSqliteOk);
  EXPECT_EQ(test::ReaderRows(reader, table), test::SelectAll(reference, table));
  fs::remove_all(work / "reference");
}

// Text of one row version: id, text, number.
std::string Version(int64_t id, const std::string& text, int64_t n) {
  return std::to_string(id) + "|" + text + "|" + std::to_string(n);
}

// Inserts, updates and deletes over several commits, never checkpointed. With secure delete on
// in the writer, the pages as they are now keep no trace of older versions: whatever comes back
// comes from the log's older frames and the main file's older pages. Every committed older
// version comes back, nothing else, each from a frame the log holds.
TEST(SqliteWal, EveryCommittedOlderRowVersionComesBackFromTheLog) {
  for (const bool secureDelete : {true, false}) {
    SCOPED_TRACE(secureDelete ? "secure delete" : "no secure delete");
    TempDb db;
    std::set<std::string> versions;  // every committed version of every row
    {
      WalWriter w(db.path(), std::string("PRAGMA page_size=1024; PRAGMA secure_delete=") +
                                 (secureDelete ? "ON;" : "OFF;"));
      w.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, text TEXT, n INT);");
      std::map<int64_t, std::pair<std::string, int64_t>> now;
      const auto commit = [&](const std::string& sql) {
        w.Exec("BEGIN;" + sql + "COMMIT;");
        for (const auto& [id, row] : now) versions.insert(Version(id, row.first, row.second));
      };
      std::string sql;
      for (int id = 1; id <= 120; ++id) {
        now[id] = {"first " + std::to_string(id), id * 11};
        sql += "INSERT INTO t VALUES(" + std::to_string(id) + ",'first " + std::to_string(id) +
               "'," + std::to_string(id * 11) + ");";
      }
      commit(sql);
      for (int round = 1; round <= 4; ++round) {
        sql.clear();
        for (int id = round; id <= 120; id += 9) {
          const bool deletedNow = id >= 100 + round * 3 && id < 100 + round * 3 + 2;
          if (!now.count(id) || deletedNow) continue;  // every version is a committed one
          const std::string text = "round " + std::to_string(round) + " of " + std::to_string(id);
          now[id] = {text, -id * round};
          sql += "UPDATE t SET text='" + text + "', n=" + std::to_string(-id * round) +
                 " WHERE id=" + std::to_string(id) + ";";
        }
        for (int id = 100 + round * 3; id < 100 + round * 3 + 2; ++id) {
          now.erase(id);
          sql += "DELETE FROM t WHERE id=" + std::to_string(id) + ";";
        }
        commit(sql);
      }
      for (const auto& [id, row] : now) versions.erase(Version(id, row.first, row.second));
    }
    ASSERT_TRUE(fs::exists(db.path() + "-wal"));
    ExpectLiveRowsEqual(db.path(), "t", db.dir());

    CSqliteFileReader reader;
    ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
    ASSERT_TRUE(reader.WalApplied());
    std::set<std::string> back;
    int falseRows = 0;
    ScanOptions options;
    options.live = false;
    ScanTable(reader, "t", options, [&](const ScannedRow& row) {
      const Record& r = row.record;
      const std::string v = Version(r[0].AsInt64(), std::string(r[1].Text()), r[2].AsInt64());
      if (!versions.count(v)) {
        ADD_FAILURE() << "not an older version: " << v << " from "
                      << RowSourceName(row.origin.source);
        ++falseRows;
        return true;
      }
      back.insert(v);
      if (row.origin.source == RowSource::kWal) {
        EXPECT_GE(row.origin.frame, 1u);
        EXPECT_LE(row.origin.frame, reader.WalFrames().size());
        EXPECT_EQ(reader.WalFrames()[row.origin.frame - 1].state, WalFrameState::kSuperseded);
        EXPECT_EQ(reader.WalFrames()[row.origin.frame - 1].page, row.origin.page);
      } else if (secureDelete) {
        EXPECT_EQ(row.origin.source, RowSource::kWalReplaced) << v;
      }
      return true;
    });
    EXPECT_EQ(falseRows, 0);
    EXPECT_EQ(back, versions);
    std::printf("%s: %zu of %zu older row versions back\n",
                secureDelete ? "secure delete" : "no secure delete", back.size(),
                versions.size());

    // The dump says where: source "wal" with the frame.
    std::string json;
    ASSERT_EQ(DumpSqliteJson(db.path(), SqliteDumpOptions{}, json), kSqliteOk);
    EXPECT_NE(json.find("\"source\":\"wal\",\"page\":"), std::string::npos);
    EXPECT_NE(json.find("\"frame\":"), std::string::npos);
    EXPECT_NE(json.find("\"wal\":{\"frames\":"), std::string::npos);
    // Without the log: the main file alone, no log rows.
    SqliteDumpOptions noWal;
    noWal.wal = false;
    ASSERT_EQ(DumpSqliteJson(db.path(), noWal, json), kSqliteOk);
    EXPECT_EQ(json.find("\"source\":\"wal"), std::string::npos);
    EXPECT_NE(json.find("\"wal\":null"), std::string::npos);
  }
}

// Logs the library itself would read only in part: a frame whose checksum is wrong ends the
// log there; a log cut in the middle of a frame; a transaction still open (its frames spilled
// into the log, no commit frame); a log restarted after a checkpoint, with frames of the
// earlier generation behind the new ones; a log with a broken header. Each time the reader
// gives what the library gives, and nothing was written beside the files.
TEST(SqliteWal, PartialLogsReadAsTheLibraryReadsThem) {
  TempDb db;
  const std::string base = (db.dir() / "base.db").string();
  {
    WalWriter w(base, "PRAGMA page_size=1024;");
    w.Exec("CREATE TABLE t(id INTEGER PRIMARY KEY, text TEXT, n INT);");
    for (int commit = 0; commit < 6; ++commit) {
      // The table and its first rows go into the main file; the later commits stay in the log.
      if (commit == 1) w.Exec("PRAGMA wal_checkpoint(TRUNCATE);");
      std::string sql = "BEGIN;";
      for (int i = 0; i < 30; ++i) {
        const int id = commit * 30 + i + 1;
        sql += "INSERT INTO t VALUES(" + std::to_string(id) + ",'commit " +
               std::to_string(commit) + " row " + std::to_string(id) + "'," + std::to_string(i) +
               ");";
      }
      w.Exec(sql + "COMMIT;");
    }
  }
  const std::string log = ReadAll(base + "-wal");
  ASSERT_GT(log.size(), 32u + 10 * (24 + 1024));
  const size_t frame = 24 + 1024;
  struct Damage {
    const char* name;
    std::function<std::string(std::string)> apply;
    bool applied;  // some committed frames remain
  };
  const Damage damages[] = {
      {"checksum of frame 9 wrong",
       [&](std::string l) {
         l[32 + 8 * frame + 24 + 500] ^= 0x55;
         return l;
       },
       true},
      {"cut inside the last frame", [&](std::string l) { return l.substr(0, l.size() - 700); },
       true},
      {"header checksum wrong",
       [&](std::string l) {
         l[16] ^= 1;
         return l;
       },
       false},
      {"other page size",
       [&](std::string l) {
         l[8] = 0;
         l[9] = 0;
         l[10] = 0x10;
         l[11] = 0;
         return l;
       },
       false},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.name);
    const fs::path folder = db.dir() / d.name;
    const std::string copy = test::CopyWithWal(base, folder);
    WriteAll(copy + "-wal", d.apply(log));
    ExpectLiveRowsEqual(copy, "t", folder);
    CSqliteFileReader reader;
    ASSERT_EQ(reader.Open(copy), kSqliteOk);
    EXPECT_EQ(reader.WalApplied(), d.applied);
    if (!d.applied) EXPECT_FALSE(reader.Faults().empty());
    EXPECT_FALSE(fs::exists(copy + "-shm"));
  }

  // A transaction still open: its pages spilled into the log without a commit frame.
  {
    const std::string open = (db.dir() / "open.db").string();
    fs::copy_file(base, open);
    fs::copy_file(base + "-wal", open + "-wal");
    WalWriter w(open, "PRAGMA cache_size=2;");
    std::string sql = "BEGIN;";
    for (int i = 0; i < 3000; ++i) {
      sql += "INSERT INTO t(text, n) VALUES('uncommitted " + std::to_string(i) + " " +
             std::string(40, 'u') + "', 0);";
    }
    w.Exec(sql);
    const fs::path folder = db.dir() / "open-copy";
    const std::string copy = test::CopyWithWal(open, folder);
    w.Exec("ROLLBACK;");
    ExpectLiveRowsEqual(copy, "t", folder);
    CSqliteFileReader reader;
    ASSERT_EQ(reader.Open(copy), kSqliteOk);
    // The log holds frames past its last commit (spilled, or rewritten in place: their
    // checksums need not hold); none of them is applied.
    uint64_t committed = 0;
    for (const WalFrame& f : reader.WalFrames()) {
      committed += f.state == WalFrameState::kCurrent || f.state == WalFrameState::kSuperseded;
    }
    EXPECT_GT(fs::file_size(copy + "-wal"), 32 + (committed + 10) * (24 + 1024));
    for (const RowText& row : test::ReaderRows(reader, "t", true)) {
      EXPECT_EQ(row[2].find("t:uncommitted"), std::string::npos);
    }
  }

  // A log restarted after a checkpoint: the new generation's frames lie over the start of the
  // earlier one's; rows only the earlier generation kept come back from it.
  {
    const std::string restarted = (db.dir() / "restarted.db").string();
    fs::copy_file(base, restarted);
    fs::copy_file(base + "-wal", restarted + "-wal");
    {
      WalWriter w(restarted, "PRAGMA secure_delete=ON;");
      w.Exec("PRAGMA wal_checkpoint(RESTART);");
      w.Exec("DELETE FROM t WHERE id = 3;");
    }
    const fs::path folder = db.dir() / "restarted-copy";
    const std::string copy = test::CopyWithWal(restarted, folder);
    ExpectLiveRowsEqual(copy, "t", folder);
    CSqliteFileReader reader;
    ASSERT_EQ(reader.Open(copy), kSqliteOk);
    bool earlier = false;
    for (const WalFrame& f : reader.WalFrames()) {
      earlier |= f.state == WalFrameState::kEarlierGeneration;
    }
    EXPECT_TRUE(earlier);
    bool row3 = false;
    for (const RowText& row : test::ReaderRows(reader, "t", true)) {
      row3 |= row[1] == "i:3" && row[2] == "t:commit 0 row 3";
    }
    EXPECT_TRUE(row3);
  }
}

// The log need not lie beside the database: a backup keeps it under another name.
TEST(SqliteWal, LogFoundWhereItWasRegisteredAndLeftAsideOnRequest) {
  TempDb db;
  {
    WalWriter w(db.path());
    w.Exec("CREATE TABLE t(a TEXT); INSERT INTO t VALUES('in the log');");
  }
  const std::string elsewhere = (db.dir() / "3d0d7e5fb2ce288813306e4d4636395e047a3d28").string();
  fs::rename(db.path() + "-wal", elsewhere);
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
  EXPECT_FALSE(reader.WalApplied());
  SetWalLocation(db.path(), elsewhere);
  ASSERT_EQ(reader.Open(db.path()), kSqliteOk);
  EXPECT_TRUE(reader.WalApplied());
  EXPECT_EQ(test::ReaderRows(reader, "t"), (std::vector<RowText>{{"i:1", "t:in the log"}}));
  SqliteOpenOptions noWal;
  noWal.readWal = false;
  ASSERT_EQ(reader.Open(db.path(), noWal), kSqliteOk);
  EXPECT_FALSE(reader.WalApplied());
  EXPECT_EQ(reader.FindTable("t"), nullptr);  // the table itself was created in the log
  SetWalLocation(db.path(), db.path() + "-wal");
}

}  // namespace
}  // namespace halvern
