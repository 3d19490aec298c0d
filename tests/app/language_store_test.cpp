// config.ini and the language files: the reading rules, the defaults, and texts reaching
// the controls of a layout.
#include "app/language_store.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "categories/category.h"
#include "export/print_page.h"
#include "export/writers.h"
#include "platform/platform.h"
#include "tests/ui/qt_test_env.h"
#include "ui/skin.h"

namespace halvern::app {
namespace {

namespace fs = std::filesystem;

class ProgramFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() /
              ("halvern_lang_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_ / "Languages");
  }
  void TearDown() override { fs::remove_all(folder_); }
  void Write(const fs::path& relative, const std::string& bytes) {
    std::ofstream(folder_ / relative, std::ios::binary) << bytes;
  }
  fs::path folder_;
};

TEST(IniLines, SplitAtTheFirstEqualsSign) {
  const std::pair<const char*, std::pair<std::string, std::string>> cases[] = {
      {"BtnHome=Home", {"BtnHome", "Home"}},
      {"MSG0514=You select %s = %d", {"MSG0514", "You select %s = %d"}},
      {"MSG0301", {"MSG0301", "MSG0301"}},
      {"Key = spaced text ", {"Key", "spaced text"}},
      {"Empty=", {"Empty", ""}},
  };
  for (const auto& [line, expected] : cases) {
    EXPECT_EQ(SplitIniLine(line), expected) << line;
  }
}

TEST(IniLines, SectionsKeepFileOrderAndSkipBlankAndCommentLines) {
  const IniSections sections =
      ParseIni("stray=before any section\r\n[B]\r\n; comment\r\n\r\nb1=x\r\n[A]\na1=y\n[B]\nb2=z");
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections[0].first, "B");
  EXPECT_EQ(sections[0].second, (std::vector<std::string>{"b1=x", "b2=z"}));
  EXPECT_EQ(sections[1].first, "A");
  EXPECT_EQ(sections[1].second, (std::vector<std::string>{"a1=y"}));
}

TEST_F(ProgramFolder, FirstDuplicateKeyWinsAndALineWithoutEqualsIsItsOwnText) {
  Write("config.ini", "[DefaultLanguage]\nDefault=Test\n[Languages]\nTest=Test one\nZulu=Z\n");
  Write("Languages/Test.ini",
        "[PageScan]\nBtnHome=Start\nBtnHome=Home\n[Messages]\nMSG0301\nMSG0302=Wrong\n");
  LanguageStore store;
  store.Load(folder_);
  EXPECT_EQ(store.LanguageName(), "Test");
  EXPECT_EQ(store.OfferedLanguages(), (std::vector<std::pair<std::string, std::string>>{
                                          {"Test", "Test one"}, {"Zulu", "Z"}}));
  EXPECT_EQ(ui::Text(store.Section("PageScan"), "BtnHome"), "Start");
  EXPECT_EQ(ui::Text(store.Section("Messages"), "MSG0301"), "MSG0301");
  EXPECT_EQ(ui::Text(store.Section("Messages"), "MSG0302"), "Wrong");
}

TEST_F(ProgramFolder, MissingFilesGiveEnglishAndEmptyTextsWhileLayoutTextsStay) {
  LanguageStore none;
  none.Load(folder_);  // no config.ini at all
  EXPECT_EQ(none.LanguageName(), "English");
  EXPECT_TRUE(none.OfferedLanguages().empty());

  Write("config.ini", "[DefaultLanguage]\nDefault=French\n");
  LanguageStore french;  // French configured, no French file
  french.Load(folder_);
  EXPECT_EQ(french.LanguageName(), "French");
  ui::TextMap& messages = french.Section("Messages");
  EXPECT_EQ(ui::Text(messages, "MSG0301"), "");
  EXPECT_EQ(messages.count("MSG0301"), 1u);  // a missing key is added with an empty text

  std::unique_ptr<QWidget> page(ui::LoadLayout("PageItunesBackup.xml", nullptr));
  ASSERT_NE(page, nullptr);
  const QString layoutText = page->findChild<QPushButton*>("BtnScan")->text();
  EXPECT_FALSE(layoutText.isEmpty());
  french.ApplyTexts(page.get(), "PageItunesBackup");
  EXPECT_EQ(page->findChild<QPushButton*>("BtnScan")->text(), layoutText);
}

TEST_F(ProgramFolder, ALanguageNameThatLeavesTheLanguagesFolderIsRefused) {
  Write("secret.ini", "[Messages]\nMSG1209=leaked\n");
  Write("Languages/English.ini", "[Messages]\nMSG1209=Halvern\n");
  for (const char* name : {"../secret", "/etc/passwd", "..", ".hidden", ""}) {
    Write("config.ini", std::string("[DefaultLanguage]\nDefault=") + name + "\n");
    LanguageStore store;
    store.Load(folder_);
    EXPECT_EQ(store.LanguageName(), "English") << name;
    EXPECT_EQ(ui::Text(store.Section("Messages"), "MSG1209"), "Halvern") << name;
  }
}

