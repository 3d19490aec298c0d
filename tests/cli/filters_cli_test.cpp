// The filters of scan, recover and search over a probe backup of people reachable in several
// ways: one person by a name or any form of her numbers and e-mail address gives exactly her
// conversations, chats, calls, voicemails and card, in `scan --json` and in the recovered
// folder (an attachment of a message left out is not written); the span of days includes its
// first and last day; deleted-only goes with the others; and the refusals.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::Quote;
using fixtures::TempDir;
using Kept = std::map<std::string, std::multiset<std::string>>;

// Anna Weber's items, as `scan --json` names them (see Items).
const Kept& AnnasItems() {
  static const Kept kItems = {
      {"messages",
       {"Anna: the first second of the span", "Anna: a picture of the garden",
        "To Anna: the last second of the span", "Anna at home: the day before",
        "Anna at home: the day after", "Anna: deleted on the phone"}},
      // Her chat, and the family group she is in (whole: Ben's picture too).
      {"whatsApp", {"WA: Anna alone", "file:FAMILY.jpg", "WA: Anna in the family group"}},
      {"callHistory", {"+4915112345678", "0309876543"}},
      {"contacts", {"Anna Weber"}},
      {"voicemail", {"+4915112345678"}},
      {"messageAttachments", {"GARDEN.JPG", "HOME.JPG"}},
      {"whatsAppAttachments", {"FAMILY.jpg"}},
  };
  return kItems;
}

class FiltersCli : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir;
    fixtures::BackupSpec spec;
    std::string error;
    fs::create_directories(*dir_ / "work");
    ASSERT_TRUE(fixtures::MakePeopleBackupSpec(*dir_ / "work", spec, &error)) << error;
    ASSERT_TRUE(fixtures::WriteBackup(*dir_ / "backup", spec, &error)) << error;
  }
  static void TearDownTestSuite() { delete dir_; }

  static std::string Env() { return "TZ=UTC XDG_DATA_HOME=" + Quote(*dir_ / "home"); }
  static fixtures::CliRun Run(const std::string& args) { return fixtures::RunCli(args, Env()); }
  // The exit status and standard error of a run.
  static std::pair<int, std::string> Refusal(const std::string& args) {
    const std::string cmd = Env() + " '" HALVERN_BIN_DIR "/halvern-cli' " + args + " 2>&1 >/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    std::string err;
    std::array<char, 4096> buf;
    for (size_t n; (n = fread(buf.data(), 1, buf.size(), p)) > 0;) err.append(buf.data(), n);
    const int status = pclose(p);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, err};
  }

  // The items of a scan by category (empty categories left out): a message's text (or its
  // first file's name), a call's and a voicemail's number, a card's name, a file's name, a
  // note's title, a row of another table as "row".
  static Kept Items(const nlohmann::json& doc) {
    Kept out;
    for (const auto& [category, value] : doc["categories"].items()) {
      if (value.is_object() && value.contains("columns")) {
        for (const auto& row : value["items"]) {
          out[category].insert(row.contains("phone") ? row["phone"].get<std::string>() : "row");
        }
      } else if (value.is_object()) {
        for (const auto& [key, conversation] : value.items()) {
          for (const auto& m : conversation["items"]) {
            const std::string text = m["text"];
            const bool file = !m["attachments"].empty() && m["attachments"][0]["name"] != "";
            out[category].insert(!text.empty() && (category == "messages" || !file)
                                     ? text
                                     : "file:" + m["attachments"][0]["name"].get<std::string>());
          }
        }
      } else {
        for (const auto& item : value) {
          for (const char* field : {"displayName", "title", "phone", "name"}) {
            if (item.contains(field)) {
              out[category].insert(item[field].get<std::string>());
              break;
            }
          }
        }
      }
    }
    return out;
  }
  static Kept Scan(const std::string& options) {
    const auto run = Run("scan " + Quote(*dir_ / "backup") + " --json " + options);
    EXPECT_EQ(run.status, 0) << options;
    return Items(nlohmann::json::parse(run.out, nullptr, false));
  }
  static TempDir* dir_;
};
TempDir* FiltersCli::dir_ = nullptr;

