// The table decoders (see decoders.h): column positions by name, the scan driver, and one
// mapping from a decoded record to a row record per table.
#include "sqlite_recovery/decoders.h"

#include <algorithm>

#include "sqlite_recovery/text.h"
#include "sqlite_recovery/time_format.h"

namespace halvern {
namespace {

const Value kNoValue{};

const Value& At(const Record& record, int32_t index) {
  return index < 0 ? kNoValue : record[size_t(index)];
}

// Well-formed UTF-8 of a text, with every ill-formed sequence replaced by U+FFFD (what a
// lenient conversion of the bytes gives).
std::string PlainText(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    size_t good = ValidUtf8Prefix(bytes);
    out.append(bytes.substr(0, good));
    bytes.remove_prefix(good);
    if (bytes.empty()) break;
    out += "\xEF\xBF\xBD";
    // Skip one ill-formed sequence: its lead byte and the continuation bytes that follow.
    size_t skip = 1;
    while (skip < bytes.size() && skip < 4 && (uint8_t(bytes[skip]) & 0xC0) == 0x80) ++skip;
    bytes.remove_prefix(skip);
  }
  return out;
}

// A kept text of plain conversion: the text of a text value, "" for anything else. A text cut
// short in a carved record refuses the row (it returns false).
bool KeepPlain(const Value& value, std::string& out) {
  if (value.truncated) return false;
  if (value.IsText()) out = PlainText(value.bytes);
  return true;
}

// Strict conversion: a text value must be well-formed UTF-8 without a zero character, and
// complete. An empty text is a text like any other (a contact's empty note keeps its card).
// Values that are not texts pass (and leave out alone).
bool KeepStrict(const Value& value, std::string* out) {
  if (value.truncated) return false;
  if (!value.IsText()) return true;
  std::string_view text = value.bytes;
  if (!IsValidUtf8(text) || text.find('\0') != std::string_view::npos) {
    return false;
  }
  if (out) *out = std::string(text);
  return true;
}

// Every text of the record passes the strict conversion.
bool AllTextsStrict(const Record& record) {
  for (const Value& v : record.values) {
    if (!KeepStrict(v, nullptr)) return false;
  }
  return true;
}

bool HasControlCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return uint8_t(c) < 0x20; });
}

// Integer of a column (serial types 1-6, 8, 9).
bool IntegerOf(const Value& value, int64_t& out) {
  if (!value.IsInteger()) return false;
  out = value.integer;
  return true;
}

// A Mac absolute time column: an integer counts seconds (0 means no date), a real is truncated
// toward zero.
std::string MacDate(const Value& value) {
  if (value.IsInteger()) return value.integer == 0 ? std::string() : FormatMacTime(value.integer);
  if (value.IsReal()) return FormatMacDouble(value.real);
  return {};
}

int64_t RowidOf(const ScannedRow& row) { return row.record.rowid.value_or(0); }

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}

// Runs the scan driver over one table and appends every row that `decode` accepts.
template <class RowT, class Decode>
int32_t Run(CSqliteFileReader& reader, std::string_view table, uint32_t fallbackColumns,
            const ScanOptions& base, const DecodeOptions& options, std::vector<RowT>& out,
            Decode decode) {
  reader.TableName = std::string(table);
  reader.ExpectedColumnCount(table);
  ScanOptions scan = base;
  scan.fallbackColumns = fallbackColumns;
  return ScanTable(reader, table, scan, [&](const ScannedRow& row) {
    RowT item{};
    if (decode(row, item)) {
      out.push_back(std::move(item));
      if (options.origins) options.origins->push_back(row.origin);
    }
    return true;
  });
}

// The scan's column count for carving when the schema cannot tell it: the fixed count, raised
// so that every fixed column read lies inside it.
uint32_t FallbackCount(const ColumnPositions& columns) {
  uint32_t n = columns.columnCount;
  for (int32_t i : columns.index) n = std::max(n, uint32_t(i + 1));
  return n;
}

}  // namespace

