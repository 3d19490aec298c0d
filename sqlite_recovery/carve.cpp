// Carving scanners: deleted records from freeblocks, the unallocated gap, the bytes after the
// last cell, stale cell pointers, and the fit test of freed pages.
//
// Every region of free space is searched byte by byte for three kinds of record:
//   intact cell     payload size, rowid, header size, serial types and body all present; the
//                   payload size must equal header plus body (a strong check).
//   freeblock start a cell whose first 4 bytes the freeblock header overwrote; its serial types
//                   are rebuilt from what survives and the freeblock's size (exact check), with
//                   the first serial type rebuilt from the leftover size when it was overwritten.
//   hole            the same, for a freeblock merged with neighbours: its record ends where the
//                   next record found in the block begins.
// Candidates are scored against the table's shape (column count, types seen in live rows,
// declared affinity, UTF-8 validity) and the best non-overlapping set is kept.
#include "sqlite_recovery/carve.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <map>

#include "sqlite_recovery/text.h"

namespace halvern {
namespace {

constexpr uint32_t kMaxUnknownColumns = 2000;  // column limit when the shape is unknown
constexpr int32_t kIntactBonus = 8;            // payload size == header + body
constexpr int32_t kExactSizeBonus = 6;         // freeblock size == cell size, all types present
constexpr int32_t kLostTypeBonus = 2;          // size-derived first serial type
constexpr int32_t kHoleBonus = 4;              // record ends where the next one begins
constexpr int32_t kAcceptScore = 5;
constexpr uint64_t kMaxPayload = 1000000000;  // SQLite's longest string or blob (SQLITE_MAX_LENGTH)
// Texts up to this length are judged byte by byte; longer ones through the page's text tables.
constexpr uint32_t kShortText = 48;

thread_local CarveWork tWork;

// Varint at [p, end): the common 1-byte case inline. Returns its length (0: none).
inline size_t Varint(const uint8_t* p, const uint8_t* end, uint64_t& v) {
  if (p < end && *p < 0x80) {
    v = *p;
    return 1;
  }
  return ReadVarint(std::span<const uint8_t>(p, static_cast<size_t>(end - p)), v);
}

// Body bytes of a serial type (valid ones).
inline uint64_t BodySize(uint64_t t) {
  static constexpr uint8_t kFixed[12] = {0, 1, 2, 3, 4, 6, 8, 8, 0, 0, 0, 0};
  return t >= 12 ? (t - 12) / 2 : kFixed[t];
}

uint32_t VarintLength(uint64_t v) {
  uint32_t n = 1;
  while (v > 0x7f && n < 9) {
    v >>= 7;
    ++n;
  }
  return n;
}

// The layout of one record hypothesis.
struct Layout {
  uint32_t start = 0;        // first byte of the cell
  uint32_t end = 0;          // one past the last byte of the cell
  uint32_t bodyPos = 0;      // page offset of the first body byte
  uint32_t localEnd = 0;     // bytes of the payload in the page end here
  uint32_t cut = 0;          // nonzero: another record was written over the bytes from here on
  uint32_t lostLeading = 0;  // 1: column 0's serial type is lost (rebuilt from lostSize0)
  uint64_t lostSize0 = 0;
  std::optional<int64_t> rowid;
  uint32_t headerSize = 0;  // 0 when rebuilt
  uint32_t firstOverflow = 0;
  uint64_t payloadSize = 0;
  int32_t structure = 0;        // bonus of the structural check
  std::vector<uint64_t> types;  // serial types of columns lostLeading..n-1
  uint32_t ColumnCount() const { return lostLeading + static_cast<uint32_t>(types.size()); }
};

class PageCarver {
 public:
  PageCarver(const PageView& page, const TableShape& shape, TextEncoding encoding)
      : page_(page),
        b_(page.bytes.data()),
        usable_(page.usableSize),
        shape_(shape),
        encoding_(encoding) {
    known_ = shape.declaredColumns > 0 || shape.liveRecords > 0;
    low_ = known_ ? std::max<uint32_t>(1, shape.LowColumns()) : 1;
    high_ = known_ ? std::max(low_, shape.HighColumns()) : kMaxUnknownColumns;
    budget_ = (kCarveStepsPerByte + uint64_t{kCarveStepsPerColumn} *
                                        std::min(high_, kCarveColumnsCharged)) *
                  usable_ +
              kCarveStepsPerPage;
  }
  ~PageCarver() {
    tWork.steps += work_;
    if (work_ > budget_) ++tWork.cutShort;
  }
  PageCarver(const PageCarver&) = delete;
  PageCarver& operator=(const PageCarver&) = delete;

  // The page's allowance of work is used up: the scans stop where they are.
  bool Spent() const { return work_ > budget_; }

  // Candidates of the region [begin, end). freeblockAt: begin holds a live freeblock header.
  void ScanRegion(uint32_t begin, uint32_t end, bool freeblockAt, RowSource source,
                  std::vector<Candidate>& out);
  // Candidate at exactly p (stale pointer).
  bool TryAt(uint32_t p, uint32_t limit, Layout& best, int32_t& bestScore);
  void Emit(const Layout& l, int32_t score, RowSource source, std::vector<Candidate>& out);
  // Emits a record that fills a freeblock to its end, and the records nested in its tail.
  void EmitWithNested(Layout l, int32_t score, uint32_t end, RowSource source,
                      std::vector<Candidate>& out);
  // Score of an intact cell at p, or false.
  bool IntactScore(uint32_t p, int32_t& score) {
    if (p + 4 > usable_ || !IntactCell(p, usable_, scratch_)) return false;
    score = Score(scratch_);
    return score >= kAcceptScore;
  }

 private:
  bool IntactCell(uint32_t p, uint32_t limit, Layout& l);
  // Cells starting at p whose first 4 bytes are lost; the cell ends in [endLow, endHigh].
  bool LostHeader(uint32_t p, uint32_t endLow, uint32_t endHigh, int32_t bonus, Layout& best,
                  int32_t& bestScore);
  // A record behind the freeblock header at p whose block ends at cutAt but whose cell ran on
  // past it (another cell took its tail); its header must lie whole below cutAt.
  bool CutRecord(uint32_t p, uint32_t cutAt, Layout& best, int32_t& bestScore);
  // A record that starts in [from, end) and ends exactly at end (the lowest such start).
  bool NestedAtTop(uint32_t from, uint32_t end, Layout& found, int32_t& foundScore);
  bool FinishLost(uint32_t p, uint32_t k, uint32_t hlen, uint32_t typesEnd, uint64_t body,
                  uint32_t endLow, uint32_t endHigh, Layout& l);
  // Whether the bytes from keep (the first byte a freeblock header left) up to the header size
  // at hpos can end a rowid varint: the last has its high bit clear, the others set.
  bool RowidTailEndsAt(uint32_t keep, uint32_t hpos) const;
  // Reads the serial types of a record header from pos up to hend into types, adding their
  // body sizes to body; false on a bad varint or type, more columns than the table holds, or
  // a body longer than any record SQLite writes.
  bool ReadTypes(uint32_t pos, uint32_t hend, std::vector<uint64_t>& types, uint64_t& body);
  int32_t Score(const Layout& l);
  int32_t ColumnScore(uint32_t column, uint64_t serialType, std::span<const uint8_t> body);
  // Judges the text at page offsets [a, a + size): -100 when it is not well-formed in the
  // page's encoding (or holds U+FFFD), -3 when it holds a control character, else 0.
  int32_t JudgeText(uint32_t a, uint32_t size);
  int32_t JudgeTextDirectly(std::span<const uint8_t> body) const;
  // Length of the well-formed UTF-8 prefix of [a, b), through the text tables.
  uint32_t ValidUtf8PrefixAt(uint32_t a, uint32_t b);
  void BuildTextTables();
  // Whether the text at [a, a + size) is judged byte by byte (counted) rather than by the tables.
  bool JudgeDirectly(uint64_t a, uint32_t size);
  uint64_t TypeForLostSize(uint32_t column, uint64_t size, bool& ok) const;
  void Materialize(const Layout& l, Record& r);

