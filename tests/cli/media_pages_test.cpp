// What halvern-cli recover writes of a phone's media, as a browser sees it: a note with a
// picture and a checklist; a backup whose
// messages carry a HEIC photo, a Live Photo's video, Messages voice messages in CAF (Opus and
// IMA4), an AMR voicemail, a WhatsApp Opus voice note and an HEVC video, recovered and then
// opened in headless Chromium, which must show every picture and thumbnail and play every
// sound. A long conversation comes out in pages of a size a browser opens.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "tests/fixtures/backup_builder.h"
#include "tests/fixtures/media_files.h"
#include "tests/fixtures/notes_dbs.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
namespace fx = fixtures;

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string DataFile(const std::string& name) {
  return Read(fs::path(HALVERN_TEST_DATA_DIR) / "media" / name);
}

// Nanoseconds since 2001 of `day` days and `seconds` after 2021-01-01 00:00:00 UTC.
int64_t At(int64_t day, int64_t seconds = 0) {
  constexpr int64_t k2021 = 631152000;  // 2021-01-01 in seconds since 2001
  return (k2021 + day * 86400 + seconds) * 1000000000;
}

// A script that Chromium runs in a copy of a page: every picture (made eager) decoded, every
// video poster decoded, and every <audio> asked what it can play and loaded; the findings as
// JSON in a <pre id="halvern-result"> that --dump-dom prints.
constexpr const char* kCheckScript = R"(<script>
(async () => {
  const r = {images: [], posters: [], audios: []};
  const late = (p, ms) => Promise.race([p, new Promise(res => setTimeout(() => res('timeout'), ms))]);
  for (const i of document.images) i.loading = 'eager';
  for (const i of document.images) {
    const ok = await late(i.decode().then(() => 'ok', () => 'error'), 5000);
    r.images.push({src: i.getAttribute('src'), ok, width: i.naturalWidth});
  }
  for (const v of document.querySelectorAll('video[poster]')) {
    const i = new Image();
    i.src = v.getAttribute('poster');
    const ok = await late(i.decode().then(() => 'ok', () => 'error'), 5000);
    r.posters.push({src: v.getAttribute('poster'), ok, width: i.naturalWidth});
  }
  for (const a of document.querySelectorAll('audio')) {
    const first = a.querySelector('source');
    const can = first ? a.canPlayType(first.getAttribute('type') || '') : '';
    a.preload = 'auto';
    const event = await late(new Promise(res => {
      if (a.readyState >= 1) return res('ready');
      a.addEventListener('loadedmetadata', () => res('loadedmetadata'));
      a.addEventListener('error', () => res('error'), true);
    }), 5000);
    r.audios.push({first: first ? first.getAttribute('src') : '', can, event,
                   readyState: a.readyState, playing: a.currentSrc, duration: a.duration});
  }
  r.checkboxes = [...document.querySelectorAll('input[type=checkbox]')].map(
      c => ({checked: c.checked, text: c.parentElement.textContent.trim()}));
  const pre = document.createElement('pre');
  pre.id = 'halvern-result';
  pre.textContent = JSON.stringify(r);
  document.body.appendChild(pre);
})();
</script>)";

