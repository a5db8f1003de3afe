// The permutative and cyclic block encodings ([MS-PST] 5.1, 5.2).
#include "reader/encoding.h"

#include "common/cpu.h"

#ifdef PALVARA_HAVE_VBMI_PATH
#include <immintrin.h>
#endif

namespace palvara {
namespace {

// mpbbCrypt: R (encode) followed by S (cyclic middle step) and I (decode, inverse of R).
constexpr std::uint8_t kTableR[256] = {
    65,  54,  19,  98,  168, 33,  110, 187, 244, 22,  204, 4,   127, 100, 232, 93,
    30,  242, 203, 42,  116, 197, 94,  53,  210, 149, 71,  158, 150, 45,  154, 136,
    76,  125, 132, 63,  219, 172, 49,  182, 72,  95,  246, 196, 216, 57,  139, 231,
    35,  59,  56,  142, 200, 193, 223, 37,  177, 32,  165, 70,  96,  78,  156, 251,
    170, 211, 86,  81,  69,  124, 85,  0,   7,   201, 43,  157, 133, 155, 9,   160,
    143, 173, 179, 15,  99,  171, 137, 75,  215, 167, 21,  90,  113, 102, 66,  191,
    38,  74,  107, 152, 250, 234, 119, 83,  178, 112, 5,   44,  253, 89,  58,  134,
    126, 206, 6,   235, 130, 120, 87,  199, 141, 67,  175, 180, 28,  212, 91,  205,
    226, 233, 39,  79,  195, 8,   114, 128, 207, 176, 239, 245, 40,  109, 190, 48,
    77,  52,  146, 213, 14,  60,  34,  50,  229, 228, 249, 159, 194, 209, 10,  129,
    18,  225, 238, 145, 131, 118, 227, 151, 230, 97,  138, 23,  121, 164, 183, 220,
    144, 122, 92,  140, 2,   166, 202, 105, 222, 80,  26,  17,  147, 185, 82,  135,
    88,  252, 237, 29,  55,  73,  27,  106, 224, 41,  51,  153, 189, 108, 217, 148,
    243, 64,  84,  111, 240, 198, 115, 184, 214, 62,  101, 24,  68,  31,  221, 103,
    16,  241, 12,  25,  236, 174, 3,   161, 20,  123, 169, 11,  255, 248, 163, 192,
    162, 1,   247, 46,  188, 36,  104, 117, 13,  254, 186, 47,  181, 208, 218, 61,
};

constexpr std::uint8_t kTableS[256] = {
    20,  83,  15,  86,  179, 200, 122, 156, 235, 101, 72,  23,  22,  21,  159, 2,
    204, 84,  124, 131, 0,   13,  12,  11,  162, 98,  168, 118, 219, 217, 237, 199,
    197, 164, 220, 172, 133, 116, 214, 208, 167, 155, 174, 154, 150, 113, 102, 195,
    99,  153, 184, 221, 115, 146, 142, 132, 125, 165, 94,  209, 93,  147, 177, 87,
    81,  80,  128, 137, 82,  148, 79,  78,  10,  107, 188, 141, 127, 110, 71,  70,
    65,  64,  68,  1,   17,  203, 3,   63,  247, 244, 225, 169, 143, 60,  58,  249,
    251, 240, 25,  48,  130, 9,   46,  201, 157, 160, 134, 73,  238, 111, 77,  109,
    196, 45,  129, 52,  37,  135, 27,  136, 170, 252, 6,   161, 18,  56,  253, 76,
    66,  114, 100, 19,  55,  36,  106, 117, 119, 67,  255, 230, 180, 75,  54,  92,
    228, 216, 53,  61,  69,  185, 44,  236, 183, 49,  43,  41,  7,   104, 163, 14,
    105, 123, 24,  158, 33,  57,  190, 40,  26,  91,  120, 245, 35,  202, 42,  176,
    175, 62,  254, 4,   140, 231, 229, 152, 50,  149, 211, 246, 74,  232, 166, 234,
    233, 243, 213, 47,  112, 32,  242, 31,  5,   103, 173, 85,  16,  206, 205, 227,
    39,  59,  218, 186, 215, 194, 38,  212, 145, 29,  210, 28,  34,  51,  248, 250,
    241, 90,  239, 207, 144, 182, 139, 181, 189, 192, 191, 8,   151, 30,  108, 226,
    97,  224, 198, 193, 89,  171, 187, 88,  222, 95,  223, 96,  121, 126, 178, 138,
};

constexpr auto MakeInverse(const std::uint8_t (&table)[256]) {
  struct Table {
    std::uint8_t v[256];
  } inverse{};
  for (int i = 0; i < 256; ++i) inverse.v[table[i]] = static_cast<std::uint8_t>(i);
  return inverse;
}

constexpr auto kTableI = MakeInverse(kTableR);
static_assert(kTableI.v[0] == 0x47 && kTableI.v[1] == 0xF1 && kTableI.v[2] == 0xB4);

void SubstitutePortable(std::span<std::byte> data, const std::uint8_t (&table)[256]) {
  for (std::byte& b : data) b = static_cast<std::byte>(table[std::to_integer<std::uint8_t>(b)]);
}

#ifdef PALVARA_HAVE_VBMI_PATH
// A 256-byte table looked up 64 bytes at a time: each half of the table is a 128-byte
// two-register permute, and bit 7 of each byte picks the half.
struct WideTable {
  __m512i q0, q1, q2, q3;

  PALVARA_VBMI explicit WideTable(const std::uint8_t (&table)[256])
      : q0(_mm512_loadu_si512(table)),
        q1(_mm512_loadu_si512(table + 64)),
        q2(_mm512_loadu_si512(table + 128)),
        q3(_mm512_loadu_si512(table + 192)) {}

