// Category walks over the manifest, the signature test and the single-file copies.
#include "backup/media_scan.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/private_files.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {

bool At(const unsigned char* b, size_t size, size_t offset, const char* text, size_t n) {
  return offset + n <= size && std::memcmp(b + offset, text, n) == 0;
}
bool At(const unsigned char* b, size_t size, size_t offset, const char* text) {
  return At(b, size, offset, text, std::strlen(text));
}
uint32_t Le16(const unsigned char* b) { return b[0] | (b[1] << 8); }
uint32_t Le32(const unsigned char* b) {
  return b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24);
}
uint32_t Be32(const unsigned char* b) {
  return (static_cast<uint32_t>(b[0]) << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
}
// The four bytes `text` start somewhere at offset 0..28.
bool Within28(const unsigned char* b, size_t size, const char* text) {
  for (size_t off = 0; off <= 28; ++off) {
    if (At(b, size, off, text, 4)) return true;
  }
  return false;
}

bool IsIco(const unsigned char* b, size_t size) {
  if (!At(b, size, 0, "\x00\x00\x01\x00", 4) || size < 6) return false;
  const uint32_t count = Le16(b + 4);
  if (count < 1 || 6 + 16 * count > 512 || 6 + 16 * count > size) return false;
  uint64_t expected = 6 + 16 * count;
  for (uint32_t i = 0; i < count; ++i) {
    const unsigned char* entry = b + 6 + 16 * i;
    if (entry[3] != 0 || Le32(entry + 12) != expected) return false;
    expected += Le32(entry + 8);
  }
  return true;
}

}  // namespace

namespace {

// The kind an ISO base media file names in its ftyp box: the major brand at 8, then the
// compatible brands that follow it up to the end of the box (or of the bytes at hand).
std::optional<std::string> FtypKind(const unsigned char* b, size_t size) {
  if (!At(b, size, 4, "ftyp") || size < 12) return std::nullopt;
  const std::string major(reinterpret_cast<const char*>(b + 8), 4);
  size_t boxEnd = std::min<size_t>(size, Be32(b));
  if (boxEnd < 16) boxEnd = std::min<size_t>(size, 16);
  auto compatible = [&](const char* brand) {
    for (size_t off = 16; off + 4 <= boxEnd; off += 4) {
      if (std::memcmp(b + off, brand, 4) == 0) return true;
    }
    return false;
  };
  for (const char* brand : {"avif", "avis"}) {
    if (major == brand) return "avif";
  }
  for (const char* brand : {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs"}) {
    if (major == brand) return "heic";
  }
  if (major == "mif1" || major == "msf1") {
    return compatible("avif") || compatible("avis") ? "avif" : "heic";
  }
  if (major == "qt  ") return "mov";
  if (major == "M4A " || major == "M4B " || major == "M4P ") return "m4a";
  if (major.compare(0, 3, "M4V") == 0) return "m4v";
  if (major.compare(0, 3, "3gp") == 0 || major.compare(0, 3, "3g2") == 0) return "3gp";
  if (major == "crx ") return "cr3";
  // isom, iso2..iso9, mp41, mp42, avc1, dash, MSNV, f4v, ... : an MPEG-4 file of any brand.
  return "mp4";
}

bool IsVCard(const unsigned char* b, size_t size) {
  size_t i = At(b, size, 0, "\xEF\xBB\xBF", 3) ? 3 : 0;
  while (i < size && (b[i] == ' ' || b[i] == '\t' || b[i] == '\r' || b[i] == '\n')) ++i;
  static constexpr char kBegin[] = "BEGIN:VCARD";
  if (i + sizeof kBegin - 1 > size) return false;
  for (size_t k = 0; k + 1 < sizeof kBegin; ++k) {
    if (std::toupper(b[i + k]) != kBegin[k]) return false;
  }
  return true;
}

}  // namespace

std::optional<std::string> SniffBytes(const unsigned char* b, size_t size) {
  // A file shorter than 512 bytes is typed on the bytes it has; every test checks its bounds.
  if ((At(b, size, 0, "\x00\x00\x01\xBA", 4) && Within28(b, size, "\x00\x00\x01\xBB")) ||
      (At(b, size, 0, "\x00\x00\x01\xB3", 4) && Within28(b, size, "\x00\x00\x01\xB8")))
    return "mpeg";
  if (auto kind = FtypKind(b, size)) return kind;
  if (At(b, size, 0, ".RMF")) return "rmvb";
  if (At(b, size, 0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16))
    return "wmv";
  if (At(b, size, 0, "RIFF") && At(b, size, 8, "AVI ") && At(b, size, 12, "LIST")) return "avi";
  if (At(b, size, 0, "RIFF") && At(b, size, 8, "WEBP")) return "webp";
  if (At(b, size, 0, "ID3") && size >= 10 && b[3] < 0xFF && b[4] < 0xFF && (b[5] & 0x1F) == 0 && b[6] < 0x80 &&
      b[7] < 0x80 && b[8] < 0x80 && b[9] < 0x80)
    return "mp3";
  if (At(b, size, 0, "MThd") && size >= 8 && Be32(b + 4) == 6 && At(b, size, 14, "MTrk")) return "mid";
  if (At(b, size, 0, "RIFF") && At(b, size, 8, "WAVE") && At(b, size, 12, "fmt ")) return "wav";
  if (At(b, size, 0, "moov") || At(b, size, 4, "moov") || At(b, size, 4, "mdat") ||
      At(b, size, 4, "wide"))
    return "mov";
  // Core Audio (iMessage voice messages), AMR (older voice memos), Ogg (Opus voice notes).
  if (At(b, size, 0, "caff") && size >= 6 && b[4] == 0 && b[5] == 1) return "caf";
  if (At(b, size, 0, "#!AMR")) return "amr";
  if (At(b, size, 0, "OggS") && size >= 5 && b[4] == 0) {
    return At(b, size, 28, "OpusHead") ? "opus" : "ogg";
  }
  if (At(b, size, 0, "GIF") && size >= 6 && std::isdigit(b[3]) && std::isdigit(b[4]) && b[5] >= 'a' &&
      b[5] <= 'z')
    return "gif";
  if ((At(b, size, 0, "BM") || At(b, size, 0, "BA")) && size >= 18 && Le16(b + 6) == 0 && Le16(b + 8) == 0 &&
      Le32(b + 14) == 40)
    return "bmp";
  // Any JPEG: start of image and the marker of the first segment (JFIF, Exif, ICC,
  // quantisation tables, ...).
  if (At(b, size, 0, "\xFF\xD8\xFF", 3)) return "jpg";
  if (At(b, size, 0, "\x89PNG\r\n\x1A\n", 8)) return "png";
  if (At(b, size, 0, "%PDF-")) return "pdf";
  if (IsVCard(b, size)) return "vcf";
  if (IsIco(b, size)) return "ico";
  return std::nullopt;
}

std::optional<std::string> KindByExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 >= name.size()) return std::nullopt;
  const std::string ext = platform::AsciiLower(name.substr(dot + 1));
  const std::string key = "*." + ext + "|";
  for (const char* list : {kImageList, kAudioList, kVideoList, kDocumentList}) {
    if ((std::string(list) + "|").find(key) != std::string::npos) return ext;
  }
  return std::nullopt;
}

