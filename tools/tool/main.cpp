// tool: decrypts an encrypted iPhone backup into a plain copy.
//
//   tool [--keep-going-without-input] BACKUP_FOLDER OUTPUT_FOLDER
//
// The password comes on standard input as one line (asked for without echo when standard
// input is a terminal). Once it is read, the end of standard input asks the program to stop,
// so a caller that goes away takes the decryption with it; --keep-going-without-input turns
// this off for use from a shell pipe ("printf '%s\n' PW | tool ..."). Protocol lines go to
// standard output, notes to standard error; the exit statuses are those of backup/decryptor.h.
#include <openssl/crypto.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backup/decryptor.h"
#include "tools/tool/decrypt_backup.h"
#include "tools/tool/password_input.h"

namespace {

std::atomic<bool> g_inputClosed{false};

void WriteLine(FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
  // A caller that closed its end of the pipe has gone away: nothing left to do for it.
  if (std::ferror(stream)) g_inputClosed = true;
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
  bool watchInput = true;
  std::vector<std::string> folders;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--keep-going-without-input") {
      watchInput = false;
    } else if (arg == "-h" || arg == "--help" || arg.starts_with("--")) {
      std::fprintf(stderr,
                   "usage: %s [--keep-going-without-input] BACKUP_FOLDER OUTPUT_FOLDER\n"
                   "The password is read from standard input (one line).\n",
                   argv[0]);
      return arg.starts_with("-h") || arg == "--help" ? 0 : halvern::decryptor_exit::kUsage;
    } else {
      folders.emplace_back(arg);
    }
  }
  if (folders.size() != 2) {
    std::fprintf(stderr, "usage: %s [--keep-going-without-input] BACKUP_FOLDER OUTPUT_FOLDER\n",
                 argv[0]);
    return halvern::decryptor_exit::kUsage;
  }

  std::string password;
  const bool fromTerminal = isatty(STDIN_FILENO) == 1;
  const bool read = fromTerminal ? halvern::ReadPasswordFromTerminal("Backup password: ", password)
                                 : halvern::ReadPasswordLine(STDIN_FILENO, password);
  if (!read) {
    std::fprintf(stderr, "no password on standard input\n");
    return halvern::decryptor_exit::kStopped;
  }
  if (watchInput && !fromTerminal) {
    std::thread([] {
      char sink[256];
      for (;;) {
        const ssize_t n = ::read(STDIN_FILENO, sink, sizeof sink);
        if (n == 0 || (n < 0 && errno != EINTR)) break;
      }
      g_inputClosed = true;
    }).detach();
  }

  halvern::DecryptRequest request;
  request.backupFolder = folders[0];
  request.outputFolder = folders[1];
  request.password = halvern::SecretBytes(std::string_view(password));
  OPENSSL_cleanse(password.data(), password.size());

  halvern::DecryptEvents events;
  events.protocol = [](std::string_view line) { WriteLine(stdout, line); };
  events.note = [](std::string_view line) { WriteLine(stderr, line); };
  events.stopRequested = [] { return g_inputClosed.load(); };

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
