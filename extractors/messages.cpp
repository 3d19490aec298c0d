// Messages: sms.db (message, handle, chat, chat_handle_join, chat_message_join,
// chat_recoverable_message_join, attachment, message_attachment_join) joined with the address
// book for names, built into conversations.
//
// Locate: HomeDomain-Library/SMS/sms.db (file id 3d0d7e5fb2ce288813306e4d4636395e047a3d28)
// and the address book (31bb7ba8914766d4ba40d6dfb6113c8b614be442); the caller passes paths.
// Schema variants: message tables of 38 (iOS 6-7) to 90+ columns, positions by name; dates
// in seconds (to iOS 10) or nanoseconds (iOS 11 on); texts held only in attributedBody
// (formatted, edited and app messages of recent systems); the iOS 4-5 table with the
// counterpart in `address` / `madrid_handle` and the direction in `flags` / `madrid_flags`.
#include <plist/plist.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <thread>
#include <memory>
#include <new>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "extractors/names.h"
#include "sqlite_recovery/decoders.h"
#include "sqlite_recovery/scan.h"
#include "sqlite_recovery/text.h"
#include "sqlite_recovery/time_format.h"

namespace halvern {
namespace {

using extract::Columns;
using extract::GoodText;
using extract::IntOf;
using extract::PlainTextOf;
using extract::Walk;

std::string MessageDate(const Value& date) {
  if (date.IsInteger() && date.integer != 0) {
    return FormatMacTime(MessageDateSeconds(date.integer));
  }
  if (date.IsReal()) {
    int64_t whole = 0;
    if (TruncateSeconds(date.real, whole) && whole != 0)
      return FormatMacTime(MessageDateSeconds(whole));
  }
  return {};
}

// The object replacement character Messages puts where an attachment sits in the text is taken
// out, and with it one of the two spaces it would leave side by side; the rest of the text
// stays as the phone holds it (leading and trailing spaces and line breaks included).
std::string WithoutPlaceholders(std::string text) {
  static constexpr std::string_view kObject = "\xEF\xBF\xBC";
  for (size_t at = text.find(kObject); at != std::string::npos; at = text.find(kObject, at)) {
    text.erase(at, kObject.size());
    if (at > 0 && at < text.size() && text[at - 1] == ' ' && text[at] == ' ') text.erase(at, 1);
  }
  return text;
}

// The target guid of a reaction: "p:0/GUID" and "bp:GUID" name GUID.
std::string TargetGuid(std::string_view associated) {
  if (size_t slash = associated.find('/'); slash != std::string_view::npos)
    return std::string(associated.substr(slash + 1));
  if (associated.rfind("bp:", 0) == 0) return std::string(associated.substr(3));
  return std::string(associated);
}

const char* ReactionKind(int64_t type) {
  switch (type % 1000) {
    case 0: return "\xE2\x9D\xA4\xEF\xB8\x8F";  // ❤️ loved
    case 1: return "\xF0\x9F\x91\x8D";          // 👍 liked
    case 2: return "\xF0\x9F\x91\x8E";          // 👎 disliked
    case 3: return "\xF0\x9F\x98\x82";          // 😂 laughed
    case 4: return "\xE2\x80\xBC\xEF\xB8\x8F";  // ‼️ emphasized
    case 5: return "\xE2\x9D\x93";              // ❓ questioned
    default: return "";
  }
}

bool IsReactionType(int64_t type) {
  return (type >= 2000 && type <= 2005) || (type >= 3000 && type <= 3005);
}

// Earlier texts of an edited message: message_summary_info is a binary property list whose
// "ec" entry maps each message part to its versions, each {"t": attributedBody archive}.
std::vector<std::string> EditHistory(std::string_view summary) {
  std::vector<std::string> texts;
  if (summary.size() < 8 || summary.substr(0, 6) != "bplist") return texts;
  plist_t root = nullptr;
  plist_from_bin(summary.data(), uint32_t(summary.size()), &root);
  if (root == nullptr) return texts;
  plist_t edits = plist_get_node_type(root) == PLIST_DICT ? plist_dict_get_item(root, "ec")
                                                          : nullptr;
  if (edits != nullptr && plist_get_node_type(edits) == PLIST_DICT) {
    plist_t part = plist_dict_get_item(edits, "0");
    if (part != nullptr && plist_get_node_type(part) == PLIST_ARRAY) {
      for (uint32_t i = 0; i < plist_array_get_size(part); ++i) {
        plist_t version = plist_array_get_item(part, i);
        if (plist_get_node_type(version) != PLIST_DICT) continue;
        plist_t t = plist_dict_get_item(version, "t");
        if (t == nullptr || plist_get_node_type(t) != PLIST_DATA) continue;
        char* data = nullptr;
        uint64_t length = 0;
        plist_get_data_val(t, &data, &length);
        std::string text;
        if (data != nullptr && TypedStreamText(std::string_view(data, size_t(length)), text))
          texts.push_back(std::move(text));
        free(data);
      }
    }
  }
  plist_free(root);
  return texts;
}

// One row of the message table as read.
struct RawMessage {
  MessageItem item;
  std::string guid;
  std::string associatedGuid;
  int64_t associatedType = 0;
  std::string threadGuid;
  int64_t retracted = 0;
  // iOS 4-5 layout.
  std::string address;
  int64_t groupId = 0;
  std::string room;
};

struct ChatRow {
  int64_t rowId = 0;
  int64_t style = 0;
  std::string identifier;
  std::string displayName;
  std::vector<int64_t> handles;
};

struct HandleInfo {
  std::string address;
  std::string service;
  std::string person;  // normalised address
};

// The columns of the message table, by name.
enum {
  kText, kHandle, kDate, kFromMe, kBody, kGuid, kService, kAssocGuid, kAssocType, kThread,
  kEdited, kRetracted, kSummary, kAddress, kFlags, kMadridHandle, kMadridFlags, kIsMadrid,
  kGroupId, kRoom, kItemType
};

Columns MessageColumns(CSqliteFileReader& reader) {
  return Columns(reader, "message",
                 {"text", "handle_id", "date", "is_from_me", "attributedBody", "guid", "service",
                  "associated_message_guid", "associated_message_type",
                  "thread_originator_guid", "date_edited", "date_retracted",
                  "message_summary_info", "address", "flags", "madrid_handle", "madrid_flags",
                  "is_madrid", "group_id", "madrid_roomname", "item_type"});
}

// The iOS 4-5 table: the counterpart in `address`, no handle table.
bool IsOldLayout(const Columns& c) { return c.present() && !c.has(kHandle) && c.has(kAddress); }

// One row of the message table of iOS 6 and later (handle_id) or of iOS 4-5 (address, flags)
// as a message; false when the row is refused (a broken text, a group event). The earlier
// texts of an edited message are decoded here, so that its summary blob is never kept.
bool DecodeMessage(const ScannedRow& row, const Columns& c, bool oldLayout, RawMessage& m) {
  const Record& r = row.record;
  m.item.deleted = row.deleted ? 1 : 0;
  m.item.rowId = r.rowid.value_or(0);
  if (!GoodText(c.at(r, kText), m.item.text)) return false;
  if (m.item.text.empty()) {
    const Value& body = c.at(r, kBody);
    std::string archived;
    if (body.IsBlob() && !body.truncated && TypedStreamText(body.bytes, archived))
      m.item.text = archived;
  }
  m.item.text = WithoutPlaceholders(std::move(m.item.text));
  if (!GoodText(c.at(r, kGuid), m.guid)) return false;
  m.associatedGuid = PlainTextOf(c.at(r, kAssocGuid));
  m.associatedType = IntOf(c.at(r, kAssocType));
  m.threadGuid = PlainTextOf(c.at(r, kThread));
  m.item.edited = IntOf(c.at(r, kEdited)) != 0 ? 1 : 0;
  m.retracted = IntOf(c.at(r, kRetracted));
  m.item.unsent = m.retracted != 0 ? 1 : 0;
  if (m.item.edited) {
    const Value& s = c.at(r, kSummary);
    if (s.IsBlob() && !s.truncated) m.item.earlierTexts = EditHistory(s.bytes);
    // The last version is the message's own text.
    if (!m.item.earlierTexts.empty() && m.item.earlierTexts.back() == m.item.text)
      m.item.earlierTexts.pop_back();
  }
  if (IntOf(c.at(r, kItemType)) != 0 && m.item.text.empty()) return false;  // group events
  if (oldLayout) {
    const bool madrid = IntOf(c.at(r, kIsMadrid)) != 0;
    m.item.service = madrid ? "iMessage" : "SMS";
    m.address = PlainTextOf(c.at(r, madrid ? kMadridHandle : kAddress));
    const Value& date = c.at(r, kDate);
    if (date.IsInteger() && date.integer != 0) {
      // SMS rows count from 1970, iMessage rows from 2001.
      m.item.date = madrid ? FormatMacTime(date.integer) : FormatUnixTime(date.integer);
    }
    const int64_t flags = IntOf(c.at(r, madrid ? kMadridFlags : kFlags));
    m.item.fromMe = (madrid ? (flags & 0x4) != 0 : (flags & 0x1) != 0) ? 1 : 0;
    m.groupId = IntOf(c.at(r, kGroupId));
    m.room = PlainTextOf(c.at(r, kRoom));
  } else {
    m.item.handleId = IntOf(c.at(r, kHandle));
    m.item.date = MessageDate(c.at(r, kDate));
    m.item.fromMe = IntOf(c.at(r, kFromMe)) != 0 ? 1 : 0;
    m.item.service = PlainTextOf(c.at(r, kService));
  }
  return true;
}

// Whether a message is listed. A row of the table is listed as the phone holds it, an empty
// text included (a text of one space, a message whose attachment is gone). A row brought back
// by carving that has neither text nor attachment is listed only with a date and something
// naming its message (guid) or counterpart (handle, address): a freed fragment that merely
// decodes as an empty record is not a message.
bool Listable(const RawMessage& r) {
  const MessageItem& m = r.item;
  if (!m.text.empty() || !m.attachments.empty() || m.unsent || !m.deleted) return true;
  return !m.date.empty() && (!r.guid.empty() || m.handleId != 0 || !r.address.empty());
}

void NoteRowid(const ScannedRow& row, uint64_t& maxRowid) {
  const int64_t rowid = row.record.rowid.value_or(0);
  if (rowid > 0 && uint64_t(rowid) > maxRowid) maxRowid = uint64_t(rowid);
}

// Reads the rows of the message table `scan` asks for and hands each message to `onMessage`
// as it is read.
template <class OnMessage>
void ReadMessages(CSqliteFileReader& reader, const Columns& c, OnMessage onMessage,
                  const ScanOptions& scan = {}) {
  const bool oldLayout = IsOldLayout(c);
  Walk(reader, "message", c, [&](const ScannedRow& row) {
    NoteRowid(row, reader.MaxRowid);
    RawMessage m;
    if (DecodeMessage(row, c, oldLayout, m)) onMessage(std::move(m));
  }, scan);
}

// Decoded messages kept packed, one after the other in chunks of a megabyte (a few dozen bytes
// each beyond their texts, where a message object and its allocations take several hundred),
// taken out again in the order they were put in; a chunk is given back once it is read.
class PackedMessages {
 public:
  void Add(const RawMessage& m) {
    entry_.clear();
    const MessageItem& i = m.item;
    for (int64_t n : {int64_t(i.deleted), i.rowId, i.handleId, int64_t(i.fromMe),
                      int64_t(i.edited), int64_t(i.unsent), m.associatedType, m.retracted,
                      m.groupId, int64_t(i.earlierTexts.size())})
      PutNumber(uint64_t(n));
    for (const std::string* t : {&i.text, &i.date, &i.service, &m.guid, &m.associatedGuid,
                                 &m.threadGuid, &m.address, &m.room})
      PutText(*t);
    for (const std::string& t : i.earlierTexts) PutText(t);
    if (chunks_.empty() || chunks_.back().capacity() - chunks_.back().size() < entry_.size()) {
      chunks_.emplace_back().reserve(std::max(kChunk, entry_.size()));
    }
    chunks_.back() += entry_;
  }
  // The next message; false when all were taken.
  bool Take(RawMessage& m) {
    while (!chunks_.empty() && at_ >= chunks_.front().size()) {
      chunks_.pop_front();
      at_ = 0;
    }
    if (chunks_.empty()) return false;
    const std::string& bytes = chunks_.front();
    m = RawMessage{};
    MessageItem& i = m.item;
    i.deleted = int32_t(GetNumber(bytes));
    i.rowId = int64_t(GetNumber(bytes));
    i.handleId = int64_t(GetNumber(bytes));
    i.fromMe = int32_t(GetNumber(bytes));
    i.edited = int32_t(GetNumber(bytes));
    i.unsent = int32_t(GetNumber(bytes));
    m.associatedType = int64_t(GetNumber(bytes));
    m.retracted = int64_t(GetNumber(bytes));
    m.groupId = int64_t(GetNumber(bytes));
    i.earlierTexts.resize(size_t(GetNumber(bytes)));
    for (std::string* t : {&i.text, &i.date, &i.service, &m.guid, &m.associatedGuid,
                           &m.threadGuid, &m.address, &m.room})
      GetText(bytes, *t);
    for (std::string& t : i.earlierTexts) GetText(bytes, t);
    return true;
  }

