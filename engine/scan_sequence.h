// The scan sequence: one worker thread runs the engine's Open and its category operations in
// a fixed order, hands each category to the front end as soon as it is complete, and ends
// with a finished notice or a status. Progress, pause and stop all pass through one callback
// (OnScanProgress) and one lock (ScanLock). The desktop scan page and the command line drive
// this same code; they differ only in the ScanFrontEnd they supply.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/backup_session.h"
#include "engine/engine.h"

namespace halvern {

// Notices of a scan, numbered as the program's window messages (WM_USER = 1024).
inline constexpr int32_t kWmUser = 1024;
inline constexpr int32_t WM_START_SCAN = kWmUser + 7;         // wParam: mode
inline constexpr int32_t WM_SCAN_REFRESH_TREE = kWmUser + 8;
inline constexpr int32_t WM_SCAN_SELECT_FIRST = kWmUser + 9;
inline constexpr int32_t WM_SCAN_FINISHED = kWmUser + 10;
inline constexpr int32_t WM_SCAN_STATUS = kWmUser + 11;       // wParam: a ScanStatus

enum ScanStatus : int32_t {
  kScanStarted = 0,       // the first progress report of 1
  kScanWrongPassword = 1,
  kScanDeviceGone = 2,
  kScanOpenFailed = 3,
  kScanReserved111 = 4,
};

// The tree categories, by their selection codes.
enum class ScanCategory : int32_t {
  kCameraRoll = 1,
  kPhotoStream = 2,
  kAppPhotos = 3,
  kAppVideos = 4,
  kMessages = 5,
  kMessageAttachments = 6,
  kContacts = 7,
  kCallHistory = 8,
  kNotes = 9,
  kWhatsApp = 10,
  kWhatsAppAttachments = 11,
};
// The table categories (categories/list.cpp) follow with the codes after those: the first
// table category has kFirstTableCode, the next one more, and so on.
inline constexpr int32_t kFirstTableCode = 12;
// Every category code, in the order of the tree: 1..11, then the table categories.
std::vector<ScanCategory> AllCategories();
// The table category of a code (and its index in TableCategories()), or null / -1.
const TableCategory* TableCategoryOf(ScanCategory category);
int TableIndexOf(ScanCategory category);
ScanCategory TableCategoryCode(size_t index);
// "Camera Roll", ..., "Voicemail": the English name of any category.
const char* CategoryName(ScanCategory category);
// The key of a category in `scan --json` and for `--only` ("cameraRoll", "appFiles" for both
// app categories, "messages", ..., "voicemail").
const char* CategoryKey(ScanCategory category);
// Whether the category's items carry deleted marks (records, not files).
bool CategoryHasDeletionMarks(ScanCategory category);

// App name to its files, for "App Photos" and "App Videos".
using AppFileMap = std::map<std::string, std::vector<AppFileItem>>;

// What a scan found, one container per category.
struct ScanResults {
  std::vector<MediaFileItem> cameraRoll;
  std::vector<MediaFileItem> photoStream;
  std::vector<AppFileItem> appFiles;
  MessageMap messages;
  std::vector<AttachmentItem> messageAttachments;
  std::vector<ContactItem> contacts;
  std::vector<CallItem> calls;
  std::vector<NoteItem> notes;
  ChatMap whatsApp;
  std::vector<MediaFileItem> whatsAppAttachments;
  AppFileMap appPhotos;
  AppFileMap appVideos;
  // Categories whose database lies in the backup but could not be read, with the sentence
  // that names the database and the cause. Such a category is a failure, not an empty one.
  std::map<ScanCategory, std::string> errors;
  // What the backup cannot hold, said instead of a silent 0 ("Call history is only in
  // encrypted backups").
  std::map<ScanCategory, std::string> notices;
  // The table categories, one per entry of TableCategories() (in that order; never resized
  // after Clear, so that rows keep their addresses while the selection keys them).
  std::vector<CategoryTable> tables;

