// The list of table categories: one line per kind of data. A new kind is its own file in this
// folder and one line here.
#include <cstring>

#include "categories/category.h"
#include "platform/platform.h"
#include "sqlite_recovery/reader.h"

namespace halvern {

extern const TableCategory kPhotosCategory;
extern const TableCategory kVoicemailCategory;
extern const TableCategory kVoiceMemosCategory;
extern const TableCategory kCalendarCategory;
extern const TableCategory kRemindersCategory;
extern const TableCategory kSafariBookmarksCategory;
extern const TableCategory kSafariHistoryCategory;

const std::vector<const TableCategory*>& TableCategories() {
  static const std::vector<const TableCategory*> kList = {
      &kVoicemailCategory,
      &kVoiceMemosCategory,
      &kCalendarCategory,
      &kRemindersCategory,
      &kSafariBookmarksCategory,
      &kSafariHistoryCategory,
      &kPhotosCategory,
  };
  return kList;
}

const TableCategory* FindTableCategory(std::string_view key) {
  const std::string wanted = platform::AsciiLower(std::string(key));
  for (const TableCategory* c : TableCategories()) {
    if (platform::AsciiLower(c->key) == wanted) return c;
  }
  return nullptr;
}

std::string DatabaseProblem(const std::filesystem::path& path, const std::string& name) {
  std::error_code ec;
  if (path.empty() || !std::filesystem::is_regular_file(path, ec)) return {};
  CSqliteFileReader reader;
  const int32_t opened = reader.Open(path.string());
  std::string cause;
  if (opened == kSqliteInvalid) {
    cause = "it is not a SQLite database (its header is damaged or it is enciphered)";
  } else if (opened == kSqliteReadFault) {
    cause = "the file is shorter than its header says";
  } else if (opened != 0) {
    cause = std::strerror(opened);
  } else if (reader.Tables().empty()) {
    cause = "its list of tables cannot be read (the first page is damaged)";
  }
  return cause.empty() ? std::string() : name + " could not be read: " + cause;
}

std::string OpenDatabase(const std::filesystem::path& path, const std::string& name,
                         const char* table, const char* what, CSqliteFileReader& reader) {
  std::string problem = DatabaseProblem(path, name);
  if (!problem.empty()) return problem;
  if (reader.Open(path.string()) != 0 || reader.FindTable(table) == nullptr) {
    return name + " could not be read: it has no " + what;
  }
  return {};
}

}  // namespace halvern
