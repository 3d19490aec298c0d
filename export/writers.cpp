// Templates, unique names, escaping and the conversation files (see writers.h).
#include "export/writers.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>

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
std::vector<ConversationLine> LinesOfItems(const std::vector<Item>& messages) {
  std::vector<ConversationLine> lines;
  lines.reserve(messages.size());
  for (const Item& m : messages)
    lines.push_back({m.deleted, m.fromMe, m.date, m.name, m.phone, m.text});
  return lines;
}
}  // namespace

std::vector<ConversationLine> LinesOf(const std::vector<MessageItem>& messages) {
  return LinesOfItems(messages);
}
std::vector<ConversationLine> LinesOf(const std::vector<ChatMessageItem>& messages) {
  return LinesOfItems(messages);
}

namespace {

bool HasRealName(const std::string& name) { return !name.empty() && name != "Unknown"; }

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

File OpenForWriting(const fs::path& path) { return File(std::fopen(path.c_str(), "wb"), &fclose); }

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

int32_t WriteConversationText(const fs::path& path, const std::vector<ConversationLine>& lines) {
  File file = OpenForWriting(path);
  if (!file) return errno != 0 ? errno : EIO;
  std::string text(kBom);
  char label[16];
  for (const ConversationLine& m : lines) {
    const std::string who = HasRealName(m.name) ? m.name + "(" + m.phone + ")" : m.phone;
    std::snprintf(label, sizeof label, "%10s: ", m.fromMe == 1 ? "To" : "From");
    text += label + who + "\n";
    std::snprintf(label, sizeof label, "%10s: ", "Date");
    text += label + m.date + "\n";
    std::snprintf(label, sizeof label, "%10s: ", "Content");
    text += label + m.text + "\n\n";
  }
  const std::string bytes = WithCrLf(platform::SanitizeUtf8(text));
  std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  return Finish(file);
}

int32_t WriteChatCsv(const fs::path& path, const std::vector<ConversationLine>& lines) {
  File file = OpenForWriting(path);
  if (!file) return errno != 0 ? errno : EIO;
  std::string text(kBom);
  text += "Chats,Name/Phone,Date,Type,Content\r\n";
  for (const ConversationLine& m : lines) {
    text += CsvField(platform::SanitizeUtf8(m.name)) + "," +
            CsvField(platform::SanitizeUtf8(m.phone)) + "," + CsvField(m.date) + "," +
            (m.fromMe == 1 ? "Send" : "Received") + "," + CsvField(platform::SanitizeUtf8(m.text)) +
            "\r\n";
  }
  std::fwrite(text.data(), 1, text.size(), file.get());
  return Finish(file);
}

std::string ConversationMessageHtml(const ConversationLine& m) {
  std::string html = "<div class=\"date\">Date: " + HtmlEscape(m.date) + " ";
  if (m.fromMe == 1) {
    html += "Me:</div>\r\n";
    html += m.deleted ? "<div class=\"del_send_msg\">" : "<div class=\"send_msg\">";
  } else {
    html += HtmlEscape(HasRealName(m.name) ? m.name : m.phone) + ":</div>\r\n";
    html += m.deleted ? "<div class=\"del_recv_msg\">" : "<div class=\"recv_msg\">";
  }
  html += HtmlEscape(m.text) + "</div>\r\n";
  return html;
}

int32_t WriteWholeFile(const fs::path& path, std::string_view bytes) {
  File file = OpenForWriting(path);
  if (!file) return errno != 0 ? errno : EIO;
  std::fwrite(bytes.data(), 1, bytes.size(), file.get());
  return Finish(file);
}

}  // namespace halvern
