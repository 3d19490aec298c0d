// The backup session's database categories: messages, contacts, call history, notes and
// WhatsApp, read through the program's own SQLite reader, and the raw row exports.
#include "engine/backup_session.h"
#include "sqlite_recovery/row_csv.h"

namespace halvern {

// The database categories arrive with the extractors; until then each step only moves the
// progress on, as a category with no database does.
int32_t BackupSession::ScanMessages(MessageMap& out) {
  if (&out != &messageMap) out = messageMap;
  progress += step / 2;
  Report(progress);
  return kInvalidParameter;
}
int32_t BackupSession::ScanContacts(std::vector<ContactItem>&) {
  progress += step / 2;
  Report(progress);
  return kInvalidParameter;
}
int32_t BackupSession::ScanCallHistory(std::vector<CallItem>&) {
  progress += step / 2;
  Report(progress);
  return kInvalidParameter;
}
int32_t BackupSession::ScanNotes(std::vector<NoteItem>&) {
  progress += step / 2;
  Report(progress);
  return kInvalidParameter;
}
int32_t BackupSession::ScanWhatsApp(ChatMap& out) {
  whatsAppChats.clear();
  out.clear();
  progress += step;
  return Report(progress);
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
