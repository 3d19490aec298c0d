// config.ini and the language files: the reading rules, the defaults, and texts reaching
// the controls of a layout.
#include "app/language_store.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <memory>

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

}  // namespace
}  // namespace halvern::app
