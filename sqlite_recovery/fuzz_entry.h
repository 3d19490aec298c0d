// One entry point that runs everything this library does on arbitrary bytes: the fuzz target
// and its regression test call it.
#pragma once

#include <cstdint>
#include <span>

namespace halvern {

// Opens bytes as a database and runs the schema read, every table's live rows, the carving,
// the freed pages and the JSON dump. Never fails; whatever the bytes, it must not crash.
void RunSqliteRecoveryOnBytes(std::span<const uint8_t> bytes);

// Set by the decoder family to run its members on the opened reader as well (nullptr: none).
class CSqliteFileReader;
extern void (*gRunDecodersForFuzzing)(CSqliteFileReader& reader);

}  // namespace halvern