  const PageView& page_;
  const uint8_t* b_;
  uint32_t usable_;
  const TableShape& shape_;
  TextEncoding encoding_;
  bool known_ = false;
  uint32_t low_ = 1;
  uint32_t high_ = 1;
  Layout scratch_;
  Layout trial_;
  // Steps of work done on this page (positions tried, serial types read, values judged) and
  // the page's allowance: a fixed number of steps per byte of the page.
  uint64_t work_ = 0;
  uint64_t budget_ = 0;
  // Text tables, built for the first long text judged, so that judging a text costs the same
  // whatever its length (a page holds many overlapping record hypotheses, each with texts that
  // may run to the end of the page). Offsets are page offsets.
  //   UTF-8: validEnd_[a] is where the well-formed run of characters from a ends; controls_
  //   counts the control characters before each offset.
  //   UTF-16: for the code unit at every offset (both alignments), badUnits_ counts the units
  //   before it (two bytes apart) that convert to U+FFFD inside a text, controls_ likewise.
  bool tablesBuilt_ = false;
  uint64_t directBytes_ = 0;  // text bytes judged byte by byte
  std::vector<uint32_t> validEnd_;
  std::vector<uint32_t> controls_;
  std::vector<uint32_t> badUnits_;
};

bool PageCarver::IntactCell(uint32_t p, uint32_t limit, Layout& l) {
  const std::span<const uint8_t> area(b_ + p, limit - p);
  uint64_t payload = 0, rowid = 0, hlen = 0;
  const uint8_t* limitPtr = b_ + limit;
  const size_t a = Varint(b_ + p, limitPtr, payload);
  if (a == 0 || payload == 0 || a > 4) return false;
  const size_t r = Varint(b_ + p + a, limitPtr, rowid);
  if (r == 0) return false;
  const uint32_t h = static_cast<uint32_t>(a + r);
  const size_t hl = Varint(b_ + p + h, limitPtr, hlen);
  if (hl == 0 || hl > 3 || hlen <= hl || hlen > payload) return false;
  const uint32_t local = LocalPayloadSize(payload, usable_);
  if (uint64_t{h} + local + (local < payload ? 4 : 0) > area.size()) return false;
  if (hlen > local) return false;  // the header must lie in the page
  l.types.clear();
  uint32_t pos = p + h + static_cast<uint32_t>(hl);
  const uint32_t headerEnd = p + h + static_cast<uint32_t>(hlen);
  uint64_t body = 0;
  while (pos < headerEnd) {
    uint64_t t = 0;
    const size_t n = Varint(b_ + pos, b_ + headerEnd, t);
    ++work_;
    if (n == 0 || !IsValidSerialType(t)) return false;
    pos += static_cast<uint32_t>(n);
    body += BodySize(t);
    // Most positions are not records: stop as soon as the header cannot be one.
    if (hlen + body > payload || l.types.size() >= high_) return false;
    l.types.push_back(t);
  }
  if (l.types.size() < low_ || hlen + body != payload) return false;
  l.start = p;
  l.bodyPos = headerEnd;
  l.localEnd = p + h + local;
  l.end = l.localEnd + (local < payload ? 4 : 0);
  l.firstOverflow = local < payload ? ReadU32(b_ + l.localEnd) : 0;
  l.lostLeading = 0;
  l.lostSize0 = 0;
  l.rowid = static_cast<int64_t>(rowid);
  l.headerSize = static_cast<uint32_t>(hlen);
  l.payloadSize = payload;
  l.structure = kIntactBonus;
  return true;
}

uint64_t PageCarver::TypeForLostSize(uint32_t column, uint64_t size, bool& ok) const {
  ok = true;
  const ColumnShape* c = column < shape_.columns.size() ? &shape_.columns[column] : nullptr;
  const uint8_t seen = c ? c->seenTypes : 0;
  const char aff = c ? c->affinity : 'B';
  switch (size) {
    case 0:
      if ((c && c->rowidAlias) || (seen & ValueTypeBit(ValueType::kNull)) || seen == 0) return 0;
      ok = false;  // the constant 0 or 1: which one is lost with the serial type
      return 0;
    case 1:
      return 1;
    case 2:
      return 2;
    case 3:
      return 3;
    case 4:
      return 4;
    case 6:
      return 5;
    case 8:
      if ((seen & ValueTypeBit(ValueType::kReal)) ||
          (!(seen & ValueTypeBit(ValueType::kInteger)) && aff == 'R')) {
        return 7;
      }
      return 6;
    default:
      break;
  }
  const bool text = (seen & ValueTypeBit(ValueType::kText)) ||
                    (!(seen & ValueTypeBit(ValueType::kBlob)) && aff != 'B') ||
                    (seen == 0 && aff == 'B');
  if (size == 5 || size == 7) {
    if (!text && !(seen & ValueTypeBit(ValueType::kBlob))) ok = false;
  }
  return text ? size * 2 + 13 : size * 2 + 12;
}

bool PageCarver::FinishLost(uint32_t p, uint32_t k, uint32_t hlen, uint32_t typesEnd, uint64_t body,
                            uint32_t endLow, uint32_t endHigh, Layout& l) {
  // l.types and l.lostLeading are set; body holds the body bytes of the known types.
  const uint32_t lostTypeBytes = l.lostLeading;  // one byte per lost serial type
  (void)typesEnd;
  if (l.lostLeading == 0) {
    const uint64_t payload = uint64_t{hlen} + body;
    const uint32_t a = VarintLength(payload);
    if (a >= k || k - a > 9) return false;
    const uint32_t local = LocalPayloadSize(payload, usable_);
    const uint64_t end = uint64_t{p} + k + local + (local < payload ? 4 : 0);
    if (end < endLow || end > endHigh || hlen > local) return false;
    l.localEnd = p + k + local;
    l.end = static_cast<uint32_t>(end);
    l.firstOverflow = local < payload ? ReadU32(b_ + l.localEnd) : 0;
    l.payloadSize = payload;
  } else {
    // The leftover of the cell is column 0's body; try the exact end first.
    (void)lostTypeBytes;
    const uint64_t fixed = uint64_t{p} + k + hlen + body;
    if (fixed > endHigh) return false;
    const uint64_t size0 = endHigh - fixed;
    const uint64_t payload = uint64_t{hlen} + body + size0;
    if (VarintLength(payload) != 1 || k != 2) return false;  // a 1-byte size and rowid
    bool ok = false;
    const uint64_t t0 = TypeForLostSize(0, size0, ok);
    if (!ok) return false;
    l.lostSize0 = size0;
    l.types.insert(l.types.begin(), t0);
    l.lostLeading = 0;  // rebuilt from the leftover size
    l.payloadSize = payload;
    l.localEnd = endHigh;
    l.end = endHigh;
    l.firstOverflow = 0;
    (void)endLow;
  }
  l.start = p;
  l.bodyPos = p + k + hlen;
  l.rowid.reset();
  l.headerSize = 0;
  return true;
}

bool PageCarver::RowidTailEndsAt(uint32_t keep, uint32_t hpos) const {
  if (b_[hpos - 1] & 0x80) return false;
  for (uint32_t q = keep; q + 1 < hpos; ++q) {
    if (!(b_[q] & 0x80)) return false;
  }
  return true;
}

bool PageCarver::ReadTypes(uint32_t pos, uint32_t hend, std::vector<uint64_t>& types,
                           uint64_t& body) {
  while (pos < hend) {
    uint64_t t = 0;
    const size_t m = Varint(b_ + pos, b_ + hend, t);
    ++work_;
    if (m == 0 || !IsValidSerialType(t) || types.size() >= high_) return false;
    pos += static_cast<uint32_t>(m);
    body += BodySize(t);
    if (body > kMaxPayload) return false;  // longer than any record SQLite writes
    types.push_back(t);
  }
  return true;
}

bool PageCarver::LostHeader(uint32_t p, uint32_t endLow, uint32_t endHigh, int32_t bonus,
                            Layout& best, int32_t& bestScore) {
  bool found = false;
  Layout& l = scratch_;
  const uint32_t keep = p + 4;  // first surviving byte
  if (keep >= endHigh) return false;
  for (uint32_t k = 2; k <= 11; ++k) {
    const uint32_t hpos = p + k;
    if (hpos >= endHigh || Spent()) break;
    ++work_;
    // The bytes between the first surviving byte and the header size varint end the rowid
    // varint: the last of them has its high bit clear, the others set.
    if (hpos > keep && !RowidTailEndsAt(keep, hpos)) continue;
    for (uint32_t hl = 1; hl <= 2; ++hl) {
      const uint32_t tstart = hpos + hl;
      if (tstart >= endHigh) break;
      if (hpos >= keep) {
        // The header size survived: it fixes the column count.
        uint64_t hlen = 0;
        const size_t n = Varint(b_ + hpos, b_ + endHigh, hlen);
        if (n != hl || hlen <= hl || hpos + hlen > endHigh) continue;
        l.types.clear();
        l.lostLeading = 0;
        const uint32_t hend = hpos + static_cast<uint32_t>(hlen);
        uint64_t body = 0;
        if (!ReadTypes(tstart, hend, l.types, body) || l.types.size() < low_) continue;
        if (!FinishLost(p, k, static_cast<uint32_t>(hlen), hend, body, endLow, endHigh, l)) {
          continue;
        }
        l.headerSize = static_cast<uint32_t>(hlen);
        l.structure = bonus;
        const int32_t s = Score(l);
        if (s > bestScore) {
          bestScore = s;
          best = l;
          found = true;
        }
        continue;
      }
      // The header size is lost: read serial types from the first surviving byte, one column
      // count after another.
      const uint32_t lost = keep > tstart ? keep - tstart : 0;
      if (lost > 1) continue;
      l.types.clear();
      uint32_t pos = std::max(tstart, keep);
      uint64_t body = 0;
      uint32_t typeBytes = lost;
      while (pos < endHigh && l.types.size() + lost < high_) {
        uint64_t t = 0;
        const size_t m = Varint(b_ + pos, b_ + endHigh, t);
        ++work_;
        if (m == 0 || !IsValidSerialType(t)) break;
        pos += static_cast<uint32_t>(m);
        typeBytes += static_cast<uint32_t>(m);
        body += BodySize(t);
        // Header and body must end in the block (payloads that overflow have a 1-byte header
        // size only when small; a lost-start record is taken as local).
        if (uint64_t{pos} + body > endHigh) break;
        l.types.push_back(t);
        const uint32_t n = static_cast<uint32_t>(l.types.size()) + lost;
        if (n < low_) continue;
        const uint32_t hlen = hl + typeBytes;
        if (VarintLength(hlen) != hl) continue;
        if (lost == 0) {
          // The size check of FinishLost before the layout is copied: most column counts fail
          // it, and a copy for each would cost the square of the header's length.
          const uint64_t payload = uint64_t{hlen} + body;
          const uint32_t a = VarintLength(payload);
          if (a >= k || k - a > 9) continue;
          const uint32_t local = LocalPayloadSize(payload, usable_);
          const uint64_t cellEnd = uint64_t{p} + k + local + (local < payload ? 4 : 0);
          if (cellEnd < endLow || cellEnd > endHigh || hlen > local) continue;
        } else if (k != 2 || uint64_t{p} + k + hlen + body > endHigh) {
          continue;
        }
        work_ += l.types.size();
        Layout& trial = trial_;  // reused: its storage outlives the many column counts tried
        trial = l;
        trial.lostLeading = lost;
        if (!FinishLost(p, k, hlen, pos, body, endLow, endHigh, trial)) continue;
        trial.structure = lost ? std::min(bonus, kLostTypeBonus) : bonus;
        const int32_t s = Score(trial);
        if (s > bestScore) {
          bestScore = s;
          best = trial;
          found = true;
        }
      }
    }
  }
  return found;
}

int32_t PageCarver::ColumnScore(uint32_t column, uint64_t t, std::span<const uint8_t> body) {
  const ColumnShape* c = column < shape_.columns.size() ? &shape_.columns[column] : nullptr;
  ValueType vt;
  if (t == 0) {
    vt = ValueType::kNull;
  } else if (t <= 6 || t == 8 || t == 9) {
    vt = ValueType::kInteger;
  } else if (t == 7) {
    vt = ValueType::kReal;
  } else if (t % 2 == 0) {
    vt = ValueType::kBlob;
  } else {
    vt = ValueType::kText;
  }
  int32_t s = 0;
  if (vt == ValueType::kText) {
    s = JudgeText(static_cast<uint32_t>(body.data() - b_), static_cast<uint32_t>(body.size()));
    if (s <= -100) return -100;
  } else if (vt == ValueType::kReal) {
    uint64_t bits = 0;
    for (uint8_t x : body) bits = (bits << 8) | x;
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) s -= 3;
    if (d != 0 && (std::fabs(d) < 1e-300 || std::fabs(d) > 1e300)) s -= 3;
  }
  if (!c) return s;
  if (c->rowidAlias) return s + (vt == ValueType::kNull ? 2 : -6);
  if (c->seenTypes != 0) {
    if (c->seenTypes & ValueTypeBit(vt)) return s + 2;
    if (vt == ValueType::kNull) return s - 1;
    // Integers kept in a REAL column, reals in a numeric one: allowed by the affinities.
    if (vt == ValueType::kInteger && (c->seenTypes & ValueTypeBit(ValueType::kReal))) return s;
    if (vt == ValueType::kReal && (c->seenTypes & ValueTypeBit(ValueType::kInteger)) &&
        c->affinity != 'I' && c->affinity != 'T') {
      return s;
    }
    return s - 4;
  }
  switch (c->affinity) {
    case 'I':
    case 'N':
    case 'R':
      if (vt == ValueType::kInteger || vt == ValueType::kReal) return s + 1;
      if (vt == ValueType::kNull) return s;
      return s - 2;
    case 'T':
      if (vt == ValueType::kText) return s + 1;
      if (vt == ValueType::kNull) return s;
      if (vt == ValueType::kBlob) return s - 1;
      return s - 5;  // a TEXT column turns numbers into text
    default:
      return s;
  }
}

namespace {

bool IsControl(uint32_t c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }
bool IsHighSurrogate(uint32_t c) { return c >= 0xd800 && c <= 0xdbff; }
bool IsLowSurrogate(uint32_t c) { return c >= 0xdc00 && c <= 0xdfff; }

}  // namespace

int32_t PageCarver::JudgeTextDirectly(std::span<const uint8_t> body) const {
  std::string converted;
  std::string_view text(reinterpret_cast<const char*>(body.data()), body.size());
  if (encoding_ != TextEncoding::kUtf8) {
    Utf16ToUtf8(body, encoding_ == TextEncoding::kUtf16be, converted);
    if (converted.find("\xEF\xBF\xBD") != std::string::npos) return -100;
    text = converted;
  }
  if (!IsValidUtf8(text)) return -100;
  for (char ch : text) {
    if (IsControl(static_cast<unsigned char>(ch))) return -3;
  }
  return 0;
}

void PageCarver::BuildTextTables() {
  tablesBuilt_ = true;
  work_ += usable_ / 4;
  const uint32_t n = usable_;
  if (encoding_ == TextEncoding::kUtf8) {
    const std::string_view all(reinterpret_cast<const char*>(b_), n);
    validEnd_.assign(n + 1, n);
    for (uint32_t a = n; a-- > 0;) {
      const size_t len = Utf8SequenceLength(all, a);
      validEnd_[a] = len == 0 ? a : validEnd_[a + len];
    }
    controls_.assign(n + 1, 0);
    for (uint32_t x = 0; x < n; ++x) controls_[x + 1] = controls_[x] + (IsControl(b_[x]) ? 1 : 0);
    return;
  }
  const bool be = encoding_ == TextEncoding::kUtf16be;
  const auto unit = [&](uint32_t x) -> uint32_t {
    return be ? (uint32_t{b_[x]} << 8 | b_[x + 1]) : (uint32_t{b_[x + 1]} << 8 | b_[x]);
  };
  badUnits_.assign(n + 2, 0);
  controls_.assign(n + 2, 0);
  for (uint32_t x = 0; x < n; ++x) {
    uint32_t bad = 0, control = 0;
    if (x + 1 < n) {
      const uint32_t c = unit(x);
      // Inside a text, a unit converts to U+FFFD when it is U+FFFD, a low surrogate that no
      // high one precedes, or a high surrogate that no low one follows.
      bad = c == 0xfffd || (IsLowSurrogate(c) && !(x >= 2 && IsHighSurrogate(unit(x - 2)))) ||
            (IsHighSurrogate(c) && !(x + 3 < n && IsLowSurrogate(unit(x + 2))));
      control = IsControl(c);
    }
    badUnits_[x + 2] = badUnits_[x] + bad;
    controls_[x + 2] = controls_[x] + control;
  }
}

bool PageCarver::JudgeDirectly(uint64_t a, uint32_t size) {
  // Until the texts judged byte by byte add up to half the page, building the tables would
  // cost more than it saves. (The tables cover the usable size only.)
  const bool direct = size <= kShortText || a + size > usable_ ||
                      (!tablesBuilt_ && directBytes_ + size <= usable_ / 2);
  if (direct) {
    directBytes_ += size;
    work_ += size / 16;
  }
  return direct;
}

int32_t PageCarver::JudgeText(uint32_t a, uint32_t size) {
  ++work_;
  if (JudgeDirectly(a, size)) return JudgeTextDirectly(std::span<const uint8_t>(b_ + a, size));
  if (!tablesBuilt_) BuildTextTables();
  if (encoding_ == TextEncoding::kUtf8) {
    const uint32_t b = a + size;
    // Well-formed when the run of characters from a reaches b and b starts a character.
    if (b > validEnd_[a] || (b < validEnd_[a] && (b_[b] & 0xc0) == 0x80)) return -100;
    return controls_[b] != controls_[a] ? -3 : 0;
  }
  const bool be = encoding_ == TextEncoding::kUtf16be;
  const auto unit = [&](uint32_t x) -> uint32_t {
    return be ? (uint32_t{b_[x]} << 8 | b_[x + 1]) : (uint32_t{b_[x + 1]} << 8 | b_[x]);
  };
  const uint32_t units = size / 2;
  const uint32_t last = a + 2 * (units - 1);
  // The first and last units have no neighbour in the text on one side; the others are
  // judged by the tables.
  uint32_t c = unit(a);
  if (c == 0xfffd || IsLowSurrogate(c) ||
      (IsHighSurrogate(c) && (units < 2 || !IsLowSurrogate(unit(a + 2))))) {
    return -100;
  }
  if (units > 1) {
    c = unit(last);
    if (c == 0xfffd || IsHighSurrogate(c) || (IsLowSurrogate(c) && !IsHighSurrogate(unit(last - 2)))) {
      return -100;
    }
  }
  if (units > 2 && badUnits_[last] != badUnits_[a + 2]) return -100;
  return controls_[last + 2] != controls_[a] ? -3 : 0;
}

uint32_t PageCarver::ValidUtf8PrefixAt(uint32_t a, uint32_t b) {
  ++work_;
  if (JudgeDirectly(a, b - a)) {
    return static_cast<uint32_t>(
        ValidUtf8Prefix(std::string_view(reinterpret_cast<const char*>(b_ + a), b - a)));
  }
  if (!tablesBuilt_) BuildTextTables();
  if (validEnd_[a] <= b) return validEnd_[a] - a;
  // The run goes on past b: the prefix ends at the last character start up to b.
  uint32_t q = b;
  while (q > a && (b_[q] & 0xc0) == 0x80) --q;
  return q - a;
}

int32_t PageCarver::Score(const Layout& l) {
  int32_t s = l.structure;
  uint64_t pos = l.bodyPos;
  const uint32_t n = static_cast<uint32_t>(l.types.size());
  work_ += n + 1;
  uint32_t informative = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const uint64_t size = SerialTypeBodySize(l.types[i]);
    const uint64_t judged = l.cut != 0 ? std::min(l.cut, l.localEnd) : l.localEnd;
    if (pos + size > judged) {
      // The value runs on in an overflow page, or into another cell's bytes. A UTF-8 text's
      // bytes before that are judged as text (a character may be cut at their end); other
      // bytes are not judged, nor the values after it.
      s -= 1;
      const uint64_t t = l.types[i];
      if ((l.firstOverflow != 0 || l.cut != 0) && t >= 13 && t % 2 == 1 &&
          encoding_ == TextEncoding::kUtf8 && pos + 8 <= judged) {
        const size_t valid =
            ValidUtf8PrefixAt(static_cast<uint32_t>(pos), static_cast<uint32_t>(judged));
        if (valid + 3 < judged - pos) return -1000;
        const int32_t c = ColumnScore(i + l.lostLeading, t,
                                      std::span<const uint8_t>(b_ + pos, valid));
        if (c <= -100) return -1000;
        s += c;
        ++informative;
      }
      if (l.cut != 0) break;
      pos = l.localEnd;
      continue;
    }
    const int32_t c = ColumnScore(i + (l.lostLeading), l.types[i],
                                  std::span<const uint8_t>(b_ + pos, static_cast<size_t>(size)));
    if (c <= -100) return -1000;
    s += c;
    if (l.types[i] != 0) ++informative;
    pos += size;
  }
  if (informative == 0) s -= 4;  // all NULL: nothing to tell it from noise
  // A record cut short has no size check: it needs values enough to tell it from noise (a
  // long header of serial types that fit the table counts as one).
  if (l.cut != 0 && informative + (n >= 8 ? 1 : 0) < 3) return -1000;
  if (l.rowid && *l.rowid <= 0) s -= 3;
  if (known_ && shape_.declaredColumns > 0 && l.ColumnCount() != shape_.declaredColumns &&
      shape_.liveRecords == 0) {
    s -= 2;
  }
  return s;
}

