// The scan driver: live rows of a table's b-tree, then its carved rows, then the rows of freed
// pages that belong to it.
#include "sqlite_recovery/scan.h"

#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

namespace halvern {
namespace {

// A set of nonzero 64-bit fingerprints: open addressing, eight bytes a slot, at most three
// quarters full (a node-based set takes five times that for the deleted rows of a big table).
class FingerprintSet {
 public:
  // True when f was not in the set yet.
  bool Insert(uint64_t f) {
    if ((size_ + 1) * 4 > slots_.size() * 3) Grow();
    const size_t mask = slots_.size() - 1;
    for (size_t i = Slot(f);; i = (i + 1) & mask) {
      if (slots_[i] == f) return false;
      if (slots_[i] == 0) {
        slots_[i] = f;
        ++size_;
        return true;
      }
    }
  }
  void Release() {
    std::vector<uint64_t>().swap(slots_);
    size_ = 0;
    bits_ = 0;
  }

 private:
  size_t Slot(uint64_t f) const {
    return static_cast<size_t>((f * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
  }
  void Grow() {
    std::vector<uint64_t> old;
    old.swap(slots_);
    bits_ = bits_ == 0 ? 10 : bits_ + 1;
    slots_.assign(size_t{1} << bits_, 0);
    size_ = 0;
    for (uint64_t f : old) {
      if (f != 0) Insert(f);
    }
  }
  std::vector<uint64_t> slots_;
  size_t size_ = 0;
  int bits_ = 0;
};

// The fingerprints of a table's live rows, for telling carved copies of live rows. Up to a
// run of them stay in memory; a bigger table's are sorted run by run into a temporary file,
// merged there and looked up through a sparse index (the first fingerprint of every block), so
// that memory stays flat whatever the table's size. Should the temporary file fail, they stay
// in memory.
class LiveFingerprints {
 public:
  LiveFingerprints() = default;
  LiveFingerprints(LiveFingerprints&& o) noexcept { *this = std::move(o); }
  LiveFingerprints& operator=(LiveFingerprints&& o) noexcept {
    if (this != &o) {
      Release();
      memory_ = std::move(o.memory_);
      index_ = std::move(o.index_);
      runs_ = std::exchange(o.runs_, nullptr);
      merged_ = std::exchange(o.merged_, nullptr);
      runSizes_ = std::move(o.runSizes_);
      mergedCount_ = o.mergedCount_;
      noSpill_ = o.noSpill_;
      runSize_ = o.runSize_;
    }
    return *this;
  }
  ~LiveFingerprints() { Release(); }

  // Fingerprints kept in memory before they go to the temporary file (0: a default run).
  void SetRunSize(size_t n) { runSize_ = n > 0 ? n : kRun; }
  void Add(uint64_t f) {
    memory_.push_back(f);
    if (memory_.size() >= runSize_ && !noSpill_) Spill();
  }
  // Sorts what was added; Contains works from then on.
  void Finish() {
    std::sort(memory_.begin(), memory_.end());
    if (runs_ != nullptr) Merge();
  }
  bool Contains(uint64_t f) const {
    if (std::binary_search(memory_.begin(), memory_.end(), f)) return true;
    if (merged_ == nullptr || index_.empty()) return false;
    const auto it = std::upper_bound(index_.begin(), index_.end(), f);
    if (it == index_.begin()) return false;
    const size_t blockNumber = static_cast<size_t>(it - index_.begin()) - 1;
    const uint64_t first = uint64_t{blockNumber} * kBlock;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, mergedCount_ - first));
    block_.resize(n);
    if (::pread(::fileno(merged_), block_.data(), n * sizeof(uint64_t),
                static_cast<off_t>(first * sizeof(uint64_t))) !=
        static_cast<ssize_t>(n * sizeof(uint64_t))) {
      return false;
    }
    return std::binary_search(block_.begin(), block_.end(), f);
  }
  void Release() {
    std::vector<uint64_t>().swap(memory_);
    std::vector<uint64_t>().swap(index_);
    std::vector<uint64_t>().swap(runSizes_);
    if (runs_ != nullptr) std::fclose(runs_);
    if (merged_ != nullptr) std::fclose(merged_);
    runs_ = merged_ = nullptr;
    mergedCount_ = 0;
    noSpill_ = false;
  }

 private:
  static constexpr size_t kRun = size_t{1} << 20;  // 8 MiB of fingerprints
  static constexpr size_t kBlock = 512;            // fingerprints a lookup reads (4 KiB)

  // Writes the fingerprints in memory as one sorted run of the temporary file.
  void Spill() {
    if (runs_ == nullptr) runs_ = std::tmpfile();
    std::sort(memory_.begin(), memory_.end());
    if (runs_ == nullptr ||
        std::fwrite(memory_.data(), sizeof(uint64_t), memory_.size(), runs_) != memory_.size() ||
        std::fflush(runs_) != 0) {
      noSpill_ = true;  // keep them in memory; the runs written so far stay good
      return;
    }
    runSizes_.push_back(memory_.size());
    memory_.clear();
  }
  // Merges the runs of the file into one sorted file and indexes it; on failure every
  // fingerprint is read back into memory.
  void Merge() {
    if (!memory_.empty() && !noSpill_) Spill();
    merged_ = std::tmpfile();
    struct Cursor {
      uint64_t offset = 0;  // in fingerprints
      uint64_t left = 0;
      std::vector<uint64_t> buffer;
      size_t at = 0;
    };
    std::vector<Cursor> cursors;
    uint64_t offset = 0;
    for (uint64_t n : runSizes_) {
      cursors.push_back(Cursor{offset, n, {}, 0});
      offset += n;
    }
    const int in = ::fileno(runs_);
    const auto refill = [&](Cursor& c) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(c.left, 8192));
      c.buffer.resize(n);
      c.at = 0;
      if (n == 0) return true;
      const ssize_t bytes = ::pread(in, c.buffer.data(), n * sizeof(uint64_t),
                                    static_cast<off_t>(c.offset * sizeof(uint64_t)));
      c.offset += n;
      c.left -= n;
      return bytes == static_cast<ssize_t>(n * sizeof(uint64_t));
    };
    bool ok = merged_ != nullptr;
    for (Cursor& c : cursors) ok = ok && refill(c);
    std::vector<uint64_t> out;
    out.reserve(8192);
    uint64_t written = 0;
    while (ok) {
      Cursor* best = nullptr;
      for (Cursor& c : cursors) {
        if (c.at < c.buffer.size() && (!best || c.buffer[c.at] < best->buffer[best->at])) {
          best = &c;
        }
      }
      if (best == nullptr) break;
      const uint64_t f = best->buffer[best->at++];
      if (written % kBlock == 0) index_.push_back(f);
      out.push_back(f);
      ++written;
      if (best->at == best->buffer.size()) ok = refill(*best);
      if (out.size() == out.capacity() || !ok) {
        ok = ok && std::fwrite(out.data(), sizeof(uint64_t), out.size(), merged_) == out.size();
        out.clear();
      }
    }
    ok = ok && std::fwrite(out.data(), sizeof(uint64_t), out.size(), merged_) == out.size() &&
         std::fflush(merged_) == 0;
    mergedCount_ = written;
    if (!ok) {
      // Back into memory: the runs written, then whatever could not be spilled.
      std::vector<uint64_t> all(offset);
      if (offset > 0 && ::pread(in, all.data(), offset * sizeof(uint64_t), 0) !=
                            static_cast<ssize_t>(offset * sizeof(uint64_t))) {
        all.clear();
      }
      all.insert(all.end(), memory_.begin(), memory_.end());
      std::sort(all.begin(), all.end());
      memory_ = std::move(all);
      std::vector<uint64_t>().swap(index_);
      if (merged_ != nullptr) std::fclose(merged_);
      merged_ = nullptr;
      mergedCount_ = 0;
    }
    std::fclose(runs_);
    runs_ = nullptr;
    runSizes_.clear();
  }

