// Several backups read as one: which items are the same, which copy stays, the labels each
// item carries, conversations joined across phones and files matched by their bytes.
#include "engine/scan_merge.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kBoth = {"old", "new"};
const std::vector<std::string> kOld = {"old"};
const std::vector<std::string> kNew = {"new"};

CallItem Call(const char* id, const char* date, int64_t duration, int32_t deleted = 0) {
  CallItem c;
  c.uniqueId = id;
  c.date = date;
  c.phone = "+33612345678";
  c.duration = duration;
  c.deleted = deleted;
  return c;
}

ScanResults MergedCalls(std::vector<CallItem> older, std::vector<CallItem> newer) {
  ScanResults a, b;
  a.calls = std::move(older);
  b.calls = std::move(newer);
  return MergeScans({{"old", std::move(a)}, {"new", std::move(b)}});
}

TEST(ScanMergeTest, CallsAreOneWhereTheirIdentityIsOne) {
  struct Case {
    const char* what;
    std::vector<CallItem> older, newer;
    size_t merged;
  } cases[] = {
      {"same unique id", {Call("A", "2020-01-01 10:00:00", 60)}, {Call("A", "2020-01-01 10:00:00", 60)}, 1},
      {"different ids, all else alike", {Call("A", "2020-01-01 10:00:00", 60)},
       {Call("B", "2020-01-01 10:00:00", 60)}, 2},
      {"one id lost: date, number and duration decide", {Call("", "2020-01-01 10:00:00", 60)},
       {Call("A", "2020-01-01 10:00:00", 60)}, 1},
      {"no ids, another duration", {Call("", "2020-01-01 10:00:00", 60)},
       {Call("", "2020-01-01 10:00:00", 61)}, 2},
      // Two calls one backup keeps apart stay two, even when the other backup has one of them.
      {"twins of one backup", {Call("", "2020-01-01 10:00:00", 0), Call("", "2020-01-01 10:00:00", 0)},
       {Call("", "2020-01-01 10:00:00", 0)}, 2},
  };
  for (const Case& c : cases) {
    const ScanResults r = MergedCalls(c.older, c.newer);
    EXPECT_EQ(r.calls.size(), c.merged) << c.what;
  }
}

TEST(ScanMergeTest, LiveCopyWinsAndEveryItemNamesItsBackupsOldestFirst) {
  // The newer phone deleted the call (a carved copy); the older one holds it live.
  const ScanResults r = MergedCalls({Call("A", "2020-01-01 10:00:00", 60), Call("C", "2019-12-01 09:00:00", 5)},
                                    {Call("A", "2020-01-01 10:00:00", 60, 1), Call("N", "2021-01-01 09:00:00", 5)});
  ASSERT_EQ(r.calls.size(), 3u);
  EXPECT_EQ(r.calls[0].uniqueId, "A");
  EXPECT_EQ(r.calls[0].deleted, 0);
  EXPECT_EQ(r.calls[0].backups, kBoth);
  EXPECT_EQ(r.calls[1].backups, kNew);
  EXPECT_EQ(r.calls[2].backups, kOld);

  // Two live copies: the newer backup's values stay (a note edited since).
  NoteItem before, after;
  before.identifier = after.identifier = "5B1E";
  before.body = "Milk";
  after.body = "Milk, bread";
  ScanResults a, b;
  a.notes = {before};
  b.notes = {after};
  const ScanResults notes = MergeScans({{"old", std::move(a)}, {"new", std::move(b)}});
  ASSERT_EQ(notes.notes.size(), 1u);
  EXPECT_EQ(notes.notes[0].body, "Milk, bread");
  EXPECT_EQ(notes.notes[0].backups, kBoth);
}

MessageItem Message(const char* guid, const char* date, const char* text, int32_t deleted = 0) {
  MessageItem m;
  m.guid = guid;
  m.date = date;
  m.text = text;
  m.phone = "+33612345678";
  m.deleted = deleted;
  return m;
}

Conversation Person(const std::string& id, std::vector<MessageItem> messages) {
  Conversation c;
  c.id = id;
  c.members = {{"+33612345678", "Chlo\xC3\xA9", "iMessage"}};
  for (MessageItem& m : messages) m.conversation = id;
  c.messages = std::move(messages);
  return c;
}

