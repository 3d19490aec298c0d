// Search across the categories of a scan (see search.h).
#include "search/search.h"

#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/utf8.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstring>

#include "categories/category.h"
#include "extractors/extractors.h"
#include "search/sieve.h"

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
  if (folded_.empty()) return false;
  if (IsAscii(text)) {
    if (!ascii_ || folded_.size() > text.size()) return false;
    const char first = folded_[0];
    const size_t n = folded_.size();
    for (size_t at = 0; at + n <= text.size(); ++at) {
      if (LowerAscii(text[at]) != first) continue;
      size_t k = 1;
      while (k < n && LowerAscii(text[at + k]) == folded_[k]) ++k;
      if (k == n) return true;
    }
    return false;
  }
  return FoldForSearch(text).find(folded_) != std::string::npos;
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

}  // namespace

std::vector<SearchHit> SearchScan(const ScanResults& results, const TextMatcher& matcher,
                                  const ItemFilter& filter, bool (*stop)()) {
  if (matcher.empty()) return {};
  return SearchScan(results, matcher, ScanSieve(filter, results), stop);
}

std::vector<SearchHit> SearchScan(const ScanResults& results, const TextMatcher& matcher,
                                  const ScanSieve& sieve, bool (*stop)()) {
  std::vector<SearchHit> hits;
  if (matcher.empty()) return hits;
  size_t seen = 0;
  const auto stopped = [&] { return stop != nullptr && (++seen % 4096) == 0 && stop(); };
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
    if (!sieve.Takes(category)) continue;
    const CategoryTable* table = results.Table(category);
    if (table != nullptr) {
      for (size_t i = 0; i < table->rows.size(); ++i) {
        if (stopped()) return hits;
        const TableRow& row = table->rows[i];
        if (!sieve.Takes(category, *table, row)) continue;
        const std::string date = RowDate(*table, row);
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
        for (const auto& [key, conversation] : results.messages) {
          if (!sieve.Takes(conversation)) continue;
          const std::string label = ConversationLabel(conversation);
          for (size_t i = 0; i < conversation.messages.size(); ++i) {
            if (stopped()) return hits;
            const MessageItem& m = conversation.messages[i];
            if (!sieve.TakesMarked(m.deleted, m.date)) continue;
            SearchHit hit;
            if (!FirstMatch(matcher,
                            {{"text", m.text}, {"name", m.name}, {"phone", m.phone},
                             {"attachment", m.attachment}},
                            hit)) {
              continue;
            }
            hit.conversation = key;
            add(hit, category, label, m.date, m.deleted, i);
          }
        }
        break;
      case ScanCategory::kWhatsApp:
        for (const auto& [key, chat] : results.whatsApp) {
          if (!sieve.Takes(chat)) continue;
          const std::string label = ConversationLabel(chat);
          for (size_t i = 0; i < chat.messages.size(); ++i) {
            if (stopped()) return hits;
            const ChatMessageItem& m = chat.messages[i];
            if (!sieve.TakesMarked(m.deleted, m.date)) continue;
            SearchHit hit;
            if (!FirstMatch(matcher, {{"text", m.text}, {"name", m.name}, {"phone", m.phone}},
                            hit)) {
              continue;
            }
            hit.conversation = std::to_string(key);
            add(hit, category, label, m.date, m.deleted, i);
          }
        }
        break;
      case ScanCategory::kContacts:
        for (size_t i = 0; i < results.contacts.size(); ++i) {
          const ContactItem& c = results.contacts[i];
          if (!sieve.Takes(c)) continue;
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
          if (!sieve.Takes(c)) continue;
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
          if (!sieve.Takes(n)) continue;
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
