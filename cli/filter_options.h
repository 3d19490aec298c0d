// The filters scan, recover and search share: --with PERSON, --since DAY, --until DAY,
// --deleted-only and --only CATEGORY,..., read and checked one way for all three.
#pragma once

#include <string>

#include "cli/commands.h"
#include "engine/scan_sequence.h"
#include "search/search.h"
#include "search/sieve.h"

namespace halvern::cli {

// The usage words of the filters.
inline constexpr const char* kFilterUsage =
    "[--with PERSON] [--since YYYY-MM-DD] [--until YYYY-MM-DD] [--deleted-only] "
    "[--only CATEGORY,...]";

// Takes the filter options out of `args` into `filter`. 0, or 2 with the sentence in `error`
// (a day that is no day of the calendar, --until before --since, an unknown category, an empty
// list or person).
int TakeFilterOptions(Args& args, const std::string& command, ItemFilter& filter,
                      std::string& error);

// Whether the person of the filter names anyone in the scan: 0, or 1 with "no contact,
// conversation or call matches PERSON" in `error`.
int CheckPerson(const ScanSieve& sieve, const std::string& command, std::string& error);

}  // namespace halvern::cli
