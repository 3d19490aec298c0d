#include "timeline/timeline.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>

#include "categories/category.h"

namespace halvern {

const char* TimelineWhatName(TimelineWhat what) {
  switch (what) {
    case TimelineWhat::kMessageReceived: return "Message received";
    case TimelineWhat::kMessageSent: return "Message sent";
    case TimelineWhat::kCallIncoming: return "Incoming call";
    case TimelineWhat::kCallOutgoing: return "Outgoing call";
    case TimelineWhat::kCallMissed: return "Missed call";
    case TimelineWhat::kNoteChanged: return "Note changed";
    case TimelineWhat::kVoicemail: return "Voicemail left";
    case TimelineWhat::kVoiceMemo: return "Memo recorded";
    case TimelineWhat::kEvent: return "Event";
    case TimelineWhat::kReminderDue: return "Reminder due";
    case TimelineWhat::kReminderDone: return "Reminder done";
    case TimelineWhat::kPageVisited: return "Page visited";
    case TimelineWhat::kHistoryCleared: return "History cleared";
    case TimelineWhat::kPhotoTaken: return "Photo taken";
    case TimelineWhat::kBookmarkChanged: return "Bookmark changed";
    case TimelineWhat::kDated: break;
  }
  return "Dated";
}

namespace {

// Days since 1970-01-01 of a day of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + int64_t(doe) - 719468;
}

bool Digits(const char* p, size_t n, int& value) {
  value = 0;
  for (size_t i = 0; i < n; ++i) {
    if (p[i] < '0' || p[i] > '9') return false;
    value = value * 10 + (p[i] - '0');
  }
  return true;
}

// The computer's offset from UTC at a wall-clock hour, asked of the C library once per hour
// met (the items of a list mostly follow each other within the hour).
struct OffsetCache {
  int64_t hour = std::numeric_limits<int64_t>::min();
  int64_t offset = 0;
  bool ok = false;
};

bool WallClockInstant(int year, int month, int day, int h, int m, int s, OffsetCache& cache,
                      double& instant) {
  const int64_t wall = DaysFromCivil(year, unsigned(month), unsigned(day)) * 86400 +
                       int64_t(h) * 3600 + m * 60 + s;
  const int64_t hour = wall / 3600 - (wall % 3600 < 0 ? 1 : 0);
  if (hour != cache.hour) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = h;
    tm.tm_isdst = -1;
    const time_t t = std::mktime(&tm);
    cache.hour = hour;
    cache.ok = !(t == time_t(-1) && tm.tm_year != 69);
    cache.offset = cache.ok ? (hour * 3600 - int64_t(t)) : 0;
  }
  if (!cache.ok) return false;
  instant = double(wall - cache.offset);
  return true;
}

