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
  // `contacts` as the address-book decoder delivers them (numbers separated by spaces in
  // `phones`, addresses by spaces in `email`); `region` (ISO 3166 code such as "DE") is used
  // when the address book has no international number to tell the region by.
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

// Reads the address book at `path` (layout of iOS 12 and later when `newerSchema`) into a name
// index. An unreadable or missing address book gives an empty index.
NameIndex ReadNameIndex(const std::string& path, bool newerSchema, std::string_view region = {});

}  // namespace halvern
