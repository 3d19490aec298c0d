// The text of attributedBody archives and the protobuf wire reader of the notes store.
#include <gtest/gtest.h>

#include "extractors/extractors.h"
#include "extractors/protobuf_wire.h"
#include "tests/extractors/db_edit.h"

namespace halvern {
namespace {

using testing::TypedStreamArchive;

TEST(TypedStreamText, ReadsEveryLengthForm) {
  for (size_t n : {size_t{0}, size_t{1}, size_t{0x7F}, size_t{0x80}, size_t{300}, size_t{0x10000},
                   size_t{70000}}) {
    std::string text(n, 'x');
    if (n >= 4) text.replace(0, 4, "\xC3\xA9t\xC3\xA9");  // "été"-like, multi-byte UTF-8
    std::string got = "unchanged";
    ASSERT_TRUE(TypedStreamText(TypedStreamArchive(text), got)) << n;
    EXPECT_EQ(got, text) << n;
  }
}

TEST(TypedStreamText, FindsThePlusAfterTheClassNameWhereverItIs) {
  // Two more bytes between the class name and the type code: still found.
  std::string a = TypedStreamArchive("Hi there");
  const size_t at = a.find("NSString") + 8;
  a.insert(at + 1, "\x92\x92");
  std::string got;
  ASSERT_TRUE(TypedStreamText(a, got));
  EXPECT_EQ(got, "Hi there");
}

TEST(TypedStreamText, RefusesWhatIsNotACompleteArchive) {
  const std::string good = TypedStreamArchive("Hello");
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string noMagic = good;
  noMagic[2] = 'S';
  std::string noClass = good;
  noClass.replace(noClass.find("NSString"), 8, "NSNumber");
  std::string badLead = good;
  badLead[good.find("Hello") - 1] = '\x83';
  std::string invalidUtf8 = TypedStreamArchive("ab\xFF\xFE");
  const Case cases[] = {
      {"empty", ""},
      {"header only", good.substr(0, 13)},
      {"not streamtyped", noMagic},
      {"no NSString", noClass},
      {"text cut short", good.substr(0, good.find("Hello") + 3)},
      {"length cut short",
       TypedStreamArchive(std::string(300, 'y')).substr(0, good.find("Hello") + 1)},
      {"unknown length form", badLead},
      {"not UTF-8", invalidUtf8},
  };
  for (const Case& c : cases) {
    std::string got;
    EXPECT_FALSE(TypedStreamText(c.bytes, got)) << c.what;
  }
}

// Field key of a length-delimited field.
std::string Bytes(uint32_t field, const std::string& payload) {
  std::string out;
  out += char(field << 3 | 2);
  size_t n = payload.size();
  do {
    uint8_t b = n & 0x7F;
    n >>= 7;
    out += char(n ? b | 0x80 : b);
  } while (n);
  return out + payload;
}

TEST(ProtobufWire, FollowsAPathPastOtherFieldsOfEveryWireType) {
  const std::string noise = std::string("\x08\x96\x01", 3)  // field 1, varint 150
                            + std::string(
                                  "\x11"
                                  "12345678",
                                  9)  // field 2, 64-bit
                            + std::string(
                                  "\x1d"
                                  "abcd",
                                  5);              // field 3, 32-bit
  const std::string text = std::string(200, 'n');  // two-byte length
  const std::string note = noise + Bytes(2, noise + Bytes(3, Bytes(1, "x") + Bytes(2, text)));
  const std::string document = Bytes(1, "version") + note;
  auto got = protobuf::FindPath(document, {2, 3, 2});
  ASSERT_TRUE(got);
  EXPECT_EQ(*got, text);
}

TEST(ProtobufWire, StopsAtMalformedInput) {
  EXPECT_FALSE(protobuf::FindBytes(Bytes(2, "abc").substr(0, 3), 2));    // length beyond end
  EXPECT_FALSE(protobuf::FindBytes(std::string("\x08\xff\xff", 3), 2));  // varint cut short
  EXPECT_FALSE(protobuf::FindBytes(std::string("\x0b\x00", 2), 2));      // group
  EXPECT_FALSE(protobuf::FindBytes(std::string(11, '\xff'), 2));         // varint too long
  EXPECT_FALSE(protobuf::FindPath(Bytes(2, "plain"), {2, 3, 2}));
}

}  // namespace
}  // namespace halvern
