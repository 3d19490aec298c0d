// Text helpers, local time, the mounted-filesystem list, output files, private and run folders
// of the platform layer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include "platform/codes.h"
#include "platform/output_file.h"
#include "platform/platform.h"
#include "platform/private_files.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern::platform {
namespace {

TEST(Utf8, ValidationAndRepair) {
  struct Case {
    std::string in;
    bool valid;
    std::string repaired;
  };
  const Case cases[] = {
      {"plain", true, "plain"},
      {"Chlo\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80", true, "Chlo\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80"},
      {"cut \xC3", false, "cut \xEF\xBF\xBD"},                     // truncated sequence
      {"over\xC0\xAF", false, "over\xEF\xBF\xBD\xEF\xBF\xBD"},     // overlong "/"
      {"sur\xED\xA0\x80", false, "sur\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"big\xF4\x90\x80\x80", false,
       "big\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},    // above U+10FFFF
      {"latin1 \xE9t\xE9", false, "latin1 \xEF\xBF\xBDt\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.in), c.valid) << c.in;
    EXPECT_EQ(SanitizeUtf8(c.in), c.repaired) << c.in;
    EXPECT_TRUE(IsValidUtf8(SanitizeUtf8(c.in)));
  }
}

TEST(Utf8, CaseInsensitiveComparisonByCodePoint) {
  EXPECT_EQ(CompareNoCase("IMG_0001.JPG", "img_0001.jpg"), 0);
  EXPECT_EQ(CompareNoCase("\xC3\x89lodie", "\xC3\xA9LODIE"), 0);        // Élodie / éLODIE
  EXPECT_EQ(CompareNoCase("\xD0\x90\xD0\xBD\xD1\x8F", "\xD0\xB0\xD0\x9D\xD0\xAF"), 0);  // Аня
  EXPECT_EQ(CompareNoCase("\xC5\x81" "ukasz", "\xC5\x82UKASZ"), 0);     // Łukasz
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_LT(CompareNoCase("ab", "AB c"), 0);
  // By code point after folding: 'z' (U+007A) sorts before 'é' (U+00E9).
  EXPECT_LT(CompareNoCase("Zoe", "\xC3\x89va"), 0);
}

TEST(LocalTime, FollowsDaylightSavingRules) {
  setenv("TZ", "Europe/Paris", 1);
  tzset();
  EXPECT_EQ(FormatLocalTime(UtcToUnix(2021, 1, 15, 12, 0, 0)), "2021-01-15 13:00:00");
  EXPECT_EQ(FormatLocalTime(UtcToUnix(2021, 7, 15, 12, 0, 0)), "2021-07-15 14:00:00");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatLocalTime(0), "1970-01-01 00:00:00");
  EXPECT_EQ(UtcToUnix(2001, 1, 1, 0, 0, 0), 978307200);
  EXPECT_EQ(UtcToUnix(2024, 2, 29, 23, 59, 59), 1709251199);
}

TEST(Filesystems, ListsRealMountsInTableOrder) {
  const auto file = std::filesystem::temp_directory_path() / "halvern-mounts-test";
  std::ofstream(file) << "proc /proc proc rw 0 0\n"
                         "/dev/vda1 / ext4 rw 0 0\n"
                         "sysfs /sys sysfs rw 0 0\n"
                         "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                         "garbage\n";
  const auto mounts = MountedFilesystems(file);
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].mountPoint, "/");
  EXPECT_EQ(mounts[1].mountPoint, "/media/usb stick");
  EXPECT_EQ(mounts[1].type, "vfat");
  std::filesystem::remove(file);
}

TEST(Folders, AppDataFollowsXdgThenHome) {
  setenv("XDG_DATA_HOME", "/data/xdg", 1);
  EXPECT_EQ(AppDataFolder(), "/data/xdg");
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  setenv("HOME", "/home/chloe", 1);
  EXPECT_EQ(AppDataFolder(), "/home/chloe/.local/share");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(AppDataFolder(), "/home/chloe/.local/share");
  EXPECT_TRUE(FreeBytes("/").has_value());
  EXPECT_EQ(FreeBytes("/no/such/folder/here").has_value(), FreeBytes("/").has_value());
  EXPECT_FALSE(FreeBytes("relative/nowhere").has_value());
}

}  // namespace
}  // namespace halvern::platform

