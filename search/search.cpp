// Search across the categories of a scan (see search.h).
#include "search/search.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf8.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>
#include <unordered_map>

#include "categories/category.h"
#include "extractors/extractors.h"

namespace halvern {

namespace {

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; }

void AppendUtf8(std::string& out, UChar32 c) {
  char bytes[4];
  int32_t length = 0;
  UBool error = false;
  U8_APPEND(bytes, length, 4, c, error);
  if (!error) out.append(bytes, size_t(length));
}

// The canonical decomposition of one character without its combining marks, each part case
// folded; the character alone (folded) when it has no decomposition.
void FoldCharacter(UChar32 c, std::string& out) {
  static const UNormalizer2* nfd = [] {
    UErrorCode error = U_ZERO_ERROR;
    const UNormalizer2* n = unorm2_getNFDInstance(&error);
    return U_SUCCESS(error) ? n : nullptr;
  }();
  UChar parts[16];
  UErrorCode error = U_ZERO_ERROR;
  const int32_t length =
      nfd != nullptr ? unorm2_getDecomposition(nfd, c, parts, 16, &error) : -1;
  if (length <= 0 || U_FAILURE(error)) {
    AppendUtf8(out, u_foldCase(c, U_FOLD_CASE_DEFAULT));
    return;
  }
  for (int32_t i = 0; i < length;) {
    UChar32 part;
    U16_NEXT(parts, i, length, part);
    if (u_getCombiningClass(part) != 0 || u_charType(part) == U_NON_SPACING_MARK) continue;
    AppendUtf8(out, u_foldCase(part, U_FOLD_CASE_DEFAULT));
  }
}

}  // namespace

std::string FoldForSearch(std::string_view text, std::vector<size_t>* origins) {
  std::string out;
  out.reserve(text.size());
  if (origins != nullptr) {
    origins->clear();
    origins->reserve(text.size() + 1);
  }
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t size = int32_t(std::min<size_t>(text.size(), INT32_MAX));
  for (int32_t i = 0; i < size;) {
    const size_t start = size_t(i);
    const size_t before = out.size();
    if (bytes[i] < 0x80) {
      out += LowerAscii(char(bytes[i]));
      ++i;
    } else {
      UChar32 c;
      U8_NEXT(bytes, i, size, c);
      // A byte that starts no character stays as it is (it matches only itself).
      if (c < 0) {
        out.append(text.substr(start, size_t(i) - start));
      } else if (u_charType(c) == U_NON_SPACING_MARK) {
        // A combining mark written on its own (decomposed text): dropped like the others.
      } else {
        FoldCharacter(c, out);
      }
    }
    if (origins != nullptr) origins->insert(origins->end(), out.size() - before, start);
  }
  if (origins != nullptr) origins->push_back(text.size());
  return out;
}

namespace {

// The folded form of one character that is not ASCII, remembered per thread: a phone's texts
// use few distinct characters (accents, emoji), and ICU's decomposition is the slow part.
const std::string& FoldedCharacter(UChar32 c) {
  thread_local std::unordered_map<UChar32, std::string> cache;
  auto [at, added] = cache.try_emplace(c);
  if (added) {
    if (u_charType(c) != U_NON_SPACING_MARK) FoldCharacter(c, at->second);
  }
  return at->second;
}

// `text` folded as FoldForSearch does, into `out` (emptied first), without the origins.
void FoldInto(std::string_view text, std::string& out) {
  out.clear();
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const int32_t size = int32_t(std::min<size_t>(text.size(), INT32_MAX));
  for (int32_t i = 0; i < size;) {
    if (bytes[i] < 0x80) {
      out += LowerAscii(char(bytes[i]));
      ++i;
      continue;
    }
    const int32_t start = i;
    UChar32 c;
    U8_NEXT(bytes, i, size, c);
    if (c < 0) {
      out.append(text.substr(size_t(start), size_t(i - start)));
    } else {
      out += FoldedCharacter(c);
    }
  }
}

}  // namespace

TextMatcher::TextMatcher(std::string_view query)
    : folded_(FoldForSearch(query)), ascii_(IsAscii(folded_)) {}

