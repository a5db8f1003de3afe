#include "reader/crc.h"

#include <array>
#include <cstring>

namespace palvara {
namespace {

// Sixteen tables for slicing by sixteen bytes: table k advances the CRC by k more zero bytes.
// The recovery scan checks the CRC of every block in the file, so this loop sets its speed.
constexpr std::size_t kSlices = 16;
using Tables = std::array<std::array<std::uint32_t, 256>, kSlices>;

constexpr Tables MakeTables() {
  Tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][i] = c;
  }
  for (std::size_t k = 1; k < kSlices; ++k) {
    for (std::uint32_t i = 0; i < 256; ++i) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr auto kTables = MakeTables();

}  // namespace

std::uint32_t ComputeCrc(ByteSpan bytes, std::uint32_t crc) {
  const std::byte* p = bytes.data();
  std::size_t n = bytes.size();
  // Byte i of the 16 at p moves through 15 - i more bytes: table 15 - i.
  auto slice = [](std::uint32_t word, std::size_t firstTable) {
    return kTables[firstTable][word & 0xFF] ^ kTables[firstTable - 1][(word >> 8) & 0xFF] ^
           kTables[firstTable - 2][(word >> 16) & 0xFF] ^ kTables[firstTable - 3][word >> 24];
  };
  while (n >= kSlices) {
    std::uint32_t w[4];
    std::memcpy(w, p, sizeof w);
    w[0] ^= crc;  // little-endian hosts: the first byte is the low byte
    crc = slice(w[0], 15) ^ slice(w[1], 11) ^ slice(w[2], 7) ^ slice(w[3], 3);
    p += kSlices;
    n -= kSlices;
  }
  while (n-- > 0) crc = kTables[0][(crc ^ std::to_integer<std::uint32_t>(*p++)) & 0xFF] ^ (crc >> 8);
  return crc;
}

std::uint16_t ComputeSig(std::uint64_t ib, std::uint64_t bid) {
  const auto x = static_cast<std::uint32_t>(ib ^ bid);
  return static_cast<std::uint16_t>((x >> 16) ^ (x & 0xFFFF));
}

}  // namespace palvara
