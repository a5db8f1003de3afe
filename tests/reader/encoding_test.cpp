#include "reader/encoding.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

#include "common/byte_view.h"

namespace palvara {
namespace {

Bytes AllByteValues() {
  Bytes bytes(256);
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<std::byte>(i);
  return bytes;
}

TEST(EncodingTest, TablesMatchThePublishedPermutation) {
  const auto r = EncodingTableR();
  const auto s = EncodingTableS();
  const auto inv = EncodingTableI();
  // First and last bytes of the encode half, first bytes of the decode half.
  EXPECT_EQ(r[0], 0x41);
  EXPECT_EQ(r[7], 0xBB);
  EXPECT_EQ(r[252], 0xB5);
  EXPECT_EQ(r[255], 0x3D);
  const std::uint8_t decodeStart[] = {0x47, 0xF1, 0xB4, 0xE6, 0x0B, 0x6A, 0x72, 0x48};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(inv[i], decodeStart[i]) << i;
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(inv[r[i]], i);
    EXPECT_EQ(s[s[i]], i) << "the cyclic middle table is its own inverse";
  }
}

TEST(EncodingTest, PermuteRoundTripsAndOnlyDecodesForItsOwnMethod) {
  Bytes data = AllByteValues();
  EncodePermute(data);
  EXPECT_NE(data, AllByteValues());
  Bytes unchanged = data;
  EXPECT_EQ(DecodePermute(unchanged, EncodingMethod::kNone), -1);
  EXPECT_EQ(DecodePermute(unchanged, EncodingMethod::kCyclic), -1);
  EXPECT_EQ(unchanged, data);
  EXPECT_EQ(DecodePermute({}, EncodingMethod::kPermute), -1);
  EXPECT_EQ(DecodePermute(data, EncodingMethod::kPermute), 0);
  EXPECT_EQ(data, AllByteValues());
}

TEST(EncodingTest, CyclicIsItsOwnInverseAndKeyedByTheBlockId) {
  Bytes a = AllByteValues();
  Bytes b = AllByteValues();
  CodeCyclic(a, 0x1234);
  CodeCyclic(b, 0x1238);
  EXPECT_NE(a, b);
  EXPECT_NE(a, AllByteValues());
  DecodeBlock(a, EncodingMethod::kCyclic, 0xABCD00001234ull);  // the low 32 bits are the key
  EXPECT_EQ(a, AllByteValues());
}

// The cyclic transform one byte at a time, from the three published tables.
Bytes CyclicByteByByte(Bytes data, std::uint32_t key) {
  const auto r = EncodingTableR();
  const auto s = EncodingTableS();
  const auto inv = EncodingTableI();
  auto w = static_cast<std::uint16_t>(key ^ (key >> 16));
  for (std::byte& byte : data) {
    const auto low = static_cast<std::uint8_t>(w);
    const auto high = static_cast<std::uint8_t>(w >> 8);
    std::uint8_t b = r[static_cast<std::uint8_t>(std::to_integer<std::uint8_t>(byte) + low)];
    b = static_cast<std::uint8_t>(s[static_cast<std::uint8_t>(b + high)] - high);
    byte = static_cast<std::byte>(static_cast<std::uint8_t>(inv[b] - low));
    ++w;
  }
  return data;
}

// Blocks come in every length and at any address; whole 64-byte pieces and the short piece at the
// end must code exactly as the byte-by-byte tables do, and bytes beyond the span stay untouched.
TEST(EncodingTest, EveryLengthAndAlignmentCodesAsTheTablesDo) {
  std::mt19937 random(7);
  Bytes buffer(420);
  for (std::byte& b : buffer) b = static_cast<std::byte>(random());
  const auto r = EncodingTableR();
  const auto inv = EncodingTableI();
  auto substituted = [](Bytes data, std::span<const std::uint8_t, 256> table) {
    for (std::byte& b : data) b = static_cast<std::byte>(table[std::to_integer<std::uint8_t>(b)]);
    return data;
  };
  // Keys whose low byte wraps inside the first piece, and whose 16-bit value wraps to zero.
  const std::uint32_t keys[] = {0, 0x000000F0u, 0x0000FFE0u, 0x12345678u, 0xFFFF0000u};
  for (std::size_t offset = 0; offset < 4; ++offset) {
    for (std::size_t length = 0; length + offset <= 300; length += (length < 140 ? 1 : 23)) {
      auto check = [&](const std::function<void(std::span<std::byte>)>& code, const Bytes& expectedPart,
                       const char* what) {
        Bytes actual = buffer;
        code(std::span<std::byte>(actual).subspan(offset, length));
        Bytes expected = buffer;
        std::copy(expectedPart.begin(), expectedPart.end(), expected.begin() + static_cast<std::ptrdiff_t>(offset));
        ASSERT_EQ(actual, expected) << what << " offset " << offset << " length " << length;
      };
      const Bytes part(buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                       buffer.begin() + static_cast<std::ptrdiff_t>(offset + length));
      check([](std::span<std::byte> d) { EncodePermute(d); }, substituted(part, r), "encode");
      check([](std::span<std::byte> d) { DecodePermute(d, EncodingMethod::kPermute); }, substituted(part, inv),
            "decode");
      for (std::uint32_t key : keys) {
        check([key](std::span<std::byte> d) { CodeCyclic(d, key); }, CyclicByteByByte(part, key), "cyclic");
      }
    }
  }
}

}  // namespace
}  // namespace palvara
