// Finding text across everything a scan found: messages, WhatsApp, notes, contacts, calls and
// every table category (voicemail transcripts, events, reminders, visited pages ...), without
// regard to case or accents ("cafe" finds "Café", "ZURICH" finds "Zürich"), and keeping only
// the items of chosen categories, of one person, of a span of days, or the deleted ones (the
// one sieve of search/sieve.h, which scan and recover filter by as well).
//
// Matching folds both the query and each text the same way: Unicode simple case folding, and
// canonical decomposition with the combining marks dropped (ICU). Texts of ASCII only (most
// of a phone's) are matched in place without folding a copy. The hits name the byte ranges of
// the original text that matched, so that a front end can mark them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/scan_sequence.h"

namespace halvern {

// A byte range [first, second) of a text.
using TextRange = std::pair<size_t, size_t>;

// `text` folded for matching: lower case, accents dropped; with `origins`, for each byte of the
// folded text the offset of the byte of `text` its character came from (and one more entry,
// text.size(), for the end).
std::string FoldForSearch(std::string_view text, std::vector<size_t>* origins = nullptr);

// A query, folded once.
class TextMatcher {
 public:
  explicit TextMatcher(std::string_view query);
  bool empty() const { return folded_.empty(); }
  // Every match in `text`, as ranges of `text` (not overlapping, in order); empty when none.
  std::vector<TextRange> Find(std::string_view text) const;
  bool Matches(std::string_view text) const;

 private:
  std::string folded_;
  bool ascii_ = true;  // the folded query is ASCII: ASCII texts are matched in place
};

// Which items a search (or a listing) keeps.
struct ItemFilter {
  std::vector<ScanCategory> only;  // empty: every category
  std::string since, until;        // "YYYY-MM-DD", both days included; "" open
  bool deletedOnly = false;
  std::string with;  // a person: a name, phone number or e-mail address ("" anyone; sieve.h)

  bool Takes(ScanCategory category) const;
  // An item's date as shown ("YYYY-MM-DD hh:mm:ss", or "" when it has none) against the span:
  // an item without a date is kept only when no span is set.
  bool TakesDate(std::string_view shownDate) const;
};

// Reads "YYYY-MM-DD" (a real day of the calendar); false when the text is anything else.
bool ValidDay(std::string_view day);

struct SearchHit {
  ScanCategory category{};
  std::string where;   // the conversation, the person, the event: what the item belongs to
  std::string date;    // as shown ("YYYY-MM-DD hh:mm:ss"), "" none
  int32_t deleted = 0;
  std::string field;   // the field that matched: "text", "name", "phone", a column's title ...
  std::string text;    // that field's whole value, as stored
  std::vector<TextRange> marks;  // the matches in `text`
  // Where the item is: the conversation key (messages, WhatsApp) and the item's position in
  // its conversation or category list (a table's row index).
  std::string conversation;
  size_t index = 0;
};

// Every item of `results` that `filter` keeps and one of whose texts `matcher` finds, grouped
// by category in the scan's order, each category's items in their list order. One hit per
// item: its first matching field. `stop` (may be null) is asked now and then; the search ends
// early (with the hits so far) when it returns true.
std::vector<SearchHit> SearchScan(const ScanResults& results, const TextMatcher& matcher,
                                  const ItemFilter& filter, bool (*stop)() = nullptr);
// The same with a sieve made already (search/sieve.h): the items it takes.
class ScanSieve;
std::vector<SearchHit> SearchScan(const ScanResults& results, const TextMatcher& matcher,
                                  const ScanSieve& sieve, bool (*stop)() = nullptr);

}  // namespace halvern