ColumnPositions ResolveColumns(const CSqliteFileReader& reader, std::string_view table,
                               const std::vector<std::string_view>& names,
                               const std::vector<int32_t>& fixedIndex, uint32_t fixedCount,
                               ColumnLookup lookup) {
  ColumnPositions out;
  if (lookup == ColumnLookup::kByName && !names.empty()) {
    const TableSchema* schema = reader.FindTable(table);
    if (schema && schema->parsed && !schema->virtualTable) {
      std::vector<int32_t> found;
      for (std::string_view name : names) {
        int32_t i = schema->ColumnIndex(name);
        if (i < 0) break;
        found.push_back(i);
      }
      if (found.size() == names.size()) {
        out.index = std::move(found);
        out.columnCount = schema->declaredColumnCount;
        out.byName = true;
        return out;
      }
    }
  }
  out.index = fixedIndex;
  out.columnCount = fixedCount;
  return out;
}

namespace {

// The FTS content columns are named c<N><Field> ("c0First", "c15Phone"); the number shifts
// between systems, the field name does not.
int32_t ContentColumn(const TableSchema& schema, std::string_view field) {
  for (size_t i = 0; i < schema.columns.size(); ++i) {
    std::string_view name = schema.columns[i];
    if (name.size() < 2 || (name[0] != 'c' && name[0] != 'C')) continue;
    size_t digits = 1;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9') ++digits;
    if (digits > 1 && EqualsIgnoreCase(name.substr(digits), field)) return int32_t(i);
  }
  return -1;
}

ColumnPositions ContactColumns(const CSqliteFileReader& reader, ColumnLookup lookup) {
  static constexpr std::string_view kFields[] = {"First", "Last",    "Organization",  "Phone",
                                                 "Email", "Address", "SocialProfile", "URL"};
  ColumnPositions out;
  if (lookup == ColumnLookup::kByName) {
    const TableSchema* schema = reader.FindTable("ABPersonFullTextSearch_content");
    if (schema && schema->parsed) {
      std::vector<int32_t> found;
      for (std::string_view f : kFields) found.push_back(ContentColumn(*schema, f));
      if (std::none_of(found.begin(), found.end(), [](int32_t i) { return i < 0; })) {
        out.index = found;
        out.columnCount = schema->declaredColumnCount;
        out.byName = true;
        return out;
      }
    }
  }
  // Names in 1 and 2, organization in 7; the newer layout has one more column before the
  // phone column.
  const int32_t shift = reader.SchemaVariantFlag ? 1 : 0;
  out.index = {1, 2, 7, 16 + shift, 17 + shift, 18 + shift, 19 + shift, 20 + shift};
  out.columnCount = std::max<uint32_t>(reader.AbSearchHeaderWidth > 25 ? 25 : 24, 21 + shift);
  return out;
}

}  // namespace

