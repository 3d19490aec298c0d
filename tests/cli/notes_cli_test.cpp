// Notes as the person wrote them, through the command line: scan --json of the note store of
// iOS 14, 16 and 18 (attachments in text order, the checklist, accounts and folders, the
// locked note), the notes password read from stdin, and the recovered page and .txt.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <map>
#include <sstream>

#include "tests/fixtures/notes_dbs.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
namespace fx = halvern::fixtures;
using fx::Quote;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A backup holding the rich note store of `layout`.
fs::path RichBackup(const fx::TempDir& dir, fx::NoteStoreLayout layout) {
  fx::BackupSpec spec;
  fs::create_directories(dir / "work");
  EXPECT_EQ(fx::AddRichNotes(spec, dir / "work", layout), "");
  std::string error;
  EXPECT_TRUE(fx::WriteBackup(dir / "backup", spec, &error)) << error;
  return dir / "backup";
}

std::map<std::string, nlohmann::json> NotesByTitle(const std::string& out) {
  std::map<std::string, nlohmann::json> byTitle;
  const auto doc = nlohmann::json::parse(out, nullptr, false);
  if (doc.is_discarded()) return byTitle;
  for (const auto& n : doc["categories"]["notes"]) byTitle.try_emplace(n["title"].get<std::string>(), n);  // the first of a title
  return byTitle;
}

TEST(NotesCli, ScanJsonOfEveryLayoutHasAttachmentsChecklistAccountsAndLockedNote) {
  for (const auto layout : {fx::NoteStoreLayout::kIos14, fx::NoteStoreLayout::kIos16,
                            fx::NoteStoreLayout::kIos18}) {
    SCOPED_TRACE(int(layout));
    fx::TempDir dir;
    const fs::path backup = RichBackup(dir, layout);
    const auto run = fx::RunCli("scan --json " + Quote(backup), "TZ=UTC");
    ASSERT_EQ(run.status, 0);
    auto notes = NotesByTitle(run.out);
    ASSERT_TRUE(notes.count(fx::kRichNoteTitle)) << run.out.substr(0, 2000);
    const nlohmann::json& rich = notes[fx::kRichNoteTitle];
    EXPECT_EQ(rich["account"], "iCloud");
    EXPECT_EQ(rich["folder"], "Travel");
    EXPECT_EQ(rich["checklist"], nlohmann::json::parse(
                                     R"([{"text":"Passport","done":true},{"text":"Rain coat","done":false}])"));
    // The body stays as stored: one U+FFFC where each attachment stands.
    EXPECT_NE(rich["body"].get<std::string>().find("\xEF\xBF\xBC\n\xEF\xBF\xBC"), std::string::npos);
    const auto& attachments = rich["attachments"];
    ASSERT_EQ(attachments.size(), 6u) << attachments.dump(1);
    const std::pair<const char*, const char*> names[] = {
        {"IMG_0001.jpeg", "image/jpeg"}, {"Scanned Document", "application/pdf"},
        {"Ticket.pdf", "application/pdf"}, {"Call with Anna.m4a", "audio/mp4"},
        {"Lyon tourist office", ""}, {"", ""}};
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(attachments[i]["name"], names[i].first);
      EXPECT_EQ(attachments[i]["mime"], names[i].second);
      const std::string path = attachments[i]["path"];
      EXPECT_EQ(path.empty(), i >= 4) << i;
      if (!path.empty()) EXPECT_TRUE(fs::is_regular_file(path)) << path;
    }
    EXPECT_EQ(attachments[3]["transcript"], "Hello, the train leaves at nine.");
    EXPECT_EQ(attachments[4]["url"], "https://www.visiterlyon.com/");
    EXPECT_EQ(attachments[5]["rows"][2][1], "Annecy \xE2\x9B\xB0");
    EXPECT_EQ(notes["Shopping"]["account"], "On My iPhone");
    EXPECT_EQ(notes[fx::kLockedNoteTitle]["locked"], 1);
    EXPECT_EQ(notes[fx::kLockedNoteTitle]["opened"], 0);
    EXPECT_EQ(notes[fx::kLockedNoteTitle]["body"], "This note is locked");
    ASSERT_TRUE(notes.count(fx::kDeletedNoteTitle));
    EXPECT_EQ(notes[fx::kDeletedNoteTitle]["deleted"], 1);
    ASSERT_EQ(notes[fx::kDeletedNoteTitle]["attachments"].size(), 1u);
    EXPECT_EQ(notes[fx::kDeletedNoteTitle]["attachments"][0]["deleted"], 1);
  }
}

