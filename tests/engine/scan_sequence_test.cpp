// The scan sequence over a real backup session: notices in order, progress shown, pause,
// stop and the failure paths of Open.
#include <gtest/gtest.h>

#include <mutex>

#include "engine/quit_counter.h"
#include "engine/scan_sequence.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;

class RecordingFrontEnd : public ScanFrontEnd {
 public:
  void Post(int32_t message, int32_t wParam) override {
    std::lock_guard<std::mutex> lock(m_);
    posts_.emplace_back(message, wParam);
  }
  void OnProgressShown(int32_t percent) override {
    std::lock_guard<std::mutex> lock(m_);
    shown_.push_back(percent);
  }
  void OnCategoryReady(ScanCategory c) override {
    std::lock_guard<std::mutex> lock(m_);
    ready_.push_back(c);
  }
  std::vector<std::pair<int32_t, int32_t>> posts() {
    std::lock_guard<std::mutex> lock(m_);
    return posts_;
  }
  std::vector<int32_t> shown() {
    std::lock_guard<std::mutex> lock(m_);
    return shown_;
  }
  std::vector<ScanCategory> ready() {
    std::lock_guard<std::mutex> lock(m_);
    return ready_;
  }

 private:
  std::mutex m_;
  std::vector<std::pair<int32_t, int32_t>> posts_;
  std::vector<int32_t> shown_;
  std::vector<ScanCategory> ready_;
};

class ScanSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fixtures::WriteBackup(dir_ / "backup", fixtures::SampleMediaBackup()));
    ASSERT_EQ(info_.ReadBackupInfo(dir_ / "backup"), 0);
    session_ = std::make_unique<BackupSession>(dir_ / "appdata", dir_ / "tmp");
  }
  TempDir dir_;
  BackupInfo info_;
  std::unique_ptr<BackupSession> session_;
  RecordingFrontEnd ui_;
};

TEST_F(ScanSequenceTest, FullScanPostsInOrderAndFillsTheFileCategories) {
  ScanSequence scan(ui_, session_.get());
  ASSERT_EQ(scan.StartScan(1, info_, ""), 0);
  scan.WaitFinished();
  const auto posts = ui_.posts();
  ASSERT_GE(posts.size(), 3u);
  EXPECT_EQ(posts[0], std::make_pair(WM_SCAN_STATUS, int32_t{kScanStarted}));
  EXPECT_EQ(posts[1], std::make_pair(WM_SCAN_REFRESH_TREE, 0));
  EXPECT_EQ(posts.back(), std::make_pair(WM_SCAN_FINISHED, 0));
  // The photos hook selects the first category; the tree is refreshed after every category.
  EXPECT_EQ(posts[2], std::make_pair(WM_SCAN_REFRESH_TREE, 0));
  EXPECT_EQ(posts[3], std::make_pair(WM_SCAN_SELECT_FIRST, 0));
  EXPECT_EQ(scan.firstNode(), static_cast<int32_t>(ScanCategory::kCameraRoll));
  const auto ready = ui_.ready();
  const std::vector<ScanCategory> expectFiles = {
      ScanCategory::kCameraRoll, ScanCategory::kPhotoStream, ScanCategory::kMessageAttachments,
      ScanCategory::kAppPhotos, ScanCategory::kAppVideos, ScanCategory::kWhatsAppAttachments};
  for (auto c : expectFiles) {
    EXPECT_NE(std::find(ready.begin(), ready.end(), c), ready.end()) << CategoryName(c);
  }
  const auto& r = scan.results();
  EXPECT_EQ(r.appPhotos.at("example.notes").size(), 1u);
  EXPECT_EQ(r.appVideos.at("example.notes").size(), 1u);
  EXPECT_EQ(r.whatsAppAttachments.size(), 1u);
  // Progress is never shown backwards nor above 99, and the first report shows as 2.
  const auto shown = ui_.shown();
  ASSERT_FALSE(shown.empty());
  EXPECT_EQ(shown.front(), 2);
  EXPECT_TRUE(std::is_sorted(shown.begin(), shown.end()));
  EXPECT_LE(shown.back(), 99);
}

