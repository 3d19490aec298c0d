// The backup session's database categories: messages, contacts, call history, notes and
// WhatsApp, read through the program's own SQLite reader, and the raw row exports.
#include "engine/backup_session.h"

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
int32_t BackupSession::ExportMessagesCsv(const std::string&) { return kInvalidParameter; }
int32_t BackupSession::ExportContactsCsv(const std::string&) { return kInvalidParameter; }

}  // namespace halvern