void PageCarver::Materialize(const Layout& l, Record& r) {
  r.Clear();
  work_ += l.types.size() + 1 + (encoding_ == TextEncoding::kUtf8 ? 0 : (l.end - l.start) / 8);
  r.rowid = l.rowid;
  r.headerSize = l.headerSize;
  const uint32_t n = static_cast<uint32_t>(l.types.size()) + l.lostLeading;
  r.storedColumns = n;
  r.values.resize(n);
  uint64_t pos = l.bodyPos;
  for (uint32_t i = 0; i < l.lostLeading; ++i) r.values[i].type = ValueType::kLost;
  // Bytes from a cut on belong to a record written later, and a record without its overflow
  // ends with its local payload: no value is decoded past that limit; a text or blob that
  // reaches it keeps its bytes before it, marked truncated.
  const uint64_t limit = l.cut != 0 ? std::min<uint64_t>(l.cut, l.localEnd) : l.localEnd;
  for (uint32_t i = 0; i < l.types.size(); ++i) {
    Value& v = r.values[l.lostLeading + i];
    const uint64_t t = l.types[i];
    const uint64_t size = SerialTypeBodySize(t);
    if (pos + size > limit) {
      if (t >= 12 && pos < limit) {
        DecodeValue(t, std::span<const uint8_t>(b_ + pos, static_cast<size_t>(limit - pos)),
                    encoding_, r, v);
        v.truncated = true;
      } else {
        v = Value{};
        v.type = ValueType::kLost;
        v.serialType = t;
      }
      pos = l.cut != 0 ? std::max<uint64_t>(pos + size, limit) : limit;
      continue;
    }
    DecodeValue(t, std::span<const uint8_t>(b_ + pos, static_cast<size_t>(size)), encoding_, r, v);
    pos += size;
  }
}

