// The decryptor driver with the real `tool`: progress arithmetic, wrong password, stop, the
// password's way in, failures; and the encrypted branch of the backup session's Open.
#include "backup/decryptor.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "backup/backup_info.h"
#include "engine/backup_session.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/encrypt_backup.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::BackupSpec;
using fixtures::EncryptSpec;
using fixtures::TempDir;

const fs::path kTool = fs::path(HALVERN_BIN_DIR) / "tool";

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Sha1(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &n, EVP_sha1(), nullptr);
  return std::string(reinterpret_cast<char*>(digest), n);
}

std::map<std::string, std::string> HashTree(const fs::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file())
      out[fs::relative(entry.path(), folder).string()] = Sha1(Slurp(entry.path()));
  }
  return out;
}

size_t FilesIn(const fs::path& folder) {
  std::error_code ec;
  size_t n = 0;
  for (const auto& entry : fs::directory_iterator(folder, ec)) n += entry.is_regular_file();
  return n;
}

// Records every report; answers `stopAt`'s value from the report with that index on.
struct Recorder {
  std::vector<int32_t> reports;
  size_t stopAfter = SIZE_MAX;
  int32_t answer = 2;
  static int32_t Callback(void* self, int32_t percent) {
    auto* r = static_cast<Recorder*>(self);
    r->reports.push_back(percent);
    return r->reports.size() > r->stopAfter ? r->answer : 0;
  }
  ProgressSink Sink() { return ProgressSink{&Recorder::Callback, this}; }
};

BackupSpec SmallBackup(int files) {
  BackupSpec spec;
  for (int i = 0; i < files; ++i) {
    spec.files.push_back(
        {"HomeDomain", "Library/file" + std::to_string(i), std::string(100 + i, 'a' + i % 26)});
  }
  return spec;
}

// A plain backup and its encrypted form under `dir`.
void MakeBackups(const TempDir& dir, const BackupSpec& backup, const EncryptSpec& spec) {
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "plain", backup, &error)) << error;
  ASSERT_TRUE(fixtures::EncryptBackup(dir / "plain", dir / "encrypted", spec, &error)) << error;
}

DecryptorRequest Request(const TempDir& dir, const std::string& password, int64_t fileCount) {
  DecryptorRequest request;
  request.tool = kTool;
  request.backupFolder = dir / "encrypted";
  request.outputFolder = dir / "out";
  request.password = password;
  request.fileCount = fileCount;
  request.step = 10;
  return request;
}

