// Row and item records that the table decoders fill and the extractors complete.
// Texts are UTF-8; every record of a carvable table starts with its deleted flag. Rowids and
// the ids that refer to rowids are kept whole (64-bit): a row's key is never cut.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace halvern {

// A file sent with a message: its name as the phone shows it, where its data file lies in the
// backup (empty when the backup does not hold it) and its MIME type (may be empty).
struct MessageAttachment {
  std::string name;
  std::string path;
  std::string mime;
  bool operator==(const MessageAttachment&) const = default;
};

// A reaction (tapback) shown on the message it reacts to: its symbol ("❤️", "👍", ...) and who
// gave it ("Me" or the sender's name or address).
struct MessageReaction {
  std::string kind;
  std::string by;
  bool operator==(const MessageReaction&) const = default;
};

// One message of the messages database (message table, joined by the extractor).
struct MessageItem {
  int32_t deleted = 0;     // 1 when brought back by carving
  int32_t fromMe = 0;      // 1 when sent from the phone
  int64_t rowId = 0;       // the rowid; 0 for a carved row whose rowid did not survive
  int64_t handleId = 0;    // rowid of the correspondent's handle row; conversation key
  std::string date;        // local date text "YYYY-MM-DD hh:mm:ss", empty when absent
  std::string phone;       // the handle's address (phone number or e-mail)
  std::string name;        // correspondent's name from the address book
  std::string text;        // message text as stored (may be empty)
  std::string attachment;  // file name of the first attachment, empty when none
  // The conversation model (filled by the extractor).
  std::string conversation;  // key of the conversation: "chat-<rowid>" or "handle-<rowid>"
  int64_t chatId = 0;        // rowid of the message's chat; 0 when no chat join survives
  std::string service;       // "SMS", "iMessage", "RCS", ... (empty when unknown)
  std::string sender;        // "Me" for sent messages, else the sender's name or address
  std::vector<MessageAttachment> attachments;  // every attachment, in join order
  std::vector<MessageReaction> reactions;      // the reactions still standing
  int32_t edited = 0;        // 1: edited after sending; `text` is the last text
  int32_t unsent = 0;        // 1: unsent (retracted) by its sender
  std::vector<std::string> earlierTexts;  // texts before the edits, oldest first (when readable)
  std::string replyTo;       // the text of the message this one answers in a thread
  std::string guid;          // the message's guid as stored; empty when the row lost it
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};

// One value of a card with its label: a phone number, e-mail address or postal address as the
// card holds it, and the label's name ("Mobile", "Home", "Work", "iPhone", a label of the
// user's own; empty when the card gives none).
struct LabeledValue {
  std::string label;
  std::string value;
  bool operator==(const LabeledValue&) const = default;
};

// One person of the address book (ABPerson with its ABMultiValue values, or the row of
// ABPersonFullTextSearch_content when the values are not there).
struct ContactItem {
  int32_t deleted = 0;
  std::string email;   // decoded: the search text; extracted: the addresses, one per line
  std::string address; // decoded: the search text; extracted: the addresses, one per line
  std::string social;
  std::string url;     // shown as the home page
  std::string phones;  // decoded: the search text; extracted: each number once, one per line
  std::string company;
  std::string name;  // first and last name joined by one space; the company when both are
                     // empty; "No Name" when all three are
  // Every value of the card with its label, in the card's order (extracted contacts).
  std::vector<LabeledValue> numbers;
  std::vector<LabeledValue> emails;
  std::vector<LabeledValue> addresses;
  int64_t rowId = 0;  // the person's rowid (ABPerson ROWID, the search table's docid); 0: lost
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};

// Older address books (without the search table): ABPerson and ABMultiValue rows.
struct AbPersonRow {
  int32_t deleted = 0;
  int64_t rowId = 0;
  std::string first;
  std::string last;
  std::string organization;
};
struct AbMultiValueRow {
  int32_t deleted = 0;
  int64_t uid = 0;       // the value's rowid (parent of its ABMultiValueEntry rows)
  int64_t recordId = 0;  // the person's rowid
  int64_t property = 0;  // 3 phone, 4 e-mail, 5 address, 22 URL, 46 social profile
  int64_t label = 0;     // rowid of its ABMultiValueLabel row; 0 when it has none
  std::string value;
};
struct AbMultiValueEntryRow {
  int64_t parentId = 0;  // ABMultiValue.UID
  int64_t key = 0;
  std::string value;
};

// One call of the call history.
struct CallItem {
  int32_t deleted = 0;
  int32_t incoming = 0;  // 1 incoming, 0 outgoing
  int64_t duration = 0;  // seconds; 0 when not connected
  std::string date;
  std::string phone;
  std::string name;
  // What the call was: "Phone", "FaceTime Audio", "FaceTime Video", or the app that carried
  // it ("WhatsApp", or the app's id for another one); empty when the row does not say.
  std::string type;
  // "Answered", "Missed" or "Declined" (incoming), "Answered" or "Not answered" (outgoing);
  // empty when the row does not say.
  std::string outcome;
  // The call row's own unique id (ZUNIQUE_ID) as stored; empty where the store has none.
  std::string uniqueId;
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};

