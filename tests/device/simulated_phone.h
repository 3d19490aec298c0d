// Starts the simulated iPhone (tools/iphone-sim) for one test on a private usbmuxd socket,
// points this process's libusbmuxd at it, and reads back what the phone saw.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace halvern::testing {

class SimulatedPhone {
 public:
  // `backupFolder` holds the backup the phone uploads (Manifest.db, Manifest.plist, two-level
  // data folders); `config` is the simulator's JSON configuration.
  SimulatedPhone(const std::filesystem::path& workDir, const std::filesystem::path& backupFolder,
                 const nlohmann::json& config = nlohmann::json::object());
  ~SimulatedPhone();
  SimulatedPhone(const SimulatedPhone&) = delete;
  SimulatedPhone& operator=(const SimulatedPhone&) = delete;

  bool running() const { return pid_ > 0 && !udid_.empty(); }
  const std::string& udid() const { return udid_; }
  const std::string& address() const { return address_; }

  // Every event the phone logged so far, optionally only those of one kind ("ev").
  std::vector<nlohmann::json> Events(const std::string& kind = "") const;
  // Events of `kind` whose fields include every field of `match`.
  std::vector<nlohmann::json> Find(const std::string& kind, const nlohmann::json& match) const;

  void Unplug();  // SIGUSR1
  void Plug();    // SIGUSR2

 private:
  pid_t pid_ = -1;
  std::filesystem::path events_;
  std::string udid_;
  std::string address_;
};

}  // namespace halvern::testing