// ----- Output files, private folders, run folders --------------------------------------------

namespace halvern::platform {
namespace {

namespace fs2 = std::filesystem;

std::string Slurp(const fs2::path& p) { return ReadFile(p).value_or("<unreadable>"); }

TEST(OutputFile, NextFreeNameTemporaryFileAndNothingLeftOnAbort) {
  fixtures::TempDir dir;
  std::ofstream(dir / "page.html") << "theirs";
  {
    OutputFile out;
    ASSERT_EQ(out.Reserve(dir / "page.html"), 0);
    EXPECT_EQ(out.path(), dir / "page(1).html");
    EXPECT_EQ(out.tempPath().parent_path(), dir.path());
    ASSERT_EQ(out.Write("ours"), 0);
    // While it is written, the real name holds no partial content.
    EXPECT_EQ(Slurp(dir / "page(1).html"), "");
    ASSERT_EQ(out.Commit(), 0);
  }
  EXPECT_EQ(Slurp(dir / "page.html"), "theirs");
  EXPECT_EQ(Slurp(dir / "page(1).html"), "ours");
  {
    OutputFile out;
    ASSERT_EQ(out.Reserve(dir / "page.html"), 0);
    EXPECT_EQ(out.path(), dir / "page(2).html");
    ASSERT_EQ(out.Write("half"), 0);
  }  // never committed: both the name and the temporary file go
  size_t count = 0;
  for (auto& e : fs2::directory_iterator(dir.path())) count += !e.path().empty();
  EXPECT_EQ(count, 2u);
  // A name taken by a link or a FIFO is passed over as well, never written through.
  fs2::create_symlink(dir / "page.html", dir / "link.html");
  OutputFile out;
  ASSERT_EQ(out.Reserve(dir / "link.html"), 0);
  EXPECT_EQ(out.path(), dir / "link(1).html");
  // A folder that cannot hold the file: its errno, not a clash.
  EXPECT_EQ(OutputFile().Reserve(dir / "missing" / "x.txt"), ENOENT);
}

TEST(OutputFile, AFileWithoutANameTakesTheFirstFreeNameWhenWhole) {
  fixtures::TempDir dir;
  std::ofstream(dir / "IMG.JPG") << "theirs";
  fs2::create_symlink(dir / "elsewhere", dir / "IMG(1).JPG");  // a dangling link is a taken name
  const auto names = [&] {
    std::set<std::string> all;
    for (auto& e : fs2::directory_iterator(dir.path())) all.insert(e.path().filename());
    return all;
  };
  const std::set<std::string> before = names();
  {
    OutputFile out;
    ASSERT_EQ(out.Open(dir / "IMG.JPG"), 0);
    ASSERT_EQ(out.Write("ours"), 0);
    EXPECT_EQ(names(), before);  // nothing of it is seen before it is whole
    ASSERT_EQ(out.Commit(), 0);
    EXPECT_EQ(out.path(), dir / "IMG(2).JPG");
  }
  EXPECT_EQ(Slurp(dir / "IMG.JPG"), "theirs");
  EXPECT_FALSE(fs2::exists(dir / "elsewhere"));
  EXPECT_EQ(Slurp(dir / "IMG(2).JPG"), "ours");
  const std::set<std::string> after = names();
  {
    OutputFile out;
    ASSERT_EQ(out.Open(dir / "IMG.JPG"), 0);
    ASSERT_EQ(out.Write("half"), 0);
  }  // never committed: nothing at all
  EXPECT_EQ(names(), after);
  EXPECT_EQ(OutputFile().Open(dir / "missing" / "x.txt"), ENOENT);
}

TEST(OutputFile, RunsAtOnceNeverTakeTheSameName) {
  fixtures::TempDir dir;
  constexpr int kWriters = 8, kEach = 20;
  std::vector<std::thread> threads;
  for (int t = 0; t < kWriters; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        fs2::path written;
        const std::string text = std::to_string(t) + "-" + std::to_string(i);
        if (t % 2 == 1) {  // half of them write files that get their name only when whole
          OutputFile out;
          EXPECT_EQ(out.Open(dir / "Notes.html"), 0);
          EXPECT_EQ(out.Write(text), 0);
          EXPECT_EQ(out.Commit(), 0);
          continue;
        }
        EXPECT_EQ(WriteOutputFile(dir / "Notes.html",
                                  [&](const fs2::path& temp) {
                                    std::ofstream(temp) << text;
                                    return 0;
                                  },
                                  &written),
                  0);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::set<std::string> contents;
  for (auto& e : fs2::directory_iterator(dir.path())) contents.insert(Slurp(e.path()));
  EXPECT_EQ(contents.size(), size_t{kWriters * kEach});  // every file kept, none replaced
}

// Stand-ins for copy_file_range: file systems that cannot copy between two files at all, or
// stop being able to part-way, and a disk that fails.
ssize_t CannotCopy(int, off_t*, int, off_t*, size_t, unsigned) {
  errno = EXDEV;
  return -1;
}
ssize_t CopiesThreeMiBThenCannot(int in, off_t* from, int out, off_t* to, size_t n, unsigned f) {
  if (*from >= (3 << 20)) {
    errno = ENOSYS;
    return -1;
  }
  return ::copy_file_range(in, from, out, to, std::min<size_t>(n, 1 << 20), f);
}
ssize_t DiskFails(int, off_t*, int, off_t*, size_t, unsigned) {
  errno = EIO;
  return -1;
}

TEST(OutputFile, CopiesByTheKernelOrThroughABufferAndAppendsBuffered) {
  fixtures::TempDir dir;
  std::string bytes(10 << 20, '\0');  // more than one piece
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 2654435761u) >> 13);
  std::ofstream(dir / "source", std::ios::binary) << bytes;
  const struct {
    const char* name;
    CopyRangeFunction copy;
    uint64_t size;
    int32_t result;
  } kCases[] = {
      {"kernel", nullptr, bytes.size(), 0},
      {"buffer", &CannotCopy, bytes.size(), 0},
      {"kernel then buffer", &CopiesThreeMiBThenCannot, bytes.size(), 0},
      {"failing disk", &DiskFails, bytes.size(), EIO},
      {"source shorter than said", nullptr, bytes.size() + 5, kReadFault},
      {"buffer, source shorter than said", &CannotCopy, bytes.size() + 5, kReadFault},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const int in = ::open((dir / "source").c_str(), O_RDONLY | O_CLOEXEC);
    OutputFile out;
    ASSERT_EQ(out.Reserve(dir / "copy.bin"), 0);
    std::vector<int32_t> percents;
    EXPECT_EQ(CopyBytes(in, out.fd(), c.size,
                        [&](int32_t percent) {
                          percents.push_back(percent);
                          return 0;
                        },
                        c.copy),
              c.result);
    ::close(in);
    if (c.result != 0) continue;
    EXPECT_EQ(percents, (std::vector<int32_t>{80, 100}));
    ASSERT_EQ(out.Commit(), 0);
    EXPECT_TRUE(Slurp(out.path()) == bytes);
    fs2::remove(out.path());
  }
  // A stop after the first piece is the answer.
  const int in = ::open((dir / "source").c_str(), O_RDONLY | O_CLOEXEC);
  OutputFile out;
  ASSERT_EQ(out.Reserve(dir / "copy.bin"), 0);
  EXPECT_EQ(CopyBytes(in, out.fd(), bytes.size(), [](int32_t) { return kStopped; }), kStopped);
  ::close(in);
  out.Abort();

