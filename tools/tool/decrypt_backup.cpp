// The decryption of a whole backup: Manifest.plist, keybag, index, data files.
#include "tools/tool/decrypt_backup.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "tools/tool/keybag.h"

namespace halvern {

namespace fs = std::filesystem;

namespace {

constexpr size_t kChunk = 1 << 20;               // data files are streamed in 1 MiB pieces
constexpr size_t kWrappedKeyBlob = 44;           // u32le class | 40-byte RFC 3394 wrap
constexpr uint64_t kMaxManifestDb = 1ull << 32;  // an index beyond 4 GiB is not a real one

struct PlistDeleter {
  void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using Plist = std::unique_ptr<void, PlistDeleter>;

struct Fd {
  int fd = -1;
  explicit Fd(int f) : fd(f) {}
  ~Fd() {
    if (fd >= 0) close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
};

void Note(const DecryptEvents& events, std::string_view text) {
  if (events.note) events.note(text);
}
void Protocol(const DecryptEvents& events, std::string_view text) {
  if (events.protocol) events.protocol(text);
}
bool StopRequested(const DecryptEvents& events) {
  return events.stopRequested && events.stopRequested();
}

// Opens a file of the backup for reading. A FIFO, device or folder in a data file's place is
// refused: O_NONBLOCK keeps the open of a FIFO from waiting for a writer that never comes, and
// is cleared again once the file is known to be a regular one.
int OpenInput(const fs::path& file) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

// Reads a whole file of at most `limit` bytes. nullopt when it cannot be read.
std::optional<Bytes> ReadWhole(const fs::path& file, uint64_t limit) {
  Fd in(OpenInput(file));
  if (in.fd < 0) return std::nullopt;
  Bytes out;
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = read(in.fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    if (out.size() + static_cast<size_t>(n) > limit) return std::nullopt;
    out.insert(out.end(), buffer, buffer + n);
  }
  return out;
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

int OpenOutput(const fs::path& file) {
  // Decrypted data is the user's private data: readable by its owner only.
  return open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
}

uint32_t LittleEndian32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

Bytes DataOf(plist_t node) {
  Bytes out;
  if (!node || plist_get_node_type(node) != PLIST_DATA) return out;
  char* data = nullptr;
  uint64_t length = 0;
  plist_get_data_val(node, &data, &length);
  if (data) out.assign(data, data + length);
  free(data);
  return out;
}

std::optional<uint64_t> UintOf(plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
  uint64_t value = 0;
  plist_get_uint_val(node, &value);
  return value;
}

// One regular file of the index.
struct FileEntry {
  std::string fileID;
  Bytes encryptionKey;                      // 44 bytes, or empty when the index has none
  std::optional<uint32_t> protectionClass;  // from the index record
  std::optional<uint64_t> recordedSize;     // as recorded at backup time; never trusted
};

// ----- Manifest.plist -----

struct ManifestPlist {
  bool isEncrypted = false;
  Bytes keybag;
  Bytes manifestKey;
};

std::optional<ManifestPlist> ReadManifestPlist(const fs::path& file) {
  const auto bytes = ReadWhole(file, 64u << 20);
  if (!bytes || bytes->empty()) return std::nullopt;
  plist_t raw = nullptr;
  plist_from_memory(reinterpret_cast<const char*>(bytes->data()),
                    static_cast<uint32_t>(bytes->size()), &raw);
  Plist root(raw);
  if (!raw || plist_get_node_type(raw) != PLIST_DICT) return std::nullopt;
  ManifestPlist out;
  if (plist_t flag = plist_dict_get_item(raw, "IsEncrypted");
      flag && plist_get_node_type(flag) == PLIST_BOOLEAN) {
    uint8_t value = 0;
    plist_get_bool_val(flag, &value);
    out.isEncrypted = value != 0;
  }
  out.keybag = DataOf(plist_dict_get_item(raw, "BackupKeyBag"));
  out.manifestKey = DataOf(plist_dict_get_item(raw, "ManifestKey"));
  return out;
}

// ----- MBFile archives (the Files.file column) -----

// Follows a UID reference into $objects; other nodes stand for themselves.
plist_t Resolve(plist_t objects, plist_t node) {
  if (!node || plist_get_node_type(node) != PLIST_UID) return node;
  uint64_t index = 0;
  plist_get_uid_val(node, &index);
  if (index >= plist_array_get_size(objects)) return nullptr;
  return plist_array_get_item(objects, static_cast<uint32_t>(index));
}

void ReadMbFile(const void* blob, int size, FileEntry& entry) {
  if (!blob || size < 8) return;
  plist_t raw = nullptr;
  plist_from_bin(static_cast<const char*>(blob), static_cast<uint32_t>(size), &raw);
  Plist archive(raw);
  if (!raw || plist_get_node_type(raw) != PLIST_DICT) return;
  plist_t objects = plist_dict_get_item(raw, "$objects");
  plist_t top = plist_dict_get_item(raw, "$top");
  if (!objects || plist_get_node_type(objects) != PLIST_ARRAY || !top ||
      plist_get_node_type(top) != PLIST_DICT) {
    return;
  }
  plist_t file = Resolve(objects, plist_dict_get_item(top, "root"));
  if (!file || plist_get_node_type(file) != PLIST_DICT) return;
  if (auto cls = UintOf(Resolve(objects, plist_dict_get_item(file, "ProtectionClass")))) {
    entry.protectionClass = static_cast<uint32_t>(*cls);
  }
  entry.recordedSize = UintOf(Resolve(objects, plist_dict_get_item(file, "Size")));
  plist_t key = Resolve(objects, plist_dict_get_item(file, "EncryptionKey"));
  if (key && plist_get_node_type(key) == PLIST_DICT) {
    entry.encryptionKey = DataOf(Resolve(objects, plist_dict_get_item(key, "NS.data")));
  } else {
    entry.encryptionKey = DataOf(key);  // some writers store the data inline
  }
}

// ----- Index readers -----

bool ReadManifestDbEntries(const fs::path& file, std::vector<FileEntry>& out, std::string& error) {
  sqlite3* db = nullptr;
  std::string escaped;  // a URI needs '?', '#' and '%' escaped in the path
  for (char c : file.string()) {
    if (c == '?' || c == '#' || c == '%') {
      static const char kHex[] = "0123456789ABCDEF";
      escaped += '%';
      escaped += kHex[static_cast<uint8_t>(c) >> 4];
      escaped += kHex[static_cast<uint8_t>(c) & 15];
    } else {
      escaped += c;
    }
  }
  const int rc = sqlite3_open_v2(("file:" + escaped + "?immutable=1").c_str(), &db,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
  std::unique_ptr<sqlite3, int (*)(sqlite3*)> guard(db, sqlite3_close);
  if (rc != SQLITE_OK) {
    error = "cannot open the index: " + std::string(sqlite3_errstr(rc));
    return false;
  }
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fileID, file FROM Files WHERE flags = 1", -1, &stmt,
                         nullptr) != SQLITE_OK) {
    error = "the index has no readable Files table: " + std::string(sqlite3_errmsg(db));
    return false;
  }
  std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> stmtGuard(stmt, sqlite3_finalize);
  int step;
  while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
    FileEntry entry;
    if (const auto* id = sqlite3_column_text(stmt, 0)) {
      entry.fileID.assign(reinterpret_cast<const char*>(id),
                          static_cast<size_t>(sqlite3_column_bytes(stmt, 0)));
    }
    ReadMbFile(sqlite3_column_blob(stmt, 1), sqlite3_column_bytes(stmt, 1), entry);
    out.push_back(std::move(entry));
  }
  if (step != SQLITE_DONE) {
    error = "the index cannot be read to the end: " + std::string(sqlite3_errmsg(db));
    return false;
  }
  return true;
}

// Manifest.mbdb: "mbdb" 05 00, then records up to the end. Big-endian numbers; a string is
// u16 length + bytes, 0xFFFF meaning absent.
//   domain, path, link target, digest, encryption key   5 strings
//   mode u16 | inode u64 | uid u32 | gid u32 | 3 times u32 | size u64 | class u8
//   property count u8, then that many (name, value) string pairs
class MbdbCursor {
 public:
  explicit MbdbCursor(const Bytes& data) : data_(data) {}
  bool AtEnd() const { return offset_ >= data_.size(); }
  bool Skip(size_t n) {
    if (n > data_.size() - offset_) return false;
    offset_ += n;
    return true;
  }
  bool Number(size_t width, uint64_t& value) {
    if (width > data_.size() - offset_) return false;
    value = 0;
    for (size_t i = 0; i < width; ++i) value = (value << 8) | data_[offset_ + i];
    offset_ += width;
    return true;
  }
  bool String(std::string& text) {
    uint64_t length = 0;
    if (!Number(2, length)) return false;
    text.clear();
    if (length == 0xFFFF) return true;
    if (length > data_.size() - offset_) return false;
    text.assign(reinterpret_cast<const char*>(data_.data() + offset_), length);
    offset_ += length;
    return true;
  }

