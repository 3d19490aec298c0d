// Contacts (clean-up, names, sort) and call history (both tables, names, sort, durations).
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "extractors/extractors.h"
#include "extractors/names.h"
#include "sqlite_recovery/decoders.h"
#include "tests/extractors/conversation_dbs.h"
#include "tests/fixtures/phone_dbs.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

// The numbers of a search text: every number once, in the form first written, wherever the
// matcher splits a number or leaves its front out.
TEST(PhoneNumbersInText, FindsEachNumberOnceAsFirstWritten) {
  struct Case {
    const char* region;
    const char* text;
    std::vector<std::string> numbers;
  };
  const Case cases[] = {
      {"DE", "+49 151 12345678 +4915112345678", {"+49 151 12345678"}},
      {"DE", "+49 151 12345678 +4915112345678 030 9876543 +49309876543",
       {"+49 151 12345678", "030 9876543"}},
      // A national number written in two groups is one number, not "0170" and "12345678".
      {"DE", "0170 12345678 017012345678 ", {"0170 12345678"}},
      {"FR", "+33 6 12 34 56 78 +33612345678 0612345678 ", {"+33 6 12 34 56 78"}},
      // The matcher leaves "+1 (555) " out of a number of an unassigned area code.
      {"US", "+1 (555) 028-5702 15550285702", {"+1 (555) 028-5702"}},
      // Without a region: international numbers by the matcher, the rest as written.
      {"", "+4930123456 ", {"+4930123456"}},
      {"", "(030) 555-0199 0305550199", {"(030) 555-0199"}},
      {"", "0612345678", {"0612345678"}},
      {"DE", "24273", {"24273"}},
      // The last four digits the search text keeps of a number are no number.
      {"DE", "+4915101007919 015101007919 7919", {"+4915101007919"}},
      {"DE", "", {}},
      {"DE", "   ", {}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PhoneNumbersInText(c.text, c.region), c.numbers) << c.region << " " << c.text;
  }
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
    EXPECT_EQ(chloe.phones, "+33 6 12 34 56 78");  // as typed; the search text's other forms
    EXPECT_EQ(chloe.numbers, (std::vector<LabeledValue>{{"", "+33 6 12 34 56 78"}}));
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

TEST(ExtractContacts, AnEmptyTextKeepsTheCardAndACompanyNamesIt) {
  fx::TempDir dir;
  const std::string ab = MakeAddressBook(dir, "addressbook_all_ios7.sql");
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(ab.c_str(), &db), SQLITE_OK);
    // Zoé's card with an empty note; Weber's becomes a company's card without a person's name.
    ASSERT_EQ(sqlite3_exec(db,
                           "UPDATE ABPersonFullTextSearch_content SET c8Note = '' WHERE docid = 1;"
                           "UPDATE ABPersonFullTextSearch_content SET c1Last = NULL, "
                           "c6Organization = 'Weber GmbH' WHERE docid = 6;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  std::vector<ContactItem> contacts;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractContacts(false, ab, contacts, rowidBase), 0);
  // The live cards (the updates may well have written over the deleted one's record).
  std::vector<std::string> names;
  for (const ContactItem& c : contacts) {
    if (!c.deleted) names.push_back(c.name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"chlo\xC3\xA9 Bianchi", "No Name", "Weber GmbH",
                                             "Zo\xC3\xA9 Martin"}));
  // Calls from her number keep her name too.
  const std::string calls = (dir / "calls.db").string();
  ASSERT_EQ(fx::MakeCallDb(calls, {{1, "+33699887766", 1578307200, std::nullopt, 5, false},
                                   {2, "+491511112222", 1578307300, std::nullopt, 5, false}},
                           {}, {.schemaFile = "callhistory_storedata_ios10.sql"})
                .status,
            0);
  std::vector<CallItem> out;
  ASSERT_EQ(ExtractCalls(ab, out, false, calls), 0);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].name, "Zo\xC3\xA9 Martin");
  EXPECT_EQ(out[1].name, "Weber GmbH");
}

