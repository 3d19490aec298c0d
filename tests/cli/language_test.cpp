// halvern-cli language: shows the language in effect and its settings file, sets it in the
// user's own config.ini (made from the default), and never writes the program's own files.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "tests/fixtures/run_cli.h"
#include "tests/fixtures/scan_backups.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::CliRun;
using fixtures::Quote;
using fixtures::RunCli;

TEST(CliLanguage, SetsTheLanguageInTheUsersConfigOnly) {
  fixtures::TempDir dir;
  const fs::path defaults = fs::path(HALVERN_BIN_DIR) / "config.ini";
  const fs::path user = dir.path() / "cfg" / "halvern" / "config.ini";
  const auto before = platform::ReadFile(defaults);
  ASSERT_TRUE(before.has_value());
  const std::string env = "XDG_CONFIG_HOME=" + Quote(dir.path() / "cfg");

  CliRun shown = RunCli("language", env);
  ASSERT_EQ(shown.status, 0);
  EXPECT_EQ(shown.out.rfind("English\n", 0), 0u) << shown.out;
  EXPECT_NE(shown.out.find(defaults.string()), std::string::npos) << shown.out;
  EXPECT_NE(shown.out.find("English, Deutsch"), std::string::npos) << shown.out;
  EXPECT_FALSE(fs::exists(user));

  ASSERT_EQ(RunCli("language Deutsch", env).status, 0);
  const auto saved = platform::ReadFile(user);
  ASSERT_TRUE(saved.has_value());
  EXPECT_NE(saved->find("Default=Deutsch"), std::string::npos) << *saved;
  EXPECT_NE(saved->find("[Links]"), std::string::npos) << *saved;  // the rest of the default
  shown = RunCli("language", env);
  EXPECT_EQ(shown.out.rfind("Deutsch\n", 0), 0u) << shown.out;
  EXPECT_NE(shown.out.find(user.string()), std::string::npos) << shown.out;

  // Names without a language file, or reaching out of the languages folder, are refused.
  for (const char* name : {"Klingon", "../Languages/English", ".hidden", "''"}) {
    EXPECT_EQ(RunCli(std::string("language ") + name, env).status, 1) << name;
  }
  EXPECT_EQ(RunCli("language English Deutsch", env).status, 2);
  EXPECT_EQ(platform::ReadFile(user), saved);
  EXPECT_EQ(platform::ReadFile(defaults), before);
}

// recover writes its pages in the language chosen (its templates, the words around the data,
// the head of a conversation), and its text files in English, as the data's own words.
TEST(CliLanguage, RecoverWritesPagesInTheChosenLanguage) {
  fixtures::TempDir dir;
  std::string error;
  ASSERT_TRUE(fixtures::WriteScanBackup(fixtures::PhoneGeneration::kIos14, dir.path() / "backup",
                                        nullptr, &error))
      << error;
  const std::string env = "XDG_CONFIG_HOME=" + Quote(dir.path() / "cfg");
  const auto pageOf = [&](const char* out) {
    const CliRun run = RunCli("recover " + Quote(dir.path() / "backup") + " --only messages --to " +
                                  Quote(dir.path() / out),
                              env);
    EXPECT_EQ(run.status, 0) << run.out;
    std::string page, text;
    for (const auto& entry : fs::recursive_directory_iterator(dir.path() / out / "Message")) {
      const std::string name = entry.path().filename().string();
      if (name.rfind("Chlo", 0) != 0) continue;
      if (entry.path().extension() == ".html") page = platform::ReadFile(entry.path()).value_or("");
      if (entry.path().extension() == ".txt") text = platform::ReadFile(entry.path()).value_or("");
    }
    return std::pair{page, text};
  };
  const auto [english, englishText] = pageOf("en");
  EXPECT_NE(english.find("Name: Chlo\xC3\xA9 Bianchi, Phone: +33612345678"), std::string::npos)
      << english;
  ASSERT_EQ(RunCli("language Deutsch", env).status, 0);
  const auto [german, germanText] = pageOf("de");
  EXPECT_NE(german.find("Name: Chlo\xC3\xA9 Bianchi, Telefon: +33612345678"), std::string::npos)
      << german;
  EXPECT_NE(german.find("lang=\"de\""), std::string::npos);
  EXPECT_FALSE(englishText.empty());
  EXPECT_EQ(germanText, englishText);
}

}  // namespace
}  // namespace halvern