  PALVARA_VBMI __m512i operator()(__m512i x) const {
    const __m512i low = _mm512_permutex2var_epi8(q0, x, q1);
    const __m512i high = _mm512_permutex2var_epi8(q2, x, q3);
    return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
  }
};

// Runs step over 64-byte pieces of data; the last piece is loaded and stored under a mask.
template <typename Step>
PALVARA_VBMI inline void ForEachPiece(std::span<std::byte> data, Step step) {
  std::byte* p = data.data();
  std::size_t n = data.size();
  for (; n >= 64; p += 64, n -= 64) _mm512_storeu_si512(p, step(_mm512_loadu_si512(p)));
  if (n > 0) {
    const __mmask64 tail = (__mmask64{1} << n) - 1;
    _mm512_mask_storeu_epi8(p, tail, step(_mm512_maskz_loadu_epi8(tail, p)));
  }
}

PALVARA_VBMI void SubstituteVbmi(std::span<std::byte> data, const std::uint8_t (&table)[256]) {
  const WideTable lookup(table);
  ForEachPiece(data, [&](__m512i x) PALVARA_VBMI { return lookup(x); });
}

// The cyclic transform for 64 bytes at once: byte j uses the key w + j, whose high byte grows by
// one for the bytes after the low byte wraps.
PALVARA_VBMI void CodeCyclicVbmi(std::span<std::byte> data, std::uint16_t w, const std::uint8_t (&r)[256],
                                 const std::uint8_t (&s)[256], const std::uint8_t (&i)[256]) {
  const WideTable tableR(r);
  const WideTable tableS(s);
  const WideTable tableI(i);
  alignas(64) std::uint8_t offsets[64];
  for (int j = 0; j < 64; ++j) offsets[j] = static_cast<std::uint8_t>(j);
  const __m512i iota = _mm512_load_si512(offsets);
  const __m512i one = _mm512_set1_epi8(1);
  ForEachPiece(data, [&](__m512i x) PALVARA_VBMI {
    const __m512i base = _mm512_set1_epi8(static_cast<char>(w & 0xFF));
    const __m512i low = _mm512_add_epi8(base, iota);
    const __m512i highBase = _mm512_set1_epi8(static_cast<char>(w >> 8));
    const __m512i high = _mm512_mask_add_epi8(highBase, _mm512_cmplt_epu8_mask(low, base), highBase, one);
    __m512i b = tableR(_mm512_add_epi8(x, low));
    b = _mm512_sub_epi8(tableS(_mm512_add_epi8(b, high)), high);
    w = static_cast<std::uint16_t>(w + 64);
    return _mm512_sub_epi8(tableI(b), low);
  });
}

#endif

// Every block of a permute-encoded store passes through here on read and on write.
void Substitute(std::span<std::byte> data, const std::uint8_t (&table)[256]) {
#ifdef PALVARA_HAVE_VBMI_PATH
  if (data.size() >= 64 && HasAvx512Vbmi()) {
    SubstituteVbmi(data, table);
    return;
  }
#endif
  SubstitutePortable(data, table);
}

}  // namespace

const char* EncodingName(EncodingMethod method) {
  switch (method) {
    case EncodingMethod::kNone: return "none";
    case EncodingMethod::kPermute: return "permute";
    case EncodingMethod::kCyclic: return "cyclic";
  }
  return "unknown";
}

int DecodePermute(std::span<std::byte> data, EncodingMethod method) {
  if (method != EncodingMethod::kPermute || data.empty()) return -1;
  Substitute(data, kTableI.v);
  return 0;
}

void EncodePermute(std::span<std::byte> data) { Substitute(data, kTableR); }

void CodeCyclic(std::span<std::byte> data, std::uint32_t key) {
  auto w = static_cast<std::uint16_t>(key ^ (key >> 16));
#ifdef PALVARA_HAVE_VBMI_PATH
  if (data.size() >= 64 && HasAvx512Vbmi()) {
    CodeCyclicVbmi(data, w, kTableR, kTableS, kTableI.v);
    return;
  }
#endif
  for (std::byte& byte : data) {
    auto b = std::to_integer<std::uint8_t>(byte);
    b = static_cast<std::uint8_t>(b + static_cast<std::uint8_t>(w));
    b = kTableR[b];
    b = static_cast<std::uint8_t>(b + static_cast<std::uint8_t>(w >> 8));
    b = kTableS[b];
    b = static_cast<std::uint8_t>(b - static_cast<std::uint8_t>(w >> 8));
    b = kTableI.v[b];
    b = static_cast<std::uint8_t>(b - static_cast<std::uint8_t>(w));
    byte = static_cast<std::byte>(b);
    w = static_cast<std::uint16_t>(w + 1);
  }
}

void DecodeBlock(std::span<std::byte> data, EncodingMethod method, std::uint64_t blockId) {
  switch (method) {
    case EncodingMethod::kNone: break;
    case EncodingMethod::kPermute: DecodePermute(data, method); break;
    case EncodingMethod::kCyclic: CodeCyclic(data, static_cast<std::uint32_t>(blockId)); break;
  }
}

std::span<const std::uint8_t, 256> EncodingTableR() { return std::span<const std::uint8_t, 256>(kTableR); }
std::span<const std::uint8_t, 256> EncodingTableS() { return std::span<const std::uint8_t, 256>(kTableS); }
std::span<const std::uint8_t, 256> EncodingTableI() {
  return std::span<const std::uint8_t, 256>(kTableI.v);
}

}  // namespace palvara
