// Stop signals of the command line (see stop_signals.h).
#include "cli/stop_signals.h"

namespace halvern::cli {

namespace {
volatile std::sig_atomic_t g_signal = 0;
constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
void OnSignal(int signal) { g_signal = signal; }
}  // namespace

StopSignals::StopSignals() {
  struct sigaction action {};
  action.sa_handler = &OnSignal;
  sigemptyset(&action.sa_mask);
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &previous_[i]);
}

StopSignals::~StopSignals() {
  for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &previous_[i], nullptr);
}

bool StopSignals::Raised() { return g_signal != 0; }
int StopSignals::Which() { return g_signal; }
void StopSignals::Reset() { g_signal = 0; }

}  // namespace halvern::cli
