// The strict reader: file header, pages, cells, records, freelist and schema table.
#include "sqlite_recovery/reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <mutex>

#include "sqlite_recovery/text.h"

namespace halvern {
namespace {

// Reads all of `out` from `offset` of a file (retrying short reads and interrupted calls); a
// read that ends early or fails is a short read.
int32_t ReadFully(int fd, uint64_t offset, std::span<uint8_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t r =
        ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return kSqliteReadFault;
    done += static_cast<size_t>(r);
  }
  return kSqliteOk;
}

constexpr char kMagic[16] = {'S', 'Q', 'L', 'i', 't', 'e', ' ', 'f',
                             'o', 'r', 'm', 'a', 't', ' ', '3', '\0'};
constexpr size_t kMaxFaults = 1000;
// SQLite itself never builds b-trees deeper than 20 levels; anything deeper is a loop or junk.
constexpr int kMaxTreeDepth = 40;

const Value kNullValue{};

constexpr uint32_t kWalHeaderSize = 32;
constexpr uint32_t kWalFrameHeaderSize = 24;

// The log's running checksum over words of `bytes` (a multiple of 8 bytes).
void WalChecksum(bool bigEndian, std::span<const uint8_t> bytes, uint32_t& s0, uint32_t& s1) {
  const uint8_t* p = bytes.data();
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    uint32_t x0, x1;
    if (bigEndian) {
      x0 = ReadU32(p + i);
      x1 = ReadU32(p + i + 4);
    } else {
      x0 = uint32_t{p[i]} | uint32_t{p[i + 1]} << 8 | uint32_t{p[i + 2]} << 16 |
           uint32_t{p[i + 3]} << 24;
      x1 = uint32_t{p[i + 4]} | uint32_t{p[i + 5]} << 8 | uint32_t{p[i + 6]} << 16 |
           uint32_t{p[i + 7]} << 24;
    }
    s0 += x0 + s1;
    s1 += x1 + s0;
  }
}

std::mutex& WalLocationsMutex() {
  static std::mutex m;
  return m;
}
std::map<std::string, std::string>& WalLocations() {
  static std::map<std::string, std::string> m;
  return m;
}

}  // namespace

void SetWalLocation(const std::string& databasePath, const std::string& walPath) {
  std::lock_guard<std::mutex> lock(WalLocationsMutex());
  WalLocations()[databasePath] = walPath;
}

std::string WalLocation(const std::string& databasePath) {
  std::lock_guard<std::mutex> lock(WalLocationsMutex());
  const auto it = WalLocations().find(databasePath);
  return it != WalLocations().end() ? it->second : databasePath + "-wal";
}

// ----- Varints and serial types ----------------------------------------------------------------

size_t ReadLongVarint(std::span<const uint8_t> bytes, uint64_t& value) {
  const size_t n = bytes.size();
  uint64_t v = 0;
  for (size_t i = 0; i < 8; ++i) {
    if (i >= n) return 0;
    const uint8_t b = bytes[i];
    v = (v << 7) | (b & 0x7f);
    if ((b & 0x80) == 0) {
      value = v;
      return i + 1;
    }
  }
  if (n < 9) return 0;
  value = (v << 8) | bytes[8];  // the ninth byte gives all eight of its bits
  return 9;
}

int64_t ReadBigEndianSigned(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return 0;
  uint64_t v = (bytes[0] & 0x80) ? ~uint64_t{0} : 0;
  for (uint8_t b : bytes) v = (v << 8) | b;
  return static_cast<int64_t>(v);
}

