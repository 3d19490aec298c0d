// The device start page's detection, without a window: which of its three pages shows, the
// text of its device label, and what its buttons do, all through the device session. The
// desktop page calls Build when it is made, Tick on every DevicePollTimer event, and the
// button functions from its click handlers; it only draws what these return.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "device/device_session.h"

namespace halvern {

enum DevicePage : int32_t {
  kPageNeedSupport = 0,  // the phone service is missing (BtnAppleUrl, BtnItunesRetry)
  kPageConnect = 1,      // waiting for a phone
  kPageDevice = 2,       // a phone is connected: IphoneInfo label and BtnDeviceScan
};

inline constexpr int32_t kDevicePollTimerId = 101;
inline constexpr int32_t kDevicePollPeriodMs = 1000;

// name + "(" + class + (" " + version when there is one) + ")", e.g. "A(iPhone 9.3)".
std::string DeviceLabelText(const std::string& name, const std::string& deviceClass,
                            const std::string& version);

class DevicePageLogic {
 public:
  using SupportCheck = std::function<bool()>;
  // Waits the given milliseconds while a backup winds down; a GUI passes a wait that keeps
  // its event loop turning.
  using Wait = std::function<void(int32_t milliseconds)>;

  explicit DevicePageLogic(DeviceSession& session,
                           SupportCheck supportCheck = &IsAppleMobileSupportInstalled,
                           Wait wait = {});

  // The page shown when the page is built: 1 with the phone service, else 0.
  int32_t Build();
  // One poll. Without the phone service: page 0. A session that holds a device that is still
  // attached: nothing changes. Otherwise the device is new or gone: a running backup is asked
  // to stop (QuitCounter) and awaited, the session is closed and connected anew; page 2 with
  // the label on success, else page 1.
  int32_t Tick();
  // BtnItunesRetry: the support check again; page 1 when it passes, else 0.
  int32_t Retry();

  enum class ScanStart { kStartNow, kAskPassword };
  // BtnDeviceScan: start the device scan at once, or ask for the backup password first.
  ScanStart OnScanPressed() const {
    return willEncrypt_ ? ScanStart::kAskPassword : ScanStart::kStartNow;
  }
  // The password dialog's OK: removes the phone's backup password. 0: start the scan (the
  // password goes to the scan); otherwise show MSG0302 and stay.
  int32_t SubmitPassword(const std::string& password);

  int32_t page() const { return page_; }
  const std::string& label() const { return label_; }
  bool willEncrypt() const { return willEncrypt_; }

 private:
  DeviceSession& session_;
  SupportCheck supportCheck_;
  Wait wait_;
  int32_t page_ = kPageConnect;
  std::string label_;
  bool willEncrypt_ = false;
};

}  // namespace halvern
