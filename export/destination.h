// The check every front end runs before a recover run starts: the destination must lie
// outside the backup being read and must take new files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace halvern {

namespace fs = std::filesystem;

enum class DestinationProblem {
  kNone,
  kInsideBackup,  // the destination is the backup folder or lies inside it
  kNotWritable,   // no file can be created there (`error` holds the system's errno)
};

struct DestinationCheck {
  DestinationProblem problem = DestinationProblem::kNone;
  int error = 0;          // errno of the failed write probe
  fs::path destination;   // the destination as resolved (absolute, links followed)
  bool ok() const { return problem == DestinationProblem::kNone; }
  // One English sentence naming the folder and the cause (the system's own message for
  // `error`).
  std::string Message() const;
};

// Resolves `destination` and `backupFolder` (empty: no backup to protect) and checks the
// destination. Writability is probed by creating and at once removing a hidden file inside the
// destination; a destination that does not exist yet is made for the probe (with its missing
// parents) and removed again. Nothing is written beside the destination, nothing is left
// behind and nothing is ever created inside the backup.
DestinationCheck CheckRecoverDestination(const fs::path& destination,
                                         const fs::path& backupFolder);

}  // namespace halvern
