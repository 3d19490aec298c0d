// Backup session: construction, clean-up, the temporary root and the Open step of a scan.
#include "engine/backup_session.h"

#include <algorithm>
#include <cstdlib>

#include "backup/decryptor.h"
#include "platform/platform.h"
#include "platform/runtime_files.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {
constexpr uint64_t kTempRootMinimumFree = 15ull * 1024 * 1024 * 1024;  // strictly more than this
constexpr const char* kTempRootName = "Tessoran_tmp_backup";

bool CanCreate(const fs::path& folder) {
  std::error_code ec;
  fs::create_directories(folder, ec);
  return fs::is_directory(folder, ec);
}
}  // namespace

fs::path ChooseTempBackupRoot(const fs::path& appData, const std::vector<fs::path>& mountPoints,
                              std::optional<uint64_t> (*freeBytes)(const fs::path&)) {
  const fs::path appDataRoot = appData / kWorkFolderName / kTempRootName;
  const auto appFree = freeBytes(appData);
  if (appFree && *appFree > kTempRootMinimumFree) return appDataRoot;
  // The filesystem with the most free space; on ties the earlier one stays. A mount point
  // this user cannot write to drops out, and the application-data location is the last resort
  // so that a decryption or device backup always has somewhere to go.
  fs::path best;
  uint64_t bestFree = 0;
  for (const auto& mount : mountPoints) {
    const auto available = freeBytes(mount);
    if (!available || *available <= bestFree) continue;
    if (!CanCreate(mount / kTempRootName)) continue;
    bestFree = *available;
    best = mount / kTempRootName;
  }
  return best.empty() ? appDataRoot : best;
}

const fs::path& TempBackupRoot() {
  static const fs::path root = [] {
    std::vector<fs::path> mounts;
    for (const auto& m : platform::MountedFilesystems()) mounts.push_back(m.mountPoint);
    fs::path chosen = ChooseTempBackupRoot(platform::AppDataFolder(), mounts, &platform::FreeBytes);
    std::error_code ec;
    fs::create_directories(chosen, ec);
    return chosen;
  }();
  return root;
}

BackupSession::BackupSession() : tempRoot_(TempBackupRoot()) { Init(platform::AppDataFolder()); }

BackupSession::BackupSession(const fs::path& appData, const fs::path& tempRoot)
    : tempRoot_(tempRoot) {
  Init(appData);
}

void BackupSession::Init(const fs::path& appData) {
  workFolder = appData / kWorkFolderName;
  std::error_code ec;
  fs::create_directories(workFolder, ec);
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

int32_t BackupSession::Decrypt(const std::string& password, fs::path& outputFolder) {
  DecryptorRequest request;
  // HALVERN_TOOL names another decryptor (tests, a development build); by default it is
  // the `tool` of this program's helper folder (beside it in a build, else <prefix>/lib/halvern).
  const char* chosen = std::getenv("HALVERN_TOOL");
  request.tool = chosen && *chosen ? fs::path(chosen) : platform::HelperFolder() / "tool";
  request.backupFolder = info.folderPath;
  request.outputFolder = DecryptedFolder();
  request.password = password;
  request.fileCount = CountBackupFiles();
  request.step = step;
  // The output folder is shared by every decryption of the process: a previous backup's
  // files must not stand in for files this backup lacks.
  std::error_code ec;
  std::vector<fs::path> stale;
  ListFolder(request.outputFolder, stale);
  for (const auto& entry : stale) {
    if (!fs::is_directory(entry, ec)) fs::remove(entry, ec);
  }
  outputFolder = request.outputFolder;
  return RunDecryptor(request, ProgressSink{progressCallback, userData}, progress);
}

int32_t BackupSession::Open(const std::string& password) {
  progress = 0;
  step = 11;
  Report(0);
  messageMap.clear();
  decryptedFiles.clear();
  backupFolders.clear();
  manifest.clear();
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
  std::vector<fs::path> entries;
  if (!tempRoot_.empty()) ListFolder(DecryptedFolder(), entries);
  for (const auto& entry : entries) {
    if (!fs::is_directory(entry, ec)) fs::remove(entry, ec);
  }
  for (const auto& file : decryptedFiles) fs::remove(file, ec);
  decryptedFiles.clear();
  for (const char* name : {"tmp.jpg", "tmp.avi", "tmp.wav"}) fs::remove(workFolder / name, ec);
  return kOk;
}

}  // namespace halvern
