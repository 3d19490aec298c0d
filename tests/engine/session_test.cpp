// The engine contract and the backup session: factory, forwarding, Open's reports, clean-up
// and the temporary root.
#include <gtest/gtest.h>

#include <fstream>

#include "engine/backup_session.h"
#include "engine/engine.h"
#include "platform/platform.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;

struct Reports {
  std::vector<int32_t> values;
  static int32_t Callback(void* self, int32_t percent) {
    static_cast<Reports*>(self)->values.push_back(percent);
    return 0;
  }
};

// A session over a private application-data folder and temporary root.
struct SessionFixture {
  TempDir dir;
  fs::path appData = dir / "appdata";
  fs::path backups = appData / "Apple Computer" / "MobileSync" / "Backup";
  std::unique_ptr<BackupSession> session;

  void Start() { session = std::make_unique<BackupSession>(appData, dir / "tmproot"); }
  fs::path AddBackup(const std::string& name, fixtures::BackupSpec spec = {}) {
    EXPECT_TRUE(fixtures::WriteBackup(backups / name, spec));
    return backups / name;
  }
};

TEST(Engine, FactoryModesAndOwnership) {
  SessionFixture f;
  f.Start();
  EXPECT_EQ(CreateEngine(2, f.session.get()), nullptr);
  EXPECT_EQ(CreateEngine(0, nullptr), nullptr);  // no device engine registered here
  std::unique_ptr<IPhoneRecoveryParse> engine(CreateEngine(1, f.session.get()));
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(engine->IsLocalBackup(0));
  EXPECT_EQ(engine->ReservedQuery(7), 0);
  engine.reset();  // deleting the engine leaves the session alone
  EXPECT_EQ(f.session->step, 0);
  EXPECT_EQ(f.session->workFolder, f.appData / "TessoraniOSRecovery");
}

TEST(Engine, TakeWhatsAppAttachmentsAdvancesWithOrWithoutCallback) {
  SessionFixture f;
  f.Start();
  std::unique_ptr<IPhoneRecoveryParse> engine(CreateEngine(1, f.session.get()));
  f.session->whatsAppAttachments = {MediaFileItem{5, "a.JPG", "/x/a"}};
  f.session->progress = 80;
  f.session->step = 11;
  std::vector<MediaFileItem> out = {MediaFileItem{1, "old", "/old"}, MediaFileItem{}};
  EXPECT_EQ(engine->TakeWhatsAppAttachments(out), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].displayName, "a.JPG");
  EXPECT_EQ(f.session->progress, 91);
  engine->SetProgressCallback([](void*, int32_t) -> int32_t { return 2; }, nullptr);
  EXPECT_EQ(engine->TakeWhatsAppAttachments(out), 2);
  EXPECT_EQ(f.session->progress, 102);
}

TEST(Session, ListsBackupFoldersButNotDotNames) {
  SessionFixture f;
  f.AddBackup("visible");
  f.AddBackup(".hidden");
  f.Start();
  ASSERT_EQ(f.session->backupFolders.size(), 1u);
  EXPECT_EQ(f.session->backupFolders[0], f.backups / "visible");
  std::vector<BackupInfo> list;
  EXPECT_EQ(f.session->ListBackups(list), 0);
  ASSERT_EQ(list.size(), 1u);
  std::vector<fs::path> none;
  EXPECT_FALSE(BackupSession::ListFolder(f.dir / "missing", none));
}

