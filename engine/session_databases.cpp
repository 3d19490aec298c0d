// The backup session's database categories: messages, contacts, call history, notes and
// WhatsApp, read through the program's own SQLite reader, and the raw row exports.
#include <fnmatch.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "engine/backup_session.h"
#include "extractors/extractors.h"
#include "extractors/names.h"
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

// Category codes of the database categories (ScanCategory values).
constexpr int32_t kMessagesCode = 5;
constexpr int32_t kContactsCode = 7;
constexpr int32_t kCallHistoryCode = 8;
constexpr int32_t kNotesCode = 9;
constexpr int32_t kWhatsAppCode = 10;

// A database's write-ahead log is a manifest entry of its own ("…/sms.db-wal" beside
// "…/sms.db"), stored under its own hashed name: the reader is told where each log lies.
void LocateWriteAheadLogs(const BackupSession& session) {
  constexpr std::string_view kSuffix = "-wal";
  std::unordered_map<std::string_view, const ManifestEntry*> logs;  // database's domainPath
  for (const ManifestEntry& entry : session.manifest) {
    if (EndsWith(entry.domainPath, kSuffix)) {
      logs.emplace(std::string_view(entry.domainPath).substr(
                       0, entry.domainPath.size() - kSuffix.size()),
                   &entry);
    }
  }
  if (logs.empty()) return;
  for (const ManifestEntry& entry : session.manifest) {
    const auto it = logs.find(entry.domainPath);
    if (it == logs.end()) continue;
    const std::filesystem::path log = session.DataFilePath(it->second->fileID);
    if (IsFile(log)) SetWalLocation(session.DataFilePath(entry.fileID).string(), log.string());
  }
}

}  // namespace

std::string BackupSession::DatabaseProblem(const std::filesystem::path& path,
                                           const std::string& name) {
  return halvern::DatabaseProblem(path, name);
}

// Records (or clears) the error of one category's database.
static void NoteDatabase(std::map<int32_t, std::string>& errors, int32_t code,
                         const std::filesystem::path& path, const std::string& name) {
  std::string problem = BackupSession::DatabaseProblem(path, name);
  if (problem.empty()) return;
  std::string& text = errors[code];
  text = text.empty() ? problem : text + "; " + problem;
}

// Each database category reads its database(s) at the data file paths of the open backup (the
// layout rule of the manifest kind), then moves the scan's progress on by its share and
// reports it. The answer to that closing report is not acted on except by WhatsApp, the last
// database category, whose answer stops the scan.
int32_t BackupSession::ScanMessages(MessageMap& out) {
  LocateWriteAheadLogs(*this);
  MessageExtractOptions options;
  options.newerAddressBook = info.isIos12OrLater;
  options.region = info.phoneNumber;  // the phone's own number tells its region
  options.locate = ManifestLocator(*this);
  options.progress = {progressCallback, userData};
  options.current = progress;
  options.step = step;
  databaseErrors.erase(kMessagesCode);
  NoteDatabase(databaseErrors, kMessagesCode, DataFilePath(known_files::kMessages), "sms.db");
  // The conversations are built apart (the lists may be shown while the scan runs) and then
  // moved into the caller's map: the session keeps no second copy.
  MessageMap built;
  const int32_t result =
      ExtractMessages(DataFilePath(known_files::kAddressBook).string(), built, options,
                      DataFilePath(known_files::kMessages).string(), messageRowidBase);
  out = std::move(built);
  progress += step / 2;
  Report(progress);
  return result;
}

int32_t BackupSession::ScanContacts(std::vector<ContactItem>& out) {
  databaseErrors.erase(kContactsCode);
  NoteDatabase(databaseErrors, kContactsCode, DataFilePath(known_files::kAddressBook),
               "AddressBook.sqlitedb");
  LocateWriteAheadLogs(*this);
  const int32_t result = ExtractContacts(
      info.isIos12OrLater, DataFilePath(known_files::kAddressBook).string(), out, contactRowidBase);
  progress += step / 2;
  Report(progress);
  return result;
}

