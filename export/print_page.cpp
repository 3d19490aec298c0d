// The print page composers, one per printable category.
#include "export/print_page.h"

#include "extractors/note_render.h"

#include <system_error>

#include "export/table_pages.h"
#include "selection/statistics.h"

namespace halvern {

namespace {

constexpr const char* kOpen = "<div>\r\n";
constexpr const char* kClose = "</div>\r\n";

// `caption` is the English word; the page shows it in the program's language.
void Field(std::string& body, const char* caption, const std::string& value) {
  body += "<p><span>";
  body += HtmlEscape(PageWord(caption));
  body += "</span>";
  body += HtmlEscape(value);
  body += "</p>\r\n";
}

bool Wanted(const PrintSource& source, const void* item, int32_t deleted) {
  if (source.deletedOnly && deleted == 0) return false;
  return !source.checked || source.checked(item);
}

// The facts of one message after its content: attachments, reactions, earlier texts.
void MessageExtras(std::string& body, const ConversationLine& m) {
  for (const LineAttachment& a : m.attachments) Field(body, "Attachment:", a.name);
  if (!m.reactions.empty()) Field(body, "Reactions:", ReactionsText(m.reactions));
  for (const std::string& earlier : m.earlierTexts) Field(body, "Earlier:", earlier);
}

int32_t Messages(const PrintSource& s, std::string& body, PrintControl& c) {
  if (s.conversations == nullptr || s.messages == nullptr) return kOk;
  for (const MessageItem& row : *s.conversations) {
    if (!Wanted(s, &row, row.deleted)) continue;
    const auto found = s.messages->find(row.conversation);
    if (found == s.messages->end()) continue;
    const ConversationHead head = HeadOf(found->second);
    if (head.group) {
      body += kOpen;
      Field(body, "Group:", head.title);
      Field(body, "Members:", MembersText(head.members));
      body += kClose;
    }
    for (const ConversationLine& m : LinesOf(found->second, s.deletedOnly)) {
      if (c.cancelled.load()) return kStopped;
      body += m.deleted ? "<div class=\"deleted\">\r\n" : kOpen;
      const std::string who =
          head.group && m.fromMe == 1 ? head.title : PersonLabel(m.name, m.phone);
      Field(body, m.fromMe == 1 ? "To:" : "From:", who);
      if (m.deleted) Field(body, "Status:", PageWord("deleted"));
      if (!m.service.empty()) Field(body, "Service:", m.service);
      Field(body, "Date:", m.date);
      if (!m.replyTo.empty()) Field(body, "Reply to:", m.replyTo);
      Field(body, "Content:", ShownText(m));
      MessageExtras(body, m);
      body += kClose;
    }
  }
  return kOk;
}

int32_t Contacts(const PrintSource& s, std::string& body, PrintControl& c) {
  if (s.contacts == nullptr) return kOk;
  for (const ContactItem& item : *s.contacts) {
    if (c.cancelled.load()) return kStopped;
    if (!Wanted(s, &item, item.deleted)) continue;
    body += kOpen;
    Field(body, "Name:", item.name);
    Field(body, "Phone Number:", item.phones);
    Field(body, "Company:", item.company);
    Field(body, "Email:", item.email);
    Field(body, "URL:", item.url);
    body += kClose;
  }
  return kOk;
}

int32_t Calls(const PrintSource& s, std::string& body, PrintControl& c) {
  if (s.calls == nullptr) return kOk;
  for (const CallItem& item : *s.calls) {
    if (c.cancelled.load()) return kStopped;
    if (!Wanted(s, &item, item.deleted)) continue;
    body += kOpen;
    Field(body, "Name:", item.name);
    Field(body, "Phone Number:", item.phone);
    Field(body, "Date:", item.date);
    Field(body, "Call:", PageWord(CallKindText(item)));
    Field(body, "Type:", PageWord(CallDirectionText(item)));
    Field(body, "Result:", PageWord(CallOutcomeText(item)));
    Field(body, "Duration:", PageWordsOf(CallDurationText(item)));
    body += kClose;
  }
  return kOk;
}

int32_t Notes(const PrintSource& s, std::string& body, PrintControl& c) {
  if (s.notes == nullptr) return kOk;
  for (const NoteItem& item : *s.notes) {
    if (c.cancelled.load()) return kStopped;
    if (!Wanted(s, &item, item.deleted)) continue;
    body += kOpen;
    Field(body, "Title:", item.title);
    Field(body, "Folder:", item.folder);
    Field(body, "Date:", item.date);
    Field(body, "Notes:", notes::NoteText(item));
    body += kClose;
  }
  return kOk;
}

int32_t Chats(const PrintSource& s, std::string& body, PrintControl& c) {
  if (s.chats == nullptr || s.chatMap == nullptr) return kOk;
  for (const ChatMessageItem& row : *s.chats) {
    if (!Wanted(s, &row, row.deleted)) continue;
    const auto found = s.chatMap->find(row.sessionId);
    if (found == s.chatMap->end()) continue;
    const ConversationHead head = HeadOf(found->second);
    body += kOpen;
    Field(body, "Chats:", head.title);
    if (head.group) {
      Field(body, "Members:", MembersText(head.members));
    } else {
      Field(body, "Name:", row.chatNames.empty() ? row.name : row.chatNames);
      Field(body, "Phone Number:", row.chatPhones.empty() ? row.phone : row.chatPhones);
    }
    body += "<p><span>" + HtmlEscape(PageWord("Content:")) + "</span></p>\r\n";
    for (const ConversationLine& m : LinesOf(found->second, s.deletedOnly)) {
      if (c.cancelled.load()) return kStopped;
      body += m.deleted ? "<p class=\"deleted\">" : "<p>";
      body += HtmlEscape(m.fromMe == 1 ? PageWord("Me") : PersonLabel(m.name, m.phone));
      body += " (" + HtmlEscape(m.date) + "): " + HtmlEscape(m.text);
      for (const LineAttachment& a : m.attachments) body += " [" + HtmlEscape(a.name) + "]";
      if (m.deleted) {
        body += " <span class=\"deleted_label\">" + HtmlEscape(PageWord("deleted")) + "</span>";
      }
      body += "</p>";
    }
    body += kClose;
  }
  return kOk;
}

// A table category: its table, from its columns and rows alone.
int32_t TableRows(const PrintSource& s, std::string& body, PrintControl& c) {
  const int index = TableIndexOf(s.category);
  if (s.tables == nullptr || index < 0 || size_t(index) >= s.tables->size()) return kOk;
  const CategoryTable& table = (*s.tables)[size_t(index)];
  std::vector<const TableRow*> rows = s.tableRows;
  if (rows.empty()) {
    for (const TableRow& row : table.rows) rows.push_back(&row);
  }
  std::string html;
  for (const TableRow* row : rows) {
    if (c.cancelled.load()) return kStopped;
    if (!Wanted(s, row, row->deleted)) continue;
    std::vector<RowFileLink> files;
    for (const OwnedFile& f : row->files) files.push_back({f.name, f.mime, {}, {}, {}});
    html += TableRowHtml(table, *row, files);
  }
  if (!html.empty()) body += TableHeadHtml(table) + html + std::string(kTableTailHtml);
  return kOk;
}

}  // namespace

bool IsPrintable(ScanCategory category) {
  if (TableCategoryOf(category) != nullptr) return true;
  switch (category) {
    case ScanCategory::kMessages:
    case ScanCategory::kContacts:
    case ScanCategory::kCallHistory:
    case ScanCategory::kNotes:
    case ScanCategory::kWhatsApp:
      return true;
    default:
      return false;
  }
}

int32_t ComposePrintBody(const PrintSource& source, std::string& body, PrintControl& control) {
  std::lock_guard<std::mutex> hold(control.lock);
  switch (source.category) {
    case ScanCategory::kMessages:
      return Messages(source, body, control);
    case ScanCategory::kContacts:
      return Contacts(source, body, control);
    case ScanCategory::kCallHistory:
      return Calls(source, body, control);
    case ScanCategory::kNotes:
      return Notes(source, body, control);
    case ScanCategory::kWhatsApp:
      return Chats(source, body, control);
    default:
      return TableCategoryOf(source.category) != nullptr ? TableRows(source, body, control) : kOk;
  }
}

std::filesystem::path PrintPagePath(const std::filesystem::path& folder) {
  return folder / "Print" / "page.html";
}

int32_t ComposePrintPage(const PrintSource& source, const PageTemplate& page,
                         const std::filesystem::path& pagePath, PrintControl& control) {
  std::string body;
  const int32_t result = ComposePrintBody(source, body, control);
  if (result != kOk) return result;
  std::error_code ec;
  std::filesystem::create_directories(pagePath.parent_path(), ec);
  return WriteWholeFile(pagePath, page.head + body + page.tail);
}

int32_t LoadPrintTemplate(const std::filesystem::path& templateFolder, PageTemplate& out) {
  out = PageTemplate{};
  const int32_t result = LoadTemplate(templateFolder, kPrintTemplate, "", out);
  if (result != kOk) out = PageTemplate{};
  return result;
}

}  // namespace halvern
