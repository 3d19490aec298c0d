// Names by address (see names.h).
#include "extractors/names.h"

#include <phonenumbers/phonenumber.pb.h>
#include <phonenumbers/phonenumbermatch.h>
#include <phonenumbers/phonenumbermatcher.h>
#include <phonenumbers/phonenumberutil.h>

#include <algorithm>
#include <map>
#include <set>

#include "extractors/common.h"

namespace halvern {
namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberMatch;
using i18n::phonenumbers::PhoneNumberMatcher;
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

// The country calling code of an international number written in one or more tokens
// ("+49 30 123456"): the first joined prefix that reads as a possible number; 0 when none.
int CountryCodeOfTokens(const std::vector<std::string_view>& tokens, size_t i) {
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  std::string joined;
  for (size_t j = i; j < tokens.size() && j < i + 4 && IsPhoneToken(tokens[j]); ++j) {
    if (j > i && tokens[j].front() == '+') break;
    joined += tokens[j];
    PhoneNumber number;
    if (util.Parse(joined, "ZZ", &number) == PhoneNumberUtil::NO_PARSING_ERROR &&
        util.IsPossibleNumber(number)) {
      return number.country_code();
    }
  }
  return 0;
}

// The characters a written phone number is made of (digits, "+", brackets, dashes, dots,
// slashes and spaces).
bool IsWrittenNumberChar(char c) { return IsPhoneChar(c) || c == ' '; }

}  // namespace

