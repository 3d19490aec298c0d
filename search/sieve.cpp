// The sieve of a filter over a scan's results (see sieve.h).
#include "search/sieve.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "categories/category.h"
#include "extractors/extractors.h"

namespace halvern {

namespace {

enum class PersonForm { kName, kNumber, kMail };

// How the person was given: an e-mail address holds "@"; a number is made of digits (three or
// more) and the signs numbers are written with; anything else is a name.
PersonForm FormOf(std::string_view text) {
  if (text.find('@') != std::string_view::npos) return PersonForm::kMail;
  if (text.rfind("tel:", 0) == 0) text.remove_prefix(4);
  size_t digits = 0;
  for (char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (std::strchr("+ ()-./", c) == nullptr) {
      return PersonForm::kName;
    }
  }
  return digits >= 3 ? PersonForm::kNumber : PersonForm::kName;
}

// The words of a folded text: runs of letters and digits (any byte beyond ASCII counts as a
// letter), split at spaces and ASCII punctuation.
std::vector<std::string> Words(std::string_view folded) {
  std::vector<std::string> out;
  std::string word;
  for (char c : folded) {
    const auto u = static_cast<unsigned char>(c);
    const bool letter = u >= 0x80 || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
    if (letter) {
      word += c;
    } else if (!word.empty()) {
      out.push_back(std::move(word));
      word.clear();
    }
  }
  if (!word.empty()) out.push_back(std::move(word));
  return out;
}

// Calls `f` with each phone number and e-mail address of a card, as the card holds them: its
// labelled values, else its lines of numbers and addresses.
template <class F>
void ForEachAddress(const ContactItem& card, F&& f) {
  const auto lines = [&](const std::string& text, bool mail) {
    size_t from = 0;
    while (from <= text.size()) {
      const size_t end = std::min(text.find('\n', from), text.size());
      const std::string_view line = std::string_view(text).substr(from, end - from);
      if (!line.empty() && (!mail || line.find('@') != std::string_view::npos)) f(line);
      from = end + 1;
    }
  };
  if (!card.numbers.empty()) {
    for (const LabeledValue& v : card.numbers) f(std::string_view(v.value));
  } else {
    lines(card.phones, false);
  }
  if (!card.emails.empty()) {
    for (const LabeledValue& v : card.emails) f(std::string_view(v.value));
  } else {
    lines(card.email, true);
  }
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The column indexes of a table category's address columns in `table`.
std::vector<size_t> AddressColumns(ScanCategory category, const CategoryTable& table) {
  std::vector<size_t> out;
  const TableCategory* kind = TableCategoryOf(category);
  if (kind == nullptr || kind->addressColumns == nullptr) return out;
  const std::string_view keys = kind->addressColumns;
  size_t from = 0;
  while (from <= keys.size()) {
    const size_t end = std::min(keys.find(',', from), keys.size());
    const std::string_view key = keys.substr(from, end - from);
    for (size_t c = 0; c < table.columns.size(); ++c) {
      if (table.columns[c].key == key) out.push_back(c);
    }
    from = end + 1;
  }
  return out;
}

}  // namespace

std::string RowDate(const CategoryTable& table, const TableRow& row) {
  for (size_t c = 0; c < table.columns.size() && c < row.cells.size(); ++c) {
    if (table.columns[c].type != ColumnType::kDate) continue;
    if (row.cells[c].IsNull()) continue;
    return ShownText(row.cells[c], ColumnType::kDate);
  }
  return {};
}

std::string ScanSieve::Key(std::string_view address, bool whatsAppId) const {
  // WhatsApp names a person by the international number without its "+".
  if (whatsAppId && AllDigits(address)) return numbers_.Normalise("+" + std::string(address));
  return numbers_.Normalise(address);
}

bool ScanSieve::IsPersons(std::string_view address, bool whatsAppId) const {
  if (keys_.empty() || address.empty()) return false;
  return keys_.count(Key(address, whatsAppId)) != 0;
}

bool ScanSieve::NameMatches(std::string_view name) const {
  if (nameWords_.empty() || name.empty()) return false;
  const std::vector<std::string> words = Words(FoldForSearch(name));
  if (words.size() < nameWords_.size()) return false;
  for (size_t at = 0; at + nameWords_.size() <= words.size(); ++at) {
    if (std::equal(nameWords_.begin(), nameWords_.end(), words.begin() + ptrdiff_t(at))) {
      return true;
    }
  }
  return false;
}

bool ScanSieve::CardIsPersons(const ContactItem& card) const {
  if (NameMatches(card.name)) return true;
  bool found = false;
  ForEachAddress(card, [&](std::string_view a) { found = found || IsPersons(a); });
  return found;
}

ScanSieve::ScanSieve(ItemFilter filter, const ScanResults& results, std::string_view region)
    : filter_(std::move(filter)), numbers_(results.contacts, region) {
  if (HasPerson()) {
    const std::string& person = filter_.with;
    const bool byName = FormOf(person) == PersonForm::kName;
    if (byName) {
      nameWords_ = Words(FoldForSearch(person));
      // The cards of that name, then the members and callers of that name no card holds.
      for (const ContactItem& card : results.contacts) {
        if (!NameMatches(card.name)) continue;
        ForEachAddress(card, [&](std::string_view a) { keys_.insert(Key(a, false)); });
      }
      for (const auto& [id, c] : results.messages) {
        for (const ConversationMember& m : c.members) {
          if (NameMatches(m.name) || (!c.group && NameMatches(c.title))) {
            keys_.insert(Key(m.address, false));
          }
        }
      }
      for (const auto& [id, c] : results.whatsApp) {
        for (const ConversationMember& m : c.members) {
          if (NameMatches(m.name) || (!c.group && NameMatches(c.title))) {
            keys_.insert(Key(m.address, true));
          }
        }
      }
      for (const CallItem& call : results.calls) {
        if (NameMatches(call.name)) keys_.insert(Key(call.phone, false));
      }
      keys_.erase(std::string());
    } else {
      keys_.insert(Key(person, false));
    }
    // Every address of the cards that hold one of the person's addresses.
    const std::unordered_set<std::string> given = keys_;
    for (const ContactItem& card : results.contacts) {
      bool holds = false;
      ForEachAddress(card, [&](std::string_view a) { holds = holds || given.count(Key(a, false)); });
      if (!holds) continue;
      found_ = true;
      ForEachAddress(card, [&](std::string_view a) { keys_.insert(Key(a, false)); });
    }
    keys_.erase(std::string());
    if (byName) {
      for (const ContactItem& card : results.contacts) found_ = found_ || NameMatches(card.name);
    }

    for (const auto& [id, c] : results.messages) {
      bool persons = false;
      for (const ConversationMember& m : c.members) persons = persons || IsPersons(m.address);
      // A conversation of a handle without its members: its messages' address.
      if (c.members.empty()) {
        for (const MessageItem& m : c.messages) {
          if (!m.phone.empty() && m.fromMe == 0) {
            persons = IsPersons(m.phone);
            break;
          }
        }
      }
      if (persons) conversations_.insert(c.id);
    }
    for (const auto& [id, c] : results.whatsApp) {
      bool persons = false;
      for (const ConversationMember& m : c.members) persons = persons || IsPersons(m.address, true);
      if (persons) chats_.insert(c.sessionId);
    }
    found_ = found_ || !conversations_.empty() || !chats_.empty();
    for (const CallItem& call : results.calls) found_ = found_ || IsPersons(call.phone);
    for (size_t i = 0; i < results.tables.size() && !found_; ++i) {
      const ScanCategory category = TableCategoryCode(i);
      const CategoryTable& table = results.tables[i];
      const std::vector<size_t> columns = AddressColumns(category, table);
      for (const TableRow& row : table.rows) {
        for (size_t c : columns) {
          if (c < row.cells.size() && row.cells[c].kind == Cell::Kind::kText) {
            found_ = found_ || IsPersons(row.cells[c].text);
          }
        }
      }
    }
  }
  // The attachments of the messages taken, for the attachment categories (when they are
  // listed: one pass over every message less).
  const auto listed = [&](ScanCategory category, const std::vector<MediaFileItem>& files) {
    return !filter_.deletedOnly && Narrows() && Takes(category) && !files.empty();
  };
  if (listed(ScanCategory::kMessageAttachments, results.messageAttachments)) {
    for (const auto& [id, c] : results.messages) {
      if (!Takes(c)) continue;
      for (const MessageItem& m : c.messages) {
        if (!TakesMarked(m.deleted, m.date)) continue;
        for (const MessageAttachment& a : m.attachments) {
          if (!a.path.empty()) messageFiles_.insert(a.path);
        }
      }
    }
  }
  if (listed(ScanCategory::kWhatsAppAttachments, results.whatsAppAttachments)) {
    for (const auto& [id, c] : results.whatsApp) {
      if (!Takes(c)) continue;
      for (const ChatMessageItem& m : c.messages) {
        if (!TakesMarked(m.deleted, m.date)) continue;
        for (const MessageAttachment& a : m.attachments) {
          if (!a.path.empty()) chatFiles_.insert(a.path);
        }
      }
    }
  }
}

bool ScanSieve::Narrows() const {
  return HasPerson() || filter_.deletedOnly || !filter_.since.empty() || !filter_.until.empty();
}

bool ScanSieve::Takes(ScanCategory category) const { return filter_.Takes(category); }

bool ScanSieve::TakesMarked(int32_t deleted, std::string_view shownDate) const {
  return (!filter_.deletedOnly || deleted != 0) && filter_.TakesDate(shownDate);
}

bool ScanSieve::Takes(const Conversation& conversation) const {
  return !HasPerson() || conversations_.count(conversation.id) != 0;
}

bool ScanSieve::Takes(const ChatConversation& chat) const {
  return !HasPerson() || chats_.count(chat.sessionId) != 0;
}

bool ScanSieve::Takes(const Conversation& conversation, const MessageItem& message) const {
  return TakesMarked(message.deleted, message.date) && Takes(conversation);
}

bool ScanSieve::Takes(const ChatConversation& chat, const ChatMessageItem& message) const {
  return TakesMarked(message.deleted, message.date) && Takes(chat);
}

bool ScanSieve::Takes(const CallItem& call) const {
  return TakesMarked(call.deleted, call.date) && (!HasPerson() || IsPersons(call.phone));
}

bool ScanSieve::Takes(const ContactItem& card) const {
  // A card has no date: with a span of days set, no card is kept.
  return TakesMarked(card.deleted, {}) && (!HasPerson() || CardIsPersons(card));
}

bool ScanSieve::Takes(const NoteItem& note) const {
  return !HasPerson() && TakesMarked(note.deleted, note.date);
}

bool ScanSieve::TakesFile(ScanCategory category, const std::string& dataPath) const {
  if (!Takes(category) || filter_.deletedOnly) return false;
  if (!Narrows()) return true;
  if (category == ScanCategory::kMessageAttachments) return messageFiles_.count(dataPath) != 0;
  if (category == ScanCategory::kWhatsAppAttachments) return chatFiles_.count(dataPath) != 0;
  return false;
}

bool ScanSieve::Takes(ScanCategory category, const CategoryTable& table,
                      const TableRow& row) const {
  if (!Takes(category) || !TakesMarked(row.deleted, RowDate(table, row))) return false;
  if (!HasPerson()) return true;
  for (size_t c : AddressColumns(category, table)) {
    if (c < row.cells.size() && row.cells[c].kind == Cell::Kind::kText &&
        IsPersons(row.cells[c].text)) {
      return true;
    }
  }
  return false;
}

namespace {

// Keeps the messages of each conversation of `map` that `takes` keeps, in their order; the
// others, and the conversations left empty or not taken, go to the left-out lists whole.
template <typename Map, typename Messages, typename Takes, typename Keep>
void FilterConversations(Map& map, Map& leftMap, std::vector<Messages>& leftMessages,
                         const Takes& takes, const Keep& keep) {
  for (auto it = map.begin(); it != map.end();) {
    auto& messages = it->second.messages;
    size_t kept = 0;
    if (takes(it->second)) {
      for (size_t i = 0; i < messages.size(); ++i) {
        if (!keep(messages[i])) continue;
        if (kept != i) std::swap(messages[kept], messages[i]);
        ++kept;
      }
    }
    if (kept == 0) {
      const auto next = std::next(it);
      leftMap.insert(map.extract(it));
      it = next;
      continue;
    }
    if (kept < messages.size()) {
      leftMessages.emplace_back(std::make_move_iterator(messages.begin() + ptrdiff_t(kept)),
                                std::make_move_iterator(messages.end()));
      messages.resize(kept);
    }
    ++it;
  }
}

}  // namespace

LeftOut FilterResults(ScanResults& results, const ScanSieve& sieve) {
  LeftOut left;
  if (!sieve.Narrows() && sieve.filter().only.empty()) return left;
  const auto files = [&](ScanCategory category, std::vector<MediaFileItem>& list) {
    std::erase_if(list, [&](const MediaFileItem& f) {
      return !sieve.TakesFile(category, f.path.string());
    });
  };
  files(ScanCategory::kCameraRoll, results.cameraRoll);
  files(ScanCategory::kPhotoStream, results.photoStream);
  files(ScanCategory::kMessageAttachments, results.messageAttachments);
  files(ScanCategory::kWhatsAppAttachments, results.whatsAppAttachments);
  std::erase_if(results.appFiles, [&](const AppFileItem& f) {
    return !sieve.TakesFile(ScanCategory::kAppPhotos, f.path.string()) &&
           !sieve.TakesFile(ScanCategory::kAppVideos, f.path.string());
  });
  for (auto [category, map] : {std::pair{ScanCategory::kAppPhotos, &results.appPhotos},
                               std::pair{ScanCategory::kAppVideos, &results.appVideos}}) {
    for (auto it = map->begin(); it != map->end();) {
      std::erase_if(it->second, [&, category = category](const AppFileItem& f) {
        return !sieve.TakesFile(category, f.path.string());
      });
      it = it->second.empty() ? map->erase(it) : std::next(it);
    }
  }

  const bool messages = sieve.Takes(ScanCategory::kMessages);
  FilterConversations(
      results.messages, left.conversations, left.messages,
      [&](const Conversation& c) { return messages && sieve.Takes(c); },
      [&](const MessageItem& m) { return sieve.TakesMarked(m.deleted, m.date); });
  const bool chats = sieve.Takes(ScanCategory::kWhatsApp);
  FilterConversations(
      results.whatsApp, left.chats, left.chatMessages,
      [&](const ChatConversation& c) { return chats && sieve.Takes(c); },
      [&](const ChatMessageItem& m) { return sieve.TakesMarked(m.deleted, m.date); });

  const auto items = [&](ScanCategory category, auto& list) {
    if (!sieve.Takes(category)) {
      list.clear();
      return;
    }
    std::erase_if(list, [&](const auto& item) { return !sieve.Takes(item); });
  };
  items(ScanCategory::kContacts, results.contacts);
  items(ScanCategory::kCallHistory, results.calls);
  items(ScanCategory::kNotes, results.notes);
  for (size_t i = 0; i < results.tables.size(); ++i) {
    const ScanCategory category = TableCategoryCode(i);
    CategoryTable& table = results.tables[i];
    std::erase_if(table.rows,
                  [&](const TableRow& row) { return !sieve.Takes(category, table, row); });
  }
  for (auto* map : {&results.errors, &results.notices}) {
    std::erase_if(*map, [&](const auto& entry) { return !sieve.Takes(entry.first); });
  }
  return left;
}

}  // namespace halvern
