// Contacts: one card per person, its numbers, e-mail addresses and postal addresses with their
// labels from ABMultiValue, its names from ABPersonFullTextSearch_content (from ABPerson in an
// older book without that table); the search row's texts stand in for values ABMultiValue
// does not hold.
//
// Locate: HomeDomain-Library/AddressBook/AddressBook.sqlitedb (file id
// 31bb7ba8914766d4ba40d6dfb6113c8b614be442); the caller passes the path.
// Schema variants: the phone column is c15Phone (iOS 7-9) or c16Phone (iOS 10 on; the newer
// layout, chosen by `newerSchema` when the columns cannot be found by name).
#include <algorithm>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "extractors/names.h"
#include "sqlite_recovery/decoders.h"

namespace halvern {

namespace {

void AddOnce(std::vector<LabeledValue>& to, LabeledValue value) {
  for (const LabeledValue& v : to) {
    if (v.value == value.value) return;
  }
  to.push_back(std::move(value));
}

// The values one per line, each text once.
std::string Lines(const std::vector<LabeledValue>& values) {
  std::string out;
  std::vector<std::string_view> seen;
  for (const LabeledValue& v : values) {
    if (std::find(seen.begin(), seen.end(), v.value) != seen.end()) continue;
    seen.push_back(v.value);
    if (!out.empty()) out += '\n';
    out += v.value;
  }
  return out;
}

}  // namespace

int32_t ExtractContacts(bool newerSchema, const std::string& addressBookPath,
                        std::vector<ContactItem>& out, int64_t& contactRowidBase) {
  // Read.
  CSqliteFileReader reader;
  reader.SchemaVariantFlag = newerSchema ? 1 : 0;
  const int32_t opened = extract::OpenDatabase(reader, addressBookPath);
  std::vector<ContactItem> decoded;
  if (opened == 0) extract::DecodeAddressBook(reader, decoded);

  // Map: a card's values from ABMultiValue; where the address book has none for it, the
  // numbers found in its search text (without labels), its e-mail addresses and its address.
  // Only people with a phone number are listed.
  const std::string region = RegionOfContacts(decoded);
  std::vector<ContactItem> kept;
  kept.reserve(decoded.size());
  for (ContactItem& c : decoded) {
    if (c.numbers.empty()) {
      for (std::string& n : PhoneNumbersInText(c.phones, region)) c.numbers.push_back({{}, std::move(n)});
    }
    if (c.emails.empty()) {
      size_t start = 0;
      while (start < c.email.size()) {
        size_t end = c.email.find_first_of(" \t\n", start);
        if (end == std::string::npos) end = c.email.size();
        std::string token = c.email.substr(start, end - start);
        if (token.find('@') != std::string::npos) AddOnce(c.emails, {{}, std::move(token)});
        start = end + 1;
      }
    }
    if (c.addresses.empty() && !c.address.empty()) c.addresses.push_back({{}, c.address});
    if (c.numbers.empty()) continue;
    if (c.name.empty()) c.name = "No Name";
    c.phones = Lines(c.numbers);
    c.email = Lines(c.emails);
    c.address = Lines(c.addresses);
    kept.push_back(std::move(c));
  }
  std::stable_sort(kept.begin(), kept.end(), [](const ContactItem& a, const ContactItem& b) {
    return extract::LessIgnoreCase(a.name, b.name);
  });
  out = std::move(kept);
  contactRowidBase = opened == 0 ? int64_t(reader.ContactsExportRowid) : 0;
  return opened;
}

}  // namespace halvern