// The right password opens the note (either Unicode form of it); a wrong one ends the run with
// its own status and no output; --notes-password needs a terminal.
TEST(NotesCli, NotesPasswordFromStdin) {
  fx::TempDir dir;
  const fs::path backup = RichBackup(dir, fx::NoteStoreLayout::kIos16);
  for (const char* password : {fx::kNotesPassword, fx::kNotesPasswordDecomposed}) {
    const auto run = fx::RunCli("scan --json --notes-password-stdin " + Quote(backup), "TZ=UTC",
                                password);
    ASSERT_EQ(run.status, 0);
    auto notes = NotesByTitle(run.out);
    EXPECT_EQ(notes[fx::kLockedNoteTitle]["body"], fx::kLockedNoteText);
    EXPECT_EQ(notes[fx::kLockedNoteTitle]["opened"], 1);
  }
  const auto wrong =
      fx::RunCli("scan --json --notes-password-stdin " + Quote(backup), "TZ=UTC", "Grusse 2024");
  EXPECT_EQ(wrong.status, 4);
  EXPECT_EQ(wrong.out, "");
  const auto noTerminal =
      fx::RunCli("scan --json --notes-password " + Quote(backup) + " </dev/null", "TZ=UTC");
  EXPECT_EQ(noTerminal.status, 2);
}

// The recovered folder: the page shows the note as written, the .txt names every attachment at
// its place with ticks for the checklist; the opened note's text is there and the password
// nowhere.
TEST(NotesCli, RecoveredPageAndTextShowTheNoteAsWritten) {
  fx::TempDir dir;
  const fs::path backup = RichBackup(dir, fx::NoteStoreLayout::kIos18);
  const auto run = fx::RunCli("recover --only notes --notes-password-stdin " + Quote(backup) +
                                  " --to " + Quote(dir / "out"),
                              "TZ=UTC", fx::kNotesPassword);
  ASSERT_EQ(run.status, 0);
  fs::path page, text;
  for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
    if (e.path().extension() == ".html" && e.path().parent_path().filename() == "Notes")
      page = e.path();
    if (e.path().extension() == ".txt" && e.path().parent_path().filename() == "Notes")
      text = e.path();
  }
  ASSERT_FALSE(page.empty());
  ASSERT_FALSE(text.empty());
  const std::string txt = Read(text);
  for (const char* line :
       {"\xE2\x98\x91 Passport\r\n", "\xE2\x98\x90 Rain coat\r\n", "\xE2\x80\xA2 Sunscreen\r\n",
        "1. Book the hotel\r\n", "[Picture: IMG_0001.jpeg]\r\n",
        "[Scanned document: Scanned Document]\r\n", "[PDF: Ticket.pdf]\r\n",
        "[Recording: Call with Anna.m4a]\r\nTranscript: Hello, the train leaves at nine.\r\n",
        "[Link: Lyon tourist office <https://www.visiterlyon.com/>]\r\n",
        "[Table]\r\n| Day | City |\r\n| Mon | Lyon |\r\n", "PIN 4711",
        "Account: iCloud\r\n"}) {
    EXPECT_NE(txt.find(line), std::string::npos) << line << "\n" << txt;
  }
  const std::string html = Read(page);
  for (const char* piece :
       {"<h3>Packing</h3>", "<li class=\"done\"><input type=\"checkbox\" disabled checked /> Passport</li>",
        "<li class=\"open\"><input type=\"checkbox\" disabled /> Rain coat</li>",
        "<img class=\"note-picture\" src=\"files/IMG_0001.jpeg\"", "<audio controls src=\"files/Call%20with%20Anna.m4a\"",
        "href=\"files/Ticket.pdf\"", "<a class=\"note-link-card\" href=\"https://www.visiterlyon.com/\"",
        "<td>Tue</td><td>Annecy \xE2\x9B\xB0</td>", "<ol><li>Book the hotel</li></ol>"}) {
    EXPECT_NE(html.find(piece), std::string::npos) << piece;
  }
  EXPECT_TRUE(fs::is_regular_file(page.parent_path() / "files" / "IMG_0001.jpeg"));
  // The scan's rendering, named by its title, keeps the extension of its type.
  EXPECT_TRUE(fs::is_regular_file(page.parent_path() / "files" / "Scanned Document.pdf"));
  EXPECT_NE(html.find("href=\"files/Scanned%20Document.pdf\""), std::string::npos);
  // The password is written nowhere in what was recovered.
  for (const auto& e : fs::recursive_directory_iterator(dir / "out")) {
    if (!e.is_regular_file()) continue;
    const std::string bytes = Read(e.path());
    EXPECT_EQ(bytes.find(fx::kNotesPassword), std::string::npos) << e.path();
  }
}

}  // namespace
}  // namespace halvern
