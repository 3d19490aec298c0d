// Backup discovery: the summary of one backup folder read from its Info.plist, the
// encryption probe, and the newest-first order of the backup list.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace halvern {

// One backup's summary. Texts are UTF-8 as stored in Info.plist.
struct BackupInfo {
  bool isEncrypted = false;      // the address book is not a plain SQLite file, or the manifest says so
  bool isIos12OrLater = false;   // leading integer of "Product Version" is above 11
  std::string lastBackupDate;    // local time "YYYY-MM-DD hh:mm:ss", or the raw text when unparsable
  std::string phoneNumber;
  std::string serialNumber;
  std::filesystem::path folderPath;
  std::string displayName;

  // Fills this summary from `folder`/Info.plist. Returns 0, or 87 when Info.plist cannot be
  // opened (the summary is then left unchanged).
  int32_t ReadBackupInfo(const std::filesystem::path& folder);
};

// Reads Info.plist of `folder` into `out`; false when the file cannot be opened.
bool ReadInfoPlist(const std::filesystem::path& folder, BackupInfo& out);

// True when the backup in `folder` is encrypted: its address book file exists and does not
// begin with "SQLite" (any letter case), or Manifest.plist has IsEncrypted set.
bool IsEncryptedBackup(const std::filesystem::path& folder);

// "2014-03-05 17:22:41" (UTC) to local-time text with the full local rules (daylight saving
// included); nullopt-like empty string when a separator is missing.
std::string BackupDateToLocal(const std::string& utcText);

// Sorts newest first (case-insensitive byte comparison of lastBackupDate), stable.
void SortBackupsNewestFirst(std::vector<BackupInfo>& backups);

// The folder where iTunes and Finder keep this user's backups:
// `appData`/Apple Computer/MobileSync/Backup, its last component matched without regard to case.
std::filesystem::path BackupRootIn(const std::filesystem::path& appData);

// One summary per entry of `folders` that holds a readable Info.plist, sorted newest first.
std::vector<BackupInfo> ListBackupsIn(const std::vector<std::filesystem::path>& folders);

}  // namespace halvern
