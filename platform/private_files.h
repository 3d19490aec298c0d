// Files that must stay this user's own: the private cache folder where decrypted copies and
// device backups go, the per-process run folders inside it (locked while their process lives,
// swept by the next run once it is gone), and opening input files safely — regular files only,
// never a FIFO or a device that would block, optionally never through a symbolic link.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace halvern::platform {

// $XDG_CACHE_HOME/halvern (an absolute XDG_CACHE_HOME), else $HOME/.cache/halvern; empty when
// neither variable is usable. Nothing is created.
std::filesystem::path UserCacheFolder();

// Creates `folder` with any missing parents and makes the folder itself private: mode 0700,
// owned by this user, a real folder (not a symbolic link). 0, or the errno value (EPERM when
// it belongs to someone else, ELOOP when it is a symbolic link).
int32_t MakePrivateFolder(const std::filesystem::path& folder);

// How a file may be opened for reading.
enum class Follow { kSymlinks, kNoSymlinks };

// Opens `path` read-only when it is a regular file: O_NONBLOCK keeps a FIFO or a device from
// blocking the open, fstat then refuses everything but a regular file, and kNoSymlinks adds
// O_NOFOLLOW. Returns the descriptor (blocking mode restored, close-on-exec) or -1 with
// `error` set: the errno of the open, ELOOP for a refused symbolic link, or EINVAL for a file
// that is not a regular file.
int OpenRegularFile(const std::filesystem::path& path, Follow follow, int& error);

// A short text for why `path` cannot be read as a regular file ("a FIFO", "a symbolic link",
// "a folder", "a device", "missing", ...), for notes shown to the user.
std::string FileKindText(const std::filesystem::path& path);

// A folder of this process below a parent folder: "run-<random>", mode 0700, holding an open
// lock (flock) for as long as the object lives. The destructor removes the folder with its
// content. Another run finds the lock held and leaves the folder alone; once this process is
// gone (even by SIGKILL) the lock is free and SweepStaleRunFolders removes it.
class RunFolder {
 public:
  RunFolder() = default;
  ~RunFolder();
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;

  // Makes `parent` private (MakePrivateFolder when `privateParent`, else it must exist) and
  // creates the run folder in it. 0 or the errno value.
  int32_t Create(const std::filesystem::path& parent, bool privateParent);
  // Removes the folder now (it is also removed by the destructor).
  void Remove();
  const std::filesystem::path& path() const { return path_; }
  bool empty() const { return path_.empty(); }

 private:
  std::filesystem::path path_;
  int lockFd_ = -1;
  long owner_ = 0;  // the process that created it; a forked child never removes it
};

// Removes every run folder under `parent` that belongs to this user and whose process has
// ended (its lock is free). Folders of other users, locked folders, symbolic links and other
// names are left alone. Returns the number removed.
size_t SweepStaleRunFolders(const std::filesystem::path& parent);

}  // namespace halvern::platform
