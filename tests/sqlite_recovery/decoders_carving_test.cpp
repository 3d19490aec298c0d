// Deleted rows planted by the SQLite library in every kind of free space come back from the
// message decoder marked deleted, with the values they had, and nothing comes back that was
// never written.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>
#include <string>

#include "sqlite_recovery/decoders.h"
#include "sqlite_recovery/time_format.h"
#include "tests/fixtures/phone_dbs.h"

namespace halvern {
namespace {

namespace fx = halvern::fixtures;

int64_t IntOf(const fx::Row& row, const char* column) {
  const fx::SqlValue* v = fx::Find(row, column);
  return v && std::holds_alternative<int64_t>(*v) ? std::get<int64_t>(*v) : 0;
}

TEST(DecodersCarving, PlantedMessagesComeBackDeletedWithTheirValues) {
  setenv("TZ", "UTC", 1);
  tzset();
  auto dir = std::filesystem::path(::testing::TempDir()) / "halvern_dec_carving";
  std::filesystem::create_directories(dir);
  for (bool nanoseconds : {false, true}) {
    fx::DbOptions options;
    options.schemaFile = nanoseconds ? "sms_all_ios11.sql" : "sms_all_ios9.sql";
    auto rows = fx::SampleSmsRows(300, 11, nanoseconds);
    auto path = dir / "sms.db";
    fx::DbLog log = fx::MakeSmsDb(path, rows, fx::PlantedSmsChanges(rows), options);
    ASSERT_EQ(log.status, 0) << log.error;

    // Every version of every message ever written, by its text.
    std::multimap<std::string, const fx::Row*> written;
    size_t goneWithText = 0;
    for (auto& row : log.Table("message").gone) {
      const fx::SqlValue* text = fx::Find(row, "text");
      if (text && std::holds_alternative<std::string>(*text) &&
          !std::get<std::string>(*text).empty()) {
        written.emplace(std::get<std::string>(*text), &row);
        ++goneWithText;
      }
    }
    for (auto& [rowid, row] : log.Table("message").live) {
      const fx::SqlValue* text = fx::Find(row, "text");
      if (text && std::holds_alternative<std::string>(*text)) {
        written.emplace(std::get<std::string>(*text), &row);
      }
    }

    CSqliteFileReader reader;
    ASSERT_EQ(reader.Open(path.string()), 0);
    std::vector<MessageItem> messages;
    std::vector<RowOrigin> origins;
    DecodeMessages(reader, messages, {ColumnLookup::kByName, &origins});
    ASSERT_EQ(origins.size(), messages.size());

    std::map<RowSource, int> bySource;
    int falseRows = 0;
    std::set<std::string> recovered;
    for (size_t i = 0; i < messages.size(); ++i) {
      const MessageItem& m = messages[i];
      if (!m.deleted) continue;
      auto [first, last] = written.equal_range(m.text);
      if (first == last) {
        ADD_FAILURE() << "a carved row that was never written (" << m.text.size()
                      << " bytes): " << m.text.substr(0, 40) << " from "
                      << RowSourceName(origins[i].source) << " at page " << origins[i].page
                      << " offset " << origins[i].offset;
        ++falseRows;
        continue;
      }
      bool same = false;
      for (auto it = first; it != last && !same; ++it) {
        const fx::Row& row = *it->second;
        same = IntOf(row, "handle_id") == m.handleId && IntOf(row, "is_from_me") == m.fromMe &&
               FormatMacTime(MessageDateSeconds(IntOf(row, "date"))) == m.date &&
               (m.rowId == 0 || IntOf(row, "ROWID") == m.rowId);
      }
      EXPECT_TRUE(same) << "values differ for " << m.text.substr(0, 60);
      ++bySource[origins[i].source];
      recovered.insert(m.text);
    }
    for (RowSource kind : {RowSource::kFreeblock, RowSource::kUnallocated, RowSource::kFreelist}) {
      EXPECT_GT(bySource[kind], 0) << "nothing recovered from " << RowSourceName(kind);
    }
    std::printf("[ figures  ] %s: %zu of %zu deleted message versions with text recovered",
                options.schemaFile.c_str(), recovered.size(), goneWithText);
    std::printf(", %d false", falseRows);
    for (auto& [source, count] : bySource) {
      std::printf(", %s %d", std::string(RowSourceName(source)).c_str(), count);
    }
    std::printf("\n");
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace halvern