bool NoChildLeft() {
  int status = 0;
  return waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

TEST(RunDecryptor, ProgressFollowsTheCounts) {
  TempDir dir;
  EncryptSpec spec;
  spec.password = "two words and -dash";  // blanks and a dash reach the decryptor whole
  MakeBackups(dir, SmallBackup(8), spec);

  struct Case {
    int64_t fileCount;
    int32_t lastBeforeEnd;  // progress + step * 8 / fileCount
  };
  for (const Case& c : {Case{8, 11}, Case{16, 6}, Case{0, 1}, Case{3, 11}}) {
    SCOPED_TRACE(c.fileCount);
    fs::remove_all(dir / "out");
    Recorder recorder;
    int32_t progress = 0;
    EXPECT_EQ(RunDecryptor(Request(dir, spec.password, c.fileCount), recorder.Sink(), progress), 0);
    EXPECT_EQ(progress, 1);  // the start signal, stored
    ASSERT_GE(recorder.reports.size(), 3u);
    // Reports before the first count are the base (0); then 1; never backwards.
    const auto first = std::find(recorder.reports.begin(), recorder.reports.end(), 1);
    ASSERT_NE(first, recorder.reports.end());
    EXPECT_TRUE(std::all_of(recorder.reports.begin(), first, [](int32_t v) { return v == 0; }));
    EXPECT_TRUE(std::is_sorted(first, recorder.reports.end()));
    EXPECT_EQ(recorder.reports.back(), 11);  // progress + step, at the end
    EXPECT_EQ(recorder.reports[recorder.reports.size() - 2], c.lastBeforeEnd);
    EXPECT_EQ(FilesIn(dir / "out"), 9u);  // 8 data files and the index
  }
  EXPECT_TRUE(NoChildLeft());
}

TEST(RunDecryptor, WrongPasswordWritesNothing) {
  TempDir dir;
  EncryptSpec spec;
  MakeBackups(dir, SmallBackup(3), spec);
  const auto before = HashTree(dir / "encrypted");
  Recorder recorder;
  int32_t progress = 0;
  EXPECT_EQ(RunDecryptor(Request(dir, "not it", 5), recorder.Sink(), progress), kWrongPassword);
  EXPECT_EQ(progress, 0);
  EXPECT_EQ(FilesIn(dir / "out"), 0u);
  EXPECT_EQ(HashTree(dir / "encrypted"), before);
  EXPECT_TRUE(NoChildLeft());
}

// A stop ends the decryptor before the driver returns: nothing is written afterwards and no
// second decryptor can meet a first one in the output folder.
TEST(RunDecryptor, StopEndsTheDecryptor) {
  TempDir dir;
  EncryptSpec spec;
  spec.dpIterations = 2000000;  // a derivation long enough to be stopped in
  MakeBackups(dir, SmallBackup(3), spec);
  for (size_t stopAfter : {size_t{0}, size_t{1}}) {
    SCOPED_TRACE(stopAfter);
    fs::remove_all(dir / "out");
    Recorder recorder;
    recorder.stopAfter = stopAfter;
    int32_t progress = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(RunDecryptor(Request(dir, spec.password, 5), recorder.Sink(), progress), 2);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_TRUE(NoChildLeft());
    const size_t written = FilesIn(dir / "out");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(FilesIn(dir / "out"), written);
  }
}

TEST(RunDecryptor, FailuresAreNotSuccess) {
  TempDir dir;
  EncryptSpec spec;
  MakeBackups(dir, SmallBackup(2), spec);
  int32_t progress = 0;
  Recorder recorder;

  DecryptorRequest missingTool = Request(dir, spec.password, 2);
  missingTool.tool = dir / "no-such-tool";
  EXPECT_EQ(RunDecryptor(missingTool, recorder.Sink(), progress), kInvalidParameter);

  DecryptorRequest plain = Request(dir, spec.password, 2);
  plain.backupFolder = dir / "plain";  // not encrypted: the decryptor refuses it
  EXPECT_EQ(RunDecryptor(plain, recorder.Sink(), progress), kInvalidParameter);

  fs::remove(dir / "encrypted" / "Manifest.db");
  EXPECT_EQ(RunDecryptor(Request(dir, spec.password, 2), recorder.Sink(), progress),
            kManifestOpenFailed);
  EXPECT_EQ(progress, 0);
  EXPECT_TRUE(NoChildLeft());
}

TEST(DecryptorExitResult, MapsEveryStatus) {
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kDone), kOk);
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kWrongPassword), kWrongPassword);
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kStopped), kStopped);
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kNotDecryptable), kInvalidParameter);
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kReadFault), kReadFault);
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kWriteFault), EIO);
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kBadManifest), kManifestOpenFailed);
  EXPECT_EQ(DecryptorExitResult(decryptor_exit::kUsage), kInvalidParameter);
}

// ----- Open on an encrypted backup -----

struct SessionRecorder {
  std::vector<int32_t> reports;
  static int32_t Callback(void* self, int32_t percent) {
    static_cast<SessionRecorder*>(self)->reports.push_back(percent);
    return 0;
  }
};

struct Opened {
  int32_t result = -1;
  std::vector<int32_t> reports;
};

Opened OpenBackup(BackupSession& session, const fs::path& folder, const std::string& password) {
  BackupInfo info;
  EXPECT_EQ(info.ReadBackupInfo(folder), 0);
  SessionRecorder recorder;
  session.progressCallback = &SessionRecorder::Callback;
  session.userData = &recorder;
  session.SetBackupInfo(info);
  Opened out;
  out.result = session.Open(password);
  out.reports = recorder.reports;
  session.progressCallback = nullptr;
  return out;
}

std::set<std::pair<std::string, std::string>> Entries(const std::vector<ManifestEntry>& manifest) {
  std::set<std::pair<std::string, std::string>> out;
  for (const auto& e : manifest) out.emplace(e.domainPath, e.fileID);
  return out;
}

