// Reading config.ini and the language files.
#include "app/language_store.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>
#include <QWidget>

#include "export/print_page.h"
#include "export/writers.h"

#include "platform/platform.h"
#include "platform/runtime_files.h"

namespace halvern::app {

namespace {

constexpr size_t kMaxLanguageName = 63;

std::string Trim(const std::string& s) {
  const char* ws = " \t\r\n\v\f";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string::npos) return {};
  const size_t e = s.find_last_not_of(ws);
  return s.substr(b, e - b + 1);
}

// UTF-16 LE or BE text with its byte order mark to UTF-8.
std::string Utf16ToUtf8(const std::string& bytes, bool bigEndian) {
  std::u16string units;
  for (size_t i = 2; i + 1 < bytes.size(); i += 2) {
    const auto lo = static_cast<unsigned char>(bytes[bigEndian ? i + 1 : i]);
    const auto hi = static_cast<unsigned char>(bytes[bigEndian ? i : i + 1]);
    units.push_back(static_cast<char16_t>(lo | (hi << 8)));
  }
  return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()))
      .toUtf8()
      .toStdString();
}

std::string ToUtf8Text(const std::string& bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    return Utf16ToUtf8(bytes, false);
  }
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
      static_cast<unsigned char>(bytes[1]) == 0xFF) {
    return Utf16ToUtf8(bytes, true);
  }
  if (bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0) {
    return platform::SanitizeUtf8(std::string_view(bytes).substr(3));
  }
  return platform::SanitizeUtf8(bytes);
}

// Fills `map` from the lines of a section; the first line with a given key wins.
void AddLines(ui::TextMap& map, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    auto [key, text] = SplitIniLine(line);
    map.emplace(std::move(key), std::move(text));
  }
}

std::map<std::string, ui::TextMap> ReadIniFile(const std::filesystem::path& path) {
  std::map<std::string, ui::TextMap> out;
  const auto bytes = platform::ReadFile(path);
  if (!bytes) return out;
  for (const auto& [name, lines] : ParseIni(*bytes)) AddLines(out[name], lines);
  return out;
}

}  // namespace

IniSections ParseIni(const std::string& bytes) {
  const std::string text = ToUtf8Text(bytes);
  IniSections sections;
  std::vector<std::string>* current = nullptr;
  size_t pos = 0;
  while (pos <= text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']') {
      const std::string name = Trim(line.substr(1, line.size() - 2));
      current = nullptr;
      for (auto& [existing, lines] : sections) {
        if (existing == name) current = &lines;
      }
      if (current == nullptr) {
        sections.emplace_back(name, std::vector<std::string>{});
        current = &sections.back().second;
      }
      continue;
    }
    if (current != nullptr) current->push_back(line);  // lines before any section are ignored
  }
  return sections;
}

std::pair<std::string, std::string> SplitIniLine(const std::string& line) {
  const size_t eq = line.find('=');
  if (eq == std::string::npos) return {line, line};
  return {Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

namespace {
std::string& AppliedLanguageName() {
  static std::string name = "English";
  return name;
}
}  // namespace

const std::string& AppliedLanguage() { return AppliedLanguageName(); }

bool ApplyLanguage(LanguageStore& store) {
  SetPageWords(store.Section("Pages"));
  AppliedLanguageName() = store.LanguageName();
  // Kept for the life of the program: a translator must outlive its installation.
  static QPointer<QTranslator> qt;
  if (!qt.isNull()) QCoreApplication::removeTranslator(qt);
  const std::string locale = store.Section("Language")["Locale"];
  if (locale.empty() || locale == "en") return true;
  QLocale::setDefault(QLocale(QString::fromStdString(locale)));
  if (QCoreApplication::instance() == nullptr) return false;
  if (qt.isNull()) qt = new QTranslator(QCoreApplication::instance());
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (!qt->load(QStringLiteral("qtbase_") + QString::fromStdString(locale), folder)) return false;
  QCoreApplication::installTranslator(qt);
  return true;
}

std::filesystem::path PageTemplateFolder(const std::filesystem::path& dataFolder,
                                         const std::string& language) {
  const std::filesystem::path base = dataFolder / "template";
  std::error_code ec;
  if (IsUsableLanguageName(language) &&
      std::filesystem::is_regular_file(base / language / kPrintTemplate, ec)) {
    return base / language;
  }
  return base;
}

bool IsUsableLanguageName(const std::string& name) {
  if (name.empty() || name.size() > kMaxLanguageName || name[0] == '.') return false;
  return name.find_first_of("/\\") == std::string::npos && name.find('\0') == std::string::npos;
}

LanguageStore& LanguageStore::Instance() {
  static LanguageStore store = [] {
    LanguageStore s;
    s.Load(platform::ConfigFile(), platform::DataFolder() / "Languages");
    return s;
  }();
  return store;
}

void LanguageStore::Load(const std::filesystem::path& programFolder) {
  Load(programFolder / "config.ini", programFolder / "Languages");
}

void LanguageStore::Load(const std::filesystem::path& configFile,
                         const std::filesystem::path& languagesFolder) {
  configPath_ = configFile;
  languagesFolder_ = languagesFolder;
  config_ = {};
  offered_.clear();
  language_ = "English";
  if (const auto bytes = platform::ReadFile(configPath_)) {
    for (const auto& [name, lines] : ParseIni(*bytes)) {
      if (name == "Languages") {
        for (const auto& line : lines) offered_.push_back(SplitIniLine(line));
      }
      AddLines(config_[name], lines);
    }
  }
  if (auto it = config_.find("DefaultLanguage"); it != config_.end()) {
    if (auto key = it->second.find("Default"); key != it->second.end()) {
      // A name that would leave the languages folder is not a language; keep English.
      if (IsUsableLanguageName(key->second)) language_ = key->second;
    }
  }
  texts_ = ReadIniFile(LanguageFile());
}

std::filesystem::path LanguageStore::LanguageFile() const {
  return languagesFolder_ / (language_ + ".ini");
}

ui::TextMap& LanguageStore::Section(const std::string& section) { return texts_[section]; }

void LanguageStore::ApplyTexts(QWidget* window, const std::string& section, const QString& skip) {
  ui::ApplyTexts(window, Section(section), skip);
}

std::string LanguageStore::ConfigValue(const std::string& section, const std::string& key) const {
  auto it = config_.find(section);
  if (it == config_.end()) return {};
  auto k = it->second.find(key);
  return k == it->second.end() ? std::string() : k->second;
}

}  // namespace halvern::app
