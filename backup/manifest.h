// The backup's file index: Manifest.mbdb (older backups, flat data files) and Manifest.db
// (newer backups, data files in subfolders named after the first two digits of the file id).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace halvern {

struct ManifestEntry {
  std::string domainPath;  // domain + "-" + relative path, bytes as stored
  std::string fileID;      // SHA-1 of domainPath: 40 lower-case hex digits
};

// Hashed names of the databases the readers open directly.
namespace known_files {
inline constexpr const char* kMessages = "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
inline constexpr const char* kAddressBook = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";
inline constexpr const char* kNotes = "ca3bc056d4da0bbf88b5fb3be254f3b7147e639c";
inline constexpr const char* kCallHistory = "5a4935c78a5255723f707230a451d79c540d2741";
inline constexpr const char* kCallHistoryOld = "2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca";
inline constexpr const char* kWhatsApp = "7c7fba66680ef796b916b067077cc246adacf01d";
inline constexpr const char* kWhatsAppOld = "1b6b187a1b60b9ae8b720c79e2c67f472bab09c0";
}  // namespace known_files

// Appends the file entries of a Manifest.mbdb. 87: no path, not an mbdb file or no memory;
// 6009: the file cannot be opened (or is not a regular file); 6010 (kManifestDamaged): the file
// holds no record, or a record is cut short or has lengths past the end (what was appended
// before it stays).
int32_t ReadManifestMbdb(const std::filesystem::path& file, std::vector<ManifestEntry>& out);

// Replaces `out` with every row of the Files table of a Manifest.db (directories included)
// whose file id is 40 hex digits; other rows are dropped. Result: 6009 when the file is not a
// regular file, the SQLite library's code when it cannot be opened, 1006 when the query fails.
// The database is opened read-only and immutable: the backup is never written.
int32_t ReadManifestDb(const std::filesystem::path& file, std::vector<ManifestEntry>& out);

// SHA-1 of `domainPath` as 40 lower-case hex digits.
std::string FileIdOf(std::string_view domainPath);

// True when `text` is a file id: exactly 40 hexadecimal digits.
bool IsBackupFileId(std::string_view text);

// Where the data file `fileID` lies in a backup folder: flat for a decrypted copy or a
// Manifest.mbdb backup, two-level (first two digits as subfolder) for a Manifest.db backup.
// Empty for anything that is not a file id, so no lookup leaves the backup folder.
std::filesystem::path DataFilePath(const std::filesystem::path& backupPath, std::string_view fileID,
                                   bool encrypted, bool hasManifestDb);

}  // namespace halvern
