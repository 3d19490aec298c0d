// Probe databases of conversations (see conversation_dbs.h).
#include "tests/extractors/conversation_dbs.h"

#include <plist/plist.h>

#include <cstdlib>

#include "tests/extractors/db_edit.h"
#include "tests/fixtures/phone_dbs.h"

namespace halvern::testing {
namespace {

namespace fx = halvern::fixtures;

constexpr int64_t kNs = 1000000000;  // iOS 11 on: nanoseconds since 2001
constexpr int64_t kBase = 640000000;  // 2021-04-13

fx::DbOptions Options(const std::string& schema) {
  fx::DbOptions o;
  o.schemaFile = schema;
  o.schemaDir = std::filesystem::path(HALVERN_SOURCE_DIR) / "tests/data/ios-schemas";
  return o;
}

fx::Blob BlobOf(const std::string& bytes) {
  return fx::Blob{std::vector<uint8_t>(bytes.begin(), bytes.end())};
}

// message_summary_info of an edited message: {"ec": {"0": [{"t": archive}, ...]}}.
std::string EditSummary(const std::vector<std::string>& texts) {
  plist_t root = plist_new_dict();
  plist_t ec = plist_new_dict();
  plist_t versions = plist_new_array();
  for (const std::string& t : texts) {
    plist_t v = plist_new_dict();
    const std::string archive = TypedStreamArchive(t);
    plist_dict_set_item(v, "t", plist_new_data(archive.data(), archive.size()));
    plist_array_append_item(versions, v);
  }
  plist_dict_set_item(ec, "0", versions);
  plist_dict_set_item(root, "ec", ec);
  char* bin = nullptr;
  uint32_t length = 0;
  plist_to_bin(root, &bin, &length);
  std::string out(bin, length);
  free(bin);
  plist_free(root);
  return out;
}

struct Msg {
  int64_t rowid;
  int64_t chat;  // 0: no chat join
  int64_t handle;
  int fromMe;
  const char* text;  // nullptr: NULL
  const char* service;
  int64_t assocTarget = 0;  // rowid of the message reacted to
  int64_t assocType = 0;
  int64_t threadTarget = 0;
};

std::string Guid(int64_t rowid) { return "GUID-" + std::to_string(rowid); }

}  // namespace

std::string MakeConversationSms(const std::filesystem::path& path, bool ios16) {
  std::string error;
  auto db = fx::PhoneDb::Create(path, Options("sms_all_ios11.sql"), &error);
  if (!db) return error;
  if (ios16) {
    if (db->AddColumnsFrom("message", "sms_message_ios16.sql") <= 0) return "no iOS 16 columns";
    if (!db->Exec("CREATE TABLE chat_recoverable_message_join (chat_id INTEGER REFERENCES chat "
                  "(ROWID) ON DELETE CASCADE, message_id INTEGER REFERENCES message (ROWID) ON "
                  "DELETE CASCADE, delete_date INTEGER, ck_sync_state INTEGER DEFAULT 0, "
                  "PRIMARY KEY (chat_id, message_id), CHECK (delete_date != 0))"))
      return db->error();
  } else if (!db->Exec("ALTER TABLE message ADD COLUMN thread_originator_guid TEXT") ||
             !db->Exec("ALTER TABLE message ADD COLUMN thread_originator_part TEXT")) {
    // iOS 14 added the thread columns to the table of iOS 11.
    return db->error();
  }
  const struct {
    int64_t rowid;
    const char* id;
    const char* service;
  } handles[] = {{1, "+4915112345678", "SMS"},   {2, "+4915112345678", "iMessage"},
                 {3, "+4917012345678", "iMessage"}, {4, "24273", "SMS"},
                 {5, "ann@example.com", "iMessage"}, {6, "+4930123456", "SMS"},
                 {7, "+4989555000", "SMS"}};
  for (const auto& h : handles) {
    if (db->Insert("handle", {{"ROWID", h.rowid}, {"id", std::string(h.id)},
                              {"service", std::string(h.service)}}) < 0)
      return db->error();
  }
  const struct {
    int64_t rowid;
    int64_t style;
    const char* identifier;
    const char* display;
    std::vector<int64_t> handles;
  } chats[] = {{1, 45, "+4915112345678", "", {1}},
               {2, 45, "+4915112345678", "", {2}},
               {3, 43, "chat123", "Family \xF0\x9F\x8F\xA1", {2, 3}},
               {4, 45, "24273", "", {4}},
               {5, 45, "ann@example.com", "", {5}},
               {6, 45, "+4930123456", "", {6}},
               {7, 45, "+4989555000", "", {7}},
               {8, 43, "chat456", "", {3, 6}}};
  for (const auto& c : chats) {
    if (db->Insert("chat", {{"ROWID", c.rowid}, {"guid", "chat-guid-" + std::to_string(c.rowid)},
                            {"style", c.style}, {"chat_identifier", std::string(c.identifier)},
                            {"display_name", std::string(c.display)}}) < 0)
      return db->error();
    for (int64_t h : c.handles) {
      if (db->Insert("chat_handle_join", {{"chat_id", c.rowid}, {"handle_id", h}}) < 0)
        return db->error();
    }
  }
  const std::string fffc2 = "\xEF\xBF\xBC\xEF\xBF\xBC";
  std::vector<Msg> messages = {
      {1, 1, 1, 0, "Hi via SMS", "SMS"},
      {2, 2, 2, 0, "Hi via iMessage", "iMessage"},
      {3, 2, 2, 1, "see you at 8", "iMessage"},
      {4, 3, 2, 0, "Group hello from Ann", "iMessage"},
      {5, 3, 3, 0, "Group hello from Ben", "iMessage"},
      {6, 3, 0, 1, "Owner in group", "iMessage"},
      {7, 2, 2, 0, "Loved \xE2\x80\x9Csee you at 8\xE2\x80\x9D", "iMessage", 3, 2000},
      {8, 3, 3, 0, "Liked \xE2\x80\x9CGroup hello from Ann\xE2\x80\x9D", "iMessage", 4, 2001},
      {9, 3, 3, 0, "Removed a like", "iMessage", 4, 3001},
      {10, 3, 2, 0, "Laughed at \xE2\x80\x9COwner in group\xE2\x80\x9D", "iMessage", 6, 2003},
      {11, 4, 4, 0, "Your bank code is 918273", "SMS"},
      {12, 5, 5, 0, "Mail hello", "iMessage"},
      {13, 6, 6, 0, "Landline: call me", "SMS"},
      {14, 7, 7, 0, "Your parcel from ACME", "SMS"},
      {15, 3, 2, 0, fffc2.c_str(), "iMessage"},
      {16, 3, 3, 0, "Replying to Ann", "iMessage", 0, 0, 4},
      {17, 8, 3, 0, "Second group", "SMS"},
      {18, 1, 1, 0, "Carved SMS survives", "SMS"},
  };
  if (ios16) {
    messages.push_back({19, 2, 2, 0, "Edited final", "iMessage"});
    messages.push_back({20, 2, 2, 0, nullptr, "iMessage"});
    messages.push_back({21, 2, 2, 1, "In Recently Deleted", "iMessage"});
  }
  for (const Msg& m : messages) {
    fx::Row row = {{"ROWID", m.rowid},
                   {"guid", Guid(m.rowid)},
                   {"handle_id", m.handle},
                   {"is_from_me", int64_t(m.fromMe)},
                   {"service", std::string(m.service)},
                   {"date", (kBase + m.rowid * 60) * kNs}};
    if (m.text) row.push_back({"text", std::string(m.text)});
    if (m.assocType != 0) {
      row.push_back({"associated_message_guid", "p:0/" + Guid(m.assocTarget)});
      row.push_back({"associated_message_type", m.assocType});
    }
    if (m.threadTarget != 0) row.push_back({"thread_originator_guid", Guid(m.threadTarget)});
    if (m.rowid == 15) row.push_back({"cache_has_attachments", int64_t(1)});
    if (m.rowid == 19) {
      row.push_back({"date_edited", (kBase + 5000) * kNs});
      row.push_back({"message_summary_info",
                     BlobOf(EditSummary({"Edited first", "Edited final"}))});
    }
    if (m.rowid == 20) row.push_back({"date_retracted", (kBase + 5000) * kNs});
    if (db->Insert("message", row) < 0) return db->error();
    if (m.chat != 0 && m.rowid != 21) {
      if (db->Insert("chat_message_join", {{"chat_id", m.chat}, {"message_id", m.rowid}}) < 0)
        return db->error();
    }
  }
  if (ios16 && db->Insert("chat_recoverable_message_join",
                          {{"chat_id", int64_t(2)}, {"message_id", int64_t(21)},
                           {"delete_date", (kBase + 9000) * kNs}}) < 0)
    return db->error();
  const struct {
    int64_t rowid;
    const char* filename;
    const char* transfer;
    const char* mime;
  } attachments[] = {{1, "~/Library/SMS/Attachments/ab/01/IMG_0042.jpeg", "IMG_0042.jpeg",
                      "image/jpeg"},
                     {2, "~/Library/SMS/Attachments/cd/02/Audio Message.caf", "Audio Message.caf",
                      "audio/x-caf"}};
  for (const auto& a : attachments) {
    if (db->Insert("attachment", {{"ROWID", a.rowid}, {"guid", "att-" + std::to_string(a.rowid)},
                                  {"original_guid", "orig-" + std::to_string(a.rowid)},
                                  {"filename", std::string(a.filename)},
                                  {"transfer_name", std::string(a.transfer)},
                                  {"mime_type", std::string(a.mime)}}) < 0)
      return db->error();
    if (db->Insert("message_attachment_join",
                   {{"message_id", int64_t(15)}, {"attachment_id", a.rowid}}) < 0)
      return db->error();
  }
  // The carved message: its row and its chat join are deleted.
  if (!db->Exec("DELETE FROM chat_message_join WHERE message_id = 18") ||
      !db->DeleteRowid("message", 18))
    return db->error();
  return db->Close() ? std::string() : db->error();
}

std::string MakeConversationAddressBook(const std::filesystem::path& path) {
  // Each card's values with their labels in ABMultiValue; the search row holds them as the
  // phone indexes them (each number as typed, then without punctuation).
  const auto phone = [](const char* label, const char* number) {
    return fx::AbValue{3, label, number, {}};
  };
  std::vector<fx::AbPerson> people = {
      {1, "Ann", "Schmidt", "",
       "+49 151 12345678 +4915112345678 030 9876543 +49309876543 ",
       "ann@example.com ann.schmidt@work.example", "Lindenstra\xC3\x9F" "e 5 10115 Berlin", "",
       "",
       {phone("_$!<Mobile>!$_", "+49 151 12345678"), phone("_$!<Home>!$_", "030 9876543"),
        {4, "_$!<Home>!$_", "ann@example.com", {}},
        {4, "_$!<Work>!$_", "ann.schmidt@work.example", {}},
        {5, "_$!<Home>!$_", "", {{"Street", "Lindenstra\xC3\x9F" "e 5"}, {"ZIP", "10115"},
                                 {"City", "Berlin"}}}}},
      {2, "Ben", "Kraus", "", "0170 12345678 017012345678 +49 30 1234567 +49301234567 ", "", "",
       "", "",
       {phone("iPhone", "0170 12345678"), phone("_$!<Work>!$_", "+49 30 1234567")}},
      {3, "Clara", "Vogt", "", "+49 152 24273991 ", "", "", "", "",
       {phone("_$!<Mobile>!$_", "+49 152 24273991")}},
      {4, "Dora", "Lang", "", "030123456 ", "", "", "", "", {phone("_$!<Home>!$_", "030123456")}},
      {5, "", "", "ACME GmbH", "+49 89 555000 +4989555000 ", "", "", "", "",
       {phone("_$!<Main>!$_", "+49 89 555000")}},
  };
  fx::DbLog log = fx::MakeAddressBookDb(path, people, {}, Options("addressbook_all_ios8.sql"));
  return log.status == 0 ? std::string() : log.error;
}

std::string MakeConversationWhatsApp(const std::filesystem::path& path) {
  std::string error;
  auto db = fx::PhoneDb::Create(path, Options("whatsapp_chatstorage_macos_secondary.sql"), &error);
  if (!db) return error;
  const auto add = [&](const std::string& table, const fx::Row& row) {
    return db->Insert(table, row) >= 0;
  };
  bool ok =
      add("ZWACHATSESSION", {{"Z_PK", int64_t(1)}, {"ZCONTACTJID", std::string("491701234@g.us")},
                             {"ZPARTNERNAME", std::string("Climbing crew")},
                             {"ZSESSIONTYPE", int64_t(1)}}) &&
      add("ZWACHATSESSION", {{"Z_PK", int64_t(2)},
                             {"ZCONTACTJID", std::string("4915112345678@s.whatsapp.net")},
                             {"ZPARTNERNAME", std::string("")}, {"ZSESSIONTYPE", int64_t(0)}}) &&
      // Member row 1 is a person like any other.
      add("ZWAGROUPMEMBER", {{"Z_PK", int64_t(1)}, {"ZCHATSESSION", int64_t(1)},
                             {"ZCONTACTNAME", std::string("Ben Kraus")},
                             {"ZMEMBERJID", std::string("4917012345678@s.whatsapp.net")}}) &&
      add("ZWAGROUPMEMBER", {{"Z_PK", int64_t(2)}, {"ZCHATSESSION", int64_t(1)},
                             {"ZCONTACTNAME", std::string("")},
                             {"ZMEMBERJID", std::string("4915112345678@s.whatsapp.net")}}) &&
      add("ZWAGROUPMEMBER", {{"Z_PK", int64_t(3)}, {"ZCHATSESSION", int64_t(1)},
                             {"ZMEMBERJID", std::string("83921748211@lid")}}) &&
      add("ZWAPROFILEPUSHNAME", {{"Z_PK", int64_t(1)}, {"ZJID", std::string("83921748211@lid")},
                                 {"ZPUSHNAME", std::string("Eve")}}) &&
      add("ZWAMEDIAITEM", {{"Z_PK", int64_t(1)}, {"ZMEDIALOCALPATH",
                                                   std::string(kWaVoicePath).substr(8)}}) &&
      add("ZWAMEDIAITEM", {{"Z_PK", int64_t(2)},
                           {"ZMEDIALOCALPATH", std::string(kWaPhotoPath).substr(8)},
                           {"ZTITLE", std::string("Summit!")}}) &&
      add("ZWAMEDIAITEM", {{"Z_PK", int64_t(3)},
                           {"ZMEDIALOCALPATH", std::string("Media/491701234@g.us/e/f/sticker.webp")}});
  const struct {
    int64_t rowid, session, member, media, fromMe;
    const char* text;
    const char* pushName;
  } messages[] = {
      {1, 1, 1, 0, 0, "Row one speaks", "Ben"},
      {2, 1, 2, 1, 0, nullptr, ""},  // a voice note, empty push name
      {3, 1, 0, 2, 1, nullptr, nullptr},
      {4, 1, 3, 0, 0, "From a lid member", nullptr},
      {5, 1, 1, 3, 0, nullptr, ""},
      {6, 2, 0, 0, 0, "Private hello", ""},
      {7, 2, 0, 0, 1, "Private answer", nullptr},
  };
  for (const auto& m : messages) {
    fx::Row row = {{"Z_PK", m.rowid},
                   {"ZCHATSESSION", m.session},
                   {"ZISFROMME", m.fromMe},
                   {"ZMESSAGEDATE", double(kBase + m.rowid * 60)}};
    if (m.member != 0) row.push_back({"ZGROUPMEMBER", m.member});
    if (m.media != 0) row.push_back({"ZMEDIAITEM", m.media});
    if (m.text) row.push_back({"ZTEXT", std::string(m.text)});
    if (m.pushName) row.push_back({"ZPUSHNAME", std::string(m.pushName)});
    ok = ok && add("ZWAMESSAGE", row);
  }
  if (!ok) return db->error();
  return db->Close() ? std::string() : db->error();
}

std::string MakeIos5Sms(const std::filesystem::path& path) {
  std::string error;
  auto db = fx::PhoneDb::Create(path, Options(""), &error);
  if (!db) return error;
  // The message table of iOS 5 as the phone created it.
  const bool ok =
      db->Exec("CREATE TABLE message (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, address TEXT, "
               "date INTEGER, text TEXT, flags INTEGER, replace INTEGER, svc_center TEXT, "
               "group_id INTEGER, association_id INTEGER, height INTEGER, UIFlags INTEGER, "
               "version INTEGER, subject TEXT, country TEXT, headers BLOB, recipients BLOB, "
               "read INTEGER, madrid_attributedBody BLOB, madrid_handle TEXT, madrid_version "
               "INTEGER, madrid_guid TEXT, madrid_type INTEGER, madrid_roomname TEXT, "
               "madrid_service TEXT, madrid_account TEXT, madrid_account_guid TEXT, "
               "madrid_flags INTEGER, madrid_attachmentInfo BLOB, madrid_url TEXT, madrid_error "
               "INTEGER, is_madrid INTEGER, madrid_date_read INTEGER, madrid_date_delivered "
               "INTEGER)") &&
      db->Exec("CREATE TABLE msg_group (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, "
               "newest_message INTEGER, unread_count INTEGER, hash INTEGER)") &&
      db->Exec("CREATE TABLE group_member (ROWID INTEGER PRIMARY KEY AUTOINCREMENT, group_id "
               "INTEGER, address TEXT, country TEXT)") &&
      db->Exec("INSERT INTO msg_group VALUES (1, 0, 0, 0, 0), (2, 0, 0, 0, 0)") &&
      db->Exec("INSERT INTO group_member (group_id, address) VALUES (1, '+4915112345678'), "
               "(2, '+4915112345678')") &&
      // SMS: dates from 1970, flags 2 received / 3 sent. iMessage: dates from 2001,
      // madrid_flags 12289 received / 36869 sent.
      db->Exec("INSERT INTO message (ROWID, address, date, text, flags, group_id, is_madrid) "
               "VALUES (1, '+4915112345678', 1325412000, 'Old SMS in', 2, 1, 0), "
               "(2, '+4915112345678', 1325412060, 'Old SMS out', 3, 1, 0)") &&
      db->Exec("INSERT INTO message (ROWID, date, text, flags, group_id, madrid_handle, "
               "madrid_flags, is_madrid, madrid_service) VALUES "
               "(3, 347104920, 'Old iMessage in', 0, 2, '+4915112345678', 12289, 1, 'Madrid'), "
               "(4, 347104980, 'Old iMessage out', 0, 2, '+4915112345678', 36869, 1, 'Madrid')");
  if (!ok) return db->error();
  return db->Close() ? std::string() : db->error();
}

}  // namespace halvern::testing
