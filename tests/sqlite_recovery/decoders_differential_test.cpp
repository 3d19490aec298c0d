// Differential test of the table decoders: on databases made by the SQLite library from every
// published phone schema, every live row that the library returns (through the decoder's own
// acceptance rules, written here as SQL) comes back from the decoder with the same values, in
// key order, found by column name; and on tables with the classic layout the fixed positions
// give the very same rows, deleted ones included.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sqlite_recovery/decoders.h"
#include "tests/fixtures/phone_dbs.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;
using Lines = std::vector<std::string>;

std::string Join(std::initializer_list<std::string> fields) {
  std::string out;
  for (auto& f : fields) out += f + "|";
  return out;
}
std::string N(int64_t v) { return std::to_string(v); }

// SQL pieces that compute what a decoder keeps, the way the SQLite library sees it.
std::string Text(const std::string& c) {
  return "CASE WHEN typeof(\"" + c + "\")='text' THEN \"" + c + "\" ELSE '' END";
}
std::string Int(const std::string& c, const std::string& otherwise) {
  return "CASE WHEN typeof(\"" + c + "\")='integer' THEN \"" + c + "\" ELSE " + otherwise + " END";
}
std::string Stamp(const std::string& secondsExpr, bool mac) {
  return "coalesce(strftime('%Y-%m-%d %H:%M:%S', (" + secondsExpr + ")" +
         (mac ? " + 978307200" : "") + ", 'unixepoch'), '')";
}
std::string MacDate(const std::string& c) {
  std::string q = "\"" + c + "\"";
  return "CASE WHEN typeof(" + q + ")='integer' AND " + q + "<>0 THEN " + Stamp(q, true) +
         " WHEN typeof(" + q + ")='real' THEN " + Stamp("CAST(" + q + " AS INTEGER)", true) +
         " ELSE '' END";
}
// Every text column of the row is a text the strict members take: one without a zero
// character (an empty text is a text like any other and keeps its row).
std::string AllTextsStrict(sqlite3* db, const std::string& table) {
  std::string cond = "1";
  sqlite3_stmt* s = nullptr;
  std::string sql = "PRAGMA table_info(\"" + table + "\")";
  sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
  while (s && sqlite3_step(s) == SQLITE_ROW) {
    std::string c = reinterpret_cast<const char*>(sqlite3_column_text(s, 1));
    cond += " AND (typeof(\"" + c + "\")<>'text' OR instr(CAST(\"" + c +
            "\" AS BLOB), x'00')=0)";
  }
  sqlite3_finalize(s);
  return cond;
}

Lines Query(sqlite3* db, const std::string& sql) {
  Lines lines;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) != SQLITE_OK) {
    ADD_FAILURE() << sqlite3_errmsg(db) << "\n" << sql;
    return lines;
  }
  while (sqlite3_step(s) == SQLITE_ROW) {
    std::string line;
    for (int i = 0; i < sqlite3_column_count(s); ++i) {
      auto* t = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
      line += std::string(t ? t : "") + "|";
    }
    lines.push_back(line);
  }
  sqlite3_finalize(s);
  return lines;
}

// One decoder member: the table it reads, the SQL that gives its live rows as lines, and the
// run of the decoder giving (deleted flag, line) per row.
struct Member {
  std::string table;
  std::function<std::string(sqlite3*, const ColumnPositions&, const std::vector<std::string>&)> sql;
  std::function<std::vector<std::pair<bool, std::string>>(CSqliteFileReader&, ColumnLookup)> run;
};

// Rows of the members without a deleted flag (chat sessions, group members, media items) hold
// their carved rows unmarked after the live ones; where each row was found tells them apart.
template <class RowT, class Decode, class Format>
std::vector<std::pair<bool, std::string>> Collect(Decode decode, Format format) {
  std::vector<RowT> rows;
  std::vector<RowOrigin> origins;
  decode(rows, &origins);
  EXPECT_EQ(origins.size(), rows.size());
  std::vector<std::pair<bool, std::string>> out;
  for (size_t i = 0; i < rows.size() && i < origins.size(); ++i) {
    bool deleted = origins[i].source != RowSource::kLive || origins[i].freedPage;
    if constexpr (requires { rows[i].deleted; }) deleted = rows[i].deleted != 0;
    out.push_back({deleted, format(rows[i])});
  }
  return out;
}

