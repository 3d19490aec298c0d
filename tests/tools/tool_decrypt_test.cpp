// Whole-backup decryption round trips: plain fixture backups are encrypted the way iTunes
// does it and must come back byte for byte, for both generations, with the backup folder
// untouched, a wrong password writing nothing, and damaged or odd files handled.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/encrypt_backup.h"
#include "tests/fixtures/temp_dir.h"
#include "tools/tool/crypto.h"
#include "tools/tool/decrypt_backup.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::BackupFile;
using fixtures::BackupSpec;
using fixtures::EncryptionGeneration;
using fixtures::EncryptSpec;
using fixtures::ManifestKind;
using fixtures::TempDir;

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Spill(const fs::path& file, const std::string& bytes) {
  std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

std::string Pattern(size_t size, int seed) {
  std::string out(size, '\0');
  for (size_t i = 0; i < size; ++i)
    out[i] = static_cast<char>((i * 131 + seed * 17 + i / 251) & 0xFF);
  return out;
}

// Every file under `folder` with the SHA-1 of its bytes, by relative path.
std::map<std::string, std::string> HashTree(const fs::path& folder) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      out[fs::relative(entry.path(), folder).string()] = Sha1Hex(Slurp(entry.path()));
    }
  }
  return out;
}

// The files of the round trips: the sizes around the cipher's block and the streaming
// chunk, a non-ASCII path, and one file whose data is missing from the backup.
BackupSpec RoundTripBackup(ManifestKind kind) {
  BackupSpec spec;
  spec.manifest = kind;
  spec.directories = {{"HomeDomain", "Library"}, {"HomeDomain", "Library/SMS"}};
  int seed = 0;
  for (size_t size : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{31},
                      size_t{32}, size_t{4096}, size_t{(1 << 20) + 5}, size_t{(1 << 21) + 16}}) {
    spec.files.push_back(
        {"HomeDomain", "Library/size-" + std::to_string(size), Pattern(size, seed++)});
  }
  spec.files.push_back({"HomeDomain", "Library/SMS/sms.db", Pattern(8192, 99)});
  spec.files.push_back({"AppDomain-com.example.café", "Documents/Ünïcödé ✓.txt", "naïve"});
  spec.files.push_back({"MediaDomain", "Media/gone.jpg", "never written", false});
  return spec;
}

struct Outcome {
  DecryptStatus status;
  DecryptSummary summary;
  std::vector<std::string> protocol;
  std::vector<std::string> notes;
};

Outcome Decrypt(const fs::path& backup, const fs::path& output, const std::string& password) {
  Outcome run;
  DecryptRequest request{backup, output, SecretBytes(std::string_view(password))};
  DecryptEvents events;
  events.protocol = [&](std::string_view line) { run.protocol.emplace_back(line); };
  events.note = [&](std::string_view line) { run.notes.emplace_back(line); };
  run.status = DecryptBackup(request, events, run.summary);
  return run;
}

struct GenerationCase {
  const char* name;
  ManifestKind kind;
  EncryptSpec spec;
};

std::vector<GenerationCase> Generations() {
  std::vector<GenerationCase> cases;
  EncryptSpec modern;  // iOS 10.2+
  cases.push_back({"ios10.2+", ManifestKind::kDb, modern});
  EncryptSpec modernVaried = modern;  // the freedoms real writers take
  modernVaried.keybagVersion = 4;
  modernVaried.classesDescending = true;
  modernVaried.archiveKeyFirst = true;
  modernVaried.recordClassDisagrees = true;
  modernVaried.recordedSizeDelta = 4096;  // a stale index must not truncate anything
  modernVaried.password = "pässwörd mit Leerzeichen ✓";
  cases.push_back({"ios10.2+ varied", ManifestKind::kDb, modernVaried});
  EncryptSpec legacyDb;  // iOS 10.0-10.1: plain Manifest.db, single derivation
  legacyDb.generation = EncryptionGeneration::kLegacy;
  legacyDb.keybagVersion = 3;
  cases.push_back({"ios10.1", ManifestKind::kDb, legacyDb});
  EncryptSpec legacyMbdb = legacyDb;  // iOS 5-9
  cases.push_back({"ios9 mbdb", ManifestKind::kMbdb, legacyMbdb});
  EncryptSpec legacyMbdbVaried = legacyMbdb;
  legacyMbdbVaried.recordClassDisagrees = true;
  legacyMbdbVaried.classesDescending = true;
  cases.push_back({"ios9 mbdb varied", ManifestKind::kMbdb, legacyMbdbVaried});
  return cases;
}

