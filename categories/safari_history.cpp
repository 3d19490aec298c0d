// Safari history: every visit to a web page, and the times the history was cleared.
//
// Where: Library/Safari/History.db in HomeDomain (current phones) or
// AppDomain-com.apple.mobilesafari (older ones), and from iOS 17 one more History.db per
// profile under Library/Safari/Profiles/<UUID>/. Only encrypted backups hold it.
//
//   history_items(id, url, domain_expansion, visit_count, ...)
//   history_visits(id, history_item, visit_time, title, load_successful, redirect_source,
//                  redirect_destination, ...)
//     history_item  the page (history_items.id); visit_time seconds since 2001
//   history_tombstones(id, start_time, end_time, url, generation)
//     a clearing of the history from start_time to end_time (seconds since 2001), of one
//     page when url is set
//
// Map: one row per visit (kind "visit") with the page's URL and visit count, and one per
// clearing (kind "history cleared", from its time to its end). Visits the clearing deleted are
// carved from the file's free space and marked deleted, with their page when its id survived
// too; a carved page whose id did not (a record carved from a freeblock loses it) is a row of
// its own (kind "page": its URL and visit count). A carved visit is kept only when its time is
// plausible and it names a known page or has a title.
#include <algorithm>
#include <unordered_map>

#include "categories/category.h"
#include "categories/table_rows.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