TEST(OpenEncrypted, ReadsTheDecryptedCopyLikeThePlainBackup) {
  for (auto kind : {fixtures::ManifestKind::kDb, fixtures::ManifestKind::kMbdb}) {
    SCOPED_TRACE(kind == fixtures::ManifestKind::kDb ? "Manifest.db" : "Manifest.mbdb");
    TempDir dir;
    BackupSpec backup = SmallBackup(4);
    backup.manifest = kind;
    backup.directories = {{"HomeDomain", "Library"}};
    EncryptSpec spec;
    if (kind == fixtures::ManifestKind::kMbdb)
      spec.generation = fixtures::EncryptionGeneration::kLegacy;
    MakeBackups(dir, backup, spec);
    // No address book in this backup: Manifest.plist alone says it is encrypted.
    ASSERT_TRUE(IsEncryptedBackup(dir / "encrypted"));
    const auto before = HashTree(dir / "encrypted");

    BackupSession plainSession(dir / "appdata-plain", dir / "temp-plain");
    ASSERT_EQ(OpenBackup(plainSession, dir / "plain", "").result, 0);

    BackupSession session(dir / "appdata", dir / "temp");
    const Opened opened = OpenBackup(session, dir / "encrypted", spec.password);
    ASSERT_EQ(opened.result, 0);
    // 0 at the start, 1 at the decryptor's first count, 11 when decrypted and again after
    // the manifest: the encrypted step is 10.
    ASSERT_GE(opened.reports.size(), 4u);
    EXPECT_EQ(opened.reports.front(), 0);
    EXPECT_NE(std::find(opened.reports.begin(), opened.reports.end(), 1), opened.reports.end());
    EXPECT_TRUE(std::is_sorted(opened.reports.begin(), opened.reports.end()));
    EXPECT_EQ(opened.reports.back(), 11);
    EXPECT_EQ(session.progress, 11);
    EXPECT_EQ(session.step, 10);

    EXPECT_EQ(Entries(session.manifest), Entries(plainSession.manifest));
    EXPECT_EQ(session.backupPath, session.DecryptedFolder());
    EXPECT_FALSE(session.decryptedFiles.empty());
    // The decrypted copy is its owner's alone: the folder 0700, every file 0600.
    EXPECT_EQ(fs::status(session.DecryptedFolder()).permissions() & fs::perms::all,
              fs::perms::owner_all);
    for (const auto& file : session.decryptedFiles) {
      EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write)
          << file;
    }
    for (const auto& file : backup.files) {
      const std::string id = fixtures::FileId(file.domain, file.relativePath);
      EXPECT_EQ(Slurp(session.DataFilePath(id)), file.bytes) << file.relativePath;
    }
    EXPECT_EQ(HashTree(dir / "encrypted"), before) << "the backup folder changed";
  }
}

TEST(OpenEncrypted, WrongPasswordLeavesTheSessionOnTheBackup) {
  TempDir dir;
  EncryptSpec spec;
  MakeBackups(dir, SmallBackup(2), spec);
  const auto before = HashTree(dir / "encrypted");
  BackupSession session(dir / "appdata", dir / "temp");
  const Opened opened = OpenBackup(session, dir / "encrypted", "wrong");
  EXPECT_EQ(opened.result, kWrongPassword);
  EXPECT_EQ(session.backupPath, dir / "encrypted");
  EXPECT_TRUE(session.decryptedFiles.empty());
  EXPECT_TRUE(session.manifest.empty());
  EXPECT_EQ(FilesIn(session.DecryptedFolder()), 0u);
  session.Cleanup();
  EXPECT_EQ(HashTree(dir / "encrypted"), before);
}

// A second decryption in the same process must not find the first one's files: a file the
// second backup lacks stays missing.
TEST(OpenEncrypted, EarlierDecryptionDoesNotLeakIntoTheNext) {
  TempDir dir;
  EncryptSpec spec;
  BackupSpec first = SmallBackup(2);
  BackupSpec second = SmallBackup(2);
  second.files[1].writeData = false;
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "plain1", first, &error));
  ASSERT_TRUE(fixtures::EncryptBackup(dir / "plain1", dir / "enc1", spec, &error));
  ASSERT_TRUE(fixtures::WriteBackup(dir / "plain2", second, &error));
  ASSERT_TRUE(fixtures::EncryptBackup(dir / "plain2", dir / "enc2", spec, &error));

  BackupSession session(dir / "appdata", dir / "temp");
  ASSERT_EQ(OpenBackup(session, dir / "enc1", spec.password).result, 0);
  ASSERT_EQ(OpenBackup(session, dir / "enc2", spec.password).result, 0);
  const std::string lacking =
      fixtures::FileId(second.files[1].domain, second.files[1].relativePath);
  EXPECT_FALSE(fs::exists(session.DataFilePath(lacking)));
}

}  // namespace
}  // namespace halvern
