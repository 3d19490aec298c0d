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
           kOrganizer, kAttendees, kNotes, kUrl, kRecurrence, kRecurrenceRule, kAlarms, kBirthday,
           kRowId, kColumnCount };

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
      {"recurrenceRule", "Repeat Rule", ColumnType::kText},
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

std::string RecurrenceRule(int64_t frequency, int64_t interval, std::string_view specifier,
                           int64_t count, std::optional<double> untilUnix) {
  static constexpr const char* kFrequencies[] = {"DAILY", "WEEKLY", "MONTHLY", "YEARLY"};
  if (frequency < 1 || frequency > 4) return {};
  std::string rule = std::string("FREQ=") + kFrequencies[frequency - 1];
  if (interval > 1) rule += ";INTERVAL=" + std::to_string(interval);
  if (count > 0) {
    rule += ";COUNT=" + std::to_string(count);
  } else if (untilUnix && std::isfinite(*untilUnix) && std::fabs(*untilUnix) < 1e11) {
    const time_t t = time_t(std::floor(*untilUnix));
    std::tm tm{};
    if (gmtime_r(&t, &tm) != nullptr) {
      char text[32];
      std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", tm.tm_year + 1900,
                    tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
      rule += std::string(";UNTIL=") + text;
    }
  }
  // Each part as a list of numbers ("3,-1") or of days with their position ("MO,1FR,-1SU").
  const auto numbers = [](std::string_view list, int64_t low, int64_t high) {
    std::string out;
    for (std::string_view item : Split(list, ',')) {
      int64_t n = 0;
      if (!ReadInteger(item, n) || n == 0 || n < low || n > high) return std::string();
      out += (out.empty() ? "" : ",") + std::to_string(n);
    }
    return out;
  };
  std::string byDay, byMonthDay, byMonth, bySetPos;
  for (std::string_view part : Split(specifier, ';')) {
    const size_t eq = part.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = part.substr(0, eq);
    const std::string_view value = part.substr(eq + 1);
    if (key == "D") {
      std::string days;
      for (std::string_view item : Split(value, ',')) {
        int64_t position = 0;
        const std::string_view number = item.size() >= 2 ? item.substr(0, item.size() - 2) : "";
        if (item.size() < 2 || WeekdayName(item.substr(item.size() - 2)) == nullptr ||
            (!number.empty() && !ReadInteger(number, position)) || position < -53 ||
            position > 53) {
          days.clear();
          break;
        }
        days += (days.empty() ? "" : ",") + (position == 0 ? "" : std::to_string(position)) +
                std::string(item.substr(item.size() - 2));
      }
      byDay = days;
    } else if (key == "M") {
      byMonthDay = numbers(value, -31, 31);
    } else if (key == "O") {
      byMonth = numbers(value, 1, 12);
    } else if (key == "S") {
      bySetPos = numbers(value, -366, 366);
    }
  }
  if (!byMonth.empty()) rule += ";BYMONTH=" + byMonth;
  if (!byMonthDay.empty()) rule += ";BYMONTHDAY=" + byMonthDay;
  if (!byDay.empty()) rule += ";BYDAY=" + byDay;
  if (!bySetPos.empty() && !byDay.empty()) rule += ";BYSETPOS=" + bySetPos;
  return rule;
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
  CSqliteFileReader reader;
  outcome.error = OpenDatabase(db, kName, "CalendarItem", "CalendarItem table", reader);
  if (!outcome.error.empty()) return outcome;
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
      std::string repeats, rules;
      for (const Repeat& p : related.repeats.Of(*rowid, r.deleted())) {
        const std::string until =
            p.end ? DayText(*p.end + kMacEpochOffset, offset) : std::string();
        repeats += (repeats.empty() ? "" : "; ") +
                   RecurrenceWords(p.frequency, p.interval, p.specifier, p.count, until);
        const std::optional<double> untilUnix =
            p.end ? std::optional<double>(*p.end + kMacEpochOffset) : std::nullopt;
        const std::string rule =
            RecurrenceRule(p.frequency, p.interval, p.specifier, p.count, untilUnix);
        if (!rule.empty()) rules += (rules.empty() ? "" : "\n") + rule;
      }
      if (!repeats.empty()) row.cells[kRecurrence] = Cell::Text(repeats);
      if (!rules.empty()) row.cells[kRecurrenceRule] = Cell::Text(rules);
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

// ----- The calendar file -------------------------------------------------------------------------

// A TEXT value of iCalendar: backslash, semicolon, comma and line breaks escaped.
std::string IcsText(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' || c == ';' || c == ',') {
      out += '\\';
      out += c;
    } else if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      out += "\\n";
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
      // Other control characters are not allowed in a content line.
    } else {
      out += c;
    }
  }
  return out;
}

