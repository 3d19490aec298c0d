// The `tool` program as a user and a calling program meet it: the password piped in by a
// shell, a stop by SIGTERM, the end of the program that started it; and --version of the
// three programs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/version.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/encrypt_backup.h"
#include "tests/fixtures/temp_dir.h"

extern char** environ;

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::BackupSpec;
using fixtures::EncryptSpec;
using fixtures::TempDir;

const std::string kBin = HALVERN_BIN_DIR;
const std::string kTool = kBin + "/tool";
constexpr int kStopped = 11;  // decryptor_exit::kStopped

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// One shell word.
std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

struct ShellRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;  // standard output and error
};

// Runs a shell command line (under `timeout`, so that it cannot hang the test).
ShellRun Shell(const std::string& command) {
  const std::string line = "timeout -s KILL 60 sh -c " + Quote(command) + " 2>&1";
  FILE* p = popen(line.c_str(), "r");
  ShellRun run;
  if (!p) return run;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), p)) > 0) run.out.append(buffer.data(), n);
  const int status = pclose(p);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

// Waits for a child up to `limit`; its exit status, -2 on a signal, -3 (killed) past the limit.
int WaitExit(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    if (r < 0 || std::chrono::steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -3;
}

// Reads fd until `text` has appeared or `limit` has passed; what was read.
std::string ReadUntil(int fd, const std::string& text, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  std::string seen;
  while (seen.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    seen.append(buffer, static_cast<size_t>(n));
  }
  return seen;
}

// `tool BACKUP OUT` with the password line written into a pipe that is then closed, and its
// standard output and error going to outFd.
pid_t StartTool(const fs::path& backup, const fs::path& out, const std::string& password,
                int outFd) {
  int in[2];
  if (pipe(in) != 0) return -1;
  const std::string line = password + "\n";
  if (write(in[1], line.data(), line.size()) != static_cast<ssize_t>(line.size())) return -1;
  close(in[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
  std::string tool = kTool, b = backup.string(), o = out.string();
  char* argv[] = {tool.data(), b.data(), o.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv, environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  return pid;
}

size_t DataFilesIn(const fs::path& folder) {
  std::error_code ec;
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    n += e.is_regular_file() && e.path().filename().string().size() == 40;
  }
  return n;
}

BackupSpec FilesBackup(int files) {
  BackupSpec spec;
  for (int i = 0; i < files; ++i) {
    spec.files.push_back({"HomeDomain", "Library/f" + std::to_string(i),
                          std::string(50 + 37 * i, static_cast<char>('a' + i))});
  }
  return spec;
}

void MakeEncrypted(const TempDir& dir, const BackupSpec& backup, const EncryptSpec& spec) {
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "plain", backup, &error)) << error;
  ASSERT_TRUE(fixtures::EncryptBackup(dir / "plain", dir / "encrypted", spec, &error)) << error;
}

// The usage line's own way: the password piped in, standard input ending right after it.
TEST(ToolProgram, PipedPasswordDecryptsEveryFile) {
  TempDir dir;
  EncryptSpec spec;
  spec.password = "fixture-pass";
  const BackupSpec backup = FilesBackup(6);
  MakeEncrypted(dir, backup, spec);
  const std::string args = Quote(kTool) + " " + Quote((dir / "encrypted").string());

  const ShellRun good =
      Shell("printf 'fixture-pass\\n' | " + args + " " + Quote((dir / "out").string()));
  EXPECT_EQ(good.status, 0) << good.out;
  EXPECT_EQ(good.out.find("Stopped"), std::string::npos) << good.out;
  for (const auto& file : backup.files) {
    EXPECT_EQ(Slurp(dir / "out" / fixtures::FileId(file.domain, file.relativePath)), file.bytes)
        << file.relativePath;
  }
  EXPECT_TRUE(fs::exists(dir / "out" / "Manifest.db-decypted"));

  // Without a line feed at the end the line is still the password.
  const ShellRun noNewline =
      Shell("printf 'fixture-pass' | " + args + " " + Quote((dir / "out2").string()));
  EXPECT_EQ(noNewline.status, 0) << noNewline.out;
  EXPECT_EQ(DataFilesIn(dir / "out2"), backup.files.size());

  const ShellRun wrong = Shell("printf 'not-it\\n' | " + args + " " + Quote((dir / "bad").string()));
  EXPECT_EQ(wrong.status, 10) << wrong.out;
  EXPECT_NE(wrong.out.find("Wrong password"), std::string::npos) << wrong.out;
  std::error_code ec;
  EXPECT_TRUE(!fs::exists(dir / "bad") || fs::is_empty(dir / "bad", ec));
}

// SIGTERM in the middle of the key derivation: exit status 11 at once, no data file written.
TEST(ToolProgram, SigtermStops) {
  TempDir dir;
  EncryptSpec spec;
  spec.dpIterations = 1000000;  // a derivation long enough to be stopped in
  MakeEncrypted(dir, FilesBackup(3), spec);
  int output[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  const pid_t pid = StartTool(dir / "encrypted", dir / "out", spec.password, output[1]);
  close(output[1]);
  ASSERT_GT(pid, 0);
  const std::string seen = ReadUntil(output[0], "Deriving key", std::chrono::seconds(20));
  EXPECT_NE(seen.find("Deriving key"), std::string::npos) << seen;
  const auto start = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  EXPECT_EQ(WaitExit(pid, std::chrono::seconds(5)), kStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  close(output[0]);
  EXPECT_EQ(DataFilesIn(dir / "out"), 0u);
}

// The program that started `tool` is killed: `tool` stops instead of running on as an orphan.
// Its output pipe stays open here (this process holds it), so only the parent's death can
// tell it to stop; this process takes the orphan in (a child subreaper) to see how it ended.
TEST(ToolProgram, EndsWhenItsParentDies) {
  TempDir dir;
  EncryptSpec spec;
  spec.dpIterations = 1000000;
  MakeEncrypted(dir, FilesBackup(3), spec);
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  int output[2], pidPipe[2];
  ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
  ASSERT_EQ(pipe2(pidPipe, O_CLOEXEC), 0);
  const pid_t parent = fork();
  ASSERT_GE(parent, 0);
  if (parent == 0) {
    // The parent to be: starts `tool`, names it and waits to be killed.
    const pid_t tool = StartTool(dir / "encrypted", dir / "out", spec.password, output[1]);
    [[maybe_unused]] const ssize_t w = write(pidPipe[1], &tool, sizeof tool);
    for (;;) pause();
  }
  close(output[1]);
  close(pidPipe[1]);
  pid_t tool = -1;
  ASSERT_EQ(read(pidPipe[0], &tool, sizeof tool), static_cast<ssize_t>(sizeof tool));
  close(pidPipe[0]);
  ASSERT_GT(tool, 0);
  const std::string seen = ReadUntil(output[0], "Deriving key", std::chrono::seconds(20));
  EXPECT_NE(seen.find("Deriving key"), std::string::npos) << seen;
  kill(parent, SIGKILL);
  EXPECT_EQ(WaitExit(parent, std::chrono::seconds(5)), -2);
  EXPECT_EQ(WaitExit(tool, std::chrono::seconds(5)), kStopped);
  prctl(PR_SET_CHILD_SUBREAPER, 0);
  close(output[0]);
  EXPECT_EQ(DataFilesIn(dir / "out"), 0u);
}

TEST(Programs, VersionComesFromTheProject) {
  std::vector<std::string> programs = {"tool", "halvern-cli"};
#ifdef HALVERN_HAVE_GUI
  programs.push_back("halvern");
#endif
  for (const std::string& program : programs) {
    SCOPED_TRACE(program);
    const ShellRun run = Shell(Quote(kBin + "/" + program) + " --version");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, program + " " + kProgramVersion + "\n");
  }
}

}  // namespace
}  // namespace halvern
