// The device backup driver. After the Backup request the phone drives: it sends DL messages
// (send me these files, take these files, free space, list, create, move, remove, copy) and
// this computer serves each one on its own disk and answers with a status response. Files
// travel inside the mobilebackup2 stream in a raw framing of their own; all lengths are
// unsigned 32-bit big-endian:
//
//   computer -> phone, per requested file   | phone -> computer, per file
//   ----------------------------------------+------------------------------------------------
//   u32 n, n bytes: the path as asked for   | u32 n, n bytes: the phone-side name
//   blocks: u32 (k + 1), 0x0C, k bytes      | u32 n, n bytes: the backup-relative name
//   end: u32 1, 0x00  (or u32 (t + 1),      | blocks: u32 (k + 1), 0x0C, k bytes ...
//        0x06, t bytes of error text)       | end: u32 1, 0x00; or u32 (t + 1), 0x0B, text
//   after the last file: u32 0              | u32 0 in place of a name ends the transfer
//
// A zero-byte raw read means either the library's receive timeout or a closed connection;
// the reader retries while the phone is still attached, so a slow phone does not put the
// stream out of step.
#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <thread>
#include <vector>

#include "device/device_session.h"
#include "device/session_impl.h"
#include "engine/quit_counter.h"

namespace halvern {

namespace fs = std::filesystem;
using namespace device;

namespace {

constexpr uint32_t kBlockSize = 32768;
constexpr uint32_t kMaxNameLength = 4096;
constexpr uint8_t kCodeSuccess = 0x00;
constexpr uint8_t kCodeErrorLocal = 0x06;
constexpr uint8_t kCodeErrorRemote = 0x0B;
constexpr uint8_t kCodeFileData = 0x0C;
constexpr int kMaxMisses = 10;
constexpr int64_t kMacEpoch = 978307200;  // 2001-01-01 in Unix seconds
// A receive that brings nothing sooner than this came from a closed connection, not from the
// library's receive timeout.
constexpr auto kFastEmptyReceive = std::chrono::milliseconds(1000);

// errno to the phone's file error codes.
int32_t DeviceError(int error) {
  if (error == ENOENT) return -6;
  if (error == EEXIST) return -7;
  return -error;
}

// Files of the iTunes folder on the phone that go into Info.plist when readable.
constexpr const char* kITunesFiles[] = {
    "ApertureAlbumPrefs", "IC-Info.sidb",      "IC-Info.sidv",     "PhotosFolderAlbums",
    "PhotosFolderName",   "PhotosFolderPrefs", "iPhotoAlbumPrefs", "iTunesApplicationIDs",
    "iTunesPrefs",        "iTunesPrefs.plist"};

void CopyKey(plist_t from, const char* fromKey, plist_t to, const char* toKey) {
  plist_t node = from ? plist_dict_get_item(from, fromKey) : nullptr;
  if (node) plist_dict_set_item(to, toKey, plist_copy(node));
}

// Removes a folder with everything in it: 0 or the errno of the first failure.
int RemoveTree(const fs::path& folder) {
  std::error_code ec;
  fs::remove_all(folder, ec);
  return ec ? ec.value() : 0;
}

}  // namespace

// One run of the message loop with its handlers.
class BackupDriver {
 public:
  BackupDriver(DeviceSession& session, const fs::path* directory)
      : s_(session), client_(session.impl_->backup.get()), dir_(directory) {}

  int32_t Run();

 private:
  enum class Name { kName, kEnd };

  // Raw stream.
  bool SendAll(const void* data, size_t size);
  bool SendBlock(uint8_t code, const char* data, uint32_t size);
  bool ReceiveExact(void* data, uint32_t size);
  bool ReceiveU32(uint32_t& value);
  Name ReceiveName(std::string& out);
  bool Discard(uint32_t size);

  // Where a phone path lies on this computer; false for a path that leaves the backup folder.
  bool LocalPath(const std::string& relative, fs::path& out) const;
  void UpdateProgress(plist_t message, uint32_t index);
  int32_t Status(int32_t code, const char* text, plist_t value);