std::vector<Member> Members() {
  std::vector<Member> m;
  auto col = [](const std::vector<std::string>& cols, const ColumnPositions& p, size_t i) {
    return cols.at(size_t(p.index.at(i)));
  };
  m.push_back({"message",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 std::string d = "\"" + col(c, p, 2) + "\"";
                 std::string secs = "CASE WHEN abs(" + d + ")>=100000000000 THEN " + d +
                                    "/1000000000 ELSE " + d + " END";
                 std::string rsecs = "CAST(" + d + " AS INTEGER)";
                 rsecs = "CASE WHEN abs(" + rsecs + ")>=100000000000 THEN " + rsecs +
                         "/1000000000 ELSE " + rsecs + " END";
                 return "SELECT rowid, " + Text(col(c, p, 0)) + ", " + Int(col(c, p, 1), "0") +
                        ", CASE WHEN typeof(" + d + ")='integer' AND " + d + "<>0 THEN " +
                        Stamp(secs, true) + " WHEN typeof(" + d + ")='real' THEN " +
                        Stamp(rsecs, true) + " ELSE '' END, " + "CASE WHEN typeof(\"" +
                        col(c, p, 3) + "\")='integer' AND \"" + col(c, p, 3) +
                        "\"<>0 THEN 1 ELSE 0 END FROM message WHERE typeof(\"" + col(c, p, 0) +
                        "\")='text' AND length(\"" + col(c, p, 0) + "\")>0 ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<MessageItem>(
                     [&](auto& v, auto* o) {
                       DecodeMessages(r, v, {l, o});
                     },
                     [](const MessageItem& x) {
                       return Join({N(x.rowId), x.text, N(x.handleId), x.date, N(x.fromMe)});
                     });
               }});
  m.push_back({"handle",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 return "SELECT rowid, " + Text(col(c, p, 0)) +
                        " AS a FROM handle WHERE a<>'' "
                        "ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<HandleRow>(
                     [&](auto& v, auto* o) {
                       DecodeHandles(r, v, {l, o});
                     },
                     [](const HandleRow& x) {
                       return Join({N(x.rowId), x.address});
                     });
               }});
  m.push_back({"attachment",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 return "SELECT rowid, " + Text(col(c, p, 0)) +
                        " AS a FROM attachment WHERE a<>'' ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<AttachmentRow>(
                     [&](auto& v, auto* o) {
                       DecodeAttachments(r, v, {l, o});
                     },
                     [](const AttachmentRow& x) {
                       return Join({N(x.rowId), x.fileName});
                     });
               }});
  m.push_back({"message_attachment_join",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 return "SELECT " + Int(col(c, p, 0), "0") + ", " + Int(col(c, p, 1), "0") +
                        " FROM message_attachment_join ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<MessageAttachmentRow>(
                     [&](auto& v, auto* o) {
                       DecodeMessageAttachments(r, v, {l, o});
                     },
                     [](const MessageAttachmentRow& x) {
                       return Join({N(x.messageId), N(x.attachmentId)});
                     });
               }});
  m.push_back({"ZNOTEBODY",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 return "SELECT rowid, " + Text(col(c, p, 0)) + " FROM ZNOTEBODY ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<NoteRow>(
                     [&](auto& v, auto* o) {
                       DecodeNoteBodies(r, v, {l, o});
                     },
                     [](const NoteRow& x) {
                       return Join({N(x.bodyId), x.body});
                     });
               }});
  m.push_back({"ZNOTE",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 return "SELECT " + Int(col(c, p, 0), "0") + ", " + MacDate(col(c, p, 1)) + ", " +
                        Text(col(c, p, 2)) + " FROM ZNOTE ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<NoteRow>(
                     [&](auto& v, auto* o) {
                       DecodeNotes(r, v, {l, o});
                     },
                     [](const NoteRow& x) {
                       return Join({N(x.bodyId), x.date, x.title});
                     });
               }});
  m.push_back({"call",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 std::string a = Text(col(c, p, 0)), d = "\"" + col(c, p, 1) + "\"";
                 std::string f = "\"" + col(c, p, 3) + "\"";
                 return "SELECT * FROM (SELECT " + a + " AS a, CASE WHEN typeof(" + d +
                        ")='integer' AND " + d + "<>0 THEN " + Stamp(d, false) +
                        " ELSE '' END AS d, " + Int(col(c, p, 2), "0") + ", CASE WHEN typeof(" + f +
                        ")='integer' THEN 1-(" + f +
                        "&1) ELSE 0 END FROM call ORDER BY rowid)"
                        " WHERE a<>'' AND d<>''";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<CallItem>(
                     [&](auto& v, auto* o) {
                       DecodeCalls(r, "call", v, {l, o});
                     },
                     [](const CallItem& x) {
                       return Join({x.phone, x.date, N(x.duration), N(x.incoming)});
                     });
               }});
  m.push_back({"ZCALLRECORD",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 std::string a = "\"" + col(c, p, 3) + "\"";
                 std::string du = "\"" + col(c, p, 2) + "\"";
                 return "SELECT * FROM (SELECT CASE WHEN typeof(" + a + ")='text' THEN " + a +
                        " WHEN typeof(" + a + ")='blob' AND NOT (CAST(" + a +
                        " AS TEXT) GLOB '*[^ -~]*') THEN CAST(" + a +
                        " AS TEXT) ELSE '' END AS a, " + MacDate(col(c, p, 1)) +
                        " AS d, CASE WHEN typeof(" + du + ") IN ('integer','real') THEN CAST(" +
                        du + " AS INTEGER) ELSE 0 END, CASE WHEN typeof(\"" + col(c, p, 0) +
                        "\")='integer' AND \"" + col(c, p, 0) +
                        "\"=0 THEN 1 ELSE 0 END FROM ZCALLRECORD ORDER BY rowid) WHERE a<>'' AND "
                        "d<>''";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 r.CallTableKind = 1;
                 return Collect<CallItem>(
                     [&](auto& v, auto* o) {
                       DecodeCalls(r, "ZCALLRECORD", v, {l, o});
                     },
                     [](const CallItem& x) {
                       return Join({x.phone, x.date, N(x.duration), N(x.incoming)});
                     });
               }});
  m.push_back(
      {"ABPersonFullTextSearch_content",
       [col](sqlite3* db, const ColumnPositions& p, const std::vector<std::string>& c) {
         std::string f[8];
         for (size_t i = 0; i < 8; ++i) f[i] = Text(col(c, p, i));
         // "First Last": one space between the two when both are present.
         std::string name = "CASE WHEN " + f[0] + "='' OR " + f[1] + "='' THEN " + f[0] + "||" +
                            f[1] + " ELSE " + f[0] + "||' '||" + f[1] + " END";
         return "SELECT " + name + ", " + f[2] + ", " + f[3] + ", " + f[4] + ", " + f[5] + ", " +
                f[6] + ", " + f[7] + " FROM ABPersonFullTextSearch_content WHERE " +
                AllTextsStrict(db, "ABPersonFullTextSearch_content") + " ORDER BY rowid";
       },
       [](CSqliteFileReader& r, ColumnLookup l) {
         return Collect<ContactItem>(
             [&](auto& v, auto* o) {
               DecodeContacts(r, v, {l, o});
             },
             [](const ContactItem& x) {
               return Join({x.name, x.company, x.phones, x.email, x.address, x.social, x.url});
             });
       }});
  m.push_back({"ZWAMESSAGE",
               [col](sqlite3* db, const ColumnPositions& p, const std::vector<std::string>& c) {
                 std::string fm = "\"" + col(c, p, 0) + "\"", dt = "\"" + col(c, p, 4) + "\"";
                 return "SELECT rowid, CASE WHEN typeof(" + fm + ")='integer' AND " + fm +
                        "<>0 THEN 1 ELSE 0 END, " + Int(col(c, p, 1), "-1") + ", " +
                        Int(col(c, p, 2), "0") + ", " + Int(col(c, p, 3), "0") + ", " +
                        MacDate(col(c, p, 4)) + ", " + Text(col(c, p, 5)) +
                        " FROM ZWAMESSAGE WHERE " + AllTextsStrict(db, "ZWAMESSAGE") +
                        " AND (typeof(\"" + col(c, p, 1) + "\")='integer' OR typeof(\"" +
                        col(c, p, 2) + "\")='integer' OR typeof(" + dt +
                        ") IN ('integer','real')) ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 r.WaMessageColumnCount = 34;
                 return Collect<ChatMessageItem>(
                     [&](auto& v, auto* o) {
                       DecodeWaMessages(r, v, {l, o});
                     },
                     [](const ChatMessageItem& x) {
                       return Join({N(x.rowId), N(x.fromMe), N(x.sessionId), N(x.memberId),
                                    N(x.mediaId), x.date, x.text});
                     });
               }});
  m.push_back({"ZWACHATSESSION",
               [col](sqlite3* db, const ColumnPositions& p, const std::vector<std::string>& c) {
                 std::string j = Text(col(c, p, 0));
                 return "SELECT rowid, CASE WHEN instr(" + j + ",'@')>0 THEN substr(" + j +
                        ",1,instr(" + j + ",'@')-1) ELSE '' END, " + Text(col(c, p, 1)) +
                        " FROM ZWACHATSESSION WHERE " + AllTextsStrict(db, "ZWACHATSESSION") +
                        " ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<WaChatSessionRow>(
                     [&](auto& v, auto* o) {
                       DecodeWaChatSessions(r, v, {l, o});
                     },
                     [](const WaChatSessionRow& x) {
                       return Join({N(x.rowId), x.contact, x.partnerName});
                     });
               }});
  m.push_back({"ZWAGROUPMEMBER",
               [col](sqlite3* db, const ColumnPositions& p, const std::vector<std::string>& c) {
                 std::string j = Text(col(c, p, 2));
                 return "SELECT rowid, " + Int(col(c, p, 0), "0") + ", " + Text(col(c, p, 1)) +
                        ", CASE WHEN instr(" + j + ",'@')>0 THEN substr(" + j + ",1,instr(" + j +
                        ",'@')-1) ELSE " + j + " END FROM ZWAGROUPMEMBER WHERE " +
                        AllTextsStrict(db, "ZWAGROUPMEMBER") + " ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<WaGroupMemberRow>(
                     [&](auto& v, auto* o) {
                       DecodeWaGroupMembers(r, v, {l, o});
                     },
                     [](const WaGroupMemberRow& x) {
                       return Join({N(x.rowId), N(x.sessionId), x.name, x.contact});
                     });
               }});
  m.push_back({"ZWAMEDIAITEM",
               [col](sqlite3*, const ColumnPositions& p, const std::vector<std::string>& c) {
                 std::string q = "\"" + col(c, p, 0) + "\"";
                 return "SELECT rowid, " + Text(col(c, p, 0)) + " FROM ZWAMEDIAITEM WHERE typeof(" +
                        q + ")<>'text' OR length(" + q + ")>0 ORDER BY rowid";
               },
               [](CSqliteFileReader& r, ColumnLookup l) {
                 return Collect<WaMediaItemRow>(
                     [&](auto& v, auto* o) {
                       DecodeWaMediaItems(r, v, {l, o});
                     },
                     [](const WaMediaItemRow& x) {
                       return Join({N(x.rowId), x.path});
                     });
               }});
  return m;
}

