// The print page: the checked items of one printable category (Messages, Contacts, Call
// History, Notes, WhatsApp, and every table category) as HTML put in place of the print
// template's content marker: a block per item, or for a table category its table (the same
// table its recovered page has, with the names of the rows' files). Every inserted value is
// escaped, so item texts print as text and never as markup.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/scan_sequence.h"
#include "export/writers.h"

namespace halvern {

inline constexpr const char* kPrintTemplate = "Print.html";

// What the print page is composed from: the category, the lists as the scan page shows
// them (one representative row per conversation or chat) and the message containers.
struct PrintSource {
  ScanCategory category = ScanCategory::kMessages;
  bool deletedOnly = false;  // print only the items marked deleted
  const std::vector<MessageItem>* conversations = nullptr;
  const std::vector<ChatMessageItem>* chats = nullptr;
  const std::vector<ContactItem>* contacts = nullptr;
  const std::vector<CallItem>* calls = nullptr;
  const std::vector<NoteItem>* notes = nullptr;
  const MessageMap* messages = nullptr;
  const ChatMap* chatMap = nullptr;
  // The table categories of the scan (ScanResults::tables).
  const std::vector<CategoryTable>* tables = nullptr;
  // The rows of the table category in the order the list shows them; the table's own order
  // when empty.
  std::vector<const TableRow*> tableRows;
  // Whether the item at this address is checked; every item when empty.
  std::function<bool(const void*)> checked;
};

// Whether a category prints at all.
bool IsPrintable(ScanCategory category);

// Shared state of one print run: `cancelled` is looked at before each message or item; the
// composer holds `lock` from its start to its end.
struct PrintControl {
  std::atomic<bool> cancelled{false};
  std::mutex lock;
};

// Appends the blocks of the checked items to `body`. 0, or 2 when `control` was cancelled.
int32_t ComposePrintBody(const PrintSource& source, std::string& body, PrintControl& control);

// The page file of the print window under `folder`: folder/Print/page.html.
std::filesystem::path PrintPagePath(const std::filesystem::path& folder);

// Composes the body and writes head + body + tail to `pagePath` (its folder is created).
// 0; 2 when cancelled (nothing written); the errno value when the page cannot be written.
int32_t ComposePrintPage(const PrintSource& source, const PageTemplate& page,
                         const std::filesystem::path& pagePath, PrintControl& control);

// The print template of `templateFolder` split at its marker; a missing template leaves head
// and tail empty (the page is the body alone). 0 or 87.
int32_t LoadPrintTemplate(const std::filesystem::path& templateFolder, PageTemplate& out);

}  // namespace halvern
