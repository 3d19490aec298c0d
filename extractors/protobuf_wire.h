// A small reader of the protobuf wire format, enough to walk a message by field numbers.
//
// Wire format: a message is a sequence of fields; each starts with a varint key
// (field number << 3 | wire type). Wire type 0: a varint follows; 1: 8 bytes; 2: a varint
// length and that many bytes (strings, bytes, nested messages); 5: 4 bytes. Types 3 and 4
// (groups) are obsolete and end the walk. Varints are little-endian groups of 7 bits, the
// high bit set on every byte but the last, at most 10 bytes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string_view>

namespace halvern::protobuf {

// The bytes of the first length-delimited field `number` of `message`; nullopt when there is
// none or the message is malformed before it.
std::optional<std::string_view> FindBytes(std::string_view message, uint32_t number);

// Follows a path of length-delimited fields (2 -> 3 -> 2 gives a note's text).
std::optional<std::string_view> FindPath(std::string_view message,
                                         std::initializer_list<uint32_t> path);

}  // namespace halvern::protobuf