int64_t Value::AsInt64() const {
  if (type == ValueType::kInteger) return integer;
  if (type == ValueType::kReal) {
    if (std::isnan(real)) return 0;
    if (real >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
    if (real <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(real);
  }
  return 0;
}

double Value::AsDouble() const {
  if (type == ValueType::kReal) return real;
  if (type == ValueType::kInteger) return static_cast<double>(integer);
  return 0;
}

const Value& Record::operator[](size_t i) const {
  return i < values.size() ? values[i] : kNullValue;
}

void Record::Clear() {
  rowid.reset();
  headerSize = 0;
  storedColumns = 0;
  values.clear();
  ownedText.clear();
}

// Fills v from serial type t and its body bytes (body.size() == SerialTypeBodySize(t), or
// fewer for a truncated carved text or blob).
void DecodeValue(uint64_t t, std::span<const uint8_t> body, TextEncoding encoding, Record& owner,
                 Value& v) {
  v = Value{};
  v.serialType = t;
  switch (t) {
    case 0:
      v.type = ValueType::kNull;
      return;
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 6:
      v.type = ValueType::kInteger;
      v.integer = ReadBigEndianSigned(body);
      return;
    case 7: {
      v.type = ValueType::kReal;
      uint64_t bits = 0;
      for (uint8_t b : body) bits = (bits << 8) | b;
      std::memcpy(&v.real, &bits, sizeof bits);
      return;
    }
    case 8:
    case 9:
      v.type = ValueType::kInteger;
      v.integer = int64_t(t - 8);
      return;
    case 10:
    case 11:
      v.type = ValueType::kLost;
      return;
    default:
      break;
  }
  const char* data = reinterpret_cast<const char*>(body.data());
  if (t % 2 == 0) {
    v.type = ValueType::kBlob;
    v.bytes = std::string_view(data, body.size());
    return;
  }
  v.type = ValueType::kText;
  if (encoding == TextEncoding::kUtf8) {
    v.bytes = std::string_view(data, body.size());
  } else {
    std::string& s = *owner.ownedText.emplace_back(std::make_unique<std::string>());
    Utf16ToUtf8(body, encoding == TextEncoding::kUtf16be, s);
    v.bytes = s;
  }
}

bool DecodeRecord(std::span<const uint8_t> payload, TextEncoding encoding, Record& out,
                  uint32_t maxColumns) {
  out.values.clear();
  out.ownedText.clear();
  out.storedColumns = 0;
  uint64_t headerSize = 0;
  const size_t hl = ReadVarint(payload, headerSize);
  if (hl == 0 || headerSize < hl || headerSize > payload.size()) return false;
  out.headerSize = static_cast<uint32_t>(headerSize);
  size_t pos = hl;
  uint64_t body = headerSize;
  const std::span<const uint8_t> header = payload.first(headerSize);
  while (pos < headerSize && out.values.size() < maxColumns) {
    uint64_t t = 0;
    const size_t l = ReadVarint(header.subspan(pos), t);
    if (l == 0 || !IsValidSerialType(t)) return false;
    pos += l;
    const uint64_t size = SerialTypeBodySize(t);
    if (size > payload.size() - body) return false;
    Value& v = out.values.emplace_back();
    // The common types here, the others (and UTF-16 texts) through DecodeValue.
    const uint8_t* bytes = payload.data() + body;
    if (t == 0) {
    } else if (t <= 6) {
      v.serialType = t;
      v.type = ValueType::kInteger;
      uint64_t x = (bytes[0] & 0x80) ? ~uint64_t{0} : 0;
      for (uint64_t k = 0; k < size; ++k) x = (x << 8) | bytes[k];
      v.integer = static_cast<int64_t>(x);
    } else if (t >= 12 && (t % 2 == 0 || encoding == TextEncoding::kUtf8)) {
      v.serialType = t;
      v.type = t % 2 == 0 ? ValueType::kBlob : ValueType::kText;
      v.bytes = std::string_view(reinterpret_cast<const char*>(bytes), static_cast<size_t>(size));
    } else {
      DecodeValue(t, payload.subspan(body, size), encoding, out, v);
    }
    body += size;
  }
  out.storedColumns = static_cast<uint32_t>(out.values.size());
  return true;
}

// ----- Pages and cells -------------------------------------------------------------------------

bool ParsePageView(std::span<const uint8_t> page, uint32_t pageNumber, uint32_t usableSize,
                   PageView& out) {
  if (usableSize > page.size()) return false;
  const uint32_t h = pageNumber == 1 ? 100 : 0;
  if (h + 8 > usableSize) return false;
  const uint8_t* p = page.data() + h;
  const uint8_t type = p[0];
  if (type != 2 && type != 5 && type != 10 && type != 13) return false;
  out.bytes = page;
  out.pageNumber = pageNumber;
  out.usableSize = usableSize;
  out.headerOffset = h;
  out.type = static_cast<PageType>(type);
  out.firstFreeblock = ReadU16(p + 1);
  out.cellCount = ReadU16(p + 3);
  const uint32_t content = ReadU16(p + 5);
  out.contentStart = content == 0 ? 65536 : content;
  out.fragmentedBytes = p[7];
  const bool interior = type == 2 || type == 5;
  if (interior) {
    if (h + 12 > usableSize) return false;
    out.rightChild = ReadU32(p + 8);
  } else {
    out.rightChild = 0;
  }
  out.pointerArrayOffset = h + (interior ? 12 : 8);
  return out.PointerArrayEnd() <= usableSize;
}

uint32_t LocalPayloadSize(uint64_t payloadSize, uint32_t usableSize, bool isIndex) {
  const uint64_t u = usableSize;
  const uint64_t maxLocal = isIndex ? ((u - 12) * 64 / 255) - 23 : u - 35;
  if (payloadSize <= maxLocal) return static_cast<uint32_t>(payloadSize);
  const uint64_t minLocal = ((u - 12) * 32 / 255) - 23;
  const uint64_t k = minLocal + ((payloadSize - minLocal) % (u - 4));
  return static_cast<uint32_t>(k <= maxLocal ? k : minLocal);
}

bool ParseTableLeafCell(const PageView& page, uint32_t offset, TableLeafCell& out) {
  const uint32_t u = page.usableSize;
  if (offset < page.PointerArrayEnd() || offset >= u) return false;
  const std::span<const uint8_t> area = page.bytes.subspan(offset, u - offset);
  uint64_t payload = 0;
  uint64_t rowid = 0;
  const size_t a = ReadVarint(area, payload);
  if (a == 0) return false;
  const size_t b = ReadVarint(area.subspan(a), rowid);
  if (b == 0) return false;
  const uint32_t local = LocalPayloadSize(payload, u);
  const uint64_t end = a + b + uint64_t{local} + (local < payload ? 4 : 0);
  if (end > area.size()) return false;
  out.offset = offset;
  out.payloadSize = payload;
  out.rowid = static_cast<int64_t>(rowid);
  out.payloadOffset = offset + static_cast<uint32_t>(a + b);
  out.localSize = local;
  out.firstOverflow = local < payload ? ReadU32(area.data() + a + b + local) : 0;
  out.cellSize = static_cast<uint32_t>(end);
  return true;
}

// ----- Schema helpers ----------------------------------------------------------------------------

int32_t TableSchema::ColumnIndex(std::string_view column) const {
  for (size_t i = 0; i < columns.size(); ++i) {
    if (EqualsIgnoreCase(columns[i], column)) return static_cast<int32_t>(i);
  }
  return -1;
}

// ----- The reader ------------------------------------------------------------------------------

CSqliteFileReader::CSqliteFileReader() = default;

CSqliteFileReader::~CSqliteFileReader() { Close(); }

void CSqliteFileReader::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  memory_.clear();
  memory_.shrink_to_fit();
  inMemory_ = false;
  open_ = false;
  pageSize_ = usableSize_ = pageCount_ = 0;
  fileSize_ = 0;
  encoding_ = TextEncoding::kUtf8;
  FreelistLeafPages.clear();
  freelistTrunks_.clear();
  freelistMask_.clear();
  schema_.clear();
  tables_.clear();
  faults_.clear();
  overflowSeen_.clear();
  if (walFd_ >= 0) ::close(walFd_);
  walFd_ = -1;
  walMemory_.clear();
  walMemory_.shrink_to_fit();
  walSize_ = 0;
  walFrames_.clear();
  walPages_.clear();
  mainPageCount_ = 0;
}

bool CSqliteFileReader::IsOpen() const { return open_; }

int32_t CSqliteFileReader::Open(const std::string& path, const SqliteOpenOptions& options) {
  Close();
  if (options.readWal) {
    const std::string wal = options.walPath.empty() ? WalLocation(path) : options.walPath;
    const int w = ::open(wal.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    struct stat ws {};
    if (w >= 0 && ::fstat(w, &ws) == 0 && S_ISREG(ws.st_mode)) {
      walFd_ = w;
      walSize_ = static_cast<uint64_t>(ws.st_size);
    } else if (w >= 0) {
      ::close(w);
    }
  }
  // O_NONBLOCK: a FIFO in a database's place must not block the open (it is refused below as
  // not a regular file). O_NOFOLLOW: a database is never read through a symbolic link, which
  // could lead out of the backup.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0) {
    const int32_t e = errno != 0 ? errno : kSqliteInvalid;
    Close();
    return e;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const int32_t e = S_ISREG(st.st_mode) ? errno : kSqliteInvalid;
    ::close(fd);
    Close();
    return e;
  }
  fd_ = fd;
  fileSize_ = static_cast<uint64_t>(st.st_size);
  return OpenBytes();
}

int32_t CSqliteFileReader::OpenMemory(std::span<const uint8_t> bytes,
                                      std::span<const uint8_t> wal) {
  Close();
  walMemory_.assign(wal.begin(), wal.end());
  walSize_ = walMemory_.size();
  memory_.assign(bytes.begin(), bytes.end());
  inMemory_ = true;
  fileSize_ = memory_.size();
  return OpenBytes();
}

int32_t CSqliteFileReader::OpenBytes() {
  uint8_t header[100] = {};
  const size_t have = static_cast<size_t>(std::min<uint64_t>(fileSize_, sizeof header));
  if (have < 16 || ReadAt(0, std::span<uint8_t>(header, have)) != kSqliteOk ||
      std::memcmp(header, kMagic, 16) != 0) {
    Close();
    return kSqliteInvalid;
  }
  uint32_t pageSize = ReadU16(header + 16);
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0) {
    Close();
    return kSqliteInvalid;
  }
  const uint32_t reserved = header[20];
  if (pageSize - reserved < 480) {
    Close();
    return kSqliteInvalid;
  }
  pageSize_ = pageSize;
  usableSize_ = pageSize - reserved;
  const uint64_t pages = (fileSize_ + pageSize - 1) / pageSize;
  pageCount_ = static_cast<uint32_t>(std::min<uint64_t>(pages, 0xffffffffu));
  mainPageCount_ = pageCount_;
  open_ = true;
  LoadWal();
  // Page 1 of the log, when it has one, holds the header as the database knows it now.
  if (walPages_.count(1) != 0) {
    std::vector<uint8_t> first;
    if (ReadPage(1, first) == kSqliteOk) std::memcpy(header, first.data(), sizeof header);
  }
  const uint32_t enc = ReadU32(header + 56);
  encoding_ = (enc == 2 || enc == 3) ? static_cast<TextEncoding>(enc) : TextEncoding::kUtf8;
  if (enc > 3) AddFault(1, 56, "unknown text encoding; read as UTF-8");
  LoadFreelist();
  LoadSchema();
  return kSqliteOk;
}

