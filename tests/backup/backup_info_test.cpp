// Backup summaries from Info.plist, the encryption probe and the newest-first order.
#include <gtest/gtest.h>

#include <plist/plist.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

#include "backup/backup_info.h"
#include "platform/platform.h"
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

TEST(BackupInfo, EdgeCasesOfTheKeys) {
  TempDir dir;
  struct Case {
    std::string body;
    bool ios12;
    std::string display, date, serial;
  };
  const Case cases[] = {
      {"<key>Product Version</key>\n<string>11.4</string>\n", false, "", "", ""},
      {"<key>Product Version</key>\n<string>12.1</string>\n", true, "", "", ""},
      // Read as a property list, the order of the keys does not matter.
      {"<key>Serial Number</key>\n<string>SN1</string>\n<key>Display Name</key>\n<string>X</string>\n",
       false, "X", "", "SN1"},
      // Values on the key's line, as other writers put them.
      {"<key>Display Name</key><string>One line</string><key>Product Version</key><string>16.0</string>",
       true, "One line", "", ""},
      // A damaged file is scanned as text; a value line without its opening tag leaves the
      // field empty.
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

// Manifest.plist with or without the IsEncrypted key.
void WriteManifestPlist(const fs::path& folder, const char* isEncrypted) {
  std::ofstream(folder / "Manifest.plist")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n"
      << (isEncrypted ? std::string("<key>IsEncrypted</key><") + isEncrypted + "/>\n" : "")
      << "<key>Version</key><string>10.0</string>\n</dict>\n</plist>\n";
}

TEST(EncryptionProbe, TheManifestDecidesAndTheAddressBookIsOnlyAFallback) {
  const std::string enciphered(608, '\x9c');  // whole AES blocks
  const std::string plainBook = "SQLite format 3" + std::string(1, '\0') + std::string(100, 'a');
  enum Book { kNone, kBytes, kFolder, kFifo };
  struct Case {
    const char* what;
    fixtures::ManifestKind kind;
    Book book;
    std::string bytes;
    const char* manifestKey;  // "true", "false" or null (key missing)
    bool encrypted;
  };
  const Case cases[] = {
      {"plain book, manifest false", fixtures::ManifestKind::kDb, kBytes, plainBook, "false", false},
      // A plain backup whose address book is empty, damaged or a folder stays plain.
      {"empty book, manifest false", fixtures::ManifestKind::kDb, kBytes, "", "false", false},
      {"damaged book, manifest false", fixtures::ManifestKind::kDb, kBytes, enciphered, "false", false},
      {"book is a folder, manifest false", fixtures::ManifestKind::kDb, kFolder, "", "false", false},
      {"no book, manifest true", fixtures::ManifestKind::kDb, kNone, "", "true", true},
      {"plain book, manifest true", fixtures::ManifestKind::kDb, kBytes, plainBook, "true", true},
      // Without the key the address book tells.
      {"enciphered book, no key", fixtures::ManifestKind::kDb, kBytes, enciphered, nullptr, true},
      {"flat layout, enciphered, no key", fixtures::ManifestKind::kMbdb, kBytes, enciphered, nullptr, true},
      {"lower-case header, no key", fixtures::ManifestKind::kDb, kBytes, "sqlite format 3" + std::string(97, 'a'), nullptr, false},
      {"empty book, no key", fixtures::ManifestKind::kDb, kBytes, "", nullptr, false},
      {"short book, no key", fixtures::ManifestKind::kDb, kBytes, "garbage", nullptr, false},
      {"book is a folder, no key", fixtures::ManifestKind::kDb, kFolder, "", nullptr, false},
      {"book is a FIFO, no key", fixtures::ManifestKind::kDb, kFifo, "", nullptr, false},
      {"no book, no key", fixtures::ManifestKind::kDb, kNone, "", nullptr, false},
  };
  const std::string id = fixtures::FileId("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb");
  for (const auto& c : cases) {
    TempDir dir;
    fixtures::BackupSpec spec;
    spec.manifest = c.kind;
    ASSERT_TRUE(fixtures::WriteBackup(dir.path(), spec));
    WriteManifestPlist(dir.path(), c.manifestKey);
    const fs::path book = c.kind == fixtures::ManifestKind::kDb
                              ? dir.path() / id.substr(0, 2) / id
                              : dir.path() / id;
    fs::create_directories(book.parent_path());
    if (c.book == kBytes) std::ofstream(book, std::ios::binary) << c.bytes;
    if (c.book == kFolder) fs::create_directories(book);
    if (c.book == kFifo) ASSERT_EQ(mkfifo(book.c_str(), 0600), 0);
    EXPECT_EQ(IsEncryptedBackup(dir.path()), c.encrypted) << c.what;
  }
}

// Info.plist written by libplist in its binary form.
void WriteBinaryInfoPlist(const fs::path& folder, bool withSerial, bool withDate) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "Display Name", plist_new_string("Binary Phone"));
  plist_dict_set_item(dict, "Phone Number", plist_new_string("+44 7700 900123"));
  plist_dict_set_item(dict, "Product Version", plist_new_string("15.2"));
  if (withSerial) plist_dict_set_item(dict, "Serial Number", plist_new_string("BIN123"));
  // 2021-06-01 10:20:30 UTC, in seconds since 2001-01-01.
  if (withDate) plist_dict_set_item(dict, "Last Backup Date", plist_new_date(644235630, 0));
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(dict, &bin, &length);
  std::ofstream(folder / "Info.plist", std::ios::binary).write(bin, length);
  free(bin);
  plist_free(dict);
}