TEST(ScanMergeTest, ConversationsOfOnePersonBecomeOneInDateOrder) {
  ScanResults a, b;
  // Each phone numbers its rows itself: the same person is chat-3 on one and chat-9 on the other,
  // and chat-9 of the older phone is somebody else.
  a.messages["chat-3"] = Person("chat-3", {Message("G1", "2020-01-01 10:00:00", "Hi"),
                                           Message("G0", "2019-12-31 23:00:00", "Old only"),
                                           Message("", "2020-01-02 08:00:00", "Carved, no guid", 1)});
  Conversation other = Person("chat-9", {Message("G7", "2020-01-01 12:00:00", "Other person")});
  other.members = {{"+447700900123", "Marc", "SMS"}};
  a.messages["chat-9"] = other;
  b.messages["chat-9"] = Person("chat-9", {Message("G1", "2020-01-01 10:00:00", "Hi"),
                                           Message("G2", "2020-01-02 08:00:00", "Carved, no guid"),
                                           Message("G3", "2020-01-03 08:00:00", "New only")});
  const ScanResults r = MergeScans({{"old", std::move(a)}, {"new", std::move(b)}});
  ASSERT_EQ(r.messages.size(), 2u);
  const Conversation& chloe = r.messages.at("chat-9");
  std::vector<std::string> texts;
  for (const MessageItem& m : chloe.messages) {
    texts.push_back(m.text);
    EXPECT_EQ(m.conversation, "chat-9") << m.text;
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"Old only", "Hi", "Carved, no guid", "New only"}));
  EXPECT_EQ(chloe.messages[1].backups, kBoth);
  EXPECT_EQ(chloe.messages[2].backups, kBoth);
  EXPECT_EQ(chloe.messages[0].backups, kOld);
  // Marc's conversation keeps its messages under a key of its own.
  bool marc = false;
  for (const auto& [id, c] : r.messages) {
    if (id == "chat-9") continue;
    marc = c.id == id && c.messages.size() == 1 && c.messages[0].text == "Other person" &&
           c.messages[0].conversation == id;
  }
  EXPECT_TRUE(marc);
}

TEST(ScanMergeTest, FilesAreOneWhereTheirBytesAreOne) {
  fixtures::TempDir dir;
  const auto file = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    MediaFileItem f;
    f.displayName = name;
    f.path = dir / name;
    f.size = bytes.size();
    return f;
  };
  ScanResults a, b;
  a.cameraRoll = {file("IMG_0001.JPG", "same bytes"), file("IMG_0002.JPG", "other byte")};
  b.cameraRoll = {file("IMG_5001.JPG", "same bytes"), file("IMG_5002.JPG", "third file")};
  const ScanResults r = MergeScans({{"old", std::move(a)}, {"new", std::move(b)}});
  ASSERT_EQ(r.cameraRoll.size(), 3u);
  EXPECT_EQ(r.cameraRoll[0].displayName, "IMG_5001.JPG");
  EXPECT_EQ(r.cameraRoll[0].backups, kBoth);
  EXPECT_EQ(r.cameraRoll[2].displayName, "IMG_0002.JPG");  // same size, other bytes
  EXPECT_EQ(r.cameraRoll[2].backups, kOld);
  EXPECT_EQ(FileContentHash(dir / "missing"), "");
}

TEST(ScanMergeTest, TableRowsAreOneWhereEveryValueIsOne) {
  ScanResults a, b;
  const auto row = [](const char* text, ItemSource origin) {
    TableRow r;
    r.origin = origin;
    r.deleted = origin == ItemSource::kLive ? 0 : 1;
    r.cells = {Cell::Text(text)};
    return r;
  };
  for (ScanResults* s : {&a, &b}) s->tables[0].columns = {{"text", "Text", ColumnType::kText}};
  a.tables[0].rows = {row("kept", ItemSource::kLive), row("older", ItemSource::kLive)};
  b.tables[0].rows = {row("kept", ItemSource::kCarved), row("newer", ItemSource::kLive)};
  const ScanResults r = MergeScans({{"old", std::move(a)}, {"new", std::move(b)}});
  ASSERT_EQ(r.tables[0].rows.size(), 3u);
  EXPECT_EQ(r.tables[0].rows[0].origin, ItemSource::kLive);
  EXPECT_EQ(r.tables[0].rows[0].backups, kBoth);
  EXPECT_EQ(r.tables[1].rows.size(), 0u);
}

TEST(ScanMergeTest, ErrorsAndNoticesNameTheirBackup) {
  ScanResults a, b;
  a.errors[ScanCategory::kMessages] = "sms.db could not be read: damaged";
  b.notices[ScanCategory::kCallHistory] = "Call history is only in encrypted backups";
  const ScanResults r = MergeScans({{"old", std::move(a)}, {"new", std::move(b)}});
  EXPECT_EQ(r.errors.at(ScanCategory::kMessages), "old: sms.db could not be read: damaged");
  EXPECT_EQ(r.notices.at(ScanCategory::kCallHistory),
            "new: Call history is only in encrypted backups");

  // Said alike by every backup: said once.
  ScanResults c, d;
  c.notices[ScanCategory::kCallHistory] = d.notices[ScanCategory::kCallHistory] =
      "Call history is only in encrypted backups";
  const ScanResults alike = MergeScans({{"old", std::move(c)}, {"new", std::move(d)}});
  EXPECT_EQ(alike.notices.at(ScanCategory::kCallHistory), "Call history is only in encrypted backups");
}

}  // namespace
}  // namespace halvern
