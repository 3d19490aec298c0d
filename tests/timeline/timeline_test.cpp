// The timeline of a scan: a probe backup's day across messages, calls, photos and notes in
// time order, every dated item once and nothing undated; and the moments of the table
// categories and the reading of the dates the older categories keep as local-time text.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>
#include <set>

#include "categories/category.h"
#include "tests/fixtures/temp_dir.h"
#include "tests/fixtures/timeline_probe.h"
#include "timeline/timeline.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

class TimelineProbe : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fixtures::TempDir;
    probe_ = new fixtures::ScannedProbe;
    error_ = fixtures::ScanTimelineProbe(dir_->path(), *probe_);
  }
  static void TearDownTestSuite() {
    delete probe_;
    delete dir_;
  }
  void SetUp() override { ASSERT_EQ(error_, ""); }
  static const ScanResults& Results() { return probe_->results; }

  static fixtures::TempDir* dir_;
  static fixtures::ScannedProbe* probe_;
  static std::string error_;
};
fixtures::TempDir* TimelineProbe::dir_ = nullptr;
fixtures::ScannedProbe* TimelineProbe::probe_ = nullptr;
std::string TimelineProbe::error_;

TEST_F(TimelineProbe, TheDayListsItsMessageCallPhotoAndNoteInTimeOrder) {
  const Timeline timeline = BuildTimeline(Results());
  struct Shown {
    std::string time;
    std::string category;
    TimelineWhat what;
    std::string who;
    std::string text;
  };
  std::vector<Shown> day;
  std::set<std::string> otherDays;
  for (const TimelineEntry& e : timeline.entries) {
    const std::string time = TimelineTime(Results(), timeline, e);
    ASSERT_GE(time.size(), 19u);
    if (time.substr(0, 10) != fixtures::kProbeDay) {
      otherDays.insert(time.substr(0, 10));
      continue;
    }
    day.push_back({time, CategoryKey(e.category), e.what, TimelineWho(Results(), timeline, e),
                   TimelineText(Results(), timeline, e)});
  }
  // The day's items by the time they happened, across categories.
  for (size_t i = 1; i < day.size(); ++i) EXPECT_LE(day[i - 1].time, day[i].time) << day[i].text;
  const auto at = [&](const std::string& category, const std::string& text) {
    for (size_t i = 0; i < day.size(); ++i) {
      if (day[i].category == category && day[i].text.find(text) != std::string::npos) return i;
    }
    ADD_FAILURE() << category << ": " << text << " is not on the day";
    return day.size();
  };
  const size_t message = at("messages", "Bonjour Chlo\xC3\xA9 !");
  const size_t note = at("notes", "Passport, charger");
  const size_t photo = at("photos", "IMG_0101.JPG");
  const size_t call = at("callHistory", "2 Min 5 Sec");
  ASSERT_LT(call, day.size());
  EXPECT_EQ(day[message].time, std::string(fixtures::kProbeDay) + " 10:40:00");
  EXPECT_EQ(day[message].what, TimelineWhat::kMessageSent);
  EXPECT_EQ(day[message].who, "Chlo\xC3\xA9 Bianchi");
  EXPECT_EQ(day[note].what, TimelineWhat::kNoteChanged);
  EXPECT_EQ(day[note].who, "Packing list");
  EXPECT_EQ(day[photo].time, std::string(fixtures::kProbeDay) + " 11:10:00");
  EXPECT_EQ(day[photo].what, TimelineWhat::kPhotoTaken);
  EXPECT_EQ(day[call].time, std::string(fixtures::kProbeDay) + " 11:40:00");
  EXPECT_EQ(day[call].what, TimelineWhat::kCallIncoming);
  EXPECT_LT(message, note);
  EXPECT_LT(note, photo);
  EXPECT_LT(photo, call);
  // The other days: the second picture's and the calendar's.
  EXPECT_TRUE(otherDays.count("2020-01-09")) << ::testing::PrintToString(otherDays);
  EXPECT_TRUE(otherDays.count("2021-09-14")) << ::testing::PrintToString(otherDays);
}

TEST_F(TimelineProbe, EveryDatedItemIsOnItOnceAndNothingUndated) {
  const Timeline timeline = BuildTimeline(Results());
  std::map<std::pair<const void*, uint16_t>, int> seen;
  std::map<std::string, size_t> perCategory;
  for (const TimelineEntry& e : timeline.entries) {
    const void* item = TimelineItem(Results(), timeline, e);
    ASSERT_NE(item, nullptr);
    // A reminder may be due and done: one entry per moment, never one moment twice.
    seen[{item, e.column}] += 1;
    ++perCategory[CategoryKey(e.category)];
    if (e.category == ScanCategory::kMessages) {
      EXPECT_EQ(static_cast<const MessageItem*>(item)->conversation,
                TimelineConversation(timeline, e));
    }
  }
  for (const auto& [item, count] : seen) EXPECT_EQ(count, 1) << item.first;
  size_t messages = 0, dated = 0;
  for (const auto& [key, c] : Results().messages) {
    messages += c.messages.size();
    for (const MessageItem& m : c.messages) dated += m.date.empty() ? 0 : 1;
  }
  EXPECT_EQ(perCategory["messages"], dated);
  EXPECT_EQ(dated, messages);  // the probe's messages all carry their date
  EXPECT_EQ(perCategory["callHistory"], Results().calls.size());
  size_t datedNotes = 0;
  for (const NoteItem& n : Results().notes) datedNotes += n.date.empty() ? 0 : 1;
  EXPECT_EQ(perCategory["notes"], datedNotes);
  EXPECT_GE(datedNotes, 3u);
  EXPECT_EQ(perCategory["whatsApp"], MessageCount(Results().whatsApp));
  EXPECT_EQ(perCategory["photos"], 2u);
  // Cards and files carry no date of their own.
  EXPECT_FALSE(Results().contacts.empty());
  EXPECT_EQ(perCategory.count("contacts"), 0u);
  EXPECT_EQ(perCategory.count("cameraRoll"), 0u);
}