 private:
  static constexpr size_t kChunk = size_t(1) << 20;
  void PutNumber(uint64_t n) {
    while (n >= 0x80) {
      entry_.push_back(char(uint8_t(n) | 0x80));
      n >>= 7;
    }
    entry_.push_back(char(n));
  }
  void PutText(const std::string& t) {
    PutNumber(t.size());
    entry_ += t;
  }
  uint64_t GetNumber(const std::string& bytes) {
    uint64_t n = 0;
    for (int shift = 0;; shift += 7) {
      const uint8_t b = uint8_t(bytes[at_++]);
      n |= uint64_t(b & 0x7f) << shift;
      if (b < 0x80) return n;
    }
  }
  void GetText(const std::string& bytes, std::string& t) {
    const size_t n = size_t(GetNumber(bytes));
    t.assign(bytes, at_, n);
    at_ += n;
  }
  std::deque<std::string> chunks_;
  std::string entry_;  // the message being packed
  size_t at_ = 0;      // read position in the first chunk
};

// The deleted rows of the message table, carved on a thread of their own with a reader of
// their own while the other tables and the live rows are read: carving is most of a big
// table's time and needs nothing the live rows give. Messages come back in the order a whole
// scan gives them after the live rows.
class MessageCarver {
 public:
  // Starts carving the file at `path`; false when it cannot be opened a second time (the
  // caller then reads the carved rows itself).
  bool Start(const std::string& path) {
    if (extract::OpenDatabase(reader_, path) != 0) return false;
    columns_ = std::make_unique<Columns>(MessageColumns(reader_));
    thread_ = std::thread([this] { Run(); });
    return true;
  }
  ~MessageCarver() { Stop(); }
  // Asks a running carving to end soon and waits for it (its rows are then incomplete).
  void Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Waits for the carving; the carved messages and the largest rowid seen, or false when
  // the carving could not run to its end (the caller then reads the carved rows itself).
  bool Finish(PackedMessages& out, uint64_t& maxRowid) {
    if (thread_.joinable()) thread_.join();
    if (!complete_) return false;
    out = std::move(rows_);
    maxRowid = std::max(maxRowid, maxRowid_);
    return true;
  }

