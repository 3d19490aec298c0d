// halvern-cli: the command line front end. Dispatches to one command.
#include <cstdio>
#include <cstring>

#include "cli/commands.h"
#include "device/device_recovery.h"
#include "engine/backup_session.h"
#include "platform/platform.h"
#include "platform/version.h"

namespace {
void Usage(FILE* out) {
  std::fprintf(out,
               "usage: halvern-cli COMMAND [ARGS] [--temp DIR]\n       halvern-cli --version\n\n"
               "commands:\n");
  for (const auto& c : halvern::cli::AllCommands()) std::fprintf(out, "  %s\n", c.usage);
  std::fprintf(out,
               "\nFILTERS (scan, search, recover): [--with PERSON] [--since YYYY-MM-DD] "
               "[--until YYYY-MM-DD]\n  [--deleted-only] [--only CATEGORY,...]\n"
               "  --with: a name, phone number or e-mail address; its conversations (groups\n"
               "  included), WhatsApp chats, calls, voicemails and cards. Categories without\n"
               "  people (photos, notes, calendar, Safari, files) are then left out.\n"
               "  --since/--until: days included; items without a date are then left out.\n");
}
}  // namespace

int main(int argc, char** argv) {
  halvern::platform::KeepLargeAllocationsApart();
  if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
    Usage(argc < 2 ? stderr : stdout);
    return argc < 2 ? 2 : 0;
  }
  if (!std::strcmp(argv[1], "--version")) {
    std::printf("halvern-cli %s\n", halvern::kProgramVersion);
    return 0;
  }
  halvern::RegisterDeviceEngine();
  halvern::cli::Args args(argv + 2, argv + argc);
  // --temp DIR (any command): where decrypted copies and device backups go instead of the
  // user's cache folder.
  std::string temp;
  if (halvern::cli::TakeOption(args, "--temp", temp)) halvern::SetTempBackupParent(temp);
  // Every run first removes what killed runs of this user left: decrypted copies included.
  halvern::SweepTempBackupLeftovers(halvern::platform::AppDataFolder());
  for (const auto& c : halvern::cli::AllCommands()) {
    if (std::strcmp(argv[1], c.name) == 0) return c.run(args);
  }
  std::fprintf(stderr, "halvern-cli: unknown command '%s'\n", argv[1]);
  Usage(stderr);
  return 2;
}
