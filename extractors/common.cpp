// Helpers shared by the extractors (see common.h).
#include "extractors/common.h"

#include <sys/stat.h>

#include <algorithm>

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

const std::string& ContactNames::Find(const std::string& number, size_t minLength) {
  static const std::string kNone;
  if (number.empty() || number.size() < minLength) return kNone;
  auto [it, inserted] = cache_.try_emplace(number);
  if (inserted) {
    for (const ContactItem& c : contacts_) {
      if (c.phones.find(number) != std::string::npos) {
        it->second = c.name;
        break;
      }
    }
  }
  return it->second;
}

namespace {

// ABMultiValue properties.
constexpr int64_t kPhoneProperty = 3;
constexpr int64_t kEmailProperty = 4;
constexpr int64_t kAddressProperty = 5;
constexpr int64_t kUrlProperty = 22;
constexpr int64_t kSocialProperty = 46;

// A phone number as the search table keeps it: "+", digits, "*" and "#" only.
std::string SearchableNumber(std::string_view typed) {
  std::string out;
  for (char c : typed) {
    if ((c >= '0' && c <= '9') || c == '+' || c == '*' || c == '#') out += c;
  }
  return out;
}

void AppendSpaced(std::string& to, std::string_view value) {
  if (value.empty()) return;
  if (!to.empty()) to += ' ';
  to.append(value);
}

int32_t DecodeOlderAddressBook(CSqliteFileReader& reader, std::vector<ContactItem>& out) {
  std::vector<AbPersonRow> people;
  std::vector<AbMultiValueRow> values;
  std::vector<AbMultiValueEntryRow> entries;
  int32_t status = DecodeAbPersons(reader, people);
  if (const int32_t s = DecodeAbMultiValues(reader, values); status == 0) status = s;
  if (const int32_t s = DecodeAbMultiValueEntries(reader, entries); status == 0) status = s;

  // Structured values (addresses, social profiles): their parts in key order.
  std::unordered_map<int64_t, std::vector<const AbMultiValueEntryRow*>> parts;
  for (const AbMultiValueEntryRow& e : entries) parts[e.parentId].push_back(&e);
  for (auto& [parent, list] : parts) {
    std::stable_sort(list.begin(), list.end(),
                     [](const auto* a, const auto* b) { return a->key < b->key; });
  }
  // A live person takes only live values; a carved person also the values left of it.
  std::unordered_map<int64_t, std::vector<const AbMultiValueRow*>> byPerson;
  for (const AbMultiValueRow& v : values) byPerson[v.recordId].push_back(&v);
  std::unordered_map<int64_t, bool> seenLive;
  for (const AbPersonRow& p : people) {
    // A carved copy of a person who is still there is an older state of that card.
    if (p.deleted && p.rowId != 0 && seenLive.count(p.rowId)) continue;
    if (!p.deleted) seenLive[p.rowId] = true;
    ContactItem c;
    c.deleted = p.deleted;
    c.name = p.first.empty() || p.last.empty() ? p.first + p.last : p.first + ' ' + p.last;
    c.company = p.organization;
    if (auto it = byPerson.find(p.rowId); p.rowId != 0 && it != byPerson.end()) {
      for (const AbMultiValueRow* v : it->second) {
        if (v->deleted && !p.deleted) continue;
        std::string structured;
        if (auto e = parts.find(v->uid); e != parts.end()) {
          for (const auto* part : e->second) AppendSpaced(structured, part->value);
        }
        switch (v->property) {
          case kPhoneProperty: AppendSpaced(c.phones, SearchableNumber(v->value)); break;
          case kEmailProperty: AppendSpaced(c.email, v->value); break;
          case kUrlProperty: AppendSpaced(c.url, v->value); break;
          case kAddressProperty: AppendSpaced(c.address, structured); break;
          case kSocialProperty: AppendSpaced(c.social, structured.empty() ? v->value : structured); break;
          default: break;
        }
      }
    }
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

size_t CharCount(std::string_view text) {
  return size_t(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string_view LastChars(std::string_view text, size_t n) {
  size_t pos = text.size();
  while (n > 0 && pos > 0) {
    --pos;
    if ((static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80) --n;
  }
  return text.substr(pos);
}

}  // namespace halvern::extract
