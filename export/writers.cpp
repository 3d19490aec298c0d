// Templates, unique names, escaping and the conversation files (see writers.h).
#include "export/writers.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>

#include "media/media.h"
#include "platform/platform.h"

namespace halvern {

// ----- Escaping --------------------------------------------------------------------------------

std::string HtmlEscape(std::string_view raw) {
  const std::string text = platform::SanitizeUtf8(raw);
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string CsvField(std::string_view text) {
  const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!text.empty() && (text.front() == ' ' || text.back() == ' '));
  if (!quote) return std::string(text);
  std::string out = "\"";
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string SafeFileName(std::string_view raw) {
  std::string name = platform::SanitizeUtf8(raw);
  for (char& c : name) {
    if (c == '/' || (uint8_t(c) < 0x20) || c == 0x7F) c = '_';
  }
  if (name.size() > 200) {
    size_t cut = 200;
    while (cut > 0 && (uint8_t(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  if (name.empty() || name == "." || name == "..") name = "_";
  return name;
}

// ----- Page words ------------------------------------------------------------------------------

namespace {
std::map<std::string, std::string>& PageWords() {
  static std::map<std::string, std::string> words;
  return words;
}
}  // namespace

void SetPageWords(std::map<std::string, std::string> words) {
  std::erase_if(words, [](const auto& word) { return word.second.empty(); });
  PageWords() = std::move(words);
}

const std::string& PageWord(const std::string& english) {
  const auto& words = PageWords();
  const auto found = words.find(english);
  return found == words.end() ? english : found->second;
}

std::string PageWordsOf(const std::string& text) {
  if (const std::string& whole = PageWord(text); &whole != &text) return whole;
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(' ', start);
    if (end == std::string::npos) end = text.size();
    if (start > 0) out += ' ';
    out += PageWord(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// ----- Templates -------------------------------------------------------------------------------

std::string ReplaceAll(std::string text, std::string_view marker, std::string_view value) {
  if (marker.empty()) return text;
  for (size_t at = text.find(marker); at != std::string::npos;
       at = text.find(marker, at + value.size())) {
    text.replace(at, marker.size(), value);
  }
  return text;
}

int32_t LoadTemplate(const fs::path& folder, const std::string& name, const std::string& title,
                     PageTemplate& out) {
  std::optional<std::string> bytes = platform::ReadFile(folder / name);
  if (!bytes) return kInvalidParameter;
  const size_t at = bytes->find(kContentMarker);
  if (at == std::string::npos) {
    out.head = *bytes;
    out.tail.clear();
  } else {
    out.head = bytes->substr(0, at);
    out.tail = bytes->substr(at + kContentMarker.size());
  }
  out.head = ReplaceAll(std::move(out.head), kTitleMarker, HtmlEscape(title));
  return kOk;
}

// ----- File names ------------------------------------------------------------------------------

fs::path MakeUniquePath(const fs::path& path) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(path, ec))) return path;
  const fs::path folder = path.parent_path();
  const std::string stem = path.stem().string();
  const std::string ext = path.extension().string();
  for (int n = 1; n < 1000000; ++n) {
    fs::path candidate = folder / (stem + "(" + std::to_string(n) + ")" + ext);
    if (!fs::exists(fs::symlink_status(candidate, ec))) return candidate;
  }
  return path;
}

std::string RecoverStamp(int64_t unixSeconds) {
  const std::time_t t = std::time_t(unixSeconds);
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

// ----- Conversation files ------------------------------------------------------------------------

namespace {

template <class Item>
ConversationLine LineOf(const Item& m) {
  ConversationLine line;
  line.deleted = m.deleted;
  line.fromMe = m.fromMe;
  line.date = m.date;
  line.name = m.name;
  line.phone = m.phone;
  line.text = m.text;
  for (const MessageAttachment& a : m.attachments) line.attachments.push_back({a.name, a.mime, {}});
  line.backups = m.backups;
  return line;
}

}  // namespace

ConversationHead HeadOf(const Conversation& c) {
  return {c.group, ConversationLabel(c), c.members};
}
ConversationHead HeadOf(const ChatConversation& c) {
  return {c.group, ConversationLabel(c), c.members};
}

std::vector<ConversationLine> LinesOf(const Conversation& conversation, bool deletedOnly) {
  std::vector<ConversationLine> lines;
  lines.reserve(conversation.messages.size());
  for (const MessageItem& m : conversation.messages) {
    if (deletedOnly && m.deleted == 0) continue;
    ConversationLine line = LineOf(m);
    // In a group the sender speaks; in a one-to-one conversation the person is the partner.
    if (conversation.group) line.name = m.fromMe ? std::string("Me") : m.name;
    line.service = m.service;
    line.reactions = m.reactions;
    line.edited = m.edited;
    line.unsent = m.unsent;
    line.earlierTexts = m.earlierTexts;
    line.replyTo = m.replyTo;
    lines.push_back(std::move(line));
  }
  return lines;
}

std::vector<ConversationLine> LinesOf(const ChatConversation& chat, bool deletedOnly) {
  std::vector<ConversationLine> lines;
  lines.reserve(chat.messages.size());
  for (const ChatMessageItem& m : chat.messages) {
    if (deletedOnly && m.deleted == 0) continue;
    lines.push_back(LineOf(m));
  }
  return lines;
}

namespace {
bool HasRealName(const std::string& name) { return !name.empty() && name != "Unknown"; }
}  // namespace

std::string PersonLabel(const std::string& name, const std::string& address) {
  if (!HasRealName(name)) return address;
  return address.empty() ? name : name + "(" + address + ")";
}

std::string MembersText(const std::vector<ConversationMember>& members) {
  std::string out;
  for (const ConversationMember& m : members) {
    if (!out.empty()) out += ", ";
    out += PersonLabel(m.name, m.address);
  }
  return out;
}

std::string ReactionsText(const std::vector<MessageReaction>& reactions) {
  std::string out;
  for (const MessageReaction& r : reactions) {
    if (!out.empty()) out += ", ";
    out += r.kind + " " + r.by;
  }
  return out;
}

std::string ShownText(const ConversationLine& line) {
  if (line.unsent) return line.text.empty() ? "(unsent)" : line.text + " (unsent)";
  if (line.edited) return line.text + " (edited)";
  return line.text;
}

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

// A file written through one large buffer.
File OpenForWriting(const fs::path& path) {
  File file(std::fopen(path.c_str(), "wb"), &fclose);
  if (file) std::setvbuf(file.get(), nullptr, _IOFBF, 1 << 18);
  return file;
}

int32_t Finish(File& file) {
  const bool failed = std::ferror(file.get()) != 0;
  const int closed = std::fclose(file.release());
  if (failed || closed != 0) return errno != 0 ? errno : EIO;
  return kOk;
}

// A text with every line feed written as CR LF (line ends already CR LF stay as they are).
std::string WithCrLf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

}  // namespace

int32_t WriteConversationText(const fs::path& path, const ConversationHead& head,
                              const std::vector<ConversationLine>& lines) {
  File file = OpenForWriting(path);
  if (!file) return errno != 0 ? errno : EIO;
  // Written message by message; each piece ends with a line feed, so that cleaning and line
  // ends come out as for the whole text at once.
  std::string text(kBom);
  const auto put = [&] {
    const std::string bytes = WithCrLf(platform::SanitizeUtf8(text));
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    text.clear();
  };
  char label[16];
  const auto add = [&](const char* caption, const std::string& value) {
    std::snprintf(label, sizeof label, "%10s: ", caption);
    text += label + value + "\n";
  };
  if (head.group) {
    add("Group", head.title);
    add("Members", MembersText(head.members));
    text += "\n";
  }
  for (const ConversationLine& m : lines) {
    std::string who;
    if (head.group) {
      who = m.fromMe == 1 ? head.title : PersonLabel(m.name, m.phone);
    } else {
      who = PersonLabel(m.name, m.phone);
    }
    add(m.fromMe == 1 ? "To" : "From", m.deleted ? who + " [deleted]" : who);
    if (!m.service.empty()) add("Service", m.service);
    add("Date", m.date);
    if (!m.replyTo.empty()) add("Reply to", m.replyTo);
    add("Content", ShownText(m));
    for (const LineAttachment& a : m.attachments) add("Attachment", a.name);
    if (!m.reactions.empty()) add("Reactions", ReactionsText(m.reactions));
    for (const std::string& earlier : m.earlierTexts) add("Earlier", earlier);
    text += "\n";
    put();
  }
  put();
  return Finish(file);
}

int32_t WriteChatCsv(const fs::path& path, const std::vector<ConversationLine>& lines) {
  File file = OpenForWriting(path);
  if (!file) return errno != 0 ? errno : EIO;
  std::string text(kBom);
  text += "Chats,Name/Phone,Date,Type,Content,Attachments,Deleted\r\n";
  for (const ConversationLine& m : lines) {
    std::string names;
    for (const LineAttachment& a : m.attachments) names += (names.empty() ? "" : "; ") + a.name;
    text += CsvField(platform::SanitizeUtf8(m.name)) + "," +
            CsvField(platform::SanitizeUtf8(m.phone)) + "," + CsvField(m.date) + "," +
            (m.fromMe == 1 ? "Send" : "Received") + "," +
            CsvField(platform::SanitizeUtf8(m.text)) + "," +
            CsvField(platform::SanitizeUtf8(names)) + "," + (m.deleted ? "yes" : "") + "\r\n";
    std::fwrite(text.data(), 1, text.size(), file.get());
    text.clear();
  }
  std::fwrite(text.data(), 1, text.size(), file.get());
  return Finish(file);
}

std::string ConversationHeadHtml(const ConversationHead& head) {
  if (!head.group) return {};
  return "<div class=\"members\">" + HtmlEscape(PageWord("Members:")) + " " +
         HtmlEscape(MembersText(head.members)) + "</div>\r\n";
}

namespace {

std::string AttachmentHtml(const LineAttachment& a) {
  const std::string name = HtmlEscape(a.name);
  if (a.link.empty()) return "<div class=\"attachment\">" + name + "</div>";
  const std::string src = HtmlEscape(a.link);
  // The kind by the MIME type the phone stored, else (none stored, as for many carved rows and
  // older phones) by the file's name.
  std::string type = a.mime.substr(0, a.mime.find('/'));
  if (a.mime.empty()) {
    const fs::path file(a.name);
    type = media::LooksLikePicture(file) ? "image"
           : media::LooksLikeAudio(file) ? "audio"
           : media::LooksLikeVideo(file) ? "video"
                                         : "";
  }
  const std::string download =
      " <a class=\"original\" href=\"" + src + "\" download>" + name + "</a>";
  // A HEIC picture shows through its JPEG copy; the original stays a download.
  if (type == "image" || !a.view.empty()) {
    const std::string whole = HtmlEscape(a.view.empty() ? a.link : a.view);
    const std::string shown = a.thumb.empty() ? whole : HtmlEscape(a.thumb);
    return "<div class=\"attachment\"><a href=\"" + whole + "\"><img src=\"" + shown +
           "\" loading=\"lazy\" alt=\"" + name + "\"></a>" + (a.view.empty() ? "" : download) +
           "</div>";
  }
  if (type == "audio" || !a.playable.empty()) {
    std::string html = "<div class=\"attachment\"><audio controls preload=\"metadata\">";
    if (!a.playable.empty()) {
      html += "<source src=\"" + HtmlEscape(a.playable) + "\" type=\"audio/mp4\">";
    }
    html += "<source src=\"" + src + "\"";
    if (!a.mime.empty() && a.mime.rfind("audio/", 0) == 0) {
      html += " type=\"" + HtmlEscape(a.mime) + "\"";
    }
    return html + "></audio>" + download + "</div>";
  }
  if (type == "video") {
    std::string html = "<div class=\"attachment\"><video controls preload=\"none\"";
    if (!a.thumb.empty()) html += " poster=\"" + HtmlEscape(a.thumb) + "\"";
    html += ">";
    if (!a.h264.empty()) {
      html += "<source src=\"" + HtmlEscape(a.h264) + "\" type=\"video/mp4\">";
    }
    return html + "<source src=\"" + src + "\"></video>" + download + "</div>";
  }
  return "<div class=\"attachment\"><a href=\"" + src + "\">" + name + "</a></div>";
}

}  // namespace

std::string ConversationMessageHtml(const ConversationLine& m) {
  std::string html =
      "<div class=\"date\">" + HtmlEscape(PageWord("Date:")) + " " + HtmlEscape(m.date) + " ";
  const std::string service =
      m.service.empty() ? std::string() : " <span class=\"service\">" + HtmlEscape(m.service) +
                                              "</span>";
  const std::string deleted =
      m.deleted ? " <span class=\"deleted_label\">" + HtmlEscape(PageWord("deleted")) + "</span>"
                : "";
  // The backups it was found in, small beside the sender, when several were read as one.
  std::string from;
  for (const std::string& label : m.backups) from += (from.empty() ? "" : " \xC2\xB7 ") + label;
  const std::string backups =
      from.empty() ? std::string() : " <span class=\"backups\">" + HtmlEscape(from) + "</span>";
  if (m.fromMe == 1) {
    html += HtmlEscape(PageWord("Me")) + ":" + service + deleted + backups + "</div>\r\n";
    html += m.deleted ? "<div class=\"del_send_msg\">" : "<div class=\"send_msg\">";
  } else {
    html += HtmlEscape(HasRealName(m.name) ? m.name : m.phone) + ":" + service + deleted +
            backups + "</div>\r\n";
    html += m.deleted ? "<div class=\"del_recv_msg\">" : "<div class=\"recv_msg\">";
  }
  if (!m.replyTo.empty()) {
    html += "<div class=\"reply\">\xE2\x86\xAA " + HtmlEscape(m.replyTo) + "</div>";
  }
  if (m.unsent) {
    html += "<span class=\"mark\">" + HtmlEscape(PageWord("unsent")) + "</span>";
    if (!m.text.empty()) html += " " + HtmlEscape(m.text);
  } else {
    html += HtmlEscape(m.text);
    if (m.edited) html += " <span class=\"mark\">" + HtmlEscape(PageWord("edited")) + "</span>";
  }
  for (const LineAttachment& a : m.attachments) html += AttachmentHtml(a);
  for (const std::string& earlier : m.earlierTexts) {
    html += "<div class=\"earlier\">" + HtmlEscape(earlier) + "</div>";
  }
  if (!m.reactions.empty()) {
    html += "<div class=\"reactions\">" + HtmlEscape(ReactionsText(m.reactions)) + "</div>";
  }
  html += "</div>\r\n";
  return html;
}

int32_t WriteWholeFile(const fs::path& path, std::string_view bytes) {
  File file = OpenForWriting(path);
  if (!file) return errno != 0 ? errno : EIO;
  std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  return Finish(file);
}

}  // namespace halvern