int32_t BackupSession::ScanCallHistory(std::vector<CallItem>& out) {
  LocateWriteAheadLogs(*this);
  // CallHistory.storedata when the backup has it, else the older call_history.db.
  std::filesystem::path calls = DataFilePath(known_files::kCallHistory);
  const bool older = !IsFile(calls);
  if (older) calls = DataFilePath(known_files::kCallHistoryOld);
  databaseErrors.erase(kCallHistoryCode);
  notices.erase(kCallHistoryCode);
  // A plain backup leaves the call history out: that is no empty history.
  if (older && !IsFile(calls) && !info.isEncrypted) {
    notices[kCallHistoryCode] = "Call history is only in encrypted backups";
  }
  NoteDatabase(databaseErrors, kCallHistoryCode, calls,
               older ? "call_history.db" : "CallHistory.storedata");
  out.clear();
  const int32_t result = ExtractCalls(DataFilePath(known_files::kAddressBook).string(), out,
                                      info.isIos12OrLater, calls.string());
  progress += step / 2;
  Report(progress);
  return result;
}

// The notes app's group container files that lie in the backup (attachments, fallback
// renderings, previews), for the note store reader.
static NoteStoreOptions NoteStoreOptionsOf(const BackupSession& session) {
  static constexpr std::string_view kContainer = "AppDomainGroup-group.com.apple.notes-";
  NoteStoreOptions options;
  for (const ManifestEntry& entry : session.manifest) {
    if (!entry.domainPath.starts_with(kContainer)) continue;
    const std::filesystem::path data = session.DataFilePath(entry.fileID);
    if (IsFile(data)) options.files.push_back({entry.domainPath.substr(kContainer.size()), data.string()});
  }
  return options;
}

NoteUnlockCount BackupSession::UnlockNotes(std::vector<NoteItem>& notes,
                                           const std::string& password) const {
  NoteStoreOptions options = NoteStoreOptionsOf(*this);
  options.password = password;
  return halvern::UnlockNotes(DataFilePath(kNoteStoreFileId).string(), notes, options);
}

int32_t BackupSession::ScanNotes(std::vector<NoteItem>& out) {
  LocateWriteAheadLogs(*this);
  // notes.sqlite and, on newer phones, NoteStore.sqlite; an upgraded phone may keep both.
  out.clear();
  databaseErrors.erase(kNotesCode);
  NoteDatabase(databaseErrors, kNotesCode, DataFilePath(known_files::kNotes), "notes.sqlite");
  NoteDatabase(databaseErrors, kNotesCode, DataFilePath(kNoteStoreFileId), "NoteStore.sqlite");
  const int32_t legacy = ExtractNotes(DataFilePath(known_files::kNotes).string(), out);
  const int32_t store =
      ExtractNoteStore(DataFilePath(kNoteStoreFileId).string(), out, NoteStoreOptionsOf(*this));
  progress += step / 2;
  Report(progress);
  return legacy == kOk || store == kOk ? kOk : legacy;
}

int32_t BackupSession::ScanWhatsApp(ChatMap& out) {
  LocateWriteAheadLogs(*this);
  ChatMap built;
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
  databaseErrors.erase(kWhatsAppCode);
  if (!chatStorage.empty()) {
    NoteDatabase(databaseErrors, kWhatsAppCode, chatStorage, "ChatStorage.sqlite");
  }
  const int32_t result =
      chatStorage.empty()
          ? kInvalidParameter
          : ExtractWhatsApp(chatStorage.string(), built,
                            DataFilePath(known_files::kAddressBook).string(),
                            info.isIos12OrLater, ManifestLocator(*this));
  out = std::move(built);
  progress += step;
  const int32_t answer = Report(progress);
  return answer != 0 ? answer : result;
}

