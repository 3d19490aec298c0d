// Messages: joins with handles, the address book and attachments, deleted rows, texts kept
// only in attributedBody, progress and stop, a missing address book.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "extractors/extractors.h"
#include "tests/extractors/db_edit.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

constexpr int64_t kSecond = 1000000000;  // message dates of iOS 11 on count nanoseconds

struct SmsFixture {
  fx::TempDir dir;
  std::string sms = (dir / "sms.db").string();
  std::string ab = (dir / "AddressBook.sqlitedb").string();

  SmsFixture() {
    fx::SmsRows rows;
    rows.handles = {{1, "+33612345678"}, {2, "chloe@example.com"}, {3, "12345"}, {4, "+4915199"}};
    rows.messages = {
        {1, "", "Bonjour", 1, 600000000 * kSecond, 0},
        {2, "",
         "\xC3\x87"
         "a va?",
         1, 600000060 * kSecond, 1},
        {3, "", std::nullopt, 2, 600000120 * kSecond, 0},  // text in attributedBody
        {4, "", "Code 4711", 3, 600000180 * kSecond, 0},
        {5, "", "A message that was deleted", 1, 600000240 * kSecond, 0},
        {6, "", std::nullopt, 2, 600000300 * kSecond, 1},  // archived text, then deleted
        {7, "", "", 4, 600000360 * kSecond, 0},            // no text at all
    };
    rows.attachments = {{1, "", "IMG_0001.JPG"}, {2, "", "unclaimed.heic"}};
    rows.links = {{2, 1}};
    fx::SmsChanges changes;
    fx::DbLog log = fx::MakeSmsDb(sms, rows, changes, {.schemaFile = "sms_all_ios11.sql"});
    EXPECT_EQ(log.status, 0) << log.error;
    {
      testing::DbEdit edit(sms);
      EXPECT_TRUE(edit.ExecBlob("UPDATE message SET attributedBody=?1 WHERE ROWID=3",
                                testing::TypedStreamArchive("Formatted \xF0\x9F\x8E\x89")));
      EXPECT_TRUE(edit.ExecBlob("UPDATE message SET attributedBody=?1 WHERE ROWID=6",
                                testing::TypedStreamArchive("Archived and deleted")));
      EXPECT_TRUE(edit.Exec("DELETE FROM message WHERE ROWID IN (5, 6)"));
    }
    std::vector<fx::AbPerson> people = {
        {1, "Chlo\xC3\xA9", "Bianchi", "", "+33 6 12 34 56 78 +33612345678 0612345678 ", "", "", "",
         ""},
        {2, "Marc", "", "ACME", "+44770012345 ", "chloe@example.org", "", "", ""},
        {3, "", "Weber", "", "+4915199 ", "", "", "", ""},
    };
    log = fx::MakeAddressBookDb(ab, people, {}, {.schemaFile = "addressbook_all_ios8.sql"});
    EXPECT_EQ(log.status, 0) << log.error;
  }
};

const MessageItem* FindText(const MessageMap& map, const std::string& text) {
  for (const auto& [key, conversation] : map) {
    for (const MessageItem& m : conversation.messages) {
      if (m.text == text) return &m;
    }
  }
  return nullptr;
}

