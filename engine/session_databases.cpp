// The backup session's database categories: messages, contacts, call history, notes and
// WhatsApp, read through the program's own SQLite reader, and the raw row exports.
#include <memory>
#include <string_view>
#include <unordered_map>

#include "engine/backup_session.h"
#include "extractors/extractors.h"
#include "sqlite_recovery/row_csv.h"

namespace halvern {

// AppDomainGroup-group.com.apple.notes-NoteStore.sqlite
constexpr const char* kNoteStoreFileId = "4f98687d8ab0d6d1a371110e6b7300f6e465bef2";

namespace {

bool IsFile(const std::filesystem::path& path) {
  std::error_code ec;
  return std::filesystem::is_regular_file(path, ec);
}

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

// Finds a phone file by its path relative to its domain ("Library/SMS/Attachments/...",
// "Message/Media/..."). A domain name may itself hold a dash ("AppDomainGroup-group.x"), so
// every entry is known by the text after its first and after its second dash; the data file
// must exist.
LocateFile ManifestLocator(const BackupSession& session) {
  auto index = std::make_shared<std::unordered_map<std::string, std::string>>();
  for (const ManifestEntry& entry : session.manifest) {
    const size_t first = entry.domainPath.find('-');
    if (first == std::string::npos) continue;
    index->try_emplace(entry.domainPath.substr(first + 1), entry.fileID);
    const size_t second = entry.domainPath.find('-', first + 1);
    if (second != std::string::npos) index->try_emplace(entry.domainPath.substr(second + 1), entry.fileID);
  }
  return [index, &session](const std::string& relative) -> std::string {
    auto it = index->find(relative);
    if (it == index->end()) return {};
    const std::filesystem::path data = session.DataFilePath(it->second);
    return IsFile(data) ? data.string() : std::string();
  };
}

}  // namespace

// Each database category reads its database(s) at the data file paths of the open backup (the
// layout rule of the manifest kind), then moves the scan's progress on by its share and
// reports it. The answer to that closing report is not acted on except by WhatsApp, the last
// database category, whose answer stops the scan.
int32_t BackupSession::ScanMessages(MessageMap& out) {
  MessageExtractOptions options;
  options.newerAddressBook = info.isIos12OrLater;
  options.region = info.phoneNumber;  // the phone's own number tells its region
  options.locate = ManifestLocator(*this);
  options.progress = {progressCallback, userData};
  options.current = progress;
  options.step = step;
  const int32_t result =
      ExtractMessages(DataFilePath(known_files::kAddressBook).string(), messageMap, options,
                      DataFilePath(known_files::kMessages).string(), messageRowidBase);
  if (&out != &messageMap) out = messageMap;
  progress += step / 2;
  Report(progress);
  return result;
}

int32_t BackupSession::ScanContacts(std::vector<ContactItem>& out) {
  const int32_t result = ExtractContacts(
      info.isIos12OrLater, DataFilePath(known_files::kAddressBook).string(), out, contactRowidBase);
  progress += step / 2;
  Report(progress);
  return result;
}

int32_t BackupSession::ScanCallHistory(std::vector<CallItem>& out) {
  // CallHistory.storedata when the backup has it, else the older call_history.db.
  std::filesystem::path calls = DataFilePath(known_files::kCallHistory);
  if (!IsFile(calls)) calls = DataFilePath(known_files::kCallHistoryOld);
  out.clear();
  const int32_t result = ExtractCalls(DataFilePath(known_files::kAddressBook).string(), out,
                                      info.isIos12OrLater, calls.string());
  progress += step / 2;
  Report(progress);
  return result;
}

int32_t BackupSession::ScanNotes(std::vector<NoteItem>& out) {
  // notes.sqlite and, on newer phones, NoteStore.sqlite; an upgraded phone may keep both.
  out.clear();
  const int32_t legacy = ExtractNotes(DataFilePath(known_files::kNotes).string(), out);
  const int32_t store = ExtractNoteStore(DataFilePath(kNoteStoreFileId).string(), out);
  progress += step / 2;
  Report(progress);
  return legacy == kOk || store == kOk ? kOk : legacy;
}

int32_t BackupSession::ScanWhatsApp(ChatMap& out) {
  whatsAppChats.clear();
  out.clear();
  // The chat database: the shared group container's (current app), else the app container's
  // (older app), else any ChatStorage.sqlite of the manifest, whose data file exists.
  std::filesystem::path chatStorage;
  for (const char* id : {known_files::kWhatsApp, known_files::kWhatsAppOld}) {
    if (chatStorage.empty() && IsFile(DataFilePath(id))) chatStorage = DataFilePath(id);
  }
  for (const ManifestEntry& entry : manifest) {
    if (!chatStorage.empty()) break;
    if (EndsWith(entry.domainPath, "ChatStorage.sqlite") && IsFile(DataFilePath(entry.fileID))) {
      chatStorage = DataFilePath(entry.fileID);
    }
  }
  const int32_t result =
      chatStorage.empty()
          ? kInvalidParameter
          : ExtractWhatsApp(chatStorage.string(), out,
                            DataFilePath(known_files::kAddressBook).string(),
                            info.isIos12OrLater, ManifestLocator(*this));
  whatsAppChats = out;
  progress += step;
  const int32_t answer = Report(progress);
  return answer != 0 ? answer : result;
}

// The raw row exports read the databases afresh with their own reader; the rowid counters
// start after the largest rowids the scan met.
int32_t BackupSession::ExportMessagesCsv(const std::string& destination) {
  const std::filesystem::path db = DataFilePath(known_files::kMessages);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(db, ec)) return kInvalidParameter;
  CSqliteFileReader reader;
  if (const int32_t open = reader.Open(db.string()); open != 0) return open;
  reader.MaxRowid = uint64_t(messageRowidBase > 0 ? messageRowidBase : 0);
  return halvern::ExportMessagesCsv(reader, destination);
}
int32_t BackupSession::ExportContactsCsv(const std::string& destination) {
  const std::filesystem::path db = DataFilePath(known_files::kAddressBook);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(db, ec)) return kInvalidParameter;
  CSqliteFileReader reader;
  if (const int32_t open = reader.Open(db.string()); open != 0) return open;
  reader.ContactsExportRowid = uint64_t(contactRowidBase > 0 ? contactRowidBase : 0);
  return halvern::ExportContactsCsv(reader, destination);
}

}  // namespace halvern