void PageCarver::Emit(const Layout& l, int32_t score, RowSource source,
                      std::vector<Candidate>& out) {
  Candidate& c = out.emplace_back();
  c.source = source;
  c.page = page_.pageNumber;
  c.offset = l.start;
  c.end = l.cut != 0 ? l.cut : l.end;  // the bytes from the cut on are another record's
  c.score = score;
  c.firstOverflow = l.firstOverflow;
  c.localEnd = l.localEnd;
  c.bodyOffset = l.bodyPos;
  c.payloadSize = l.payloadSize;
  Materialize(l, c.record);
}

bool PageCarver::TryAt(uint32_t p, uint32_t limit, Layout& best, int32_t& bestScore) {
  bool found = false;
  if (p + 4 > limit) return false;
  ++work_;
  if (IntactCell(p, limit, scratch_)) {
    const int32_t s = Score(scratch_);
    if (s > bestScore) {
      bestScore = s;
      best = scratch_;
      found = true;
    }
  }
  // Without a shape nothing tells a rebuilt header from noise: intact cells only.
  if (!known_) return found;
  // A freeblock header (current or left over): next offset, then the block size.
  const uint32_t next = ReadU16(b_ + p);
  const uint32_t size = ReadU16(b_ + p + 2);
  if (size >= 4 && p + size <= limit && (next == 0 || (next >= p + size && next < usable_))) {
    found |= LostHeader(p, p + size >= 3 ? std::max(p + 4, p + size - 3) : p + size, p + size,
                        kExactSizeBonus, best, bestScore);
  }
  return found;
}