// One content line, folded at 75 bytes (never inside a UTF-8 character), CR LF.
void AddLine(std::string& out, const std::string& line) {
  size_t start = 0, room = 75;
  while (line.size() - start > room) {
    size_t cut = start + room;
    while (cut > start && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    out.append(line, start, cut - start);
    out += "\r\n ";
    start = cut;
    room = 74;  // the leading space of a continuation counts
  }
  out.append(line, start, std::string::npos);
  out += "\r\n";
}

struct WallTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

WallTime WallOf(int64_t seconds) {
  const time_t t = time_t(seconds);
  std::tm tm{};
  gmtime_r(&t, &tm);
  return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string DateValue(const WallTime& w) {
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", w.year, w.month, w.day);
  return text;
}

std::string DateTimeValue(const WallTime& w) {
  char text[24];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d", w.year, w.month, w.day, w.hour,
                w.minute, w.second);
  return text;
}

// The wall-clock seconds of a date cell where the event happens: floating times as stored, a
// date with its offset at that offset, else at the computer's own.
int64_t WallSeconds(const Cell& date) {
  const int64_t unix = int64_t(std::floor(date.real));
  if (date.floating) return unix;
  if (date.hasOffset) return unix + date.integer;
  const time_t t = time_t(unix);
  std::tm tm{};
  localtime_r(&t, &tm);
  return unix + tm.tm_gmtoff;
}

bool UsableDate(const Cell& c) {
  return c.kind == Cell::Kind::kDate && std::isfinite(c.real) && std::fabs(c.real) < 1e11;
}

// A zone named by an event that the zone database knows.
bool KnownZone(const Cell& date) {
  return date.hasOffset && !date.floating && !date.text.empty() &&
         ZoneOffsetAt(date.text, date.real).has_value();
}

// The day (days since 1970) a date cell falls on where the event happens.
int64_t WallDay(const Cell& date) {
  const int64_t wall = WallSeconds(date);
  return (wall - ((wall % 86400) + 86400) % 86400) / 86400;
}

// "DTSTART;TZID=Europe/Paris:20210914T090000", "DTSTART:20210914T090000" (floating),
// "DTSTART:20210914T070000Z" (a zone the zone database does not know: the instant in UTC).
std::string DateProperty(const char* name, const Cell& date) {
  if (date.floating) return std::string(name) + ":" + DateTimeValue(WallOf(WallSeconds(date)));
  if (KnownZone(date)) {
    return std::string(name) + ";TZID=" + date.text + ":" +
           DateTimeValue(WallOf(WallSeconds(date)));
  }
  return std::string(name) + ":" + DateTimeValue(WallOf(int64_t(std::floor(date.real)))) + "Z";
}

std::string DayProperty(const char* name, int64_t day) {
  return std::string(name) + ";VALUE=DATE:" + DateValue(WallOf(day * 86400));
}

// A zone's offsets over [from, to): each change of offset, found week by week and then to the
// second.
struct Change {
  int64_t at;  // seconds since 1970, the first second of the new offset
  int64_t from, to;
};

std::vector<Change> ZoneChanges(const std::string& zone, int64_t from, int64_t to) {
  std::vector<Change> out;
  constexpr int64_t kWeek = 7 * 86400;
  std::optional<int64_t> before = ZoneOffsetAt(zone, double(from));
  if (!before) return out;
  for (int64_t t = from; t < to; t += kWeek) {
    const int64_t next = std::min(t + kWeek, to);
    const std::optional<int64_t> after = ZoneOffsetAt(zone, double(next));
    if (!after) break;
    if (*after != *before) {
      int64_t low = t, high = next;  // offset at low is `before`, at high `after`
      while (high - low > 1) {
        const int64_t mid = low + (high - low) / 2;
        if (ZoneOffsetAt(zone, double(mid)).value_or(*before) == *before) low = mid;
        else high = mid;
      }
      out.push_back({high, *before, *after});
      before = after;
    }
  }
  return out;
}

std::string OffsetValue(int64_t seconds) {
  const int64_t a = std::min<int64_t>(seconds < 0 ? -seconds : seconds, 99 * 3600);
  char text[32];
  if (a % 60 != 0) {
    std::snprintf(text, sizeof text, "%c%02lld%02lld%02lld", seconds < 0 ? '-' : '+',
                  (long long)(a / 3600), (long long)(a % 3600 / 60), (long long)(a % 60));
  } else {
    std::snprintf(text, sizeof text, "%c%02lld%02lld", seconds < 0 ? '-' : '+',
                  (long long)(a / 3600), (long long)(a % 3600 / 60));
  }
  return text;
}

// A VTIMEZONE of `zone` from `from` to `to`: the offset at the start, then each change, each as
// an observance of its own onset (STANDARD at the zone's smallest offset of the span, DAYLIGHT
// above it).
void AddTimeZone(std::string& out, const std::string& zone, int64_t from, int64_t to) {
  const std::optional<int64_t> first = ZoneOffsetAt(zone, double(from));
  if (!first) return;
  const std::vector<Change> changes = ZoneChanges(zone, from, to);
  int64_t lowest = *first;
  for (const Change& c : changes) lowest = std::min(lowest, c.to);
  AddLine(out, "BEGIN:VTIMEZONE");
  AddLine(out, "TZID:" + zone);
  const auto observance = [&](int64_t at, int64_t offsetFrom, int64_t offsetTo) {
    const char* kind = offsetTo > lowest ? "DAYLIGHT" : "STANDARD";
    AddLine(out, std::string("BEGIN:") + kind);
    // The onset in the local time in force before it.
    AddLine(out, "DTSTART:" + DateTimeValue(WallOf(at + offsetFrom)));
    AddLine(out, "TZOFFSETFROM:" + OffsetValue(offsetFrom));
    AddLine(out, "TZOFFSETTO:" + OffsetValue(offsetTo));
    AddLine(out, std::string("END:") + kind);
  };
  observance(from, *first, *first);
  for (const Change& c : changes) observance(c.at, c.from, c.to);
  AddLine(out, "END:VTIMEZONE");
}

}  // namespace

