// Voice Memos: the recordings of the Voice Memos app.
//
// Where: iOS 17 on, AppDomainGroup-group.com.apple.VoiceMemos.shared Recordings/CloudRecordings.db;
// before, MediaDomain Media/Recordings/CloudRecordings.db (older phones Recordings.db). The audio
// lies in the same folder (.m4a; newer phones also .qta).
//
//   ZCLOUDRECORDING(Z_PK, ZDATE, ZDURATION, ZPATH, ZENCRYPTEDTITLE, ZCUSTOMLABEL, ZEVICTIONDATE,
//                   ZFOLDER, ...)
//   ZDATE, ZEVICTIONDATE  seconds since 2001; ZEVICTIONDATE set: in "Recently Deleted"
//   ZDURATION             seconds (real)
//   ZPATH                 the audio file's name (older phones: its whole path on the phone)
//   ZENCRYPTEDTITLE       the title as the user sees it (plain text despite its name);
//                         ZCUSTOMLABEL the older title
//   ZFOLDER               the folder's Z_PK in ZFOLDER (ZENCRYPTEDNAME), iOS 14 on
//
// Map: one row per recording, deleted when in "Recently Deleted" or carved.
#include <algorithm>
#include <unordered_map>

#include "categories/category.h"
#include "categories/table_rows.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

namespace {

struct Location {
  const char* domain;
  const char* folder;
  const char* database;
};
constexpr Location kLocations[] = {
    {"AppDomainGroup-group.com.apple.VoiceMemos.shared", "Recordings/", "CloudRecordings.db"},
    {"MediaDomain", "Media/Recordings/", "CloudRecordings.db"},
    {"MediaDomain", "Media/Recordings/", "Recordings.db"},
};

enum Col { kTitle, kDate, kDuration, kFolder, kAudio, kEvicted, kColumnCount };

std::vector<TableColumn> Columns() {
  return {
      {"title", "Title", ColumnType::kText},
      {"date", "Date", ColumnType::kDate},
      {"duration", "Duration", ColumnType::kDuration},
      {"folder", "Folder", ColumnType::kText},
      {"audio", "Audio", ColumnType::kFile},
      {"deletedDate", "Deleted on", ColumnType::kDate},
  };
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Folder Z_PK to its name.
std::unordered_map<int64_t, std::string> ReadFolders(CSqliteFileReader& reader) {
  std::unordered_map<int64_t, std::string> folders;
  if (reader.FindTable("ZFOLDER") == nullptr) return folders;
  ForEachRow(reader, "ZFOLDER", [&](const RowView& r) {
    if (r.deleted()) return true;
    const auto pk = r.Integer("Z_PK");
    auto name = r.Text("ZENCRYPTEDNAME");
    if (!name) name = r.Text("ZNAME");
    if (pk && name) folders.emplace(*pk, *name);
    return true;
  });
  return folders;
}

CategoryOutcome ReadOne(const CategoryContext& context, const Location& at,
                        const std::filesystem::path& db, CategoryTable& out) {
  CategoryOutcome outcome;
  CSqliteFileReader reader;
  outcome.error = OpenDatabase(db, at.database, "ZCLOUDRECORDING", "recordings table", reader);
  if (!outcome.error.empty()) return outcome;
  const auto folders = ReadFolders(reader);
  const PhoneFiles& files = *context.files;
  const int32_t scanned = ForEachRow(reader, "ZCLOUDRECORDING", [&](const RowView& r) {
    const auto date = r.Real("ZDATE");
    const auto duration = r.Real("ZDURATION");
    const auto path = r.Text("ZPATH");
    if (r.deleted()) {
      if (!date || !PlausibleUnixDate(*date + kMacEpochOffset) || (duration && *duration < 0) ||
          !path || path->empty()) {
        return true;
      }
    }
    TableRow row;
    row.origin = r.origin();
    row.cells.resize(kColumnCount);
    auto title = r.Text("ZENCRYPTEDTITLE");
    if (!title) title = r.Text("ZCUSTOMLABEL");
    if (title) row.cells[kTitle] = Cell::Text(*title);
    if (date) row.cells[kDate] = Cell::Date(*date + kMacEpochOffset);
    if (duration) row.cells[kDuration] = Cell::Real(*duration);
    if (const auto folder = r.Integer("ZFOLDER")) {
      const auto it = folders.find(*folder);
      if (it != folders.end()) row.cells[kFolder] = Cell::Text(it->second);
    }
    const auto evicted = r.Real("ZEVICTIONDATE");
    if (evicted) row.cells[kEvicted] = Cell::Date(*evicted + kMacEpochOffset);
    row.deleted = r.deleted() || evicted ? 1 : 0;
    if (path && !path->empty()) {
      const std::string name = BaseName(*path);
      row.cells[kAudio] = Cell::Text(name);
      const std::filesystem::path data = files.Find(at.domain, std::string(at.folder) + name);
      if (!data.empty()) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(data, ec);
        row.files.push_back({name, std::string(at.domain) + "-" + at.folder + name, data,
                             MimeOfName(name), ec ? 0 : uint64_t(size)});
      }
    }
    out.rows.push_back(std::move(row));
    return (out.rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned == kSqliteStopped || !context.GoOn()) outcome.result = kStopped;
  return outcome;
}

CategoryOutcome ExtractVoiceMemos(const CategoryContext& context, CategoryTable& out) {
  out.columns = Columns();
  out.rows.clear();
  CategoryOutcome outcome;
  // A phone upgraded to iOS 17 may keep the older database beside the new one: both are read.
  for (const Location& at : kLocations) {
    const std::filesystem::path db =
        context.files->Find(at.domain, std::string(at.folder) + at.database);
    if (db.empty()) continue;
    CategoryOutcome one = ReadOne(context, at, db, out);
    if (!one.error.empty()) {
      outcome.error = outcome.error.empty() ? one.error : outcome.error + "; " + one.error;
    }
    if (one.result != kOk) {
      outcome.result = one.result;
      return outcome;
    }
  }
  // A recording the database holds twice (a carved older copy) keeps its files with the live
  // row only.
  std::vector<std::string> liveFiles;
  for (const TableRow& row : out.rows) {
    if (row.origin == ItemSource::kLive && !row.files.empty())
      liveFiles.push_back(row.files.front().phonePath);
  }
  std::sort(liveFiles.begin(), liveFiles.end());
  for (TableRow& row : out.rows) {
    if (row.origin != ItemSource::kLive && !row.files.empty() &&
        std::binary_search(liveFiles.begin(), liveFiles.end(), row.files.front().phonePath)) {
      row.files.clear();
    }
  }
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const TableRow& a, const TableRow& b) {
    return a.cells[kDate].Number() > b.cells[kDate].Number();
  });
  return outcome;
}

}  // namespace

extern const TableCategory kVoiceMemosCategory = {
    "voiceMemos", "Voice Memos", TreeGroup::kMemosAndOthers,
    "AppDomainGroup-group.com.apple.VoiceMemos.shared Recordings/CloudRecordings.db (iOS 17 on); "
    "MediaDomain Media/Recordings/CloudRecordings.db before",
    &ExtractVoiceMemos};

}  // namespace halvern
