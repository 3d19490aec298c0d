// The table categories through the command line: voicemail and voice memos of both layouts in
// `scan --json` (live, trashed and carved rows, their audio), the count table, a database that
// cannot be read, and what a plain backup cannot hold.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "platform/platform.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/table_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::TempDir;
using fixtures::VoiceMemosLayout;

struct Outputs {
  int status = -1;
  std::string out, err;
};
Outputs RunBoth(const std::string& args, const TempDir& dir) {
  const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
  const std::string cmd = "TZ=UTC XDG_DATA_HOME=" + fixtures::Quote(dir / "home") +
                          " '" HALVERN_BIN_DIR "/halvern-cli' " + args + " >" +
                          fixtures::Quote(out) + " 2>" + fixtures::Quote(err) + " </dev/null";
  const int status = std::system(cmd.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, platform::ReadFile(out).value_or(""),
          platform::ReadFile(err).value_or("")};
}

// A current phone's backup (address book, messages, ...) with voicemail and the recordings of
// `layout`.
fs::path WriteBackup(const TempDir& dir, VoiceMemosLayout layout) {
  fixtures::BackupSpec spec;
  fixtures::ScanExpectation expected;
  std::string error;
  const fs::path work = dir / "work";
  fs::create_directories(work);
  EXPECT_TRUE(fixtures::MakeScanBackupSpec(fixtures::PhoneGeneration::kIos14, work, spec,
                                           expected, &error))
      << error;
  error = fixtures::AddVoicemail(spec, work, fixtures::SampleVoicemails());
  EXPECT_EQ(error, "");
  error = fixtures::AddVoiceMemos(spec, work, layout, fixtures::SampleVoiceMemos(layout));
  EXPECT_EQ(error, "");
  const fs::path backup = dir / "backup";
  EXPECT_TRUE(fixtures::WriteBackup(backup, spec, &error)) << error;
  return backup;
}

// The items of a table category by a column's value.
std::map<std::string, nlohmann::json> ByKey(const nlohmann::json& category, const char* key) {
  std::map<std::string, nlohmann::json> out;
  for (const auto& item : category["items"]) out[item[key].get<std::string>()] = item;
  return out;
}

TEST(TableCategories, VoicemailComesOutWithNamesTranscriptsAudioAndDeletedMarks) {
  TempDir dir;
  const fs::path backup = WriteBackup(dir, VoiceMemosLayout::kIos17);
  const Outputs run = RunBoth("scan --json " + fixtures::Quote(backup), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto doc = nlohmann::json::parse(run.out);
  const auto& voicemail = doc["categories"]["voicemail"];

  std::vector<std::string> keys;
  for (const auto& c : voicemail["columns"]) keys.push_back(c["key"]);
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "phone", "date", "duration", "line",
                                            "callback", "transcript", "audio", "deletedDate",
                                            "rowId"}));
  ASSERT_EQ(voicemail["items"].size(), 4u);
  const auto byPhone = ByKey(voicemail, "phone");

  // A live one: named from the address book, its transcript, its AMR audio, a Unix date.
  const auto& live = byPhone.at("+33612345678");
  EXPECT_EQ(live["name"], "Chlo\xC3\xA9 Bianchi");
  EXPECT_EQ(live["date"], "2021-09-10T18:53:20+00:00");
  EXPECT_EQ(live["duration"], 7);
  EXPECT_EQ(live["transcript"], "Hi, it's me. Call me back about Sunday.");
  EXPECT_EQ(live["deleted"], 0);
  EXPECT_EQ(live["source"], "live");
  ASSERT_EQ(live["files"].size(), 1u);
  EXPECT_EQ(live["files"][0]["name"], "1.amr");
  EXPECT_EQ(live["files"][0]["mime"], "audio/amr");
  EXPECT_TRUE(fs::is_regular_file(live["files"][0]["path"].get<std::string>()));

  // A number no card holds keeps no name; its audio is an .m4a.
  const auto& unknown = byPhone.at("+4930555010");
  EXPECT_TRUE(unknown["name"].is_null());
  EXPECT_EQ(unknown["files"][0]["mime"], "audio/mp4");

  // In the phone's Deleted Messages: deleted, with the 2001-epoch date it was trashed.
  const auto& trashed = byPhone.at("+447700900123");
  EXPECT_EQ(trashed["deleted"], 1);
  EXPECT_EQ(trashed["source"], "live");
  EXPECT_EQ(trashed["deletedDate"], "2021-09-13T04:26:40+00:00");
  EXPECT_EQ(trashed["name"], "Marc Dupont");

  // Deleted from the table: carved from the free space, kept as stored.
  const auto& carved = byPhone.at("0699887766");
  EXPECT_EQ(carved["deleted"], 1);
  EXPECT_EQ(carved["source"], "carved");
  EXPECT_EQ(carved["duration"], 12);
  EXPECT_EQ(carved["date"], "2021-09-14T06:13:20+00:00");
}

class VoiceMemosLayouts : public ::testing::TestWithParam<VoiceMemosLayout> {};

