// Reading Info.plist as text, line by line, for the five summary keys.
#include "backup/backup_info.h"

#include <plist/plist.h>
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAddressBookId = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";

struct FileCloser {
  void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// Reads one line of up to 2047 bytes (a longer line comes in pieces); false at the end.
bool NextLine(FILE* f, std::string& line) {
  char buf[2048];
  if (!std::fgets(buf, sizeof buf, f)) return false;
  line.assign(buf);
  return true;
}

// The text between `open` and `close` of `line`: cut at `close`, then what follows `open`.
// False when `open` is missing (the field stays unchanged).
bool TagValue(std::string line, const char* open, const char* close, std::string& out) {
  if (auto c = line.find(close); c != std::string::npos) line.resize(c);
  auto o = line.find(open);
  if (o == std::string::npos) return false;
  out = line.substr(o + std::strlen(open));
  return true;
}

}  // namespace

std::string BackupDateToLocal(const std::string& text) {
  // year-month-day hour:minute:second, read with integer reads at the separators.
  auto dash1 = text.find('-');
  if (dash1 == std::string::npos) return {};
  auto dash2 = text.find('-', dash1 + 1);
  auto space = text.find(' ');
  if (dash2 == std::string::npos || space == std::string::npos) return {};
  auto colon1 = text.find(':', space + 1);
  if (colon1 == std::string::npos) return {};
  auto colon2 = text.find(':', colon1 + 1);
  if (colon2 == std::string::npos) return {};
  auto num = [&](size_t at) { return std::atoi(text.c_str() + at); };
  const int64_t t = platform::UtcToUnix(num(0), num(dash1 + 1), num(dash2 + 1), num(space + 1),
                                        num(colon1 + 1), num(colon2 + 1));
  return platform::FormatLocalTime(t);
}

bool ReadInfoPlist(const fs::path& folder, BackupInfo& out) {
  File f(std::fopen((folder / "Info.plist").c_str(), "r"));
  if (!f) return false;
  BackupInfo info;
  info.folderPath = folder;
  std::string line, value;
  while (NextLine(f.get(), line)) {
    if (line.find("<key>Display Name</key>") != std::string::npos) {
      if (NextLine(f.get(), line) && TagValue(line, "<string>", "</string>", value))
        info.displayName = platform::SanitizeUtf8(value);
    } else if (line.find("<key>Last Backup Date</key>") != std::string::npos) {
      if (NextLine(f.get(), line) && TagValue(line, "<date>", "</date>", value)) {
        if (auto t = value.find('T'); t != std::string::npos) value[t] = ' ';
        if (auto z = value.find('Z'); z != std::string::npos) value.resize(z);
        std::string local = BackupDateToLocal(value);
        info.lastBackupDate = local.empty() ? value : local;
      }
    } else if (line.find("<key>Phone Number</key>") != std::string::npos) {
      if (NextLine(f.get(), line) && TagValue(line, "<string>", "</string>", value))
        info.phoneNumber = value;
    } else if (line.find("<key>Product Version</key>") != std::string::npos) {
      if (NextLine(f.get(), line) && TagValue(line, "<string>", "</string>", value))
        info.isIos12OrLater = std::atoi(value.c_str()) > 11;
    } else if (line.find("<key>Serial Number</key>") != std::string::npos) {
      if (NextLine(f.get(), line) && TagValue(line, "<string>", "</string>", value))
        info.serialNumber = value;
      break;  // keys after the serial number are not read
    }
  }
  f.reset();
  info.isEncrypted = IsEncryptedBackup(folder);
  out = std::move(info);
  return true;
}

int32_t BackupInfo::ReadBackupInfo(const fs::path& folder) {
  return ReadInfoPlist(folder, *this) ? 0 : 87;
}

namespace {

// Manifest.plist's IsEncrypted flag (XML or binary property list).
bool ManifestSaysEncrypted(const fs::path& folder) {
  auto bytes = platform::ReadFile(folder / "Manifest.plist");
  if (!bytes || bytes->empty()) return false;
  plist_t root = nullptr;
  plist_from_memory(bytes->data(), static_cast<uint32_t>(bytes->size()), &root);
  if (!root) return false;
  bool encrypted = false;
  if (plist_get_node_type(root) == PLIST_DICT) {
    plist_t node = plist_dict_get_item(root, "IsEncrypted");
    if (node && plist_get_node_type(node) == PLIST_BOOLEAN) {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      encrypted = v != 0;
    }
  }
  plist_free(root);
  return encrypted;
}

}  // namespace

bool IsEncryptedBackup(const fs::path& folder) {
  std::error_code ec;
  const fs::path book = fs::exists(folder / "Manifest.db", ec)
                            ? folder / std::string(kAddressBookId, 2) / kAddressBookId
                            : folder / kAddressBookId;
  File f(std::fopen(book.c_str(), "rb"));
  if (!f) f.reset(std::fopen((book.string() + ".mddata").c_str(), "rb"));
  if (f) {
    char head[512] = {};
    const size_t n = std::fread(head, 1, sizeof head, f.get());
    if (n < 6 || strncasecmp(head, "SQLite", 6) != 0) return true;
  }
  // A backup without an address book (or with a readable one) may still be encrypted:
  // the manifest's own flag decides then.
  return ManifestSaysEncrypted(folder);
}

fs::path BackupRootIn(const fs::path& appData) {
  const fs::path parent = appData / "Apple Computer" / "MobileSync";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(parent, ec)) {
    if (platform::AsciiLower(entry.path().filename().string()) == "backup") return entry.path();
  }
  return parent / "Backup";
}

void SortBackupsNewestFirst(std::vector<BackupInfo>& backups) {
  std::stable_sort(backups.begin(), backups.end(), [](const BackupInfo& a, const BackupInfo& b) {
    return strcasecmp(a.lastBackupDate.c_str(), b.lastBackupDate.c_str()) > 0;
  });
}

std::vector<BackupInfo> ListBackupsIn(const std::vector<fs::path>& folders) {
  std::vector<BackupInfo> out;
  for (const auto& folder : folders) {
    BackupInfo info;
    if (ReadInfoPlist(folder, info)) out.push_back(std::move(info));
  }
  if (out.size() > 1) SortBackupsNewestFirst(out);
  return out;
}

}  // namespace halvern
