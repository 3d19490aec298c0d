// Backup summaries: Info.plist, Manifest.plist and Status.plist read as property lists
// (binary or XML) through libplist, and the encryption probe.
#include "backup/backup_info.h"

#include <plist/plist.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"
#include "platform/private_files.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {

constexpr const char* kAddressBookId = "31bb7ba8914766d4ba40d6dfb6113c8b614be442";

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

namespace {

// ----- Property lists (binary or XML) through libplist ----------------------------------------

struct PlistFree {
  void operator()(plist_t node) const { plist_free(node); }
};
using Plist = std::unique_ptr<std::remove_pointer_t<plist_t>, PlistFree>;

// `bytes` parsed as a property list whose root is a dictionary; null otherwise.
Plist ParsePlistDict(const std::string& bytes) {
  if (bytes.empty() || bytes.size() > UINT32_MAX) return nullptr;
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), static_cast<uint32_t>(bytes.size()), &root);
  Plist owned(root);
  if (!owned || plist_get_node_type(root) != PLIST_DICT) return nullptr;
  return owned;
}

// `folder`/`name` as a dictionary; null when the file is missing, not a regular file, or not
// a property list.
Plist ReadPlistDict(const fs::path& folder, const char* name) {
  auto bytes = platform::ReadFile(folder / name);
  return bytes ? ParsePlistDict(*bytes) : nullptr;
}

// A string value of `dict` (UTF-8 repaired); false when the key is missing or not a string.
bool PlistText(plist_t dict, const char* key, std::string& out) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_STRING) return false;
  char* value = nullptr;
  plist_get_string_val(node, &value);
  if (!value) return false;
  out = platform::SanitizeUtf8(value);
  free(value);
  return true;
}

// A date value as local-time text; a date stored as text ("2014-03-05T17:22:41Z") is
// converted as well, or kept as it stands when it cannot be. False when the key is missing.
bool PlistDate(plist_t dict, const char* key, std::string& out) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!node) return false;
  if (plist_get_node_type(node) == PLIST_DATE) {
    int32_t sec = 0, usec = 0;
    plist_get_date_val(node, &sec, &usec);
    constexpr int64_t kMacEpoch = 978307200;  // 2001-01-01 in Unix time
    out = platform::FormatLocalTime(kMacEpoch + sec);
    return !out.empty();
  }
  std::string text;
  if (!PlistText(dict, key, text)) return false;
  if (auto t = text.find('T'); t != std::string::npos) text[t] = ' ';
  if (auto z = text.find('Z'); z != std::string::npos) text.resize(z);
  const std::string local = BackupDateToLocal(text);
  out = local.empty() ? text : local;
  return true;
}

bool PlistBool(plist_t dict, const char* key, bool& out) {
  plist_t node = dict ? plist_dict_get_item(dict, key) : nullptr;
  if (!node || plist_get_node_type(node) != PLIST_BOOLEAN) return false;
  uint8_t v = 0;
  plist_get_bool_val(node, &v);
  out = v != 0;
  return true;
}

// Fills the summary from a parsed Info.plist; fields missing there are taken from
// Manifest.plist's "Lockdown" dictionary and Status.plist's "Date" when those have them.
void SummaryFromPlists(plist_t infoDict, plist_t manifestDict, plist_t statusDict,
                       BackupInfo& info) {
  plist_t lockdown = manifestDict ? plist_dict_get_item(manifestDict, "Lockdown") : nullptr;
  if (lockdown && plist_get_node_type(lockdown) != PLIST_DICT) lockdown = nullptr;
  if (info.displayName.empty() && !PlistText(infoDict, "Display Name", info.displayName) &&
      !PlistText(infoDict, "Device Name", info.displayName)) {
    PlistText(lockdown, "DeviceName", info.displayName);
  }
  if (info.lastBackupDate.empty() && !PlistDate(infoDict, "Last Backup Date", info.lastBackupDate)) {
    PlistDate(statusDict, "Date", info.lastBackupDate);
  }
  if (info.phoneNumber.empty()) PlistText(infoDict, "Phone Number", info.phoneNumber);
  if (info.serialNumber.empty() && !PlistText(infoDict, "Serial Number", info.serialNumber)) {
    PlistText(lockdown, "SerialNumber", info.serialNumber);
  }
  std::string version;
  if (PlistText(infoDict, "Product Version", version) ||
      PlistText(lockdown, "ProductVersion", version)) {
    info.isIos12OrLater = std::atoi(version.c_str()) > 11;
  }
}

