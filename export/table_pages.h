// The writers of a table category (categories/table.h) for the recovered-items folder and the
// print page: the page's table, the CSV list and the text file, made from the table's columns
// and rows alone, the same way for every table category.
//
//   page   one column per TableColumn (its title), each value as lists show it (ShownText);
//          a deleted row has the class "deleted" (the orange of the other table pages) and a
//          "deleted" label in its first cell, a carved row or an older version from the
//          write-ahead log says so beside it; the files a row owns are shown in place of their
//          names in the file columns: audio with controls, video, pictures, a link for others
//   CSV    UTF-8 with a byte-order mark, CR LF, RFC 4180; a header of the column titles and
//          "Deleted", "Source", "Files"; each value as stored (CsvText), Deleted "yes" or
//          "no", Source "live", "carved" or "wal", Files the copies' paths beside the list
//   text   one block per row: "Title: value" lines as stored, then Deleted, Source and Files,
//          and a blank line; CR LF line ends
//
// Every value is escaped for the page and quoted for the CSV as the other writers do.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "categories/category.h"
#include "categories/table.h"

namespace halvern {

// A file a row owns as the page shows it; the links are relative to the page's folder and
// percent-encoded.
struct RowFileLink {
  std::string name;      // the file's name on the phone
  std::string mime;      // "audio/amr", ... ("" unknown)
  std::string link;      // the copy of the original ("" when no copy was made)
  std::string playable;  // a copy browsers play, for a sound they cannot ("" none)
  std::string problem;   // why a sound browsers cannot play has no playable copy ("" none)
  // A small JPEG shown in place of a picture (one browsers may not show, as HEIC) and as a
  // video's poster ("" none).
  std::string thumbnail;
};

// What kind of player a file gets: by its MIME type, else by its name's extension.
enum class FileShow { kAudio, kVideo, kPicture, kLink };
FileShow ShowOf(std::string_view name, std::string_view mime);

// Whether the rows' files get a column of their own: the table has no file column but rows
// own files.
bool HasFilesColumn(const CategoryTable& table);

// The start of the page's table: its header row of column titles, and the body's start.
std::string TableHeadHtml(const CategoryTable& table);
// The end of the page's table.
inline constexpr std::string_view kTableTailHtml = "</tbody>\r\n</table>\r\n";
// One row of the page's table (a tab, the row, CR LF). A file column's value shows the file
// of that name in `files` (the files no column names are shown in the first file column, or
// in the files column); with no copy of it, its name.
// With an `id`, the row's first cell carries it (the anchor other pages link to).
std::string TableRowHtml(const CategoryTable& table, const TableRow& row,
                         const std::vector<RowFileLink>& files, std::string_view id = {});

// The heading a row falls under on its category's page: the month ("2021-09") or day
// ("2021-09-14") of the sections' date column as the page shows it, or the column's text as
// stored; "" when the row has no such value (those rows come last, under "No date" or "None").
std::string SectionOf(const CategoryTable& table, const TableRow& row,
                      const PageSections& sections);
// Orders the page's rows by their headings (`keys`, one per row): dates oldest first (newest
// first when the sections say so), texts in byte order, the rows without one last; rows under
// one heading keep their order. Returns the rows' positions in page order.
std::vector<size_t> SectionOrder(const std::vector<std::string>& keys,
                                 const PageSections& sections);
// The heading row of a section of the page's table.
std::string TableSectionHtml(const CategoryTable& table, const PageSections& sections,
                             const std::string& key);

// The pages of a category's views (categories/category.h) show their rows as a gallery: one
// tile per row with its files (pictures and videos as their thumbnails), its deleted and
// origin marks, and the values of the columns `caption` names ("Title: value" lines, empty
// values left out).
inline constexpr std::string_view kGalleryHeadHtml = "<div class=\"gallery\">\r\n";
inline constexpr std::string_view kGalleryTailHtml = "</div>\r\n";
std::string GalleryTileHtml(const CategoryTable& table, const TableRow& row,
                            const std::vector<RowFileLink>& files,
                            const std::vector<std::string>& caption);

// The CSV header line (CR LF at its end; no byte-order mark).
std::string TableCsvHeader(const CategoryTable& table);
// One CSV line; `files` the paths of the row's copies.
std::string TableCsvLine(const CategoryTable& table, const TableRow& row,
                         const std::vector<std::string>& files);
// One block of the text file.
std::string TableTextBlock(const CategoryTable& table, const TableRow& row,
                           const std::vector<std::string>& files);

}  // namespace halvern