 private:
  void Run() {
    try {
      if (!columns_->present()) {
        complete_ = true;
        return;
      }
      const bool oldLayout = IsOldLayout(*columns_);
      reader_.TableName = "message";
      ScanOptions scan = CarvedOnly();
      scan.fallbackColumns = columns_->count();
      const int32_t status = ScanTable(reader_, "message", scan, [&](const ScannedRow& row) {
        if (stop_) return false;
        NoteRowid(row, maxRowid_);
        RawMessage m;
        if (DecodeMessage(row, *columns_, oldLayout, m)) rows_.Add(m);
        return true;
      });
      complete_ = status != kSqliteStopped;
    } catch (const std::exception&) {
      complete_ = false;
    }
  }

 public:
  static ScanOptions LiveOnly() {
    ScanOptions scan;
    scan.carve = false;
    scan.freelist = false;
    scan.wal = false;
    return scan;
  }
  static ScanOptions CarvedOnly() {
    ScanOptions scan;
    scan.live = false;
    return scan;
  }

 private:
  CSqliteFileReader reader_;
  std::unique_ptr<Columns> columns_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  bool complete_ = false;
  PackedMessages rows_;
  uint64_t maxRowid_ = 0;
};

class Builder {
 public:
  Builder(MessageMap& map, const NameIndex& names) : map_(map), names_(names) {}

  std::string PersonKey(const std::string& address) const {
    std::string key = names_.Normalise(address);
    return key.empty() ? address : key;
  }

  // The conversation of one person (created with `id` when new).
  Conversation& Person(const std::string& person, const std::string& id,
                       const std::string& address, int64_t handleId) {
    auto [it, inserted] = personConversation_.try_emplace(person, id);
    Conversation& c = map_[it->second];
    if (inserted || c.id.empty()) {
      c.id = it->second;
      c.handleId = handleId;
      if (!address.empty()) c.members.push_back({address, names_.Find(address), {}});
      c.title = c.members.empty() ? std::string() : c.members.front().name;
    }
    return c;
  }
  Conversation* FindPerson(const std::string& person) {
    auto it = personConversation_.find(person);
    return it == personConversation_.end() ? nullptr : &map_[it->second];
  }
  Conversation& Group(const std::string& id) {
    Conversation& c = map_[id];
    c.id = id;
    c.group = true;
    return c;
  }
  static void AddService(ConversationMember& m, const std::string& service) {
    if (service.empty()) return;
    for (size_t at = 0; at <= m.service.size();) {
      size_t end = m.service.find('/', at);
      if (end == std::string::npos) end = m.service.size();
      if (m.service.compare(at, end - at, service) == 0) return;
      at = end + 1;
    }
    m.service += m.service.empty() ? service : "/" + service;
  }

