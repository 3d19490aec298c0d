#include "engine/scan_merge.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <cstdio>
#include <fstream>
#include <set>
#include <string_view>
#include <type_traits>
#include <unordered_map>

namespace halvern {

namespace fs = std::filesystem;

namespace {

constexpr size_t kNone = SIZE_MAX;

// What names an item: its own id where the store keeps one, and the values that name it
// where the id is lost (a carved row, an older store).
struct Identity {
  std::string id;
  std::string fallback;
};

// Parts joined with a separator no stored text of these fields holds.
std::string Joined(std::initializer_list<std::string_view> parts) {
  std::string out;
  for (std::string_view p : parts) {
    out.append(p);
    out += '\x1f';
  }
  return out;
}

// The items of the merged results (by slot) against which the items of one more backup are
// matched. An item of that backup takes at most one slot, and a slot is taken at most once per
// backup: two items one backup keeps apart stay apart.
class Matcher {
 public:
  size_t Add(Identity key, bool taken) {
    const size_t slot = keys_.size();
    if (!key.id.empty()) byId_[key.id].push_back(slot);
    if (!key.fallback.empty()) byFallback_[key.fallback].push_back(slot);
    keys_.push_back(std::move(key));
    taken_.push_back(taken);
    return slot;
  }
  size_t Find(const Identity& key) {
    if (!key.id.empty()) {
      if (auto it = byId_.find(key.id); it != byId_.end()) {
        for (size_t slot : it->second) {
          if (!taken_[slot]) return Take(slot);
        }
      }
    }
    if (key.fallback.empty()) return kNone;
    auto it = byFallback_.find(key.fallback);
    if (it == byFallback_.end()) return kNone;
    for (size_t slot : it->second) {
      // Two different ids are two different items, however alike the rest.
      if (taken_[slot] || (!key.id.empty() && !keys_[slot].id.empty())) continue;
      return Take(slot);
    }
    return kNone;
  }