bool PageCarver::CutRecord(uint32_t p, uint32_t cutAt, Layout& best, int32_t& bestScore) {
  bool found = false;
  const uint32_t keep = p + 4;  // first surviving byte
  Layout l;
  for (uint32_t k = 4; k <= 11; ++k) {
    const uint32_t hpos = p + k;
    if (hpos + 2 > cutAt || Spent()) break;
    ++work_;
    if (hpos > keep && !RowidTailEndsAt(keep, hpos)) continue;
    for (uint32_t hl = 1; hl <= 2; ++hl) {
      uint64_t hlen = 0;
      const size_t n = Varint(b_ + hpos, b_ + cutAt, hlen);
      if (n != hl || hlen <= hl || hpos + hlen > cutAt) continue;
      const uint32_t hend = hpos + static_cast<uint32_t>(hlen);
      l.types.clear();
      uint64_t body = 0;
      if (!ReadTypes(hpos + hl, hend, l.types, body) || l.types.size() < low_) continue;
      const uint64_t payload = hlen + body;
      const uint32_t a = VarintLength(payload);
      if (a >= k || k - a > 9) continue;
      const uint32_t local = LocalPayloadSize(payload, usable_);
      const uint64_t end = uint64_t{p} + k + local + (local < payload ? 4 : 0);
      if (end <= cutAt) continue;  // the cell would have fit: not cut
      l.start = p;
      l.bodyPos = hend;
      l.localEnd = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{p} + k + local, usable_));
      l.end = static_cast<uint32_t>(std::min<uint64_t>(end, usable_));
      l.cut = cutAt;
      l.firstOverflow = 0;
      l.payloadSize = payload;
      l.rowid.reset();
      l.headerSize = static_cast<uint32_t>(hlen);
      l.lostLeading = 0;
      l.lostSize0 = 0;
      l.structure = 0;
      const int32_t sc = Score(l);
      if (sc > bestScore) {
        bestScore = sc;
        best = l;
        found = true;
      }
    }
  }
  return found;
}

