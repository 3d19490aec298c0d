// Runtime folders, the user's configuration file and small ini text edits.
#include "platform/runtime_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace halvern::platform {

namespace fs = std::filesystem;

namespace {

std::string_view Trim(std::string_view s) {
  const char* ws = " \t\r\n\v\f";
  const size_t b = s.find_first_not_of(ws);
  if (b == std::string_view::npos) return {};
  return s.substr(b, s.find_last_not_of(ws) - b + 1);
}

// One line of an ini text: where it starts, its length without the line end ("\n" or
// "\r\n"), and the length with it.
struct Line {
  size_t start, length, full;
};

std::vector<Line> SplitLines(std::string_view text) {
  std::vector<Line> lines;
  size_t pos = text.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    const size_t full = (end == std::string_view::npos ? text.size() : end + 1) - pos;
    if (end == std::string_view::npos) end = text.size();
    if (end > pos && text[end - 1] == '\r') --end;  // the line end is "\r\n"
    lines.push_back({pos, end - pos, full});
    pos += full;
  }
  return lines;
}

// The section name of a "[name]" line, or nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return Trim(line.substr(1, line.size() - 2));
}

// The key and value of a line inside a section; nullopt for blank and comment lines.
std::optional<std::pair<std::string_view, std::string_view>> KeyValue(std::string_view line) {
  line = Trim(line);
  if (line.empty() || line.front() == ';') return std::nullopt;
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::pair{line, line};
  return std::pair{Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))};
}

// Calls `visit(line, keyValue)` for each key line of every occurrence of `section`.
template <typename Visit>
void ForEachKeyLine(std::string_view text, std::string_view section, Visit visit) {
  bool inside = false;
  for (const Line& l : SplitLines(text)) {
    const std::string_view body = text.substr(l.start, l.length);
    if (auto name = SectionName(body)) {
      inside = *name == section;
      continue;
    }
    if (!inside) continue;
    if (auto kv = KeyValue(body)) {
      if (!visit(l, *kv)) return;
    }
  }
}

bool IsUtf16(std::string_view text) {
  return text.size() >= 2 && ((text[0] == '\xFF' && text[1] == '\xFE') ||
                              (text[0] == '\xFE' && text[1] == '\xFF'));
}

}  // namespace

RuntimeFolders RuntimeFoldersFor(const fs::path& programFolder) {
  std::error_code ec;
  if (!fs::exists(programFolder / "config.ini", ec)) {
    const fs::path prefix = programFolder.parent_path();
    if (fs::is_directory(prefix / "share" / "halvern", ec)) {
      return {prefix / "share" / "halvern", prefix / "lib" / "halvern"};
    }
  }
  return {programFolder, programFolder};
}

namespace {
const RuntimeFolders& Folders() {
  static const RuntimeFolders folders = RuntimeFoldersFor(ProgramFolder());
  return folders;
}
}  // namespace

const fs::path& DataFolder() { return Folders().data; }
const fs::path& HelperFolder() { return Folders().helpers; }

fs::path UserConfigFile() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    return fs::path(xdg) / "halvern" / "config.ini";
  }
  if (const char* home = std::getenv("HOME"); home && home[0] == '/') {
    return fs::path(home) / ".config" / "halvern" / "config.ini";
  }
  return {};
}

fs::path ConfigFile() {
  const fs::path user = UserConfigFile();
  std::error_code ec;
  if (!user.empty() && fs::is_regular_file(user, ec)) return user;
  return DataFolder() / "config.ini";
}

std::optional<std::string> IniValue(std::string_view text, std::string_view section,
                                    std::string_view key) {
  std::optional<std::string> found;
  ForEachKeyLine(text, section, [&](const Line&, auto kv) {
    if (kv.first != key) return true;
    found = std::string(kv.second);
    return false;
  });
  return found;
}

std::vector<std::pair<std::string, std::string>> IniSectionLines(std::string_view text,
                                                                 std::string_view section) {
  std::vector<std::pair<std::string, std::string>> out;
  ForEachKeyLine(text, section, [&](const Line&, auto kv) {
    out.emplace_back(kv.first, kv.second);
    return true;
  });
  return out;
}

std::string WithIniValue(std::string_view text, std::string_view section, std::string_view key,
                         std::string_view value) {
  const std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
  const std::string entry = std::string(key) + "=" + std::string(value);
  // The key's first line is replaced, keeping its line end.
  std::optional<Line> existing;
  ForEachKeyLine(text, section, [&](const Line& l, auto kv) {
    if (kv.first != key) return true;
    existing = l;
    return false;
  });
  std::string out(text);
  if (existing) return out.replace(existing->start, existing->length, entry);
  // Else the line goes after the last key line (or the header) of the section's first
  // occurrence.
  bool inside = false;
  std::optional<size_t> insertAt;
  for (const Line& l : SplitLines(text)) {
    const std::string_view body = text.substr(l.start, l.length);
    if (auto name = SectionName(body)) {
      if (inside) break;
      inside = *name == section;
      if (inside) insertAt = l.start + l.full;
      continue;
    }
    if (inside && KeyValue(body)) insertAt = l.start + l.full;
  }
  if (insertAt) {
    const bool needsEol = *insertAt > 0 && out[*insertAt - 1] != '\n';
    return out.insert(*insertAt, (needsEol ? eol : "") + entry + eol);
  }
  if (!out.empty() && out.back() != '\n') out += eol;
  if (!out.empty()) out += eol;
  return out + "[" + std::string(section) + "]" + eol + entry + eol;
}

int32_t SetUserConfigValue(const fs::path& userConfig, const fs::path& defaultConfig,
                           std::string_view section, std::string_view key, std::string_view value,
                           std::string& error) {
  if (userConfig.empty()) {
    error = "no folder for the settings: neither XDG_CONFIG_HOME nor HOME is set";
    return ENOENT;
  }
  const fs::path folder = userConfig.parent_path();
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    fs::create_directories(folder, ec);
    if (ec) {
      error = "cannot make " + folder.string() + ": " + ec.message();
      return ec.value();
    }
    ::chmod(folder.c_str(), 0700);
  }
  std::string text;
  if (fs::exists(userConfig, ec)) {
    auto current = ReadFile(userConfig);
    if (!current) {
      const int e = errno ? errno : EIO;
      error = "cannot read " + userConfig.string() + ": " + std::strerror(e);
      return e;
    }
    text = std::move(*current);
  } else if (auto defaults = ReadFile(defaultConfig)) {
    text = std::move(*defaults);  // the first change starts from the default settings
  }
  if (IsUtf16(text)) {
    error = userConfig.string() + " is written in UTF-16; change it with a text editor";
    return EILSEQ;
  }
  text = WithIniValue(text, section, key, value);

  std::string temp = (folder / ".config.ini.XXXXXX").string();
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) {
    const int e = errno;
    error = "cannot write in " + folder.string() + ": " + std::strerror(e);
    return e;
  }
  size_t done = 0;
  int e = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      e = n < 0 ? errno : EIO;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (e == 0 && ::fsync(fd) != 0) e = errno;
  if (::close(fd) != 0 && e == 0) e = errno;
  if (e == 0 && ::rename(temp.c_str(), userConfig.c_str()) != 0) e = errno;
  if (e != 0) {
    ::unlink(temp.c_str());
    error = "cannot write " + userConfig.string() + ": " + std::strerror(e);
    return e;
  }
  return 0;
}

}  // namespace halvern::platform
