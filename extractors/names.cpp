// Names by address (see names.h).
#include "extractors/names.h"

#include <phonenumbers/phonenumber.pb.h>
#include <phonenumbers/phonenumberutil.h>

#include <algorithm>
#include <map>

#include "extractors/common.h"

namespace halvern {
namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

bool IsPhoneChar(char c) {
  return (c >= '0' && c <= '9') || c == '+' || c == '(' || c == ')' || c == '-' || c == '.' ||
         c == '/';
}

bool IsPhoneToken(std::string_view t) {
  return !t.empty() && std::all_of(t.begin(), t.end(), IsPhoneChar) &&
         std::any_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::vector<std::string_view> Tokens(std::string_view text) {
  std::vector<std::string_view> out;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                               text[i] == '\r' || text[i] == ','))
      ++i;
    size_t start = i;
    while (i < text.size() && !(text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
                                text[i] == '\r' || text[i] == ','))
      ++i;
    if (i > start) out.push_back(text.substr(start, i - start));
  }
  return out;
}

std::string Digits(std::string_view text) {
  std::string d;
  for (char c : text)
    if (c >= '0' && c <= '9') d += c;
  return d;
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return out;
}

// The region of the country calling code that most international numbers of the address book
// carry; "" when none has one.
std::string RegionOfContacts(const std::vector<ContactItem>& contacts) {
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  std::map<int, size_t> counts;
  for (const ContactItem& c : contacts) {
    // An international number may be written in several tokens ("+49 30 123456"): the
    // first joined prefix that reads as a possible number counts.
    const std::vector<std::string_view> tokens = Tokens(c.phones);
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (tokens[i].front() != '+') continue;
      std::string joined;
      for (size_t j = i; j < tokens.size() && j < i + 4 && IsPhoneToken(tokens[j]); ++j) {
        if (j > i && tokens[j].front() == '+') break;
        joined += tokens[j];
        PhoneNumber number;
        if (util.Parse(joined, "ZZ", &number) == PhoneNumberUtil::NO_PARSING_ERROR &&
            util.IsPossibleNumber(number)) {
          ++counts[number.country_code()];
          break;
        }
      }
    }
  }
  if (counts.empty()) return {};
  const auto best = std::max_element(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
    return a.second < b.second;
  });
  std::string region;
  util.GetRegionCodeForCountryCode(best->first, &region);
  return region;
}

// A region given as an ISO code ("DE") or as a phone number of the phone itself ("+49 151 ...").
std::string RegionOfHint(std::string_view hint) {
  if (hint.empty()) return {};
  if (hint.size() == 2 && std::isalpha(uint8_t(hint[0])) && std::isalpha(uint8_t(hint[1]))) {
    return {char(std::toupper(uint8_t(hint[0]))), char(std::toupper(uint8_t(hint[1])))};
  }
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  PhoneNumber number;
  if (util.Parse(std::string(hint), "ZZ", &number) != PhoneNumberUtil::NO_PARSING_ERROR) return {};
  std::string region;
  util.GetRegionCodeForCountryCode(number.country_code(), &region);
  return region;
}

}  // namespace

NameIndex::NameIndex(const std::vector<ContactItem>& contacts, std::string_view region) {
  std::string found = RegionOfContacts(contacts);
  if (found.empty() || found == "ZZ") found = RegionOfHint(region);
  if (!found.empty()) region_ = found;
  for (const ContactItem& c : contacts) {
    // A card with no person's name is named by its organisation.
    std::string name = c.name;
    if (name.empty() || name == "No Name") name = c.company;
    if (name.empty()) continue;
    // The phone text holds the card's numbers separated by spaces, and a number may itself
    // be written with spaces: every run of number tokens gives its joined prefixes of up to
    // four tokens. A short code is taken only from a token that stands alone.
    const std::vector<std::string_view> tokens = Tokens(c.phones);
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (!IsPhoneToken(tokens[i])) continue;
      const bool alone = (i == 0 || !IsPhoneToken(tokens[i - 1])) &&
                         (i + 1 == tokens.size() || !IsPhoneToken(tokens[i + 1]));
      std::string joined;
      for (size_t j = i; j < tokens.size() && j < i + 4 && IsPhoneToken(tokens[j]); ++j) {
        joined += tokens[j];
        const std::string key = Normalise(joined);
        if (key.rfind("short:", 0) == 0 && !(alone && j == i)) continue;
        Add(key, name);
      }
    }
    for (std::string_view t : Tokens(c.email)) {
      if (t.find('@') != std::string_view::npos) Add(Normalise(t), name);
    }
  }
}

void NameIndex::Add(const std::string& key, const std::string& name) {
  if (!key.empty()) names_.try_emplace(key, name);  // the first card keeps a shared number
}

std::string NameIndex::Normalise(std::string_view address) const {
  // Surrounding spaces and a "tel:" / "mailto:" scheme say nothing.
  while (!address.empty() && address.front() == ' ') address.remove_prefix(1);
  while (!address.empty() && address.back() == ' ') address.remove_suffix(1);
  if (address.find('@') != std::string_view::npos) {
    if (address.rfind("mailto:", 0) == 0) address.remove_prefix(7);
    return "mail:" + Lower(address);
  }
  if (address.rfind("tel:", 0) == 0) address.remove_prefix(4);
  const std::string digits = Digits(address);
  if (digits.empty()) return address.empty() ? std::string() : "text:" + Lower(address);
  const bool international = !address.empty() && address.front() == '+';
  if (!international && digits.size() <= 6) return "short:" + digits;
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  PhoneNumber number;
  if (util.Parse(std::string(address), region_, &number) == PhoneNumberUtil::NO_PARSING_ERROR) {
    std::string e164;
    util.Format(number, PhoneNumberUtil::E164, &e164);
    return e164;
  }
  return (international ? "raw:+" : "raw:") + digits;
}

const std::string& NameIndex::Find(std::string_view address) const {
  static const std::string kNone;
  if (names_.empty() || address.empty()) return kNone;
  const auto it = names_.find(Normalise(address));
  return it == names_.end() ? kNone : it->second;
}

NameIndex ReadNameIndex(const std::string& path, bool newerSchema, std::string_view region) {
  CSqliteFileReader reader;
  std::vector<ContactItem> contacts;
  extract::ReadAddressBook(reader, path, newerSchema, contacts);
  return NameIndex(contacts, region);
}

}  // namespace halvern
