// Long conversations cut into pages, and the attachments of a page shown through their copies
// for browsers.
#include "export/conversation_parts.h"

#include <gtest/gtest.h>

#include "export/writers.h"

namespace halvern {
namespace {

std::vector<ConversationLine> Dated(const std::vector<std::string>& dates) {
  std::vector<ConversationLine> lines;
  for (const std::string& d : dates) {
    ConversationLine line;
    line.date = d;
    line.text = "hi";
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> Labels(const std::vector<ConversationPart>& parts) {
  std::vector<std::string> labels;
  for (const ConversationPart& p : parts) {
    labels.push_back(p.label + ":" + std::to_string(p.begin) + "-" + std::to_string(p.end));
  }
  return labels;
}

TEST(ConversationParts, CutByYearThenMonthThenPiecesAndNeverLoseAMessage) {
  const std::vector<ConversationLine> lines =
      Dated({"2019-01-05 10:00:00", "2019-01-06 10:00:00", "2019-02-01 10:00:00",
             "2019-03-01 10:00:00", "2020-01-01 10:00:00", "2020-01-02 10:00:00",
             "2020-01-03 10:00:00", "2020-01-04 10:00:00", "2021-05-01 10:00:00", "", "garbled"});
  struct Case {
    size_t maxLines;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {100, {":0-11"}},  // all on one page: no label
      {4, {"2019:0-4", "2020:4-8", "2021:8-9", "undated:9-11"}},
      {3,
       {"2019-01:0-2", "2019-02:2-3", "2019-03:3-4", "2020-01 (1):4-7", "2020-01 (2):7-8",
        "2021:8-9", "undated:9-11"}},
      {1,
       {"2019-01 (1):0-1", "2019-01 (2):1-2", "2019-02:2-3", "2019-03:3-4", "2020-01 (1):4-5",
        "2020-01 (2):5-6", "2020-01 (3):6-7", "2020-01 (4):7-8", "2021:8-9", "undated (1):9-10",
        "undated (2):10-11"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.maxLines);
    EXPECT_EQ(Labels(SplitConversation(lines, c.maxLines)), c.labels);
  }
  EXPECT_EQ(Labels(SplitConversation({}, 5)), std::vector<std::string>{":0-0"});
}

TEST(ConversationParts, BytesCutToo) {
  std::vector<ConversationLine> lines = Dated(
      {"2019-01-01 10:00:00", "2019-01-02 10:00:00", "2019-01-03 10:00:00", "2019-01-04 10:00:00"});
  lines[1].text = std::string(10000, '"');  // escaped to 60,000 bytes
  const size_t small = LineHtmlBound(lines[0]);
  // The large message can never share a page, and still gets its own.
  EXPECT_EQ(Labels(SplitConversation(lines, 100, small * 2)),
            (std::vector<std::string>{"2019-01 (1):0-1", "2019-01 (2):1-2", "2019-01 (3):2-4"}));
  // The bound holds what the page makes of a line.
  EXPECT_GE(LineHtmlBound(lines[1]), ConversationMessageHtml(lines[1]).size());
  lines[2].attachments.push_back({std::string(300, '<'), "image/jpeg", "attachments/a%20b.jpg",
                                  "attachments/thumbs/a%20b.jpg.jpg", "", "", ""});
  EXPECT_GE(LineHtmlBound(lines[2]), ConversationMessageHtml(lines[2]).size());
}

TEST(ConversationParts, NavLinksEveryOtherPart) {
  const std::vector<ConversationPart> parts = {
      {"2019", 0, 5}, {"2020-01", 5, 7}, {"2020-02", 7, 8}};
  const std::string nav = PartsNavHtml(parts, {"a.html", "a%20-%202020-01.html", "b&c.html"}, 1);
  EXPECT_NE(nav.find("<a href=\"a.html\">2019 <span class=\"count\">(5)</span></a>"),
            std::string::npos)
      << nav;
  EXPECT_NE(nav.find("<strong>2020-01 <span class=\"count\">(2)</span></strong>"),
            std::string::npos)
      << nav;
  EXPECT_NE(nav.find("href=\"b&amp;c.html\""), std::string::npos) << nav;
  EXPECT_EQ(PartsNavHtml({{"", 0, 3}}, {"a.html"}, 0), "");
}

TEST(ConversationParts, AttachmentsShowTheirCopiesForBrowsersAndLinkTheOriginals) {
  struct Case {
    LineAttachment a;
    std::vector<std::string> wanted;
  };
  const Case cases[] = {
      {{"IMG_1.HEIC", "image/heic", "attachments/IMG_1.HEIC", "attachments/thumbs/IMG_1.HEIC.jpg",
        "attachments/IMG_1.jpg", "", ""},
       {"<a href=\"attachments/IMG_1.jpg\"><img src=\"attachments/thumbs/IMG_1.HEIC.jpg\" "
        "loading=\"lazy\"",
        "href=\"attachments/IMG_1.HEIC\" download>IMG_1.HEIC</a>"}},
      {{"IMG_2.JPG", "", "attachments/IMG_2.JPG", "", "", "", ""},  // no MIME type, no thumbnail
       {"<a href=\"attachments/IMG_2.JPG\"><img src=\"attachments/IMG_2.JPG\" loading=\"lazy\""}},
      {{"Audio Message.caf", "audio/x-caf", "attachments/Audio%20Message.caf", "", "",
        "attachments/Audio%20Message.caf.m4a", ""},
       {"<audio controls preload=\"metadata\"><source src=\"attachments/Audio%20Message.caf.m4a\" "
        "type=\"audio/mp4\"><source src=\"attachments/Audio%20Message.caf\" type=\"audio/x-caf\">"
        "</audio>",
        "download>Audio Message.caf</a>"}},
      {{"clip.MOV", "video/quicktime", "attachments/clip.MOV", "attachments/thumbs/clip.MOV.jpg",
        "", "", "attachments/clip.MOV.mp4"},
       {"<video controls preload=\"none\" poster=\"attachments/thumbs/clip.MOV.jpg\"><source "
        "src=\"attachments/clip.MOV.mp4\" type=\"video/mp4\"><source src=\"attachments/clip.MOV\">",
        "download>clip.MOV</a>"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.a.name);
    ConversationLine line = Dated({"2019-01-01 10:00:00"})[0];
    line.attachments = {c.a};
    const std::string html = ConversationMessageHtml(line);
    for (const std::string& w : c.wanted) EXPECT_NE(html.find(w), std::string::npos) << html;
  }
}

}  // namespace
}  // namespace halvern
