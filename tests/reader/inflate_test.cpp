#include "reader/inflate.h"

#include <gtest/gtest.h>

#include "tests/support/test_data.h"

namespace palvara {
namespace {

TEST(InflateTest, AStreamInflatesToExactlyWhatItRecords) {
  const Bytes data = testing::PatternBytes(11866, 3, 7);
  const Bytes stream = Deflate(data);
  ASSERT_TRUE(LooksLikeZlib(stream));
  ASSERT_LT(stream.size(), data.size());
  std::string why;
  EXPECT_EQ(Inflate(stream, data.size(), &why), data) << why;
  // A size that differs from the stream's is refused either way, and the output stays within
  // the size asked for.
  EXPECT_FALSE(Inflate(stream, data.size() + 1, &why));
  EXPECT_NE(why.find("fewer"), std::string::npos) << why;
  EXPECT_FALSE(Inflate(stream, data.size() - 1, &why));
  EXPECT_NE(why.find("more"), std::string::npos) << why;
  // Without exactness, a stream that ends within the size is taken.
  EXPECT_EQ(Inflate(stream, 65512, &why, false), data);
}

TEST(InflateTest, DamageIsNamedAndNothingPastTheClaimIsMade) {
  const Bytes data = testing::PatternBytes(8000, 1, 3);
  Bytes stream = Deflate(data);
  std::string why;
  // The Adler-32 of the inflated data, in the last four bytes.
  Bytes badAdler = stream;
  badAdler.back() ^= std::byte{0x01};
  EXPECT_FALSE(Inflate(badAdler, data.size(), &why));
  EXPECT_NE(why.find("check"), std::string::npos) << why;
  // Cut short.
  EXPECT_FALSE(Inflate(ByteSpan(stream).first(stream.size() / 2), data.size(), &why));
  EXPECT_EQ(why, "the stream ends early");
  // Not zlib at all, or a header whose check bits fail.
  EXPECT_FALSE(LooksLikeZlib(data));
  EXPECT_FALSE(Inflate(data, data.size(), &why));
  Bytes badHeader = stream;
  badHeader[1] ^= std::byte{0x01};
  EXPECT_FALSE(LooksLikeZlib(badHeader));
  // A bomb: 16 MiB of zeros in a few KiB, claiming a block's 64 KiB.
  const Bytes zeros(16u << 20);
  const Bytes bomb = Deflate(zeros, 9);
  ASSERT_LT(bomb.size(), 65536u);
  EXPECT_FALSE(Inflate(bomb, 65535, &why));
  EXPECT_NE(why.find("more"), std::string::npos) << why;
}

}  // namespace
}  // namespace palvara