 private:
  MessageMap& map_;
  const NameIndex& names_;
  std::unordered_map<std::string, std::string> personConversation_;
};

std::string JoinedNames(const std::vector<ConversationMember>& members) {
  std::string out;
  for (const ConversationMember& m : members) {
    if (!out.empty()) out += ", ";
    out += m.name.empty() ? m.address : m.name;
  }
  return out;
}

void SortAndFile(std::vector<std::pair<std::string, MessageItem>>& filed, MessageMap& map) {
  std::stable_sort(filed.begin(), filed.end(), [](const auto& a, const auto& b) {
    return extract::LessIgnoreCase(a.second.date, b.second.date);
  });
  for (auto& [id, m] : filed) {
    m.conversation = id;
    map[id].messages.push_back(std::move(m));
  }
  // A conversation made for a person whose messages all went elsewhere stays out.
  for (auto it = map.begin(); it != map.end();) {
    it = it->second.messages.empty() ? map.erase(it) : std::next(it);
  }
}

// The iOS 4-5 layout: one conversation per counterpart (SMS and iMessage together), and one
// per iMessage room or group of several members.
void BuildOldLayout(CSqliteFileReader& reader, std::vector<RawMessage>& raw,
                    const NameIndex& names, MessageMap& map) {
  // Members of each msg_group.
  std::map<int64_t, std::vector<std::string>> groupMembers;
  {
    const Columns c(reader, "group_member", {"group_id", "address"});
    Walk(reader, "group_member", c, [&](const ScannedRow& row) {
      if (row.deleted) return;
      std::string address = PlainTextOf(c.at(row.record, 1));
      if (!address.empty()) groupMembers[IntOf(c.at(row.record, 0))].push_back(address);
    });
  }
  Builder builder(map, names);
  std::vector<std::pair<std::string, MessageItem>> filed;
  for (RawMessage& r : raw) {
    MessageItem& m = r.item;
    if (!Listable(r)) continue;
    std::string id;
    auto members = groupMembers.find(r.groupId);
    const bool group =
        !r.room.empty() || (members != groupMembers.end() && members->second.size() > 1);
    if (group) {
      id = !r.room.empty() ? "room-" + r.room : "group-" + std::to_string(r.groupId);
      Conversation& c = builder.Group(id);
      if (c.members.empty() && members != groupMembers.end()) {
        for (const std::string& a : members->second) c.members.push_back({a, names.Find(a), {}});
        c.title = JoinedNames(c.members);
      }
      if (c.title.empty()) c.title = r.room;
    } else {
      const std::string person = builder.PersonKey(r.address);
      Conversation& c = builder.Person(
          person, r.groupId != 0 ? "group-" + std::to_string(r.groupId) : "address-" + person,
          r.address, 0);
      if (!c.members.empty()) Builder::AddService(c.members.front(), m.service);
      id = c.id;
    }
    m.phone = r.address;
    m.name = names.Find(r.address);
    m.sender = m.fromMe ? "Me" : (m.name.empty() ? m.phone : m.name);
    filed.emplace_back(id, std::move(m));
  }
  SortAndFile(filed, map);
}

// Where each message of the table went, by its guid: a reaction or a reply names its target
// by guid. A guid is kept as two independent 64-bit hashes (16 bytes, where the text and a
// hash-table node would take ten times that for a million messages); the first message of a
// guid is its place, as a later carved copy of it is not.
class GuidIndex {
 public:
  struct Place {
    uint64_t first = 0;
    uint64_t second = 0;
    // The filed message, or else its text when it has one (the low bit tells which).
    uintptr_t target = 0;
    MessageItem* item() const {
      return (target & 1) == 0 ? reinterpret_cast<MessageItem*>(target) : nullptr;
    }
    const std::string* text() const {
      return (target & 1) != 0 ? reinterpret_cast<const std::string*>(target & ~uintptr_t(1))
                               : nullptr;
    }
  };
  void Add(std::string_view guid, MessageItem* item, const std::string* text) {
    const uintptr_t target = item != nullptr   ? reinterpret_cast<uintptr_t>(item)
                             : text != nullptr ? reinterpret_cast<uintptr_t>(text) | 1
                                               : 0;
    places_.push_back({Hash(guid, 0xcbf29ce484222325ULL), Hash(guid, 0x84222325cbf29ce4ULL),
                       target});
  }
  // Sorts the places; Find works after this.
  void Seal() {
    std::stable_sort(places_.begin(), places_.end(), [](const Place& a, const Place& b) {
      return a.first != b.first ? a.first < b.first : a.second < b.second;
    });
  }
  const Place* Find(std::string_view guid) const {
    const Place key{Hash(guid, 0xcbf29ce484222325ULL), Hash(guid, 0x84222325cbf29ce4ULL)};
    auto it = std::lower_bound(places_.begin(), places_.end(), key,
                               [](const Place& a, const Place& b) {
                                 return a.first != b.first ? a.first < b.first
                                                           : a.second < b.second;
                               });
    if (it == places_.end() || it->first != key.first || it->second != key.second)
      return nullptr;
    return &*it;
  }

