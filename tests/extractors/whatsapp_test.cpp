// WhatsApp: senders, chat members and titles, media paths, deleted messages, files without
// a message table, column counts learned per file.
#include <gtest/gtest.h>

#include "extractors/extractors.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

fx::WaRows ChatRows() {
  fx::WaRows rows;
  rows.sessions = {{1, "33612345678@s.whatsapp.net", "Chlo\xC3\xA9"},
                   {2, "120363040000000000@g.us", "Climbing group"}};
  rows.members = {{1, 2, "Owner", "33600000000@s.whatsapp.net"},
                  {2, 2, "Marc", "447700900123@s.whatsapp.net"},
                  {4, 2, "Ines", "34600111222@s.whatsapp.net"}};
  rows.media = {{1, "Media/120363040000000000@g.us/a/b/IMG-1.jpg"}};
  // Messages alternate between the chats, so every group message follows one of the other
  // chat: its text is kept all the same.
  rows.messages = {
      {1, 0, 1, std::nullopt, std::nullopt, 600000000.0, "Salut !"},
      {2, 0, 2, 2, std::nullopt, 600000010.0, "Who is coming Saturday?"},
      {3, 1, 1, std::nullopt, std::nullopt, 600000020.0, "Coucou"},
      {4, 1, 2, 1, std::nullopt, 600000030.0, "Me, from the group"},
      {5, 0, 1, std::nullopt, std::nullopt, 600000040.0, "deleted one-to-one"},
      {6, 0, 2, 4, 1, 600000050.0, std::nullopt},             // photo only
      {7, 0, 2, 2, std::nullopt, 600000060.0, std::nullopt},  // neither text nor media
      {8, 0, 2, 1, std::nullopt, 600000070.0, "from member row 1"},
  };
  return rows;
}

TEST(ExtractWhatsApp, NamesMembersMediaAndDeletedMessages) {
  fx::TempDir dir;
  const std::string path = (dir / "ChatStorage.sqlite").string();
  fx::WaChanges changes;
  changes.deleteMessages = {5};
  fx::DbLog log = fx::MakeChatStorageDb(path, ChatRows(), changes,
                                        {.schemaFile = "whatsapp_chatstorage_macos_secondary.sql"});
  ASSERT_EQ(log.status, 0) << log.error;
  ChatMap chats;
  ASSERT_EQ(ExtractWhatsApp(path, chats), 0);
  ASSERT_EQ(chats.size(), 2u);

  const auto& direct = chats[1].messages;
  ASSERT_EQ(direct.size(), 3u);
  EXPECT_EQ(direct[0].text, "Salut !");
  EXPECT_EQ(direct[0].name, "Chlo\xC3\xA9");
  EXPECT_EQ(direct[0].phone, "33612345678");
  EXPECT_EQ(direct[0].chatTitle, "Chlo\xC3\xA9");
  EXPECT_EQ(direct[0].chatPhones, "33612345678");
  EXPECT_EQ(direct[0].chatNames, "Chlo\xC3\xA9");
  EXPECT_EQ(direct[0].date, "2020-01-06 10:40:00");
  EXPECT_EQ(direct[1].name, "Me");
  EXPECT_EQ(direct[1].phone, "");
  EXPECT_EQ(direct[2].text, "deleted one-to-one");
  EXPECT_EQ(direct[2].deleted, 1);
  EXPECT_EQ(direct[0].deleted, 0);

  EXPECT_FALSE(chats[1].group);
  EXPECT_TRUE(chats[2].group);
  const auto& group = chats[2].messages;
  std::vector<std::string> texts;
  for (const auto& m : group) texts.push_back(m.text);
  // A photo is an attachment of its message, never its text.
  EXPECT_EQ(texts, (std::vector<std::string>{"Who is coming Saturday?", "Me, from the group", "",
                                             "from member row 1"}));
  ASSERT_EQ(group.size(), 4u);
  EXPECT_EQ(group[0].name, "Marc");
  EXPECT_EQ(group[0].phone, "447700900123");
  EXPECT_EQ(group[0].chatTitle, "Climbing group");
  EXPECT_EQ(group[0].chatPhones, "33600000000,447700900123,34600111222");
  EXPECT_EQ(group[0].chatNames, "Owner,Marc,Ines");
  EXPECT_EQ(group[1].name, "Me");
  EXPECT_EQ(group[2].name, "Ines");
  ASSERT_EQ(group[2].attachments.size(), 1u);
  EXPECT_EQ(group[2].attachments[0].name, "IMG-1.jpg");
  EXPECT_EQ(group[3].name, "Owner");  // member row 1 is a member like any other
}

TEST(ExtractWhatsApp, FilesWithoutChatsAndColumnCountsPerFile) {
  fx::TempDir dir;
  ChatMap chats;
  EXPECT_EQ(ExtractWhatsApp((dir / "none").string(), chats), 87);
  const std::string other = (dir / "other.sqlite").string();
  ASSERT_EQ(fx::MakeNotesDb(other, {}, {}, {.schemaFile = "notes_legacy_ios9.sql"}).status, 0);
  EXPECT_EQ(ExtractWhatsApp(other, chats), 1006);
  EXPECT_TRUE(chats.empty());

  // A file whose message table is empty, read after one with rows, still reads its own
  // deleted rows with its own columns.
  const std::string full = (dir / "full.sqlite").string();
  const std::string emptied = (dir / "emptied.sqlite").string();
  const auto schema = fx::DbOptions{.schemaFile = "whatsapp_chatstorage_macos_secondary.sql"};
  ASSERT_EQ(fx::MakeChatStorageDb(full, ChatRows(), {}, schema).status, 0);
  fx::WaChanges all;
  all.deleteMessages = {1, 2, 3, 4, 5, 6, 7, 8};
  ASSERT_EQ(fx::MakeChatStorageDb(emptied, ChatRows(), all, schema).status, 0);
  ASSERT_EQ(ExtractWhatsApp(full, chats), 0);
  ChatMap recovered;
  ASSERT_EQ(ExtractWhatsApp(emptied, recovered), 0);
  size_t count = 0;
  for (const auto& [session, chat] : recovered) {
    for (const auto& m : chat.messages) {
      EXPECT_EQ(m.deleted, 1);
      ++count;
    }
  }
  EXPECT_GE(count, 1u);
}

}  // namespace
}  // namespace halvern
