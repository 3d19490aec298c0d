// halvern-cli over broken and crafted backups: an empty address book, FIFOs, a cut manifest,
// links and crafted file ids, runs at once into one folder, and signals during a decryption
// (the decrypted copy is private while it exists and gone afterwards).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::Quote;
using fixtures::TempDir;

using Clock = std::chrono::steady_clock;

struct CliResult {
  int status = -1;
  std::string err;
  double seconds = 0;
};

// Runs halvern-cli with `env` assignments and a 20 s limit (a hang fails the test, never the
// suite); standard error is kept for the messages.
CliResult CliWithErrors(const std::string& args, const std::string& env, const fs::path& errFile) {
  const auto start = Clock::now();
  const std::string cmd = env + " timeout -s KILL 20 '" HALVERN_BIN_DIR "/halvern-cli' " + args +
                          " </dev/null >/dev/null 2>" + Quote(errFile);
  const int status = std::system(cmd.c_str());
  CliResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  std::ifstream in(errFile);
  std::ostringstream s;
  s << in.rdbuf();
  r.err = s.str();
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}

std::string DataPath(const fs::path& backup, const std::string& domain, const std::string& path) {
  const std::string id = fixtures::FileId(domain, path);
  return (backup / id.substr(0, 2) / id).string();
}

TEST(HostileBackups, AnEmptyOrDamagedAddressBookIsNoReasonToCallABackupEncrypted) {
  for (const char* book : {"", "garbage", "folder"}) {
    TempDir dir;
    fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
    ASSERT_TRUE(fixtures::WriteBackup(dir / "b", spec));
    const fs::path ab(DataPath(dir / "b", "HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"));
    fs::create_directories(ab.parent_path());
    if (std::string(book) == "folder") {
      fs::create_directories(ab);
    } else {
      std::ofstream(ab) << book;
    }
    const CliResult r = CliWithErrors("scan " + Quote(dir / "b"), "", dir / "err");
    // The scan runs; a damaged address book is an error of its own category, never a reason
    // to take the whole backup for an encrypted one.
    EXPECT_TRUE(r.status == 0 ||
                r.err.find("Contacts: AddressBook.sqlitedb could not be read") != std::string::npos)
        << book << ": " << r.err;
    EXPECT_NE(r.err.find("found Camera Roll"), std::string::npos) << book << ": " << r.err;
    EXPECT_EQ(r.err.find("encrypted"), std::string::npos) << r.err;
  }
}

TEST(HostileBackups, FifosNeverHangAnyCommand) {
  TempDir dir;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", fixtures::SampleMediaBackup()));
  // A photo's data file, then Info.plist, then a database given to `sqlite`, as FIFOs.
  const fs::path photo(DataPath(dir / "b", "CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.JPG"));
  fs::remove(photo);
  ASSERT_EQ(mkfifo(photo.c_str(), 0600), 0);
  CliResult r = CliWithErrors("scan " + Quote(dir / "b"), "", dir / "err");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("Media/DCIM/100APPLE/IMG_0002.JPG: it is a FIFO"), std::string::npos) << r.err;

  ASSERT_TRUE(fixtures::WriteBackup(dir / "root" / "c", {}));
  fs::remove(dir / "root" / "c" / "Info.plist");
  ASSERT_EQ(mkfifo((dir / "root" / "c" / "Info.plist").c_str(), 0600), 0);
  r = CliWithErrors("info " + Quote(dir / "root" / "c"), "", dir / "err");
  EXPECT_EQ(r.status, 1) << r.err;
  r = CliWithErrors("list --root " + Quote(dir / "root"), "", dir / "err");
  EXPECT_EQ(r.status, 0) << r.err;
  ASSERT_EQ(mkfifo((dir / "db").c_str(), 0600), 0);
  r = CliWithErrors("sqlite " + Quote(dir / "db") + " --json", "", dir / "err");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_LT(r.seconds, 15);
}

