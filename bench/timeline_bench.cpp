// Time and memory of building the timeline (timeline/timeline.h) of a large scan: the messages,
// calls, notes and WhatsApp chats of a backup (e.g. the 1.2-million-message backup of
// bench/make_backup.py) are scanned once, then the timeline is built several times; the best
// time, the number of entries and the bytes the entries take are printed, and the time to
// read the shown texts of the first screenful of rows (what a list asks for).
//
//   timeline_bench --backup DIR [--runs N]
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "engine/backup_session.h"
#include "platform/platform.h"
#include "timeline/timeline.h"

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

}  // namespace

int main(int argc, char** argv) {
  platform::KeepLargeAllocationsApart();  // as the programs do
  if (argc < 3 || std::string(argv[1]) != "--backup") {
    std::fprintf(stderr, "usage: timeline_bench --backup DIR [--runs N]\n");
    return 2;
  }
  const fs::path folder = argv[2];
  const int runs = argc > 4 && std::string(argv[3]) == "--runs" ? std::stoi(argv[4]) : 5;
  const fs::path work = fs::temp_directory_path() / "halvern-timeline-bench";
  fs::create_directories(work);
  BackupSession session(work / "appdata", work / "tmp");
  BackupInfo info;
  if (info.ReadBackupInfo(folder) != 0 || (session.SetBackupInfo(info), session.Open("")) != 0) {
    std::fprintf(stderr, "timeline_bench: %s does not open as a backup\n", folder.c_str());
    return 1;
  }
  ScanResults results;
  auto t = Clock::now();
  session.ScanMessages(results.messages);
  session.ScanCallHistory(results.calls);
  session.ScanNotes(results.notes);
  session.ScanWhatsApp(results.whatsApp);
  std::printf("scan                 %.3f s  peak %ld MiB (%zu messages)\n", Seconds(t), PeakMiB(),
              MessageCount(results.messages));

  double best = 1e9;
  size_t entries = 0, bytes = 0;
  for (int i = 0; i < runs; ++i) {
    t = Clock::now();
    const Timeline timeline = BuildTimeline(results);
    best = std::min(best, Seconds(t));
    entries = timeline.entries.size();
    bytes = timeline.entries.capacity() * sizeof(TimelineEntry) +
            timeline.conversations.capacity() * sizeof(void*) +
            timeline.chats.capacity() * sizeof(void*);
  }
  std::printf("build timeline       %.3f s  best of %d (%zu entries, %.1f MB, %zu bytes each)\n",
              best, runs, entries, double(bytes) / 1e6, sizeof(TimelineEntry));
  std::printf("peak after building  %ld MiB\n", PeakMiB());

  const Timeline timeline = BuildTimeline(results);
  t = Clock::now();
  size_t shown = 0;
  for (size_t i = 0; i < timeline.entries.size() && i < 50; ++i) {
    const TimelineEntry& e = timeline.entries[i];
    shown += TimelineTime(results, timeline, e).size() + TimelineWho(results, timeline, e).size() +
             TimelineText(results, timeline, e).size();
  }
  std::printf("texts of 50 rows     %.6f s  (%zu bytes)\n", Seconds(t), shown);
  return 0;
}