std::vector<std::string> ColumnsOf(sqlite3* db, const std::string& table) {
  std::vector<std::string> cols;
  sqlite3_stmt* s = nullptr;
  std::string sql = "PRAGMA table_info(\"" + table + "\")";
  sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr);
  while (s && sqlite3_step(s) == SQLITE_ROW) {
    cols.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 1)));
  }
  sqlite3_finalize(s);
  return cols;
}

class DecodersDifferential : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    setenv("TZ", "UTC", 1);
    tzset();
    dir_ = std::filesystem::path(::testing::TempDir()) / ("halvern_dec_" + GetParam());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The databases made from one schema file: the generic filling, and the builder of the
  // database the schema belongs to with realistic rows and planted deletions.
  std::vector<std::filesystem::path> Build() {
    std::vector<std::filesystem::path> files;
    const std::string& schema = GetParam();
    fx::DbOptions options;
    options.schemaFile = schema;
    auto generic = dir_ / "generic.db";
    auto log = fx::MakeGenericDb(generic, options, 60, 7);
    EXPECT_EQ(log.status, 0) << log.error;
    files.push_back(generic);
    auto typed = dir_ / "typed.db";
    fx::DbLog t;
    t.status = -1;
    if (schema.rfind("sms_", 0) == 0) {
      auto rows = fx::SampleSmsRows(300, 3, schema >= std::string("sms_all_ios11"));
      t = fx::MakeSmsDb(typed, rows, fx::PlantedSmsChanges(rows), options);
    } else if (schema.rfind("addressbook_", 0) == 0) {
      t = fx::MakeAddressBookDb(typed, fx::SampleAbPeople(200, 3), {{5, 6, 7, 50, 199, 200}, {}},
                                options);
    } else if (schema.rfind("callhistory_", 0) == 0) {
      t = fx::MakeCallDb(typed, fx::SampleCalls(250, 3), fx::PlantedRowids(250), options);
    } else if (schema.rfind("notes_legacy", 0) == 0) {
      auto plan = fx::PlantedRowids(120);
      t = fx::MakeNotesDb(typed, fx::SampleNotes(120, 3), {plan, plan}, options);
    } else if (schema.rfind("whatsapp_", 0) == 0) {
      t = fx::MakeChatStorageDb(typed, fx::SampleWaRows(300, 3),
                                {fx::PlantedRowids(300), {}, {2}, {3}}, options);
    }
    if (t.status != -1) {
      EXPECT_EQ(t.status, 0) << t.error;
      files.push_back(typed);
    }
    return files;
  }

  std::filesystem::path dir_;
};

