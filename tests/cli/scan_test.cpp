// halvern-cli scan --json on complete fixture backups: every planted item in its category,
// deleted rows flagged, and the backup folder untouched.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>

#include "platform/platform.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;

std::string RunScan(const fs::path& backup, const fs::path& home, int& status) {
  const auto run = fixtures::RunCli("scan --json " + fixtures::Quote(backup),
                                    "XDG_DATA_HOME=" + fixtures::Quote(home));
  status = run.status;
  return run.out;
}

// SHA-256 over every file's relative path, mode and content, in path order.
std::string HashTree(const fs::path& root) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    const std::string rel = fs::relative(e.path(), root).string();
    files[rel] = std::to_string(static_cast<int>(e.status().permissions())) +
                 (e.is_regular_file() ? *platform::ReadFile(e.path()) : std::string("dir"));
  }
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr);
  for (const auto& [name, content] : files) {
    EVP_DigestUpdate(ctx, name.data(), name.size() + 1);
    EVP_DigestUpdate(ctx, content.data(), content.size());
  }
  unsigned char md[32];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx, md, &len);
  EVP_MD_CTX_free(ctx);
  return std::string(reinterpret_cast<char*>(md), len);
}

class ScanJsonTest : public ::testing::TestWithParam<fixtures::PhoneGeneration> {};

TEST_P(ScanJsonTest, ListsEveryPlantedItemAndLeavesTheBackupAsItWas) {
  TempDir dir;
  fixtures::ScanExpectation expected;
  std::string error;
  const fs::path backup = dir / "backup";
  ASSERT_TRUE(fixtures::WriteScanBackup(GetParam(), backup, &expected, &error)) << error;
  const std::string before = HashTree(backup);

  int status = -1;
  const std::string out = RunScan(backup, dir / "home", status);
  ASSERT_EQ(status, 0);
  const auto doc = nlohmann::json::parse(out);
  EXPECT_EQ(doc["result"], 0);
  const auto& c = doc["categories"];

  // Messages: every planted text, in its conversation, with its deleted flag.
  std::multiset<std::pair<std::string, int>> gotMessages, wantMessages;
  for (const auto& [id, conversation] : c["messages"].items()) {
    for (const auto& m : conversation["items"]) {
      EXPECT_EQ(m["conversation"], id);
      gotMessages.emplace(m["text"], m["deleted"]);
    }
  }
  for (const auto& m : expected.messages) wantMessages.emplace(m.text, m.deleted);
  for (const auto& m : wantMessages) EXPECT_TRUE(gotMessages.count(m)) << m.first;

  std::multiset<std::pair<std::string, int>> gotContacts;
  for (const auto& x : c["contacts"]) gotContacts.emplace(x["name"], x["deleted"]);
  for (const auto& x : expected.contacts) {
    EXPECT_TRUE(gotContacts.count({x.name, x.deleted})) << x.name;
  }
  std::multiset<std::pair<std::string, int>> gotCalls;
  for (const auto& x : c["callHistory"]) gotCalls.emplace(x["phone"], x["deleted"]);
  for (const auto& x : expected.calls) EXPECT_TRUE(gotCalls.count({x.phone, x.deleted})) << x.phone;

  std::multiset<std::pair<std::string, int>> gotChats;
  for (const auto& [session, chat] : c["whatsApp"].items()) {
    for (const auto& m : chat["items"]) gotChats.emplace(m["text"], m["deleted"]);
  }
  for (const auto& m : expected.whatsApp) {
    EXPECT_TRUE(gotChats.count({m.text, m.deleted})) << m.text;
  }
  EXPECT_EQ(c["cameraRoll"].size(), expected.cameraRoll.size());
  EXPECT_EQ(c["whatsAppAttachments"].size(), expected.whatsAppMedia.size());
  EXPECT_EQ(c["appFiles"].size(), expected.appFiles.size());

  EXPECT_EQ(HashTree(backup), before);
}

// Standard output and standard error of one run, and its exit status.
struct Outputs {
  int status = -1;
  std::string out, err;
};
Outputs RunBoth(const std::string& args, const TempDir& dir) {
  const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
  const std::string cmd = "XDG_DATA_HOME=" + fixtures::Quote(dir / "home") +
                          " '" HALVERN_BIN_DIR "/halvern-cli' " + args + " >" +
                          fixtures::Quote(out) + " 2>" + fixtures::Quote(err) + " </dev/null";
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, platform::ReadFile(out).value_or(""),
          platform::ReadFile(err).value_or("")};
}