bool PageCarver::NestedAtTop(uint32_t from, uint32_t end, Layout& found, int32_t& foundScore) {
  for (uint32_t p = from; p + 6 <= end; ++p) {
    ++work_;
    if (Spent()) return false;
    // Text bytes start neither (a cell far below the end has a size of two bytes or more, the
    // high bit set in the first; a header's size byte matches the distance to the end): skip
    // eight of them at a time.
    while (p + 16 <= end && end - p > 0x7f + 10 + 8) {
      uint64_t w = 0, h = 0;
      std::memcpy(&w, b_ + p, 8);
      std::memcpy(&h, b_ + p + 2, 8);
      constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
      const uint64_t x1 = h ^ (kOnes * ((end - p) >> 8));
      const uint64_t x2 = h ^ (kOnes * ((end - p - 7) >> 8));
      const uint64_t zero = ((x1 - kOnes) & ~x1) | ((x2 - kOnes) & ~x2);
      if (((w | zero) & kHigh) != 0) break;
      p += 8;
    }
    if (b_[p] < 0x80 && b_[p + 2] != ((end - p) >> 8) && end - p > 0x7f + 10) continue;
    // Freed on its own, the record got a freeblock header whose size reaches the end.
    const uint32_t next = ReadU16(b_ + p);
    if (ReadU16(b_ + p + 2) == end - p && (next == 0 || (next >= end && next < usable_))) {
      int32_t s = kAcceptScore - 1;
      if (LostHeader(p, std::max(p + 4, end - 3), end, kExactSizeBonus, found, s)) {
        foundScore = s;
        return true;
      }
    }
    // Freed next to the block below, it stayed whole: its cell size must reach the end. Most
    // positions fail on the payload size and rowid varints, read here without a call.
    if (b_[p] < 0x80 && end - p > 0x7f + 10) continue;  // a 1-byte size: a short cell
    uint64_t payload = 0;
    uint32_t a = 0;
    while (a < 4 && p + a < end) {
      payload = (payload << 7) | (b_[p + a] & 0x7f);
      if (!(b_[p + a++] & 0x80)) break;
    }
    if (payload == 0 || (b_[p + a - 1] & 0x80)) continue;
    uint32_t r = a;
    while (r < a + 9 && p + r < end && (b_[p + r] & 0x80)) ++r;
    if (p + r >= end) continue;
    r = r + 1 - a;
    const uint32_t local = LocalPayloadSize(payload, usable_);
    if (uint64_t{p} + a + r + local + (local < payload ? 4 : 0) != end) continue;
    if (IntactCell(p, end, scratch_)) {
      const int32_t s = Score(scratch_);
      if (s >= kAcceptScore) {
        found = scratch_;
        foundScore = s;
        return true;
      }
    }
  }
  return false;
}

void PageCarver::EmitWithNested(Layout l, int32_t score, uint32_t end, RowSource source,
                                std::vector<Candidate>& out) {
  // A cell written into the top of a freed record's block, and freed in turn (the two merge),
  // lies over that record's last bytes: the record keeps only the values before it.
  for (int depth = 0; depth < 8; ++depth) {
    Layout inner;
    int32_t innerScore = 0;
    if (!NestedAtTop(l.bodyPos, end, inner, innerScore)) break;
    l.cut = inner.start;
    l.firstOverflow = 0;
    Emit(l, score, source, out);
    l = std::move(inner);
    score = innerScore;
  }
  Emit(l, score, source, out);
}

void PageCarver::ScanRegion(uint32_t begin, uint32_t end, bool freeblockAt, RowSource source,
                            std::vector<Candidate>& out) {
  if (end > usable_) end = usable_;
  if (begin + 4 > end) return;
  // The common case first: a freeblock that holds exactly one deleted record (its size field
  // tells the cell's size). Only a block that is not explained so is searched byte by byte.
  if (freeblockAt) {
    Layout best;
    int32_t bestScore = kAcceptScore - 1;
    const uint32_t size = ReadU16(b_ + begin + 2);
    if (begin + size == end &&
        LostHeader(begin, std::max(begin + 4, end - 3), end, kExactSizeBonus, best, bestScore) &&
        best.end + 3 >= end && bestScore >= kAcceptScore + 4) {
      EmitWithNested(std::move(best), bestScore, end, source, out);
      return;
    }
  }
  struct Found {
    Layout layout;
    int32_t score;
  };
  std::vector<Found> found;
  Layout atBest;  // reused: most positions hold no record
  for (uint32_t p = begin; p + 4 <= end; ++p) {
    if (Spent()) break;
    // Four zero bytes start nothing (a cell's payload size is not 0, a freeblock has 4 bytes
    // or more): eight of them pass five positions at once.
    if (p + 8 <= end) {
      uint64_t w = 0;
      std::memcpy(&w, b_ + p, sizeof w);
      if (w == 0) {
        ++work_;
        p += 4;
        continue;
      }
    }
    int32_t bestScore = kAcceptScore - 1;
    if (TryAt(p, end, atBest, bestScore)) {
      work_ += atBest.types.size();
      found.push_back({atBest, bestScore});
    }
  }
  // Best non-overlapping set (weighted interval scheduling over the region).
  std::sort(found.begin(), found.end(),
            [](const Found& x, const Found& y) { return x.layout.end < y.layout.end; });
  const size_t m = found.size();
  std::vector<int64_t> bestUpTo(m + 1, 0);
  std::vector<size_t> prev(m, 0);
  for (size_t i = 0; i < m; ++i) {
    // prev[i]: number of intervals ending at or before found[i] starts.
    size_t lo = 0, hi = i;
    while (lo < hi) {
      const size_t mid = (lo + hi) / 2;
      if (found[mid].layout.end <= found[i].layout.start) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    prev[i] = lo;
    bestUpTo[i + 1] = std::max(bestUpTo[i], bestUpTo[lo] + found[i].score);
  }
  std::vector<size_t> chosen;
  for (size_t i = m; i > 0;) {
    if (bestUpTo[i] == bestUpTo[i - 1]) {
      --i;
    } else {
      chosen.push_back(i - 1);
      i = prev[i - 1];
    }
  }
  std::reverse(chosen.begin(), chosen.end());
  // Old cells overlap where a page was rebuilt: a cell placed later over the tail of an older
  // one leaves the older one's header intact but its last values are the newer cell's bytes. A
  // record that another plausible record begins inside keeps only the values before that start.
  if (m > 1) {
    std::vector<uint32_t> starts;
    starts.reserve(m);
    for (const Found& f : found) starts.push_back(f.layout.start);
    std::sort(starts.begin(), starts.end());
    for (size_t i : chosen) {
      Layout& l = found[i].layout;
      auto it = std::upper_bound(starts.begin(), starts.end(), l.bodyPos);
      if (it != starts.end() && *it < l.localEnd) {
        l.cut = *it;
        l.firstOverflow = 0;
      }
    }
  }
  // Merged freeblocks: a record whose start a freeblock header overwrote ends where the next
  // record begins. Each hole between the records found is searched from its end backwards
  // for such records behind a freeblock header (live or left over).
  std::vector<std::pair<uint32_t, uint32_t>> holes;
  uint32_t from = begin;
  for (size_t i : chosen) {
    if (found[i].layout.start > from) holes.emplace_back(from, found[i].layout.start);
    from = found[i].layout.end;
  }
  if (end > from) holes.emplace_back(from, end);
  for (const auto& [a, b] : holes) {
    if (!known_ || Spent()) break;
    uint32_t holeEnd = b;
    // Every freed record starts with the freeblock header written when it was freed, its size
    // counting the neighbours it merged with; a cell placed later at the top of the gap or of
    // a freeblock may have cut the highest of them. A record there may so end where the next
    // leftover header above it begins, not only at the end of the hole.
    std::vector<uint32_t> laterHeaders;
    for (uint32_t q = holeEnd >= 5 ? holeEnd - 5 : 0; q + 1 > a && q + 5 <= holeEnd; --q) {
      ++work_;
      if (Spent()) break;
      // A block size of 0 makes no header: eight zero bytes pass five positions at once.
      if (q >= a + 5 && q >= begin + 5) {
        uint64_t w = 0;
        std::memcpy(&w, b_ + q - 4, sizeof w);
        if (w == 0) {
          q -= 4;
          continue;
        }
      }
      const uint32_t next = ReadU16(b_ + q);
      const uint32_t size = ReadU16(b_ + q + 2);
      const bool header =
          (q == begin && freeblockAt) ||
          (size >= 4 && q + size <= usable_ && (next == 0 || next > q) && next < usable_);
      if (header) {
        Layout best;
        int32_t bestScore = kAcceptScore - 1;
        bool lost = LostHeader(q, holeEnd >= 3 ? std::max(q + 4, holeEnd - 3) : holeEnd,
                                holeEnd, kHoleBonus, best, bestScore);
        for (uint32_t e : laterHeaders) {
          Layout other;
          int32_t otherScore = std::max(bestScore, kAcceptScore + 2);
          if (e >= q + 5 && LostHeader(q, std::max(q + 4, e - 3), e, kHoleBonus, other,
                                       otherScore)) {
            best = std::move(other);
            bestScore = otherScore;
            lost = true;
          }
        }
        // A record whose block ends here but whose cell ran on: another cell took its tail.
        if (!lost && q + size >= holeEnd) {
          bestScore = kAcceptScore - 1;
          lost = CutRecord(q, holeEnd, best, bestScore);
        }
        if (lost) {
          Emit(best, bestScore, source, out);
          holeEnd = q;
          laterHeaders.clear();
          if (q < 5) break;
          q = holeEnd - 4;  // the loop's decrement makes it holeEnd - 5
          continue;
        }
        // A leftover header whose block reaches the hole's end or runs past it, with no record
        // found behind it (the space above was reused, or its record cut): it still marks
        // where the record below it ended.
        if (q + size >= holeEnd && (next == 0 || next >= q + size) && laterHeaders.size() < 8) {
          laterHeaders.push_back(q);
        }
      }
      if (q == 0) break;
    }
  }
  for (size_t i : chosen) Emit(found[i].layout, found[i].score, source, out);
}

// Byte ranges of a page (cells, which in a hostile page may overlap one another) that answer
// in logarithmic time whether a range overlaps any of them.
class RangeIndex {
 public:
  explicit RangeIndex(std::vector<std::pair<uint32_t, uint32_t>> ranges)
      : ranges_(std::move(ranges)) {
    std::sort(ranges_.begin(), ranges_.end());
    reach_.reserve(ranges_.size());
    uint32_t reach = 0;
    for (const auto& r : ranges_) reach_.push_back(reach = std::max(reach, r.second));
  }
  bool Empty() const { return ranges_.empty(); }
  // The range that starts last (the highest cell of a page).
  const std::pair<uint32_t, uint32_t>& Last() const { return ranges_.back(); }
  // Whether [a, b) overlaps a range.
  bool Overlaps(uint32_t a, uint32_t b) const {
    const size_t before = static_cast<size_t>(
        std::partition_point(ranges_.begin(), ranges_.end(),
                             [&](const auto& r) { return r.first < b; }) -
        ranges_.begin());
    return before > 0 && reach_[before - 1] > a;
  }
  // The first range (by start) that ends after a; nullptr when none does.
  const std::pair<uint32_t, uint32_t>* FirstEndingAfter(uint32_t a) const {
    const size_t i = static_cast<size_t>(
        std::partition_point(reach_.begin(), reach_.end(), [&](uint32_t r) { return r <= a; }) -
        reach_.begin());
    return i < ranges_.size() ? &ranges_[i] : nullptr;
  }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> ranges_;  // sorted
  std::vector<uint32_t> reach_;  // reach_[i]: the furthest end of ranges_[0..i]
};

// Byte ranges of the live cells of a table page (leaf or interior).
RangeIndex LiveCellRanges(const PageView& page) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  if (!page.IsTable() || page.bytes.size() < page.usableSize) return RangeIndex(std::move(ranges));
  ranges.reserve(page.cellCount);
  for (uint32_t i = 0; i < page.cellCount; ++i) {
    const uint32_t at = page.CellPointer(i);
    if (page.type == PageType::kTableLeaf) {
      TableLeafCell cell;
      if (ParseTableLeafCell(page, at, cell)) ranges.emplace_back(at, at + cell.cellSize);
    } else if (at >= page.PointerArrayEnd() && at + 5 <= page.usableSize) {
      uint64_t key = 0;
      const size_t n = ReadVarint(page.bytes.subspan(at + 4, page.usableSize - at - 4), key);
      ranges.emplace_back(at, at + 4 + static_cast<uint32_t>(n ? n : 1));
    }
  }
  return RangeIndex(std::move(ranges));
}

