// A note of NoteStore.sqlite written out for people: as plain text (the recovered .txt) and as
// an HTML fragment (the recovered page, the print page and the desktop preview), with its
// headings, lists, checklist ticks, tables and attachments at their place in the text.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "sqlite_recovery/records.h"

namespace halvern::notes {

// The text: checklist items as "☐ item" and "☑ item", bulleted "• ", dashed "– ", numbered
// "1. ", each attachment named at its place ("[Picture: IMG_0001.jpeg]", a link with its
// address, a recording with its transcript, a table as rows of cells between "|"). A note with
// no paragraphs (older notes, locked ones) gives its body.
std::string NoteText(const NoteItem& note);

// An attachment as the text names it at its place ("[Picture: IMG_0001.jpeg]", a table's rows).
std::string AttachmentText(const NoteAttachment& attachment);

// The mark before a paragraph's text: "☑ " or "☐ " for checklist items, "• ", "– ", "<n>. "
// for list items (`number` counts a run of numbered paragraphs), none for the others.
std::string ParagraphMark(const NoteParagraph& paragraph, int number);

// Where the page finds an attachment's file: its link (relative or absolute, already a URL
// path), and for a recording the playable copy's link when one was made; "" when none.
struct NoteHtmlLinks {
  std::function<std::string(size_t attachment)> file;
  std::function<std::string(size_t attachment)> playable;
  // For a picture browsers cannot show (HEIC), the link of its JPEG copy; "" none.
  std::function<std::string(size_t attachment)> view;
  // The page's words ("Picture", "Recording", ...) in its language; empty: English.
  std::function<std::string(std::string_view)> word;
};

// The HTML fragment: headings as <h2>/<h3>/<h4>, lists as <ul>/<ol>, checklist items as ticked
// or open boxes (class "checklist", "done" on ticked items), pictures inline, PDFs and other
// files as links, recordings with a player and their transcript, links as cards with title and
// address, tables as tables. Only web and mail addresses become links.
std::string NoteHtml(const NoteItem& note, const NoteHtmlLinks& links);

}  // namespace halvern::notes
