// make-sample-backup: writes the demo backups (an iTunes-style backup root with a few
// backups) into a folder, so that the program can be tried without a phone.
//
//   make-sample-backup ROOT [--encrypted PASSWORD]
//
// --encrypted adds an encrypted copy of the current phone's complete backup, readable with
// PASSWORD (the decryptor `tool` then has work to do).
//
// ROOT/Apple Computer/MobileSync/Backup/<id>/ receives the backups; point XDG_DATA_HOME at
// ROOT to have halvern and halvern-cli find them.
#include <cstdio>
#include <filesystem>
#include <string>

#include "tests/fixtures/backup_builder.h"
#if HALVERN_HAVE_SCAN_BACKUPS
#include "tests/fixtures/scan_backups.h"
#endif
#if HALVERN_HAVE_ENCRYPT_BACKUP
#include "tests/fixtures/encrypt_backup.h"
#endif
#if HALVERN_HAVE_CONVERSATION_DBS
#include <fstream>
#include <iterator>

#include "tests/extractors/conversation_dbs.h"
#endif

namespace fs = std::filesystem;
using halvern::fixtures::BackupSpec;
using halvern::fixtures::ManifestKind;

int main(int argc, char** argv) {
  // --encrypted PASSWORD adds an encrypted copy of the current phone's complete backup.
  const bool encrypted = argc == 4 && std::string(argv[2]) == "--encrypted";
  if (argc != 2 && !encrypted) {
    std::fprintf(stderr, "usage: make-sample-backup ROOT [--encrypted PASSWORD]\n");
    return 2;
  }
  const fs::path backups = fs::path(argv[1]) / "Apple Computer" / "MobileSync" / "Backup";

  BackupSpec current = halvern::fixtures::SampleMediaBackup();
  current.uniqueIdentifier = "00008030-001A2D3C0E38802E";

  BackupSpec older = halvern::fixtures::SampleMediaBackup();
  older.displayName = older.deviceName = "Marc's iPhone";
  older.manifest = ManifestKind::kMbdb;
  older.productVersion = "9.3.5";
  older.lastBackupDate = "2016-11-20T08:15:00Z";
  older.phoneNumber = "+44 7700 900123";
  older.serialNumber = "DNPMX1ABFF9R";
  older.uniqueIdentifier = "3f1c0e7a9b8d6c5e4f3a2b1c0d9e8f7a6b5c4d3e";

  struct Item {
    const BackupSpec* spec;
    std::string id;
  };
  for (const Item& item :
       {Item{&current, current.uniqueIdentifier}, Item{&older, older.uniqueIdentifier}}) {
    std::string error;
    const fs::path folder = backups / item.id;
    if (!halvern::fixtures::WriteBackup(folder, *item.spec, &error)) {
      std::fprintf(stderr, "make-sample-backup: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", folder.string().c_str());
  }
#if HALVERN_HAVE_SCAN_BACKUPS
  // Complete backups with messages, contacts, calls, notes and WhatsApp, deleted rows
  // included: a current phone (Manifest.db) and an older one (Manifest.mbdb).
  struct Complete {
    halvern::fixtures::PhoneGeneration generation;
    const char* id;
  };
  for (const Complete& c :
       {Complete{halvern::fixtures::PhoneGeneration::kIos14, "00008101-000A3C2E1E90001E"},
        Complete{halvern::fixtures::PhoneGeneration::kIos9Flat,
                 "9a0b1c2d3e4f5a6b7c8d9e0f1a2b3c4d5e6f7a8b"}}) {
    const fs::path work = fs::path(argv[1]) / (std::string(".work-") + c.id);
    std::error_code ec;
    fs::create_directories(work, ec);
    BackupSpec spec;
    halvern::fixtures::ScanExpectation expected;
    std::string error;
    bool ok = halvern::fixtures::MakeScanBackupSpec(c.generation, work, spec, expected, &error);
    if (ok) {
      spec.uniqueIdentifier = c.id;
      if (c.generation == halvern::fixtures::PhoneGeneration::kIos14) {
        spec.displayName = spec.deviceName = "Chlo\xC3\xA9's iPhone 12";
        spec.lastBackupDate = "2021-09-14T19:05:00Z";
      }
      ok = halvern::fixtures::WriteBackup(backups / c.id, spec, &error);
    }
    fs::remove_all(work, ec);
    if (!ok) {
      std::fprintf(stderr, "make-sample-backup: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", (backups / c.id).string().c_str());
  }
#if HALVERN_HAVE_CONVERSATION_DBS
  // A phone of today's conversations: a group chat, one person over SMS and iMessage,
  // reactions, an edited and an unsent message, Recently Deleted, several attachments, a short
  // code, and a WhatsApp group with a voice note.
  {
    const fs::path work = fs::path(argv[1]) / ".work-conversations";
    std::error_code ec;
    fs::create_directories(work, ec);
    std::string error = halvern::testing::MakeConversationSms(work / "sms.db", true);
    if (error.empty()) error = halvern::testing::MakeConversationAddressBook(work / "ab.db");
    if (error.empty()) error = halvern::testing::MakeConversationWhatsApp(work / "chats.sqlite");
    const auto read = [](const fs::path& path) {
      std::ifstream in(path, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(in), {});
    };
    BackupSpec spec = halvern::fixtures::SampleMediaBackup();
    spec.files.clear();
    spec.displayName = spec.deviceName = "Ann's iPhone 14";
    spec.productVersion = "16.1";
    spec.lastBackupDate = "2023-02-11T18:30:00Z";
    spec.phoneNumber = "+49 151 99999999";
    spec.serialNumber = "G6TZK1ABPLJQ";
    spec.uniqueIdentifier = "00008110-001C45A20E41801E";
    const std::string wa = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared";
    if (error.empty()) {
      spec.files = {
          {"HomeDomain", "Library/SMS/sms.db", read(work / "sms.db")},
          {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", read(work / "ab.db")},
          {wa, "ChatStorage.sqlite", read(work / "chats.sqlite")},
          {"MediaDomain", halvern::testing::kPhotoPath, halvern::fixtures::MediaBytes("jpg", 4096)},
          {"MediaDomain", halvern::testing::kVoicePath,
           std::string("caff\0\1\0\0", 8) + std::string(64, 'a')},
          {wa, halvern::testing::kWaVoicePath, "OggS" + std::string(60, '\0')},
      };
      if (!halvern::fixtures::WriteBackup(backups / spec.uniqueIdentifier, spec, &error) &&
          error.empty()) {
        error = "cannot write " + (backups / spec.uniqueIdentifier).string();
      }
    }
    fs::remove_all(work, ec);
    if (!error.empty()) {
      std::fprintf(stderr, "make-sample-backup: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", (backups / spec.uniqueIdentifier).string().c_str());
  }
#endif
#if HALVERN_HAVE_ENCRYPT_BACKUP
  if (encrypted) {
    halvern::fixtures::EncryptSpec spec;
    spec.password = argv[3];
    const fs::path folder = backups / "00008101-000A3C2E1E90001E-encrypted";
    std::string error;
    if (!halvern::fixtures::EncryptBackup(backups / "00008101-000A3C2E1E90001E", folder, spec,
                                          &error)) {
      std::fprintf(stderr, "make-sample-backup: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", folder.string().c_str());
  }
#endif
#endif
#if !HALVERN_HAVE_SCAN_BACKUPS || !HALVERN_HAVE_ENCRYPT_BACKUP
  if (encrypted) {
    std::fprintf(stderr, "make-sample-backup: this build cannot write encrypted backups\n");
    return 1;
  }
#endif
  return 0;
}
