// Parser of CREATE TABLE statements as stored in the schema table: column names, declared
// types, the INTEGER PRIMARY KEY column and WITHOUT ROWID.
#include <cctype>
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

}  // namespace

bool ParseCreateTable(std::string_view sql, TableSchema& out) {
  out.columns.clear();
  out.declaredTypes.clear();
  out.declaredColumnCount = 0;
  out.rowidColumn = -1;
  out.withoutRowid = false;
  out.virtualTable = false;
  out.parsed = false;
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
    for (size_t c = k; c + 1 < end; ++c) {
      if (IsWord(tokens[c], "PRIMARY") && IsWord(tokens[c + 1], "KEY")) {
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
  if (out.withoutRowid) out.rowidColumn = -1;
  out.declaredColumnCount = static_cast<uint32_t>(out.columns.size());
  out.parsed = true;
  return true;
}

}  // namespace halvern
