// Backup summaries from Info.plist, the encryption probe and the newest-first order.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "backup/backup_info.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

using fixtures::TempDir;

class ZoneGuard {
 public:
  explicit ZoneGuard(const char* zone) {
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneGuard() {
    setenv("TZ", "UTC", 1);
    tzset();
  }
};

void WritePlist(const fs::path& folder, const std::string& body) {
  fs::create_directories(folder);
  std::ofstream(folder / "Info.plist") << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                                          "version=\"1.0\">\n<dict>\n"
                                       << body << "</dict>\n</plist>\n";
}

TEST(BackupDate, ConvertsToLocalTimeWithTheFullRules) {
  struct Case {
    const char* zone;
    const char* utc;
    const char* local;
  };
  const Case cases[] = {
      {"Asia/Shanghai", "2014-03-05 23:30:00", "2014-03-06 07:30:00"},     // carries the day
      {"America/New_York", "2014-03-05 02:00:00", "2014-03-04 21:00:00"},  // standard time
      {"America/New_York", "2014-07-05 02:00:00", "2014-07-04 22:00:00"},  // daylight saving
      {"Europe/Paris", "2021-06-01 10:20:30", "2021-06-01 12:20:30"},
  };
  for (const auto& c : cases) {
    ZoneGuard zone(c.zone);
    EXPECT_EQ(BackupDateToLocal(c.utc), c.local) << c.zone << " " << c.utc;
  }
  EXPECT_EQ(BackupDateToLocal("20140305"), "");
}

TEST(BackupInfo, ReadsTheFiveKeysAsIosWritesThem) {
  TempDir dir;
  fixtures::BackupSpec spec;
  spec.productVersion = "12.1";
  ASSERT_TRUE(fixtures::WriteBackup(dir.path(), spec));
  BackupInfo info;
  ASSERT_EQ(info.ReadBackupInfo(dir.path()), 0);
  EXPECT_EQ(info.displayName, "Chlo\xC3\xA9's iPhone");
  EXPECT_EQ(info.lastBackupDate, "2021-06-01 10:20:30");  // TZ=UTC in tests
  EXPECT_EQ(info.phoneNumber, "+33 6 12 34 56 78");
  EXPECT_EQ(info.serialNumber, "F2LXK0AAHG7F");
  EXPECT_TRUE(info.isIos12OrLater);
  EXPECT_FALSE(info.isEncrypted);
  EXPECT_EQ(info.folderPath, dir.path());
}

TEST(BackupInfo, EdgeCasesOfTheLineScan) {
  TempDir dir;
  struct Case {
    std::string body;
    bool ios12;
    std::string display, date, serial;
  };
  const Case cases[] = {
      {"<key>Product Version</key>\n<string>11.4</string>\n", false, "", "", ""},
      {"<key>Product Version</key>\n<string>12.1</string>\n", true, "", "", ""},
      // Keys after the serial number are never read.
      {"<key>Serial Number</key>\n<string>SN1</string>\n<key>Display Name</key>\n<string>X</string>\n",
       false, "", "", "SN1"},
      // A value line without its opening tag leaves the field empty.
      {"<key>Display Name</key>\nChloé\n", false, "", "", ""},
      // An unparsable date is kept as it stands.
      {"<key>Last Backup Date</key>\n<date>yesterday</date>\n", false, "", "yesterday", ""},
      // Invalid UTF-8 in the name is repaired, not passed on.
      {"<key>Display Name</key>\n<string>Chlo\xE9</string>\n", false, "Chlo\xEF\xBF\xBD", "", ""},
  };
  for (const auto& c : cases) {
    WritePlist(dir.path(), c.body);
    BackupInfo info;
    ASSERT_EQ(info.ReadBackupInfo(dir.path()), 0);
    EXPECT_EQ(info.isIos12OrLater, c.ios12) << c.body;
    EXPECT_EQ(info.displayName, c.display) << c.body;
    EXPECT_EQ(info.lastBackupDate, c.date) << c.body;
    EXPECT_EQ(info.serialNumber, c.serial) << c.body;
  }
}

TEST(BackupInfo, MissingInfoPlistIs87AndLeavesTheSummary) {
  TempDir dir;
  BackupInfo info;
  info.displayName = "kept";
  EXPECT_EQ(info.ReadBackupInfo(dir.path()), 87);
  EXPECT_EQ(info.displayName, "kept");
}

TEST(EncryptionProbe, DecidesByAddressBookThenManifest) {
  const std::string book = "AddressBook.sqlitedb";
  struct Case {
    const char* what;
    fixtures::ManifestKind kind;
    std::string bookBytes;  // empty: no address book at all
    bool manifestFlag;
    bool encrypted;
  };
  const Case cases[] = {
      {"plain db layout", fixtures::ManifestKind::kDb, "SQLite format 3\0" + std::string(100, 'a'), false, false},
      {"lower-case header", fixtures::ManifestKind::kDb, "sqlite format 3" + std::string(100, 'a'), false, false},
      {"enciphered book", fixtures::ManifestKind::kDb, std::string(600, '\x9c'), false, true},
      {"flat layout, enciphered", fixtures::ManifestKind::kMbdb, std::string(600, '\x9c'), false, true},
      {"no book", fixtures::ManifestKind::kDb, "", false, false},
      {"no book, manifest says encrypted", fixtures::ManifestKind::kDb, "", true, true},
  };
  for (const auto& c : cases) {
    TempDir dir;
    fixtures::BackupSpec spec;
    spec.manifest = c.kind;
    spec.manifestSaysEncrypted = c.manifestFlag;
    if (!c.bookBytes.empty())
      spec.files.push_back({"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", c.bookBytes});
    ASSERT_TRUE(fixtures::WriteBackup(dir.path(), spec));
    EXPECT_EQ(IsEncryptedBackup(dir.path()), c.encrypted) << c.what;
  }
}

TEST(BackupList, NewestFirstStableAndSkipsNonBackups) {
  TempDir dir;
  auto make = [&](const char* name, const char* date) {
    fixtures::BackupSpec spec;
    spec.displayName = name;
    spec.lastBackupDate = date;
    EXPECT_TRUE(fixtures::WriteBackup(dir.path() / name, spec));
    return dir.path() / name;
  };
  std::vector<fs::path> folders = {make("a", "2014-03-05T10:00:00Z"),
                                   make("b", "2015-01-01T09:00:00Z"),
                                   make("c", "2014-03-05T10:00:00Z"), dir.path() / "missing"};
  fs::create_directories(dir.path() / "not-a-backup");
  folders.push_back(dir.path() / "not-a-backup");
  const auto list = ListBackupsIn(folders);
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].displayName, "b");
  EXPECT_EQ(list[1].displayName, "a");  // equal dates keep the listing order
  EXPECT_EQ(list[2].displayName, "c");
}

}  // namespace
}  // namespace halvern
