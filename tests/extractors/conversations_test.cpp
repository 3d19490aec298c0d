// Conversations as modern phones hold them: chats and groups, one person across services,
// reactions, replies, edits, unsends, Recently Deleted, every attachment, names by normalised
// number; WhatsApp groups with voice notes; the iOS 5 table; the name index's rules.
#include <gtest/gtest.h>

#include "extractors/extractors.h"
#include "extractors/names.h"
#include "tests/extractors/conversation_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

struct Probe {
  fx::TempDir dir;
  MessageMap map;
  explicit Probe(bool ios16) {
    const auto sms = dir / "sms.db";
    const auto ab = dir / "AddressBook.sqlitedb";
    EXPECT_EQ(testing::MakeConversationSms(sms, ios16), "");
    EXPECT_EQ(testing::MakeConversationAddressBook(ab), "");
    MessageExtractOptions options;
    options.locate = [](const std::string& relative) {
      return relative == testing::kPhotoPath ? "/data/photo" : std::string();
    };
    int64_t base = 0;
    EXPECT_EQ(ExtractMessages(ab.string(), map, options, sms.string(), base), 0);
  }
  const MessageItem* Find(const std::string& text, std::string* conversation = nullptr) const {
    for (const auto& [id, c] : map) {
      for (const MessageItem& m : c.messages) {
        if (m.text == text) {
          if (conversation) *conversation = id;
          return &m;
        }
      }
    }
    return nullptr;
  }
};

TEST(Conversations, GroupsPersonsServicesAndNames) {
  for (bool ios16 : {false, true}) {
    SCOPED_TRACE(ios16 ? "iOS 16" : "iOS 14");
    Probe p(ios16);
    const MessageMap& map = p.map;
    // Ann over SMS and iMessage is one conversation; the group, the short code, the e-mail
    // handle, the landline, the organisation and the second group are their own.
    std::vector<std::string> ids;
    for (const auto& [id, c] : map) ids.push_back(id);
    EXPECT_EQ(ids, (std::vector<std::string>{"chat-1", "chat-3", "chat-4", "chat-5", "chat-6",
                                             "chat-7", "chat-8"}));
    const Conversation& ann = map.at("chat-1");
    EXPECT_FALSE(ann.group);
    EXPECT_EQ(ann.title, "Ann Schmidt");
    ASSERT_EQ(ann.members.size(), 1u);
    EXPECT_EQ(ann.members[0].service, "SMS/iMessage");
    std::string where;
    ASSERT_NE(p.Find("Hi via SMS", &where), nullptr);
    EXPECT_EQ(where, "chat-1");
    EXPECT_EQ(p.Find("Hi via SMS")->service, "SMS");
    EXPECT_EQ(p.Find("Hi via iMessage")->service, "iMessage");
    // The carved message whose chat join is lost falls back to its handle's person.
    const MessageItem* carved = p.Find("Carved SMS survives", &where);
    ASSERT_NE(carved, nullptr);
    EXPECT_EQ(carved->deleted, 1);
    EXPECT_EQ(where, "chat-1");

    const Conversation& family = map.at("chat-3");
    EXPECT_TRUE(family.group);
    EXPECT_EQ(family.title, "Family \xF0\x9F\x8F\xA1");
    ASSERT_EQ(family.members.size(), 2u);
    EXPECT_EQ(family.members[0].name, "Ann Schmidt");
    EXPECT_EQ(family.members[1].name, "Ben Kraus");  // card holds 0170 12345678
    EXPECT_EQ(p.Find("Group hello from Ben", &where)->sender, "Ben Kraus");
    EXPECT_EQ(where, "chat-3");
    const MessageItem* own = p.Find("Owner in group", &where);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(where, "chat-3");
    EXPECT_EQ(own->sender, "Me");
    EXPECT_EQ(map.at("chat-8").title, "Ben Kraus, Dora Lang");

    // Short codes match only exactly; national numbers, e-mail and organisation cards match.
    EXPECT_EQ(map.at("chat-4").title, "");
    EXPECT_EQ(p.Find("Your bank code is 918273")->name, "");
    EXPECT_EQ(map.at("chat-5").title, "Ann Schmidt");
    EXPECT_EQ(map.at("chat-6").title, "Dora Lang");
    EXPECT_EQ(map.at("chat-7").title, "ACME GmbH");

    // Reactions sit on their message; a removal takes one away; none is a message.
    EXPECT_EQ(p.Find("Loved \xE2\x80\x9Csee you at 8\xE2\x80\x9D"), nullptr);
    EXPECT_EQ(p.Find("see you at 8")->reactions,
              (std::vector<MessageReaction>{{"\xE2\x9D\xA4\xEF\xB8\x8F", "Ann Schmidt"}}));
    EXPECT_TRUE(p.Find("Group hello from Ann")->reactions.empty());
    EXPECT_EQ(own->reactions,
              (std::vector<MessageReaction>{{"\xF0\x9F\x98\x82", "Ann Schmidt"}}));
    EXPECT_EQ(p.Find("Replying to Ann")->replyTo, "Group hello from Ann");

    // Both attachments belong to the photo message; no U+FFFC is left.
    const MessageItem* photo = nullptr;
    for (const MessageItem& m : family.messages) {
      if (!m.attachments.empty()) photo = &m;
      EXPECT_EQ(m.text.find("\xEF\xBF\xBC"), std::string::npos);
    }
    ASSERT_NE(photo, nullptr);
    EXPECT_EQ(photo->text, "");
    EXPECT_EQ(photo->attachments,
              (std::vector<MessageAttachment>{{"IMG_0042.jpeg", "/data/photo", "image/jpeg"},
                                              {"Audio Message.caf", "", "audio/x-caf"}}));

    if (ios16) {
      const MessageItem* edited = p.Find("Edited final");
      ASSERT_NE(edited, nullptr);
      EXPECT_EQ(edited->edited, 1);
      EXPECT_EQ(edited->earlierTexts, std::vector<std::string>{"Edited first"});
      size_t unsent = 0;
      for (const MessageItem& m : ann.messages) unsent += m.unsent;
      EXPECT_EQ(unsent, 1u) << "an unsent message stays listed";
      const MessageItem* recent = p.Find("In Recently Deleted", &where);
      ASSERT_NE(recent, nullptr);
      EXPECT_EQ(recent->deleted, 1);
      EXPECT_EQ(where, "chat-1");
    }
  }
}

