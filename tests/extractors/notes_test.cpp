// Notes: notes.sqlite pairing and HTML replacements; NoteStore.sqlite text from gzip+protobuf.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <map>

#include "extractors/extractors.h"
#include "tests/fixtures/notes_dbs.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

TEST(NoteBodyToText, FixedReplacements) {
  const std::pair<const char*, const char*> cases[] = {
      {"a&amp;lt;b", "a&lt;b"},  // the ampersand made by "&amp;" is not decoded again
      {"one<div>two</div>", "one\ntwo"},
      {"x<BR>y<br/>z<br>", "x<BR>y<br/>z\n"},
      {"&#39;q&#39; &quot;d&quot; &lt;div&gt; a&nbsp;b", "'q' \"d\" \n a b"},
      {"<div class=\"c\">keep</div>", "<div class=\"c\">keep"},
  };
  for (const auto& [html, text] : cases) EXPECT_EQ(NoteBodyToText(html), text) << html;
}

TEST(ExtractNotes, PairsBodiesAndNotesAndKeepsTheUnpaired) {
  fx::TempDir dir;
  const std::string path = (dir / "notes.sqlite").string();
  std::vector<fx::NoteRowIn> notes = {
      {1, 1, "Shopping", "<div>Milk &amp; bread</div>", 500000000},
      {2, 2, "Gone body", "<div>deleted body text</div>", 500000100},
      {3, 3, "Lonely body", "Body without note", 500000200},
  };
  fx::NoteChanges changes;
  changes.deleteBodies = {2};
  changes.deleteNotes = {3};
  fx::DbLog log = fx::MakeNotesDb(path, notes, changes, {.schemaFile = "notes_legacy_ios9.sql"});
  ASSERT_EQ(log.status, 0) << log.error;
  std::vector<NoteItem> out;
  ASSERT_EQ(ExtractNotes(path, out), 0);
  auto find = [&](auto pred) -> const NoteItem* {
    for (const NoteItem& n : out)
      if (pred(n)) return &n;
    return nullptr;
  };
  const NoteItem* shopping = find([](const NoteItem& n) { return n.title == "Shopping"; });
  ASSERT_NE(shopping, nullptr);
  EXPECT_EQ(shopping->body, "\nMilk & bread");
  EXPECT_EQ(shopping->date, "2016-11-05 00:53:20");
  EXPECT_EQ(shopping->deleted, 0);
  // The note whose body was deleted keeps its title and date; its body comes back carved.
  const NoteItem* gone = find([](const NoteItem& n) { return n.title == "Gone body"; });
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->deleted, 0);
  const NoteItem* carvedBody =
      find([](const NoteItem& n) { return n.body == "\ndeleted body text"; });
  ASSERT_NE(carvedBody, nullptr);
  EXPECT_EQ(carvedBody->deleted, 1);
  // The body whose note was deleted is listed with its text.
  const NoteItem* lonely = find([](const NoteItem& n) { return n.body == "Body without note"; });
  ASSERT_NE(lonely, nullptr);
  EXPECT_EQ(lonely->deleted, 0);
  EXPECT_EQ(ExtractNotes((dir / "none").string(), out), 87);
}

// The older notes.sqlite keeps each note in an account's store (its folder) and marks a note
// deleted on the phone with ZDELETEDFLAG until the account has been told.
TEST(ExtractNotes, OlderNotesTellTheirFolderAndTheDeletedFlag) {
  fx::TempDir dir;
  const std::string path = (dir / "notes.sqlite").string();
  std::vector<fx::NoteRowIn> notes = {{1, 1, "Budget 2022", "<div>work sums</div>", 500000000},
                                      {2, 2, "Budget 2022", "<div>home sums</div>", 500000100},
                                      {3, 3, "Old list", "<div>flagged</div>", 500000200}};
  ASSERT_EQ(fx::MakeNotesDb(path, notes, {}, {.schemaFile = "notes_legacy_ios9.sql"}).status, 0);
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db,
                         "INSERT INTO ZSTORE(Z_PK, Z_ENT, Z_OPT, ZNAME) VALUES (1, 5, 1, 'Work'),"
                         " (2, 5, 1, 'Private');"
                         "UPDATE ZNOTE SET ZSTORE = 2 WHERE Z_PK = 2;"
                         "UPDATE ZNOTE SET ZDELETEDFLAG = 1 WHERE Z_PK = 3;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK)
      << sqlite3_errmsg(db);
  sqlite3_close(db);
  std::vector<NoteItem> out;
  ASSERT_EQ(ExtractNotes(path, out), 0);
  std::map<std::string, const NoteItem*> byBody;
  for (const NoteItem& n : out) byBody[n.body] = &n;
  ASSERT_TRUE(byBody.count("\nwork sums") && byBody.count("\nhome sums") &&
              byBody.count("\nflagged"));
  EXPECT_EQ(byBody["\nwork sums"]->folder, "Work");
  EXPECT_EQ(byBody["\nhome sums"]->folder, "Private");
  EXPECT_EQ(byBody["\nwork sums"]->deleted, 0);
  EXPECT_EQ(byBody["\nflagged"]->deleted, 1);
  EXPECT_EQ(byBody["\nflagged"]->title, "Old list");
}