  void DownloadFiles(plist_t message);
  int SendFile(const std::string& path, Plist& errors);  // 0 sent, 1 local failure, -1 broken
  void UploadFiles(plist_t message);
  void FreeDiskSpace();
  void ContentsOfDirectory(plist_t message);
  void CreateDirectory(plist_t message);
  void MoveItems(plist_t message);
  void RemoveItems(plist_t message);
  void CopyItem(plist_t message);
  void ProcessMessage(plist_t message);

  DeviceSession& s_;
  mobilebackup2_client_t client_;
  const fs::path* dir_;  // null for a loop without a backup folder (password change)
  double overallProgress_ = 0.0;
  int32_t result_ = 0;
  int emptyRawReads_ = 0;
};

bool BackupDriver::SendAll(const void* data, size_t size) {
  const char* bytes = static_cast<const char*>(data);
  while (size > 0) {
    uint32_t sent = 0;
    const uint32_t piece = static_cast<uint32_t>(std::min<size_t>(size, kBlockSize + 5));
    if (mobilebackup2_send_raw(client_, bytes, piece, &sent) != MOBILEBACKUP2_E_SUCCESS ||
        sent == 0) {
      return false;
    }
    if (sent < piece) std::printf("Error: sent only %u of %u bytes\n", sent, piece);
    bytes += sent;
    size -= sent;
  }
  return true;
}

bool BackupDriver::SendBlock(uint8_t code, const char* data, uint32_t size) {
  std::vector<char> block(5 + size);
  const uint32_t length = htonl(size + 1);
  std::memcpy(block.data(), &length, 4);
  block[4] = static_cast<char>(code);
  if (size) std::memcpy(block.data() + 5, data, size);
  return SendAll(block.data(), block.size());
}

bool BackupDriver::ReceiveExact(void* data, uint32_t size) {
  char* bytes = static_cast<char*>(data);
  uint32_t done = 0;
  while (done < size) {
    uint32_t got = 0;
    const auto started = std::chrono::steady_clock::now();
    const mobilebackup2_error_t error =
        mobilebackup2_receive_raw(client_, bytes + done, size - done, &got);
    if (error == MOBILEBACKUP2_E_SUCCESS && got > 0) {
      done += got;
      emptyRawReads_ = 0;
      continue;
    }
    // Nothing came: a slow phone, or one that is gone. Retry while it is still attached.
    if (QuitCounter.load() > 0) return false;
    if (!s_.HasDevice() || !DeviceSession::IsDeviceAttached()) {
      ++QuitCounter;
      return false;
    }
    if (++emptyRawReads_ > kMaxMisses) {
      std::printf("ERROR: the device sent nothing for too long\n");
      ++QuitCounter;
      return false;
    }
    if (std::chrono::steady_clock::now() - started < kFastEmptyReceive) {
      std::this_thread::sleep_for(kFastEmptyReceive);
    }
  }
  return true;
}

bool BackupDriver::ReceiveU32(uint32_t& value) {
  uint32_t raw = 0;
  if (!ReceiveExact(&raw, 4)) return false;
  value = ntohl(raw);
  return true;
}

BackupDriver::Name BackupDriver::ReceiveName(std::string& out) {
  uint32_t length = 0;
  if (!ReceiveU32(length) || length == 0) return Name::kEnd;
  if (length > kMaxNameLength) {
    std::printf("ERROR: %s: too large filename length (%u)!\n", __func__, length);
    return Name::kEnd;
  }
  out.assign(length, '\0');
  if (!ReceiveExact(out.data(), length)) {
    std::printf("ERROR: %s: could not read filename\n", __func__);
    return Name::kEnd;
  }
  return Name::kName;
}

bool BackupDriver::Discard(uint32_t size) {
  char buffer[4096];
  while (size > 0) {
    const uint32_t piece = std::min<uint32_t>(size, sizeof(buffer));
    if (!ReceiveExact(buffer, piece)) return false;
    size -= piece;
  }
  return true;
}

bool BackupDriver::LocalPath(const std::string& relative, fs::path& out) const {
  if (!dir_ || relative.empty()) return false;
  const fs::path path(relative);
  if (path.is_absolute()) return false;
  for (const auto& part : path) {
    if (part == "..") return false;
  }
  out = *dir_ / path;
  return true;
}

void BackupDriver::UpdateProgress(plist_t message, uint32_t index) {
  double value = 0.0;
  if (plist_array_get_size(message) <= index) return;
  if (!PlistReal(plist_array_get_item(message, index), value)) return;
  if (value > 0.0 && value - overallProgress_ < 99.0) overallProgress_ = value;
}

int32_t BackupDriver::Status(int32_t code, const char* text, plist_t value) {
  const int32_t sent = mobilebackup2_send_status_response(client_, code, text, value);
  if (value) plist_free(value);
  if (sent != MOBILEBACKUP2_E_SUCCESS)
    std::printf("Could not send status response, error %d\n", sent);
  return sent;
}

// ----- DLMessageDownloadFiles: the phone asks for files of the backup folder ------------------

int BackupDriver::SendFile(const std::string& path, Plist& errors) {
  const uint32_t nameLength = htonl(static_cast<uint32_t>(path.size()));
  if (!SendAll(&nameLength, 4) || !SendAll(path.data(), path.size())) return -1;

  int error = 0;
  fs::path local;
  if (!LocalPath(path, local)) {
    error = ENOENT;
  } else {
    struct stat st {};
    if (stat(local.c_str(), &st) != 0) {
      error = errno;
      if (error != ENOENT) {
        std::printf("%s: stat failed on '%s': %d\n", __func__, local.c_str(), error);
      }
    } else if (st.st_size > 0) {
      FILE* file = std::fopen(local.c_str(), "rb");
      if (!file) {
        error = errno;
        std::printf("%s: Error opening local file '%s': %d\n", __func__, local.c_str(), error);
      } else {
        std::vector<char> buffer(kBlockSize);
        int64_t sent = 0;
        while (sent < st.st_size) {
          // The block is read before its header goes out, so a failed read never leaves a
          // promised block unsent.
          const size_t got = std::fread(buffer.data(), 1, buffer.size(), file);
          if (got == 0) {
            std::printf("%s: read error\n", __func__);
            error = std::ferror(file) ? (errno ? errno : EIO) : EIO;
            break;
          }
          if (!SendBlock(kCodeFileData, buffer.data(), static_cast<uint32_t>(got))) {
            std::fclose(file);
            return -1;
          }
          sent += static_cast<int64_t>(got);
        }
        std::fclose(file);
      }
    }
  }

  if (error == 0) return SendBlock(kCodeSuccess, nullptr, 0) ? 0 : -1;
  if (!errors) errors = Plist(plist_new_dict());
  const char* text = std::strerror(error);
  plist_t entry = plist_new_dict();
  plist_dict_set_item(entry, "DLFileErrorString", plist_new_string(text));
  plist_dict_set_item(
      entry, "DLFileErrorCode",
      plist_new_uint(static_cast<uint64_t>(static_cast<int64_t>(DeviceError(error)))));
  plist_dict_set_item(errors.get(), path.c_str(), entry);
  if (!SendBlock(kCodeErrorLocal, text, static_cast<uint32_t>(std::strlen(text)))) {
    std::printf("could not send message\n");
    return -1;
  }
  return 1;
}

void BackupDriver::DownloadFiles(plist_t message) {
  UpdateProgress(message, 3);
  plist_t files = plist_array_get_size(message) > 1 ? plist_array_get_item(message, 1) : nullptr;
  Plist errors;
  if (files && plist_get_node_type(files) == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(files); ++i) {
      std::string path;
      if (!PlistString(plist_array_get_item(files, i), path)) continue;
      // A file that failed here is reported in the error dictionary and the list goes on, so
      // every requested file is either sent or answered with its error.
      if (SendFile(path, errors) < 0) break;
    }
  }
  const uint32_t zero = 0;
  SendAll(&zero, 4);
  if (errors) {
    result_ = Status(-13, "Multi status", errors.Release());
  } else {
    result_ = Status(0, nullptr, plist_new_dict());
  }
}