bool ParseLocal(const std::string& text, OffsetCache& cache, double& instant) {
  // "YYYY-MM-DD hh:mm:ss", nothing before or after it.
  if (text.size() != 19 || text[4] != '-' || text[7] != '-' || text[10] != ' ' ||
      text[13] != ':' || text[16] != ':') {
    return false;
  }
  int y, mo, d, h, mi, s;
  const char* p = text.data();
  if (!Digits(p, 4, y) || !Digits(p + 5, 2, mo) || !Digits(p + 8, 2, d) ||
      !Digits(p + 11, 2, h) || !Digits(p + 14, 2, mi) || !Digits(p + 17, 2, s)) {
    return false;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return false;
  return WallClockInstant(y, mo, d, h, mi, s, cache, instant);
}

// The instant of a table's date cell: its own; a floating time's wall clock read in the
// computer's zone.
bool CellInstant(const Cell& cell, OffsetCache& cache, double& instant) {
  if (cell.kind != Cell::Kind::kDate || !std::isfinite(cell.real) || std::fabs(cell.real) > 1e14)
    return false;
  if (!cell.floating) {
    instant = cell.real;
    return true;
  }
  const double whole = std::floor(cell.real);
  const time_t t = time_t(whole);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return false;
  if (!WallClockInstant(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min,
                        tm.tm_sec, cache, instant)) {
    return false;
  }
  instant += cell.real - whole;
  return true;
}

// The moments of a table category: which date column means what. A category not named here
// is on the timeline by its first date column.
struct Moment {
  const char* category;
  const char* column;
  TimelineWhat what;
};
constexpr Moment kMoments[] = {
    {"voicemail", "date", TimelineWhat::kVoicemail},
    {"voiceMemos", "date", TimelineWhat::kVoiceMemo},
    {"calendar", "start", TimelineWhat::kEvent},
    {"reminders", "due", TimelineWhat::kReminderDue},
    {"reminders", "completedDate", TimelineWhat::kReminderDone},
    {"safariHistory", "time", TimelineWhat::kPageVisited},
    {"photos", "dateTaken", TimelineWhat::kPhotoTaken},
    {"safariBookmarks", "modified", TimelineWhat::kBookmarkChanged},
};

// The text of a column of a row ("" when the row has none there).
const std::string& CellText(const CategoryTable& table, const TableRow& row, const char* key) {
  static const std::string kNone;
  const int c = table.ColumnIndex(key);
  if (c < 0 || size_t(c) >= row.cells.size()) return kNone;
  const Cell& cell = row.cells[size_t(c)];
  return cell.kind == Cell::Kind::kText ? cell.text : kNone;
}

// The first text of a row that is not empty.
const std::string& FirstText(const CategoryTable& table, const TableRow& row) {
  static const std::string kNone;
  for (size_t c = 0; c < table.columns.size() && c < row.cells.size(); ++c) {
    if ((table.columns[c].type == ColumnType::kText || table.columns[c].type == ColumnType::kFile) &&
        row.cells[c].kind == Cell::Kind::kText && !row.cells[c].text.empty()) {
      return row.cells[c].text;
    }
  }
  return kNone;
}

// `text` cut to at most `limit` bytes at a character's start, "…" after a cut.
std::string Shortened(const std::string& text, size_t limit) {
  if (text.size() <= limit) return text;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "\xE2\x80\xA6";
}

bool IsMissed(const CallItem& c) {
  if (c.outcome == "Missed") return true;
  return c.outcome.empty() && c.incoming != 0 && c.duration == 0;
}

}  // namespace

bool LocalDateInstant(const std::string& text, double& instant) {
  OffsetCache cache;
  return ParseLocal(text, cache, instant);
}

