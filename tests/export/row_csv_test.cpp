// The raw row exports over real databases made by SQLite: live and deleted rows, the rewrite
// of deleted messages, refusals, quoting, and the lines pinned by golden files.
#include "sqlite_recovery/row_csv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "tests/export/golden.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fs = std::filesystem;
using fixtures::Blob;
using fixtures::PhoneDb;
using fixtures::Row;
using fixtures::TempDir;

constexpr const char* kAccount = "8C5A2A5E-2B6C-4A7B-9F2E-3D1C0B9A8F7E";
constexpr int64_t kNow = 700000000;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));  // a line without its end: the test will see it
      break;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

const std::string* LineStarting(const std::vector<std::string>& lines, const std::string& prefix) {
  for (const auto& l : lines) {
    if (l.rfind(prefix, 0) == 0) return &l;
  }
  return nullptr;
}

Row Message(int64_t rowid, const std::string& guid, fixtures::SqlValue text, int64_t fromMe,
            fixtures::SqlValue account, int64_t date) {
  return {{"ROWID", rowid},
          {"guid", guid},
          {"text", std::move(text)},
          {"handle_id", int64_t{1}},
          {"service", std::string("SMS")},
          {"account_guid", std::move(account)},
          {"date", date},
          {"is_from_me", fromMe}};
}

// sms.db of iOS 6 with live rows of every value kind and three deleted rows.
fs::path MakeMessages(const TempDir& dir) {
  const fs::path path = dir / "sms.db";
  std::string error;
  auto db = PhoneDb::Create(path, {.schemaFile = "sms_all_ios6.sql"}, &error);
  EXPECT_TRUE(db) << error;
  if (!db) return path;
  Row quoted = Message(5, "G-5", std::string("He said \"hi\", it's <b>bold</b>"), 0,
                       std::string(kAccount), 600000000);
  quoted.emplace_back("attributedBody", Blob{{0x04, 0x0b, 0x00, 0xff}});
  EXPECT_GT(db->Insert("message", quoted), 0) << db->error();
  // Nanosecond dates (8-byte integers) and a real.
  Row wide = Message(6, "G-6", std::string("Grüße 😀"), 1, std::string(kAccount),
                     int64_t{700000000123456789});
  wide.emplace_back("version", 2.5);
  EXPECT_GT(db->Insert("message", wide), 0) << db->error();
  EXPECT_GT(db->Insert("message", Message(7, "G-7", std::string("bad \xff\xfe text"), 0,
                                          std::string(kAccount), 600000100)),
            0);
  EXPECT_GT(db->Insert("message", Message(8, "G-8", std::string("deleted, sent by me"), 1,
                                          std::string(kAccount), 600000200)),
            0);
  EXPECT_GT(db->Insert("message",
                       Message(9, "G-9", std::string("kept"), 0, std::string(kAccount), 600000300)),
            0);
  EXPECT_GT(db->Insert("message", Message(10, "G-10", std::string("deleted with a bad account"), 0,
                                          std::string("not-a-guid"), 600000400)),
            0);
  EXPECT_GT(db->Insert("message",
                       Message(11, "G-11", std::monostate{}, 0, std::string(kAccount), 600000500)),
            0);
  EXPECT_GT(db->Insert("message", Message(12, "G-12", std::string("deleted, received"), 0,
                                          std::string(kAccount), 600000600)),
            0);
  EXPECT_GT(db->Insert("message", Message(13, "G-13", std::string("kept too"), 0,
                                          std::string(kAccount), 600000700)),
            0);
  EXPECT_GT(db->Insert("message", Message(14, "G-14", std::string("deleted without account"), 0,
                                          std::monostate{}, 600000800)),
            0);
  for (int64_t rowid : {8, 10, 12, 14}) EXPECT_TRUE(db->DeleteRowid("message", rowid));
  EXPECT_TRUE(db->Close());
  return path;
}

