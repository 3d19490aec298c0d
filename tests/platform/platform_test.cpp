// Text helpers, local time and the mounted-filesystem list of the platform layer.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/platform.h"

namespace halvern::platform {
namespace {

TEST(Utf8, ValidationAndRepair) {
  struct Case {
    std::string in;
    bool valid;
    std::string repaired;
  };
  const Case cases[] = {
      {"plain", true, "plain"},
      {"Chlo\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80", true, "Chlo\xC3\xA9 \xE2\x9C\x93 \xF0\x9F\x98\x80"},
      {"cut \xC3", false, "cut \xEF\xBF\xBD"},                     // truncated sequence
      {"over\xC0\xAF", false, "over\xEF\xBF\xBD\xEF\xBF\xBD"},     // overlong "/"
      {"sur\xED\xA0\x80", false, "sur\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"big\xF4\x90\x80\x80", false,
       "big\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},    // above U+10FFFF
      {"latin1 \xE9t\xE9", false, "latin1 \xEF\xBF\xBDt\xEF\xBF\xBD"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.in), c.valid) << c.in;
    EXPECT_EQ(SanitizeUtf8(c.in), c.repaired) << c.in;
    EXPECT_TRUE(IsValidUtf8(SanitizeUtf8(c.in)));
  }
}

TEST(Utf8, CaseInsensitiveComparisonByCodePoint) {
  EXPECT_EQ(CompareNoCase("IMG_0001.JPG", "img_0001.jpg"), 0);
  EXPECT_EQ(CompareNoCase("\xC3\x89lodie", "\xC3\xA9LODIE"), 0);        // Élodie / éLODIE
  EXPECT_EQ(CompareNoCase("\xD0\x90\xD0\xBD\xD1\x8F", "\xD0\xB0\xD0\x9D\xD0\xAF"), 0);  // Аня
  EXPECT_EQ(CompareNoCase("\xC5\x81" "ukasz", "\xC5\x82UKASZ"), 0);     // Łukasz
  EXPECT_LT(CompareNoCase("abc", "ABD"), 0);
  EXPECT_LT(CompareNoCase("ab", "AB c"), 0);
  // By code point after folding: 'z' (U+007A) sorts before 'é' (U+00E9).
  EXPECT_LT(CompareNoCase("Zoe", "\xC3\x89va"), 0);
}

TEST(LocalTime, FollowsDaylightSavingRules) {
  setenv("TZ", "Europe/Paris", 1);
  tzset();
  EXPECT_EQ(FormatLocalTime(UtcToUnix(2021, 1, 15, 12, 0, 0)), "2021-01-15 13:00:00");
  EXPECT_EQ(FormatLocalTime(UtcToUnix(2021, 7, 15, 12, 0, 0)), "2021-07-15 14:00:00");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatLocalTime(0), "1970-01-01 00:00:00");
  EXPECT_EQ(UtcToUnix(2001, 1, 1, 0, 0, 0), 978307200);
  EXPECT_EQ(UtcToUnix(2024, 2, 29, 23, 59, 59), 1709251199);
}

TEST(Filesystems, ListsRealMountsInTableOrder) {
  const auto file = std::filesystem::temp_directory_path() / "halvern-mounts-test";
  std::ofstream(file) << "proc /proc proc rw 0 0\n"
                         "/dev/vda1 / ext4 rw 0 0\n"
                         "sysfs /sys sysfs rw 0 0\n"
                         "/dev/sdb1 /media/usb\\040stick vfat rw 0 0\n"
                         "garbage\n";
  const auto mounts = MountedFilesystems(file);
  ASSERT_EQ(mounts.size(), 2u);
  EXPECT_EQ(mounts[0].mountPoint, "/");
  EXPECT_EQ(mounts[1].mountPoint, "/media/usb stick");
  EXPECT_EQ(mounts[1].type, "vfat");
  std::filesystem::remove(file);
}

TEST(Folders, AppDataFollowsXdgThenHome) {
  setenv("XDG_DATA_HOME", "/data/xdg", 1);
  EXPECT_EQ(AppDataFolder(), "/data/xdg");
  setenv("XDG_DATA_HOME", "relative/ignored", 1);
  setenv("HOME", "/home/chloe", 1);
  EXPECT_EQ(AppDataFolder(), "/home/chloe/.local/share");
  unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(AppDataFolder(), "/home/chloe/.local/share");
  EXPECT_TRUE(FreeBytes("/").has_value());
  EXPECT_EQ(FreeBytes("/no/such/folder/here").has_value(), FreeBytes("/").has_value());
  EXPECT_FALSE(FreeBytes("relative/nowhere").has_value());
}

}  // namespace
}  // namespace halvern::platform
