// A small reader of the protobuf wire format, enough to walk a message by field numbers.
//
// Wire format: a message is a sequence of fields; each starts with a varint key
// (field number << 3 | wire type). Wire type 0: a varint follows; 1: 8 bytes; 2: a varint
// length and that many bytes (strings, bytes, nested messages); 5: 4 bytes. Types 3 and 4
// (groups) are obsolete and end the walk. Varints are little-endian groups of 7 bits, the
// high bit set on every byte but the last, at most 10 bytes.
#pragma once

#include <cstdint>
#include <functional>
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

// One field of a message as the walk meets it: for wire type 0 `varint` holds the value, for
// type 2 `bytes` the payload; 1 and 5 give their fixed bytes in `bytes`.
struct Field {
  uint32_t number = 0;
  uint32_t wireType = 0;
  uint64_t varint = 0;
  std::string_view bytes;
};

// Calls `visit` for each field of `message` in order until it returns false. Returns false when
// the message is malformed (the fields before the fault have been visited).
bool ForEachField(std::string_view message, const std::function<bool(const Field&)>& visit);

}  // namespace halvern::protobuf