TEST(Conversations, OldMessageTableGivesDirectionAndCounterpart) {
  fx::TempDir dir;
  ASSERT_EQ(testing::MakeIos5Sms(dir / "sms.db"), "");
  ASSERT_EQ(testing::MakeConversationAddressBook(dir / "ab.sqlitedb"), "");
  MessageMap map;
  int64_t base = 0;
  ASSERT_EQ(ExtractMessages((dir / "ab.sqlitedb").string(), map, {}, (dir / "sms.db").string(),
                            base),
            0);
  ASSERT_EQ(map.size(), 1u) << "SMS and iMessage of one person are one conversation";
  const Conversation& c = map.begin()->second;
  EXPECT_EQ(c.title, "Ann Schmidt");
  ASSERT_EQ(c.messages.size(), 4u);
  const struct {
    const char* text;
    int fromMe;
    const char* service;
    const char* date;
  } expected[] = {{"Old SMS in", 0, "SMS", "2012-01-01 10:00:00"},
                  {"Old SMS out", 1, "SMS", "2012-01-01 10:01:00"},
                  {"Old iMessage in", 0, "iMessage", "2012-01-01 10:02:00"},
                  {"Old iMessage out", 1, "iMessage", "2012-01-01 10:03:00"}};
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(c.messages[i].text, expected[i].text);
    EXPECT_EQ(c.messages[i].fromMe, expected[i].fromMe) << expected[i].text;
    EXPECT_EQ(c.messages[i].service, expected[i].service);
    EXPECT_EQ(c.messages[i].date, expected[i].date);
    EXPECT_EQ(c.messages[i].phone, "+4915112345678");
  }
}

