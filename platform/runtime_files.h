// Where the program's runtime files and the user's settings live.
//
// Run from a build folder (or any folder that holds config.ini beside the program), the
// runtime files and the helper programs lie beside the program. Installed as
// <prefix>/bin/halvern, they lie in <prefix>/share/halvern (config.ini, Languages/,
// template/) and <prefix>/lib/halvern (tool, Player, Player1), found relative to the
// program itself, so an installed copy and a copy unpacked under any folder both work.
// The user's own settings live in $XDG_CONFIG_HOME/halvern/config.ini (else
// ~/.config/halvern/config.ini), made from the default config.ini on the first change;
// nothing is ever written into the program's own folders.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvern::platform {

struct RuntimeFolders {
  std::filesystem::path data;     // config.ini, Languages/, template/
  std::filesystem::path helpers;  // tool, Player, Player1
};

// The runtime folders of a program whose executable lies in `programFolder`: that folder
// itself when it holds config.ini, else <programFolder>/../share/halvern and
// <programFolder>/../lib/halvern when the former exists; else `programFolder` again (so that
// a message about a missing file names the place beside the program).
RuntimeFolders RuntimeFoldersFor(const std::filesystem::path& programFolder);

// The running program's runtime folders (computed once from ProgramFolder()).
const std::filesystem::path& DataFolder();
const std::filesystem::path& HelperFolder();

// The user's configuration file: $XDG_CONFIG_HOME/halvern/config.ini, else
// $HOME/.config/halvern/config.ini. Empty when neither variable is usable.
std::filesystem::path UserConfigFile();

// The config.ini in effect: the user's file when it exists, else the default one in
// DataFolder().
std::filesystem::path ConfigFile();

// The value of `key` in `section` of an ini text (first line wins; blank lines and ";"
// comments skipped, white space around names and values removed); nullopt when absent.
std::optional<std::string> IniValue(std::string_view text, std::string_view section,
                                    std::string_view key);
// The key=value lines of `section`, in file order.
std::vector<std::pair<std::string, std::string>> IniSectionLines(std::string_view text,
                                                                 std::string_view section);
// `text` with `key` of `section` set to `value`: the first line of that key is replaced, or a
// line is added at the end of the section, or the section is added at the end of the text.
// Every other line, comment and line ending stays as it was.
std::string WithIniValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view value);

// Sets one value in the user's configuration file. On the first change the file is made
// from `defaultConfig` (its folder with mode 0700, the file 0600). The file is replaced
// whole (written beside it, then renamed). Returns 0, or an errno value with `error` naming
// the file and the cause.
int32_t SetUserConfigValue(const std::filesystem::path& userConfig,
                           const std::filesystem::path& defaultConfig, std::string_view section,
                           std::string_view key, std::string_view value, std::string& error);

}  // namespace halvern::platform
