// Output files reserved with O_CREAT|O_EXCL, written under a temporary name and renamed.
#include "platform/output_file.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "platform/codes.h"

namespace halvern::platform {

namespace fs = std::filesystem;

namespace {
// Creates `path` exclusively; the descriptor or -1 with errno.
int CreateExclusive(const fs::path& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}
}  // namespace

OutputFile::~OutputFile() { Abort(); }

OutputFile::OutputFile(OutputFile&& other) noexcept { *this = std::move(other); }

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    Abort();
    path_ = std::move(other.path_);
    temp_ = std::move(other.temp_);
    fd_ = other.fd_;
    committed_ = other.committed_;
    unnamed_ = other.unnamed_;
    buffer_ = std::move(other.buffer_);
    error_ = other.error_;
    other.path_.clear();
    other.temp_.clear();
    other.fd_ = -1;
    other.committed_ = false;
    other.unnamed_ = false;
    other.buffer_.clear();
    other.error_ = 0;
  }
  return *this;
}

void OutputFile::CloseFd() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int32_t OutputFile::Reserve(const fs::path& wanted) {
  Abort();
  const fs::path folder = wanted.parent_path();
  const std::string stem = wanted.stem().string();
  const std::string ext = wanted.extension().string();
  fs::path name = wanted;
  int placeholder = -1;
  for (int n = 1; n <= 1000000; ++n) {
    placeholder = CreateExclusive(name);
    if (placeholder >= 0) break;
    // Only a clash moves on to the next name; any other failure is the answer.
    if (errno != EEXIST) return errno;
    name = folder / (stem + "(" + std::to_string(n) + ")" + ext);
  }
  if (placeholder < 0) return EEXIST;
  ::close(placeholder);

  // The suffix only has to differ from other runs' (O_EXCL settles a clash): one generator a
  // thread, seeded once (a random_device opened for every file costs more than the copy).
  thread_local std::mt19937 random{std::random_device{}()};
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".part-%08x", static_cast<unsigned>(random()));
    const fs::path temp = folder / ("." + name.filename().string() + suffix);
    const int fd = CreateExclusive(temp);
    if (fd >= 0) {
      path_ = name;
      temp_ = temp;
      fd_ = fd;
      committed_ = false;
      return 0;
    }
    if (errno != EEXIST) {
      const int e = errno;
      ::unlink(name.c_str());
      return e;
    }
  }
  ::unlink(name.c_str());
  return EEXIST;
}

namespace {
// A file without a name can be linked into a folder through /proc (linkat with AT_EMPTY_PATH
// would need a privilege); without /proc such a file could never be published.
bool CanLinkUnnamedFiles() {
  static const bool can = ::access("/proc/self/fd", X_OK) == 0;
  return can;
}

// The name after `n` clashes: name.ext, name(1).ext, name(2).ext, ...
fs::path NthName(const fs::path& wanted, int n) {
  if (n == 0) return wanted;
  std::string name = wanted.stem().string();
  name += '(';
  name += std::to_string(n);
  name += ')';
  name += wanted.extension().string();
  return wanted.parent_path() / name;
}
}  // namespace

int32_t OutputFile::Open(const fs::path& wanted) {
  Abort();
  if (CanLinkUnnamedFiles()) {
    const fs::path folder = wanted.parent_path().empty() ? fs::path(".") : wanted.parent_path();
    const int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      path_ = wanted;
      fd_ = fd;
      unnamed_ = true;
      return 0;
    }
    // File systems without unnamed files answer EOPNOTSUPP (or EISDIR on older kernels);
    // anything else (no such folder, no permission, no space) is the answer.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  }
  return Reserve(wanted);
}