// ----- DLMessageUploadFiles: the phone sends files into the backup folder ---------------------

void BackupDriver::UploadFiles(plist_t message) {
  UpdateProgress(message, 2);
  int32_t errorCode = 0;
  std::string errorText;
  fs::path partial;  // a file whose data stopped midway
  bool broken = false;

  while (QuitCounter.load() <= 0) {
    std::string deviceName, backupName;
    if (ReceiveName(deviceName) == Name::kEnd) break;
    if (ReceiveName(backupName) == Name::kEnd) break;
    uint32_t length = 0;
    if (!ReceiveU32(length)) {
      std::printf("ERROR: %s: could not receive code length!\n", __func__);
      broken = true;
      break;
    }
    if (length == 0) break;
    uint8_t code = 0;
    if (!ReceiveExact(&code, 1)) {
      std::printf("ERROR: %s: could not receive code!\n", __func__);
      broken = true;
      break;
    }

    fs::path local;
    FILE* file = nullptr;
    int openError = EACCES;
    if (LocalPath(backupName, local)) {
      ::unlink(local.c_str());
      file = std::fopen(local.c_str(), "wb");
      openError = file ? 0 : errno;
    }
    if (!file) {
      // The blocks of a file that cannot be written are still read, so the stream stays in
      // step and the files after it arrive.
      std::printf("Error opening '%s' for writing: %s\n", local.c_str(), std::strerror(openError));
      if (errorCode == 0) {
        errorCode = DeviceError(openError);
        errorText = std::strerror(openError);
      }
    }

    uint8_t lastCode = 0xFF;
    bool endOfTransfer = false;
    std::vector<char> buffer(kBlockSize);
    while (code == kCodeFileData) {
      uint32_t remaining = length - 1;
      while (remaining > 0) {
        const uint32_t piece = std::min<uint32_t>(remaining, kBlockSize);
        if (!ReceiveExact(buffer.data(), piece)) {
          broken = true;
          break;
        }
        if (file && std::fwrite(buffer.data(), 1, piece, file) != piece && errorCode == 0) {
          errorCode = DeviceError(errno ? errno : EIO);
          errorText = std::strerror(errno ? errno : EIO);
        }
        remaining -= piece;
      }
      if (broken || QuitCounter.load() > 0) {
        broken = true;
        break;
      }
      if (!ReceiveU32(length)) {
        broken = true;
        break;
      }
      if (length == 0) {
        endOfTransfer = true;
        break;
      }
      lastCode = code;
      if (!ReceiveExact(&code, 1)) {
        broken = true;
        break;
      }
    }
    if (file) std::fclose(file);
    if (broken) {
      if (file) partial = local;
      break;
    }
    if (endOfTransfer) break;
    if (code == kCodeErrorRemote) {
      std::string text(length - 1, '\0');
      if (!ReceiveExact(text.data(), length - 1)) {
        broken = true;
        break;
      }
      // After data blocks this block only ends the file.
      if (lastCode != kCodeFileData) {
        std::printf("\nReceived an error message from device: %s\n", text.c_str());
      }
    } else if (length > 1 && !Discard(length - 1)) {
      broken = true;
      break;
    }
  }
  // A file cut short is not kept: what is on disk is not what the phone has.
  if (!partial.empty()) ::unlink(partial.c_str());
  if (broken && QuitCounter.load() > 0) return;  // the loop ends; the stream is gone
  result_ = Status(errorCode, errorCode ? errorText.c_str() : nullptr, plist_new_dict());
}

