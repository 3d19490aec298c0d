// The writers of the recovered-items folder: page templates, unique file names, and the
// conversation files (text, CSV and HTML page) of messages and WhatsApp chats, plus the
// escaping every value goes through before it lands in a page or a CSV field.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codes.h"
#include "extractors/extractors.h"
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

// ----- Page words ------------------------------------------------------------------------------

// The fixed words the pages and the print put around the phone's data ("Date:", "Me",
// "deleted", "Incoming", a page's title ...), by their English text, in the language of the
// program writing them. Set once before any page is written (the desktop program sets its
// language's words at start); an English word without a translation stays as it is. The CSV
// and text files keep their English words.
void SetPageWords(std::map<std::string, std::string> words);
const std::string& PageWord(const std::string& english);
// `text` in the page words: the whole text when it has a word of its own ("Missed"), else each
// of its words ("1 Hour 2 Min": the units of a duration), the numbers as they are.
std::string PageWordsOf(const std::string& text);

// ----- Templates -------------------------------------------------------------------------------

// The page templates, in the order they are loaded.
inline constexpr const char* kCallHistoryTemplate = "CallHistory.html";
inline constexpr const char* kNotesTemplate = "Notes.html";
inline constexpr const char* kContactsTemplate = "contacts.html";
inline constexpr const char* kSmsTemplate = "Sms.html";
inline constexpr const char* kWhatsAppTemplate = "WhatsApp.html";
// The page of a table category (Voicemail, Voice Memos, ...): its title and its table are the
// category's.
inline constexpr const char* kTableTemplate = "Table.html";
// The timeline of the recovered items, day by day.
inline constexpr const char* kTimelineTemplate = "Timeline.html";

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

// One attachment of a message as the writers show it: `link` is the page's relative link to
// the copy in the conversation's folder (empty when no copy was made); the others are links to
// the copies made for browsers beside it (empty when none was made): a small picture of a
// picture or video, a JPEG of a HEIC picture, a sound every browser plays, an H.264 video.
struct LineAttachment {
  std::string name;
  std::string mime;
  std::string link;
  std::string thumb;
  std::string view;
  std::string playable;
  std::string h264;
};

// One message of a conversation or chat, as the writers need it.
struct ConversationLine {
  int32_t deleted = 0;
  int32_t fromMe = 0;
  std::string date;
  std::string name;   // the sender's name ("Me" for sent messages in a group)
  std::string phone;  // the sender's (or one-to-one partner's) address
  std::string text;
  std::string service;
  std::vector<LineAttachment> attachments;
  std::vector<MessageReaction> reactions;
  int32_t edited = 0;
  int32_t unsent = 0;
  std::vector<std::string> earlierTexts;
  std::string replyTo;
  std::vector<std::string> backups;  // the backups holding it, when several were read as one
};

// The header of a conversation's files: its label and, for a group, its members.
struct ConversationHead {
  bool group = false;
  std::string title;
  std::vector<ConversationMember> members;
};

ConversationHead HeadOf(const Conversation& conversation);
ConversationHead HeadOf(const ChatConversation& chat);
// The lines of a conversation; only the deleted messages when `deletedOnly`.
std::vector<ConversationLine> LinesOf(const Conversation& conversation, bool deletedOnly = false);
std::vector<ConversationLine> LinesOf(const ChatConversation& chat, bool deletedOnly = false);

// "Name(address)" for a known name, else the address.
std::string PersonLabel(const std::string& name, const std::string& address);
// The members of a group as one line: "Ann(+4915112345678), Ben(+4917012345678)".
std::string MembersText(const std::vector<ConversationMember>& members);
// The extra facts of a message as short texts: reply, attachment names, reactions, earlier
// texts (the text writer and the print page show them).
std::string ReactionsText(const std::vector<MessageReaction>& reactions);
// The message's text as shown: "(unsent)" for an unsent message, the text with " (edited)"
// after it for an edited one.
std::string ShownText(const ConversationLine& line);

// The text file: UTF-8 with a byte-order mark, CR LF line ends. A group starts with its
// title and members. Per message "        To: Name(phone)" (or "From"; a deleted message
// adds " [deleted]"), "   Service: ...", "      Date: ...", "  Reply to: ...",
// "   Content: ...", one "Attachment: name" per attachment, "  Reaction: ...", "   Earlier: ..."
// per earlier text, and a blank line. 0, or the errno value when the file cannot be written.
int32_t WriteConversationText(const fs::path& path, const ConversationHead& head,
                              const std::vector<ConversationLine>& lines);

// The WhatsApp CSV: UTF-8 with a byte-order mark, CR LF line ends, the header
// "Chats,Name/Phone,Date,Type,Content,Attachments,Deleted" and one RFC 4180 line per message
// (attachments separated by "; ", Deleted "yes" or empty).
int32_t WriteChatCsv(const fs::path& path, const std::vector<ConversationLine>& lines);

// The body of a conversation page: a group's members first, then per message a date line and
// a bubble ("send_msg", "recv_msg", or "del_send_msg" / "del_recv_msg" with a "deleted" label
// for deleted ones) with its attachments (pictures as their thumbnails, loaded as they scroll
// into view and linked to the whole picture; sounds with controls, the playable copy first and
// the original as a download; videos with their poster and a link to the original; other files
// as links), its reactions and its marks; every value escaped.
// The body goes to `sink`(std::string_view) piece by piece, as it is made.
// After each message `report`(percent) is asked; a non-zero answer stops the body there.
// Returns that answer (0 when every message was written).
template <class Sink, class Report>
int32_t ConversationBody(const ConversationHead& head, const std::vector<ConversationLine>& lines,
                         Sink&& sink, Report report);
std::string ConversationHeadHtml(const ConversationHead& head);
std::string ConversationMessageHtml(const ConversationLine& line);

template <class Sink, class Report>
int32_t ConversationBody(const ConversationHead& head, const std::vector<ConversationLine>& lines,
                         Sink&& sink, Report report) {
  return ConversationBody(head, lines, 0, lines.size(), sink, report);
}
// The same of the messages [begin, end) alone (one part of a long conversation).
template <class Sink, class Report>
int32_t ConversationBody(const ConversationHead& head, const std::vector<ConversationLine>& lines,
                         size_t begin, size_t end, Sink&& sink, Report report) {
  sink(std::string_view(ConversationHeadHtml(head)));
  for (size_t i = begin; i < end; ++i) {
    sink(std::string_view(ConversationMessageHtml(lines[i])));
    const int32_t percent = int32_t(int64_t(i + 1 - begin) * 100 / int64_t(end - begin));
    if (const int32_t answer = report(percent); answer != 0) return answer;
  }
  return 0;
}

// Writes `bytes` to `path` (binary, replacing). 0 or the errno value.
int32_t WriteWholeFile(const fs::path& path, std::string_view bytes);

}  // namespace halvern