int32_t CSqliteFileReader::ReadAt(uint64_t offset, std::span<uint8_t> out) const {
  if (out.empty()) return kSqliteOk;
  if (offset > fileSize_ || out.size() > fileSize_ - offset) return kSqliteReadFault;
  if (inMemory_) {
    std::memcpy(out.data(), memory_.data() + offset, out.size());
    return kSqliteOk;
  }
  if (fd_ < 0) return kSqliteInvalid;
  return ReadFully(fd_, offset, out);
}

void CSqliteFileReader::LoadWal() {
  walFrames_.clear();
  walPages_.clear();
  if (walSize_ == 0) return;
  uint8_t h[kWalHeaderSize];
  if (walSize_ < kWalHeaderSize || ReadWalAt(0, h) != kSqliteOk) {
    AddFault(0, 0, "write-ahead log shorter than its header; main file read alone");
    return;
  }
  const uint32_t magic = ReadU32(h);
  uint32_t walPageSize = ReadU32(h + 8);
  if (walPageSize == 1) walPageSize = 65536;
  if ((magic & 0xfffffffeu) != 0x377f0682u || ReadU32(h + 4) != 3007000u) {
    AddFault(0, 0, "write-ahead log header not valid; main file read alone");
    return;
  }
  if (walPageSize != pageSize_) {
    AddFault(0, 8, "write-ahead log of another page size; main file read alone");
    return;
  }
  const bool bigEndian = (magic & 1) != 0;
  uint32_t s0 = 0, s1 = 0;
  WalChecksum(bigEndian, std::span<const uint8_t>(h, 24), s0, s1);
  if (s0 != ReadU32(h + 24) || s1 != ReadU32(h + 28)) {
    AddFault(0, 24, "write-ahead log header checksum wrong; main file read alone");
    return;
  }
  const uint32_t salt1 = ReadU32(h + 16);
  const uint32_t salt2 = ReadU32(h + 20);
  const uint64_t frameSize = uint64_t{kWalFrameHeaderSize} + pageSize_;
  const uint64_t frames = (walSize_ - kWalHeaderSize) / frameSize;
  std::vector<uint8_t> frame(static_cast<size_t>(frameSize));
  bool valid = true;
  size_t lastCommit = 0;  // frames [0, lastCommit) are committed
  uint32_t commitSize = 0;
  uint32_t earlierSalt2 = 0;
  bool earlierSeen = false;
  for (uint64_t i = 0; i < frames && i < 0xffffffffu; ++i) {
    if (ReadWalAt(kWalHeaderSize + i * frameSize, frame) != kSqliteOk) break;
    const uint32_t page = ReadU32(frame.data());
    const uint32_t commit = ReadU32(frame.data() + 4);
    const uint32_t f1 = ReadU32(frame.data() + 8);
    const uint32_t f2 = ReadU32(frame.data() + 12);
    WalFrame wf;
    wf.index = static_cast<uint32_t>(i + 1);
    wf.page = page;
    wf.commitSize = commit;
    if (valid) {
      uint32_t c0 = s0, c1 = s1;
      WalChecksum(bigEndian, std::span<const uint8_t>(frame.data(), 8), c0, c1);
      WalChecksum(bigEndian, std::span<const uint8_t>(frame.data() + kWalFrameHeaderSize, pageSize_),
                  c0, c1);
      if (page != 0 && f1 == salt1 && f2 == salt2 && c0 == ReadU32(frame.data() + 16) &&
          c1 == ReadU32(frame.data() + 20)) {
        s0 = c0;
        s1 = c1;
        wf.state = WalFrameState::kUncommitted;
        walFrames_.push_back(wf);
        if (commit != 0) {
          lastCommit = walFrames_.size();
          commitSize = commit;
        }
        continue;
      }
      valid = false;
    }
    // Past the valid frames: frames of the generation before the last restart of the log.
    if (page == 0 || f1 != salt1 - 1 || (earlierSeen && f2 != earlierSalt2)) continue;
    earlierSeen = true;
    earlierSalt2 = f2;
    wf.state = WalFrameState::kEarlierGeneration;
    walFrames_.push_back(wf);
  }
  if (lastCommit == 0) return;
  // The newest committed frame of each page is the page; earlier ones are superseded.
  for (size_t i = 0; i < lastCommit; ++i) {
    WalFrame& wf = walFrames_[i];
    wf.state = WalFrameState::kCurrent;
    if (wf.page > commitSize) {
      wf.state = WalFrameState::kSuperseded;  // the database was truncated below it
      continue;
    }
    const uint64_t offset = kWalHeaderSize + uint64_t{wf.index - 1} * frameSize +
                            kWalFrameHeaderSize;
    auto [it, inserted] = walPages_.try_emplace(wf.page, offset);
    if (!inserted) {
      walFrames_[(it->second - kWalHeaderSize) / frameSize].state = WalFrameState::kSuperseded;
      it->second = offset;
    }
  }
  pageCount_ = commitSize;
}

