// halvern-cli language [NAME]: shows the language of the desktop program's windows and the
// languages on offer, or sets it in the user's own config.ini (made from the default on the
// first change; the installed files are never written).
#include <cstdio>
#include <filesystem>

#include "cli/commands.h"
#include "platform/platform.h"
#include "platform/runtime_files.h"

namespace halvern::cli {

namespace fs = std::filesystem;

int LanguageCommand(const Args& args) {
  if (args.size() > 1) return Fail(2, "usage: language [NAME]");
  const fs::path config = platform::ConfigFile();
  const std::string text = platform::ReadFile(config).value_or(std::string());
  const fs::path languages = platform::DataFolder() / "Languages";
  if (args.empty()) {
    std::printf("%s\n", platform::IniValue(text, "DefaultLanguage", "Default")
                            .value_or("English")
                            .c_str());
    std::printf("  settings: %s\n", config.c_str());
    std::string offered;
    for (const auto& [name, value] : platform::IniSectionLines(text, "Languages")) {
      offered += (offered.empty() ? "" : ", ") + name;
    }
    std::printf("  offered:  %s\n", offered.empty() ? "(none)" : offered.c_str());
    return 0;
  }
  const std::string& name = args.front();
  std::error_code ec;
  if (name.empty() || name.size() > 63 || name[0] == '.' ||
      name.find('/') != std::string::npos ||
      !fs::is_regular_file(languages / (name + ".ini"), ec)) {
    return Fail(1, "no language file " + (languages / (name + ".ini")).string());
  }
  std::string error;
  const fs::path user = platform::UserConfigFile();
  if (platform::SetUserConfigValue(user, platform::DataFolder() / "config.ini", "DefaultLanguage",
                                   "Default", name, error) != 0) {
    return Fail(1, error);
  }
  std::printf("language: %s (saved in %s)\n", name.c_str(), user.c_str());
  return 0;
}

}  // namespace halvern::cli