std::string CalendarIcs(const CategoryTable& table, const std::vector<const TableRow*>& rows) {
  const auto column = [&](const char* key) { return table.ColumnIndex(key); };
  const int title = column("title"), start = column("start"), end = column("end"),
            allDay = column("allDay"), calendar = column("calendar"),
            location = column("location"), address = column("address"), place = column("place"),
            notes = column("notes"), url = column("url"), rule = column("recurrenceRule"),
            rowId = column("rowId");
  const auto cell = [](const TableRow& row, int c) -> const Cell* {
    return c >= 0 && size_t(c) < row.cells.size() && !row.cells[size_t(c)].IsNull()
               ? &row.cells[size_t(c)]
               : nullptr;
  };
  const auto text = [&](const TableRow& row, int c) {
    const Cell* v = cell(row, c);
    return v == nullptr ? std::string() : CsvText(*v, table.columns[size_t(c)].type);
  };
  // The zones the events name and the span of years their changes are given for.
  std::map<std::string, std::pair<int64_t, int64_t>> zones;
  for (const TableRow* row : rows) {
    for (int c : {start, end}) {
      const Cell* d = cell(*row, c);
      if (d == nullptr || !UsableDate(*d) || !KnownZone(*d)) continue;
      const int64_t at = int64_t(std::floor(d->real));
      auto [it, added] = zones.emplace(d->text, std::make_pair(at, at));
      it->second.first = std::min(it->second.first, at);
      it->second.second = std::max(it->second.second, at);
    }
  }
  std::string out;
  AddLine(out, "BEGIN:VCALENDAR");
  AddLine(out, "VERSION:2.0");
  AddLine(out, "PRODID:-//Halvern//Recovered calendar//EN");
  AddLine(out, "CALSCALE:GREGORIAN");
  const int64_t now = int64_t(std::time(nullptr));
  for (const auto& [zone, span] : zones) {
    // A year before the first event to two years after the last (or after today, for the
    // events that repeat).
    constexpr int64_t kYear = 366 * 86400;
    AddTimeZone(out, zone, span.first - kYear, std::max(span.second, now) + 2 * kYear);
  }
  const std::string stamp = DateTimeValue(WallOf(now)) + "Z";
  size_t number = 0;
  for (const TableRow* row : rows) {
    ++number;
    const Cell* begins = cell(*row, start);
    if (begins == nullptr || !UsableDate(*begins)) continue;
    const Cell* flag = cell(*row, allDay);
    const bool wholeDays = flag != nullptr && flag->Number() != 0;
    AddLine(out, "BEGIN:VEVENT");
    const std::string id = text(*row, rowId);
    AddLine(out, "UID:" + IcsText("calendar-item-" + (id.empty() ? "carved" : id) + "-" +
                                  std::to_string(number) + "@halvern"));
    AddLine(out, "DTSTAMP:" + stamp);
    const Cell* ends = cell(*row, end);
    const bool endUsable = ends != nullptr && UsableDate(*ends) && ends->real >= begins->real;
    if (wholeDays) {
      // The phone keeps an all-day event's last day inclusive (it ends at 23:59:59 of it, or at
      // the next midnight); the file's end is the day after the last, at least the day after
      // the first.
      const int64_t first = WallDay(*begins);
      int64_t after = first + 1;
      if (endUsable) {
        const int64_t wall = WallSeconds(*ends);
        const int64_t last = WallDay(*ends);
        after = std::max(after, (wall % 86400 == 0) ? last : last + 1);
      }
      AddLine(out, DayProperty("DTSTART", first));
      AddLine(out, DayProperty("DTEND", after));
    } else {
      AddLine(out, DateProperty("DTSTART", *begins));
      if (endUsable) AddLine(out, DateProperty("DTEND", *ends));
    }
    if (const std::string v = text(*row, title); !v.empty()) AddLine(out, "SUMMARY:" + IcsText(v));
    if (const std::string v = text(*row, notes); !v.empty())
      AddLine(out, "DESCRIPTION:" + IcsText(v));
    std::string where = text(*row, location);
    if (const std::string a = text(*row, address); !a.empty() && a != where)
      where += (where.empty() ? "" : ", ") + a;
    if (!where.empty()) AddLine(out, "LOCATION:" + IcsText(where));
    if (const Cell* p = cell(*row, place); p != nullptr && p->kind == Cell::Kind::kPlace) {
      char geo[64];
      std::snprintf(geo, sizeof geo, "GEO:%.6f;%.6f", p->real, p->real2);
      AddLine(out, geo);
    }
    if (const std::string v = text(*row, url); !v.empty()) AddLine(out, "URL:" + v);
    if (const std::string v = text(*row, calendar); !v.empty())
      AddLine(out, "CATEGORIES:" + IcsText(v));
    // The first rule (an event of the phone has one); an all-day event's end of the rule is a
    // date like its start.
    std::string repeat = text(*row, rule);
    repeat = repeat.substr(0, repeat.find('\n'));
    if (!repeat.empty()) {
      const size_t until = repeat.find("UNTIL=");
      if (wholeDays && until != std::string::npos) repeat.erase(until + 14, 8);
      AddLine(out, "RRULE:" + repeat);
    }
    if (row->deleted) {
      AddLine(out, row->origin == ItemSource::kCarved
                       ? "COMMENT:Deleted on the phone (found in the free space of its calendar "
                         "database)"
                       : "COMMENT:Deleted on the phone");
    }
    AddLine(out, "END:VEVENT");
  }
  AddLine(out, "END:VCALENDAR");
  return out;
}

namespace {

// The calendar file beside the page.
std::string WriteCalendarFile(const CategoryTable& table, const std::vector<const TableRow*>& rows) {
  return CalendarIcs(table, rows);
}

}  // namespace

extern const TableCategory kCalendarCategory = {
    "calendar", "Calendar", TreeGroup::kMemosAndOthers,
    "HomeDomain Library/Calendar/Calendar.sqlitedb", &ExtractCalendar,
    // The page: the events month by month.
    {"start", SectionBy::kMonth},
    {"Calendar.ics", &WriteCalendarFile}};

}  // namespace halvern