TEST(MessagesCsv, LiveAndRewrittenDeletedRows) {
  TempDir dir;
  const fs::path db = MakeMessages(dir);
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.string()), 0);
  reader.MaxRowid = 100;
  const fs::path out = dir / "sms.csv";
  ASSERT_EQ(ExportMessagesCsv(reader, out.string(), kNow), 0);
  const std::string text = golden::ReadBytes(out);
  const auto lines = Lines(text);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");

  // Live rows keep their rowids; texts are quoted as RFC 4180 does (double quotes doubled,
  // apostrophes as they are); blobs are hex; wide integers and reals are written whole.
  const std::string* five = LineStarting(lines, "5,");
  ASSERT_NE(five, nullptr);
  EXPECT_NE(five->find("\"He said \"\"hi\"\", it's <b>bold</b>\""), std::string::npos) << *five;
  EXPECT_EQ(five->find("''"), std::string::npos) << *five;
  EXPECT_NE(five->find(",040b00ff,"), std::string::npos) << *five;
  const std::string* six = LineStarting(lines, "6,");
  ASSERT_NE(six, nullptr);
  EXPECT_NE(six->find(",700000000123456789,"), std::string::npos) << *six;
  EXPECT_NE(six->find(",2.5,"), std::string::npos) << *six;
  // A message text that is not UTF-8 refuses its row; a NULL text does not.
  EXPECT_EQ(LineStarting(lines, "7,"), nullptr);
  EXPECT_NE(LineStarting(lines, "11,"), nullptr);

  // Deleted rows take the rowids after the largest one and a guid made of that rowid; they
  // keep their own dates and read state (never the time of the export). A row whose account guid is not
  // guid-shaped is taken for a false record; one without an account guid is kept.
  const std::string* sent = nullptr;
  const std::string* received = nullptr;
  for (const auto& l : lines) {
    if (l.find("deleted, sent by me") != std::string::npos) sent = &l;
    if (l.find("deleted, received") != std::string::npos) received = &l;
    EXPECT_EQ(l.find("deleted with a bad account"), std::string::npos);
  }
  ASSERT_NE(sent, nullptr);
  ASSERT_NE(received, nullptr);
  EXPECT_NE(text.find("\"deleted without account\""), std::string::npos);
  const std::string* first = LineStarting(lines, "101,");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->rfind("101,\"27B99F78-F6F0-475F-8BA1-000000000065\",", 0), 0u) << *first;
  EXPECT_EQ(reader.MaxRowid, 103u);
  // date, date_read, ..., is_finished, is_from_me, ..., is_read of the iOS 6 layout.
  auto field = [](const std::string& line, size_t index) {
    std::vector<std::string> fields;
    std::string cur;
    bool quoted = false;
    for (char c : line) {
      if (c == '"') quoted = !quoted;
      if (c == ',' && !quoted) {
        fields.push_back(cur);
        cur.clear();
      } else {
        cur += c;
      }
    }
    fields.push_back(cur);
    return index < fields.size() ? fields[index] : std::string("<none>");
  };
  EXPECT_EQ(field(*sent, 15), "600000200");
  EXPECT_EQ(field(*sent, 19), "1");
  EXPECT_EQ(field(*received, 15), "600000600");
  EXPECT_EQ(sent->find("," + std::to_string(kNow) + ","), std::string::npos) << *sent;
  EXPECT_EQ(received->find("," + std::to_string(kNow) + ","), std::string::npos) << *received;
  // Every line has one field per column of the table.
  for (const auto& l : lines)
    EXPECT_EQ(field(l, 37) != "<none>" && field(l, 38) == "<none>", true) << l;

  golden::ExpectGolden("sms.csv", text);
}

TEST(MessagesCsv, AppendsAndReportsAFileThatCannotBeWritten) {
  TempDir dir;
  const fs::path db = MakeMessages(dir);
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.string()), 0);
  EXPECT_NE(ExportMessagesCsv(reader, (dir / "no-such-folder" / "sms.csv").string(), kNow), 0);

  CSqliteFileReader empty;
  EXPECT_EQ(ExportMessagesCsv(empty, (dir / "x.csv").string(), kNow), 87);
}

TEST(ContactsCsv, EveryRowWithItsColumns) {
  TempDir dir;
  const fs::path db = dir / "AddressBook.sqlitedb";
  std::vector<fixtures::AbPerson> people = {
      {1, "Anna", "Berg", "Berg & Söhne", "+49 30 1234567", "anna@example.org", "", "", ""},
      {2, "O'Brien", "", "", "+1 555 0100", "", "1 \"Main\" St", "", "https://example.org"},
      {3, "Zoë", "Deleted", "", "+33 6 11 22 33 44", "zoe@example.org", "", "", ""},
      {4, "Kim", "", "", "+82 10 5555 0000", "", "", "", ""},
  };
  const fixtures::DbLog log = fixtures::MakeAddressBookDb(
      db, people, {.deletePeople = {3}}, {.schemaFile = "addressbook_all_ios7.sql"});
  ASSERT_EQ(log.status, 0) << log.error;
  CSqliteFileReader reader;
  ASSERT_EQ(reader.Open(db.string()), 0);
  reader.ContactsExportRowid = 40;
  const fs::path out = dir / "Contacts.csv";
  ASSERT_EQ(ExportContactsCsv(reader, out.string()), 0);
  const std::string text = golden::ReadBytes(out);
  const auto lines = Lines(text);
  const std::string* obrien = LineStarting(lines, "2,");
  ASSERT_NE(obrien, nullptr);
  EXPECT_EQ(obrien->rfind("2,\"O'Brien\",", 0), 0u) << *obrien;
  EXPECT_NE(obrien->find("\"1 \"\"Main\"\" St\""), std::string::npos);
  // 24 columns: the docid and 23 values, the last one NULL.
  for (const auto& l : lines) {
    EXPECT_EQ(std::count(l.begin(), l.end(), ','), 23) << l;
    EXPECT_EQ(l.substr(l.size() - 5), ",NULL") << l;
  }
  const std::string* zoe = LineStarting(lines, "41,");
  ASSERT_NE(zoe, nullptr) << text;
  EXPECT_NE(zoe->find("\"Zoë\""), std::string::npos);
  golden::ExpectGolden("Contacts.csv", text);
}

}  // namespace
}  // namespace halvern
