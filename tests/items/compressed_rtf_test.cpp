#include "items/compressed_rtf.h"

#include <gtest/gtest.h>

#include <string>

namespace palvara {
namespace {

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 3) {
    out.push_back(static_cast<std::byte>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

std::string AsText(const Bytes& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Bytes Header(std::uint32_t compSize, std::uint32_t rawSize, const char* type) {
  Bytes h(16);
  StoreLe(h, 0, compSize, 4);
  StoreLe(h, 4, rawSize, 4);
  for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<std::byte>(type[i]);
  return h;
}

// A stream of the given data bytes behind a compressed-stream header.
Bytes Stream(const Bytes& data) {
  Bytes s = Header(static_cast<std::uint32_t>(data.size() + 12), 0, "LZFu");
  s.insert(s.end(), data.begin(), data.end());
  return s;
}

TEST(CompressedRtfTest, PublishedExamplesDecode) {
  Bytes out;
  ASSERT_EQ(DecodeCompressedRtf(
                FromHex("2d 00 00 00 2b 00 00 00 4c 5a 46 75 f1 c5 c7 a7 03 00 0a 00 72 63 70 "
                        "67 31 32 35 42 32 0a f3 20 68 65 6c 09 00 20 62 77 05 b0 6c 64 7d 0a "
                        "80 0f a0 "),
                out),
            0);
  EXPECT_EQ(AsText(out), "{\\rtf1\\ansi\\ansicpg1252\\pard hello world}\r\n");
  ASSERT_EQ(DecodeCompressedRtf(FromHex("1a 00 00 00 1c 00 00 00 4c 5a 46 75 e2 d4 4b 51 41 00 "
                                        "04 20 57 58 59 5a 0d 6e 7d 01 0e b0 "),
                                out),
            0);
  EXPECT_EQ(AsText(out), "{\\rtf1 WXYZWXYZWXYZWXYZWXYZ}");
}

TEST(CompressedRtfTest, ReferencesWrapAndOverlap) {
  // Control 0x06: a literal 'A', then two references. The first reaches back to offset
  // 0xFFF, across the start of the dictionary (bytes 0xFFF, 0x000, 0x001 = "\0{\\"); the
  // second copies 17 bytes from the 'A' it is still writing after (a repeating pattern).
  const Bytes data = {std::byte{0x06}, std::byte{'A'},  std::byte{0xFF}, std::byte{0xF1},
                      std::byte{0x0C}, std::byte{0xFF}};
  Bytes out;
  ASSERT_EQ(DecodeCompressedRtf(Stream(data), out), 0);
  std::string expected = "A";
  expected += std::string(1, '\0') + "{\\";
  expected += "A" + std::string("\0{\\", 3) + "A" + std::string("\0{\\", 3) + "A" +
              std::string("\0{\\", 3) + "A" + std::string("\0{\\", 3) + "A";
  EXPECT_EQ(out.size(), 1u + 3u + 17u);
  EXPECT_EQ(AsText(out), expected);
}

TEST(CompressedRtfTest, StreamsWithoutEndMarkerUncompressedOrTooShort) {
  // The last bytes of a stream are text: nothing is lost, nothing is added.
  const Bytes literals = {std::byte{0x00}, std::byte{'a'}, std::byte{'b'}, std::byte{'c'},
                          std::byte{'d'},  std::byte{'e'}, std::byte{'f'}, std::byte{'g'},
                          std::byte{'h'}};
  Bytes out;
  ASSERT_EQ(DecodeCompressedRtf(Stream(literals), out), 0);
  EXPECT_EQ(AsText(out), "abcdefgh");

  Bytes mela = Header(12 + 5, 5, "MELA");
  for (char c : std::string("{\\rtf")) mela.push_back(static_cast<std::byte>(c));
  ASSERT_EQ(DecodeCompressedRtf(mela, out), 0);
  EXPECT_EQ(AsText(out), "{\\rtf");

  EXPECT_EQ(DecodeCompressedRtf(Bytes(15), out), 1);
  EXPECT_TRUE(out.empty());
  // A COMPSIZE larger than the stream reads only what is there.
  Bytes lying = Stream(literals);
  StoreLe(lying, 0, 0x7FFFFFFF, 4);
  ASSERT_EQ(DecodeCompressedRtf(lying, out), 0);
  EXPECT_EQ(AsText(out), "abcdefgh");
}

TEST(CompressedRtfTest, EveryPrefixOfAStreamDecodesSafely) {
  const Bytes stream =
      FromHex("2d 00 00 00 2b 00 00 00 4c 5a 46 75 f1 c5 c7 a7 03 00 0a 00 72 63 70 67 31 32 35 "
              "42 32 0a f3 20 68 65 6c 09 00 20 62 77 05 b0 6c 64 7d 0a 80 0f a0 ");
  std::size_t previous = 0;
  for (std::size_t n = 16; n <= stream.size(); ++n) {
    Bytes out;
    EXPECT_EQ(DecodeCompressedRtf(ByteSpan(stream).first(n), out), 0);
    EXPECT_GE(out.size(), previous);
    previous = out.size();
  }
  EXPECT_EQ(previous, 43u);
}

struct RtfCase {
  const char* rtf;
  const char* text;
  int status;
};

TEST(RtfToTextTest, TextKeywordsAndStatuses) {
  const RtfCase cases[] = {
      {"{\\rtf1 Hello\\par World}", "Hello\nWorld", kRtfOk},
      {"{\\rtf1 caf\\'e9}", "caf\xC3\xA9", kRtfOk},
      {"{\\rtf1 bad\\'eg}", "bad", kRtfInvalidHex},
      {"{\\rtf1 {\\*\\unknownthing hidden}shown}", "shown", kRtfOk},
      {"{\\rtf1 {\\*\\fonttbl known}x}", "x", kRtfOk},
      {"{\\rtf1{\\fonttbl{\\f0 Arial;}}body\\tab end}", "body\tend", kRtfOk},
      {"{\\rtf1 \\ldblquote q\\rdblquote  \\{\\}\\\\}", "\"q\" {}\\", kRtfOk},
      {"{\\rtf1 \\u20013?\\u-3?x}", "\xE4\xB8\xAD\xEF\xBF\xBDx", kRtfOk},
      {"{\\rtf1 \\uc2\\u20013??x}", "\xE4\xB8\xAD" "x", kRtfOk},
      {"{\\rtf1\\ansicpg932 \\'93\\'fa}", "\xE6\x97\xA5", kRtfOk},
      {"{\\rtf1 \\u underlined}", "underlined", kRtfOk},
      {"{\\rtf1 \\bin3 a\\bc}", "a\\bc", kRtfOk},
      {"{\\rtf1 open", "open", kRtfUnmatchedBrace},
      {"{\\rtf1 x}}y", "x", kRtfStackUnderflow},
      {"{\\rtf1 x\\", "x", kRtfEndOfFileInKeyword},
      {"{\\rtf1 line\r\nbreaks\\line ok}", "linebreaks\nok", kRtfOk},
  };
  for (const RtfCase& c : cases) {
    std::string text;
    const std::string rtf = c.rtf;
    EXPECT_EQ(RtfToText(ByteSpan(reinterpret_cast<const std::byte*>(rtf.data()), rtf.size()), text),
              c.status)
        << c.rtf;
    EXPECT_EQ(text, c.text) << c.rtf;
  }
}

TEST(RtfToTextTest, DeepNestingStopsWithOverflow) {
  const std::string rtf(100000, '{');
  std::string text;
  EXPECT_EQ(RtfToText(ByteSpan(reinterpret_cast<const std::byte*>(rtf.data()), rtf.size()), text),
            kRtfStackOverflow);
}

}  // namespace
}  // namespace palvara
