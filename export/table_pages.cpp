// The page, CSV and text writers of a table category (see table_pages.h).
#include "export/table_pages.h"

#include <algorithm>

#include "export/writers.h"
#include "media/media.h"
#include "platform/platform.h"

namespace halvern {

FileShow ShowOf(std::string_view name, std::string_view mime) {
  const std::string_view type = mime.substr(0, mime.find('/'));
  if (type == "audio") return FileShow::kAudio;
  if (type == "video") return FileShow::kVideo;
  if (type == "image") return FileShow::kPicture;
  const std::filesystem::path file{std::string(name)};
  if (media::LooksLikeAudio(file)) return FileShow::kAudio;
  if (media::LooksLikeVideo(file)) return FileShow::kVideo;
  if (media::LooksLikePicture(file)) return FileShow::kPicture;
  return FileShow::kLink;
}

namespace {

int FirstFileColumn(const CategoryTable& table) {
  for (size_t i = 0; i < table.columns.size(); ++i) {
    if (table.columns[i].type == ColumnType::kFile) return int(i);
  }
  return -1;
}

std::string FileHtml(const RowFileLink& f) {
  const std::string name = HtmlEscape(f.name);
  if (f.link.empty()) return "<div class=\"file\">" + name + "</div>";
  const std::string src = HtmlEscape(f.link);
  const std::string download = "<a href=\"" + src + "\" download>" + name + "</a>";
  switch (ShowOf(f.name, f.mime)) {
    case FileShow::kAudio: {
      // The playable copy first; the original after it for a browser that plays it itself.
      std::string html = "<div class=\"file\"><audio controls preload=\"metadata\">";
      if (!f.playable.empty()) {
        html += "<source src=\"" + HtmlEscape(f.playable) + "\" type=\"audio/mp4\">";
      }
      html += "<source src=\"" + src + "\"";
      if (!f.mime.empty()) html += " type=\"" + HtmlEscape(f.mime) + "\"";
      html += "></audio><br>" + download;
      if (!f.problem.empty()) {
        html += "<div class=\"file-problem\">A browser cannot play this sound: " +
                HtmlEscape(f.problem) + "</div>";
      }
      return html + "</div>";
    }
    case FileShow::kVideo: {
      const std::string poster =
          f.thumbnail.empty() ? std::string() : " poster=\"" + HtmlEscape(f.thumbnail) + "\"";
      return "<div class=\"file\"><video controls preload=\"metadata\"" + poster + " src=\"" +
             src + "\"></video><br>" + download + "</div>";
    }
    case FileShow::kPicture: {
      const std::string shown = f.thumbnail.empty() ? src : HtmlEscape(f.thumbnail);
      return "<div class=\"file\"><a href=\"" + src + "\"><img src=\"" + shown + "\" alt=\"" +
             name + "\" loading=\"lazy\"></a></div>";
    }
    case FileShow::kLink:
      break;
  }
  return "<div class=\"file\">" + download + "</div>";
}

std::string Joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& p : parts) out += (out.empty() ? "" : "; ") + p;
  return out;
}

}  // namespace

bool HasFilesColumn(const CategoryTable& table) {
  if (FirstFileColumn(table) >= 0) return false;
  return std::any_of(table.rows.begin(), table.rows.end(),
                     [](const TableRow& r) { return !r.files.empty(); });
}

std::string TableHeadHtml(const CategoryTable& table) {
  std::string html = "<table class=\"category\">\r\n<thead><tr>";
  for (const TableColumn& c : table.columns) html += "<th>" + HtmlEscape(c.title) + "</th>";
  if (HasFilesColumn(table)) html += "<th>Files</th>";
  html += "</tr></thead>\r\n<tbody>\r\n";
  return html;
}

std::string TableRowHtml(const CategoryTable& table, const TableRow& row,
                         const std::vector<RowFileLink>& files, std::string_view id) {
  const int firstFile = FirstFileColumn(table);
  // Which cell shows each file: the file column that names it, else the first file column
  // (or the files column, index columns.size()).
  std::vector<int> shownIn(files.size(), firstFile >= 0 ? firstFile : int(table.columns.size()));
  for (size_t f = 0; f < files.size(); ++f) {
    for (size_t c = 0; c < table.columns.size() && c < row.cells.size(); ++c) {
      const Cell& cell = row.cells[c];
      if (table.columns[c].type == ColumnType::kFile && cell.kind == Cell::Kind::kText &&
          cell.text == files[f].name) {
        shownIn[f] = int(c);
        break;
      }
    }
  }
  const size_t cells = table.columns.size() + (HasFilesColumn(table) ? 1 : 0);
  std::string html = row.deleted ? "\t<tr class=\"deleted\">" : "\t<tr>";
  for (size_t c = 0; c < cells; ++c) {
    std::string value;
    bool named = false;  // a file of the row stands for the cell's text
    for (size_t f = 0; f < files.size(); ++f) {
      if (shownIn[f] != int(c)) continue;
      value += FileHtml(files[f]);
      const bool isFileCell = c < table.columns.size() && c < row.cells.size() &&
                              row.cells[c].kind == Cell::Kind::kText;
      named = named || (isFileCell && row.cells[c].text == files[f].name);
    }
    if (!named && c < table.columns.size() && c < row.cells.size()) {
      value = HtmlEscape(ShownText(row.cells[c], table.columns[c].type)) + value;
    }
    if (c == 0) {
      std::string marks;
      if (row.deleted) marks += "<span class=\"deleted-label\">deleted</span> ";
      // The backups the row was found in, when several were read as one.
      if (!row.backups.empty()) {
        std::string from;
        for (const std::string& label : row.backups) from += (from.empty() ? "" : "; ") + label;
        marks += "<span class=\"backups-label\">" + HtmlEscape(from) + "</span> ";
      }
      if (row.origin == ItemSource::kCarved) {
        marks += "<span class=\"origin-label\" title=\"Carved from the free space of the "
                 "database\">carved</span> ";
      } else if (row.origin == ItemSource::kWal) {
        marks += "<span class=\"origin-label\" title=\"An older version kept by the "
                 "database&#39;s write-ahead log\">write-ahead log</span> ";
      }
      value = marks + value;
    }
    html += c == 0 && !id.empty() ? "<td id=\"" + HtmlEscape(id) + "\">" : std::string("<td>");
    html += value + "</td>";
  }
  html += "</tr>\r\n";
  return html;
}