namespace {

// The files of the open backup, for the table categories.
class ManifestFiles final : public PhoneFiles {
 public:
  explicit ManifestFiles(const BackupSession& session) : session_(session) {}
  std::filesystem::path Find(std::string_view domain,
                             std::string_view relativePath) const override {
    std::string domainPath(domain);
    domainPath += '-';
    domainPath += relativePath;
    const std::filesystem::path data = session_.DataFilePath(FileIdOf(domainPath));
    return IsFile(data) ? data : std::filesystem::path();
  }
  std::vector<PhoneFile> Match(std::string_view domain, std::string_view pattern) const override {
    std::vector<PhoneFile> found;
    const std::string prefix = std::string(domain) + "-";
    const std::string glob(pattern);
    for (const ManifestEntry& entry : session_.manifest) {
      if (entry.domainPath.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string relative = entry.domainPath.substr(prefix.size());
      if (fnmatch(glob.c_str(), relative.c_str(), 0) != 0) continue;
      std::filesystem::path data = session_.DataFilePath(entry.fileID);
      if (IsFile(data)) found.push_back({std::string(domain), relative, std::move(data)});
    }
    return found;
  }

 private:
  const BackupSession& session_;
};

}  // namespace

int32_t BackupSession::ScanTable(int32_t code, const TableCategory& category,
                                 CategoryTable& out) {
  LocateWriteAheadLogs(*this);
  const ManifestFiles files(*this);
  std::optional<NameIndex> names;
  CategoryContext context;
  context.files = &files;
  context.names = [&]() -> const NameIndex& {
    if (!names) {
      names = ReadNameIndex(DataFilePath(known_files::kAddressBook).string(),
                            info.isIos12OrLater, info.phoneNumber);
    }
    return *names;
  };
  context.encrypted = info.isEncrypted;
  context.progress = {progressCallback, userData};
  context.current = progress;
  context.step = step / 4;
  databaseErrors.erase(code);
  notices.erase(code);
  CategoryTable built;
  const CategoryOutcome outcome = category.extract(context, built);
  out = std::move(built);
  if (!outcome.error.empty()) databaseErrors[code] = outcome.error;
  if (!outcome.notice.empty()) notices[code] = outcome.notice;
  if (outcome.result == kStopped) return kStopped;
  progress = std::min(progress + step / 4, 98);
  return Report(progress) != 0 ? kStopped : outcome.result;
}

// The raw row exports read the databases afresh with their own reader; the rowid counters
// start after the largest rowids the scan met.
int32_t BackupSession::ExportMessagesCsv(const std::string& destination) {
  LocateWriteAheadLogs(*this);
  const std::filesystem::path db = DataFilePath(known_files::kMessages);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(db, ec)) return kInvalidParameter;
  CSqliteFileReader reader;
  if (const int32_t open = reader.Open(db.string()); open != 0) return open;
  reader.MaxRowid = uint64_t(messageRowidBase > 0 ? messageRowidBase : 0);
  return halvern::ExportMessagesCsv(reader, destination);
}
int32_t BackupSession::ExportContactsCsv(const std::string& destination) {
  LocateWriteAheadLogs(*this);
  const std::filesystem::path db = DataFilePath(known_files::kAddressBook);
  std::error_code ec;
  if (!std::filesystem::is_regular_file(db, ec)) return kInvalidParameter;
  CSqliteFileReader reader;
  if (const int32_t open = reader.Open(db.string()); open != 0) return open;
  // An older address book has no search table to export: its people are in the contact list
  // the recover run writes; no file is made here.
  if (reader.FindTable("ABPersonFullTextSearch_content") == nullptr &&
      reader.FindTable("ABPerson") != nullptr) {
    return kOk;
  }
  reader.ContactsExportRowid = uint64_t(contactRowidBase > 0 ? contactRowidBase : 0);
  return halvern::ExportContactsCsv(reader, destination);
}

}  // namespace halvern
