// The selection: counters and sizes through selecting, hiding and groups; the pre-sorts;
// FormatSize.
#include "selection/statistics.h"

#include <gtest/gtest.h>

namespace halvern {
namespace {

TEST(FormatSize, Units) {
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 Bytes"},       {1023, "1023 Bytes"},          {1024, "1.00 KB"},
      {1572864, "1.50 MB"}, {int64_t{3} << 30, "3.00 GB"}, {int64_t{1} << 40, "1.00 TB"},
      {-5, "-5 Bytes"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

TEST(CallTexts, DirectionAndDuration) {
  CallItem missed{0, 1, 0, "", "", ""};
  CallItem canceled{0, 0, 0, "", "", ""};
  CallItem talk{0, 0, 3725, "", "", ""};
  EXPECT_EQ(CallDurationText(missed), "Missed");
  EXPECT_EQ(CallDurationText(canceled), "Canceled");
  EXPECT_EQ(CallDurationText(talk), "1 Hour 2 Min");
  EXPECT_STREQ(CallDirectionText(missed), "Incoming");
  EXPECT_STREQ(CallDirectionText(talk), "Outgoing");
}

TEST(PreSorts, DeletedFirstAndNewestCallsFirst) {
  MessageMap map;
  map["handle-1"] = OneToOne("handle-1", {MessageItem{0, 0, 1, 1, "2021-01-01 00:00:00", "", "", "a"}});
  map["handle-2"] = OneToOne("handle-2", {MessageItem{0, 0, 2, 2, "2021-01-02 00:00:00", "", "", "b"},
            MessageItem{1, 0, 3, 2, "2021-01-03 00:00:00", "", "", "c"},
            MessageItem{0, 1, 4, 2, "2021-01-04 00:00:00", "", "", "last"}});
  const auto rows = ConversationRows(map);
  ASSERT_EQ(rows.size(), 2u);
  // The conversation with one deleted message among live ones is deleted and comes first,
  // represented by its last message.
  EXPECT_EQ(rows[0].handleId, 2);
  EXPECT_EQ(rows[0].deleted, 1);
  EXPECT_EQ(rows[0].text, "last");
  EXPECT_EQ(rows[1].handleId, 1);

  std::vector<CallItem> calls = {{0, 1, 1, "2021-01-01 00:00:00", "a", ""},
                                 {1, 1, 1, "2021-01-02 00:00:00", "b", ""},
                                 {0, 1, 1, "2021-01-03 00:00:00", "c", ""},
                                 {1, 1, 1, "2020-01-01 00:00:00", "d", ""}};
  PreSortCalls(calls);
  std::string order;
  for (const auto& c : calls) order += c.phone;
  EXPECT_EQ(order, "bdca");
}

class StatisticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    photos_ = {
        {10, "a.jpg", "/x/a"}, {5000, "b.jpg", "/x/b"}, {uint64_t{5} << 30, "c.mov", "/x/c"}};
    apps_["one"] = {{2048, "one", "p.png", "/x/p"}, {100, "one", "q.png", "/x/q"}};
    apps_["two"] = {{4096, "two", "r.png", "/x/r"}};
    notes_ = {{0, 1, "", "t", std::string(2000, 'n')}, {1, 2, "", "u", "short"}};
    s_.AddFiles(ScanCategory::kCameraRoll, photos_);
    s_.AddApps(ScanCategory::kAppPhotos, apps_);
    s_.AddNotes(notes_);
  }
  std::vector<MediaFileItem> photos_;
  AppFileMap apps_;
  std::vector<NoteItem> notes_;
  CStatisticsObj s_;
};

TEST_F(StatisticsTest, EverythingStartsSelectedWithSizesOfAtLeast1024) {
  s_.Recount();
  EXPECT_EQ(s_.Root().items, 8u);
  EXPECT_EQ(s_.Root().selected, 8u);
  // A 10-byte photo counts 1024 bytes; a 5 GiB video counts whole; a note counts characters.
  const uint64_t total = 1024 + 5000 + (uint64_t{5} << 30) + 2048 + 1024 + 4096 + 2000 + 1024;
  EXPECT_EQ(s_.TotalSize(), total);
  EXPECT_EQ(s_.SelectedSize(), total);
  EXPECT_EQ(s_.Find(&photos_[0])->countedSize, 1024u);
  EXPECT_EQ(s_.CategoryState(ScanCategory::kCameraRoll), CheckState::kChecked);
  EXPECT_EQ(s_.CategoryState(ScanCategory::kContacts), CheckState::kUnchecked);
  EXPECT_EQ(s_.Find(&notes_[1])->deleted, 1);
  EXPECT_EQ(s_.Recoverable().size(), 8u);
}

TEST_F(StatisticsTest, CategoryAndRowCheckBoxes) {
  // Unchecking a category and checking one of its rows: half-checked, one item selected.
  s_.SelectCategory(ScanCategory::kCameraRoll, false);
  EXPECT_EQ(s_.Category(ScanCategory::kCameraRoll).selected, 0u);
  EXPECT_TRUE(s_.Select(&photos_[1], true));
  s_.Recount();
  EXPECT_EQ(s_.CategoryState(ScanCategory::kCameraRoll), CheckState::kHalf);
  EXPECT_EQ(s_.Category(ScanCategory::kCameraRoll).selected, 1u);
  EXPECT_EQ(s_.Root().selected, 6u);
  // Checking the half-checked category adds only the sizes not yet selected.
  const uint64_t before = s_.SelectedSize();
  s_.SelectCategory(ScanCategory::kCameraRoll, true);
  EXPECT_EQ(s_.SelectedSize(), before + 1024 + (uint64_t{5} << 30));
  EXPECT_EQ(s_.SelectedSize(), s_.TotalSize());
  // Selecting twice changes nothing.
  EXPECT_TRUE(s_.Select(&photos_[1], true));
  EXPECT_EQ(s_.Category(ScanCategory::kCameraRoll).selected, 3u);
  EXPECT_FALSE(s_.Select(&s_, true));
}

TEST_F(StatisticsTest, AppGroupsMoveEveryNodeAbove) {
  ASSERT_TRUE(s_.Select(&apps_.at("one"), false));
  const StatNode& category = s_.Category(ScanCategory::kAppPhotos);
  EXPECT_EQ(category.items, 3u);
  EXPECT_EQ(category.selected, 1u);
  ASSERT_EQ(category.children.size(), 2u);
  EXPECT_EQ(category.children[0]->selected, 0u);
  EXPECT_EQ(s_.Root().selected, 6u);
  EXPECT_EQ(s_.Find(&apps_.at("one")[1])->checked, 0);
  EXPECT_EQ(s_.CategoryState(ScanCategory::kAppPhotos), CheckState::kHalf);
  // Groups are never recovered themselves.
  for (const auto& [item, entry] : s_.Recoverable()) EXPECT_EQ(entry->group, 0);
  EXPECT_EQ(s_.Recoverable().size(), 6u);
}

TEST_F(StatisticsTest, HiddenItemsLeaveTheSelectedSize) {
  // The deleted-items filter hides the note that is not deleted.
  ASSERT_TRUE(s_.SetHidden(&notes_[0], true));
  const StatNode& notes = s_.Category(ScanCategory::kNotes);
  EXPECT_EQ(notes.hidden, 1u);
  EXPECT_EQ(notes.selectedHidden, 1u);
  EXPECT_EQ(s_.SelectedSize(), s_.TotalSize() - 2000);
  // Unselecting a hidden item moves the selected-and-hidden counter, not the size.
  s_.Select(&notes_[0], false);
  EXPECT_EQ(notes.selectedHidden, 0u);
  EXPECT_EQ(s_.SelectedSize(), s_.TotalSize() - 2000);
  s_.Select(&notes_[0], true);
  s_.SetHidden(&notes_[0], false);
  EXPECT_EQ(notes.hidden, 0u);
  EXPECT_EQ(notes.selectedHidden, 0u);
  EXPECT_EQ(s_.SelectedSize(), s_.TotalSize());
  // Turning the filter off twice never takes a counter below zero.
  s_.SetHidden(&notes_[0], false);
  EXPECT_EQ(notes.hidden, 0u);
  s_.Recount();
  EXPECT_EQ(s_.Root().hidden, 0u);
}

}  // namespace
}  // namespace halvern
