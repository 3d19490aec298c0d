// Which items of a scan a filter keeps: one sieve, made once from an ItemFilter and the scan's
// results, that search, `scan`, `recover` and the desktop list all ask, so that they agree.
//
// The person (ItemFilter::with) is given as
//   - a phone number in any form ("+49 151 12345678", "015112345678", "+4915112345678"): it
//     names the same number under libphonenumber's rules (as the program names people);
//   - an e-mail address (anything holding "@"), compared without regard to case;
//   - else a name, compared without regard to case or accents as whole words: the whole name
//     or a run of its words ("anna", "Weber", "anna weber" name "Anna Weber"; "ann" does not).
// It is resolved once into the person's addresses: a name takes every card so named (and so
// each number and e-mail address on it) and the addresses of the conversation members and
// callers of that name that no card holds; an address takes itself and every address of the
// cards that hold it. The person's items are then: the Messages conversations one of whose
// members is one of those addresses -- one-to-one ones and the groups the person is in, whole
// (in a group everyone writes to the person as well) --, the WhatsApp chats alike, the calls
// and voicemails with one of the addresses, and the cards. Items of categories that hold no
// person (photos, notes, calendar, Safari, files ...) are never a person's.
//
// Dates: an item is in the span when the day of its date as shown ("YYYY-MM-DD" of the shown
// "YYYY-MM-DD hh:mm:ss") lies between since and until, both days included. A table row's date
// is its first date column that holds a date (a photo's date taken, an event's start, a
// voicemail's arrival). An item without a date is kept only when no span is set; so are the
// files of the file categories (they carry no date), except the attachments of messages,
// which go with their message.
//
// Deleted only: the items marked deleted. Files are never deleted items.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "engine/scan_sequence.h"
#include "extractors/names.h"
#include "search/search.h"

namespace halvern {

// The date of a table row as shown: its first date column that holds a date; "" when none.
std::string RowDate(const CategoryTable& table, const TableRow& row);

class ScanSieve {
 public:
  // `region` (an ISO 3166 code, or a number of the phone itself) reads numbers written without
  // their country code when the address book holds no international number to tell it by.
  ScanSieve(ItemFilter filter, const ScanResults& results, std::string_view region = {});

  const ItemFilter& filter() const { return filter_; }
  bool HasPerson() const { return !filter_.with.empty(); }
  // Whether the person given names anyone in the results (true when none was given).
  bool PersonFound() const { return !HasPerson() || found_; }
  // Whether the filter narrows items within their categories (a person, a span of days or the
  // deleted ones); the category list alone does not.
  bool Narrows() const;

  bool Takes(ScanCategory category) const;
  // A dated item that belongs to no person by its deleted mark and date as shown.
  bool TakesMarked(int32_t deleted, std::string_view shownDate) const;

  // A conversation or chat by its person (its messages are then taken by their marks and dates).
  bool Takes(const Conversation& conversation) const;
  bool Takes(const ChatConversation& chat) const;
  bool Takes(const Conversation& conversation, const MessageItem& message) const;
  bool Takes(const ChatConversation& chat, const ChatMessageItem& message) const;
  bool Takes(const CallItem& call) const;
  bool Takes(const ContactItem& card) const;
  bool Takes(const NoteItem& note) const;
  // A file of a file category (camera roll, attachments, app files).
  bool TakesFile(ScanCategory category, const std::string& dataPath) const;
  bool Takes(ScanCategory category, const CategoryTable& table, const TableRow& row) const;

  // Whether an address as stored (a number, e-mail address or WhatsApp id) is the person's.
  bool IsPersons(std::string_view address, bool whatsAppId = false) const;

 private:
  std::string Key(std::string_view address, bool whatsAppId) const;
  bool NameMatches(std::string_view name) const;
  bool CardIsPersons(const ContactItem& card) const;

  ItemFilter filter_;
  NameIndex numbers_;  // the rules numbers are compared by (the address book's region)
  std::vector<std::string> nameWords_;      // the folded words of a name given
  std::unordered_set<std::string> keys_;    // the person's addresses, normalised
  std::unordered_set<std::string> conversations_;  // ids of the person's conversations
  std::unordered_set<int64_t> chats_;              // session ids of the person's chats
  // Data paths of the attachments of taken messages (when a person or a span is set).
  std::unordered_set<std::string> messageFiles_, chatFiles_;
  bool found_ = false;
};

// The messages and chats a filter left out, handed back whole: giving back the memory of a
// million messages takes longer than filtering them, so the caller lets them go when it likes
// (a command at its end, as it does the results).
struct LeftOut {
  MessageMap conversations;
  ChatMap chats;
  std::vector<std::vector<MessageItem>> messages;
  std::vector<std::vector<ChatMessageItem>> chatMessages;
};

// Keeps in `results` only what `sieve` takes: the categories chosen; messages inside their
// conversations, in their order (a conversation left without messages goes); the attachment
// files of kept messages only; calls, cards, notes and table rows one by one; the files of
// the other file categories only when nothing narrows the items. The failures and notices of
// categories not chosen go as well. One pass over the items; the messages and conversations
// left out come back in LeftOut.
LeftOut FilterResults(ScanResults& results, const ScanSieve& sieve);

}  // namespace halvern