std::vector<TextRange> TextMatcher::Find(std::string_view text) const {
  std::vector<TextRange> out;
  if (folded_.empty() || text.empty()) return out;
  if (IsAscii(text)) {
    // In place: the folded query is lower case ASCII (or matches no ASCII text at all).
    if (!ascii_ || folded_.size() > text.size()) return out;
    const size_t n = folded_.size();
    for (size_t at = 0; at + n <= text.size();) {
      size_t k = 0;
      while (k < n && LowerAscii(text[at + k]) == folded_[k]) ++k;
      if (k == n) {
        out.emplace_back(at, at + n);
        at += n;
      } else {
        ++at;
      }
    }
    return out;
  }
  std::vector<size_t> origins;
  const std::string folded = FoldForSearch(text, &origins);
  for (size_t at = folded.find(folded_); at != std::string::npos;
       at = folded.find(folded_, at + folded_.size())) {
    const size_t first = origins[at];
    size_t last = origins[at + folded_.size()];
    // The end of the character the last folded byte came from.
    if (last <= first) last = first + 1;
    out.emplace_back(first, std::min(last, text.size()));
  }
  return out;
}

bool TextMatcher::Matches(std::string_view text) const {
  if (folded_.empty() || text.empty()) return false;
  // One pass folds the text into a buffer kept by the thread (ASCII bytes lowered, other
  // characters from the cache), and the search for the query is the library's.
  thread_local std::string folded;
  FoldInto(text, folded);
  return std::string_view(folded).find(folded_) != std::string_view::npos;
}

bool ValidDay(std::string_view day) {
  if (day.size() != 10 || day[4] != '-' || day[7] != '-') return false;
  for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (day[i] < '0' || day[i] > '9') return false;
  }
  const int year = std::stoi(std::string(day.substr(0, 4)));
  const int month = std::stoi(std::string(day.substr(5, 2)));
  const int d = std::stoi(std::string(day.substr(8, 2)));
  static constexpr int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || d < 1 || d > kDays[month - 1]) return false;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return !(month == 2 && d == 29 && !leap);
}

bool ItemFilter::Takes(ScanCategory category) const {
  return only.empty() || std::find(only.begin(), only.end(), category) != only.end();
}

bool ItemFilter::TakesDate(std::string_view shownDate) const {
  if (since.empty() && until.empty()) return true;
  if (shownDate.size() < 10) return false;
  const std::string_view day = shownDate.substr(0, 10);
  return (since.empty() || day >= since) && (until.empty() || day <= until);
}

