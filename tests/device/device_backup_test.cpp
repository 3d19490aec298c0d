// The device backup driver against the simulated phone: a whole backup with the phone's DL
// sequence, the password taken off and set back, and the ways a backup ends early.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "device/device_session.h"
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

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Relative path -> bytes of the backup folder's Manifest.db and data files.
std::map<std::string, std::string> BackupContent(const fs::path& folder) {
  std::map<std::string, std::string> files;
  files["Manifest.db"] = Read(folder / "Manifest.db");
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!entry.is_directory() || entry.path().filename().string().size() != 2) continue;
    for (const auto& file : fs::directory_iterator(entry.path())) {
      files[entry.path().filename().string() + "/" + file.path().filename().string()] =
          Read(file.path());
    }
  }
  return files;
}

std::vector<std::string> LooseFiles(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file()) names.push_back(it->path().filename().string());
  }
  return names;
}

int32_t Record(void* data, int32_t percent) {
  static_cast<std::vector<int32_t>*>(data)->push_back(percent);
  return 0;
}

int32_t StopAtOnce(void*, int32_t) { return 2; }

class DeviceBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
    // A file larger than one block, so that blocks are split and joined.
    spec.files.push_back({"HomeDomain", "Library/big.bin", fixtures::MediaBytes("png", 100000)});
    ASSERT_TRUE(fixtures::WriteBackup(dir_ / "source", spec));
    expected_ = BackupContent(dir_ / "source");
  }

  // Starts the phone and connects a session to it.
  void Start(const json& config = json::object()) {
    phone_ = std::make_unique<SimulatedPhone>(dir_.path(), dir_ / "source", config);
    ASSERT_TRUE(phone_->running());
    bool encrypts = false;
    ASSERT_EQ(session_.Connect(encrypts), 0);
  }

  fs::path Folder() const { return dir_ / "dest" / phone_->udid(); }

  TempDir dir_;
  std::map<std::string, std::string> expected_;
  std::unique_ptr<SimulatedPhone> phone_;
  DeviceSession session_;
};

TEST_F(DeviceBackupTest, WholeBackupArrivesWithTheDeviceSequence) {
  Start();
  std::vector<int32_t> reports;
  session_.SetProgressHook(&Record, &reports, 20);
  ASSERT_EQ(session_.RunBackup(dir_ / "dest", nullptr), 0);
  EXPECT_TRUE(session_.idle);
  EXPECT_EQ(session_.GetBackupFolder(), Folder());

  EXPECT_EQ(BackupContent(Folder()), expected_);
  EXPECT_FALSE(fs::exists(Folder() / "Snapshot"));
  EXPECT_NE(Read(Folder() / "Status.plist").find("finished"), std::string::npos);
  const std::string info = Read(Folder() / "Info.plist");
  EXPECT_NE(info.find("<string>" + phone_->udid() + "</string>"), std::string::npos);
  EXPECT_NE(info.find("<key>iTunesPrefs</key>"), std::string::npos);
  EXPECT_NE(info.find("<key>Product Version</key>"), std::string::npos);

  // The request names the phone and asks for no forced full backup.
  const auto request = phone_->Events("backup_request");
  ASSERT_EQ(request.size(), 1u);
  EXPECT_EQ(request[0]["target"], phone_->udid());
  EXPECT_TRUE(request[0]["options"].is_null());

  // The phone first asks for a Status.plist the computer does not have: the 0x06 block, the
  // error dictionary with -6 and "Multi status".
  const auto download = phone_->Events("download");
  ASSERT_EQ(download.size(), 1u);
  EXPECT_EQ(download[0]["ok"], false);
  EXPECT_EQ(download[0]["code"], 6);
  const auto multi = phone_->Find("status", {{"msg", "DLMessageDownloadFiles"}});
  ASSERT_EQ(multi.size(), 1u);
  EXPECT_EQ(multi[0]["code"], -13);
  EXPECT_EQ(multi[0]["text"], "Multi status");
  EXPECT_EQ(multi[0]["value"][phone_->udid() + "/Status.plist"]["DLFileErrorCode"], -6);
  for (const auto& status : phone_->Find("status", {{"msg", "DLMessageUploadFiles"}})) {
    EXPECT_EQ(status["code"], 0);
  }
  EXPECT_EQ(phone_->Find("status", {{"msg", "DLMessageMoveItems"}, {"code", 0}}).size(), 1u);

  // Progress: the phone's percentages scaled to 20, never backwards, up to 20.
  ASSERT_FALSE(reports.empty());
  EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end()));
  EXPECT_EQ(reports.back(), 20);
  // The loop gave the sync lock back.
  EXPECT_EQ(phone_->Find("afc", {{"op", "lock"}, {"lock", 12}}).size(), 1u);
}

TEST_F(DeviceBackupTest, EncryptingPhoneIsBackedUpPlainAndItsPasswordSetBack) {
  Start({{"backup_password", "secret"}});
  ASSERT_TRUE(session_.willEncrypt);
  ASSERT_EQ(session_.RunBackup(dir_ / "dest", "secret"), 0);
  EXPECT_EQ(BackupContent(Folder()), expected_);

  const auto changes = phone_->Events("changepw");
  ASSERT_EQ(changes.size(), 2u);
  EXPECT_EQ(changes[0]["old"], "secret");
  EXPECT_TRUE(changes[0]["new"].is_null());
  EXPECT_EQ(changes[1]["new"], "secret");
  EXPECT_TRUE(changes[1]["old"].is_null());
  EXPECT_EQ(changes[1]["encrypting"], true);
  EXPECT_EQ(phone_->Events("backup_encrypted").at(0)["value"], false);
  EXPECT_TRUE(session_.willEncrypt);
  EXPECT_EQ(session_.passwordRestoreResult(), 0);
}

