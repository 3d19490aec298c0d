// The signals that stop a long command: Ctrl-C (SIGINT), SIGTERM (logout, `timeout`, service
// managers) and SIGHUP (a closed terminal). While a StopSignals object lives, each of them
// only raises a flag; the command then stops its work the way Ctrl-C does, so decrypted copies
// are removed and partial files deleted before the program ends.
#pragma once

#include <csignal>

namespace halvern::cli {

class StopSignals {
 public:
  StopSignals();
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // True once one of the signals arrived.
  static bool Raised();
  // The signal that arrived (0: none).
  static int Which();
  // Clears the flag (a new stage of a command).
  static void Reset();

 private:
  struct sigaction previous_[3] = {};
};

}  // namespace halvern::cli