TEST(Conversations, WhatsAppGroupsMembersVoiceNotesAndCaptions) {
  fx::TempDir dir;
  ASSERT_EQ(testing::MakeConversationWhatsApp(dir / "ChatStorage.sqlite"), "");
  ASSERT_EQ(testing::MakeConversationAddressBook(dir / "ab.sqlitedb"), "");
  ChatMap chats;
  const LocateFile locate = [](const std::string& relative) {
    return relative == testing::kWaVoicePath ? "/data/voice" : std::string();
  };
  ASSERT_EQ(ExtractWhatsApp((dir / "ChatStorage.sqlite").string(), chats,
                            (dir / "ab.sqlitedb").string(), false, locate),
            0);
  ASSERT_EQ(chats.size(), 2u);
  const ChatConversation& group = chats.at(1);
  EXPECT_TRUE(group.group);
  EXPECT_EQ(group.title, "Climbing crew");
  ASSERT_EQ(group.members.size(), 3u);
  EXPECT_EQ(group.members[1].name, "Ann Schmidt") << "named from the address book";
  EXPECT_EQ(group.members[2].name, "Eve") << "an @lid member by its push name";
  ASSERT_EQ(group.messages.size(), 5u) << "an empty push name drops nothing";
  EXPECT_EQ(group.messages[0].name, "Ben Kraus") << "member row 1 is the sender";
  EXPECT_EQ(group.messages[0].phone, "4917012345678");
  const ChatMessageItem& voice = group.messages[1];
  EXPECT_EQ(voice.name, "Ann Schmidt");
  EXPECT_EQ(voice.text, "");
  EXPECT_EQ(voice.attachments,
            (std::vector<MessageAttachment>{{"1a2b3c.opus", "/data/voice", "audio/ogg"}}));
  EXPECT_EQ(group.messages[2].name, "Me");
  EXPECT_EQ(group.messages[2].text, "Summit!") << "the caption shows with its picture";
  EXPECT_EQ(group.messages[2].attachments.at(0).name, "photo.jpg");
  EXPECT_EQ(group.messages[3].name, "Eve");
  EXPECT_EQ(group.messages[4].attachments.at(0).mime, "image/webp");
  const ChatConversation& ann = chats.at(2);
  EXPECT_FALSE(ann.group);
  EXPECT_EQ(ann.title, "Ann Schmidt");
  ASSERT_EQ(ann.messages.size(), 2u);
  EXPECT_EQ(ann.messages[0].text, "Private hello");
}

TEST(NameIndex, MatchesNormalisedNumbersNeverSubstrings) {
  std::vector<ContactItem> contacts(4);
  contacts[0].name = "Clara Vogt", contacts[0].phones = "+49 152 24273991 ";
  contacts[1].name = "Dora Lang", contacts[1].phones = "030123456 ";
  contacts[2].company = "ACME GmbH", contacts[2].phones = "+49 89 555000 ";
  contacts[3].name = "Bank", contacts[3].phones = "24273", contacts[3].email = "Info@Bank.DE";
  const NameIndex names(contacts);
  EXPECT_EQ(names.region(), "DE");
  const struct {
    const char* address;
    const char* name;
  } cases[] = {{"+4915224273991", "Clara Vogt"}, {"015224273991", "Clara Vogt"},
               {"+4930123456", "Dora Lang"},      {"+49 30 123456", "Dora Lang"},
               {"+498955500", ""},                {"+4989555000", "ACME GmbH"},
               {"24273", "Bank"},                 {"4273", ""},
               {"info@bank.de", "Bank"},          {"other@bank.de", ""},
               {"+33612345678", ""}};
  for (const auto& c : cases) EXPECT_EQ(names.Find(c.address), c.name) << c.address;
  // Without international numbers the region the backup records (its own number) holds.
  std::vector<ContactItem> national(1);
  national[0].name = "Dora Lang", national[0].phones = "030123456";
  EXPECT_EQ(NameIndex(national, "+49 151 000000").Find("+4930123456"), "Dora Lang");
  EXPECT_EQ(NameIndex(national, "").Find("+4930123456"), "");
}

}  // namespace
}  // namespace halvern
