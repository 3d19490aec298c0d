// Configuration and language texts: config.ini (default language, offered languages) and
// "Languages/<name>.ini", whose sections hold the texts of each window by control name and
// the message texts by key ("MSG0301", ...) in the section "Messages".
#pragma once

#include <QString>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ui/skin.h"

class QWidget;

namespace halvern::app {

// One ini file as read: its sections in file order, each with its lines (blank lines and
// ";" comment lines left out, line ends and surrounding white space removed). A section that
// occurs twice keeps its lines in one list, first occurrence first. Text is UTF-8; a file in
// UTF-16 (with its byte order mark) is converted, and ill-formed bytes become U+FFFD.
using IniSections = std::vector<std::pair<std::string, std::vector<std::string>>>;
IniSections ParseIni(const std::string& bytes);

// Splits a line at its first "=" into key and text; a line without "=" is its own key and
// text. White space around the key and the text is removed.
std::pair<std::string, std::string> SplitIniLine(const std::string& line);

class LanguageStore : public ui::TextSource {
 public:
  // The process-wide store, loaded from the program's folder on first use.
  static LanguageStore& Instance();

  LanguageStore() = default;
  // Reads `programFolder`/config.ini and the chosen language file; a missing file leaves
  // the defaults (language "English", no offered languages, no texts).
  void Load(const std::filesystem::path& programFolder);
  // The same with the configuration file and the languages folder named apart (the user's
  // config.ini beside the installed language files).
  void Load(const std::filesystem::path& configFile, const std::filesystem::path& languagesFolder);

  ui::TextMap& Section(const std::string& section) override;

  // `ApplyTexts` of the section `section` over the controls of `window`.
  void ApplyTexts(QWidget* window, const std::string& section, const QString& skip = QString());

  const std::string& LanguageName() const { return language_; }
  const std::vector<std::pair<std::string, std::string>>& OfferedLanguages() const {
    return offered_;
  }
  const std::filesystem::path& ConfigPath() const { return configPath_; }
  std::filesystem::path LanguageFile() const;
  // A value of config.ini outside the language keys (the link table); empty when absent.
  std::string ConfigValue(const std::string& section, const std::string& key) const;

 private:
  std::filesystem::path configPath_;
  std::filesystem::path languagesFolder_;
  std::string language_ = "English";
  std::vector<std::pair<std::string, std::string>> offered_;
  std::map<std::string, ui::TextMap> texts_;
  std::map<std::string, ui::TextMap> config_;
};

// Applies the chosen language beyond the windows' own texts: Qt's translations of its own
// dialogs (file picker, buttons) for the language's "Locale" (section "Language"), that locale
// as the default, and the words of the recovered pages and the print (section "Pages").
// Returns whether Qt's translations were found (none are needed for English).
bool ApplyLanguage(LanguageStore& store);

// The name of the language last applied by ApplyLanguage ("English" before any): the pages
// the program writes (recover, print) take their templates in it, so that their frame and
// their words (section "Pages") are always of one language.
const std::string& AppliedLanguage();

// The folder of the page templates in `language`: "template/<language>" of `dataFolder` when
// it holds the print template, else "template" (English).
std::filesystem::path PageTemplateFolder(const std::filesystem::path& dataFolder,
                                         const std::string& language);

// A language name that may name a file of the languages folder: not empty, at most 63
// characters, no path separators, not starting with ".".
bool IsUsableLanguageName(const std::string& name);

}  // namespace halvern::app
