// The engine contract and the backup session: factory, forwarding, Open's reports, clean-up
// and the temporary root.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <optional>

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
  // The decrypted copy goes whole, folders included.
  EXPECT_FALSE(fs::exists(decrypted));
  EXPECT_FALSE(fs::exists(f.session->workFolder / "tmp.jpg"));
  EXPECT_TRUE(fs::exists(f.session->workFolder / "other.txt"));
  size_t after = 0;
  for (auto& e : fs::recursive_directory_iterator(folder)) after += e.is_regular_file();
  EXPECT_EQ(after, backupFiles);
}

// Sets (or, with nullptr, unsets) an environment variable for one test.
class EnvGuard {
 public:
  EnvGuard(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~EnvGuard() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

fs::path EncryptedBackup(SessionFixture& f) {
  fixtures::BackupSpec spec;
  spec.manifestSaysEncrypted = true;
  return f.AddBackup("enc", spec);
}

TEST(TempRoot, APrivateRunFolderInTheUsersCacheOnlyWhenNeeded) {
  TempDir dir;
  EnvGuard cache("XDG_CACHE_HOME", (dir / "cache").c_str());
  SetTempBackupParent({});
  EXPECT_EQ(TempBackupParent(), dir / "cache" / "halvern");
  // A session over a plain backup makes nothing there.
  {
    SessionFixture f;
    f.AddBackup("plain");
    auto session = std::make_unique<BackupSession>(f.appData, fs::path());
    EXPECT_FALSE(fs::exists(dir / "cache" / "halvern"));
  }
  const fs::path root = TempBackupRoot();
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(root.parent_path(), dir / "cache" / "halvern");
  struct stat st {};
  ASSERT_EQ(::stat(root.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::stat(root.parent_path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  // A chosen folder replaces it; the run folder under the old parent goes at once.
  fs::create_directories(dir / "chosen");
  SetTempBackupParent(dir / "chosen");
  EXPECT_FALSE(fs::exists(root));
  EXPECT_EQ(TempBackupRoot().parent_path(), dir / "chosen");
  SetTempBackupParent({});
}

TEST(TempRoot, WithoutHomeOrXdgADecryptionIsRefusedAndNothingIsWrittenHere) {
  TempDir dir;
  EnvGuard cache("XDG_CACHE_HOME", nullptr);
  EnvGuard home("HOME", nullptr);
  SetTempBackupParent({});
  EXPECT_TRUE(TempBackupParent().empty());
  EXPECT_TRUE(TempBackupRoot().empty());
  SessionFixture f;
  const fs::path folder = EncryptedBackup(f);
  const fs::path cwd = fs::current_path();
  fs::current_path(dir.path());
  {
    BackupSession session{fs::path(), fs::path()};  // no application-data folder either
    EXPECT_TRUE(session.workFolder.empty());
    BackupInfo info;
    ASSERT_EQ(info.ReadBackupInfo(folder), 0);
    ASSERT_TRUE(info.isEncrypted);
    session.SetBackupInfo(info);
    EXPECT_EQ(session.Open("pw"), kNoTempFolder);
  }
  fs::current_path(cwd);
  EXPECT_TRUE(fs::is_empty(dir.path()));  // nothing landed in the current folder
  SetTempBackupParent({});
}

std::optional<uint64_t> TenBytesFree(const fs::path& p) {
  if (p.string().find("small") != std::string::npos) return 10;
  return uint64_t{1} << 40;
}

TEST(TempRoot, ShortSpaceIsSaidAndTheChooserMayGiveAnotherFolder) {
  TempDir dir;
  EnvGuard cache("XDG_CACHE_HOME", (dir / "small").c_str());
  SetTempBackupParent({});
  SessionFixture f;
  const fs::path folder = EncryptedBackup(f);
  BackupSession session(f.appData, fs::path());
  session.freeBytes = &TenBytesFree;
  BackupInfo info;
  ASSERT_EQ(info.ReadBackupInfo(folder), 0);
  session.SetBackupInfo(info);
  EXPECT_EQ(session.Open("pw"), kTempSpaceShort);
  EXPECT_EQ(session.lastShortfall.folder, dir / "small" / "halvern");
  EXPECT_EQ(session.lastShortfall.available, 10u);
  EXPECT_GT(session.lastShortfall.needed, 10u);

  // The desktop hook: asked once, its folder is used (the decryptor then runs there; a missing
  // decryptor fails, which is not a space failure).
  fs::create_directories(dir / "roomy");
  int asked = 0;
  session.chooseTempFolder = [&](const TempSpaceShortfall& s) {
    ++asked;
    EXPECT_EQ(s.available, 10u);
    return dir / "roomy";
  };
  EnvGuard tool("HALVERN_TOOL", (dir / "no-such-tool").c_str());
  session.SetBackupInfo(info);
  EXPECT_NE(session.Open("pw"), kTempSpaceShort);
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(TempBackupParent(), dir / "roomy");
  SetTempBackupParent({});
}

}  // namespace
}  // namespace halvern
