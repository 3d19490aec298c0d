// Reminders: the to-dos of the Reminders app, with their lists.
//
// Where, by the phone's version:
//   iOS 17 on   AppDomainGroup-group.com.apple.reminders Container_v1/Stores/Data-<UUID>.sqlite
//   iOS 13-16   HomeDomain Library/Reminders/Container_v1/Stores/Data-<UUID>.sqlite
//               (one store per account, and Data-local.sqlite; the names come from the manifest)
//   before 13   rows of HomeDomain Library/Calendar/Calendar.sqlitedb (see below)
//
// The stores are Core Data files; dates are seconds since 2001.
//   ZREMCDREMINDER(Z_PK, Z_ENT, ZTITLE, ZNOTES, ZDUEDATE, ZALLDAY, ZTIMEZONE, ZCOMPLETED,
//                  ZCOMPLETIONDATE, ZFLAGGED, ZPRIORITY, ZMARKEDFORDELETION, ZLIST,
//                  ZCREATIONDATE, ...)                                             iOS 16 on
//   ZREMCDOBJECT   one table for every kind of object on iOS 13-15: the reminders are the rows
//                  whose Z_ENT is the number Z_PRIMARYKEY gives REMCDReminder (the numbers
//                  differ between versions: read from each file); columns of kinds that share a
//                  name get a number appended (ZLIST1), so each is looked up by its name with
//                  or without one
//   ZREMCDBASELIST(Z_PK, ZNAME, ...)  the lists (iOS 16 on; before, lists are ZREMCDOBJECT rows)
//   ZPRIORITY        as stored: 0 none, 1 high, 5 medium, 9 low
//   ZMARKEDFORDELETION  1: deleted on the phone, kept until the deletion is synced
//
// Before iOS 13: CalendarItem rows with entity_type 3 (summary, description, due_date, due_tz
// ("_float" a floating time), due_all_day, completion_date, priority, creation_date,
// calendar_id the list in Calendar).
//
// Map: one row per reminder; deleted when marked for deletion or carved. A carved row is kept
// only when it has a title (and, in a shared table, is known to be a reminder).
#include <algorithm>
#include <cctype>
#include <unordered_map>

#include "categories/category.h"
#include "categories/table_rows.h"
#include "categories/zone.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

namespace {

struct StoreLocation {
  const char* domain;
  const char* pattern;
};
constexpr StoreLocation kStores[] = {
    {"AppDomainGroup-group.com.apple.reminders", "*Container_v1/Stores/Data-*.sqlite"},
    {"HomeDomain", "Library/Reminders/Container_v1/Stores/Data-*.sqlite"},
};
constexpr const char* kCalendarDomain = "HomeDomain";
constexpr const char* kCalendarPath = "Library/Calendar/Calendar.sqlitedb";
constexpr const char* kCalendarName = "Calendar.sqlitedb";
constexpr int64_t kTaskEntity = 3;

enum Col { kTitle, kNotes, kList, kDue, kDone, kDoneDate, kFlagged, kPriority, kCreated, kId,
           kColumnCount };

std::vector<TableColumn> Columns() {
  return {
      {"title", "Title", ColumnType::kText},
      {"notes", "Notes", ColumnType::kText},
      {"list", "List", ColumnType::kText},
      {"due", "Due", ColumnType::kDate},
      {"completed", "Done", ColumnType::kFlag},
      {"completedDate", "Done on", ColumnType::kDate},
      {"flagged", "Flagged", ColumnType::kFlag},
      {"priority", "Priority", ColumnType::kNumber},
      {"created", "Created", ColumnType::kDate},
      {"id", "ID", ColumnType::kNumber},
  };
}

std::string Upper(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::toupper(c)); });
  return s;
}

// The columns of `table` named `base` or `base` and digits ("ZLIST", "ZLIST1"), in order.
std::vector<std::string> Variants(const TableSchema& table, const std::string& base) {
  std::vector<std::string> out;
  for (const std::string& column : table.columns) {
    const std::string upper = Upper(column);
    if (upper.rfind(base, 0) != 0) continue;
    if (std::all_of(upper.begin() + long(base.size()), upper.end(),
                    [](unsigned char c) { return std::isdigit(c) != 0; })) {
      out.push_back(column);
    }
  }
  return out;
}

// Reads a row's value by a column's name in whichever variant holds one.
class Fields {
 public:
  explicit Fields(const TableSchema& table) : table_(table) {}
  const std::vector<std::string>& Of(const std::string& base) {
    auto it = variants_.find(base);
    if (it == variants_.end()) it = variants_.emplace(base, Variants(table_, base)).first;
    return it->second;
  }
  std::optional<std::string> Text(const RowView& r, const std::string& base) {
    for (const std::string& c : Of(base)) {
      if (auto v = r.Text(c)) return v;
    }
    return std::nullopt;
  }
  std::optional<double> Real(const RowView& r, const std::string& base) {
    for (const std::string& c : Of(base)) {
      if (auto v = r.Real(c)) return v;
    }
    return std::nullopt;
  }
  std::optional<int64_t> Integer(const RowView& r, const std::string& base) {
    for (const std::string& c : Of(base)) {
      if (auto v = r.Integer(c)) return v;
    }
    return std::nullopt;
  }

