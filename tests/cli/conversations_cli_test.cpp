// A probe backup of modern conversations through the command line: `scan --json` keys
// messages by conversation with members, senders, services, attachments and reactions; the
// recovered pages show groups with their members, pictures inline, audio with controls and
// deleted messages marked; `--deleted-only` writes only the deleted messages.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>
#include <nlohmann/json.hpp>

#include "tests/extractors/conversation_dbs.h"
#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;
namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

class ConversationsCli : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(testing::MakeConversationSms(dir_ / "sms.db", true), "");
    ASSERT_EQ(testing::MakeConversationAddressBook(dir_ / "ab.db"), "");
    ASSERT_EQ(testing::MakeConversationWhatsApp(dir_ / "chats.sqlite"), "");
    fx::BackupSpec spec;
    spec.productVersion = "16.1";
    spec.phoneNumber = "+49 151 99999999";
    const std::string wa = "AppDomainGroup-group.net.whatsapp.WhatsApp.shared";
    spec.files = {
        {"HomeDomain", "Library/SMS/sms.db", Read(dir_ / "sms.db")},
        {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb", Read(dir_ / "ab.db")},
        {wa, "ChatStorage.sqlite", Read(dir_ / "chats.sqlite")},
        {"MediaDomain", testing::kPhotoPath, fx::MediaBytes("jpg", 4096)},
        {"MediaDomain", testing::kVoicePath, std::string("caff\0\1\0\0", 8) + std::string(64, 'a')},
        {wa, testing::kWaVoicePath, "OggS" + std::string(60, '\0')},
    };
    backup_ = dir_ / "backup";
    ASSERT_TRUE(fx::WriteBackup(backup_, spec));
  }
  fx::TempDir dir_;
  fs::path backup_;
};

// Every number of each card with its label, e-mail addresses and addresses likewise; `phones`
// lists the same numbers one per line.
TEST_F(ConversationsCli, ScanJsonContactsCarryEveryLabelledNumber) {
  const auto run = fx::RunCli("scan --json " + fx::Quote(backup_));
  ASSERT_EQ(run.status, 0);
  const auto doc = nlohmann::json::parse(run.out);
  std::map<std::string, nlohmann::json> byName;
  for (const auto& c : doc["categories"]["contacts"]) byName[c["name"]] = c;
  using Pairs = std::vector<std::pair<std::string, std::string>>;
  const auto labelled = [](const nlohmann::json& list) {
    Pairs out;
    for (const auto& v : list) out.emplace_back(v["label"], v["value"]);
    return out;
  };
  const std::map<std::string, Pairs> numbers = {
      {"Ann Schmidt", {{"Mobile", "+49 151 12345678"}, {"Home", "030 9876543"}}},
      {"Ben Kraus", {{"iPhone", "0170 12345678"}, {"Work", "+49 30 1234567"}}},
      {"Clara Vogt", {{"Mobile", "+49 152 24273991"}}},
      {"Dora Lang", {{"Home", "030123456"}}},
      {"ACME GmbH", {{"Main", "+49 89 555000"}}},
  };
  ASSERT_EQ(byName.size(), numbers.size());
  for (const auto& [name, want] : numbers) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(byName.count(name));
    EXPECT_EQ(labelled(byName[name]["numbers"]), want);
    std::string phones;
    for (const auto& [label, value] : want) phones += (phones.empty() ? "" : "\n") + value;
    EXPECT_EQ(byName[name]["phones"], phones);
  }
  EXPECT_EQ(labelled(byName["Ann Schmidt"]["emails"]),
            (Pairs{{"Home", "ann@example.com"}, {"Work", "ann.schmidt@work.example"}}));
  EXPECT_EQ(labelled(byName["Ann Schmidt"]["addresses"]),
            (Pairs{{"Home", "Lindenstra\xC3\x9F" "e 5, 10115, Berlin"}}));
}