  std::vector<uint64_t> memory_;  // not spilled (sorted after Finish)
  std::vector<uint64_t> index_;   // first fingerprint of each block of merged_
  std::FILE* runs_ = nullptr;
  std::vector<uint64_t> runSizes_;
  std::FILE* merged_ = nullptr;
  uint64_t mergedCount_ = 0;
  bool noSpill_ = false;
  size_t runSize_ = kRun;
  mutable std::vector<uint64_t> block_;
};

// One table being scanned.
struct TableRun {
  const TableSchema* schema = nullptr;
  std::vector<uint32_t> roots;
  TableShape shape;
  std::vector<uint32_t> leaves;            // ascending once the live pass is done
  std::vector<uint32_t> interiors;         // their free space holds cells from before a split
  std::vector<bool> realColumns;           // REAL affinity: integers stored for whole reals
  LiveFingerprints liveFingerprints;
  FingerprintSet carvedFingerprints;
  int32_t rowidColumn = -1;
};

// A 64-bit hash fed eight bytes at a time (multiply-fold of the running value with each word).
class RecordHash {
 public:
  __extension__ typedef unsigned __int128 Wide;
  // A tag (what the word is) and the word, in one step.
  void Word(uint64_t tag, uint64_t w) {
    const Wide r =
        static_cast<Wide>(h_ ^ tag ^ 0xa0761d6478bd642full) * (w ^ 0xe7037ed1a0b428dbull);
    h_ = static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
  }
  void Word(uint64_t w) { Word(0, w); }
  void Bytes(uint64_t tag, std::string_view s) {
    Word(tag, s.size());
    size_t i = 0;
    for (; i + 8 <= s.size(); i += 8) {
      uint64_t w;
      std::memcpy(&w, s.data() + i, sizeof w);
      Word(w);
    }
    if (i < s.size()) {
      uint64_t w = 0;
      std::memcpy(&w, s.data() + i, s.size() - i);
      Word(w);
    }
  }
  uint64_t Value() const { return h_; }

 private:
  uint64_t h_ = 1469598103934665603ull;
};

// Hash of a record's values (the rowid column left out); 0 when a value is lost.
uint64_t Fingerprint(const Record& r, int32_t rowidColumn) {
  RecordHash h;
  // Trailing NULLs equal absent columns.
  size_t n = r.values.size();
  while (n > 0 && r.values[n - 1].IsNull()) --n;
  for (size_t i = 0; i < n; ++i) {
    if (static_cast<int32_t>(i) == rowidColumn) continue;
    const Value& v = r.values[i];
    if (v.IsLost() || v.truncated) return 0;
    const uint64_t type = static_cast<uint8_t>(v.type) + 1;
    if (v.IsInteger()) {
      h.Word(type, static_cast<uint64_t>(v.integer));
    } else if (v.IsReal()) {
      uint64_t bits;
      std::memcpy(&bits, &v.real, sizeof bits);
      h.Word(type, bits);
    } else if (v.IsText() || v.IsBlob()) {
      h.Bytes(type, v.bytes);
    } else {
      h.Word(type, 0);
    }
  }
  const uint64_t f = h.Value();
  return f == 0 ? 1 : f;
}

// True for a carved record to leave out: a copy of a live row, or of a carved row already given.
bool IsRepeat(TableRun& run, const Record& r, const ScanOptions& options) {
  const uint64_t f = Fingerprint(r, run.rowidColumn);
  if (f == 0) return false;
  if (options.skipLiveCopies &&
      run.liveFingerprints.Contains(f)) {
    return true;
  }
  return options.skipCarvedRepeats && !run.carvedFingerprints.Insert(f);
}

// Whole reals of REAL columns are stored as integers; they read back as reals.
void ApplyRealAffinity(Record& r, const std::vector<bool>& realColumns) {
  if (realColumns.empty()) return;
  for (size_t i = 0; i < r.values.size() && i < realColumns.size(); ++i) {
    Value& v = r.values[i];
    if (realColumns[i] && v.IsInteger()) {
      v.real = static_cast<double>(v.integer);
      v.type = ValueType::kReal;
    }
  }
}

// Gives the INTEGER PRIMARY KEY column its value, as a SELECT shows it.
void SubstituteRowid(Record& r, int32_t column) {
  if (column < 0) return;
  const size_t c = static_cast<size_t>(column);
  if (r.values.size() <= c) r.values.resize(c + 1);
  Value& v = r.values[c];
  if (!v.IsNull() && !v.IsLost()) return;
  if (r.rowid) {
    v = Value{};
    v.type = ValueType::kInteger;
    v.integer = *r.rowid;
    v.serialType = 6;
  } else {
    v = Value{};
    v.type = ValueType::kLost;
  }
}

// Gives the columns a record does not store (it was written before they were added) their
// declared defaults, as SQLite reads them. The rowid column is left to SubstituteRowid.
void ApplyDefaults(Record& r, const TableSchema* schema) {
  if (!schema || !schema->parsed || r.storedColumns >= schema->declaredColumnCount) return;
  const size_t n = schema->declaredColumnCount;
  if (r.values.size() < n) r.values.resize(n);
  for (size_t i = r.storedColumns; i < n && i < schema->defaults.size(); ++i) {
    if (static_cast<int32_t>(i) == schema->rowidColumn) continue;
    const ColumnDefault& d = schema->defaults[i];
    Value& v = r.values[i];
    v = Value{};
    v.type = d.type;
    switch (d.type) {
      case ValueType::kInteger:
        v.integer = d.integer;
        v.serialType = 6;
        break;
      case ValueType::kReal:
        v.real = d.real;
        v.serialType = 7;
        break;
      case ValueType::kText:
        v.bytes = d.bytes;
        v.serialType = 13 + 2 * d.bytes.size();
        break;
      case ValueType::kBlob:
        v.bytes = d.bytes;
        v.serialType = 12 + 2 * d.bytes.size();
        break;
      default:
        v.type = ValueType::kNull;
        break;
    }
  }
}

