// Cutting a long conversation into pages (see conversation_parts.h).
#include "export/conversation_parts.h"

#include <cctype>

namespace halvern {

namespace {

// The longest entity HtmlEscape makes ("&quot;", and U+FFFD's three bytes for one bad byte).
constexpr size_t kEscapeGrowth = 6;
// The markup of a message around its values, and of an attachment around its names and links.
constexpr size_t kMessageMarkup = 600;
constexpr size_t kAttachmentMarkup = 700;

// "2019" (level 0) or "2019-03" (level 1) of a "YYYY-MM-DD hh:mm:ss" date; "undated" when the
// date is not of that form.
std::string KeyOf(const ConversationLine& line, int level) {
  const std::string& d = line.date;
  const size_t length = level == 0 ? 4 : 7;
  if (d.size() < length) return "undated";
  for (size_t i = 0; i < length; ++i) {
    const bool digit = std::isdigit(static_cast<unsigned char>(d[i])) != 0;
    if (i == 4 ? d[i] != '-' : !digit) return "undated";
  }
  return d.substr(0, length);
}

class Splitter {
 public:
  Splitter(const std::vector<ConversationLine>& lines, size_t maxLines, size_t maxBytes)
      : lines_(lines), maxLines_(maxLines), maxBytes_(maxBytes) {
    prefix_.resize(lines.size() + 1, 0);
    for (size_t i = 0; i < lines.size(); ++i) prefix_[i + 1] = prefix_[i] + LineHtmlBound(lines[i]);
  }
  bool Fits(size_t begin, size_t end) const {
    return end - begin <= maxLines_ && prefix_[end] - prefix_[begin] <= maxBytes_;
  }
  void Split(size_t begin, size_t end, int level) {
    size_t run = begin;
    while (run < end) {
      const std::string key = KeyOf(lines_[run], level);
      size_t stop = run + 1;
      while (stop < end && KeyOf(lines_[stop], level) == key) ++stop;
      if (Fits(run, stop)) {
        parts_.push_back(ConversationPart{key, run, stop});
      } else if (level == 0 && key != "undated") {
        Split(run, stop, 1);
      } else {
        Pieces(key, run, stop);
      }
      run = stop;
    }
  }
  std::vector<ConversationPart> Take() { return std::move(parts_); }

 private:
  // Consecutive pieces as full as they can be: "key (1)", "key (2)", ...
  void Pieces(const std::string& key, size_t begin, size_t end) {
    int n = 1;
    while (begin < end) {
      size_t stop = begin + 1;  // a message too large for a page alone still gets its page
      while (stop < end && Fits(begin, stop + 1)) ++stop;
      parts_.push_back(ConversationPart{key + " (" + std::to_string(n++) + ")", begin, stop});
      begin = stop;
    }
  }

  const std::vector<ConversationLine>& lines_;
  size_t maxLines_, maxBytes_;
  std::vector<size_t> prefix_;
  std::vector<ConversationPart> parts_;
};

}  // namespace

size_t LineHtmlBound(const ConversationLine& line) {
  size_t values = line.date.size() + line.name.size() + line.phone.size() + line.text.size() +
                  line.service.size() + line.replyTo.size();
  for (const std::string& e : line.earlierTexts) values += e.size();
  size_t markup = kMessageMarkup;
  for (const LineAttachment& a : line.attachments) {
    values += a.name.size() * 3 + a.mime.size() + a.link.size() + a.thumb.size() + a.view.size() +
              a.playable.size() + a.h264.size();
    markup += kAttachmentMarkup;
  }
  for (const MessageReaction& r : line.reactions) values += r.kind.size() + r.by.size() + 4;
  return values * kEscapeGrowth + markup;
}

std::vector<ConversationPart> SplitConversation(const std::vector<ConversationLine>& lines,
                                                size_t maxLines, size_t maxBytes) {
  if (lines.empty()) return {ConversationPart{"", 0, 0}};
  Splitter splitter(lines, maxLines == 0 ? 1 : maxLines, maxBytes);
  if (splitter.Fits(0, lines.size())) return {ConversationPart{"", 0, lines.size()}};
  splitter.Split(0, lines.size(), 0);
  return splitter.Take();
}

std::string PartsNavHtml(const std::vector<ConversationPart>& parts,
                         const std::vector<std::string>& links, size_t current) {
  if (parts.size() < 2) return {};
  std::string html = "<nav class=\"parts\">Pages:";
  for (size_t i = 0; i < parts.size(); ++i) {
    const std::string label = HtmlEscape(parts[i].label) + " <span class=\"count\">(" +
                              std::to_string(parts[i].end - parts[i].begin) + ")</span>";
    if (i == current) {
      html += " <strong>" + label + "</strong>";
    } else {
      html += " <a href=\"" + HtmlEscape(links[i]) + "\">" + label + "</a>";
    }
    if (i + 1 < parts.size()) html += " &middot;";
  }
  html += "</nav>\r\n";
  return html;
}

}  // namespace halvern
