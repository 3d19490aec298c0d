// Manifest.mbdb and Manifest.db readers, file ids and data file paths.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <fstream>

#include "backup/manifest.h"
#include "platform/codes.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;

std::string Str(const std::string& s) {
  return std::string{static_cast<char>(s.size() >> 8), static_cast<char>(s.size() & 0xFF)} + s;
}
const std::string kAbsent = "\xFF\xFF";

// One mbdb record; `properties` adds name/value pairs after the fixed fields.
std::string Record(const std::string& domain, const std::string& path, uint16_t mode,
                   int properties = 0, bool absentPath = false) {
  std::string r = Str(domain) + (absentPath ? kAbsent : Str(path)) + kAbsent + Str("hash") + kAbsent;
  r += static_cast<char>(mode >> 8);
  r += static_cast<char>(mode & 0xFF);
  r += std::string(36, '\x01');
  r += '\x04';
  r += static_cast<char>(properties);
  for (int i = 0; i < properties; ++i) r += Str("name") + Str("value");
  return r;
}

std::string Header() { return std::string("mbdb\x05\x00", 6); }

void Write(const fs::path& p, const std::string& bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

TEST(ManifestMbdb, RecordsFilesOnlyAndSkipsOverEverythingElse) {
  TempDir dir;
  Write(dir / "m", Header() + Record("HomeDomain", "", 0x81A4, 1, /*absentPath=*/true) +
                       Record("HomeDomain", "Library", 0x41ED) +
                       Record("HomeDomain", "Library/SMS/sms.db", 0x81A4, 2) +
                       Record("", "orphan", 0x81A4) +
                       Record("MediaDomain", "Media/a.jpg", 0x81A4));
  std::vector<ManifestEntry> entries;
  ASSERT_EQ(ReadManifestMbdb(dir / "m", entries), 0);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].domainPath, "HomeDomain-Library/SMS/sms.db");
  EXPECT_EQ(entries[0].fileID, "3d0d7e5fb2ce288813306e4d4636395e047a3d28");
  EXPECT_EQ(entries[1].domainPath, "MediaDomain-Media/a.jpg");
}

TEST(ManifestMbdb, FailuresAndTruncation) {
  TempDir dir;
  std::vector<ManifestEntry> entries;
  EXPECT_EQ(ReadManifestMbdb("", entries), kInvalidParameter);
  EXPECT_EQ(ReadManifestMbdb(dir / "missing", entries), kManifestOpenFailed);
  Write(dir / "bad", "mbdx\x05\x00");
  EXPECT_EQ(ReadManifestMbdb(dir / "bad", entries), kInvalidParameter);
  // A manifest that yields no record, or stops in the middle of one, is damaged; the entries
  // before the cut stay.
  const std::string full = Record("HomeDomain", "a.txt", 0x81A4);
  const std::string cut = Record("HomeDomain", "b.txt", 0x81A4, 3);
  struct Case {
    const char* what;
    std::string bytes;
    size_t entriesKept;
  };
  const Case cases[] = {
      {"header only", Header(), 0},
      {"cut after the header", Header() + full.substr(0, 5), 0},
      {"cut in the properties", Header() + full + cut.substr(0, cut.size() - 4), 1},
      {"cut in the fixed fields", Header() + full + cut.substr(0, 30), 1},
      {"a length past the end", Header() + "\x7F\xFF" + "xy", 0},
      {"a property length past the end", Header() + full + cut.substr(0, cut.size() - 9) + "\x40\x00", 1},
  };
  for (const auto& c : cases) {
    Write(dir / "damaged", c.bytes);
    entries.clear();
    EXPECT_EQ(ReadManifestMbdb(dir / "damaged", entries), kManifestDamaged) << c.what;
    EXPECT_EQ(entries.size(), c.entriesKept) << c.what;
  }
  // A FIFO in the manifest's place is refused at once, never waited on.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_EQ(ReadManifestMbdb(dir / "fifo", entries), kManifestOpenFailed);
  EXPECT_EQ(ReadManifestDb(dir / "fifo", entries), kManifestOpenFailed);
}