// ----- The folder messages --------------------------------------------------------------------

void BackupDriver::FreeDiskSpace() {
  struct statvfs fsInfo {};
  uint64_t freeBytes = 0;
  int32_t code = -1;
  if (dir_ && statvfs(dir_->c_str(), &fsInfo) == 0) {
    freeBytes = static_cast<uint64_t>(fsInfo.f_bavail) * fsInfo.f_frsize;
    code = 0;
  }
  result_ = Status(code, nullptr, plist_new_uint(freeBytes));
}

void BackupDriver::ContentsOfDirectory(plist_t message) {
  std::string relative;
  if (plist_array_get_size(message) < 2 ||
      !PlistString(plist_array_get_item(message, 1), relative)) {
    std::printf("ERROR: Malformed DLContentsOfDirectory message\n");
    return;
  }
  plist_t listing = plist_new_dict();
  fs::path folder;
  std::error_code ec;
  if (LocalPath(relative, folder)) {
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
      struct stat st {};
      const std::string name = it->path().filename().string();
      if (lstat(it->path().c_str(), &st) != 0) continue;
      const char* type = S_ISDIR(st.st_mode)   ? "DLFileTypeDirectory"
                         : S_ISREG(st.st_mode) ? "DLFileTypeRegular"
                                               : "DLFileTypeUnknown";
      plist_t entry = plist_new_dict();
      plist_dict_set_item(entry, "DLFileType", plist_new_string(type));
      plist_dict_set_item(entry, "DLFileSize", plist_new_uint(static_cast<uint64_t>(st.st_size)));
      plist_dict_set_item(entry, "DLFileModificationDate",
                          plist_new_date(static_cast<int32_t>(st.st_mtime - kMacEpoch), 0));
      plist_dict_set_item(listing, name.c_str(), entry);
    }
  }
  result_ = Status(0, nullptr, listing);
}