TEST(Session, OpenReportsZeroOneAndTwelveAndReadsTheManifest) {
  for (auto kind : {fixtures::ManifestKind::kDb, fixtures::ManifestKind::kMbdb}) {
    SessionFixture f;
    fixtures::BackupSpec spec = fixtures::SampleMediaBackup();
    spec.manifest = kind;
    const fs::path folder = f.AddBackup("b", spec);
    f.Start();
    BackupInfo info;
    ASSERT_EQ(info.ReadBackupInfo(folder), 0);
    f.session->SetBackupInfo(info);
    Reports r;
    std::unique_ptr<IPhoneRecoveryParse> engine(CreateEngine(1, f.session.get()));
    engine->SetProgressCallback(&Reports::Callback, &r);
    ASSERT_EQ(engine->Open(""), 0);
    EXPECT_EQ(r.values, (std::vector<int32_t>{0, 1, 12}));
    EXPECT_EQ(f.session->progress, 12);
    EXPECT_EQ(f.session->hasManifestDb, kind == fixtures::ManifestKind::kDb);
    // Data files are found in the layout of the manifest.
    const std::string id = fixtures::FileId("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.PNG");
    EXPECT_TRUE(fs::exists(f.session->DataFilePath(id)));
    std::vector<MediaFileItem> roll, stream;
    EXPECT_EQ(engine->ScanPhotos(roll, stream), 0);
    EXPECT_EQ(roll.size(), 4u);
    EXPECT_EQ(f.session->progress, 12 + 22);
  }
}

TEST(Session, OpenWithoutAManifestIs87) {
  SessionFixture f;
  const fs::path folder = f.AddBackup("b");
  fs::remove(folder / "Manifest.db");
  f.Start();
  BackupInfo info;
  info.ReadBackupInfo(folder);
  f.session->SetBackupInfo(info);
  EXPECT_EQ(f.session->Open(""), kInvalidParameter);
  EXPECT_EQ(f.session->progress, 12);
}

TEST(Session, CleanupRemovesOnlyItsOwnFiles) {
  SessionFixture f;
  const fs::path folder = f.AddBackup("b", fixtures::SampleMediaBackup());
  f.Start();
  const fs::path decrypted = f.session->DecryptedFolder();
  fs::create_directories(decrypted / "keep-folder");
  std::ofstream(decrypted / "0123") << "x";
  std::ofstream(f.session->workFolder / "tmp.jpg") << "x";
  std::ofstream(f.session->workFolder / "other.txt") << "x";
  size_t backupFiles = 0;
  for (auto& e : fs::recursive_directory_iterator(folder)) backupFiles += e.is_regular_file();
  EXPECT_EQ(f.session->Cleanup(), 0);
  EXPECT_FALSE(fs::exists(decrypted / "0123"));
  EXPECT_TRUE(fs::exists(decrypted / "keep-folder"));
  EXPECT_FALSE(fs::exists(f.session->workFolder / "tmp.jpg"));
  EXPECT_TRUE(fs::exists(f.session->workFolder / "other.txt"));
  size_t after = 0;
  for (auto& e : fs::recursive_directory_iterator(folder)) after += e.is_regular_file();
  EXPECT_EQ(after, backupFiles);
}

std::optional<uint64_t> FakeFree(const fs::path& p) {
  const std::string s = p.string();
  if (s.find("exactly15") != std::string::npos) return 15ull << 30;
  if (s.find("plenty") != std::string::npos) return (15ull << 30) + 1;
  if (s.find("/mnt/a") != std::string::npos) return 100;
  if (s.find("/mnt/b") != std::string::npos) return 100;
  if (s.find("/mnt/c") != std::string::npos) return 50;
  return std::nullopt;
}

TEST(TempRoot, MoreThanFifteenGibibytesOnTheAppDataVolume) {
  TempDir dir;
  EXPECT_EQ(ChooseTempBackupRoot(dir / "plenty", {}, &FakeFree),
            dir / "plenty" / "TessoraniOSRecovery" / "Tessoran_tmp_backup");
  // Exactly 15 GiB does not qualify: the largest filesystem wins, the earlier one on ties.
  const fs::path a = dir / "mnt" / "a", b = dir / "mnt" / "b", c = dir / "mnt" / "c";
  EXPECT_EQ(ChooseTempBackupRoot(dir / "exactly15", {c, a, b}, &FakeFree),
            a / "Tessoran_tmp_backup");
  // Nothing else usable: the application-data location all the same.
  EXPECT_EQ(ChooseTempBackupRoot(dir / "exactly15", {dir / "unknown"}, &FakeFree),
            dir / "exactly15" / "TessoraniOSRecovery" / "Tessoran_tmp_backup");
}

}  // namespace
}  // namespace halvern
