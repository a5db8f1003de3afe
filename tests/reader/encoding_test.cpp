#include "reader/encoding.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace palvara
