// Where the runtime files are found (build folder, installed or unpacked tree), the user's
// own config.ini made from the default on the first change, and the ini edits behind it.
#include "platform/runtime_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/platform.h"

namespace halvern::platform {
namespace {

namespace fs = std::filesystem;

class TempTree : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() /
            ("halvern_runtime_" + std::to_string(::getpid()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }
  void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }
  fs::path root_;
};

TEST_F(TempTree, RuntimeFilesBesideABuildElseUnderThePrefix) {
  // A build folder: config.ini beside the program wins even when a share folder exists.
  Write(root_ / "build/bin/config.ini", "[DefaultLanguage]\n");
  fs::create_directories(root_ / "build/share/halvern");
  EXPECT_EQ(RuntimeFoldersFor(root_ / "build/bin").data, root_ / "build/bin");
  EXPECT_EQ(RuntimeFoldersFor(root_ / "build/bin").helpers, root_ / "build/bin");
  // An installed or unpacked tree: <prefix>/bin with <prefix>/share/halvern beside it.
  fs::create_directories(root_ / "unpacked/usr/bin");
  fs::create_directories(root_ / "unpacked/usr/share/halvern");
  const RuntimeFolders installed = RuntimeFoldersFor(root_ / "unpacked/usr/bin");
  EXPECT_EQ(installed.data, root_ / "unpacked/usr/share/halvern");
  EXPECT_EQ(installed.helpers, root_ / "unpacked/usr/lib/halvern");
  // Neither: the program's own folder, so a missing file is named where a build keeps it.
  fs::create_directories(root_ / "bare/bin");
  EXPECT_EQ(RuntimeFoldersFor(root_ / "bare/bin").data, root_ / "bare/bin");
  EXPECT_EQ(RuntimeFoldersFor(root_ / "bare/bin").helpers, root_ / "bare/bin");
}

TEST(IniText, ReadsAndEditsKeepingEverythingElse) {
  const std::string text =
      "; settings\r\n[DefaultLanguage]\r\nDefault = English\r\nDefault=Ignored\r\n\r\n"
      "[Languages]\r\nEnglish=English\r\nDeutsch=Deutsch\r\n";
  EXPECT_EQ(IniValue(text, "DefaultLanguage", "Default"), "English");
  EXPECT_FALSE(IniValue(text, "Languages", "Default").has_value());
  EXPECT_EQ(IniValue("\xEF\xBB\xBF[A]\nk=v\n", "A", "k"), "v");
  EXPECT_EQ(IniSectionLines(text, "Languages"),
            (std::vector<std::pair<std::string, std::string>>{{"English", "English"},
                                                               {"Deutsch", "Deutsch"}}));
  const struct {
    std::string text, section, key, value, expected;
  } cases[] = {
      // The first line of the key is replaced; comments, the duplicate and CRLF stay.
      {text, "DefaultLanguage", "Default", "Deutsch",
       "; settings\r\n[DefaultLanguage]\r\nDefault=Deutsch\r\nDefault=Ignored\r\n\r\n"
       "[Languages]\r\nEnglish=English\r\nDeutsch=Deutsch\r\n"},
      // A missing key goes after the section's last line, before the blank line.
      {"[A]\nx=1\n\n[B]\ny=2\n", "A", "z", "3", "[A]\nx=1\nz=3\n\n[B]\ny=2\n"},
      // A missing section is added at the end, also to a text without a final line end.
      {"[A]\nx=1", "DefaultLanguage", "Default", "Deutsch",
       "[A]\nx=1\n\n[DefaultLanguage]\nDefault=Deutsch\n"},
      {"", "DefaultLanguage", "Default", "Deutsch", "[DefaultLanguage]\nDefault=Deutsch\n"},
      // A key of the same name in another section is not touched.
      {"[B]\nDefault=x\n[A]\n", "A", "Default", "y", "[B]\nDefault=x\n[A]\nDefault=y\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WithIniValue(c.text, c.section, c.key, c.value), c.expected) << c.text;
  }
}

TEST_F(TempTree, UserConfigFollowsXdgThenHome) {
  setenv("XDG_CONFIG_HOME", "/cfg/xdg", 1);
  EXPECT_EQ(UserConfigFile(), "/cfg/xdg/halvern/config.ini");
  setenv("XDG_CONFIG_HOME", "relative", 1);
  setenv("HOME", "/home/chloe", 1);
  EXPECT_EQ(UserConfigFile(), "/home/chloe/.config/halvern/config.ini");
  unsetenv("XDG_CONFIG_HOME");
  unsetenv("HOME");
  EXPECT_TRUE(UserConfigFile().empty());
  std::string error;
  EXPECT_NE(SetUserConfigValue({}, root_ / "default.ini", "A", "k", "v", error), 0);
  EXPECT_NE(error.find("HOME"), std::string::npos) << error;
}

TEST_F(TempTree, FirstChangeCopiesTheDefaultAndNeverWritesIt) {
  const std::string defaults = "[DefaultLanguage]\nDefault=English\n\n[Links]\nHelp=\n";
  const fs::path installed = root_ / "usr/share/halvern/config.ini";
  Write(installed, defaults);
  const fs::path user = root_ / "home/.config/halvern/config.ini";
  std::string error;
  ASSERT_EQ(SetUserConfigValue(user, installed, "DefaultLanguage", "Default", "Deutsch", error), 0)
      << error;
  EXPECT_EQ(ReadFile(user), "[DefaultLanguage]\nDefault=Deutsch\n\n[Links]\nHelp=\n");
  EXPECT_EQ(ReadFile(installed), defaults);
  EXPECT_EQ(fs::status(user).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(fs::status(user.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
  // A later change edits the user's file, not the default.
  ASSERT_EQ(SetUserConfigValue(user, installed, "Links", "Help", "https://x", error), 0) << error;
  EXPECT_EQ(ReadFile(user), "[DefaultLanguage]\nDefault=Deutsch\n\n[Links]\nHelp=https://x\n");
  EXPECT_EQ(ReadFile(installed), defaults);
  EXPECT_EQ(std::distance(fs::directory_iterator(user.parent_path()), fs::directory_iterator()),
            1);  // no temporary file left beside it
  // A UTF-16 file is refused rather than garbled.
  Write(user, std::string("\xFF\xFE[\0A\0]\0", 8));
  EXPECT_NE(SetUserConfigValue(user, installed, "A", "k", "v", error), 0);
  EXPECT_NE(error.find("UTF-16"), std::string::npos) << error;
  // A folder that cannot be made gives the system's reason.
  Write(root_ / "file", "");
  EXPECT_NE(SetUserConfigValue(root_ / "file/halvern/config.ini", installed, "A", "k", "v", error),
            0);
  EXPECT_NE(error.find(root_.string()), std::string::npos) << error;
}

}  // namespace
}  // namespace halvern::platform