TEST_F(FiltersCli, OnePersonByNameNumberOrAddressGivesHerItemsOnly) {
  // Every form of her name, numbers and address names the same person.
  for (const char* person :
       {"Anna", "anna weber", "WEBER", "+49 151 12345678", "015112345678", "+4915112345678",
        "ANNA@example.com", "+49 30 9876543", "030 9876543"}) {
    EXPECT_EQ(Scan("--with " + Quote(person)), AnnasItems()) << person;
  }
  // Ben: his conversation, the group he shares with Anna, his call, voicemail and card.
  EXPECT_EQ(Scan("--with '+49 170 5550101'"),
            (Kept{{"messages", {"Ben: a plain message"}},
                  {"whatsApp", {"file:FAMILY.jpg", "WA: Anna in the family group"}},
                  {"callHistory", {"+491705550101"}},
                  {"contacts", {"Ben Schulz"}},
                  {"voicemail", {"+491705550101"}},
                  {"whatsAppAttachments", {"FAMILY.jpg"}}}));
  // Search keeps the same person's items: "picture" is in Anna's and Carla's messages.
  const auto run = Run("search picture " + Quote(*dir_ / "backup") + " --json --with Anna");
  ASSERT_EQ(run.status, 0);
  const auto doc = nlohmann::json::parse(run.out);
  std::set<std::string> texts;
  for (const auto& h : doc["hits"]) texts.insert(h["text"]);
  EXPECT_EQ(texts, (std::set<std::string>{"Anna: a picture of the garden"}));
}

TEST_F(FiltersCli, DaysIncludeTheirFirstAndLastSecondAndGoWithPersonAndDeleted) {
  const struct {
    const char* options;
    std::multiset<std::string> messages;
  } cases[] = {
      {"--since 2024-03-01 --until 2024-03-05",
       {"Anna: the first second of the span", "Anna: a picture of the garden",
        "To Anna: the last second of the span", "Anna: deleted on the phone",
        "Ben: a plain message", "Carla: a picture of Rome"}},
      {"--until 2024-02-29", {"Anna at home: the day before"}},
      {"--since 2024-03-06", {"Anna at home: the day after"}},
      {"--since 2024-03-06 --until 2024-03-06", {"Anna at home: the day after"}},
      {"--deleted-only --with Anna", {"Anna: deleted on the phone"}},
      {"--deleted-only --since 2024-03-03", {}},
  };
  for (const auto& c : cases) {
    const Kept kept = Scan(c.options);
    EXPECT_EQ(kept.count("messages") ? kept.at("messages") : std::multiset<std::string>{},
              c.messages)
        << c.options;
  }
  // A person and a span together, across every category: no card (a card has no date), no
  // note or photo (nobody's), the files of the kept messages only.
  EXPECT_EQ(Scan("--with +4915112345678 --since 2024-03-02 --until 2024-03-03"),
            (Kept{{"messages", {"Anna: a picture of the garden", "Anna: deleted on the phone"}},
                  {"whatsApp",
                   {"WA: Anna alone", "file:FAMILY.jpg", "WA: Anna in the family group"}},
                  {"callHistory", {"+4915112345678"}},
                  {"voicemail", {"+4915112345678"}},
                  {"messageAttachments", {"GARDEN.JPG"}},
                  {"whatsAppAttachments", {"FAMILY.jpg"}}}));
  // Only the categories named, with the other filters.
  EXPECT_EQ(Scan("--only calls,voicemail --since 2024-03-04"),
            (Kept{{"callHistory", {"0309876543", "+491705550101"}},
                  {"voicemail", {"+491705550101"}}}));
}

// Every file under `folder` by its name, and the text of its pages, texts and tables.
void ReadFolder(const fs::path& folder, std::multiset<std::string>& names, std::string& text) {
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    names.insert(e.path().filename().string());
    const std::string ext = e.path().extension().string();
    if (ext == ".txt" || ext == ".csv" || ext == ".html") {
      std::ifstream in(e.path(), std::ios::binary);
      std::ostringstream s;
      s << in.rdbuf();
      text += s.str();
    }
  }
}