TEST(ExtractMessages, JoinsNamesHandlesAndAttachments) {
  SmsFixture f;
  MessageMap map;
  int64_t rowidBase = 20000;
  ASSERT_EQ(ExtractMessages(f.ab, map, {}, f.sms, rowidBase), 0);
  EXPECT_EQ(rowidBase, 7);

  const MessageItem* hello = FindText(map, "Bonjour");
  ASSERT_NE(hello, nullptr);
  EXPECT_EQ(hello->deleted, 0);
  EXPECT_EQ(hello->rowId, 1);
  EXPECT_EQ(hello->handleId, 1);
  EXPECT_EQ(hello->date, "2020-01-06 10:40:00");  // 600000000 s after 2001, TZ=UTC
  EXPECT_EQ(hello->phone, "+33612345678");
  EXPECT_EQ(hello->name, "Chlo\xC3\xA9 Bianchi");
  EXPECT_EQ(hello->attachment, "");

  const MessageItem* sent = FindText(map,
                                     "\xC3\x87"
                                     "a va?");
  ASSERT_NE(sent, nullptr);
  EXPECT_EQ(sent->fromMe, 1);
  EXPECT_EQ(sent->attachment, "IMG_0001.JPG");

  // The e-mail handle matches no card's address; the service number matches no card (its
  // digits inside a longer number are not that number).
  const MessageItem* archived = FindText(map, "Formatted \xF0\x9F\x8E\x89");
  ASSERT_NE(archived, nullptr);
  EXPECT_EQ(archived->deleted, 0);
  EXPECT_EQ(archived->phone, "chloe@example.com");
  EXPECT_EQ(archived->name, "");
  EXPECT_EQ(archived->date, "2020-01-06 10:42:00");
  const MessageItem* code = FindText(map, "Code 4711");
  ASSERT_NE(code, nullptr);
  EXPECT_EQ(code->name, "");  // "12345" lies inside +33612345678, which is another number

  // A message without any text is listed as stored (an empty text), named like any other:
  // a contact with only a last name is named by it alone.
  ASSERT_EQ(map.count("handle-4"), 1u) << "a message without text is listed";
  ASSERT_EQ(map["handle-4"].messages.size(), 1u);
  const MessageItem& empty = map["handle-4"].messages.front();
  EXPECT_EQ(empty.rowId, 7);
  EXPECT_EQ(empty.text, "");
  EXPECT_EQ(empty.phone, "+4915199");
  EXPECT_EQ(empty.name, "Weber");
  EXPECT_EQ(empty.date, "2020-01-06 10:46:00");

  // Deleted rows come back flagged, in their conversation, without an unclaimed attachment.
  const MessageItem* gone = FindText(map, "A message that was deleted");
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->deleted, 1);
  EXPECT_EQ(gone->handleId, 1);
  EXPECT_EQ(gone->phone, "+33612345678");
  EXPECT_EQ(gone->attachment, "");
  const MessageItem* goneArchived = FindText(map, "Archived and deleted");
  ASSERT_NE(goneArchived, nullptr);
  EXPECT_EQ(goneArchived->deleted, 1);
  EXPECT_EQ(goneArchived->fromMe, 1);

  // Each conversation is in date order.
  for (const auto& [key, conversation] : map) {
    const auto& list = conversation.messages;
    for (size_t i = 1; i < list.size(); ++i) EXPECT_LE(list[i - 1].date, list[i].date);
    for (const MessageItem& m : list) EXPECT_EQ("handle-" + std::to_string(m.handleId), key);
  }
}

TEST(ExtractMessages, WithoutAddressBookDeliversTheMessagesUnnamed) {
  SmsFixture f;
  MessageMap map;
  int64_t rowidBase = 20000;
  EXPECT_EQ(ExtractMessages((f.dir / "missing.sqlitedb").string(), map, {}, f.sms, rowidBase), 0);
  const MessageItem* hello = FindText(map, "Bonjour");
  ASSERT_NE(hello, nullptr);
  EXPECT_EQ(hello->phone, "+33612345678");
  EXPECT_EQ(hello->name, "");
}

// Deleted rows come back after the live ones: among messages of the same time a deleted one
// follows the live ones, and a reaction finds a deleted message by its guid.
TEST(ExtractMessages, DeletedRowsFollowTheLiveOnesAndAreFoundByGuid) {
  fx::TempDir dir;
  const std::string sms = (dir / "sms.db").string();
  constexpr int64_t kAt = 600000000 * kSecond;
  fx::SmsRows rows;
  rows.handles = {{1, "+33612345678"}};
  rows.messages = {
      {1, "G-1", "Live before", 1, kAt, 0},
      {2, "G-2", "Deleted at the same time", 1, kAt, 0},
      {3, "G-3", "Live at the same time", 1, kAt, 0},
      {4, "G-4", std::nullopt, 1, kAt + 60 * kSecond, 1},  // a reaction to G-2
      {5, "G-5", "Deleted last", 1, kAt + 120 * kSecond, 0},
  };
  fx::DbLog log = fx::MakeSmsDb(sms, rows, {}, {.schemaFile = "sms_all_ios11.sql"});
  ASSERT_EQ(log.status, 0) << log.error;
  {
    testing::DbEdit edit(sms);
    ASSERT_TRUE(edit.Exec("UPDATE message SET associated_message_guid='p:0/G-2', "
                          "associated_message_type=2000 WHERE ROWID=4"));
    ASSERT_TRUE(edit.Exec("DELETE FROM message WHERE ROWID IN (2, 5)"));
  }
  MessageMap map;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractMessages((dir / "missing.sqlitedb").string(), map, {}, sms, rowidBase), 0);
  ASSERT_EQ(map.size(), 1u);
  const std::vector<MessageItem>& messages = map.begin()->second.messages;
  std::vector<std::pair<std::string, int32_t>> got;
  for (const MessageItem& m : messages) got.emplace_back(m.text, m.deleted);
  const std::vector<std::pair<std::string, int32_t>> want = {{"Live before", 0},
                                                             {"Live at the same time", 0},
                                                             {"Deleted at the same time", 1},
                                                             {"Deleted last", 1}};
  EXPECT_EQ(got, want);
  const MessageItem* loved = FindText(map, "Deleted at the same time");
  ASSERT_NE(loved, nullptr);
  ASSERT_EQ(loved->reactions.size(), 1u);
  EXPECT_EQ(loved->reactions.front().by, "Me");
}

