// What the media library says without decoding anything: the kind of a file by its name or
// its first bytes, and the names its copies take. Linked into every program; the conversions
// themselves live in the codecs module (codecs.cpp), loaded on first use.
#include <algorithm>
#include <fstream>
#include <string>
#include <string_view>

#include "media/media.h"
#include "platform/platform.h"

namespace halvern::media {

namespace fs = std::filesystem;

namespace {

std::string Lower(const fs::path& p) { return platform::AsciiLower(p.extension().string()); }

bool ExtensionIn(const fs::path& file, std::initializer_list<std::string_view> list) {
  const std::string ext = Lower(file);
  return std::find(list.begin(), list.end(), ext) != list.end();
}

// The first `n` bytes of a file ("" when it cannot be read).
std::string Head(const fs::path& file, size_t n) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(n, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(n));
  bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
  return bytes;
}

}  // namespace

bool IsHeifFamily(const fs::path& file) {
  const std::string head = Head(file, 12);
  if (head.size() < 12 || head.compare(4, 4, "ftyp") != 0) return false;
  const std::string brand = head.substr(8, 4);
  for (const char* b :
       {"heic", "heix", "hevc", "hevx", "heim", "heis", "mif1", "msf1", "avif", "avis"}) {
    if (brand == b) return true;
  }
  return false;
}

bool LooksLikeAudio(const fs::path& file) {
  return ExtensionIn(file, {".amr", ".caf", ".m4a", ".mp3", ".opus", ".ogg", ".oga", ".wav", ".aac",
                            ".aif", ".aiff", ".flac", ".awb", ".3ga", ".m4r"});
}

bool LooksLikeVideo(const fs::path& file) {
  return ExtensionIn(file, {".mov", ".mp4", ".m4v", ".3gp", ".avi", ".mkv", ".webm"});
}

bool LooksLikePicture(const fs::path& file) {
  return ExtensionIn(file, {".jpg", ".jpeg", ".png", ".gif", ".bmp", ".tif", ".tiff", ".webp",
                            ".heic", ".heif", ".avif"});
}

fs::path PlayableAudioName(const fs::path& original) {
  fs::path name = original;
  name += ".m4a";
  return name;
}

fs::path JpegCopyName(const fs::path& original) {
  fs::path name = original;
  name.replace_extension(".jpg");
  return name;
}

fs::path ThumbnailName(const fs::path& original) {
  return original.parent_path() / "thumbs" / (original.filename().string() + ".jpg");
}

fs::path H264CopyName(const fs::path& original) {
  fs::path name = original;
  name += ".mp4";
  return name;
}

}  // namespace halvern::media
