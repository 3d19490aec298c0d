// halvern-cli scan --json on a backup whose sms.db was in WAL mode: the backup keeps the log as
// a manifest entry of its own ("…/sms.db-wal"), and the messages only the log holds are listed.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <fstream>
#include <iterator>

#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ScanWal, MessagesOnlyInTheLogOfTheBackupAreListed) {
  fixtures::TempDir dir;
  fixtures::BackupSpec spec;
  fixtures::ScanExpectation expected;
  std::string error;
  fs::create_directories(dir / "work");
  ASSERT_TRUE(fixtures::MakeScanBackupSpec(fixtures::PhoneGeneration::kIos14, dir / "work", spec,
                                           expected, &error))
      << error;
  fixtures::BackupFile* sms = nullptr;
  for (auto& f : spec.files) {
    if (f.domain == "HomeDomain" && f.relativePath == "Library/SMS/sms.db") sms = &f;
  }
  ASSERT_NE(sms, nullptr);
  // The phone changed a message after its last checkpoint: the change lives in the log only.
  const fs::path db = dir / "wal" / "sms.db";
  fs::create_directories(db.parent_path());
  std::ofstream(db, std::ios::binary) << sms->bytes;
  sqlite3* handle = nullptr;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle,
                         "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                         "UPDATE message SET text='Written after the checkpoint' WHERE ROWID=5;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(handle);
  int done = 0;
  sqlite3_db_config(handle, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, &done);
  sqlite3_close(handle);
  sms->bytes = ReadAll(db);
  spec.files.push_back({"HomeDomain", "Library/SMS/sms.db-wal", ReadAll(db.string() + "-wal")});
  ASSERT_GT(spec.files.back().bytes.size(), 32u);
  ASSERT_TRUE(fixtures::WriteBackup(dir / "backup", spec, &error)) << error;

  const auto run = fixtures::RunCli("scan --json " + fixtures::Quote(dir / "backup"),
                                    "XDG_DATA_HOME=" + fixtures::Quote(dir / "home"));
  ASSERT_EQ(run.status, 0);
  const auto doc = nlohmann::json::parse(run.out);
  std::map<std::string, int> texts;  // text -> deleted
  for (const auto& [chat, conversation] : doc["categories"]["messages"].items()) {
    for (const auto& m : conversation["items"]) texts[m["text"].get<std::string>()] = m["deleted"].get<int>();
  }
  ASSERT_TRUE(texts.count("Written after the checkpoint"));
  EXPECT_EQ(texts["Written after the checkpoint"], 0);
  // The text it replaced is an older version of the row: a deleted item.
  ASSERT_TRUE(texts.count("Mail thread"));
  EXPECT_EQ(texts["Mail thread"], 1);
}

}  // namespace
}  // namespace halvern