ColumnPositions DecoderColumns(const CSqliteFileReader& reader, std::string_view table,
                               ColumnLookup lookup) {
  auto is = [&](std::string_view name) { return EqualsIgnoreCase(table, name); };
  if (is("message")) {
    return ResolveColumns(reader, table, {"text", "handle_id", "date", "is_from_me"},
                          {2, 5, 15, 21}, uint32_t(reader.MessageColumnCount), lookup);
  }
  if (is("handle")) return ResolveColumns(reader, table, {"id"}, {1}, 5, lookup);
  if (is("attachment")) return ResolveColumns(reader, table, {"filename"}, {4}, 9, lookup);
  if (is("message_attachment_join")) {
    return ResolveColumns(reader, table, {"message_id", "attachment_id"}, {0, 1}, 2, lookup);
  }
  if (is("ZNOTEBODY")) return ResolveColumns(reader, table, {"ZCONTENT"}, {4}, 7, lookup);
  if (is("ZNOTE")) {
    // The classic ZNOTE has 20 columns; ZTITLE is the last one (19).
    return ResolveColumns(reader, table, {"ZBODY", "ZMODIFICATIONDATE", "ZTITLE"}, {11, 14, 19}, 20,
                          lookup);
  }
  if (is("call")) {
    // call_history.db: ROWID, address, date, duration, flags, id, name, ... (14 columns).
    return ResolveColumns(reader, table, {"address", "date", "duration", "flags"}, {1, 2, 3, 4}, 14,
                          lookup);
  }
  if (is("ZCALLRECORD")) {
    const int32_t address = reader.SchemaVariantFlag ? 21 : 20;
    return ResolveColumns(reader, table, {"ZORIGINATED", "ZDATE", "ZDURATION", "ZADDRESS"},
                          {10, 12, 13, address}, uint32_t(address + 1), lookup);
  }
  if (is("ABPersonFullTextSearch_content")) return ContactColumns(reader, lookup);
  if (is("ABPerson")) {
    return ResolveColumns(reader, table, {"First", "Last", "Organization"}, {1, 2, 7}, 36, lookup);
  }
  if (is("ABMultiValue")) {
    return ResolveColumns(reader, table, {"record_id", "property", "value"}, {1, 2, 5}, 7, lookup);
  }
  if (is("ABMultiValueEntry")) {
    return ResolveColumns(reader, table, {"parent_id", "key", "value"}, {0, 1, 2}, 3, lookup);
  }
  if (is("ZWAMESSAGE")) {
    return ResolveColumns(
        reader, table,
        {"ZISFROMME", "ZCHATSESSION", "ZGROUPMEMBER", "ZMEDIAITEM", "ZMESSAGEDATE", "ZTEXT"},
        {12, 19, 20, 22, 25, 32}, uint32_t(std::max(reader.WaMessageColumnCount, 33)), lookup);
  }
  if (is("ZWACHATSESSION")) {
    return ResolveColumns(reader, table, {"ZCONTACTJID", "ZPARTNERNAME"}, {20, 23}, 25, lookup);
  }
  if (is("ZWAGROUPMEMBER")) {
    return ResolveColumns(reader, table, {"ZCHATSESSION", "ZCONTACTNAME", "ZMEMBERJID"},
                          {7, 10, 12}, 13, lookup);
  }
  if (is("ZWAMEDIAITEM"))
    return ResolveColumns(reader, table, {"ZMEDIALOCALPATH"}, {18}, 24, lookup);
  if (is("Friend")) return ResolveColumns(reader, table, {}, {1, 2, 6}, 13, lookup);
  if (is("tb_c2cTables")) return ResolveColumns(reader, table, {}, {0}, 1, lookup);
  if (StartsWith(table, "Chat_")) {
    // Chat_<hash>: TableVer, MesLocalID, MesSvrID, CreateTime, Message, Status, ImgStatus,
    // Type, Des (0: sent by the owner).
    return ResolveColumns(reader, table, {"CreateTime", "Message", "Des"}, {3, 4, 8}, 9, lookup);
  }
  if (StartsWith(table, "tb_c2cMsg")) {
    return ResolveColumns(reader, table, {}, {1, 2, 4, 6}, 50, lookup);
  }
  return {};
}

// ----- Messages database -------------------------------------------------------------------------

int32_t DecodeMessages(CSqliteFileReader& reader, std::vector<MessageItem>& out,
                       const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "message", options.lookup);
  return Run(reader, "message", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, MessageItem& m) {
               const Record& r = row.record;
               if (!row.deleted && r.headerSize != 0) {
                 reader.MessageColumnCount = r.headerSize < 51 ? 38 : 51;
               }
               int64_t rowid = RowidOf(row);
               if (uint64_t(rowid) > reader.MaxRowid && rowid > 0)
                 reader.MaxRowid = uint64_t(rowid);
               m.deleted = row.deleted ? 1 : 0;
               m.rowId = rowid;
               if (!KeepStrict(At(r, c.index[0]), &m.text) || m.text.empty()) return false;
               int64_t v = 0;
               if (IntegerOf(At(r, c.index[1]), v)) m.handleId = v;
               const Value& date = At(r, c.index[2]);
               if (date.IsInteger() && date.integer != 0) {
                 m.date = FormatMacTime(MessageDateSeconds(date.integer));
               } else if (date.IsReal()) {
                 int64_t whole = 0;
                 if (TruncateSeconds(date.real, whole)) {
                   m.date = FormatMacTime(MessageDateSeconds(whole));
                 }
               }
               if (IntegerOf(At(r, c.index[3]), v)) m.fromMe = v != 0 ? 1 : 0;
               return true;
             });
}

int32_t DecodeHandles(CSqliteFileReader& reader, std::vector<HandleRow>& out,
                      const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "handle", options.lookup);
  return Run(reader, "handle", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, HandleRow& h) {
               h.deleted = row.deleted ? 1 : 0;
               h.rowId = RowidOf(row);
               return KeepPlain(At(row.record, c.index[0]), h.address) && !h.address.empty();
             });
}

