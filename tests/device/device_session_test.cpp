// The device session against the simulated phone: the support check, Connect with its
// service connections and sync lock, the property caches and version flags, Close, and the
// device start page's detection.
#include "device/device_session.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "device/device_page.h"
#include "engine/quit_counter.h"
#include "tests/device/simulated_phone.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;
using nlohmann::json;
using testing::SimulatedPhone;

std::vector<std::string> Field(const std::vector<json>& events, const char* key) {
  std::vector<std::string> out;
  for (const auto& e : events) {
    if (e.contains(key) && e[key].is_string()) out.push_back(e[key]);
  }
  return out;
}

TEST(UsbmuxdAddressTest, FollowsLibusbmuxdRules) {
  const struct {
    const char* value;  // nullptr: unset
    const char* expected;
  } cases[] = {
      {nullptr, "UNIX:/var/run/usbmuxd"},
      {"UNIX:/tmp/mux.sock", "UNIX:/tmp/mux.sock"},
      {"UNIX:", "UNIX:/var/run/usbmuxd"},
      {"127.0.0.1:27015", "127.0.0.1:27015"},
      {"[::1]:5000", "[::1]:5000"},
      {"localhost:0", "UNIX:/var/run/usbmuxd"},
      {"localhost:99999", "UNIX:/var/run/usbmuxd"},
      {"/tmp/mux.sock", "UNIX:/var/run/usbmuxd"},
  };
  for (const auto& c : cases) {
    if (c.value) {
      setenv("USBMUXD_SOCKET_ADDRESS", c.value, 1);
    } else {
      unsetenv("USBMUXD_SOCKET_ADDRESS");
    }
    EXPECT_EQ(UsbmuxdAddress(), c.expected) << (c.value ? c.value : "(unset)");
  }
}

TEST(SupportCheckTest, TrueOnlyWhenTheSocketAnswers) {
  TempDir dir;
  setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + (dir / "missing.sock").string()).c_str(), 1);
  EXPECT_FALSE(IsAppleMobileSupportInstalled());
  SimulatedPhone phone(dir.path(), dir.path(), json{{"plugged", false}});
  ASSERT_TRUE(phone.running());
  EXPECT_TRUE(IsAppleMobileSupportInstalled());
}

class DeviceSessionTest : public ::testing::Test {
 protected:
  TempDir dir_;
};

TEST_F(DeviceSessionTest, ConnectOpensEveryServiceTakesTheLockAndFillsTheCaches) {
  SimulatedPhone phone(dir_.path(), dir_.path(),
                       json{{"device_name", "Chloé's iPhone"}, {"product_version", "14.3"}});
  ASSERT_TRUE(phone.running());
  DeviceSession session;
  bool encrypts = true;
  ASSERT_EQ(session.Connect(encrypts), 0);
  EXPECT_FALSE(encrypts);
  EXPECT_FALSE(session.willEncrypt);
  EXPECT_EQ(session.udid(), phone.udid());
  EXPECT_TRUE(session.isIos10OrLater);
  EXPECT_TRUE(session.isIos12OrLater);

  // The caches answer now: 87 with the value.
  std::string name, version, deviceClass;
  EXPECT_EQ(session.GetDeviceName(name), 87);
  EXPECT_EQ(name, "Chloé's iPhone");
  EXPECT_EQ(session.GetProductVersion(version), 87);
  EXPECT_EQ(version, "14.3");
  EXPECT_EQ(session.GetDeviceClass(deviceClass), 87);
  EXPECT_EQ(deviceClass, "iPhone");

  // What the phone saw: the five observed names in order, the escrow bag with the backup
  // service, the protocol hello, and the sync notices around an exclusive lock.
  EXPECT_EQ(Field(phone.Find("np", {{"cmd", "ObserveNotification"}}), "name"),
            (std::vector<std::string>{device_notice::kSyncCancel, device_notice::kSyncSuspend,
                                      device_notice::kSyncResume, device_notice::kHostAttached,
                                      device_notice::kHostDetached}));
  EXPECT_EQ(
      phone
          .Find("lockdown",
                {{"req", "StartService"}, {"service", "com.apple.mobilebackup2"}, {"escrow", true}})
          .size(),
      1u);
  EXPECT_EQ(phone.Find("dl", {{"msg", "Hello"}}).size(), 1u);
  EXPECT_EQ(phone.Find("afc", {{"op", "lock"}, {"lock", 6}, {"answer", 0}}).size(), 1u);
  EXPECT_EQ(
      Field(phone.Find("np", {{"cmd", "PostNotification"}}), "name"),
      (std::vector<std::string>{device_notice::kSyncWillStart, device_notice::kSyncLockRequest,
                                device_notice::kSyncDidStart}));

  session.Close();
  EXPECT_FALSE(session.HasDevice());
  EXPECT_EQ(phone.Find("afc", {{"op", "lock"}, {"lock", 12}}).size(), 1u);
  EXPECT_EQ(Field(phone.Find("np", {{"cmd", "PostNotification"}}), "name").back(),
            device_notice::kSyncDidFinish);
}