// An older address book without the search table: people from ABPerson, their numbers and
// mail from ABMultiValue, a company's card named by the company, and calls named from it.
TEST(ExtractContacts, OlderBookWithoutSearchTable) {
  fx::TempDir dir;
  const std::string ab = (dir / "AddressBook.sqlitedb").string();
  {
    std::string error;
    auto db = fx::PhoneDb::Create(ab, {.schemaFile = "addressbook_all_ios7.sql"}, &error);
    ASSERT_TRUE(db) << error;
    for (const char* t : {"content", "segments", "segdir", "docsize", "stat"}) {
      ASSERT_TRUE(db->Exec(std::string("DROP TABLE ABPersonFullTextSearch_") + t)) << db->error();
    }
    struct Person {
      int64_t id;
      const char* first;
      const char* last;
      const char* organization;
    };
    for (const Person& p : {Person{1, "Ana", "Lopes", ""}, Person{2, "", "", "Pizza Roma"},
                            Person{3, "Old", "Friend", ""}, Person{4, "Mail", "Only", ""}}) {
      fx::Row row = {{"ROWID", p.id}, {"First", std::string(p.first)}, {"Last", std::string(p.last)}};
      if (*p.organization) row.emplace_back("Organization", std::string(p.organization));
      if (!*p.first) row = {{"ROWID", p.id}, {"Organization", std::string(p.organization)}};
      ASSERT_GT(db->Insert("ABPerson", row), 0) << db->error();
    }
    struct Value {
      int64_t uid, person, property;
      const char* value;
    };
    for (const Value& v : {Value{1, 1, 3, "+351 912 345 678"}, Value{2, 1, 4, "ana@example.pt"},
                           Value{3, 2, 3, "(030) 555-0199"}, Value{4, 3, 3, "+33 1 44 55 66 77"},
                           Value{5, 4, 4, "mail@example.com"}}) {
      ASSERT_GT(db->Insert("ABMultiValue", {{"ROWID", v.uid},
                                             {"record_id", v.person},
                                             {"property", v.property},
                                             {"identifier", int64_t{0}},
                                             {"value", std::string(v.value)}}),
                0)
          << db->error();
    }
    ASSERT_TRUE(db->DeleteRowid("ABMultiValue", 4));
    ASSERT_TRUE(db->DeleteRowid("ABPerson", 3));
    ASSERT_TRUE(db->Close());
  }
  std::vector<ContactItem> contacts;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractContacts(false, ab, contacts, rowidBase), 0);
  // The e-mail-only person has no number. The deleted person's record lies in a freeblock,
  // whose header took the place of its rowid: nothing ties it to its numbers any more, and a
  // person without a number is not listed.
  ASSERT_EQ(contacts.size(), 2u);
  EXPECT_EQ(contacts[0].name, "Ana Lopes");
  EXPECT_EQ(contacts[0].phones, "+351 912 345 678");
  EXPECT_EQ(contacts[0].email, "ana@example.pt");
  EXPECT_EQ(contacts[0].deleted, 0);
  EXPECT_EQ(contacts[1].name, "Pizza Roma");
  EXPECT_EQ(contacts[1].phones, "(030) 555-0199");

  const std::string calls = (dir / "calls.db").string();
  ASSERT_EQ(fx::MakeCallDb(calls, {{1, "+351912345678", 1578307200, std::nullopt, 5, false}}, {},
                           {.schemaFile = "callhistory_calldb_ios7.sql"})
                .status,
            0);
  std::vector<CallItem> out;
  ASSERT_EQ(ExtractCalls(ab, out, false, calls), 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].name, "Ana Lopes");
}