 private:
  const Bytes& data_;
  size_t offset_ = 6;
};

bool ReadMbdbEntries(const fs::path& file, std::vector<FileEntry>& out, std::string& error) {
  const auto data = ReadWhole(file, kMaxManifestDb);
  if (!data) {
    error = "cannot read Manifest.mbdb";
    return false;
  }
  if (data->size() < 6 ||
      std::string_view(reinterpret_cast<const char*>(data->data()), 4) != "mbdb") {
    error = "Manifest.mbdb does not start with \"mbdb\"";
    return false;
  }
  MbdbCursor cursor(*data);
  while (!cursor.AtEnd()) {
    std::string domain, path, target, digest, key;
    uint64_t mode = 0, size = 0, protection = 0, properties = 0;
    bool ok = cursor.String(domain) && cursor.String(path) && cursor.String(target) &&
              cursor.String(digest) && cursor.String(key) && cursor.Number(2, mode) &&
              cursor.Skip(8 + 4 + 4 + 12) && cursor.Number(8, size) &&
              cursor.Number(1, protection) && cursor.Number(1, properties);
    for (uint64_t i = 0; ok && i < properties; ++i) {
      std::string name, value;
      ok = cursor.String(name) && cursor.String(value);
    }
    if (!ok) {
      // A cut record ends the index; what was read before it stays usable.
      error = "Manifest.mbdb ends inside a record";
      break;
    }
    if ((mode & 0xF000) != 0x8000) continue;  // directories and links have no data file
    FileEntry entry;
    entry.fileID = Sha1Hex(domain + "-" + path);
    entry.encryptionKey.assign(key.begin(), key.end());
    entry.protectionClass = static_cast<uint32_t>(protection);
    entry.recordedSize = size;
    out.push_back(std::move(entry));
  }
  return true;
}

// ----- Keys -----

// The file key of `entry`: the class named by the key's own prefix first, then the index
// record's protection class (writers have been seen to disagree).
std::optional<SecretBytes> FileKey(const FileEntry& entry, bool preferRecordClass,
                                   const std::map<uint32_t, SecretBytes>& classKeys,
                                   const DecryptEvents& events) {
  if (entry.encryptionKey.size() != kWrappedKeyBlob) return std::nullopt;
  const uint32_t prefixClass = LittleEndian32(entry.encryptionKey.data());
  const ByteView wrapped(entry.encryptionKey.data() + 4, kWrappedKeyBlob - 4);
  std::vector<uint32_t> order = {prefixClass};
  if (entry.protectionClass && *entry.protectionClass != prefixClass) {
    if (preferRecordClass) {
      order.insert(order.begin(), *entry.protectionClass);
    } else {
      order.push_back(*entry.protectionClass);
    }
  }
  for (uint32_t cls : order) {
    const auto found = classKeys.find(cls);
    if (found == classKeys.end()) continue;
    if (auto key = AesKeyUnwrap(found->second.view(), wrapped)) {
      if (order.size() > 1) {
        Note(events, entry.fileID + ": key class " + std::to_string(prefixClass) +
                         " and record class " + std::to_string(*entry.protectionClass) +
                         " differ; class " + std::to_string(cls) + " opened it");
      }
      return key;
    }
  }
  return std::nullopt;
}

DecryptStatus CopyFile(const fs::path& in, const fs::path& out, const DecryptEvents& events) {
  Fd src(OpenInput(in));
  if (src.fd < 0) return DecryptStatus::kBackupUnreadable;
  Fd dst(OpenOutput(out));
  if (dst.fd < 0) return DecryptStatus::kOutputUnwritable;
  std::vector<uint8_t> buffer(kChunk);
  for (;;) {
    if (StopRequested(events)) return DecryptStatus::kStopRequested;
    const ssize_t n = read(src.fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return DecryptStatus::kBackupUnreadable;
    if (n == 0) break;
    if (!WriteAll(dst.fd, buffer.data(), static_cast<size_t>(n)))
      return DecryptStatus::kOutputUnwritable;
  }
  return close(std::exchange(dst.fd, -1)) == 0 ? DecryptStatus::kDone
                                               : DecryptStatus::kOutputUnwritable;
}

}  // namespace

bool IsFileId(std::string_view text) {
  if (text.size() != 40) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

DecryptStatus DecryptDataFile(const fs::path& in, const fs::path& out, ByteView key,
                              const DecryptEvents& events, CbcEnding& ending) {
  ending = {};
  Fd src(OpenInput(in));
  if (src.fd < 0) return DecryptStatus::kBackupUnreadable;
  CbcStreamDecryptor decryptor;
  if (!decryptor.Start(key)) return DecryptStatus::kBackupUnreadable;
  Fd dst(OpenOutput(out));
  if (dst.fd < 0) return DecryptStatus::kOutputUnwritable;
  std::vector<uint8_t> buffer(kChunk);
  Bytes plain;
  plain.reserve(kChunk + 32);
  for (;;) {
    if (StopRequested(events)) return DecryptStatus::kStopRequested;
    const ssize_t n = read(src.fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return DecryptStatus::kBackupUnreadable;
    if (n == 0) break;
    plain.clear();
    if (!decryptor.Update(ByteView(buffer.data(), static_cast<size_t>(n)), plain)) {
      return DecryptStatus::kBackupUnreadable;
    }
    if (!WriteAll(dst.fd, plain.data(), plain.size())) return DecryptStatus::kOutputUnwritable;
  }
  plain.clear();
  decryptor.Finish(plain, ending);
  if (!WriteAll(dst.fd, plain.data(), plain.size())) return DecryptStatus::kOutputUnwritable;
  return close(std::exchange(dst.fd, -1)) == 0 ? DecryptStatus::kDone
                                               : DecryptStatus::kOutputUnwritable;
}

DecryptStatus DecryptBackup(const DecryptRequest& request, const DecryptEvents& events,
                            DecryptSummary& summary) {
  summary = {};
  std::error_code ec;
  const fs::path& backup = request.backupFolder;

  // 1. Manifest.plist and the keybag.
  const auto manifestPlist = ReadManifestPlist(backup / "Manifest.plist");
  if (!manifestPlist) {
    Note(events, "Manifest.plist is missing or not a property list");
    return DecryptStatus::kNotDecryptable;
  }
  if (!manifestPlist->isEncrypted) {
    Note(events, "the backup is not encrypted (Manifest.plist: IsEncrypted is not true)");
    return DecryptStatus::kNotDecryptable;
  }
  Keybag bag;
  std::string error;
  if (!ParseKeybag(manifestPlist->keybag, bag, &error)) {
    Note(events, error);
    return DecryptStatus::kNotDecryptable;
  }

  const bool mbdb = fs::exists(backup / "Manifest.mbdb", ec);
  const bool manifestDb = !mbdb && fs::exists(backup / "Manifest.db", ec);
  if (!mbdb && !manifestDb) {
    Note(events, "the backup has neither Manifest.mbdb nor Manifest.db");
    return DecryptStatus::kBadManifest;
  }

  // 2. The password: key derivation, class keys.
  int lastShown = -1;
  bool stopped = false;
  auto kek = DeriveKekWithProgress(
      bag, request.password.view(),
      [&](int percent) {
        if (percent / 10 != lastShown / 10) {
          lastShown = percent;
          Note(events, "Deriving key: " + std::to_string(percent) + "%");
        }
        return !StopRequested(events);
      },
      stopped);
  if (stopped) return DecryptStatus::kStopRequested;
  if (!kek) {
    Note(events, "the keybag's iteration counts are not usable");
    return DecryptStatus::kNotDecryptable;
  }
  if (bag.DoubleDerivation()) Note(events, "Deriving key: 100%");
  std::map<uint32_t, SecretBytes> classKeys;
  switch (UnlockClassKeys(bag, *kek, classKeys)) {
    case UnlockStatus::kWrongPassword:
      Protocol(events, "Wrong password");
      return DecryptStatus::kPasswordWrong;
    case UnlockStatus::kNoPasswordKeys:
      Note(events, "the keybag holds no key protected by the password");
      return DecryptStatus::kNotDecryptable;
    case UnlockStatus::kOk:
      break;
  }

  // 3. The index, decrypted in memory before anything is written.
  Bytes plainIndex;
  if (manifestDb) {
    const auto stored = ReadWhole(backup / "Manifest.db", kMaxManifestDb);
    if (!stored) {
      Note(events, "cannot read Manifest.db");
      return DecryptStatus::kBackupUnreadable;
    }
    if (!manifestPlist->manifestKey.empty()) {
      const Bytes& mk = manifestPlist->manifestKey;
      if (mk.size() != kWrappedKeyBlob) {
        Note(events, "ManifestKey is not 44 bytes");
        return DecryptStatus::kBadManifest;
      }
      const auto classKey = classKeys.find(LittleEndian32(mk.data()));
      std::optional<SecretBytes> dbKey;
      if (classKey != classKeys.end()) {
        dbKey = AesKeyUnwrap(classKey->second.view(), ByteView(mk.data() + 4, kWrappedKeyBlob - 4));
      }
      if (!dbKey) {
        Note(events, "the index key does not unwrap");
        return DecryptStatus::kBadManifest;
      }
      CbcEnding ending;
      AesCbcDecryptAll(dbKey->view(), *stored, plainIndex, ending);
      if (ending.truncated || ending.badPadding) {
        Note(events, "Manifest.db is damaged: its decrypted bytes are kept as they are");
      }
    } else {
      plainIndex = *stored;  // iOS 10.0-10.1: the index itself is plain
    }
    static const char kSqliteHeader[] = "SQLite format 3";  // with its terminating zero
    if (plainIndex.size() < sizeof kSqliteHeader ||
        std::memcmp(plainIndex.data(), kSqliteHeader, sizeof kSqliteHeader) != 0) {
      Note(events, "Manifest.db is not a database after decryption");
      return DecryptStatus::kBadManifest;
    }
  }

  // 4. From here on the output folder is written.
  fs::create_directories(request.outputFolder, ec);
  if (!fs::is_directory(request.outputFolder, ec)) {
    Note(events, "cannot create the output folder");
    return DecryptStatus::kOutputUnwritable;
  }
  std::vector<FileEntry> entries;
  if (manifestDb) {
    const fs::path index = request.outputFolder / "Manifest.db-decypted";
    Fd out(OpenOutput(index));
    if (out.fd < 0 || !WriteAll(out.fd, plainIndex.data(), plainIndex.size()) ||
        close(std::exchange(out.fd, -1)) != 0) {
      Note(events, "cannot write Manifest.db-decypted");
      return DecryptStatus::kOutputUnwritable;
    }
    plainIndex = Bytes();
    if (!ReadManifestDbEntries(index, entries, error)) {
      Note(events, error);
      return DecryptStatus::kBadManifest;
    }
  } else {
    if (!ReadMbdbEntries(backup / "Manifest.mbdb", entries, error)) {
      Note(events, error);
      return DecryptStatus::kBadManifest;
    }
    if (!error.empty()) Note(events, error);
  }

  // 5. The data files.
  summary.files = static_cast<int64_t>(entries.size());
  Protocol(events, "Count: 0");
  int64_t done = 0;
  for (const auto& entry : entries) {
    if (StopRequested(events)) return DecryptStatus::kStopRequested;
    ++done;
    if (!IsFileId(entry.fileID)) {
      // Never turn an index value into a path outside the output folder.
      Note(events, "skipped a row whose file id is not 40 hex digits");
      ++summary.undecryptable;
      Protocol(events, "Count: " + std::to_string(done));
      continue;
    }
    fs::path source = backup / entry.fileID.substr(0, 2) / entry.fileID;
    if (mbdb || !fs::is_regular_file(source, ec)) source = backup / entry.fileID;
    if (!fs::is_regular_file(source, ec)) {
      Note(events, entry.fileID + ": data file missing");
      ++summary.missing;
      Protocol(events, "Count: " + std::to_string(done));
      continue;
    }
    const fs::path target = request.outputFolder / entry.fileID;
    DecryptStatus status;
    CbcEnding ending;
    if (entry.encryptionKey.empty()) {
      status = CopyFile(source, target, events);  // a file the backup left unencrypted
    } else if (auto key = FileKey(entry, mbdb, classKeys, events)) {
      status = DecryptDataFile(source, target, key->view(), events, ending);
    } else {
      Note(events, entry.fileID + ": its key does not unwrap; not written");
      ++summary.undecryptable;
      Protocol(events, "Count: " + std::to_string(done));
      continue;
    }
    if (status == DecryptStatus::kBackupUnreadable) {
      // One unreadable file does not cost the others.
      Note(events, entry.fileID + ": cannot be read; not written");
      std::filesystem::remove(target, ec);
      ++summary.unreadable;
      Protocol(events, "Count: " + std::to_string(done));
      continue;
    }
    if (status != DecryptStatus::kDone) return status;
    ++summary.decrypted;
    if (ending.truncated || ending.badPadding) {
      ++summary.damaged;
      Note(events, entry.fileID + (ending.truncated ? ": truncated" : ": bad padding") + "; all " +
                       std::to_string(ending.plainBytes) + " decrypted bytes kept");
    }
    if (!entry.encryptionKey.empty() && entry.recordedSize &&
        *entry.recordedSize != ending.plainBytes) {
      ++summary.sizeMismatches;
      Note(events, entry.fileID + ": recorded size " + std::to_string(*entry.recordedSize) +
                       ", decrypted " + std::to_string(ending.plainBytes));
    }
    Protocol(events, "Count: " + std::to_string(done));
  }
  return DecryptStatus::kDone;
}

}  // namespace halvern