// The backup loop's presence probe asks the phone itself, never the property caches.
TEST_F(DeviceSessionTest, PresenceProbeAsksThePhoneAfresh) {
  SimulatedPhone phone(dir_.path(), dir_.path());
  ASSERT_TRUE(phone.running());
  DeviceSession session;
  bool encrypts = false;
  ASSERT_EQ(session.Connect(encrypts), 0);
  const size_t before = phone.Find("lockdown", {{"req", "GetValue"}, {"key", "DeviceName"}}).size();
  EXPECT_EQ(session.ProbeDevice(), DeviceSession::Presence::kAnswering);
  EXPECT_EQ(phone.Find("lockdown", {{"req", "GetValue"}, {"key", "DeviceName"}}).size(),
            before + 1);
  phone.Unplug();
  for (int i = 0; i < 50 && DeviceSession::IsDeviceAttached(); ++i) usleep(20000);
  EXPECT_EQ(session.ProbeDevice(), DeviceSession::Presence::kGone);
}

TEST_F(DeviceSessionTest, VersionFlagsFollowTheMajorVersion) {
  const struct {
    const char* version;
    bool ios10, ios12;
  } cases[] = {{"10.3.1", true, false}, {"12.0", true, true}, {"9.3.5", false, false}};
  for (const auto& c : cases) {
    TempDir dir;
    SimulatedPhone phone(dir.path(), dir.path(), json{{"product_version", c.version}});
    ASSERT_TRUE(phone.running());
    DeviceSession session;
    bool encrypts = false;
    ASSERT_EQ(session.Connect(encrypts), 0) << c.version;
    EXPECT_EQ(session.isIos10OrLater, c.ios10) << c.version;
    EXPECT_EQ(session.isIos12OrLater, c.ios12) << c.version;
    session.Close();
  }
}

TEST_F(DeviceSessionTest, EncryptingPhoneIsReportedAndTlsSessionsWork) {
  SimulatedPhone phone(
      dir_.path(), dir_.path(),
      json{{"backup_password", "secret"}, {"session_ssl", true}, {"service_ssl", true}});
  ASSERT_TRUE(phone.running());
  DeviceSession session;
  bool encrypts = false;
  ASSERT_EQ(session.Connect(encrypts), 0);
  EXPECT_TRUE(encrypts);
  EXPECT_FALSE(
      phone.Find("lockdown", {{"req", "GetValue"}, {"key", "WillEncrypt"}, {"tls", true}}).empty());
  EXPECT_FALSE(phone.Find("service", {{"name", "com.apple.mobilebackup2"}, {"tls", true}}).empty());
}

TEST_F(DeviceSessionTest, BusySyncLockIsTakenOnTheFourthTry) {
  SimulatedPhone phone(dir_.path(), dir_.path(), json{{"afc_lock_busy", 3}});
  ASSERT_TRUE(phone.running());
  DeviceSession session;
  bool encrypts = false;
  ASSERT_EQ(session.Connect(encrypts), 0);
  std::vector<int> answers;
  for (const auto& e : phone.Find("afc", {{"op", "lock"}, {"lock", 6}}))
    answers.push_back(e["answer"]);
  EXPECT_EQ(answers, (std::vector<int>{19, 19, 19, 0}));
  EXPECT_EQ(Field(phone.Find("np", {{"cmd", "PostNotification"}}), "name").back(),
            device_notice::kSyncDidStart);
}

