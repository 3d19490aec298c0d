// Contacts: the address book's ABPersonFullTextSearch_content, one row per person; an older
// book without that table gives its people from ABPerson and ABMultiValue.
//
// Locate: HomeDomain-Library/AddressBook/AddressBook.sqlitedb (file id
// 31bb7ba8914766d4ba40d6dfb6113c8b614be442); the caller passes the path.
// Schema variants: the phone column is c15Phone (iOS 7-9) or c16Phone (iOS 10 on; the newer
// layout, chosen by `newerSchema` when the columns cannot be found by name).
#include <algorithm>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "sqlite_recovery/decoders.h"

namespace halvern {

std::string CleanPhoneList(std::string_view phones) {
  std::string out;
  std::string_view previous;  // last kept token
  bool kept = false;
  size_t start = 0;
  while (start <= phones.size()) {
    size_t space = phones.find(' ', start);
    const size_t end = space == std::string_view::npos ? phones.size() : space;
    std::string_view token = phones.substr(start, end - start);
    if (extract::CharCount(token) >= 7 &&
        (!kept || extract::LastChars(token, 4) != extract::LastChars(previous, 4))) {
      if (kept) out += '\n';
      out.append(token);
      previous = token;
      kept = true;
    }
    if (space == std::string_view::npos) break;
    start = space + 1;
  }
  return out;
}

int32_t ExtractContacts(bool newerSchema, const std::string& addressBookPath,
                        std::vector<ContactItem>& out, int64_t& contactRowidBase) {
  // Read.
  CSqliteFileReader reader;
  reader.SchemaVariantFlag = newerSchema ? 1 : 0;
  const int32_t opened = extract::OpenDatabase(reader, addressBookPath);
  std::vector<ContactItem> decoded;
  if (opened == 0) extract::DecodeAddressBook(reader, decoded);

  // Map: only people with a phone number are listed, each number once.
  std::vector<ContactItem> kept;
  kept.reserve(decoded.size());
  for (ContactItem& c : decoded) {
    if (c.phones.empty()) continue;
    if (c.name.empty()) c.name = "No Name";
    c.phones = CleanPhoneList(c.phones);
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
