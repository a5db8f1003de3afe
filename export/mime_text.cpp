#include "export/mime_text.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#include "common/cpu.h"
#include "common/text.h"

#ifdef PALVARA_HAVE_VBMI_PATH
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace palvara {
namespace {

constexpr std::string_view kBase64 =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

void AppendBase64(std::string& out, std::string_view bytes) {
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const auto v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16 |
                                              static_cast<unsigned char>(bytes[i + 1]) << 8 |
                                              static_cast<unsigned char>(bytes[i + 2]));
    for (int s : {18, 12, 6, 0}) out += kBase64[(v >> s) & 0x3F];
  }
  if (i < bytes.size()) {
    std::uint32_t v = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i]) << 16);
    if (i + 1 < bytes.size()) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1]) << 8);
    out += kBase64[(v >> 18) & 0x3F];
    out += kBase64[(v >> 12) & 0x3F];
    out += i + 1 < bytes.size() ? kBase64[(v >> 6) & 0x3F] : '=';
    out += '=';
  }
}

// Length of the UTF-8 character starting with `lead`.
std::size_t CharLength(unsigned char lead) {
  return lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
}

const char* const kDays[] = {"Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"};
const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
// 1601-01-01 was a Monday.
const char* DayName(std::uint64_t fileTime) { return kDays[(fileTime / 864000000000ull) % 7]; }

}  // namespace

bool IsPrintableAscii(std::string_view text) {
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u > 0x7E) return false;
  }
  return true;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

std::string ValidUtf8(std::string_view text) {
  // Most text already is: it is taken as it is.
  if (IsCleanUtf8(text)) return std::string(text);
  // A round trip through UTF-16 replaces what is not UTF-8 (and would end at a NUL).
  std::string copy(text);
  std::erase(copy, '\0');
  return Utf16LeToUtf8(Utf8ToUtf16Le(copy));
}

void AppendEncodedWords(std::string& out, std::string_view text) {
  if (IsPrintableAscii(text)) {
    out.append(text);
    return;
  }
  // Each word holds at most 45 bytes of text: 60 base64 characters plus 12 of framing.
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t end = i;
    while (end < text.size()) {
      const std::size_t n = CharLength(static_cast<unsigned char>(text[end]));
      if (end + n - i > 45) break;
      end += n;
    }
    if (end == i) end = std::min(text.size(), i + 1);
    if (i > 0) out += "\n ";
    out += "=?UTF-8?B?";
    AppendBase64(out, text.substr(i, end - i));
    out += "?=";
    i = end;
  }
}

std::string EncodeWords(std::string_view text) {
  std::string out;
  AppendEncodedWords(out, text);
  return out;
}

void AppendHeaderLine(std::string& out, std::string_view name, std::string_view value) {
  out.append(name).append(": ");
  // Fold at blanks of the value so that no line passes 78 characters where that can be helped.
  std::size_t lineStart = out.size() - name.size() - 2;
  std::size_t lastBlank = std::string::npos;
  for (const char c : value) {
    if (c == '\n') {
      lineStart = out.size() + 1;
      lastBlank = std::string::npos;
    } else if (c == ' ') {
      lastBlank = out.size();
    }
    out += c;
    if (out.size() - lineStart > 78 && lastBlank != std::string::npos && lastBlank > lineStart) {
      out.insert(lastBlank, "\n");
      lineStart = lastBlank + 1;
      lastBlank = std::string::npos;
    }
  }
  out += '\n';
}

std::string HeaderLine(std::string_view name, std::string_view value) {
  std::string out;
  AppendHeaderLine(out, name, value);
  return out;
}

