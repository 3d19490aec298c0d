// The device start page's detection and buttons over the device session.
#include "device/device_page.h"

#include <chrono>
#include <thread>

#include "engine/quit_counter.h"

namespace halvern {

std::string DeviceLabelText(const std::string& name, const std::string& deviceClass,
                            const std::string& version) {
  std::string text = name + "(" + deviceClass;
  if (!version.empty()) text += " ";
  return text + version + ")";
}

DevicePageLogic::DevicePageLogic(DeviceSession& session, SupportCheck supportCheck, Wait wait)
    : session_(session), supportCheck_(std::move(supportCheck)), wait_(std::move(wait)) {
  if (!wait_) {
    wait_ = [](int32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  }
}

int32_t DevicePageLogic::Build() {
  page_ = supportCheck_() ? kPageConnect : kPageNeedSupport;
  return page_;
}

int32_t DevicePageLogic::Retry() { return Build(); }

int32_t DevicePageLogic::Tick() {
  if (!supportCheck_()) return page_ = kPageNeedSupport;
  if (session_.HasDevice() && DeviceSession::IsDeviceAttached()) return page_;

  willEncrypt_ = false;
  ++QuitCounter;
  while (!session_.idle.load()) wait_(kDevicePollPeriodMs);
  session_.Close();
  bool encrypts = false;
  if (session_.Connect(encrypts) != kOk) return page_ = kPageConnect;
  willEncrypt_ = encrypts;
  std::string name, deviceClass, version;
  session_.GetDeviceName(name);
  session_.GetDeviceClass(deviceClass);
  session_.GetProductVersion(version);
  label_ = DeviceLabelText(name, deviceClass, version);
  return page_ = kPageDevice;
}

int32_t DevicePageLogic::SubmitPassword(const std::string& password) {
  return session_.RemoveBackupPassword(password.c_str());
}

}  // namespace halvern