int32_t DecodeAttachments(CSqliteFileReader& reader, std::vector<AttachmentRow>& out,
                          const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "attachment", options.lookup);
  return Run(reader, "attachment", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, AttachmentRow& a) {
               a.deleted = row.deleted ? 1 : 0;
               a.rowId = RowidOf(row);
               return KeepPlain(At(row.record, c.index[0]), a.fileName) && !a.fileName.empty();
             });
}

int32_t DecodeMessageAttachments(CSqliteFileReader& reader, std::vector<MessageAttachmentRow>& out,
                                 const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "message_attachment_join", options.lookup);
  return Run(reader, "message_attachment_join", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, MessageAttachmentRow& j) {
               j.deleted = row.deleted ? 1 : 0;
               IntegerOf(At(row.record, c.index[0]), j.messageId);
               IntegerOf(At(row.record, c.index[1]), j.attachmentId);
               // A carved link that kept neither id says nothing.
               return !row.deleted || j.messageId != 0 || j.attachmentId != 0;
             });
}

// ----- Notes -----------------------------------------------------------------------------------

int32_t DecodeNoteBodies(CSqliteFileReader& reader, std::vector<NoteRow>& out,
                         const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ZNOTEBODY", options.lookup);
  return Run(reader, "ZNOTEBODY", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, NoteRow& n) {
               n.deleted = row.deleted ? 1 : 0;
               n.bodyId = RowidOf(row);
               return KeepPlain(At(row.record, c.index[0]), n.body);
             });
}

int32_t DecodeNotes(CSqliteFileReader& reader, std::vector<NoteRow>& out,
                    const DecodeOptions& options) {
  // The classic ZNOTE has 20 columns; ZTITLE is the last one (19).
  ColumnPositions c = DecoderColumns(reader, "ZNOTE", options.lookup);
  // The account folder a note lies in (ZSTORE), and ZDELETEDFLAG: a note deleted on the phone
  // stays in the table with the flag set until its account has been told.
  int32_t store = -1, deletedFlag = -1;
  if (options.lookup == ColumnLookup::kByName) {
    if (const TableSchema* schema = reader.FindTable("ZNOTE");
        schema && schema->parsed && !schema->virtualTable) {
      store = schema->ColumnIndex("ZSTORE");
      deletedFlag = schema->ColumnIndex("ZDELETEDFLAG");
    }
  }
  return Run(reader, "ZNOTE", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, NoteRow& n) {
               n.deleted = row.deleted ? 1 : 0;
               int64_t flag = 0;
               if (deletedFlag >= 0 && IntegerOf(At(row.record, deletedFlag), flag) && flag != 0) {
                 n.deletedFlag = 1;  // the row itself is live; the extractor marks the note
               }
               if (store >= 0) IntegerOf(At(row.record, store), n.folderId);
               IntegerOf(At(row.record, c.index[0]), n.bodyId);
               n.date = MacDate(At(row.record, c.index[1]));
               return !At(row.record, c.index[1]).truncated &&
                      KeepPlain(At(row.record, c.index[2]), n.title);
             });
}

// ----- Call history ----------------------------------------------------------------------------

namespace {

// A column that some layouts of a table have and others lack: its position by name, -1 when the
// schema cannot be read or has no such column.
int32_t OptionalColumn(const CSqliteFileReader& reader, std::string_view table,
                       std::string_view name, ColumnLookup lookup) {
  if (lookup != ColumnLookup::kByName) return -1;
  const TableSchema* schema = reader.FindTable(table);
  if (!schema || !schema->parsed || schema->virtualTable) return -1;
  return schema->ColumnIndex(name);
}

// The app a call of ZCALLRECORD went through, by its service provider.
std::string CallAppName(std::string_view provider) {
  static constexpr std::pair<std::string_view, std::string_view> kApps[] = {
      {"net.whatsapp.WhatsApp", "WhatsApp"},     {"net.whatsapp.WhatsAppSMB", "WhatsApp Business"},
      {"com.skype.skype", "Skype"},              {"com.viber", "Viber"},
      {"ph.telegra.Telegraph", "Telegram"},      {"org.whispersystems.signal", "Signal"},
      {"com.facebook.Messenger", "Messenger"},   {"com.tencent.xin", "WeChat"},
      {"jp.naver.line", "LINE"},                 {"com.microsoft.skype.teams", "Teams"},
      {"us.zoom.videomeetings", "Zoom"},         {"com.google.Duo", "Duo"},
  };
  for (const auto& [id, name] : kApps) {
    if (EqualsIgnoreCase(provider, id)) return std::string(name);
  }
  return std::string(provider);
}

}  // namespace

