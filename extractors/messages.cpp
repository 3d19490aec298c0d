// Messages: sms.db (message, handle, attachment, message_attachment_join) joined with the
// address book for names.
//
// Locate: HomeDomain-Library/SMS/sms.db (file id 3d0d7e5fb2ce288813306e4d4636395e047a3d28)
// and the address book (31bb7ba8914766d4ba40d6dfb6113c8b614be442); the caller passes paths.
// Schema variants: message tables of 38 (iOS 6-7) to 90+ columns, positions by name; dates
// in seconds (to iOS 10) or nanoseconds (iOS 11 on); texts held only in attributedBody
// (formatted, edited and app messages of recent systems).
#include <algorithm>
#include <unordered_map>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "sqlite_recovery/decoders.h"
#include "sqlite_recovery/scan.h"
#include "sqlite_recovery/text.h"
#include "sqlite_recovery/time_format.h"

namespace halvern {
namespace {

constexpr std::string_view kAttributedBody = "attributedBody";

// Messages whose `text` is NULL or empty and whose attributedBody archive holds the text. The
// message decoder refuses these rows (it needs a text); this pass reads them with the same
// columns and adds them.
void ReadArchivedTexts(CSqliteFileReader& reader, std::vector<MessageItem>& out) {
  const TableSchema* table = reader.FindTable("message");
  if (table == nullptr || !table->parsed) return;
  const int32_t bodyColumn = table->ColumnIndex(kAttributedBody);
  if (bodyColumn < 0) return;
  ColumnPositions c = DecoderColumns(reader, "message", ColumnLookup::kByName);
  if (!c.byName || c.index.size() < 4) return;
  ScanOptions scan;
  scan.fallbackColumns = std::max<uint32_t>(c.columnCount, uint32_t(bodyColumn + 1));
  ScanTable(reader, "message", scan, [&](const ScannedRow& row) {
    const Record& r = row.record;
    const Value& text = r[size_t(c.index[0])];
    if (text.IsText() && !text.bytes.empty()) return true;  // the decoder's row
    if (text.IsLost()) return true;
    const Value& body = r[size_t(bodyColumn)];
    if (!body.IsBlob() || body.truncated) return true;
    MessageItem m;
    if (!TypedStreamText(body.bytes, m.text) || m.text.empty()) return true;
    m.deleted = row.deleted ? 1 : 0;
    m.rowId = r.rowid.value_or(0);
    const Value& handle = r[size_t(c.index[1])];
    if (handle.IsInteger()) m.handleId = handle.integer;
    const Value& date = r[size_t(c.index[2])];
    if (date.IsInteger() && date.integer != 0) {
      m.date = FormatMacTime(MessageDateSeconds(date.integer));
    }
    const Value& fromMe = r[size_t(c.index[3])];
    if (fromMe.IsInteger()) m.fromMe = fromMe.integer != 0 ? 1 : 0;
    out.push_back(std::move(m));
    return true;
  });
}

}  // namespace

bool TypedStreamText(std::string_view archive, std::string& text) {
  static constexpr std::string_view kMagic = "\x04\x0bstreamtyped";
  static constexpr std::string_view kClass = "NSString";
  if (archive.substr(0, kMagic.size()) != kMagic) return false;
  size_t at = archive.find(kClass, kMagic.size());
  if (at == std::string_view::npos) return false;
  at += kClass.size();
  // The class name is followed by its version and the start of the object's values, then the
  // type code "+" (a UTF-8 string). Messages writes 01 94 84 01 2B; look for the "+" of that
  // sequence within the next bytes rather than at a fixed offset.
  size_t plus = archive.find("\x84\x01+", at);
  if (plus == std::string_view::npos || plus > at + 16) return false;
  size_t pos = plus + 3;
  if (pos >= archive.size()) return false;
  const auto byte = [&](size_t i) { return static_cast<uint8_t>(archive[i]); };
  uint64_t length = 0;
  const uint8_t lead = byte(pos++);
  if (lead < 0x80) {
    length = lead;
  } else if (lead == 0x81 || lead == 0x82) {
    const size_t width = lead == 0x81 ? 2 : 4;
    if (archive.size() - pos < width) return false;
    for (size_t i = 0; i < width; ++i) length |= uint64_t(byte(pos + i)) << (8 * i);
    pos += width;
  } else {
    return false;
  }
  if (length > archive.size() - pos) return false;
  std::string_view bytes = archive.substr(pos, size_t(length));
  if (!IsValidUtf8(bytes) || bytes.find('\0') != std::string_view::npos) return false;
  text.assign(bytes);
  return true;
}

int32_t ExtractMessages(const std::string& addressBookPath, MessageMap& map,
                        const MessageExtractOptions& options, const std::string& messagesPath,
                        int64_t& messageRowidBase) {
  const int32_t cur = options.current;
  const int32_t step = options.step;
  const auto finish = [&](int32_t result) {
    if (options.progress) {
      const int32_t answer = options.progress.Report(cur + step);
      if (answer != 0) return answer;
    }
    return result;
  };
  const auto stopAt = [&](int32_t divisor) {
    return options.progress ? options.progress.Report(cur + step / divisor) : 0;
  };

  // Read.
  CSqliteFileReader reader;
  const int32_t opened = extract::OpenDatabase(reader, messagesPath);
  if (opened != 0) return finish(opened);
  std::vector<MessageItem> messages;
  DecodeMessages(reader, messages);
  ReadArchivedTexts(reader, messages);
  if (int32_t a = stopAt(5); a != 0) return finish(a);
  messageRowidBase = int64_t(reader.MaxRowid);
  std::vector<HandleRow> handles;
  DecodeHandles(reader, handles);
  if (int32_t a = stopAt(4); a != 0) return finish(a);
  std::vector<AttachmentRow> attachments;
  DecodeAttachments(reader, attachments);
  if (int32_t a = stopAt(3); a != 0) return finish(a);
  std::vector<MessageAttachmentRow> links;
  DecodeMessageAttachments(reader, links);
  if (int32_t a = stopAt(2); a != 0) return finish(a);

  // An attachment belongs to the message of its first link.
  std::unordered_map<int64_t, int64_t> ownerOf;
  for (const MessageAttachmentRow& link : links)
    ownerOf.try_emplace(link.attachmentId, link.messageId);
  for (AttachmentRow& a : attachments) {
    if (auto it = ownerOf.find(a.rowId); it != ownerOf.end()) a.messageId = it->second;
  }

  // Without a readable address book the messages are delivered unnamed.
  std::vector<ContactItem> contacts;
  extract::ReadAddressBook(reader, addressBookPath, options.newerAddressBook, contacts);
  if (int32_t a = stopAt(1); a != 0) return finish(a);

  // Map.
  std::unordered_map<int64_t, const std::string*> addressOf;  // first live handle per rowid
  for (const HandleRow& h : handles) {
    if (h.rowId != 0) addressOf.try_emplace(h.rowId, &h.address);
  }
  // First attachment per message, in the attachment table's order. A carved message has no
  // rowid and an unclaimed attachment no message: neither is paired.
  std::unordered_map<int64_t, const std::string*> attachmentOf;
  for (const AttachmentRow& a : attachments) {
    if (a.messageId != 0) attachmentOf.try_emplace(a.messageId, &a.fileName);
  }
  extract::ContactNames names(std::move(contacts));
  for (MessageItem& m : messages) {
    m.phone.clear();
    m.name.clear();
    m.attachment.clear();
    if (auto it = addressOf.find(m.handleId); it != addressOf.end()) m.phone = *it->second;
    if (!m.phone.empty()) m.name = names.Find(m.phone);
    if (m.rowId != 0) {
      if (auto it = attachmentOf.find(m.rowId); it != attachmentOf.end()) {
        m.attachment = *it->second;
      }
    }
  }
  std::stable_sort(messages.begin(), messages.end(),
                   [](const MessageItem& a, const MessageItem& b) {
                     return extract::LessIgnoreCase(a.date, b.date);
                   });
  for (MessageItem& m : messages) map[int32_t(m.handleId)].push_back(std::move(m));
  return finish(0);
}

}  // namespace halvern
