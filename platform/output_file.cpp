// Output files reserved with O_CREAT|O_EXCL, written under a temporary name and renamed.
#include "platform/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <string>

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
    other.path_.clear();
    other.temp_.clear();
    other.fd_ = -1;
    other.committed_ = false;
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

  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".part-%08x", random());
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

int32_t OutputFile::Commit() {
  if (path_.empty() || committed_) return path_.empty() ? EBADF : 0;
  int32_t result = 0;
  if (fd_ >= 0 && ::close(fd_) != 0) result = errno;  // a delayed write error shows here
  fd_ = -1;
  if (result == 0 && ::rename(temp_.c_str(), path_.c_str()) != 0) result = errno;
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
  if (!committed_) {
    if (!temp_.empty()) ::unlink(temp_.c_str());
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  temp_.clear();
  path_.clear();
  committed_ = false;
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
