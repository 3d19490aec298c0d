// Voicemail: the messages callers left on the phone's mailbox.
//
// Where: HomeDomain Library/Voicemail/voicemail.db (every plain backup), with the audio beside it
// as <ROWID>.amr (newer phones <ROWID>.m4a) and, when the phone transcribed it,
// <ROWID>.transcript, a property list holding the transcription text.
//
//   voicemail(ROWID, remote_uid, date, token, sender, callback_num, duration, expiration,
//             trashed_date, flags[, receiver, ...])
//   date          Unix seconds
//   duration      seconds
//   trashed_date  seconds since 2001; non-zero: in "Deleted Messages" on the phone
//   receiver      the line it came in on (newer phones only)
//
// Map: one row per voicemail; the caller named from the address book by the number rules of
// calls and messages; deleted when trashed or carved. A carved row is kept only when it has a
// plausible date, a duration of at least 0 and a number: anything else is leftover bytes.
#include <plist/plist.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "categories/category.h"
#include "categories/table_rows.h"
#include "extractors/names.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

namespace {

constexpr const char* kDomain = "HomeDomain";
constexpr const char* kFolder = "Library/Voicemail/";

enum Col { kName, kPhone, kDate, kDuration, kLine, kCallback, kTranscript, kAudio, kTrashed,
           kRowId, kColumnCount };

std::vector<TableColumn> Columns() {
  return {
      {"name", "Caller", ColumnType::kText},
      {"phone", "Number", ColumnType::kText},
      {"date", "Date", ColumnType::kDate},
      {"duration", "Duration", ColumnType::kDuration},
      {"line", "Line", ColumnType::kText},
      {"callback", "Callback Number", ColumnType::kText},
      {"transcript", "Transcript", ColumnType::kText},
      {"audio", "Audio", ColumnType::kFile},
      {"deletedDate", "Deleted on", ColumnType::kDate},
      {"rowId", "ID", ColumnType::kNumber},
  };
}

// The string a keyed archive's UID points at, or the string itself.
const char* StringOf(plist_t node, plist_t objects) {
  if (node == nullptr) return nullptr;
  if (plist_get_node_type(node) == PLIST_UID && objects != nullptr) {
    uint64_t uid = 0;
    plist_get_uid_val(node, &uid);
    if (uid < plist_array_get_size(objects)) {
      node = plist_array_get_item(objects, uint32_t(uid));
    }
  }
  if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return nullptr;
  return plist_get_string_ptr(node, nullptr);
}

// The transcription in a property list: the value of a "transcriptionString" (or
// "transcription") key anywhere in it, following a keyed archive's references.
std::string FindTranscript(plist_t node, plist_t objects, int depth) {
  if (node == nullptr || depth > 32) return {};
  if (plist_get_node_type(node) == PLIST_DICT) {
    for (const char* key : {"transcriptionString", "transcription"}) {
      if (const char* text = StringOf(plist_dict_get_item(node, key), objects)) return text;
    }
    plist_dict_iter it = nullptr;
    plist_dict_new_iter(node, &it);
    for (;;) {
      char* key = nullptr;
      plist_t value = nullptr;
      plist_dict_next_item(node, it, &key, &value);
      if (key == nullptr) break;
      std::free(key);
      std::string found = FindTranscript(value, objects, depth + 1);
      if (!found.empty()) {
        std::free(it);
        return found;
      }
    }
    std::free(it);
  } else if (plist_get_node_type(node) == PLIST_ARRAY) {
    const uint32_t n = plist_array_get_size(node);
    for (uint32_t i = 0; i < n; ++i) {
      std::string found = FindTranscript(plist_array_get_item(node, i), objects, depth + 1);
      if (!found.empty()) return found;
    }
  }
  return {};
}

std::string ReadTranscript(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (bytes.empty() || bytes.size() > (64u << 20)) return {};
  plist_t root = nullptr;
  plist_from_memory(bytes.data(), uint32_t(bytes.size()), &root);
  if (root == nullptr) return {};
  plist_t objects = plist_get_node_type(root) == PLIST_DICT
                        ? plist_dict_get_item(root, "$objects")
                        : nullptr;
  if (objects != nullptr && plist_get_node_type(objects) != PLIST_ARRAY) objects = nullptr;
  std::string text = FindTranscript(root, objects, 0);
  // A keyed archive keeps the text as an object of its own, named by the key's position in
  // an NS.keys / NS.objects pair.
  if (text.empty() && objects != nullptr) {
    const uint32_t n = plist_array_get_size(objects);
    for (uint32_t i = 0; i < n && text.empty(); ++i) {
      plist_t o = plist_array_get_item(objects, i);
      if (plist_get_node_type(o) != PLIST_DICT) continue;
      plist_t keys = plist_dict_get_item(o, "NS.keys");
      plist_t values = plist_dict_get_item(o, "NS.objects");
      if (keys == nullptr || values == nullptr) continue;
      const uint32_t k = std::min(plist_array_get_size(keys), plist_array_get_size(values));
      for (uint32_t j = 0; j < k; ++j) {
        const char* key = StringOf(plist_array_get_item(keys, j), objects);
        if (key != nullptr && (std::string_view(key) == "transcriptionString" ||
                               std::string_view(key) == "transcription")) {
          if (const char* v = StringOf(plist_array_get_item(values, j), objects)) text = v;
          break;
        }
      }
    }
  }
  plist_free(root);
  return text;
}

void AddAudio(const PhoneFiles& files, int64_t rowid, TableRow& row) {
  for (const char* ext : {".amr", ".m4a"}) {
    const std::string name = std::to_string(rowid) + ext;
    const std::filesystem::path data = files.Find(kDomain, std::string(kFolder) + name);
    if (data.empty()) continue;
    std::error_code ec;
    const auto size = std::filesystem::file_size(data, ec);
    row.files.push_back({name, std::string(kDomain) + "-" + kFolder + name, data,
                         MimeOfName(name), ec ? 0 : uint64_t(size)});
    if (row.cells[kAudio].IsNull()) row.cells[kAudio] = Cell::Text(name);
  }
}

CategoryOutcome ExtractVoicemail(const CategoryContext& context, CategoryTable& out) {
  out.columns = Columns();
  out.rows.clear();
  CategoryOutcome outcome;
  const PhoneFiles& files = *context.files;
  const std::filesystem::path db = files.Find(kDomain, "Library/Voicemail/voicemail.db");
  if (db.empty()) return outcome;
  CSqliteFileReader reader;
  outcome.error = OpenDatabase(db, "voicemail.db", "voicemail", "voicemail table", reader);
  if (!outcome.error.empty()) return outcome;
  const NameIndex* names = context.names ? &context.names() : nullptr;
  int32_t scanned = ForEachRow(reader, "voicemail", [&](const RowView& r) {
    const auto date = r.Real("date");
    const auto duration = r.Integer("duration");
    const auto sender = r.Text("sender");
    const auto callback = r.Text("callback_num");
    if (r.deleted()) {
      // Leftover bytes are no voicemail.
      if (!date || !PlausibleUnixDate(*date) || (duration && *duration < 0) ||
          ((!sender || sender->empty()) && (!callback || callback->empty()))) {
        return true;
      }
    }
    TableRow row;
    row.origin = r.origin();
    row.cells.resize(kColumnCount);
    const std::string number = sender && !sender->empty() ? *sender : callback.value_or("");
    if (names != nullptr && !number.empty()) {
      const std::string& name = names->Find(number);
      if (!name.empty()) row.cells[kName] = Cell::Text(name);
    }
    if (sender) row.cells[kPhone] = Cell::Text(*sender);
    if (date) row.cells[kDate] = Cell::Date(*date);
    if (duration) row.cells[kDuration] = Cell::Integer(*duration);
    if (auto line = r.Text("receiver")) row.cells[kLine] = Cell::Text(*line);
    if (callback) row.cells[kCallback] = Cell::Text(*callback);
    const auto trashed = r.Real("trashed_date");
    if (trashed && *trashed != 0) row.cells[kTrashed] = Cell::Date(*trashed + kMacEpochOffset);
    row.deleted = r.deleted() || (trashed && *trashed != 0) ? 1 : 0;
    const auto rowid = r.Rowid();
    if (rowid) {
      row.cells[kRowId] = Cell::Integer(*rowid);
      // A carved row's rowid names the files only when it survived; the files of a rowid that
      // a live row holds are that row's.
      AddAudio(files, *rowid, row);
      const std::filesystem::path transcript =
          files.Find(kDomain, std::string(kFolder) + std::to_string(*rowid) + ".transcript");
      if (!transcript.empty()) {
        std::string text = ReadTranscript(transcript);
        if (!text.empty()) row.cells[kTranscript] = Cell::Text(std::move(text));
      }
    }
    out.rows.push_back(std::move(row));
    return (out.rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned == kSqliteStopped || !context.GoOn()) {
    outcome.result = kStopped;
    return outcome;
  }
  // A carved copy of a voicemail the table still holds claims the live row's files: keep the
  // files with the live row only.
  std::vector<int64_t> liveIds;
  for (const TableRow& row : out.rows) {
    if (row.origin == ItemSource::kLive && !row.cells[kRowId].IsNull())
      liveIds.push_back(row.cells[kRowId].integer);
  }
  std::sort(liveIds.begin(), liveIds.end());
  for (TableRow& row : out.rows) {
    if (row.origin == ItemSource::kLive || row.cells[kRowId].IsNull()) continue;
    if (std::binary_search(liveIds.begin(), liveIds.end(), row.cells[kRowId].integer)) {
      row.files.clear();
      row.cells[kAudio] = Cell::Null();
      row.cells[kTranscript] = Cell::Null();
    }
  }
  // Newest first, as the phone lists them.
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const TableRow& a, const TableRow& b) {
    return a.cells[kDate].Number() > b.cells[kDate].Number();
  });
  return outcome;
}

}  // namespace

extern const TableCategory kVoicemailCategory = {
    .key = "voicemail",
    .title = "Voicemail",
    .group = TreeGroup::kMessagesAndCalls,
    .files = "HomeDomain Library/Voicemail/voicemail.db, <ROWID>.amr|.m4a, <ROWID>.transcript",
    .extract = &ExtractVoicemail,
    .addressColumns = "phone,callback"};

}  // namespace halvern