int32_t CSqliteFileReader::ReadWalAt(uint64_t offset, std::span<uint8_t> out) const {
  if (out.empty()) return kSqliteOk;
  if (offset > walSize_ || out.size() > walSize_ - offset) return kSqliteReadFault;
  if (walFd_ < 0) {
    if (walMemory_.size() < walSize_) return kSqliteReadFault;
    std::memcpy(out.data(), walMemory_.data() + offset, out.size());
    return kSqliteOk;
  }
  return ReadFully(walFd_, offset, out);
}

int32_t CSqliteFileReader::ReadWalFrame(const WalFrame& frame, std::vector<uint8_t>& out) const {
  if (!open_ || frame.index == 0) return kSqliteInvalid;
  out.resize(pageSize_);
  const uint64_t offset = kWalHeaderSize +
                          uint64_t{frame.index - 1} * (kWalFrameHeaderSize + pageSize_) +
                          kWalFrameHeaderSize;
  return ReadWalAt(offset, out);
}

std::vector<uint32_t> CSqliteFileReader::WalReplacedPages() const {
  std::vector<uint32_t> pages;
  for (const auto& [page, offset] : walPages_) {
    if (page <= mainPageCount_) pages.push_back(page);
  }
  std::sort(pages.begin(), pages.end());
  return pages;
}