// A card's values come from ABMultiValue with their labels (the system's "_$!<Mobile>!$_" form
// and labels of the user's own), every number of the card, even where the search text would
// give another cut; addresses are joined from their parts.
TEST(ExtractContacts, EveryValueOfTheCardWithItsLabel) {
  fx::TempDir dir;
  const std::string ab = (dir / "AddressBook.sqlitedb").string();
  ASSERT_EQ(testing::MakeConversationAddressBook(ab), "");
  std::vector<ContactItem> contacts;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractContacts(false, ab, contacts, rowidBase), 0);
  std::map<std::string, const ContactItem*> byName;
  for (const ContactItem& c : contacts) byName[c.name] = &c;
  struct Want {
    const char* name;
    std::vector<LabeledValue> numbers;
    const char* phones;
  };
  const Want wants[] = {
      {"Ann Schmidt",
       {{"Mobile", "+49 151 12345678"}, {"Home", "030 9876543"}},
       "+49 151 12345678\n030 9876543"},
      {"Ben Kraus",
       {{"iPhone", "0170 12345678"}, {"Work", "+49 30 1234567"}},
       "0170 12345678\n+49 30 1234567"},
      {"Clara Vogt", {{"Mobile", "+49 152 24273991"}}, "+49 152 24273991"},
      {"Dora Lang", {{"Home", "030123456"}}, "030123456"},
      {"ACME GmbH", {{"Main", "+49 89 555000"}}, "+49 89 555000"},
  };
  ASSERT_EQ(contacts.size(), std::size(wants));
  for (const Want& w : wants) {
    SCOPED_TRACE(w.name);
    ASSERT_TRUE(byName.count(w.name));
    EXPECT_EQ(byName[w.name]->numbers, w.numbers);
    EXPECT_EQ(byName[w.name]->phones, w.phones);
  }
  const ContactItem& ann = *byName["Ann Schmidt"];
  EXPECT_EQ(ann.emails, (std::vector<LabeledValue>{{"Home", "ann@example.com"},
                                                   {"Work", "ann.schmidt@work.example"}}));
  EXPECT_EQ(ann.email, "ann@example.com\nann.schmidt@work.example");
  EXPECT_EQ(ann.addresses, (std::vector<LabeledValue>{
                               {"Home", "Lindenstra\xC3\x9F" "e 5, 10115, Berlin"}}));
}