TEST(HostileBackups, ACutLegacyManifestIsAnErrorNamingTheFile) {
  TempDir dir;
  fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
  spec.manifest = fixtures::ManifestKind::kMbdb;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", spec));
  const fs::path mbdb = dir / "b" / "Manifest.mbdb";
  const auto full = fs::file_size(mbdb);
  for (const uintmax_t size : {uintmax_t{6}, uintmax_t{20}, full - 3}) {
    fs::resize_file(mbdb, size);
    const CliResult r = CliWithErrors("scan " + Quote(dir / "b"), "", dir / "err");
    EXPECT_EQ(r.status, 1) << size;
    EXPECT_NE(r.err.find("Manifest.mbdb"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("damaged"), std::string::npos) << r.err;
  }
}

TEST(HostileBackups, NothingFromOutsideTheBackupIsCopied) {
  TempDir dir;
  const std::string secret = "\xFF\xD8\xFF\xE0\x00\x10JFIF outside secret";
  std::ofstream(dir / "outside.jpg", std::ios::binary) << secret;
  fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", spec));
  // A photo's data file replaced by a link to a file outside the backup.
  const fs::path photo(DataPath(dir / "b", "CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.JPG"));
  fs::remove(photo);
  fs::create_symlink(dir / "outside.jpg", photo);
  // A manifest row whose file id is a path out of the backup.
  const std::string sql = "sqlite3 " + Quote(dir / "b" / "Manifest.db") +
                          " \"INSERT INTO Files VALUES('../../outside.jpg','CameraRollDomain',"
                          "'Media/DCIM/100APPLE/EVIL.JPG',1,NULL);"
                          "INSERT INTO Files VALUES('" + (dir / "outside.jpg").string() +
                          "','CameraRollDomain','Media/DCIM/100APPLE/EVIL2.JPG',1,NULL);\"";
  if (std::system(sql.c_str()) != 0) GTEST_SKIP() << "no sqlite3 shell";
  const CliResult r = CliWithErrors("recover " + Quote(dir / "b") + " --to " + Quote(dir / "out"), "",
                              dir / "err");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("IMG_0002.JPG: it is a symbolic link"), std::string::npos) << r.err;
  for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
    if (!e.is_regular_file()) continue;
    std::ifstream in(e.path(), std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str().find("outside secret"), std::string::npos) << e.path();
  }
}

TEST(HostileBackups, RecoversAtOnceIntoOneFolderReplaceNothing) {
  TempDir dir;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", fixtures::SampleMediaBackup()));
  constexpr int kRuns = 4;
  std::vector<std::thread> runs;
  std::vector<CliResult> results(kRuns);
  for (int i = 0; i < kRuns; ++i) {
    runs.emplace_back([&, i] {
      results[i] = CliWithErrors("recover " + Quote(dir / "b") + " --to " + Quote(dir / "out"), "",
                                 dir / ("err" + std::to_string(i)));
    });
  }
  for (auto& t : runs) t.join();
  for (const CliResult& r : results) EXPECT_EQ(r.status, 0) << r.err;
  // Each run copied the same photos: all four copies of each are there, none replaced.
  size_t copies = 0;
  for (const auto& e : fs::directory_iterator(dir / "out" / "Camera Roll")) {
    copies += e.path().filename().string().rfind("IMG_0002", 0) == 0;
    EXPECT_EQ(e.path().filename().string().find(".part-"), std::string::npos);
  }
  EXPECT_EQ(copies, size_t{kRuns});
}

// ----- Signals during a decryption -----------------------------------------------------------

// A decryptor that writes one "decrypted" file, says so, and then takes its time.
void WriteSlowDecryptor(const fs::path& script, const fs::path& pidFile) {
  std::ofstream(script) << "#!/bin/sh\n"
                           "echo $$ > '" << pidFile.string() << "'\n"
                           "read password\n"
                           "printf 'private sms bytes' > \"$2/3d0d7e5fb2ce288813306e4d4636395e047a3d28\"\n"
                           "echo 'Count: 1'\n"
                           "exec sleep 30\n";
  fs::permissions(script, fs::perms::owner_all);
}

struct Child {
  pid_t pid = -1;
};