void BackupDriver::CreateDirectory(plist_t message) {
  std::string relative;
  fs::path folder;
  if (plist_array_get_size(message) > 1 &&
      PlistString(plist_array_get_item(message, 1), relative) && LocalPath(relative, folder)) {
    std::error_code ec;
    fs::create_directories(folder, ec);
  }
  result_ = Status(0, nullptr, nullptr);
}

void BackupDriver::MoveItems(plist_t message) {
  UpdateProgress(message, 3);
  plist_t moves = plist_array_get_size(message) > 1 ? plist_array_get_item(message, 1) : nullptr;
  int32_t code = 0;
  std::string text;
  plist_dict_iter iter = nullptr;
  if (moves && plist_get_node_type(moves) == PLIST_DICT) plist_dict_new_iter(moves, &iter);
  if (!iter) {
    code = -1;
    text = "Could not create dict iterator";
    std::printf("%s\n", text.c_str());
  } else {
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(moves, iter, &key, &value);
      if (!key) break;
      const std::string from = key;
      std::free(key);
      std::string to;
      fs::path oldPath, newPath;
      if (!PlistString(value, to)) continue;
      if (!LocalPath(from, oldPath) || !LocalPath(to, newPath)) {
        code = DeviceError(EACCES);
        text = std::strerror(EACCES);
        break;
      }
      std::error_code ec;
      if (fs::is_directory(newPath, ec)) {
        RemoveTree(newPath);
      } else {
        ::unlink(newPath.c_str());
      }
      if (std::rename(oldPath.c_str(), newPath.c_str()) != 0) {
        const int error = errno;
        std::printf("Renameing '%s' to '%s' failed: %s (%d)\n", oldPath.c_str(), newPath.c_str(),
                    std::strerror(error), error);
        code = DeviceError(error);
        text = std::strerror(error);
        break;
      }
    }
    std::free(iter);
  }
  result_ = Status(code, text.empty() ? nullptr : text.c_str(), plist_new_dict());
}

void BackupDriver::RemoveItems(plist_t message) {
  UpdateProgress(message, 3);
  plist_t items = plist_array_get_size(message) > 1 ? plist_array_get_item(message, 1) : nullptr;
  int32_t code = 0;
  std::string text;
  if (items && plist_get_node_type(items) == PLIST_ARRAY) {
    for (uint32_t i = 0; i < plist_array_get_size(items); ++i) {
      std::string relative;
      fs::path path;
      if (!PlistString(plist_array_get_item(items, i), relative)) continue;
      int error = 0;
      if (!LocalPath(relative, path)) {
        error = EACCES;
      } else {
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
          error = RemoveTree(path);
        } else if (::unlink(path.c_str()) != 0) {
          error = errno;
        }
      }
      if (error != 0 && error != ENOENT) {
        code = DeviceError(error);
        text = std::strerror(error);
      }
    }
  }
  result_ = Status(code, text.empty() ? nullptr : text.c_str(), plist_new_dict());
}

void BackupDriver::CopyItem(plist_t message) {
  std::string source, destination;
  if (plist_array_get_size(message) < 3 || !PlistString(plist_array_get_item(message, 1), source) ||
      !PlistString(plist_array_get_item(message, 2), destination)) {
    return;
  }
  int32_t code = 0;
  std::string text;
  fs::path from, to;
  std::error_code ec;
  if (!LocalPath(source, from) || !LocalPath(destination, to)) {
    ec = std::make_error_code(std::errc::permission_denied);
  } else if (fs::is_directory(from, ec)) {
    // A folder is copied with everything in it; a copy that fails is reported to the phone.
    fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing, ec);
  } else if (fs::is_regular_file(from, ec)) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  } else if (!ec) {
    ec = std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (ec) {
    std::printf("Cannot copy '%s' to '%s': %s\n", source.c_str(), destination.c_str(),
                ec.message().c_str());
    code = DeviceError(ec.value());
    text = std::strerror(ec.value());
  }
  result_ = Status(code, text.empty() ? nullptr : text.c_str(), plist_new_dict());
}

