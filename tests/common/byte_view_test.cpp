#include "common/byte_view.h"

#include <gtest/gtest.h>

#include <limits>

namespace palvara {
namespace {

TEST(ByteViewTest, LoadsLittleEndianAndRefusesEveryReadPastTheEnd) {
  const Bytes bytes = {std::byte{0x01}, std::byte{0x02}, std::byte{0x03}, std::byte{0x04},
                       std::byte{0x05}, std::byte{0x06}, std::byte{0x07}, std::byte{0x88}};
  EXPECT_EQ(LoadLe16(bytes, 0), 0x0201);
  EXPECT_EQ(LoadLe32(bytes, 4), 0x88070605u);
  EXPECT_EQ(LoadLe64(bytes, 0), 0x8807060504030201ull);
  EXPECT_EQ(LoadLeN(bytes, 6, 2), 0x8807u);
  EXPECT_FALSE(LoadLe16(bytes, 7));
  EXPECT_FALSE(LoadLe64(bytes, 1));
  EXPECT_FALSE(LoadLeN(bytes, 0, 3));
  // Offsets near SIZE_MAX must not wrap around into the buffer.
  EXPECT_FALSE(LoadLe32(bytes, std::numeric_limits<std::size_t>::max() - 1));
  EXPECT_FALSE(InBounds(8, 4, std::numeric_limits<std::size_t>::max()));
  EXPECT_EQ(ByteAt(bytes, 100), 0);
}

}  // namespace
}  // namespace palvara
