// The database categories of a backup session over the complete fixture backups: every
// planted message, contact, call, note and WhatsApp message in its place, deleted rows
// flagged, names "First Last", dates in the test's time zone, the progress of the session.
#include "tests/fixtures/scan_backups.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "engine/backup_session.h"
#include "sqlite_recovery/time_format.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

struct Reports {
  std::vector<int32_t> seen;
  static int32_t Callback(void* self, int32_t percent) {
    static_cast<Reports*>(self)->seen.push_back(percent);
    return 0;
  }
};

class ScanBackups : public ::testing::TestWithParam<fx::PhoneGeneration> {};

TEST_P(ScanBackups, DatabaseCategoriesListEveryPlantedItem) {
  fx::TempDir dir;
  fx::ScanExpectation expected;
  std::string error;
  const auto folder = dir / "backup";
  ASSERT_TRUE(fx::WriteScanBackup(GetParam(), folder, &expected, &error)) << error;

  BackupSession session(dir / "appdata", dir / "temp");
  BackupInfo info;
  ASSERT_EQ(info.ReadBackupInfo(folder), 0);
  session.SetBackupInfo(info);
  Reports reports;
  session.progressCallback = &Reports::Callback;
  session.userData = &reports;
  ASSERT_EQ(session.Open(""), 0);

  MessageMap messages;
  std::vector<ContactItem> contacts;
  std::vector<CallItem> calls;
  std::vector<NoteItem> notes;
  ChatMap chats;
  EXPECT_EQ(session.ScanMessages(messages), 0);
  EXPECT_EQ(session.ScanContacts(contacts), 0);
  EXPECT_EQ(session.ScanCallHistory(calls), 0);
  EXPECT_EQ(session.ScanNotes(notes), 0);
  EXPECT_EQ(session.ScanWhatsApp(chats), 0);
  // Open: 0, 1, 12; messages: its own reports then + step/2; contacts, calls, notes: + 5
  // each; WhatsApp: + 11.
  EXPECT_EQ(reports.seen,
            (std::vector<int32_t>{0, 1, 12, 14, 14, 15, 17, 23, 23, 17, 22, 27, 32, 43}));

  // Messages: by conversation, in date order, deleted ones flagged.
  std::vector<MessageItem> list;
  for (const auto& [key, conversation] : messages) {
    for (const MessageItem& m : conversation.messages) {
      EXPECT_EQ(m.conversation, key);
      list.push_back(m);
    }
  }
  EXPECT_EQ(list.size(), expected.messages.size());
  for (const MessageItem& want : expected.messages) {
    SCOPED_TRACE(want.text);
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const MessageItem& m) { return m.text == want.text; });
    ASSERT_NE(it, list.end());
    EXPECT_EQ(it->deleted, want.deleted);
    EXPECT_EQ(it->fromMe, want.fromMe);
    EXPECT_EQ(it->phone, want.phone);
    EXPECT_EQ(it->name, want.name);
    EXPECT_EQ(it->attachment, want.attachment);
    EXPECT_EQ(it->date, FormatMacTime(std::stoll(want.date)));
    if (!want.deleted) EXPECT_EQ(it->rowId, want.rowId);
  }
  EXPECT_EQ(session.messageRowidBase, 5);

  // Contacts, cleaned and sorted.
  ASSERT_EQ(contacts.size(), expected.contacts.size());
  for (size_t i = 0; i < contacts.size(); ++i) {
    EXPECT_EQ(contacts[i].name, expected.contacts[i].name);
    EXPECT_EQ(contacts[i].phones, expected.contacts[i].phones);
    EXPECT_EQ(contacts[i].deleted, expected.contacts[i].deleted);
  }

  // Calls, sorted by date.
  ASSERT_EQ(calls.size(), expected.calls.size());
  for (size_t i = 0; i < calls.size(); ++i) {
    SCOPED_TRACE(expected.calls[i].phone);
    EXPECT_EQ(calls[i].phone, expected.calls[i].phone);
    EXPECT_EQ(calls[i].name, expected.calls[i].name);
    EXPECT_EQ(calls[i].incoming, expected.calls[i].incoming);
    EXPECT_EQ(calls[i].duration, expected.calls[i].duration);
    EXPECT_EQ(calls[i].deleted, expected.calls[i].deleted);
    EXPECT_EQ(calls[i].date, FormatMacTime(std::stoll(expected.calls[i].date)));
  }

  // Notes of both stores.
  for (const NoteItem& want : expected.notes) {
    SCOPED_TRACE(want.title);
    auto it = std::find_if(notes.begin(), notes.end(), [&](const NoteItem& n) {
      return n.title == want.title && (n.body == want.body || (want.deleted && n.body.empty()));
    });
    ASSERT_NE(it, notes.end());
    EXPECT_EQ(it->deleted, want.deleted);
  }

  // WhatsApp, by chat.
  for (const ChatMessageItem& want : expected.whatsApp) {
    SCOPED_TRACE(want.text);
    const auto& chat = chats[want.sessionId].messages;
    auto it = std::find_if(chat.begin(), chat.end(),
                           [&](const ChatMessageItem& m) { return m.text == want.text; });
    ASSERT_NE(it, chat.end());
    EXPECT_EQ(it->deleted, want.deleted);
    EXPECT_EQ(it->name, want.name);
    EXPECT_EQ(it->fromMe, want.fromMe);
  }
}

INSTANTIATE_TEST_SUITE_P(Generations, ScanBackups,
                         ::testing::Values(fx::PhoneGeneration::kIos6Flat,
                                           fx::PhoneGeneration::kIos9Flat,
                                           fx::PhoneGeneration::kIos14));

TEST(ScanBackupsMissing, ABackupWithoutDatabasesListsNothingAndGoesOn) {
  fx::TempDir dir;
  fx::BackupSpec spec;
  ASSERT_TRUE(fx::WriteBackup(dir / "backup", spec));
  BackupSession session(dir / "appdata", dir / "temp");
  BackupInfo info;
  ASSERT_EQ(info.ReadBackupInfo(dir / "backup"), 0);
  session.SetBackupInfo(info);
  ASSERT_EQ(session.Open(""), 0);
  MessageMap messages;
  std::vector<ContactItem> contacts;
  std::vector<CallItem> calls;
  std::vector<NoteItem> notes;
  ChatMap chats;
  EXPECT_EQ(session.ScanMessages(messages), 87);
  EXPECT_EQ(session.messageRowidBase, 20000);
  EXPECT_EQ(session.ScanContacts(contacts), 87);
  EXPECT_EQ(session.ScanCallHistory(calls), 87);
  EXPECT_EQ(session.ScanNotes(notes), 87);
  EXPECT_EQ(session.ScanWhatsApp(chats), 87);
  EXPECT_TRUE(messages.empty() && contacts.empty() && calls.empty() && notes.empty() &&
              chats.empty());
  EXPECT_EQ(session.progress, 12 + 5 + 5 + 5 + 5 + 11);
}

}  // namespace
}  // namespace halvern