TEST_F(FiltersCli, RecoverWritesOnlyTheKeptItemsAndTheirAttachments) {
  const struct {
    const char* options;
    std::set<std::string> files, noFiles, texts, noTexts;
  } cases[] = {
      {"--with 015112345678",
       {"GARDEN.JPG", "HOME.JPG", "FAMILY.jpg"},
       {"ROME.JPG", "CARLA.jpg", "IMG_0001.JPG", "sms.csv", "Contacts.csv"},
       {"Anna: the first second of the span", "Anna at home: the day before",
        "To Anna: the last second of the span", "WA: Anna alone", "WA: Anna in the family group",
        "Anna Weber"},
       {"Ben: a plain message", "Carla: a picture of Rome", "WA: Carla alone", "Packing list",
        "Carla Rossi"}},
      {"--with Anna --since 2024-03-01 --until 2024-03-05",
       {"GARDEN.JPG", "FAMILY.jpg"},
       {"HOME.JPG", "ROME.JPG", "CARLA.jpg", "sms.csv"},
       {"Anna: the first second of the span", "To Anna: the last second of the span"},
       {"Anna at home: the day before", "Anna at home: the day after", "Ben: a plain message"}},
  };
  int n = 0;
  for (const auto& c : cases) {
    const fs::path out = *dir_ / ("out" + std::to_string(n++));
    const auto run = Run("recover " + Quote(*dir_ / "backup") + " --to " + Quote(out) +
                         " --no-convert " + c.options);
    ASSERT_EQ(run.status, 0) << c.options << "\n" << run.out;
    std::multiset<std::string> names;
    std::string text;
    ReadFolder(out, names, text);
    // A message's file is written with its conversation and in the attachments' folder.
    for (const std::string& f : c.files) EXPECT_GT(names.count(f), 0u) << c.options << ": " << f;
    for (const std::string& f : c.noFiles) EXPECT_EQ(names.count(f), 0u) << c.options << ": " << f;
    for (const std::string& t : c.texts) {
      EXPECT_NE(text.find(t), std::string::npos) << c.options << ": " << t;
    }
    for (const std::string& t : c.noTexts) {
      EXPECT_EQ(text.find(t), std::string::npos) << c.options << ": " << t;
    }
  }
}

TEST_F(FiltersCli, RefusalsAreTheSameForEveryCommand) {
  const std::string backup = Quote(*dir_ / "backup");
  const struct {
    std::string args;
    int status;
    const char* says;
  } cases[] = {
      {"--since 2024-02-30", 2, "a day is written YYYY-MM-DD (--since 2021-09-01)"},
      {"--until 2024-3-1", 2, "a day is written YYYY-MM-DD"},
      {"--since 2024-03-05 --until 2024-03-01", 2, "--until 2024-03-01 is before --since 2024-03-05"},
      {"--with ''", 2, "--with needs a name, a phone number or an e-mail address"},
      {"--only nothing", 2, "unknown category: nothing"},
      {"--with ann", 1, "no contact, conversation or call matches \"ann\""},
      {"--with nobody@example.com", 1, "no contact, conversation or call matches"},
      {"--with '+49 171 0000000'", 1, "no contact, conversation or call matches"},
  };
  const std::string commands[] = {"scan " + backup, "search anna " + backup,
                                  "recover " + backup + " --to " + Quote(*dir_ / "refused")};
  for (const std::string& command : commands) {
    for (const auto& c : cases) {
      const auto [status, err] = Refusal(command + " " + c.args);
      EXPECT_EQ(status, c.status) << command << " " << c.args << "\n" << err;
      EXPECT_NE(err.find(c.says), std::string::npos) << command << " " << c.args << "\n" << err;
    }
  }
  EXPECT_FALSE(fs::exists(*dir_ / "refused" / "index.html"));
}

}  // namespace
}  // namespace halvern
