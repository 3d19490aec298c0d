// WhatsApp: ChatStorage.sqlite (ZWAMESSAGE, ZWACHATSESSION, ZWAGROUPMEMBER, ZWAMEDIAITEM).
//
// Locate: AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite (file id
// 7c7fba66680ef796b916b067077cc246adacf01d, since about 2018) or the older
// AppDomain-net.whatsapp.WhatsApp-Documents/ChatStorage.sqlite
// (1b6b187a1b60b9ae8b720c79e2c67f472bab09c0); the caller passes the path.
// Schema variants: ZWAMESSAGE grew from 28 columns (no media item) onwards; its column count
// is taken from each file's own schema.
#include <algorithm>
#include <unordered_map>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "sqlite_recovery/decoders.h"

namespace halvern {

int32_t ExtractWhatsApp(const std::string& chatStoragePath, ChatMap& out) {
  // Read.
  CSqliteFileReader reader;
  const int32_t opened = extract::OpenDatabase(reader, chatStoragePath);
  if (opened != 0) return opened;
  const TableSchema* messageTable = reader.FindTable("ZWAMESSAGE");
  if (messageTable == nullptr) return kQueryFailed;
  // The column count of this file's message table (never one remembered from another file).
  reader.WaMessageColumnCount =
      messageTable->parsed ? int32_t(messageTable->declaredColumnCount) : 28;

  std::vector<WaMediaItemRow> media;
  std::vector<WaChatSessionRow> sessions;
  std::vector<WaGroupMemberRow> members;
  if (int32_t r = DecodeWaMediaItems(reader, media); r != 0) return r;
  if (int32_t r = DecodeWaChatSessions(reader, sessions); r != 0) return r;
  if (int32_t r = DecodeWaGroupMembers(reader, members); r != 0) return r;
  std::vector<ChatMessageItem> messages;
  if (int32_t r = DecodeWaMessages(reader, messages); r != 0) return r;

  // Map: members of each chat, in member order. An empty member name after the first is
  // left out of the names (the phones keep every member).
  std::unordered_map<int64_t, size_t> sessionAt;
  for (size_t i = 0; i < sessions.size(); ++i) sessionAt.try_emplace(sessions[i].rowId, i);
  std::unordered_map<int64_t, size_t> memberAt;
  for (size_t i = 0; i < members.size(); ++i) {
    memberAt.try_emplace(members[i].rowId, i);
    auto s = sessionAt.find(members[i].sessionId);
    if (s == sessionAt.end()) continue;
    WaChatSessionRow& session = sessions[s->second];
    if (session.memberPhones.empty()) {
      session.memberPhones = members[i].contact;
      session.memberNames = members[i].name;
    } else {
      session.memberPhones += "," + members[i].contact;
      if (!members[i].name.empty()) session.memberNames += "," + members[i].name;
    }
  }
  std::unordered_map<int64_t, const std::string*> pathOf;
  for (const WaMediaItemRow& m : media) pathOf.try_emplace(m.rowId, &m.path);

  std::vector<ChatMessageItem> kept;
  kept.reserve(messages.size());
  for (ChatMessageItem& m : messages) {
    if (auto s = sessionAt.find(m.sessionId); s != sessionAt.end()) {
      const WaChatSessionRow& session = sessions[s->second];
      m.phone = session.contact;
      m.name = session.partnerName;
      m.chatTitle = session.partnerName;
      m.chatPhones = session.memberPhones.empty() ? session.contact : session.memberPhones;
      m.chatNames = session.memberNames.empty() ? session.partnerName : session.memberNames;
      if (m.fromMe == 1) {
        m.name = "Me";
        m.phone.clear();
      } else if (uint64_t(m.memberId) > 1) {
        if (auto g = memberAt.find(m.memberId); g != memberAt.end()) {
          m.name = members[g->second].name;
          m.phone = members[g->second].contact;
        }
      }
    }
    if (m.mediaId != 0 && m.text.empty()) {
      if (auto p = pathOf.find(m.mediaId); p != pathOf.end()) m.text = *p->second;
    }
    if (!m.text.empty()) kept.push_back(std::move(m));
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const ChatMessageItem& a, const ChatMessageItem& b) {
                     return extract::LessIgnoreCase(a.date, b.date);
                   });
  for (ChatMessageItem& m : kept) out[int32_t(m.sessionId)].push_back(std::move(m));
  return 0;
}

}  // namespace halvern
