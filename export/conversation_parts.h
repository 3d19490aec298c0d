// A long conversation's page in parts that a browser opens at once: at most a few thousand
// messages and a few megabytes a page, cut by year, a year too long by month, and a month too
// long into numbered pieces. Every part links to every other.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "export/writers.h"

namespace halvern {

inline constexpr size_t kMessagesPerPage = 2000;
// The messages' share of a page; the template and the links add a few kilobytes, so that no
// page comes near 5 MB.
inline constexpr size_t kMessageBytesPerPage = size_t(4) << 20;

// The messages [begin, end) of a conversation on one page, and its label: "" for the only
// part, else "2019", "2019-03", "2019-03 (2)", "undated" (a message without a date).
struct ConversationPart {
  std::string label;
  size_t begin = 0;
  size_t end = 0;
};

// The most bytes ConversationMessageHtml can make of `line` (every character escaped to its
// longest entity).
size_t LineHtmlBound(const ConversationLine& line);

// The parts of `lines` (in date order): one when they fit a page, else by year, month and
// pieces. Every part holds at least one message and at most `maxLines` lines and `maxBytes`
// of bound (a single message larger than that is a part of its own).
std::vector<ConversationPart> SplitConversation(const std::vector<ConversationLine>& lines,
                                                size_t maxLines = kMessagesPerPage,
                                                size_t maxBytes = kMessageBytesPerPage);

// The links between the parts, as a page shows them above and below its messages: `links[i]`
// is part i's relative link; part `current` is named but not linked.
std::string PartsNavHtml(const std::vector<ConversationPart>& parts,
                         const std::vector<std::string>& links, size_t current);

}  // namespace halvern