namespace {

struct Field {
  const char* name;
  std::string_view text;
};

// The first field of `fields` the matcher finds, as a hit (false when none).
bool FirstMatch(const TextMatcher& matcher, std::initializer_list<Field> fields, SearchHit& hit) {
  for (const Field& f : fields) {
    if (f.text.empty() || !matcher.Matches(f.text)) continue;
    hit.field = f.name;
    hit.text = std::string(f.text);
    hit.marks = matcher.Find(f.text);
    return true;
  }
  return false;
}

// From how many messages on a category is searched on two threads.
constexpr size_t kParallelMessages = 200000;

// How many items ahead of the one matched the texts are fetched.
constexpr size_t kAhead = 12;

template <typename Message>
void Prefetch(const Message& m) {
  __builtin_prefetch(m.text.data());
  __builtin_prefetch(m.name.data());
}

// The first date column's value as shown; "" when the row has none.
std::string RowDate(const CategoryTable& table, const TableRow& row) {
  for (size_t c = 0; c < table.columns.size() && c < row.cells.size(); ++c) {
    if (table.columns[c].type != ColumnType::kDate) continue;
    if (row.cells[c].IsNull()) continue;
    return ShownText(row.cells[c], ColumnType::kDate);
  }
  return {};
}

// The first text of a row: what the row is called in a hit ("Dentist", a page's title).
std::string RowName(const CategoryTable& table, const TableRow& row) {
  for (size_t c = 0; c < table.columns.size() && c < row.cells.size(); ++c) {
    if (table.columns[c].type == ColumnType::kText && row.cells[c].kind == Cell::Kind::kText &&
        !row.cells[c].text.empty()) {
      return row.cells[c].text;
    }
  }
  return {};
}

// The messages of every conversation of `map` given to `visit` (key, conversation, index,
// hits), in the map's order. A big map is searched on two threads, each over one half of the
// messages (a conversation may be cut in two), and their hits are joined in order. False when
// `stop` asked to end (the hits so far are in `hits`).
template <typename Map, typename Visit>
bool SearchConversations(const Map& map, bool (*stop)(), const Visit& visit,
                         std::vector<SearchHit>& hits) {
  struct Range {
    const typename Map::value_type* entry;
    size_t begin, end;
  };
  size_t total = 0;
  for (const auto& entry : map) total += entry.second.messages.size();
  // Two parts of messages: ranges of conversations, the second part starting at half.
  std::vector<Range> parts[2];
  const size_t half = total >= kParallelMessages ? total / 2 : total;
  size_t seen = 0;
  for (const auto& entry : map) {
    const size_t n = entry.second.messages.size();
    if (seen < half && seen + n > half) {
      parts[0].push_back({&entry, 0, half - seen});
      parts[1].push_back({&entry, half - seen, n});
    } else {
      parts[seen < half || half == total ? 0 : 1].push_back({&entry, 0, n});
    }
    seen += n;
  }
  std::atomic<bool> ended{false};
  const auto run = [&](const std::vector<Range>& ranges, std::vector<SearchHit>& out) {
    size_t count = 0;
    for (const Range& r : ranges) {
      const auto& messages = r.entry->second.messages;
      for (size_t i = r.begin; i < r.end; ++i) {
        if ((++count % 4096) == 0 && (ended.load() || (stop != nullptr && stop()))) {
          ended = true;
          return;
        }
        // The texts lie all over the heap: asking for a later message's text now lets the
        // memory fetch it while this one is matched.
        if (i + kAhead < r.end) Prefetch(messages[i + kAhead]);
        visit(r.entry->first, r.entry->second, i, out);
      }
    }
  };
  std::vector<SearchHit> second;
  std::thread helper;
  if (!parts[1].empty()) helper = std::thread(run, std::cref(parts[1]), std::ref(second));
  run(parts[0], hits);
  if (helper.joinable()) helper.join();
  hits.insert(hits.end(), std::make_move_iterator(second.begin()),
              std::make_move_iterator(second.end()));
  return !ended.load();
}

}  // namespace

