// One output file of a recover run, created so that nothing is ever replaced and nothing
// half-written ever carries a real name.
//
//   Reserve(folder/name.ext)  the final name is taken with O_CREAT|O_EXCL: name.ext, else
//                             name(1).ext, name(2).ext, ... (an empty placeholder holds it, so
//                             two runs writing into one folder never pick the same name)
//   writing                   goes to a temporary file beside it, ".name.ext.part-XXXXXXXX",
//                             also created with O_CREAT|O_EXCL
//   Commit()                  renames the temporary file over the placeholder
//   Abort() / destructor      removes both (a stopped or failed file leaves nothing behind)
//
// For a writer that needs only the descriptor, Open(folder/name.ext) makes a file without a
// name (O_TMPFILE) and Commit links it under name.ext or the next free name: linkat fails on
// a taken name, so nothing is replaced either, and a killed program leaves nothing at all.
// One new file and no removal per output file: creating and removing the two files of a
// reservation costs more than copying a small file. Where the file system (or a missing
// /proc) allows no such file, Open is Reserve.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace halvern::platform {

class OutputFile {
 public:
  OutputFile() = default;
  ~OutputFile();
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Reserves `wanted` or the next free name beside it and creates the temporary file. The
  // folder must exist. 0, or the errno value of the failure.
  int32_t Reserve(const std::filesystem::path& wanted);
  // Makes the file without a name in `wanted`'s folder; path() is `wanted` until Commit gives
  // it the name it took. The folder must exist. 0, or the errno value of the failure.
  int32_t Open(const std::filesystem::path& wanted);
  // Writes all of `bytes` to the temporary file. 0 or the errno value.
  int32_t Write(std::string_view bytes);
  // Adds `bytes` through the file's buffer (written in large pieces, the rest by Commit). 0, or
  // the errno value of the first write that failed (kept: Commit returns it too).
  int32_t Append(std::string_view bytes);
  // Renames the finished temporary file to the reserved name (links a file of Open under the
  // first free name). 0 or the errno value (the temporary file and the placeholder are removed
  // then).
  int32_t Commit();
  // Removes the temporary file and the placeholder.
  void Abort();

  bool reserved() const { return !path_.empty(); }
  // The reserved final name (valid after Reserve, also after Commit); after Open the wanted
  // name until Commit.
  const std::filesystem::path& path() const { return path_; }
  // The temporary file, for writers that take a path (they open it again; it exists already);
  // empty for a file of Open.
  const std::filesystem::path& tempPath() const { return temp_; }
  // The temporary file's descriptor, open for writing.
  int fd() const { return fd_; }

 private:
  void CloseFd();
  int32_t Flush();
  std::filesystem::path path_;
  std::filesystem::path temp_;
  int fd_ = -1;
  bool committed_ = false;
  bool unnamed_ = false;  // made by Open without a name
  std::string buffer_;  // Append's bytes not yet written
  int32_t error_ = 0;   // the first failed write of Append
};

// The kernel's copy between two descriptors (copy_file_range's shape); a test puts its own.
using CopyRangeFunction = ssize_t (*)(int in, off_t* inOffset, int out, off_t* outOffset,
                                      size_t length, unsigned flags);

// Copies the first `size` bytes of `in` to `out` (at its position) in large pieces: by the
// kernel (copy_file_range, no bytes through the program) where the file systems allow it,
// else, from where that stopped, by reads and writes through one large buffer. After each
// piece `onPiece(percent)` is asked; a non-zero answer stops the copy and is returned.
// 0, the errno value of a failed read or write, or kReadFault (30) when `in` ends early.
int32_t CopyBytes(int in, int out, uint64_t size, const std::function<int32_t(int32_t)>& onPiece,
                  CopyRangeFunction copyRange = nullptr);

// Reserves `wanted` (or the next free name), lets `write` fill the temporary file through its
// path, and commits it when `write` answers 0. Returns `write`'s answer or the errno of the
// reservation or commit; `written` receives the final name on success.
int32_t WriteOutputFile(const std::filesystem::path& wanted,
                        const std::function<int32_t(const std::filesystem::path& temp)>& write,
                        std::filesystem::path* written);

}  // namespace halvern::platform