TEST_P(DecodersDifferential, LiveRowsEqualTheLibrarysAndFixedPositionsAgreeOnClassicLayouts) {
  int membersRun = 0;
  for (const auto& file : Build()) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    for (const Member& member : Members()) {
      std::vector<std::string> cols = ColumnsOf(db, member.table);
      if (cols.empty()) continue;
      CSqliteFileReader reader;
      ASSERT_EQ(reader.Open(file.string()), 0) << file;
      ColumnPositions byName = DecoderColumns(reader, member.table, ColumnLookup::kByName);
      ASSERT_TRUE(byName.byName) << member.table << " in " << GetParam();
      Lines expected = Query(db, member.sql(db, byName, cols));
      auto named = member.run(reader, ColumnLookup::kByName);
      Lines live;
      for (auto& [deleted, line] : named) {
        if (!deleted) live.push_back(line);
      }
      EXPECT_EQ(live, expected) << member.table << " in " << file.filename() << " of "
                                << GetParam();
      ++membersRun;

      // The fixed positions, on a fresh reader (the learned counts start over).
      CSqliteFileReader fixedReader;
      ASSERT_EQ(fixedReader.Open(file.string()), 0);
      ColumnPositions fixed = DecoderColumns(fixedReader, member.table, ColumnLookup::kFixed);
      auto positional = member.run(fixedReader, ColumnLookup::kFixed);
      if (fixed.index == byName.index) {
        EXPECT_EQ(positional, named)
            << "fixed positions differ on " << member.table << " of " << GetParam();
      }
    }
    sqlite3_close(db);
  }
  // Schemas of databases without a decoder member (the manifest, the modern notes store,
  // voicemail, calendar, Safari and the photo library, which their table categories read) are
  // still read through the generic filling without a fault.
  if (GetParam().rfind("manifest_", 0) != 0 && GetParam().rfind("notestore_", 0) != 0 &&
      GetParam().rfind("voicemail_", 0) != 0 && GetParam().rfind("calendar_", 0) != 0 &&
      GetParam().rfind("safari_", 0) != 0 && GetParam().rfind("photos_", 0) != 0) {
    EXPECT_GT(membersRun, 0) << "no decoder member ran on " << GetParam();
  }
}