TEST(ExtractNoteStore, TextFromCompressedProtobufTitlesDatesAndDeletedNotes) {
  fx::TempDir dir;
  const std::string path = (dir / "NoteStore.sqlite").string();
  std::vector<fx::NoteStoreNote> notes = {
      {1, "Recipe", "Recipe\nFlour, eggs \xE2\x80\x94 300 g", 600000000},
      {2, "Secret plan", "Secret plan\nmeet at noon", 610000000},
      {3, "Long", std::string(5000, 'L'), 620000000},
  };
  fx::DbLog log = fx::MakeNoteStoreDb(path, notes, {2});
  ASSERT_EQ(log.status, 0) << log.error;
  std::vector<NoteItem> out;
  ASSERT_EQ(ExtractNoteStore(path, out), 0);
  ASSERT_GE(out.size(), 3u);
  std::map<std::string, const NoteItem*> byTitle;
  for (const NoteItem& n : out) byTitle[n.title] = &n;
  ASSERT_TRUE(byTitle.count("Recipe"));
  EXPECT_EQ(byTitle["Recipe"]->body, "Recipe\nFlour, eggs \xE2\x80\x94 300 g");
  EXPECT_EQ(byTitle["Recipe"]->date, "2020-01-06 10:40:00");
  EXPECT_EQ(byTitle["Recipe"]->deleted, 0);
  ASSERT_TRUE(byTitle.count("Long"));
  EXPECT_EQ(byTitle["Long"]->body, std::string(5000, 'L'));
  ASSERT_TRUE(byTitle.count("Secret plan"));
  EXPECT_EQ(byTitle["Secret plan"]->deleted, 1);
  // Its text comes back when the carved data record survived whole; the title always does.
  if (!byTitle["Secret plan"]->body.empty()) {
    EXPECT_EQ(byTitle["Secret plan"]->body, "Secret plan\nmeet at noon");
  }
}

