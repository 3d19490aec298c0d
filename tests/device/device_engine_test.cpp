// The device engine against the simulated phone: a whole device scan of a phone that holds
// every database, the progress of Open, the copies and their removal with the engine, and
// the ways Open ends early.
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "device/device_recovery.h"
#include "engine/quit_counter.h"
#include "engine/scan_sequence.h"
#include "tests/device/simulated_phone.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/table_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;
using nlohmann::json;
using testing::SimulatedPhone;

int32_t Record(void* data, int32_t percent) {
  static_cast<std::vector<int32_t>*>(data)->push_back(percent);
  return 0;
}

class DeviceEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    // A current phone with voicemail beside its other databases.
    fixtures::BackupSpec spec;
    fs::create_directories(dir_ / "work");
    ASSERT_TRUE(fixtures::MakeScanBackupSpec(fixtures::PhoneGeneration::kIos14, dir_ / "work",
                                             spec, expected_, &error))
        << error;
    ASSERT_EQ(fixtures::AddVoicemail(spec, dir_ / "work", fixtures::SampleVoicemails()), "");
    ASSERT_TRUE(fixtures::WriteBackup(dir_ / "source", spec, &error)) << error;
  }
  void Start(const json& config = json::object()) {
    phone_ = std::make_unique<SimulatedPhone>(dir_.path(), dir_ / "source", config);
    ASSERT_TRUE(phone_->running());
  }
  std::unique_ptr<CDeviceRecovery> MakeEngine() {
    return std::make_unique<CDeviceRecovery>(session_, dir_ / "appdata", dir_ / "tmp");
  }

  TempDir dir_;
  fixtures::ScanExpectation expected_;
  std::unique_ptr<SimulatedPhone> phone_;
  DeviceSession session_;
};

TEST_F(DeviceEngineTest, OpenBacksUpCopiesAndDeletingTheEngineCleansUp) {
  Start();
  auto engine = MakeEngine();
  std::vector<int32_t> reports;
  engine->AttachSession(nullptr);
  engine->SetProgressCallback(&Record, &reports);
  ASSERT_EQ(engine->Open(""), 0);  // connects the session itself

  // 1, the backup's share scaled to 0..20, then 20.
  ASSERT_GE(reports.size(), 3u);
  EXPECT_EQ(reports.front(), 1);
  EXPECT_EQ(reports.back(), 20);
  const std::vector<int32_t> backup(reports.begin() + 1, reports.end() - 1);
  EXPECT_TRUE(std::is_sorted(backup.begin(), backup.end()));
  EXPECT_EQ(backup.back(), 20);

  const fs::path folder = engine->deviceBackupFolder();
  EXPECT_EQ(folder, dir_ / "tmp" / phone_->udid());
  for (const auto& copy : kDatabaseCopies) {
    EXPECT_TRUE(fs::is_regular_file(engine->CopyPath(copy.name))) << copy.name;
  }
  EXPECT_EQ(engine->ExportContactsCsv((dir_ / "contacts.csv").string()), 0);

  engine.reset();
  for (const auto& copy : kDatabaseCopies) {
    EXPECT_FALSE(fs::exists(dir_ / "tmp" / copy.name)) << copy.name;
  }
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_TRUE(fs::is_empty(folder));
}

class RecordingFrontEnd : public ScanFrontEnd {
 public:
  void Post(int32_t message, int32_t wParam) override {
    std::lock_guard<std::mutex> lock(m_);
    posts.emplace_back(message, wParam);
  }
  void OnProgressShown(int32_t percent) override {
    std::lock_guard<std::mutex> lock(m_);
    shown.push_back(percent);
  }
  std::mutex m_;
  std::vector<std::pair<int32_t, int32_t>> posts;
  std::vector<int32_t> shown;
};

DeviceSession* g_session = nullptr;
fs::path g_root;
IPhoneRecoveryParse* MakeTestEngine() {
  return new CDeviceRecovery(*g_session, g_root / "appdata", g_root / "tmp");
}