// Puts the stored fields of a WITHOUT ROWID record (key columns first) in declared order.
void ToDeclaredOrder(Record& stored, const TableSchema& schema, Record& out) {
  out.Clear();
  const size_t n = schema.declaredColumnCount;
  out.values.resize(n);
  out.headerSize = stored.headerSize;
  uint32_t present = 0;
  for (size_t j = 0; j < stored.values.size() && j < schema.storedOrder.size(); ++j) {
    out.values[schema.storedOrder[j]] = stored.values[j];
    ++present;
  }
  out.ownedText = std::move(stored.ownedText);
  // Fields past the stored ones are columns added later: their defaults.
  for (size_t j = present; j < schema.storedOrder.size(); ++j) {
    const uint32_t c = schema.storedOrder[j];
    const ColumnDefault& d = schema.defaults[c];
    Value& v = out.values[c];
    v = Value{};
    v.type = d.type == ValueType::kInteger || d.type == ValueType::kReal ||
                     d.type == ValueType::kText || d.type == ValueType::kBlob
                 ? d.type
                 : ValueType::kNull;
    v.integer = d.integer;
    v.real = d.real;
    if (d.type == ValueType::kText || d.type == ValueType::kBlob) v.bytes = d.bytes;
  }
  out.storedColumns = static_cast<uint32_t>(n);
}

// Decodes the cell at page offset `offset` strictly (overflow chain included).
bool DecodeCell(CSqliteFileReader& reader, const PageView& page, uint32_t offset,
                std::vector<uint8_t>& payload, Record& record, bool reportFaults,
                uint32_t maxColumns = 0xffffffffu) {
  TableLeafCell cell;
  if (!ParseTableLeafCell(page, offset, cell)) {
    if (reportFaults) reader.AddFault(page.pageNumber, offset, "cell out of bounds");
    return false;
  }
  std::span<const uint8_t> bytes;
  if (cell.firstOverflow == 0) {
    bytes = page.bytes.subspan(cell.payloadOffset, cell.localSize);
  } else {
    if (!reader.AssemblePayload(page, cell, payload)) return false;
    bytes = payload;
  }
  if (!DecodeRecord(bytes, reader.Encoding(), record, maxColumns)) {
    if (reportFaults) reader.AddFault(page.pageNumber, offset, "record unreadable");
    return false;
  }
  record.rowid = cell.rowid;
  return true;
}

// Walks the table's trees: learns the shape from every live record and hands the rows on.
int32_t LivePass(CSqliteFileReader& reader, TableRun& run, const ScanOptions& options,
                 const RowCallback* onRow, ScanStats* stats) {
  Record record;
  std::vector<uint8_t> payload;
  const int32_t rowidColumn = run.schema ? run.schema->rowidColumn : -1;
  int32_t status = kSqliteOk;
  // What the carving needs (the shape, the live rows to leave out) is gathered only for it.
  const bool carving = options.carve || options.freelist;
  const uint32_t limit = !carving && options.columnLimit > 0 ? options.columnLimit : 0xffffffffu;
  run.liveFingerprints.SetRunSize(options.liveFingerprintsInMemory);
  const auto interior = [&](const PageView& page) {
    if (carving) run.interiors.push_back(page.pageNumber);
    return true;
  };
  if (run.schema && run.schema->withoutRowid) {
    // An index b-tree: every cell (interior ones too) is a row; nothing is carved from it.
    if (!options.live || !onRow) return kSqliteOk;
    Record stored;
    for (uint32_t root : run.roots) {
      const int32_t rc = reader.WalkIndexTree(
          root, [&](std::span<const uint8_t> bytes, uint32_t page, uint32_t offset) {
            if (!DecodeRecord(bytes, reader.Encoding(), stored)) {
              reader.AddFault(page, offset, "record unreadable");
              return true;
            }
            ToDeclaredOrder(stored, *run.schema, record);
            ApplyRealAffinity(record, run.realColumns);
            if (stats) ++stats->liveRows;
            const ScannedRow row{record, RowOrigin{RowSource::kLive, page, offset, false}, false,
                                 0};
            return (*onRow)(row);
          });
      if (rc == kSqliteStopped) return rc;
      if (rc != kSqliteOk) status = rc;
    }
    return status;
  }
  for (uint32_t root : run.roots) {
    const int32_t rc = reader.WalkTableTree(
        root,
        [&](const PageView& leaf) {
          // The page lists serve the carving and the older versions' owners only.
          if (carving) run.leaves.push_back(leaf.pageNumber);
          // Only the page list is wanted: no record to decode.
          if (!carving && (!options.live || !onRow)) return true;
          for (uint32_t i = 0; i < leaf.cellCount; ++i) {
            if (!DecodeCell(reader, leaf, leaf.CellPointer(i), payload, record, true, limit)) {
              continue;
            }
            if (carving) run.shape.Learn(record);
            // The shape alone is wanted (the first pass of a table-by-table scan).
            if (!(carving && options.skipLiveCopies) && !(options.live && onRow)) continue;
            if (limit == 0xffffffffu) ApplyDefaults(record, run.schema);
            ApplyRealAffinity(record, run.realColumns);
            if (carving && options.skipLiveCopies) {
              run.liveFingerprints.Add(Fingerprint(record, rowidColumn));
            }
            if (!options.live || !onRow) continue;
            if (options.substituteRowid) SubstituteRowid(record, rowidColumn);
            if (stats) ++stats->liveRows;
            const ScannedRow row{
                record, RowOrigin{RowSource::kLive, leaf.pageNumber, leaf.CellPointer(i), false},
                false, 0};
            if (!(*onRow)(row)) return false;
          }
          return true;
        },
        interior);
    if (rc == kSqliteStopped) return rc;
    if (rc != kSqliteOk) status = rc;
  }
  run.liveFingerprints.Finish();
  std::sort(run.leaves.begin(), run.leaves.end());
  std::sort(run.interiors.begin(), run.interiors.end());
  return status;
}

// Older page versions are carved rows: without carving there is neither the shape nor the
// live rows' fingerprints that keep the unchanged rows of an older version out.
bool OldVersionsWanted(const ScanOptions& options) {
  return options.wal && (options.carve || options.freelist);
}

bool ShapeKnown(const TableShape& s) { return s.declaredColumns > 0 || s.liveRecords > 0; }

