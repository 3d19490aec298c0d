// The decryptor driver: starts `tool` with an argument vector, hands it the password on its
// standard input and turns its output into scan progress.
#include "backup/decryptor.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace halvern {

namespace {

constexpr size_t kChunk = 4096;
constexpr int kPollMs = 100;
constexpr auto kIdleReport = std::chrono::milliseconds(250);
constexpr auto kStopGrace = std::chrono::milliseconds(2000);
constexpr auto kExitGrace = std::chrono::milliseconds(10000);
constexpr auto kKillGrace = std::chrono::milliseconds(5000);

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

// Waits for `pid` up to `limit`; true once it has been reaped, with its wait status in status.
bool ReapWithin(pid_t pid, std::chrono::milliseconds limit, int& status) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) {
      status = 0;
      return true;  // not our child any more: nothing left to wait for
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// Ends the decryptor the Unix way and returns its wait status. A stop sends SIGTERM (the
// decryptor stops at its next file); it then has kStopGrace to exit, a decryptor that closed
// its output kExitGrace; after that it is killed, and the wait after SIGKILL is bounded too.
int EndChild(pid_t pid, bool askedToStop) {
  if (askedToStop) kill(pid, SIGTERM);
  int status = 0;
  if (ReapWithin(pid, askedToStop ? kStopGrace : kExitGrace, status)) return status;
  kill(pid, SIGKILL);
  if (ReapWithin(pid, kKillGrace, status)) return status;
  return W_EXITCODE(0, SIGKILL);  // unreaped: reported as killed
}

// The number after "Count:" (blanks skipped), clamped to the 64-bit range; nullopt-free:
// a line without digits counts as 0.
int64_t CountValue(std::string_view line, size_t at) {
  size_t i = at + 6;
  while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
  int64_t n = 0;
  for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i) {
    if (n > (INT64_MAX - 9) / 10) return INT64_MAX;
    n = n * 10 + (line[i] - '0');
  }
  return n;
}

}  // namespace

int32_t DecryptorExitResult(int exitStatus) {
  namespace exit = decryptor_exit;
  switch (exitStatus) {
    case exit::kDone:
      return kOk;
    case exit::kWrongPassword:
      return kWrongPassword;
    case exit::kStopped:
      return kStopped;
    case exit::kNotDecryptable:
      return kInvalidParameter;
    case exit::kReadFault:
      return kReadFault;
    case exit::kWriteFault:
      return EIO;
    case exit::kBadManifest:
      return kManifestOpenFailed;
    default:
      return kInvalidParameter;
  }
}

int32_t RunDecryptor(const DecryptorRequest& request, const ProgressSink& sink, int32_t& progress) {
  // Standard input is one end of a socket pair: writing to it never raises SIGPIPE
  // (MSG_NOSIGNAL) when the decryptor has already gone.
  int input[2] = {-1, -1};
  int output[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, input) != 0) return kInvalidParameter;
  if (pipe2(output, O_CLOEXEC) != 0) {
    CloseFd(input[0]);
    CloseFd(input[1]);
    return kInvalidParameter;
  }

  std::error_code ec;
  std::filesystem::create_directories(request.outputFolder, ec);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, input[1], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDERR_FILENO);
  // Its own process group (a terminal's Ctrl-C reaches the caller, which then stops it),
  // default signal handling and no blocked signals.
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::string toolPath = request.tool.string();
  std::string backupArg = request.backupFolder.string();
  std::string outputArg = request.outputFolder.string();
  char* argv[] = {toolPath.data(), backupArg.data(), outputArg.data(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, toolPath.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  CloseFd(input[1]);
  CloseFd(output[1]);
  if (spawned != 0) {
    CloseFd(input[0]);
    CloseFd(output[0]);
    return kInvalidParameter;
  }

  // The password, one line. A password is far below the socket's buffer, so this does not
  // wait for the decryptor to read it.
  {
    std::string line = request.password;
    line += '\n';
    size_t sent = 0;
    while (sent < line.size()) {
      const ssize_t n = send(input[0], line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the decryptor is gone; its exit status tells why
      sent += static_cast<size_t>(n);
    }
    OPENSSL_cleanse(line.data(), line.size());
  }
  CloseFd(input[0]);  // the decryptor reads nothing after the password

  // Read loop. Output is taken line by line, so that a line split between two reads is
  // neither missed nor misread.
  int32_t result = kOk;
  bool endedEarly = false;
  bool sawWrongPassword = false;
  int64_t done = 0;  // the last "Count:" value
  std::string pending;
  char chunk[kChunk];
  auto lastReport = std::chrono::steady_clock::now();
  auto report = [&]() -> int32_t {
    int64_t value = progress;
    if (request.fileCount > 0) {
      const int64_t counted = std::min(std::max<int64_t>(done, 0), request.fileCount);
      value += static_cast<int64_t>(request.step) * counted / request.fileCount;
    }
    lastReport = std::chrono::steady_clock::now();
    return sink.Report(static_cast<int32_t>(value));
  };

  for (;;) {
    pollfd fds{output[0], POLLIN, 0};
    const int ready = poll(&fds, 1, kPollMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    if (ready == 0) {
      // A long quiet stretch (one very large file): the caller still gets its chance to stop.
      if (std::chrono::steady_clock::now() - lastReport >= kIdleReport) {
        if (const int32_t answer = report(); answer != 0) {
          result = answer;
          endedEarly = true;
          break;
        }
      }
      continue;
    }
    const ssize_t n = read(output[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    const bool atEnd = n <= 0;
    if (!atEnd) pending.append(chunk, static_cast<size_t>(n));

    // Complete lines (at the end, also what is left without a line feed).
    bool sawCount = false;
    size_t start = 0;
    for (;;) {
      size_t end = pending.find('\n', start);
      if (end == std::string::npos) {
        if (!atEnd || start >= pending.size()) break;
        end = pending.size();
      }
      const std::string_view line(pending.data() + start, end - start);
      if (line.find("Wrong password") != std::string_view::npos) sawWrongPassword = true;
      if (const size_t at = line.find("Count:"); at != std::string_view::npos) {
        done = CountValue(line, at);
        sawCount = true;
      }
      start = end + 1;
    }
    pending.erase(0, std::min(start, pending.size()));

    if (sawWrongPassword) {
      result = kWrongPassword;
      endedEarly = true;
      break;
    }
    if (sawCount && progress == 0) {
      progress = 1;  // the scan's start signal
      if (const int32_t answer = sink.Report(1); answer != 0) {
        result = answer;
        endedEarly = true;
        break;
      }
    }
    if (atEnd) break;
    if (const int32_t answer = report(); answer != 0) {
      result = answer;
      endedEarly = true;
      break;
    }
  }

  // The decryptor is never left running: an early end sends it SIGTERM and gives it a moment
  // before it is killed; either way it is waited for, within a bound.
  CloseFd(output[0]);
  const int status = EndChild(pid, endedEarly);
  if (!endedEarly) {
    if (WIFEXITED(status)) {
      const int32_t exitResult = DecryptorExitResult(WEXITSTATUS(status));
      if (exitResult != kOk) result = exitResult;
    } else {
      result = EIO;  // it died from a signal
    }
  }

  sink.Report(progress + request.step);
  return result;
}

}  // namespace halvern