 private:
  // FNV-1a with the given start, then mixed (splitmix64's finaliser).
  static uint64_t Hash(std::string_view text, uint64_t start) {
    uint64_t h = start;
    for (unsigned char c : text) h = (h ^ c) * 0x100000001b3ULL;
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ULL;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebULL;
    return h ^ (h >> 31);
  }
  std::vector<Place> places_;
};

// The messages of one conversation as they are read, in blocks that never move (a filed
// message keeps its address until the end) and grow with the conversation, so that neither
// a copy of every message nor a vector's doubling reserve is ever held.
// Pairs of numbers where the first pair of a key counts (a map's try_emplace), kept as one
// sorted array: 16 bytes a pair where a hash map of a million pairs takes three times that.
class FirstByKey {
 public:
  void Add(int64_t key, int64_t value) { pairs_.emplace_back(key, value); }
  // Sorts the pairs; Find works after this.
  void Seal() {
    std::stable_sort(pairs_.begin(), pairs_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    pairs_.shrink_to_fit();
  }
  const int64_t* Find(int64_t key) const {
    auto it = std::lower_bound(pairs_.begin(), pairs_.end(), key,
                               [](const auto& p, int64_t k) { return p.first < k; });
    return it != pairs_.end() && it->first == key ? &it->second : nullptr;
  }

 private:
  std::vector<std::pair<int64_t, int64_t>> pairs_;
};

class StagedMessages {
 public:
  StagedMessages() = default;
  StagedMessages(const StagedMessages&) = delete;
  StagedMessages& operator=(const StagedMessages&) = delete;
  ~StagedMessages() { Free(); }

  MessageItem& Add(MessageItem&& m) {
    if (blocks_.empty() || used_ == blockSize_) {
      // 4, 16, 64, then 512 messages (200 KB: a mapping of its own, see
      // KeepLargeAllocationsApart, given back as soon as the conversation is moved). A block's
      // room is not touched before it is used, so the unused end of the last one costs nothing.
      if (!blocks_.empty()) blockSize_ = blockSize_ >= 64 ? 512 : blockSize_ * 4;
      blocks_.push_back({std::allocator<MessageItem>().allocate(blockSize_), blockSize_});
      used_ = 0;
    }
    MessageItem* slot = new (blocks_.back().items + used_++) MessageItem(std::move(m));
    order_.push_back(slot);
    return *slot;
  }
  // Moves the messages into `out` in date order (reading order where dates are equal), each
  // with its conversation's key, and frees the blocks.
  void MoveInto(const std::string& key, std::vector<MessageItem>& out) {
    std::stable_sort(order_.begin(), order_.end(), [](const MessageItem* a, const MessageItem* b) {
      return extract::LessIgnoreCase(a->date, b->date);
    });
    out.reserve(out.size() + order_.size());
    for (MessageItem* m : order_) {
      out.push_back(std::move(*m));
      out.back().conversation = key;
    }
    Free();
  }