const char* MediaClassOf(const std::string& kind) {
  if (kind.empty()) return "";
  const std::string key = "*." + platform::AsciiLower(kind) + "|";
  auto in = [&](const char* list) { return (std::string(list) + "|").find(key) != std::string::npos; };
  // Lists overlap ("rm", "ogg"): audio first, as the voice kinds are audio.
  if (in(kAudioList)) return "audio";
  if (in(kImageList) || kind == "ico") return "image";
  if (in(kVideoList) || kind == "mpeg" || kind == "rmvb" || kind == "wmv") return "video";
  return "document";
}

std::string FileKind(const std::filesystem::path& file, const std::string& name) {
  if (auto kind = SniffFileType(file)) return *kind;
  if (auto kind = KindByExtension(name)) return *kind;
  return {};
}

std::optional<std::string> SniffFileType(const fs::path& file) {
  // Read-only: a backup may lie on read-only media and is never written. Only a regular file
  // that is not a symbolic link is read.
  const int fd = OpenDataFile(file);
  if (fd < 0) return std::nullopt;
  unsigned char head[512];
  size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::read(fd, head + got, sizeof head - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return SniffBytes(head, got);
}

int OpenDataFile(const fs::path& file) {
  // A two-level layout's subfolder must be a real folder of the backup, not a link out of it.
  struct stat st {};
  const fs::path parent = file.parent_path();
  if (!parent.empty() && parent.filename().string().size() == 2 &&
      (::lstat(parent.c_str(), &st) != 0 || S_ISLNK(st.st_mode))) {
    return -1;
  }
  int error = 0;
  return platform::OpenRegularFile(file, platform::Follow::kNoSymlinks, error);
}

std::string DataFileRefusal(const fs::path& file) {
  const fs::path parent = file.parent_path();
  struct stat st {};
  if (!parent.empty() && parent.filename().string().size() == 2 &&
      ::lstat(parent.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    return "its folder is a symbolic link";
  }
  const std::string kind = platform::FileKindText(file);
  return kind == "a regular file" || kind == "missing" ? std::string() : "it is " + kind;
}

namespace {

// Whether a walk may read the data file of `entry`: a missing file is skipped quietly (false);
// a symbolic link, FIFO, folder or device is skipped with a note (false).
bool UsableDataFile(const CategoryWalk& walk, const ManifestEntry& entry, const fs::path& data) {
  const std::string refusal = DataFileRefusal(data);
  if (!refusal.empty()) {
    if (walk.notes) walk.notes->push_back("skipped " + entry.domainPath + ": " + refusal);
    return false;
  }
  std::error_code ec;
  return fs::is_regular_file(fs::symlink_status(data, ec));
}

std::string LastComponent(const std::string& domainPath) {
  const auto slash = domainPath.rfind('/');
  return slash == std::string::npos ? domainPath : domainPath.substr(slash + 1);
}

// Whether a name ends in an extension: a "." after its first character followed by one to
// eight ASCII letters or digits ("Audio Message.caf", "1a2b3c.opus"; not "IMG_0001" or
// "v1.2 draft").
bool HasExtension(const std::string& name) {
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || name.size() - dot - 1 > 8 || dot + 1 == name.size())
    return false;
  return std::all_of(name.begin() + ptrdiff_t(dot) + 1, name.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  });
}

// A file that has a name keeps it, extension and case included; a name without an extension
// gets the one its bytes give.
std::string WithTypeExtension(std::string name, const std::string& type) {
  if (HasExtension(name)) return name;
  return name + "." + type;
}

uint64_t SizeOf(const fs::path& file) {
  std::error_code ec;
  const auto size = fs::file_size(file, ec);
  return ec ? 0 : size;
}

// A file of a known kind that is not empty (its bytes tell the kind, else its extension), under
// its own name; a name without an extension gets the one its bytes give.
std::optional<MediaFileItem> TypedItem(const fs::path& data, const std::string& name) {
  const uint64_t size = SizeOf(data);
  if (size == 0) return std::nullopt;
  if (auto type = SniffFileType(data)) {
    return MediaFileItem{size, WithTypeExtension(name, *type), data, *type};
  }
  if (auto kind = KindByExtension(name)) return MediaFileItem{size, name, data, *kind};
  return std::nullopt;
}

template <typename Item>
void SortByName(std::vector<Item>& items) {
  if (items.size() < 2) return;
  std::stable_sort(items.begin(), items.end(), [](const Item& a, const Item& b) {
    return platform::CompareNoCase(a.displayName, b.displayName) < 0;
  });
}

// Reports base + (scale * i) / N for the i-th visited entry.
int32_t ReportEntry(const CategoryWalk& walk, int64_t scale, size_t i) {
  const int64_t n = static_cast<int64_t>(walk.manifest.size());
  return walk.sink.Report(walk.progress + static_cast<int32_t>(scale * static_cast<int64_t>(i) / n));
}

}  // namespace

