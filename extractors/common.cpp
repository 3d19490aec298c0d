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

bool ReadAddressBook(CSqliteFileReader& reader, const std::string& path, bool newerSchema,
                     std::vector<ContactItem>& out) {
  out.clear();
  reader.SchemaVariantFlag = newerSchema ? 1 : 0;
  if (OpenDatabase(reader, path) != 0) return false;
  DecodeContacts(reader, out);
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