std::string CallTypeText(std::string_view serviceProvider, int64_t callType) {
  const bool facetime = EqualsIgnoreCase(serviceProvider, "com.apple.FaceTime");
  if (serviceProvider.empty() || facetime ||
      EqualsIgnoreCase(serviceProvider, "com.apple.Telephony")) {
    switch (callType) {
      case 1: return facetime ? "FaceTime" : "Phone";
      case 8: return "FaceTime Video";
      case 16: return "FaceTime Audio";
      default: break;
    }
    if (facetime) return "FaceTime";
    return serviceProvider.empty() ? std::string() : "Phone";
  }
  return CallAppName(serviceProvider);
}

std::string CallOutcomeOf(bool incoming, int64_t answered, int64_t duration,
                            int64_t disconnectedCause) {
  const bool connected = answered == 1 || duration > 0;
  if (!incoming) return connected ? "Answered" : "Not answered";
  if (connected) return "Answered";
  // An incoming call the user turned down ends with the "rejected" cause; any other
  // unanswered incoming call was missed.
  return disconnectedCause == kCallDeclinedCause ? "Declined" : "Missed";
}

int32_t DecodeCalls(CSqliteFileReader& reader, std::string_view table, std::vector<CallItem>& out,
                    const DecodeOptions& options) {
  const bool record = EqualsIgnoreCase(table, "ZCALLRECORD");
  ColumnPositions c = DecoderColumns(reader, table, options.lookup);
  // What the call was and how it ended: by name only, as these columns moved between systems
  // (and the older table has no call type at all).
  const int32_t answeredColumn =
      OptionalColumn(reader, table, record ? "ZANSWERED" : "answered", options.lookup);
  const int32_t typeColumn = record ? OptionalColumn(reader, table, "ZCALLTYPE", options.lookup) : -1;
  const int32_t providerColumn =
      record ? OptionalColumn(reader, table, "ZSERVICE_PROVIDER", options.lookup) : -1;
  const int32_t causeColumn =
      record ? OptionalColumn(reader, table, "ZDISCONNECTED_CAUSE", options.lookup) : -1;
  const int32_t faceTimeColumn =
      record ? -1 : OptionalColumn(reader, table, "face_time_data", options.lookup);
  const int32_t uniqueIdColumn =
      record ? OptionalColumn(reader, table, "ZUNIQUE_ID", options.lookup) : -1;
  return Run(reader, table, FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, CallItem& call) {
               const Record& r = row.record;
               if (!row.deleted) reader.CallColumnCount = int32_t(r.storedColumns);
               call.deleted = row.deleted ? 1 : 0;
               int64_t v = 0;
               int64_t answered = -1;
               if (IntegerOf(At(r, answeredColumn), v)) answered = v;
               if (record) {
                 const Value& address = At(r, c.index[3]);
                 if (address.truncated) return false;
                 // ZADDRESS is declared BLOB; phones store the number as text or as the
                 // bytes of a text. Bytes that are no such text are no address.
                 if (address.IsText()) {
                   call.phone = PlainText(address.bytes);
                 } else if (address.IsBlob() && IsValidUtf8(address.bytes) &&
                            !HasControlCharacter(address.bytes)) {
                   call.phone = std::string(address.bytes);
                 }
                 if (IntegerOf(At(r, c.index[0]), v)) call.incoming = v == 0 ? 1 : 0;
                 call.date = MacDate(At(r, c.index[1]));
                 const Value& duration = At(r, c.index[2]);
                 if (duration.IsInteger() || duration.IsReal()) {
                   call.duration = duration.AsInt64();
                 }
                 std::string provider;
                 const Value& p = At(r, providerColumn);
                 if (p.IsText() && !p.truncated && IsValidUtf8(p.bytes)) provider = std::string(p.bytes);
                 int64_t callType = 0;
                 const bool hasType = IntegerOf(At(r, typeColumn), callType);
                 if (hasType || !provider.empty()) call.type = CallTypeText(provider, callType);
                 int64_t cause = 0;
                 IntegerOf(At(r, causeColumn), cause);
                 if (IntegerOf(At(r, c.index[0]), v)) {
                   call.outcome = CallOutcomeOf(call.incoming != 0, answered, call.duration, cause);
                 }
                 const Value& unique = At(r, uniqueIdColumn);
                 if (unique.IsText() && !unique.truncated && IsValidUtf8(unique.bytes)) {
                   call.uniqueId = std::string(unique.bytes);
                 }
               } else {
                 if (!KeepPlain(At(r, c.index[0]), call.phone)) return false;
                 if (HasControlCharacter(call.phone)) return false;
                 if (IntegerOf(At(r, c.index[1]), v) && v != 0) call.date = FormatUnixTime(v);
                 IntegerOf(At(r, c.index[2]), call.duration);
                 // flags bit 0 set: an outgoing call.
                 if (IntegerOf(At(r, c.index[3]), v)) {
                   call.incoming = (v & 1) ? 0 : 1;
                   // FaceTime (video only then) keeps its session data; the rest went through
                   // the phone network.
                   const Value& faceTime = At(r, faceTimeColumn);
                   call.type = faceTime.IsBlob() && !faceTime.bytes.empty() ? "FaceTime Video" : "Phone";
                   call.outcome = CallOutcomeOf(call.incoming != 0, answered, call.duration, 0);
                 }
               }
               return !call.date.empty() && !call.phone.empty();
             });
}

