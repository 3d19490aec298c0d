// The table decoders: one per known table of the phone's databases. Each turns the table's
// live rows and its carved deleted rows (scan.h) into row records (records.h), marked deleted
// or not, in the order the scan driver gives them: live rows in key order, then the carved rows
// of the table's pages, then the rows of freed pages that belong to the table.
//
// Columns by name: every decoder names the columns it reads. Their positions come from the
// table's own CREATE TABLE text (the order differs between phones with different upgrade
// histories); when that text cannot be read or a name is missing, the decoder falls back to the
// fixed positions of the classic layout of its table. Both ways give the same rows on a table
// that has the classic layout.
//
// Every decoder takes a reader opened on the database that holds its table and returns 0, or
// the status of the scan (a read fault of the table's tree, 87 when the reader is not open);
// rows already appended stay appended. A table the file does not have gives no rows and 0.
// Rows a decoder refuses (texts that are not valid UTF-8 where a valid text is required, a text
// cut short in a carved record, a missing required value) are dropped silently.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite_recovery/reader.h"
#include "sqlite_recovery/records.h"
#include "sqlite_recovery/scan.h"

namespace halvern {

enum class ColumnLookup : uint8_t {
  kByName,  // positions from the table's CREATE TABLE text, fixed positions as the fallback
  kFixed,   // the fixed positions only (the classic layouts)
};

struct DecodeOptions {
  ColumnLookup lookup = ColumnLookup::kByName;
  // When set, one entry per appended row: where the row was found.
  std::vector<RowOrigin>* origins = nullptr;
};

// Messages database (sms.db). DecodeMessages also updates reader.MaxRowid (largest live or
// surviving rowid) and reader.MessageColumnCount (38, or 51 once a live record holds 51 or
// more header bytes).
int32_t DecodeMessages(CSqliteFileReader& reader, std::vector<MessageItem>& out,
                       const DecodeOptions& options = {});
int32_t DecodeHandles(CSqliteFileReader& reader, std::vector<HandleRow>& out,
                      const DecodeOptions& options = {});
int32_t DecodeAttachments(CSqliteFileReader& reader, std::vector<AttachmentRow>& out,
                          const DecodeOptions& options = {});
int32_t DecodeMessageAttachments(CSqliteFileReader& reader, std::vector<MessageAttachmentRow>& out,
                                 const DecodeOptions& options = {});

// Notes database (notes.sqlite): bodies (ZNOTEBODY: bodyId = rowid, body = HTML) and notes
// (ZNOTE: bodyId = ZBODY, date = ZMODIFICATIONDATE, title = ZTITLE).
int32_t DecodeNoteBodies(CSqliteFileReader& reader, std::vector<NoteRow>& out,
                         const DecodeOptions& options = {});
int32_t DecodeNotes(CSqliteFileReader& reader, std::vector<NoteRow>& out,
                    const DecodeOptions& options = {});

// Call history: `table` is "call" (call_history.db; reader.CallTableKind 0) or "ZCALLRECORD"
// (CallHistory.storedata; CallTableKind 1). reader.SchemaVariantFlag selects the fixed address
// column of ZCALLRECORD (21 instead of 20) when the columns are not found by name. Updates
// reader.CallColumnCount from the live records.
int32_t DecodeCalls(CSqliteFileReader& reader, std::string_view table, std::vector<CallItem>& out,
                    const DecodeOptions& options = {});
// The kind of a call (CallItem::type) from ZSERVICE_PROVIDER and ZCALLTYPE (1 phone,
// 8 FaceTime video, 16 FaceTime audio): "Phone", "FaceTime Audio", "FaceTime Video", the app's
// name for the VoIP apps it knows ("WhatsApp", "Skype", ...) or the provider id of another one;
// "" when neither column says anything.
std::string CallTypeText(std::string_view serviceProvider, int64_t callType);
// ZDISCONNECTED_CAUSE of an incoming call the user declined.
inline constexpr int64_t kCallDeclinedCause = 6;
// CallItem::outcome: a call was answered when ZANSWERED is 1 or it lasted; an incoming one that
// was not is "Declined" with the declined cause and "Missed" otherwise; an outgoing one that
// was not is "Not answered". `answered` -1: the row does not say.
std::string CallOutcomeOf(bool incoming, int64_t answered, int64_t duration,
                            int64_t disconnectedCause);

// Address book (ABPersonFullTextSearch_content). reader.SchemaVariantFlag selects the fixed
// positions of the newer layout (phone at 17 instead of 16) when the columns are not found by
// name. Updates reader.ContactsExportRowid and reader.AbSearchHeaderWidth.
int32_t DecodeContacts(CSqliteFileReader& reader, std::vector<ContactItem>& out,
                       const DecodeOptions& options = {});

// Older address books without ABPersonFullTextSearch_content: the people (ABPerson: First,
// Last, Organization), their values (ABMultiValue: record_id, property, value) and the parts of
// structured values such as addresses (ABMultiValueEntry: parent_id, key, value).
int32_t DecodeAbPersons(CSqliteFileReader& reader, std::vector<AbPersonRow>& out,
                        const DecodeOptions& options = {});
int32_t DecodeAbMultiValues(CSqliteFileReader& reader, std::vector<AbMultiValueRow>& out,
                            const DecodeOptions& options = {});
int32_t DecodeAbMultiValueEntries(CSqliteFileReader& reader,
                                  std::vector<AbMultiValueEntryRow>& out,
                                  const DecodeOptions& options = {});

// WhatsApp (ChatStorage.sqlite). For DecodeWaMessages the extractor sets
// reader.WaMessageColumnCount to the table's column count (the media item column is read from
// tables of more than 28 columns when the columns are not found by name).
int32_t DecodeWaMessages(CSqliteFileReader& reader, std::vector<ChatMessageItem>& out,
                         const DecodeOptions& options = {});
int32_t DecodeWaChatSessions(CSqliteFileReader& reader, std::vector<WaChatSessionRow>& out,
                             const DecodeOptions& options = {});
int32_t DecodeWaGroupMembers(CSqliteFileReader& reader, std::vector<WaGroupMemberRow>& out,
                             const DecodeOptions& options = {});
int32_t DecodeWaMediaItems(CSqliteFileReader& reader, std::vector<WaMediaItemRow>& out,
                           const DecodeOptions& options = {});

// WeChat (MM.sqlite): one `Chat_` table by name. `freelist` 0 leaves the freed pages out;
// with 1 they are included. A name the schema does not have (the extractor passes
// "Chat_FreePageNumber") with `freelist` 1 returns the rows of freed pages that belong to no
// table and have the nine columns of a chat table.
int32_t DecodeWeChatMessages(CSqliteFileReader& reader, std::string_view table, int32_t freelist,
                             std::vector<ImMessageRow>& out, const DecodeOptions& options = {});
int32_t DecodeWeChatFriends(CSqliteFileReader& reader, std::vector<WeChatFriendRow>& out,
                            const DecodeOptions& options = {});

// QQ: the list of chat tables (tb_c2cTables) and one `tb_c2cMsg` table. Rows of freed pages
// are returned only when their peer column equals `peer` (reader.PeerFilter holds it during
// that part of the scan); rows of the table's own pages whatever their peer.
int32_t DecodeQqChatTables(CSqliteFileReader& reader, std::vector<QqChatTableRow>& out,
                           const DecodeOptions& options = {});
int32_t DecodeQqMessages(CSqliteFileReader& reader, std::string_view table, std::string_view peer,
                         std::vector<ImMessageRow>& out, const DecodeOptions& options = {});

// Positions of the named columns of a table: from the CREATE TABLE text (lookup kByName, every
// name found, compared case-insensitively), else the fixed positions given. `byName` tells
// which way was taken.
struct ColumnPositions {
  std::vector<int32_t> index;  // one per name
  uint32_t columnCount = 0;    // declared columns (by name) or the fixed count
  bool byName = false;
};
ColumnPositions ResolveColumns(const CSqliteFileReader& reader, std::string_view table,
                               const std::vector<std::string_view>& names,
                               const std::vector<int32_t>& fixedIndex, uint32_t fixedCount,
                               ColumnLookup lookup);

// The columns a decoder reads from `table` (one of the tables above; "Chat_..." and
// "tb_c2cMsg..." names select the WeChat and QQ message members), in the decoder's order:
//   message: text, handle_id, date, is_from_me      handle: id      attachment: filename
//   message_attachment_join: message_id, attachment_id    ZNOTEBODY: ZCONTENT
//   ZNOTE: ZBODY, ZMODIFICATIONDATE, ZTITLE          call: address, date, duration, flags
//   ZCALLRECORD: ZORIGINATED, ZDATE, ZDURATION, ZADDRESS
//   ABPersonFullTextSearch_content: First, Last, Organization, Phone, Email, Address,
//     SocialProfile, URL (the cN prefixed columns)
//   ZWAMESSAGE: ZISFROMME, ZCHATSESSION, ZGROUPMEMBER, ZMEDIAITEM, ZMESSAGEDATE, ZTEXT
//   ZWACHATSESSION: ZCONTACTJID, ZPARTNERNAME   ZWAGROUPMEMBER: ZCHATSESSION, ZCONTACTNAME,
//   ZMEMBERJID   ZWAMEDIAITEM: ZMEDIALOCALPATH   Chat_: CreateTime, Message, Des
//   Friend: columns 1, 2, 6   tb_c2cTables: column 0   tb_c2cMsg: columns 1, 2, 4, 6
// columnCount is the count carving falls back to when the schema cannot tell it. An unknown
// table gives no positions.
ColumnPositions DecoderColumns(const CSqliteFileReader& reader, std::string_view table,
                               ColumnLookup lookup);

}  // namespace halvern
