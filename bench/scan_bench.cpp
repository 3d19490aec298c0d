// Time of a whole backup scan on a large generated backup: 100,000 manifest entries and an
// sms.db of 100,000 messages, split into opening (manifest), file typing (the file
// categories), decoding the message table and joining it into conversations.
//
//   scan_bench [WORK_DIR]   (default /tmp/halvern-scan-bench; the backup is kept for reruns)
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/backup_session.h"
#include "platform/platform.h"
#include "sqlite_recovery/decoders.h"
#include "sqlite_recovery/reader.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/phone_dbs.h"

namespace fs = std::filesystem;
using namespace halvern;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

constexpr int kEntries = 100000;
constexpr int kMessages = 100000;

bool MakeBackup(const fs::path& folder, const fs::path& work) {
  fixtures::SmsRows rows;
  for (int h = 1; h <= 200; ++h) rows.handles.push_back({h, "+4477009" + std::to_string(10000 + h)});
  for (int i = 1; i <= kMessages; ++i) {
    fixtures::SmsMessage m;
    m.rowid = i;
    m.text = "Message " + std::to_string(i) + ": see you at the station around six, bring the keys";
    m.handleId = 1 + i % 200;
    m.date = 600000000 + int64_t{i} * 60;
    m.fromMe = i % 3 == 0;
    rows.messages.push_back(std::move(m));
  }
  fixtures::SmsChanges changes;
  for (int i = 5; i <= kMessages; i += 5) changes.deleteMessages.push_back(i);  // a fifth deleted
  fixtures::DbOptions options;
  options.schemaFile = "sms_all_ios9.sql";
  const fs::path sms = work / "sms.db";
  auto log = fixtures::MakeSmsDb(sms, rows, changes, options);
  if (log.status != 0) {
    std::fprintf(stderr, "sms.db: %s\n", log.error.c_str());
    return false;
  }
  fixtures::BackupSpec spec;
  spec.files.reserve(kEntries + 1);
  spec.files.push_back({"HomeDomain", "Library/SMS/sms.db", *platform::ReadFile(sms)});
  const std::string jpeg = fixtures::MediaBytes("jpg", 2048);
  const std::string other = std::string(600, 'x');
  for (int i = 0; i < kEntries; ++i) {
    char name[64];
    if (i % 2 == 0) {
      std::snprintf(name, sizeof name, "Media/DCIM/%03dAPPLE/IMG_%05d.JPG", 100 + i / 1000, i);
      spec.files.push_back({"CameraRollDomain", name, jpeg});
    } else if (i % 4 == 1) {
      std::snprintf(name, sizeof name, "Library/SMS/Attachments/%02x/%05d.jpeg", i % 256, i);
      spec.files.push_back({"MediaDomain", name, jpeg});
    } else {
      std::snprintf(name, sizeof name, "Documents/file%05d.dat", i);
      spec.files.push_back({"AppDomain-com.example.app", name, other});
    }
  }
  std::string error;
  if (!fixtures::WriteBackup(folder, spec, &error)) {
    std::fprintf(stderr, "backup: %s\n", error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const fs::path work = argc > 1 ? fs::path(argv[1]) : fs::path("/tmp/halvern-scan-bench");
  const fs::path folder = work / "backup";
  fs::create_directories(work);
  if (!fs::exists(folder / "Manifest.db")) {
    const auto t = Clock::now();
    if (!MakeBackup(folder, work)) return 1;
    std::printf("generated the backup in %.1f s\n", Seconds(t));
  }

  BackupSession session(work / "appdata", work / "tmp");
  BackupInfo info;
  if (info.ReadBackupInfo(folder) != 0) return 1;
  session.SetBackupInfo(info);

  auto t = Clock::now();
  if (session.Open("") != 0) return 1;
  const double open = Seconds(t);

  t = Clock::now();
  std::vector<MediaFileItem> roll, stream;
  std::vector<AttachmentItem> attachments;
  std::vector<AppFileItem> apps;
  session.ScanPhotos(roll, stream);
  session.ScanMessageAttachments(attachments);
  session.ScanAppFiles(apps);
  const double typing = Seconds(t);

  // Decoding alone: the message table through the reader and its decoder.
  t = Clock::now();
  CSqliteFileReader reader;
  if (reader.Open(session.DataFilePath(known_files::kMessages).string()) != 0) return 1;
  std::vector<MessageItem> decoded;
  DecodeMessages(reader, decoded);
  const double decoding = Seconds(t);

  // The whole message step: decoding the four tables, joining, naming, sorting.
  t = Clock::now();
  MessageMap map;
  session.ScanMessages(map);
  const double messages = Seconds(t);
  size_t count = 0, deleted = 0;
  for (const auto& [key, conversation] : map) {
    count += conversation.messages.size();
    for (const auto& m : conversation.messages) deleted += m.deleted;
  }

  std::printf("manifest entries     %zu\n", session.manifest.size());
  std::printf("open (manifest)      %.3f s\n", open);
  std::printf("file typing          %.3f s  (%zu camera roll, %zu attachments, %zu app files)\n",
              typing, roll.size(), attachments.size(), apps.size());
  std::printf("decode message table %.3f s  (%zu rows)\n", decoding, decoded.size());
  std::printf("messages step        %.3f s  (%zu messages, %zu deleted, %zu conversations)\n",
              messages, count, deleted, map.size());
  std::printf("  of which joining   %.3f s  (messages step less decoding the message table)\n",
              messages - decoding);
  return 0;
}
