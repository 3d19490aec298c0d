// The backup session: the one long-lived object that carries what the program knows about
// the backup being read — where it is, its summary and manifest, the shared progress state
// and the results that the exports need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "backup/backup_info.h"
#include "backup/file_items.h"
#include "backup/manifest.h"
#include "engine/engine.h"
#include "extractors/extractors.h"
#include "platform/codes.h"

namespace halvern {

// Where decrypted copies and device backups go. They hold the user's private data, so they
// only ever go to a folder of the user's own:
//   parent   $XDG_CACHE_HOME/halvern, else $HOME/.cache/halvern (made 0700), or a folder the
//            user chose (SetTempBackupParent: the command line's --temp, the desktop's choice)
//   root     one run folder per process under the parent, "run-XXXXXXXX", mode 0700, locked
//            while the process lives and removed when it ends; a run folder left by a killed
//            process is removed by the next run of any command (SweepTempBackupLeftovers)
// A plain backup needs none of this, and nothing is created for it.

// The parent folder; empty when there is none (no HOME and no XDG_CACHE_HOME, nothing chosen).
std::filesystem::path TempBackupParent();
// Chooses the parent folder for the rest of the process (empty: back to the cache folder). A
// run folder made under the previous parent is removed.
void SetTempBackupParent(const std::filesystem::path& folder);
// This process's run folder, created on first use; empty when it cannot be created.
std::filesystem::path TempBackupRoot();
// Removes the run folders that ended processes of this user left under the parent (and under
// `appData`'s folder of older versions); folders of live runs and of other users stay.
// Returns how many were removed.
size_t SweepTempBackupLeftovers(const std::filesystem::path& appData);

// A shortfall of space for a decrypted copy: where, how much is needed and how much is free.
struct TempSpaceShortfall {
  std::filesystem::path folder;
  uint64_t needed = 0;
  uint64_t available = 0;
};
// Asked when the temporary folder lacks the space for a decryption: returns another folder to
// use as parent, or an empty path to give up (the desktop program asks the user).
using TempFolderChooser = std::function<std::filesystem::path(const TempSpaceShortfall&)>;

// Name of the decryptor's output folder under the temporary root.
inline constexpr const char* kDecryptedFolderName = "TessoranBackupPath";
// Name of the work folder under the application-data folder.
inline constexpr const char* kWorkFolderName = "TessoraniOSRecovery";

class BackupSession {
 public:
  // Uses the user's application-data folder and the process-wide TempBackupRoot (made only
  // when a decryption needs it).
  BackupSession();
  // Explicit folders (tests, a second profile); `tempRoot` is used as it is.
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
  // Opens, in place, the locked notes of `notes` (this session's scan) that `password` opens;
  // the password is used for this call only and kept nowhere.
  NoteUnlockCount UnlockNotes(std::vector<NoteItem>& notes, const std::string& password) const;
  int32_t ScanWhatsApp(ChatMap& out);
  // A table category: its extractor over the manifest's files; `code` is its category code.
  int32_t ScanTable(int32_t code, const TableCategory& category, CategoryTable& out);
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
  std::vector<MediaFileItem> whatsAppAttachments;
  // The databases of the last scan that lie in the backup but could not be read, by category
  // code (5 messages, 7 contacts, 8 call history, 9 notes, 10 WhatsApp): a sentence naming the
  // database and the cause. Emptied by Open.
  std::map<int32_t, std::string> databaseErrors;
  // What the backup of the last scan cannot hold, by category code, said instead of a silent
  // 0 ("Call history is only in encrypted backups"). Emptied by Open.
  std::map<int32_t, std::string> notices;
  // Data files the category scans skipped (symbolic links, FIFOs, folders), one line each.
  std::vector<std::string> notes;
  // Asked when a decryption lacks space; null: Open returns kTempSpaceShort.
  TempFolderChooser chooseTempFolder;
  // The last shortfall that made Open fail with kTempSpaceShort.
  TempSpaceShortfall lastShortfall;
  // Free bytes of a folder; replaceable for tests.
  std::optional<uint64_t> (*freeBytes)(const std::filesystem::path&) = nullptr;

  // The name of the decrypted copy's folder under the temporary root: each session of one
  // process that decrypts at the same time as another needs a name of its own.
  std::string decryptedFolderName = kDecryptedFolderName;

  // Where the decryptor writes (TempBackupRoot/decryptedFolderName); empty without a root.
  std::filesystem::path DecryptedFolder() const;

 private:
  void Init(const std::filesystem::path& appData);
  // Counts the files of the backup folder, one level of subfolders deep.
  int64_t CountBackupFiles() const;
  int32_t Decrypt(const std::string& password, std::filesystem::path& outputFolder);
  // The temporary root in use: the explicit one, else the process's run folder.
  std::filesystem::path TempRoot() const;
  // Total bytes of the backup folder's files (the size of its decrypted copy, near enough).
  uint64_t BackupBytes() const;

  std::filesystem::path tempRoot_;  // explicit root; empty: TempBackupRoot()
  std::filesystem::path decryptedFolder_;  // the folder the last decryption wrote
};

}  // namespace halvern