// NoteStore.sqlite with folders: two notes of one title in Work and Private, one in Recently
// Deleted, a locked one and a note deleted outright.
TEST(ExtractNoteStore, FoldersLockedNotesAndRecentlyDeleted) {
  fx::TempDir dir;
  const std::string path = (dir / "NoteStore.sqlite").string();
  {
    std::string error;
    auto db = fx::PhoneDb::Create(path, {.schemaFile = "notestore_all_ios11.sql"}, &error);
    ASSERT_TRUE(db) << error;
    struct Folder {
      int64_t id;
      const char* name;
      int64_t type;
    };
    for (const Folder& f : {Folder{10, "Work", 0}, Folder{11, "Private", 0},
                            Folder{12, "Recently Deleted", 1}}) {
      ASSERT_GT(db->Insert("ZICCLOUDSYNCINGOBJECT", {{"ROWID", f.id},
                                                      {"Z_ENT", int64_t{14}},
                                                      {"ZTITLE2", std::string(f.name)},
                                                      {"ZFOLDERTYPE", f.type}}),
                0)
          << db->error();
    }
    struct Note {
      int64_t id;
      const char* title;
      const char* text;  // "": enciphered data
      int64_t folder;
      int64_t locked;
    };
    const Note notes[] = {{1, "Budget 2022", "Budget 2022\nOffice rent", 10, 0},
                          {2, "Budget 2022", "Budget 2022\nHoliday", 11, 0},
                          {3, "Old list", "Old list\nbin me", 12, 0},
                          {4, "Bank codes", "", 11, 1},
                          {5, "Gone", "Gone\nfor good", 10, 0}};
    for (const Note& n : notes) {
      const std::string data = *n.text ? fx::NoteStoreData(n.text) : std::string("\x9a\x11\x02 sealed");
      ASSERT_GT(db->Insert("ZICCLOUDSYNCINGOBJECT", {{"ROWID", n.id},
                                                      {"Z_ENT", int64_t{11}},
                                                      {"ZNOTEDATA", n.id},
                                                      {"ZFOLDER", n.folder},
                                                      {"ZISPASSWORDPROTECTED", n.locked},
                                                      {"ZMODIFICATIONDATE1", 600000000.0},
                                                      {"ZTITLE1", std::string(n.title)}}),
                0)
          << db->error();
      ASSERT_GT(db->Insert("ZICNOTEDATA",
                           {{"ROWID", n.id},
                            {"Z_ENT", int64_t{12}},
                            {"ZNOTE", n.id},
                            {"ZDATA", fx::Blob{std::vector<uint8_t>(data.begin(), data.end())}}}),
                0)
          << db->error();
    }
    ASSERT_TRUE(db->DeleteRowid("ZICNOTEDATA", 5));
    ASSERT_TRUE(db->DeleteRowid("ZICCLOUDSYNCINGOBJECT", 5));
    ASSERT_TRUE(db->Close());
  }
  std::vector<NoteItem> out;
  ASSERT_EQ(ExtractNoteStore(path, out), 0);
  std::map<std::string, const NoteItem*> byText;
  for (const NoteItem& n : out) byText[n.title + "|" + n.folder] = &n;
  // Folders are no notes.
  EXPECT_EQ(byText.count("Work|"), 0u);
  ASSERT_TRUE(byText.count("Budget 2022|Work"));
  ASSERT_TRUE(byText.count("Budget 2022|Private"));
  EXPECT_EQ(byText["Budget 2022|Work"]->body, "Budget 2022\nOffice rent");
  EXPECT_EQ(byText["Budget 2022|Private"]->body, "Budget 2022\nHoliday");
  EXPECT_EQ(byText["Budget 2022|Work"]->deleted, 0);
  ASSERT_TRUE(byText.count("Old list|Recently Deleted"));
  EXPECT_EQ(byText["Old list|Recently Deleted"]->deleted, 1);
  ASSERT_TRUE(byText.count("Bank codes|Private"));
  const NoteItem& locked = *byText["Bank codes|Private"];
  EXPECT_EQ(locked.locked, 1);
  EXPECT_EQ(locked.body, kNoteLockedText);
  EXPECT_EQ(locked.deleted, 0);
  ASSERT_TRUE(byText.count("Gone|Work")) << "a deleted note keeps the folder it was in";
  EXPECT_EQ(byText["Gone|Work"]->deleted, 1);
}

TEST(ExtractNoteStore, DamagedOrEncryptedDataIsSkipped) {
  fx::TempDir dir;
  const std::string path = (dir / "NoteStore.sqlite").string();
  std::vector<fx::NoteStoreNote> notes = {{1, "Fine", "Fine text", 600000000},
                                          {2, "Locked", "", 600000000}};
  ASSERT_EQ(fx::MakeNoteStoreDb(path, notes, {}).status, 0);
  std::vector<NoteItem> out;
  ASSERT_EQ(ExtractNoteStore(path, out), 0);
  // A note whose data cannot be read (and that is not marked locked): listed by its title.
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].body, "Fine text");
  EXPECT_EQ(out[1].title, "Locked");
  EXPECT_EQ(out[1].body, "");
}


// ----- Notes as the person wrote them --------------------------------------------------------

// A rich note store of one layout with its container's files on disk.
struct RichStore {
  fx::TempDir dir;
  std::string path;
  NoteStoreOptions options;

  explicit RichStore(fx::NoteStoreLayout layout) {
    path = (dir / "NoteStore.sqlite").string();
    std::vector<fx::NoteContainerFile> files;
    error = fx::MakeRichNoteStore(path, layout, &files);
    for (size_t i = 0; i < files.size(); ++i) {
      const auto data = dir / ("file" + std::to_string(i));
      std::ofstream(data, std::ios::binary) << files[i].bytes;
      options.files.push_back({files[i].relative, data.string()});
    }
  }
  std::vector<NoteItem> Read(const NoteStoreOptions& with, NoteUnlockCount* count = nullptr) {
    std::vector<NoteItem> out;
    EXPECT_EQ(ExtractNoteStore(path, out, with, count), 0);
    return out;
  }
  std::string error;
};