// Freeblocks of a page in chain order, guarded: offsets must ascend and stay in the page, and
// a block is clamped at the page end and at the next live cell.
std::vector<std::pair<uint32_t, uint32_t>> Freeblocks(const PageView& page,
                                                      const RangeIndex& cells) {
  std::vector<std::pair<uint32_t, uint32_t>> blocks;
  uint32_t off = page.firstFreeblock;
  uint32_t minNext = page.PointerArrayEnd();
  while (off != 0) {
    if (off < minNext || off + 4 > page.usableSize) break;
    uint32_t size = ReadU16(page.bytes.data() + off + 2);
    if (size < 4) break;
    if (off + size > page.usableSize) size = page.usableSize - off;  // clamp, keep carving
    // The first cell (by start) that reaches into the block ends it.
    const auto* c = cells.FirstEndingAfter(off);
    if (c != nullptr && c->first < off + size) size = c->first > off ? c->first - off : 0;
    if (size < 4) break;
    blocks.emplace_back(off, off + size);
    minNext = off + size;
    off = ReadU16(page.bytes.data() + off);
  }
  return blocks;
}

// The scanners, on one carver (one allowance of work and one set of text tables per page).
void FreeblocksWith(PageCarver& carver, const PageView& page, const RangeIndex& cells,
                    std::vector<Candidate>& out) {
  for (const auto& [begin, end] : Freeblocks(page, cells)) {
    carver.ScanRegion(begin, end, true, RowSource::kFreeblock, out);
  }
}

void UnallocatedWith(PageCarver& carver, const PageView& page, std::vector<Candidate>& out) {
  const uint32_t begin = page.PointerArrayEnd();
  const uint32_t end = std::min(page.contentStart, page.usableSize);
  if (begin < end) carver.ScanRegion(begin, end, false, RowSource::kUnallocated, out);
}

void AfterLastCellWith(PageCarver& carver, const PageView& page, const RangeIndex& cells,
                       std::vector<Candidate>& out) {
  // Bytes of the content area after the highest live cell that no freeblock covers.
  if (cells.Empty()) return;
  uint32_t from = cells.Last().second;
  for (const auto& [b, e] : Freeblocks(page, cells)) {
    if (e <= from) continue;
    if (b > from) carver.ScanRegion(from, b, false, RowSource::kAfterLastCell, out);
    from = std::max(from, e);
  }
  if (from < page.usableSize) {
    carver.ScanRegion(from, page.usableSize, false, RowSource::kAfterLastCell, out);
  }
}