int32_t CSqliteFileReader::ReadMainFilePage(uint32_t pageNumber, std::vector<uint8_t>& out) const {
  if (!open_) return kSqliteInvalid;
  if (pageNumber == 0 || pageNumber > mainPageCount_) return kSqliteReadFault;
  out.resize(pageSize_);
  const uint64_t offset = uint64_t{pageNumber - 1} * pageSize_;
  const uint64_t have = std::min<uint64_t>(pageSize_, fileSize_ - offset);
  if (have < pageSize_) std::fill(out.begin() + static_cast<ptrdiff_t>(have), out.end(), 0);
  return ReadAt(offset, std::span<uint8_t>(out.data(), static_cast<size_t>(have)));
}

int32_t CSqliteFileReader::ReadPage(uint32_t pageNumber, std::vector<uint8_t>& out) const {
  if (!open_) return kSqliteInvalid;
  if (pageNumber == 0 || pageNumber > pageCount_) return kSqliteReadFault;
  out.resize(pageSize_);
  if (!walPages_.empty()) {
    const auto it = walPages_.find(pageNumber);
    if (it != walPages_.end()) return ReadWalAt(it->second, out);
    if (pageNumber > mainPageCount_) {
      // A page the log's commit counts but neither file holds reads as zero, as in SQLite.
      std::fill(out.begin(), out.end(), 0);
      return kSqliteOk;
    }
  }
  const uint64_t offset = uint64_t{pageNumber - 1} * pageSize_;
  // The last page of a truncated file is read as far as it goes; the rest reads as zero.
  const uint64_t have = std::min<uint64_t>(pageSize_, fileSize_ - offset);
  if (have < pageSize_) std::fill(out.begin() + static_cast<ptrdiff_t>(have), out.end(), 0);
  return ReadAt(offset, std::span<uint8_t>(out.data(), static_cast<size_t>(have)));
}

