// Notes: notes.sqlite pairing and HTML replacements; NoteStore.sqlite text from gzip+protobuf.
#include <gtest/gtest.h>

#include "extractors/extractors.h"
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

TEST(ExtractNoteStore, DamagedOrEncryptedDataIsSkipped) {
  fx::TempDir dir;
  const std::string path = (dir / "NoteStore.sqlite").string();
  std::vector<fx::NoteStoreNote> notes = {{1, "Fine", "Fine text", 600000000},
                                          {2, "Locked", "", 600000000}};
  ASSERT_EQ(fx::MakeNoteStoreDb(path, notes, {}).status, 0);
  std::vector<NoteItem> out;
  ASSERT_EQ(ExtractNoteStore(path, out), 0);
  // The locked note has no readable data: listed by its title alone.
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].body, "Fine text");
  EXPECT_EQ(out[1].title, "Locked");
  EXPECT_EQ(out[1].body, "");
}

}  // namespace
}  // namespace halvern