// Whether the overflow chain of a carved record still lies whole on freed pages: every page
// of it a freelist leaf (a trunk's leaf list overwrote what it held), the chain as long as the
// payload needs and ending there.
bool CarvedChainOnFreedPages(CSqliteFileReader& reader, const Candidate& c,
                             uint32_t localSize) {
  const uint64_t perPage = reader.UsableSize() - 4;
  if (c.payloadSize <= localSize) return false;
  uint64_t pages = (c.payloadSize - localSize + perPage - 1) / perPage;
  if (pages > reader.PageCount()) return false;
  const auto& trunks = reader.FreelistTrunkPages();
  std::vector<uint8_t> bytes;
  uint32_t next = c.firstOverflow;
  for (; pages > 0; --pages) {
    if (!reader.IsFreelistPage(next) ||
        std::find(trunks.begin(), trunks.end(), next) != trunks.end() ||
        reader.ReadPage(next, bytes) != kSqliteOk || bytes.size() < 4) {
      return false;
    }
    next = ReadU32(bytes.data());
  }
  return next == 0;
}

// Brings a carved record's overflow back when its chain lies on freed pages. The record's
// header must have survived (its size tells where the payload begins); its rowid need not.
void AssembleCarvedOverflow(CSqliteFileReader& reader, const PageView& page, Candidate& c,
                            std::vector<uint8_t>& payload) {
  if (c.firstOverflow == 0 || c.record.headerSize == 0) return;
  if (c.bodyOffset < c.record.headerSize) return;
  TableLeafCell cell;
  cell.offset = c.offset;
  cell.payloadSize = c.payloadSize;
  cell.payloadOffset = c.bodyOffset - c.record.headerSize;
  if (c.localEnd < cell.payloadOffset) return;
  cell.localSize = c.localEnd - cell.payloadOffset;
  cell.firstOverflow = c.firstOverflow;
  if (!CarvedChainOnFreedPages(reader, c, cell.localSize)) return;
  if (!reader.AssemblePayload(page, cell, payload)) return;
  Record full;
  if (!DecodeRecord(payload, reader.Encoding(), full)) return;
  full.rowid = c.record.rowid;
  // The values point into the payload: the candidate keeps it.
  c.ownedPayload.swap(payload);
  c.record = std::move(full);
}

// Hands carved candidates on.
bool EmitCandidates(CSqliteFileReader& reader, const PageView& page,
                    std::vector<Candidate>& candidates, bool freedPage, TableRun& run,
                    const ScanOptions& options, const RowCallback& onRow, ScanStats* stats,
                    std::vector<uint8_t>& payload) {
  for (Candidate& c : candidates) {
    AssembleCarvedOverflow(reader, page, c, payload);
    ApplyDefaults(c.record, run.schema);
    ApplyRealAffinity(c.record, run.realColumns);
    if (IsRepeat(run, c.record, options)) continue;
    if (options.substituteRowid) SubstituteRowid(c.record, run.rowidColumn);
    if (stats) ++stats->carvedRows;
    const ScannedRow row{c.record, RowOrigin{c.source, c.page, c.offset, freedPage}, true, c.score};
    if (!onRow(row)) return false;
  }
  return true;
}

// One page carved: its bytes (the candidates' values point into them) and its candidates.
struct CarvedPage {
  std::vector<uint8_t> bytes;
  PageView view;
  bool parsed = false;
  std::vector<Candidate> candidates;
};

// Reads and carves one page of a table (only what CarvePage needs: the page and the shape, so
// that it may run beside the thread that hands rows on).
void CarveOnePage(const CSqliteFileReader& reader, uint32_t page, const TableShape& shape,
                  CarvedPage& out) {
  out.candidates.clear();
  out.parsed = reader.ReadPage(page, out.bytes) == kSqliteOk &&
               ParsePageView(out.bytes, page, reader.UsableSize(), out.view);
  if (out.parsed) CarvePage(out.view, shape, reader.Encoding(), out.candidates);
}

// Runs carve(k, page) for k in [0, count) on this thread and one helper thread, and hands
// the pages to emit on this thread in the order of k. At most kWindow pages are carved ahead
// of the one being handed on, so memory does not grow with the table. False when emit asked to
// stop. An exception thrown by carve on the helper is thrown here again. Without a helper
// thread (none could be started) this thread carves every page itself.
bool CarveInOrder(size_t count, const std::function<void(size_t, CarvedPage&)>& carve,
                  const std::function<bool(CarvedPage&)>& emit) {
  constexpr size_t kWindow = 64;
  std::vector<CarvedPage> slots(std::min(count, kWindow));
  std::vector<uint8_t> ready(slots.size(), 0);
  const size_t window = slots.size();
  std::mutex mutex;
  std::condition_variable changed;
  size_t claimed = 0;  // pages handed to a thread to carve
  size_t emitted = 0;  // pages handed on
  bool stop = false;
  std::exception_ptr failure;
  // Under the lock: the next page to carve, or count when none may be taken now.
  const auto claim = [&]() -> size_t {
    if (stop || claimed >= count || claimed >= emitted + window) return count;
    return claimed++;
  };
  // Carves page k (the lock released meanwhile) and marks it ready.
  const auto work = [&](std::unique_lock<std::mutex>& lock, size_t k) {
    lock.unlock();
    std::exception_ptr error;
    try {
      carve(k, slots[k % window]);
    } catch (...) {
      error = std::current_exception();
    }
    lock.lock();
    if (error && !failure) failure = error;
    if (error) stop = true;
    ready[k % window] = 1;
    changed.notify_all();
  };
  std::thread helper;
  try {
    helper = std::thread([&] {
      std::unique_lock<std::mutex> lock(mutex);
      for (;;) {
        size_t k = count;
        changed.wait(lock, [&] { return stop || claimed >= count || (k = claim()) < count; });
        if (k >= count) return;
        work(lock, k);
      }
    });
  } catch (const std::system_error&) {
  }
  bool go = true;
  std::unique_lock<std::mutex> lock(mutex);
  try {
    for (size_t k = 0; k < count && go && !failure; ++k) {
      // While page k is not ready, this thread carves the next one too.
      while (!ready[k % window]) {
        const size_t j = claim();
        if (j < count) {
          work(lock, j);
        } else {
          changed.wait(lock);
        }
      }
      if (failure) break;
      lock.unlock();
      go = emit(slots[k % window]);
      lock.lock();
      ready[k % window] = 0;
      emitted = k + 1;
      changed.notify_all();
    }
  } catch (...) {
    if (!lock.owns_lock()) lock.lock();
    stop = true;
    changed.notify_all();
    lock.unlock();
    if (helper.joinable()) helper.join();
    throw;
  }
  stop = true;
  changed.notify_all();
  lock.unlock();
  if (helper.joinable()) helper.join();
  if (failure) std::rethrow_exception(failure);
  return go;
}

