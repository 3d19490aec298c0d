// Every input the fuzzers ever crashed on stays here and must now run clean, through both
// entry points (a whole file and a single page). The slowest inputs they grew (slow-page-*,
// slow-file-*) stay too: their work must stay in proportion to their size.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "sqlite_recovery/carve.h"
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

// Work counted in carving steps (not time): a page input may cost its three scans (the page's
// carving, its free space as a freed page's, the fit test) at their allowance for the widest
// shape the page target makes (64 columns); a file input, whose pages the file entry scans a
// few times over (per table, freed pages, the dump), far less per byte than one page may.
TEST(SqliteFuzzRegressions, SlowInputsCostWorkInProportionToTheirSize) {
  const std::filesystem::path folder = HALVERN_FUZZ_REGRESSIONS;
  constexpr uint64_t kPageStepsPerByte = 3 * (kCarveStepsPerByte + kCarveStepsPerColumn * 64);
  constexpr uint64_t kFileStepsPerByte = 256;
  size_t seen = 0;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    const std::string name = e.path().filename().string();
    const bool page = name.starts_with("slow-page-");
    if (!page && !name.starts_with("slow-file-")) continue;
    ++seen;
    std::ifstream in(e.path(), std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    ASSERT_GE(bytes.size(), 4u) << name;
    const CarveWork before = CarveWorkOfThisThread();
    uint64_t bound = 0;
    if (page) {
      RunSqlitePageOnBytes(bytes);
      const uint64_t pageSize = 512u << (bytes[0] % 8);  // as the page entry reads it
      bound = kPageStepsPerByte * pageSize + 3 * kCarveStepsPerPage;
    } else {
      RunSqliteRecoveryOnBytes(bytes);
      bound = kFileStepsPerByte * bytes.size();
    }
    const uint64_t steps = CarveWorkOfThisThread().steps - before.steps;
    EXPECT_LE(steps, bound) << name;
    EXPECT_GT(steps, 0u) << name << ": the input no longer reaches the carving";
  }
  EXPECT_GE(seen, 2u) << "no slow inputs in " << folder;
}

}  // namespace
}  // namespace halvern