  // Appended pieces, small and larger than the buffer, arrive whole and in order.
  OutputFile page;
  ASSERT_EQ(page.Reserve(dir / "page.html"), 0);
  std::string expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string piece = i % 1000 == 999 ? bytes.substr(0, 3 << 20) : std::to_string(i);
    ASSERT_EQ(page.Append(piece), 0);
    expected += piece;
  }
  ASSERT_EQ(page.Commit(), 0);
  EXPECT_TRUE(Slurp(page.path()) == expected);
}

TEST(PrivateFolders, MadePrivateAndNeverThroughALink) {
  fixtures::TempDir dir;
  fs2::create_directories(dir / "open");
  fs2::permissions(dir / "open", fs2::perms::all);
  EXPECT_EQ(MakePrivateFolder(dir / "open"), 0);
  EXPECT_EQ(fs2::status(dir / "open").permissions() & fs2::perms::all, fs2::perms::owner_all);
  EXPECT_EQ(MakePrivateFolder(dir / "new" / "deep"), 0);
  EXPECT_EQ(fs2::status(dir / "new" / "deep").permissions() & fs2::perms::all,
            fs2::perms::owner_all);
  fs2::create_directory_symlink(dir / "open", dir / "link");
  EXPECT_EQ(MakePrivateFolder(dir / "link"), ELOOP);

  // Reading: only regular files, a FIFO never blocks.
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  EXPECT_FALSE(ReadFile(dir / "fifo"));
  int error = 0;
  EXPECT_EQ(OpenRegularFile(dir / "fifo", Follow::kSymlinks, error), -1);
  EXPECT_EQ(error, EINVAL);
  std::ofstream(dir / "file") << "x";
  fs2::create_symlink(dir / "file", dir / "filelink");
  EXPECT_EQ(OpenRegularFile(dir / "filelink", Follow::kNoSymlinks, error), -1);
  EXPECT_EQ(error, ELOOP);
  const int fd = OpenRegularFile(dir / "filelink", Follow::kSymlinks, error);
  EXPECT_GE(fd, 0);
  if (fd >= 0) ::close(fd);
  EXPECT_EQ(FileKindText(dir / "fifo"), "a FIFO");
  EXPECT_EQ(FileKindText(dir / "filelink"), "a symbolic link");
}

