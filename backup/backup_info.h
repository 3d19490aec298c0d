// Backup discovery: the summary of one backup folder read from its Info.plist, the
// encryption probe, and the newest-first order of the backup list.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace halvern {

// One backup's summary, from Info.plist (binary or XML property list; a damaged XML file is
// scanned as text), with Manifest.plist's "Lockdown" and Status.plist's "Date" filling what
// Info.plist lacks. Texts are UTF-8 (ill-formed sequences repaired).
struct BackupInfo {
  bool isEncrypted = false;      // Manifest.plist's IsEncrypted; without it, the address-book probe
  bool isIos12OrLater = false;   // leading integer of "Product Version" is above 11
  std::string lastBackupDate;    // local time "YYYY-MM-DD hh:mm:ss", or the raw text when unparsable
  std::string phoneNumber;
  std::string serialNumber;
  std::filesystem::path folderPath;
  std::string displayName;

  // Fills this summary from `folder`/Info.plist. Returns 0, or 87 when Info.plist cannot be
  // opened or is not a regular file (the summary is then left unchanged).
  int32_t ReadBackupInfo(const std::filesystem::path& folder);
};

// Reads Info.plist of `folder` into `out`; false when the file cannot be opened.
bool ReadInfoPlist(const std::filesystem::path& folder, BackupInfo& out);

// True when the backup in `folder` is encrypted. Manifest.plist's IsEncrypted decides; only a
// backup whose Manifest.plist lacks the key is probed: its address book is a regular file of
// whole 16-byte blocks that does not begin with "SQLite" (any letter case). An empty, short,
// damaged or missing address book (or a folder or FIFO in its place) counts as plain.
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