TEST_P(VoiceMemosLayouts, EveryRecordingWithTitleFolderAudioAndRecentlyDeleted) {
  TempDir dir;
  const bool ios17 = GetParam() == VoiceMemosLayout::kIos17;
  const fs::path backup = WriteBackup(dir, GetParam());
  const Outputs run = RunBoth("scan --json " + fixtures::Quote(backup), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto memos = nlohmann::json::parse(run.out)["categories"]["voiceMemos"];
  ASSERT_EQ(memos["items"].size(), 4u);
  const auto byTitle = ByKey(memos, "title");

  const auto& piano = byTitle.at("Piano lesson");
  EXPECT_EQ(piano["date"], "2021-08-30T07:06:40.5+00:00");  // fractions kept
  EXPECT_EQ(piano["duration"], 4.25);
  EXPECT_EQ(piano["audio"], "20210927 101500.m4a");
  EXPECT_EQ(piano["deleted"], 0);
  ASSERT_EQ(piano["files"].size(), 1u);
  EXPECT_EQ(piano["files"][0]["name"], "20210927 101500.m4a");
  if (ios17) {
    EXPECT_EQ(piano["folder"], "Music");
  } else {
    EXPECT_TRUE(piano["folder"].is_null());
  }
  const auto& evicted = byTitle.at("Old idea");
  EXPECT_EQ(evicted["deleted"], 1);
  EXPECT_EQ(evicted["source"], "live");
  EXPECT_EQ(evicted["deletedDate"], "2021-09-02T18:26:40+00:00");
  EXPECT_EQ(evicted["files"].size(), 1u);

  const auto& carved = byTitle.at("Gone for good");
  EXPECT_EQ(carved["deleted"], 1);
  EXPECT_EQ(carved["source"], "carved");
  EXPECT_TRUE(carved["files"].empty());
}

INSTANTIATE_TEST_SUITE_P(Layouts, VoiceMemosLayouts,
                         ::testing::Values(VoiceMemosLayout::kIos16, VoiceMemosLayout::kIos17));

TEST(TableCategories, CountsNameEveryCategoryAndItsDeletedItems) {
  TempDir dir;
  const fs::path backup = WriteBackup(dir, VoiceMemosLayout::kIos16);
  const Outputs run = RunBoth("scan " + fixtures::Quote(backup), dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Voicemail                     4        2"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Voice Memos                   4        2"), std::string::npos) << run.out;
}

// A voicemail.db that is no database: the category fails by name and cause, the exit status
// says so, and the rest of the scan stands.
TEST(TableCategories, AnUnreadableDatabaseIsAFailureOfItsCategory) {
  TempDir dir;
  fixtures::BackupSpec spec;
  spec.files = {{"HomeDomain", "Library/Voicemail/voicemail.db", std::string(8192, 'x')}};
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "backup", spec, &error)) << error;
  const Outputs run = RunBoth("scan --json " + fixtures::Quote(dir / "backup"), dir);
  EXPECT_NE(run.status, 0);
  const auto doc = nlohmann::json::parse(run.out);
  EXPECT_EQ(doc["errors"]["voicemail"],
            "voicemail.db could not be read: it is not a SQLite database (its header is damaged "
            "or it is enciphered)");
  EXPECT_TRUE(doc["categories"]["voicemail"]["items"].empty());
  EXPECT_NE(run.err.find("Voicemail: voicemail.db could not be read"), std::string::npos);
}

// A plain backup has no call history: it says so instead of a silent 0; an encrypted one
// without it says nothing of the kind.
TEST(TableCategories, APlainBackupSaysCallHistoryNeedsAnEncryptedBackup) {
  TempDir dir;
  fixtures::BackupSpec spec;
  std::string error;
  ASSERT_TRUE(fixtures::WriteBackup(dir / "backup", spec, &error)) << error;
  const Outputs json = RunBoth("scan --json " + fixtures::Quote(dir / "backup"), dir);
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(nlohmann::json::parse(json.out)["notices"]["callHistory"],
            "Call history is only in encrypted backups");
  const Outputs counts = RunBoth("scan " + fixtures::Quote(dir / "backup"), dir);
  EXPECT_NE(counts.out.find("Call History: Call history is only in encrypted backups"),
            std::string::npos)
      << counts.out;
}

// The one file of `folder` whose name ends with `suffix` ("" when there is none or several).
fs::path OneFile(const fs::path& folder, const std::string& suffix) {
  fs::path found;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) {
    if (!e.path().filename().string().ends_with(suffix)) continue;
    if (!found.empty()) return {};
    found = e.path();
  }
  return found;
}