void AppendAddress(std::string& out, std::string_view name, std::string_view address) {
  if (!out.empty()) out += ", ";
  const std::size_t start = out.size();
  if (IsCleanUtf8(name)) {
    out.append(name);
  } else {
    out += ValidUtf8(name);
  }
  // The name without line breaks and tabs, then quoted, or encoded when it is not ASCII.
  const auto breaks = [](char c) { return c == '\r' || c == '\n' || c == '\t'; };
  out.erase(std::remove_if(out.begin() + static_cast<std::ptrdiff_t>(start), out.end(), breaks), out.end());
  const bool named = out.size() > start;
  if (named) {
    const std::string_view plain(out.data() + start, out.size() - start);
    if (!IsPrintableAscii(plain)) {
      const std::string text(plain);
      out.resize(start);
      AppendEncodedWords(out, text);
    } else if (plain.find_first_of("\"\\") == std::string_view::npos) {
      out.insert(start, 1, '"');
      out += '"';
    } else {
      const std::string text(plain);
      out.resize(start);
      out += '"';
      for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
      }
      out += '"';
    }
  }
  const bool usable = address.find('@') != std::string_view::npos && IsPrintableAscii(address) &&
                      address.find_first_of("<>\", ") == std::string_view::npos;
  if (usable) {
    out.append(named ? " <" : "<").append(address).append(">");
  } else {
    out.append(named ? "" : "\"unknown\"").append(":;");
  }
}

std::string AddressList(const std::vector<MailAddress>& addresses) {
  std::string out;
  for (const MailAddress& a : addresses) AppendAddress(out, a.name, a.address);
  return out;
}

std::string MimeParameter(std::string_view name, std::string_view value) {
  const std::string v = ValidUtf8(value);
  if (IsPrintableAscii(v)) {
    std::string quoted;
    for (char c : v) {
      if (c == '"' || c == '\\') quoted += '\\';
      quoted += c;
    }
    return ";\n " + std::string(name) + "=\"" + quoted + "\"";
  }
  std::string encoded;
  for (char c : v) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || std::string_view("!#$&+-.^_`|~").find(c) != std::string_view::npos) {
      encoded += c;
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "%%%02X", u);
      encoded += hex;
    }
  }
  return ";\n " + std::string(name) + "*=UTF-8''" + encoded;
}

namespace {

#ifdef PALVARA_HAVE_VBMI_PATH
// GCC 12's byte-permute intrinsics start from an undefined register, which it then warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
// The first 48 bytes of a 57-byte line as 64 characters: each 32-bit lane takes the bytes of one
// group of three as [b1 b0 b2 b1], one multishift picks the four 6-bit fields out of it (at bits
// 10, 4, 22 and 16), and a permute maps them through the alphabet.
PALVARA_VBMI void EncodeFirst48(const unsigned char* in, char* out) {
  const __m512i spread = _mm512_setr_epi32(0x01020001, 0x04050304, 0x07080607, 0x0A0B090A, 0x0D0E0C0D,
                                           0x10110F10, 0x13141213, 0x16171516, 0x191A1819, 0x1C1D1B1C,
                                           0x1F201E1F, 0x22232122, 0x25262425, 0x28292728, 0x2B2C2A2B,
                                           0x2E2F2D2E);
  const __m512i shifts = _mm512_set1_epi64(0x3036242A1016040A);
  const __m512i alphabet = _mm512_loadu_si512(kBase64.data());
  const __m512i bytes = _mm512_maskz_loadu_epi8(0x0000FFFFFFFFFFFFull, in);
  const __m512i fields = _mm512_multishift_epi64_epi8(shifts, _mm512_permutexvar_epi8(spread, bytes));
  _mm512_storeu_si512(out, _mm512_permutexvar_epi8(fields, alphabet));
}
#pragma GCC diagnostic pop
#endif

}  // namespace

