// The offset from UTC of a named time zone ("Europe/Paris") at an instant, read from the
// system's zone database (TZif files under $TZDIR, else /usr/share/zoneinfo) without touching
// the process's own zone: the scan runs beside the desktop on a worker thread, where setting TZ
// would move every other clock of the program.
//
// A TZif file (RFC 8536): a header ("TZif", version, six big-endian 32-bit counts), the version 1
// data (32-bit transition times), then for version 2 on a second header and the same data with
// 64-bit times, then a footer "\n<POSIX TZ string>\n" that rules every instant after the last
// transition.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "categories/table.h"

namespace halvern {

// Seconds east of UTC in `zone` at `unixSeconds`; nullopt when `zone` names no file of the zone
// database (names are checked first: letters, digits, "_", "-", "+" and inner "/" only, so a
// name a database holds cannot lead outside the zone folder) or the file is no TZif file.
// Safe to call from any thread.
std::optional<int64_t> ZoneOffsetAt(std::string_view zone, double unixSeconds);

// A date cell at the offset `zone` had at that instant, the zone's name with it; a date of the
// computer's local time keeping the name when the zone database does not know it; no name when
// `zone` is empty.
Cell ZonedDate(double unixSeconds, const std::string& zone);

// The offset a POSIX TZ rule string ("CET-1CEST,M3.5.0,M10.5.0/3") gives at `unixSeconds`;
// nullopt when the string cannot be read.
std::optional<int64_t> PosixRuleOffsetAt(std::string_view rule, int64_t unixSeconds);

}  // namespace halvern