Timeline BuildTimeline(const ScanResults& results) {
  Timeline timeline;
  std::vector<TimelineEntry>& out = timeline.entries;
  out.reserve(MessageCount(results.messages) + MessageCount(results.whatsApp) +
              results.calls.size() + results.notes.size());
  OffsetCache cache;
  const auto add = [&](double instant, ScanCategory category, TimelineWhat what, int32_t deleted,
                       uint32_t group, size_t index, uint16_t column = 0) {
    TimelineEntry e;
    e.instant = instant;
    e.category = category;
    e.what = what;
    e.deleted = deleted != 0 ? 1 : 0;
    e.column = column;
    e.group = group;
    e.index = uint32_t(index);
    out.push_back(e);
  };
  double instant = 0;
  // The messages of every conversation (chat) of `map`, each entry naming its conversation by
  // its place in `groups`; a conversation joins `groups` when one of its messages is dated.
  const auto addConversations = [&](ScanCategory category, const auto& map, auto& groups) {
    for (const auto& pair : map) {
      const uint32_t group = uint32_t(groups.size());
      bool any = false;
      const auto& list = pair.second.messages;
      for (size_t i = 0; i < list.size(); ++i) {
        if (!ParseLocal(list[i].date, cache, instant)) continue;
        add(instant, category,
            list[i].fromMe ? TimelineWhat::kMessageSent : TimelineWhat::kMessageReceived,
            list[i].deleted, group, i);
        any = true;
      }
      if (any) groups.push_back(&pair);
    }
  };
  for (ScanCategory category : AllCategories()) {
    if (const CategoryTable* table = results.Table(category); table != nullptr) {
      const TableCategory* kind = TableCategoryOf(category);
      std::vector<std::pair<uint16_t, TimelineWhat>> columns;
      for (const Moment& m : kMoments) {
        if (std::strcmp(m.category, kind->key) != 0) continue;
        const int c = table->ColumnIndex(m.column);
        if (c >= 0 && table->columns[size_t(c)].type == ColumnType::kDate)
          columns.emplace_back(uint16_t(c), m.what);
      }
      const bool named = std::any_of(std::begin(kMoments), std::end(kMoments),
                                     [&](const Moment& m) { return std::strcmp(m.category, kind->key) == 0; });
      if (!named) {
        for (size_t c = 0; c < table->columns.size(); ++c) {
          if (table->columns[c].type != ColumnType::kDate) continue;
          columns.emplace_back(uint16_t(c), TimelineWhat::kDated);
          break;
        }
      }
      const int kindColumn = std::strcmp(kind->key, "safariHistory") == 0
                                 ? table->ColumnIndex("kind")
                                 : -1;
      for (size_t i = 0; i < table->rows.size(); ++i) {
        const TableRow& row = table->rows[i];
        for (const auto& [c, what] : columns) {
          if (c >= row.cells.size() || !CellInstant(row.cells[c], cache, instant)) continue;
          TimelineWhat shown = what;
          // A clearing of the history is a row of its own, dated by its time too.
          if (kindColumn >= 0 && size_t(kindColumn) < row.cells.size() &&
              row.cells[size_t(kindColumn)].kind == Cell::Kind::kText &&
              row.cells[size_t(kindColumn)].text == "history cleared") {
            shown = TimelineWhat::kHistoryCleared;
          }
          add(instant, category, shown, row.deleted, 0, i, c);
        }
      }
      continue;
    }
    switch (category) {
      case ScanCategory::kMessages:
        addConversations(category, results.messages, timeline.conversations);
        break;
      case ScanCategory::kWhatsApp:
        addConversations(category, results.whatsApp, timeline.chats);
        break;
      case ScanCategory::kCallHistory:
        for (size_t i = 0; i < results.calls.size(); ++i) {
          const CallItem& c = results.calls[i];
          if (!ParseLocal(c.date, cache, instant)) continue;
          add(instant, category,
              IsMissed(c) ? TimelineWhat::kCallMissed
                          : (c.incoming ? TimelineWhat::kCallIncoming : TimelineWhat::kCallOutgoing),
              c.deleted, 0, i);
        }
        break;
      case ScanCategory::kNotes:
        for (size_t i = 0; i < results.notes.size(); ++i) {
          const NoteItem& n = results.notes[i];
          if (!ParseLocal(n.date, cache, instant)) continue;
          add(instant, category, TimelineWhat::kNoteChanged, n.deleted, 0, i);
        }
        break;
      default:
        break;
    }
  }
  std::stable_sort(out.begin(), out.end(), [](const TimelineEntry& a, const TimelineEntry& b) {
    return a.instant < b.instant;
  });
  return timeline;
}

std::string TimelineConversation(const Timeline& timeline, const TimelineEntry& entry) {
  if (entry.category == ScanCategory::kMessages && entry.group < timeline.conversations.size())
    return timeline.conversations[entry.group]->first;
  if (entry.category == ScanCategory::kWhatsApp && entry.group < timeline.chats.size())
    return std::to_string(timeline.chats[entry.group]->first);
  return {};
}

const void* TimelineItem(const ScanResults& results, const Timeline& timeline,
                         const TimelineEntry& entry) {
  const auto at = [&](const auto& list) -> const void* {
    return entry.index < list.size() ? &list[entry.index] : nullptr;
  };
  switch (entry.category) {
    case ScanCategory::kMessages:
      return entry.group < timeline.conversations.size()
                 ? at(timeline.conversations[entry.group]->second.messages)
                 : nullptr;
    case ScanCategory::kWhatsApp:
      return entry.group < timeline.chats.size() ? at(timeline.chats[entry.group]->second.messages)
                                                 : nullptr;
    case ScanCategory::kCallHistory: return at(results.calls);
    case ScanCategory::kNotes: return at(results.notes);
    default: break;
  }
  const CategoryTable* table = results.Table(entry.category);
  return table != nullptr ? at(table->rows) : nullptr;
}

