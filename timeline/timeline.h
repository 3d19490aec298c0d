// One timeline of a scan: every dated item of every category (messages and WhatsApp messages,
// calls, notes by the time they were changed, and the moments of the table categories: a
// voicemail left, a memo recorded, an event's start, a reminder due or done, a page visited, a
// photo taken, a bookmark changed) in one list by time.
//
// The list is built from the results as they are given (results kept by a filter give the
// timeline of what the filter kept). Items without a date are not on it: contact cards (the
// address book keeps no date of its own for them), the camera roll's and the apps' files
// (the backup gives them none), a message or call whose date is empty or unreadable.
//
// An entry refers to its item (by conversation and position, or by category and position) and
// holds no copy of its texts: the timeline of a scan of a million messages stays a few dozen
// bytes per item. What an entry shows (its time, its person, its text) is read from the
// results when asked.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/scan_sequence.h"

namespace halvern {

// What happened at an entry's moment.
enum class TimelineWhat : uint8_t {
  kMessageReceived,
  kMessageSent,
  kCallIncoming,
  kCallOutgoing,
  kCallMissed,
  kNoteChanged,
  kVoicemail,
  kVoiceMemo,
  kEvent,
  kReminderDue,
  kReminderDone,
  kPageVisited,
  kHistoryCleared,
  kPhotoTaken,
  kBookmarkChanged,
  kDated,  // a date of a table category that names no moment of its own
};
// "Message received", "Missed call", ...: the English words, also the key of their
// translations (the pages' words, the desktop program's [Timeline] section).
const char* TimelineWhatName(TimelineWhat what);

struct TimelineEntry {
  double instant = 0;  // seconds since 1970-01-01 UTC
  ScanCategory category{};
  TimelineWhat what = TimelineWhat::kDated;
  uint8_t deleted = 0;
  uint16_t column = 0;  // a table category's row: the date column of the moment
  uint32_t group = 0;   // messages and WhatsApp: the conversation (Timeline::conversations/chats)
  uint32_t index = 0;   // the message's position in its conversation; else the item's in its
                        // category's list (a table's row index)
};

struct Timeline {
  // The conversations and chats the entries name by `group`.
  std::vector<const MessageMap::value_type*> conversations;
  std::vector<const ChatMap::value_type*> chats;
  // In time order; items of one instant in the order of the categories and of their lists.
  std::vector<TimelineEntry> entries;
};

// The timeline of `results`. The entries refer into `results`, which must outlive it unchanged.
Timeline BuildTimeline(const ScanResults& results);

// The instant of a date text "YYYY-MM-DD hh:mm:ss" of the computer's local time (as the
// messages, calls and notes hold their dates); false for anything else.
bool LocalDateInstant(const std::string& text, double& instant);

// What an entry shows, read from the results it was built from:
// its time as lists show it ("2021-09-14 10:00:00", a table date with its zone after it),
std::string TimelineTime(const ScanResults& results, const Timeline& timeline,
                         const TimelineEntry& entry);
// the person or thing it belongs to (a conversation's label, the caller, the event's title; ""
// when none),
std::string TimelineWho(const ScanResults& results, const Timeline& timeline,
                        const TimelineEntry& entry);
// and a short text of it (a message's text or its first attachment's name, a note's title, a
// voicemail's transcript, a page's address; "" when none), at most `limit` bytes, cut at a
// character and marked with "…" when cut.
std::string TimelineText(const ScanResults& results, const Timeline& timeline,
                         const TimelineEntry& entry, size_t limit = 200);
// The key of the entry's conversation ("chat-3"; a WhatsApp chat's session rowid), "" for the
// other categories.
std::string TimelineConversation(const Timeline& timeline, const TimelineEntry& entry);
// The address of the item itself (the MessageItem, ChatMessageItem, CallItem, NoteItem or
// TableRow) in the results.
const void* TimelineItem(const ScanResults& results, const Timeline& timeline,
                         const TimelineEntry& entry);

}  // namespace halvern
