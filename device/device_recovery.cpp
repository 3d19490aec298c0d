// The device engine: the backup of the attached phone, the database copies, and the category
// operations over the fresh backup through the backup session's code.
#include "device/device_recovery.h"

#include <unistd.h>

#include "backup/media_scan.h"
#include "platform/platform.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {
constexpr int32_t kBackupWeight = 20;  // the backup fills the scan's first 20 percent
constexpr int32_t kDeviceStep = 10;

// Deletes the files directly inside `folder`; folders stay.
void DeleteLooseFiles(const fs::path& folder) {
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (!it->is_directory(ec)) ::unlink(it->path().c_str());
  }
}

// Removes everything inside `folder` (files and folders with their contents).
void EmptyFolder(const fs::path& folder) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    entries.push_back(it->path());
  }
  for (const auto& entry : entries) fs::remove_all(entry, ec);
}
}  // namespace

CDeviceRecovery::CDeviceRecovery()
    : CDeviceRecovery(DeviceSession::Instance(), platform::AppDataFolder(), TempBackupRoot()) {}

CDeviceRecovery::CDeviceRecovery(DeviceSession& session, const fs::path& appData,
                                 const fs::path& tempRoot)
    : device_(session), tempRoot_(tempRoot), reader_(appData, tempRoot) {
  CleanTemporaryFiles();
}

CDeviceRecovery::~CDeviceRecovery() {
  CleanTemporaryFiles();
  if (!deviceBackupFolder_.empty()) {
    const fs::path snapshot = deviceBackupFolder_ / "Snapshot";
    EmptyFolder(deviceBackupFolder_);
    std::error_code ec;
    fs::remove_all(snapshot, ec);
  }
}

void CDeviceRecovery::CleanTemporaryFiles() const {
  DeleteLooseFiles(tempRoot_);
  DeleteLooseFiles(tempRoot_ / kDeviceScratchFolderName);
  for (const char* preview : {"tmp.jpg", "tmp.avi", "tmp.wav"}) {
    ::unlink((reader_.workFolder / preview).c_str());
  }
}

int32_t CDeviceRecovery::AttachSession(BackupSession*) {
  reader_.progress = 0;
  reader_.step = 0;
  twoLevelLayout_ = false;
  return kOk;
}

int32_t CDeviceRecovery::SetProgressCallback(ProgressCallback callback, void* userData) {
  reader_.progressCallback = callback;
  reader_.userData = userData;
  return kOk;
}

int32_t CDeviceRecovery::Open(const std::string& password) {
  reader_.progress = 1;
  reader_.step = kDeviceStep;
  const int32_t first = reader_.Report(1);
  reader_.whatsAppAttachments.clear();
  reader_.manifest.clear();
  if (first != kOk) return first;

  if (!device_.HasDevice()) {
    // No phone is -1 (nothing to scan); a phone that refuses the connection keeps its code.
    bool encrypts = false;
    const int32_t connected = device_.Connect(encrypts);
    if (connected != kOk) return connected;
  }
  std::error_code ec;
  // The phone's backup goes only to this user's private temporary folder.
  if (tempRoot_.empty()) return kNoTempFolder;
  fs::create_directories(tempRoot_, ec);
  device_.SetProgressHook(reader_.progressCallback, reader_.userData, kBackupWeight);
  int32_t result = device_.RunBackup(tempRoot_, password.empty() ? nullptr : password.c_str());
  device_.SetProgressHook(nullptr, nullptr, 0);
  if (result != kOk) return result;

  twoLevelLayout_ = device_.isIos10OrLater;
  deviceBackupFolder_ = device_.GetBackupFolder();
  for (const auto& copy : kDatabaseCopies) {
    fs::path source = DataFilePath(deviceBackupFolder_, copy.fileID, false, twoLevelLayout_);
    if (copy.fallback && !fs::exists(source, ec)) {
      source = DataFilePath(deviceBackupFolder_, copy.fallback, false, twoLevelLayout_);
    }
    // A database the phone does not have leaves its copy missing; its category then reports
    // its own failure.
    const fs::path target = CopyPath(copy.name);
    if (fs::exists(source, ec)) {
      fs::copy_file(source, target, fs::copy_options::overwrite_existing, ec);
    } else {
      fs::remove(target, ec);
    }
  }

  // The fresh backup is read like a backup folder: unencrypted, in the layout of its phone.
  BackupInfo info;
  info.ReadBackupInfo(deviceBackupFolder_);
  info.folderPath = deviceBackupFolder_;
  info.isEncrypted = false;
  info.isIos12OrLater = device_.isIos12OrLater;
  reader_.SetBackupInfo(info);
  reader_.hasManifestDb = twoLevelLayout_;
  reader_.manifest.clear();
  if (twoLevelLayout_) {
    if (fs::exists(deviceBackupFolder_ / "Manifest.db", ec)) {
      ReadManifestDb(deviceBackupFolder_ / "Manifest.db", reader_.manifest);
    }
  } else if (fs::exists(deviceBackupFolder_ / "Manifest.mbdb", ec)) {
    ReadManifestMbdb(deviceBackupFolder_ / "Manifest.mbdb", reader_.manifest);
  }

  reader_.progress = kBackupWeight;
  return reader_.Report(kBackupWeight);
}

int32_t CDeviceRecovery::ScanMessages(MessageMap& out) { return reader_.ScanMessages(out); }
int32_t CDeviceRecovery::ScanContacts(std::vector<ContactItem>& out) {
  return reader_.ScanContacts(out);
}
int32_t CDeviceRecovery::ScanNotes(std::vector<NoteItem>& out) { return reader_.ScanNotes(out); }
int32_t CDeviceRecovery::ScanCallHistory(std::vector<CallItem>& out) {
  return reader_.ScanCallHistory(out);
}
int32_t CDeviceRecovery::ScanWhatsApp(ChatMap& out) { return reader_.ScanWhatsApp(out); }

int32_t CDeviceRecovery::ScanPhotos(std::vector<MediaFileItem>& cameraRoll,
                                    std::vector<MediaFileItem>& photoStream) {
  return reader_.ScanPhotos(cameraRoll, photoStream);
}

int32_t CDeviceRecovery::ScanMessageAttachments(std::vector<AttachmentItem>& out) {
  return reader_.ScanMessageAttachments(out);
}

int32_t CDeviceRecovery::ScanAppFiles(std::vector<AppFileItem>& out) {
  return reader_.ScanAppFiles(out);
}

int32_t CDeviceRecovery::TakeWhatsAppAttachments(std::vector<MediaFileItem>& out) {
  out = reader_.whatsAppAttachments;
  reader_.progress += reader_.step;
  return reader_.Report(reader_.progress);
}

int32_t CDeviceRecovery::ExtractForPreview(const std::string& dataFile, std::string& previewPath,
                                           ProgressCallback callback, void* userData) {
  return reader_.ExtractForPreview(dataFile, previewPath, callback, userData);
}

int32_t CDeviceRecovery::CopyDataFile(const std::string& dataFile, const std::string& destination,
                                      ExportCallback callback, void* userData) {
  return halvern::CopyDataFile(dataFile, destination, callback, userData);
}

int32_t CDeviceRecovery::ExportMessagesCsv(const std::string& destination) {
  return reader_.ExportMessagesCsv(destination);
}

int32_t CDeviceRecovery::ExportContactsCsv(const std::string& destination) {
  return reader_.ExportContactsCsv(destination);
}

void RegisterDeviceEngine() {
  RegisterDeviceEngineFactory([]() -> IPhoneRecoveryParse* { return new CDeviceRecovery(); });
}

}  // namespace halvern
