// tool: decrypts an encrypted iPhone backup into a plain copy.
//
//   tool BACKUP_FOLDER OUTPUT_FOLDER
//   tool --version
//
// The password comes on standard input as one line (asked for without echo when standard
// input is a terminal), so both "printf '%s\n' PW | tool IN OUT" and a program holding a pipe
// work; what follows the line, or the end of standard input, is not looked at. SIGTERM, SIGINT
// or SIGHUP stop the decryption at the next file (exit status 11), and so does the death of the
// process that started it (PR_SET_PDEATHSIG), so an abandoned decryption cannot run on.
// Protocol lines go to standard output, notes to standard error; the exit statuses are those
// of backup/decryptor.h.
#include <openssl/crypto.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "backup/decryptor.h"
#include "platform/version.h"
#include "tools/tool/decrypt_backup.h"
#include "tools/tool/password_input.h"

namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");
std::atomic<bool> g_stop{false};

void RequestStop(int) { g_stop = true; }

// The stop signals set g_stop; without SA_RESTART, so that a write blocked on a caller that no
// longer reads returns at once.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
}

void WriteLine(FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
  // A caller that closed its end of the pipe has gone away: nothing left to do for it.
  if (std::ferror(stream)) g_stop = true;
}

void Usage(FILE* out, const char* program) {
  std::fprintf(out,
               "usage: %s BACKUP_FOLDER OUTPUT_FOLDER\n"
               "The password is read from standard input (one line); SIGTERM stops.\n",
               program);
}

int ExitFor(halvern::DecryptStatus status) {
  using halvern::DecryptStatus;
  namespace exit = halvern::decryptor_exit;
  switch (status) {
    case DecryptStatus::kDone:
      return exit::kDone;
    case DecryptStatus::kPasswordWrong:
      return exit::kWrongPassword;
    case DecryptStatus::kStopRequested:
      return exit::kStopped;
    case DecryptStatus::kNotDecryptable:
      return exit::kNotDecryptable;
    case DecryptStatus::kBackupUnreadable:
      return exit::kReadFault;
    case DecryptStatus::kOutputUnwritable:
      return exit::kWriteFault;
    case DecryptStatus::kBadManifest:
      return exit::kBadManifest;
  }
  return exit::kNotDecryptable;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  // Ends with the process that started it. A parent already gone before this line is seen
  // by the changed parent id.
  const pid_t parent = getppid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--version") {
      std::printf("tool %s\n", halvern::kProgramVersion);
      return 0;
    }
    if (arg == "-h" || arg == "--help") {
      Usage(stdout, argv[0]);
      return 0;
    }
    if (arg.starts_with("--")) {
      std::fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]);
      Usage(stderr, argv[0]);
      return halvern::decryptor_exit::kUsage;
    }
    folders.emplace_back(arg);
  }
  if (folders.size() != 2) {
    Usage(stderr, argv[0]);
    return halvern::decryptor_exit::kUsage;
  }

  // Until the password is in, a stop signal ends the program the default way: nothing has
  // been written yet.
  std::string password;
  const bool fromTerminal = isatty(STDIN_FILENO) == 1;
  const bool read = fromTerminal ? halvern::ReadPasswordFromTerminal("Backup password: ", password)
                                 : halvern::ReadPasswordLine(STDIN_FILENO, password);
  if (!read) {
    std::fprintf(stderr, "no password on standard input\n");
    return halvern::decryptor_exit::kStopped;
  }
  CatchStopSignals();
  if (getppid() != parent) g_stop = true;

  halvern::DecryptRequest request;
  request.backupFolder = folders[0];
  request.outputFolder = folders[1];
  request.password = halvern::SecretBytes(std::string_view(password));
  OPENSSL_cleanse(password.data(), password.size());

  halvern::DecryptEvents events;
  events.protocol = [](std::string_view line) { WriteLine(stdout, line); };
  events.note = [](std::string_view line) { WriteLine(stderr, line); };
  events.stopRequested = [] { return g_stop.load(); };

  halvern::DecryptSummary summary;
  const halvern::DecryptStatus status = halvern::DecryptBackup(request, events, summary);
  if (status == halvern::DecryptStatus::kDone) {
    std::fprintf(stderr,
                 "Done: %lld files, %lld decrypted, %lld missing, %lld damaged, %lld without key, "
                 "%lld unreadable\n",
                 static_cast<long long>(summary.files), static_cast<long long>(summary.decrypted),
                 static_cast<long long>(summary.missing), static_cast<long long>(summary.damaged),
                 static_cast<long long>(summary.undecryptable),
                 static_cast<long long>(summary.unreadable));
  } else if (status == halvern::DecryptStatus::kStopRequested) {
    std::fprintf(stderr, "Stopped\n");
  }
  std::fflush(stdout);
  std::fflush(stderr);
  // A derivation abandoned on a stop may still run on its worker thread; leave without
  // waiting for it or running destructors under it.
  _exit(ExitFor(status));
}