// A messages database whose header is damaged: its category fails by name and cause, the exit
// status says so, and every other category is still scanned and recovered.
TEST(ScanErrors, AnUnreadableDatabaseFailsItsCategoryOnly) {
  TempDir dir;
  const fs::path backup = dir / "backup";
  std::string error;
  ASSERT_TRUE(fixtures::WriteScanBackup(fixtures::PhoneGeneration::kIos14, backup, nullptr, &error))
      << error;
  const fs::path sms = backup / "3d" / "3d0d7e5fb2ce288813306e4d4636395e047a3d28";
  ASSERT_TRUE(fs::exists(sms));
  std::string bytes = *platform::ReadFile(sms);
  bytes.replace(0, 16, "not a database!!");
  std::ofstream(sms, std::ios::binary | std::ios::trunc) << bytes;

  const Outputs json = RunBoth("scan --json " + fixtures::Quote(backup), dir);
  EXPECT_EQ(json.status, 1);
  const auto doc = nlohmann::json::parse(json.out);
  ASSERT_TRUE(doc["errors"].contains("messages")) << doc["errors"];
  EXPECT_NE(doc["errors"]["messages"].get<std::string>().find("sms.db could not be read"),
            std::string::npos);
  EXPECT_EQ(doc["errors"].size(), 1u);
  EXPECT_TRUE(doc["categories"]["messages"].empty());
  EXPECT_FALSE(doc["categories"]["contacts"].empty());
  EXPECT_FALSE(doc["categories"]["callHistory"].empty());
  EXPECT_FALSE(doc["categories"]["notes"].empty());
  EXPECT_FALSE(doc["categories"]["whatsApp"].empty());

  const Outputs table = RunBoth("scan " + fixtures::Quote(backup), dir);
  EXPECT_EQ(table.status, 1);
  EXPECT_NE(table.err.find("Messages: sms.db could not be read: it is not a SQLite database"),
            std::string::npos)
      << table.err;
  EXPECT_NE(table.out.find("Contacts"), std::string::npos);

  const Outputs only = RunBoth(
      "recover " + fixtures::Quote(backup) + " --to " + fixtures::Quote(dir / "o1") +
          " --only messages",
      dir);
  EXPECT_NE(only.status, 0);
  EXPECT_NE(only.err.find("sms.db could not be read"), std::string::npos) << only.err;

  const Outputs all = RunBoth(
      "recover " + fixtures::Quote(backup) + " --to " + fixtures::Quote(dir / "o2"), dir);
  EXPECT_NE(all.status, 0);
  EXPECT_NE(all.err.find("sms.db could not be read"), std::string::npos) << all.err;
  EXPECT_TRUE(fs::exists(dir / "o2" / "Contacts"));
  EXPECT_TRUE(fs::exists(dir / "o2" / "CallHistory"));
  EXPECT_FALSE(fs::exists(dir / "o2" / "Message"));
}

// Kinds of files and calls, folders and locks of notes are fields of the JSON document.
TEST(ScanJson, ItemsSayTheirKind) {
  TempDir dir;
  const fs::path backup = dir / "backup";
  std::string error;
  ASSERT_TRUE(fixtures::WriteScanBackup(fixtures::PhoneGeneration::kIos14, backup, nullptr, &error))
      << error;
  int status = -1;
  const auto doc = nlohmann::json::parse(RunScan(backup, dir / "home", status));
  ASSERT_EQ(status, 0);
  EXPECT_TRUE(doc["errors"].empty());
  std::multiset<std::string> kinds;
  for (const auto& f : doc["categories"]["cameraRoll"]) {
    kinds.insert(f["kind"].get<std::string>() + "/" + f["class"].get<std::string>());
  }
  EXPECT_EQ(kinds, (std::multiset<std::string>{"heic/image", "jpg/image", "mov/video",
                                               "png/image"}));
  for (const auto& c : doc["categories"]["callHistory"]) {
    EXPECT_TRUE(c.contains("type") && c.contains("outcome")) << c;
  }
  for (const auto& n : doc["categories"]["notes"]) {
    EXPECT_TRUE(n.contains("folder") && n.contains("locked")) << n;
  }
  // The document is written as it is made: an output that cannot take it fails the scan.
  const auto full = fixtures::RunCli("scan --json " + fixtures::Quote(backup) + " >/dev/full",
                                     "XDG_DATA_HOME=" + fixtures::Quote(dir / "home"));
  EXPECT_EQ(full.status, 1);
}

INSTANTIATE_TEST_SUITE_P(Generations, ScanJsonTest,
                         ::testing::Values(fixtures::PhoneGeneration::kIos6Flat,
                                           fixtures::PhoneGeneration::kIos9Flat,
                                           fixtures::PhoneGeneration::kIos14));

}  // namespace
}  // namespace halvern
