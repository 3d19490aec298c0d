// The writers' building blocks: escaping, safe names, unique paths, template splitting.
#include "export/writers.h"

#include <gtest/gtest.h>

#include "tests/export/golden.h"
#include "tests/fixtures/temp_dir.h"

namespace halvern {
namespace {

using fixtures::TempDir;

TEST(Escaping, HtmlCsvAndNames) {
  const struct {
    std::string in, html;
  } html[] = {
      {"<script>alert('x')</script>", "&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;"},
      {"Tom & \"Jerry\"", "Tom &amp; &quot;Jerry&quot;"},
      {"Grüße 😀", "Grüße 😀"},
      {"bad \xff byte", "bad \xEF\xBF\xBD byte"},
  };
  for (const auto& c : html) EXPECT_EQ(HtmlEscape(c.in), c.html) << c.in;

  const struct {
    std::string in, csv;
  } csv[] = {
      {"plain", "plain"},
      {"a,b", "\"a,b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\nlines", "\"two\nlines\""},
      {" padded", "\" padded\""},
      {"", ""},
  };
  for (const auto& c : csv) EXPECT_EQ(CsvField(c.in), c.csv) << c.in;

  const struct {
    std::string in, name;
  } names[] = {
      {"../../etc/passwd", ".._.._etc_passwd"},
      {"..", "_"},
      {".", "_"},
      {"", "_"},
      {"a\nb\tc", "a_b_c"},
      {"Anna Berg", "Anna Berg"},
  };
  for (const auto& c : names) EXPECT_EQ(SafeFileName(c.in), c.name) << c.in;
  // Long names are cut at a character boundary.
  const std::string longName = SafeFileName(std::string(199, 'a') + "ü" + "tail");
  EXPECT_EQ(longName, std::string(199, 'a'));
}

TEST(UniquePath, NumbersBeforeTheExtension) {
  TempDir dir;
  EXPECT_EQ(MakeUniquePath(dir / "a.txt"), dir / "a.txt");
  golden::WriteBytes(dir / "a.txt", "");
  EXPECT_EQ(MakeUniquePath(dir / "a.txt"), dir / "a(1).txt");
  golden::WriteBytes(dir / "a(1).txt", "");
  EXPECT_EQ(MakeUniquePath(dir / "a.txt"), dir / "a(2).txt");
  // A folder of that name counts too; names without an extension get the number at the end.
  std::filesystem::create_directories(dir / "Unknown");
  EXPECT_EQ(MakeUniquePath(dir / "Unknown"), dir / "Unknown(1)");
}

TEST(Templates, SplitAtTheFirstContentMarker) {
  TempDir dir;
  golden::WriteBytes(dir / "t.html", "<h1>{|title|}</h1>{|title|}|{|content|}|tail{|content|}");
  PageTemplate t;
  ASSERT_EQ(LoadTemplate(dir.path(), "t.html", "Tom & Jerry", t), 0);
  EXPECT_EQ(t.head, "<h1>Tom &amp; Jerry</h1>Tom &amp; Jerry|");
  EXPECT_EQ(t.tail, "|tail{|content|}");
  golden::WriteBytes(dir / "no-marker.html", "all head");
  ASSERT_EQ(LoadTemplate(dir.path(), "no-marker.html", "x", t), 0);
  EXPECT_EQ(t.head, "all head");
  EXPECT_EQ(t.tail, "");
  EXPECT_EQ(LoadTemplate(dir.path(), "missing.html", "x", t), kInvalidParameter);
}

}  // namespace
}  // namespace halvern