void BackupDriver::ProcessMessage(plist_t message) {
  plist_t content = plist_array_get_size(message) > 1 ? plist_array_get_item(message, 1) : nullptr;
  if (!content || plist_get_node_type(content) != PLIST_DICT) return;
  plist_t codeNode = plist_dict_get_item(content, "ErrorCode");
  if (codeNode && plist_get_node_type(codeNode) == PLIST_UINT) {
    uint64_t code = 0;
    plist_get_uint_val(codeNode, &code);
    result_ = code == 0 ? 0 : -static_cast<int32_t>(code);
    std::string description;
    if (code != 0 && PlistString(plist_dict_get_item(content, "ErrorDescription"), description)) {
      std::printf("ErrorCode %llu: %s\n", static_cast<unsigned long long>(code),
                  description.c_str());
    }
  }
  std::string text;
  if (PlistString(plist_dict_get_item(content, "Content"), text)) std::printf("%s\n", text.c_str());
}

// ----- The message loop -----------------------------------------------------------------------

int32_t BackupDriver::Run() {
  overallProgress_ = 0.0;
  QuitCounter = 0;
  result_ = 0;
  int misses = 0;

  for (;;) {
    Plist message;
    char* rawName = nullptr;
    const auto started = std::chrono::steady_clock::now();
    mobilebackup2_receive_message(client_, message.out(), &rawName);
    CString name = TakeCString(rawName);

    if (!message || !name) {
      const bool fast = std::chrono::steady_clock::now() - started < kFastEmptyReceive;
      std::this_thread::sleep_for(std::chrono::milliseconds(s_.emptyReceiveWaitMs));
      // Asked afresh each time: a phone that is busy answers, one that is gone does not.
      const DeviceSession::Presence presence = s_.ProbeDevice();
      if (presence == DeviceSession::Presence::kGone) {
        ++QuitCounter;
      } else if (presence == DeviceSession::Presence::kSilent || fast) {
        if (++misses > kMaxMisses) ++QuitCounter;
      } else {
        misses = 0;
      }
    } else {
      misses = 0;
      const std::string dl = name.get();
      if (dl == "DLMessageDisconnect") break;
      if (dl == "DLMessageProcessMessage") {
        ProcessMessage(message.get());
        break;
      }
      if (dl == "DLMessageDownloadFiles") {
        DownloadFiles(message.get());
      } else if (dl == "DLMessageUploadFiles") {
        UploadFiles(message.get());
      } else if (dl == "DLMessageGetFreeDiskSpace") {
        FreeDiskSpace();
      } else if (dl == "DLContentsOfDirectory") {
        ContentsOfDirectory(message.get());
      } else if (dl == "DLMessageCreateDirectory") {
        CreateDirectory(message.get());
      } else if (dl == "DLMessageMoveFiles" || dl == "DLMessageMoveItems") {
        MoveItems(message.get());
      } else if (dl == "DLMessageRemoveFiles" || dl == "DLMessageRemoveItems") {
        RemoveItems(message.get());
      } else if (dl == "DLMessageCopyItem") {
        CopyItem(message.get());
      }
      if (s_.progressCallback_) {
        const int32_t percent = static_cast<int32_t>(s_.progressWeight_ * overallProgress_ / 100.0);
        const int32_t answer = s_.progressCallback_(s_.progressUserData_, percent);
        if (answer != 0) {
          result_ = answer;
          break;
        }
      }
    }
    if (QuitCounter.load() > 0) {
      result_ = kDeviceGone;
      break;
    }
  }
  s_.ReleaseSyncLock();
  return result_;
}

// ----- DeviceSession: the backup operations ---------------------------------------------------

int32_t DeviceSession::RunMessageLoop(const fs::path* backupDirectory) {
  return BackupDriver(*this, backupDirectory).Run();
}

