// The filters of scan, recover and search (see filter_options.h).
#include "cli/filter_options.h"

#include "cli/scan_output.h"

namespace halvern::cli {

int TakeFilterOptions(Args& args, const std::string& command, ItemFilter& filter,
                      std::string& error) {
  filter.deletedOnly = TakeFlag(args, "--deleted-only");
  std::string only;
  const bool hasOnly = TakeOption(args, "--only", only);
  const bool hasSince = TakeOption(args, "--since", filter.since);
  const bool hasUntil = TakeOption(args, "--until", filter.until);
  const bool hasWith = TakeOption(args, "--with", filter.with);
  if ((hasSince && !ValidDay(filter.since)) || (hasUntil && !ValidDay(filter.until))) {
    error = command + ": a day is written YYYY-MM-DD (--since 2021-09-01)";
    return 2;
  }
  if (!filter.since.empty() && !filter.until.empty() && filter.until < filter.since) {
    error = command + ": --until " + filter.until + " is before --since " + filter.since;
    return 2;
  }
  if (hasWith && filter.with.find_first_not_of(" \t") == std::string::npos) {
    error = command + ": --with needs a name, a phone number or an e-mail address";
    return 2;
  }
  if (hasOnly) {
    std::string unknown;
    if (!ParseCategoryList(only, filter.only, unknown)) {
      error = "unknown category: " + unknown;
      return 2;
    }
    if (filter.only.empty()) {
      error = command + ": --only needs a category (--only messages,calls)";
      return 2;
    }
  }
  return 0;
}

int CheckPerson(const ScanSieve& sieve, const std::string& command, std::string& error) {
  if (sieve.PersonFound()) return 0;
  error = command + ": no contact, conversation or call matches \"" + sieve.filter().with + "\"";
  return 1;
}

}  // namespace halvern::cli