// A card of a book without the search table keeps each number as it holds it: a number with
// letters (a vanity number), service codes and punctuation stay as they are.
TEST(ExtractContacts, NumbersOfAnOlderBookStayAsTheCardHoldsThem) {
  fx::TempDir dir;
  const std::string ab = (dir / "AddressBook.sqlitedb").string();
  const std::vector<std::string> numbers = {"1-800-FLOWERS", "+1 (800) 356-9377", "*100#",
                                            "0800 FLORIST", "1-800-356-9377"};
  {
    std::string error;
    auto db = fx::PhoneDb::Create(ab, {.schemaFile = "addressbook_all_ios7.sql"}, &error);
    ASSERT_TRUE(db) << error;
    for (const char* t : {"content", "segments", "segdir", "docsize", "stat"}) {
      ASSERT_TRUE(db->Exec(std::string("DROP TABLE ABPersonFullTextSearch_") + t)) << db->error();
    }
    std::vector<fx::AbValue> values;
    for (const std::string& n : numbers) values.push_back({3, "_$!<Work>!$_", n, {}});
    ASSERT_EQ(fx::AddAbCard(*db, 1, "", "", "Flowers Inc", values), "");
    ASSERT_TRUE(db->Close());
  }
  std::vector<ContactItem> contacts;
  int64_t rowidBase = 0;
  ASSERT_EQ(ExtractContacts(false, ab, contacts, rowidBase), 0);
  ASSERT_EQ(contacts.size(), 1u);
  EXPECT_EQ(contacts[0].name, "Flowers Inc");
  std::vector<LabeledValue> want;
  std::string phones;
  for (const std::string& n : numbers) {
    want.push_back({"Work", n});
    phones += (phones.empty() ? "" : "\n") + n;
  }
  EXPECT_EQ(contacts[0].numbers, want);
  EXPECT_EQ(contacts[0].phones, phones);
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

// What each call was and how it ended, from ZCALLTYPE, ZSERVICE_PROVIDER, ZANSWERED and
// ZDISCONNECTED_CAUSE of CallHistory.storedata.
TEST(ExtractCalls, TypesAndOutcomes) {
  fx::TempDir dir;
  const std::string path = (dir / "CallHistory.storedata").string();
  struct Call {
    int64_t id;
    int64_t type;
    const char* provider;
    int64_t originated, answered, cause;
    double duration;
    const char* wantType;
    const char* wantOutcome;
  };
  const Call calls[] = {
      {1, 1, "com.apple.Telephony", 1, 0, 0, 300, "Phone", "Answered"},
      {2, 16, "com.apple.FaceTime", 0, 1, 0, 60, "FaceTime Audio", "Answered"},
      {3, 8, "com.apple.FaceTime", 1, 0, 0, 0, "FaceTime Video", "Not answered"},
      {4, 1, "net.whatsapp.WhatsApp", 0, 1, 0, 300, "WhatsApp", "Answered"},
      {5, 1, "com.apple.Telephony", 0, 0, 0, 0, "Phone", "Missed"},
      {6, 1, "com.apple.Telephony", 0, 0, kCallDeclinedCause, 0, "Phone", "Declined"},
      {7, 1, "org.example.voip", 0, 1, 0, 12, "org.example.voip", "Answered"},
      {8, 8, "com.apple.FaceTime", 0, 0, 0, 0, "FaceTime Video", "Missed"},  // deleted
  };
  {
    std::string error;
    auto db = fx::PhoneDb::Create(path, {.schemaFile = "callhistory_storedata_ios10.sql"}, &error);
    ASSERT_TRUE(db) << error;
    for (const Call& c : calls) {
      ASSERT_GT(db->Insert("ZCALLRECORD", {{"ROWID", c.id},
                                            {"Z_ENT", int64_t{2}},
                                            {"ZANSWERED", c.answered},
                                            {"ZCALLTYPE", c.type},
                                            {"ZDISCONNECTED_CAUSE", c.cause},
                                            {"ZORIGINATED", c.originated},
                                            {"ZDATE", 600000000.0 + double(c.id) * 60},
                                            {"ZDURATION", c.duration},
                                            {"ZSERVICE_PROVIDER", std::string(c.provider)},
                                            {"ZADDRESS", std::string("+4930555000") + char('0' + c.id)}}),
                0)
          << db->error();
    }
    ASSERT_TRUE(db->DeleteRowid("ZCALLRECORD", 8));
    ASSERT_TRUE(db->Close());
  }
  std::vector<CallItem> out;
  ASSERT_EQ(ExtractCalls("", out, true, path), 0);
  ASSERT_EQ(out.size(), std::size(calls));
  for (size_t i = 0; i < out.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(out[i].type, calls[i].wantType);
    EXPECT_EQ(out[i].outcome, calls[i].wantOutcome);
    EXPECT_EQ(out[i].incoming, calls[i].originated == 0 ? 1 : 0);
    EXPECT_EQ(out[i].deleted, i == 7 ? 1 : 0);
  }
}

// Calls are named through the lookup of messages and WhatsApp: a number matches a card's
// number in any written form, never by a part of it.
TEST(ExtractCalls, NamedByNormalisedNumberNeverBySubstring) {
  fx::TempDir dir;
  const std::string ab = (dir / "AddressBook.sqlitedb").string();
  const std::vector<fx::AbPerson> people = {
      {1, "Sam", "Reed", "", "555-028-5702 5550285702 ", "", "", "", "",
       {{3, "_$!<Mobile>!$_", "555-028-5702", {}}}},
      {2, "Pat", "Lee", "", "+1 212 555 0147 +12125550147 ", "", "", "", "",
       {{3, "_$!<Work>!$_", "+1 212 555 0147", {}}}},
      {3, "", "", "Bank", "24273 ", "", "", "", "", {{3, "", "24273", {}}}},
  };
  ASSERT_EQ(fx::MakeAddressBookDb(ab, people, {}, {.schemaFile = "addressbook_all_ios8.sql"})
                .status,
            0);
  struct Case {
    const char* address;
    const char* name;
  };
  const Case cases[] = {
      {"+1 (555) 028-5702", "Sam Reed"}, {"+15550285702", "Sam Reed"},
      {"(212) 555-0147", "Pat Lee"},     {"12125550147", "Pat Lee"},
      {"24273", "Bank"},                 {"028570", ""},  // six digits inside Sam's number
      {"5702", ""},                      {"2427", ""},
      {"+4924273", ""},
  };
  std::vector<fx::CallRow> calls;
  for (size_t i = 0; i < std::size(cases); ++i) {
    calls.push_back({int64_t(i + 1), cases[i].address, 1578307200 + int64_t(i) * 60,
                     std::nullopt, 5, false});
  }
  const std::string db = (dir / "calls.db").string();
  ASSERT_EQ(fx::MakeCallDb(db, calls, {}, {.schemaFile = "callhistory_storedata_ios10.sql"}).status,
            0);
  std::vector<CallItem> out;
  ASSERT_EQ(ExtractCalls(ab, out, false, db), 0);
  ASSERT_EQ(out.size(), std::size(cases));
  for (size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].phone, cases[i].address);
    EXPECT_EQ(out[i].name, cases[i].name) << cases[i].address;
  }
}