 private:
  const TableSchema& table_;
  std::unordered_map<std::string, std::vector<std::string>> variants_;
};

// The entity numbers of a Core Data file by name.
std::unordered_map<std::string, int64_t> Entities(CSqliteFileReader& reader) {
  std::unordered_map<std::string, int64_t> out;
  if (reader.FindTable("Z_PRIMARYKEY") == nullptr) return out;
  ForEachRow(reader, "Z_PRIMARYKEY", [&](const RowView& r) {
    const auto ent = r.Integer("Z_ENT");
    const auto name = r.Text("Z_NAME");
    if (!r.deleted() && ent && name) out.emplace(*name, *ent);
    return true;
  });
  return out;
}

// List Z_PK to name: the rows of a table that carry ZNAME.
void ReadLists(CSqliteFileReader& reader, const char* table,
               std::unordered_map<int64_t, std::string>& lists) {
  const TableSchema* schema = reader.FindTable(table);
  if (schema == nullptr) return;
  Fields fields(*schema);
  ForEachRow(reader, table, [&](const RowView& r) {
    const auto pk = r.Integer("Z_PK");
    if (!pk || (r.deleted() && lists.count(*pk))) return true;
    if (auto name = fields.Text(r, "ZNAME")) lists[*pk] = *name;
    return true;
  });
}

std::string Joined(const std::string& a, const std::string& b) {
  return a.empty() ? b : a + "; " + b;
}

