// Safari bookmarks: the bookmarks, their folders and the Reading List.
//
// Where: HomeDomain Library/Safari/Bookmarks.db (every plain backup).
//
//   bookmarks(id, special_id, parent, type, title, url, num_children, editable, deletable,
//             hidden, order_index, external_uuid, read, last_modified, deleted, ...)
//   type           0 a bookmark, 1 a folder
//   parent         the folder's id; NULL for the root folder (id 0, "Root")
//   title          as stored; the special folders keep their own names ("BookmarksBar" is the
//                  Favorites, "BookmarksMenu" the bookmarks menu, "com.apple.ReadingList" the
//                  Reading List)
//   last_modified  seconds since 2001
//   deleted        1: deleted on the phone, kept until the deletion is synced
//
// Map: one row per bookmark and per folder (a kind column tells them apart), with the path of
// folders it lies in; the root folder is no row. Deleted when flagged or carved; a carved row
// is kept only when it is a bookmark with a URL or a folder with a title.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "categories/category.h"
#include "categories/table_rows.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

namespace {

constexpr const char* kDomain = "HomeDomain";
constexpr const char* kPath = "Library/Safari/Bookmarks.db";
constexpr const char* kName = "Bookmarks.db";
constexpr int64_t kBookmark = 0;
constexpr int64_t kFolderType = 1;
constexpr const char* kReadingList = "com.apple.ReadingList";

enum Col { kKind, kTitle, kUrl, kFolder, kModified, kId, kColumnCount };

std::vector<TableColumn> Columns() {
  return {
      {"kind", "Kind", ColumnType::kText},
      {"title", "Title", ColumnType::kText},
      {"url", "URL", ColumnType::kText},
      {"folder", "Folder", ColumnType::kText},
      {"modified", "Modified", ColumnType::kDate},
      {"id", "ID", ColumnType::kNumber},
  };
}

struct Node {
  int64_t parent = -1;  // -1: none
  std::string title;
};

// "BookmarksBar/News": the titles of the folders above `parent`, the root left out.
std::string FolderPath(const std::unordered_map<int64_t, Node>& folders, int64_t parent,
                       bool& inReadingList) {
  std::vector<const std::string*> titles;
  std::unordered_set<int64_t> seen;
  for (int64_t id = parent; id >= 0 && seen.insert(id).second && seen.size() < 256;) {
    const auto it = folders.find(id);
    if (it == folders.end()) break;
    if (it->second.parent < 0) break;  // the root
    titles.push_back(&it->second.title);
    if (it->second.title == kReadingList) inReadingList = true;
    id = it->second.parent;
  }
  std::string path;
  for (auto it = titles.rbegin(); it != titles.rend(); ++it) {
    path += (path.empty() ? "" : "/") + **it;
  }
  return path;
}

CategoryOutcome ExtractBookmarks(const CategoryContext& context, CategoryTable& out) {
  out.columns = Columns();
  out.rows.clear();
  CategoryOutcome outcome;
  const std::filesystem::path db = context.files->Find(kDomain, kPath);
  if (db.empty()) return outcome;
  CSqliteFileReader reader;
  outcome.error = OpenDatabase(db, kName, "bookmarks", "bookmarks table", reader);
  if (!outcome.error.empty()) return outcome;
  // Folders first (live ones; carved folders only where no live one has the id), so that every
  // row's path can be told.
  struct Read {
    TableRow row;
    int64_t parent = -1;
  };
  std::vector<Read> rows;
  std::unordered_map<int64_t, Node> folders;
  std::unordered_set<int64_t> liveFolders;
  const int32_t scanned = ForEachRow(reader, "bookmarks", [&](const RowView& r) {
    const auto type = r.Integer("type");
    const auto id = r.Rowid();
    const auto title = r.Text("title");
    const auto url = r.Text("url");
    const auto parent = r.Integer("parent");
    if (r.deleted()) {
      const bool bookmark = type == kBookmark && url && !url->empty();
      const bool folder = type == kFolderType && title && !title->empty();
      if (!bookmark && !folder) return true;
    }
    if (type == kFolderType && id && (!r.deleted() || !liveFolders.count(*id))) {
      folders[*id] = Node{parent.value_or(-1), title.value_or("")};
      if (!r.deleted()) liveFolders.insert(*id);
    }
    if (!parent && !r.deleted()) return true;  // the root folder
    Read read;
    read.parent = parent.value_or(-1);
    TableRow& row = read.row;
    row.origin = r.origin();
    row.deleted = r.deleted() || r.Integer("deleted").value_or(0) != 0 ? 1 : 0;
    row.cells.resize(kColumnCount);
    if (type) {
      row.cells[kKind] = Cell::Text(*type == kBookmark     ? "bookmark"
                                    : *type == kFolderType ? "folder"
                                                           : "type " + std::to_string(*type));
    }
    if (title) row.cells[kTitle] = Cell::Text(*title);
    if (url) row.cells[kUrl] = Cell::Text(*url);
    if (const auto modified = r.Real("last_modified"); modified && *modified != 0)
      row.cells[kModified] = Cell::Date(*modified + kMacEpochOffset);
    if (id) row.cells[kId] = Cell::Integer(*id);
    rows.push_back(std::move(read));
    return (rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned == kSqliteStopped || !context.GoOn()) {
    outcome.result = kStopped;
    return outcome;
  }
  for (Read& read : rows) {
    bool readingList = false;
    if (read.parent >= 0) {
      const std::string path = FolderPath(folders, read.parent, readingList);
      if (!path.empty()) read.row.cells[kFolder] = Cell::Text(path);
    }
    // A Reading List entry is a bookmark of that folder: said as what the user saved it as.
    if (readingList && read.row.cells[kKind] == Cell::Text("bookmark"))
      read.row.cells[kKind] = Cell::Text("reading list");
    out.rows.push_back(std::move(read.row));
  }
  // Folder by folder, as the phone lists them.
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const TableRow& a, const TableRow& b) {
    return a.cells[kFolder].text < b.cells[kFolder].text;
  });
  return outcome;
}

}  // namespace

extern const TableCategory kSafariBookmarksCategory = {
    "safariBookmarks", "Safari Bookmarks", TreeGroup::kMemosAndOthers,
    "HomeDomain Library/Safari/Bookmarks.db", &ExtractBookmarks};

}  // namespace halvern