int32_t WalkPhotos(const CategoryWalk& walk, std::vector<MediaFileItem>& cameraRoll,
                   std::vector<MediaFileItem>& photoStream) {
  int32_t result = kOk;
  std::error_code ec;
  for (size_t i = 0; i < walk.manifest.size(); ++i) {
    const ManifestEntry& entry = walk.manifest[i];
    const bool roll = entry.domainPath.find(kCameraRollMarker) != std::string::npos;
    const bool stream = !roll && entry.domainPath.find(kPhotoStreamMarker) != std::string::npos;
    if (roll || stream) {
      const fs::path data = walk.dataFilePath(entry.fileID);
      if (!UsableDataFile(walk, entry, data)) continue;  // no data file: skipped without a report
      std::string name = LastComponent(entry.domainPath);
      std::string kind = FileKind(data, name);
      const uint64_t size = SizeOf(data);
      if (!kind.empty() && size != 0) {  // an empty file is no picture, whatever its name
        MediaFileItem item{size, std::move(name), data, std::move(kind)};
        (roll ? cameraRoll : photoStream).push_back(std::move(item));
      }
    }
    if ((result = ReportEntry(walk, 2 * int64_t{walk.step}, i + 1)) != 0) break;
  }
  SortByName(cameraRoll);
  SortByName(photoStream);
  return result;
}

int32_t WalkMessageAttachments(const CategoryWalk& walk, std::vector<AttachmentItem>& out) {
  int32_t result = kOk;
  std::error_code ec;
  for (size_t i = 0; i < walk.manifest.size(); ++i) {
    const ManifestEntry& entry = walk.manifest[i];
    if (entry.domainPath.find(kAttachmentMarker) != std::string::npos) {
      const fs::path data = walk.dataFilePath(entry.fileID);
      if (!UsableDataFile(walk, entry, data)) continue;
      const std::string name = LastComponent(entry.domainPath);
      if (auto item = TypedItem(data, name)) out.push_back(std::move(*item));
    }
    if ((result = ReportEntry(walk, walk.step, i + 1)) != 0) break;
  }
  SortByName(out);
  return result;
}

