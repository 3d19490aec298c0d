// The print page: one golden body per printable category, the deleted-only switch, the
// checked flags, escaping of item texts, cancelling and the page file itself.
#include "export/print_page.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "categories/category.h"
#include "selection/statistics.h"
#include "tests/export/golden.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

MessageItem Msg(int64_t handle, int32_t fromMe, int32_t deleted, std::string date, std::string name,
                std::string phone, std::string text) {
  MessageItem m;
  m.handleId = handle;
  m.fromMe = fromMe;
  m.deleted = deleted;
  m.date = std::move(date);
  m.name = std::move(name);
  m.phone = std::move(phone);
  m.text = std::move(text);
  return m;
}

ChatMessageItem Chat(int64_t session, int32_t fromMe, int32_t deleted, std::string date,
                     std::string name, std::string text) {
  ChatMessageItem m;
  m.sessionId = session;
  m.fromMe = fromMe;
  m.deleted = deleted;
  m.date = std::move(date);
  m.name = std::move(name);
  m.text = std::move(text);
  m.phone = "4915550001";
  m.chatTitle = "Climbing <crew>";
  return m;
}

// A small scan result with one live and one deleted item per category, markup in texts.
struct Fixture {
  MessageMap messages;
  ChatMap chats;
  std::vector<MessageItem> conversations;
  std::vector<ChatMessageItem> chatRows;
  std::vector<ContactItem> contacts;
  std::vector<CallItem> calls;
  std::vector<NoteItem> notes;
  std::set<const void*> unchecked;

  Fixture() {
    messages["handle-7"] = OneToOne("handle-7", {
        Msg(7, 0, 0, "2024-03-01 09:00:00", "Ann Lee", "+15550007", "Hi <b>there</b>"),
        Msg(7, 1, 0, "2024-03-01 09:01:00", "Ann Lee", "+15550007", "<script>alert(1)</script>")});
    messages["handle-9"] = OneToOne("handle-9", {Msg(9, 0, 1, "2024-03-02 10:00:00", "Unknown", "+15550009", "gone & back")});
    conversations = ConversationRows(messages);
    chats[3] = OneChat(3, {Chat(3, 0, 0, "2024-04-01 08:00:00", "Bo", "morning"),
                Chat(3, 1, 0, "2024-04-01 08:05:00", "Me", "ok \"sure\"")});
    chats[4] = OneChat(4, {Chat(4, 0, 1, "2024-04-02 08:00:00", "Cy", "deleted one")});
    chatRows = ChatRows(chats);
    ContactItem a;
    a.name = "Ann Lee";
    a.phones = "+15550007\n+15550008";
    a.company = "A&B";
    a.email = "ann@example.org";
    a.url = "http://example.org/?a=1&b=2";
    ContactItem b = a;
    b.deleted = 1;
    b.name = "Old <Friend>";
    contacts = {b, a};
    CallItem c1;
    c1.incoming = 1;
    c1.duration = 65;
    c1.date = "2024-05-01 12:00:00";
    c1.phone = "+15550007";
    c1.name = "Ann Lee";
    CallItem c2 = c1;
    c2.incoming = 0;
    c2.duration = 0;
    c2.deleted = 1;
    CallItem c3 = c1;
    c3.duration = 0;
    calls = {c2, c1, c3};
    NoteItem n1;
    n1.title = "Shopping";
    n1.date = "2024-06-01 07:00:00";
    n1.body = "milk\n<eggs>";
    NoteItem n2 = n1;
    n2.deleted = 1;
    n2.title = "Old";
    notes = {n2, n1};
  }

  PrintSource Source(ScanCategory category, bool deletedOnly) const {
    PrintSource s;
    s.category = category;
    s.deletedOnly = deletedOnly;
    s.conversations = &conversations;
    s.chats = &chatRows;
    s.contacts = &contacts;
    s.calls = &calls;
    s.notes = &notes;
    s.messages = &messages;
    s.chatMap = &chats;
    s.checked = [this](const void* item) { return unchecked.count(item) == 0; };
    return s;
  }
};

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

std::string Body(const PrintSource& source) {
  PrintControl control;
  std::string body;
  EXPECT_EQ(ComposePrintBody(source, body, control), 0);
  return body;
}