std::vector<SearchHit> SearchScan(const ScanResults& results, const TextMatcher& matcher,
                                  const ItemFilter& filter, bool (*stop)()) {
  std::vector<SearchHit> hits;
  if (matcher.empty()) return hits;
  size_t seen = 0;
  const auto stopped = [&] { return stop != nullptr && (++seen % 4096) == 0 && stop(); };
  const auto keep = [&](int32_t deleted, std::string_view date) {
    return (!filter.deletedOnly || deleted != 0) && filter.TakesDate(date);
  };
  // A hit whose field and text FirstMatch filled, with what the item belongs to.
  const auto add = [&](SearchHit& hit, ScanCategory category, std::string where,
                       std::string date, int32_t deleted, size_t index) {
    hit.category = category;
    hit.where = std::move(where);
    hit.date = std::move(date);
    hit.deleted = deleted;
    hit.index = index;
    hits.push_back(std::move(hit));
  };
  for (ScanCategory category : AllCategories()) {
    if (!filter.Takes(category)) continue;
    const CategoryTable* table = results.Table(category);
    if (table != nullptr) {
      for (size_t i = 0; i < table->rows.size(); ++i) {
        if (stopped()) return hits;
        const TableRow& row = table->rows[i];
        const std::string date = RowDate(*table, row);
        if (!keep(row.deleted, date)) continue;
        for (size_t c = 0; c < table->columns.size() && c < row.cells.size(); ++c) {
          const ColumnType type = table->columns[c].type;
          const Cell& cell = row.cells[c];
          // A list (the albums a picture is in): the item that holds the text.
          const std::string* text = nullptr;
          if ((type == ColumnType::kText || type == ColumnType::kFile) &&
              cell.kind == Cell::Kind::kText && matcher.Matches(cell.text)) {
            text = &cell.text;
          } else if (type == ColumnType::kList && cell.kind == Cell::Kind::kList) {
            for (const std::string& item : cell.items) {
              if (matcher.Matches(item)) {
                text = &item;
                break;
              }
            }
          }
          if (text == nullptr) continue;
          SearchHit hit;
          hit.field = table->columns[c].title;
          hit.text = *text;
          hit.marks = matcher.Find(*text);
          add(hit, category, RowName(*table, row), date, row.deleted, i);
          break;
        }
      }
      continue;
    }
    switch (category) {
      case ScanCategory::kMessages:
        if (!SearchConversations(
                results.messages, stop,
                [&](const std::string& key, const Conversation& conversation, size_t i,
                    std::vector<SearchHit>& out) {
                  const MessageItem& m = conversation.messages[i];
                  if (!keep(m.deleted, m.date)) return;
                  SearchHit hit;
                  if (!FirstMatch(matcher,
                                  {{"text", m.text}, {"name", m.name}, {"phone", m.phone},
                                   {"attachment", m.attachment}},
                                  hit)) {
                    return;
                  }
                  hit.category = category;
                  hit.where = ConversationLabel(conversation);
                  hit.conversation = key;
                  hit.date = m.date;
                  hit.deleted = m.deleted;
                  hit.index = i;
                  out.push_back(std::move(hit));
                },
                hits)) {
          return hits;
        }
        break;
      case ScanCategory::kWhatsApp:
        if (!SearchConversations(
                results.whatsApp, stop,
                [&](int64_t key, const ChatConversation& chat, size_t i,
                    std::vector<SearchHit>& out) {
                  const ChatMessageItem& m = chat.messages[i];
                  if (!keep(m.deleted, m.date)) return;
                  SearchHit hit;
                  if (!FirstMatch(matcher,
                                  {{"text", m.text}, {"name", m.name}, {"phone", m.phone}},
                                  hit)) {
                    return;
                  }
                  hit.category = category;
                  hit.where = ConversationLabel(chat);
                  hit.conversation = std::to_string(key);
                  hit.date = m.date;
                  hit.deleted = m.deleted;
                  hit.index = i;
                  out.push_back(std::move(hit));
                },
                hits)) {
          return hits;
        }
        break;
      case ScanCategory::kContacts:
        for (size_t i = 0; i < results.contacts.size(); ++i) {
          const ContactItem& c = results.contacts[i];
          // A card has no date: with a span of days set, no card is kept.
          if (!keep(c.deleted, {})) continue;
          SearchHit hit;
          bool found = FirstMatch(matcher,
                                  {{"name", c.name}, {"company", c.company}, {"phones", c.phones},
                                   {"email", c.email}, {"address", c.address}, {"url", c.url},
                                   {"social", c.social}},
                                  hit);
          for (const auto* values : {&c.numbers, &c.emails, &c.addresses}) {
            for (const LabeledValue& v : *values) {
              if (found) break;
              found = FirstMatch(matcher, {{"value", v.value}}, hit);
            }
          }
          if (!found) continue;
          add(hit, category, c.name, {}, c.deleted, i);
        }
        break;
      case ScanCategory::kCallHistory:
        for (size_t i = 0; i < results.calls.size(); ++i) {
          const CallItem& c = results.calls[i];
          if (!keep(c.deleted, c.date)) continue;
          SearchHit hit;
          if (!FirstMatch(matcher, {{"name", c.name}, {"phone", c.phone}, {"type", c.type}},
                          hit)) {
            continue;
          }
          add(hit, category, c.name.empty() ? c.phone : c.name, c.date, c.deleted, i);
        }
        break;
      case ScanCategory::kNotes:
        for (size_t i = 0; i < results.notes.size(); ++i) {
          const NoteItem& n = results.notes[i];
          if (!keep(n.deleted, n.date)) continue;
          SearchHit hit;
          bool found = FirstMatch(matcher,
                                  {{"title", n.title}, {"body", n.body}, {"folder", n.folder}},
                                  hit);
          // What the note holds besides its text: its attachments' names, link titles and
          // addresses, recordings' transcripts and tables' cells.
          for (const NoteAttachment& a : n.attachments) {
            if (found) break;
            found = FirstMatch(matcher,
                               {{"attachment", a.name}, {"title", a.title}, {"url", a.url},
                                {"transcript", a.transcript}},
                               hit);
            for (const auto& row : a.rows) {
              for (const std::string& cell : row) {
                if (!found) found = FirstMatch(matcher, {{"table", cell}}, hit);
              }
            }
          }
          if (!found) continue;
          add(hit, category, n.title, n.date, n.deleted, i);
        }
        break;
      default:
        break;
    }
  }
  return hits;
}

}  // namespace halvern
