// halvern-cli device: the attached phone. `device list` prints the attached phones, `device
// info` connects the first one and prints what the device page shows, `device backup --to DIR`
// makes its full, unencrypted backup into DIR/<udid> with a progress bar.
#include "cli/cmd_device.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "cli/commands.h"
#include "cli/scan_output.h"
#include "device/device_page.h"
#include "device/device_session.h"
#include "engine/quit_counter.h"

namespace halvern::cli {

namespace {

constexpr const char* kUsage =
    "usage: device list | device info | device backup --to DIR [--password-stdin]";

void OnInterrupt(int) { ++QuitCounter; }

// The backup's percentage on stderr: a bar on a terminal, a line per tenth otherwise.
int32_t ShowBackupProgress(void* state, int32_t percent) {
  int& last = *static_cast<int*>(state);
  if (percent <= last) return 0;
  last = percent;
  if (isatty(STDERR_FILENO)) {
    const int width = 40, filled = percent * width / 100;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################",
                 width - filled, "", percent);
  } else if (percent % 10 == 0) {
    std::fprintf(stderr, "backup: %d%%\n", percent);
  }
  std::fflush(stderr);
  return 0;
}

int List() {
  if (!IsAppleMobileSupportInstalled()) {
    return Fail(1, "the usbmuxd service is not reachable at " + UsbmuxdAddress());
  }
  for (const auto& udid : ListAttachedDevices()) std::printf("%s (USB)\n", udid.c_str());
  return 0;
}

int Info() {
  bool encrypts = false;
  std::string error;
  if (ConnectDevice(encrypts, error) != 0) return Fail(1, error);
  DeviceSession& session = DeviceSession::Instance();
  std::string name, deviceClass, version;
  session.GetDeviceName(name);
  session.GetDeviceClass(deviceClass);
  session.GetProductVersion(version);
  std::printf("Device: %s\n", DeviceLabelText(name, deviceClass, version).c_str());
  std::printf("Name: %s\nClass: %s\nVersion: %s\nUDID: %s\nEncrypted backups: %s\n", name.c_str(),
              deviceClass.c_str(), version.c_str(), session.udid().c_str(),
              encrypts ? "yes" : "no");
  session.Close();
  return 0;
}

int Backup(Args& args) {
  std::string to;
  const bool passwordStdin = TakeFlag(args, "--password-stdin");
  if (!TakeOption(args, "--to", to) || !args.empty()) return Fail(2, kUsage);
  bool encrypts = false;
  std::string error;
  if (ConnectDevice(encrypts, error) != 0) return Fail(1, error);
  DeviceSession& session = DeviceSession::Instance();
  std::string password;
  if (encrypts && !ReadPassword(passwordStdin, password)) {
    session.Close();
    return Fail(1,
                "the phone encrypts its backups: give its backup password with --password-stdin");
  }
  int last = -1;
  session.SetProgressHook(&ShowBackupProgress, &last, 100);
  // Ctrl-C, SIGTERM and SIGHUP all stop the backup (the partial backup is then purged).
  auto previousInt = std::signal(SIGINT, OnInterrupt);
  auto previousTerm = std::signal(SIGTERM, OnInterrupt);
  auto previousHup = std::signal(SIGHUP, OnInterrupt);
  const int32_t result = session.RunBackup(to, encrypts ? password.c_str() : nullptr);
  std::signal(SIGINT, previousInt);
  std::signal(SIGTERM, previousTerm);
  std::signal(SIGHUP, previousHup);
  session.SetProgressHook(nullptr, nullptr, 0);
  if (last >= 0 && isatty(STDERR_FILENO)) std::fprintf(stderr, "\n");
  const int32_t restore = session.passwordRestoreResult();
  const std::string folder = session.GetBackupFolder().string();
  if (result == 0) session.KeepBackupFolder();
  session.Close();
  if (restore != 0) {
    std::fprintf(stderr,
                 "halvern-cli: warning: the phone's backup password could not be set back "
                 "(code %d); it makes unencrypted backups until a password is set again\n",
                 restore);
  }
  if (result != 0) {
    return Fail(result == kDeviceGone || result == kStopped ? 130 : 1,
                "device backup failed: " + DeviceFailureText(result));
  }
  std::printf("%s\n", folder.c_str());
  return 0;
}

}  // namespace

int ConnectDevice(bool& willEncrypt, std::string& error) {
  if (!IsAppleMobileSupportInstalled()) {
    error = "the usbmuxd service is not reachable at " + UsbmuxdAddress();
    return 1;
  }
  const int32_t result = DeviceSession::Instance().Connect(willEncrypt);
  if (result == 0) return 0;
  DeviceSession::Instance().Close();
  error = result == kDeviceGone
              ? "no phone is attached (or it does not answer)"
              : "the phone refused the connection (code " + std::to_string(result) +
                    "); unlock it and confirm that it trusts this computer";
  return 1;
}

std::string DeviceFailureText(int32_t code) {
  if (code == kDeviceGone) return "the phone went away or the backup was stopped";
  if (code == kStopped) return "stopped";
  if (code == kInvalidParameter) {
    return "the destination is missing, or the phone encrypts its backups and no password was "
           "given";
  }
  if (code < 0) {
    return "the phone reported error " + std::to_string(-code) +
           " (a refused backup password gives its own code)";
  }
  return "error " + std::to_string(code);
}

int DeviceCommand(const Args& input) {
  Args args = input;
  if (args.empty()) return Fail(2, kUsage);
  const std::string sub = args.front();
  args.erase(args.begin());
  if (sub == "list" && args.empty()) return List();
  if (sub == "info" && args.empty()) return Info();
  if (sub == "backup") return Backup(args);
  return Fail(2, kUsage);
}

}  // namespace halvern::cli