bool CSqliteFileReader::IsFreelistPage(uint32_t pageNumber) const {
  return pageNumber < freelistMask_.size() && freelistMask_[pageNumber] != 0;
}

void CSqliteFileReader::AddFault(uint32_t page, uint32_t offset, std::string what) {
  if (faults_.size() < kMaxFaults) faults_.push_back(Fault{page, offset, std::move(what)});
}

void CSqliteFileReader::LoadFreelist() {
  FreelistLeafPages.clear();
  freelistTrunks_.clear();
  freelistMask_.assign(size_t{pageCount_} + 1, 0);
  std::vector<uint8_t> page;
  if (ReadPage(1, page) != kSqliteOk) return;
  uint32_t trunk = ReadU32(page.data() + 32);
  const uint32_t maxLeaves = usableSize_ / 4 - 2;
  while (trunk != 0) {
    if (trunk > pageCount_) {
      AddFault(0, 32, "freelist trunk beyond the end of the file");
      return;
    }
    if (freelistMask_[trunk] != 0) {
      AddFault(trunk, 0, "freelist trunk chain loops");
      return;
    }
    if (ReadPage(trunk, page) != kSqliteOk) return;
    freelistMask_[trunk] = 2;
    freelistTrunks_.push_back(trunk);
    uint32_t leaves = ReadU32(page.data() + 4);
    if (leaves > maxLeaves) {
      AddFault(trunk, 4, "freelist trunk announces more leaves than fit");
      leaves = maxLeaves;
    }
    for (uint32_t i = 0; i < leaves; ++i) {
      const uint32_t leaf = ReadU32(page.data() + 8 + 4 * i);
      if (leaf == 0 || leaf > pageCount_ || freelistMask_[leaf] != 0) continue;
      freelistMask_[leaf] = 1;
      FreelistLeafPages.push_back(leaf);
    }
    trunk = ReadU32(page.data());
  }
}

int32_t CSqliteFileReader::WalkTableTree(uint32_t rootPage, const LeafVisitor& visit,
                                         const LeafVisitor& visitInterior) {
  if (!open_) return kSqliteInvalid;
  struct Frame {
    uint32_t page = 0;
    std::vector<uint32_t> children;  // in key order, right child last
    size_t next = 0;
  };
  std::vector<uint8_t> seen(size_t{pageCount_} + 1, 0);
  std::vector<Frame> stack;
  std::vector<uint8_t> buffer;
  // Visits one page: a leaf goes to the visitor; an interior page pushes its children.
  auto enter = [&](uint32_t pageNumber, uint32_t parent) -> int32_t {
    if (pageNumber == 0 || pageNumber > pageCount_) {
      AddFault(parent, 0, "child page beyond the end of the file");
      return kSqliteOk;
    }
    if (seen[pageNumber]) {
      AddFault(parent, 0, "b-tree refers to a page twice (loop)");
      return kSqliteOk;
    }
    seen[pageNumber] = 1;
    const int32_t rc = ReadPage(pageNumber, buffer);
    if (rc != kSqliteOk) return rc;
    PageView view;
    if (!ParsePageView(buffer, pageNumber, usableSize_, view) || !view.IsTable()) {
      AddFault(pageNumber, 0, "not a table b-tree page");
      return kSqliteOk;
    }
    if (view.type == PageType::kTableLeaf) return visit(view) ? kSqliteOk : kSqliteStopped;
    if (visitInterior && !visitInterior(view)) return kSqliteStopped;
    if (stack.size() >= kMaxTreeDepth) {
      AddFault(pageNumber, 0, "b-tree too deep");
      return kSqliteOk;
    }
    Frame frame;
    frame.page = pageNumber;
    frame.children.reserve(view.cellCount + 1);
    for (uint32_t i = 0; i < view.cellCount; ++i) {
      const uint32_t cell = view.CellPointer(i);
      if (cell < view.PointerArrayEnd() || cell + 4 > usableSize_) {
        AddFault(pageNumber, view.pointerArrayOffset + 2 * i, "cell pointer out of bounds");
        continue;
      }
      frame.children.push_back(ReadU32(buffer.data() + cell));
    }
    frame.children.push_back(view.rightChild);
    stack.push_back(std::move(frame));
    return kSqliteOk;
  };
  int32_t rc = enter(rootPage, 0);
  while (rc == kSqliteOk && !stack.empty()) {
    Frame& top = stack.back();
    if (top.next >= top.children.size()) {
      stack.pop_back();
      continue;
    }
    const uint32_t child = top.children[top.next++];
    rc = enter(child, top.page);
  }
  return rc;
}

