// Call history: ZCALLRECORD of CallHistory.storedata (iOS 8 on) or `call` of the older
// call_history.db, named from the address book.
//
// Locate: HomeDomain-Library/CallHistoryDB/CallHistory.storedata (file id
// 5a4935c78a5255723f707230a451d79c540d2741), else
// WirelessDomain-Library/CallHistory/call_history.db (2b2b0084a1bc3a5ac8c27afdf14afb42c61a19ca);
// the caller picks the file, its schema tells the table.
#include <algorithm>
#include <cstdio>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "extractors/names.h"
#include "sqlite_recovery/decoders.h"

namespace halvern {
namespace {

// The span of dates a carved call may carry (local date texts compare as dates).
constexpr std::string_view kEarliestCallDate = "2007-01-01";
constexpr std::string_view kLatestCallDate = "2100-01-01";

}  // namespace

std::string FormatDuration(int64_t seconds) {
  char text[64];
  if (seconds < 60) {
    std::snprintf(text, sizeof text, "%lld Sec", static_cast<long long>(seconds));
  } else if (seconds < 3600) {
    std::snprintf(text, sizeof text, "%lld Min %lld Sec", static_cast<long long>(seconds / 60),
                  static_cast<long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof text, "%lld Hour %lld Min", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds % 3600 / 60));
  }
  return text;
}

int32_t ExtractCalls(const std::string& addressBookPath, std::vector<CallItem>& out,
                     bool newerSchema, const std::string& callsPath) {
  // Read.
  CSqliteFileReader reader;
  reader.SchemaVariantFlag = newerSchema ? 1 : 0;
  const int32_t opened = extract::OpenDatabase(reader, callsPath);
  if (opened != 0) return opened;
  const bool record = reader.FindTable("ZCALLRECORD") != nullptr;
  reader.CallTableKind = record ? 1 : 0;
  std::vector<CallItem> calls;
  DecodeCalls(reader, record ? "ZCALLRECORD" : "call", calls);

  // A carved record that merely fits the table's shape is no call: a carved call needs a date
  // from the phones' time (the first iPhone came out in 2007; a date next to the 2001 epoch is
  // a small number read as a date), a duration of zero or more and an address.
  std::erase_if(calls, [](const CallItem& call) {
    if (!call.deleted) return false;
    return call.date < kEarliestCallDate || call.date >= kLatestCallDate || call.duration < 0 ||
           call.phone.empty();
  });

  // Names: the one lookup of messages and WhatsApp (a missing address book leaves the calls
  // unnamed).
  const NameIndex names = ReadNameIndex(addressBookPath, newerSchema);
  for (CallItem& call : calls) call.name = names.Find(call.phone);
  std::stable_sort(calls.begin(), calls.end(), [](const CallItem& a, const CallItem& b) {
    return extract::LessIgnoreCase(a.date, b.date);
  });
  out.insert(out.end(), std::make_move_iterator(calls.begin()),
             std::make_move_iterator(calls.end()));
  return 0;
}

}  // namespace halvern
