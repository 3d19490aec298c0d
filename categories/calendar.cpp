// Calendar: the events of the phone's calendars, birthdays among them.
//
// Where: HomeDomain Library/Calendar/Calendar.sqlitedb (every plain backup). Dates are seconds
// since 2001; a zone column names the zone the date was made in ("Europe/Paris"), "_float" for
// a floating time (all-day events, and events the user set to no zone): its seconds are the
// wall-clock time read as UTC.
//
//   CalendarItem(ROWID, summary, location_id, description, start_date, start_tz, end_date,
//                end_tz, all_day, calendar_id, organizer_id, url, birthday_id, entity_type,
//                has_recurrences, ...)
//     entity_type     2 an event, 3 a reminder (before iOS 13 reminders were kept here; the
//                     reminders category reads those)
//     birthday_id     set on the events the phone made from a contact's birthday
//   Calendar(ROWID, title, type, ...)           the calendar an item is in
//   Location(ROWID, title, address, latitude, longitude, item_owner_id, ...)
//   Participant(ROWID, identity_id, owner_id, email, status, ...)
//     owner_id the event; CalendarItem.organizer_id names the organiser's row; status 1
//     pending, 2 accepted, 3 declined, 4 tentative, 5 delegated, 6 completed, 7 in process
//   Identity(rowid, display_name, address, first_name, last_name)   the people of Participant
//   Recurrence(ROWID, frequency, interval, count, end_date, specifier, owner_id, ...)
//     frequency 1 daily, 2 weekly, 3 monthly, 4 yearly
//   Alarm(ROWID, trigger_date, trigger_interval, calendaritem_owner_id, ...)
//     trigger_interval seconds from the start (negative before); trigger_date an absolute one
//
// Map: one row per event; deleted events carved from the file's free space come out marked, with
// the place, people, repeat rule and alerts that were deleted with them when those rows and the
// links between them survived too (a record carved from a freeblock loses its rowid, and with
// it the link; whole cells of freed pages keep theirs). A carved row is kept only when it has a
// plausible start and a title or an end.
#include "categories/calendar.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <map>
#include <unordered_map>

#include "categories/category.h"
#include "categories/table_rows.h"
#include "categories/zone.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

namespace {

constexpr const char* kDomain = "HomeDomain";
constexpr const char* kPath = "Library/Calendar/Calendar.sqlitedb";
constexpr const char* kName = "Calendar.sqlitedb";
constexpr int64_t kReminderEntity = 3;
constexpr const char* kFloating = "_float";

enum Col { kTitle, kStart, kEnd, kTimeZone, kAllDay, kCalendar, kLocation, kAddress, kPlace,
           kOrganizer, kAttendees, kNotes, kUrl, kRecurrence, kAlarms, kBirthday, kRowId,
           kColumnCount };

std::vector<TableColumn> Columns() {
  return {
      {"title", "Title", ColumnType::kText},
      {"start", "Start", ColumnType::kDate},
      {"end", "End", ColumnType::kDate},
      {"timeZone", "Time Zone", ColumnType::kText},
      {"allDay", "All Day", ColumnType::kFlag},
      {"calendar", "Calendar", ColumnType::kText},
      {"location", "Location", ColumnType::kText},
      {"address", "Address", ColumnType::kText},
      {"place", "Place", ColumnType::kPlace},
      {"organizer", "Organizer", ColumnType::kText},
      {"attendees", "Attendees", ColumnType::kText},
      {"notes", "Notes", ColumnType::kText},
      {"url", "URL", ColumnType::kText},
      {"recurrence", "Repeat", ColumnType::kText},
      {"alarms", "Alerts", ColumnType::kText},
      {"birthday", "Birthday", ColumnType::kFlag},
      {"rowId", "ID", ColumnType::kNumber},
  };
}

// ----- Words ------------------------------------------------------------------------------------

std::string Plural(int64_t n, const char* unit) {
  return std::to_string(n) + " " + unit + (n == 1 ? "" : "s");
}

const char* WeekdayName(std::string_view code) {
  static constexpr struct {
    const char* code;
    const char* name;
  } kDays[] = {{"SU", "Sunday"},   {"MO", "Monday"}, {"TU", "Tuesday"}, {"WE", "Wednesday"},
               {"TH", "Thursday"}, {"FR", "Friday"}, {"SA", "Saturday"}};
  for (const auto& d : kDays) {
    if (code == d.code) return d.name;
  }
  return nullptr;
}

std::string Ordinal(int64_t n) {
  static constexpr const char* kWords[] = {"", "first", "second", "third", "fourth", "fifth"};
  if (n == -1) return "last";
  if (n == -2) return "second to last";
  if (n >= 1 && n <= 5) return kWords[n];
  return n < 0 ? std::to_string(-n) + "th to last" : std::to_string(n) + "th";
}

const char* MonthName(int64_t m) {
  static constexpr const char* kMonths[] = {"January", "February", "March",     "April",
                                            "May",     "June",     "July",      "August",
                                            "September", "October", "November", "December"};
  return m >= 1 && m <= 12 ? kMonths[m - 1] : nullptr;
}

std::string JoinAnd(const std::vector<std::string>& parts) {
  std::string out;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) out += i + 1 == parts.size() ? " and " : ", ";
    out += parts[i];
  }
  return out;
}

