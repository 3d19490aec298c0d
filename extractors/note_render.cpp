// Notes written out as text and HTML (see note_render.h).
#include "extractors/note_render.h"

#include <algorithm>

namespace halvern::notes {
namespace {

constexpr int32_t kTitle = 0, kHeading = 1, kSubheading = 2, kMonospaced = 4;
constexpr int32_t kBulleted = 100, kDashed = 101, kNumbered = 102, kChecklist = 103;

std::string Escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

// An address the page may link to: web and mail only (a note may hold any text).
bool SafeAddress(std::string_view url) {
  std::string lower(url.substr(0, std::min<size_t>(url.size(), 8)));
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return char(std::tolower(uint8_t(c))); });
  return lower.starts_with("https://") || lower.starts_with("http://") ||
         lower.starts_with("mailto:");
}

// The label of an attachment in the text.
std::string KindLabel(const std::string& kind) {
  if (kind == "picture") return "Picture";
  if (kind == "scan") return "Scanned document";
  if (kind == "drawing") return "Drawing";
  if (kind == "pdf") return "PDF";
  if (kind == "audio") return "Recording";
  if (kind == "video") return "Video";
  if (kind == "link") return "Link";
  if (kind == "table") return "Table";
  return "File";
}

}  // namespace

std::string AttachmentText(const NoteAttachment& a) {
  if (a.kind == "inline") return a.name;
  if (a.kind == "table") {
    std::string out = "[Table]";
    for (const auto& row : a.rows) {
      out += "\n|";
      for (const std::string& cell : row) out += " " + cell + " |";
    }
    return out;
  }
  std::string out = "[" + KindLabel(a.kind) + ": " + (a.name.empty() ? a.uti : a.name);
  if (a.kind == "link" && !a.url.empty() && a.url != a.name) out += " <" + a.url + ">";
  out += "]";
  if (a.kind == "audio" && !a.transcript.empty()) out += "\nTranscript: " + a.transcript;
  return out;
}

std::string ParagraphMark(const NoteParagraph& p, int number) {
  switch (p.style) {
    case kChecklist: return p.done ? "\xE2\x98\x91 " : "\xE2\x98\x90 ";  // ☑ ☐
    case kBulleted: return "\xE2\x80\xA2 ";                               // •
    case kDashed: return "\xE2\x80\x93 ";                                 // –
    case kNumbered: return std::to_string(number) + ". ";
    default: return {};
  }
}

namespace {

bool IsList(int32_t style) {
  return style == kBulleted || style == kDashed || style == kNumbered || style == kChecklist;
}

}  // namespace

std::string NoteText(const NoteItem& note) {
  if (note.paragraphs.empty()) return note.body;
  std::string out;
  int number = 0;
  for (size_t i = 0; i < note.paragraphs.size(); ++i) {
    const NoteParagraph& p = note.paragraphs[i];
    number = p.style == kNumbered ? number + 1 : 0;
    if (i > 0) out += "\n";
    out += std::string(size_t(std::max(0, p.indent)) * 2, ' ') + ParagraphMark(p, number);
    for (const NotePiece& piece : p.pieces) {
      if (piece.attachment >= 0 && size_t(piece.attachment) < note.attachments.size()) {
        out += AttachmentText(note.attachments[size_t(piece.attachment)]);
      } else {
        out += piece.text;
      }
    }
  }
  return out;
}