const NoteItem* Titled(const std::vector<NoteItem>& notes, const std::string& title) {
  for (const NoteItem& n : notes)
    if (n.title == title) return &n;
  return nullptr;
}

std::string PiecesText(const NoteParagraph& p) {
  std::string text;
  for (const NotePiece& piece : p.pieces) text += piece.attachment >= 0 ? "[#" + std::to_string(piece.attachment) + "]" : piece.text;
  return text;
}

// Every layout: paragraphs with their styles, the checklist, each attachment resolved to its
// row, its media row and its file (with and without a generation folder, a scan by its
// fallback PDF), the table's cells in order, the account behind the moved account column.
TEST(ExtractNoteStore, RichNotesOfEveryLayout) {
  for (const auto layout : {fx::NoteStoreLayout::kIos14, fx::NoteStoreLayout::kIos16,
                            fx::NoteStoreLayout::kIos18}) {
    SCOPED_TRACE(int(layout));
    RichStore store(layout);
    ASSERT_EQ(store.error, "");
    const std::vector<NoteItem> notes = store.Read(store.options);
    const NoteItem* rich = Titled(notes, fx::kRichNoteTitle);
    ASSERT_NE(rich, nullptr);
    EXPECT_EQ(rich->folder, "Travel");
    EXPECT_EQ(rich->account, "iCloud");
    EXPECT_EQ(rich->deleted, 0);
    const NoteItem* shopping = Titled(notes, "Shopping");
    ASSERT_NE(shopping, nullptr);
    EXPECT_EQ(shopping->account, "On My iPhone");
    EXPECT_EQ(shopping->folder, "Notes");

    std::vector<std::pair<int32_t, std::string>> paragraphs;
    for (const NoteParagraph& p : rich->paragraphs) paragraphs.emplace_back(p.style, PiecesText(p));
    const std::vector<std::pair<int32_t, std::string>> expected = {
        {0, fx::kRichNoteTitle}, {1, "Packing"}, {103, "Passport"}, {103, "Rain coat"},
        {100, "Sunscreen"}, {102, "Book the hotel"}, {-1, "[#0]"}, {-1, "[#1]"}, {-1, "[#2]"},
        {-1, "[#3]"}, {-1, "[#4]"}, {-1, "[#5]"}, {-1, "See you there \xF0\x9F\x98\x80 soon"}};
    EXPECT_EQ(paragraphs, expected);
    EXPECT_EQ(rich->checklist,
              (std::vector<NoteChecklistItem>{{"Passport", true}, {"Rain coat", false}}));
    // The stored text stays as it is, one U+FFFC per attachment.
    EXPECT_NE(rich->body.find("Book the hotel\n\xEF\xBF\xBC\n"), std::string::npos);

    ASSERT_EQ(rich->attachments.size(), 6u);
    struct Want {
      const char* kind;
      const char* name;
      const char* mime;
      const char* relative;  // the file it must lead to; "" none
    };
    const Want want[] = {
        {"picture", "IMG_0001.jpeg", "image/jpeg", "/Media/MEDIA-ATT-PICTURE/1_5F2C/IMG_0001.jpeg"},
        {"scan", "Scanned Document", "application/pdf", "/FallbackPDFs/ATT-SCAN.pdf"},
        {"pdf", "Ticket.pdf", "application/pdf", "/Media/MEDIA-ATT-PDF/Ticket.pdf"},
        {"audio", "Call with Anna.m4a", "audio/mp4", "/Media/MEDIA-ATT-AUDIO/2_77A1/Call with Anna.m4a"},
        {"link", "Lyon tourist office", "", ""},
        {"table", "", "", ""},
    };
    for (size_t i = 0; i < 6; ++i) {
      const NoteAttachment& a = rich->attachments[i];
      SCOPED_TRACE(a.kind);
      EXPECT_EQ(a.kind, want[i].kind);
      EXPECT_EQ(a.name, want[i].name);
      EXPECT_EQ(a.mime, want[i].mime);
      std::string relative;
      for (const NoteStoreFile& f : store.options.files)
        if (f.path == a.path) relative = f.relative;
      EXPECT_TRUE(std::string_view(relative).ends_with(want[i].relative)) << relative;
      EXPECT_EQ(a.path.empty(), *want[i].relative == 0);
      EXPECT_FALSE(a.deleted);
    }
    EXPECT_EQ(rich->attachments[3].transcript, "Hello, the train leaves at nine.");
    EXPECT_EQ(rich->attachments[4].url, "https://www.visiterlyon.com/");
    EXPECT_EQ(rich->attachments[5].rows,
              (std::vector<std::vector<std::string>>{
                  {"Day", "City"}, {"Mon", "Lyon"}, {"Tue", "Annecy \xE2\x9B\xB0"}}));
    // Without the container's files the attachments are still named, with no path.
    const std::vector<NoteItem> withoutFiles = store.Read({});
    const NoteItem* bare = Titled(withoutFiles, fx::kRichNoteTitle);
    ASSERT_NE(bare, nullptr);
    ASSERT_EQ(bare->attachments.size(), 6u);
    EXPECT_EQ(bare->attachments[0].name, "IMG_0001.jpeg");
    EXPECT_EQ(bare->attachments[0].path, "");
  }
}

