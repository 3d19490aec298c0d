// The destination check writes only inside the folder it was given: the parents of a folder
// that does not exist yet never see a file of it, and a failed check leaves nothing behind.
#include "export/destination.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "tests/fixtures/temp_dir.h"
#include "tests/fixtures/unwritable.h"

namespace halvern {
namespace {

// What is created directly in a folder while it is watched: "name" for a file, "name/" for a
// folder.
class CreationWatch {
 public:
  explicit CreationWatch(const fs::path& folder) {
    fd_ = inotify_init1(IN_NONBLOCK);
    if (fd_ >= 0) inotify_add_watch(fd_, folder.c_str(), IN_CREATE);
  }
  ~CreationWatch() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  std::vector<std::string> Created() {
    std::vector<std::string> out;
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        if (e->len > 0) out.push_back(std::string(e->name) + ((e->mask & IN_ISDIR) ? "/" : ""));
        at += ssize_t(sizeof(inotify_event) + e->len);
      }
    }
    return out;
  }

 private:
  int fd_ = -1;
};

TEST(RecoverDestination, WritesNothingBesideTheChosenFolder) {
  struct Case {
    const char* relative;           // the destination below the watched parent
    std::vector<std::string> seen;  // what the parent sees created
  };
  const Case cases[] = {
      {"out", {"out/"}},              // made for the probe, then removed
      {"new/deeper", {"new/"}},       // the missing parent is the chosen folder's own path
      {"existing", {}},               // exists: probed inside
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.relative);
    fixtures::TempDir dir;
    fs::create_directories(dir / "existing");
    CreationWatch watch(dir.path());
    ASSERT_TRUE(watch.ok());
    const DestinationCheck check = CheckRecoverDestination(dir / c.relative, dir / "backup");
    EXPECT_TRUE(check.ok()) << check.Message();
    EXPECT_EQ(watch.Created(), c.seen);
    // Nothing is left: the folders made for the check are gone again.
    std::vector<std::string> left;
    for (const auto& e : fs::recursive_directory_iterator(dir.path()))
      left.push_back(fs::relative(e.path(), dir.path()).string());
    EXPECT_EQ(left, std::vector<std::string>{"existing"});
  }
}

TEST(RecoverDestination, AFolderThatTakesNoFileLeavesNothingBehind) {
  fixtures::TempDir dir;
  const fixtures::UnwritableFolder locked(dir.path(), dir / "locked");
  for (const fs::path& destination : {locked.path() / "sub", locked.path() / "a" / "b"}) {
    const DestinationCheck check = CheckRecoverDestination(destination, {});
    EXPECT_EQ(check.problem, DestinationProblem::kNotWritable) << destination;
    EXPECT_EQ(check.error, EACCES) << destination;
  }
  EXPECT_TRUE(fs::is_empty(locked.path()));
}

}  // namespace
}  // namespace halvern
