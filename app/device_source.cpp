// The support check over the usbmuxd socket, and the device source over the process-wide
// device session.
#include "app/device_source.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "device/device_session.h"
#include "engine/quit_counter.h"
#include "platform/codes.h"

namespace halvern::app {

namespace {

bool ConnectUnix(const std::string& path) {
  sockaddr_un addr{};
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) return false;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.data(), path.size());
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
  close(fd);
  return ok;
}

bool ConnectTcp(const std::string& host, const std::string& port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return false;
  bool ok = false;
  for (addrinfo* a = found; a != nullptr && !ok; a = a->ai_next) {
    const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
    close(fd);
  }
  freeaddrinfo(found);
  return ok;
}

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

bool UsbmuxdReachable() {
  const char* env = std::getenv("USBMUXD_SOCKET_ADDRESS");
  std::string address = env != nullptr ? env : "";
  if (address.empty()) return ConnectUnix("/var/run/usbmuxd");
  if (address.rfind("UNIX:", 0) == 0) return ConnectUnix(address.substr(5));
  const size_t colon = address.rfind(':');
  if (colon == std::string::npos) return false;
  return ConnectTcp(address.substr(0, colon), address.substr(colon + 1));
}

std::unique_ptr<DeviceSource> CreateDeviceSource() { return std::make_unique<SessionSource>(); }

}  // namespace halvern::app