std::string AppNameOf(const std::string& domainPath) {
  auto marker = domainPath.find("com.");
  if (marker == std::string::npos) marker = domainPath.find("net.");
  if (marker == std::string::npos) return "other";
  const auto dash = domainPath.find('-', marker);
  if (dash == std::string::npos) return "other";
  const size_t start = marker + 4;
  if (start > dash) return "other";
  return platform::SanitizeUtf8(domainPath.substr(start, std::min<size_t>(dash - start, 259)));
}

int32_t WalkAppFiles(const CategoryWalk& walk, std::vector<AppFileItem>& out,
                     std::vector<MediaFileItem>& whatsApp) {
  whatsApp.clear();
  int32_t result = kOk;
  for (size_t i = 0; i < walk.manifest.size(); ++i) {
    const ManifestEntry& entry = walk.manifest[i];
    if (entry.domainPath.find(kAppMarker) != std::string::npos) {
      const fs::path data = walk.dataFilePath(entry.fileID);
      if (!DataFileRefusal(data).empty()) {
        UsableDataFile(walk, entry, data);  // the note
      } else if (auto item = TypedItem(data, LastComponent(entry.domainPath))) {
        if (entry.domainPath.find(kWhatsAppMarker) != std::string::npos) {
          whatsApp.push_back(std::move(*item));
        } else {
          out.push_back({item->size, AppNameOf(entry.domainPath), std::move(item->displayName),
                         std::move(item->path), std::move(item->kind)});
        }
      }
    }
    if ((result = ReportEntry(walk, 2 * int64_t{walk.step}, i + 1)) != 0) break;
  }
  SortByName(out);
  SortByName(whatsApp);
  return result;
}

namespace {


struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

int32_t ExtractForPreview(const fs::path& dataFile, const fs::path& workFolder,
                          std::string& previewPath, const ProgressSink& sink) {
  previewPath.clear();
  const std::string kind = FileKind(dataFile, dataFile.filename().string());
  if (kind.empty()) return kInvalidParameter;
  const std::string media = MediaClassOf(kind);
  const char* previewName = nullptr;
  if (media == "image") {
    previewName = "tmp.jpg";
  } else if (media == "audio") {
    previewName = "tmp.wav";
  } else if (media == "video") {
    previewName = "tmp.avi";
  } else {
    return kOk;
  }
  int32_t result = kOk;
  {
    Fd in{OpenDataFile(dataFile)};
    const fs::path preview = workFolder / previewName;
    previewPath = preview.string();
    Fd out{::open(preview.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600)};
    if (in.fd < 0 || out.fd < 0) {
      // A destination that cannot be created reports the system's own error.
      result = in.fd < 0 ? kInvalidParameter : errno;
    } else {
      const uint64_t size = SizeOf(dataFile);
      result = platform::CopyBytes(in.fd, out.fd, size,
                                   [&](int32_t pct) { return sink.Report(pct); });
    }
  }
  sink.Report(100);
  return result;
}

int32_t CopyDataFile(const fs::path& dataFile, const fs::path& destination,
                     ExportCallback callback, void* userData) {
  std::string dest = destination.string();
  int32_t result;
  {
    // The source: a regular file of the backup, never through a link. The target: a file
    // without a name until it is whole, then linked under the name asked for or the next free
    // one (platform/output_file.h).
    Fd in{OpenDataFile(dataFile)};
    platform::OutputFile out;
    if (in.fd < 0) {
      result = kInvalidParameter;
    } else if ((result = out.Open(destination)) == ENOENT && destination.has_parent_path()) {
      // The folder is made by the first copy into it.
      std::error_code ec;
      fs::create_directories(destination.parent_path(), ec);
      result = ec ? ec.value() : out.Open(destination);
    }
    if (result == kOk) {
      struct stat st {};
      const uint64_t size = ::fstat(in.fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
      // The reports while it is copied name the wanted path; the one at 100 the name taken.
      result = platform::CopyBytes(in.fd, out.fd(), size, [&](int32_t pct) {
        return pct < 100 && callback ? callback(userData, pct, 0, dest) : 0;
      });
      if (result == kOk) result = out.Commit();
      if (result == kOk) {
        dest = out.path().string();
        // A stop heard at the last report leaves nothing either.
        const int32_t answer = callback ? callback(userData, 100, 0, dest) : 0;
        if (answer != 0) {
          ::unlink(dest.c_str());
          return answer;
        }
      }
    }
  }
  if (result != kOk && !IsStopped(result) && callback) callback(userData, 100, result, dest);
  return result;
}

}  // namespace halvern