TEST(PrintPage, EveryCategoryMatchesItsGoldenBody) {
  Fixture f;
  const struct {
    ScanCategory category;
    const char* golden;
  } cases[] = {{ScanCategory::kMessages, "print_messages.html"},
               {ScanCategory::kContacts, "print_contacts.html"},
               {ScanCategory::kCallHistory, "print_calls.html"},
               {ScanCategory::kNotes, "print_notes.html"},
               {ScanCategory::kWhatsApp, "print_whatsapp.html"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.golden);
    golden::ExpectGolden(c.golden, Body(f.Source(c.category, false)));
  }
}

TEST(PrintPage, ItemTextsAreEscapedNeverMarkup) {
  Fixture f;
  for (ScanCategory category : {ScanCategory::kMessages, ScanCategory::kContacts,
                                ScanCategory::kNotes, ScanCategory::kWhatsApp}) {
    const std::string body = Body(f.Source(category, false));
    EXPECT_EQ(body.find("<script"), std::string::npos);
    EXPECT_EQ(body.find("<b>"), std::string::npos);
    EXPECT_EQ(body.find("<eggs>"), std::string::npos);
    EXPECT_EQ(body.find("<crew>"), std::string::npos);
    EXPECT_EQ(body.find("<Friend>"), std::string::npos);
  }
  EXPECT_NE(Body(f.Source(ScanCategory::kMessages, false)).find("&lt;script&gt;alert(1)"),
            std::string::npos);
}

TEST(PrintPage, DeletedOnlyAndUncheckedItemsAreLeftOut) {
  Fixture f;
  // Deleted only: the deleted messages, nothing live.
  std::string body = Body(f.Source(ScanCategory::kMessages, true));
  EXPECT_NE(body.find("gone &amp; back"), std::string::npos);
  EXPECT_EQ(body.find("Ann Lee"), std::string::npos);
  body = Body(f.Source(ScanCategory::kCallHistory, true));
  EXPECT_NE(body.find("Canceled"), std::string::npos);
  EXPECT_EQ(body.find("Missed"), std::string::npos);
  body = Body(f.Source(ScanCategory::kWhatsApp, true));
  EXPECT_NE(body.find("deleted one"), std::string::npos);
  EXPECT_EQ(body.find("morning"), std::string::npos);

  // Unchecked items: a note and a conversation representative.
  f.unchecked.insert(&f.notes[0]);
  body = Body(f.Source(ScanCategory::kNotes, false));
  EXPECT_EQ(body.find("Old"), std::string::npos);
  EXPECT_NE(body.find("Shopping"), std::string::npos);
  for (const MessageItem& row : f.conversations) f.unchecked.insert(&row);
  EXPECT_EQ(Body(f.Source(ScanCategory::kMessages, false)), "");
}