TEST(DecryptBackup, RoundTripsBothGenerations) {
  for (const auto& c : Generations()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const fs::path plain = dir.path() / "plain";
    const fs::path encrypted = dir.path() / "encrypted";
    const fs::path output = dir.path() / "out";
    const BackupSpec backup = RoundTripBackup(c.kind);
    std::string error;
    ASSERT_TRUE(fixtures::WriteBackup(plain, backup, &error)) << error;
    ASSERT_TRUE(fixtures::EncryptBackup(plain, encrypted, c.spec, &error)) << error;
    const auto before = HashTree(encrypted);

    const Outcome run = Decrypt(encrypted, output, c.spec.password);
    ASSERT_EQ(run.status, DecryptStatus::kDone);

    const int64_t listed = static_cast<int64_t>(backup.files.size());
    EXPECT_EQ(run.summary.files, listed);
    EXPECT_EQ(run.summary.decrypted, listed - 1);
    EXPECT_EQ(run.summary.missing, 1);
    EXPECT_EQ(run.summary.damaged, 0);
    EXPECT_EQ(run.summary.sizeMismatches, c.spec.recordedSizeDelta ? listed - 1 : 0);
    for (const BackupFile& file : backup.files) {
      const fs::path out = output / fixtures::FileId(file.domain, file.relativePath);
      if (!file.writeData) {
        EXPECT_FALSE(fs::exists(out));
        continue;
      }
      ASSERT_TRUE(fs::exists(out)) << file.relativePath;
      EXPECT_TRUE(Slurp(out) == file.bytes) << file.relativePath << ": " << file.bytes.size();
    }
    // Protocol: a start line, then one count per listed file, ending at the file count.
    ASSERT_FALSE(run.protocol.empty());
    EXPECT_EQ(run.protocol.front(), "Count: 0");
    EXPECT_EQ(run.protocol.back(), "Count: " + std::to_string(listed));
    EXPECT_EQ(run.protocol.size(), backup.files.size() + 1);

    // The index comes out as a plain database beside the data files (Manifest.db backups).
    const fs::path index = output / "Manifest.db-decypted";
    if (c.kind == ManifestKind::kDb) {
      sqlite3* db = nullptr;
      ASSERT_EQ(sqlite3_open_v2(index.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
      sqlite3_stmt* stmt = nullptr;
      ASSERT_EQ(
          sqlite3_prepare_v2(db, "SELECT count(*) FROM Files WHERE flags = 1", -1, &stmt, nullptr),
          SQLITE_OK);
      ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
      EXPECT_EQ(sqlite3_column_int64(stmt, 0), listed);
      sqlite3_finalize(stmt);
      sqlite3_close(db);
    } else {
      EXPECT_FALSE(fs::exists(index));
    }
    // Only file ids and the index are written, flat.
    for (const auto& entry : fs::directory_iterator(output)) {
      const std::string name = entry.path().filename().string();
      EXPECT_TRUE(entry.is_regular_file()) << name;
      EXPECT_TRUE(IsFileId(name) || name == "Manifest.db-decypted") << name;
    }
    EXPECT_EQ(HashTree(encrypted), before) << "the backup folder changed";
  }
}

TEST(DecryptBackup, WrongPasswordWritesNothing) {
  for (const auto& c : Generations()) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::string error;
    BackupSpec backup;
    backup.manifest = c.kind;
    backup.files = {{"HomeDomain", "Library/a", "abc"}};
    ASSERT_TRUE(fixtures::WriteBackup(dir.path() / "plain", backup, &error)) << error;
    ASSERT_TRUE(fixtures::EncryptBackup(dir.path() / "plain", dir.path() / "enc", c.spec, &error));
    const auto before = HashTree(dir.path() / "enc");
    for (const std::string& wrong : {std::string("wrong"), std::string(), c.spec.password + " "}) {
      const Outcome run = Decrypt(dir.path() / "enc", dir.path() / "out", wrong);
      EXPECT_EQ(run.status, DecryptStatus::kPasswordWrong);
      EXPECT_EQ(run.protocol, std::vector<std::string>{"Wrong password"});
      EXPECT_FALSE(fs::exists(dir.path() / "out"));
    }
    EXPECT_EQ(HashTree(dir.path() / "enc"), before);
  }
}

// The password's bytes are used as typed: the decomposed form of an accented password is
// another password.
TEST(DecryptBackup, NonAsciiPasswordIsTakenByteForByte) {
  TempDir dir;
  BackupSpec backup;
  backup.files = {{"HomeDomain", "Library/a", "abc"}};
  EncryptSpec spec;
  spec.password = "caf\xC3\xA9";  // é precomposed
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir.path() / "plain", backup, &error));
  ASSERT_TRUE(fixtures::EncryptBackup(dir.path() / "plain", dir.path() / "enc", spec, &error));
  EXPECT_EQ(Decrypt(dir.path() / "enc", dir.path() / "out", "cafe\xCC\x81").status,
            DecryptStatus::kPasswordWrong);
  EXPECT_EQ(Decrypt(dir.path() / "enc", dir.path() / "out", spec.password).status,
            DecryptStatus::kDone);
}