// ----- Address book ----------------------------------------------------------------------------

int32_t DecodeContacts(CSqliteFileReader& reader, std::vector<ContactItem>& out,
                       const DecodeOptions& options) {
  static constexpr std::string_view kTable = "ABPersonFullTextSearch_content";
  ColumnPositions c = DecoderColumns(reader, kTable, options.lookup);
  const std::vector<int32_t>& index = c.index;
  return Run(reader, kTable, FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, ContactItem& p) {
               const Record& r = row.record;
               if (!row.deleted && r.headerSize != 0) {
                 reader.AbSearchHeaderWidth = int32_t(r.headerSize) - (r.headerSize < 128 ? 1 : 2);
               }
               int64_t rowid = RowidOf(row);
               if (rowid > 0 && uint64_t(rowid) > reader.ContactsExportRowid) {
                 reader.ContactsExportRowid = uint64_t(rowid);
               }
               if (!AllTextsStrict(r)) return false;
               p.deleted = row.deleted ? 1 : 0;
               p.rowId = rowid;
               std::string first, last;
               KeepStrict(At(r, index[0]), &first);
               KeepStrict(At(r, index[1]), &last);
               // "First Last": one space between the two when both are present.
               p.name = first.empty() || last.empty() ? first + last : first + ' ' + last;
               KeepStrict(At(r, index[2]), &p.company);
               KeepStrict(At(r, index[3]), &p.phones);
               if (HasControlCharacter(p.phones)) return false;
               KeepStrict(At(r, index[4]), &p.email);
               KeepStrict(At(r, index[5]), &p.address);
               KeepStrict(At(r, index[6]), &p.social);
               KeepStrict(At(r, index[7]), &p.url);
               return true;
             });
}

int32_t DecodeAbPersons(CSqliteFileReader& reader, std::vector<AbPersonRow>& out,
                        const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ABPerson", options.lookup);
  return Run(reader, "ABPerson", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, AbPersonRow& p) {
               const Record& r = row.record;
               p.deleted = row.deleted ? 1 : 0;
               p.rowId = RowidOf(row);
               return KeepStrict(At(r, c.index[0]), &p.first) &&
                      KeepStrict(At(r, c.index[1]), &p.last) &&
                      KeepStrict(At(r, c.index[2]), &p.organization) &&
                      (!p.first.empty() || !p.last.empty() || !p.organization.empty() ||
                       !row.deleted);
             });
}

int32_t DecodeAbMultiValues(CSqliteFileReader& reader, std::vector<AbMultiValueRow>& out,
                            const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ABMultiValue", options.lookup);
  // The label sits before the value in every known layout.
  int32_t labelColumn = OptionalColumn(reader, "ABMultiValue", "label", options.lookup);
  if (labelColumn < 0 && !c.byName) labelColumn = 4;
  return Run(reader, "ABMultiValue", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, AbMultiValueRow& v) {
               const Record& r = row.record;
               v.deleted = row.deleted ? 1 : 0;
               v.uid = RowidOf(row);
               IntegerOf(At(r, labelColumn), v.label);
               return IntegerOf(At(r, c.index[0]), v.recordId) &&
                      IntegerOf(At(r, c.index[1]), v.property) &&
                      KeepStrict(At(r, c.index[2]), &v.value) && !HasControlCharacter(v.value);
             });
}

