// The destination check of a recover run (see destination.h).
#include "export/destination.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
  // The nearest folder that exists takes the probe; a file in the way is not a folder.
  fs::path probe = check.destination;
  std::error_code ec;
  while (!fs::exists(probe, ec) && probe.has_parent_path() && probe.parent_path() != probe) {
    probe = probe.parent_path();
  }
  if (!fs::is_directory(probe, ec)) {
    check.problem = DestinationProblem::kNotWritable;
    check.error = fs::exists(probe, ec) ? ENOTDIR : ENOENT;
    return check;
  }
  if (const int error = ProbeWrite(probe); error != 0) {
    check.problem = DestinationProblem::kNotWritable;
    check.error = error;
  }
  return check;
}

}  // namespace halvern
