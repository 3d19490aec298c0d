// halvern-cli recover: scans a backup folder, selects every item (or what the filters keep: the
// named categories, one person's, those of a span of days, the deleted ones) and writes the
// recovered-items folder with its index page.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <map>

#include "cli/commands.h"
#include "cli/filter_options.h"
#include "cli/scan_output.h"
#include "cli/stop_signals.h"
#include "engine/backup_session.h"
#include "engine/scan_sequence.h"
#include "export/destination.h"
#include "export/recover_worker.h"
#include "export/writers.h"
#include "platform/platform.h"
#include "platform/runtime_files.h"
#include "selection/statistics.h"

namespace halvern::cli {

namespace {

// One progress line on stderr: a bar redrawn in place on a terminal, plain lines otherwise.
class ProgressLine {
 public:
  ProgressLine() : terminal_(isatty(STDERR_FILENO) != 0) {}
  void Bar(const char* what, int32_t percent, const std::string& detail = {}) {
    percent = std::clamp(percent, 0, 100);
    if (terminal_) {
      const int width = 30, filled = percent * width / 100;
      std::string tail = detail.size() > 40 ? "..." + detail.substr(detail.size() - 37) : detail;
      std::fprintf(stderr, "\r\033[K%-10s [%.*s%*s] %3d%% %s", what, filled,
                   "##############################", width - filled, "", percent, tail.c_str());
      std::fflush(stderr);
      shown_ = true;
    } else if (percent / 10 != lastDecile_ || what != lastWhat_) {
      lastDecile_ = percent / 10;
      lastWhat_ = what;
      std::fprintf(stderr, "%s: %d%%\n", what, percent);
    }
  }
  void Line(const std::string& text) {
    if (terminal_ && shown_) std::fprintf(stderr, "\r\033[K");
    std::fprintf(stderr, "%s\n", text.c_str());
    shown_ = false;
  }
  void Done() {
    if (shown_) std::fprintf(stderr, "\n");
    shown_ = false;
  }

 private:
  bool terminal_;
  bool shown_ = false;
  int lastDecile_ = -1;
  std::string lastWhat_;
};

class RecoverScanFrontEnd : public ScanFrontEnd {
 public:
  explicit RecoverScanFrontEnd(ProgressLine& line) : line_(line) {}
  void Post(int32_t, int32_t) override {}
  void OnProgressShown(int32_t percent) override { line_.Bar("scanning", percent); }
  // Called on the scan's thread once the Camera Roll and the Photo Stream are read whole.
  void OnCategoryScanned(ScanCategory category) override {
    if (category == ScanCategory::kPhotoStream) photosScanned_.store(true, std::memory_order_release);
  }
  // Whether both photo lists are complete (the scan no longer touches them).
  bool photosScanned() const { return photosScanned_.load(std::memory_order_acquire); }

 private:
  ProgressLine& line_;
  std::atomic<bool> photosScanned_{false};
};

// Counts the items done against the items selected; failures are listed as they come.
class CliRecoverProgress : public RecoverTally {
 public:
  CliRecoverProgress(ProgressLine& line, uint32_t total) : line_(line), total_(total) {}
  int32_t OnReport(int32_t percent, int32_t error, const std::string& path) override {
    if (StopSignals::Raised()) return kStopped;
    if (percent == 100 && error != 0) {
      // A failure the run explained is counted first among the outcomes.
      const Outcome& last = outcomes().front();
      const bool explained = last.path == path && last.error == error && !last.reason.empty();
      line_.Line("failed: " + path + ": " + RecoverStatusText(error) +
                 (explained ? " (" + last.reason + ")" : ""));
    }
    // Items, not files: a conversation's page, text and attachments are one item.
    const uint32_t done = std::min(itemsWritten() + itemsFailed(), total_);
    line_.Bar("recovering", total_ ? int32_t(uint64_t(done) * 100 / total_) : 100, path);
    return 0;
  }
  void OnMediaCopy(const MediaCopy& copy) override {
    RecoverTally::OnMediaCopy(copy);
    if (copy.error != 0) {
      line_.Line("copy for browsers failed: " + copy.written.string() + ": " + copy.reason);
    }
  }