int32_t OutputFile::Write(std::string_view bytes) {
  if (fd_ < 0) return EBADF;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

namespace {
constexpr size_t kAppendBuffer = 1 << 20;
}  // namespace

int32_t OutputFile::Append(std::string_view bytes) {
  if (error_ != 0) return error_;
  if (buffer_.capacity() < kAppendBuffer) buffer_.reserve(kAppendBuffer);
  if (buffer_.size() + bytes.size() > kAppendBuffer) {
    if (Flush() != 0) return error_;
    // A piece larger than the buffer goes straight to the file.
    if (bytes.size() >= kAppendBuffer) {
      error_ = Write(bytes);
      return error_;
    }
  }
  buffer_.append(bytes);
  return 0;
}

int32_t OutputFile::Flush() {
  if (error_ == 0 && !buffer_.empty()) error_ = Write(buffer_);
  buffer_.clear();
  return error_;
}

int32_t OutputFile::Commit() {
  if (path_.empty() || committed_) return path_.empty() ? EBADF : 0;
  int32_t result = Flush();
  if (unnamed_) {
    // Linked under the first free name; the descriptor is closed after, and a delayed write
    // error then takes the name away again.
    fs::path name;
    if (result == 0) {
      char self[32];
      std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
      result = EEXIST;
      for (int n = 0; n <= 1000000 && result == EEXIST; ++n) {
        name = NthName(path_, n);
        result = ::linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0 ? 0
                                                                                          : errno;
      }
    }
    if (::close(fd_) != 0 && result == 0) {
      result = errno;
      ::unlink(name.c_str());
    }
    fd_ = -1;
    if (result != 0) {
      Abort();
      return result;
    }
    path_ = name;
    committed_ = true;
    return 0;
  }
  if (fd_ >= 0 && ::close(fd_) != 0 && result == 0) result = errno;  // a delayed write error
  fd_ = -1;
  if (result == 0) {
    // The whole file and its placeholder swap names, and the placeholder goes. (A rename over
    // the placeholder would do the same, but ext4 then writes the file out to the disk at once,
    // which makes a recover of many small files several times slower than a copy.)
    if (::renameat2(AT_FDCWD, temp_.c_str(), AT_FDCWD, path_.c_str(), RENAME_EXCHANGE) == 0) {
      ::unlink(temp_.c_str());
    } else if (::rename(temp_.c_str(), path_.c_str()) != 0) {
      result = errno;
    }
  }
  if (result != 0) {
    Abort();
    return result;
  }
  committed_ = true;
  temp_.clear();
  return 0;
}

void OutputFile::Abort() {
  CloseFd();
  buffer_.clear();
  buffer_.shrink_to_fit();
  error_ = 0;
  // A file of Open has no name until it is committed: closing it was all.
  if (!committed_ && !unnamed_) {
    if (!temp_.empty()) ::unlink(temp_.c_str());
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  temp_.clear();
  path_.clear();
  committed_ = false;
  unnamed_ = false;
}

int32_t CopyBytes(int in, int out, uint64_t size, const std::function<int32_t(int32_t)>& onPiece,
                  CopyRangeFunction copyRange) {
  // Pieces of 8 MiB: few system calls, and a stop is heard within a fraction of a second.
  constexpr uint64_t kPiece = 8 << 20;
  constexpr size_t kBuffer = 1 << 20;
  if (copyRange == nullptr) copyRange = &::copy_file_range;
  const auto report = [&](uint64_t done) {
    return onPiece ? onPiece(static_cast<int32_t>(done * 100 / size)) : 0;
  };
  uint64_t done = 0;
  bool byKernel = true;
  std::vector<char> buffer;
  while (done < size) {
    const uint64_t want = std::min(kPiece, size - done);
    uint64_t piece = 0;
    while (byKernel && piece < want) {
      off_t from = static_cast<off_t>(done + piece);
      const ssize_t n = copyRange(in, &from, out, nullptr, static_cast<size_t>(want - piece), 0);
      if (n > 0) {
        piece += static_cast<uint64_t>(n);
      } else if (n == 0) {
        return kReadFault;  // the source ended early
      } else if (errno != EINTR) {
        // File systems (or kernels) that cannot copy between these two: the buffer from here.
        if (errno != EXDEV && errno != ENOSYS && errno != EOPNOTSUPP && errno != EINVAL &&
            errno != EPERM && errno != EBADF) {
          return errno;
        }
        byKernel = false;
      }
    }
    while (!byKernel && piece < want) {
      if (buffer.empty()) buffer.resize(kBuffer);
      const size_t part = static_cast<size_t>(std::min<uint64_t>(kBuffer, want - piece));
      const ssize_t got = ::pread(in, buffer.data(), part, static_cast<off_t>(done + piece));
      if (got < 0) {
        if (errno == EINTR) continue;
        return errno != 0 ? errno : kReadFault;
      }
      if (got == 0) return kReadFault;
      for (size_t written = 0; written < static_cast<size_t>(got);) {
        const ssize_t w = ::write(out, buffer.data() + written, static_cast<size_t>(got) - written);
        if (w < 0) {
          if (errno == EINTR) continue;
          return errno;
        }
        written += static_cast<size_t>(w);
      }
      piece += static_cast<uint64_t>(got);
    }
    done += piece;
    if (const int32_t answer = report(done); answer != 0) return answer;
  }
  return 0;
}

int32_t WriteOutputFile(const fs::path& wanted,
                        const std::function<int32_t(const fs::path& temp)>& write,
                        fs::path* written) {
  OutputFile out;
  if (const int32_t r = out.Reserve(wanted); r != 0) return r;
  if (const int32_t r = write(out.tempPath()); r != 0) return r;  // `out` removes both
  const fs::path name = out.path();
  if (const int32_t r = out.Commit(); r != 0) return r;
  if (written) *written = name;
  return 0;
}

}  // namespace halvern::platform