// A scan made by hand: the table categories' moments, items without a date or with a date
// that is no date, and an instant two categories share.
TEST(Timeline, MomentsOfTheTablesAndItemsWithoutADate) {
  ScanResults r;
  const auto table = [&](const char* key) -> CategoryTable& {
    const TableCategory* c = FindTableCategory(key);
    const auto& list = TableCategories();
    return r.tables[size_t(std::find(list.begin(), list.end(), c) - list.begin())];
  };
  CategoryTable& reminders = table("reminders");
  reminders.columns = {{"title", "Title", ColumnType::kText},
                       {"due", "Due", ColumnType::kDate},
                       {"completedDate", "Done on", ColumnType::kDate},
                       {"created", "Created", ColumnType::kDate}};
  // Due on the 14th at 09:00 (a floating time), done on the 13th; its creation is no moment.
  reminders.rows.push_back({0, ItemSource::kLive,
                            {Cell::Text("Pay rent"), Cell::LocalTime(1631610000),
                             Cell::Date(1631523600), Cell::Date(1631000000)},
                            {}});
  reminders.rows.push_back(
      {1, ItemSource::kCarved, {Cell::Text("Undated"), Cell::Null(), Cell::Null(), Cell::Null()}, {}});
  CategoryTable& history = table("safariHistory");
  history.columns = {{"kind", "Kind", ColumnType::kText},
                     {"time", "Time", ColumnType::kDate},
                     {"title", "Title", ColumnType::kText},
                     {"url", "URL", ColumnType::kText}};
  history.rows.push_back({0, ItemSource::kLive,
                          {Cell::Text("visit"), Cell::Date(1631610000), Cell::Text("News"),
                           Cell::Text("https://example.com/")},
                          {}});
  history.rows.push_back({0, ItemSource::kLive,
                          {Cell::Text("history cleared"), Cell::Date(1631700000), Cell::Null(),
                           Cell::Null()},
                          {}});
  CallItem call;
  call.date = "2021-09-14 09:00:00";
  call.incoming = 1;
  call.phone = "+4930123456";
  CallItem odd = call;
  odd.date = "14.09.2021";  // kept in the call list as stored; no moment to place it at
  CallItem none = call;
  none.date.clear();
  r.calls = {call, odd, none};
  MessageItem m;
  m.date = "2021-09-13 23:59:59";
  m.text = "late";
  m.conversation = "chat-1";
  r.messages["chat-1"] = OneToOne("chat-1", {m});

  const Timeline t = BuildTimeline(r);
  std::vector<std::pair<TimelineWhat, std::string>> got;
  for (const TimelineEntry& e : t.entries)
    got.emplace_back(e.what, TimelineTime(r, t, e) + " " + TimelineWho(r, t, e));
  const std::vector<std::pair<TimelineWhat, std::string>> want = {
      {TimelineWhat::kReminderDone, "2021-09-13 09:00:00 Pay rent"},
      {TimelineWhat::kMessageReceived, "2021-09-13 23:59:59 " + ConversationLabel(r.messages["chat-1"])},
      // One instant: the categories in the tree's order (calls before the table categories).
      {TimelineWhat::kCallMissed, "2021-09-14 09:00:00 +4930123456"},
      {TimelineWhat::kReminderDue, "2021-09-14 09:00:00 Pay rent"},
      {TimelineWhat::kPageVisited, "2021-09-14 09:00:00 News"},
      {TimelineWhat::kHistoryCleared, "2021-09-15 10:00:00 history cleared"},
  };
  EXPECT_EQ(got, want);
}

TEST(Timeline, LocalDatesReadInTheComputersZone) {
  // Berlin: 02:30 on the day summer time starts does not exist; the hour after it is +02:00.
  const char* saved = std::getenv("TZ");
  const std::string before = saved ? saved : "";
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  struct Case {
    const char* text;
    bool ok;
    double instant;
  };
  const Case cases[] = {
      {"2021-01-10 12:00:00", true, 1610276400},  // +01:00
      {"2021-07-10 12:00:00", true, 1625911200},  // +02:00
      {"2021-03-28 03:30:00", true, 1616895000},
      {"2021-13-01 00:00:00", false, 0},
      {"2021-01-10T12:00:00", false, 0},
      {"2021-01-10 12:00", false, 0},
      {"", false, 0},
  };
  for (const Case& c : cases) {
    double instant = -1;
    EXPECT_EQ(LocalDateInstant(c.text, instant), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(instant, c.instant) << c.text;
    }
  }
  setenv("TZ", before.empty() ? "UTC" : before.c_str(), 1);
  tzset();
}

}  // namespace
}  // namespace halvern