// An object placed in a note's text (NoteStore.sqlite): a picture, a scanned document, a
// drawing, a PDF, a recording, a link, a table or another file.
struct NoteAttachment {
  std::string kind;  // "picture", "scan", "drawing", "pdf", "audio", "video", "link", "table", "file"
  std::string name;  // the file's name as the phone keeps it; a link's title or address
  std::string path;  // the file in the backup; empty when the backup does not hold it
  std::string mime;
  std::string uti;         // the type the note gives it (ZTYPEUTI)
  std::string title;       // ZTITLE
  std::string url;         // ZURLSTRING (links)
  std::string transcript;  // what a recording says, when the phone transcribed it
  std::vector<std::vector<std::string>> rows;  // a table's cells, row by row
  bool deleted = false;    // its row was brought back from deleted space
  bool operator==(const NoteAttachment&) const = default;
};

// One item of a checklist and whether it is ticked.
struct NoteChecklistItem {
  std::string text;
  bool done = false;
  bool operator==(const NoteChecklistItem&) const = default;
};

// A stretch of one paragraph: text, or the attachment standing at that place (its U+FFFC).
struct NotePiece {
  std::string text;
  int32_t attachment = -1;  // index into NoteItem::attachments, -1 for text
  std::string link;         // the address the text links to
  bool operator==(const NotePiece&) const = default;
};

// A paragraph of a note with the style the phone gave it.
struct NoteParagraph {
  // -1 body text, 0 title, 1 heading, 2 subheading, 4 monospaced, 100 bulleted, 101 dashed,
  // 102 numbered, 103 checklist item.
  int32_t style = -1;
  int32_t indent = 0;
  bool done = false;  // a ticked checklist item
  std::vector<NotePiece> pieces;
  bool operator==(const NoteParagraph&) const = default;
};

// One note (ZNOTEBODY gives the body, ZNOTE the date and title).
struct NoteItem {
  int32_t deleted = 0;  // brought back by carving, or lying in the Recently Deleted folder
  int64_t bodyId = 0;   // rowid of the body row (0 for a carved body row)
  std::string date;
  std::string title;
  std::string body;
  std::string folder;  // the folder's name, empty when the database keeps none
  std::string account;  // NoteStore.sqlite: the account the note belongs to (its ZNAME)
  int64_t folderId = 0;  // the older notes.sqlite: the ZSTORE row the note lies in (0: none)
  int32_t deletedFlag = 0;  // the older notes.sqlite: ZDELETEDFLAG, deleted on the phone
  int32_t locked = 0;  // 1: protected by a password; the body is then kNoteLockedText
  int32_t opened = 0;  // 1: a locked note opened with the notes password given
  // NoteStore.sqlite: the note's paragraphs, attachments in text order, checklist items.
  std::vector<NoteParagraph> paragraphs;
  std::vector<NoteAttachment> attachments;
  std::vector<NoteChecklistItem> checklist;
  std::string identifier;  // NoteStore.sqlite: the note's ZIDENTIFIER; empty in the older store
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};
inline constexpr const char* kNoteLockedText = "This note is locked";
using NoteRow = NoteItem;

// One WhatsApp message.
struct ChatMessageItem {
  int32_t deleted = 0;
  int32_t fromMe = 0;
  int64_t rowId = 0;
  int64_t sessionId = -1;  // rowid of the chat session; -1 when absent
  int64_t memberId = 0;    // rowid of the sending group member; 0 when absent
  int64_t mediaId = 0;     // rowid of the media item; 0 when absent
  std::string date;
  std::string name;   // "Me" for own messages, else the sender's name
  std::string text;   // message text, or the media item's path
  std::string phone;  // sender's contact id (before the at sign)
  std::string chatNames;
  std::string chatPhones;
  std::string chatTitle;
  // The conversation model (filled by the extractor).
  std::vector<MessageAttachment> attachments;  // the media item's file (voice note, photo, ...)
  std::string stanzaId;  // the message's id in the chat protocol (ZSTANZAID); empty when lost
  // The backups an item was found in (their labels, oldest first) when several backups are
  // read as one; empty for a single backup.
  std::vector<std::string> backups;
};

// Auxiliary rows of the messages database.
struct HandleRow {
  int32_t deleted = 0;
  int64_t rowId = 0;
  std::string address;
};
struct AttachmentRow {
  int32_t deleted = 0;
  int64_t rowId = 0;
  int64_t messageId = 0;  // filled by the extractor from message_attachment_join
  std::string fileName;
};
struct MessageAttachmentRow {
  int32_t deleted = 0;
  int64_t attachmentId = 0;
  int64_t messageId = 0;
};

// Auxiliary rows of the WhatsApp chat database (no deleted flag).
struct WaChatSessionRow {
  int64_t rowId = 0;
  std::string contact;  // contact id up to its first at sign
  std::string partnerName;
  std::string memberNames;   // filled by the extractor
  std::string memberPhones;  // filled by the extractor
};
struct WaGroupMemberRow {
  int64_t rowId = 0;
  int64_t sessionId = 0;
  std::string name;
  std::string contact;
};
struct WaMediaItemRow {
  int64_t rowId = 0;
  std::string path;
};

// WeChat and QQ rows.
struct ImMessageRow {
  int32_t deleted = 0;
  int32_t sent = 0;
  int64_t rowId = 0;
  std::string date;
  std::string peer;
  std::string text;
  std::string extra;
};
struct WeChatFriendRow {
  int32_t deleted = 0;
  int64_t type = 0;      // integer of column 6
  std::string userName;  // column 1
  std::string nickName;  // column 2
};
struct QqChatTableRow {
  std::string tableName;
  std::string peer;
};

}  // namespace halvern
