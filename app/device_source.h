// What the device start page needs from the device session: whether the phone service can be
// reached, whether a phone is attached, its name, class and iOS version, whether it encrypts
// its backups, and removing its backup password. CreateDeviceSource() answers it through the
// process-wide device session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace halvern::app {

class DeviceSource {
 public:
  virtual ~DeviceSource() = default;
  // The usbmuxd service through which phones are reached is available.
  virtual bool IsSupportAvailable() = 0;
  // The session holds a device.
  virtual bool HasDevice() const = 0;
  // usbmuxd lists at least one device.
  virtual bool IsDeviceAttached() = 0;
  // No device backup is running.
  virtual bool IsIdle() const = 0;
  // Asks a running device backup to stop (raises the quit counter).
  virtual void RequestQuit() = 0;
  // Opens the first attached device; 0 on success with `willEncrypt` set, else a failure code.
  virtual int32_t Connect(bool& willEncrypt) = 0;
  virtual void Close() = 0;
  // Property getters: 0 when freshly read, 87 when answered from the cache or not readable.
  virtual int32_t GetDeviceName(std::string& out) = 0;
  virtual int32_t GetProductVersion(std::string& out) = 0;
  virtual int32_t GetDeviceClass(std::string& out) = 0;
  // Removes the device's backup password so that its backup comes out unencrypted; 0 on success.
  virtual int32_t RemoveBackupPassword(const std::string& password) = 0;
  // 0, or the code of the last failed attempt to set a removed backup password back (the
  // phone then makes unencrypted backups until its owner sets a password again).
  virtual int32_t PasswordRestoreResult() const { return 0; }
};

// The usbmuxd socket answers: $USBMUXD_SOCKET_ADDRESS ("UNIX:/path" or "host:port"), else
// /var/run/usbmuxd.
bool UsbmuxdReachable();

// The source the program uses: DeviceSession::Instance(). Without the usbmuxd service the
// support check fails and Connect answers -1 without touching the session.
std::unique_ptr<DeviceSource> CreateDeviceSource();

}  // namespace halvern::app