void AppendBase64Lines(std::string& out, ByteSpan bytes) {
  // Two characters at once: a table of every 12-bit value's pair.
  static const std::array<std::array<char, 2>, 4096> kPairs = [] {
    std::array<std::array<char, 2>, 4096> pairs{};
    for (std::size_t v = 0; v < pairs.size(); ++v) pairs[v] = {kBase64[v >> 6], kBase64[v & 0x3F]};
    return pairs;
  }();
  constexpr std::size_t kLineBytes = 57;  // 19 groups of three make one line of 76 characters
  constexpr std::size_t kChunkLines = 64;
  out.reserve(out.size() + (bytes.size() + 2) / 3 * 4 + (bytes.size() + kLineBytes - 1) / kLineBytes);
  // Whole lines are encoded into a small buffer and appended a chunk at a time: the output is
  // written once, not cleared first.
  char chunk[kChunkLines * 77];
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t lines = bytes.size() / kLineBytes;
  [[maybe_unused]] const bool vbmi = HasAvx512Vbmi();
  while (lines > 0) {
    const std::size_t count = std::min(lines, kChunkLines);
    char* o = chunk;
    for (std::size_t l = 0; l < count; ++l) {
      std::size_t g = 0;
#ifdef PALVARA_HAVE_VBMI_PATH
      if (vbmi) {
        EncodeFirst48(in, o);
        g = 16;
        in += 48;
        o += 64;
      }
#endif
      for (; g < 19; ++g, in += 3, o += 4) {
        const std::uint32_t v = std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
        std::memcpy(o, kPairs[v >> 12].data(), 2);
        std::memcpy(o + 2, kPairs[v & 0xFFF].data(), 2);
      }
      *o++ = '\n';
    }
    out.append(chunk, static_cast<std::size_t>(o - chunk));
    lines -= count;
  }
  // The last, shorter line.
  const std::size_t left = bytes.size() % kLineBytes;
  if (left == 0) return;
  char* o = chunk;
  for (std::size_t g = 0; g < left / 3; ++g, in += 3, o += 4) {
    const std::uint32_t v = std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
    std::memcpy(o, kPairs[v >> 12].data(), 2);
    std::memcpy(o + 2, kPairs[v & 0xFFF].data(), 2);
  }
  if (const std::size_t rest = left % 3; rest != 0) {
    std::uint32_t v = std::uint32_t{in[0]} << 16;
    if (rest == 2) v |= std::uint32_t{in[1]} << 8;
    *o++ = kBase64[v >> 18];
    *o++ = kBase64[(v >> 12) & 0x3F];
    *o++ = rest == 2 ? kBase64[(v >> 6) & 0x3F] : '=';
    *o++ = '=';
  }
  *o++ = '\n';
  out.append(chunk, static_cast<std::size_t>(o - chunk));
}

std::string Base64Lines(ByteSpan bytes) {
  std::string out;
  AppendBase64Lines(out, bytes);
  return out;
}

std::string QuotedPrintable(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  std::size_t column = 0;
  auto put = [&](std::string_view piece) {
    if (column + piece.size() > 75) {
      out += "=\n";
      column = 0;
    }
    out += piece;
    column += piece.size();
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto u = static_cast<unsigned char>(text[i]);
    if (u == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (u == '\n') {
      out += '\n';
      column = 0;
      continue;
    }
    const bool lineEnd = i + 1 == text.size() || text[i + 1] == '\n' || text[i + 1] == '\r';
    // A "From " or "." at the start of a line is encoded too, so no transport touches it.
    const bool lineStartHazard = column == 0 && (u == '.' || (u == 'F' && text.substr(i, 5) == "From "));
    if ((u >= 33 && u <= 126 && u != '=' && !lineStartHazard) || ((u == ' ' || u == '\t') && !lineEnd)) {
      put(std::string_view(&text[i], 1));
    } else {
      char hex[4];
      std::snprintf(hex, sizeof hex, "=%02X", u);
      put(hex);
    }
  }
  if (!out.empty() && out.back() != '\n') out += '\n';
  return out;
}

std::string RfcDate(std::uint64_t fileTime) {
  const CivilTime t = FileTimeToCivil(fileTime);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %d %s %d %02d:%02d:%02d +0000", DayName(fileTime), t.day,
                kMonths[(t.month + 11) % 12], t.year, t.hour, t.minute, t.second);
  return text;
}

std::string MboxDate(std::uint64_t fileTime) {
  const CivilTime t = FileTimeToCivil(fileTime);
  char text[64];
  std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", DayName(fileTime),
                kMonths[(t.month + 11) % 12], t.day, t.hour, t.minute, t.second, t.year);
  return text;
}

}  // namespace palvara