// Damaged data files keep every byte that could be decrypted; an index row whose file id is
// not a file id never becomes a path.
TEST(DecryptBackup, DamagedFilesKeepTheirBytesAndOddRowsAreRefused) {
  TempDir dir;
  BackupSpec backup;
  backup.files = {{"HomeDomain", "Library/truncated", Pattern(100, 1)},
                  {"HomeDomain", "Library/badpad", Pattern(64, 2)},
                  {"HomeDomain", "Library/empty-cipher", Pattern(10, 3)},
                  {"HomeDomain", "Library/intact", Pattern(40, 4)},
                  {"HomeDomain", "Library/fifo", Pattern(16, 5)}};
  EncryptSpec spec;
  spec.generation = EncryptionGeneration::kLegacy;  // a plain index, so a row can be added
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir.path() / "plain", backup, &error));
  ASSERT_TRUE(fixtures::EncryptBackup(dir.path() / "plain", dir.path() / "enc", spec, &error));
  auto dataPath = [&](const char* name) {
    const std::string id = fixtures::FileId("HomeDomain", std::string("Library/") + name);
    return dir.path() / "enc" / id.substr(0, 2) / id;
  };
  std::string cipher = Slurp(dataPath("truncated"));  // 112 bytes
  Spill(dataPath("truncated"), cipher.substr(0, 103));
  cipher = Slurp(dataPath("badpad"));  // 80 bytes: 64 + a block of padding
  cipher.back() ^= 0x01;
  Spill(dataPath("badpad"), cipher);
  Spill(dataPath("empty-cipher"), "");
  // A FIFO in a data file's place: passed over, never waited on for a writer.
  fs::remove(dataPath("fifo"));
  ASSERT_EQ(mkfifo(dataPath("fifo").c_str(), 0600), 0);
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((dir.path() / "enc" / "Manifest.db").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db,
                           "INSERT INTO Files VALUES ('../escape', 'HomeDomain', 'x', 1, NULL);"
                           "INSERT INTO Files VALUES ('ABCDEF0123456789ABCDEF0123456789ABCDEF01', "
                           "'HomeDomain', 'y', 1, NULL);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }

  const Outcome run = Decrypt(dir.path() / "enc", dir.path() / "out", spec.password);
  ASSERT_EQ(run.status, DecryptStatus::kDone);
  EXPECT_EQ(run.summary.damaged, 2);
  EXPECT_EQ(run.summary.undecryptable, 2);
  EXPECT_EQ(run.summary.missing, 1);  // the FIFO: no data file to read
  auto output = [&](const char* name) {
    return Slurp(dir.path() / "out" /
                 fixtures::FileId("HomeDomain", std::string("Library/") + name));
  };
  EXPECT_EQ(output("truncated"), Pattern(100, 1).substr(0, 96));  // six whole blocks
  const std::string badpad = output("badpad");
  ASSERT_EQ(badpad.size(), 80u);  // nothing dropped
  EXPECT_EQ(badpad.substr(0, 64), Pattern(64, 2));
  EXPECT_TRUE(
      fs::exists(dir.path() / "out" / fixtures::FileId("HomeDomain", "Library/empty-cipher")));
  EXPECT_EQ(output("empty-cipher"), "");
  EXPECT_EQ(output("intact"), Pattern(40, 4));
  EXPECT_FALSE(fs::exists(dir.path() / "out" / fixtures::FileId("HomeDomain", "Library/fifo")));
  EXPECT_FALSE(fs::exists(dir.path() / "escape"));
  EXPECT_FALSE(fs::exists(dir.path() / "out" / "ABCDEF0123456789ABCDEF0123456789ABCDEF01"));
}

