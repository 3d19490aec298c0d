// The print page composers, one per printable category.
#include "export/print_page.h"

#include <system_error>

#include "selection/statistics.h"

namespace halvern {

namespace {

constexpr const char* kOpen = "<div>\r\n";
constexpr const char* kClose = "</div>\r\n";

void Field(std::string& body, const char* caption, const std::string& value) {
  body += "<p><span>";
  body += caption;
  body += "</span>";
  body += HtmlEscape(value);
  body += "</p>\r\n";
}

bool Wanted(const PrintSource& source, const void* item, int32_t deleted) {
  if (source.deletedOnly && deleted == 0) return false;
  return !source.checked || source.checked(item);
}

// The correspondent as the page names it: "name(phone)" for a real name, else the phone.
std::string Correspondent(const MessageItem& m) {
  if (!m.name.empty() && m.name != "Unknown") return m.name + "(" + m.phone + ")";
  return m.phone;
}

int32_t Messages(const PrintSource& s, std::string& body, PrintControl& c) {
  if (s.conversations == nullptr || s.messages == nullptr) return kOk;
  for (const MessageItem& row : *s.conversations) {
    if (!Wanted(s, &row, row.deleted)) continue;
    const auto found = s.messages->find(row.handleId);
    if (found == s.messages->end()) continue;
    for (const MessageItem& m : found->second) {
      if (c.cancelled.load()) return kStopped;
      body += kOpen;
      Field(body, m.fromMe == 1 ? "To:" : "From:", Correspondent(m));
      Field(body, "Date:", m.date);
      Field(body, "Content:", m.text);
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
    Field(body, "Call:", CallKindText(item));
    Field(body, "Type:", CallDirectionText(item));
    Field(body, "Result:", CallOutcomeText(item));
    Field(body, "Duration:", CallDurationText(item));
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
    Field(body, "Notes:", item.body);
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
    body += kOpen;
    Field(body, "Chats:", row.chatTitle);
    Field(body, "Name:", row.chatNames.empty() ? row.name : row.chatNames);
    Field(body, "Phone Number:", row.chatPhones.empty() ? row.phone : row.chatPhones);
    body += "<p><span>Content:</span></p>\r\n";
    for (const ChatMessageItem& m : found->second) {
      if (c.cancelled.load()) return kStopped;
      body += "<p>";
      body += HtmlEscape(m.fromMe == 1 ? std::string("Me") : m.name);
      body += " (" + HtmlEscape(m.date) + "): " + HtmlEscape(m.text) + "</p>";
    }
    body += kClose;
  }
  return kOk;
}

}  // namespace

bool IsPrintable(ScanCategory category) {
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
      return kOk;
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