std::vector<std::string_view> Split(std::string_view text, char by) {
  std::vector<std::string_view> out;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(by, start);
    out.push_back(text.substr(start, at == std::string_view::npos ? at : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return out;
}

bool ReadInteger(std::string_view text, int64_t& value) {
  if (text.empty() || text.size() > 6) return false;
  size_t i = 0;
  bool negative = false;
  if (text[0] == '+' || text[0] == '-') negative = text[0] == '-', i = 1;
  if (i == text.size()) return false;
  value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  return true;
}

// "0MO,0TH" → "Monday and Thursday"; "+1MO" → "the first Monday"; "" when not understood.
std::string DaysWords(std::string_view list) {
  std::vector<std::string> days;
  for (std::string_view item : Split(list, ',')) {
    if (item.size() < 2) return {};
    const char* name = WeekdayName(item.substr(item.size() - 2));
    int64_t position = 0;
    const std::string_view number = item.substr(0, item.size() - 2);
    if (name == nullptr || (!number.empty() && !ReadInteger(number, position))) return {};
    days.push_back(position == 0 ? std::string(name) : "the " + Ordinal(position) + " " + name);
  }
  return JoinAnd(days);
}

std::string NumbersWords(std::string_view list, bool months) {
  std::vector<std::string> items;
  for (std::string_view item : Split(list, ',')) {
    int64_t n = 0;
    if (!ReadInteger(item, n)) return {};
    if (months) {
      if (MonthName(n) == nullptr) return {};
      items.push_back(MonthName(n));
    } else {
      items.push_back(n < 0 ? (n == -1 ? std::string("the last day") : Ordinal(n) + " day")
                            : std::to_string(n));
    }
  }
  return JoinAnd(items);
}

// The date of `unixSeconds` at `offset` as YYYY-MM-DD.
std::string DayText(double unixSeconds, int64_t offset) {
  if (!std::isfinite(unixSeconds) || std::fabs(unixSeconds) > 1e13) return {};
  const time_t t = time_t(std::floor(unixSeconds)) + time_t(offset);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

}  // namespace

std::string RecurrenceWords(int64_t frequency, int64_t interval, std::string_view specifier,
                            int64_t count, std::string_view untilDay) {
  static constexpr const char* kUnits[] = {"day", "week", "month", "year"};
  std::string out;
  if (frequency >= 1 && frequency <= 4) {
    const char* unit = kUnits[frequency - 1];
    out = interval > 1 ? "every " + Plural(interval, unit) : std::string("every ") + unit;
  } else {
    out = "repeats (frequency " + std::to_string(frequency) + ")";
  }
  std::string setPosition;
  std::vector<std::string> unknown;
  std::string days, monthDays, months;
  for (std::string_view part : Split(specifier, ';')) {
    if (part.empty()) continue;
    const size_t eq = part.find('=');
    const std::string_view key = eq == std::string_view::npos ? part : part.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? "" : part.substr(eq + 1);
    std::string words;
    int64_t position = 0;
    if (key == "D") words = days = DaysWords(value);
    else if (key == "M") words = monthDays = NumbersWords(value, false);
    else if (key == "O") words = months = NumbersWords(value, true);
    else if (key == "S" && ReadInteger(value, position)) words = setPosition = Ordinal(position);
    if (words.empty()) unknown.emplace_back(part);
  }
  if (!setPosition.empty() && !days.empty()) {
    // "S=-1;D=0MO,0TU,0WE,0TH,0FR": the last of those days.
    days = "the " + setPosition + " of " + days;
  } else if (!setPosition.empty()) {
    unknown.push_back("S=" + setPosition);
  }
  if (!monthDays.empty()) out += " on day " + monthDays;
  if (!days.empty()) out += " on " + days;
  if (!months.empty()) out += " in " + months;
  for (const std::string& u : unknown) out += " (" + u + ")";
  if (count > 0) out += ", " + Plural(count, "time");
  if (!untilDay.empty()) out += ", until " + std::string(untilDay);
  return out;
}

std::string AlarmWords(int64_t seconds) {
  if (seconds == 0) return "at the start";
  const char* side = seconds < 0 ? " before" : " after";
  const uint64_t s = seconds < 0 ? uint64_t(-(seconds + 1)) + 1 : uint64_t(seconds);
  std::string out;
  if (s % 604800 == 0) {
    out = Plural(int64_t(s / 604800), "week");
  } else if (s % 86400 == 0) {
    out = Plural(int64_t(s / 86400), "day");
  } else {
    const uint64_t hours = s / 3600, minutes = s % 3600 / 60, rest = s % 60;
    if (hours > 0) out = Plural(int64_t(hours), "hour");
    if (minutes > 0) out += (out.empty() ? "" : " ") + std::to_string(minutes) + " min";
    if (rest > 0) out += (out.empty() ? "" : " ") + std::to_string(rest) + " sec";
  }
  return out + side;
}

namespace {

struct Person {
  std::string name, address;
};

struct Participant {
  int64_t rowid = 0;
  int64_t owner = 0;
  int64_t identity = 0;
  std::string email;
  int64_t status = 0;
};

struct Place {
  std::string title, address;
  std::optional<double> latitude, longitude;
};

struct Repeat {
  int64_t frequency = 0, interval = 0, count = 0;
  std::optional<double> end;  // seconds since 2001
  std::string specifier;
};

struct Alert {
  std::optional<double> date;  // seconds since 2001
  std::optional<int64_t> interval;
};

// Rows of a table owned by an event: the live ones, and the carved ones apart (deleted with a
// deleted event).
template <typename T>
struct Owned {
  std::multimap<int64_t, T> live, carved;
  // The rows of `owner`: a carved event's carved rows when it has any, else the live ones.
  std::vector<T> Of(int64_t owner, bool deletedOwner) const {
    std::vector<T> out;
    if (deletedOwner) {
      const auto [b, e] = carved.equal_range(owner);
      for (auto it = b; it != e; ++it) out.push_back(it->second);
      if (!out.empty()) return out;
    }
    const auto [b, e] = live.equal_range(owner);
    for (auto it = b; it != e; ++it) out.push_back(it->second);
    return out;
  }
  void Add(bool deleted, int64_t owner, T value) {
    (deleted ? carved : live).emplace(owner, std::move(value));
  }
};

const char* StatusWord(int64_t status) {
  static constexpr const char* kWords[] = {nullptr,    "pending",   "accepted",  "declined",
                                           "tentative", "delegated", "completed", "in process"};
  return status >= 1 && status <= 7 ? kWords[status] : nullptr;
}

std::string Strip(std::string address) {
  if (address.rfind("mailto:", 0) == 0) address.erase(0, 7);
  return address;
}

struct Related {
  std::unordered_map<int64_t, std::string> calendars;
  std::unordered_map<int64_t, bool> birthdayCalendars;
  std::unordered_map<int64_t, Person> identities;
  std::unordered_map<int64_t, Participant> participants;  // live and carved, by ROWID
  Owned<Participant> attendees;
  std::unordered_map<int64_t, Place> places;
  Owned<Repeat> repeats;
  Owned<Alert> alerts;
};

void ReadRelated(CSqliteFileReader& reader, Related& r) {
  if (reader.FindTable("Calendar") != nullptr) {
    ForEachRow(reader, "Calendar", [&](const RowView& row) {
      const auto id = row.Rowid();
      if (row.deleted() || !id) return true;
      if (auto title = row.Text("title")) r.calendars[*id] = *title;
      std::string type = row.Text("type").value_or("");
      std::transform(type.begin(), type.end(), type.begin(),
                     [](unsigned char c) { return char(std::tolower(c)); });
      r.birthdayCalendars[*id] = type.find("birthday") != std::string::npos;
      return true;
    });
  }
  if (reader.FindTable("Identity") != nullptr) {
    ForEachRow(reader, "Identity", [&](const RowView& row) {
      const auto id = row.Rowid();
      if (row.deleted() || !id) return true;
      Person p;
      p.name = row.Text("display_name").value_or("");
      if (p.name.empty()) {
        const std::string first = row.Text("first_name").value_or("");
        const std::string last = row.Text("last_name").value_or("");
        p.name = first.empty() || last.empty() ? first + last : first + " " + last;
      }
      p.address = Strip(row.Text("address").value_or(""));
      r.identities[*id] = p;
      return true;
    });
  }
  if (reader.FindTable("Participant") != nullptr) {
    ForEachRow(reader, "Participant", [&](const RowView& row) {
      const auto id = row.Rowid();
      if (!id) return true;
      Participant p;
      p.rowid = *id;
      p.owner = row.Integer("owner_id").value_or(0);
      p.identity = row.Integer("identity_id").value_or(0);
      p.email = Strip(row.Text("email").value_or(""));
      p.status = row.Integer("status").value_or(0);
      if (!row.deleted() || !r.participants.count(*id)) r.participants[*id] = p;
      r.attendees.Add(row.deleted(), p.owner, p);
      return true;
    });
  }
  if (reader.FindTable("Location") != nullptr) {
    ForEachRow(reader, "Location", [&](const RowView& row) {
      const auto id = row.Rowid();
      if (!id || (row.deleted() && r.places.count(*id))) return true;
      Place p;
      p.title = row.Text("title").value_or("");
      p.address = row.Text("address").value_or("");
      p.latitude = row.Real("latitude");
      p.longitude = row.Real("longitude");
      r.places[*id] = p;
      return true;
    });
  }
  if (reader.FindTable("Recurrence") != nullptr) {
    ForEachRow(reader, "Recurrence", [&](const RowView& row) {
      const auto owner = row.Integer("owner_id");
      const auto frequency = row.Integer("frequency");
      if (!owner || !frequency) return true;
      Repeat p;
      p.frequency = *frequency;
      p.interval = row.Integer("interval").value_or(1);
      p.count = row.Integer("count").value_or(0);
      p.end = row.Real("end_date");
      p.specifier = row.Text("specifier").value_or("");
      r.repeats.Add(row.deleted(), *owner, p);
      return true;
    });
  }
  if (reader.FindTable("Alarm") != nullptr) {
    ForEachRow(reader, "Alarm", [&](const RowView& row) {
      const auto owner = row.Integer("calendaritem_owner_id");
      if (!owner || *owner == 0) return true;
      Alert a;
      a.date = row.Real("trigger_date");
      a.interval = row.Integer("trigger_interval");
      if (!a.date && !a.interval) return true;
      r.alerts.Add(row.deleted(), *owner, a);
      return true;
    });
  }
}

std::string PersonText(const Related& r, const Participant& p, bool withStatus) {
  std::string name, address = p.email;
  const auto identity = r.identities.find(p.identity);
  if (identity != r.identities.end()) {
    name = identity->second.name;
    if (address.empty()) address = identity->second.address;
  }
  std::string out = name;
  if (!address.empty()) out += name.empty() ? address : " <" + address + ">";
  if (withStatus) {
    if (const char* word = StatusWord(p.status)) out += std::string(" (") + word + ")";
  }
  return out;
}

// A date of the calendar in its own zone.
Cell EventDate(double macSeconds, const std::optional<std::string>& zone) {
  const double unix = macSeconds + kMacEpochOffset;
  if (zone && *zone == kFloating) return Cell::LocalTime(unix);
  return ZonedDate(unix, zone.value_or(""));
}

// The offset a date was shown at (0 for floating and zone-less ones).
int64_t OffsetOf(const Cell& date) { return date.hasOffset ? date.integer : 0; }

CategoryOutcome ExtractCalendar(const CategoryContext& context, CategoryTable& out) {
  out.columns = Columns();
  out.rows.clear();
  CategoryOutcome outcome;
  const std::filesystem::path db = context.files->Find(kDomain, kPath);
  if (db.empty()) return outcome;
  outcome.error = DatabaseProblem(db, kName);
  if (!outcome.error.empty()) return outcome;
  CSqliteFileReader reader;
  if (reader.Open(db.string()) != 0 || reader.FindTable("CalendarItem") == nullptr) {
    outcome.error = std::string(kName) + " could not be read: it has no CalendarItem table";
    return outcome;
  }
  Related related;
  ReadRelated(reader, related);
  if (!context.GoOn()) {
    outcome.result = kStopped;
    return outcome;
  }
  const int32_t scanned = ForEachRow(reader, "CalendarItem", [&](const RowView& r) {
    if (r.Integer("entity_type").value_or(0) == kReminderEntity) return true;
    const auto start = r.Real("start_date");
    const auto end = r.Real("end_date");
    const auto title = r.Text("summary");
    if (r.deleted()) {
      if (!start || !PlausibleUnixDate(*start + kMacEpochOffset) || (!title && !end)) return true;
    }
    TableRow row;
    row.origin = r.origin();
    row.deleted = r.deleted() ? 1 : 0;
    row.cells.resize(kColumnCount);
    if (title) row.cells[kTitle] = Cell::Text(*title);
    const auto startZone = r.Text("start_tz");
    auto endZone = r.Text("end_tz");
    if (!endZone) endZone = startZone;
    if (start) row.cells[kStart] = EventDate(*start, startZone);
    if (end) row.cells[kEnd] = EventDate(*end, endZone);
    if (startZone) row.cells[kTimeZone] = Cell::Text(*startZone);
    if (const auto allDay = r.Integer("all_day")) row.cells[kAllDay] = Cell::Integer(*allDay);
    bool birthday = r.Integer("birthday_id").value_or(0) > 0;
    if (const auto calendar = r.Integer("calendar_id")) {
      const auto it = related.calendars.find(*calendar);
      if (it != related.calendars.end()) row.cells[kCalendar] = Cell::Text(it->second);
      const auto b = related.birthdayCalendars.find(*calendar);
      birthday = birthday || (b != related.birthdayCalendars.end() && b->second);
    }
    row.cells[kBirthday] = Cell::Integer(birthday ? 1 : 0);
    if (const auto location = r.Integer("location_id")) {
      const auto it = related.places.find(*location);
      if (it != related.places.end()) {
        const Place& p = it->second;
        if (!p.title.empty()) row.cells[kLocation] = Cell::Text(p.title);
        if (!p.address.empty()) row.cells[kAddress] = Cell::Text(p.address);
        if (p.latitude && p.longitude && (*p.latitude != 0 || *p.longitude != 0))
          row.cells[kPlace] = Cell::Place(*p.latitude, *p.longitude);
      }
    }
    const auto rowid = r.Rowid();
    const auto organizerId = r.Integer("organizer_id").value_or(0);
    if (organizerId != 0) {
      const auto it = related.participants.find(organizerId);
      if (it != related.participants.end()) {
        const std::string text = PersonText(related, it->second, false);
        if (!text.empty()) row.cells[kOrganizer] = Cell::Text(text);
      }
    }
    if (rowid) {
      std::vector<std::string> people;
      for (const Participant& p : related.attendees.Of(*rowid, r.deleted())) {
        if (p.rowid == organizerId) continue;
        std::string text = PersonText(related, p, true);
        if (!text.empty()) people.push_back(std::move(text));
      }
      if (!people.empty()) {
        std::string joined;
        for (const std::string& p : people) joined += (joined.empty() ? "" : "; ") + p;
        row.cells[kAttendees] = Cell::Text(joined);
      }
      const int64_t offset = OffsetOf(row.cells[kStart]);
      std::string repeats;
      for (const Repeat& p : related.repeats.Of(*rowid, r.deleted())) {
        const std::string until =
            p.end ? DayText(*p.end + kMacEpochOffset, offset) : std::string();
        repeats += (repeats.empty() ? "" : "; ") +
                   RecurrenceWords(p.frequency, p.interval, p.specifier, p.count, until);
      }
      if (!repeats.empty()) row.cells[kRecurrence] = Cell::Text(repeats);
      std::vector<Alert> alerts = related.alerts.Of(*rowid, r.deleted());
      std::sort(alerts.begin(), alerts.end(), [](const Alert& a, const Alert& b) {
        return a.interval.value_or(0) < b.interval.value_or(0);
      });
      std::string alarms;
      for (const Alert& a : alerts) {
        std::string words;
        if (a.date && *a.date != 0) {
          const Cell at = Cell::DateAt(*a.date + kMacEpochOffset, offset);
          const std::string shown = ShownText(at, ColumnType::kDate);
          words = "at " + shown.substr(0, std::min<size_t>(shown.size(), 16));
        } else {
          words = AlarmWords(a.interval.value_or(0));
        }
        alarms += (alarms.empty() ? "" : "; ") + words;
      }
      if (!alarms.empty()) row.cells[kAlarms] = Cell::Text(alarms);
      row.cells[kRowId] = Cell::Integer(*rowid);
    }
    if (auto notes = r.Text("description")) row.cells[kNotes] = Cell::Text(*notes);
    if (auto url = r.Text("url")) row.cells[kUrl] = Cell::Text(*url);
    out.rows.push_back(std::move(row));
    return (out.rows.size() % 256) != 0 || context.GoOn();
  });
  if (scanned == kSqliteStopped || !context.GoOn()) {
    outcome.result = kStopped;
    return outcome;
  }
  // In the order of the days they fall on.
  std::stable_sort(out.rows.begin(), out.rows.end(), [](const TableRow& a, const TableRow& b) {
    return a.cells[kStart].Number() < b.cells[kStart].Number();
  });
  return outcome;
}

}  // namespace

extern const TableCategory kCalendarCategory = {
    "calendar", "Calendar", TreeGroup::kMemosAndOthers,
    "HomeDomain Library/Calendar/Calendar.sqlitedb", &ExtractCalendar};

}  // namespace halvern
