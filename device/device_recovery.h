// The engine over an attached iPhone: Open makes a fresh full backup of the phone into the
// temporary backup folder, copies its five databases out under short names, and from then on
// the phone is read like a backup folder, through the backup engine's own category code.
// Deleting the engine removes the copies and the fresh backup's contents.
#pragma once

#include <filesystem>
#include <string>

#include "device/device_session.h"
#include "engine/backup_session.h"
#include "engine/engine.h"

namespace halvern {

// Copy names of the databases, in the order they are made, with their sources in the backup.
struct DatabaseCopy {
  const char* name;      // file name in the temporary backup folder
  const char* fileID;    // hashed name in the backup
  const char* fallback;  // used when the first is missing; may be null
};
inline constexpr DatabaseCopy kDatabaseCopies[] = {
    {"AddressBook", known_files::kAddressBook, nullptr},
    {"sms", known_files::kMessages, nullptr},
    {"notes", known_files::kNotes, nullptr},
    {"history", known_files::kCallHistory, known_files::kCallHistoryOld},
    {"ChatStorage", known_files::kWhatsApp, known_files::kWhatsAppOld},
};

// The folder of the device engine's work files when the preview and temporary folders are
// removed (besides the decryptor's, which the backup session cleans).
inline constexpr const char* kDeviceScratchFolderName = "TessoranSoftBackupPath";

class CDeviceRecovery final : public IPhoneRecoveryParse {
 public:
  // Over the process-wide session, the user's application-data folder and TempBackupRoot.
  CDeviceRecovery();
  // Explicit session and folders (tests).
  CDeviceRecovery(DeviceSession& session, const std::filesystem::path& appData,
                  const std::filesystem::path& tempRoot);
  ~CDeviceRecovery() override;
  CDeviceRecovery(const CDeviceRecovery&) = delete;
  CDeviceRecovery& operator=(const CDeviceRecovery&) = delete;

  int32_t AttachSession(BackupSession* session) override;
  int32_t SetProgressCallback(ProgressCallback callback, void* userData) override;
  int32_t ReservedQuery(int32_t) override { return 0; }
  bool IsLocalBackup(int32_t) override { return false; }
  // Connects the session first when it holds no device (a refused connection gives its
  // lockdown code). 0; -1 no device, device gone or backup
  // stopped; 2 (or the callback's answer) stopped by the user; -n the device's ErrorCode n; the
  // device's code for a refused password; 87 for an encrypting phone and no password.
  int32_t Open(const std::string& password) override;
  int32_t ScanMessages(MessageMap& out) override;
  int32_t ScanMessageAttachments(std::vector<AttachmentItem>& out) override;
  int32_t ScanContacts(std::vector<ContactItem>& out) override;
  int32_t ScanNotes(std::vector<NoteItem>& out) override;
  int32_t ScanCallHistory(std::vector<CallItem>& out) override;
  int32_t ScanPhotos(std::vector<MediaFileItem>& cameraRoll,
                     std::vector<MediaFileItem>& photoStream) override;
  int32_t TakeWhatsAppAttachments(std::vector<MediaFileItem>& out) override;
  int32_t ScanAppFiles(std::vector<AppFileItem>& out) override;
  int32_t ScanQQ(ImChatMap&) override { return 0; }
  int32_t ScanWeChat(ImChatMap&) override { return 0; }
  int32_t ScanWhatsApp(ChatMap& out) override;
  // Table categories read the phone's fresh backup like any backup folder.
  int32_t ScanTable(int32_t code, const TableCategory& category, CategoryTable& out) override {
    return reader_.ScanTable(code, category, out);
  }
  const std::map<int32_t, std::string>* Notices() const override { return &reader_.notices; }
  int32_t ExtractForPreview(const std::string& dataFile, std::string& previewPath,
                            ProgressCallback callback, void* userData) override;
  int32_t CopyDataFile(const std::string& dataFile, const std::string& destination,
                       ExportCallback callback, void* userData) override;
  int32_t ExportMessagesCsv(const std::string& destination) override;
  int32_t ExportContactsCsv(const std::string& destination) override;
  int32_t ExportWhatsAppChat(int32_t, const std::string&, ExportCallback, void*) override {
    return 0;
  }
  int32_t ExportQQChat(const std::string&, const std::string&, const std::string&, ExportCallback,
                       void*) override {
    return 0;
  }
  int32_t ExportWeChatChat(const std::string&, const std::string&, const std::string&,
                           ExportCallback, void*) override {
    return 0;
  }

  // The fresh backup's folder (empty until Open succeeded) and where a copy lies.
  const std::filesystem::path& deviceBackupFolder() const { return deviceBackupFolder_; }
  std::filesystem::path CopyPath(const char* name) const { return tempRoot_ / name; }
  // The backup session that reads the fresh backup.
  const std::map<int32_t, std::string>* DatabaseErrors() const override {
    return &reader_.databaseErrors;
  }
  const BackupSession& reader() const { return reader_; }

 private:
  void CleanTemporaryFiles() const;

  DeviceSession& device_;
  std::filesystem::path tempRoot_;
  BackupSession reader_;  // over the fresh backup: manifest, progress, category results
  std::filesystem::path deviceBackupFolder_;
  bool twoLevelLayout_ = false;
};

// Installs the device engine's factory, so that CreateEngine(0) makes a CDeviceRecovery over
// the process-wide session. The programs call it once at start-up.
void RegisterDeviceEngine();

}  // namespace halvern