// A deleted note: its data and attachment rows brought back from free space, marked deleted.
TEST(ExtractNoteStore, DeletedNoteKeepsItsTextAndAttachment) {
  RichStore store(fx::NoteStoreLayout::kIos16);
  ASSERT_EQ(store.error, "");
  const std::vector<NoteItem> notes = store.Read(store.options);
  const NoteItem* gone = Titled(notes, fx::kDeletedNoteTitle);
  ASSERT_NE(gone, nullptr);
  EXPECT_EQ(gone->deleted, 1);
  EXPECT_NE(gone->body.find("Coffee 3.20"), std::string::npos);
  ASSERT_EQ(gone->attachments.size(), 1u);
  EXPECT_EQ(gone->attachments[0].name, "receipt.jpeg");
  EXPECT_TRUE(gone->attachments[0].deleted);
  EXPECT_FALSE(gone->attachments[0].path.empty());
}

// The locked note: closed without a password, opened by the right one in either Unicode form,
// refused by a wrong one without a change; UnlockNotes opens it in place.
TEST(ExtractNoteStore, LockedNoteOpensWithItsPasswordOnly) {
  RichStore store(fx::NoteStoreLayout::kIos18);
  ASSERT_EQ(store.error, "");
  NoteUnlockCount count;
  std::vector<NoteItem> closed = store.Read(store.options, &count);
  const NoteItem* locked = Titled(closed, fx::kLockedNoteTitle);
  ASSERT_NE(locked, nullptr);
  EXPECT_EQ(locked->locked, 1);
  EXPECT_EQ(locked->opened, 0);
  EXPECT_EQ(locked->body, kNoteLockedText);
  EXPECT_EQ(count.locked, 1);
  EXPECT_EQ(count.opened, 0);

  for (const char* password : {fx::kNotesPassword, fx::kNotesPasswordDecomposed}) {
    NoteStoreOptions with = store.options;
    with.password = password;
    const std::vector<NoteItem> open = store.Read(with, &count);
    const NoteItem* n = Titled(open, fx::kLockedNoteTitle);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->opened, 1);
    EXPECT_EQ(n->body, fx::kLockedNoteText);
    EXPECT_EQ(count.opened, 1);
    EXPECT_EQ(count.refused, 0);
  }
  for (const char* wrong : {"Grusse 2024", "", "gr\xC3\xBC\xC3\x9F" "e 2024"}) {
    NoteStoreOptions with = store.options;
    with.password = wrong;
    const std::vector<NoteItem> still = store.Read(with, &count);
    const NoteItem* n = Titled(still, fx::kLockedNoteTitle);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->body, kNoteLockedText);
    EXPECT_EQ(n->opened, 0);
    EXPECT_EQ(count.refused, 1);
    EXPECT_EQ(count.opened, 0);
  }
  NoteStoreOptions with = store.options;
  with.password = "wrong";
  EXPECT_EQ(UnlockNotes(store.path, closed, with).refused, 1);
  EXPECT_EQ(Titled(closed, fx::kLockedNoteTitle)->body, kNoteLockedText);
  with.password = fx::kNotesPassword;
  const NoteItem* before = Titled(closed, fx::kLockedNoteTitle);
  EXPECT_EQ(UnlockNotes(store.path, closed, with).opened, 1);
  EXPECT_EQ(Titled(closed, fx::kLockedNoteTitle), before) << "opened in place";
  EXPECT_EQ(before->body, fx::kLockedNoteText);
  EXPECT_EQ(before->opened, 1);
}

}  // namespace
}  // namespace halvern
