// Reader benchmark: every live row of a generated sms.db-like `message` table of about 1 GB,
// read by the own reader and by the SQLite library selecting the same columns from the same
// file (the ratio is the figure); then the full carving pass over a copy with a fifth of the
// rows deleted. Files are generated into /tmp on the first run and reused.
//   sqlite_bench [--mb N] [--dir /tmp] [--runs 3]
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>

#include "sqlite_recovery/scan.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void Check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// The message table of sms.db (iOS 9 columns, the first 51 of every later version).
const char* kSchema =
    "CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, guid TEXT UNIQUE NOT NULL,"
    " text TEXT, replace INTEGER DEFAULT 0, service_center TEXT, handle_id INTEGER DEFAULT 0,"
    " subject TEXT, country TEXT, attributedBody BLOB, version INTEGER DEFAULT 0, type INTEGER"
    " DEFAULT 0, service TEXT, account TEXT, account_guid TEXT, error INTEGER DEFAULT 0, date"
    " INTEGER, date_read INTEGER, date_delivered INTEGER, is_delivered INTEGER DEFAULT 0,"
    " is_finished INTEGER DEFAULT 0, is_emote INTEGER DEFAULT 0, is_from_me INTEGER DEFAULT 0,"
    " is_empty INTEGER DEFAULT 0, is_delayed INTEGER DEFAULT 0, is_auto_reply INTEGER DEFAULT 0,"
    " is_prepared INTEGER DEFAULT 0, is_read INTEGER DEFAULT 0, is_system_message INTEGER"
    " DEFAULT 0, is_sent INTEGER DEFAULT 0, has_dd_results INTEGER DEFAULT 0, cache_has_attachments"
    " INTEGER DEFAULT 0, item_type INTEGER DEFAULT 0, other_handle INTEGER DEFAULT 0, group_title"
    " TEXT, group_action_type INTEGER DEFAULT 0, share_status INTEGER DEFAULT 0, share_direction"
    " INTEGER DEFAULT 0, is_expirable INTEGER DEFAULT 0, expire_state INTEGER DEFAULT 0,"
    " message_action_type INTEGER DEFAULT 0, message_source INTEGER DEFAULT 0)";

void Generate(const std::string& path, uint64_t megabytes) {
  std::printf("generating %s (%llu MB) ...\n", path.c_str(),
              static_cast<unsigned long long>(megabytes));
  fs::remove(path);
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db, "open");
  Check(sqlite3_exec(db, "PRAGMA page_size=4096; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;",
                     nullptr, nullptr, nullptr),
        db, "pragma");
  Check(sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr), db, "schema");
  sqlite3_stmt* st = nullptr;
  Check(
      sqlite3_prepare_v2(db,
                         "INSERT INTO message (guid, text, handle_id, service, account,"
                         " account_guid, date, date_read, date_delivered, is_delivered,"
                         " is_finished, is_from_me, is_read, is_sent) VALUES (?, ?, ?, 'iMessage',"
                         " 'e:me@example.com', ?, ?, ?, ?, 1, 1, ?, 1, ?)",
                         -1, &st, nullptr),
      db, "prepare");
  sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
  const uint64_t target = megabytes << 20;
  uint64_t seed = 88172645463325252ull;
  char guid[64], text[400], account[64];
  for (uint64_t i = 1;; ++i) {
    seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
    std::snprintf(guid, sizeof guid, "%08llX-%04X-4%03X-A%03X-%012llX",
                  static_cast<unsigned long long>(i), unsigned(seed & 0xffff),
                  unsigned((seed >> 16) & 0xfff), unsigned((seed >> 28) & 0xfff),
                  static_cast<unsigned long long>(seed >> 16));
    const int words = 3 + static_cast<int>(seed % 40);
    int n = 0;
    for (int w = 0; w < words && n < 360; ++w) {
      static const char* kWords[] = {"see",     "you",   "tomorrow", "at",   "the",
                                     "station", "ok",    "thanks",   "love", "call",
                                     "me",      "later", "running",  "late"};
      n += std::snprintf(text + n, sizeof text - n, "%s ", kWords[(seed >> (w % 50)) % 14]);
    }
    std::snprintf(account, sizeof account, "p:+4930%07llu",
                  static_cast<unsigned long long>(seed % 10000000));
    const int64_t date = 400000000000000000ll + static_cast<int64_t>(i) * 60000000000ll;
    sqlite3_bind_text(st, 1, guid, -1, SQLITE_STATIC);
    sqlite3_bind_text(st, 2, text, n, SQLITE_STATIC);
    sqlite3_bind_int64(st, 3, static_cast<int64_t>(seed % 500));
    sqlite3_bind_text(st, 4, account, -1, SQLITE_STATIC);
    sqlite3_bind_int64(st, 5, date);
    sqlite3_bind_int64(st, 6, date + 1000000000);
    sqlite3_bind_int64(st, 7, date + 2000000000);
    sqlite3_bind_int(st, 8, static_cast<int>(seed & 1));
    sqlite3_bind_int(st, 9, static_cast<int>(seed & 1));
    Check(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
    if (i % 100000 == 0) {
      sqlite3_exec(db, "COMMIT; BEGIN", nullptr, nullptr, nullptr);
      if (fs::file_size(path) >= target) break;
    }
  }
  sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  sqlite3_finalize(st);
  sqlite3_close(db);
}

struct LiveResult {
  double seconds = 1e30;
  uint64_t rows = 0;
  uint64_t checksum = 0;
};