// Starts `halvern-cli scan BACKUP --password-stdin` with the environment set, the password on
// its input.
Child StartScan(const fs::path& backup, const fs::path& cache, const fs::path& tool) {
  int in[2];
  if (pipe(in) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    ::close(in[0]);
    ::close(in[1]);
    const int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, STDOUT_FILENO);
    dup2(devnull, STDERR_FILENO);
    setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    setenv("HALVERN_TOOL", tool.c_str(), 1);
    execl(HALVERN_BIN_DIR "/halvern-cli", "halvern-cli", "scan", backup.c_str(),
          "--password-stdin", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(in[0]);
  (void)!write(in[1], "pw\n", 3);
  ::close(in[1]);
  return {pid};
}

// The decrypted file once it exists (up to 20 s), else empty.
fs::path WaitForDecryptedFile(const fs::path& cacheRoot) {
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(cacheRoot, ec), end; !ec && it != end;
         it.increment(ec)) {
      if (it->path().filename() == "3d0d7e5fb2ce288813306e4d4636395e047a3d28") return it->path();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return {};
}

int WaitExit(pid_t pid) {
  int status = 0;
  for (int i = 0; i < 400; ++i) {
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  kill(pid, SIGKILL);
  waitpid(pid, &status, 0);
  return -2;
}

void EndTool(const fs::path& pidFile) {
  std::ifstream in(pidFile);
  pid_t pid = 0;
  if (in >> pid && pid > 0) kill(pid, SIGKILL);
}

fixtures::BackupSpec EncryptedSpec() {
  fixtures::BackupSpec spec;
  spec.manifestSaysEncrypted = true;
  return spec;
}

TEST(DecryptedCopies, SigtermAndSighupRemoveTheCopyLikeCtrlC) {
  for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
    TempDir dir;
    ASSERT_TRUE(fixtures::WriteBackup(dir / "b", EncryptedSpec()));
    WriteSlowDecryptor(dir / "tool", dir / "tool.pid");
    const Child child = StartScan(dir / "b", dir / "cache", dir / "tool");
    ASSERT_GT(child.pid, 0);
    const fs::path decrypted = WaitForDecryptedFile(dir / "cache" / "halvern");
    ASSERT_FALSE(decrypted.empty()) << "the decryptor never wrote";
    kill(child.pid, signal);
    EXPECT_EQ(WaitExit(child.pid), 130) << strsignal(signal);
    EXPECT_FALSE(fs::exists(decrypted)) << strsignal(signal);
    EXPECT_TRUE(fs::is_empty(dir / "cache" / "halvern")) << strsignal(signal);
    EndTool(dir / "tool.pid");
  }
}

TEST(DecryptedCopies, AfterSigkillNothingIsReadableByOthersAndTheNextRunRemovesIt) {
  TempDir dir;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", EncryptedSpec()));
  WriteSlowDecryptor(dir / "tool", dir / "tool.pid");
  const Child child = StartScan(dir / "b", dir / "cache", dir / "tool");
  ASSERT_GT(child.pid, 0);
  const fs::path decrypted = WaitForDecryptedFile(dir / "cache" / "halvern");
  ASSERT_FALSE(decrypted.empty()) << "the decryptor never wrote";
  kill(child.pid, SIGKILL);
  int status = 0;
  waitpid(child.pid, &status, 0);
  EndTool(dir / "tool.pid");
  ASSERT_TRUE(fs::exists(decrypted));

  // Every folder from the cache folder down to the copy is the owner's alone.
  for (fs::path p = decrypted.parent_path(); p != dir / "cache"; p = p.parent_path()) {
    struct stat st {};
    ASSERT_EQ(::lstat(p.c_str(), &st), 0) << p;
    EXPECT_EQ(st.st_mode & 07777, 0700u) << p;
  }
  // Another user cannot read a byte of it.
  if (::geteuid() == 0) {
    const pid_t other = fork();
    if (other == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
      const int fd = open(decrypted.c_str(), O_RDONLY);
      _exit(fd < 0 && errno == EACCES ? 0 : 1);
    }
    int otherStatus = 0;
    waitpid(other, &otherStatus, 0);
    EXPECT_TRUE(WIFEXITED(otherStatus) && WEXITSTATUS(otherStatus) == 0)
        << "another user could open the decrypted copy";
  }

  // The next run of any command, `info` included, removes the leftover copy.
  const CliResult r = CliWithErrors("info " + Quote(dir / "b"),
                              "XDG_CACHE_HOME=" + Quote(dir / "cache"), dir / "err");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(fs::exists(decrypted));
  EXPECT_TRUE(fs::is_empty(dir / "cache" / "halvern"));
}

TEST(DecryptedCopies, WithoutHomeOrXdgAnEncryptedScanIsRefused) {
  TempDir dir;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "b", EncryptedSpec()));
  const CliResult r = CliWithErrors("scan " + Quote(dir / "b") + " --password-stdin",
                              "cd " + Quote(dir.path()) + " && env -u HOME -u XDG_CACHE_HOME -u XDG_DATA_HOME",
                              dir / "err");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("HOME"), std::string::npos) << r.err;
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) entries += e.path().filename() != "b" && e.path().filename() != "err";
  EXPECT_EQ(entries, 0u);  // nothing written into the current folder
}

}  // namespace
}  // namespace halvern