int32_t CarveOwnPages(CSqliteFileReader& reader, TableRun& run, const ScanOptions& options,
                      const RowCallback& onRow, ScanStats* stats) {
  if (!ShapeKnown(run.shape)) return kSqliteOk;
  // Interior and leaf pages in page order (both lists are sorted).
  std::vector<uint32_t> pages(run.interiors.size() + run.leaves.size());
  std::merge(run.interiors.begin(), run.interiors.end(), run.leaves.begin(), run.leaves.end(),
             pages.begin());
  std::vector<uint8_t> payload;
  const auto emit = [&](CarvedPage& page) {
    return !page.parsed || EmitCandidates(reader, page.view, page.candidates, false, run, options,
                                          onRow, stats, payload);
  };
  // Each page is carved alone from its bytes and the shape: a second thread carves pages
  // ahead while this one hands their rows on, in the same order.
  if (options.carveThreads > 1 && pages.size() >= 16) {
    const bool go = CarveInOrder(
        pages.size(),
        [&](size_t k, CarvedPage& out) { CarveOnePage(reader, pages[k], run.shape, out); },
        emit);
    return go ? kSqliteOk : kSqliteStopped;
  }
  CarvedPage page;
  for (uint32_t number : pages) {
    CarveOnePage(reader, number, run.shape, page);
    if (!emit(page)) return kSqliteStopped;
  }
  return kSqliteOk;
}

// The rows one freed page gives for one table shape: its intact cells (strictly decoded, when
// they fit the shape) and the records carved from its free space.
struct FreedRows {
  std::vector<Candidate> rows;
  int64_t total = 0;  // sum of scores
};

void CarveFreedPage(CSqliteFileReader& reader, uint32_t pageNumber,
                    const std::vector<uint8_t>& bytes, const TableShape& shape, FreedRows& out) {
  PageView view;
  const uint32_t usable = reader.UsableSize();
  if (ParsePageView(bytes, pageNumber, usable, view)) {
    if (view.type != PageType::kTableLeaf) return;
    for (uint32_t i = 0; i < view.cellCount; ++i) {
      const uint32_t offset = view.CellPointer(i);
      int32_t score = 0;
      if (ShapeKnown(shape) && !ScoreIntactCell(view, offset, shape, reader.Encoding(), score)) {
        continue;
      }
      Candidate c;
      // Rows are handed on after the page is done: each keeps its own assembled payload.
      if (!DecodeCell(reader, view, offset, c.ownedPayload, c.record, false)) continue;
      c.source = RowSource::kFreelist;
      c.page = pageNumber;
      c.offset = offset;
      c.score = score;
      out.total += score + 1;
      out.rows.push_back(std::move(c));
    }
    std::vector<Candidate> carved;
    CarvePage(view, shape, reader.Encoding(), carved);
    for (Candidate& c : carved) {
      out.total += c.score;
      out.rows.push_back(std::move(c));
    }
  } else if (reader.IsFreelistPage(pageNumber) &&
             std::find(reader.FreelistTrunkPages().begin(), reader.FreelistTrunkPages().end(),
                       pageNumber) != reader.FreelistTrunkPages().end()) {
    // A trunk: what follows its leaf list is what the page held before.
    const uint32_t leaves = std::min(ReadU32(bytes.data() + 4), usable / 4 - 2);
    std::vector<Candidate> carved;
    ScanRawRegion(bytes, pageNumber, usable, 8 + 4 * leaves, usable, shape, reader.Encoding(),
                  RowSource::kFreelist, carved);
    for (Candidate& c : carved) {
      out.total += c.score;
      out.rows.push_back(std::move(c));
    }
  }
}

// Freed pages in freelist order: trunks first, then leaves as listed.
std::vector<uint32_t> FreedPages(const CSqliteFileReader& reader) {
  std::vector<uint32_t> pages = reader.FreelistTrunkPages();
  pages.insert(pages.end(), reader.FreelistLeafPages.begin(), reader.FreelistLeafPages.end());
  return pages;
}

// How many intact cells of a freed leaf page fit a shape.
uint32_t FreedFit(const std::vector<uint8_t>& bytes, uint32_t pageNumber, uint32_t usable,
                  const TableShape& shape, TextEncoding encoding) {
  PageView view;
  if (!ShapeKnown(shape) || !ParsePageView(bytes, pageNumber, usable, view)) return 0;
  return FreedPageFit(view, shape, encoding);
}

// Where the rows of an older page version came from (frame 0: none, a freed page).
struct OldVersion {
  RowSource source = RowSource::kFreelist;
  uint32_t frame = 0;
};

bool EmitFreed(CSqliteFileReader& reader, FreedRows& rows, TableRun* run,
               const ScanOptions& options, ScanStats* stats,
               const std::function<bool(const ScannedRow&)>& onRow,
               const OldVersion* version = nullptr) {
  for (Candidate& c : rows.rows) {
    if (run) {
      ApplyDefaults(c.record, run->schema);
      ApplyRealAffinity(c.record, run->realColumns);
      if (IsRepeat(*run, c.record, options)) continue;
      if (options.substituteRowid) SubstituteRowid(c.record, run->rowidColumn);
    }
    if (version) {
      if (stats) ++stats->walRows;
      const ScannedRow row{
          c.record, RowOrigin{version->source, c.page, c.offset, false, version->frame}, true,
          c.score};
      if (!onRow(row)) return false;
      continue;
    }
    if (stats) {
      if (c.source == RowSource::kFreelist && c.record.rowid) {
        ++stats->freedPageRows;
      } else {
        ++stats->carvedRows;
      }
    }
    const ScannedRow row{c.record, RowOrigin{c.source, c.page, c.offset, true}, true, c.score};
    if (!onRow(row)) return false;
  }
  (void)reader;
  return true;
}

TableRun PrepareRun(CSqliteFileReader& reader, const TableSchema* schema, std::string_view name,
                    uint32_t fallbackColumns) {
  TableRun run;
  run.schema = schema;
  if (schema) {
    if (schema->rootPage != 0) run.roots.push_back(schema->rootPage);
    // Rows of an index b-tree are not cells of table pages: no shape to carve with.
    if (!schema->withoutRowid) run.shape = TableShape::FromSchema(*schema);
  } else {
    run.roots = reader.FindRootPages(name);
  }
  if (run.shape.declaredColumns == 0 && fallbackColumns > 0 && !(schema && schema->withoutRowid)) {
    run.shape = TableShape::FromColumnCount(fallbackColumns);
    if (schema) run.shape.rowidColumn = schema->rowidColumn;
  }
  run.rowidColumn = schema ? schema->rowidColumn : -1;
  for (const ColumnShape& c : run.shape.columns) run.realColumns.push_back(c.affinity == 'R');
  // No REAL column: nothing for ApplyRealAffinity to look at.
  if (std::find(run.realColumns.begin(), run.realColumns.end(), true) == run.realColumns.end()) {
    run.realColumns.clear();
  }
  return run;
}