namespace {

constexpr const char* kName = "History.db";
constexpr const char* kDomains[] = {"HomeDomain", "AppDomain-com.apple.mobilesafari"};
constexpr const char* kMainPath = "Library/Safari/History.db";
constexpr const char* kProfilePattern = "Library/Safari/Profiles/*/History.db";
constexpr const char* kProfilesFolder = "Library/Safari/Profiles/";

enum Col { kKind, kTime, kTitle, kUrl, kVisitCount, kUntil, kProfile, kColumnCount };

std::vector<TableColumn> Columns() {
  return {
      {"kind", "Kind", ColumnType::kText},
      {"time", "Time", ColumnType::kDate},
      {"title", "Title", ColumnType::kText},
      {"url", "URL", ColumnType::kText},
      {"visitCount", "Visits", ColumnType::kNumber},
      {"until", "Cleared until", ColumnType::kDate},
      {"profile", "Profile", ColumnType::kText},
  };
}

struct Page {
  std::string url;
  std::optional<int64_t> visits;
};

CategoryOutcome ReadOne(const CategoryContext& context, const std::filesystem::path& db,
                        const std::string& label, const std::string& profile,
                        CategoryTable& out) {
  CategoryOutcome outcome;
  outcome.error = DatabaseProblem(db, label);
  if (!outcome.error.empty()) return outcome;
  CSqliteFileReader reader;
  if (reader.Open(db.string()) != 0 || reader.FindTable("history_visits") == nullptr ||
      reader.FindTable("history_items") == nullptr) {
    outcome.error = label + " could not be read: it has no history tables";
    return outcome;
  }
  std::unordered_map<int64_t, Page> pages;
  // Carved pages whose id did not survive: no visit can name them, so they are rows of their own.
  std::vector<std::pair<Page, ItemSource>> unnamed;
  ForEachRow(reader, "history_items", [&](const RowView& r) {
    const auto id = r.Rowid();
    const auto url = r.Text("url");
    if (!url || url->empty()) return true;
    if (!id) {
      if (r.deleted()) unnamed.push_back({Page{*url, r.Integer("visit_count")}, r.origin()});
      return true;
    }
    if (r.deleted() && pages.count(*id)) return true;
    pages[*id] = Page{*url, r.Integer("visit_count")};
    return true;
  });
  auto newRow = [&profile](const RowView& r) {
    TableRow row;
    row.origin = r.origin();
    row.deleted = r.deleted() ? 1 : 0;
    row.cells.resize(kColumnCount);
    if (!profile.empty()) row.cells[kProfile] = Cell::Text(profile);
    return row;
  };
  int32_t scanned = ForEachRow(reader, "history_visits", [&](const RowView& r) {
    const auto time = r.Real("visit_time");
    const auto item = r.Integer("history_item");
    const auto page = item ? pages.find(*item) : pages.end();
    const auto title = r.Text("title");
    if (r.deleted() && (!time || !PlausibleUnixDate(*time + kMacEpochOffset) ||
                        (page == pages.end() && (!title || title->empty())))) {
      return true;
    }
    TableRow row = newRow(r);
    row.cells[kKind] = Cell::Text("visit");
    if (time) row.cells[kTime] = Cell::Date(*time + kMacEpochOffset);
    if (title) row.cells[kTitle] = Cell::Text(*title);
    if (page != pages.end()) {
      row.cells[kUrl] = Cell::Text(page->second.url);
      if (page->second.visits) row.cells[kVisitCount] = Cell::Integer(*page->second.visits);
    }
    out.rows.push_back(std::move(row));
    return (out.rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned != kSqliteStopped && context.GoOn() &&
      reader.FindTable("history_tombstones") != nullptr) {
    scanned = ForEachRow(reader, "history_tombstones", [&](const RowView& r) {
      const auto start = r.Real("start_time");
      const auto end = r.Real("end_time");
      if (r.deleted() && (!start || !end)) return true;
      TableRow row = newRow(r);
      row.cells[kKind] = Cell::Text("history cleared");
      if (start) row.cells[kTime] = Cell::Date(*start + kMacEpochOffset);
      if (end) row.cells[kUntil] = Cell::Date(*end + kMacEpochOffset);
      if (auto url = r.Text("url")) row.cells[kUrl] = Cell::Text(*url);
      out.rows.push_back(std::move(row));
      return true;
    });
  }
  for (auto& [page, origin] : unnamed) {
    TableRow row;
    row.origin = origin;
    row.deleted = 1;
    row.cells.resize(kColumnCount);
    row.cells[kKind] = Cell::Text("page");
    row.cells[kUrl] = Cell::Text(page.url);
    if (page.visits) row.cells[kVisitCount] = Cell::Integer(*page.visits);
    if (!profile.empty()) row.cells[kProfile] = Cell::Text(profile);
    out.rows.push_back(std::move(row));
  }
  if (scanned == kSqliteStopped || !context.GoOn()) outcome.result = kStopped;
  return outcome;
}

CategoryOutcome ExtractHistory(const CategoryContext& context, CategoryTable& out) {
  out.columns = Columns();
  out.rows.clear();
  CategoryOutcome outcome;
  struct Found {
    std::filesystem::path data;
    std::string label, profile;
  };
  std::vector<Found> found;
  for (const char* domain : kDomains) {
    const std::filesystem::path main = context.files->Find(domain, kMainPath);
    if (!main.empty()) found.push_back({main, kName, ""});
    for (const PhoneFile& f : context.files->Match(domain, kProfilePattern)) {
      // "Library/Safari/Profiles/<UUID>/History.db": the profile is the folder.
      std::string profile = f.relativePath.substr(std::string_view(kProfilesFolder).size());
      profile = profile.substr(0, profile.find('/'));
      found.push_back({f.data, "History.db of profile " + profile, profile});
    }
  }
  if (found.empty()) {
    if (!context.encrypted) outcome.notice = "Safari history is only in encrypted backups";
    return outcome;
  }
  for (const Found& f : found) {
    CategoryOutcome one = ReadOne(context, f.data, f.label, f.profile, out);
    if (!one.error.empty()) {
      outcome.error = outcome.error.empty() ? one.error : outcome.error + "; " + one.error;
    }
    if (one.result != kOk) {
      outcome.result = one.result;
      return outcome;
    }
  }
  // Newest first, as the phone lists them.
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const TableRow& a, const TableRow& b) {
    return a.cells[kTime].Number() > b.cells[kTime].Number();
  });
  return outcome;
}

}  // namespace

extern const TableCategory kSafariHistoryCategory = {
    "safariHistory", "Safari History", TreeGroup::kMemosAndOthers,
    "HomeDomain (older phones AppDomain-com.apple.mobilesafari) Library/Safari/History.db and "
    "Library/Safari/Profiles/<UUID>/History.db (encrypted backups)",
    &ExtractHistory,
    // The page: the visits day by day, the latest day first.
    {"time", SectionBy::kDay, true}};

}  // namespace halvern