TEST(PrintPage, PageIsHeadBodyTailAndMediaCategoriesHaveNoBody) {
  Fixture f;
  const fs::path dir = fs::path(testing::TempDir()) / "print_page_test";
  fs::remove_all(dir);
  PageTemplate page;
  ASSERT_EQ(LoadPrintTemplate(fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template", page), 0);
  ASSERT_NE(page.head.find("function Init"), std::string::npos);
  const fs::path path = PrintPagePath(dir);
  PrintControl control;
  ASSERT_EQ(ComposePrintPage(f.Source(ScanCategory::kNotes, false), page, path, control), 0);
  EXPECT_EQ(golden::ReadBytes(path),
            page.head + Body(f.Source(ScanCategory::kNotes, false)) + page.tail);
  ASSERT_EQ(ComposePrintPage(f.Source(ScanCategory::kCameraRoll, false), page, path, control), 0);
  EXPECT_EQ(golden::ReadBytes(path), page.head + page.tail);

  // A missing template: the page is the body alone.
  PageTemplate none;
  EXPECT_EQ(LoadPrintTemplate(dir / "no-such-folder", none), 87);
  ASSERT_EQ(ComposePrintPage(f.Source(ScanCategory::kNotes, false), none, path, control), 0);
  EXPECT_EQ(golden::ReadBytes(path), Body(f.Source(ScanCategory::kNotes, false)));

  // A page that cannot be written answers its errno value.
  const fs::path blocked = dir / "file";
  golden::WriteBytes(blocked, "x");
  EXPECT_EQ(ComposePrintPage(f.Source(ScanCategory::kNotes, false), page, PrintPagePath(blocked),
                             control),
            ENOTDIR);
}

TEST(PrintPage, CancelStopsTheCompositionWithTwo) {
  Fixture f;
  const fs::path path = PrintPagePath(fs::path(testing::TempDir()) / "print_cancel");
  fs::remove_all(path.parent_path());
  for (ScanCategory category :
       {ScanCategory::kMessages, ScanCategory::kContacts, ScanCategory::kCallHistory,
        ScanCategory::kNotes, ScanCategory::kWhatsApp}) {
    PrintControl control;
    control.cancelled = true;
    std::string body;
    EXPECT_EQ(ComposePrintBody(f.Source(category, false), body, control), kStopped);
    EXPECT_EQ(ComposePrintPage(f.Source(category, false), PageTemplate{}, path, control), kStopped);
  }
  EXPECT_FALSE(fs::exists(path));
}

// A table category prints its table from its columns and rows alone: a table of columns
// no category has, put in the first table category's place, prints as it is described.
struct TableFixture {
  std::vector<CategoryTable> tables{TableCategories().size()};
  std::set<const void*> unchecked;

  TableFixture() {
    CategoryTable& t = tables[0];
    t.columns = {{"title", "Title", ColumnType::kText},      {"when", "When", ColumnType::kDate},
                 {"length", "Length", ColumnType::kDuration}, {"where", "Where", ColumnType::kPlace},
                 {"picture", "Picture", ColumnType::kFile},   {"starred", "Starred <b>", ColumnType::kFlag},
                 {"count", "Count", ColumnType::kNumber}};
    TableRow live;
    live.cells = {Cell::Text("Trip <notes>\nline two"), Cell::Date(1631300000), Cell::Integer(65),
                  Cell::Place(52.52, 13.405), Cell::Text("IMG_1.HEIC"), Cell::Integer(1),
                  Cell::Real(2.5)};
    live.files = {{"IMG_1.HEIC", "CameraRollDomain-Media/IMG_1.HEIC", "/backup/ab/abc", "image/heic", 9}};
    TableRow carved = live;
    carved.deleted = 1;
    carved.origin = ItemSource::kCarved;
    carved.cells[0] = Cell::Text("Lost & found");
    carved.cells[4] = Cell::Null();
    carved.files.clear();
    TableRow older = carved;
    older.origin = ItemSource::kWal;
    older.cells[0] = Cell::Text("An older one");
    t.rows = {live, carved, older};
  }

  PrintSource Source(bool deletedOnly) const {
    PrintSource s;
    s.category = TableCategoryCode(0);
    s.deletedOnly = deletedOnly;
    s.tables = &tables;
    s.checked = [this](const void* item) { return unchecked.count(item) == 0; };
    return s;
  }
};

TEST(PrintPage, TableCategoriesPrintTheirTableFromItsDescription) {
  for (size_t i = 0; i < TableCategories().size(); ++i) {
    EXPECT_TRUE(IsPrintable(TableCategoryCode(i))) << TableCategories()[i]->key;
  }
  TableFixture f;
  const std::string body = Body(f.Source(false));
  golden::ExpectGolden("print_table.html", body);
  // Every value escaped, the deleted rows marked, each row's origin said.
  EXPECT_EQ(body.find("<notes>"), std::string::npos);
  EXPECT_EQ(body.find("<b>"), std::string::npos);
  EXPECT_EQ(Count(body, "<tr class=\"deleted\">"), 2u);
  EXPECT_EQ(Count(body, ">carved</span>"), 1u);
  EXPECT_EQ(Count(body, ">write-ahead log</span>"), 1u);

  // Only deleted rows, only checked ones, in the order the list shows them.
  std::string deleted = Body(f.Source(true));
  EXPECT_EQ(deleted.find("Trip"), std::string::npos);
  EXPECT_NE(deleted.find("Lost &amp; found"), std::string::npos);
  f.unchecked.insert(&f.tables[0].rows[1]);
  deleted = Body(f.Source(true));
  EXPECT_EQ(deleted.find("Lost"), std::string::npos);
  EXPECT_NE(deleted.find("An older one"), std::string::npos);
  PrintSource ordered = f.Source(false);
  ordered.tableRows = {&f.tables[0].rows[2], &f.tables[0].rows[0]};
  const std::string reordered = Body(ordered);
  EXPECT_LT(reordered.find("An older one"), reordered.find("Trip"));
  EXPECT_EQ(reordered.find("Lost"), std::string::npos);

  // Nothing checked: no table at all. Cancelled: 2, nothing written.
  for (const TableRow& row : f.tables[0].rows) f.unchecked.insert(&row);
  EXPECT_EQ(Body(f.Source(false)), "");
  f.unchecked.clear();
  PrintControl control;
  control.cancelled = true;
  std::string cancelled;
  EXPECT_EQ(ComposePrintBody(f.Source(false), cancelled, control), kStopped);
}

}  // namespace
}  // namespace halvern