TEST(BackupInfo, BinaryPropertyListsAndTheOtherPlistsFillTheSummary) {
  TempDir dir;
  fixtures::BackupSpec spec;
  spec.serialNumber = "FROMINFO";
  ASSERT_TRUE(fixtures::WriteBackup(dir.path(), spec));
  WriteBinaryInfoPlist(dir.path(), true, true);
  BackupInfo info;
  ASSERT_EQ(info.ReadBackupInfo(dir.path()), 0);
  EXPECT_EQ(info.displayName, "Binary Phone");
  EXPECT_EQ(info.phoneNumber, "+44 7700 900123");
  EXPECT_EQ(info.serialNumber, "BIN123");
  EXPECT_EQ(info.lastBackupDate, "2021-06-01 10:20:30");
  EXPECT_TRUE(info.isIos12OrLater);

  // A binary Manifest.plist and Status.plist: the serial number comes from the manifest's
  // Lockdown dictionary and the date from Status.plist when Info.plist lacks them.
  WriteBinaryInfoPlist(dir.path(), false, false);
  for (const char* name : {"Manifest.plist", "Status.plist"}) {
    auto xml = platform::ReadFile(dir.path() / name);
    ASSERT_TRUE(xml);
    plist_t root = nullptr;
    plist_from_xml(xml->data(), uint32_t(xml->size()), &root);
    ASSERT_NE(root, nullptr) << name;
    if (std::string(name) == "Manifest.plist") {
      plist_dict_set_item(plist_dict_get_item(root, "Lockdown"), "SerialNumber",
                          plist_new_string("FROMLOCKDOWN"));
    } else {
      plist_dict_set_item(root, "Date", plist_new_date(644235630, 0));
    }
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    std::ofstream(dir.path() / name, std::ios::binary).write(bin, length);
    free(bin);
    plist_free(root);
  }
  BackupInfo fallback;
  ASSERT_EQ(fallback.ReadBackupInfo(dir.path()), 0);
  EXPECT_EQ(fallback.displayName, "Binary Phone");
  EXPECT_EQ(fallback.serialNumber, "FROMLOCKDOWN");
  EXPECT_EQ(fallback.lastBackupDate, "2021-06-01 10:20:30");
}

TEST(BackupInfo, AFifoInPlaceOfInfoPlistIsNoBackupAndDoesNotBlock) {
  TempDir dir;
  ASSERT_TRUE(fixtures::WriteBackup(dir.path(), {}));
  fs::remove(dir.path() / "Info.plist");
  ASSERT_EQ(mkfifo((dir.path() / "Info.plist").c_str(), 0600), 0);
  BackupInfo info;
  EXPECT_EQ(info.ReadBackupInfo(dir.path()), 87);
  EXPECT_TRUE(ListBackupsIn({dir.path()}).empty());
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
