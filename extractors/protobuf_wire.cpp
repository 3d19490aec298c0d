// Protobuf wire reader (see protobuf_wire.h).
#include "extractors/protobuf_wire.h"

namespace halvern::protobuf {
namespace {

bool ReadVarint(std::string_view& in, uint64_t& value) {
  value = 0;
  for (int i = 0; i < 10; ++i) {
    if (in.empty()) return false;
    const uint8_t b = static_cast<uint8_t>(in.front());
    in.remove_prefix(1);
    value |= uint64_t(b & 0x7F) << (7 * i);
    if ((b & 0x80) == 0) return true;
  }
  return false;
}

}  // namespace

std::optional<std::string_view> FindBytes(std::string_view message, uint32_t number) {
  std::string_view in = message;
  while (!in.empty()) {
    uint64_t key = 0;
    if (!ReadVarint(in, key)) return std::nullopt;
    const uint64_t field = key >> 3;
    uint64_t value = 0;
    switch (key & 7) {
      case 0:
        if (!ReadVarint(in, value)) return std::nullopt;
        break;
      case 1:
        if (in.size() < 8) return std::nullopt;
        in.remove_prefix(8);
        break;
      case 2:
        if (!ReadVarint(in, value) || value > in.size()) return std::nullopt;
        if (field == number) return in.substr(0, size_t(value));
        in.remove_prefix(size_t(value));
        break;
      case 5:
        if (in.size() < 4) return std::nullopt;
        in.remove_prefix(4);
        break;
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

bool ForEachField(std::string_view message, const std::function<bool(const Field&)>& visit) {
  std::string_view in = message;
  while (!in.empty()) {
    uint64_t key = 0;
    if (!ReadVarint(in, key)) return false;
    Field f;
    if ((key >> 3) > UINT32_MAX || (key >> 3) == 0) return false;
    f.number = uint32_t(key >> 3);
    f.wireType = uint32_t(key & 7);
    switch (f.wireType) {
      case 0:
        if (!ReadVarint(in, f.varint)) return false;
        break;
      case 1:
      case 5: {
        const size_t n = f.wireType == 1 ? 8 : 4;
        if (in.size() < n) return false;
        f.bytes = in.substr(0, n);
        in.remove_prefix(n);
        break;
      }
      case 2: {
        uint64_t length = 0;
        if (!ReadVarint(in, length) || length > in.size()) return false;
        f.bytes = in.substr(0, size_t(length));
        in.remove_prefix(size_t(length));
        break;
      }
      default:
        return false;
    }
    if (!visit(f)) return true;
  }
  return true;
}

std::optional<std::string_view> FindPath(std::string_view message,
                                         std::initializer_list<uint32_t> path) {
  std::optional<std::string_view> at = message;
  for (uint32_t number : path) {
    at = FindBytes(*at, number);
    if (!at) return std::nullopt;
  }
  return at;
}

}  // namespace halvern::protobuf