TEST_F(ScanSequenceTest, OpenFailureIsStatusThreeThenFinished) {
  fs::remove(dir_ / "backup" / "Manifest.db");
  ScanSequence scan(ui_, session_.get());
  ASSERT_EQ(scan.StartScan(1, info_, ""), 0);
  scan.WaitFinished();
  // The failure keeps its code: a scan that could not open was not stopped by anyone.
  EXPECT_EQ(scan.scanResult(), kInvalidParameter);
  EXPECT_FALSE(IsStopped(scan.scanResult()));
  const auto posts = ui_.posts();
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_EQ(posts[0], std::make_pair(WM_SCAN_STATUS, int32_t{kScanStarted}));
  EXPECT_EQ(posts[1], std::make_pair(WM_SCAN_STATUS, int32_t{kScanOpenFailed}));
  EXPECT_EQ(posts[2], std::make_pair(WM_SCAN_FINISHED, 0));
}

TEST_F(ScanSequenceTest, StopWhilePausedReleasesTheHoldAndEndsWithTwo) {
  ScanSequence scan(ui_, session_.get());
  scan.Pause();  // the worker blocks at its first report
  ASSERT_EQ(scan.StartScan(1, info_, ""), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(scan.finished());
  const int32_t quitBefore = QuitCounter.load();
  scan.Stop();
  EXPECT_TRUE(scan.finished());
  EXPECT_FALSE(scan.paused());
  EXPECT_EQ(QuitCounter.load(), quitBefore + 1);
  EXPECT_EQ(scan.scanResult(), kStopped);
  // Open of a plain backup ignores its reports' answers; the first category step stops.
  const auto posts = ui_.posts();
  ASSERT_EQ(posts.size(), 2u);
  EXPECT_EQ(posts[0], std::make_pair(WM_SCAN_REFRESH_TREE, 0));
  EXPECT_EQ(posts[1], std::make_pair(WM_SCAN_FINISHED, 0));
  EXPECT_LE(scan.results().cameraRoll.size(), 1u);  // at most the entry before its report
  EXPECT_TRUE(scan.scanLock().try_lock());  // the pause hold was released exactly once
  scan.scanLock().unlock();
}

TEST_F(ScanSequenceTest, ProgressShownRules) {
  ScanSequence scan(ui_, session_.get());
  EXPECT_EQ(ScanSequence::OnScanProgress(&scan, 1), 0);
  EXPECT_EQ(scan.shownPercent(), 2);
  EXPECT_EQ(ScanSequence::OnScanProgress(&scan, 2), 0);  // equal: nothing changes
  EXPECT_EQ(ScanSequence::OnScanProgress(&scan, 150), 0);
  EXPECT_EQ(scan.shownPercent(), 99);
  EXPECT_EQ(ui_.shown(), (std::vector<int32_t>{2, 99}));
  EXPECT_EQ(scan.StartScan(7, info_, ""), 1);  // unknown mode starts nothing
}

TEST(AppMaps, ByExtensionList) {
  const std::vector<AppFileItem> files = {{1, "a", "x.PNG", {}},  {1, "a", "clip.MP4", {}},
                                          {1, "b", "song.mp3", {}}, {1, "b", "README", {}},
                                          {1, "b", "data.bin", {}}, {1, "a", "raw.rm", {}}};
  AppFileMap photos, videos;
  BuildAppMaps(files, photos, videos);
  ASSERT_EQ(photos["a"].size(), 1u);
  EXPECT_EQ(photos["b"].size(), 2u);  // no extension and unknown extension go to photos
  EXPECT_EQ(videos["a"].size(), 2u);  // "rm|" is in the video list ("rmvb" alone would not match)
  EXPECT_EQ(videos["b"].size(), 1u);  // audio goes with videos
}

}  // namespace
}  // namespace halvern
