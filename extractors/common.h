// Helpers shared by the extractors: opening a database read-only with the extractors' result
// codes, the name lookup over the address book, and text comparisons.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sqlite_recovery/reader.h"
#include "sqlite_recovery/records.h"

namespace halvern::extract {

// Opens `path` with the reader: 0; 87 when the file does not exist or is not a SQLite
// database; the errno value when it exists but cannot be opened. (A missing file is 87 rather
// than ENOENT, whose value 2 would read as "stopped by the user".)
int32_t OpenDatabase(CSqliteFileReader& reader, const std::string& path);

// Names by phone text over the address book as its decoder delivers it (raw phone texts):
// the first contact whose phone text contains the number as a substring, exact characters.
// Answers are remembered per number: a conversation or caller is looked up once.
class ContactNames {
 public:
  explicit ContactNames(std::vector<ContactItem> contacts) : contacts_(std::move(contacts)) {}
  // The name, or "" when no contact matches or `number` is shorter than `minLength` bytes.
  const std::string& Find(const std::string& number, size_t minLength = 1);

 private:
  std::vector<ContactItem> contacts_;
  std::unordered_map<std::string, std::string> cache_;
};

// The people of an open address book as DecodeContacts gives them: from
// ABPersonFullTextSearch_content, or, in an older book without that table, from ABPerson with
// the values of ABMultiValue (phones without their spacing and punctuation, separated by
// spaces, as the search table keeps them) and ABMultiValueEntry. A person without a first or
// last name takes the organisation as name. 0 or the status of the scan.
int32_t DecodeAddressBook(CSqliteFileReader& reader, std::vector<ContactItem>& out);

// Reads the address book's contacts for name lookups (no clean-up). False when the file
// cannot be read; `out` is then empty.
bool ReadAddressBook(CSqliteFileReader& reader, const std::string& path, bool newerSchema,
                     std::vector<ContactItem>& out);

// Less-than without regard to ASCII case (bytes compared as unsigned).
bool LessIgnoreCase(std::string_view a, std::string_view b);

// Number of UTF-8 characters (code points) of a text.
size_t CharCount(std::string_view text);
// The last n characters of a text (all of it when it has fewer).
std::string_view LastChars(std::string_view text, size_t n);

}  // namespace halvern::extract
