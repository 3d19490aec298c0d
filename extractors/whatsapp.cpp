// WhatsApp: ChatStorage.sqlite (ZWAMESSAGE, ZWACHATSESSION, ZWAGROUPMEMBER, ZWAMEDIAITEM,
// ZWAPROFILEPUSHNAME).
//
// Locate: AppDomainGroup-group.net.whatsapp.WhatsApp.shared-ChatStorage.sqlite (file id
// 7c7fba66680ef796b916b067077cc246adacf01d, since about 2018) or the older
// AppDomain-net.whatsapp.WhatsApp-Documents/ChatStorage.sqlite
// (1b6b187a1b60b9ae8b720c79e2c67f472bab09c0); the caller passes the path. Media files lie in
// the same container under Message/<ZMEDIALOCALPATH>.
// Schema variants: ZWAMESSAGE grew from 28 columns (no media item) onwards; columns are taken
// by name from each file's own schema.
#include <algorithm>
#include <unordered_map>

#include "extractors/common.h"
#include "extractors/extractors.h"
#include "extractors/names.h"
#include "sqlite_recovery/time_format.h"

namespace halvern {
namespace {

using extract::Columns;
using extract::GoodText;
using extract::IntOf;
using extract::PlainTextOf;
using extract::Walk;

// The part of a jid before its at sign ("4915112345678@s.whatsapp.net" -> "4915112345678").
std::string ContactId(const std::string& jid) {
  const size_t at = jid.find('@');
  return at == std::string::npos ? std::string() : jid.substr(0, at);
}

bool IsPhoneJid(const std::string& jid) {
  return jid.find("@s.whatsapp.net") != std::string::npos;
}

std::string MacDateOf(const Value& v) {
  if (v.IsInteger()) return v.integer == 0 ? std::string() : FormatMacTime(v.integer);
  if (v.IsReal()) return FormatMacDouble(v.real);
  return {};
}

std::string Extension(const std::string& name) {
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos) return {};
  std::string ext = name.substr(dot + 1);
  for (char& c : ext)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return ext;
}

std::string MimeOf(const std::string& name) {
  static const std::unordered_map<std::string, std::string> kTypes = {
      {"jpg", "image/jpeg"},  {"jpeg", "image/jpeg"}, {"png", "image/png"},
      {"gif", "image/gif"},   {"webp", "image/webp"}, {"heic", "image/heic"},
      {"opus", "audio/ogg"},  {"ogg", "audio/ogg"},   {"m4a", "audio/mp4"},
      {"aac", "audio/aac"},   {"mp3", "audio/mpeg"},  {"caf", "audio/x-caf"},
      {"amr", "audio/amr"},   {"mp4", "video/mp4"},   {"mov", "video/quicktime"},
      {"3gp", "video/3gpp"},  {"pdf", "application/pdf"}, {"vcf", "text/vcard"},
      {"txt", "text/plain"},  {"doc", "application/msword"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"zip", "application/zip"}};
  auto it = kTypes.find(Extension(name));
  return it == kTypes.end() ? std::string() : it->second;
}

struct Session {
  int64_t rowId = 0;
  std::string jid;
  std::string contact;
  std::string partnerName;
  bool group = false;
};

struct Member {
  int64_t sessionId = 0;
  std::string jid;
  std::string contact;  // the phone digits of a phone jid, else the whole jid
  std::string name;
};

struct Media {
  std::string path;
  std::string title;
};

}  // namespace

