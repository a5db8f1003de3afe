#include "common/text.h"

#include <gtest/gtest.h>

#include <random>

namespace palvara {
namespace {

Bytes Utf16(std::u16string_view text) {
  Bytes bytes;
  for (char16_t u : text) {
    bytes.push_back(static_cast<std::byte>(u & 0xFF));
    bytes.push_back(static_cast<std::byte>(u >> 8));
  }
  return bytes;
}

// One code unit at a time, as the conversion is defined.
std::string Reference(const Bytes& bytes) {
  std::string out;
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t i) {
    return static_cast<char16_t>(std::to_integer<unsigned>(bytes[2 * i]) |
                                 (std::to_integer<unsigned>(bytes[2 * i + 1]) << 8));
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = unit(i);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units && unit(i + 1) >= 0xDC00 && unit(i + 1) <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{unit(i + 1)} - 0xDC00));
      ++i;
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

TEST(TextTest, Utf16ConvertsNamedCases) {
  EXPECT_EQ(Utf16LeToUtf8(Utf16(u"Quarterly report, final version")), "Quarterly report, final version");
  EXPECT_EQ(Utf16LeToUtf8(Utf16(u"R\u00e9sum\u00e9 \u65e5\u672c \U0001F600")), "R\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80");
  // A 0 unit ends the text, also inside a run of ASCII taken eight at a time.
  EXPECT_EQ(Utf16LeToUtf8(Utf16(std::u16string(u"abcdefghijkl\0mnopqrstuvwx", 25))), "abcdefghijkl");
  // A lone high surrogate at the end and a lone low one inside become U+FFFD; an odd byte is ignored.
  Bytes lone = Utf16(u"abc\xDC01xyz0123456789\xD800");
  lone.push_back(std::byte{0x41});
  EXPECT_EQ(Utf16LeToUtf8(lone), "abc\xEF\xBF\xBDxyz0123456789\xEF\xBF\xBD");
  EXPECT_EQ(Utf16LeToUtf8({}), "");
}

// Random mixtures of ASCII runs, other characters, surrogates and zeros, at every length: the
// eight-unit steps, the growth of the output for long non-ASCII text and the tail all agree
// with the unit-by-unit definition.
TEST(TextTest, Utf16AgreesWithTheUnitByUnitDefinition) {
  std::mt19937 random(11);
  const char16_t pool[] = {u'a', u'Z', u' ', 0x7F, 0x80, 0xE9, 0x7FF, 0x800, 0x65E5, 0xFFFF,
                           0xD83D, 0xDE00, 0xDBFF, 0xDC00, 0};
  for (int round = 0; round < 400; ++round) {
    std::u16string text;
    const int length = round % 150;
    const bool mostlyAscii = round % 3 != 0;
    for (int i = 0; i < length; ++i) {
      const auto pick = random() % (mostlyAscii ? 40 : 15);
      text.push_back(pick < 15 ? (pick == 14 && random() % 4 != 0 ? u'q' : pool[pick])
                               : static_cast<char16_t>(u'a' + pick % 26));
    }
    const Bytes bytes = Utf16(text);
    ASSERT_EQ(Utf16LeToUtf8(bytes), Reference(bytes)) << "round " << round;
  }
  const Bytes cjk = Utf16(std::u16string(5000, 0x65E5));
  EXPECT_EQ(Utf16LeToUtf8(cjk).size(), 15000u);
}

TEST(TextTest, CodePage1252MapsTheHighHalf) {
  const Bytes bytes = {std::byte{'a'}, std::byte{0x80}, std::byte{0x81}, std::byte{0xE9}, std::byte{0}, std::byte{'b'}};
  EXPECT_EQ(CodePageToUtf8(bytes, 1252), "a\xE2\x82\xAC\xC2\x81\xC3\xA9");
}

}  // namespace
}  // namespace palvara