std::string RegionOfContacts(const std::vector<ContactItem>& contacts) {
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  std::map<int, size_t> counts;
  for (const ContactItem& c : contacts) {
    if (!c.numbers.empty()) {
      for (const LabeledValue& n : c.numbers) {
        PhoneNumber number;
        std::string_view v = n.value;
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        if (v.empty() || v.front() != '+') continue;
        if (util.Parse(std::string(v), "ZZ", &number) == PhoneNumberUtil::NO_PARSING_ERROR &&
            util.IsPossibleNumber(number)) {
          ++counts[number.country_code()];
        }
      }
      continue;
    }
    const std::vector<std::string_view> tokens = Tokens(c.phones);
    for (size_t i = 0; i < tokens.size(); ++i) {
      if (tokens[i].front() != '+') continue;
      if (const int code = CountryCodeOfTokens(tokens, i); code != 0) ++counts[code];
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

std::vector<std::string> PhoneNumbersInText(std::string_view text, std::string_view regionHint) {
  const PhoneNumberUtil& util = *PhoneNumberUtil::GetInstance();
  const std::string region = regionHint.empty() ? std::string("ZZ") : std::string(regionHint);
  const std::string whole(text);

  // The spans (byte offsets) of the numbers the matcher finds.
  struct Span {
    size_t begin = 0, end = 0;
  };
  std::vector<Span> spans;
  {
    PhoneNumberMatcher matcher(util, whole, region, PhoneNumberMatcher::POSSIBLE, 65535);
    PhoneNumberMatch match;
    size_t from = 0;
    while (matcher.HasNext() && matcher.Next(&match)) {
      const size_t at = whole.find(match.raw_string(), from);
      if (at == std::string::npos) continue;
      spans.push_back({at, at + match.raw_string().size()});
      from = spans.back().end;
    }
  }
  // Without a region the matcher reads international numbers only: the number tokens of the
  // text stand in for it then.
  const std::vector<std::string_view> tokens = Tokens(text);
  if (spans.empty()) {
    for (std::string_view t : tokens) {
      if (IsPhoneToken(t)) {
        const size_t at = size_t(t.data() - text.data());
        spans.push_back({at, at + t.size()});
      }
    }
  }
  // The forms without punctuation the text holds: a number cut by the matcher is joined again
  // when the joined digits are one of them.
  // A form is known by its digits and by its national significant number ("030 9876543" and
  // "+49309876543" are one number in Germany).
  const auto nationalNumber = [&](std::string_view written) {
    PhoneNumber number;
    std::string nsn;
    if (util.Parse(std::string(written), region, &number) == PhoneNumberUtil::NO_PARSING_ERROR)
      util.GetNationalSignificantNumber(number, &nsn);
    return nsn;
  };
  std::set<std::string> unbroken;
  for (std::string_view t : tokens) {
    if (IsPhoneToken(t) && std::all_of(t.begin(), t.end(), [](char c) {
          return c == '+' || (c >= '0' && c <= '9');
        })) {
      unbroken.insert(Digits(t));
      if (std::string nsn = nationalNumber(t); !nsn.empty()) unbroken.insert("n:" + nsn);
    }
  }
  const auto joinable = [&](size_t begin, size_t end) {
    const std::string_view written = text.substr(begin, end - begin);
    if (unbroken.count(Digits(written))) return true;
    const std::string nsn = nationalNumber(written);
    return !nsn.empty() && unbroken.count("n:" + nsn) > 0;
  };

  std::vector<std::string> out;
  std::set<std::string> seen;
  std::vector<std::string> kept;  // digits of the numbers given
  size_t previousEnd = 0;
  for (size_t i = 0; i < spans.size(); ++i) {
    Span span = spans[i];
    // Joined with the following matches that are separated from it by spaces only.
    for (size_t j = i + 1; j < spans.size(); ++j) {
      const std::string_view gap = text.substr(span.end, spans[j].begin - span.end);
      if (gap.find_first_not_of(' ') != std::string_view::npos) break;
      if (!joinable(span.begin, spans[j].end)) continue;
      span.end = spans[j].end;
      i = j;
    }
    // Widened to the front over written number characters the matcher left out ("+1 (555) "
    // before "028-5702"), from the start of a token.
    for (size_t p = previousEnd; p < span.begin; ++p) {
      if (p > 0 && text[p - 1] != ' ') continue;
      if (text[p] == ' ') continue;
      const std::string_view front = text.substr(p, span.begin - p);
      if (!std::all_of(front.begin(), front.end(), IsWrittenNumberChar)) continue;
      if (joinable(p, span.end)) {
        span.begin = p;
        break;
      }
    }
    // A match that runs over two numbers ("015101007919 7919") ends where its first part is a
    // number the text also holds unbroken; the rest is read on its own.
    if (!joinable(span.begin, span.end)) {
      for (size_t q = span.begin + 1; q < span.end; ++q) {
        if (text[q] != ' ' || !joinable(span.begin, q)) continue;
        size_t rest = q;
        while (rest < span.end && text[rest] == ' ') ++rest;
        if (rest < span.end) spans.insert(spans.begin() + ptrdiff_t(i) + 1, Span{rest, span.end});
        span.end = q;
        break;
      }
    }
    previousEnd = span.end;
    std::string value(text.substr(span.begin, span.end - span.begin));
    while (!value.empty() && value.back() == ' ') value.pop_back();
    if (value.empty()) continue;
    // One number once: later forms of the same national significant number are left out.
    std::string key;
    PhoneNumber number;
    if (util.Parse(value, region, &number) == PhoneNumberUtil::NO_PARSING_ERROR) {
      util.GetNationalSignificantNumber(number, &key);
    }
    if (key.empty()) key = Digits(value);
    if (!seen.insert(key).second) continue;
    // The search text also keeps the last digits of a number on their own ("7919" after
    // "+4915101007919"): a number's tail is no number of its own.
    const std::string digits = Digits(value);
    if (std::any_of(kept.begin(), kept.end(), [&](const std::string& k) {
          return k.size() > digits.size() && k.compare(k.size() - digits.size(), digits.size(), digits) == 0;
        }))
      continue;
    kept.push_back(digits);
    out.push_back(std::move(value));
  }
  return out;
}

NameIndex::NameIndex(const std::vector<ContactItem>& contacts, std::string_view region) {
  std::string found = RegionOfContacts(contacts);
  if (found.empty() || found == "ZZ") found = RegionOfHint(region);
  if (!found.empty()) region_ = found;
  for (const ContactItem& c : contacts) {
    // A card with no person's name is named by its organisation.
    std::string name = c.name;
    if (name.empty() || name == "No Name") name = c.company;
    if (name.empty()) continue;
    // A card's own values are whole numbers and addresses.
    if (!c.numbers.empty() || !c.emails.empty()) {
      for (const LabeledValue& n : c.numbers) Add(Normalise(n.value), name);
      for (const LabeledValue& e : c.emails) {
        if (e.value.find('@') != std::string::npos) Add(Normalise(e.value), name);
      }
      continue;
    }
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