int32_t DecodeAbMultiValueEntries(CSqliteFileReader& reader,
                                  std::vector<AbMultiValueEntryRow>& out,
                                  const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ABMultiValueEntry", options.lookup);
  return Run(reader, "ABMultiValueEntry", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, AbMultiValueEntryRow& e) {
               const Record& r = row.record;
               return IntegerOf(At(r, c.index[0]), e.parentId) &&
                      IntegerOf(At(r, c.index[1]), e.key) &&
                      KeepStrict(At(r, c.index[2]), &e.value) && !e.value.empty();
             });
}

// ----- WhatsApp --------------------------------------------------------------------------------

int32_t DecodeWaMessages(CSqliteFileReader& reader, std::vector<ChatMessageItem>& out,
                         const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ZWAMESSAGE", options.lookup);
  // Tables of 28 columns or fewer predate the media item column.
  const bool hasMedia = c.byName || reader.WaMessageColumnCount > 28;
  return Run(reader, "ZWAMESSAGE", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, ChatMessageItem& m) {
               const Record& r = row.record;
               if (!AllTextsStrict(r)) return false;
               m.deleted = row.deleted ? 1 : 0;
               m.rowId = RowidOf(row);
               int64_t v = 0;
               if (IntegerOf(At(r, c.index[0]), v)) m.fromMe = v != 0 ? 1 : 0;
               bool anchored = false;  // the row refers to something: a session, member or date
               if (IntegerOf(At(r, c.index[1]), v)) {
                 m.sessionId = v;
                 anchored = true;
               }
               if (IntegerOf(At(r, c.index[2]), v)) {
                 m.memberId = v;
                 anchored = true;
               }
               if (hasMedia && IntegerOf(At(r, c.index[3]), v)) m.mediaId = v;
               const Value& date = At(r, c.index[4]);
               m.date = MacDate(date);
               anchored = anchored || date.IsInteger() || date.IsReal();
               KeepStrict(At(r, c.index[5]), &m.text);
               return anchored || !hasMedia;
             });
}

int32_t DecodeWaChatSessions(CSqliteFileReader& reader, std::vector<WaChatSessionRow>& out,
                             const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ZWACHATSESSION", options.lookup);
  return Run(reader, "ZWACHATSESSION", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, WaChatSessionRow& s) {
               if (!AllTextsStrict(row.record)) return false;
               s.rowId = RowidOf(row);
               std::string jid;
               KeepStrict(At(row.record, c.index[0]), &jid);
               // The contact id is the part before the at sign; a text without one is no jid.
               if (size_t at = jid.find('@'); at != std::string::npos)
                 s.contact = jid.substr(0, at);
               KeepStrict(At(row.record, c.index[1]), &s.partnerName);
               return true;
             });
}

int32_t DecodeWaGroupMembers(CSqliteFileReader& reader, std::vector<WaGroupMemberRow>& out,
                             const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ZWAGROUPMEMBER", options.lookup);
  return Run(reader, "ZWAGROUPMEMBER", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, WaGroupMemberRow& g) {
               if (!AllTextsStrict(row.record)) return false;
               g.rowId = RowidOf(row);
               IntegerOf(At(row.record, c.index[0]), g.sessionId);
               KeepStrict(At(row.record, c.index[1]), &g.name);
               KeepStrict(At(row.record, c.index[2]), &g.contact);
               if (size_t at = g.contact.find('@'); at != std::string::npos) g.contact.resize(at);
               return true;
             });
}

int32_t DecodeWaMediaItems(CSqliteFileReader& reader, std::vector<WaMediaItemRow>& out,
                           const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "ZWAMEDIAITEM", options.lookup);
  return Run(reader, "ZWAMEDIAITEM", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, WaMediaItemRow& media) {
               media.rowId = RowidOf(row);
               return KeepStrict(At(row.record, c.index[0]), &media.path);
             });
}

// ----- WeChat and QQ ---------------------------------------------------------------------------

