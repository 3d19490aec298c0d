// Parser of CREATE TABLE statements as stored in the schema table: column names, declared
// types, the INTEGER PRIMARY KEY column and WITHOUT ROWID.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sqlite_recovery/reader.h"
#include "sqlite_recovery/text.h"

namespace halvern {
namespace {

struct Token {
  enum Kind { kWord, kQuoted, kPunct } kind = kWord;
  std::string text;  // unquoted value for kQuoted
};

bool IsWordChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

// Splits SQL into words, quoted names/strings and single punctuation characters; drops
// whitespace and comments. An unterminated quote takes the rest of the text.
std::vector<Token> Tokenize(std::string_view sql) {
  std::vector<Token> out;
  size_t i = 0;
  const size_t n = sql.size();
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(sql[i]);
    if (std::isspace(c)) {
      ++i;
    } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      while (i < n && sql[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      const size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? n : end + 2;
    } else if (c == '"' || c == '\'' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : static_cast<char>(c);
      Token t{Token::kQuoted, {}};
      ++i;
      while (i < n) {
        if (sql[i] == close) {
          // A doubled quote stands for itself (not inside [...]).
          if (close != ']' && i + 1 < n && sql[i + 1] == close) {
            t.text.push_back(close);
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        t.text.push_back(sql[i++]);
      }
      out.push_back(std::move(t));
    } else if (IsWordChar(c)) {
      Token t{Token::kWord, {}};
      while (i < n && IsWordChar(static_cast<unsigned char>(sql[i]))) t.text.push_back(sql[i++]);
      out.push_back(std::move(t));
    } else {
      out.push_back(Token{Token::kPunct, std::string(1, static_cast<char>(c))});
      ++i;
    }
  }
  return out;
}

bool IsWord(const Token& t, std::string_view word) {
  return t.kind == Token::kWord && EqualsIgnoreCase(t.text, word);
}
bool IsPunct(const Token& t, char c) {
  return t.kind == Token::kPunct && t.text.size() == 1 && t.text[0] == c;
}

// Words that begin a column constraint (and so end the declared type).
bool StartsColumnConstraint(const Token& t) {
  static constexpr std::string_view kWords[] = {"CONSTRAINT", "PRIMARY",   "NOT",     "NULL",
                                                "UNIQUE",     "CHECK",     "DEFAULT", "COLLATE",
                                                "REFERENCES", "GENERATED", "AS"};
  if (t.kind != Token::kWord) return false;
  for (std::string_view w : kWords) {
    if (EqualsIgnoreCase(t.text, w)) return true;
  }
  return false;
}

bool StartsTableConstraint(const Token& t) {
  static constexpr std::string_view kWords[] = {"CONSTRAINT", "PRIMARY", "UNIQUE", "CHECK",
                                                "FOREIGN"};
  if (t.kind != Token::kWord) return false;
  for (std::string_view w : kWords) {
    if (EqualsIgnoreCase(t.text, w)) return true;
  }
  return false;
}

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// Applies a column's affinity to its default, as SQLite does when it reads the default for a
// record stored before the column was added.
void ApplyAffinity(char affinity, ColumnDefault& d) {
  if (affinity == 'I' || affinity == 'N' || affinity == 'R') {
    if (d.type == ValueType::kText) {
      // Text that is a number in full becomes the number.
      const std::string& t = d.bytes;
      size_t b = 0, e = t.size();
      while (b < e && std::isspace(static_cast<unsigned char>(t[b]))) ++b;
      while (e > b && std::isspace(static_cast<unsigned char>(t[e - 1]))) --e;
      const std::string core = t.substr(b, e - b);
      if (!core.empty()) {
        char* end = nullptr;
        errno = 0;
        const long long i = std::strtoll(core.c_str(), &end, 10);
        if (end && *end == '\0' && errno == 0) {
          d.type = ValueType::kInteger;
          d.integer = i;
          d.bytes.clear();
        } else {
          const double r = std::strtod(core.c_str(), &end);
          const bool hex = core.find_first_of("xX") != std::string::npos;
          if (end && *end == '\0' && !hex && std::isfinite(r)) {
            d.type = ValueType::kReal;
            d.real = r;
            d.bytes.clear();
          }
        }
      }
    }
    if (affinity != 'R' && d.type == ValueType::kReal && std::isfinite(d.real) &&
        d.real >= -9.2233720368547758e18 && d.real < 9.2233720368547758e18 &&
        static_cast<double>(static_cast<int64_t>(d.real)) == d.real) {
      d.type = ValueType::kInteger;
      d.integer = static_cast<int64_t>(d.real);
    }
    if (affinity == 'R' && d.type == ValueType::kInteger) {
      d.type = ValueType::kReal;
      d.real = static_cast<double>(d.integer);
    }
  } else if (affinity == 'T') {
    if (d.type == ValueType::kInteger) {
      d.bytes = std::to_string(d.integer);
      d.type = ValueType::kText;
    } else if (d.type == ValueType::kReal) {
      char buf[40];
      std::snprintf(buf, sizeof buf, "%.15g", d.real);
      d.bytes = buf;
      if (d.bytes.find_first_of(".eEn") == std::string::npos) d.bytes += ".0";
      d.type = ValueType::kText;
    }
  }
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The constant of a DEFAULT clause starting at tokens[k] (literal, signed number, X'..' blob,
// NULL, TRUE/FALSE, or one of these in parentheses). False for anything else.
bool ParseDefault(const std::vector<Token>& tokens, size_t k, size_t end, ColumnDefault& d) {
  size_t open = 0;
  while (k < end && IsPunct(tokens[k], '(')) {
    ++open;
    ++k;
  }
  if (k >= end) return false;
  bool negative = false;
  if (IsPunct(tokens[k], '-') || IsPunct(tokens[k], '+')) {
    negative = IsPunct(tokens[k], '-');
    ++k;
    if (k >= end) return false;
  }
  const Token& t = tokens[k];
  size_t next = k + 1;
  if (t.kind == Token::kQuoted) {
    if (negative) return false;
    d.type = ValueType::kText;
    d.bytes = t.text;
  } else if (t.kind == Token::kWord && (t.text == "X" || t.text == "x") && next < end &&
             tokens[next].kind == Token::kQuoted) {
    const std::string& hex = tokens[next].text;
    if (hex.size() % 2 != 0) return false;
    d.type = ValueType::kBlob;
    for (size_t i = 0; i < hex.size(); i += 2) {
      const int hi = HexDigit(hex[i]), lo = HexDigit(hex[i + 1]);
      if (hi < 0 || lo < 0) return false;
      d.bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    ++next;
  } else if (t.kind == Token::kWord && EqualsIgnoreCase(t.text, "NULL")) {
    d.type = ValueType::kNull;
  } else if (t.kind == Token::kWord &&
             (EqualsIgnoreCase(t.text, "TRUE") || EqualsIgnoreCase(t.text, "FALSE"))) {
    d.type = ValueType::kInteger;
    d.integer = EqualsIgnoreCase(t.text, "TRUE") ? 1 : 0;
  } else if ((t.kind == Token::kWord && std::isdigit(static_cast<unsigned char>(t.text[0]))) ||
             (IsPunct(t, '.') && next < end && tokens[next].kind == Token::kWord)) {
    // A number, put back together from its tokens: 12, 1.5, .5, 1e5, 1.5e-3, 0x1F.
    std::string number = IsPunct(t, '.') ? "0." : t.text;
    if (IsPunct(t, '.')) number += tokens[next++].text;
    if (!IsPunct(t, '.') && next < end && IsPunct(tokens[next], '.')) {
      number += '.';
      ++next;
      if (next < end && tokens[next].kind == Token::kWord &&
          std::isdigit(static_cast<unsigned char>(tokens[next].text[0]))) {
        number += tokens[next++].text;
      }
    }
    const char last = number.back();
    if ((last == 'e' || last == 'E') && next + 1 < end &&
        (IsPunct(tokens[next], '-') || IsPunct(tokens[next], '+')) &&
        tokens[next + 1].kind == Token::kWord) {
      number += tokens[next].text + tokens[next + 1].text;
      next += 2;
    }
    char* stop = nullptr;
    errno = 0;
    const bool hex = number.size() > 2 && number[0] == '0' && (number[1] == 'x' || number[1] == 'X');
    if (hex) {
      const unsigned long long v = std::strtoull(number.c_str() + 2, &stop, 16);
      if (*stop != '\0') return false;
      d.type = ValueType::kInteger;
      d.integer = static_cast<int64_t>(v);
      if (negative) d.integer = static_cast<int64_t>(0 - static_cast<uint64_t>(d.integer));
    } else {
      const long long v = std::strtoll(number.c_str(), &stop, 10);
      if (*stop == '\0' && errno == 0) {
        d.type = ValueType::kInteger;
        d.integer = negative ? -v : v;
      } else {
        const double r = std::strtod(number.c_str(), &stop);
        if (*stop != '\0') return false;
        d.type = ValueType::kReal;
        d.real = negative ? -r : r;
      }
    }
  } else {
    return false;  // an expression, CURRENT_TIME and the like: not a constant
  }
  if ((d.type == ValueType::kNull || d.type == ValueType::kText || d.type == ValueType::kBlob) &&
      negative) {
    return false;
  }
  for (size_t c = 0; c < open; ++c) {
    if (next >= end || !IsPunct(tokens[next], ')')) return false;
    ++next;
  }
  return true;
}

}  // namespace

char DeclaredAffinity(std::string_view declared) {
  const std::string up = Upper(declared);
  if (up.find("INT") != std::string::npos) return 'I';
  if (up.find("CHAR") != std::string::npos || up.find("CLOB") != std::string::npos ||
      up.find("TEXT") != std::string::npos) {
    return 'T';
  }
  if (up.empty() || up.find("BLOB") != std::string::npos) return 'B';
  if (up.find("REAL") != std::string::npos || up.find("FLOA") != std::string::npos ||
      up.find("DOUB") != std::string::npos) {
    return 'R';
  }
  return 'N';
}

bool ParseCreateTable(std::string_view sql, TableSchema& out) {
  out.columns.clear();
  out.declaredTypes.clear();
  out.declaredColumnCount = 0;
  out.rowidColumn = -1;
  out.withoutRowid = false;
  out.virtualTable = false;
  out.parsed = false;
  out.defaults.clear();
  out.storedOrder.clear();
  const std::vector<Token> tokens = Tokenize(sql);
  size_t i = 0;
  const size_t n = tokens.size();
  auto at = [&](size_t k) -> const Token* { return k < n ? &tokens[k] : nullptr; };
  if (!at(i) || !IsWord(*at(i), "CREATE")) return false;
  ++i;
  while (at(i) && (IsWord(*at(i), "TEMP") || IsWord(*at(i), "TEMPORARY"))) ++i;
  if (at(i) && IsWord(*at(i), "VIRTUAL")) {
    out.virtualTable = true;
    return false;  // columns are the module's business
  }
  if (!at(i) || !IsWord(*at(i), "TABLE")) return false;
  ++i;
  if (at(i + 2) && IsWord(*at(i), "IF") && IsWord(*at(i + 1), "NOT") &&
      IsWord(*at(i + 2), "EXISTS")) {
    i += 3;
  }
  // [schema .] name
  if (!at(i)) return false;
  ++i;
  if (at(i + 1) && IsPunct(*at(i), '.')) i += 2;
  if (!at(i) || !IsPunct(*at(i), '(')) return false;  // CREATE TABLE ... AS SELECT
  ++i;

  std::string primaryKeyColumn;  // from a table constraint PRIMARY KEY (one column)
  int primaryKeyColumns = 0;
  std::vector<std::string> keyNames;  // the primary key's columns, in key order
  bool closed = false;
  while (i < n && !closed) {
    // One definition: tokens up to a comma or the closing parenthesis at depth 0.
    const size_t start = i;
    int depth = 0;
    while (i < n) {
      if (IsPunct(tokens[i], '(')) ++depth;
      if (IsPunct(tokens[i], ')')) {
        if (depth == 0) break;
        --depth;
      }
      if (depth == 0 && IsPunct(tokens[i], ',')) break;
      ++i;
    }
    const size_t end = i;
    if (i < n && IsPunct(tokens[i], ')')) closed = true;
    ++i;
    if (start == end) continue;
    const Token& first = tokens[start];
    if (StartsTableConstraint(first)) {
      // PRIMARY KEY (name [COLLATE x] [ASC|DESC], ...): remember a single-column key.
      for (size_t k = start; k + 1 < end; ++k) {
        if (IsWord(tokens[k], "PRIMARY") && IsWord(tokens[k + 1], "KEY")) {
          size_t p = k + 2;
          if (p < end && IsPunct(tokens[p], '(')) {
            ++p;
            int columns = 0;
            std::string name;
            int d = 0;
            bool atItemStart = true;
            for (; p < end; ++p) {
              if (IsPunct(tokens[p], '(')) ++d;
              if (IsPunct(tokens[p], ')')) {
                if (d == 0) break;
                --d;
              }
              if (d == 0 && IsPunct(tokens[p], ',')) {
                atItemStart = true;
                continue;
              }
              if (atItemStart && tokens[p].kind != Token::kPunct) {
                ++columns;
                name = tokens[p].text;
                keyNames.push_back(name);
                atItemStart = false;
              }
            }
            primaryKeyColumns = columns;
            primaryKeyColumn = columns == 1 ? name : std::string();
          }
          break;
        }
      }
      continue;
    }
    if (first.kind == Token::kPunct) return false;
    // Column: name, then type tokens until a constraint word.
    std::string type;
    size_t k = start + 1;
    int d = 0;
    for (; k < end; ++k) {
      if (d == 0 && StartsColumnConstraint(tokens[k])) break;
      if (IsPunct(tokens[k], '(')) ++d;
      if (IsPunct(tokens[k], ')')) --d;
      if (!type.empty() && tokens[k].kind != Token::kPunct && type.back() != '(' &&
          type.back() != ',') {
        type.push_back(' ');
      }
      type += tokens[k].text;
    }
    // INTEGER PRIMARY KEY (not DESC) makes the column the rowid.
    bool rowidAlias = false;
    ColumnDefault def;
    for (size_t c = k; c + 1 < end; ++c) {
      if (IsWord(tokens[c], "DEFAULT")) {
        if (!ParseDefault(tokens, c + 1, end, def)) def = ColumnDefault{};
        break;
      }
    }
    ApplyAffinity(DeclaredAffinity(type), def);
    out.defaults.push_back(std::move(def));
    for (size_t c = k; c + 1 < end; ++c) {
      if (IsWord(tokens[c], "PRIMARY") && IsWord(tokens[c + 1], "KEY")) {
        keyNames.push_back(first.text);
        const bool desc = c + 2 < end && IsWord(tokens[c + 2], "DESC");
        rowidAlias = Upper(type) == "INTEGER" && !desc;
        if (Upper(type) == "INTEGER") ++primaryKeyColumns;  // counted for the table check
        break;
      }
    }
    if (rowidAlias) out.rowidColumn = static_cast<int32_t>(out.columns.size());
    out.columns.push_back(first.text);
    out.declaredTypes.push_back(type);
  }
  if (!closed || out.columns.empty()) {
    out.columns.clear();
    out.declaredTypes.clear();
    out.rowidColumn = -1;
    return false;
  }
  if (!primaryKeyColumn.empty() && primaryKeyColumns == 1 && out.rowidColumn < 0) {
    const int32_t c = out.ColumnIndex(primaryKeyColumn);
    if (c >= 0 && Upper(out.declaredTypes[c]) == "INTEGER") out.rowidColumn = c;
  }
  // Options after the column list: WITHOUT ROWID, STRICT.
  for (; i + 1 < n; ++i) {
    if (IsWord(tokens[i], "WITHOUT") && IsWord(tokens[i + 1], "ROWID")) out.withoutRowid = true;
  }
  if (out.withoutRowid) {
    out.rowidColumn = -1;
    // Stored fields: the key's columns in key order (each once), then the others as declared.
    std::vector<bool> taken(out.columns.size(), false);
    for (const std::string& key : keyNames) {
      const int32_t c = out.ColumnIndex(key);
      if (c < 0 || taken[c]) continue;
      taken[c] = true;
      out.storedOrder.push_back(static_cast<uint32_t>(c));
    }
    for (uint32_t c = 0; c < out.columns.size(); ++c) {
      if (!taken[c]) out.storedOrder.push_back(c);
    }
  }
  out.declaredColumnCount = static_cast<uint32_t>(out.columns.size());
  out.parsed = true;
  return true;
}

}  // namespace halvern