int32_t CSqliteFileReader::WalkIndexTree(uint32_t rootPage, const IndexCellVisitor& visit) {
  if (!open_) return kSqliteInvalid;
  std::vector<uint8_t> seen(size_t{pageCount_} + 1, 0);
  std::vector<uint8_t> payload;
  // One page: its cells in key order, each interior cell after its left child's subtree.
  std::function<int32_t(uint32_t, uint32_t, int)> walk = [&](uint32_t pageNumber, uint32_t parent,
                                                             int depth) -> int32_t {
    if (pageNumber == 0 || pageNumber > pageCount_) {
      AddFault(parent, 0, "child page beyond the end of the file");
      return kSqliteOk;
    }
    if (seen[pageNumber]) {
      AddFault(parent, 0, "b-tree refers to a page twice (loop)");
      return kSqliteOk;
    }
    if (depth >= kMaxTreeDepth) {
      AddFault(parent, 0, "b-tree too deep");
      return kSqliteOk;
    }
    seen[pageNumber] = 1;
    std::vector<uint8_t> buffer;
    const int32_t rc = ReadPage(pageNumber, buffer);
    if (rc != kSqliteOk) return rc;
    PageView view;
    if (!ParsePageView(buffer, pageNumber, usableSize_, view) || view.IsTable()) {
      AddFault(pageNumber, 0, "not an index b-tree page");
      return kSqliteOk;
    }
    const bool interior = view.type == PageType::kIndexInterior;
    for (uint32_t i = 0; i < view.cellCount; ++i) {
      const uint32_t at = view.CellPointer(i);
      const uint32_t skip = interior ? 4 : 0;
      if (at < view.PointerArrayEnd() || at + skip >= usableSize_) {
        AddFault(pageNumber, view.pointerArrayOffset + 2 * i, "cell pointer out of bounds");
        continue;
      }
      if (interior) {
        const int32_t c = walk(ReadU32(buffer.data() + at), pageNumber, depth + 1);
        if (c != kSqliteOk) return c;
      }
      TableLeafCell cell;
      uint64_t size = 0;
      const size_t n = ReadVarint(std::span<const uint8_t>(buffer).subspan(at + skip,
                                                                           usableSize_ - at - skip),
                                  size);
      const uint32_t local = n ? LocalPayloadSize(size, usableSize_, true) : 0;
      const uint64_t end = uint64_t{at} + skip + n + local + (local < size ? 4 : 0);
      if (n == 0 || end > usableSize_) {
        AddFault(pageNumber, at, "cell out of bounds");
        continue;
      }
      cell.offset = at;
      cell.payloadSize = size;
      cell.payloadOffset = at + skip + static_cast<uint32_t>(n);
      cell.localSize = local;
      cell.firstOverflow = local < size ? ReadU32(buffer.data() + cell.payloadOffset + local) : 0;
      std::span<const uint8_t> bytes;
      if (cell.firstOverflow == 0) {
        bytes = std::span<const uint8_t>(buffer).subspan(cell.payloadOffset, local);
      } else {
        if (!AssemblePayload(view, cell, payload)) continue;
        bytes = payload;
      }
      if (!visit(bytes, pageNumber, at)) return kSqliteStopped;
    }
    if (interior) return walk(view.rightChild, pageNumber, depth + 1);
    return kSqliteOk;
  };
  return walk(rootPage, 0, 0);
}

int32_t CSqliteFileReader::CollectLeafPages(uint32_t rootPage, std::vector<uint32_t>& leaves) {
  return WalkTableTree(rootPage, [&](const PageView& leaf) {
    leaves.push_back(leaf.pageNumber);
    return true;
  });
}

bool CSqliteFileReader::AssemblePayload(const PageView& page, const TableLeafCell& cell,
                                        std::vector<uint8_t>& out) {
  out.clear();
  if (cell.payloadOffset + uint64_t{cell.localSize} > page.bytes.size()) return false;
  const uint8_t* local = page.bytes.data() + cell.payloadOffset;
  const uint64_t perPage = usableSize_ - 4;
  const uint64_t overflowBytes = cell.payloadSize - cell.localSize;
  // The payload cannot need more overflow pages than the file holds.
  if (overflowBytes > perPage * pageCount_) {
    AddFault(page.pageNumber, cell.offset, "payload larger than the file");
    out.assign(local, local + cell.localSize);
    return false;
  }
  out.reserve(static_cast<size_t>(cell.payloadSize));
  out.assign(local, local + cell.localSize);
  uint32_t next = cell.firstOverflow;
  uint64_t remaining = overflowBytes;
  // A page met twice is a loop; the marks are cleared again before returning.
  if (overflowSeen_.size() < size_t{pageCount_} + 1)
    overflowSeen_.assign(size_t{pageCount_} + 1, 0);
  std::vector<uint32_t> visited;
  const auto clear = [&] {
    for (uint32_t v : visited) overflowSeen_[v] = 0;
  };
  while (remaining > 0) {
    if (next == 0 || next > pageCount_ || overflowSeen_[next]) {
      AddFault(page.pageNumber, cell.offset,
               next != 0 && next <= pageCount_ ? "overflow chain loops" : "overflow chain broken");
      clear();
      return false;
    }
    overflowSeen_[next] = 1;
    visited.push_back(next);
    if (ReadPage(next, overflowPage_) != kSqliteOk) {
      AddFault(next, 0, "overflow page unreadable");
      clear();
      return false;
    }
    const uint64_t take = std::min(remaining, perPage);
    out.insert(out.end(), overflowPage_.begin() + 4,
               overflowPage_.begin() + 4 + static_cast<ptrdiff_t>(take));
    remaining -= take;
    next = ReadU32(overflowPage_.data());
  }
  clear();
  return true;
}

