// The command table and the small argument helpers shared by the commands.
#include "cli/commands.h"

#include <algorithm>
#include <cstdio>

namespace halvern::cli {

const std::vector<Command>& AllCommands() {
  static const std::vector<Command> commands = {
      {"list", "list [--root DIR] [--json]        backups found, newest first", &ListCommand},
      {"info", "info DIR [--json]                 the summary of one backup folder", &InfoCommand},
      {"files", "files DIR [--grep TEXT] [--json]  manifest entries and their data files",
       &FilesCommand},
      {"scan", "scan DIR [DIR ...] [--password-stdin] [--notes-password[-stdin]] [--json]  scan a backup: counts per category, or JSON",
       &ScanCommand},
      {"search", "search TEXT DIR [--only CAT,...] [--since DAY] [--until DAY] [--deleted-only] [--json]  find a text in every category",
       &SearchCommand},
      {"sqlite", "sqlite FILE [--table NAME] --json  every table, live and carved rows",
       &SqliteCommand},
      {"recover", "recover DIR [DIR ...] --to OUT [--only CAT,...] [--deleted-only] [--no-convert] [--convert-video] [--notes-password[-stdin]]",
       &RecoverCommand},
      {"device", "device list|info|backup --to DIR  the phone; scan --device", &DeviceCommand},
      {"language", "language [NAME]                   the desktop program's language",
       &LanguageCommand},
  };
  return commands;
}

int Fail(int status, const std::string& message) {
  std::fprintf(stderr, "halvern-cli: %s\n", message.c_str());
  return status;
}

bool TakeOption(Args& args, const std::string& name, std::string& value) {
  auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end() || it + 1 == args.end()) return false;
  value = *(it + 1);
  args.erase(it, it + 2);
  return true;
}

bool TakeFlag(Args& args, const std::string& name) {
  auto it = std::find(args.begin(), args.end(), name);
  if (it == args.end()) return false;
  args.erase(it);
  return true;
}

}  // namespace halvern::cli
