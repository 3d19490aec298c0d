// Records of the file categories found through the manifest: Camera Roll, Photo Stream,
// message attachments, WhatsApp attachments and the files of installed apps.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace halvern {

struct MediaFileItem {
  uint64_t size = 0;               // data file size in bytes (0 when unreadable)
  std::string displayName;         // name shown to the user
  std::filesystem::path path;      // full path of the data file
  std::string kind;                // what the bytes are: "jpg", "heic", "mp4", "caf", "pdf", ...
};
using AttachmentItem = MediaFileItem;

struct AppFileItem {
  uint64_t size = 0;
  std::string appName;             // the app the file belongs to, or "other"
  std::string displayName;
  std::filesystem::path path;
  std::string kind;  // as MediaFileItem::kind
};

}  // namespace halvern
