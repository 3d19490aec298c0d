// Small text helpers of the SQLite reader.
#include "sqlite_recovery/text.h"

#include <cstring>

namespace halvern {
namespace {

void AppendUtf8(uint32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3f)));
  }
}

}  // namespace

size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto b = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t c = b(i);
  const size_t left = s.size() - i;
  if (c < 0x80) return 1;
  if (c >= 0xc2 && c <= 0xdf) {
    return (left >= 2 && (b(i + 1) & 0xc0) == 0x80) ? 2 : 0;
  }
  if (c >= 0xe0 && c <= 0xef) {
    if (left < 3 || (b(i + 1) & 0xc0) != 0x80 || (b(i + 2) & 0xc0) != 0x80) return 0;
    if (c == 0xe0 && b(i + 1) < 0xa0) return 0;   // overlong
    if (c == 0xed && b(i + 1) >= 0xa0) return 0;  // surrogate
    return 3;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    if (left < 4 || (b(i + 1) & 0xc0) != 0x80 || (b(i + 2) & 0xc0) != 0x80 ||
        (b(i + 3) & 0xc0) != 0x80) {
      return 0;
    }
    if (c == 0xf0 && b(i + 1) < 0x90) return 0;   // overlong
    if (c == 0xf4 && b(i + 1) >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}

void Utf16ToUtf8(std::span<const uint8_t> bytes, bool bigEndian, std::string& out) {
  const size_t units = bytes.size() / 2;
  out.reserve(out.size() + units);
  const auto unit = [&](size_t i) -> uint32_t {
    const uint8_t a = bytes[2 * i];
    const uint8_t b = bytes[2 * i + 1];
    return bigEndian ? (uint32_t{a} << 8 | b) : (uint32_t{b} << 8 | a);
  };
  for (size_t i = 0; i < units; ++i) {
    uint32_t c = unit(i);
    if (c >= 0xd800 && c <= 0xdbff && i + 1 < units) {
      const uint32_t d = unit(i + 1);
      if (d >= 0xdc00 && d <= 0xdfff) {
        c = 0x10000 + ((c - 0xd800) << 10) + (d - 0xdc00);
        ++i;
      } else {
        c = 0xfffd;
      }
    } else if (c >= 0xd800 && c <= 0xdfff) {
      c = 0xfffd;
    }
    AppendUtf8(c, out);
  }
}

size_t ValidUtf8Prefix(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    // Runs of ASCII eight bytes at a time.
    while (i + 8 <= text.size()) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if (word & 0x8080808080808080ull) break;
      i += 8;
    }
    if (i >= text.size()) break;
    const size_t n = Utf8SequenceLength(text, i);
    if (n == 0) break;
    i += n;
  }
  return i;
}

bool IsValidUtf8(std::string_view text) { return ValidUtf8Prefix(text) == text.size(); }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace halvern
