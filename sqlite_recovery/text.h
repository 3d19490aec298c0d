// Small text helpers of the SQLite reader: UTF-16 to UTF-8, UTF-8 checks, ASCII case folding.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace halvern {

// Appends the UTF-8 form of UTF-16 bytes (an odd last byte is ignored; unpaired surrogates
// become U+FFFD).
void Utf16ToUtf8(std::span<const uint8_t> bytes, bool bigEndian, std::string& out);

// True when text is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Length of the well-formed UTF-8 sequence (one character) at s[i], or 0.
size_t Utf8SequenceLength(std::string_view s, size_t i);

// Length of the longest prefix of text that is well-formed UTF-8.
size_t ValidUtf8Prefix(std::string_view text);

// ASCII case-insensitive equality, as SQLite compares identifiers.
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace halvern
