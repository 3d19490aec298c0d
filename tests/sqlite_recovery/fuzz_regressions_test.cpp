// Every input the fuzzers ever crashed on stays here and must now run clean, through both
// entry points (a whole file and a single page).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "sqlite_recovery/fuzz_entry.h"

namespace halvern {
namespace {

TEST(SqliteFuzzRegressions, EveryKeptInputRunsClean) {
  const std::filesystem::path folder = HALVERN_FUZZ_REGRESSIONS;
  ASSERT_TRUE(std::filesystem::is_directory(folder)) << "missing folder " << folder;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (!e.is_regular_file() || e.path().extension() == ".md") continue;
    std::ifstream in(e.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    SCOPED_TRACE(e.path().filename().string());
    RunSqliteRecoveryOnBytes(bytes);
    RunSqlitePageOnBytes(bytes);
  }
}

}  // namespace
}  // namespace halvern
