// JSON and text output of scan results.
#include "cli/scan_output.h"

#include <cstdio>

#include "backup/media_scan.h"

namespace halvern::cli {

using nlohmann::json;

namespace {

json Attachments(const std::vector<MessageAttachment>& attachments) {
  json out = json::array();
  for (const MessageAttachment& a : attachments)
    out.push_back({{"name", a.name}, {"path", a.path}, {"mime", a.mime}});
  return out;
}

json Item(const MessageItem& m) {
  json reactions = json::array();
  for (const MessageReaction& r : m.reactions) reactions.push_back({{"kind", r.kind}, {"by", r.by}});
  return {{"deleted", m.deleted},
          {"fromMe", m.fromMe},
          {"rowId", m.rowId},
          {"handleId", m.handleId},
          {"date", m.date},
          {"phone", m.phone},
          {"name", m.name},
          {"text", m.text},
          {"attachment", m.attachment},
          {"conversation", m.conversation},
          {"chatId", m.chatId},
          {"service", m.service},
          {"sender", m.sender},
          {"attachments", Attachments(m.attachments)},
          {"reactions", std::move(reactions)},
          {"edited", m.edited},
          {"unsent", m.unsent},
          {"earlierTexts", m.earlierTexts},
          {"replyTo", m.replyTo}};
}
json Item(const ContactItem& c) {
  return {{"deleted", c.deleted}, {"email", c.email},   {"address", c.address},
          {"social", c.social},   {"url", c.url},       {"phones", c.phones},
          {"company", c.company}, {"name", c.name}};
}
json Item(const CallItem& c) {
  return {{"deleted", c.deleted}, {"incoming", c.incoming}, {"duration", c.duration},
          {"date", c.date},       {"phone", c.phone},       {"name", c.name},
          {"type", c.type},       {"outcome", c.outcome}};
}
json Item(const NoteItem& n) {
  return {{"deleted", n.deleted}, {"bodyId", n.bodyId}, {"date", n.date},
          {"title", n.title},     {"body", n.body},     {"folder", n.folder},
          {"locked", n.locked}};
}
json Item(const ChatMessageItem& m) {
  return {{"deleted", m.deleted},     {"fromMe", m.fromMe},       {"rowId", m.rowId},
          {"sessionId", m.sessionId}, {"memberId", m.memberId},   {"mediaId", m.mediaId},
          {"date", m.date},           {"name", m.name},           {"text", m.text},
          {"phone", m.phone},         {"chatNames", m.chatNames}, {"chatPhones", m.chatPhones},
          {"chatTitle", m.chatTitle}, {"sender", m.fromMe == 1 ? std::string("Me") : m.name},
          {"attachments", Attachments(m.attachments)}};
}
json Item(const MediaFileItem& f) {
  return {{"size", f.size},
          {"displayName", f.displayName},
          {"path", f.path.string()},
          {"kind", f.kind},
          {"class", MediaClassOf(f.kind)}};
}
json Item(const AppFileItem& f) {
  return {{"size", f.size},
          {"appName", f.appName},
          {"displayName", f.displayName},
          {"path", f.path.string()},
          {"kind", f.kind},
          {"class", MediaClassOf(f.kind)}};
}

template <typename T>
json Array(const std::vector<T>& items) {
  json out = json::array();
  for (const auto& item : items) out.push_back(Item(item));
  return out;
}
json Members(const std::vector<ConversationMember>& members) {
  json out = json::array();
  for (const ConversationMember& m : members)
    out.push_back({{"address", m.address}, {"name", m.name}, {"service", m.service}});
  return out;
}

template <typename C>
json ConversationJson(const C& c) {
  return {{"title", ConversationLabel(c)},
          {"group", c.group},
          {"members", Members(c.members)},
          {"items", Array(c.messages)}};
}

json Keyed(const MessageMap& map) {
  json out = json::object();
  for (const auto& [id, c] : map) out[id] = ConversationJson(c);
  return out;
}
json Keyed(const ChatMap& map) {
  json out = json::object();
  for (const auto& [id, c] : map) out[std::to_string(id)] = ConversationJson(c);
  return out;
}

template <typename T>
size_t Deleted(const std::vector<T>& items) {
  size_t n = 0;
  for (const auto& item : items) n += item.deleted != 0;
  return n;
}
template <typename Map>
size_t DeletedIn(const Map& map) {
  size_t n = 0;
  for (const auto& [key, c] : map) n += Deleted(c.messages);
  return n;
}

}  // namespace

const char* CategoryJsonKey(ScanCategory category) {
  switch (category) {
    case ScanCategory::kCameraRoll: return "cameraRoll";
    case ScanCategory::kPhotoStream: return "photoStream";
    case ScanCategory::kAppPhotos:
    case ScanCategory::kAppVideos: return "appFiles";
    case ScanCategory::kMessages: return "messages";
    case ScanCategory::kMessageAttachments: return "messageAttachments";
    case ScanCategory::kContacts: return "contacts";
    case ScanCategory::kCallHistory: return "callHistory";
    case ScanCategory::kNotes: return "notes";
    case ScanCategory::kWhatsApp: return "whatsApp";
    case ScanCategory::kWhatsAppAttachments: return "whatsAppAttachments";
  }
  return "";
}

int PrintScanErrors(const ScanResults& results) {
  for (const auto& [category, text] : results.errors) {
    std::fprintf(stderr, "halvern-cli: %s: %s\n", CategoryName(category), text.c_str());
  }
  return results.errors.empty() ? 0 : 1;
}

json BackupJson(const BackupInfo& b) {
  return json{{"isEncrypted", b.isEncrypted},       {"isIos12OrLater", b.isIos12OrLater},
              {"lastBackupDate", b.lastBackupDate}, {"phoneNumber", b.phoneNumber},
              {"serialNumber", b.serialNumber},     {"folderPath", b.folderPath.string()},
              {"displayName", b.displayName}};
}

json ScanJson(const BackupInfo& backup, int32_t openResult, const ScanResults& r) {
  json errors = json::object();
  for (const auto& [category, text] : r.errors) errors[CategoryJsonKey(category)] = text;
  return json{{"backup", BackupJson(backup)},
              {"result", openResult},
              {"errors", errors},
              {"categories",
               {{"cameraRoll", Array(r.cameraRoll)},
                {"photoStream", Array(r.photoStream)},
                {"messages", Keyed(r.messages)},
                {"messageAttachments", Array(r.messageAttachments)},
                {"contacts", Array(r.contacts)},
                {"callHistory", Array(r.calls)},
                {"notes", Array(r.notes)},
                {"appFiles", Array(r.appFiles)},
                {"whatsApp", Keyed(r.whatsApp)},
                {"whatsAppAttachments", Array(r.whatsAppAttachments)}}}};
}

void PrintCounts(const ScanResults& r) {
  struct Row {
    const char* name;
    size_t count;
    long deleted;  // -1: files have no deleted flag
  };
  const Row rows[] = {
      {"Camera Roll", r.cameraRoll.size(), -1},
      {"Photo Stream", r.photoStream.size(), -1},
      {"App Photos", r.Count(ScanCategory::kAppPhotos), -1},
      {"App Videos", r.Count(ScanCategory::kAppVideos), -1},
      {"Messages", r.Count(ScanCategory::kMessages), static_cast<long>(DeletedIn(r.messages))},
      {"Messages Attachments", r.messageAttachments.size(), -1},
      {"Contacts", r.contacts.size(), static_cast<long>(Deleted(r.contacts))},
      {"Call History", r.calls.size(), static_cast<long>(Deleted(r.calls))},
      {"Notes", r.notes.size(), static_cast<long>(Deleted(r.notes))},
      {"WhatsApp", r.Count(ScanCategory::kWhatsApp), static_cast<long>(DeletedIn(r.whatsApp))},
      {"WhatsApp Attachments", r.whatsAppAttachments.size(), -1},
  };
  std::printf("%-22s %8s %8s\n", "CATEGORY", "ITEMS", "DELETED");
  for (const auto& row : rows) {
    if (row.deleted < 0) {
      std::printf("%-22s %8zu %8s\n", row.name, row.count, "-");
    } else {
      std::printf("%-22s %8zu %8ld\n", row.name, row.count, row.deleted);
    }
  }
  std::printf("(%zu conversations, %zu WhatsApp chats)\n", r.messages.size(), r.whatsApp.size());
}

}  // namespace halvern::cli
