// The data extractors: they turn the phone's databases into the item records of the
// categories Messages, Contacts, Call History, Notes and WhatsApp, joined, named and sorted.
// Each takes the paths of its databases and its options as arguments, so the backup engine,
// the device engine and tests call them alike. Every read goes through the program's own
// SQLite reader (live rows and carved deleted rows, marked deleted); the databases are opened
// read-only and never written.
//
// Results: 0; 87 when a needed database is missing or is not a SQLite file; 2 when the
// progress callback asked to stop; 1006 when the WhatsApp file has no message table; another
// errno value when a file cannot be opened. A missing address book only leaves names empty.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codes.h"
#include "sqlite_recovery/records.h"

namespace halvern {

// ----- The conversation model ------------------------------------------------------------------
//
// Messages and WhatsApp chats come out as conversations: conversation -> members -> messages
// (date order) -> attachments and reactions. The recover pages, the print page, `scan --json`
// and the desktop list and preview all render this one model.

// One person of a conversation (the phone's owner is not listed).
struct ConversationMember {
  std::string address;  // phone number, e-mail address or WhatsApp contact id
  std::string name;     // from the address book or the chat database; empty when unknown
  std::string service;  // "SMS", "iMessage", "WhatsApp", ... (several joined by "/")
  bool operator==(const ConversationMember&) const = default;
};

// One conversation of Messages: a chat (one person over any service, or a group), or, for
// carved messages whose chat join is lost and for phones without chat tables, a handle.
struct Conversation {
  std::string id;        // "chat-<rowid>" (the lowest chat rowid of the person) or "handle-<rowid>"
  int64_t chatId = 0;    // 0 for a handle conversation
  int64_t handleId = 0;  // the person's handle for a one-to-one conversation
  bool group = false;
  std::string title;     // a group's display name or its members' names; the person's name
  std::vector<ConversationMember> members;
  std::vector<MessageItem> messages;
};

// One WhatsApp chat.
struct ChatConversation {
  int64_t sessionId = -1;
  bool group = false;
  std::string title;  // the partner's or the group's name
  std::vector<ConversationMember> members;
  std::vector<ChatMessageItem> messages;
};

// Conversation id to conversation.
using MessageMap = std::map<std::string, Conversation>;
// WhatsApp chat session rowid to chat.
using ChatMap = std::map<int64_t, ChatConversation>;

// A one-to-one conversation of `messages` (date order), its person taken from the first
// received message's name and phone (else the first message's); each message gets its id.
// What phones without chat tables give, and what benchmarks and tests build by hand.
Conversation OneToOne(std::string id, std::vector<MessageItem> messages);
// A WhatsApp chat of `messages`, its title and members from the first message's chatTitle,
// chatNames and chatPhones (a group when chatPhones lists several).
ChatConversation OneChat(int64_t sessionId, std::vector<ChatMessageItem> messages);

// The label of a conversation as lists, file names and pages show it: a group's title; a
// person's name, else the address ("Unknown" when neither is known).
std::string ConversationLabel(const Conversation& c);
std::string ConversationLabel(const ChatConversation& c);
// Number of messages of every conversation together.
size_t MessageCount(const MessageMap& map);
size_t MessageCount(const ChatMap& map);

// ----- Messages -------------------------------------------------------------------------------

// Where a file of the phone lies in the backup: the data file path of a path relative to its
// domain ("Library/SMS/Attachments/ab/01/x.jpeg"), or "" when the backup does not hold it.
using LocateFile = std::function<std::string(const std::string& relativePath)>;

struct MessageExtractOptions {
  bool newerAddressBook = false;  // the phone runs iOS 12 or later (address book layout)
  std::string region;             // the backup's region ("DE"); empty: from the address book
  LocateFile locate;              // may be empty: attachments then carry no path
  ProgressSink progress;          // may be empty
  int32_t current = 0;            // progress base of the scan
  int32_t step = 0;               // progress step of the scan
};

// Reads the messages database at `messagesPath`, names correspondents from the address book
// at `addressBookPath` and adds every message to `map` by conversation (each in date order):
// messages join their chat through chat_message_join; the chats of one person over any
// service are one conversation; a group chat is one conversation with its members; reactions
// sit on the message they react to; every attachment is part of its message; edited, unsent
// and recently deleted messages are marked. Phones without chat tables (and carved messages
// whose chat join is lost) have one conversation per handle; the iOS 4-5 table (address,
// flags, madrid_*) one per counterpart. Reports current + step/5, /4, /3, /2, /1 as it goes and current + step at the
// end; a non-zero answer stops and is returned. `messageRowidBase` receives the largest
// message rowid when the message table was read. Messages whose text lies only in the
// archived attributedBody are listed with that text.
int32_t ExtractMessages(const std::string& addressBookPath, MessageMap& map,
                        const MessageExtractOptions& options, const std::string& messagesPath,
                        int64_t& messageRowidBase);

// The text of a typedstream archive of an NSAttributedString (attributedBody): the archived
// NSString's UTF-8 bytes. False when the bytes are not such an archive or the text is cut
// short or is not valid UTF-8.
bool TypedStreamText(std::string_view archive, std::string& text);

// ----- Contacts -------------------------------------------------------------------------------

// Reads the address book: contacts with at least one phone number, each with every number,
// e-mail address and postal address of the card and its label (`numbers`, `emails`,
// `addresses`, values as the card holds them; numbers found in the search text, unlabelled,
// where ABMultiValue holds none), and the same values one per line in `phones`, `email` and
// `address`; names "First Last" ("No Name" without either), sorted by name without regard to
// ASCII case. `contactRowidBase` receives the largest contact rowid (0 when the file could not
// be opened). Returns the status of opening the file.
int32_t ExtractContacts(bool newerSchema, const std::string& addressBookPath,
                        std::vector<ContactItem>& out, int64_t& contactRowidBase);

// ----- Call history ---------------------------------------------------------------------------

// Reads the call database at `callsPath` (CallHistory.storedata with ZCALLRECORD, or the older
// call_history.db with `call`; the file's own schema tells which), names the other party from
// the address book (NameIndex, as messages and WhatsApp do) and appends the calls sorted by
// date. A carved call is listed only when it has a plausible date (after 2001-01-01 00:00:01
// UTC and not decades ahead), a duration of zero or more and an address.
int32_t ExtractCalls(const std::string& addressBookPath, std::vector<CallItem>& out,
                     bool newerSchema, const std::string& callsPath);

// "59 Sec", "1 Min 0 Sec", "1 Hour 2 Min".
std::string FormatDuration(int64_t seconds);

// ----- Notes ----------------------------------------------------------------------------------

// Reads the older notes database (notes.sqlite: ZNOTE with ZNOTEBODY) and appends its notes:
// bodies with their note's title and date first, in decoded order, then notes without a body.
// HTML bodies and titles become text (NoteBodyToText).
int32_t ExtractNotes(const std::string& notesPath, std::vector<NoteItem>& out);

// A file of the notes app's group container in the backup: its path inside the container
// ("Accounts/<account>/Media/<id>/<name>") and the data file that holds it.
struct NoteStoreFile {
  std::string relative;
  std::string path;
};

struct NoteStoreOptions {
  std::vector<NoteStoreFile> files;  // the container's files, to find attachments in
  // The notes password to open locked notes with; none: locked notes stay locked. Kept only in
  // memory, never written anywhere.
  std::optional<std::string> password;
};

// What became of the locked notes of one read.
struct NoteUnlockCount {
  int32_t locked = 0;      // notes locked with a notes password
  int32_t opened = 0;      // opened with the password given
  int32_t refused = 0;     // the password given does not open them
  int32_t outOfReach = 0;  // locked with the phone's passcode (no key of their own here)
};

// Reads the modern notes store (NoteStore.sqlite): each note's text from the gzip-compressed
// protobuf of ZICNOTEDATA.ZDATA with its paragraphs, checklist and attachments (found in
// `options.files`), its title, modification date, folder and account from
// ZICCLOUDSYNCINGOBJECT, whose columns are found by the file's own schema. Notes and
// attachments brought back from deleted space are marked deleted. Locked notes are opened with
// `options.password` when given. Appends to `out`.
int32_t ExtractNoteStore(const std::string& noteStorePath, std::vector<NoteItem>& out,
                         const NoteStoreOptions& options = {}, NoteUnlockCount* unlock = nullptr);

// Opens, in place, the locked notes of `notes` (read before from the same store) that
// `password` opens: their text, paragraphs, checklist and attachments are filled, the other
// notes are left as they are. The counts tell what happened.
NoteUnlockCount UnlockNotes(const std::string& noteStorePath, std::vector<NoteItem>& notes,
                            const NoteStoreOptions& options);

// The fixed replacements of note HTML: entities, then <div>, </div> and <br>.
std::string NoteBodyToText(std::string_view html);

// ----- WhatsApp -------------------------------------------------------------------------------

// Reads the WhatsApp chat database and adds every message to `out` by chat session, each chat
// in date order, with sender, chat members and title; media (photos with their caption, voice
// notes, stickers, documents, videos) are attachments of their message. Members and partners
// without a name in the chat database are named from the address book at `addressBookPath`
// (may be empty); `locate` finds media files in the backup (may be empty).
int32_t ExtractWhatsApp(const std::string& chatStoragePath, ChatMap& out,
                        const std::string& addressBookPath = {}, bool newerAddressBook = false,
                        const LocateFile& locate = {});

}  // namespace halvern