 private:
  ProgressLine& line_;
  uint32_t total_;
};

}  // namespace

static std::string Normalised(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == ' ' || c == '-' || c == '_') continue;
    out += char(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// A category by a name the user typed: its tree name in any case, with or without spaces
// or dashes ("camera-roll", "Call History", "whatsapp"), or a short form.
bool ParseCategory(std::string_view text, ScanCategory& out) {
  const std::string key = Normalised(text);
  for (const ScanCategory category : AllCategories()) {
    if (Normalised(CategoryName(category)) == key || Normalised(CategoryKey(category)) == key) {
      out = category;
      return true;
    }
  }
  static constexpr struct {
    const char* alias;
    ScanCategory category;
  } kAliases[] = {
      {"calls", ScanCategory::kCallHistory},
      {"sms", ScanCategory::kMessages},
      {"appvideo", ScanCategory::kAppVideos},
      {"messageattachments", ScanCategory::kMessageAttachments},
      {"attachments", ScanCategory::kMessageAttachments},
  };
  for (const auto& a : kAliases) {
    if (key == a.alias) {
      out = a.category;
      return true;
    }
  }
  return false;
}

bool ParseCategoryList(std::string_view list, std::vector<ScanCategory>& out,
                       std::string& unknown) {
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string_view name = list.substr(start, comma - start);
    ScanCategory category{};
    if (!name.empty()) {
      if (!ParseCategory(name, category)) {
        unknown = std::string(name);
        return false;
      }
      out.push_back(category);
    }
    start = comma + 1;
  }
  return true;
}

namespace {

// The pages in the language chosen for the program (`halvern-cli language`, or the desktop
// program's menu): its templates and its page words, when it has them; English otherwise. The
// CSV and text files keep their English words.
fs::path ChosenPageLanguage() {
  const fs::path base = platform::DataFolder() / "template";
  const std::string config = platform::ReadFile(platform::ConfigFile()).value_or(std::string());
  const std::string name =
      platform::IniValue(config, "DefaultLanguage", "Default").value_or("English");
  if (name.empty() || name == "English" || name.size() > 63 || name[0] == '.' ||
      name.find_first_of("/\\") != std::string::npos) {
    return base;
  }
  std::error_code ec;
  if (!fs::is_regular_file(base / name / "Sms.html", ec)) return base;
  const std::string language =
      platform::ReadFile(platform::DataFolder() / "Languages" / (name + ".ini"))
          .value_or(std::string());
  std::map<std::string, std::string> words;
  for (auto& [english, word] : platform::IniSectionLines(language, "Pages")) {
    words.emplace(std::move(english), std::move(word));
  }
  SetPageWords(std::move(words));
  return base / name;
}

constexpr const char* kUsage =
    "usage: recover DIR [DIR ...]|--device --to OUT [--with PERSON] [--since YYYY-MM-DD] "
    "[--until YYYY-MM-DD] [--deleted-only] [--only CATEGORY,...] [--no-convert] "
    "[--convert-video] [--password-stdin] [--notes-password|--notes-password-stdin]";

}  // namespace

int RecoverCommand(const Args& input) {
  Args args = input;
  std::string to;
  const bool hasTo = TakeOption(args, "--to", to);
  ItemFilter filter;
  std::string error;
  if (const int bad = TakeFilterOptions(args, "recover", filter, error); bad != 0) {
    return Fail(bad, error);
  }
  const bool deletedOnly = filter.deletedOnly;
  // A person or a span of days keeps part of the items of a category.
  const bool narrowed = !filter.with.empty() || !filter.since.empty() || !filter.until.empty();
  const std::vector<ScanCategory>& chosen = filter.only;
  const bool passwordStdin = TakeFlag(args, "--password-stdin");
  const bool device = TakeFlag(args, "--device");
  const bool notesPassword = TakeFlag(args, "--notes-password");
  const bool notesPasswordStdin = TakeFlag(args, "--notes-password-stdin");
  // Copies for browsers (JPEG of HEIC, thumbnails, playable sounds) unless refused; H.264
  // copies of HEVC videos only when asked (slow).
  const bool noConvert = TakeFlag(args, "--no-convert");
  const bool convertVideo = TakeFlag(args, "--convert-video");
  if ((device ? !args.empty() : args.empty()) || !hasTo || to.empty()) return Fail(2, kUsage);
  const bool several = args.size() > 1;

  // The backup is never written, and a folder that cannot take files is refused: both are
  // checked before anything runs.
  const DestinationCheck check =
      CheckRecoverDestination(fs::path(to), device ? fs::path() : fs::path(args[0]));
  if (!check.ok()) return Fail(2, check.Message());
  for (size_t i = 1; i < args.size(); ++i) {
    if (const DestinationCheck other = CheckRecoverDestination(fs::path(to), fs::path(args[i]));
        !other.ok()) {
      return Fail(2, other.Message());
    }
  }
  const fs::path destination = check.destination;

  const fs::path templates = ChosenPageLanguage();
  ProgressLine line;
  RecoverScanFrontEnd frontEnd(line);
  BackupSession session;
  ScanSequence scan(frontEnd, &session);
  BackupInfo info;
  // The photos are found first and the databases take most of the scan: while they are read,
  // this thread copies the photos the run is going to copy (every one of a chosen category;
  // none when only deleted items are wanted, as files are never deleted items). It stops
  // copying when the scan ends, so that the run (and its export beside the copies) starts at
  // once; the run copies the rest. Photo files carry no date and belong to no person: a
  // person or a span of days keeps none of them.
  const auto wanted = [&](ScanCategory category) {
    return !deletedOnly && !narrowed &&
           (chosen.empty() || std::find(chosen.begin(), chosen.end(), category) != chosen.end());
  };
  CopiesAhead ahead;
  bool aheadDone = false;
  const auto copyAhead = [&] {
    if (aheadDone || !frontEnd.photosScanned() || scan.activeEngine() == nullptr) return;
    aheadDone = true;
    const ScanResults& found = scan.results();
    const auto stop = [&] { return StopSignals::Raised() || scan.finished(); };
    if (wanted(ScanCategory::kCameraRoll) &&
        ahead.Copy(*scan.activeEngine(), destination, int32_t(ScanCategory::kCameraRoll),
                   found.cameraRoll, stop) != 0) {
      return;
    }
    if (wanted(ScanCategory::kPhotoStream)) {
      ahead.Copy(*scan.activeEngine(), destination, int32_t(ScanCategory::kPhotoStream),
                 found.photoStream, stop);
    }
  };
  // Several backups: each is scanned in turn and all of them are merged before anything is
  // written (a backup that fails leaves the destination untouched). Their sessions stay open
  // until the run ends: the files are copied from the backup that holds them.
  std::vector<ScannedBackup> scanned;
  std::vector<BackupInfo> sources;
  if (several) {
    const int status =
        RunScans({args.begin(), args.end()}, passwordStdin, frontEnd, scanned, error);
    line.Done();
    if (status != 0) return Fail(status, error);
  }
  // An empty folder is the attached phone: it is backed up first, then read like a folder.
  const int status = several ? 0
                             : RunScan(device ? fs::path() : fs::path(args[0]), passwordStdin,
                                       scan, info, error, copyAhead);
  line.Done();
  if (status != 0) {
    if (ahead.copied() > 0) {
      error += "; the " + std::to_string(ahead.copied()) + " files copied so far are kept in " +
               destination.string();
    }
    return Fail(status, error);
  }

  // The lists in the order every view shows them, and the selection over them.
  ScanResults results;
  if (several) {
    std::vector<NoteStore> stores;
    for (ScannedBackup& one : scanned) stores.push_back({one.session.get(), &one.results.notes});
    if (const int notes = OpenLockedNotes(stores, notesPassword, notesPasswordStdin, error);
        notes != 0) {
      return Fail(notes, error);
    }
    results = MergeScanned(scanned);
    for (const ScannedBackup& one : scanned) sources.push_back(one.info);
    info = sources.back();
  } else {
    results = scan.TakeResults();
    if (const int notes = OpenLockedNotes(scan.session(), results.notes, notesPassword,
                                          notesPasswordStdin, error);
        notes != 0) {
      return Fail(notes, error);
    }
  }
  // Only what the filters keep is selected: a conversation with its kept messages and their
  // attachments alone.
  const ScanSieve sieve(filter, results, info.phoneNumber);
  if (const int nobody = CheckPerson(sieve, "recover", error); nobody != 0) {
    return Fail(nobody, error);
  }
  // What is left out is freed with the results, at the end.
  const LeftOut leftOut = FilterResults(results, sieve);
  PreSortCalls(results.calls);
  PreSortContacts(results.contacts);
  PreSortNotes(results.notes);
  const std::vector<MessageItem> conversations = ConversationRows(results.messages);
  const std::vector<ChatMessageItem> chats = ChatRows(results.whatsApp);
  CStatisticsObj selection;
  selection.AddFiles(ScanCategory::kCameraRoll, results.cameraRoll);
  selection.AddFiles(ScanCategory::kPhotoStream, results.photoStream);
  selection.AddApps(ScanCategory::kAppPhotos, results.appPhotos);
  selection.AddApps(ScanCategory::kAppVideos, results.appVideos);
  selection.AddConversations(conversations);
  selection.AddFiles(ScanCategory::kMessageAttachments, results.messageAttachments);
  selection.AddContacts(results.contacts);
  selection.AddCalls(results.calls);
  selection.AddNotes(results.notes);
  selection.AddChats(chats);
  selection.AddFiles(ScanCategory::kWhatsAppAttachments, results.whatsAppAttachments);
  for (size_t i = 0; i < results.tables.size(); ++i) {
    selection.AddTable(TableCategoryCode(i), results.tables[i]);
  }
  if (!chosen.empty()) {
    for (const ScanCategory category : AllCategories()) {
      const bool keep = std::find(chosen.begin(), chosen.end(), category) != chosen.end();
      if (!keep) selection.SelectCategory(category, false);
    }
  }
  if (deletedOnly) {
    for (const auto& [item, entry] : selection.Entries()) {
      if (!entry->group && entry->deleted == 0) selection.SetHidden(item, true);
    }
  }
  selection.Recount();
  // Categories whose database could not be read fail the run, whatever else is written.
  int unreadable = 0;
  for (const auto& [category, text] : results.errors) {
    if (chosen.empty() || std::find(chosen.begin(), chosen.end(), category) != chosen.end()) {
      std::fprintf(stderr, "halvern-cli: %s: %s\n", CategoryName(category), text.c_str());
      unreadable = 1;
    }
  }
  const uint32_t total = selection.Root().selected - selection.Root().selectedHidden;
  if (total == 0) {
    std::printf("Nothing to recover: no item of the chosen kind was found in %s\n",
                device ? "the attached phone"
                       : several ? (std::to_string(args.size()) + " backups").c_str()
                                 : args[0].c_str());
    return unreadable;
  }

  RecoverJob job;
  // The engine copies a file from the path the item carries: the newest backup's engine serves
  // the files of every backup (their sessions are still open).
  job.engine = several ? scanned.back().scan->activeEngine() : scan.activeEngine();
  job.messages = &results.messages;
  job.chats = &results.whatsApp;
  job.tables = &results.tables;
  job.scan = &results;
  job.selection = &selection;
  job.deletedOnly = deletedOnly;
  job.narrowed = narrowed;
  job.destination = destination;
  job.templateFolder = templates;
  job.deviceName = info.displayName;
  job.ahead = &ahead;
  job.mediaCopies = MediaCopyOptions{!noConvert, convertVideo};
  CliRecoverProgress progress(line, total);
  RecoverWorker worker(job, progress);
  std::string missing;
  if (worker.LoadTemplates(&missing) != 0) {
    return Fail(1, "a page template is missing: " + missing);
  }
  int32_t result;
  {
    // Ctrl-C, SIGTERM and SIGHUP stop the run: the file being written is removed, the pages
    // collected so far are written whole.
    StopSignals signals;
    StopSignals::Reset();
    result = worker.Run();
  }
  line.Done();

  const RecoverSummary& summary = worker.summary();
  std::printf("Recovered %u of %u selected items from \"%s\" into %s\n",
              progress.itemsWritten(), total, info.displayName.c_str(), job.destination.c_str());
  if (several) {
    std::printf("  from %zu backups read as one:\n", sources.size());
    for (const BackupInfo& b : sources) std::printf("    %s\n", BackupLabel(b).c_str());
  }
  std::printf("  files written: %zu\n", summary.written.size());
  std::printf("  failed:        %u\n", progress.failedCount());
  for (const auto& o : progress.outcomes()) {
    if (o.error != 0) {
      std::printf("    %s: %s%s\n", o.path.c_str(), RecoverStatusText(o.error).c_str(),
                  o.reason.empty() ? "" : (" (" + o.reason + ")").c_str());
    }
  }
  if (progress.copiesMade() > 0 || !progress.copyFailures().empty()) {
    // A copy that failed leaves its original recovered: listed, not counted as a failed file.
    std::printf("  copies for browsers: %u made, %zu failed\n", progress.copiesMade(),
                progress.copyFailures().size());
    for (const MediaCopy& c : progress.copyFailures()) {
      std::printf("    %s: %s\n", c.written.c_str(), c.reason.c_str());
    }
  }
  for (const auto& [category, text] : results.notices) {
    std::printf("  %s: %s\n", CategoryName(category), text.c_str());
  }
  if (!summary.index.empty()) std::printf("Open %s to start.\n", summary.index.c_str());
  if (IsStopped(result)) return Fail(130, "recover stopped; the files written so far are kept");
  if (progress.failedCount() > 0) return 1;
  return unreadable;
}

}  // namespace halvern::cli