TEST_F(ConversationsCli, ScanJsonKeysMessagesByConversation) {
  const auto run = fx::RunCli("scan --json " + fx::Quote(backup_));
  ASSERT_EQ(run.status, 0);
  const auto doc = nlohmann::json::parse(run.out);
  const auto& messages = doc["categories"]["messages"];
  ASSERT_TRUE(messages.contains("chat-3"));
  const auto& family = messages["chat-3"];
  EXPECT_EQ(family["title"], "Family \xF0\x9F\x8F\xA1");
  EXPECT_EQ(family["group"], true);
  ASSERT_EQ(family["members"].size(), 2u);
  EXPECT_EQ(family["members"][1]["name"], "Ben Kraus");
  std::map<std::string, nlohmann::json> byText;
  for (const auto& [id, c] : messages.items()) {
    for (const auto& item : c["items"]) byText[item["text"]] = item;
  }
  EXPECT_EQ(byText["Owner in group"]["sender"], "Me");
  EXPECT_EQ(byText["Owner in group"]["chatId"], 3);
  EXPECT_EQ(byText["Owner in group"]["reactions"][0]["by"], "Ann Schmidt");
  EXPECT_EQ(byText["Group hello from Ben"]["sender"], "Ben Kraus");
  EXPECT_EQ(byText["Hi via SMS"]["service"], "SMS");
  EXPECT_EQ(byText["Edited final"]["edited"], 1);
  EXPECT_EQ(byText["In Recently Deleted"]["deleted"], 1);
  EXPECT_EQ(messages["chat-4"]["title"], "24273") << "a short code is not a friend's number";
  // The attachments carry their data files when the backup holds them.
  bool photoFound = false;
  for (const auto& item : family["items"]) {
    if (item["attachments"].size() != 2) continue;
    photoFound = true;
    EXPECT_EQ(item["attachments"][0]["name"], "IMG_0042.jpeg");
    EXPECT_TRUE(fs::exists(item["attachments"][0]["path"].get<std::string>()));
    EXPECT_EQ(item["attachments"][1]["mime"], "audio/x-caf");
  }
  EXPECT_TRUE(photoFound);

  const auto& group = doc["categories"]["whatsApp"]["1"];
  EXPECT_EQ(group["title"], "Climbing crew");
  ASSERT_EQ(group["items"].size(), 5u);
  EXPECT_EQ(group["items"][0]["sender"], "Ben Kraus");
  EXPECT_EQ(group["items"][1]["attachments"][0]["name"], "1a2b3c.opus");
  EXPECT_FALSE(group["items"][1]["attachments"][0]["path"].get<std::string>().empty());
}

TEST_F(ConversationsCli, RecoverWritesGroupPagesAttachmentsAndOnlyDeletedWhenAsked) {
  const fs::path out = dir_ / "out";
  const auto run = fx::RunCli("recover " + fx::Quote(backup_) + " --to " + fx::Quote(out) +
                              " --only messages,whatsapp");
  ASSERT_EQ(run.status, 0);
  // Pages, texts and attachment copies are files; the items are the conversations and chats.
  const size_t at = run.out.find("Recovered ");
  ASSERT_NE(at, std::string::npos) << run.out;
  unsigned recovered = 0, selected = 0;
  ASSERT_EQ(std::sscanf(run.out.c_str() + at, "Recovered %u of %u selected", &recovered, &selected),
            2);
  EXPECT_EQ(recovered, selected) << run.out;
  fs::path groupPage, groupText, annText;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    const std::string name = e.path().filename().string();
    if (name == "Family \xF0\x9F\x8F\xA1.html") groupPage = e.path();
    if (name == "Family \xF0\x9F\x8F\xA1.txt") groupText = e.path();
    if (name == "Ann Schmidt(+4915112345678).txt") annText = e.path();
  }
  ASSERT_FALSE(groupPage.empty());
  const std::string page = Read(groupPage);
  EXPECT_NE(page.find("Members: Ann Schmidt(+4915112345678), Ben Kraus(+4917012345678)"),
            std::string::npos);
  EXPECT_NE(page.find("<img src=\"attachments/IMG_0042.jpeg\""), std::string::npos);
  // The voice message plays from its copy for browsers first, the original after it.
  EXPECT_NE(page.find("<source src=\"attachments/Audio%20Message.caf\""), std::string::npos)
      << page;
  EXPECT_TRUE(fs::exists(groupPage.parent_path() / "attachments" / "IMG_0042.jpeg"));
  EXPECT_EQ(page.find("\xEF\xBF\xBC"), std::string::npos);
  const std::string text = Read(groupText);
  EXPECT_NE(text.find("        To: Family \xF0\x9F\x8F\xA1\r\n"), std::string::npos);
  EXPECT_NE(text.find("Attachment: IMG_0042.jpeg\r\n"), std::string::npos);
  ASSERT_FALSE(annText.empty());
  const std::string ann = Read(annText);
  EXPECT_NE(ann.find("[deleted]"), std::string::npos);
  EXPECT_NE(ann.find("Content: Edited final (edited)"), std::string::npos);
  EXPECT_NE(ann.find("Content: (unsent)"), std::string::npos);

  const fs::path deleted = dir_ / "deleted";
  ASSERT_EQ(fx::RunCli("recover " + fx::Quote(backup_) + " --to " + fx::Quote(deleted) +
                       " --only messages --deleted-only")
                .status,
            0);
  size_t texts = 0;
  for (const auto& e : fs::recursive_directory_iterator(deleted)) {
    if (e.path().extension() != ".txt") continue;
    ++texts;
    const std::string only = Read(e.path());
    EXPECT_NE(only.find("In Recently Deleted"), std::string::npos);
    EXPECT_EQ(only.find("Hi via iMessage"), std::string::npos) << "live messages stay out";
  }
  EXPECT_EQ(texts, 1u);
}

}  // namespace
}  // namespace halvern