std::string NoteHtml(const NoteItem& note, const NoteHtmlLinks& links) {
  auto word = [&](std::string_view w) {
    return Escape(links.word ? links.word(w) : std::string(w));
  };
  if (note.paragraphs.empty()) {
    std::string out;
    for (char c : Escape(note.body)) out += c == '\n' ? std::string("<br />") : std::string(1, c);
    return out;
  }
  auto attachmentHtml = [&](size_t index) {
    const NoteAttachment& a = note.attachments[index];
    const std::string file = links.file ? links.file(index) : std::string();
    const std::string name = Escape(a.name.empty() ? a.uti : a.name);
    const std::string deleted = a.deleted ? " deleted" : "";
    if (a.kind == "inline") return Escape(a.name);
    if (a.kind == "link") {
      std::string card = "<span class=\"note-link" + deleted + "\"><span class=\"note-link-title\">" +
                         Escape(a.title.empty() ? a.url : a.title) +
                         "</span><span class=\"note-link-url\">" + Escape(a.url) + "</span></span>";
      if (SafeAddress(a.url)) {
        card = "<a class=\"note-link-card\" href=\"" + Escape(a.url) + "\">" + card + "</a>";
      }
      return card;
    }
    if (a.kind == "table") {
      std::string t = "<table class=\"note-table" + deleted + "\">";
      for (const auto& row : a.rows) {
        t += "<tr>";
        for (const std::string& cell : row) t += "<td>" + Escape(cell) + "</td>";
        t += "</tr>";
      }
      return t + "</table>";
    }
    const std::string label = word(KindLabel(a.kind)) + ": " + name;
    if (file.empty()) {
      return "<span class=\"note-missing" + deleted + "\">[" + label + "]</span>";
    }
    const std::string view = links.view ? links.view(index) : std::string();
    const bool shown = a.mime.starts_with("image/") && a.mime != "image/heic" && a.mime != "image/heif";
    if (shown || !view.empty()) {
      return "<a href=\"" + Escape(file) + "\"><img class=\"note-picture" + deleted + "\" src=\"" +
             Escape(view.empty() ? file : view) + "\" alt=\"" + name + "\" /></a>";
    }
    if (a.kind == "audio") {
      const std::string playable = links.playable ? links.playable(index) : std::string();
      std::string player = "<span class=\"note-audio" + deleted + "\"><audio controls src=\"" +
                           Escape(playable.empty() ? file : playable) + "\"></audio> <a href=\"" +
                           Escape(file) + "\">" + name + "</a>";
      if (!a.transcript.empty()) {
        player += "<span class=\"note-transcript\">" + Escape(a.transcript) + "</span>";
      }
      return player + "</span>";
    }
    return "<a class=\"note-file" + deleted + "\" href=\"" + Escape(file) + "\">" + label + "</a>";
  };
  std::string out;
  std::string openList;  // "ul", "ol" or "": the list the last paragraph left open
  std::string openKey;   // that list with its class
  auto closeList = [&] {
    if (!openList.empty()) out += "</" + openList + ">";
    openList.clear();
    openKey.clear();
  };
  for (const NoteParagraph& p : note.paragraphs) {
    std::string inner;
    for (const NotePiece& piece : p.pieces) {
      if (piece.attachment >= 0 && size_t(piece.attachment) < note.attachments.size()) {
        inner += attachmentHtml(size_t(piece.attachment));
      } else if (!piece.link.empty() && SafeAddress(piece.link)) {
        inner += "<a href=\"" + Escape(piece.link) + "\">" + Escape(piece.text) + "</a>";
      } else {
        inner += Escape(piece.text);
      }
    }
    const std::string list = p.style == kNumbered ? "ol" : IsList(p.style) ? "ul" : "";
    const std::string listClass = p.style == kChecklist ? " class=\"checklist\""
                                  : p.style == kDashed  ? " class=\"dashed\""
                                                        : "";
    // A change of list kind (bullets, dashes, numbers, checklist) starts a new list.
    const std::string key = list.empty() ? std::string() : list + listClass;
    if (key != openKey) closeList();
    if (!list.empty()) {
      if (openList.empty()) {
        out += "<" + list + listClass + ">";
        openList = list;
        openKey = key;
      }
      if (p.style == kChecklist) {
        out += std::string("<li class=\"") + (p.done ? "done" : "open") + "\"><input type=\"checkbox\" disabled" +
               (p.done ? " checked" : "") + " /> " + inner + "</li>";
      } else {
        out += "<li>" + inner + "</li>";
      }
      continue;
    }
    closeList();
    switch (p.style) {
      case kTitle: out += "<h2>" + inner + "</h2>"; break;
      case kHeading: out += "<h3>" + inner + "</h3>"; break;
      case kSubheading: out += "<h4>" + inner + "</h4>"; break;
      case kMonospaced: out += "<pre>" + inner + "</pre>"; break;
      default: out += "<p>" + (inner.empty() ? std::string("<br />") : inner) + "</p>";
    }
  }
  closeList();
  return out;
}

}  // namespace halvern::notes
