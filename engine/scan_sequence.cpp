// The scan worker, its progress callback and the category hooks.
#include "engine/scan_sequence.h"

#include <chrono>
#include <cstring>

#include "backup/media_scan.h"
#include "engine/quit_counter.h"
#include "platform/platform.h"

namespace halvern {

namespace {
constexpr auto kPollStep = std::chrono::milliseconds(50);
}

std::vector<ScanCategory> AllCategories() {
  std::vector<ScanCategory> all;
  for (int32_t code = 1; code < kFirstTableCode; ++code) all.push_back(ScanCategory(code));
  for (size_t i = 0; i < TableCategories().size(); ++i) all.push_back(TableCategoryCode(i));
  return all;
}

int TableIndexOf(ScanCategory category) {
  const int32_t index = int32_t(category) - kFirstTableCode;
  return index >= 0 && size_t(index) < TableCategories().size() ? int(index) : -1;
}

const TableCategory* TableCategoryOf(ScanCategory category) {
  const int index = TableIndexOf(category);
  return index < 0 ? nullptr : TableCategories()[size_t(index)];
}

ScanCategory TableCategoryCode(size_t index) {
  return ScanCategory(kFirstTableCode + int32_t(index));
}

const char* CategoryKey(ScanCategory category) {
  if (const TableCategory* table = TableCategoryOf(category)) return table->key;
  switch (category) {
    case ScanCategory::kCameraRoll: return "cameraRoll";
    case ScanCategory::kPhotoStream: return "photoStream";
    case ScanCategory::kAppPhotos:
    case ScanCategory::kAppVideos: return "appFiles";
    case ScanCategory::kMessages: return "messages";
    case ScanCategory::kMessageAttachments: return "messageAttachments";
    case ScanCategory::kContacts: return "contacts";
    case ScanCategory::kCallHistory: return "callHistory";
    case ScanCategory::kNotes: return "notes";
    case ScanCategory::kWhatsApp: return "whatsApp";
    case ScanCategory::kWhatsAppAttachments: return "whatsAppAttachments";
  }
  return "";
}

bool CategoryHasDeletionMarks(ScanCategory category) {
  if (TableCategoryOf(category) != nullptr) return true;
  switch (category) {
    case ScanCategory::kMessages:
    case ScanCategory::kContacts:
    case ScanCategory::kCallHistory:
    case ScanCategory::kNotes:
    case ScanCategory::kWhatsApp: return true;
    default: return false;
  }
}

const char* CategoryName(ScanCategory category) {
  if (const TableCategory* table = TableCategoryOf(category)) return table->title;
  switch (category) {
    case ScanCategory::kCameraRoll: return "Camera Roll";
    case ScanCategory::kPhotoStream: return "Photo Stream";
    case ScanCategory::kAppPhotos: return "App Photos";
    case ScanCategory::kAppVideos: return "App Videos";
    case ScanCategory::kMessages: return "Messages";
    case ScanCategory::kMessageAttachments: return "Messages Attachments";
    case ScanCategory::kContacts: return "Contacts";
    case ScanCategory::kCallHistory: return "Call History";
    case ScanCategory::kNotes: return "Notes";
    case ScanCategory::kWhatsApp: return "WhatsApp";
    case ScanCategory::kWhatsAppAttachments: return "WhatsApp Attachments";
  }
  return "";
}

ScanResults::ScanResults() : tables(TableCategories().size()) {}

void ScanResults::Clear() { *this = ScanResults{}; }

const CategoryTable* ScanResults::Table(ScanCategory category) const {
  const int index = TableIndexOf(category);
  return index < 0 || size_t(index) >= tables.size() ? nullptr : &tables[size_t(index)];
}
CategoryTable* ScanResults::Table(ScanCategory category) {
  const int index = TableIndexOf(category);
  return index < 0 || size_t(index) >= tables.size() ? nullptr : &tables[size_t(index)];
}

size_t ScanResults::DeletedCount(ScanCategory category) const {
  if (const CategoryTable* table = Table(category)) return table->DeletedCount();
  const auto deleted = [](const auto& items) {
    size_t n = 0;
    for (const auto& item : items) n += item.deleted != 0;
    return n;
  };
  const auto deletedIn = [&](const auto& map) {
    size_t n = 0;
    for (const auto& [key, c] : map) n += deleted(c.messages);
    return n;
  };
  switch (category) {
    case ScanCategory::kMessages: return deletedIn(messages);
    case ScanCategory::kContacts: return deleted(contacts);
    case ScanCategory::kCallHistory: return deleted(calls);
    case ScanCategory::kNotes: return deleted(notes);
    case ScanCategory::kWhatsApp: return deletedIn(whatsApp);
    default: return 0;
  }
}

size_t ScanResults::Count(ScanCategory category) const {
  if (const CategoryTable* table = Table(category)) return table->rows.size();
  auto sumMap = [](const auto& map) {
    size_t n = 0;
    for (const auto& [key, items] : map) n += items.size();
    return n;
  };
  switch (category) {
    case ScanCategory::kCameraRoll: return cameraRoll.size();
    case ScanCategory::kPhotoStream: return photoStream.size();
    case ScanCategory::kAppPhotos: return sumMap(appPhotos);
    case ScanCategory::kAppVideos: return sumMap(appVideos);
    case ScanCategory::kMessages: return MessageCount(messages);
    case ScanCategory::kMessageAttachments: return messageAttachments.size();
    case ScanCategory::kContacts: return contacts.size();
    case ScanCategory::kCallHistory: return calls.size();
    case ScanCategory::kNotes: return notes.size();
    case ScanCategory::kWhatsApp: return MessageCount(whatsApp);
    case ScanCategory::kWhatsAppAttachments: return whatsAppAttachments.size();
  }
  return 0;
}

void BuildAppMaps(const std::vector<AppFileItem>& files, AppFileMap& photos, AppFileMap& videos) {
  for (const auto& item : files) {
    const auto dot = item.displayName.rfind('.');
    const std::string key =
        platform::AsciiLower(dot == std::string::npos ? "" : item.displayName.substr(dot + 1)) +
        "|";
    if (std::strstr(kImageList, key.c_str())) {
      photos[item.appName].push_back(item);
    } else if (std::strstr(kVideoList, key.c_str()) || std::strstr(kAudioList, key.c_str())) {
      videos[item.appName].push_back(item);
    } else {
      photos[item.appName].push_back(item);
    }
  }
}

ScanSequence::ScanSequence(ScanFrontEnd& frontEnd, BackupSession* session)
    : frontEnd_(frontEnd), session_(session) {}

ScanSequence::~ScanSequence() {
  if (!finished()) Stop();
  if (paused_) Resume();
  if (worker_.joinable()) worker_.join();
}

int32_t ScanSequence::StartScan(int32_t mode, const BackupInfo& selected,
                                const std::string& password) {
  if (!finished()) return 1;
  if (worker_.joinable()) worker_.join();
  mode_ = mode;
  engine_.reset();
  if (mode == 0) {
    engine_.reset(CreateEngine(0, nullptr));
  } else if (mode == 1) {
    if (session_) session_->SetBackupInfo(selected);
    engine_.reset(CreateEngine(1, session_));
  } else {
    return 1;
  }
  if (!engine_) return 1;
  results_.Clear();
  shownPercent_ = 0;
  firstNode_ = 0;
  password_ = password;
  engine_->SetProgressCallback(&ScanSequence::OnScanProgress, this);
  scanFinished_ = 0;
  cancelRequested_ = 0;
  worker_ = std::thread([this] { ScanWorker(); });
  return 0;
}

void ScanSequence::Hook(std::initializer_list<ScanCategory> categories) {
  for (ScanCategory category : categories) {
    frontEnd_.OnCategoryScanned(category);
    if (results_.Count(category) == 0) continue;
    if (firstNode_ == 0 && !frontEnd_.HasSelectedNode()) firstNode_ = static_cast<int32_t>(category);
    frontEnd_.OnCategoryReady(category);
    frontEnd_.Post(WM_SCAN_REFRESH_TREE, 0);
    if (firstNode_ != 0) frontEnd_.Post(WM_SCAN_SELECT_FIRST, 0);
  }
}

void ScanSequence::ScanWorker() {
  cancelRequested_ = 0;
  int32_t result = engine_->Open(password_);
  openResult_ = result;
  bool openFailed = false;
  switch (result) {
    case 0:
      frontEnd_.Post(WM_SCAN_REFRESH_TREE, 0);
      break;
    case kStopped:
    case kDeviceGone:
      result = kStopped;
      break;
    case kWrongPassword:
      frontEnd_.Post(WM_SCAN_STATUS, kScanWrongPassword);
      break;
    case kReserved111:
      frontEnd_.Post(WM_SCAN_STATUS, kScanReserved111);
      break;
    default:
      // The failure keeps its own code: a scan that could not open is not a stopped scan.
      frontEnd_.Post(WM_SCAN_STATUS, kScanOpenFailed);
      openFailed = true;
      break;
  }
  if (result == 0) {
    auto& r = results_;
    IPhoneRecoveryParse& e = *engine_;
    // Each step: the engine call, then its hook unless the scan was stopped.
    const auto run = [&](int32_t callResult, auto&& hook) {
      result = callResult;
      if (const auto* errors = e.DatabaseErrors()) {
        std::lock_guard<std::mutex> hold(scanLock_);
        for (const auto& [code, text] : *errors) r.errors[ScanCategory(code)] = text;
      }
      if (const auto* notices = e.Notices()) {
        std::lock_guard<std::mutex> hold(scanLock_);
        for (const auto& [code, text] : *notices) r.notices[ScanCategory(code)] = text;
      }
      if (result == kStopped) return false;
      hook();
      return true;
    };
    using C = ScanCategory;
    run(e.ScanPhotos(r.cameraRoll, r.photoStream), [&] { Hook({C::kCameraRoll, C::kPhotoStream}); }) &&
        run(e.ScanMessages(r.messages), [&] { Hook({C::kMessages}); }) &&
        run(e.ScanMessageAttachments(r.messageAttachments), [&] { Hook({C::kMessageAttachments}); }) &&
        run(e.ScanContacts(r.contacts), [&] { Hook({C::kContacts}); }) &&
        run(e.ScanCallHistory(r.calls), [&] { Hook({C::kCallHistory}); }) &&
        run(e.ScanNotes(r.notes), [&] { Hook({C::kNotes}); }) &&
        run(e.ScanAppFiles(r.appFiles),
            [&] {
              BuildAppMaps(r.appFiles, r.appPhotos, r.appVideos);
              Hook({C::kAppPhotos, C::kAppVideos});
            }) &&
        run(e.ScanWhatsApp(r.whatsApp), [&] { Hook({C::kWhatsApp}); }) &&
        run(e.TakeWhatsAppAttachments(r.whatsAppAttachments),
            [&] { Hook({C::kWhatsAppAttachments}); });
    // Then every table category, in the order of their list.
    for (size_t i = 0; result != kStopped && i < TableCategories().size(); ++i) {
      const ScanCategory code = TableCategoryCode(i);
      CategoryTable table;
      const int32_t answer = e.ScanTable(int32_t(code), *TableCategories()[i], table);
      {
        // The front end may read the lists while the scan runs: the table lands whole.
        std::lock_guard<std::mutex> hold(scanLock_);
        r.tables[i] = std::move(table);
      }
      run(answer, [&] { Hook({code}); });
    }
  }
  scanResult_ = result;
  scanFinished_ = 1;
  if (result == 0 || result == kStopped || openFailed) frontEnd_.Post(WM_SCAN_FINISHED, 0);
}

int32_t ScanSequence::OnScanProgress(void* self, int32_t percent) {
  auto* s = static_cast<ScanSequence*>(self);
  std::lock_guard<std::mutex> hold(s->scanLock_);  // a paused scan waits here
  if (s->cancelRequested_) return kStopped;
  if (percent <= s->shownPercent_) return 0;
  if (percent == 1) {
    s->frontEnd_.Post(WM_SCAN_STATUS, kScanStarted);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    s->frontEnd_.OnScanStarted();
    percent = 2;
  }
  s->shownPercent_ = std::min(percent, 99);
  if (s->shownPercent_ > 0) s->frontEnd_.OnProgressShown(s->shownPercent_);
  return 0;
}

void ScanSequence::Pause() {
  if (paused_) return;
  scanLock_.lock();
  paused_ = true;
}

void ScanSequence::Resume() {
  if (!paused_) return;
  paused_ = false;
  scanLock_.unlock();
}

void ScanSequence::Stop() { Stop(nullptr); }

void ScanSequence::Stop(const std::function<void()>& whileWaiting) {
  if (finished()) {
    if (paused_) Resume();
    return;
  }
  if (!paused_) scanLock_.lock();
  paused_ = false;
  QuitCounter += 1;  // ends a device backup that is still running
  cancelRequested_ = 1;
  scanLock_.unlock();
  WaitFinished(whileWaiting);
}

void ScanSequence::WaitFinished() const { WaitFinished(nullptr); }

void ScanSequence::WaitFinished(const std::function<void()>& whileWaiting) const {
  while (!finished()) {
    if (whileWaiting) whileWaiting();
    std::this_thread::sleep_for(kPollStep);
  }
}

NoteUnlockCount ScanSequence::UnlockNotes(const std::string& password) {
  if (!finished() || session_ == nullptr) return {};
  return session_->UnlockNotes(results_.notes, password);
}

}  // namespace halvern
