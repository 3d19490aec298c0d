// The timeline page of the recovered folder, over a probe backup scanned whole: a day's
// section lists that day's message, call, photo and note in time order, each linked to its
// place on its own page (the file is there and so is the anchor); a timeline too big for one
// page is split by month with every part linking to the others and no entry lost or doubled;
// the page holds only what the run recovered.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

#include "export/recover_worker.h"
#include "selection/statistics.h"
#include "tests/export/golden.h"
#include "tests/fixtures/temp_dir.h"
#include "tests/fixtures/timeline_probe.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;

class Quiet : public RecoverTally {};

// "a%20b" -> "a b".
std::string Unescaped(const std::string& link) {
  std::string out;
  for (size_t i = 0; i < link.size(); ++i) {
    if (link[i] == '%' && i + 2 < link.size()) {
      out += char(std::stoi(link.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += link[i];
    }
  }
  return out;
}

struct PageEntry {
  std::string day, time, category, href, html;
};

// The entries of a timeline page under their day headings.
std::vector<PageEntry> Entries(const std::string& page) {
  std::vector<PageEntry> out;
  static const std::regex kHeading("<h2 id=\"d([0-9-]+)\">");
  static const std::regex kEntry(
      "<li[^>]*><span class=\"time\">([^<]*)</span> <span class=\"category\">([^<]*)</span>.*?"
      "<a href=\"([^\"]*)\">.*?</li>");
  std::string day;
  for (size_t at = 0; at < page.size();) {
    const size_t heading = page.find("<h2 id=\"d", at);
    const size_t entry = page.find("<li", at);
    if (entry == std::string::npos) break;
    if (heading != std::string::npos && heading < entry) {
      std::smatch m;
      const std::string rest = page.substr(heading, 40);
      if (std::regex_search(rest, m, kHeading)) day = m[1];
      at = heading + 1;
      continue;
    }
    const size_t end = page.find("</li>", entry) + 5;
    const std::string li = page.substr(entry, end - entry);
    std::smatch m;
    if (std::regex_search(li, m, kEntry)) out.push_back({day, m[1], m[2], m[3], li});
    at = end;
  }
  return out;
}

class TimelinePage : public ::testing::Test {
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
  void SetUp() override {
    ASSERT_EQ(error_, "");
    ScanResults& r = probe_->results;
    conversations_ = ConversationRows(r.messages);
    chats_ = ChatRows(r.whatsApp);
    selection_.AddConversations(conversations_);
    selection_.AddContacts(r.contacts);
    selection_.AddCalls(r.calls);
    selection_.AddNotes(r.notes);
    selection_.AddChats(chats_);
    for (size_t i = 0; i < r.tables.size(); ++i) selection_.AddTable(TableCategoryCode(i), r.tables[i]);
  }

  // Recovers into `name`; the timeline's first page.
  fs::path Recover(const std::string& name, size_t bytesPerPage = kMessageBytesPerPage) {
    RecoverJob job;
    job.engine = probe_->engine.get();
    job.messages = &probe_->results.messages;
    job.chats = &probe_->results.whatsApp;
    job.tables = &probe_->results.tables;
    job.scan = &probe_->results;
    job.selection = &selection_;
    job.destination = *dir_ / name;
    job.templateFolder = fs::path(HALVERN_SOURCE_DIR) / "runtime" / "template";
    job.deviceName = "Chloé's iPhone";
    job.startTime = 1622542830;
    job.timelineBytesPerPage = bytesPerPage;
    Quiet progress;
    RecoverWorker worker(job, progress);
    EXPECT_EQ(worker.LoadTemplates(), 0);
    EXPECT_EQ(worker.Run(), 0);
    EXPECT_EQ(progress.failedCount(), 0u);
    return *dir_ / name / "Timeline" / "Timeline.html";
  }

  // Every link of `page` reaches its file, and its anchor is on that file.
  static void ExpectLinksWork(const fs::path& page) {
    const std::vector<PageEntry> entries = Entries(golden::ReadBytes(page));
    ASSERT_FALSE(entries.empty()) << page;
    for (const PageEntry& e : entries) {
      const size_t hash = e.href.find('#');
      const fs::path target = page.parent_path() / Unescaped(e.href.substr(0, hash));
      ASSERT_TRUE(fs::is_regular_file(target)) << e.href;
      if (hash == std::string::npos) continue;
      const std::string anchor = e.href.substr(hash + 1);
      EXPECT_NE(golden::ReadBytes(target).find("id=\"" + anchor + "\""), std::string::npos)
          << e.href;
    }
  }

  static fixtures::TempDir* dir_;
  static fixtures::ScannedProbe* probe_;
  static std::string error_;
  std::vector<MessageItem> conversations_;
  std::vector<ChatMessageItem> chats_;
  CStatisticsObj selection_;
};
fixtures::TempDir* TimelinePage::dir_ = nullptr;
fixtures::ScannedProbe* TimelinePage::probe_ = nullptr;
std::string TimelinePage::error_;

TEST_F(TimelinePage, TheDayListsItsMessageCallPhotoAndNoteInTimeOrderWithWorkingLinks) {
  const fs::path page = Recover("out");
  ASSERT_TRUE(fs::is_regular_file(page));
  const std::string html = golden::ReadBytes(page);
  EXPECT_NE(html.find("<title>iPhone&#39;s Timeline of Chloé&#39;s iPhone</title>"),
            std::string::npos);
  std::vector<PageEntry> day;
  std::set<std::string> days;
  for (PageEntry& e : Entries(html)) {
    days.insert(e.day);
    if (e.day == fixtures::kProbeDay) day.push_back(std::move(e));
  }
  EXPECT_TRUE(days.count("2020-01-09"));
  EXPECT_TRUE(days.count("2021-09-14"));
  for (size_t i = 1; i < day.size(); ++i) EXPECT_LE(day[i - 1].time, day[i].time) << day[i].html;
  const auto at = [&](const std::string& category, const std::string& text) {
    for (size_t i = 0; i < day.size(); ++i) {
      if (day[i].category == category && day[i].html.find(text) != std::string::npos) return i;
    }
    ADD_FAILURE() << category << " " << text << " is not in the day's section";
    return day.size();
  };
  const size_t message = at("Messages", "Bonjour Chlo\xC3\xA9 !");
  const size_t note = at("Notes", "Passport, charger");
  const size_t photo = at("Photos", "IMG_0101.JPG");
  const size_t call = at("Call History", "Chlo\xC3\xA9 Bianchi");
  ASSERT_LT(call, day.size());
  EXPECT_LT(message, note);
  EXPECT_LT(note, photo);
  EXPECT_LT(photo, call);
  // Each to its own page: the conversation's message, the note's and the call's row, the
  // picture's file.
  EXPECT_NE(day[message].href.find("../Message/"), std::string::npos) << day[message].href;
  EXPECT_NE(day[message].href.find("#m"), std::string::npos);
  EXPECT_NE(day[note].href.find("../Notes/Notes_"), std::string::npos) << day[note].href;
  EXPECT_NE(day[call].href.find("../CallHistory/CallHistory_"), std::string::npos);
  EXPECT_NE(day[photo].href.find("IMG_0101.JPG"), std::string::npos) << day[photo].href;
  EXPECT_EQ(day[photo].href.find('#'), std::string::npos);
  ExpectLinksWork(page);
  // The index leads to it.
  EXPECT_NE(golden::ReadBytes(*dir_ / "out" / "index.html").find("href=\"Timeline/Timeline.html\""),
            std::string::npos);
}

TEST_F(TimelinePage, ATimelineTooBigForOnePageIsSplitByMonthWithLinksBetweenTheParts) {
  const std::vector<PageEntry> whole = Entries(golden::ReadBytes(Recover("whole")));
  const fs::path first = Recover("split", 1500);
  const fs::path folder = first.parent_path();
  std::vector<fs::path> pages;
  for (const auto& f : fs::directory_iterator(folder)) pages.push_back(f.path());
  ASSERT_GT(pages.size(), 2u);
  // The parts by month ("2020-01", a month too big in pieces "2020-01 (2)"), each linking to
  // every other part; every entry on exactly one part, in the order of the whole timeline.
  std::vector<PageEntry> joined;
  std::set<std::string> months;
  // The parts in the order the first page's list of parts names them (itself in bold).
  const auto partsOf = [&](const std::string& html, const std::string& self) {
    std::vector<std::string> order;
    const size_t nav = html.find("<nav class=\"parts\">");
    const std::string list = html.substr(nav, html.find("</nav>", nav) - nav);
    static const std::regex kPart("<strong>|<a href=\"([^\"]*)\">");
    for (std::sregex_iterator it(list.begin(), list.end(), kPart), end; it != end; ++it) {
      order.push_back((*it)[1].matched ? Unescaped((*it)[1]) : self);
    }
    return order;
  };
  const std::vector<std::string> names = partsOf(golden::ReadBytes(first), "Timeline.html");
  ASSERT_EQ(names.size(), pages.size());
  for (const std::string& name : names) {
    const std::string html = golden::ReadBytes(folder / name);
    // Every part names the same parts in the same order, and links each of the others.
    EXPECT_EQ(partsOf(html, name), names) << name;
    std::vector<PageEntry> part = Entries(html);
    ASSERT_FALSE(part.empty()) << name;
    // One month a part, its entries within the bytes a page may hold.
    size_t bytes = 0;
    for (const PageEntry& e : part) {
      EXPECT_EQ(e.day.substr(0, 7), part.front().day.substr(0, 7)) << name;
      months.insert(e.day.substr(0, 7));
      bytes += e.html.size() + 2;
    }
    if (part.size() > 1) EXPECT_LE(bytes, 1500u) << name;
    joined.insert(joined.end(), part.begin(), part.end());
    ExpectLinksWork(folder / name);
  }
  ASSERT_EQ(joined.size(), whole.size());
  for (size_t i = 0; i < whole.size(); ++i) EXPECT_EQ(joined[i].html, whole[i].html) << i;
  EXPECT_GE(months.size(), 2u);
  // The index names the first part and how many pages it has; the others are reached from it.
  const std::string index = golden::ReadBytes(*dir_ / "split" / "index.html");
  EXPECT_NE(index.find("href=\"Timeline/Timeline.html\""), std::string::npos);
  EXPECT_NE(index.find("on " + std::to_string(pages.size()) + " pages"), std::string::npos);
  EXPECT_EQ(index.find("Timeline%20-%20"), std::string::npos);
}

TEST_F(TimelinePage, HoldsOnlyWhatTheRunRecovered) {
  for (ScanCategory c : AllCategories()) {
    if (c != ScanCategory::kCallHistory && c != ScanCategory::kNotes) selection_.SelectCategory(c, false);
  }
  const std::vector<PageEntry> entries = Entries(golden::ReadBytes(Recover("calls")));
  std::set<std::string> categories;
  for (const PageEntry& e : entries) categories.insert(e.category);
  EXPECT_EQ(categories, (std::set<std::string>{"Call History", "Notes"}));
  size_t dated = 0;
  for (const CallItem& c : probe_->results.calls) dated += c.date.empty() ? 0 : 1;
  for (const NoteItem& n : probe_->results.notes) dated += n.date.empty() ? 0 : 1;
  EXPECT_EQ(entries.size(), dated);
}

}  // namespace
}  // namespace halvern