// The older page versions a write-ahead log keeps, in log order, then the main file's copies
// of the pages its commits replaced.
struct OldPage {
  uint32_t page = 0;
  OldVersion version;
};
std::vector<OldPage> OldPageVersions(const CSqliteFileReader& reader) {
  std::vector<OldPage> pages;
  if (!reader.WalApplied()) return pages;
  for (const WalFrame& f : reader.WalFrames()) {
    if (f.state == WalFrameState::kSuperseded || f.state == WalFrameState::kEarlierGeneration) {
      pages.push_back({f.page, {RowSource::kWal, f.index}});
    }
  }
  for (uint32_t p : reader.WalReplacedPages()) pages.push_back({p, {RowSource::kWalReplaced, 0}});
  return pages;
}

int32_t ReadOldPage(const CSqliteFileReader& reader, const OldPage& old,
                    std::vector<uint8_t>& bytes) {
  if (old.version.source == RowSource::kWal) {
    const std::vector<WalFrame>& frames = reader.WalFrames();
    const uint32_t i = old.version.frame - 1;
    if (i < frames.size() && frames[i].index == old.version.frame) {
      return reader.ReadWalFrame(frames[i], bytes);
    }
    for (const WalFrame& f : frames) {
      if (f.index == old.version.frame) return reader.ReadWalFrame(f, bytes);
    }
    return kSqliteInvalid;
  }
  return reader.ReadMainFilePage(old.page, bytes);
}

// The rows of an older page version: its intact cells and carved records. Only table leaf
// pages are read (the page may have belonged to another table then).
void CarveOldPage(CSqliteFileReader& reader, uint32_t pageNumber, const std::vector<uint8_t>& bytes,
                  const TableShape& shape, FreedRows& out) {
  PageView view;
  if (!ParsePageView(bytes, pageNumber, reader.UsableSize(), view) ||
      view.type != PageType::kTableLeaf) {
    return;
  }
  CarveFreedPage(reader, pageNumber, bytes, shape, out);
}

bool IsOwnPage(const TableRun& run, uint32_t page) {
  return std::binary_search(run.leaves.begin(), run.leaves.end(), page);
}

}  // namespace

int32_t ScanTable(CSqliteFileReader& reader, std::string_view table, const ScanOptions& options,
                  const RowCallback& onRow, ScanStats* stats) {
  if (!reader.IsOpen()) return kSqliteInvalid;
  const TableSchema* schema = reader.FindTable(table);
  TableRun run = PrepareRun(reader, schema, table, options.fallbackColumns);
  const int32_t status = LivePass(reader, run, options, &onRow, stats);
  if (status == kSqliteStopped) return status;
  if (stats) stats->shape = run.shape;
  if (OldVersionsWanted(options) && ShapeKnown(run.shape)) {
    // An older version goes to this table when its cells fit it at least as well as any other
    // table's, or, fitting none, when the page is one of the table's own now.
    std::vector<TableShape> others;
    for (const TableSchema& t : reader.Tables()) {
      if (&t != schema && t.parsed && t.rootPage != 0 && !t.withoutRowid) {
        others.push_back(TableShape::FromSchema(t));
      }
    }
    std::vector<uint8_t> bytes;
    for (const OldPage& old : OldPageVersions(reader)) {
      if (ReadOldPage(reader, old, bytes) != kSqliteOk) continue;
      const uint32_t fit = FreedFit(bytes, old.page, reader.UsableSize(), run.shape,
                                    reader.Encoding());
      uint32_t bestOther = 0;
      for (const TableShape& o : others) {
        bestOther = std::max(bestOther, FreedFit(bytes, old.page, reader.UsableSize(), o,
                                                 reader.Encoding()));
      }
      if (fit < bestOther || (fit == 0 && !IsOwnPage(run, old.page))) continue;
      FreedRows rows;
      CarveOldPage(reader, old.page, bytes, run.shape, rows);
      if (!EmitFreed(reader, rows, &run, options, stats, onRow, &old.version)) {
        return kSqliteStopped;
      }
    }
  }
  if (options.carve && CarveOwnPages(reader, run, options, onRow, stats) == kSqliteStopped) {
    return kSqliteStopped;
  }
  if (options.freelist && ShapeKnown(run.shape)) {
    // Shapes of the other tables, from their schema, to tell whose a freed page was.
    std::vector<TableShape> others;
    for (const TableSchema& t : reader.Tables()) {
      if (&t != schema && t.parsed && t.rootPage != 0) others.push_back(TableShape::FromSchema(t));
    }
    std::vector<uint8_t> bytes;
    for (uint32_t page : FreedPages(reader)) {
      if (reader.ReadPage(page, bytes) != kSqliteOk) continue;
      const uint32_t fit = FreedFit(bytes, page, reader.UsableSize(), run.shape, reader.Encoding());
      uint32_t bestOther = 0;
      for (const TableShape& o : others) {
        bestOther =
            std::max(bestOther, FreedFit(bytes, page, reader.UsableSize(), o, reader.Encoding()));
      }
      if (fit < bestOther) continue;
      FreedRows rows;
      CarveFreedPage(reader, page, bytes, run.shape, rows);
      if (!EmitFreed(reader, rows, &run, options, stats, onRow)) return kSqliteStopped;
    }
  }
  return status;
}

namespace {

// Shapes of dropped tables, from the deleted rows of the schema table itself: their freed
// pages are carved with them (their rows still belong to no table of the schema).
std::vector<TableShape> DroppedShapes(CSqliteFileReader& reader) {
  std::vector<TableShape> dropped;
  TableSchema master;
  ParseCreateTable(
      "CREATE TABLE sqlite_master(type text, name text, tbl_name text, "
      "rootpage integer, sql text)",
      master);
  TableRun run = PrepareRun(reader, &master, "sqlite_master", 0);
  run.roots = {1};
  if (LivePass(reader, run, ScanOptions{}, nullptr, nullptr) == kSqliteOk) {
    const RowCallback collect = [&](const ScannedRow& row) {
      if (row.record[0].Text() != "table") return true;
      TableSchema t;
      if (ParseCreateTable(row.record[4].Text(), t)) {
        dropped.push_back(TableShape::FromSchema(t));
      }
      return true;
    };
    ScanOptions carveOnly;
    carveOnly.live = false;
    CarveOwnPages(reader, run, carveOnly, collect, nullptr);
  }
  return dropped;
}

// The table a freed page goes to: the one whose shape its cells fit best (the first on ties);
// -1 when no table fits.
int FreedPageOwner(const CSqliteFileReader& reader, const std::vector<TableRun>& runs,
                   uint32_t page, const std::vector<uint8_t>& bytes) {
  int best = -1;
  uint32_t bestFit = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const uint32_t fit =
        FreedFit(bytes, page, reader.UsableSize(), runs[i].shape, reader.Encoding());
    if (fit > bestFit) {
      bestFit = fit;
      best = static_cast<int>(i);
    }
  }
  return best;
}

