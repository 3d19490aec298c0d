// libFuzzer target: arbitrary bytes opened as a database and run through the reader, the
// carving, the scan driver and the dump (scripts/fuzz.sh builds and runs it).
#include <cstddef>
#include <cstdint>
#include <span>

#include "sqlite_recovery/fuzz_entry.h"

// The table decoders join by setting halvern::gRunDecodersForFuzzing here (or in their own
// file linked into the target): RunSqliteRecoveryOnBytes calls it with the opened reader.

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  halvern::RunSqliteRecoveryOnBytes(std::span<const uint8_t>(data, size));
  return 0;
}
