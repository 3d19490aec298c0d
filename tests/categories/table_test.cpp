// The forms a table value takes: JSON and CSV keep what the phone stored, only the shown text
// formats; and the list of table categories is well formed.
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "categories/category.h"
#include "categories/table.h"

namespace halvern {
namespace {

struct FormCase {
  const char* what;
  Cell cell;
  ColumnType type;
  nlohmann::json json;
  std::string csv;
  std::string shown;
};

class CellForms : public ::testing::TestWithParam<FormCase> {
 protected:
  void SetUp() override { setenv("TZ", "Europe/Berlin", 1), tzset(); }
  void TearDown() override { setenv("TZ", "UTC", 1), tzset(); }
};

TEST_P(CellForms, JsonCsvAndShownText) {
  const FormCase& c = GetParam();
  EXPECT_EQ(JsonValue(c.cell, c.type), c.json) << c.what;
  EXPECT_EQ(CsvText(c.cell, c.type), c.csv) << c.what;
  EXPECT_EQ(ShownText(c.cell, c.type), c.shown) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CellForms,
    ::testing::Values(
        // Local time of the computer (Berlin in summer: +02:00) unless the date has its own.
        FormCase{"local date", Cell::Date(1631300000), ColumnType::kDate,
                 "2021-09-10T20:53:20+02:00", "2021-09-10T20:53:20+02:00",
                 "2021-09-10 20:53:20"},
        FormCase{"date at its own offset, with its zone", Cell::DateAt(1631300000, -4 * 3600,
                                                                       "America/New_York"),
                 ColumnType::kDate, "2021-09-10T14:53:20-04:00", "2021-09-10T14:53:20-04:00",
                 "2021-09-10 14:53:20 (America/New_York)"},
        FormCase{"floating time: the same wall clock everywhere, no offset",
                 Cell::LocalTime(1631264400), ColumnType::kDate, "2021-09-10T09:00:00",
                 "2021-09-10T09:00:00", "2021-09-10 09:00:00"},
        FormCase{"fractions of a second kept", Cell::Date(1631300000.25), ColumnType::kDate,
                 "2021-09-10T20:53:20.25+02:00", "2021-09-10T20:53:20.25+02:00",
                 "2021-09-10 20:53:20"},
        FormCase{"duration in seconds as stored", Cell::Real(65.5), ColumnType::kDuration, 65.5,
                 "65.5", "1 Min 5 Sec"},
        FormCase{"flag as stored, shown as a word", Cell::Integer(1), ColumnType::kFlag, true, "1",
                 "Yes"},
        FormCase{"place", Cell::Place(52.52, 13.405), ColumnType::kPlace,
                 nlohmann::json{{"latitude", 52.52}, {"longitude", 13.405}}, "52.52,13.405",
                 "52.520000, 13.405000"},
        FormCase{"text kept with its spaces", Cell::Text("  two  spaces "), ColumnType::kText,
                 "  two  spaces ", "  two  spaces ", "  two  spaces "},
        FormCase{"null", Cell::Null(), ColumnType::kText, nullptr, "", ""},
        FormCase{"list: an array, its items as stored joined", Cell::List({" Holidays", "A; B"}),
                 ColumnType::kList, nlohmann::json{" Holidays", "A; B"}, " Holidays; A; B",
                 " Holidays, A; B"},
        FormCase{"empty list: an empty array", Cell::List({}), ColumnType::kList,
                 nlohmann::json::array(), "", ""},
        FormCase{"a text where a number belongs stays the text", Cell::Text("abc"),
                 ColumnType::kDuration, "abc", "abc", "abc"}));

TEST(TableCategoryList, KeysAreUniqueAndEveryCategoryHasAnExtractor) {
  std::set<std::string> keys;
  for (const TableCategory* c : TableCategories()) {
    EXPECT_TRUE(keys.insert(c->key).second) << c->key;
    EXPECT_NE(c->extract, nullptr) << c->key;
    EXPECT_EQ(FindTableCategory(c->key), c);
  }
  EXPECT_EQ(FindTableCategory("VOICEMAIL"), FindTableCategory("voicemail"));
  EXPECT_EQ(FindTableCategory("nothing"), nullptr);
}

}  // namespace
}  // namespace halvern