TEST_F(DeviceEngineTest, FullDeviceScanOverTlsFillsEveryCategory) {
  Start({{"session_ssl", true}, {"service_ssl", true}});
  bool encrypts = false;
  ASSERT_EQ(session_.Connect(encrypts), 0);
  g_session = &session_;
  g_root = dir_.path();
  RegisterDeviceEngineFactory(&MakeTestEngine);

  RecordingFrontEnd frontEnd;
  BackupSession backupSession(dir_ / "appdata", dir_ / "tmp");
  {
    ScanSequence scan(frontEnd, &backupSession);
    ASSERT_EQ(scan.StartScan(0, BackupInfo{}, ""), 0);
    scan.WaitFinished();
    EXPECT_EQ(scan.openResult(), 0);
    EXPECT_EQ(scan.scanResult(), 0);
    const ScanResults& r = scan.results();
    EXPECT_EQ(r.Count(ScanCategory::kMessages), expected_.messages.size());
    EXPECT_EQ(r.contacts.size(), expected_.contacts.size());
    EXPECT_EQ(r.calls.size(), expected_.calls.size());
    for (const NoteItem& want : expected_.notes) {  // both note stores
      EXPECT_NE(std::find_if(r.notes.begin(), r.notes.end(),
                             [&](const NoteItem& n) { return n.title == want.title; }),
                r.notes.end())
          << want.title;
    }
    EXPECT_EQ(r.Count(ScanCategory::kWhatsApp), expected_.whatsApp.size());
    EXPECT_EQ(r.cameraRoll.size(), expected_.cameraRoll.size());
    EXPECT_EQ(r.whatsAppAttachments.size(), expected_.whatsAppMedia.size());
    EXPECT_EQ(r.appFiles.size(), expected_.appFiles.size());
    // The table categories read the phone's fresh backup like any backup.
    const CategoryTable* voicemail = nullptr;
    for (size_t i = 0; i < TableCategories().size(); ++i) {
      if (std::string(TableCategories()[i]->key) == "voicemail")
        voicemail = r.Table(TableCategoryCode(i));
    }
    ASSERT_NE(voicemail, nullptr);
    EXPECT_EQ(voicemail->rows.size(), fixtures::SampleVoicemails().size());
    EXPECT_EQ(voicemail->DeletedCount(), 2u);
    for (auto category : {ScanCategory::kMessages, ScanCategory::kContacts,
                          ScanCategory::kCallHistory, ScanCategory::kNotes, ScanCategory::kWhatsApp,
                          ScanCategory::kCameraRoll, ScanCategory::kWhatsAppAttachments}) {
      EXPECT_GT(r.Count(category), 0u) << CategoryName(category);
    }
  }
  std::lock_guard<std::mutex> lock(frontEnd.m_);
  EXPECT_EQ(frontEnd.posts.back(), std::make_pair(WM_SCAN_FINISHED, 0));
  EXPECT_NE(std::find(frontEnd.shown.begin(), frontEnd.shown.end(), 20), frontEnd.shown.end());
  EXPECT_FALSE(
      phone_->Find("service", {{"name", "com.apple.mobilebackup2"}, {"tls", true}}).empty());
}

TEST_F(DeviceEngineTest, UnplugDuringTheBackupLeavesNoCopies) {
  Start({{"unplug_after_upload_bytes", 20000}});
  auto engine = MakeEngine();
  EXPECT_EQ(engine->Open(""), -1);
  EXPECT_TRUE(engine->deviceBackupFolder().empty());
  for (const auto& copy : kDatabaseCopies) {
    EXPECT_FALSE(fs::exists(engine->CopyPath(copy.name))) << copy.name;
  }
  const fs::path folder = dir_ / "tmp" / phone_->udid();
  engine.reset();
  EXPECT_TRUE(fs::is_directory(folder));  // deleting the engine removed no folder
}

TEST_F(DeviceEngineTest, WrongPasswordGivesTheDeviceCodeAndNoScan) {
  Start({{"backup_password", "secret"}});
  g_session = &session_;
  g_root = dir_.path();
  RegisterDeviceEngineFactory(&MakeTestEngine);
  RecordingFrontEnd frontEnd;
  BackupSession backupSession(dir_ / "appdata", dir_ / "tmp");
  ScanSequence scan(frontEnd, &backupSession);
  ASSERT_EQ(scan.StartScan(0, BackupInfo{}, "wrong"), 0);
  scan.WaitFinished();
  EXPECT_EQ(scan.openResult(), -207);
  EXPECT_EQ(scan.results().contacts.size(), 0u);
  EXPECT_TRUE(phone_->Events("backup_request").empty());
  std::lock_guard<std::mutex> lock(frontEnd.m_);
  EXPECT_NE(std::find(frontEnd.posts.begin(), frontEnd.posts.end(),
                      std::make_pair(WM_SCAN_STATUS, int32_t{kScanOpenFailed})),
            frontEnd.posts.end());
}

TEST_F(DeviceEngineTest, StopDuringTheBackupEndsTheScanQuietly) {
  Start({{"upload_delay", 0.2}});
  g_session = &session_;
  g_root = dir_.path();
  RegisterDeviceEngineFactory(&MakeTestEngine);
  RecordingFrontEnd frontEnd;
  BackupSession backupSession(dir_ / "appdata", dir_ / "tmp");
  ScanSequence scan(frontEnd, &backupSession);
  ASSERT_EQ(scan.StartScan(0, BackupInfo{}, ""), 0);
  for (int i = 0; i < 200 && phone_->Events("backup_request").empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const auto started = std::chrono::steady_clock::now();
  scan.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_TRUE(scan.openResult() == kStopped || scan.openResult() == -1) << scan.openResult();
  EXPECT_EQ(scan.scanResult(), kStopped);
  EXPECT_TRUE(phone_->Events("backup_done").empty());
  std::lock_guard<std::mutex> lock(frontEnd.m_);
  EXPECT_EQ(frontEnd.posts.back(), std::make_pair(WM_SCAN_FINISHED, 0));
}

}  // namespace
}  // namespace halvern