CategoryOutcome ReadStore(const CategoryContext& context, const PhoneFile& store,
                          CategoryTable& out) {
  CategoryOutcome outcome;
  const std::string name = store.relativePath.substr(store.relativePath.rfind('/') + 1);
  outcome.error = DatabaseProblem(store.data, name);
  if (!outcome.error.empty()) return outcome;
  CSqliteFileReader reader;
  if (reader.Open(store.data.string()) != 0) {
    outcome.error = name + " could not be read";
    return outcome;
  }
  const bool modern = reader.FindTable("ZREMCDREMINDER") != nullptr;
  const char* table = modern ? "ZREMCDREMINDER" : "ZREMCDOBJECT";
  const TableSchema* schema = reader.FindTable(table);
  if (schema == nullptr) {
    outcome.error = name + " could not be read: it has no reminders table";
    return outcome;
  }
  std::optional<int64_t> entity;
  if (!modern) {
    const auto entities = Entities(reader);
    const auto it = entities.find("REMCDReminder");
    if (it == entities.end()) {
      outcome.error = name + " could not be read: its entity list names no reminder";
      return outcome;
    }
    entity = it->second;
  }
  std::unordered_map<int64_t, std::string> lists;
  ReadLists(reader, "ZREMCDBASELIST", lists);
  if (!modern) ReadLists(reader, "ZREMCDOBJECT", lists);
  Fields f(*schema);
  const int32_t scanned = ForEachRow(reader, table, [&](const RowView& r) {
    const auto ent = r.Integer("Z_ENT");
    if (entity && (ent ? *ent != *entity : r.deleted())) return true;
    const auto title = f.Text(r, "ZTITLE");
    if (r.deleted() && (!title || title->empty())) return true;
    TableRow row;
    row.origin = r.origin();
    row.cells.resize(kColumnCount);
    if (title) row.cells[kTitle] = Cell::Text(*title);
    if (auto notes = f.Text(r, "ZNOTES")) row.cells[kNotes] = Cell::Text(*notes);
    if (const auto list = f.Integer(r, "ZLIST")) {
      const auto it = lists.find(*list);
      if (it != lists.end()) row.cells[kList] = Cell::Text(it->second);
    }
    if (const auto due = f.Real(r, "ZDUEDATE"))
      row.cells[kDue] = ZonedDate(*due + kMacEpochOffset, f.Text(r, "ZTIMEZONE").value_or(""));
    if (const auto done = f.Integer(r, "ZCOMPLETED")) row.cells[kDone] = Cell::Integer(*done);
    if (const auto when = f.Real(r, "ZCOMPLETIONDATE"))
      row.cells[kDoneDate] = Cell::Date(*when + kMacEpochOffset);
    if (const auto flagged = f.Integer(r, "ZFLAGGED")) row.cells[kFlagged] = Cell::Integer(*flagged);
    if (const auto priority = f.Integer(r, "ZPRIORITY")) row.cells[kPriority] = Cell::Integer(*priority);
    if (const auto created = f.Real(r, "ZCREATIONDATE"))
      row.cells[kCreated] = Cell::Date(*created + kMacEpochOffset);
    if (const auto pk = r.Integer("Z_PK")) row.cells[kId] = Cell::Integer(*pk);
    row.deleted = r.deleted() || f.Integer(r, "ZMARKEDFORDELETION").value_or(0) != 0 ? 1 : 0;
    out.rows.push_back(std::move(row));
    return (out.rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned == kSqliteStopped || !context.GoOn()) outcome.result = kStopped;
  return outcome;
}

// The reminders of a phone before iOS 13, in the calendar's database.
CategoryOutcome ReadCalendarTasks(const CategoryContext& context, const std::filesystem::path& db,
                                  CategoryTable& out) {
  CategoryOutcome outcome;
  // A calendar database that cannot be read is the calendar's failure, said there.
  if (!DatabaseProblem(db, kCalendarName).empty()) return outcome;
  CSqliteFileReader reader;
  if (reader.Open(db.string()) != 0 || reader.FindTable("CalendarItem") == nullptr) return outcome;
  std::unordered_map<int64_t, std::string> lists;
  if (reader.FindTable("Calendar") != nullptr) {
    ForEachRow(reader, "Calendar", [&](const RowView& r) {
      const auto id = r.Rowid();
      const auto title = r.Text("title");
      if (!r.deleted() && id && title) lists[*id] = *title;
      return true;
    });
  }
  const int32_t scanned = ForEachRow(reader, "CalendarItem", [&](const RowView& r) {
    if (r.Integer("entity_type") != kTaskEntity) return true;
    const auto title = r.Text("summary");
    if (r.deleted() && (!title || title->empty())) return true;
    TableRow row;
    row.origin = r.origin();
    row.deleted = r.deleted() ? 1 : 0;
    row.cells.resize(kColumnCount);
    if (title) row.cells[kTitle] = Cell::Text(*title);
    if (auto notes = r.Text("description")) row.cells[kNotes] = Cell::Text(*notes);
    if (const auto list = r.Integer("calendar_id")) {
      const auto it = lists.find(*list);
      if (it != lists.end()) row.cells[kList] = Cell::Text(it->second);
    }
    if (const auto due = r.Real("due_date")) {
      const std::string zone = r.Text("due_tz").value_or("");
      const double unix = *due + kMacEpochOffset;
      row.cells[kDue] = zone == "_float" ? Cell::LocalTime(unix) : ZonedDate(unix, zone);
    }
    const auto done = r.Real("completion_date");
    row.cells[kDone] = Cell::Integer(done ? 1 : 0);
    if (done) row.cells[kDoneDate] = Cell::Date(*done + kMacEpochOffset);
    if (const auto priority = r.Integer("priority")) row.cells[kPriority] = Cell::Integer(*priority);
    if (const auto created = r.Real("creation_date"))
      row.cells[kCreated] = Cell::Date(*created + kMacEpochOffset);
    if (const auto id = r.Rowid()) row.cells[kId] = Cell::Integer(*id);
    out.rows.push_back(std::move(row));
    return (out.rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned == kSqliteStopped || !context.GoOn()) outcome.result = kStopped;
  return outcome;
}

CategoryOutcome ExtractReminders(const CategoryContext& context, CategoryTable& out) {
  out.columns = Columns();
  out.rows.clear();
  CategoryOutcome outcome;
  for (const StoreLocation& at : kStores) {
    for (const PhoneFile& store : context.files->Match(at.domain, at.pattern)) {
      CategoryOutcome one = ReadStore(context, store, out);
      if (!one.error.empty()) outcome.error = Joined(outcome.error, one.error);
      if (one.result != kOk) {
        outcome.result = one.result;
        return outcome;
      }
    }
  }
  const std::filesystem::path calendar = context.files->Find(kCalendarDomain, kCalendarPath);
  if (!calendar.empty()) {
    CategoryOutcome one = ReadCalendarTasks(context, calendar, out);
    if (one.result != kOk) {
      outcome.result = one.result;
      return outcome;
    }
  }
  // Open ones first, each by its due date.
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const TableRow& a, const TableRow& b) {
    const bool doneA = a.cells[kDone].Number() != 0, doneB = b.cells[kDone].Number() != 0;
    if (doneA != doneB) return !doneA;
    return a.cells[kDue].Number() < b.cells[kDue].Number();
  });
  return outcome;
}

}  // namespace

extern const TableCategory kRemindersCategory = {
    "reminders", "Reminders", TreeGroup::kMemosAndOthers,
    "AppDomainGroup-group.com.apple.reminders Container_v1/Stores/Data-*.sqlite (iOS 17 on); "
    "HomeDomain Library/Reminders/Container_v1/Stores/Data-*.sqlite (iOS 13-16); "
    "HomeDomain Library/Calendar/Calendar.sqlitedb before",
    &ExtractReminders,
    // The page: reminders by their list.
    {"list", SectionBy::kValue}};

}  // namespace halvern
