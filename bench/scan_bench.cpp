// Time of a whole backup scan on a large generated backup: 100,000 manifest entries and an
// sms.db of 100,000 messages, split into opening (manifest), file typing (the file
// categories), decoding the message table and joining it into conversations.
//
//   scan_bench [WORK_DIR]   (default /tmp/halvern-scan-bench; the backup is kept for reruns)
//   scan_bench --backup DIR (an existing backup folder instead, e.g. one of bench/make_backup.py)
//
// Each step also prints the peak memory (ru_maxrss) reached by its end.
#include <sys/resource.h>

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

long PeakMiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
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
  platform::KeepLargeAllocationsApart();  // as the programs do
  const bool given = argc > 2 && std::string(argv[1]) == "--backup";
  const fs::path work = given          ? fs::temp_directory_path() / "halvern-scan-bench-run"
                        : argc > 1 ? fs::path(argv[1])
                                   : fs::path("/tmp/halvern-scan-bench");
  const fs::path folder = given ? fs::path(argv[2]) : work / "backup";
  fs::create_directories(work);
  if (!given && !fs::exists(folder / "Manifest.db")) {
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
  const long openPeak = PeakMiB();

  t = Clock::now();
  std::vector<MediaFileItem> roll, stream;
  std::vector<AttachmentItem> attachments;
  std::vector<AppFileItem> apps;
  session.ScanPhotos(roll, stream);
  session.ScanMessageAttachments(attachments);
  session.ScanAppFiles(apps);
  const double typing = Seconds(t);
  const long typingPeak = PeakMiB();

  // The whole message step: decoding the four tables, joining, naming, sorting.
  t = Clock::now();
  MessageMap map;
  session.ScanMessages(map);
  const double messages = Seconds(t);
  size_t count = 0, deleted = 0;
  const long messagesPeak = PeakMiB();
  for (const auto& [key, conversation] : map) {
    count += conversation.messages.size();
    for (const auto& m : conversation.messages) deleted += m.deleted;
  }

  // Decoding alone: the message table through the reader and its decoder.
  t = Clock::now();
  CSqliteFileReader reader;
  if (reader.Open(session.DataFilePath(known_files::kMessages).string()) != 0) return 1;
  std::vector<MessageItem> decoded;
  DecodeMessages(reader, decoded);
  const double decoding = Seconds(t);
  decoded.clear();
  decoded.shrink_to_fit();
  const long decodingPeak = PeakMiB();

  // The raw row export of the message table that a recover run writes beside the pages.
  t = Clock::now();
  const fs::path csv = work / "sms-export.csv";
  fs::remove(csv);
  session.ExportMessagesCsv(csv.string());
  const double exporting = Seconds(t);
  std::error_code ec;
  const uintmax_t csvBytes = fs::file_size(csv, ec);
  fs::remove(csv, ec);

  std::printf("manifest entries     %zu\n", session.manifest.size());
  std::printf("open (manifest)      %.3f s  peak %ld MiB\n", open, openPeak);
  std::printf("file typing          %.3f s  peak %ld MiB (%zu camera roll, %zu attachments, "
              "%zu app files)\n",
              typing, typingPeak, roll.size(), attachments.size(), apps.size());
  std::printf("decode message table %.3f s  peak %ld MiB (%zu rows)\n", decoding, decodingPeak,
              decoded.size());
  std::printf("messages step        %.3f s  peak %ld MiB (%zu messages, %zu deleted, %zu "
              "conversations)\n",
              messages, messagesPeak, count, deleted, map.size());
  std::printf("sms.csv export       %.3f s  (%.0f MB)\n", exporting, double(csvBytes) / 1e6);
  std::printf("  of which joining   %.3f s  (messages step less decoding the message table)\n",
              messages - decoding);
  return 0;
}
