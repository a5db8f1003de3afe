#include "reader/crc.h"

#include <array>
#include <cstring>

#include "common/cpu.h"

#ifdef PALVARA_HAVE_CLMUL_PATH
#include <immintrin.h>
#endif

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

std::uint32_t CrcByTables(const std::byte* p, std::size_t n, std::uint32_t crc) {
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


#ifdef PALVARA_HAVE_CLMUL_PATH

// x^n mod P for the CRC polynomial, bit-reflected into the 33-bit form carry-less multiplication
// of reflected operands needs.
constexpr std::uint64_t FoldConstant(int n) {
  std::uint64_t r = 1;
  for (int i = 0; i < n; ++i) {
    r <<= 1;
    if ((r & (std::uint64_t{1} << 32)) != 0) r ^= 0x104C11DB7ull;
  }
  std::uint64_t reflected = 0;
  for (int i = 0; i < 32; ++i) {
    if ((r & (std::uint64_t{1} << i)) != 0) reflected |= std::uint64_t{1} << (31 - i);
  }
  return reflected << 1;
}

// Moves a 16-byte remainder the given distance forward: its first eight bytes by the first
// constant, its last eight by the second.
PALVARA_CLMUL inline __m128i Fold(__m128i x, __m128i constants, __m128i next) {
  const __m128i first = _mm_clmulepi64_si128(x, constants, 0x00);
  const __m128i second = _mm_clmulepi64_si128(x, constants, 0x11);
  return _mm_xor_si128(_mm_xor_si128(first, second), next);
}

// Folds four 16-byte lanes over 64 bytes at a time, then the lanes into one, then what is left in
// 16-byte steps; the final 16 bytes and the tail go through the tables. Needs n >= 64.
PALVARA_CLMUL std::uint32_t CrcByFolding(const std::byte* p, std::size_t n, std::uint32_t crc) {
  const __m128i by64 = _mm_set_epi64x(static_cast<long long>(FoldConstant(512 - 32)),
                                      static_cast<long long>(FoldConstant(512 + 32)));
  const __m128i by16 = _mm_set_epi64x(static_cast<long long>(FoldConstant(128 - 32)),
                                      static_cast<long long>(FoldConstant(128 + 32)));
  auto load = [](const std::byte* at) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at)); };
  __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
  __m128i x1 = load(p + 16);
  __m128i x2 = load(p + 32);
  __m128i x3 = load(p + 48);
  p += 64;
  n -= 64;
  for (; n >= 64; p += 64, n -= 64) {
    x0 = Fold(x0, by64, load(p));
    x1 = Fold(x1, by64, load(p + 16));
    x2 = Fold(x2, by64, load(p + 32));
    x3 = Fold(x3, by64, load(p + 48));
  }
  __m128i x = Fold(Fold(Fold(x0, by16, x1), by16, x2), by16, x3);
  for (; n >= 16; p += 16, n -= 16) x = Fold(x, by16, load(p));
  alignas(16) std::byte last[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(last), x);
  return CrcByTables(p, n, CrcByTables(last, sizeof last, 0));
}

#endif

}  // namespace

// Every block written, and every block the recovery scan looks at, is checked through here.
std::uint32_t ComputeCrc(ByteSpan bytes, std::uint32_t crc) {
#ifdef PALVARA_HAVE_CLMUL_PATH
  if (bytes.size() >= 64 && HasCarrylessMultiply()) return CrcByFolding(bytes.data(), bytes.size(), crc);
#endif
  return CrcByTables(bytes.data(), bytes.size(), crc);
}

std::uint16_t ComputeSig(std::uint64_t ib, std::uint64_t bid) {
  const auto x = static_cast<std::uint32_t>(ib ^ bid);
  return static_cast<std::uint16_t>((x >> 16) ^ (x & 0xFFFF));
}

}  // namespace palvara
