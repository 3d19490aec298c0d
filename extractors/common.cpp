// Helpers shared by the extractors (see common.h).
#include "extractors/common.h"

#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "sqlite_recovery/decoders.h"

namespace halvern::extract {

int32_t OpenDatabase(CSqliteFileReader& reader, const std::string& path) {
  struct stat st {};
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    reader.Close();
    return kSqliteInvalid;
  }
  return reader.Open(path);
}

namespace {

// ABMultiValue properties.
constexpr int64_t kPhoneProperty = 3;
constexpr int64_t kEmailProperty = 4;
constexpr int64_t kAddressProperty = 5;
constexpr int64_t kUrlProperty = 22;
constexpr int64_t kSocialProperty = 46;

void AppendSpaced(std::string& to, std::string_view value) {
  if (value.empty()) return;
  if (!to.empty()) to += ' ';
  to.append(value);
}

// rowid -> text of a table of one text column (ABMultiValueLabel, ABMultiValueEntryKey).
std::unordered_map<int64_t, std::string> TextsByRowid(CSqliteFileReader& reader,
                                                      std::string_view table) {
  std::unordered_map<int64_t, std::string> out;
  const Columns c(reader, table, {"value"});
  ScanOptions liveOnly;
  liveOnly.carve = false;
  liveOnly.freelist = false;
  Walk(reader, table, c, [&](const ScannedRow& row) {
    const int64_t rowid = row.record.rowid.value_or(0);
    std::string text;
    if (rowid > 0 && GoodText(c.at(row.record, 0), text)) out.try_emplace(rowid, std::move(text));
  }, liveOnly);
  return out;
}

// The values of the people of ABMultiValue, with their labels and the parts of structured
// values (addresses, social profiles) from ABMultiValueEntry.
class CardValues {
 public:
  int32_t Read(CSqliteFileReader& reader) {
    int32_t status = DecodeAbMultiValues(reader, values_);
    std::vector<AbMultiValueEntryRow> entries;
    if (const int32_t s = DecodeAbMultiValueEntries(reader, entries); status == 0) status = s;
    labels_ = TextsByRowid(reader, "ABMultiValueLabel");
    const auto keys = TextsByRowid(reader, "ABMultiValueEntryKey");
    // Parts in key order.
    std::unordered_map<int64_t, std::vector<const AbMultiValueEntryRow*>> parts;
    for (const AbMultiValueEntryRow& e : entries) parts[e.parentId].push_back(&e);
    for (auto& [parent, list] : parts) {
      std::stable_sort(list.begin(), list.end(),
                       [](const auto* a, const auto* b) { return a->key < b->key; });
      std::string joined;
      std::set<int64_t> seenKeys;
      for (const auto* part : list) {
        if (!seenKeys.insert(part->key).second) continue;  // an older copy of the same part
        if (!joined.empty()) joined += ", ";
        joined += part->value;
      }
      structured_.emplace(parent, std::move(joined));
    }
    for (const AbMultiValueRow& v : values_) byPerson_[v.recordId].push_back(&v);
    return status;
  }

  // Fills the card's labelled values from its ABMultiValue rows: a live person takes its live
  // values, a carved person the values left of it. False when the table holds none for it.
  bool Fill(ContactItem& c, bool alsoCarved) const {
    const auto it = c.rowId > 0 ? byPerson_.find(c.rowId) : byPerson_.end();
    if (it == byPerson_.end()) return false;
    bool any = false;
    for (const AbMultiValueRow* v : it->second) {
      if (v->deleted && !alsoCarved) continue;
      if (!v->deleted && c.deleted) continue;
      const auto part = structured_.find(v->uid);
      const std::string& structured = part == structured_.end() ? kNone : part->second;
      const std::string value = structured.empty() ? v->value : structured;
      if (value.empty()) continue;
      LabeledValue labeled{LabelName(v->label), value};
      switch (v->property) {
        case kPhoneProperty: c.numbers.push_back(std::move(labeled)); break;
        case kEmailProperty: c.emails.push_back(std::move(labeled)); break;
        case kAddressProperty: c.addresses.push_back(std::move(labeled)); break;
        case kUrlProperty: AppendSpaced(c.url, value); break;
        case kSocialProperty: AppendSpaced(c.social, value); break;
        default: continue;
      }
      any = true;
    }
    return any;
  }

