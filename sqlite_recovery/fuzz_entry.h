// Entry points that run everything this library does on arbitrary bytes: the fuzz targets and
// their regression test call them.
#pragma once

#include <cstdint>
#include <span>

namespace halvern {

// Opens bytes as a database and runs the schema read, every table's live rows, the carving,
// the freed pages and the JSON dump. Never fails; whatever the bytes, it must not crash.
// One reader is kept per thread and opened afresh on each call (its learned counts are reset),
// so that a call costs what the bytes cost, not a reader's construction.
void RunSqliteRecoveryOnBytes(std::span<const uint8_t> bytes);

// Runs the page-level code on one b-tree page made from bytes: the page header, every table
// leaf cell and its record, the four carving scanners, the freed-page fit and the raw-region
// scan. The first 4 bytes choose the page size (512 << b0 % 8), the reserved bytes (b1, kept
// to a usable size of at least 480), the column count carved for (1 + b2 % 64) and, from b3,
// the page number (1: header at 100) and the text encoding; the rest is the page, cut or
// padded with zeros to the page size. Never fails; whatever the bytes, it must not crash.
void RunSqlitePageOnBytes(std::span<const uint8_t> bytes);

// Set by the decoder family to run its members on the opened reader as well (nullptr: none).
class CSqliteFileReader;
extern void (*gRunDecodersForFuzzing)(CSqliteFileReader& reader);

}  // namespace halvern
