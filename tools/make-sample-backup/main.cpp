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
#include <fstream>
#include <iterator>
#include <string>

#include "tests/fixtures/backup_builder.h"
#if HALVERN_HAVE_SCAN_BACKUPS
#include "tests/fixtures/photos_dbs.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/table_dbs.h"
#endif
#if HALVERN_HAVE_ENCRYPT_BACKUP
#include "tests/fixtures/encrypt_backup.h"
#endif
#if HALVERN_HAVE_CONVERSATION_DBS
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
        // Voicemail and Voice Memos, with trashed and carved ones.
        error = halvern::fixtures::AddVoicemail(spec, work, halvern::fixtures::SampleVoicemails());
        if (error.empty()) {
          const auto layout = halvern::fixtures::VoiceMemosLayout::kIos16;
          error = halvern::fixtures::AddVoiceMemos(spec, work, layout,
                                                   halvern::fixtures::SampleVoiceMemos(layout));
        }
        // Calendar (an event deleted and carved), reminders of an iOS 14 store and Safari
        // bookmarks (one deleted).
        if (error.empty()) {
          error = halvern::fixtures::AddCalendar(spec, work,
                                                 halvern::fixtures::SampleCalendarEvents());
        }
        if (error.empty()) {
          error = halvern::fixtures::AddReminders(
              spec, work, halvern::fixtures::RemindersLayout::kIos15,
              "0C6B6E3A-8F0C-4B55-9E0B-5C1C6F3D2A11", halvern::fixtures::SampleReminders());
        }
        if (error.empty()) {
          error = halvern::fixtures::MakeBookmarksDb(work / "Bookmarks.db",
                                                     halvern::fixtures::SampleBookmarks());
          std::ifstream in(work / "Bookmarks.db", std::ios::binary);
          if (error.empty()) {
            spec.files.push_back({"HomeDomain", "Library/Safari/Bookmarks.db",
                                  std::string(std::istreambuf_iterator<char>(in), {})});
          }
        }
        // The Photos library over its DCIM pictures: albums, a favourite, a hidden picture, a
        // trashed one, a Live Photo, an edit and the carved record of one deleted for good.
        if (error.empty()) {
          std::erase_if(spec.files, [](const halvern::fixtures::BackupFile& f) {
            return f.domain == "CameraRollDomain";
          });
          error = halvern::fixtures::AddPhotos(spec, work, halvern::fixtures::PhotosLayout::kIos14,
                                               halvern::fixtures::SamplePhotoAssets());
        }
        ok = error.empty();
      }
      if (ok) ok = halvern::fixtures::WriteBackup(backups / c.id, spec, &error);
    }
    fs::remove_all(work, ec);
    if (!ok) {
      std::fprintf(stderr, "make-sample-backup: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", (backups / c.id).string().c_str());
  }
#if HALVERN_HAVE_CONVERSATION_DBS
  // A real 96 x 64 JPEG (a gradient), so that pictures show in the pages and the preview.
  static const std::string kPicture(
      "\xFF\xD8\xFF\xE0\x00\x10\x4A\x46\x49\x46\x00\x01\x01\x00\x00\x01\x00\x01\x00\x00\xFF\xDB\x00\x43"
      "\x00\x0A\x07\x07\x08\x07\x06\x0A\x08\x08\x08\x0B\x0A\x0A\x0B\x0E\x18\x10\x0E\x0D\x0D\x0E\x1D\x15"
      "\x16\x11\x18\x23\x1F\x25\x24\x22\x1F\x22\x21\x26\x2B\x37\x2F\x26\x29\x34\x29\x21\x22\x30\x41\x31"
      "\x34\x39\x3B\x3E\x3E\x3E\x25\x2E\x44\x49\x43\x3C\x48\x37\x3D\x3E\x3B\xFF\xDB\x00\x43\x01\x0A\x0B"
      "\x0B\x0E\x0D\x0E\x1C\x10\x10\x1C\x3B\x28\x22\x28\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B"
      "\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B"
      "\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\x3B\xFF\xC0\x00\x11\x08\x00\x40\x00\x60\x03"
      "\x01\x22\x00\x02\x11\x01\x03\x11\x01\xFF\xC4\x00\x17\x00\x01\x01\x01\x01\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x03\x02\x04\xFF\xC4\x00\x16\x10\x01\x01\x01\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x12\x11\xFF\xC4\x00\x16\x01\x01\x01\x01\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x05\x06\xFF\xC4\x00\x15\x11\x01\x01\x00\x00\x00\x00\x00\x00\x00"
      "\x00\x00\x00\x00\x00\x00\x00\x00\x13\xFF\xDA\x00\x0C\x03\x01\x00\x02\x11\x03\x11\x00\x3F\x00\xED"
      "\xD3\x53\xD3\x59\x58\x35\x76\x53\x4D\x4F\x4D\x20\x59\x4D\x35\x3D\x34\x81\x65\x34\xD4\xF4\xD2\x05"
      "\x94\xD3\x53\xD3\x48\x16\x53\x4D\x4F\x4D\x20\x59\x8A\x29\x3A\x29\x66\x29\x16\x52\x8A\x4E\x8A\x22"
      "\x59\x4A\x29\x3A\x28\x89\x65\x28\xA4\xE8\xA2\x25\x94\xA2\x93\xA2\x88\x96\x52\x8A\x4E\x8A\x22\x59"
      "\x8A\x29\x3A\x29\x66\x28\xF6\x52\x8A\x4E\x8A\x22\x59\x4A\x29\x3A\x28\x89\x65\x28\xA4\xE8\xA2\x25"
      "\x94\xA2\x93\xA2\x88\x96\x52\x8A\x4E\x8A\x22\x59\x3D\x35\x8A\x29\x66\x29\x16\x6F\x4D\x62\x8A\x22"
      "\x59\xBD\x35\x8A\x28\x89\x66\xF4\xD6\x28\xA2\x25\x9B\xD3\x58\xA2\x88\x96\x6F\x4D\x62\x8A\x22\x59"
      "\xFF\xD9",
      434);
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
          {"MediaDomain", halvern::testing::kPhotoPath, kPicture},
          {wa, halvern::testing::kWaPhotoPath, kPicture},
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
