// Golden files of the export tests: tests/export/golden/<name>. A mismatch writes the actual
// bytes beside the build's binaries (<name>.actual) for a diff; HALVERN_UPDATE_GOLDEN=1
// rewrites the golden file instead.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace halvern::golden {

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline void ExpectGolden(const std::string& name, const std::string& actual) {
  const std::filesystem::path golden =
      std::filesystem::path(HALVERN_SOURCE_DIR) / "tests" / "export" / "golden" / name;
  const char* update = std::getenv("HALVERN_UPDATE_GOLDEN");
  if (update && std::string(update) == "1") {
    WriteBytes(golden, actual);
    return;
  }
  ASSERT_TRUE(std::filesystem::exists(golden)) << golden << " is missing";
  const std::string expected = ReadBytes(golden);
  if (expected != actual) {
    const std::filesystem::path dump = std::filesystem::path(HALVERN_BIN_DIR) / (name + ".actual");
    WriteBytes(dump, actual);
    ADD_FAILURE() << name << " differs from its golden file; actual bytes in " << dump;
  }
}

}  // namespace halvern::golden