  ScanResults();
  void Clear();
  const CategoryTable* Table(ScanCategory category) const;
  CategoryTable* Table(ScanCategory category);
  // Deleted items of a category (0 for the file categories).
  size_t DeletedCount(ScanCategory category) const;
  // Number of items of a category (conversations count their messages).
  size_t Count(ScanCategory category) const;
};

// Sorts app files into photos and videos by extension: the image list, then the video and
// the audio lists (both to videos); a file in none goes to photos.
void BuildAppMaps(const std::vector<AppFileItem>& files, AppFileMap& photos, AppFileMap& videos);

// What a front end receives. Called on the worker thread except where noted; a GUI queues
// them to its own thread.
class ScanFrontEnd {
 public:
  virtual ~ScanFrontEnd() = default;
  // A posted notice (WM_SCAN_* with its parameter).
  virtual void Post(int32_t message, int32_t wParam) = 0;
  // The first report of a scan (show the hint panel, hide the list).
  virtual void OnScanStarted() {}
  // The percentage to show (0..99), under ScanLock.
  virtual void OnProgressShown(int32_t /*percent*/) {}
  // A category received data: enable and show its node.
  virtual void OnCategoryReady(ScanCategory /*category*/) {}
  // A category was read to its end (with or without data); those never reported were not
  // scanned because the scan ended first.
  virtual void OnCategoryScanned(ScanCategory /*category*/) {}
  // Whether the category tree has a selected node already.
  virtual bool HasSelectedNode() const { return false; }
};

class ScanSequence {
 public:
  ScanSequence(ScanFrontEnd& frontEnd, BackupSession* session);
  ~ScanSequence();  // stops a running scan and waits for it
  ScanSequence(const ScanSequence&) = delete;
  ScanSequence& operator=(const ScanSequence&) = delete;

  // Starts a scan of the selected backup (mode 1) or the attached phone (mode 0) on a new
  // worker thread. Returns 0, or 1 for an unknown mode or a scan still running.
  int32_t StartScan(int32_t mode, const BackupInfo& selected, const std::string& password);

  // Pause and resume hold and release ScanLock; the worker then waits at its next report.
  // Call them, and Stop, from one thread (the user-interface thread).
  void Pause();
  void Resume();
  bool paused() const { return paused_; }
  // Asks the worker to stop at its next report (releasing a pause hold exactly once) and
  // waits for it in 50 ms steps. Does nothing when no scan runs.
  void Stop();
  // The same, calling `whileWaiting` at every 50 ms step (a window keeps its event loop
  // turning there, so that it repaints while the worker reaches its next report).
  void Stop(const std::function<void()>& whileWaiting);
  // Waits in 50 ms steps until the worker has ended.
  void WaitFinished() const;
  void WaitFinished(const std::function<void()>& whileWaiting) const;

  bool finished() const { return scanFinished_.load() != 0; }
  int32_t scanResult() const { return scanResult_.load(); }
  // What Open returned in the last scan (before it was mapped to a status).
  int32_t openResult() const { return openResult_.load(); }
  int32_t shownPercent() const { return shownPercent_; }
  // The backup session the sequence scans with.
  BackupSession* session() const { return session_; }
  // The engine of the current or last scan (for previews and exports); null before a scan.
  IPhoneRecoveryParse* activeEngine() const { return engine_.get(); }
  // The results; read them while no scan runs, or under ScanLock.
  const ScanResults& results() const { return results_; }
  // Hands the results over (the sequence keeps empty lists); only once the scan has finished.
  ScanResults TakeResults() { return std::move(results_); }
  // Opens, in place, the locked notes of the finished scan that `password` opens (the
  // password is used for this call only). Nothing happens while the scan runs.
  NoteUnlockCount UnlockNotes(const std::string& password);
  std::mutex& scanLock() { return scanLock_; }
  // The first category that received data in this scan, or 0.
  int32_t firstNode() const { return firstNode_; }

  // The progress callback installed in the engine; `self` is the sequence.
  static int32_t OnScanProgress(void* self, int32_t percent);

 private:
  void ScanWorker();
  void Hook(std::initializer_list<ScanCategory> categories);

  ScanFrontEnd& frontEnd_;
  BackupSession* session_;
  std::unique_ptr<IPhoneRecoveryParse> engine_;
  std::thread worker_;
  std::mutex scanLock_;
  std::atomic<int32_t> cancelRequested_{0};
  std::atomic<int32_t> scanFinished_{1};
  std::atomic<int32_t> scanResult_{0};
  std::atomic<int32_t> openResult_{0};
  int32_t shownPercent_ = 0;
  int32_t mode_ = 1;
  bool paused_ = false;
  int32_t firstNode_ = 0;
  std::string password_;
  ScanResults results_;
};

}  // namespace halvern