TEST(RunFolders, ALiveRunIsKeptAKilledRunIsSweptAndOthersAreLeftAlone) {
  fixtures::TempDir dir;
  const fs2::path parent = dir / "cache";
  RunFolder mine;
  ASSERT_EQ(mine.Create(parent, true), 0);
  EXPECT_EQ(fs2::status(mine.path()).permissions() & fs2::perms::all, fs2::perms::owner_all);
  std::ofstream(mine.path() / "sms.db") << "secret";

  // A second process makes its run folder and is killed: its folder stays until a sweep.
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const pid_t child = fork();
  if (child == 0) {
    RunFolder theirs;
    if (theirs.Create(parent, true) != 0) _exit(1);
    std::ofstream(theirs.path() / "sms.db") << "secret";
    const std::string name = theirs.path().string();
    (void)!write(pipeFds[1], name.c_str(), name.size());
    ::close(pipeFds[1]);
    pause();
    _exit(0);
  }
  ::close(pipeFds[1]);
  char buf[4096];
  const ssize_t n = read(pipeFds[0], buf, sizeof buf);
  ::close(pipeFds[0]);
  ASSERT_GT(n, 0);
  const fs2::path killed(std::string(buf, size_t(n)));
  // While it lives, a sweep leaves it alone.
  EXPECT_EQ(SweepStaleRunFolders(parent), 0u);
  EXPECT_TRUE(fs2::exists(killed / "sms.db"));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(fs2::exists(killed / "sms.db"));
  // Other names in the parent are not run folders and stay.
  fs2::create_directories(parent / "other");
  EXPECT_EQ(SweepStaleRunFolders(parent), 1u);
  EXPECT_FALSE(fs2::exists(killed));
  EXPECT_TRUE(fs2::exists(mine.path() / "sms.db"));
  EXPECT_TRUE(fs2::exists(parent / "other"));
  const fs2::path minePath = mine.path();
  mine.Remove();
  EXPECT_FALSE(fs2::exists(minePath));
}

}  // namespace
}  // namespace halvern::platform