// The schema files are part of the source tree; a missing one is named here rather than
// thinning out the parameterised cases above without a word.
TEST(PhoneSchemas, EveryFileTheBuildersNameIsPresent) {
  const std::vector<std::string> present = fx::SchemaFiles();
  for (const char* name :
       {"addressbook_all_ios7.sql", "addressbook_all_ios8.sql", "callhistory_calldb_ios7.sql",
        "callhistory_storedata_ios10.sql", "callhistory_storedata_ios9.sql",
        "manifest_db_ios14.sql", "notes_legacy_ios9.sql", "notestore_all_ios11.sql",
        "sms_all_ios11.sql", "sms_all_ios6.sql", "sms_all_ios7.sql", "sms_all_ios9.sql",
        "sms_message_ios16.sql", "whatsapp_chatstorage_macos_secondary.sql"}) {
    EXPECT_NE(std::find(present.begin(), present.end(), name), present.end())
        << "missing schema file " << (fx::SchemaDir() / name);
  }
}

INSTANTIATE_TEST_SUITE_P(EverySchema, DecodersDifferential, ::testing::ValuesIn(fx::SchemaFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           std::string name = info.param.substr(0, info.param.size() - 4);
                           for (auto& ch : name) {
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           }
                           return name;
                         });

}  // namespace
}  // namespace halvern