int32_t ExtractWhatsApp(const std::string& chatStoragePath, ChatMap& out,
                        const std::string& addressBookPath, bool newerAddressBook,
                        const LocateFile& locate) {
  // Read.
  CSqliteFileReader reader;
  const int32_t opened = extract::OpenDatabase(reader, chatStoragePath);
  if (opened != 0) return opened;
  if (reader.FindTable("ZWAMESSAGE") == nullptr) return kQueryFailed;
  NameIndex names = addressBookPath.empty() ? NameIndex()
                                            : ReadNameIndex(addressBookPath, newerAddressBook);
  // A phone jid's digits as the address book writes them.
  const auto bookName = [&](const std::string& jid) -> std::string {
    if (!IsPhoneJid(jid)) return {};
    return names.Find("+" + ContactId(jid));
  };

  std::unordered_map<std::string, std::string> pushNames;  // jid -> the name its owner chose
  {
    const Columns c(reader, "ZWAPROFILEPUSHNAME", {"ZJID", "ZPUSHNAME"});
    Walk(reader, "ZWAPROFILEPUSHNAME", c, [&](const ScannedRow& row) {
      std::string jid = PlainTextOf(c.at(row.record, 0)), name = PlainTextOf(c.at(row.record, 1));
      if (!jid.empty() && !name.empty()) pushNames.try_emplace(jid, name);
    });
  }
  std::unordered_map<int64_t, Media> media;
  {
    const Columns c(reader, "ZWAMEDIAITEM", {"ZMEDIALOCALPATH", "ZTITLE"});
    Walk(reader, "ZWAMEDIAITEM", c, [&](const ScannedRow& row) {
      const int64_t rowid = row.record.rowid.value_or(0);
      if (rowid == 0) return;
      media.try_emplace(rowid,
                        Media{PlainTextOf(c.at(row.record, 0)), PlainTextOf(c.at(row.record, 1))});
    });
  }
  std::unordered_map<int64_t, Session> sessions;
  std::vector<int64_t> sessionOrder;
  {
    const Columns c(reader, "ZWACHATSESSION", {"ZCONTACTJID", "ZPARTNERNAME", "ZSESSIONTYPE"});
    Walk(reader, "ZWACHATSESSION", c, [&](const ScannedRow& row) {
      const int64_t rowid = row.record.rowid.value_or(0);
      if (rowid == 0 || sessions.count(rowid)) return;
      Session s;
      s.rowId = rowid;
      s.jid = PlainTextOf(c.at(row.record, 0));
      s.contact = ContactId(s.jid);
      s.partnerName = PlainTextOf(c.at(row.record, 1));
      s.group = IntOf(c.at(row.record, 2)) == 1 || s.jid.find("@g.us") != std::string::npos;
      if (s.partnerName.empty()) s.partnerName = bookName(s.jid);
      sessions.emplace(rowid, std::move(s));
      sessionOrder.push_back(rowid);
    });
  }
  std::unordered_map<int64_t, Member> members;
  std::vector<int64_t> memberOrder;
  {
    const Columns c(reader, "ZWAGROUPMEMBER",
                    {"ZCHATSESSION", "ZCONTACTNAME", "ZFIRSTNAME", "ZMEMBERJID"});
    Walk(reader, "ZWAGROUPMEMBER", c, [&](const ScannedRow& row) {
      const int64_t rowid = row.record.rowid.value_or(0);
      if (rowid == 0 || members.count(rowid)) return;
      Member m;
      m.sessionId = IntOf(c.at(row.record, 0));
      m.jid = PlainTextOf(c.at(row.record, 3));
      m.contact = IsPhoneJid(m.jid) ? ContactId(m.jid) : m.jid;
      m.name = PlainTextOf(c.at(row.record, 1));
      if (m.name.empty()) m.name = PlainTextOf(c.at(row.record, 2));
      if (m.name.empty()) m.name = bookName(m.jid);
      if (m.name.empty()) {
        if (auto p = pushNames.find(m.jid); p != pushNames.end()) m.name = p->second;
      }
      members.emplace(rowid, std::move(m));
      memberOrder.push_back(rowid);
    });
  }

  // Chats with their members.
  std::unordered_map<int64_t, ChatConversation> chats;
  for (int64_t id : sessionOrder) {
    const Session& s = sessions[id];
    ChatConversation& chat = chats[id];
    chat.sessionId = id;
    chat.group = s.group;
    chat.title = s.partnerName;
    if (!s.group) chat.members.push_back({s.contact, s.partnerName, "WhatsApp"});
  }
  for (int64_t id : memberOrder) {
    const Member& m = members[id];
    auto chat = chats.find(m.sessionId);
    if (chat == chats.end()) continue;
    chat->second.group = true;
    chat->second.members.push_back({m.contact, m.name, "WhatsApp"});
  }
  for (auto& [id, chat] : chats) {
    if (!chat.group) continue;
    // A group lists its members; the partner entry of a one-member start is dropped.
    std::erase_if(chat.members, [&](const ConversationMember& m) {
      return m.address == sessions[id].contact && m.name == sessions[id].partnerName;
    });
  }

  // Messages.
  enum { kFromMe, kSession, kMember, kMedia, kDate, kText, kPushName, kFromJid, kStanzaId };
  const Columns c(reader, "ZWAMESSAGE",
                  {"ZISFROMME", "ZCHATSESSION", "ZGROUPMEMBER", "ZMEDIAITEM", "ZMESSAGEDATE",
                   "ZTEXT", "ZPUSHNAME", "ZFROMJID", "ZSTANZAID"});
  // Each message goes to its chat as it is read (never a second list of every message); each
  // chat is put in date order at the end.
  Walk(reader, "ZWAMESSAGE", c, [&](const ScannedRow& row) {
    const Record& r = row.record;
    ChatMessageItem m;
    m.deleted = row.deleted ? 1 : 0;
    m.rowId = r.rowid.value_or(0);
    // An empty text is an empty text; a text cut short or ill-formed refuses a carved row.
    std::string pushName, fromJid;
    if (!GoodText(c.at(r, kText), m.text) || !GoodText(c.at(r, kPushName), pushName) ||
        !GoodText(c.at(r, kFromJid), fromJid))
      return;
    // The protocol's id of the message names it on every phone the chat was restored to.
    if (!GoodText(c.at(r, kStanzaId), m.stanzaId)) m.stanzaId.clear();
    m.fromMe = IntOf(c.at(r, kFromMe)) != 0 ? 1 : 0;
    bool anchored = false;
    if (const Value& v = c.at(r, kSession); v.IsInteger()) m.sessionId = v.integer, anchored = true;
    if (const Value& v = c.at(r, kMember); v.IsInteger()) m.memberId = v.integer, anchored = true;
    if (const Value& v = c.at(r, kMedia); v.IsInteger()) m.mediaId = v.integer;
    const Value& date = c.at(r, kDate);
    m.date = MacDateOf(date);
    anchored = anchored || date.IsInteger() || date.IsReal();
    if (row.deleted && !anchored) return;

    auto session = sessions.find(m.sessionId);
    if (session != sessions.end()) {
      const Session& s = session->second;
      const ChatConversation& chat = chats[s.rowId];
      m.chatTitle = s.partnerName;
      if (chat.group) {
        for (const ConversationMember& member : chat.members) {
          if (!m.chatNames.empty() || !m.chatPhones.empty()) m.chatNames += ",", m.chatPhones += ",";
          m.chatNames += member.name;
          m.chatPhones += member.address;
        }
      } else {
        m.chatNames = s.partnerName;
        m.chatPhones = s.contact;
      }
      m.phone = s.contact;
      m.name = s.partnerName;
    }
    if (m.fromMe == 1) {
      m.name = "Me";
      m.phone.clear();
    } else if (auto g = members.find(m.memberId); m.memberId != 0 && g != members.end()) {
      // The sender of a group message is its member row, whatever its number.
      m.name = g->second.name;
      m.phone = g->second.contact;
      if (m.name.empty()) m.name = pushName;
    } else if (session != sessions.end() && session->second.group) {
      // A group message whose member row is lost: the sender's jid and push name, if any.
      m.phone = IsPhoneJid(fromJid) ? ContactId(fromJid) : fromJid;
      m.name = !pushName.empty() ? pushName : bookName(fromJid);
    }
    if (m.mediaId != 0) {
      if (auto p = media.find(m.mediaId); p != media.end() && !p->second.path.empty()) {
        const Media& item = p->second;
        std::string file = item.path.substr(item.path.find_last_of('/') + 1);
        std::string path;
        if (locate) {
          path = locate("Message/" + item.path);
          if (path.empty()) path = locate(item.path);
        }
        m.attachments.push_back({file, path, MimeOf(file)});
        // A photo's caption is its message's text.
        if (m.text.empty()) m.text = item.title;
      }
    }
    if (m.text.empty() && m.attachments.empty()) return;
    ChatConversation& chat = out[m.sessionId];
    if (chat.messages.empty() && chat.sessionId != m.sessionId) {
      auto known = chats.find(m.sessionId);
      if (known != chats.end()) {
        chat = known->second;
      } else {
        chat.sessionId = m.sessionId;
      }
    }
    chat.messages.push_back(std::move(m));
  });
  for (auto& [id, chat] : out) {
    std::stable_sort(chat.messages.begin(), chat.messages.end(),
                     [](const ChatMessageItem& a, const ChatMessageItem& b) {
                       return extract::LessIgnoreCase(a.date, b.date);
                     });
  }
  return 0;
}

}  // namespace halvern
