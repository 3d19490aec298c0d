// Databases built byte by byte for the reader and carving tests: page 1 with a schema table,
// further pages laid out by the test at exact offsets.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <variant>
#include <vector>

namespace halvern::test {

struct Null {
  bool operator==(const Null&) const = default;
};
using Cell = std::variant<Null, int64_t, double, std::string>;  // string: text

inline void PutVarint(std::vector<uint8_t>& out, uint64_t v) {
  if (v > 0x00ffffffffffffffull) {
    uint8_t buf[9];
    buf[8] = static_cast<uint8_t>(v);
    v >>= 8;
    for (int i = 7; i >= 0; --i) {
      buf[i] = static_cast<uint8_t>((v & 0x7f) | 0x80);
      v >>= 7;
    }
    out.insert(out.end(), buf, buf + 9);
    return;
  }
  uint8_t buf[10];
  int n = 0;
  do {
    buf[n++] = static_cast<uint8_t>(v & 0x7f);
    v >>= 7;
  } while (v);
  for (int i = n - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(buf[i] | (i ? 0x80 : 0)));
}

// The record (header and body) of values, with the smallest integer serial types.
inline std::vector<uint8_t> EncodeRecord(const std::vector<Cell>& values) {
  std::vector<uint8_t> types, body;
  for (const Cell& c : values) {
    if (std::holds_alternative<Null>(c)) {
      types.push_back(0);
    } else if (const int64_t* i = std::get_if<int64_t>(&c)) {
      const int64_t v = *i;
      int bytes;
      uint64_t type;
      if (v >= -128 && v <= 127) {
        bytes = 1, type = 1;
      } else if (v >= -32768 && v <= 32767) {
        bytes = 2, type = 2;
      } else if (v >= -8388608 && v <= 8388607) {
        bytes = 3, type = 3;
      } else if (v >= -2147483648ll && v <= 2147483647ll) {
        bytes = 4, type = 4;
      } else if (v >= -140737488355328ll && v <= 140737488355327ll) {
        bytes = 6, type = 5;
      } else {
        bytes = 8, type = 6;
      }
      PutVarint(types, type);
      for (int k = bytes - 1; k >= 0; --k)
        body.push_back(static_cast<uint8_t>(uint64_t(v) >> (8 * k)));
    } else if (const double* d = std::get_if<double>(&c)) {
      types.push_back(7);
      uint64_t bits;
      std::memcpy(&bits, d, 8);
      for (int k = 7; k >= 0; --k) body.push_back(static_cast<uint8_t>(bits >> (8 * k)));
    } else {
      const std::string& s = std::get<std::string>(c);
      PutVarint(types, 13 + 2 * s.size());
      body.insert(body.end(), s.begin(), s.end());
    }
  }
  std::vector<uint8_t> rec;
  uint64_t hlen = types.size() + 1;
  if (hlen > 127) ++hlen;
  PutVarint(rec, hlen);
  rec.insert(rec.end(), types.begin(), types.end());
  rec.insert(rec.end(), body.begin(), body.end());
  return rec;
}

// A table leaf cell (payload small enough to be all local).
inline std::vector<uint8_t> EncodeCell(int64_t rowid, const std::vector<Cell>& values) {
  const std::vector<uint8_t> rec = EncodeRecord(values);
  std::vector<uint8_t> cell;
  PutVarint(cell, rec.size());
  PutVarint(cell, static_cast<uint64_t>(rowid));
  cell.insert(cell.end(), rec.begin(), rec.end());
  return cell;
}

class PageBuilder {
 public:
  explicit PageBuilder(uint32_t pageSize = 1024, uint32_t pages = 2) : ps_(pageSize) {
    bytes_.assign(size_t{pageSize} * pages, 0);
    std::memcpy(bytes_.data(), "SQLite format 3", 16);
    Put16(16, pageSize == 65536 ? 1 : pageSize);
    bytes_[18] = bytes_[19] = 1;
    bytes_[21] = 64, bytes_[22] = 32, bytes_[23] = 32;
    Put32(28, pages);
    Put32(44, 4);
    Put32(56, 1);
  }
  uint32_t pageSize() const { return ps_; }
  std::vector<uint8_t>& bytes() { return bytes_; }
  uint8_t* page(uint32_t n) { return bytes_.data() + size_t{n - 1} * ps_; }
  void Put16(size_t at, uint32_t v) {
    bytes_[at] = static_cast<uint8_t>(v >> 8);
    bytes_[at + 1] = static_cast<uint8_t>(v);
  }
  void Put32(size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k) bytes_[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
  }
  size_t At(uint32_t page, uint32_t offset) const { return size_t{page - 1} * ps_ + offset; }
  void Write(uint32_t page, uint32_t offset, const std::vector<uint8_t>& data) {
    std::memcpy(bytes_.data() + At(page, offset), data.data(), data.size());
  }

  // A table leaf header on page n: cells at the given offsets (pointer array in this order),
  // first freeblock, content start.
  void LeafHeader(uint32_t n, const std::vector<uint32_t>& cells, uint32_t firstFreeblock,
                  uint32_t contentStart) {
    const uint32_t h = n == 1 ? 100 : 0;
    bytes_[At(n, h)] = 13;
    Put16(At(n, h + 1), firstFreeblock);
    Put16(At(n, h + 3), static_cast<uint32_t>(cells.size()));
    Put16(At(n, h + 5), contentStart);
    for (size_t i = 0; i < cells.size(); ++i)
      Put16(At(n, h + 8 + 2 * static_cast<uint32_t>(i)), cells[i]);
  }

  // Page 1 as a schema leaf holding one table row per entry: name, root page, CREATE text.
  void Schema(const std::vector<std::tuple<std::string, uint32_t, std::string>>& tables) {
    uint32_t top = ps_;
    std::vector<uint32_t> cells;
    int64_t rowid = 1;
    for (const auto& [name, root, sql] : tables) {
      const auto cell =
          EncodeCell(rowid++, {std::string("table"), name, name, static_cast<int64_t>(root), sql});
      top -= static_cast<uint32_t>(cell.size());
      Write(1, top, cell);
      cells.push_back(top);
    }
    LeafHeader(1, cells, 0, top);
  }

  // Places a cell at offset; returns its size.
  uint32_t PlaceCell(uint32_t n, uint32_t offset, int64_t rowid, const std::vector<Cell>& values) {
    const auto cell = EncodeCell(rowid, values);
    Write(n, offset, cell);
    return static_cast<uint32_t>(cell.size());
  }

  // Turns [offset, offset + size) into a freeblock header (overwriting its first 4 bytes).
  void Freeblock(uint32_t n, uint32_t offset, uint32_t size, uint32_t next) {
    Put16(At(n, offset), next);
    Put16(At(n, offset + 2), size);
  }

 private:
  uint32_t ps_;
  std::vector<uint8_t> bytes_;
};

}  // namespace halvern::test
