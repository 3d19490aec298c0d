// The fuzzing entry points over the whole library and over one page.
#include "sqlite_recovery/fuzz_entry.h"

#include <algorithm>
#include <string>
#include <vector>

#include "sqlite_recovery/carve.h"
#include "sqlite_recovery/dump.h"
#include "sqlite_recovery/scan.h"

namespace halvern {

void (*gRunDecodersForFuzzing)(CSqliteFileReader& reader) = nullptr;

namespace {

// Reads every byte of every text and blob, so that a view outside its buffer shows.
bool TouchValues(const Record& record) {
  size_t sum = 0;
  for (const Value& v : record.values) {
    for (char c : v.bytes) sum += static_cast<unsigned char>(c);
  }
  return sum != 1;  // always true in practice; the sum only keeps the reads
}

// The reader of this thread with the counts the decoders learn set back to a new reader's,
// so that one input gives the same run whatever ran before it.
CSqliteFileReader& FreshReader() {
  thread_local CSqliteFileReader reader;
  thread_local const CSqliteFileReader pristine;
  reader.Close();
  reader.MaxRowid = pristine.MaxRowid;
  reader.ContactsExportRowid = pristine.ContactsExportRowid;
  reader.WaMessageColumnCount = pristine.WaMessageColumnCount;
  reader.CallTableKind = pristine.CallTableKind;
  reader.SchemaVariantFlag = pristine.SchemaVariantFlag;
  reader.CurrentColumnCount = pristine.CurrentColumnCount;
  reader.TableName = pristine.TableName;
  reader.FreelistLeafPages = pristine.FreelistLeafPages;
  reader.PeerFilter = pristine.PeerFilter;
  reader.CallColumnCount = pristine.CallColumnCount;
  reader.AbSearchHeaderWidth = pristine.AbSearchHeaderWidth;
  reader.MessageColumnCount = pristine.MessageColumnCount;
  return reader;
}

}  // namespace

void RunSqliteRecoveryOnBytes(std::span<const uint8_t> bytes) {
  CSqliteFileReader& reader = FreshReader();
  if (reader.OpenMemory(bytes) != kSqliteOk) return;
  // Each table alone (the decoders' way), then the whole file (the dump's way).
  for (const TableSchema& t : reader.Tables()) {
    ScanOptions options;
    options.fallbackColumns = 3;
    ScanTable(reader, t.name, options, [](const ScannedRow& row) { return TouchValues(row.record); });
  }
  std::string json;
  DumpSqliteJson(reader, "fuzz", SqliteDumpOptions{}, json);
  if (gRunDecodersForFuzzing) gRunDecodersForFuzzing(reader);
  reader.Close();
}

void RunSqlitePageOnBytes(std::span<const uint8_t> bytes) {
  if (bytes.size() < 4) return;
  const uint32_t pageSize = 512u << (bytes[0] % 8);
  const uint32_t reserved = std::min<uint32_t>(bytes[1], pageSize - 480);
  const uint32_t usable = pageSize - reserved;
  const uint32_t columns = 1 + bytes[2] % 64;
  const uint32_t pageNumber = (bytes[3] & 1) ? 1 : 2 + (bytes[3] >> 4);
  static constexpr TextEncoding kEncodings[] = {TextEncoding::kUtf8, TextEncoding::kUtf16le,
                                                TextEncoding::kUtf16be};
  const TextEncoding encoding = kEncodings[((bytes[3] >> 1) & 7) % 3];
  const std::span<const uint8_t> body = bytes.subspan(4);
  std::vector<uint8_t> page(pageSize, 0);
  std::copy_n(body.begin(), std::min<size_t>(body.size(), pageSize), page.begin());

  TableShape shape = TableShape::FromColumnCount(columns);
  std::vector<Candidate> carved;
  PageView view;
  if (ParsePageView(page, pageNumber, usable, view) && view.type == PageType::kTableLeaf) {
    // The live cells first: they teach the shape what the carving then looks for.
    Record record;
    for (uint32_t i = 0; i < view.cellCount; ++i) {
      TableLeafCell cell;
      if (!ParseTableLeafCell(view, view.CellPointer(i), cell)) continue;
      // Cells whose payload goes on to overflow pages have only their local part here.
      const std::span<const uint8_t> local = view.bytes.subspan(cell.payloadOffset, cell.localSize);
      if (cell.firstOverflow == 0 && DecodeRecord(local, encoding, record)) {
        TouchValues(record);
        shape.Learn(record);
      }
      int32_t score = 0;
      ScoreIntactCell(view, cell.offset, shape, encoding, score);
    }
    CarvePage(view, shape, encoding, carved);
    FreedPageFit(view, shape, encoding);
  }
  // The same bytes as the free space of a freed page (a freelist trunk's tail).
  ScanRawRegion(page, pageNumber, usable, 8, usable, shape, encoding, RowSource::kFreelist,
                carved);
  for (const Candidate& c : carved) TouchValues(c.record);
}

}  // namespace halvern