TEST_F(DeviceSessionTest, NoDeviceGivesMinusOne) {
  SimulatedPhone phone(dir_.path(), dir_.path(), json{{"plugged", false}});
  ASSERT_TRUE(phone.running());
  DeviceSession session;
  bool encrypts = false;
  EXPECT_EQ(session.Connect(encrypts), -1);
  EXPECT_FALSE(DeviceSession::IsDeviceAttached());
  EXPECT_FALSE(phone.Find("mux", {{"msg", "ListDevices"}}).empty());
}

// ----- The device start page ----------------------------------------------------------------

TEST(DeviceLabelTest, NameClassAndVersion) {
  EXPECT_EQ(DeviceLabelText("A", "iPhone", "9.3"), "A(iPhone 9.3)");
  EXPECT_EQ(DeviceLabelText("A", "iPhone", ""), "A(iPhone)");
}

TEST_F(DeviceSessionTest, StartPageFollowsSupportAttachAndUnplug) {
  // Without the phone service the page says so and opens nothing.
  {
    DeviceSession session;
    DevicePageLogic page(session, [] { return false; });
    EXPECT_EQ(page.Build(), kPageNeedSupport);
    EXPECT_EQ(page.Tick(), kPageNeedSupport);
    EXPECT_FALSE(session.HasDevice());
  }

  SimulatedPhone phone(dir_.path(), dir_.path(),
                       json{{"plugged", false}, {"device_name", "A"}, {"product_version", "9.3"}});
  ASSERT_TRUE(phone.running());
  DeviceSession session;
  DevicePageLogic page(session);
  EXPECT_EQ(page.Build(), kPageConnect);
  EXPECT_EQ(page.Tick(), kPageConnect);  // nothing attached

  phone.Plug();
  for (int i = 0; i < 50 && !DeviceSession::IsDeviceAttached(); ++i) usleep(20000);
  EXPECT_EQ(page.Tick(), kPageDevice);
  EXPECT_EQ(page.label(), "A(iPhone 9.3)");
  EXPECT_EQ(page.OnScanPressed(), DevicePageLogic::ScanStart::kStartNow);
  const size_t connects = phone.Find("lockdown", {{"req", "StartSession"}}).size();
  EXPECT_EQ(page.Tick(), kPageDevice);  // still attached: nothing is reopened
  EXPECT_EQ(phone.Find("lockdown", {{"req", "StartSession"}}).size(), connects);

  QuitCounter = 0;
  phone.Unplug();
  for (int i = 0; i < 50 && DeviceSession::IsDeviceAttached(); ++i) usleep(20000);
  EXPECT_EQ(page.Tick(), kPageConnect);
  EXPECT_GT(QuitCounter.load(), 0);  // a running backup would have been asked to stop
  EXPECT_EQ(page.label(), "A(iPhone 9.3)");
}

TEST_F(DeviceSessionTest, StartPageAsksForThePasswordOfAnEncryptingPhone) {
  SimulatedPhone phone(dir_.path(), dir_.path(), json{{"backup_password", "secret"}});
  ASSERT_TRUE(phone.running());
  DeviceSession session;
  DevicePageLogic page(session);
  ASSERT_EQ(page.Tick(), kPageDevice);
  EXPECT_EQ(page.OnScanPressed(), DevicePageLogic::ScanStart::kAskPassword);
  EXPECT_EQ(page.SubmitPassword("wrong"), -207);
  EXPECT_TRUE(session.willEncrypt);
  EXPECT_EQ(page.SubmitPassword("secret"), 0);
  EXPECT_FALSE(session.willEncrypt);
  // Closing the session without a backup sets the password back.
  session.Close();
  EXPECT_EQ(phone.Find("changepw", {{"new", "secret"}, {"ok", true}}).size(), 1u);
  EXPECT_EQ(session.passwordRestoreResult(), 0);
}

}  // namespace
}  // namespace halvern