std::string SectionOf(const CategoryTable& table, const TableRow& row,
                      const PageSections& sections) {
  if (sections.column == nullptr) return {};
  const int c = table.ColumnIndex(sections.column);
  if (c < 0 || size_t(c) >= row.cells.size() || row.cells[size_t(c)].IsNull()) return {};
  const Cell& cell = row.cells[size_t(c)];
  if (sections.by == SectionBy::kValue) {
    return cell.kind == Cell::Kind::kText ? cell.text
                                          : CsvText(cell, table.columns[size_t(c)].type);
  }
  if (cell.kind != Cell::Kind::kDate) return {};
  // "YYYY-MM-DD hh:mm:ss": the date as the page shows it, so that a row stands under the
  // heading of the day its shown date names.
  const std::string shown = ShownText(cell, ColumnType::kDate);
  const size_t length = sections.by == SectionBy::kMonth ? 7 : 10;
  return shown.size() >= length ? shown.substr(0, length) : std::string();
}

std::vector<size_t> SectionOrder(const std::vector<std::string>& keys,
                                 const PageSections& sections) {
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  const bool newestFirst = sections.newestFirst && sections.by != SectionBy::kValue;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    const std::string& x = keys[a];
    const std::string& y = keys[b];
    if (x.empty() != y.empty()) return y.empty();
    return newestFirst ? y < x : x < y;
  });
  return order;
}

std::string TableSectionHtml(const CategoryTable& table, const PageSections& sections,
                             const std::string& key) {
  const size_t cells = table.columns.size() + (HasFilesColumn(table) ? 1 : 0);
  std::string heading = key;
  if (heading.empty()) heading = PageWord(sections.by == SectionBy::kValue ? "None" : "No date");
  return "\t<tr class=\"section\"><th colspan=\"" + std::to_string(cells) + "\">" +
         HtmlEscape(platform::SanitizeUtf8(heading)) + "</th></tr>\r\n";
}

std::string GalleryTileHtml(const CategoryTable& table, const TableRow& row,
                            const std::vector<RowFileLink>& files,
                            const std::vector<std::string>& caption) {
  std::string html = row.deleted ? "\t<figure class=\"tile deleted\">" : "\t<figure class=\"tile\">";
  for (const RowFileLink& f : files) html += FileHtml(f);
  html += "<figcaption>";
  if (row.deleted) html += "<span class=\"deleted-label\">deleted</span> ";
  if (row.origin == ItemSource::kCarved) {
    html += "<span class=\"origin-label\" title=\"Carved from the free space of the "
            "database\">carved</span> ";
  } else if (row.origin == ItemSource::kWal) {
    html += "<span class=\"origin-label\" title=\"An older version kept by the "
            "database&#39;s write-ahead log\">write-ahead log</span> ";
  }
  bool first = true;
  for (const std::string& key : caption) {
    const int c = table.ColumnIndex(key);
    if (c < 0 || size_t(c) >= row.cells.size()) continue;
    const std::string value = ShownText(row.cells[size_t(c)], table.columns[size_t(c)].type);
    if (value.empty()) continue;
    if (!first) html += "<br>";
    first = false;
    html += "<span class=\"caption-title\">" + HtmlEscape(table.columns[size_t(c)].title) +
            ":</span> " + HtmlEscape(value);
  }
  return html + "</figcaption></figure>\r\n";
}

std::string TableCsvHeader(const CategoryTable& table) {
  std::string line;
  for (const TableColumn& c : table.columns) line += CsvField(platform::SanitizeUtf8(c.title)) + ",";
  return line + "Deleted,Source,Files\r\n";
}

std::string TableCsvLine(const CategoryTable& table, const TableRow& row,
                         const std::vector<std::string>& files) {
  std::string line;
  for (size_t c = 0; c < table.columns.size(); ++c) {
    const std::string value = c < row.cells.size() ? CsvText(row.cells[c], table.columns[c].type)
                                                   : std::string();
    line += CsvField(platform::SanitizeUtf8(value)) + ",";
  }
  line += row.deleted ? "yes," : "no,";
  line += ItemSourceName(row.origin);
  line += "," + CsvField(platform::SanitizeUtf8(Joined(files))) + "\r\n";
  return line;
}

std::string TableTextBlock(const CategoryTable& table, const TableRow& row,
                           const std::vector<std::string>& files) {
  size_t width = std::string_view("Deleted").size();
  for (const TableColumn& c : table.columns) width = std::max(width, c.title.size());
  std::string text;
  const auto add = [&](const std::string& label, const std::string& value) {
    text += std::string(width > label.size() ? width - label.size() : 0, ' ') + label + ": " +
            value + "\r\n";
  };
  for (size_t c = 0; c < table.columns.size(); ++c) {
    add(table.columns[c].title,
        c < row.cells.size() ? CsvText(row.cells[c], table.columns[c].type) : std::string());
  }
  add("Deleted", row.deleted ? "yes" : "no");
  add("Source", ItemSourceName(row.origin));
  add("Files", Joined(files));
  return platform::SanitizeUtf8(text) + "\r\n";
}

}  // namespace halvern