// Chromium's findings on `page` (a copy with the script, beside it, so that its relative links
// hold); a JSON null when Chromium is missing or printed no result.
nlohmann::json CheckInChromium(const fs::path& page, const fs::path& profile) {
  std::string html = Read(page);
  const size_t end = html.rfind("</body>");
  html.insert(end == std::string::npos ? html.size() : end, kCheckScript);
  const fs::path copy = page.parent_path() / ("check-" + page.filename().string());
  std::ofstream(copy, std::ios::binary) << html;
  fs::create_directories(profile);
  const std::string command =
      "chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
      "--disable-background-networking --disable-component-update --disable-sync "
      "--user-data-dir=" +
      fx::Quote(profile) + " --virtual-time-budget=20000 --dump-dom " +
      fx::Quote("file://" + copy.string()) + " 2>/dev/null";
  FILE* p = popen(command.c_str(), "r");
  std::string out;
  char buffer[65536];
  size_t n;
  while (p != nullptr && (n = fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
  if (p != nullptr) pclose(p);
  fs::remove(copy);
  const std::string open = "<pre id=\"halvern-result\">";
  const size_t at = out.find(open);
  if (at == std::string::npos) return nullptr;
  const size_t stop = out.find("</pre>", at);
  std::string text = out.substr(at + open.size(), stop - at - open.size());
  // --dump-dom escapes the text of the element.
  for (const auto& [entity, c] : {std::pair<std::string, std::string>{"&quot;", "\""},
                                  {"&lt;", "<"},
                                  {"&gt;", ">"},
                                  {"&amp;", "&"}}) {
    for (size_t i = text.find(entity); i != std::string::npos; i = text.find(entity, i + 1)) {
      text.replace(i, entity.size(), c);
    }
  }
  return nlohmann::json::parse(text, nullptr, false);
}

bool HaveChromium() { return std::system("command -v chromium >/dev/null 2>&1") == 0; }

std::vector<fs::path> Pages(const fs::path& folder) {
  std::vector<fs::path> pages;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (e.is_regular_file() && e.path().extension() == ".html") pages.push_back(e.path());
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

class MediaPagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(HaveChromium()) << "chromium is not installed (scripts/install-deps.sh)";
  }
  fx::TempDir dir_;
};

TEST_F(MediaPagesTest, EveryRecoveredPictureShowsAndEverySoundPlaysInChromium) {
  struct Attachment {
    const char* name;
    const char* mime;  // as Messages stores it
    std::string bytes;
  };
  const Attachment attachments[] = {
      {"IMG_0001.HEIC", "image/heic", DataFile("photo.heic")},
      {"IMG_0001.MOV", "video/quicktime", DataFile("hevc-portrait.mov")},  // the Live Photo's
      {"Audio Message.caf", "audio/x-caf", DataFile("voice-opus.caf")},
      {"voice-ima4.caf", "audio/x-caf", DataFile("voice-ima4.caf")},
      {"voicemail.amr", "audio/amr", fx::MakeAmr(false, 100)},
      {"PTT-20210101-WA0001.opus", "audio/ogg", DataFile("voice-note.opus")},
      {"clip.MOV", "video/quicktime", DataFile("hevc-portrait.mov")},
  };
  fx::SmsRows sms;
  sms.handles = {{1, "+4915112345678"}};
  fx::BackupSpec spec;
  for (size_t i = 0; i < std::size(attachments); ++i) {
    const int64_t id = int64_t(i) + 1;
    const std::string path =
        "Library/SMS/Attachments/0" + std::to_string(i) + "/" + attachments[i].name;
    sms.messages.push_back({id, "", std::string("attachment ") + attachments[i].name, 1,
                            At(0, id * 60), int64_t(i % 2), "iMessage"});
    sms.attachments.push_back({id, "", "~/" + path, attachments[i].mime});
    sms.links.push_back({id, id});
    spec.files.push_back({"MediaDomain", path, attachments[i].bytes});
  }
  ASSERT_EQ(fx::MakeSmsDb(dir_ / "sms.db", sms, {}, {.schemaFile = "sms_all_ios11.sql"}).status, 0);
  spec.files.push_back({"HomeDomain", "Library/SMS/sms.db", Read(dir_ / "sms.db")});
  // A Live Photo in the camera roll: the picture and its video.
  spec.files.push_back(
      {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.HEIC", DataFile("photo.heic")});
  spec.files.push_back(
      {"CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.MOV", DataFile("hevc-portrait.mov")});
  const fs::path backup = dir_ / "backup";
  ASSERT_TRUE(fx::WriteBackup(backup, spec));

  const fs::path out = dir_ / "out";
  const fx::CliRun run = fx::RunCli("recover " + fx::Quote(backup) + " --to " + fx::Quote(out));
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("copies for browsers:"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" 0 failed"), std::string::npos) << run.out;

  // The camera roll: originals kept, a JPEG beside the HEIC, a thumbnail of each.
  const fs::path roll = out / "Camera Roll";
  EXPECT_EQ(Read(roll / "IMG_0002.HEIC"), DataFile("photo.heic"));
  EXPECT_EQ(Read(roll / "IMG_0002.MOV"), DataFile("hevc-portrait.mov"));
  EXPECT_EQ(Read(roll / "IMG_0002.jpg").substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(Read(roll / "thumbs" / "IMG_0002.HEIC.jpg").substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(Read(roll / "thumbs" / "IMG_0002.MOV.jpg").substr(0, 2), "\xFF\xD8");
  EXPECT_FALSE(fs::exists(roll / "IMG_0002.MOV.mp4"));  // no H.264 copy unless asked

  std::vector<fs::path> conversation;
  for (const fs::path& page : Pages(out / "Message")) conversation.push_back(page);
  ASSERT_EQ(conversation.size(), 1u);
  const std::string html = Read(conversation[0]);
  EXPECT_NE(html.find("loading=\"lazy\""), std::string::npos);
  EXPECT_NE(html.find("voicemail.amr.m4a"), std::string::npos);
  EXPECT_NE(html.find("Audio%20Message.caf.m4a"), std::string::npos);

  const nlohmann::json seen = CheckInChromium(conversation[0], dir_ / "profile");
  ASSERT_TRUE(seen.is_object()) << "Chromium gave no result for " << conversation[0];
  // The HEIC (its thumbnail, linked to its JPEG copy) is the one picture; the videos show
  // their posters.
  ASSERT_EQ(seen["images"].size(), 1u) << seen.dump();
  for (const auto& image : seen["images"]) {
    EXPECT_EQ(image["ok"], "ok") << image.dump();
    EXPECT_GT(image["width"].get<int>(), 0) << image.dump();
    EXPECT_NE(image["src"].get<std::string>().find("thumbs/"), std::string::npos) << image.dump();
  }
  ASSERT_EQ(seen["posters"].size(), 2u) << seen.dump();
  for (const auto& poster : seen["posters"]) {
    EXPECT_EQ(poster["ok"], "ok") << poster.dump();
    EXPECT_GT(poster["width"].get<int>(), 0) << poster.dump();
  }
  // Every sound: two CAF voice messages, the AMR voicemail, the WhatsApp voice note.
  ASSERT_EQ(seen["audios"].size(), 4u) << seen.dump();
  for (const auto& audio : seen["audios"]) {
    EXPECT_NE(audio["can"], "") << audio.dump();
    EXPECT_GE(audio["readyState"].get<int>(), 1) << audio.dump();
    EXPECT_GT(audio["duration"].get<double>(), 0.5) << audio.dump();
  }
}

TEST_F(MediaPagesTest, ALongConversationComesOutInLinkedPagesABrowserOpens) {
  // 4,500 messages over two years: 2021 in one page would be too many, so it is cut by month.
  fx::SmsRows sms;
  sms.handles = {{1, "+4915112345678"}};
  const std::string text(300, 'x');
  for (int64_t id = 1; id <= 4500; ++id) {
    const int64_t day = id <= 3500 ? (id - 1) * 365 / 3500 : 365 + (id - 3501) * 300 / 1000;
    sms.messages.push_back(
        {id, "", text + " " + std::to_string(id), 1, At(day, id % 86400), id % 2, "SMS"});
  }
  ASSERT_EQ(fx::MakeSmsDb(dir_ / "sms.db", sms, {}, {.schemaFile = "sms_all_ios11.sql"}).status, 0);
  fx::BackupSpec spec;
  spec.files.push_back({"HomeDomain", "Library/SMS/sms.db", Read(dir_ / "sms.db")});
  const fs::path backup = dir_ / "backup";
  ASSERT_TRUE(fx::WriteBackup(backup, spec));
  const fs::path out = dir_ / "out";
  const fx::CliRun run = fx::RunCli("recover " + fx::Quote(backup) + " --to " + fx::Quote(out));
  ASSERT_EQ(run.status, 0) << run.out;

  const std::vector<fs::path> pages = Pages(out / "Message");
  // Twelve months of 2021 and the year 2022.
  ASSERT_EQ(pages.size(), 13u);
  size_t messages = 0;
  for (const fs::path& page : pages) {
    const std::string html = Read(page);
    EXPECT_LT(html.size(), size_t(5) << 20) << page;
    size_t count = 0;
    for (size_t at = html.find("class=\"date\""); at != std::string::npos;
         at = html.find("class=\"date\"", at + 1)) {
      ++count;
    }
    EXPECT_LE(count, 2000u) << page;
    messages += count;
    // Every page links to the twelve others.
    size_t links = 0;
    for (size_t at = html.find("<nav class=\"parts\">"); at != std::string::npos;
         at = html.find("<nav class=\"parts\">", at + 1)) {
      const std::string nav = html.substr(at, html.find("</nav>", at) - at);
      size_t n = 0;
      for (size_t a = nav.find("<a href="); a != std::string::npos; a = nav.find("<a href=", a + 1))
        ++n;
      links = std::max(links, n);
    }
    EXPECT_EQ(links, 12u) << page;
  }
  EXPECT_EQ(messages, 4500u);
  // The index names the conversation once, with its count and its pages.
  const std::string index = Read(out / "index.html");
  EXPECT_NE(index.find("4500 messages on 13 pages"), std::string::npos) << index;
  EXPECT_EQ(index.find(" - 2022.html"), std::string::npos);
}

// A note's picture shows at its place and its ticked checklist item is ticked.
TEST_F(MediaPagesTest, NotePictureShowsAndTickedItemIsTickedInChromium) {
  fx::BackupSpec spec;
  fs::create_directories(dir_ / "work");
  ASSERT_EQ(fx::AddRichNotes(spec, dir_ / "work", fx::NoteStoreLayout::kIos18), "");
  ASSERT_TRUE(fx::WriteBackup(dir_ / "backup", spec));
  const fx::CliRun run = fx::RunCli("recover --only notes " + fx::Quote(dir_ / "backup") +
                                    " --to " + fx::Quote(dir_ / "out"));
  ASSERT_EQ(run.status, 0) << run.out;
  const std::vector<fs::path> pages = Pages(dir_ / "out" / "Notes");
  ASSERT_EQ(pages.size(), 1u);
  const nlohmann::json seen = CheckInChromium(pages[0], dir_ / "profile");
  ASSERT_TRUE(seen.is_object()) << "Chromium gave no result for " << pages[0];
  bool picture = false;
  for (const auto& image : seen["images"]) {
    if (image["src"] == "files/IMG_0001.jpeg") picture = image["ok"] == "ok" && image["width"] == 48;
  }
  EXPECT_TRUE(picture) << seen.dump(1);
  std::map<std::string, bool> ticks;
  for (const auto& box : seen["checkboxes"]) ticks[box["text"]] = box["checked"];
  EXPECT_EQ(ticks, (std::map<std::string, bool>{{"Passport", true}, {"Rain coat", false}, {"Milk", false}}))
      << seen.dump(1);
  // The recording plays.
  ASSERT_EQ(seen["audios"].size(), 1u) << seen.dump(1);
  EXPECT_GT(seen["audios"][0]["duration"].get<double>(), 0.5) << seen.dump(1);
}

}  // namespace
}  // namespace halvern
