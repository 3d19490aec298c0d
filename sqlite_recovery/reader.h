// Read-only reader of SQLite 3 database files: file header, b-tree pages, cells, records and
// the schema table. The decoders and the carving (carve.h, scan.h) read every byte through it.
//
// Policy of this module: strict. A live-row walk never guesses: a page, cell or record that
// breaks the file format is skipped and recorded as a Fault (file offset, page, what was wrong);
// every on-disk link (b-tree child, overflow, freelist trunk) is bounds- and cycle-checked, and
// no read leaves its buffer. The forgiving side (deleted-row carving) lives in carve.h.
//
// ---------------------------------------------------------------------------------------------
// Byte layout of the file (all integers big-endian)
//
// File header (first 100 bytes of page 1)
//   offset size  meaning
//   0      16    "SQLite format 3\0"
//   16     2     page size; the value 1 means 65536
//   18     1     write version          19  1  read version
//   20     1     reserved bytes at the end of every page ("usable size" = page size - this)
//   24     4     file change counter
//   28     4     database size in pages (valid when 24 equals 92)
//   32     4     page number of the first freelist trunk page (0: empty freelist)
//   36     4     total number of freelist pages
//   44     4     schema format number   52  4  largest root page (auto-vacuum)
//   56     4     text encoding: 1 UTF-8, 2 UTF-16le, 3 UTF-16be
//   92     4     version-valid-for      96  4  SQLite version number
//
// B-tree page (page 1: header at offset 100; every other page: at 0)
//   +---------+-------------------+-------------+------------------+----------------+
//   | header  | cell pointer array| unallocated | cell content area (cells and    |
//   | 8 or 12 | 2 bytes per cell  |    gap      | freeblocks, growing downwards)  | reserved
//   +---------+-------------------+-------------+------------------+----------------+
//   header offset size meaning
//   0             1    page type: 2 index interior, 5 table interior, 10 index leaf, 13 table leaf
//   1             2    offset of the first freeblock (0: none)
//   3             2    number of cells
//   5             2    start of the cell content area (0 means 65536)
//   7             1    number of fragmented free bytes in the content area
//   8             4    right-most child page number (interior pages only)
//
// Cells
//   table leaf:     payload size varint | rowid varint | local payload | [first overflow page, 4]
//   table interior: left child page number (4) | integer key varint
//   index leaf:     payload size varint | local payload | [first overflow page, 4]
//   index interior: left child page number (4) | payload size varint | local payload | [overflow,
//   4] Local payload of a table leaf cell, U = usable size, P = payload size:
//     X = U - 35; if P <= X all of it is local; else M = ((U - 12) * 32 / 255) - 23,
//     K = M + ((P - M) % (U - 4)); local = K if K <= X else M.
//   (index cells: X = ((U - 12) * 64 / 255) - 23, the same M and K.)
//
// Record (the payload)
//   header size varint (counts itself) | serial type varint per column | column bodies in order
//   serial type  body bytes  value
//   0            0           NULL
//   1..6         1,2,3,4,6,8 signed big-endian integer
//   7            8           IEEE 754 double, big-endian
//   8, 9         0           the integers 0 and 1
//   10, 11       -           reserved (not valid in a database file)
//   N >= 12 even (N-12)/2    BLOB
//   N >= 13 odd  (N-13)/2    text in the database's encoding
//
// Varint: 1 to 9 bytes; bytes 1-8 give 7 bits each while their high bit is set; a ninth byte
//   gives all 8 of its bits. Values are unsigned 64-bit (rowids are read as signed).
//
// Freeblock (a chain inside the cell content area, ascending offsets)
//   0  2  offset of the next freeblock (0: last)
//   2  2  size of this freeblock, these 4 bytes included
//   The rest of a freeblock is whatever the freed cell held: a deleted record's bytes after
//   its first 4, which the freeblock header overwrote.
//
// Overflow page:     0 4 next overflow page (0: last) | 4.. U - 4 payload bytes
// Freelist trunk:    0 4 next trunk page (0: last) | 4 4 leaf count L | 8.. L leaf page numbers
//   (L is at most U / 4 - 2). Freelist leaf pages keep whatever they held when freed.
//
// Write-ahead log (NAME-wal beside the database, all integers big-endian)
//   Log header (32 bytes)
//   0   4  magic: 0x377f0682 (checksums over little-endian words), 0x377f0683 (big-endian)
//   4   4  format version (3007000)       8   4  page size (same encoding as the file's)
//   12  4  checkpoint sequence number     16  4  salt-1      20  4  salt-2
//   24  4  checksum-1                     28  4  checksum-2 (over bytes 0..23)
//   Frames follow: a 24-byte frame header, then one page (page size bytes).
//   0   4  page number                    4   4  commit: database size in pages; 0 otherwise
//   8   4  salt-1          12  4  salt-2  (equal to the log header's for a frame of this log)
//   16  4  checksum-1      20  4  checksum-2
//   Checksums run over the whole log: (s0, s1) start at the header's checksum and take in each
//   frame's first 8 header bytes and its page, two 32-bit words x0, x1 at a time
//   (s0 += x0 + s1; s1 += x1 + s0). A frame is valid when its salts and checksums agree; the
//   log ends at the first frame that is not. The database is the main file with, for every
//   page, its newest frame up to the last valid commit frame laid over it; frames after that
//   commit belong to no transaction. A checkpoint that restarts the log adds 1 to salt-1 and
//   writes from the start again, so frames of the earlier generation (salt-1 one less) can
//   follow the valid ones: older versions of their pages.
// ---------------------------------------------------------------------------------------------
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace halvern {

// Result codes of this module.
inline constexpr int32_t kSqliteOk = 0;
inline constexpr int32_t kSqliteStopped = 2;     // a callback asked to stop
inline constexpr int32_t kSqliteInvalid = 87;    // missing file, not a database, bad argument
inline constexpr int32_t kSqliteReadFault = 30;  // short read, page beyond the end of the file

// ----- Varints and serial types ----------------------------------------------------------------

// ReadVarint for a varint of two bytes or more (or none).
size_t ReadLongVarint(std::span<const uint8_t> bytes, uint64_t& value);

// Reads one varint from the start of bytes. Returns its length (1 to 9) and stores the value, or
// returns 0 when the varint runs past the end of bytes (value untouched). Most varints (serial
// types, small sizes) are one byte: read here, inline.
inline size_t ReadVarint(std::span<const uint8_t> bytes, uint64_t& value) {
  if (!bytes.empty() && bytes[0] < 0x80) {
    value = bytes[0];
    return 1;
  }
  return ReadLongVarint(bytes, value);
}

// Body size of a serial type; 0 for the reserved types 10 and 11.
inline uint64_t SerialTypeBodySize(uint64_t serialType) {
  constexpr uint64_t kSmall = 0x8864'3210ull;  // 4 bits a type: 0,1,2,3,4,6,8,8,0..
  if (serialType < 12) return (kSmall >> (4 * serialType)) & 15;
  return (serialType - 12) / 2;
}

// True for every serial type a database may hold (not 10, not 11).
inline bool IsValidSerialType(uint64_t serialType) { return serialType != 10 && serialType != 11; }

// Signed big-endian integer of 1 to 8 bytes (sign-extended from the first byte).
int64_t ReadBigEndianSigned(std::span<const uint8_t> bytes);

inline uint32_t ReadU16(const uint8_t* p) { return (uint32_t{p[0]} << 8) | p[1]; }
inline uint32_t ReadU32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// ----- Values and records ----------------------------------------------------------------------

enum class ValueType : uint8_t {
  kNull,
  kInteger,
  kReal,
  kText,
  kBlob,
  kLost,  // a carved record whose bytes for this column did not survive
};

// Bit for a value type in a type mask (TableShape in carve.h keeps such masks per column).
inline constexpr uint8_t ValueTypeBit(ValueType t) { return uint8_t(1u << unsigned(t)); }

// One column value. Text is always UTF-8 (texts of UTF-16 files are converted); text and blob
// bytes point into the page, the assembled payload or the record's own storage, and stay valid
// only while the record they belong to is unchanged (for ScanTable: during the callback).
struct Value {
  ValueType type = ValueType::kNull;
  uint64_t serialType = 0;  // as stored; 0 for kNull, undefined for kLost
  int64_t integer = 0;      // kInteger (serial types 1-6, 8, 9)
  double real = 0;          // kReal (serial type 7)
  std::string_view bytes;   // kText (UTF-8) and kBlob
  bool truncated = false;   // text/blob of a carved record cut at the end of its buffer

  bool IsNull() const { return type == ValueType::kNull; }
  bool IsLost() const { return type == ValueType::kLost; }
  bool IsInteger() const { return type == ValueType::kInteger; }
  bool IsReal() const { return type == ValueType::kReal; }
  bool IsText() const { return type == ValueType::kText; }
  bool IsBlob() const { return type == ValueType::kBlob; }
  std::string_view Text() const { return type == ValueType::kText ? bytes : std::string_view{}; }
  std::span<const uint8_t> Blob() const {
    return {reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()};
  }
  // Integer or real as a 64-bit integer (reals truncated toward zero, clamped); 0 otherwise.
  int64_t AsInt64() const;
  // Integer or real as a double; 0 otherwise.
  double AsDouble() const;
};

// A decoded record: its rowid and one value per column.
struct Record {
  std::optional<int64_t> rowid;  // absent when it did not survive (carved records)
  uint32_t headerSize = 0;       // record header bytes incl. its size varint; 0 when rebuilt
  uint32_t storedColumns = 0;    // serial types the record holds (rows from before an
                                 // ADD COLUMN hold fewer than the table declares)
  std::vector<Value> values;     // values[i] is column i (0-based, in CREATE TABLE order)
  // Storage of converted (UTF-16 -> UTF-8) texts. Each text has its own allocation, so the
  // views stay valid when the record moves; a record cannot be copied (views would dangle).
  std::vector<std::unique_ptr<std::string>> ownedText;

  Record() = default;
  Record(Record&&) noexcept = default;
  Record& operator=(Record&&) noexcept = default;
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  size_t ColumnCount() const { return values.size(); }
  // Column i; a NULL value for columns past the end (as SQLite reads absent columns).
  const Value& operator[](size_t i) const;
  void Clear();
};

enum class TextEncoding : uint8_t { kUtf8 = 1, kUtf16le = 2, kUtf16be = 3 };

// Fills v from serial type serialType and its body bytes (fewer than the type's size for a text
// or blob cut short); UTF-16 texts are converted into owner.ownedText.
void DecodeValue(uint64_t serialType, std::span<const uint8_t> body, TextEncoding encoding,
                 Record& owner, Value& v);

// Decodes a complete record payload strictly: false when the header or any column body runs
// past the payload or a serial type is reserved. out.rowid is left as it was.
// maxColumns stops after that many columns (storedColumns then counts only those).
bool DecodeRecord(std::span<const uint8_t> payload, TextEncoding encoding, Record& out,
                  uint32_t maxColumns = 0xffffffffu);

// ----- Pages -----------------------------------------------------------------------------------

enum class PageType : uint8_t {
  kIndexInterior = 2,
  kTableInterior = 5,
  kIndexLeaf = 10,
  kTableLeaf = 13,
};

// Typed view of one b-tree page; every field was checked against the page's bytes.
struct PageView {
  std::span<const uint8_t> bytes;  // the whole page (page size bytes)
  uint32_t pageNumber = 0;         // 1-based
  uint32_t usableSize = 0;         // page size minus reserved bytes
  uint32_t headerOffset = 0;       // 100 on page 1, else 0
  PageType type = PageType::kTableLeaf;
  uint32_t firstFreeblock = 0;  // 0: none
  uint32_t cellCount = 0;
  uint32_t contentStart = 0;  // start of the cell content area (0 in the file = 65536)
  uint32_t fragmentedBytes = 0;
  uint32_t rightChild = 0;          // interior pages only
  uint32_t pointerArrayOffset = 0;  // first cell pointer: headerOffset + 8 or + 12

  bool IsLeaf() const { return type == PageType::kTableLeaf || type == PageType::kIndexLeaf; }
  bool IsTable() const { return type == PageType::kTableLeaf || type == PageType::kTableInterior; }
  // End of the cell pointer array (first byte of the unallocated gap).
  uint32_t PointerArrayEnd() const { return pointerArrayOffset + 2 * cellCount; }
  // Cell pointer i (i < cellCount); the bytes were checked by ParsePageView.
  uint32_t CellPointer(uint32_t i) const {
    return ReadU16(bytes.data() + pointerArrayOffset + 2 * i);
  }
};

// Parses the page header. False when the type byte is not a b-tree page type or the header and
// pointer array do not fit in the usable size. Cell pointers themselves are checked per cell.
bool ParsePageView(std::span<const uint8_t> page, uint32_t pageNumber, uint32_t usableSize,
                   PageView& out);

// A table leaf cell as laid out in its page.
struct TableLeafCell {
  uint32_t offset = 0;       // page offset of the cell
  uint64_t payloadSize = 0;  // whole payload, local and overflow
  int64_t rowid = 0;
  uint32_t payloadOffset = 0;  // page offset of the first payload byte
  uint32_t localSize = 0;      // payload bytes stored in the page
  uint32_t firstOverflow = 0;  // first overflow page number; 0 when the payload is all local
  uint32_t cellSize = 0;       // bytes the cell occupies in the page (overflow pointer included)
};

// Local payload bytes of a table leaf (or index, when isIndex) cell with payloadSize bytes.
uint32_t LocalPayloadSize(uint64_t payloadSize, uint32_t usableSize, bool isIndex = false);

// Parses the table leaf cell at page offset `offset` of a table leaf page. False when its
// varints or local payload run past the usable size.
bool ParseTableLeafCell(const PageView& page, uint32_t offset, TableLeafCell& out);

// ----- Schema ----------------------------------------------------------------------------------

// One row of sqlite_master.
struct SchemaEntry {
  std::string type;  // "table", "index", "view", "trigger"
  std::string name;
  std::string tableName;
  uint32_t rootPage = 0;  // 0 for views, triggers and virtual tables
  std::string sql;
};

// The declared DEFAULT of a column: what SQLite gives for a record stored before the column
// was added (records shorter than the table). Constant defaults only; kNull otherwise.
struct ColumnDefault {
  ValueType type = ValueType::kNull;  // kNull, kInteger, kReal, kText or kBlob
  int64_t integer = 0;
  double real = 0;
  std::string bytes;  // text (UTF-8) or blob
};

// A table as its CREATE TABLE text declares it.
struct TableSchema {
  std::string name;
  uint32_t rootPage = 0;
  std::vector<std::string> columns;        // column names in declaration order
  std::vector<std::string> declaredTypes;  // declared type text per column ("" when none)
  uint32_t declaredColumnCount = 0;        // columns.size(); 0 when the text could not be parsed
  int32_t rowidColumn = -1;                // INTEGER PRIMARY KEY column (stored as NULL), or -1
  bool withoutRowid = false;               // WITHOUT ROWID tables are index b-trees
  std::vector<ColumnDefault> defaults;     // per column, with the declared affinity applied
  // WITHOUT ROWID: the declared column of each stored field (the primary key's columns first,
  // in key order, then the others as declared). Empty for rowid tables.
  std::vector<uint32_t> storedOrder;
  bool virtualTable = false;
  bool parsed = false;  // the CREATE TABLE text was understood

  // Index of a column by name (case-insensitive, as SQLite compares them), or -1.
  int32_t ColumnIndex(std::string_view column) const;
};

// Affinity of a declared column type, by SQLite's rules: 'I'nteger, 'T'ext, 'B'lob (none),
// 'R'eal, 'N'umeric.
char DeclaredAffinity(std::string_view declaredType);

// Parses a CREATE TABLE statement: column names, declared types, INTEGER PRIMARY KEY,
// WITHOUT ROWID. Handles quoted names ("", [], ``, ''), comments and table constraints.
// False when the text is not a CREATE TABLE statement it understands.
bool ParseCreateTable(std::string_view sql, TableSchema& out);

// ----- Faults ----------------------------------------------------------------------------------

// Where the strict reader met bytes that break the file format.
struct Fault {
  uint32_t page = 0;    // 1-based page number, 0 when not page-bound
  uint32_t offset = 0;  // offset within the page (or the file, when page is 0)
  std::string what;
};

// ----- Write-ahead log ---------------------------------------------------------------------------

enum class WalFrameState : uint8_t {
  kCurrent,           // the newest committed frame of its page: part of the database read
  kSuperseded,        // a committed frame a later committed frame of the same page replaced
  kUncommitted,       // a valid frame after the last commit (no transaction finished it)
  kEarlierGeneration, // a frame of the log before a checkpoint restarted it
};

struct WalFrame {
  uint32_t index = 0;  // 1-based position in the log
  uint32_t page = 0;   // page number the frame holds
  uint32_t commitSize = 0;
  WalFrameState state = WalFrameState::kCurrent;
};

// Where the write-ahead log of a database lies when it is not NAME-wal beside it (a backup
// keeps both under hashed names). Process-wide; Open consults it for every path.
void SetWalLocation(const std::string& databasePath, const std::string& walPath);
// The log path Open uses for a database: the registered one, else databasePath + "-wal".
std::string WalLocation(const std::string& databasePath);

struct SqliteOpenOptions {
  bool readWal = true;  // apply the committed frames of the write-ahead log when there is one
  std::string walPath;  // empty: WalLocation(path)
};

// ----- The reader ------------------------------------------------------------------------------

// One reader per extraction, used by one thread at a time. Page numbers are 1-based throughout.
class CSqliteFileReader {
 public:
  CSqliteFileReader();
  ~CSqliteFileReader();
  CSqliteFileReader(const CSqliteFileReader&) = delete;
  CSqliteFileReader& operator=(const CSqliteFileReader&) = delete;

  // Counts and switches that the decoders read and learn. They carry over when Open is called
  // again on another file.
  uint64_t MaxRowid = 0;                    // largest message rowid met by the message decoder
  uint64_t ContactsExportRowid = 0;         // largest rowid met by the contacts decoder
  int32_t WaMessageColumnCount = 28;        // expected columns of ZWAMESSAGE (set by the extractor)
  int32_t CallTableKind = 0;                // 0: old `call` table; 1: ZCALLRECORD
  int32_t SchemaVariantFlag = 0;            // non-zero selects the newer column layouts
  int32_t CurrentColumnCount = 0;           // last result of ExpectedColumnCount
  std::string TableName;                    // table being decoded
  std::vector<uint32_t> FreelistLeafPages;  // freelist leaf page numbers, in freelist order
  std::string PeerFilter;                   // QQ peer filter (UTF-8); empty: no filter
  int32_t CallColumnCount = 0;              // learned from live call records
  int32_t AbSearchHeaderWidth = 0;   // learned from live ABPersonFullTextSearch_content records
  int32_t MessageColumnCount = 38;   // 38 or 51, learned from live message records

  // Opens a database file read-only (closing the one open). 0; errno when it cannot be opened;
  // kSqliteInvalid when it is not an SQLite 3 file (nor a regular file: a FIFO is never waited
  // on) or its page size is not valid; ELOOP for a symbolic link (never followed). Reads the
  // header, the freelist (FreelistLeafPages, FreelistTrunkPages) and the schema table.
  // A write-ahead log found beside it (see SqliteOpenOptions) is read as SQLite reads it: its
  // committed frames lie over the main file's pages. Nothing is written: no checkpoint, no
  // -shm. A log that cannot be used (bad header, other page size) is left aside as a Fault.
  int32_t Open(const std::string& path, const SqliteOpenOptions& options = {});
  // The same over bytes in memory (tests, fuzzing); the bytes are copied. wal: the log's bytes.
  int32_t OpenMemory(std::span<const uint8_t> bytes, std::span<const uint8_t> wal = {});
  void Close();
  bool IsOpen() const;

  uint32_t PageSize() const { return pageSize_; }      // 512..65536
  uint32_t UsableSize() const { return usableSize_; }  // page size - reserved bytes
  uint32_t ReservedBytes() const { return pageSize_ - usableSize_; }
  uint32_t PageCount() const { return pageCount_; }  // pages the file holds (from its size)
  uint64_t FileSize() const { return fileSize_; }
  TextEncoding Encoding() const { return encoding_; }
  const std::vector<uint32_t>& FreelistTrunkPages() const { return freelistTrunks_; }
  // True when page is on the freelist (trunk or leaf).
  bool IsFreelistPage(uint32_t pageNumber) const;

  // Reads page pageNumber (1..PageCount()) into out (resized to the page size).
  // kSqliteReadFault beyond the end of the file or on a short read. It only reads: another
  // thread may call it while the thread that uses the reader goes on.
  int32_t ReadPage(uint32_t pageNumber, std::vector<uint8_t>& out) const;
  // Reads out.size() bytes at a 64-bit file offset; kSqliteReadFault when short.
  int32_t ReadAt(uint64_t offset, std::span<uint8_t> out) const;

  // The frames of the write-ahead log in log order (empty when none was read).
  const std::vector<WalFrame>& WalFrames() const { return walFrames_; }
  // True when committed frames of a log lie over the main file.
  bool WalApplied() const { return !walPages_.empty(); }
  // Reads the page a frame holds into out (resized to the page size).
  int32_t ReadWalFrame(const WalFrame& frame, std::vector<uint8_t>& out) const;
  // Pages of the main file that a committed frame replaced (their main-file copies are older
  // versions), ascending.
  std::vector<uint32_t> WalReplacedPages() const;
  // Reads the main file's own copy of a page, whatever the log holds for it.
  int32_t ReadMainFilePage(uint32_t pageNumber, std::vector<uint8_t>& out) const;

  // Strict walk of an index b-tree (WITHOUT ROWID tables): hands every cell's whole payload to
  // visit in key order, interior cells included (they hold rows too). page/offset say where
  // the cell lies. Guarded as WalkTableTree; returns 0, kSqliteStopped or a read fault.
  using IndexCellVisitor =
      std::function<bool(std::span<const uint8_t> payload, uint32_t page, uint32_t offset)>;
  int32_t WalkIndexTree(uint32_t rootPage, const IndexCellVisitor& visit);

  // Expected column count of a table known to the decoders (fixed table of the decoder
  // family, with the learned counts for message, ABPersonFullTextSearch_content and
  // ZWAMESSAGE); 0 for any other name. Also stored in CurrentColumnCount.
  int32_t ExpectedColumnCount(std::string_view table);

  // Schema table rows (read at Open; empty when page 1 holds no readable schema).
  const std::vector<SchemaEntry>& Schema() const { return schema_; }
  // Tables with their parsed CREATE TABLE text, in schema order.
  const std::vector<TableSchema>& Tables() const { return tables_; }
  // A table by name (case-insensitive); nullptr when the schema has no such table.
  const TableSchema* FindTable(std::string_view name) const;
  // Root page numbers of the rows of sqlite_master whose name equals the table name exactly
  // (the table itself; indexes are not included). Empty when none.
  std::vector<uint32_t> FindRootPages(std::string_view table) const;

  // Strict walk of a table b-tree from its root, handing every leaf page to visit in key order
  // (visit returns false to stop: the walk then returns kSqliteStopped). Guarded against
  // cycles, pages beyond the file and depth; a page that is not a table b-tree page is recorded
  // as a Fault and skipped. Returns 0, or the read fault that ended the walk.
  // visitInterior, when given, sees every interior page before its children.
  using LeafVisitor = std::function<bool(const PageView& leaf)>;
  int32_t WalkTableTree(uint32_t rootPage, const LeafVisitor& visit,
                        const LeafVisitor& visitInterior = nullptr);

  // Strict walk of a table b-tree from its root: appends the leaf page numbers in key order.
  // Guarded against cycles, pages beyond the file and depth; a bad page is recorded as a
  // Fault and skipped. Returns 0, or the read fault that ended the walk.
  int32_t CollectLeafPages(uint32_t rootPage, std::vector<uint32_t>& leaves);

  // The whole payload of a table leaf cell: the local bytes followed by its overflow chain,
  // which is followed for exactly the bytes the payload needs. false (and a Fault) when the
  // chain is broken, loops or leaves the file; out then holds what could be read.
  bool AssemblePayload(const PageView& page, const TableLeafCell& cell, std::vector<uint8_t>& out);

  // Faults met since Open (bounded; the first ones are kept).
  const std::vector<Fault>& Faults() const { return faults_; }
  void AddFault(uint32_t page, uint32_t offset, std::string what);

 private:
  int32_t OpenBytes();
  void LoadWal();
  int32_t ReadWalAt(uint64_t offset, std::span<uint8_t> out) const;
  void LoadFreelist();
  void LoadSchema();

  int fd_ = -1;
  std::vector<uint8_t> memory_;  // OpenMemory's copy
  bool inMemory_ = false;
  bool open_ = false;
  uint32_t pageSize_ = 0;
  uint32_t usableSize_ = 0;
  uint32_t pageCount_ = 0;
  uint64_t fileSize_ = 0;
  TextEncoding encoding_ = TextEncoding::kUtf8;
  std::vector<uint32_t> freelistTrunks_;
  std::vector<uint8_t> freelistMask_;  // one byte per page: 1 leaf, 2 trunk
  std::vector<SchemaEntry> schema_;
  std::vector<TableSchema> tables_;
  std::vector<Fault> faults_;
  std::vector<uint8_t> overflowPage_;  // AssemblePayload's page buffer
  std::vector<uint8_t> overflowSeen_;  // AssemblePayload's loop marks, one byte per page
  // Write-ahead log: its file (or bytes), frames, and the log offset of each page's newest
  // committed frame.
  int walFd_ = -1;
  std::vector<uint8_t> walMemory_;
  uint64_t walSize_ = 0;
  std::vector<WalFrame> walFrames_;
  std::unordered_map<uint32_t, uint64_t> walPages_;
  uint32_t mainPageCount_ = 0;  // pages the main file holds
};

}  // namespace halvern