TEST_F(ProgramFolder, ReadsUtf16AndUtf8WithByteOrderMarks) {
  const std::string text = "[MainWnd]\r\nTxtIosDevice1=Gerät\r\n";
  std::string utf16 = "\xFF\xFE";
  const QString q = QString::fromUtf8(text.c_str());
  for (QChar c : q) {
    utf16.push_back(static_cast<char>(c.unicode() & 0xFF));
    utf16.push_back(static_cast<char>(c.unicode() >> 8));
  }
  Write("Languages/English.ini", utf16);
  LanguageStore wide;
  wide.Load(folder_);
  EXPECT_EQ(ui::Text(wide.Section("MainWnd"), "TxtIosDevice1"), "Gerät");

  Write("Languages/English.ini", "\xEF\xBB\xBF" + text +
                                     "Broken=a\xFF"
                                     "b\n");
  LanguageStore narrow;
  narrow.Load(folder_);
  EXPECT_EQ(ui::Text(narrow.Section("MainWnd"), "TxtIosDevice1"), "Gerät");
  EXPECT_EQ(ui::Text(narrow.Section("MainWnd"), "Broken"), QString::fromUtf8("a\xEF\xBF\xBD"
                                                                             "b"));
}

// The shipped language files name the same keys, so that no window shows an empty text in
// one language where the other has one.
TEST(ShippedLanguages, EveryLanguageOnOfferHasTheKeysOfEnglish) {
  const fs::path runtime = fs::path(HALVERN_SOURCE_DIR) / "runtime";
  LanguageStore english;
  english.Load(runtime);
  ASSERT_EQ(english.LanguageName(), "English");
  ASSERT_GE(english.OfferedLanguages().size(), 2u);
  for (const char* key :
       {"MSG0201", "MSG0301", "MSG0302", "MSG0401", "MSG0402", "MSG0403", "MSG0404", "MSG0405",
        "MSG0601", "MSG0602", "MSG0901", "MSG0902", "MSG0903", "MSG1209", "MSG1212"}) {
    EXPECT_FALSE(ui::Text(english.Section("Messages"), key).isEmpty()) << key;
  }
  for (const auto& [name, value] : english.OfferedLanguages()) {
    LanguageStore other;
    ASSERT_TRUE(fs::exists(runtime / "Languages" / (name + ".ini"))) << name;
    const std::string config = "[DefaultLanguage]\nDefault=" + name + "\n";
    const fs::path copy = fs::temp_directory_path() / "halvern_lang_shipped";
    fs::remove_all(copy);
    fs::create_directories(copy / "Languages");
    fs::copy_file(runtime / "Languages" / (name + ".ini"), copy / "Languages" / (name + ".ini"));
    std::ofstream(copy / "config.ini") << config;
    other.Load(copy);
    for (const char* section :
         {"Messages", "MainWnd", "PageIosDevice", "PageItunesBackup", "PageScan", "MessageBox",
          "MenuWnd", "DecryptionWnd", "PreviewProcessWnd"}) {
      for (const auto& [key, text] : english.Section(section)) {
        EXPECT_EQ(other.Section(section).count(key), 1u)
            << name << " lacks " << section << "/" << key;
      }
    }
    fs::remove_all(copy);
  }
}

// A key given twice in one section is read once (the first wins), so a second text under the
// same key is never shown: each text of the shipped files has its own key, and every section
// of one language is in the other (the page words are English's own and need no section).
TEST(ShippedLanguages, NoKeyTwiceAndTheSameKeysInEveryLanguage) {
  const fs::path languages = fs::path(HALVERN_SOURCE_DIR) / "runtime" / "Languages";
  std::map<std::string, std::map<std::string, std::set<std::string>>> keys;  // file, section
  for (const char* file : {"English.ini", "Deutsch.ini"}) {
    const auto bytes = platform::ReadFile(languages / file);
    ASSERT_TRUE(bytes.has_value()) << file;
    for (const auto& [section, lines] : ParseIni(*bytes)) {
      for (const std::string& line : lines) {
        const std::string key = SplitIniLine(line).first;
        EXPECT_TRUE(keys[file][section].insert(key).second)
            << file << " [" << section << "] has " << key << " twice";
      }
    }
  }
  for (const auto& [section, english] : keys["English.ini"]) {
    if (section == "Pages") continue;
    EXPECT_EQ(keys["Deutsch.ini"][section], english) << "[" << section << "]";
  }
  for (const auto& [section, german] : keys["Deutsch.ini"]) {
    if (section == "Pages") continue;
    EXPECT_EQ(keys["English.ini"].count(section), 1u) << "[" << section << "] only in German";
  }
}