void DeviceSession::SetProgressHook(ProgressCallback callback, void* userData, int32_t weight) {
  progressCallback_ = callback;
  progressUserData_ = userData;
  progressWeight_ = weight;
}

fs::path DeviceSession::GetBackupFolder() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return backupFolder_;
}

namespace {

// A device file read whole through AFC; false when missing, empty or not read completely.
bool ReadDeviceFile(afc_client_t afc, const std::string& path, std::string& data) {
  if (!afc) return false;
  char** rawInfo = nullptr;
  if (afc_get_file_info(afc, path.c_str(), &rawInfo) != AFC_E_SUCCESS || !rawInfo) return false;
  AfcDictionary info(rawInfo);
  uint64_t size = 0;
  for (char** item = rawInfo; item[0] && item[1]; item += 2) {
    if (std::strcmp(item[0], "st_size") == 0) size = std::strtoull(item[1], nullptr, 10);
  }
  if (size == 0 || size > (64u << 20)) return false;
  uint64_t handle = 0;
  if (afc_file_open(afc, path.c_str(), AFC_FOPEN_RDONLY, &handle) != AFC_E_SUCCESS) return false;
  data.assign(size, '\0');
  uint64_t done = 0;
  while (done < size) {
    uint32_t got = 0;
    const uint32_t want = static_cast<uint32_t>(std::min<uint64_t>(size - done, kBlockSize));
    if (afc_file_read(afc, handle, data.data() + done, want, &got) != AFC_E_SUCCESS || got == 0) {
      break;
    }
    done += got;
  }
  afc_file_close(afc, handle);
  return done == size;
}

}  // namespace

int32_t DeviceSession::RunBackupRequest(const fs::path& destination) {
  struct stat st {};
  if (destination.empty() || stat(destination.c_str(), &st) != 0) return kInvalidParameter;
  const std::string id = udid();
  const fs::path folder = destination / id;
  std::error_code ec;
  fs::create_directory(folder, ec);

  // Info.plist is the computer's part of the backup: what lockdown tells about the phone.
  Plist all;
  {
    std::lock_guard<std::mutex> lock(impl_->lockdownMutex);
    if (impl_->lockdown) lockdownd_get_value(impl_->lockdown.get(), nullptr, nullptr, all.out());
  }
  const fs::path infoPath = folder / "Info.plist";
  ::unlink(infoPath.c_str());
  if (all && plist_get_node_type(all.get()) == PLIST_DICT) {
    Plist info(plist_new_dict());
    plist_t d = info.get();
    CopyKey(all.get(), "BuildVersion", d, "Build Version");
    CopyKey(all.get(), "DeviceName", d, "Device Name");
    CopyKey(all.get(), "DeviceName", d, "Display Name");
    plist_dict_set_item(d, "GUID", plist_new_string("---"));
    CopyKey(all.get(), "IntegratedCircuitCardIdentity", d, "ICCID");
    CopyKey(all.get(), "InternationalMobileEquipmentIdentity", d, "IMEI");
    plist_dict_set_item(d, "Last Backup Date",
                        plist_new_date(static_cast<int32_t>(std::time(nullptr) - kMacEpoch), 0));
    plist_t phone = plist_dict_get_item(all.get(), "PhoneNumber");
    if (phone && plist_get_node_type(phone) == PLIST_STRING) {
      plist_dict_set_item(d, "Phone Number", plist_copy(phone));
    }
    CopyKey(all.get(), "ProductType", d, "Product Type");
    CopyKey(all.get(), "ProductVersion", d, "Product Version");
    CopyKey(all.get(), "SerialNumber", d, "Serial Number");
    plist_dict_set_item(d, "Target Identifier", plist_new_string(id.c_str()));
    plist_dict_set_item(d, "Target Type", plist_new_string("Device"));
    std::string upper = id;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    plist_dict_set_item(d, "Unique Identifier", plist_new_string(upper.c_str()));
    std::string data;
    if (ReadDeviceFile(impl_->afc.get(), "/Books/iBooksData2.plist", data)) {
      plist_dict_set_item(d, "iBooks Data 2",
                          plist_new_data(data.data(), static_cast<uint64_t>(data.size())));
    }
    plist_t files = plist_new_dict();
    for (const char* name : kITunesFiles) {
      if (ReadDeviceFile(impl_->afc.get(), std::string("/iTunes_Control/iTunes/") + name, data)) {
        plist_dict_set_item(files, name, plist_new_data(data.data(), data.size()));
      }
    }
    plist_dict_set_item(d, "iTunes Files", files);
    Plist settings;
    {
      std::lock_guard<std::mutex> lock(impl_->lockdownMutex);
      if (impl_->lockdown) {
        lockdownd_get_value(impl_->lockdown.get(), "com.apple.iTunes", nullptr, settings.out());
      }
    }
    plist_dict_set_item(d, "iTunes Settings", settings ? settings.Release() : plist_new_dict());
    plist_dict_set_item(d, "iTunes Version", plist_new_string("10.0.1"));
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(d, &xml, &length);
    CString text = TakeCString(xml);
    std::ofstream(infoPath, std::ios::binary).write(xml ? xml : "", length);
  } else {
    std::ofstream(infoPath, std::ios::binary).flush();
  }

  const mobilebackup2_error_t sent =
      mobilebackup2_send_request(impl_->backup.get(), "Backup", id.c_str(), id.c_str(), nullptr);
  if (sent != MOBILEBACKUP2_E_SUCCESS) return sent;
  return RunMessageLoop(&destination);
}

