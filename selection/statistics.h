// The selection of scan results: for every item found, whether it is selected for recovery
// and whether the deleted-items filter hides it, with the counters and sizes the statistics
// line shows. The category tree, the item lists, the recover and print windows and the
// command line all read and drive this one object. No drawing here.
//
// Structure: a root node with one node per category (App Photos and App Videos: one child
// node per app); each node counts its items, the selected ones, the hidden ones and the
// selected-and-hidden ones. Every item and every group (a category, an app) has one
// SelectionEntry, found by the item's address in its container.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/scan_sequence.h"

namespace halvern {

// "1023 Bytes", "1.00 KB", "1.50 MB", "2.00 GB", "1.00 TB" (negative counts read as bytes).
std::string FormatSize(int64_t bytes);

// The call texts every view shows: "Incoming" or "Outgoing"; the duration
// ("1 Min 5 Sec"), or for a call of 0 seconds "Declined" (an incoming call turned down),
// "Missed" (another incoming one) or "Canceled" (outgoing).
const char* CallDirectionText(const CallItem& call);
std::string CallDurationText(const CallItem& call);
// What the call was ("Phone", "FaceTime Video", "WhatsApp", ...; "Call" when the database does
// not say) and how it ended ("Answered", "Missed", "Declined", "Not answered"; derived from the
// direction and duration when the database does not say).
std::string CallKindText(const CallItem& call);
std::string CallOutcomeText(const CallItem& call);

// The pre-sorts the lists, the recover run and the print all see (stable):
// one row per conversation (or chat) from its last message, deleted when any message of it is;
// deleted rows first.
std::vector<MessageItem> ConversationRows(const MessageMap& messages);
std::vector<ChatMessageItem> ChatRows(const ChatMap& chats);
// Newest first by the date text, then deleted calls first.
void PreSortCalls(std::vector<CallItem>& calls);
// Deleted items first.
void PreSortContacts(std::vector<ContactItem>& contacts);
void PreSortNotes(std::vector<NoteItem>& notes);

// Four counters of one node.
struct StatNode {
  uint32_t items = 0;
  uint32_t selected = 0;
  uint32_t hidden = 0;
  uint32_t selectedHidden = 0;
  StatNode* parent = nullptr;  // null for the root
  std::vector<std::unique_ptr<StatNode>> children;
  int32_t categoryCode = 0;  // 0 for the root
  std::string name;          // the category or app name
};

struct SelectionEntry {
  int32_t group = 0;               // 1 for a category or an app
  int32_t checked = 0;             // selected for recovery
  int32_t deleted = 0;             // the item is marked deleted (categories with deletion marks)
  int32_t hidden = 0;              // hidden by the deleted-items filter
  int32_t categoryCode = 0;        // ScanCategory value (1..11, then the table categories)
  uint64_t countedSize = 0;        // bytes for files, characters for records; at least 1024
  std::vector<const void*> below;  // a group's items (and, for a category, its app groups)
  StatNode* node = nullptr;        // the node the item counts in (a group: its own node)
};

enum class CheckState { kUnchecked, kChecked, kHalf };

class CStatisticsObj {
 public:
  CStatisticsObj();
  CStatisticsObj(const CStatisticsObj&) = delete;
  CStatisticsObj& operator=(const CStatisticsObj&) = delete;

  // Add operations, one per kind of category. Items are keyed by their address: the
  // containers must stay where they are (and unchanged in size) while the selection is used.
  // Every item starts selected. Adding a category twice adds its items again only if they
  // are other objects.
  void AddFiles(ScanCategory category, const std::vector<MediaFileItem>& files);
  void AddApps(ScanCategory category, const AppFileMap& apps);
  // Conversation and chat rows (ConversationRows, ChatRows): one item each.
  void AddConversations(const std::vector<MessageItem>& rows);
  void AddChats(const std::vector<ChatMessageItem>& rows);
  void AddContacts(const std::vector<ContactItem>& contacts);
  void AddCalls(const std::vector<CallItem>& calls);
  void AddNotes(const std::vector<NoteItem>& notes);
  // The rows of a table category (keyed by the rows' addresses); a row's counted size is its
  // shown characters and its files' bytes.
  void AddTable(ScanCategory category, const CategoryTable& table);
  // Every category of a scan's results, each by its own kind (conversation and chat rows as
  // ConversationRows / ChatRows made them: give those here).

  // Selects or unselects an item, or a group with everything below it. False for an address
  // the selection does not know.
  bool Select(const void* item, bool on);
  // Selects or unselects a whole category.
  void SelectCategory(ScanCategory category, bool on);
  // Marks an item hidden (by the deleted-items filter) or visible again.
  bool SetHidden(const void* item, bool on);
  // Root counters from the category nodes.
  void Recount();
  void Clear();

  // Readers.
  const StatNode& Root() const { return root_; }
  const StatNode& Category(ScanCategory category) const;
  CheckState CategoryState(ScanCategory category) const;
  uint64_t TotalSize() const { return totalSize_; }
  uint64_t SelectedSize() const { return selectedSize_; }
  const SelectionEntry* Find(const void* item) const;
  // Every entry in the order it was added (items of a category in container order).
  const std::vector<std::pair<const void*, const SelectionEntry*>>& Entries() const {
    return order_;
  }
  // The entries the recover run takes: checked, not a group, not hidden, in order.
  std::vector<std::pair<const void*, const SelectionEntry*>> Recoverable() const;

  // The counted size of a record: its characters, at least 1024.
  static uint64_t CountedChars(const std::string& text);

 private:
  StatNode& NodeOf(ScanCategory category);
  SelectionEntry& AddEntry(const void* key, SelectionEntry entry);
  SelectionEntry& CategoryGroup(ScanCategory category);
  void AddItem(ScanCategory category, const void* item, int32_t deleted, uint64_t size,
               StatNode* node);
  void SelectItem(SelectionEntry& e, bool on);
  void SelectBelow(SelectionEntry& group, bool on);

  StatNode root_;
  std::map<const void*, SelectionEntry> entries_;
  std::vector<std::pair<const void*, const SelectionEntry*>> order_;
  uint64_t totalSize_ = 0;
  uint64_t selectedSize_ = 0;
};

}  // namespace halvern
