// Private folders, run folders with their locks, and safe opening of input files.
#include "platform/private_files.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <random>

namespace halvern::platform {

namespace fs = std::filesystem;

namespace {
constexpr const char* kRunPrefix = "run-";
constexpr const char* kLockName = ".lock";
}  // namespace

fs::path UserCacheFolder() {
  if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && xdg[0] == '/') {
    return fs::path(xdg) / "halvern";
  }
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    return fs::path(home) / ".cache" / "halvern";
  }
  return {};
}

int32_t MakePrivateFolder(const fs::path& folder) {
  if (folder.empty()) return ENOENT;
  std::error_code ec;
  if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
  // The folder is opened without following a link, then checked and tightened through the
  // descriptor, so a link swapped in after the mkdir changes nothing elsewhere.
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return errno == ENOTDIR ? ELOOP : errno;
  struct stat st {};
  int32_t result = 0;
  if (::fstat(fd, &st) != 0) {
    result = errno;
  } else if (st.st_uid != ::geteuid()) {
    result = EPERM;
  } else if ((st.st_mode & 07777) != 0700 && ::fchmod(fd, 0700) != 0) {
    result = errno;
  }
  ::close(fd);
  return result;
}

int OpenRegularFile(const fs::path& path, Follow follow, int& error) {
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  if (follow == Follow::kNoSymlinks) flags |= O_NOFOLLOW;
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    error = errno;
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = S_ISREG(st.st_mode) ? errno : EINVAL;
    ::close(fd);
    return -1;
  }
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl >= 0) ::fcntl(fd, F_SETFL, fl & ~O_NONBLOCK);
  error = 0;
  return fd;
}

std::string FileKindText(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? "missing" : "unreadable";
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  if (S_ISFIFO(st.st_mode)) return "a FIFO";
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISREG(st.st_mode)) return "a regular file";
  return "not a regular file";
}

RunFolder::~RunFolder() { Remove(); }

int32_t RunFolder::Create(const fs::path& parent, bool privateParent) {
  Remove();
  if (parent.empty()) return ENOENT;
  if (privateParent) {
    if (const int32_t r = MakePrivateFolder(parent); r != 0) return r;
  }
  std::random_device random;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%08x", kRunPrefix, random());
    const fs::path candidate = parent / name;
    if (::mkdir(candidate.c_str(), 0700) != 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    // The lock is taken at once; a sweep that saw the folder before it was locked finds the
    // lock file missing and leaves the folder alone (see SweepStaleRunFolders).
    const int fd = ::open((candidate / kLockName).c_str(),
                          O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int e = errno;
      if (fd >= 0) ::close(fd);
      std::error_code ec;
      fs::remove_all(candidate, ec);
      return e;
    }
    path_ = candidate;
    lockFd_ = fd;
    owner_ = static_cast<long>(::getpid());
    return 0;
  }
  return EEXIST;
}

void RunFolder::Remove() {
  if (!path_.empty() && owner_ == static_cast<long>(::getpid())) {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  if (lockFd_ >= 0) ::close(lockFd_);
  lockFd_ = -1;
  path_.clear();
}

size_t SweepStaleRunFolders(const fs::path& parent) {
  if (parent.empty()) return 0;
  std::error_code ec;
  std::vector<fs::path> candidates;
  for (fs::directory_iterator it(parent, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().rfind(kRunPrefix, 0) == 0) candidates.push_back(it->path());
  }
  size_t removed = 0;
  for (const fs::path& folder : candidates) {
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
      continue;
    const int fd = ::open((folder / kLockName).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
      // No lock file: a run folder in its first instant, or one whose lock file was lost.
      // Only a folder untouched for a minute is taken for a leftover.
      if (::time(nullptr) - st.st_mtime < 60) continue;
    } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;  // its process is alive
    }
    fs::remove_all(folder, ec);
    if (fd >= 0) ::close(fd);
    if (!ec) ++removed;
  }
  return removed;
}

}  // namespace halvern::platform
