// Decryption throughput against copying the same backup, and the cost of the key derivation.
//
//   decrypt_bench [MEGABYTES]      (default 256)
//
// Builds a plain fixture backup of about MEGABYTES (large media-like files and many small
// ones), encrypts it, then times, each as the median of three warm runs:
//   cp -r of the encrypted backup                    the baseline
//   the `tool` program on it (beside this program)   end to end, as the scan runs it
//   DecryptBackup in this process                    the library alone
// and the key derivation of a real iOS 10.2+ keybag (10,000,000 + 10,000 iterations).
#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/encrypt_backup.h"
#include "tools/tool/decrypt_backup.h"
#include "tools/tool/keybag.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

uint64_t TreeBytes(const fs::path& folder) {
  uint64_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file()) total += e.file_size();
  }
  return total;
}

// Runs argv with `input` on standard input; returns the exit status (-1 when not started).
int RunProgram(const std::vector<std::string>& args, const std::string& input) {
  int in[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[1], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> copy = args;
  std::vector<char*> argv;
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in[1]);
  if (rc != 0) {
    close(in[0]);
    return -1;
  }
  if (!input.empty()) send(in[0], input.data(), input.size(), MSG_NOSIGNAL);
  int status = 0;
  waitpid(pid, &status, 0);  // input stays open until the program has ended
  close(in[0]);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Pattern(size_t size, int seed) {
  std::string out(size, '\0');
  uint32_t x = 2463534242u + static_cast<uint32_t>(seed);
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x);
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t megabytes = argc > 1 ? std::stoull(argv[1]) : 256;
  const fs::path work =
      fs::temp_directory_path() / ("halvern-decrypt-bench-" + std::to_string(getpid()));
  fs::remove_all(work);
  fs::create_directories(work);

  // Three quarters in 4 MiB files (photos, videos), the rest in 8 KiB ones (databases, plists).
  halvern::fixtures::BackupSpec spec;
  const uint64_t big = megabytes * 3 / 4 / 4;
  const uint64_t small = megabytes * 1024 / 4 / 8;
  int seed = 0;
  for (uint64_t i = 0; i < big; ++i) {
    spec.files.push_back({"CameraRollDomain",
                          "Media/DCIM/100APPLE/IMG_" + std::to_string(i) + ".MOV",
                          Pattern(4u << 20, seed++)});
  }
  for (uint64_t i = 0; i < small; ++i) {
    spec.files.push_back(
        {"HomeDomain", "Library/Small/" + std::to_string(i), Pattern(8192, seed++)});
  }
  halvern::fixtures::EncryptSpec encrypt;
  encrypt.dpIterations = 1000;  // the derivation is timed on its own below
  std::string error;
  if (!halvern::fixtures::WriteBackup(work / "plain", spec, &error) ||
      !halvern::fixtures::EncryptBackup(work / "plain", work / "encrypted", encrypt, &error)) {
    std::fprintf(stderr, "cannot build the backup: %s\n", error.c_str());
    return 1;
  }
  spec.files.clear();
  fs::remove_all(work / "plain");
  const double mb = static_cast<double>(TreeBytes(work / "encrypted")) / (1 << 20);
  std::printf("backup: %.1f MiB in %llu data files (%llu of 4 MiB, %llu of 8 KiB)\n", mb,
              static_cast<unsigned long long>(big + small), static_cast<unsigned long long>(big),
              static_cast<unsigned long long>(small));

  const std::string tool = (halvern::platform::ProgramFolder() / "tool").string();
  std::vector<double> copyTimes, toolTimes, libraryTimes;
  for (int run = 0; run < 4; ++run) {  // the first run warms the page cache and is dropped
    fs::remove_all(work / "copy");
    auto start = Clock::now();
    if (RunProgram({"cp", "-r", (work / "encrypted").string(), (work / "copy").string()}, "") !=
        0) {
      std::fprintf(stderr, "cp failed\n");
      return 1;
    }
    const double copySeconds = Seconds(start);
    fs::remove_all(work / "copy");

    fs::remove_all(work / "out");
    start = Clock::now();
    const int status = RunProgram({tool, (work / "encrypted").string(), (work / "out").string()},
                                  encrypt.password + "\n");
    const double toolSeconds = Seconds(start);
    if (status != 0) {
      std::fprintf(stderr, "tool failed with status %d (%s)\n", status, tool.c_str());
      return 1;
    }
    fs::remove_all(work / "out");

    halvern::DecryptRequest request{work / "encrypted", work / "out",
                                    halvern::SecretBytes(std::string_view(encrypt.password))};
    halvern::DecryptSummary summary;
    start = Clock::now();
    const auto result = halvern::DecryptBackup(request, {}, summary);
    const double librarySeconds = Seconds(start);
    if (result != halvern::DecryptStatus::kDone) {
      std::fprintf(stderr, "DecryptBackup failed\n");
      return 1;
    }
    fs::remove_all(work / "out");
    if (run > 0) {
      copyTimes.push_back(copySeconds);
      toolTimes.push_back(toolSeconds);
      libraryTimes.push_back(librarySeconds);
    }
  }
  const double copyS = Median(copyTimes), toolS = Median(toolTimes), libS = Median(libraryTimes);
  std::printf("cp -r              %7.3f s  %8.1f MiB/s\n", copyS, mb / copyS);
  std::printf("tool               %7.3f s  %8.1f MiB/s  (%.2f x the copy time)\n", toolS,
              mb / toolS, toolS / copyS);
  std::printf("DecryptBackup      %7.3f s  %8.1f MiB/s  (%.2f x the copy time)\n", libS, mb / libS,
              libS / copyS);

  // Key derivation at the real cost.
  halvern::Keybag bag;
  bag.salt.assign(20, 0x11);
  bag.iterations = halvern::fixtures::kRealIterations;
  bag.dpSalt.assign(20, 0x22);
  bag.dpIterations = halvern::fixtures::kRealDpIterations;
  const std::string password = "benchmark password";
  const halvern::ByteView pw(reinterpret_cast<const uint8_t*>(password.data()), password.size());
  auto start = Clock::now();
  halvern::DeriveKek(bag, pw);
  const double doubleS = Seconds(start);
  bag.dpIterations.reset();
  start = Clock::now();
  halvern::DeriveKek(bag, pw);
  const double singleS = Seconds(start);
  std::printf("key derivation     %7.3f s  (PBKDF2-SHA256 x 10,000,000 + PBKDF2-SHA1 x 10,000)\n",
              doubleS);
  std::printf("single derivation  %7.3f s  (PBKDF2-SHA1 x 10,000; iOS 4-10.1)\n", singleS);
  fs::remove_all(work);
  return 0;
}