TEST(DecryptBackup, RefusesWhatIsNoEncryptedBackup) {
  TempDir dir;
  BackupSpec backup;
  backup.files = {{"HomeDomain", "Library/a", "abc"}};
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir.path() / "plain", backup, &error));
  EXPECT_EQ(Decrypt(dir.path() / "plain", dir.path() / "out", "x").status,
            DecryptStatus::kNotDecryptable);
  EXPECT_EQ(Decrypt(dir.path() / "nowhere", dir.path() / "out", "x").status,
            DecryptStatus::kNotDecryptable);

  // An encrypted backup whose index is damaged beyond its header.
  EncryptSpec spec;
  ASSERT_TRUE(fixtures::EncryptBackup(dir.path() / "plain", dir.path() / "enc", spec, &error));
  std::string index = Slurp(dir.path() / "enc" / "Manifest.db");
  index[0] ^= 0x55;
  Spill(dir.path() / "enc" / "Manifest.db", index);
  EXPECT_EQ(Decrypt(dir.path() / "enc", dir.path() / "out", spec.password).status,
            DecryptStatus::kBadManifest);
  EXPECT_FALSE(fs::exists(dir.path() / "out"));
}

TEST(DecryptBackup, StopsWhenAsked) {
  TempDir dir;
  BackupSpec backup;
  for (int i = 0; i < 5; ++i) backup.files.push_back({"HomeDomain", "f" + std::to_string(i), "x"});
  EncryptSpec spec;
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir.path() / "plain", backup, &error));
  ASSERT_TRUE(fixtures::EncryptBackup(dir.path() / "plain", dir.path() / "enc", spec, &error));
  DecryptRequest request{dir.path() / "enc", dir.path() / "out",
                         SecretBytes(std::string_view(spec.password))};
  int counts = 0;
  DecryptEvents events;
  events.protocol = [&](std::string_view line) { counts += line.starts_with("Count:"); };
  events.stopRequested = [&] { return counts >= 3; };
  DecryptSummary summary;
  EXPECT_EQ(DecryptBackup(request, events, summary), DecryptStatus::kStopRequested);
  EXPECT_EQ(counts, 3);
}

// One backup at the real cost of iOS 10.2+ (10,000,000 + 10,000 iterations).
TEST(DecryptBackup, RealIterationCounts) {
  TempDir dir;
  BackupSpec backup;
  backup.files = {{"HomeDomain", "Library/SMS/sms.db", Pattern(5000, 7)}};
  EncryptSpec spec;
  spec.iterations = fixtures::kRealIterations;
  spec.dpIterations = fixtures::kRealDpIterations;
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir.path() / "plain", backup, &error));
  ASSERT_TRUE(fixtures::EncryptBackup(dir.path() / "plain", dir.path() / "enc", spec, &error));
  const Outcome run = Decrypt(dir.path() / "enc", dir.path() / "out", spec.password);
  ASSERT_EQ(run.status, DecryptStatus::kDone);
  EXPECT_EQ(Slurp(dir.path() / "out" / fixtures::FileId("HomeDomain", "Library/SMS/sms.db")),
            Pattern(5000, 7));
  // The derivation showed its progress on the way, ending at 100%.
  ASSERT_FALSE(run.notes.empty());
  EXPECT_NE(std::find(run.notes.begin(), run.notes.end(), "Deriving key: 100%"), run.notes.end());
}

}  // namespace
}  // namespace halvern
