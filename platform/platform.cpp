// Linux implementation of the operating-system layer.
#include "platform/platform.h"

#include "platform/private_files.h"

#include <malloc.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>

namespace halvern::platform {

namespace fs = std::filesystem;

fs::path AppDataFolder() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg && xdg[0] == '/') {
    return fs::path(xdg);
  }
  if (const char* home = std::getenv("HOME"); home && *home) {
    return fs::path(home) / ".local" / "share";
  }
  return {};
}

fs::path ProgramFolder() {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec);
  return exe.parent_path();
}

std::optional<uint64_t> FreeBytes(const fs::path& path) {
  // A folder that does not exist yet lies on the volume of its nearest existing parent.
  fs::path probe = path;
  struct statvfs st {};
  while (statvfs(probe.c_str(), &st) != 0) {
    if (errno != ENOENT || !probe.has_relative_path()) return std::nullopt;
    probe = probe.parent_path();
  }
  return static_cast<uint64_t>(st.f_bavail) * static_cast<uint64_t>(st.f_frsize);
}

namespace {
// Octal escapes (\040 for a blank) that /proc/self/mounts uses in paths.
std::string UnescapeMountField(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '7' && s[i + 2] >= '0' && s[i + 2] <= '7' &&
        s[i + 3] >= '0' && s[i + 3] <= '7') {
      out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
      i += 3;
    } else {
      out += s[i];
    }
  }
  return out;
}
}  // namespace

std::vector<MountedFilesystem> MountedFilesystems(const fs::path& mountsFile) {
  // Filesystems that never hold user files.
  static const std::set<std::string> kPseudo = {
      "proc",    "sysfs",     "devtmpfs", "devpts",     "cgroup",  "cgroup2",    "securityfs",
      "pstore",  "debugfs",   "tracefs",  "configfs",   "fusectl", "mqueue",     "hugetlbfs",
      "bpf",     "autofs",    "binfmt_misc", "rpc_pipefs", "nsfs", "efivarfs", "ramfs",
      "selinuxfs", "squashfs", "overlay_meta"};
  std::vector<MountedFilesystem> out;
  std::ifstream in(mountsFile);
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string device, mount, type;
    if (!(fields >> device >> mount >> type)) continue;
    if (kPseudo.count(type)) continue;
    out.push_back({UnescapeMountField(device), fs::path(UnescapeMountField(mount)), type});
  }
  return out;
}

namespace {
// Decodes one code point at `i`; returns the sequence length, or 0 for an ill-formed sequence.
size_t DecodeOne(std::string_view s, size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}
}  // namespace

bool IsValidUtf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    const size_t n = DecodeOne(text, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::u32string DecodeUtf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp;
    const size_t n = DecodeOne(text, i, cp);
    if (n == 0) {
      out += U'\uFFFD';
      ++i;
    } else {
      out += cp;
      i += n;
    }
  }
  return out;
}

std::string EncodeUtf8(std::u32string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char32_t c : text) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string SanitizeUtf8(std::string_view text) {
  if (IsValidUtf8(text)) return std::string(text);
  return EncodeUtf8(DecodeUtf8(text));
}

char32_t FoldCase(char32_t c) {
  if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
  // Latin-1: À..Þ except ×.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  // Latin Extended-A: pairs with the capital on the even code point, except the
  // stretch 0x139..0x148 and 0x179..0x17E where the capital is odd.
  if (c >= 0x100 && c <= 0x137) return c | 1;
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
  if (c >= 0x14A && c <= 0x177) return c | 1;
  if (c == 0x178) return 0xFF;
  // Greek.
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c == 0x3C2) return 0x3C3;  // final sigma folds with sigma
  // Cyrillic.
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c >= 0x460 && c <= 0x4FF && c != 0x482 && !(c >= 0x483 && c <= 0x489)) {
    if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x4FF))
      return c | 1;
  }
  // Armenian.
  if (c >= 0x531 && c <= 0x556) return c + 48;
  // Full-width Latin.
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 32;
  return c;
}

int CompareNoCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    char32_t ca, cb;
    size_t na = DecodeOne(a, i, ca), nb = DecodeOne(b, j, cb);
    if (na == 0) ca = 0xFFFD, na = 1;
    if (nb == 0) cb = 0xFFFD, nb = 1;
    ca = FoldCase(ca);
    cb = FoldCase(cb);
    if (ca != cb) return ca < cb ? -1 : 1;
    i += na;
    j += nb;
  }
  if (i < a.size()) return 1;
  if (j < b.size()) return -1;
  return 0;
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& ch : out) {
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch + 32);
  }
  return out;
}

namespace {

struct CodeRange {
  char32_t first, last;
};

bool InRanges(char32_t c, const CodeRange* ranges, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (c >= ranges[i].first && c <= ranges[i].last) return true;
  }
  return false;
}

// Characters drawn over the one before them, or not at all.
constexpr CodeRange kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F}, {0x202A, 0x202E}, {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F},
    {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF}};
// East Asian wide and full-width characters, and the emoji a terminal draws two columns wide.
constexpr CodeRange kDoubleWidth[] = {
    {0x1100, 0x115F}, {0x231A, 0x231B}, {0x2329, 0x232A}, {0x23E9, 0x23EC}, {0x23F0, 0x23F0},
    {0x23F3, 0x23F3}, {0x25FD, 0x25FE}, {0x2614, 0x2615}, {0x2648, 0x2653}, {0x267F, 0x267F},
    {0x2693, 0x2693}, {0x26A1, 0x26A1}, {0x26AA, 0x26AB}, {0x26BD, 0x26BE}, {0x26C4, 0x26C5},
    {0x26CE, 0x26CE}, {0x26D4, 0x26D4}, {0x26EA, 0x26EA}, {0x26F2, 0x26F3}, {0x26F5, 0x26F5},
    {0x26FA, 0x26FA}, {0x26FD, 0x26FD}, {0x2705, 0x2705}, {0x270A, 0x270B}, {0x2728, 0x2728},
    {0x274C, 0x274C}, {0x274E, 0x274E}, {0x2753, 0x2755}, {0x2757, 0x2757}, {0x2795, 0x2797},
    {0x27B0, 0x27B0}, {0x27BF, 0x27BF}, {0x2B1B, 0x2B1C}, {0x2B50, 0x2B50}, {0x2B55, 0x2B55},
    {0x2E80, 0x303E}, {0x3041, 0x33FF}, {0x3400, 0x4DBF}, {0x4E00, 0x9FFF}, {0xA000, 0xA4CF},
    {0xA960, 0xA97F}, {0xAC00, 0xD7A3}, {0xF900, 0xFAFF}, {0xFE10, 0xFE19}, {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60}, {0xFFE0, 0xFFE6}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F900, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x3FFFD}};

}  // namespace

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  for (char32_t c : DecodeUtf8(text)) {
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) continue;  // control characters draw nothing
    if (InRanges(c, kZeroWidth, std::size(kZeroWidth))) continue;
    width += InRanges(c, kDoubleWidth, std::size(kDoubleWidth)) ? 2 : 1;
  }
  return width;
}

std::string PadToWidth(std::string_view text, size_t width) {
  std::string out(text);
  const size_t have = DisplayWidth(text);
  if (have < width) out.append(width - have, ' ');
  return out;
}

std::string FormatLocalTime(int64_t unixSeconds) {
  const time_t t = static_cast<time_t>(unixSeconds);
  struct tm tmv {};
  if (localtime_r(&t, &tmv) == nullptr) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", tmv.tm_year + 1900,
                tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
  return buf;
}

int64_t UtcToUnix(int year, int month, int day, int hour, int minute, int second) {
  // Days from civil (proleptic Gregorian), after H. Hinnant's algorithm.
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yoe = year - era * 400;
  const int64_t mp = (month + 9) % 12;
  const int64_t doy = (153 * mp + 2) / 5 + day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = era * 146097 + doe - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::optional<std::string> ReadFile(const fs::path& path) {
  // Regular files only: a FIFO or a device in its place must not block the program.
  int error = 0;
  const int fd = OpenRegularFile(path, Follow::kSymlinks, error);
  if (fd < 0) return std::nullopt;
  std::string bytes;
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    bytes.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return bytes;
}

void KeepLargeAllocationsApart() { mallopt(M_MMAP_THRESHOLD, 128 * 1024); }

}  // namespace halvern::platform
