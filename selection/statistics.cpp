// The selection of scan results and its counters (see statistics.h).
#include "selection/statistics.h"

#include <algorithm>
#include <type_traits>
#include <cstdio>

#include "extractors/extractors.h"

namespace halvern {

std::string FormatSize(int64_t bytes) {
  static constexpr struct {
    int shift;
    const char* unit;
  } kUnits[] = {{40, "TB"}, {30, "GB"}, {20, "MB"}, {10, "KB"}};
  char text[64];
  for (const auto& u : kUnits) {
    if (bytes >= (int64_t{1} << u.shift)) {
      std::snprintf(text, sizeof text, "%.2f %s", double(bytes) / double(int64_t{1} << u.shift),
                    u.unit);
      return text;
    }
  }
  std::snprintf(text, sizeof text, "%lld Bytes", static_cast<long long>(bytes));
  return text;
}

const char* CallDirectionText(const CallItem& call) {
  return call.incoming ? "Incoming" : "Outgoing";
}

std::string CallDurationText(const CallItem& call) {
  if (call.duration == 0) {
    if (call.incoming && call.outcome == "Declined") return "Declined";
    return call.incoming ? "Missed" : "Canceled";
  }
  return FormatDuration(call.duration);
}

std::string CallKindText(const CallItem& call) { return call.type.empty() ? "Call" : call.type; }

std::string CallOutcomeText(const CallItem& call) {
  if (!call.outcome.empty()) return call.outcome;
  if (call.duration > 0) return "Answered";
  return call.incoming ? "Missed" : "Not answered";
}

namespace {

template <class T>
void DeletedFirst(std::vector<T>& items) {
  std::stable_partition(items.begin(), items.end(), [](const T& t) { return t.deleted != 0; });
}

template <class Row, class Map>
std::vector<Row> LastOfEach(const Map& map) {
  std::vector<Row> rows;
  for (const auto& [key, conversation] : map) {
    const auto& messages = conversation.messages;
    if (messages.empty()) continue;
    Row row = messages.back();
    if constexpr (std::is_same_v<Row, MessageItem>) row.conversation = key;
    row.deleted =
        std::any_of(messages.begin(), messages.end(), [](const Row& m) { return m.deleted != 0; })
            ? 1
            : 0;
    rows.push_back(std::move(row));
  }
  DeletedFirst(rows);
  return rows;
}

}  // namespace

std::vector<MessageItem> ConversationRows(const MessageMap& messages) {
  std::vector<MessageItem> rows = LastOfEach<MessageItem>(messages);
  // The row speaks for its conversation: its key, its label (a group's title, a person's
  // name) and address, and the last message's text or, without one, what it carried.
  for (MessageItem& row : rows) {
    const auto found = messages.find(row.conversation);
    if (found == messages.end()) continue;
    const Conversation& c = found->second;
    row.name = c.group ? ConversationLabel(c) : c.title;
    std::string phones;
    for (const ConversationMember& m : c.members) phones += (phones.empty() ? "" : ", ") + m.address;
    if (!phones.empty() || c.group) row.phone = phones;
    if (row.unsent && row.text.empty()) row.text = "(unsent)";
    for (const MessageAttachment& a : row.attachments) {
      if (row.text.empty()) row.text = "\xF0\x9F\x93\x8E " + a.name;  // 📎 name
    }
  }
  return rows;
}
std::vector<ChatMessageItem> ChatRows(const ChatMap& chats) {
  return LastOfEach<ChatMessageItem>(chats);
}
void PreSortCalls(std::vector<CallItem>& calls) {
  std::stable_sort(calls.begin(), calls.end(),
                   [](const CallItem& a, const CallItem& b) { return a.date > b.date; });
  DeletedFirst(calls);
}
void PreSortContacts(std::vector<ContactItem>& contacts) { DeletedFirst(contacts); }
void PreSortNotes(std::vector<NoteItem>& notes) { DeletedFirst(notes); }

// ----- CStatisticsObj ----------------------------------------------------------------------------

CStatisticsObj::CStatisticsObj() { Clear(); }

void CStatisticsObj::Clear() {
  root_ = StatNode{};
  for (const ScanCategory category : AllCategories()) {
    auto node = std::make_unique<StatNode>();
    node->parent = &root_;
    node->categoryCode = int32_t(category);
    node->name = CategoryName(category);
    root_.children.push_back(std::move(node));
  }
  entries_.clear();
  order_.clear();
  totalSize_ = selectedSize_ = 0;
}

StatNode& CStatisticsObj::NodeOf(ScanCategory category) {
  return *root_.children.at(size_t(int32_t(category) - 1));
}

const StatNode& CStatisticsObj::Category(ScanCategory category) const {
  return *root_.children.at(size_t(int32_t(category) - 1));
}

SelectionEntry& CStatisticsObj::AddEntry(const void* key, SelectionEntry entry) {
  auto [it, added] = entries_.emplace(key, std::move(entry));
  if (added) order_.emplace_back(key, &it->second);
  return it->second;
}

SelectionEntry& CStatisticsObj::CategoryGroup(ScanCategory category) {
  StatNode& node = NodeOf(category);
  auto it = entries_.find(&node);
  if (it != entries_.end()) return it->second;
  SelectionEntry group;
  group.group = 1;
  group.checked = 1;
  group.categoryCode = int32_t(category);
  group.node = &node;
  return AddEntry(&node, std::move(group));
}

uint64_t CStatisticsObj::CountedChars(const std::string& text) {
  uint64_t chars = 0;
  for (unsigned char c : text) chars += (c & 0xC0) != 0x80 ? 1 : 0;
  return std::max<uint64_t>(chars, 1024);
}

void CStatisticsObj::AddItem(ScanCategory category, const void* item, int32_t deleted,
                             uint64_t size, StatNode* node) {
  if (entries_.count(item)) return;
  SelectionEntry e;
  e.checked = 1;
  e.deleted = deleted;
  e.categoryCode = int32_t(category);
  e.countedSize = std::max<uint64_t>(size, 1024);
  e.node = node;
  AddEntry(item, std::move(e));
  for (StatNode* n = node; n; n = n->parent) {
    ++n->items;
    ++n->selected;
  }
  totalSize_ += std::max<uint64_t>(size, 1024);
  selectedSize_ += std::max<uint64_t>(size, 1024);
}

void CStatisticsObj::AddFiles(ScanCategory category, const std::vector<MediaFileItem>& files) {
  SelectionEntry& group = CategoryGroup(category);
  StatNode* node = group.node;
  for (const MediaFileItem& f : files) {
    AddItem(category, &f, 0, f.size, node);
    CategoryGroup(category).below.push_back(&f);
  }
}

void CStatisticsObj::AddApps(ScanCategory category, const AppFileMap& apps) {
  StatNode& categoryNode = NodeOf(category);
  CategoryGroup(category);
  for (const auto& [app, files] : apps) {
    if (entries_.count(&files)) continue;
    auto child = std::make_unique<StatNode>();
    child->parent = &categoryNode;
    child->categoryCode = int32_t(category);
    child->name = app;
    StatNode* appNode = child.get();
    categoryNode.children.push_back(std::move(child));
    SelectionEntry group;
    group.group = 1;
    group.checked = 1;
    group.categoryCode = int32_t(category);
    group.node = appNode;
    AddEntry(&files, std::move(group));
    CategoryGroup(category).below.push_back(&files);
    for (const AppFileItem& f : files) {
      AddItem(category, &f, 0, f.size, appNode);
      entries_.at(&files).below.push_back(&f);
    }
  }
}

void CStatisticsObj::AddConversations(const std::vector<MessageItem>& rows) {
  CategoryGroup(ScanCategory::kMessages);
  for (const MessageItem& m : rows) {
    AddItem(ScanCategory::kMessages, &m, m.deleted, CountedChars(m.text),
            &NodeOf(ScanCategory::kMessages));
    CategoryGroup(ScanCategory::kMessages).below.push_back(&m);
  }
}

void CStatisticsObj::AddChats(const std::vector<ChatMessageItem>& rows) {
  CategoryGroup(ScanCategory::kWhatsApp);
  for (const ChatMessageItem& m : rows) {
    AddItem(ScanCategory::kWhatsApp, &m, m.deleted, CountedChars(m.text),
            &NodeOf(ScanCategory::kWhatsApp));
    CategoryGroup(ScanCategory::kWhatsApp).below.push_back(&m);
  }
}

void CStatisticsObj::AddContacts(const std::vector<ContactItem>& contacts) {
  CategoryGroup(ScanCategory::kContacts);
  for (const ContactItem& c : contacts) {
    AddItem(ScanCategory::kContacts, &c, c.deleted, CountedChars(c.name + c.phones),
            &NodeOf(ScanCategory::kContacts));
    CategoryGroup(ScanCategory::kContacts).below.push_back(&c);
  }
}

void CStatisticsObj::AddCalls(const std::vector<CallItem>& calls) {
  CategoryGroup(ScanCategory::kCallHistory);
  for (const CallItem& c : calls) {
    AddItem(ScanCategory::kCallHistory, &c, c.deleted, CountedChars(c.name + c.phone),
            &NodeOf(ScanCategory::kCallHistory));
    CategoryGroup(ScanCategory::kCallHistory).below.push_back(&c);
  }
}

void CStatisticsObj::AddNotes(const std::vector<NoteItem>& notes) {
  CategoryGroup(ScanCategory::kNotes);
  for (const NoteItem& n : notes) {
    AddItem(ScanCategory::kNotes, &n, n.deleted, CountedChars(n.body),
            &NodeOf(ScanCategory::kNotes));
    CategoryGroup(ScanCategory::kNotes).below.push_back(&n);
  }
}

void CStatisticsObj::AddTable(ScanCategory category, const CategoryTable& table) {
  CategoryGroup(category);
  for (const TableRow& row : table.rows) {
    uint64_t size = 0;
    for (size_t i = 0; i < row.cells.size() && i < table.columns.size(); ++i) {
      for (unsigned char c : ShownText(row.cells[i], table.columns[i].type))
        size += (c & 0xC0) != 0x80 ? 1 : 0;
    }
    for (const OwnedFile& f : row.files) size += f.size;
    AddItem(category, &row, row.deleted, size, &NodeOf(category));
    CategoryGroup(category).below.push_back(&row);
  }
}

// Moves one item's selection and every counter above it; counters stay within 0..items.
void CStatisticsObj::SelectItem(SelectionEntry& e, bool on) {
  if ((e.checked != 0) == on) return;
  e.checked = on ? 1 : 0;
  for (StatNode* n = e.node; n; n = n->parent) {
    if (on) {
      n->selected = std::min(n->selected + 1, n->items);
      if (e.hidden) n->selectedHidden = std::min(n->selectedHidden + 1, n->hidden);
    } else {
      n->selected = n->selected > 0 ? n->selected - 1 : 0;
      if (e.hidden && n->selectedHidden > 0) --n->selectedHidden;
    }
  }
  if (!e.hidden) {
    if (on) {
      selectedSize_ += e.countedSize;
    } else {
      selectedSize_ -= std::min(selectedSize_, e.countedSize);
    }
  }
}

void CStatisticsObj::SelectBelow(SelectionEntry& group, bool on) {
  group.checked = on ? 1 : 0;
  for (const void* key : group.below) {
    SelectionEntry& e = entries_.at(key);
    if (e.group) {
      SelectBelow(e, on);
    } else {
      SelectItem(e, on);
    }
  }
}

bool CStatisticsObj::Select(const void* item, bool on) {
  auto it = entries_.find(item);
  if (it == entries_.end()) return false;
  SelectionEntry& e = it->second;
  if (e.group) {
    SelectBelow(e, on);
  } else {
    SelectItem(e, on);
  }
  return true;
}

void CStatisticsObj::SelectCategory(ScanCategory category, bool on) {
  SelectBelow(CategoryGroup(category), on);
}

bool CStatisticsObj::SetHidden(const void* item, bool on) {
  auto it = entries_.find(item);
  if (it == entries_.end() || it->second.group) return false;
  SelectionEntry& e = it->second;
  if ((e.hidden != 0) == on) return true;
  e.hidden = on ? 1 : 0;
  for (StatNode* n = e.node; n; n = n->parent) {
    if (on) {
      n->hidden = std::min(n->hidden + 1, n->items);
      if (e.checked) n->selectedHidden = std::min(n->selectedHidden + 1, n->hidden);
    } else {
      if (n->hidden > 0) --n->hidden;
      if (e.checked && n->selectedHidden > 0) --n->selectedHidden;
    }
  }
  if (e.checked) {
    if (on) {
      selectedSize_ -= std::min(selectedSize_, e.countedSize);
    } else {
      selectedSize_ += e.countedSize;
    }
  }
  return true;
}

void CStatisticsObj::Recount() {
  root_.items = root_.selected = root_.hidden = root_.selectedHidden = 0;
  for (const auto& c : root_.children) {
    root_.items += c->items;
    root_.selected += c->selected;
    root_.hidden += c->hidden;
    root_.selectedHidden += c->selectedHidden;
  }
}

CheckState CStatisticsObj::CategoryState(ScanCategory category) const {
  const StatNode& n = Category(category);
  if (n.items == 0 || n.selected == 0) return CheckState::kUnchecked;
  return n.selected >= n.items ? CheckState::kChecked : CheckState::kHalf;
}

const SelectionEntry* CStatisticsObj::Find(const void* item) const {
  auto it = entries_.find(item);
  return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::pair<const void*, const SelectionEntry*>> CStatisticsObj::Recoverable() const {
  std::vector<std::pair<const void*, const SelectionEntry*>> out;
  for (const auto& entry : order_) {
    const SelectionEntry& e = *entry.second;
    if (e.checked && !e.group && !e.hidden) out.push_back(entry);
  }
  return out;
}

}  // namespace halvern