TEST_F(DeviceBackupTest, RefusedPasswordsEndBeforeTheBackup) {
  const struct {
    const char* password;
    int32_t expected;
  } cases[] = {{"wrong", -207}, {nullptr, 87}};
  for (const auto& c : cases) {
    TempDir dir;
    SimulatedPhone phone(dir.path(), dir_ / "source", {{"backup_password", "secret"}});
    ASSERT_TRUE(phone.running());
    DeviceSession session;
    bool encrypts = false;
    ASSERT_EQ(session.Connect(encrypts), 0);
    EXPECT_EQ(session.RunBackup(dir / "dest", c.password), c.expected);
    EXPECT_TRUE(session.willEncrypt);
    EXPECT_TRUE(session.idle);
    EXPECT_TRUE(phone.Events("backup_request").empty());
    EXPECT_TRUE(phone.Find("changepw", {{"ok", true}}).empty());
  }
}

TEST_F(DeviceBackupTest, PasswordThatCannotBeSetBackIsReported) {
  Start({{"backup_password", "secret"}, {"restore_fails", true}});
  EXPECT_EQ(session_.RunBackup(dir_ / "dest", "secret"), 0);
  EXPECT_EQ(session_.passwordRestoreResult(), -207);
  EXPECT_FALSE(session_.willEncrypt);
}

TEST_F(DeviceBackupTest, DeviceErrorCodeFailsTheBackupAndPurgesItsLooseFiles) {
  Start({{"final_error", {207, "Backup failed"}}});
  EXPECT_EQ(session_.RunBackup(dir_ / "dest", nullptr), -207);
  EXPECT_TRUE(LooseFiles(Folder()).empty());
  EXPECT_TRUE(fs::is_directory(Folder()));  // the folder and its subfolders stay
}

TEST_F(DeviceBackupTest, UnplugMidBackupStopsAtOnce) {
  Start({{"unplug_after_upload_bytes", 60000}});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(session_.RunBackup(dir_ / "dest", nullptr), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_TRUE(session_.idle);
  EXPECT_FALSE(phone_->Events("unplug").empty());
  EXPECT_TRUE(LooseFiles(Folder()).empty());
  EXPECT_TRUE(LooseFiles(Folder() / "Snapshot").empty());
  // The file in transfer is not left half written.
  for (const auto& entry : fs::recursive_directory_iterator(Folder())) {
    if (!entry.is_regular_file()) continue;
    const std::string relative = fs::relative(entry.path(), Folder() / "Snapshot").string();
    ASSERT_TRUE(expected_.count(relative)) << relative;
    EXPECT_EQ(Read(entry.path()), expected_[relative]) << relative;
  }
}

TEST_F(DeviceBackupTest, CancelOnThePhoneAndStopEndTheBackupQuietly) {
  {
    Start({{"cancel_after_files", 2}});
    EXPECT_EQ(session_.RunBackup(dir_ / "dest", nullptr), -1);
    EXPECT_EQ(phone_->Find("relay", {{"observers", 1}}).size(), 1u);
    EXPECT_TRUE(phone_->Events("backup_done").empty());
    session_.Close();
    phone_.reset();
  }
  {
    TempDir dir;
    SimulatedPhone phone(dir.path(), dir_ / "source");
    ASSERT_TRUE(phone.running());
    DeviceSession session;
    bool encrypts = false;
    ASSERT_EQ(session.Connect(encrypts), 0);
    session.SetProgressHook(&StopAtOnce, nullptr, 20);
    EXPECT_EQ(session.RunBackup(dir / "dest", nullptr), 2);
    EXPECT_TRUE(LooseFiles(dir / "dest" / phone.udid()).empty());
  }
}

TEST_F(DeviceBackupTest, FileThatCannotBeWrittenKeepsTheStreamInStep) {
  Start({{"unwritable_file", true}});
  ASSERT_EQ(session_.RunBackup(dir_ / "dest", nullptr), 0);
  EXPECT_EQ(BackupContent(Folder()), expected_);
  // The phone hears of the file that could not be written.
  const auto uploads = phone_->Find("status", {{"msg", "DLMessageUploadFiles"}});
  ASSERT_FALSE(uploads.empty());
  EXPECT_EQ(uploads[0]["code"], -6);
}

// A pause longer than the library's 30 s receive timeout in the middle of a file: the
// zero-byte read is retried while the phone is attached, and the file arrives whole.
TEST_F(DeviceBackupTest, LongPauseInsideAFileIsWaitedOut) {
  Start({{"stall_mid_file", 32}});
  ASSERT_EQ(session_.RunBackup(dir_ / "dest", nullptr), 0);
  EXPECT_FALSE(phone_->Events("stall").empty());
  EXPECT_EQ(BackupContent(Folder()), expected_);
}

}  // namespace
}  // namespace halvern