int32_t DeviceSession::RunBackup(const fs::path& destination, const char* password) {
  std::error_code ec;
  if (!destination.empty()) fs::create_directories(destination, ec);
  idle = false;
  if (willEncrypt) {
    const int32_t removed = RemoveBackupPassword(password);
    if (removed != kOk) {
      idle = true;
      return removed;
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    backupFolder_ = destination / udid_;
  }
  const int32_t result = RunBackupRequest(destination);
  if (result != kOk) PurgeBackupFolder();
  // The phone is left as its owner set it: a password taken off for this backup goes back on,
  // whatever became of the backup.
  if (passwordRemoved_) RestoreBackupPassword();
  idle = true;
  return result;
}

int32_t DeviceSession::RemoveBackupPassword(const char* password) {
  if (!willEncrypt) return kOk;
  if (!password) return kInvalidParameter;
  Plist options(plist_new_dict());
  plist_dict_set_item(options.get(), "TargetIdentifier", plist_new_string(udid().c_str()));
  plist_dict_set_item(options.get(), "OldPassword", plist_new_string(password));
  const mobilebackup2_error_t sent =
      mobilebackup2_send_message(impl_->backup.get(), "ChangePassword", options.get());
  if (sent != MOBILEBACKUP2_E_SUCCESS) return sent;
  const int32_t result = RunMessageLoop(nullptr);
  if (result == kOk) {
    willEncrypt = false;
    removedPassword_ = password;
    passwordRemoved_ = true;
  }
  return result;
}

int32_t DeviceSession::RestoreBackupPassword() {
  if (!passwordRemoved_) return kOk;
  Plist options(plist_new_dict());
  plist_dict_set_item(options.get(), "TargetIdentifier", plist_new_string(udid().c_str()));
  plist_dict_set_item(options.get(), "NewPassword", plist_new_string(removedPassword_.c_str()));
  int32_t result = impl_->backup ? mobilebackup2_send_message(impl_->backup.get(), "ChangePassword",
                                                              options.get())
                                 : kDeviceGone;
  if (result == MOBILEBACKUP2_E_SUCCESS) result = RunMessageLoop(nullptr);
  if (result == kOk) {
    willEncrypt = true;
    passwordRemoved_ = false;
    std::fill(removedPassword_.begin(), removedPassword_.end(), '\0');
    removedPassword_.clear();
  } else {
    std::printf("Could not set the backup password back: %d\n", result);
  }
  passwordRestoreResult_ = result;
  return result;
}

void DeviceSession::KeepBackupFolder() {
  std::lock_guard<std::mutex> lock(mutex_);
  backupFolder_.clear();
}

void DeviceSession::PurgeBackupFolder() {
  const fs::path folder = GetBackupFolder();
  if (folder.empty()) return;
  for (const fs::path& dir : {folder, folder / "Snapshot"}) {
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      if (!name.empty() && name[0] == '.') continue;
      ::unlink(it->path().c_str());  // folders refuse, and stay
    }
  }
  ::rmdir((folder / "Snapshot").c_str());
}

}  // namespace halvern
