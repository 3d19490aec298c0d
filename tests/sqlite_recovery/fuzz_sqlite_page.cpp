// libFuzzer target: arbitrary bytes taken as one b-tree page (a few leading bytes choose its
// size, reserved bytes, column count, number and encoding) and run through the page parser,
// the cell and record decoding and the carving scanners. Far cheaper per input than a whole
// file, so the carving of odd pages gets most of the executions (scripts/fuzz.sh).
#include <cstddef>
#include <cstdint>
#include <span>

#include "sqlite_recovery/fuzz_entry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  halvern::RunSqlitePageOnBytes(std::span<const uint8_t>(data, size));
  return 0;
}