size_t Lines(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// `recover --only` writes the named table categories and nothing else; `--deleted-only` only
// their deleted rows.
TEST(TableCategories, RecoverWritesOnlyTheChosenCategoriesAndRows) {
  TempDir dir;
  const fs::path backup = WriteBackup(dir, VoiceMemosLayout::kIos17);
  const fs::path out = dir / "out";
  Outputs run = RunBoth("recover " + fixtures::Quote(backup) + " --to " + fixtures::Quote(out) +
                            " --only voicemail",
                        dir);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("Recovered 4 of 4 selected items"), std::string::npos) << run.out;
  std::set<std::string> top;
  for (const auto& e : fs::directory_iterator(out)) top.insert(e.path().filename());
  // The voicemails are dated: their timeline comes with them.
  EXPECT_EQ(top, (std::set<std::string>{"Timeline", "Voicemail", "index.html"}));
  const std::string csv = platform::ReadFile(OneFile(out / "Voicemail", ".csv")).value_or("");
  EXPECT_EQ(Lines(csv, "\r\n"), 5u) << csv;
  EXPECT_EQ(Lines(csv, ",yes,"), 2u);
  EXPECT_EQ(Lines(platform::ReadFile(OneFile(out / "Voicemail", ".html")).value_or(""), "\t<tr"),
            4u);

  const fs::path deleted = dir / "deleted";
  run = RunBoth("recover " + fixtures::Quote(backup) + " --to " + fixtures::Quote(deleted) +
                    " --only voicemail,voiceMemos --deleted-only",
                dir);
  ASSERT_EQ(run.status, 0) << run.err;
  for (const char* title : {"Voicemail", "Voice Memos"}) {
    const std::string rows = platform::ReadFile(OneFile(deleted / title, ".csv")).value_or("");
    EXPECT_EQ(Lines(rows, "\r\n"), 3u) << title << rows;
    EXPECT_EQ(Lines(rows, ",no,"), 0u) << title;
    const std::string page = platform::ReadFile(OneFile(deleted / title, ".html")).value_or("");
    EXPECT_EQ(Lines(page, "\t<tr class=\"deleted\">"), 2u) << title;
    EXPECT_EQ(Lines(page, "\t<tr>"), 0u) << title;
  }
}

// The voicemail page plays in a browser: every <audio> of it loads in headless Chromium (an
// AMR sound, which no browser plays, through the playable copy beside it), while the AMR
// original alone does not.
TEST(TableCategories, RecoveredVoicemailsPlayInChromium) {
  const fs::path chromium = "/usr/bin/chromium";
  if (!fs::exists(chromium)) GTEST_SKIP() << "chromium is not installed";
  TempDir dir;
  const fs::path backup = WriteBackup(dir, VoiceMemosLayout::kIos17);
  const fs::path out = dir / "out";
  const Outputs run = RunBoth("recover " + fixtures::Quote(backup) + " --to " +
                                  fixtures::Quote(out) + " --only voicemail",
                              dir);
  ASSERT_EQ(run.status, 0) << run.err;
  const fs::path page = OneFile(out / "Voicemail", ".html");
  ASSERT_FALSE(page.empty());
  // A probe beside the page: the page itself, an <audio> of the AMR original alone, and a
  // script that writes each player's readyState and source once all have loaded or failed.
  std::string html = platform::ReadFile(page).value_or("");
  const size_t end = html.rfind("</body>");
  ASSERT_NE(end, std::string::npos);
  html.insert(end, R"(<audio id="amr-alone" preload="metadata"><source src="files/1.amr" type="audio/amr"></audio>
<script>
window.addEventListener('load', () => {
  const players = [...document.querySelectorAll('audio')];
  const settled = a => a.readyState >= 1 || a.error || a.networkState === 3;
  const poll = () => {
    if (!players.every(settled)) { setTimeout(poll, 50); return; }
    document.body.setAttribute('data-players', players.map(a =>
        (a.id || 'row') + ':' + a.readyState + ':' + a.currentSrc.split('/').pop()).join(' '));
  };
  poll();
});
</script>
)");
  const fs::path probe = page.parent_path() / "probe.html";
  std::ofstream(probe, std::ios::binary) << html;
  const fs::path profile = dir / "chromium-profile";
  fs::create_directories(profile);
  const fs::path dom = dir / "dom.html";
  const std::string cmd =
      "timeout 60 " + fixtures::Quote(chromium) +
      " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
      " --disable-background-networking --disable-component-update --disable-sync"
      " --user-data-dir=" + fixtures::Quote(profile) +
      " --virtual-time-budget=10000 --dump-dom " + fixtures::Quote("file://" + probe.string()) +
      " >" + fixtures::Quote(dom) + " 2>/dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const std::string shown = platform::ReadFile(dom).value_or("");
  const size_t at = shown.find("data-players=\"");
  ASSERT_NE(at, std::string::npos) << shown.substr(0, 2000);
  // Each player as "id:playable|not:source" (playable: at least its metadata loaded).
  std::istringstream list(shown.substr(at + 14, shown.find('"', at + 14) - at - 14));
  std::string players, one;
  while (list >> one) {
    const size_t first = one.find(':'), second = one.find(':', first + 1);
    const bool playable = one.substr(first + 1, second - first - 1) != "0";
    players += (players.empty() ? "" : " ") + one.substr(0, first) +
               (playable ? ":playable:" : ":not:") + one.substr(second + 1);
  }
  // Three voicemails have a sound (the carved one lost its name): each plays, the AMR ones
  // through their copies; the AMR original alone does not.
  EXPECT_EQ(players,
            "row:playable:3.amr.m4a row:playable:2.m4a row:playable:1.amr.m4a amr-alone:not:");
}

}  // namespace
}  // namespace halvern