 private:
  struct Block {
    MessageItem* items;
    size_t size;
  };
  void Free() {
    for (MessageItem* m : order_) m->~MessageItem();
    for (const Block& b : blocks_) std::allocator<MessageItem>().deallocate(b.items, b.size);
    order_.clear();
    order_.shrink_to_fit();
    blocks_.clear();
  }
  std::vector<Block> blocks_;
  std::vector<MessageItem*> order_;  // every message of the blocks, in reading order at first
  size_t blockSize_ = 4;
  size_t used_ = 0;
};

}  // namespace

bool TypedStreamText(std::string_view archive, std::string& text) {
  static constexpr std::string_view kMagic = "\x04\x0bstreamtyped";
  static constexpr std::string_view kClass = "NSString";
  if (archive.substr(0, kMagic.size()) != kMagic) return false;
  size_t at = archive.find(kClass, kMagic.size());
  if (at == std::string_view::npos) return false;
  at += kClass.size();
  // The class name is followed by its version and the start of the object's values, then the
  // type code "+" (a UTF-8 string). Messages writes 01 94 84 01 2B; look for the "+" of that
  // sequence within the next bytes rather than at a fixed offset.
  size_t plus = archive.find("\x84\x01+", at);
  if (plus == std::string_view::npos || plus > at + 16) return false;
  size_t pos = plus + 3;
  if (pos >= archive.size()) return false;
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(archive[i]); };
  uint64_t length = 0;
  const uint8_t lead = byte(pos++);
  if (lead < 0x80) {
    length = lead;
  } else if (lead == 0x81 || lead == 0x82) {
    const size_t width = lead == 0x81 ? 2 : 4;
    if (archive.size() - pos < width) return false;
    for (size_t i = 0; i < width; ++i) length |= uint64_t(byte(pos + i)) << (8 * i);
    pos += width;
  } else {
    return false;
  }
  if (length > archive.size() - pos) return false;
  std::string_view bytes = archive.substr(pos, size_t(length));
  if (!IsValidUtf8(bytes) || bytes.find('\0') != std::string_view::npos) return false;
  text.assign(bytes);
  return true;
}

std::string ConversationLabel(const Conversation& c) {
  if (!c.title.empty()) return c.title;
  if (c.group) return JoinedNames(c.members);
  if (!c.members.empty() && !c.members.front().address.empty()) return c.members.front().address;
  return "Unknown";
}

std::string ConversationLabel(const ChatConversation& c) {
  if (!c.title.empty()) return c.title;
  if (!c.members.empty()) return JoinedNames(c.members);
  return "Unknown";
}

Conversation OneToOne(std::string id, std::vector<MessageItem> messages) {
  Conversation c;
  c.id = std::move(id);
  const MessageItem* person = messages.empty() ? nullptr : &messages.front();
  for (const MessageItem& m : messages) {
    if (m.fromMe == 0) {
      person = &m;
      break;
    }
  }
  if (person != nullptr) {
    c.handleId = person->handleId;
    c.title = person->name == "Unknown" ? std::string() : person->name;
    if (!person->phone.empty() || !c.title.empty())
      c.members.push_back({person->phone, c.title, person->service});
  }
  for (MessageItem& m : messages) m.conversation = c.id;
  c.messages = std::move(messages);
  return c;
}

ChatConversation OneChat(int64_t sessionId, std::vector<ChatMessageItem> messages) {
  ChatConversation c;
  c.sessionId = sessionId;
  if (!messages.empty()) {
    const ChatMessageItem& first = messages.front();
    c.title = first.chatTitle;
    const auto split = [](const std::string& text) {
      std::vector<std::string> parts;
      size_t at = 0;
      while (at <= text.size()) {
        size_t end = text.find(',', at);
        if (end == std::string::npos) end = text.size();
        size_t from = at, to = end;  // "a, b" as well as "a,b"
        while (from < to && text[from] == ' ') ++from;
        while (to > from && text[to - 1] == ' ') --to;
        parts.push_back(text.substr(from, to - from));
        at = end + 1;
      }
      return parts;
    };
    const std::vector<std::string> phones = split(first.chatPhones);
    const std::vector<std::string> names = split(first.chatNames);
    c.group = phones.size() > 1;
    for (size_t i = 0; i < phones.size(); ++i) {
      if (phones[i].empty() && (i >= names.size() || names[i].empty())) continue;
      c.members.push_back({phones[i], i < names.size() ? names[i] : std::string(), "WhatsApp"});
    }
  }
  for (ChatMessageItem& m : messages) m.sessionId = sessionId;
  c.messages = std::move(messages);
  return c;
}

size_t MessageCount(const MessageMap& map) {
  size_t n = 0;
  for (const auto& [id, c] : map) n += c.messages.size();
  return n;
}

size_t MessageCount(const ChatMap& map) {
  size_t n = 0;
  for (const auto& [id, c] : map) n += c.messages.size();
  return n;
}

int32_t ExtractMessages(const std::string& addressBookPath, MessageMap& map,
                        const MessageExtractOptions& options, const std::string& messagesPath,
                        int64_t& messageRowidBase) {
  const int32_t cur = options.current;
  const int32_t step = options.step;
  const auto finish = [&](int32_t result) {
    if (options.progress) {
      const int32_t answer = options.progress.Report(cur + step);
      if (answer != 0) return answer;
    }
    return result;
  };
  const auto stopAt = [&](int32_t divisor) {
    return options.progress ? options.progress.Report(cur + step / divisor) : 0;
  };

  CSqliteFileReader reader;
  const int32_t opened = extract::OpenDatabase(reader, messagesPath);
  if (opened != 0) return finish(opened);
  reader.MaxRowid = 0;
  const Columns messageColumns = MessageColumns(reader);
  // The deleted messages are carved meanwhile on the second core (the iOS 4-5 layout, small
  // by nature, is read in one pass).
  MessageCarver carver;
  const bool carving =
      !IsOldLayout(messageColumns) && messageColumns.present() && carver.Start(messagesPath);

  // The small tables first: each message is then filed as it is read, never held twice.
  std::unordered_map<int64_t, HandleInfo> handles;  // first handle row per rowid
  {
    const Columns c(reader, "handle", {"id", "service"});
    Walk(reader, "handle", c, [&](const ScannedRow& row) {
      const int64_t rowid = row.record.rowid.value_or(0);
      std::string address;
      if (rowid == 0 || !GoodText(c.at(row.record, 0), address) || address.empty()) return;
      handles.try_emplace(rowid, HandleInfo{address, PlainTextOf(c.at(row.record, 1)), {}});
    });
  }
  if (int32_t a = stopAt(5); a != 0) return finish(a);

  // Attachments: every join row of a message, in join order.
  struct AttachmentInfo {
    std::string fileName, transferName, mime;
  };
  std::unordered_map<int64_t, AttachmentInfo> attachments;
  {
    const Columns c(reader, "attachment", {"filename", "transfer_name", "mime_type"});
    Walk(reader, "attachment", c, [&](const ScannedRow& row) {
      const int64_t rowid = row.record.rowid.value_or(0);
      if (rowid == 0) return;
      AttachmentInfo a{PlainTextOf(c.at(row.record, 0)), PlainTextOf(c.at(row.record, 1)),
                       PlainTextOf(c.at(row.record, 2))};
      if (a.fileName.empty() && a.transferName.empty()) return;
      attachments.try_emplace(rowid, std::move(a));
    });
  }
  if (int32_t a = stopAt(4); a != 0) return finish(a);
  // Only a join row's message_id ties an attachment to a message. Two rules keep rows of
  // other tables out: the records of freed pages are not read (a freed page of any table of
  // two integers, chat_message_join or chat_handle_join, has this shape too), and a carved
  // row is dropped when its attachment is joined to another message by a live row (a file
  // belongs to one message).
  std::unordered_map<int64_t, std::vector<int64_t>> attachmentsOf;
  {
    std::set<std::pair<int64_t, int64_t>> seen;
    std::vector<std::pair<int64_t, int64_t>> carved;
    std::unordered_set<int64_t> liveAttachments;
    const Columns c(reader, "message_attachment_join", {"message_id", "attachment_id"});
    ScanOptions ownPages;
    ownPages.freelist = false;
    Walk(reader, "message_attachment_join", c, [&](const ScannedRow& row) {
      if (row.origin.freedPage) return;
      const int64_t message = IntOf(c.at(row.record, 0));
      const int64_t attachment = IntOf(c.at(row.record, 1));
      if (message <= 0 || attachment <= 0 || !seen.insert({message, attachment}).second) return;
      if (row.deleted) {
        carved.emplace_back(message, attachment);
        return;
      }
      liveAttachments.insert(attachment);
      attachmentsOf[message].push_back(attachment);
    }, ownPages);
    for (const auto& [message, attachment] : carved) {
      if (!liveAttachments.count(attachment)) attachmentsOf[message].push_back(attachment);
    }
  }
  if (int32_t a = stopAt(3); a != 0) return finish(a);

  // Chats and the joins of messages to chats (Recently Deleted included).
  std::map<int64_t, ChatRow> chats;
  FirstByKey chatOf;  // message rowid -> chat rowid
  std::unordered_set<int64_t> recentlyDeleted;
  {
    const Columns c(reader, "chat", {"style", "chat_identifier", "display_name"});
    Walk(reader, "chat", c, [&](const ScannedRow& row) {
      const int64_t rowid = row.record.rowid.value_or(0);
      if (rowid == 0 || chats.count(rowid)) return;
      ChatRow chat;
      chat.rowId = rowid;
      chat.style = IntOf(c.at(row.record, 0));
      chat.identifier = PlainTextOf(c.at(row.record, 1));
      chat.displayName = PlainTextOf(c.at(row.record, 2));
      chats.emplace(rowid, std::move(chat));
    });
    const Columns h(reader, "chat_handle_join", {"chat_id", "handle_id"});
    Walk(reader, "chat_handle_join", h, [&](const ScannedRow& row) {
      auto it = chats.find(IntOf(h.at(row.record, 0)));
      const int64_t handle = IntOf(h.at(row.record, 1));
      if (it == chats.end() || handle == 0) return;
      auto& list = it->second.handles;
      if (std::find(list.begin(), list.end(), handle) == list.end()) list.push_back(handle);
    });
    const Columns j(reader, "chat_message_join", {"chat_id", "message_id"});
    Walk(reader, "chat_message_join", j, [&](const ScannedRow& row) {
      const int64_t chat = IntOf(j.at(row.record, 0)), message = IntOf(j.at(row.record, 1));
      if (chat != 0 && message != 0) chatOf.Add(message, chat);
    });
    const Columns d(reader, "chat_recoverable_message_join", {"chat_id", "message_id"});
    Walk(reader, "chat_recoverable_message_join", d, [&](const ScannedRow& row) {
      if (row.deleted) return;
      const int64_t chat = IntOf(d.at(row.record, 0)), message = IntOf(d.at(row.record, 1));
      if (chat == 0 || message == 0) return;
      chatOf.Add(message, chat);
      recentlyDeleted.insert(message);
    });
  }

  chatOf.Seal();

  // Names: the address book, read with its own reader.
  NameIndex names = ReadNameIndex(addressBookPath, options.newerAddressBook, options.region);
  if (int32_t a = stopAt(2); a != 0) return finish(a);

  if (IsOldLayout(messageColumns)) {
    std::vector<RawMessage> raw;
    ReadMessages(reader, messageColumns, [&](RawMessage&& m) { raw.push_back(std::move(m)); });
    messageRowidBase = int64_t(reader.MaxRowid);
    if (int32_t a = stopAt(1); a != 0) return finish(a);
    BuildOldLayout(reader, raw, names, map);
    return finish(0);
  }

  Builder builder(map, names);
  for (auto& [rowid, h] : handles) h.person = builder.PersonKey(h.address);

  // Conversations of the chats: a group chat is its own; the one-to-one chats of one person
  // (any service) share the conversation of the lowest chat rowid.
  std::unordered_map<int64_t, std::string> conversationOfChat;
  for (auto& [rowid, chat] : chats) {
    std::vector<const HandleInfo*> members;
    std::set<std::string> persons;
    for (int64_t h : chat.handles) {
      auto it = handles.find(h);
      if (it == handles.end()) continue;
      if (persons.insert(it->second.person).second) members.push_back(&it->second);
    }
    const std::string id = "chat-" + std::to_string(rowid);
    if (members.size() > 1 || chat.style == 43) {
      Conversation& c = builder.Group(id);
      c.chatId = rowid;
      for (const HandleInfo* h : members) {
        c.members.push_back({h->address, names.Find(h->address), h->service});
      }
      c.title = !chat.displayName.empty() ? chat.displayName : JoinedNames(c.members);
      conversationOfChat[rowid] = id;
      continue;
    }
    std::string address = members.empty() ? chat.identifier : members.front()->address;
    if (address.empty()) continue;
    int64_t firstHandle = chat.handles.empty() ? 0 : chat.handles.front();
    Conversation& c = builder.Person(builder.PersonKey(address), id, address, firstHandle);
    if (c.chatId == 0) c.chatId = rowid;
    if (!members.empty() && !c.members.empty())
      Builder::AddService(c.members.front(), members.front()->service);
    conversationOfChat[rowid] = c.id;
  }

  const auto senderOf = [&](const MessageItem& m) -> std::string {
    if (m.fromMe) return "Me";
    auto h = handles.find(m.handleId);
    if (h == handles.end()) return {};
    const std::string& name = names.Find(h->second.address);
    return name.empty() ? h->second.address : name;
  };

  // Reactions and replies name their target by guid, and the target may come later in the
  // table: they are kept aside (few) and applied once every message has its place.
  struct Reaction {
    std::string date;
    std::string target;
    std::string by;
    int64_t type = 0;
  };
  std::vector<Reaction> reactions;
  std::vector<std::pair<MessageItem*, std::string>> replies;
  GuidIndex places;
  std::deque<std::string> otherTexts;  // texts of messages that are not filed (reactions)
  const auto place = [&](const std::string& guid, MessageItem* item, const std::string* text) {
    if (!guid.empty()) places.Add(guid, item, text);
  };
  std::unordered_map<Conversation*, StagedMessages> staged;
  // A carved row with neither text nor attachment waits until every row is read: when a live
  // row holds its guid it is an older version of that row (an update leaves one behind), not
  // a message of its own. The live rows' guids are kept as hashes for that.
  std::vector<size_t> liveGuids;
  std::vector<RawMessage> emptyCarved;
  bool readingRows = true;
  const auto guidHash = [](const std::string& guid) { return std::hash<std::string>()(guid); };

  const auto file = [&](RawMessage&& r) {
    const bool carvedRow = r.item.deleted != 0;
    if (!carvedRow && !r.guid.empty()) liveGuids.push_back(guidHash(r.guid));
    if (IsReactionType(r.associatedType) && !r.associatedGuid.empty()) {
      reactions.push_back({r.item.date, TargetGuid(r.associatedGuid), senderOf(r.item),
                           r.associatedType});
      place(r.guid, nullptr, r.item.text.empty() ? nullptr : &otherTexts.emplace_back(r.item.text));
      return;
    }
    MessageItem& m = r.item;
    // Attachments (a carved message without its rowid is never paired).
    if (m.rowId != 0) {
      if (auto links = attachmentsOf.find(m.rowId); links != attachmentsOf.end()) {
        for (int64_t id : links->second) {
          auto a = attachments.find(id);
          if (a == attachments.end()) continue;
          const AttachmentInfo& info = a->second;
          std::string name = info.transferName;
          if (name.empty()) name = info.fileName.substr(info.fileName.find_last_of('/') + 1);
          std::string path;
          if (options.locate && !info.fileName.empty()) {
            std::string relative = info.fileName;
            for (std::string_view prefix : {"~/", "/var/mobile/", "/private/var/mobile/"}) {
              if (relative.rfind(prefix, 0) == 0) relative.erase(0, prefix.size());
            }
            path = options.locate(relative);
          }
          m.attachments.push_back({name, path, info.mime});
        }
        if (auto first = attachments.find(links->second.front()); first != attachments.end())
          m.attachment = first->second.fileName;
      }
      if (recentlyDeleted.count(m.rowId)) m.deleted = 1;
    }
    if (!Listable(r)) {
      place(r.guid, nullptr, nullptr);
      return;
    }
    if (readingRows && carvedRow && m.text.empty() && m.attachments.empty() && !m.unsent) {
      emptyCarved.push_back(std::move(r));
      return;
    }

    auto h = handles.find(m.handleId);
    const HandleInfo* handle = h == handles.end() ? nullptr : &h->second;
    if (m.service.empty() && handle) m.service = handle->service;
    std::string id;
    if (const int64_t* chat = m.rowId != 0 ? chatOf.Find(m.rowId) : nullptr; chat != nullptr) {
      if (auto conv = conversationOfChat.find(*chat); conv != conversationOfChat.end())
        id = conv->second;
      m.chatId = *chat;
    }
    if (id.empty()) {
      // No chat join survives: the conversation of the handle's person.
      if (handle) {
        if (Conversation* c = builder.FindPerson(handle->person)) {
          id = c->id;
        } else {
          id = builder.Person(handle->person, "handle-" + std::to_string(m.handleId),
                              handle->address, m.handleId).id;
        }
      } else {
        id = "handle-" + std::to_string(m.handleId);
        Conversation& c = map[id];
        c.id = id;
        c.handleId = m.handleId;
      }
    }
    Conversation& c = map[id];
    if (handle) {
      m.phone = handle->address;
      m.name = names.Find(handle->address);
    } else if (!c.group && !c.members.empty()) {
      // A sent message of a one-to-one chat may carry no handle: the chat names its person.
      m.phone = c.members.front().address;
      m.name = c.members.front().name;
    }
    if (!c.group && !c.members.empty()) Builder::AddService(c.members.front(), m.service);
    m.sender = senderOf(m);
    if (m.sender.empty()) m.sender = m.fromMe ? "Me" : m.phone;
    m.guid = r.guid;
    MessageItem& filed = staged[&c].Add(std::move(m));
    place(r.guid, &filed, nullptr);
    if (!r.threadGuid.empty()) replies.emplace_back(&filed, std::move(r.threadGuid));
  };
  if (carving) {
    ReadMessages(reader, messageColumns, file, MessageCarver::LiveOnly());
    PackedMessages carved;
    if (carver.Finish(carved, reader.MaxRowid)) {
      for (RawMessage m; carved.Take(m);) file(std::move(m));
    } else {
      ReadMessages(reader, messageColumns, file, MessageCarver::CarvedOnly());
    }
  } else {
    ReadMessages(reader, messageColumns, file);
  }
  readingRows = false;
  std::sort(liveGuids.begin(), liveGuids.end());
  for (RawMessage& r : emptyCarved) {
    if (!r.guid.empty() && std::binary_search(liveGuids.begin(), liveGuids.end(), guidHash(r.guid)))
      continue;
    file(std::move(r));
  }
  std::vector<RawMessage>().swap(emptyCarved);
  std::vector<size_t>().swap(liveGuids);
  messageRowidBase = int64_t(reader.MaxRowid);
  // What only the reading needed goes before the sorting below takes its room.
  chatOf = FirstByKey();
  std::unordered_map<int64_t, std::vector<int64_t>>().swap(attachmentsOf);
  std::unordered_map<int64_t, AttachmentInfo>().swap(attachments);
  std::unordered_set<int64_t>().swap(recentlyDeleted);
  if (int32_t a = stopAt(1); a != 0) return finish(a);
  places.Seal();

  // Reactions in date order: one standing reaction per person, a removal takes its own back.
  std::stable_sort(reactions.begin(), reactions.end(), [](const Reaction& a, const Reaction& b) {
    return extract::LessIgnoreCase(a.date, b.date);
  });
  for (const Reaction& r : reactions) {
    const GuidIndex::Place* target = places.Find(r.target);
    if (target == nullptr || target->item() == nullptr) continue;
    auto& list = target->item()->reactions;
    const std::string kind = ReactionKind(r.type);
    if (r.type < 3000) {
      std::erase_if(list, [&](const MessageReaction& x) { return x.by == r.by; });
      list.push_back({kind, r.by});
    } else {
      std::erase_if(list, [&](const MessageReaction& x) { return x.by == r.by && x.kind == kind; });
    }
  }
  // Replies in a thread name the message they answer.
  for (auto& [item, thread] : replies) {
    const GuidIndex::Place* target = places.Find(thread);
    if (target == nullptr) continue;
    const std::string* text = target->item() ? &target->item()->text : target->text();
    item->replyTo = text != nullptr && !text->empty() ? *text : "(attachment)";
  }

  // Each conversation's messages in date order (as read where dates are equal).
  for (auto it = map.begin(); it != map.end();) {
    auto found = staged.find(&it->second);
    if (found == staged.end()) {
      // A conversation made for a person whose messages all went elsewhere stays out.
      it = map.erase(it);
      continue;
    }
    found->second.MoveInto(it->first, it->second.messages);
    staged.erase(found);
    ++it;
  }
  return finish(0);
}

}  // namespace halvern