int32_t DecodeWeChatMessages(CSqliteFileReader& reader, std::string_view table, int32_t freelist,
                             std::vector<ImMessageRow>& out, const DecodeOptions& options) {
  // Chat_<hash>: TableVer, MesLocalID, MesSvrID, CreateTime, Message, Status, ImgStatus, Type,
  // Des (0: sent by the owner).
  ColumnPositions c = DecoderColumns(reader, table, options.lookup);
  auto decode = [&](const Record& r, bool deleted, ImMessageRow& m) {
    m.deleted = deleted ? 1 : 0;
    m.rowId = r.rowid.value_or(0);
    int64_t v = 0;
    if (IntegerOf(At(r, c.index[0]), v) && v != 0) m.date = FormatUnixTime(v);
    if (IntegerOf(At(r, c.index[2]), v)) m.sent = v == 0 ? 1 : 0;
    return KeepPlain(At(r, c.index[1]), m.text) && !m.text.empty();
  };
  if (reader.FindTable(table) == nullptr) {
    if (freelist == 0) return 0;
    // No such table: the records of freed pages that no table of the file claims and that
    // have the nine columns of a chat table.
    reader.TableName = std::string(table);
    ScanOptions scan;
    scan.live = false;
    scan.carve = false;
    scan.freelist = true;
    scan.fallbackColumns = 9;
    return ScanFile(reader, scan, [&](const TableSchema* owner, const ScannedRow& row) {
      if (owner != nullptr || !row.origin.freedPage || row.record.ColumnCount() != 9) return true;
      ImMessageRow m;
      if (decode(row.record, true, m)) {
        out.push_back(std::move(m));
        if (options.origins) options.origins->push_back(row.origin);
      }
      return true;
    });
  }
  ScanOptions scan;
  scan.freelist = freelist != 0;
  return Run(
      reader, table, FallbackCount(c), scan, options, out,
      [&](const ScannedRow& row, ImMessageRow& m) { return decode(row.record, row.deleted, m); });
}

int32_t DecodeWeChatFriends(CSqliteFileReader& reader, std::vector<WeChatFriendRow>& out,
                            const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "Friend", options.lookup);
  return Run(reader, "Friend", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, WeChatFriendRow& f) {
               f.deleted = row.deleted ? 1 : 0;
               IntegerOf(At(row.record, c.index[2]), f.type);
               return KeepPlain(At(row.record, c.index[0]), f.userName) &&
                      KeepPlain(At(row.record, c.index[1]), f.nickName);
             });
}

int32_t DecodeQqChatTables(CSqliteFileReader& reader, std::vector<QqChatTableRow>& out,
                           const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, "tb_c2cTables", options.lookup);
  return Run(reader, "tb_c2cTables", FallbackCount(c), {}, options, out,
             [&](const ScannedRow& row, QqChatTableRow& t) {
               if (!KeepPlain(At(row.record, c.index[0]), t.tableName)) return false;
               if (size_t u = t.tableName.rfind('_'); u != std::string::npos) {
                 t.peer = t.tableName.substr(u + 1);
               }
               return true;
             });
}

int32_t DecodeQqMessages(CSqliteFileReader& reader, std::string_view table, std::string_view peer,
                         std::vector<ImMessageRow>& out, const DecodeOptions& options) {
  ColumnPositions c = DecoderColumns(reader, table, options.lookup);
  reader.PeerFilter = std::string(peer);
  int32_t status = Run(
      reader, table, FallbackCount(c), {}, options, out,
      [&](const ScannedRow& row, ImMessageRow& m) {
        const Record& r = row.record;
        m.deleted = row.deleted ? 1 : 0;
        m.rowId = RowidOf(row);
        std::string rowPeer;
        if (!KeepPlain(At(r, c.index[0]), rowPeer)) return false;
        // Freed pages may hold the records of any chat: only the peer's count.
        if (row.origin.freedPage && !reader.PeerFilter.empty() && rowPeer != reader.PeerFilter) {
          return false;
        }
        m.peer = rowPeer;
        int64_t v = 0;
        if (IntegerOf(At(r, c.index[1]), v) && v != 0) m.date = FormatUnixTime(v);
        if (IntegerOf(At(r, c.index[2]), v)) m.sent = v == 0 ? 1 : 0;
        return KeepPlain(At(r, c.index[3]), m.text) && !m.text.empty();
      });
  reader.PeerFilter.clear();
  return status;
}

}  // namespace halvern