std::string TimelineTime(const ScanResults& results, const Timeline& timeline,
                         const TimelineEntry& entry) {
  const void* item = TimelineItem(results, timeline, entry);
  if (item == nullptr) return {};
  switch (entry.category) {
    case ScanCategory::kMessages: return static_cast<const MessageItem*>(item)->date;
    case ScanCategory::kWhatsApp: return static_cast<const ChatMessageItem*>(item)->date;
    case ScanCategory::kCallHistory: return static_cast<const CallItem*>(item)->date;
    case ScanCategory::kNotes: return static_cast<const NoteItem*>(item)->date;
    default: break;
  }
  const auto* row = static_cast<const TableRow*>(item);
  return entry.column < row->cells.size() ? ShownText(row->cells[entry.column], ColumnType::kDate)
                                          : std::string();
}

std::string TimelineWho(const ScanResults& results, const Timeline& timeline,
                        const TimelineEntry& entry) {
  const void* item = TimelineItem(results, timeline, entry);
  if (item == nullptr) return {};
  switch (entry.category) {
    case ScanCategory::kMessages:
      return ConversationLabel(timeline.conversations[entry.group]->second);
    case ScanCategory::kWhatsApp: return ConversationLabel(timeline.chats[entry.group]->second);
    case ScanCategory::kCallHistory: {
      const auto* c = static_cast<const CallItem*>(item);
      return c->name.empty() ? c->phone : c->name;
    }
    case ScanCategory::kNotes: return static_cast<const NoteItem*>(item)->title;
    default: break;
  }
  const CategoryTable& table = *results.Table(entry.category);
  const auto& row = *static_cast<const TableRow*>(item);
  if (const std::string& name = CellText(table, row, "name"); !name.empty()) return name;
  if (const std::string& phone = CellText(table, row, "phone"); !phone.empty()) return phone;
  if (const std::string& title = CellText(table, row, "title"); !title.empty()) return title;
  return FirstText(table, row);
}

std::string TimelineText(const ScanResults& results, const Timeline& timeline,
                         const TimelineEntry& entry, size_t limit) {
  const void* item = TimelineItem(results, timeline, entry);
  if (item == nullptr) return {};
  const auto messageText = [&](const std::string& text,
                               const std::vector<MessageAttachment>& attachments) {
    if (!text.empty()) return Shortened(text, limit);
    return attachments.empty() ? std::string() : Shortened(attachments.front().name, limit);
  };
  switch (entry.category) {
    case ScanCategory::kMessages: {
      const auto* m = static_cast<const MessageItem*>(item);
      return messageText(m->text, m->attachments);
    }
    case ScanCategory::kWhatsApp: {
      const auto* m = static_cast<const ChatMessageItem*>(item);
      return messageText(m->text, m->attachments);
    }
    case ScanCategory::kCallHistory: {
      const auto* c = static_cast<const CallItem*>(item);
      std::string text = c->type.empty() ? std::string() : c->type;
      if (c->duration > 0) text += (text.empty() ? "" : ", ") + FormatDuration(c->duration);
      return Shortened(text, limit);
    }
    case ScanCategory::kNotes: {
      const auto* n = static_cast<const NoteItem*>(item);
      // The body starts with the title on most phones: the text after it.
      std::string_view body = n->body;
      if (!n->title.empty() && body.starts_with(n->title)) body.remove_prefix(n->title.size());
      while (!body.empty() && (body.front() == '\n' || body.front() == ' ')) body.remove_prefix(1);
      return Shortened(std::string(body), limit);
    }
    default: break;
  }
  const CategoryTable& table = *results.Table(entry.category);
  const auto& row = *static_cast<const TableRow*>(item);
  for (const char* key : {"transcript", "url", "file", "location", "notes"}) {
    if (const std::string& text = CellText(table, row, key); !text.empty())
      return Shortened(text, limit);
  }
  return {};
}

}  // namespace halvern
