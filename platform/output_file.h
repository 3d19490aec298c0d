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
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
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
  // Writes all of `bytes` to the temporary file. 0 or the errno value.
  int32_t Write(std::string_view bytes);
  // Renames the finished temporary file to the reserved name. 0 or the errno value (the
  // temporary file and the placeholder are removed then).
  int32_t Commit();
  // Removes the temporary file and the placeholder.
  void Abort();

  bool reserved() const { return !path_.empty(); }
  // The reserved final name (valid after Reserve, also after Commit).
  const std::filesystem::path& path() const { return path_; }
  // The temporary file, for writers that take a path (they open it again; it exists already).
  const std::filesystem::path& tempPath() const { return temp_; }
  // The temporary file's descriptor, open for writing.
  int fd() const { return fd_; }

 private:
  void CloseFd();
  std::filesystem::path path_;
  std::filesystem::path temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// Reserves `wanted` (or the next free name), lets `write` fill the temporary file through its
// path, and commits it when `write` answers 0. Returns `write`'s answer or the errno of the
// reservation or commit; `written` receives the final name on success.
int32_t WriteOutputFile(const std::filesystem::path& wanted,
                        const std::function<int32_t(const std::filesystem::path& temp)>& write,
                        std::filesystem::path* written);

}  // namespace halvern::platform