// The text scan of an Info.plist that is not a well-formed property list (a damaged XML
// file): each of the five keys takes its value from the line that follows it.
void SummaryFromText(const std::string& bytes, BackupInfo& info) {
  size_t at = 0;
  auto nextLine = [&](std::string& line) {
    if (at >= bytes.size()) return false;
    size_t end = bytes.find('\n', at);
    end = end == std::string::npos ? bytes.size() : end + 1;
    line.assign(bytes, at, end - at);
    at = end;
    return true;
  };
  std::string line, value;
  while (nextLine(line)) {
    if (line.find("<key>Display Name</key>") != std::string::npos) {
      if (nextLine(line) && TagValue(line, "<string>", "</string>", value))
        info.displayName = platform::SanitizeUtf8(value);
    } else if (line.find("<key>Last Backup Date</key>") != std::string::npos) {
      if (nextLine(line) && TagValue(line, "<date>", "</date>", value)) {
        if (auto t = value.find('T'); t != std::string::npos) value[t] = ' ';
        if (auto z = value.find('Z'); z != std::string::npos) value.resize(z);
        std::string local = BackupDateToLocal(value);
        info.lastBackupDate = local.empty() ? value : local;
      }
    } else if (line.find("<key>Phone Number</key>") != std::string::npos) {
      if (nextLine(line) && TagValue(line, "<string>", "</string>", value))
        info.phoneNumber = platform::SanitizeUtf8(value);
    } else if (line.find("<key>Product Version</key>") != std::string::npos) {
      if (nextLine(line) && TagValue(line, "<string>", "</string>", value))
        info.isIos12OrLater = std::atoi(value.c_str()) > 11;
    } else if (line.find("<key>Serial Number</key>") != std::string::npos) {
      if (nextLine(line) && TagValue(line, "<string>", "</string>", value))
        info.serialNumber = platform::SanitizeUtf8(value);
    }
  }
}

// The "Last Backup Date" of an XML Info.plist from its text: the <date> element after the key
// (on the same line or a later one), converted to local time or kept as it stands.
void XmlDateText(const std::string& bytes, std::string& out) {
  const size_t key = bytes.find("<key>Last Backup Date</key>");
  const size_t open = bytes.find("<date>", key);
  const size_t next = bytes.find("<key>", key + 1);
  if (open == std::string::npos || (next != std::string::npos && open > next)) return;
  const size_t close = bytes.find("</date>", open);
  if (close == std::string::npos) return;
  std::string value = bytes.substr(open + 6, close - open - 6);
  if (auto t = value.find('T'); t != std::string::npos) value[t] = ' ';
  if (auto z = value.find('Z'); z != std::string::npos) value.resize(z);
  const std::string local = BackupDateToLocal(value);
  out = local.empty() ? value : local;
}

}  // namespace

bool ReadInfoPlist(const fs::path& folder, BackupInfo& out) {
  // Only a regular file is read: a FIFO in its place must not block the listing.
  const auto bytes = platform::ReadFile(folder / "Info.plist");
  if (!bytes) return false;
  BackupInfo info;
  info.folderPath = folder;
  const Plist infoDict = ParsePlistDict(*bytes);
  const Plist manifestDict = ReadPlistDict(folder, "Manifest.plist");
  const Plist statusDict = ReadPlistDict(folder, "Status.plist");
  if (!infoDict) {
    SummaryFromText(*bytes, info);
  } else if (bytes->find("<key>Last Backup Date</key>") != std::string::npos) {
    // An XML date that is no valid date reaches libplist as some other time; its own text is
    // shown instead, as the text scan shows it.
    XmlDateText(*bytes, info.lastBackupDate);
  }
  SummaryFromPlists(infoDict.get(), manifestDict.get(), statusDict.get(), info);
  info.isEncrypted = IsEncryptedBackup(folder);
  out = std::move(info);
  return true;
}

int32_t BackupInfo::ReadBackupInfo(const fs::path& folder) {
  return ReadInfoPlist(folder, *this) ? 0 : 87;
}

bool IsEncryptedBackup(const fs::path& folder) {
  // What Manifest.plist says decides.
  if (const Plist manifest = ReadPlistDict(folder, "Manifest.plist")) {
    bool encrypted = false;
    if (PlistBool(manifest.get(), "IsEncrypted", encrypted)) return encrypted;
  }
  // Without the key, the address book tells: an enciphered file is a whole number of 16-byte
  // AES blocks that does not begin with the SQLite header. An empty, short or damaged file, a
  // folder or a FIFO in its place says nothing, and the backup counts as plain.
  std::error_code ec;
  const fs::path book = fs::exists(folder / "Manifest.db", ec)
                            ? folder / std::string(kAddressBookId, 2) / kAddressBookId
                            : folder / kAddressBookId;
  int error = 0;
  int fd = platform::OpenRegularFile(book, platform::Follow::kNoSymlinks, error);
  if (fd < 0) {
    fd = platform::OpenRegularFile(book.string() + ".mddata", platform::Follow::kNoSymlinks, error);
  }
  if (fd < 0) return false;
  char head[16] = {};
  size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::read(fd, head + got, sizeof head - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  struct stat st {};
  const bool blocks = ::fstat(fd, &st) == 0 && st.st_size >= 16 && st.st_size % 16 == 0;
  ::close(fd);
  return got == sizeof head && blocks && strncasecmp(head, "SQLite", 6) != 0;
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
