// Backup session: construction, clean-up, the temporary root and the Open step of a scan.
#include "engine/backup_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <cstdlib>

#include "backup/decryptor.h"
#include "platform/platform.h"
#include "platform/runtime_files.h"
#include "platform/private_files.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {

// The process's temporary root: a run folder under the chosen or default parent.
struct TempRootState {
  std::mutex lock;
  fs::path chosenParent;
  platform::RunFolder run;
};
TempRootState& TempState() {
  static TempRootState state;  // destroyed at exit: the run folder goes with it
  return state;
}

}  // namespace

fs::path TempBackupParent() {
  TempRootState& state = TempState();
  std::lock_guard guard(state.lock);
  return state.chosenParent.empty() ? platform::UserCacheFolder() : state.chosenParent;
}

void SetTempBackupParent(const fs::path& folder) {
  TempRootState& state = TempState();
  std::lock_guard guard(state.lock);
  state.run.Remove();
  state.chosenParent = folder.empty() ? fs::path() : fs::absolute(folder);
}

fs::path TempBackupRoot() {
  TempRootState& state = TempState();
  std::lock_guard guard(state.lock);
  if (state.run.empty()) {
    const bool chosen = !state.chosenParent.empty();
    const fs::path parent = chosen ? state.chosenParent : platform::UserCacheFolder();
    // The cache folder is made private; a chosen folder is the user's and only has to exist
    // (the run folder inside it is private either way).
    state.run.Create(parent, !chosen);
  }
  return state.run.path();
}

size_t SweepTempBackupLeftovers(const fs::path& appData) {
  size_t removed = platform::SweepStaleRunFolders(TempBackupParent());
  // Older versions decrypted into <appdata>/TessoraniOSRecovery/Tessoran_tmp_backup, readable by
  // others; whatever this user left there goes.
  if (!appData.empty()) {
    const fs::path legacy = appData / kWorkFolderName / "Tessoran_tmp_backup";
    struct stat st {};
    std::error_code ec;
    if (::lstat(legacy.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        fs::remove_all(legacy, ec) > 0) {
      ++removed;
    }
  }
  return removed;
}

BackupSession::BackupSession() { Init(platform::AppDataFolder()); }

BackupSession::BackupSession(const fs::path& appData, const fs::path& tempRoot)
    : tempRoot_(tempRoot) {
  Init(appData);
}

fs::path BackupSession::TempRoot() const { return tempRoot_.empty() ? TempBackupRoot() : tempRoot_; }

fs::path BackupSession::DecryptedFolder() const {
  const fs::path root = TempRoot();
  return root.empty() ? fs::path() : root / decryptedFolderName;
}

void BackupSession::Init(const fs::path& appData) {
  // The work folder holds previews of the phone's files: private, and never made in the
  // current folder when the user has no home.
  if (!appData.empty()) {
    workFolder = appData / kWorkFolderName;
    platform::MakePrivateFolder(workFolder);
  }
  Cleanup();
  backupPath = BackupRootIn(appData);
  backupFolders.clear();
  ListFolder(backupPath, backupFolders);
}

BackupSession::~BackupSession() { Cleanup(); }

int32_t BackupSession::SetBackupInfo(const BackupInfo& backup) {
  info = backup;
  backupPath = backup.folderPath;
  return kOk;
}

int32_t BackupSession::ListBackups(std::vector<BackupInfo>& out) const {
  for (auto& backup : ListBackupsIn(backupFolders)) out.push_back(std::move(backup));
  return kOk;
}

bool BackupSession::ListFolder(const fs::path& folder, std::vector<fs::path>& out) {
  std::error_code ec;
  fs::directory_iterator it(folder, ec);
  if (ec) return false;
  std::vector<fs::path> found;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (!name.empty() && name[0] != '.') found.push_back(it->path());
  }
  // Directory order is arbitrary on Linux; by name keeps listings repeatable.
  std::sort(found.begin(), found.end());
  out.insert(out.end(), found.begin(), found.end());
  return true;
}

int32_t BackupSession::Report(int32_t percent) const {
  return progressCallback ? progressCallback(userData, percent) : 0;
}

int64_t BackupSession::CountBackupFiles() const {
  std::vector<fs::path> entries;
  ListFolder(info.folderPath, entries);
  int64_t count = 0;
  std::error_code ec;
  for (const auto& entry : entries) {
    if (fs::is_directory(entry, ec)) {
      std::vector<fs::path> inner;
      ListFolder(entry, inner);
      count += static_cast<int64_t>(inner.size());
    } else {
      ++count;
    }
  }
  return count;
}

