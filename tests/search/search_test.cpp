// Folding and matching without regard to case or accents, the ranges a match names in the
// original text, the day filters, and a search over a hand-made scan that finds each kind of
// item by its own fields and keeps only what the filters ask for.
#include <gtest/gtest.h>

#include "categories/category.h"
#include "extractors/extractors.h"
#include "search/search.h"

namespace halvern {
namespace {

TEST(SearchFolding, CaseAndAccentsFoldAway) {
  const std::pair<const char*, const char*> cases[] = {
      {"Café", "cafe"},
      {"ZÜRICH", "zurich"},
      {"Zu\xCC\x88rich", "zurich"},  // decomposed: the combining diaeresis goes too
      {"Ångström", "angstrom"},
      {"ΟΔΥΣΣΕΥΣ", "οδυσσευσ"},
      {"Łódź", "łodz"},            // Ł has no decomposition: only its case folds
      {"Straße", "straße"},        // simple folding: ß stays one letter
      {"Ｆｕｌｌ", "ｆｕｌｌ"},
      {"plain ascii 123", "plain ascii 123"},
      {"bad \xFF byte", "bad \xFF byte"},  // a byte that starts no character is kept
  };
  for (const auto& [text, folded] : cases) EXPECT_EQ(FoldForSearch(text), folded) << text;
}

TEST(SearchFolding, MatchesNameTheirRangeInTheOriginalText) {
  struct Case {
    const char* query;
    const char* text;
    std::vector<TextRange> ranges;
  };
  const Case cases[] = {
      {"cafe", "Café au lait, CAFE noir", {{0, 5}, {15, 19}}},
      {"CAFÉ", "un cafe", {{3, 7}}},
      {"naive", "naïve NAÏVE", {{0, 6}, {7, 13}}},
      {"zurich", "in Zu\xCC\x88rich", {{3, 11}}},
      {"lo", "hello", {{3, 5}}},
      {"aa", "aaaa", {{0, 2}, {2, 4}}},  // matches do not overlap
      {"x", "hello", {}},
      {"é", "e", {{0, 1}}},
      {"longer than the text", "short", {}},
  };
  for (const Case& c : cases) {
    const TextMatcher m(c.query);
    EXPECT_EQ(m.Find(c.text), c.ranges) << c.query << " in " << c.text;
    EXPECT_EQ(m.Matches(c.text), !c.ranges.empty()) << c.query << " in " << c.text;
  }
  EXPECT_TRUE(TextMatcher("").empty());
  EXPECT_FALSE(TextMatcher("").Matches("anything"));
}

TEST(SearchFilter, DaysAndSpans) {
  for (const char* good : {"2021-09-14", "2020-02-29", "1999-12-31"}) EXPECT_TRUE(ValidDay(good));
  for (const char* bad : {"2021-9-14", "2021-13-01", "2021-02-29", "2021-04-31", "yesterday", ""})
    EXPECT_FALSE(ValidDay(bad)) << bad;
  ItemFilter f;
  EXPECT_TRUE(f.TakesDate(""));  // no span: undated items stay
  f.since = "2021-09-14";
  f.until = "2021-09-15";
  EXPECT_FALSE(f.TakesDate(""));
  EXPECT_FALSE(f.TakesDate("2021-09-13 23:59:59"));
  EXPECT_TRUE(f.TakesDate("2021-09-14 00:00:00"));
  EXPECT_TRUE(f.TakesDate("2021-09-15 23:59:59"));
  EXPECT_FALSE(f.TakesDate("2021-09-16 00:00:00"));
}

// A scan with one item of each kind that holds "Zoë", and one that does not.
ScanResults SampleScan() {
  ScanResults r;
  MessageItem a;
  a.date = "2021-09-14 10:00:00";
  a.name = "Marc";
  a.text = "Dinner with ZOE tonight?";
  MessageItem b;
  b.date = "2021-09-15 10:00:00";
  b.name = "Zoë Martin";
  b.text = "Yes!";
  b.deleted = 1;
  MessageItem c;
  c.date = "2021-09-16 10:00:00";
  c.name = "Marc";
  c.text = "Nothing here";
  r.messages["handle-1"] = OneToOne("handle-1", {a, b, c});
  ContactItem card;
  card.name = "Zoë Martin";
  card.phones = "+33 6 12 34 56 78";
  r.contacts.push_back(card);
  CallItem call;
  call.date = "2021-09-14 09:00:00";
  call.name = "Zoe Martin";
  call.phone = "+33612345678";
  r.calls.push_back(call);
  NoteItem note;
  note.date = "2021-09-10 08:00:00";
  note.title = "Gifts";
  note.body = "A scarf for zoë";
  r.notes.push_back(note);
  // What a note holds besides its text: here a table's cell.
  NoteItem table;
  table.title = "Seating";
  table.body = "\xEF\xBF\xBC";
  NoteAttachment cells;
  cells.kind = "table";
  cells.rows = {{"Table 1", "Marc"}, {"Table 2", "Zoë"}};
  table.attachments.push_back(cells);
  r.notes.push_back(table);
  // A table category: its text columns are searched, its first date column filters.
  const auto& kinds = TableCategories();
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (std::string(kinds[i]->key) != "calendar") continue;
    CategoryTable& t = r.tables[i];
    t.columns = {{"title", "Title", ColumnType::kText},
                 {"start", "Start", ColumnType::kDate},
                 {"attendees", "Attendees", ColumnType::kText}};
    TableRow row;
    row.cells = {Cell::Text("Team lunch"), Cell::DateAt(1631613600, 0),  // 2021-09-14 10:00 UTC
                 Cell::Text("Zoë Martin <zoe@example.com>")};
    t.rows.push_back(row);
  }
  // A list column: the item of the list that holds the text.
  for (size_t i = 0; i < kinds.size(); ++i) {
    if (std::string(kinds[i]->key) != "photos") continue;
    CategoryTable& t = r.tables[i];
    t.columns = {{"originalName", "Original Name", ColumnType::kText},
                 {"albums", "Albums", ColumnType::kList}};
    TableRow row;
    row.cells = {Cell::Text("IMG_0001.HEIC"), Cell::List({"Holidays", "Zoë's party"})};
    t.rows.push_back(row);
  }
  return r;
}

TEST(SearchScan, FindsEveryKindByItsOwnFieldsAndKeepsWhatTheFiltersAsk) {
  const ScanResults scan = SampleScan();
  const TextMatcher zoe("zoe");
  struct Expect {
    ScanCategory category;
    const char* field;
    const char* text;
  };
  const auto check = [&](const ItemFilter& filter, std::vector<Expect> expected) {
    const std::vector<SearchHit> hits = SearchScan(scan, zoe, filter);
    ASSERT_EQ(hits.size(), expected.size());
    for (size_t i = 0; i < hits.size(); ++i) {
      EXPECT_EQ(hits[i].category, expected[i].category) << i;
      EXPECT_EQ(hits[i].field, expected[i].field) << i;
      EXPECT_EQ(hits[i].text, expected[i].text) << i;
      EXPECT_FALSE(hits[i].marks.empty()) << i;
    }
  };
  const ScanCategory calendar = [] {
    for (ScanCategory c : AllCategories()) {
      if (TableCategoryOf(c) != nullptr && std::string(TableCategoryOf(c)->key) == "calendar")
        return c;
    }
    return ScanCategory{};
  }();
  const ScanCategory photos = [] {
    for (ScanCategory c : AllCategories()) {
      if (TableCategoryOf(c) != nullptr && std::string(TableCategoryOf(c)->key) == "photos")
        return c;
    }
    return ScanCategory{};
  }();
  ItemFilter all;
  check(all, {{ScanCategory::kMessages, "text", "Dinner with ZOE tonight?"},
              {ScanCategory::kMessages, "name", "Zoë Martin"},
              {ScanCategory::kContacts, "name", "Zoë Martin"},
              {ScanCategory::kCallHistory, "name", "Zoe Martin"},
              {ScanCategory::kNotes, "body", "A scarf for zoë"},
              {ScanCategory::kNotes, "table", "Zoë"},
              {calendar, "Attendees", "Zoë Martin <zoe@example.com>"},
              {photos, "Albums", "Zoë's party"}});
  // The marks of a hit fall on the matching words of its text.
  const std::vector<SearchHit> hits = SearchScan(scan, zoe, all);
  EXPECT_EQ(hits[4].marks, (std::vector<TextRange>{{12, 16}}));

  ItemFilter day;
  day.since = day.until = "2021-09-14";  // the card has no date and goes
  check(day, {{ScanCategory::kMessages, "text", "Dinner with ZOE tonight?"},
              {ScanCategory::kCallHistory, "name", "Zoe Martin"},
              {calendar, "Attendees", "Zoë Martin <zoe@example.com>"}});
  ItemFilter deleted;
  deleted.deletedOnly = true;
  check(deleted, {{ScanCategory::kMessages, "name", "Zoë Martin"}});
  ItemFilter only;
  only.only = {ScanCategory::kNotes, calendar};
  check(only, {{ScanCategory::kNotes, "body", "A scarf for zoë"},
               {ScanCategory::kNotes, "table", "Zoë"},
               {calendar, "Attendees", "Zoë Martin <zoe@example.com>"}});
}

}  // namespace
// A big scan is searched on two threads, each over half of the messages, a conversation cut
// between them: the hits are the same, in the same order, as one pass over the conversations.
TEST(SearchScan, HalvesOfABigScanGiveTheHitsOfOnePassInOrder) {
  ScanResults results;
  // Three conversations of 90,000 messages: the halves meet inside the second one.
  const size_t perConversation = 90000;
  std::vector<std::pair<std::string, size_t>> expected;
  for (const char* key : {"chat-1", "chat-2", "chat-3"}) {
    Conversation& c = results.messages[key];
    c.id = key;
    c.messages.resize(perConversation);
    for (size_t i = 0; i < perConversation; ++i) {
      MessageItem& m = c.messages[i];
      m.conversation = key;
      m.date = "2024-05-01 10:00:00";
      // Every 7,919th message holds the word (one of them the first of the second half).
      if (i % 7919 == 0 || (std::string(key) == "chat-2" && i == perConversation / 2)) {
        m.text = "see you at the Café at " + std::to_string(i);
        expected.emplace_back(key, i);
      } else {
        m.text = "nothing to find here " + std::to_string(i);
      }
    }
  }
  const std::vector<SearchHit> hits = SearchScan(results, TextMatcher("cafe"), ItemFilter{});
  std::vector<std::pair<std::string, size_t>> found;
  for (const SearchHit& h : hits) found.emplace_back(h.conversation, h.index);
  EXPECT_EQ(found, expected);
}

}  // namespace halvern