void StalePointersWith(PageCarver& carver, const PageView& page, const RangeIndex& cells,
                       std::vector<Candidate>& out) {
  const uint32_t end = std::min(page.contentStart, page.usableSize);
  std::vector<bool> tried;  // offsets an earlier slot pointed at
  for (uint32_t slot = page.PointerArrayEnd(); slot + 2 <= end; slot += 2) {
    if (carver.Spent()) break;
    const uint32_t e = ReadU16(page.bytes.data() + slot);
    if (e == 0 || e >= page.usableSize || e < page.PointerArrayEnd()) break;
    if (cells.Overlaps(e, e + 1)) continue;  // the slot repeats a live cell
    if (tried.empty()) tried.resize(page.usableSize);
    if (tried[e]) continue;
    tried[e] = true;
    Layout best;
    int32_t bestScore = kAcceptScore - 1;
    if (carver.TryAt(e, page.usableSize, best, bestScore)) {
      if (!cells.Overlaps(best.start, best.end)) {
        carver.Emit(best, bestScore, RowSource::kStalePointer, out);
      }
    }
  }
}

}  // namespace

std::string_view RowSourceName(RowSource source) {
  switch (source) {
    case RowSource::kLive:
      return "live";
    case RowSource::kFreeblock:
      return "freeblock";
    case RowSource::kUnallocated:
      return "unallocated";
    case RowSource::kAfterLastCell:
      return "afterLastCell";
    case RowSource::kStalePointer:
      return "stalePointer";
    case RowSource::kFreelist:
      return "freelist";
    case RowSource::kWal:
      return "wal";
    case RowSource::kWalReplaced:
      return "walReplaced";
  }
  return "live";
}

// ----- TableShape ------------------------------------------------------------------------------

namespace {
char AffinityOf(std::string_view declared) { return DeclaredAffinity(declared); }
}  // namespace

TableShape TableShape::FromSchema(const TableSchema& table) {
  TableShape s;
  if (!table.parsed) return s;
  s.declaredColumns = table.declaredColumnCount;
  s.rowidColumn = table.rowidColumn;
  s.columns.resize(table.declaredColumnCount);
  for (uint32_t i = 0; i < table.declaredColumnCount; ++i) {
    s.columns[i].affinity = AffinityOf(table.declaredTypes[i]);
    s.columns[i].rowidAlias = static_cast<int32_t>(i) == table.rowidColumn;
  }
  return s;
}

TableShape TableShape::FromColumnCount(uint32_t n) {
  TableShape s;
  s.declaredColumns = n;
  s.columns.resize(n);
  return s;
}

void TableShape::Learn(const Record& record) {
  const uint32_t n = record.storedColumns;
  if (liveRecords == 0 || n < minColumns) minColumns = n;
  if (n > maxColumns) maxColumns = n;
  ++liveRecords;
  if (columns.size() < n) columns.resize(n);
  for (uint32_t i = 0; i < n && i < record.values.size(); ++i) {
    const Value& v = record.values[i];
    // The rowid column is learned as stored (NULL), not as substituted.
    ValueType t = v.type;
    if (v.serialType == 0) t = ValueType::kNull;
    columns[i].seenTypes |= ValueTypeBit(t);
    if (v.IsText() || v.IsBlob()) {
      columns[i].maxTextBytes =
          std::max<uint32_t>(columns[i].maxTextBytes, static_cast<uint32_t>(v.bytes.size()));
    }
  }
}

uint32_t TableShape::LowColumns() const {
  if (liveRecords == 0) return declaredColumns;
  return declaredColumns ? std::min(minColumns, declaredColumns) : minColumns;
}

uint32_t TableShape::HighColumns() const { return std::max(declaredColumns, maxColumns); }

// ----- Scanners --------------------------------------------------------------------------------

CarveWork CarveWorkOfThisThread() { return tWork; }

void ScanFreeblocks(const PageView& page, const TableShape& shape, TextEncoding encoding,
                    std::vector<Candidate>& out) {
  PageCarver carver(page, shape, encoding);
  FreeblocksWith(carver, page, LiveCellRanges(page), out);
}

void ScanUnallocated(const PageView& page, const TableShape& shape, TextEncoding encoding,
                     std::vector<Candidate>& out) {
  PageCarver carver(page, shape, encoding);
  UnallocatedWith(carver, page, out);
}

void ScanAfterLastCell(const PageView& page, const TableShape& shape, TextEncoding encoding,
                       std::vector<Candidate>& out) {
  PageCarver carver(page, shape, encoding);
  AfterLastCellWith(carver, page, LiveCellRanges(page), out);
}

void ScanStalePointers(const PageView& page, const TableShape& shape, TextEncoding encoding,
                       std::vector<Candidate>& out) {
  PageCarver carver(page, shape, encoding);
  StalePointersWith(carver, page, LiveCellRanges(page), out);
}

void CarvePage(const PageView& page, const TableShape& shape, TextEncoding encoding,
               std::vector<Candidate>& out) {
  std::vector<Candidate> all;
  const RangeIndex cells = LiveCellRanges(page);
  {
    PageCarver carver(page, shape, encoding);
    FreeblocksWith(carver, page, cells, all);
    AfterLastCellWith(carver, page, cells, all);
    UnallocatedWith(carver, page, all);
    StalePointersWith(carver, page, cells, all);
  }
  // Keep the best candidates that overlap neither a live cell nor a better candidate.
  std::vector<size_t> order(all.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return all[a].score > all[b].score; });
  std::map<uint32_t, uint32_t> taken;  // start -> end; the kept candidates do not overlap
  std::vector<size_t> keep;
  for (size_t i : order) {
    const Candidate& c = all[i];
    if (cells.Overlaps(c.offset, c.end)) continue;
    auto after = taken.lower_bound(c.end);
    if (after != taken.begin() && std::prev(after)->second > c.offset) continue;
    if (!taken.emplace(c.offset, c.end).second) continue;
    keep.push_back(i);
  }
  std::sort(keep.begin(), keep.end(),
            [&](size_t a, size_t b) { return all[a].offset < all[b].offset; });
  for (size_t i : keep) out.push_back(std::move(all[i]));
}

void ScanRawRegion(std::span<const uint8_t> page, uint32_t pageNumber, uint32_t usableSize,
                   uint32_t begin, uint32_t end, const TableShape& shape, TextEncoding encoding,
                   RowSource source, std::vector<Candidate>& out) {
  if (usableSize > page.size()) return;
  PageView view;
  view.bytes = page;
  view.pageNumber = pageNumber;
  view.usableSize = usableSize;
  view.contentStart = usableSize;
  PageCarver carver(view, shape, encoding);
  carver.ScanRegion(begin, std::min(end, usableSize), false, source, out);
}

bool ScoreIntactCell(const PageView& page, uint32_t offset, const TableShape& shape,
                     TextEncoding encoding, int32_t& score) {
  PageCarver carver(page, shape, encoding);
  return carver.IntactScore(offset, score);
}

uint32_t FreedPageFit(const PageView& page, const TableShape& shape, TextEncoding encoding) {
  if (page.type != PageType::kTableLeaf) return 0;
  PageCarver carver(page, shape, encoding);
  uint32_t fit = 0;
  for (uint32_t i = 0; i < page.cellCount && !carver.Spent(); ++i) {
    int32_t score = 0;
    if (carver.IntactScore(page.CellPointer(i), score)) ++fit;
  }
  return fit;
}

}  // namespace halvern
