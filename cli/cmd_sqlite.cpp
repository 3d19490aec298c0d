// halvern-cli sqlite FILE [--table NAME] [--live-only] [--no-wal] --json: every table of any
// SQLite file, live and carved rows, each carved row with where it was found. FILE-wal beside
// it is applied as SQLite would (its older page versions carved); --no-wal reads FILE alone.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "cli/commands.h"
#include "sqlite_recovery/dump.h"

namespace halvern::cli {

int SqliteCommand(const Args& input) {
  Args args = input;
  SqliteDumpOptions options;
  TakeOption(args, "--table", options.table);
  const bool asJson = TakeFlag(args, "--json");
  if (TakeFlag(args, "--live-only")) options.carve = options.freelist = false;
  if (TakeFlag(args, "--no-wal")) options.wal = false;
  if (args.size() != 1) {
    return Fail(2, "usage: sqlite FILE [--table NAME] [--live-only] [--no-wal] --json");
  }
  if (!asJson) return Fail(2, "sqlite: only --json output is offered");
  std::string json;
  // The reader never follows a link (a backup's databases must not lead out of it); a link
  // the user names on the command line is resolved here.
  std::error_code ec;
  const std::filesystem::path real = std::filesystem::canonical(args.front(), ec);
  const int32_t rc = DumpSqliteJson(ec ? args.front() : real.string(), options, json);
  if (rc != 0) {
    return Fail(1, "sqlite: cannot read " + args.front() + ": " +
                       (rc == 87 ? std::string("not an SQLite 3 database") : std::strerror(rc)));
  }
  std::fwrite(json.data(), 1, json.size(), stdout);
  return 0;
}

}  // namespace halvern::cli
