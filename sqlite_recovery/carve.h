// Carving of deleted records from the free space of table leaf pages and from freed pages.
//
// Policy of this module: forgiving. A scanner never fails on bad bytes: it clamps impossible
// lengths, stops at the end of its buffer and skips what does not look like a record. Each
// scanner is a pure function from one page and the shape of the table (what its live records
// look like) to candidates, and each candidate says where it was found. Candidates are scored;
// the score keeps false rows out, the decoders' own checks do the rest.
//
// Where deleted records lie in a table leaf page:
//   freeblock     a freed cell in the content area; its first 4 bytes (payload size, rowid and
//                 header size varints, usually) are overwritten by the freeblock header.
//   unallocated   the gap between the pointer array and the content area: cells freed at the
//                 top of the content area, and old cells left there by defragmentation.
//   afterLastCell bytes past the end of the cell that lies highest in the page (space a
//                 shrinking or rebuilt page left behind, outside any freeblock).
//   stalePointer  cell pointers left in the array beyond the cell count, pointing at cells that
//                 were deleted (often intact, with their leading varints).
//   freelist      cells of a page that was freed whole (a dropped table, a merged page).
//   wal           cells and free space of an older version of a page in the write-ahead log
//                 (a frame a later commit superseded, or one of the log's earlier generation).
//   walReplaced   the same for the main file's copy of a page the log's commits replaced.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "sqlite_recovery/reader.h"

namespace halvern {

enum class RowSource : uint8_t {
  kLive,
  kFreeblock,
  kUnallocated,
  kAfterLastCell,
  kStalePointer,
  kFreelist,
  kWal,          // an older version of a page kept in a frame of the write-ahead log
  kWalReplaced,  // the main file's copy of a page that a committed log frame replaced
};

// "live", "freeblock", "unallocated", "afterLastCell", "stalePointer", "freelist", "wal",
// "walReplaced".
std::string_view RowSourceName(RowSource source);

// What one column of a table looks like.
struct ColumnShape {
  uint8_t seenTypes = 0;      // ValueTypeBit mask of the types met in live records
  char affinity = 'B';        // declared affinity: 'I'nteger, 'R'eal, 'N'umeric, 'T'ext, 'B'lob
  bool rowidAlias = false;    // INTEGER PRIMARY KEY: stored as NULL, the value is the rowid
  uint32_t maxTextBytes = 0;  // longest text or blob met in live records
};

// What the records of one table look like: the column count from the schema and from the live
// records (rows written before an ADD COLUMN are shorter), and the value types per column.
struct TableShape {
  uint32_t declaredColumns = 0;  // from CREATE TABLE; 0 when unknown
  uint32_t minColumns = 0;       // fewest serial types in a live record (0: none seen)
  uint32_t maxColumns = 0;       // most serial types in a live record
  int32_t rowidColumn = -1;
  uint64_t liveRecords = 0;
  std::vector<ColumnShape> columns;  // declaredColumns (or maxColumns) entries

  // A shape from the schema alone.
  static TableShape FromSchema(const TableSchema& table);
  // A shape of n columns with no schema (fixed counts of the decoder family, orphan pages).
  static TableShape FromColumnCount(uint32_t n);
  // Widens the shape with one live record.
  void Learn(const Record& record);
  // Column counts a carved record of this table may have, fewest first.
  uint32_t LowColumns() const;
  uint32_t HighColumns() const;
};

// One carved record.
struct Candidate {
  RowSource source = RowSource::kFreeblock;
  uint32_t page = 0;        // 1-based page number
  uint32_t offset = 0;      // page offset where the record's bytes begin (its first surviving byte)
  uint32_t end = 0;         // one past the last byte of the cell in the page
  int32_t score = 0;        // plausibility; candidates below kMinCandidateScore are not returned
  uint32_t bodyOffset = 0;  // page offset of the record body
  uint32_t localEnd = 0;    // the payload's bytes in the page end here
  uint32_t firstOverflow = 0;         // first overflow page of a cell whose payload did not fit
  uint64_t payloadSize = 0;           // whole payload (header and body)
  std::vector<uint8_t> ownedPayload;  // an assembled payload the record's values point into
  Record record;  // values aligned to the table's columns; kLost where they did not survive.
                  // Move candidates, do not copy them (texts may point into the record).
};

// Candidates below this score are dropped by the scanners.
inline constexpr int32_t kMinCandidateScore = 1;

// Work of the carving. Every scan of a page counts its steps (positions tried, serial types
// read, values judged) and may spend at most kCarveStepsPerByte steps, plus
// kCarveStepsPerColumn for each column a record of the table may have (up to
// kCarveColumnsCharged), per byte of the page's usable size, plus kCarveStepsPerPage: a page
// costs work in proportion to its size, whatever its bytes. A real page needs a fraction of that
// allowance (the most seen: an old root page full of 64-column records, under half); a
// hostile page that would need more keeps the candidates found until its allowance ran out and
// counts as cut short.
inline constexpr uint32_t kCarveStepsPerByte = 64;
inline constexpr uint32_t kCarveStepsPerColumn = 4;
inline constexpr uint32_t kCarveColumnsCharged = 256;
inline constexpr uint32_t kCarveStepsPerPage = 4096;

// What the carving on this thread has done since the thread began (tests take differences).
struct CarveWork {
  uint64_t steps = 0;
  uint64_t cutShort = 0;  // page scans that stopped at their allowance
};
CarveWork CarveWorkOfThisThread();

// The four scanners. Each appends its candidates for one table leaf page to out. They read
// only the page; text of UTF-16 files is converted into each candidate's own storage.
void ScanFreeblocks(const PageView& page, const TableShape& shape, TextEncoding encoding,
                    std::vector<Candidate>& out);
void ScanUnallocated(const PageView& page, const TableShape& shape, TextEncoding encoding,
                     std::vector<Candidate>& out);
void ScanAfterLastCell(const PageView& page, const TableShape& shape, TextEncoding encoding,
                       std::vector<Candidate>& out);
void ScanStalePointers(const PageView& page, const TableShape& shape, TextEncoding encoding,
                       std::vector<Candidate>& out);

// All four scanners on one page, with candidates that overlap a live cell or a better
// candidate removed. Ordered by page offset.
void CarvePage(const PageView& page, const TableShape& shape, TextEncoding encoding,
               std::vector<Candidate>& out);

// Carves the bytes [begin, end) of any page buffer as free space (freelist trunk pages, whose
// header and leaf list overwrote the start of what the page held before).
void ScanRawRegion(std::span<const uint8_t> page, uint32_t pageNumber, uint32_t usableSize,
                   uint32_t begin, uint32_t end, const TableShape& shape, TextEncoding encoding,
                   RowSource source, std::vector<Candidate>& out);

// Score of the intact cell at page offset `offset` as a record of the table shape; false when
// the bytes there are not such a cell.
bool ScoreIntactCell(const PageView& page, uint32_t offset, const TableShape& shape,
                     TextEncoding encoding, int32_t& score);

// The freelist test: how well the intact cells of a freed table leaf page fit a table shape.
// Returns the number of the page's cells whose records decode and fit the shape (0: none; the
// page belongs to another table or to none).
uint32_t FreedPageFit(const PageView& page, const TableShape& shape, TextEncoding encoding);

}  // namespace halvern
