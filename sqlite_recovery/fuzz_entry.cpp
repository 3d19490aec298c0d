// The fuzzing entry point over the whole library.
#include "sqlite_recovery/fuzz_entry.h"

#include <string>

#include "sqlite_recovery/dump.h"
#include "sqlite_recovery/scan.h"

namespace halvern {

void (*gRunDecodersForFuzzing)(CSqliteFileReader& reader) = nullptr;

void RunSqliteRecoveryOnBytes(std::span<const uint8_t> bytes) {
  CSqliteFileReader reader;
  if (reader.OpenMemory(bytes) != kSqliteOk) return;
  // Each table alone (the decoders' way), then the whole file (the dump's way).
  for (const TableSchema& t : reader.Tables()) {
    ScanOptions options;
    options.fallbackColumns = 3;
    ScanTable(reader, t.name, options, [](const ScannedRow& row) {
      // Touch every value so that a view outside its buffer shows.
      size_t sum = 0;
      for (const Value& v : row.record.values) {
        for (char c : v.bytes) sum += static_cast<unsigned char>(c);
      }
      return sum != 1;  // keep going (the sum only keeps the reads)
    });
  }
  std::string json;
  DumpSqliteJson(reader, "fuzz", SqliteDumpOptions{}, json);
  if (gRunDecodersForFuzzing) gRunDecodersForFuzzing(reader);
}

}  // namespace halvern
