// A kind of data a phone keeps, described once: what it is called, where it sits in the tree,
// which files of the phone it reads and how it reads them into a table (categories/table.h).
// Every such kind is one file of this folder and one line of the list in list.cpp; the scan,
// the statistics, the desktop list and preview, the recovered pages, CSV, .txt, `scan --json`,
// `--only`, print and the device engine work from this description alone.
//
// An extractor locates its files through PhoneFiles (the backup's manifest), reads them with
// the program's own SQLite reader (live rows, carved rows and the older versions the
// write-ahead log keeps; see table_rows.h) and maps the rows to its columns. It never writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "categories/table.h"
#include "platform/codes.h"

namespace halvern {

class CSqliteFileReader;
class NameIndex;

// A file of the phone as the backup holds it.
struct PhoneFile {
  std::string domain;          // "HomeDomain", "AppDomainGroup-group.com.apple.VoiceMemos.shared"
  std::string relativePath;    // "Library/Voicemail/voicemail.db"
  std::filesystem::path data;  // the data file in the backup (it exists)
};

// The files of the backup being read.
class PhoneFiles {
 public:
  virtual ~PhoneFiles() = default;
  // The data file of `domain` / `relativePath`; empty when the backup does not hold it (or its
  // data file is missing).
  virtual std::filesystem::path Find(std::string_view domain,
                                     std::string_view relativePath) const = 0;
  // Every file of `domain` whose relative path matches `pattern` (fnmatch: "*" matches any
  // characters, "/" included), whose data file exists, in the manifest's order.
  virtual std::vector<PhoneFile> Match(std::string_view domain, std::string_view pattern) const = 0;
};

// What an extractor is given.
struct CategoryContext {
  const PhoneFiles* files = nullptr;
  // The address book's names, read on first use (an empty index without an address book).
  std::function<const NameIndex&()> names;
  bool encrypted = false;  // the backup is encrypted (holds what plain backups leave out)
  ProgressSink progress;   // absolute scan percentages
  int32_t current = 0;     // the scan's progress before this category
  int32_t step = 0;        // the share of the scan this category may report through
  // Asks whether to go on (a report of the current percentage): false once the scan was told
  // to stop; the extractor then returns kStopped.
  bool GoOn() const { return progress.Report(current) == 0; }
};

// What an extractor returns besides its table.
struct CategoryOutcome {
  int32_t result = kOk;  // kOk, kStopped
  // Databases that lie in the backup but could not be read: a sentence naming the database
  // and the cause ("voicemail.db could not be read: ..."). The category is then a failure.
  std::string error;
  // What the backup cannot hold, said instead of a silent 0 ("Call history is only in
  // encrypted backups").
  std::string notice;
};

using Extractor = CategoryOutcome (*)(const CategoryContext& context, CategoryTable& out);

// The groups of the category tree.
enum class TreeGroup : int32_t {
  kPhotosAndVideos = 1,
  kMessagesAndCalls = 2,
  kMemosAndOthers = 3,
};

// How the recovered page of a category groups its rows under headings: by the month or the day
// of a date column as the page shows it ("2021-09", "2021-09-14"), or by the text of a column
// (a reminder's list). No grouping when `column` is null.
enum class SectionBy : uint8_t { kMonth, kDay, kValue };
struct PageSections {
  const char* column = nullptr;  // the key of the column the headings come from
  SectionBy by = SectionBy::kValue;
  bool newestFirst = false;      // headings of dates from the newest down
};

// A file the recovered folder gets beside a category's page, made from the rows recovered (all
// events as one calendar file). `write` returns the file's bytes.
struct CategoryFile {
  const char* name = nullptr;  // "Calendar.ics"; no file when null
  std::string (*write)(const CategoryTable& table, const std::vector<const TableRow*>& rows) =
      nullptr;
};

// A named part of a category's table, as the phone itself shows its items in parts (the
// groups the user made, the items it hides, its trash ...): the tree shows each view
// as a row under the category with its count, and a recovery files the rows' files in one
// folder per view.
struct CategoryView {
  // "all", "favorites", ...: the language key of a view the category always has (section
  // "Views"); "" for a view named by the data (a group's own title, shown as it is).
  std::string key;
  std::string title;         // the English name, or the data's own name
  std::vector<size_t> rows;  // indexes into CategoryTable::rows, in the table's order
};
using ViewMaker = std::vector<CategoryView> (*)(const CategoryTable& table);

// How one file of a row is written when it is recovered.
struct FileFiling {
  std::string name;  // the file's name in its folder ("" keeps the name it has on the phone)
  // The modification time the copy gets (seconds since 1970); NaN leaves the time of writing.
  double modified = std::numeric_limits<double>::quiet_NaN();
};
// One FileFiling per entry of row.files.
using FilingMaker = std::vector<FileFiling> (*)(const CategoryTable& table, const TableRow& row);

struct TableCategory {
  const char* key;    // "voicemail": the JSON key, the `--only` name, the language key
  const char* title;  // "Voicemail": the tree's, pages' and lists' name (English)
  TreeGroup group;
  // Where its files are, as the description of the kind says it ("HomeDomain
  // Library/Voicemail/voicemail.db"): for the reader of the code and `halvern-cli` help.
  const char* files;
  Extractor extract;
  PageSections sections{};
  CategoryFile extraFile{};
  // The category's views (null: none, the category is one list).
  ViewMaker views = nullptr;
  // How its files are named and dated when recovered (null: as on the phone).
  FilingMaker filing = nullptr;
  // The columns (keys, separated by commas) shown beneath each item on the pages of its views
  // (null: every column).
  const char* viewCaption = nullptr;
  // The columns (keys, separated by commas) that hold the other party's phone number or e-mail
  // address: a row is a person's when one of them holds one of the person's addresses (null:
  // the rows belong to no person).
  const char* addressColumns = nullptr;
};

// Every table category, in the order the scan reads them and the tree shows them.
const std::vector<const TableCategory*>& TableCategories();
// A table category by key (compared without regard to ASCII case); null when none.
const TableCategory* FindTableCategory(std::string_view key);

// Why an existing database cannot be read: "" when `path` is empty or no file, or when it opens
// as a SQLite database with a readable table list; else "<name> could not be read: <cause>".
std::string DatabaseProblem(const std::filesystem::path& path, const std::string& name);
// Opens the database `path` (shown as `name`) with `reader` when it is readable and holds
// `table`: "" then; else the sentence of why not (DatabaseProblem's, or "<name> could not be
// read: it has no <what>").
std::string OpenDatabase(const std::filesystem::path& path, const std::string& name,
                         const char* table, const char* what, CSqliteFileReader& reader);

}  // namespace halvern