TEST(ManifestDb, RowsBecomeEntriesAndNullPathsAddNoDash) {
  TempDir dir;
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "Manifest.db").c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TABLE Files (fileID TEXT PRIMARY KEY, domain TEXT, relativePath "
                         "TEXT, flags INTEGER, file BLOB);"
                         "INSERT INTO Files VALUES('aa11aa11aa11aa11aa11aa11aa11aa11aa11aa11','HomeDomain',NULL,2,NULL);"
                         "INSERT INTO Files VALUES('bb22bb22bb22bb22bb22bb22bb22bb22bb22bb22','HomeDomain','Library/x.db',1,NULL);"
                         "INSERT INTO Files VALUES('cc33cc33cc33cc33cc33cc33cc33cc33cc33cc33',NULL,'odd',1,NULL);"
                         // File ids that would lead out of the backup are dropped.
                         "INSERT INTO Files VALUES('../../../../etc/passwd','HomeDomain','a',1,NULL);"
                         "INSERT INTO Files VALUES('/etc/passwd','HomeDomain','b',1,NULL);"
                         "INSERT INTO Files VALUES('dd44dd44dd44dd44dd44dd44dd44dd44dd44dd4/','HomeDomain','c',1,NULL);"
                         "INSERT INTO Files VALUES(NULL,'HomeDomain','d',1,NULL);",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  std::vector<ManifestEntry> entries = {{"stale", "stale"}};
  ASSERT_EQ(ReadManifestDb(dir / "Manifest.db", entries), 0);
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[0].domainPath, "HomeDomain");
  EXPECT_EQ(entries[1].domainPath, "HomeDomain-Library/x.db");
  EXPECT_EQ(entries[1].fileID, "bb22bb22bb22bb22bb22bb22bb22bb22bb22bb22");
  EXPECT_EQ(entries[2].domainPath, "-odd");
}

TEST(ManifestDb, FailuresGiveTheLibraryCodeOr1006) {
  TempDir dir;
  std::vector<ManifestEntry> entries;
  EXPECT_EQ(ReadManifestDb(dir / "missing.db", entries), SQLITE_CANTOPEN);
  Write(dir / "enciphered.db", std::string(4096, '\x5a'));
  EXPECT_EQ(ReadManifestDb(dir / "enciphered.db", entries), kQueryFailed);
  sqlite3* db = nullptr;
  sqlite3_open((dir / "empty.db").c_str(), &db);
  sqlite3_exec(db, "CREATE TABLE Other(x);", nullptr, nullptr, nullptr);
  sqlite3_close(db);
  EXPECT_EQ(ReadManifestDb(dir / "empty.db", entries), kQueryFailed);
}

TEST(ManifestDb, ReadsFromAReadOnlyBackupWithoutWritingIt) {
  TempDir dir;
  fixtures::BackupSpec spec;
  spec.files = {{"HomeDomain", "Library/Notes/notes.sqlite", "x"}};
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", spec));
  fs::permissions(dir / "b", fs::perms::owner_read | fs::perms::owner_exec);
  std::vector<ManifestEntry> entries;
  EXPECT_EQ(ReadManifestDb(dir / "b" / "Manifest.db", entries), 0);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].fileID, "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c");
  EXPECT_FALSE(fs::exists(dir / "b" / "Manifest.db-journal"));
  EXPECT_FALSE(fs::exists(dir / "b" / "Manifest.db-wal"));
}

TEST(FileIds, KnownDatabasesAndLayouts) {
  EXPECT_EQ(FileIdOf("HomeDomain-Library/AddressBook/AddressBook.sqlitedb"),
            known_files::kAddressBook);
  EXPECT_EQ(FileIdOf("WirelessDomain-Library/CallHistory/call_history.db"),
            known_files::kCallHistoryOld);
  EXPECT_EQ(FileIdOf("AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite"),
            known_files::kWhatsApp);
  EXPECT_EQ(FileIdOf(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  const std::string id = known_files::kMessages;
  EXPECT_EQ(DataFilePath("/b", id, false, true), "/b/3d/" + id);
  EXPECT_EQ(DataFilePath("/b", id, false, false), "/b/" + id);
  EXPECT_EQ(DataFilePath("/b", id, true, true), "/b/" + id);  // a decrypted copy is flat
  for (const char* bad : {"../../etc/passwd", "/etc/passwd", "", "3d0d7e5fb2ce288813306e4d4636395e047a3d2/"})
    EXPECT_TRUE(DataFilePath("/b", bad, false, true).empty()) << bad;
}

}  // namespace
}  // namespace halvern
