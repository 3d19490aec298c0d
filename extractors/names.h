// Names by address over the address book, shared by Messages, Call History and WhatsApp.
//
// Phone numbers are compared after normalisation with libphonenumber in the phone's region
// (the most common country calling code of the address book's international numbers, else the
// region given): "+4930123456", "030123456" and "+49 30 123456" are one number in Germany.
// Numbers match when their normalised forms are equal, never by substring. Short codes (six
// digits or fewer) match only the same digits. E-mail addresses match a card's addresses
// without regard to case. A card with no person's name is named by its organisation.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sqlite_recovery/records.h"

namespace halvern {

class NameIndex {
 public:
  NameIndex() = default;
  // `contacts` as the address-book reader delivers them: a card's numbers and e-mail addresses
  // from `numbers` and `emails` when it has them, else from its search texts (numbers separated
  // by spaces in `phones`, addresses by spaces in `email`); `region` (ISO 3166 code such as
  // "DE", or a number of the phone itself) is used when the address book has no international
  // number to tell the region by.
  explicit NameIndex(const std::vector<ContactItem>& contacts, std::string_view region = {});

  // The name of the card holding `address` (a phone number, short code or e-mail address);
  // "" when no card does.
  const std::string& Find(std::string_view address) const;
  // The form addresses are compared in: "+4930123456" (E.164), "short:24273",
  // "mail:ann@example.com", or "raw:<digits>" for numbers libphonenumber cannot read.
  std::string Normalise(std::string_view address) const;
  // The region numbers without a country code are read in ("ZZ" when unknown).
  const std::string& region() const { return region_; }
  bool empty() const { return names_.empty(); }

 private:
  void Add(const std::string& key, const std::string& name);
  std::string region_ = "ZZ";
  std::unordered_map<std::string, std::string> names_;
};

// The region (ISO 3166 code) of the country calling code that most international numbers of
// the address book carry; "" when none has one.
std::string RegionOfContacts(const std::vector<ContactItem>& contacts);

// The phone numbers written in a text such as the address book's search column, which holds
// each number as it was typed followed by its forms without punctuation
// ("+49 151 12345678 +4915112345678"): found with libphonenumber's matcher in `region` ("" or
// "ZZ": international numbers only, then the text's number tokens), a number split into
// several matches or cut at its front joined again where the text also holds it without
// spaces, and each number given once (the first form, as written; later forms with the same
// national significant number, and the last digits of a number standing alone, are left out).
std::vector<std::string> PhoneNumbersInText(std::string_view text, std::string_view region);

// Reads the address book at `path` (layout of iOS 12 and later when `newerSchema`) into a name
// index. An unreadable or missing address book gives an empty index.
NameIndex ReadNameIndex(const std::string& path, bool newerSchema, std::string_view region = {});

}  // namespace halvern
