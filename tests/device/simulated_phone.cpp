// The simulator process of one test.
#include "tests/device/simulated_phone.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

extern char** environ;

namespace halvern::testing {

namespace fs = std::filesystem;

SimulatedPhone::SimulatedPhone(const fs::path& workDir, const fs::path& backupFolder,
                               const nlohmann::json& config)
    : events_(workDir / "phone-events.jsonl") {
  const std::string python = HALVERN_PYTHON3;
  const std::string script = std::string(HALVERN_SOURCE_DIR) + "/tools/iphone-sim/iphone_sim.py";
  const std::string socketPath = (workDir / "usbmuxd.sock").string();
  const std::string configText = config.dump();
  std::vector<std::string> args = {
      python,     script,           "--socket", socketPath, "--backup", backupFolder.string(),
      "--events", events_.string(), "--config", configText};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out[2];
  if (pipe(out) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  if (posix_spawn(&pid_, python.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);

  // The first line names the socket: "USBMUXD_SOCKET_ADDRESS=UNIX:/path udid=...".
  std::string line;
  pollfd pfd{out[0], POLLIN, 0};
  while (pid_ > 0 && line.find('\n') == std::string::npos && poll(&pfd, 1, 20000) > 0) {
    char buffer[256];
    const ssize_t n = read(out[0], buffer, sizeof(buffer));
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  close(out[0]);
  const std::string key = "USBMUXD_SOCKET_ADDRESS=";
  const size_t space = line.find(" udid=");
  if (line.rfind(key, 0) != 0 || space == std::string::npos) return;
  address_ = line.substr(key.size(), space - key.size());
  udid_ = line.substr(space + 6);
  while (!udid_.empty() && (udid_.back() == '\n' || udid_.back() == '\r')) udid_.pop_back();
  setenv("USBMUXD_SOCKET_ADDRESS", address_.c_str(), 1);
}

namespace {

// Waits for pid up to `limit`; true once it has been reaped (or is not a child any more).
bool ReapWithin(pid_t pid, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid || (r < 0 && errno != EINTR)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

// SIGTERM, a grace of 2 s, then SIGKILL: a simulator that does not end on its own cannot hold
// the test up. After SIGKILL the wait is bounded too, and a process still not reaped is named.
SimulatedPhone::~SimulatedPhone() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  if (ReapWithin(pid_, std::chrono::seconds(2))) return;
  std::fprintf(stderr, "simulated phone %d ignored SIGTERM for 2 s; killing it\n",
               static_cast<int>(pid_));
  kill(pid_, SIGKILL);
  if (!ReapWithin(pid_, std::chrono::seconds(5))) {
    std::fprintf(stderr, "simulated phone %d not reaped after SIGKILL\n", static_cast<int>(pid_));
  }
}

std::vector<nlohmann::json> SimulatedPhone::Events(const std::string& kind) const {
  std::vector<nlohmann::json> events;
  std::ifstream in(events_);
  std::string line;
  while (std::getline(in, line)) {
    auto event = nlohmann::json::parse(line, nullptr, false);
    if (event.is_discarded()) continue;
    if (kind.empty() || event.value("ev", "") == kind) events.push_back(std::move(event));
  }
  return events;
}

std::vector<nlohmann::json> SimulatedPhone::Find(const std::string& kind,
                                                 const nlohmann::json& match) const {
  std::vector<nlohmann::json> found;
  for (auto& event : Events(kind)) {
    bool all = true;
    for (auto it = match.begin(); it != match.end() && all; ++it) {
      all = event.contains(it.key()) && event[it.key()] == it.value();
    }
    if (all) found.push_back(std::move(event));
  }
  return found;
}

void SimulatedPhone::Unplug() {
  if (pid_ > 0) kill(pid_, SIGUSR1);
}
void SimulatedPhone::Plug() {
  if (pid_ > 0) kill(pid_, SIGUSR2);
}

}  // namespace halvern::testing