 private:
  size_t Take(size_t slot) {
    taken_[slot] = true;
    return slot;
  }
  std::vector<Identity> keys_;
  std::vector<bool> taken_;
  std::unordered_map<std::string, std::vector<size_t>> byId_, byFallback_;
};

Identity KeyOf(const MessageItem& m) {
  return {m.guid, Joined({m.date, m.phone, m.text, m.fromMe ? "1" : "0"})};
}
Identity KeyOf(const ChatMessageItem& m) {
  return {m.stanzaId, Joined({m.date, m.phone, m.text, m.fromMe ? "1" : "0"})};
}
Identity KeyOf(const CallItem& c) {
  return {c.uniqueId,
          Joined({c.date, c.phone, std::to_string(c.duration), c.incoming ? "1" : "0"})};
}
Identity KeyOf(const ContactItem& c) {
  std::vector<std::string> numbers;
  for (const LabeledValue& v : c.numbers) numbers.push_back(v.value);
  if (numbers.empty()) {
    size_t from = 0;
    while (from < c.phones.size()) {
      const size_t end = std::min(c.phones.find('\n', from), c.phones.size());
      if (end > from) numbers.push_back(c.phones.substr(from, end - from));
      from = end + 1;
    }
  }
  std::sort(numbers.begin(), numbers.end());
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
  std::string key = Joined({c.name});
  for (const std::string& n : numbers) key += Joined({n});
  return {{}, key};
}
Identity KeyOf(const NoteItem& n) { return {n.identifier, Joined({n.date, n.title, n.body})}; }

// A row of its table (files are always there as they are).
template <class T>
bool Live(const T& item) {
  if constexpr (std::is_same_v<T, TableRow>) {
    return item.origin == ItemSource::kLive;
  } else if constexpr (requires { item.deleted; }) {
    return item.deleted == 0;
  } else {
    return true;
  }
}

// `kept` stands for `other` too: it names one more backup (an older one), and takes the
// older copy's values when that copy is live and its own is not.
template <class T>
void Absorb(T& kept, T&& other, const std::string& label) {
  std::vector<std::string> labels = std::move(kept.backups);
  if (labels.empty() || labels.front() != label) labels.insert(labels.begin(), label);
  if (!Live(kept) && Live(other)) kept = std::move(other);
  kept.backups = std::move(labels);
}

template <class T>
void MergeList(std::vector<T>& into, std::vector<T>& from, const std::string& label,
               const std::function<Identity(const T&)>& keyOf) {
  Matcher matcher;
  for (const T& item : into) matcher.Add(keyOf(item), false);
  for (T& item : from) {
    const Identity key = keyOf(item);
    if (const size_t slot = matcher.Find(key); slot != kNone) {
      Absorb(into[slot], std::move(item), label);
      continue;
    }
    matcher.Add(key, true);
    item.backups = {label};
    into.push_back(std::move(item));
  }
}

// ----- Files: by their bytes ---------------------------------------------------------------------

template <class T>
void MergeFiles(std::vector<T>& into, std::vector<T>& from, const std::string& label,
                std::unordered_map<std::string, std::string>& hashes) {
  const auto hashOf = [&](const fs::path& path) -> const std::string& {
    auto [it, fresh] = hashes.try_emplace(path.string());
    if (fresh) it->second = FileContentHash(path);
    return it->second;
  };
  std::unordered_map<uint64_t, std::vector<size_t>> bySize;
  for (size_t i = 0; i < into.size(); ++i) {
    if (into[i].size > 0) bySize[into[i].size].push_back(i);
  }
  std::vector<bool> taken(into.size(), false);
  const size_t before = into.size();
  for (T& item : from) {
    size_t match = kNone;
    if (auto it = bySize.find(item.size); item.size > 0 && it != bySize.end()) {
      const std::string hash = hashOf(item.path);
      for (size_t i : it->second) {
        if (i >= before || taken[i] || hash.empty()) continue;
        if (hashOf(into[i].path) == hash) {
          match = i;
          break;
        }
      }
    }
    if (match != kNone) {
      taken[match] = true;
      Absorb(into[match], std::move(item), label);
      continue;
    }
    item.backups = {label};
    into.push_back(std::move(item));
  }
}

// ----- Conversations ---------------------------------------------------------------------------

// The person or group a conversation is with, the same on every phone: a one-to-one
// conversation's address, a group's members' addresses; empty when it names nobody.
template <class C>
std::string ConversationKey(const C& c) {
  if (c.members.empty()) {
    // A conversation whose chat rows are gone: the one address its messages share, if any.
    std::string address;
    for (const auto& m : c.messages) {
      if (m.phone.empty()) continue;
      if (!address.empty() && address != m.phone) return {};
      address = m.phone;
    }
    return address.empty() || c.group ? std::string() : "person\x1f" + address;
  }
  if (!c.group) return "person\x1f" + c.members.front().address;
  std::vector<std::string> addresses;
  for (const ConversationMember& m : c.members) addresses.push_back(m.address);
  std::sort(addresses.begin(), addresses.end());
  std::string key = "group\x1f";
  for (const std::string& a : addresses) key += Joined({a});
  return key;
}

template <class C>
void AddMembers(C& into, const C& from) {
  for (const ConversationMember& m : from.members) {
    const bool known = std::any_of(into.members.begin(), into.members.end(),
                                   [&](const ConversationMember& k) { return k.address == m.address; });
    if (!known) into.members.push_back(m);
  }
}

template <class M>
void SortByDate(std::vector<M>& messages) {
  std::stable_sort(messages.begin(), messages.end(),
                   [](const M& a, const M& b) { return a.date < b.date; });
}

// Keys of a conversation map: the text ids of Messages, the session numbers of WhatsApp.
std::string FreeKey(const MessageMap& map, const std::string& id, size_t fold) {
  if (!map.count(id)) return id;
  std::string key = id + "-" + std::to_string(fold);
  for (int n = 2; map.count(key); ++n) key = id + "-" + std::to_string(fold) + "-" + std::to_string(n);
  return key;
}
int64_t FreeKey(const ChatMap& map, int64_t id, size_t) {
  if (!map.count(id)) return id;
  return map.empty() ? id : std::max<int64_t>(map.rbegin()->first, 0) + 1;
}

// A message's own record of its conversation (Messages); WhatsApp's is the chat's key.
std::string PlaceOf(const MessageItem& m) { return m.conversation; }
int64_t PlaceOf(const ChatMessageItem&) { return 0; }
void SetConversation(MessageItem& m, const std::string& id) { m.conversation = id; }
void SetConversation(ChatMessageItem&, int64_t) {}
void SetId(Conversation& c, const std::string& id) { c.id = id; }
void SetId(ChatConversation&, int64_t) {}

template <class Map>
void MergeConversations(Map& into, Map& from, const std::string& label, size_t fold) {
  using Conv = typename Map::mapped_type;
  using Key = typename Map::key_type;
  using Msg = typename decltype(Conv::messages)::value_type;
  std::unordered_map<std::string, Key> byPerson;
  struct Ref {
    Conv* conversation;
    size_t index;
  };
  std::vector<Ref> refs;
  Matcher matcher;
  for (auto& [id, c] : into) {
    if (const std::string person = ConversationKey(c); !person.empty()) byPerson.try_emplace(person, id);
    for (size_t i = 0; i < c.messages.size(); ++i) {
      matcher.Add(KeyOf(c.messages[i]), false);
      refs.push_back({&c, i});
    }
  }
  std::set<Conv*> grown;
  std::vector<Key> added;
  for (auto& [id, c] : from) {
    const std::string person = ConversationKey(c);
    Key target{};
    if (auto it = person.empty() ? byPerson.end() : byPerson.find(person); it != byPerson.end()) {
      target = it->second;
      AddMembers(into[target], c);
    } else {
      target = FreeKey(into, id, fold);
      Conv& fresh = into[target];
      auto messages = std::move(c.messages);
      fresh = c;
      c.messages = std::move(messages);
      SetId(fresh, target);
      if (!person.empty()) byPerson.emplace(person, target);
      added.push_back(target);
    }
    Conv& conversation = into[target];
    for (Msg& m : c.messages) {
      const Identity key = KeyOf(m);
      if (const size_t slot = matcher.Find(key); slot != kNone) {
        Msg& kept = refs[slot].conversation->messages[refs[slot].index];
        const auto place = PlaceOf(kept);
        Absorb(kept, std::move(m), label);
        SetConversation(kept, place);
        continue;
      }
      SetConversation(m, target);
      m.backups = {label};
      matcher.Add(key, true);
      refs.push_back({&conversation, conversation.messages.size()});
      conversation.messages.push_back(std::move(m));
      grown.insert(&conversation);
    }
  }
  for (Conv* c : grown) SortByDate(c->messages);
  // A conversation opened for an older backup whose messages all belonged elsewhere.
  for (const Key& k : added) {
    if (into[k].messages.empty()) into.erase(k);
  }
}

// ----- Labels of the newest backup -----------------------------------------------------------

template <class T>
void LabelAll(std::vector<T>& items, const std::string& label) {
  for (T& item : items) item.backups = {label};
}

void LabelAll(ScanResults& r, const std::string& label) {
  LabelAll(r.cameraRoll, label);
  LabelAll(r.photoStream, label);
  LabelAll(r.appFiles, label);
  for (auto& [id, c] : r.messages) LabelAll(c.messages, label);
  LabelAll(r.messageAttachments, label);
  LabelAll(r.contacts, label);
  LabelAll(r.calls, label);
  LabelAll(r.notes, label);
  for (auto& [id, c] : r.whatsApp) LabelAll(c.messages, label);
  LabelAll(r.whatsAppAttachments, label);
  for (CategoryTable& t : r.tables) LabelAll(t.rows, label);
}

void MergeSentences(std::map<ScanCategory, std::string>& into,
                    const std::map<ScanCategory, std::string>& from, const std::string& label) {
  for (const auto& [category, text] : from) {
    std::string& kept = into[category];
    if (!kept.empty()) kept += "; ";
    kept += label + ": " + text;
  }
}

Identity RowKey(const CategoryTable& table, const TableRow& row) {
  std::string key;
  for (size_t i = 0; i < row.cells.size(); ++i) {
    const ColumnType type = i < table.columns.size() ? table.columns[i].type : ColumnType::kText;
    key += Joined({CsvText(row.cells[i], type)});
  }
  for (const OwnedFile& f : row.files) key += Joined({f.phonePath});
  return {{}, key};
}

}  // namespace

std::string FileContentHash(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  if (context == nullptr || EVP_DigestInit_ex(context, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(context);
    return {};
  }
  std::vector<char> buffer(1 << 20);
  bool ok = true;
  while (in) {
    in.read(buffer.data(), std::streamsize(buffer.size()));
    const std::streamsize got = in.gcount();
    if (got > 0 && EVP_DigestUpdate(context, buffer.data(), size_t(got)) != 1) ok = false;
  }
  ok = ok && in.eof() && !in.bad();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(context, digest, &length) == 1;
  EVP_MD_CTX_free(context);
  if (!ok) return {};
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < length; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::string BackupLabel(const BackupInfo& info) {
  std::string name = info.displayName;
  if (name.empty()) name = info.folderPath.filename().string();
  return name + ", " + (info.lastBackupDate.empty() ? std::string("no date") : info.lastBackupDate);
}

bool OlderBackup(const BackupInfo& a, const BackupInfo& b) {
  const auto folded = [](const std::string& text) {
    std::string out = text;
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
  };
  return folded(a.lastBackupDate) < folded(b.lastBackupDate);
}

void SortBackupsOldestFirst(std::vector<BackupInfo>& backups) {
  std::stable_sort(backups.begin(), backups.end(), OlderBackup);
}

ScanResults MergeScans(std::vector<LabeledScan> scans) {
  if (scans.empty()) return {};
  if (scans.size() == 1) return std::move(scans.front().results);
  // The newest backup is the base; each older one is folded in, newest to oldest, so that
  // every item's labels come out oldest first.
  std::vector<std::map<ScanCategory, std::string>> said;
  for (const LabeledScan& scan : scans) said.push_back(scan.results.notices);
  ScanResults merged = std::move(scans.back().results);
  LabelAll(merged, scans.back().label);
  std::map<ScanCategory, std::string> errors, notices;
  MergeSentences(errors, merged.errors, scans.back().label);
  MergeSentences(notices, merged.notices, scans.back().label);
  std::unordered_map<std::string, std::string> hashes;
  for (size_t fold = 1; fold < scans.size(); ++fold) {
    LabeledScan& older = scans[scans.size() - 1 - fold];
    ScanResults& r = older.results;
    const std::string& label = older.label;
    MergeFiles(merged.cameraRoll, r.cameraRoll, label, hashes);
    MergeFiles(merged.photoStream, r.photoStream, label, hashes);
    MergeFiles(merged.appFiles, r.appFiles, label, hashes);
    MergeFiles(merged.messageAttachments, r.messageAttachments, label, hashes);
    MergeFiles(merged.whatsAppAttachments, r.whatsAppAttachments, label, hashes);
    MergeConversations(merged.messages, r.messages, label, fold);
    MergeConversations(merged.whatsApp, r.whatsApp, label, fold);
    MergeList<ContactItem>(merged.contacts, r.contacts, label, [](const ContactItem& c) { return KeyOf(c); });
    MergeList<CallItem>(merged.calls, r.calls, label, [](const CallItem& c) { return KeyOf(c); });
    MergeList<NoteItem>(merged.notes, r.notes, label, [](const NoteItem& n) { return KeyOf(n); });
    for (size_t i = 0; i < merged.tables.size() && i < r.tables.size(); ++i) {
      CategoryTable& table = merged.tables[i];
      if (table.columns.empty()) table.columns = r.tables[i].columns;
      MergeList<TableRow>(table.rows, r.tables[i].rows, label,
                          [&table](const TableRow& row) { return RowKey(table, row); });
    }
    MergeSentences(errors, r.errors, label);
    MergeSentences(notices, r.notices, label);
  }
  merged.errors = std::move(errors);
  // What every backup says alike (each holds no Safari history, say) is said once.
  for (auto& [category, text] : notices) {
    std::string alike;
    bool same = true;
    for (const auto& own : said) {
      auto it = own.find(category);
      if (it == own.end() || (!alike.empty() && it->second != alike)) {
        same = false;
        break;
      }
      alike = it->second;
    }
    if (same) text = alike;
  }
  merged.notices = std::move(notices);
  merged.appPhotos.clear();
  merged.appVideos.clear();
  BuildAppMaps(merged.appFiles, merged.appPhotos, merged.appVideos);
  return merged;
}

}  // namespace halvern
