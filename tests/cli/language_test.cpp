// halvern-cli language: shows the language in effect and its settings file, sets it in the
// user's own config.ini (made from the default), and never writes the program's own files.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/platform.h"
#include "tests/fixtures/run_cli.h"
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

}  // namespace
}  // namespace halvern
