// Contacts (clean-up, names, sort) and call history (both tables, names, sort, durations).
#include <gtest/gtest.h>

#include "extractors/extractors.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

TEST(CleanPhoneList, KeepsEachNumberOnce) {
  struct Case {
    const char* phones;
    const char* kept;
  };
  const Case cases[] = {
      // One number written four ways: the first form stays.
      {"+33612345678 33612345678 612345678 5678 ", "+33612345678"},
      // Two numbers; the text after the last space is a token too.
      {"+33612345678 +4915112345670", "+33612345678\n+4915112345670"},
      {"0612345678", "0612345678"},  // a lone number
      {"123456 5678 ", ""},          // all shorter than 7 characters
      // Different numbers ending in the same four digits, one after the other.
      {"0612345678 0799995678 0711112222", "0612345678\n0711112222"},
      {"  0612345678  ", "0612345678"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(CleanPhoneList(c.phones), c.kept) << c.phones;
}

std::string MakeAddressBook(const fx::TempDir& dir, const char* schema) {
  const std::string path = (dir / "AddressBook.sqlitedb").string();
  std::vector<fx::AbPerson> people = {
      {1, "Zo\xC3\xA9", "Martin", "", "+33699887766 ", "", "", "", ""},
      {2, "chlo\xC3\xA9", "Bianchi", "Atelier B", "+33 6 12 34 56 78 +33612345678 ",
       "chloe@example.com", "12 rue Haute, Lyon", "@chloe", "https://chloe.example"},
      {3, "", "", "", "+4930123456 ", "", "", "", ""},
      {4, "Mail", "Only", "", "", "mail@example.com", "", "", ""},
      {5, "Ancien", "", "", "+33144556677 ", "", "", "", ""},
      {6, "", "Weber", "", "+491511112222 ", "", "", "", ""},
  };
  fx::AbChanges changes;
  changes.deletePeople = {5};
  fx::DbLog log = fx::MakeAddressBookDb(path, people, changes, {.schemaFile = schema});
  EXPECT_EQ(log.status, 0) << log.error;
  return path;
}

TEST(ExtractContacts, CleansNamesSortsAndFlagsDeletedPeople) {
  for (const char* schema : {"addressbook_all_ios7.sql", "addressbook_all_ios8.sql"}) {
    SCOPED_TRACE(schema);
    fx::TempDir dir;
    const std::string ab = MakeAddressBook(dir, schema);
    std::vector<ContactItem> contacts;
    int64_t rowidBase = 20000;
    ASSERT_EQ(ExtractContacts(false, ab, contacts, rowidBase), 0);
    std::vector<std::string> names;
    for (const ContactItem& c : contacts) names.push_back(c.name);
    // Without regard to case; "No Name" among the N; the e-mail-only person is not listed.
    EXPECT_EQ(names, (std::vector<std::string>{"Ancien", "chlo\xC3\xA9 Bianchi", "No Name", "Weber",
                                               "Zo\xC3\xA9 Martin"}));
    ASSERT_EQ(contacts.size(), 5u);
    const ContactItem& chloe = contacts[1];
    EXPECT_EQ(chloe.deleted, 0);
    EXPECT_EQ(chloe.phones, "+33612345678");
    EXPECT_EQ(chloe.company, "Atelier B");
    EXPECT_EQ(chloe.email, "chloe@example.com");
    EXPECT_EQ(chloe.address, "12 rue Haute, Lyon");
    EXPECT_EQ(chloe.social, "@chloe");
    EXPECT_EQ(chloe.url, "https://chloe.example");
    EXPECT_EQ(contacts[0].deleted, 1);
    EXPECT_EQ(contacts[0].phones, "+33144556677");
    EXPECT_EQ(rowidBase, 6);
  }
}

TEST(ExtractContacts, MissingAddressBook) {
  fx::TempDir dir;
  std::vector<ContactItem> contacts(1);
  int64_t rowidBase = 20000;
  EXPECT_EQ(ExtractContacts(false, (dir / "none").string(), contacts, rowidBase), 87);
  EXPECT_TRUE(contacts.empty());
  EXPECT_EQ(rowidBase, 0);
}

TEST(FormatDuration, Forms) {
  const std::pair<int64_t, const char*> cases[] = {
      {-5, "-5 Sec"},          {0, "0 Sec"},
      {59, "59 Sec"},          {60, "1 Min 0 Sec"},
      {3599, "59 Min 59 Sec"}, {3600, "1 Hour 0 Min"},
      {3725, "1 Hour 2 Min"},  {90061, "25 Hour 1 Min"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(FormatDuration(seconds), text) << seconds;
}

TEST(ExtractCalls, BothTablesNamedSortedAndDeletedFlagged) {
  struct Variant {
    const char* schema;
    bool newer;
  };
  for (const Variant v : {Variant{"callhistory_storedata_ios10.sql", true},
                          Variant{"callhistory_storedata_ios9.sql", false},
                          Variant{"callhistory_calldb_ios7.sql", false}}) {
    SCOPED_TRACE(v.schema);
    fx::TempDir dir;
    const std::string ab = MakeAddressBook(dir, "addressbook_all_ios8.sql");
    const std::string db = (dir / "calls.db").string();
    std::vector<fx::CallRow> calls = {
        {1, "+33612345678", 1578307200, std::nullopt, 125, false},  // 2020-01-06 10:40:00
        {2, "+33699887766", 1578300000, std::nullopt, 0, true},
        {3, "3456", 1578310000, std::nullopt, 0, false},  // short: never named
        {4, "+491511112222", 1578320000, std::nullopt, 3725, true},
    };
    fx::DbLog log = fx::MakeCallDb(db, calls, {4}, {.schemaFile = v.schema});
    ASSERT_EQ(log.status, 0) << log.error;
    std::vector<CallItem> out;
    ASSERT_EQ(ExtractCalls(ab, out, v.newer, db), 0);
    ASSERT_GE(out.size(), 3u);
    EXPECT_EQ(out[0].phone, "+33699887766");
    EXPECT_EQ(out[0].name, "Zo\xC3\xA9 Martin");
    EXPECT_EQ(out[0].incoming, 0);
    EXPECT_EQ(out[1].phone, "+33612345678");
    EXPECT_EQ(out[1].date, "2020-01-06 10:40:00");
    EXPECT_EQ(out[1].duration, 125);
    EXPECT_EQ(out[1].incoming, 1);
    EXPECT_EQ(out[1].name, "chlo\xC3\xA9 Bianchi");
    EXPECT_EQ(out[1].deleted, 0);
    EXPECT_EQ(out[2].phone, "3456");
    EXPECT_EQ(out[2].name, "");
    ASSERT_EQ(out.size(), 4u) << "the deleted call comes back";
    EXPECT_EQ(out[3].deleted, 1);
    EXPECT_EQ(out[3].phone, "+491511112222");
    EXPECT_EQ(out[3].name, "Weber");
  }
}

TEST(ExtractCalls, WithoutAddressBookCallsStayUnnamed) {
  fx::TempDir dir;
  const std::string db = (dir / "calls.db").string();
  ASSERT_EQ(fx::MakeCallDb(db, {{1, "+33612345678", 1578307200, std::nullopt, 5, false}}, {},
                           {.schemaFile = "callhistory_storedata_ios10.sql"})
                .status,
            0);
  std::vector<CallItem> out;
  EXPECT_EQ(ExtractCalls((dir / "none").string(), out, true, db), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "");
  EXPECT_EQ(ExtractCalls("", out, true, (dir / "none").string()), 87);
}

}  // namespace
}  // namespace halvern
