// The backup session: the one long-lived object that carries what the program knows about
// the backup being read — where it is, its summary and manifest, the shared progress state
// and the results that the exports need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "backup/backup_info.h"
#include "backup/file_items.h"
#include "backup/manifest.h"
#include "engine/engine.h"
#include "platform/codes.h"

namespace halvern {

// Process-wide temporary folder for decrypted copies and device backups, computed once:
// `<appdata>/TessoraniOSRecovery/Tessoran_tmp_backup` when that volume has more than 15 GiB
// free, else "Tessoran_tmp_backup" on the mounted filesystem with the most free space.
const std::filesystem::path& TempBackupRoot();

// The choice behind TempBackupRoot, with its inputs made explicit. `freeBytes` answers for a
// path; a candidate that cannot be created is passed over, and the application-data location
// is taken when nothing else works.
std::filesystem::path ChooseTempBackupRoot(
    const std::filesystem::path& appData,
    const std::vector<std::filesystem::path>& mountPoints,
    std::optional<uint64_t> (*freeBytes)(const std::filesystem::path&));

// Name of the decryptor's output folder under the temporary root.
inline constexpr const char* kDecryptedFolderName = "TessoranBackupPath";
// Name of the work folder under the application-data folder.
inline constexpr const char* kWorkFolderName = "TessoraniOSRecovery";

class BackupSession {
 public:
  // Uses the user's application-data folder and the process-wide TempBackupRoot.
  BackupSession();
  // Explicit folders (tests, a second profile).
  BackupSession(const std::filesystem::path& appData, const std::filesystem::path& tempRoot);
  ~BackupSession();
  BackupSession(const BackupSession&) = delete;
  BackupSession& operator=(const BackupSession&) = delete;

  int32_t SetBackupInfo(const BackupInfo& backup);
  // One summary per backup folder of the backup root, newest first. Always 0.
  int32_t ListBackups(std::vector<BackupInfo>& out) const;
  // Appends the full path of every entry of `folder` whose name does not begin with ".";
  // false when the folder cannot be listed.
  static bool ListFolder(const std::filesystem::path& folder,
                         std::vector<std::filesystem::path>& out);
  // Prepares a scan: decrypts an encrypted backup, reads the manifest.
  int32_t Open(const std::string& password);
  // Where the data file `fileID` lies in the open backup.
  std::filesystem::path DataFilePath(const std::string& fileID) const;
  // Removes the decrypted copy and the preview files. Always 0.
  int32_t Cleanup();

  // Category operations (engine slots, see engine.h).
  int32_t ScanPhotos(std::vector<MediaFileItem>& cameraRoll,
                     std::vector<MediaFileItem>& photoStream);
  int32_t ScanMessageAttachments(std::vector<AttachmentItem>& out);
  int32_t ScanAppFiles(std::vector<AppFileItem>& out);
  int32_t ScanMessages(MessageMap& out);
  int32_t ScanContacts(std::vector<ContactItem>& out);
  int32_t ScanCallHistory(std::vector<CallItem>& out);
  int32_t ScanNotes(std::vector<NoteItem>& out);
  int32_t ScanWhatsApp(ChatMap& out);
  int32_t ExtractForPreview(const std::string& dataFile, std::string& previewPath,
                            ProgressCallback callback, void* userData);
  int32_t ExportMessagesCsv(const std::string& destination);
  int32_t ExportContactsCsv(const std::string& destination);

  // Why an existing database cannot be read: "" when `path` is no file (a phone without that
  // database) or opens as a SQLite database with a readable table list; else "<name> could not
  // be read: <cause>", with `name` the database's name on the phone.
  static std::string DatabaseProblem(const std::filesystem::path& path, const std::string& name);

  // Reports `percent` through the installed callback; 0 without one.
  int32_t Report(int32_t percent) const;

  // State, in the order the engine contract describes it. Public: the engines and the
  // front ends read it directly.
  std::filesystem::path backupPath;     // backup root; then the chosen or decrypted folder
  std::filesystem::path workFolder;     // preview files and staged helpers
  BackupInfo info;
  std::vector<std::filesystem::path> backupFolders;
  std::vector<std::filesystem::path> decryptedFiles;
  std::vector<ManifestEntry> manifest;
  bool hasManifestDb = false;
  ProgressCallback progressCallback = nullptr;
  void* userData = nullptr;
  int32_t progress = 0;
  int32_t step = 0;
  int64_t messageRowidBase = 20000;
  int64_t contactRowidBase = 20000;
  MessageMap messageMap;
  ChatMap whatsAppChats;
  std::vector<MediaFileItem> whatsAppAttachments;
  // The databases of the last scan that lie in the backup but could not be read, by category
  // code (5 messages, 7 contacts, 8 call history, 9 notes, 10 WhatsApp): a sentence naming the
  // database and the cause. Emptied by Open.
  std::map<int32_t, std::string> databaseErrors;

  // Where the decryptor writes (TempBackupRoot/TessoranBackupPath).
  std::filesystem::path DecryptedFolder() const { return tempRoot_ / kDecryptedFolderName; }

 private:
  void Init(const std::filesystem::path& appData);
  // Counts the files of the backup folder, one level of subfolders deep.
  int64_t CountBackupFiles() const;
  int32_t Decrypt(const std::string& password, std::filesystem::path& outputFolder);

  std::filesystem::path tempRoot_;
};

}  // namespace halvern