// A freed page no table fits: carved with every table's shape, the best non-overlapping
// records kept; intact cells of no table go with no table. Hands each kept record on with the
// index of its table (-1: none), best first; false when take asks to stop.
bool ResolveUnownedPage(CSqliteFileReader& reader, const std::vector<TableRun>& runs,
                        const std::vector<TableShape>& dropped, uint32_t page,
                        const std::vector<uint8_t>& bytes,
                        const std::function<bool(int table, Candidate& c)>& take) {
  std::vector<std::pair<int, Candidate>> all;
  for (size_t i = 0; i < runs.size(); ++i) {
    if (!ShapeKnown(runs[i].shape)) continue;
    FreedRows rows;
    CarveFreedPage(reader, page, bytes, runs[i].shape, rows);
    for (Candidate& c : rows.rows) all.emplace_back(static_cast<int>(i), std::move(c));
  }
  FreedRows orphan;
  CarveFreedPage(reader, page, bytes, TableShape{}, orphan);
  for (Candidate& c : orphan.rows) all.emplace_back(-1, std::move(c));
  for (const TableShape& shape : dropped) {
    FreedRows rows;
    CarveFreedPage(reader, page, bytes, shape, rows);
    for (Candidate& c : rows.rows) all.emplace_back(-1, std::move(c));
  }
  std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return a.second.score > b.second.score;
  });
  std::vector<std::pair<uint32_t, uint32_t>> taken;
  for (auto& [table, c] : all) {
    const uint32_t end = c.end > c.offset ? c.end : c.offset + 1;
    bool overlap = false;
    for (const auto& r : taken) overlap |= r.first < end && c.offset < r.second;
    if (overlap) continue;
    taken.emplace_back(c.offset, end);
    if (!take(table, c)) return false;
  }
  return true;
}

// The table an older page version of the log goes to: the one its cells fit best (the page's
// owner now on ties), or, fitting none, its owner now; -1 when it is left out.
int OldPageOwner(const CSqliteFileReader& reader, const std::vector<TableRun>& runs,
                 uint32_t page, const std::vector<uint8_t>& bytes) {
  int owner = -1;
  for (size_t i = 0; i < runs.size() && owner < 0; ++i) {
    if (IsOwnPage(runs[i], page)) owner = static_cast<int>(i);
  }
  int best = -1;
  uint32_t bestFit = 0;
  for (size_t i = 0; i < runs.size(); ++i) {
    const uint32_t fit =
        FreedFit(bytes, page, reader.UsableSize(), runs[i].shape, reader.Encoding());
    if (fit > bestFit || (fit == bestFit && fit > 0 && static_cast<int>(i) == owner)) {
      bestFit = fit;
      best = static_cast<int>(i);
    }
  }
  if (best < 0) best = owner;
  if (best < 0 || !ShapeKnown(runs[best].shape)) return -1;
  return best;
}

// Older page versions of the write-ahead log, each given to the table OldPageOwner names.
int32_t ScanOldVersions(CSqliteFileReader& reader, std::vector<TableRun>& runs,
                        const ScanOptions& options, const FileRowCallback& onRow) {
  std::vector<uint8_t> bytes;
  for (const OldPage& old : OldPageVersions(reader)) {
    if (ReadOldPage(reader, old, bytes) != kSqliteOk) continue;
    const int best = OldPageOwner(reader, runs, old.page, bytes);
    if (best < 0) continue;
    FreedRows rows;
    CarveOldPage(reader, old.page, bytes, runs[best].shape, rows);
    const TableSchema* t = runs[best].schema;
    if (!EmitFreed(reader, rows, &runs[best], options, nullptr,
                   [&](const ScannedRow& row) { return onRow(t, row); }, &old.version)) {
      return kSqliteStopped;
    }
  }
  return kSqliteOk;
}

}  // namespace

// Order: live rows of every table, the older page versions of the log, the carved rows of
// every table's pages, then the freed pages.
int32_t ScanFile(CSqliteFileReader& reader, const ScanOptions& options,
                 const FileRowCallback& onRow) {
  if (!reader.IsOpen()) return kSqliteInvalid;
  const std::vector<TableSchema>& tables = reader.Tables();
  std::vector<TableRun> runs;
  runs.reserve(tables.size());
  int32_t status = kSqliteOk;
  for (const TableSchema& t : tables) {
    TableRun& run = runs.emplace_back(PrepareRun(reader, &t, t.name, options.fallbackColumns));
    const RowCallback forward = [&](const ScannedRow& row) { return onRow(&t, row); };
    const int32_t rc = LivePass(reader, run, options, &forward, nullptr);
    if (rc == kSqliteStopped) return rc;
    if (rc != kSqliteOk) status = rc;
  }
  // The older page versions of a write-ahead log: whole cells, rowids included, that free
  // space keeps only in part; given first, they make the partial copies repeats.
  if (OldVersionsWanted(options) &&
      ScanOldVersions(reader, runs, options, onRow) == kSqliteStopped) {
    return kSqliteStopped;
  }
  if (options.carve) {
    for (TableRun& run : runs) {
      const TableSchema* t = run.schema;
      const RowCallback forward = [&](const ScannedRow& row) { return onRow(t, row); };
      if (CarveOwnPages(reader, run, options, forward, nullptr) == kSqliteStopped) {
        return kSqliteStopped;
      }
    }
  }
  if (!options.freelist) return status;
  const std::vector<TableShape> dropped = DroppedShapes(reader);
  std::vector<uint8_t> bytes;
  for (uint32_t page : FreedPages(reader)) {
    if (reader.ReadPage(page, bytes) != kSqliteOk) continue;
    const int best = FreedPageOwner(reader, runs, page, bytes);
    if (best < 0) {
      const bool go =
          ResolveUnownedPage(reader, runs, dropped, page, bytes, [&](int table, Candidate& c) {
            const TableSchema* t = table >= 0 ? runs[table].schema : nullptr;
            FreedRows one;
            one.rows.push_back(std::move(c));
            return EmitFreed(reader, one, table >= 0 ? &runs[table] : nullptr, options, nullptr,
                             [&](const ScannedRow& row) { return onRow(t, row); });
          });
      if (!go) return kSqliteStopped;
      continue;
    }
    FreedRows rows;
    CarveFreedPage(reader, page, bytes, runs[best].shape, rows);
    const TableSchema* t = runs[best].schema;
    if (!EmitFreed(reader, rows, &runs[best], options, nullptr,
                   [&](const ScannedRow& row) { return onRow(t, row); })) {
      return kSqliteStopped;
    }
  }
  return status;
}