// A deleted message without text comes back like any deleted message when its record names a
// date and its counterpart; a freed record with nothing of a message in it (no text, date,
// guid or handle) is not listed as one.
TEST(ExtractMessages, DeletedMessageWithoutTextIsListedButAnEmptyRecordIsNot) {
  fx::TempDir dir;
  const std::string sms = (dir / "sms.db").string();
  constexpr int64_t kAt = 600000000 * kSecond;
  fx::SmsRows rows;
  rows.handles = {{1, "+33612345678"}};
  rows.messages = {
      {1, "G-1", "Live", 1, kAt, 0},
      {2, "G-2", "", 1, kAt + 60 * kSecond, 1},
      {3, "G-3", "", 1, kAt + 120 * kSecond, 0},
  };
  ASSERT_EQ(fx::MakeSmsDb(sms, rows, {}, {.schemaFile = "sms_all_ios11.sql"}).status, 0);
  {
    testing::DbEdit edit(sms);
    ASSERT_TRUE(edit.Exec("UPDATE message SET guid='', date=0, handle_id=0, service=NULL, "
                          "is_from_me=0 WHERE ROWID=3"));
    ASSERT_TRUE(edit.Exec("DELETE FROM message WHERE ROWID IN (2, 3)"));
  }
  MessageMap map;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractMessages("", map, {}, sms, rowidBase), 0);
  // (the carved record's rowid may not survive: the freed cell's start is overwritten)
  std::vector<std::tuple<std::string, int32_t, std::string, int32_t>> got;
  for (const auto& [key, conversation] : map) {
    for (const MessageItem& m : conversation.messages)
      got.emplace_back(m.text, m.deleted, m.date, m.fromMe);
  }
  const std::vector<std::tuple<std::string, int32_t, std::string, int32_t>> want = {
      {"Live", 0, "2020-01-06 10:40:00", 0}, {"", 1, "2020-01-06 10:41:00", 1}};
  EXPECT_EQ(got, want);
}

// A text is kept as the phone holds it: only the attachment placeholder (U+FFFC) is taken out,
// with one of the two spaces it leaves side by side; spaces and line breaks around the text stay
// and a text of one space or none at all is a message.
TEST(ExtractMessages, TextsKeepTheirSpacesAndLoseOnlyThePlaceholder) {
  struct Case {
    std::string stored;
    std::string listed;
  };
  const std::string kObject = "\xEF\xBF\xBC";
  const std::vector<Case> cases = {
      {" ", " "},
      {"  two spaces before, a line after\n", "  two spaces before, a line after\n"},
      {"\nLine\r\n\tTabbed ", "\nLine\r\n\tTabbed "},
      {"See " + kObject + " here", "See here"},
      {kObject + "\nCaption", "\nCaption"},
      {"Two" + kObject + kObject + " files ", "Two files "},
      {"Tail " + kObject, "Tail "},
      {"", ""},
      {kObject, ""},
  };
  fx::TempDir dir;
  const std::string sms = (dir / "sms.db").string();
  fx::SmsRows rows;
  rows.handles = {{1, "+33612345678"}};
  for (size_t i = 0; i < cases.size(); ++i) {
    rows.messages.push_back({int64_t(i + 1), "", cases[i].stored, 1,
                             600000000 * kSecond + int64_t(i) * kSecond, 0});
  }
  ASSERT_EQ(fx::MakeSmsDb(sms, rows, {}, {.schemaFile = "sms_all_ios11.sql"}).status, 0);
  MessageMap map;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractMessages("", map, {}, sms, rowidBase), 0);
  ASSERT_EQ(map.size(), 1u);
  const std::vector<MessageItem>& listed = map.begin()->second.messages;
  ASSERT_EQ(listed.size(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(listed[i].rowId, int64_t(i + 1));
    EXPECT_EQ(listed[i].text, cases[i].listed) << "stored: " << cases[i].stored;
  }
}