void CSqliteFileReader::LoadSchema() {
  schema_.clear();
  tables_.clear();
  Record record;
  std::vector<uint8_t> payload;
  WalkTableTree(1, [&](const PageView& leaf) {
    for (uint32_t i = 0; i < leaf.cellCount; ++i) {
      TableLeafCell cell;
      if (!ParseTableLeafCell(leaf, leaf.CellPointer(i), cell)) {
        AddFault(leaf.pageNumber, leaf.CellPointer(i), "schema cell out of bounds");
        continue;
      }
      if (!AssemblePayload(leaf, cell, payload) || !DecodeRecord(payload, encoding_, record)) {
        AddFault(leaf.pageNumber, cell.offset, "schema record unreadable");
        continue;
      }
      SchemaEntry e;
      e.type = std::string(record[0].Text());
      e.name = std::string(record[1].Text());
      e.tableName = std::string(record[2].Text());
      const int64_t root = record[3].AsInt64();
      e.rootPage = (root > 0 && root <= 0xffffffffll) ? static_cast<uint32_t>(root) : 0;
      e.sql = std::string(record[4].Text());
      schema_.push_back(std::move(e));
    }
    return true;
  });
  for (const SchemaEntry& e : schema_) {
    if (e.type != "table") continue;
    TableSchema t;
    ParseCreateTable(e.sql, t);
    t.name = e.name;
    t.rootPage = e.rootPage;
    tables_.push_back(std::move(t));
  }
}

const TableSchema* CSqliteFileReader::FindTable(std::string_view name) const {
  for (const TableSchema& t : tables_) {
    if (t.name == name) return &t;
  }
  for (const TableSchema& t : tables_) {
    if (EqualsIgnoreCase(t.name, name)) return &t;
  }
  return nullptr;
}

std::vector<uint32_t> CSqliteFileReader::FindRootPages(std::string_view table) const {
  std::vector<uint32_t> roots;
  for (const SchemaEntry& e : schema_) {
    if (e.type == "table" && e.name == table && e.rootPage != 0) roots.push_back(e.rootPage);
  }
  return roots;
}

int32_t CSqliteFileReader::ExpectedColumnCount(std::string_view table) {
  struct Fixed {
    std::string_view name;
    int32_t count;
  };
  // Counts of the tables as the decoders know them; -1 marks a learned count.
  static constexpr Fixed kFixed[] = {
      {"ZNOTEBODY", 7},
      {"ZNOTE", 19},
      {"message", -1},
      {"handle", 5},
      {"attachment", 9},
      {"message_attachment_join", 2},
      {"ABPersonFullTextSearch_content", -2},
      {"call", 13},
      {"Friend", 13},
      {"tb_c2cTables", 1},
      {"ZWAMESSAGE", -3},
      {"ZWACHATSESSION", 25},
      {"ZWAGROUPMEMBER", 13},
      {"ZWAMEDIAITEM", 24},
      {"ZCALLRECORD", 17},
      {"ZWACONTACT", 11},
      {"ZWAPHONE", 9},
  };
  int32_t n = 0;
  bool found = false;
  for (const Fixed& f : kFixed) {
    if (!EqualsIgnoreCase(f.name, table)) continue;
    found = true;
    switch (f.count) {
      case -1:
        n = MessageColumnCount;
        break;
      case -2:
        n = AbSearchHeaderWidth > 25 ? 25 : 24;
        break;
      case -3:
        n = WaMessageColumnCount;
        break;
      default:
        n = f.count;
    }
    break;
  }
  if (!found) {
    if (table.substr(0, 5) == "Chat_") {
      n = 9;
    } else if (table.substr(0, 9) == "tb_c2cMsg") {
      n = 50;
    }
  }
  CurrentColumnCount = n;
  return n;
}

}  // namespace halvern