uint64_t BackupSession::BackupBytes() const {
  uint64_t total = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(info.folderPath, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->is_regular_file(ec) && !it->is_symlink(ec)) total += it->file_size(ec);
  }
  return total;
}

int32_t BackupSession::Decrypt(const std::string& password, fs::path& outputFolder) {
  DecryptorRequest request;
  // HALVERN_TOOL names another decryptor (tests, a development build); by default it is
  // the `tool` of this program's helper folder (beside it in a build, else <prefix>/lib/halvern).
  const char* chosen = std::getenv("HALVERN_TOOL");
  request.tool = chosen && *chosen ? fs::path(chosen) : platform::HelperFolder() / "tool";
  request.backupFolder = info.folderPath;
  // The decrypted copy goes only to a private folder of this user, with room for it.
  const uint64_t needed = BackupBytes();
  auto free = freeBytes ? freeBytes : &platform::FreeBytes;
  for (int asked = 0;; ++asked) {
    request.outputFolder = DecryptedFolder();
    if (request.outputFolder.empty()) return kNoTempFolder;
    const auto available = free(request.outputFolder.parent_path());
    if (!available || *available >= needed) break;
    lastShortfall = {request.outputFolder.parent_path().parent_path(), needed, *available};
    fs::path other;
    if (chooseTempFolder && tempRoot_.empty() && asked < 5) other = chooseTempFolder(lastShortfall);
    if (other.empty()) return kTempSpaceShort;
    SetTempBackupParent(other);
  }
  if (platform::MakePrivateFolder(request.outputFolder) != 0) return kNoTempFolder;
  request.password = password;
  request.fileCount = CountBackupFiles();
  request.step = step;
  // A previous decryption's files must not stand in for files this backup lacks.
  std::error_code ec;
  std::vector<fs::path> stale;
  ListFolder(request.outputFolder, stale);
  for (const auto& entry : stale) fs::remove_all(entry, ec);
  outputFolder = request.outputFolder;
  decryptedFolder_ = request.outputFolder;
  const int32_t result = RunDecryptor(request, ProgressSink{progressCallback, userData}, progress);
  // A failed or stopped decryption leaves nothing of the phone's data behind.
  if (result != kOk) fs::remove_all(request.outputFolder, ec);
  return result;
}

int32_t BackupSession::Open(const std::string& password) {
  progress = 0;
  step = 11;
  Report(0);
  databaseErrors.clear();
  notices.clear();
  decryptedFiles.clear();
  backupFolders.clear();
  manifest.clear();
  notes.clear();
  std::error_code ec;
  hasManifestDb = fs::exists(backupPath / "Manifest.db", ec);

  fs::path outputFolder;
  if (info.isEncrypted) {
    step = 10;
    const int32_t r = Decrypt(password, outputFolder);
    if (r != kOk) return r;
    ListFolder(outputFolder, decryptedFiles);
  } else {
    progress = 1;
    Report(1);
  }

  int32_t result;
  if (hasManifestDb) {
    const fs::path decrypted = outputFolder.empty() ? fs::path() : outputFolder / "Manifest.db-decypted";
    if (!decrypted.empty() && fs::exists(decrypted, ec)) {
      result = ReadManifestDb(decrypted, manifest);
    } else if (fs::exists(backupPath / "Manifest.db", ec)) {
      result = ReadManifestDb(backupPath / "Manifest.db", manifest);
    } else {
      result = kInvalidParameter;
    }
  } else if (fs::exists(backupPath / "Manifest.mbdb", ec)) {
    result = ReadManifestMbdb(backupPath / "Manifest.mbdb", manifest);
  } else {
    result = kInvalidParameter;
  }

  if (!outputFolder.empty()) {
    info.folderPath = outputFolder;
    backupPath = outputFolder;
  }
  progress += step;
  Report(progress);
  return result;
}

fs::path BackupSession::DataFilePath(const std::string& fileID) const {
  return halvern::DataFilePath(backupPath, fileID, info.isEncrypted, hasManifestDb);
}

int32_t BackupSession::Cleanup() {
  std::error_code ec;
  // The decrypted copy goes whole (its folder included); only this process's root is touched.
  if (!tempRoot_.empty()) fs::remove_all(tempRoot_ / decryptedFolderName, ec);
  if (!decryptedFolder_.empty()) fs::remove_all(decryptedFolder_, ec);
  decryptedFolder_.clear();
  for (const auto& file : decryptedFiles) fs::remove(file, ec);
  decryptedFiles.clear();
  if (!workFolder.empty()) {
    for (const char* name : {"tmp.jpg", "tmp.avi", "tmp.wav", "tmp-sound.wav"}) {
      fs::remove(workFolder / name, ec);
    }
  }
  return kOk;
}

}  // namespace halvern
