// Manifest readers and the hashed-name lookup.
#include "backup/manifest.h"

#include <openssl/evp.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <cctype>
#include <new>

#include "platform/codes.h"
#include "platform/platform.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {

// Cursor over the bytes of a Manifest.mbdb; every read is bounds-checked.
class MbdbCursor {
 public:
  explicit MbdbCursor(const std::string& bytes) : bytes_(bytes) {}
  size_t offset() const { return pos_; }
  void Seek(size_t pos) { pos_ = pos; }
  bool Skip(size_t n) {
    if (n > bytes_.size() - pos_) return false;
    pos_ += n;
    return true;
  }
  bool U8(uint32_t& v) {
    if (pos_ >= bytes_.size()) return false;
    v = static_cast<unsigned char>(bytes_[pos_++]);
    return true;
  }
  bool U16(uint32_t& v) {
    uint32_t hi, lo;
    if (!U8(hi) || !U8(lo)) return false;
    v = (hi << 8) | lo;
    return true;
  }
  // A 2-byte length then the bytes; 0xFFFF is an absent string (nothing follows).
  bool String(std::string& out) {
    uint32_t len;
    if (!U16(len)) return false;
    out.clear();
    if (len == 0xFFFF) return true;
    if (len > bytes_.size() - pos_) return false;
    out.assign(bytes_, pos_, len);
    pos_ += len;
    return true;
  }

 private:
  const std::string& bytes_;
  size_t pos_ = 0;
};

}  // namespace

int32_t ReadManifestMbdb(const fs::path& file, std::vector<ManifestEntry>& out) {
  if (file.empty()) return kInvalidParameter;
  std::string bytes;
  try {
    auto content = platform::ReadFile(file);
    if (!content) return kManifestOpenFailed;
    bytes = std::move(*content);
  } catch (const std::bad_alloc&) {
    return kInvalidParameter;
  }
  if (bytes.size() < 4 || bytes.compare(0, 4, "mbdb") != 0) return kInvalidParameter;

  MbdbCursor cur(bytes);
  cur.Seek(6);
  std::string domain, path, skipped;
  size_t records = 0;
  while (cur.offset() < bytes.size()) {
    uint32_t mode, propertyCount, flags;
    bool complete =
        cur.String(domain) && cur.String(path) && cur.String(skipped) &&  // link target
        cur.String(skipped) && cur.String(skipped) &&                      // hash, key
        cur.U16(mode) && cur.Skip(36) && cur.U8(flags) && cur.U8(propertyCount);
    for (uint32_t i = 0; i < propertyCount && complete; ++i) {
      complete = cur.String(skipped) && cur.String(skipped);
    }
    // A record cut short (a damaged or truncated file, or lengths past its end) is an error:
    // the backup's index is incomplete. The entries read before it stay.
    if (!complete) return kManifestDamaged;
    ++records;
    if (!domain.empty() && !path.empty() && (mode & 0xE000) != 0x4000) {
      std::string domainPath = domain + "-" + path;
      std::string id = FileIdOf(domainPath);
      out.push_back({std::move(domainPath), std::move(id)});
    }
  }
  // A manifest without a single record describes no backup.
  return records == 0 ? kManifestDamaged : kOk;
}

namespace {

// "file:" URI with every byte outside the unreserved set percent-encoded.
std::string FileUri(const fs::path& file) {
  static const char* kHex = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : file.string()) {
    if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 15];
    }
  }
  return uri + "?mode=ro&immutable=1";
}

int RowToEntry(void* arg, int columns, char** values, char** /*names*/) {
  auto* rows = static_cast<std::vector<ManifestEntry>*>(arg);
  ManifestEntry entry;
  if (columns > 0 && values[0]) entry.fileID = values[0];
  if (columns > 1 && values[1]) entry.domainPath = values[1];
  for (int i = 2; i < columns; ++i) {
    if (values[i]) {
      entry.domainPath += '-';
      entry.domainPath += values[i];
    }
  }
  rows->push_back(std::move(entry));
  return 0;
}

}  // namespace

int32_t ReadManifestDb(const fs::path& file, std::vector<ManifestEntry>& out) {
  std::vector<ManifestEntry> rows;
  // The SQLite library opens without O_NONBLOCK: a FIFO in the index's place would block it.
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    out.clear();
    return kManifestOpenFailed;
  }
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(FileUri(file).c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI,
                           nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    return rc;
  }
  char* error = nullptr;
  int32_t result = kOk;
  if (sqlite3_exec(db, "select fileID,domain, relativePath from Files;", &RowToEntry, &rows,
                   &error) != SQLITE_OK) {
    sqlite3_free(error);
    result = kQueryFailed;
  }
  sqlite3_close(db);
  // A file id names a data file inside the backup: anything but 40 hex digits (an absolute
  // path, "../", a name with "/") is dropped, so that no lookup ever leaves the backup.
  std::erase_if(rows, [](const ManifestEntry& e) { return !IsBackupFileId(e.fileID); });
  out = std::move(rows);
  return result;
}

std::string FileIdOf(std::string_view domainPath) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(domainPath.data(), domainPath.size(), digest, &length, EVP_sha1(), nullptr);
  static const char* kHex = "0123456789abcdef";
  std::string id;
  id.reserve(2 * length);
  for (unsigned int i = 0; i < length; ++i) {
    id += kHex[digest[i] >> 4];
    id += kHex[digest[i] & 15];
  }
  return id;
}

bool IsBackupFileId(std::string_view text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

fs::path DataFilePath(const fs::path& backupPath, std::string_view fileID, bool encrypted,
                      bool hasManifestDb) {
  if (!IsBackupFileId(fileID)) return {};
  if (!encrypted && hasManifestDb && fileID.size() >= 2) {
    return backupPath / std::string(fileID.substr(0, 2)) / std::string(fileID);
  }
  return backupPath / std::string(fileID);
}

}  // namespace halvern
