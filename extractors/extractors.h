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
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/codes.h"
#include "sqlite_recovery/records.h"

namespace halvern {

// Conversation key (handle row id) to its messages in date order.
using MessageMap = std::map<int32_t, std::vector<MessageItem>>;
// WhatsApp chat key (chat session row id) to its messages in date order.
using ChatMap = std::map<int32_t, std::vector<ChatMessageItem>>;

// ----- Messages -------------------------------------------------------------------------------

struct MessageExtractOptions {
  bool newerAddressBook = false;  // the phone runs iOS 12 or later (address book layout)
  ProgressSink progress;          // may be empty
  int32_t current = 0;            // progress base of the scan
  int32_t step = 0;               // progress step of the scan
};

// Reads the messages database at `messagesPath`, names correspondents from the address book
// at `addressBookPath` and adds every message to `map` (conversation by handle row id, each in
// date order). Reports current + step/5, /4, /3, /2, /1 as it goes and current + step at the
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

// Reads the address book: contacts with at least one phone number, each number once (one per
// line), names "First Last" ("No Name" without either), sorted by name without regard to
// ASCII case. `contactRowidBase` receives the largest contact rowid (0 when the file could not
// be opened). Returns the status of opening the file.
int32_t ExtractContacts(bool newerSchema, const std::string& addressBookPath,
                        std::vector<ContactItem>& out, int64_t& contactRowidBase);

// The clean-up of one contact's phone text: tokens separated by spaces (the text after the
// last space included), kept when at least 7 characters long and not ending in the same four
// characters as the previously kept token; joined by newlines.
std::string CleanPhoneList(std::string_view phones);

// ----- Call history ---------------------------------------------------------------------------

// Reads the call database at `callsPath` (CallHistory.storedata with ZCALLRECORD, or the older
// call_history.db with `call`; the file's own schema tells which), names the other party from
// the address book (numbers longer than 4 characters only) and appends the calls sorted by
// date.
int32_t ExtractCalls(const std::string& addressBookPath, std::vector<CallItem>& out,
                     bool newerSchema, const std::string& callsPath);

// "59 Sec", "1 Min 0 Sec", "1 Hour 2 Min".
std::string FormatDuration(int64_t seconds);

// ----- Notes ----------------------------------------------------------------------------------

// Reads the older notes database (notes.sqlite: ZNOTE with ZNOTEBODY) and appends its notes:
// bodies with their note's title and date first, in decoded order, then notes without a body.
// HTML bodies and titles become text (NoteBodyToText).
int32_t ExtractNotes(const std::string& notesPath, std::vector<NoteItem>& out);

// Reads the modern notes store (NoteStore.sqlite): each note's text from the gzip-compressed
// protobuf of ZICNOTEDATA.ZDATA, its title and modification date from ZICCLOUDSYNCINGOBJECT.
// Notes brought back from deleted space are marked deleted. Appends to `out`.
int32_t ExtractNoteStore(const std::string& noteStorePath, std::vector<NoteItem>& out);

// The fixed replacements of note HTML: entities, then <div>, </div> and <br>.
std::string NoteBodyToText(std::string_view html);

// ----- WhatsApp -------------------------------------------------------------------------------

// Reads the WhatsApp chat database and adds every message with text (or a media path) to
// `out` by chat session, each chat in date order, with sender, chat members and title.
int32_t ExtractWhatsApp(const std::string& chatStoragePath, ChatMap& out);

}  // namespace halvern