 private:
  // "_$!<Mobile>!$_" is the system's label "Mobile"; a label of the user's own ("iPhone",
  // "Boat") is stored as it reads.
  std::string LabelName(int64_t label) const {
    const auto it = labels_.find(label);
    if (it == labels_.end()) return {};
    std::string_view text = it->second;
    if (text.size() > 8 && text.substr(0, 4) == "_$!<" && text.substr(text.size() - 4) == ">!$_")
      return std::string(text.substr(4, text.size() - 8));
    return std::string(text);
  }

  static inline const std::string kNone;
  std::vector<AbMultiValueRow> values_;
  std::unordered_map<int64_t, std::string> labels_;
  std::unordered_map<int64_t, std::string> structured_;
  std::unordered_map<int64_t, std::vector<const AbMultiValueRow*>> byPerson_;
};

int32_t DecodeOlderAddressBook(CSqliteFileReader& reader, std::vector<ContactItem>& out) {
  std::vector<AbPersonRow> people;
  int32_t status = DecodeAbPersons(reader, people);
  CardValues values;
  if (const int32_t s = values.Read(reader); status == 0) status = s;
  std::unordered_map<int64_t, bool> seenLive;
  for (const AbPersonRow& p : people) {
    // A carved copy of a person who is still there is an older state of that card.
    if (p.deleted && p.rowId != 0 && seenLive.count(p.rowId)) continue;
    if (!p.deleted) seenLive[p.rowId] = true;
    ContactItem c;
    c.deleted = p.deleted;
    c.rowId = p.rowId;
    c.name = p.first.empty() || p.last.empty() ? p.first + p.last : p.first + ' ' + p.last;
    c.company = p.organization;
    values.Fill(c, p.deleted != 0);
    out.push_back(std::move(c));
  }
  return status;
}

}  // namespace

int32_t DecodeAddressBook(CSqliteFileReader& reader, std::vector<ContactItem>& out) {
  int32_t status = 0;
  if (reader.FindTable("ABPersonFullTextSearch_content") == nullptr &&
      reader.FindTable("ABPerson") != nullptr) {
    status = DecodeOlderAddressBook(reader, out);
  } else {
    status = DecodeContacts(reader, out);
    // The search row of a person (its docid is the person's rowid) gives the names; the
    // values come from ABMultiValue wherever it holds them.
    if (reader.FindTable("ABMultiValue") != nullptr) {
      CardValues values;
      if (const int32_t s = values.Read(reader); status == 0) status = s;
      for (ContactItem& c : out) {
        ContactItem filled;
        filled.rowId = c.rowId;
        filled.deleted = c.deleted;
        if (!values.Fill(filled, c.deleted != 0)) continue;
        c.numbers = std::move(filled.numbers);
        c.emails = std::move(filled.emails);
        c.addresses = std::move(filled.addresses);
      }
    }
  }
  for (ContactItem& c : out) {
    if (c.name.empty()) c.name = c.company;
  }
  return status;
}

bool ReadAddressBook(CSqliteFileReader& reader, const std::string& path, bool newerSchema,
                     std::vector<ContactItem>& out) {
  out.clear();
  reader.SchemaVariantFlag = newerSchema ? 1 : 0;
  if (OpenDatabase(reader, path) != 0) return false;
  DecodeAddressBook(reader, out);
  return true;
}

bool LessIgnoreCase(std::string_view a, std::string_view b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto fold = [](char c) {
      unsigned char u = static_cast<unsigned char>(c);
      return (u >= 'A' && u <= 'Z') ? u + 32u : unsigned(u);
    };
    return fold(x) < fold(y);
  });
}

}  // namespace halvern::extract