int32_t ScanFileByTable(CSqliteFileReader& reader, const ScanOptions& options,
                        const TableGroupCallbacks& callbacks) {
  if (!reader.IsOpen()) return kSqliteInvalid;
  const std::vector<TableSchema>& tables = reader.Tables();
  const auto wanted = [&](const TableSchema* t) { return !callbacks.want || callbacks.want(t); };
  const bool carving = options.carve || options.freelist;
  int32_t status = kSqliteOk;

  // First every table's shape and pages (what decides whose a freed or older page is), without
  // keeping a row; then table by table, each row handed on as it is read. A file with neither
  // freed pages nor older page versions to share out needs no first pass.
  const bool owners = carving && ((options.freelist && !FreedPages(reader).empty()) ||
                                  (OldVersionsWanted(options) && reader.WalApplied()));
  std::vector<TableRun> runs;
  runs.reserve(tables.size());
  for (const TableSchema& t : tables) {
    TableRun& run = runs.emplace_back(PrepareRun(reader, &t, t.name, options.fallbackColumns));
    if (!owners) continue;
    ScanOptions shapeOnly = options;
    shapeOnly.skipLiveCopies = false;
    const int32_t rc = LivePass(reader, run, shapeOnly, nullptr, nullptr);
    if (rc != kSqliteOk) status = rc;
  }
  std::vector<uint8_t> bytes;
  // The owner of each older page version of the log (-1: left out).
  std::vector<OldPage> olds;
  std::vector<int> oldOwner;
  if (OldVersionsWanted(options)) {
    olds = OldPageVersions(reader);
    oldOwner.assign(olds.size(), -1);
    for (size_t k = 0; k < olds.size(); ++k) {
      if (ReadOldPage(reader, olds[k], bytes) != kSqliteOk) continue;
      oldOwner[k] = OldPageOwner(reader, runs, olds[k].page, bytes);
    }
  }
  // The owner of each freed page; for a page no table fits (kUnowned), the tables whose rows
  // it holds (-1: rows of no table).
  constexpr int kUnreadable = -2;
  constexpr int kUnowned = -1;
  std::vector<uint32_t> freed;
  std::vector<int> freedOwner;
  std::vector<std::vector<int>> unownedTables;
  std::vector<TableShape> dropped;
  bool anyOfNoTable = false;
  if (options.freelist) {
    freed = FreedPages(reader);
    freedOwner.assign(freed.size(), kUnreadable);
    unownedTables.resize(freed.size());
    dropped = DroppedShapes(reader);
    for (size_t k = 0; k < freed.size(); ++k) {
      if (reader.ReadPage(freed[k], bytes) != kSqliteOk) continue;
      freedOwner[k] = FreedPageOwner(reader, runs, freed[k], bytes);
      if (freedOwner[k] != kUnowned) continue;
      std::vector<int>& in = unownedTables[k];
      ResolveUnownedPage(reader, runs, dropped, freed[k], bytes, [&](int table, Candidate&) {
        if (std::find(in.begin(), in.end(), table) == in.end()) in.push_back(table);
        anyOfNoTable |= table < 0;
        return true;
      });
    }
  }
  // The rows one unowned freed page gives to table index `table` (-1: no table).
  const auto emitUnowned = [&](size_t k, int table, TableRun* run, const RowCallback& onRow) {
    if (reader.ReadPage(freed[k], bytes) != kSqliteOk) return true;
    return ResolveUnownedPage(reader, runs, dropped, freed[k], bytes, [&](int t, Candidate& c) {
      if (t != table) return true;
      FreedRows one;
      one.rows.push_back(std::move(c));
      return EmitFreed(reader, one, run, options, nullptr, onRow);
    });
  };

  for (size_t i = 0; i < tables.size(); ++i) {
    const TableSchema* t = &tables[i];
    if (!wanted(t)) continue;
    if (callbacks.begin && !callbacks.begin(t)) return kSqliteStopped;
    const RowCallback onRow = [&](const ScannedRow& row) { return callbacks.row(t, row); };
    // The same walk again, now handing the rows on (and keeping the live rows' fingerprints).
    runs[i] = PrepareRun(reader, t, t->name, options.fallbackColumns);
    const int32_t rc = LivePass(reader, runs[i], options, &onRow, nullptr);
    if (rc == kSqliteStopped) return rc;
    if (rc != kSqliteOk) status = rc;
    for (size_t k = 0; k < olds.size(); ++k) {
      if (oldOwner[k] != static_cast<int>(i)) continue;
      if (ReadOldPage(reader, olds[k], bytes) != kSqliteOk) continue;
      FreedRows rows;
      CarveOldPage(reader, olds[k].page, bytes, runs[i].shape, rows);
      if (!EmitFreed(reader, rows, &runs[i], options, nullptr, onRow, &olds[k].version)) {
        return kSqliteStopped;
      }
    }
    if (options.carve && CarveOwnPages(reader, runs[i], options, onRow, nullptr) == kSqliteStopped) {
      return kSqliteStopped;
    }
    for (size_t k = 0; k < freed.size(); ++k) {
      if (freedOwner[k] == static_cast<int>(i)) {
        if (reader.ReadPage(freed[k], bytes) != kSqliteOk) continue;
        FreedRows rows;
        CarveFreedPage(reader, freed[k], bytes, runs[i].shape, rows);
        if (!EmitFreed(reader, rows, &runs[i], options, nullptr, onRow)) return kSqliteStopped;
      } else if (freedOwner[k] == kUnowned) {
        const std::vector<int>& in = unownedTables[k];
        if (std::find(in.begin(), in.end(), static_cast<int>(i)) == in.end()) continue;
        if (!emitUnowned(k, static_cast<int>(i), &runs[i], onRow)) return kSqliteStopped;
      }
    }
    // What only this table's rows needed.
    runs[i].liveFingerprints.Release();
    runs[i].carvedFingerprints.Release();
    if (callbacks.end && !callbacks.end(t)) return kSqliteStopped;
  }

  if (!anyOfNoTable || !wanted(nullptr)) return status;
  bool begun = false;
  const RowCallback onRow = [&](const ScannedRow& row) {
    if (!begun && callbacks.begin && !callbacks.begin(nullptr)) return false;
    begun = true;
    return callbacks.row(nullptr, row);
  };
  for (size_t k = 0; k < freed.size(); ++k) {
    if (freedOwner[k] != kUnowned) continue;
    const std::vector<int>& in = unownedTables[k];
    if (std::find(in.begin(), in.end(), -1) == in.end()) continue;
    if (!emitUnowned(k, -1, nullptr, onRow)) return kSqliteStopped;
  }
  if (begun && callbacks.end && !callbacks.end(nullptr)) return kSqliteStopped;
  return status;
}

}  // namespace halvern
