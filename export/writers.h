// The writers of the recovered-items folder: page templates, unique file names, and the
// conversation files (text, CSV and HTML page) of messages and WhatsApp chats, plus the
// escaping every value goes through before it lands in a page or a CSV field.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codes.h"
#include "sqlite_recovery/records.h"

namespace halvern {

namespace fs = std::filesystem;

// ----- Escaping --------------------------------------------------------------------------------

// Text for an HTML page: & < > " ' become entities; ill-formed UTF-8 becomes U+FFFD.
std::string HtmlEscape(std::string_view text);
// One CSV field as RFC 4180 writes it: in double quotes, with each double quote doubled, when
// it holds a comma, a double quote, a line break or leading or trailing spaces; else as is.
std::string CsvField(std::string_view text);
// A name usable as one path component: "/" and control characters become "_", "." and ".."
// and empty names become "_", and the name is cut (at a character boundary) to 200 bytes.
std::string SafeFileName(std::string_view name);

// ----- Templates -------------------------------------------------------------------------------

// The five page templates, in the order they are loaded.
inline constexpr const char* kCallHistoryTemplate = "CallHistory.html";
inline constexpr const char* kNotesTemplate = "Notes.html";
inline constexpr const char* kContactsTemplate = "contacts.html";
inline constexpr const char* kSmsTemplate = "Sms.html";
inline constexpr const char* kWhatsAppTemplate = "WhatsApp.html";

// The markers of a template.
inline constexpr std::string_view kTitleMarker = "{|title|}";
inline constexpr std::string_view kPersonMarker = "{|person|}";
inline constexpr std::string_view kContentMarker = "{|content|}";

// A template split at its first content marker: the head (with the title filled in) and the
// tail. A template without the marker is all head.
struct PageTemplate {
  std::string head;
  std::string tail;
};

// Reads `folder`/`name` and splits it; every title marker of the head becomes `title`
// (escaped). 0, or 87 when the file cannot be read.
int32_t LoadTemplate(const fs::path& folder, const std::string& name, const std::string& title,
                     PageTemplate& out);

// Replaces every `marker` in `text` by `value` (as given).
std::string ReplaceAll(std::string text, std::string_view marker, std::string_view value);

// ----- File names ------------------------------------------------------------------------------

// `path` itself when nothing of that name exists; else the first free of
// folder/stem(1).ext, folder/stem(2).ext, ...
fs::path MakeUniquePath(const fs::path& path);

// The local time as "YYYYMMDDhhmmss".
std::string RecoverStamp(int64_t unixSeconds);

// ----- Conversation files ------------------------------------------------------------------------

// One message of a conversation or chat, as the writers need it.
struct ConversationLine {
  int32_t deleted = 0;
  int32_t fromMe = 0;
  std::string date;
  std::string name;
  std::string phone;
  std::string text;
};
std::vector<ConversationLine> LinesOf(const std::vector<MessageItem>& messages);
std::vector<ConversationLine> LinesOf(const std::vector<ChatMessageItem>& messages);

// The text file: UTF-8 with a byte-order mark, CR LF line ends; per message
// "        To: Name(phone)" (or "From"), "      Date: ...", "   Content: ..." and a blank line.
// 0, or the errno value when the file cannot be written.
int32_t WriteConversationText(const fs::path& path, const std::vector<ConversationLine>& lines);

// The WhatsApp CSV: UTF-8 with a byte-order mark, CR LF line ends, the header
// "Chats,Name/Phone,Date,Type,Content" and one RFC 4180 line per message.
int32_t WriteChatCsv(const fs::path& path, const std::vector<ConversationLine>& lines);

// The body of a conversation page: per message a date line and a bubble ("send_msg",
// "recv_msg", or "del_send_msg" / "del_recv_msg" for deleted ones), every value escaped.
// After each message `report`(percent) is asked; a non-zero answer stops the body there.
// Returns that answer (0 when every message was written).
template <class Report>
int32_t ConversationBody(const std::vector<ConversationLine>& lines, std::string& body,
                         Report report);
std::string ConversationMessageHtml(const ConversationLine& line);

template <class Report>
int32_t ConversationBody(const std::vector<ConversationLine>& lines, std::string& body,
                         Report report) {
  for (size_t i = 0; i < lines.size(); ++i) {
    body += ConversationMessageHtml(lines[i]);
    const int32_t percent = int32_t(int64_t(i + 1) * 100 / int64_t(lines.size()));
    if (const int32_t answer = report(percent); answer != 0) return answer;
  }
  return 0;
}

// Writes `bytes` to `path` (binary, replacing). 0 or the errno value.
int32_t WriteWholeFile(const fs::path& path, std::string_view bytes);

}  // namespace halvern
