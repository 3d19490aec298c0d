// The support check over the usbmuxd socket, and the device source over the process-wide
// device session.
#include "app/device_source.h"

#include "device/device_session.h"
#include "engine/quit_counter.h"
#include "platform/codes.h"

namespace halvern::app {

namespace {

// The page's view of DeviceSession::Instance(). Without the usbmuxd service the session is
// never asked anything: the page stays on its support page and no device is seen.
class SessionSource : public DeviceSource {
 public:
  bool IsSupportAvailable() override { return UsbmuxdReachable(); }
  bool HasDevice() const override { return Session().HasDevice(); }
  bool IsDeviceAttached() override { return DeviceSession::IsDeviceAttached(); }
  bool IsIdle() const override { return Session().idle.load(); }
  // The next backup resets the counter when it starts.
  void RequestQuit() override { ++QuitCounter; }
  int32_t Connect(bool& willEncrypt) override {
    willEncrypt = false;
    if (!UsbmuxdReachable()) return kDeviceGone;
    return Session().Connect(willEncrypt);
  }
  void Close() override { Session().Close(); }
  int32_t GetDeviceName(std::string& out) override { return Session().GetDeviceName(out); }
  int32_t GetProductVersion(std::string& out) override { return Session().GetProductVersion(out); }
  int32_t GetDeviceClass(std::string& out) override { return Session().GetDeviceClass(out); }
  int32_t RemoveBackupPassword(const std::string& password) override {
    return Session().RemoveBackupPassword(password.c_str());
  }
  int32_t PasswordRestoreResult() const override { return Session().passwordRestoreResult(); }

 private:
  static DeviceSession& Session() { return DeviceSession::Instance(); }
};

}  // namespace

bool UsbmuxdReachable() { return IsAppleMobileSupportInstalled(); }

std::unique_ptr<DeviceSource> CreateDeviceSource() { return std::make_unique<SessionSource>(); }

}  // namespace halvern::app