// SQLite: the same four columns the message decoder reads.
LiveResult LibraryPass(const std::string& path) {
  LiveResult r;
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
  sqlite3_stmt* st = nullptr;
  const auto t0 = Clock::now();
  Check(sqlite3_prepare_v2(db, "SELECT text, handle_id, date, is_from_me FROM message", -1, &st,
                           nullptr),
        db, "select");
  while (sqlite3_step(st) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(st, 0);
    r.checksum += static_cast<uint64_t>(sqlite3_column_bytes(st, 0)) + (text ? text[0] : 0);
    r.checksum += static_cast<uint64_t>(sqlite3_column_int64(st, 1) + sqlite3_column_int64(st, 2) +
                                        sqlite3_column_int64(st, 3));
    ++r.rows;
  }
  sqlite3_finalize(st);
  r.seconds = Seconds(t0, Clock::now());
  sqlite3_close(db);
  return r;
}

LiveResult ReaderPass(const std::string& path) {
  LiveResult r;
  const auto t0 = Clock::now();
  halvern::CSqliteFileReader reader;
  if (reader.Open(path) != 0) std::exit(1);
  const halvern::TableSchema* t = reader.FindTable("message");
  const int text = t->ColumnIndex("text"), handle = t->ColumnIndex("handle_id"),
            date = t->ColumnIndex("date"), fromMe = t->ColumnIndex("is_from_me");
  halvern::ScanOptions options;
  options.carve = options.freelist = false;
  options.skipLiveCopies = false;
  // The columns the message decoder reads end with is_from_me.
  options.columnLimit = static_cast<uint32_t>(std::max({text, handle, date, fromMe}) + 1);
  halvern::ScanTable(reader, "message", options, [&](const halvern::ScannedRow& row) {
    const halvern::Record& rec = row.record;
    const std::string_view s = rec[text].Text();
    r.checksum += s.size() + (s.empty() ? 0 : static_cast<unsigned char>(s[0]));
    r.checksum +=
        static_cast<uint64_t>(rec[handle].integer + rec[date].integer + rec[fromMe].integer);
    ++r.rows;
    return true;
  });
  r.seconds = Seconds(t0, Clock::now());
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t mb = 1024;
  std::string dir = "/tmp";
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--mb")) mb = std::strtoull(argv[i + 1], nullptr, 10);
    if (!std::strcmp(argv[i], "--dir")) dir = argv[i + 1];
    if (!std::strcmp(argv[i], "--runs")) runs = std::atoi(argv[i + 1]);
  }
  const std::string live = dir + "/halvern-bench-sms-" + std::to_string(mb) + "mb.db";
  const std::string deleted = dir + "/halvern-bench-sms-" + std::to_string(mb) + "mb-deleted.db";
  if (!fs::exists(live)) Generate(live, mb);
  if (!fs::exists(deleted)) {
    std::printf("deleting a fifth of the rows in a copy ...\n");
    fs::copy_file(live, deleted, fs::copy_options::overwrite_existing);
    sqlite3* db = nullptr;
    sqlite3_open(deleted.c_str(), &db);
    Check(sqlite3_exec(db,
                       "PRAGMA secure_delete=OFF; PRAGMA journal_mode=OFF;"
                       "DELETE FROM message WHERE ROWID % 5 = 0;",
                       nullptr, nullptr, nullptr),
          db, "delete");
    sqlite3_close(db);
  }
  const double gib = static_cast<double>(fs::file_size(live)) / (1 << 30);
  std::printf("file: %s (%.2f GiB)\n", live.c_str(), gib);

  // Live rows: best of `runs` for each, alternating so that both see a warm page cache.
  LiveResult lib, own;
  for (int i = 0; i < runs; ++i) {
    const LiveResult a = LibraryPass(live);
    const LiveResult b = ReaderPass(live);
    if (a.seconds < lib.seconds) lib = a;
    if (b.seconds < own.seconds) own = b;
  }
  std::printf("live rows, SQLite library: %llu rows in %.3f s\n",
              static_cast<unsigned long long>(lib.rows), lib.seconds);
  std::printf("live rows, own reader:     %llu rows in %.3f s\n",
              static_cast<unsigned long long>(own.rows), own.seconds);
  std::printf("ratio own/library: %.2f (below 1: the reader is faster)%s\n",
              own.seconds / lib.seconds, lib.checksum == own.checksum ? "" : "  CHECKSUMS DIFFER");

  // Carving pass over the copy with a fifth deleted.
  double best = 1e30;
  double bestCpu = 1e30;
  uint64_t carved = 0;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = Clock::now();
    const std::clock_t c0 = std::clock();
    halvern::CSqliteFileReader reader;
    reader.Open(deleted);
    halvern::ScanOptions options;
    options.live = false;
    uint64_t n = 0;
    halvern::ScanTable(reader, "message", options, [&](const halvern::ScannedRow&) {
      ++n;
      return true;
    });
    best = std::min(best, Seconds(t0, Clock::now()));
    bestCpu = std::min(bestCpu, static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC);
    carved = n;
  }
  const double dgib = static_cast<double>(fs::file_size(deleted)) / (1 << 30);
  std::printf(
      "carving pass (live walk to learn the shape + every scanner + freed pages): "
      "%.2f GiB in %.3f s wall, %.3f s CPU (%.2f GiB/s), %llu deleted rows\n",
      dgib, best, bestCpu, dgib / best, static_cast<unsigned long long>(carved));
  return 0;
}
