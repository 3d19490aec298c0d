// halvern-cli device and scan --device against the simulated phone.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>

#include "tests/device/simulated_phone.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;
using nlohmann::json;
using testing::SimulatedPhone;

using fixtures::CliRun;

// Runs halvern-cli with this process's environment (the simulator's socket address) and
// `input` on its standard input.
CliRun Cli(const std::string& args, const std::string& input = "") {
  return fixtures::RunCli(args, "", input);
}

class DeviceCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", (dir_ / "appdata").c_str(), 1);
    std::string error;
    ASSERT_TRUE(fixtures::WriteScanBackup(fixtures::PhoneGeneration::kIos14, dir_ / "source",
                                          &expected_, &error))
        << error;
  }
  TempDir dir_;
  fixtures::ScanExpectation expected_;
};

TEST_F(DeviceCliTest, ListInfoAndBackup) {
  SimulatedPhone phone(dir_.path(), dir_ / "source", {{"device_name", "Ana"}});
  ASSERT_TRUE(phone.running());
  EXPECT_EQ(Cli("device list").out, phone.udid() + " (USB)\n");
  const CliRun info = Cli("device info");
  EXPECT_EQ(info.status, 0);
  EXPECT_NE(info.out.find("Device: Ana(iPhone 14.3)\n"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("Encrypted backups: no\n"), std::string::npos);

  const CliRun backup = Cli("device backup --to '" + (dir_ / "out").string() + "'");
  EXPECT_EQ(backup.status, 0);
  EXPECT_EQ(backup.out, (dir_ / "out" / phone.udid()).string() + "\n");
  EXPECT_TRUE(fs::is_regular_file(dir_ / "out" / phone.udid() / "Manifest.db"));
  EXPECT_TRUE(fs::is_regular_file(dir_ / "out" / phone.udid() / "Info.plist"));
}

TEST_F(DeviceCliTest, ScanDeviceAsJson) {
  SimulatedPhone phone(dir_.path(), dir_ / "source", {{"backup_password", "pw"}});
  ASSERT_TRUE(phone.running());
  const CliRun scan = Cli("scan --device --password-stdin --json", "pw");
  ASSERT_EQ(scan.status, 0);
  const json doc = json::parse(scan.out, nullptr, false);
  ASSERT_FALSE(doc.is_discarded()) << scan.out.substr(0, 200);
  EXPECT_EQ(doc["result"], 0);
  EXPECT_EQ(doc["categories"]["contacts"].size(), expected_.contacts.size());
  EXPECT_EQ(doc["categories"]["callHistory"].size(), expected_.calls.size());
  EXPECT_EQ(doc["categories"]["cameraRoll"].size(), expected_.cameraRoll.size());
  // The password was taken off for the backup and set back afterwards.
  EXPECT_EQ(phone.Find("changepw", {{"ok", true}}).size(), 2u);
  EXPECT_EQ(phone.Events("changepw").back()["encrypting"], true);

  const CliRun refused = Cli("scan --device --password-stdin", "nope");
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(phone.Events("backup_request").size(), 1u);
}

TEST_F(DeviceCliTest, RecoverDeviceWritesTheRecoveredFolder) {
  SimulatedPhone phone(dir_.path(), dir_ / "source", {{"device_name", "Ana"}});
  ASSERT_TRUE(phone.running());
  const fs::path out = dir_ / "recovered";
  const CliRun run = Cli("recover --device --only contacts,callhistory --to '" + out.string() + "'");
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_TRUE(fs::is_regular_file(out / "index.html"));
  bool contactsPage = false;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    contactsPage |= e.path().filename().string().find("ontacts") != std::string::npos;
  }
  EXPECT_TRUE(contactsPage);
  EXPECT_EQ(phone.Events("backup_request").size(), 1u);
}

TEST_F(DeviceCliTest, NoServiceIsAClearFailure) {
  setenv("USBMUXD_SOCKET_ADDRESS", ("UNIX:" + (dir_ / "none.sock").string()).c_str(), 1);
  EXPECT_EQ(Cli("device list").status, 1);
  EXPECT_EQ(Cli("scan --device").status, 1);
}

}  // namespace
}  // namespace halvern