// A carved record is listed as a deleted call only with a plausible date, a duration of zero or
// more and an address; a live row is listed whatever its values.
TEST(ExtractCalls, ACarvedCallNeedsADateADurationAndAnAddress) {
  struct Case {
    double macDate;
    double duration;
    const char* address;
    bool carvedListed;
  };
  const Case cases[] = {
      {600000000.0, 42, "+4930555001", true},     // a real deleted call
      {600000100.0, 0, "+4930555002", true},      // not connected
      {1.0, 12, "+4930555003", false},            // 2001-01-01 00:00:01
      {600000200.0, -20, "+4930555004", false},   // negative duration
      {600000300.0, 12, "", false},               // no address
      {-86400.0, 12, "+4930555005", false},       // before 2001
      {3500000000.0, 12, "+4930555006", false},   // beyond 2100
      {1.0, -7, "8A3F-4B2C", false},              // all of it: the junk seen on a phone
  };
  for (const bool live : {false, true}) {
    SCOPED_TRACE(live ? "live" : "carved");
    fx::TempDir dir;
    const std::string path = (dir / "CallHistory.storedata").string();
    std::vector<fx::CallRow> calls;
    std::vector<int64_t> deleted;
    for (size_t i = 0; i < std::size(cases); ++i) {
      calls.push_back({int64_t(i + 1), cases[i].address, 0, cases[i].macDate, cases[i].duration,
                       false});
      if (!live) deleted.push_back(int64_t(i + 1));
    }
    // One live call keeps the table's pages in use.
    calls.push_back({100, "+4930555999", 0, 600001000.0, 5, false});
    ASSERT_EQ(fx::MakeCallDb(path, calls, deleted, {.schemaFile = "callhistory_storedata_ios10.sql"})
                  .status,
              0);
    std::vector<CallItem> out;
    ASSERT_EQ(ExtractCalls("", out, true, path), 0);
    std::set<std::string> listed;
    for (const CallItem& c : out) listed.insert(c.phone + "/" + std::to_string(c.duration));
    for (const Case& c : cases) {
      const std::string key = std::string(c.address) + "/" + std::to_string(int64_t(c.duration));
      // A live row without an address is refused by the table's reader either way.
      const bool want = *c.address && (live || c.carvedListed);
      EXPECT_EQ(listed.count(key), want ? 1u : 0u) << key;
    }
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
