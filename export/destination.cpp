// The destination check of a recover run (see destination.h).
#include "export/destination.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace halvern {

namespace {

fs::path Resolved(const fs::path& p) {
  std::error_code ec;
  fs::path absolute = fs::absolute(p, ec);
  if (ec) absolute = p;
  fs::path canonical = fs::weakly_canonical(absolute, ec);
  return ec ? absolute.lexically_normal() : canonical;
}

bool IsInside(const fs::path& inner, const fs::path& outer) {
  auto o = outer.begin(), i = inner.begin();
  for (; o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;  // a trailing separator
    if (i == inner.end() || *o != *i) return false;
  }
  return true;
}

// Creates and removes a hidden file in `folder`: 0, or the errno of the failure.
int ProbeWrite(const fs::path& folder) {
  std::string name = (folder / ".halvern-write-check-XXXXXX").string();
  const int fd = mkstemp(name.data());
  if (fd < 0) return errno;
  close(fd);
  unlink(name.c_str());
  return 0;
}

}  // namespace

std::string DestinationCheck::Message() const {
  switch (problem) {
    case DestinationProblem::kNone:
      return {};
    case DestinationProblem::kInsideBackup:
      return "The folder " + destination.string() +
             " lies inside the backup being read; choose another folder.";
    case DestinationProblem::kNotWritable:
      return "The folder " + destination.string() + " cannot be written: " +
             std::strerror(error) + ".";
  }
  return {};
}

DestinationCheck CheckRecoverDestination(const fs::path& destination,
                                         const fs::path& backupFolder) {
  DestinationCheck check;
  check.destination = Resolved(destination);
  if (!backupFolder.empty() && IsInside(check.destination, Resolved(backupFolder))) {
    check.problem = DestinationProblem::kInsideBackup;
    return check;
  }
  // The folders of the destination that do not exist yet, innermost first; the nearest one
  // that exists must be a folder (a file in the way is not one).
  std::vector<fs::path> missing;
  fs::path existing = check.destination;
  std::error_code ec;
  while (!fs::exists(fs::symlink_status(existing, ec)) && existing.has_parent_path() &&
         existing.parent_path() != existing) {
    missing.push_back(existing);
    existing = existing.parent_path();
  }
  if (!fs::is_directory(existing, ec)) {
    check.problem = DestinationProblem::kNotWritable;
    check.error = fs::exists(existing, ec) ? ENOTDIR : ENOENT;
    return check;
  }
  // The probe is written inside the destination itself, never beside it: a destination that
  // does not exist yet is made first (what the run does next), and the folders made for the
  // check are removed again, so that the check leaves nothing behind.
  // Another run checking the same new folder at the same moment may make it first (it is then
  // there: no failure) or remove it again between our making and our probe (the check is then
  // made again).
  int error = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    error = 0;
    std::vector<fs::path> made;
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (::mkdir(it->c_str(), 0777) == 0) {
        made.push_back(*it);
      } else if (errno != EEXIST || !fs::is_directory(*it, ec)) {
        error = errno == EEXIST ? ENOTDIR : errno;
        break;
      }
    }
    if (error == 0) error = ProbeWrite(check.destination);
    for (auto it = made.rbegin(); it != made.rend(); ++it) ::rmdir(it->c_str());
    if (error != ENOENT) break;
  }
  if (error != 0) {
    check.problem = DestinationProblem::kNotWritable;
    check.error = error;
  }
  return check;
}

}  // namespace halvern
