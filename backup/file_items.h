// Records of the file categories found through the manifest: Camera Roll, Photo Stream,
// message attachments, WhatsApp attachments and the files of installed apps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace halvern {

struct MediaFileItem {
  uint64_t size = 0;               // data file size in bytes (0 when unreadable)
  std::string displayName;         // name shown to the user
  std::filesystem::path path;      // full path of the data file
  std::string kind;                // what the bytes are: "jpg", "heic", "mp4", "caf", "pdf", ...
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};
using AttachmentItem = MediaFileItem;

struct AppFileItem {
  uint64_t size = 0;
  std::string appName;             // the app the file belongs to, or "other"
  std::string displayName;
  std::filesystem::path path;
  std::string kind;  // as MediaFileItem::kind
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};

}  // namespace halvern