// Every table category is named in the tree in every shipped language (else the tree shows its
// English title inside a German window).
TEST(ShippedLanguages, EveryTableCategoryHasItsTreeNameInEveryLanguage) {
  const fs::path languages = fs::path(HALVERN_SOURCE_DIR) / "runtime" / "Languages";
  for (const char* file : {"English.ini", "Deutsch.ini"}) {
    const auto bytes = platform::ReadFile(languages / file);
    ASSERT_TRUE(bytes.has_value()) << file;
    std::map<std::string, std::string> tree;
    for (const auto& [section, lines] : ParseIni(*bytes)) {
      if (section != "NodeTree") continue;
      for (const std::string& line : lines) tree.insert(SplitIniLine(line));
    }
    for (const TableCategory* category : TableCategories()) {
      const auto found = tree.find(category->key);
      ASSERT_NE(found, tree.end()) << file << " lacks [NodeTree] " << category->key;
      EXPECT_FALSE(found->second.empty()) << file << " " << category->key;
    }
  }
}

// "\n" in a language file is a line break wherever a text is shown; nothing else changes.
TEST(ShippedLanguages, BackslashNInATextIsALineBreak) {
  ui::TextMap map = {{"two", "first\\nsecond"}, {"plain", "C:\\new"}, {"none", "one line"}};
  EXPECT_EQ(ui::Text(map, "two"), "first\nsecond");
  EXPECT_EQ(ui::Text(map, "none"), "one line");
  EXPECT_EQ(ui::Text(map, "missing"), "");
}

LanguageStore Shipped(const std::string& language, const fs::path& scratch) {
  fs::remove_all(scratch);
  fs::create_directories(scratch);
  std::ofstream(scratch / "config.ini") << "[DefaultLanguage]\nDefault=" << language << "\n";
  LanguageStore store;
  store.Load(scratch / "config.ini", fs::path(HALVERN_SOURCE_DIR) / "runtime" / "Languages");
  return store;
}

// German reaches beyond the windows: Qt's own dialogs, the words of the recovered pages and the
// print, and the page templates (headings, table titles, the page's language).
TEST(ShippedLanguages, GermanReachesQtsDialogsThePageWordsAndTheTemplates) {
  const QLocale before;
  const fs::path scratch = fs::temp_directory_path() / "halvern_lang_apply";
  const fs::path runtime = fs::path(HALVERN_SOURCE_DIR) / "runtime";
  struct Case {
    const char* language;
    const char* date;      // PageWord("Date:")
    const char* answered;  // PageWord("Answered")
    fs::path templates;
    const char* cancel;    // the Cancel of Qt's own dialogs
  } cases[] = {
      {"Deutsch", "Datum:", "Angenommen", runtime / "template" / "Deutsch", "Abbrechen"},
      {"English", "Date:", "Answered", runtime / "template", "Cancel"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.language);
    LanguageStore store = Shipped(c.language, scratch);
    ASSERT_EQ(store.LanguageName(), c.language);
    EXPECT_TRUE(ApplyLanguage(store));
    EXPECT_EQ(PageWord("Date:"), c.date);
    EXPECT_EQ(PageWord("Answered"), c.answered);
    EXPECT_EQ(PageWord("+49 151 12345678"), "+49 151 12345678");  // data is never a word
    EXPECT_EQ(PageTemplateFolder(runtime, c.language), c.templates);
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), c.cancel);
  }
  SetPageWords({});
  QLocale::setDefault(before);
  // Every language's templates are the English ones' files with the same markers.
  for (const auto& entry : fs::directory_iterator(runtime / "template")) {
    if (!entry.is_regular_file()) continue;
    const auto english = platform::ReadFile(entry.path());
    const auto german = platform::ReadFile(runtime / "template" / "Deutsch" / entry.path().filename());
    ASSERT_TRUE(german.has_value()) << entry.path().filename();
    for (std::string_view marker : {kTitleMarker, kPersonMarker, kContentMarker}) {
      EXPECT_EQ(english->find(marker) == std::string::npos, german->find(marker) == std::string::npos)
          << entry.path().filename() << " " << marker;
    }
    EXPECT_NE(german->find("<html lang=\"de\">"), std::string::npos) << entry.path().filename();
  }
  // Missing templates in a language fall back to English.
  EXPECT_EQ(PageTemplateFolder(runtime, "Klingon"), runtime / "template");
  fs::remove_all(scratch);
}

}  // namespace
}  // namespace halvern::app