// Only message_attachment_join's message_id ties an attachment to a message: a message without a
// join row gets none, even when a freed page of another table of two integers (a dropped
// chat-to-message join: chat 1 with messages 1, 2, ...) lies in the file.
TEST(ExtractMessages, AnAttachmentBelongsOnlyToTheMessageItsJoinNames) {
  fx::TempDir dir;
  const std::string sms = (dir / "sms.db").string();
  fx::SmsRows rows;
  rows.handles = {{1, "+33612345678"}};
  rows.messages = {{1, "", "No attachment here", 1, 500000000, 0},
                   {227, "", "Photo", 1, 500000100, 0},
                   {422, "", "Voice", 1, 500000200, 0},
                   {520, "", "Document", 1, 500000300, 0}};
  rows.attachments = {{1, "", "IMG_0001.JPG"}, {2, "", "Audio Message.caf"}, {3, "", "a.pdf"}};
  rows.links = {{227, 1}, {422, 2}, {520, 3}};
  ASSERT_EQ(fx::MakeSmsDb(sms, rows, {}, {.schemaFile = "sms_all_ios9.sql"}).status, 0);
  {
    testing::DbEdit edit(sms);
    ASSERT_TRUE(edit.Exec("CREATE TABLE old_join (chat_id INTEGER, message_id INTEGER)"));
    ASSERT_TRUE(edit.Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                          "WHERE i < 1500) INSERT INTO old_join SELECT 1, i FROM n"));
    ASSERT_TRUE(edit.Exec("DROP TABLE old_join"));
  }
  MessageMap map;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractMessages("", map, {}, sms, rowidBase), 0);
  std::map<int64_t, std::vector<std::string>> attachmentsOf;
  for (const auto& [key, conversation] : map) {
    for (const MessageItem& m : conversation.messages) {
      for (const MessageAttachment& a : m.attachments) attachmentsOf[m.rowId].push_back(a.name);
    }
  }
  const std::map<int64_t, std::vector<std::string>> want = {
      {227, {"IMG_0001.JPG"}}, {422, {"Audio Message.caf"}}, {520, {"a.pdf"}}};
  EXPECT_EQ(attachmentsOf, want);
  const MessageItem* plain = FindText(map, "No attachment here");
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(plain->attachment, "");
}

TEST(ExtractMessages, MissingDatabaseIsReportedAndLeavesTheRowidBase) {
  fx::TempDir dir;
  MessageMap map;
  int64_t rowidBase = 20000;
  EXPECT_EQ(ExtractMessages("", map, {}, (dir / "none.db").string(), rowidBase), 87);
  EXPECT_TRUE(map.empty());
  EXPECT_EQ(rowidBase, 20000);
  // Not a database at all.
  {
    std::FILE* f = std::fopen((dir / "junk.db").c_str(), "wb");
    std::fputs("junk", f);
    std::fclose(f);
  }
  EXPECT_EQ(ExtractMessages("", map, {}, (dir / "junk.db").string(), rowidBase), 87);
}

struct Recorder {
  std::vector<int32_t> seen;
  size_t stopAtCall = SIZE_MAX;  // answer 2 from this call (0-based) on
  static int32_t Callback(void* self, int32_t percent) {
    auto* r = static_cast<Recorder*>(self);
    r->seen.push_back(percent);
    return r->seen.size() > r->stopAtCall ? 2 : 0;
  }
};

TEST(ExtractMessages, ReportsProgressInFixedStepsAndStopsWhenAsked) {
  SmsFixture f;
  Recorder recorder;
  MessageExtractOptions options;
  options.progress = {&Recorder::Callback, &recorder};
  options.current = 12;
  options.step = 11;
  MessageMap map;
  int64_t rowidBase = 20000;
  ASSERT_EQ(ExtractMessages(f.ab, map, options, f.sms, rowidBase), 0);
  EXPECT_EQ(recorder.seen, (std::vector<int32_t>{14, 14, 15, 17, 23, 23}));

  Recorder stopper;
  stopper.stopAtCall = 2;
  options.progress = {&Recorder::Callback, &stopper};
  MessageMap stopped;
  EXPECT_EQ(ExtractMessages(f.ab, stopped, options, f.sms, rowidBase), 2);
  EXPECT_TRUE(stopped.empty());
  EXPECT_EQ(stopper.seen, (std::vector<int32_t>{14, 14, 15, 23}));
}

TEST(ExtractMessages, OlderDatabaseWithSecondsAndNoArchives) {
  fx::TempDir dir;
  const std::string sms = (dir / "sms.db").string();
  fx::SmsRows rows;
  rows.handles = {{1, "+33612345678"}};
  rows.messages = {{1, "", "Old phone", 1, 400000000, 1}, {2, "", "Older", 1, 399999999, 0}};
  ASSERT_EQ(fx::MakeSmsDb(sms, rows, {}, {.schemaFile = "sms_all_ios6.sql"}).status, 0);
  MessageMap map;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractMessages("", map, {}, sms, rowidBase), 0);
  const auto& one = map["handle-1"].messages;
  ASSERT_EQ(one.size(), 2u);
  EXPECT_EQ(one[0].text, "Older");
  EXPECT_EQ(one[1].date, "2013-09-04 15:06:40");
  EXPECT_EQ(one[1].fromMe, 1);
}

}  // namespace
}  // namespace halvern
