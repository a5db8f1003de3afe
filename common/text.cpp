#include "common/text.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace palvara {
namespace {

// Writes the UTF-8 form of a code point at out (room for four bytes) and returns the end.
char* PutUtf8(char* out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

// A string written through a pointer: sized for one byte per input unit (all ASCII), grown
// when a longer character needs the room, cut to what was written at the end.
class Utf8Builder {
 public:
  explicit Utf8Builder(std::size_t units) { out_.resize(units + kSlack); }

  // Room for the next step (at most kSlack bytes); the pointer stays valid until the next call.
  char* Room() {
    if (out_.size() - used_ < kSlack) out_.resize(out_.size() * 2);
    return out_.data() + used_;
  }
  void Advance(char* end) { used_ = static_cast<std::size_t>(end - out_.data()); }
  std::string Take() {
    out_.resize(used_);
    return std::move(out_);
  }

  static constexpr std::size_t kSlack = 16;

 private:
  std::string out_;
  std::size_t used_ = 0;
};

}  // namespace

void AppendUtf8(std::string& out, char32_t c) {
  char buffer[4];
  out.append(buffer, PutUtf8(buffer, c));
}

Bytes Utf8ToUtf16Le(std::string_view utf8) {
  Bytes out;
  auto unit = [&out](std::uint32_t u) {
    out.push_back(static_cast<std::byte>(u & 0xFF));
    out.push_back(static_cast<std::byte>(u >> 8));
  };
  for (std::size_t i = 0; i < utf8.size();) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    std::uint32_t cp = 0xFFFD;
    std::size_t len = 1;
    auto cont = [&utf8](std::size_t k) { return static_cast<unsigned char>(utf8[k]) & 0x3F; };
    if (c < 0x80) {
      cp = c;
    } else if ((c & 0xE0) == 0xC0 && i + 1 < utf8.size()) {
      cp = ((c & 0x1F) << 6) | cont(i + 1);
      len = 2;
    } else if ((c & 0xF0) == 0xE0 && i + 2 < utf8.size()) {
      cp = ((c & 0x0F) << 12) | (cont(i + 1) << 6) | cont(i + 2);
      len = 3;
    } else if ((c & 0xF8) == 0xF0 && i + 3 < utf8.size()) {
      cp = ((c & 0x07) << 18) | (cont(i + 1) << 12) | (cont(i + 2) << 6) | cont(i + 3);
      len = 4;
    }
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
    i += len;
  }
  return out;
}

std::string Utf16LeToUtf8(ByteSpan bytes) {
  const std::size_t units = bytes.size() / 2;
  const std::byte* in = bytes.data();
  Utf8Builder out(units);
  std::size_t i = 0;
  while (i < units) {
    char* o = out.Room();
#ifdef __SSE2__
    // Eight ASCII units, none of them 0, become eight bytes at once.
    if (units - i >= 8) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * i));
      const __m128i zero = _mm_setzero_si128();
      const __m128i nonAscii = _mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xFF80)));
      const int ascii = _mm_movemask_epi8(_mm_cmpeq_epi16(nonAscii, zero));
      const int ends = _mm_movemask_epi8(_mm_cmpeq_epi16(v, zero));
      if (ascii == 0xFFFF && ends == 0) {
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(v, v));
        out.Advance(o + 8);
        i += 8;
        continue;
      }
    }
#endif
    const char16_t u = *LoadLe16(bytes, 2 * i);
    if (u == 0) break;
    ++i;
    if (u < 0x80) {
      *o = static_cast<char>(u);
      out.Advance(o + 1);
      continue;
    }
    if (u >= 0xD800 && u <= 0xDBFF && i < units) {
      const char16_t low = *LoadLe16(bytes, 2 * i);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        out.Advance(PutUtf8(o, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{low} - 0xDC00)));
        ++i;
        continue;
      }
    }
    out.Advance(PutUtf8(o, u));  // lone surrogates come out as U+FFFD
  }
  return out.Take();
}

namespace {

constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string Cp1252ToUtf8(ByteSpan bytes) {
  Utf8Builder out(bytes.size());
  for (std::byte b : bytes) {
    const auto c = std::to_integer<std::uint8_t>(b);
    out.Advance(PutUtf8(out.Room(), c >= 0x80 && c < 0xA0 ? kCp1252High[c - 0x80] : c));
  }
  return out.Take();
}

// iconv's names for the code pages it does not know as "CP" and the number.
constexpr struct {
  std::uint32_t codePage;
  const char* name;
} kIconvNames[] = {
    {65001, "UTF-8"},       {20127, "US-ASCII"},    {28591, "ISO-8859-1"},  {28592, "ISO-8859-2"},
    {28593, "ISO-8859-3"},  {28594, "ISO-8859-4"},  {28595, "ISO-8859-5"},  {28596, "ISO-8859-6"},
    {28597, "ISO-8859-7"},  {28598, "ISO-8859-8"},  {38598, "ISO-8859-8"},  {28599, "ISO-8859-9"},
    {28600, "ISO-8859-10"}, {28603, "ISO-8859-13"}, {28605, "ISO-8859-15"}, {28606, "ISO-8859-16"},
    {10000, "MACINTOSH"},   {20866, "KOI8-R"},      {21866, "KOI8-U"},      {50220, "ISO-2022-JP"},
    {50221, "ISO-2022-JP"}, {50222, "ISO-2022-JP"}, {50225, "ISO-2022-KR"}, {51932, "EUC-JP"},
    {51936, "GB2312"},      {51949, "EUC-KR"},      {52936, "HZ-GB-2312"},  {54936, "GB18030"},
    {65000, "UTF-7"},
};

std::string IconvName(std::uint32_t codePage) {
  for (const auto& [page, name] : kIconvNames) {
    if (page == codePage) return name;
  }
  return "CP" + std::to_string(codePage);
}

// One converter per code page and thread; nullptr when iconv does not know the code page.
iconv_t Converter(std::uint32_t codePage) {
  struct Cache {
    std::map<std::uint32_t, iconv_t> converters;
    ~Cache() {
      for (auto& [page, cd] : converters) {
        if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
      }
    }
  };
  thread_local Cache cache;
  auto it = cache.converters.find(codePage);
  if (it == cache.converters.end()) {
    it = cache.converters.emplace(codePage, iconv_open("UTF-8", IconvName(codePage).c_str())).first;
  }
  return it->second == reinterpret_cast<iconv_t>(-1) ? nullptr : it->second;
}

}  // namespace

std::string CodePageToUtf8(ByteSpan bytes, std::uint32_t codePage) {
  const auto nul = std::find(bytes.begin(), bytes.end(), std::byte{0});
  bytes = bytes.first(static_cast<std::size_t>(nul - bytes.begin()));
  iconv_t cd = codePage == 1252 ? nullptr : Converter(codePage);
  if (cd == nullptr) return Cp1252ToUtf8(bytes);
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  std::string out(bytes.size() * 4 + 16, '\0');
  char* in = reinterpret_cast<char*>(const_cast<std::byte*>(bytes.data()));
  std::size_t inLeft = bytes.size();
  std::size_t done = 0;
  while (inLeft > 0) {
    char* dst = out.data() + done;
    std::size_t outLeft = out.size() - done;
    const std::size_t r = iconv(cd, &in, &inLeft, &dst, &outLeft);
    done = static_cast<std::size_t>(dst - out.data());
    if (r != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) {
      out.resize(out.size() * 2);
    } else {
      // An invalid or incomplete sequence: one replacement character, then go on.
      out.resize(done);
      AppendUtf8(out, 0xFFFD);
      done = out.size();
      out.resize(done + inLeft * 4 + 16);
      ++in;
      --inLeft;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  out.resize(done);
  return out;
}

bool IsCleanUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  constexpr std::uint64_t kHigh = 0x8080808080808080ull, kOnes = 0x0101010101010101ull;
  while (p < end) {
#ifdef __SSE2__
    // Sixteen ASCII bytes at once, none of them NUL; else on from the first byte that is not.
    if (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const auto other = static_cast<unsigned>(
          _mm_movemask_epi8(v) | _mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())));
      if (other == 0) {
        p += 16;
        continue;
      }
      p += std::countr_zero(other);
    }
#endif
    if (end - p >= 8) {
      // Eight ASCII bytes at once, none of them NUL.
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if ((w & kHigh) == 0 && ((w - kOnes) & ~w & kHigh) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c == 0) return false;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::ptrdiff_t more = 0;
    std::uint32_t cp = 0, least = 0;
    if ((c & 0xE0) == 0xC0) {
      more = 1, cp = c & 0x1Fu, least = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      more = 2, cp = c & 0x0Fu, least = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      more = 3, cp = c & 0x07u, least = 0x10000;
    } else {
      return false;
    }
    if (end - p <= more) return false;
    for (std::ptrdiff_t k = 1; k <= more; ++k) {
      if ((p[k] & 0xC0) != 0x80) return false;
      cp = cp << 6 | (p[k] & 0x3Fu);
    }
    if (cp < least || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    p += more + 1;
  }
  return true;
}

std::optional<std::uint32_t> AnsiCodePageOfLocale(std::uint32_t lcid) {
  lcid &= 0xFFFF;  // the sort id above it does not change the code page
  const std::uint32_t language = lcid & 0x3FF;  // primary language
  const std::uint32_t sub = (lcid >> 10) & 0x3F;
  if (language == 0) return std::nullopt;
  switch (language) {
    case 0x11: return 932;                                  // Japanese
    case 0x04: return lcid == 0x0804 || lcid == 0x1004 || lcid == 0x0004 ? 936u : 950u;
    case 0x12: return 949;                                  // Korean
    case 0x1E: return 874;                                  // Thai
    case 0x2A: return 1258;                                 // Vietnamese
    case 0x08: return 1253;                                 // Greek
    case 0x0D: return 1255;                                 // Hebrew
    case 0x01: case 0x20: case 0x29: case 0x8C: case 0x92:  // Arabic, Urdu, Persian, Dari, Kurdish
      return 1256;
    case 0x25: case 0x26: case 0x27: return 1257;           // Estonian, Latvian, Lithuanian
    case 0x1F: return 1254;                                 // Turkish
    case 0x05: case 0x0E: case 0x15: case 0x18: case 0x1B: case 0x1C: case 0x24:
      return 1250;  // Czech, Hungarian, Polish, Romanian, Slovak, Albanian, Slovenian
    case 0x02: case 0x19: case 0x22: case 0x23: case 0x2F: case 0x3F: case 0x40: case 0x44:
    case 0x50: case 0x6D: case 0x85:
      return 1251;  // Bulgarian, Russian, Ukrainian, Belarusian, Macedonian, Kazakh, Kyrgyz,
                    // Tatar, Mongolian, Bashkir, Yakut
    case 0x1A:  // Croatian, Serbian, Bosnian: the Cyrillic sublanguages are 3, 7, 8, 10, 12
      return sub == 3 || sub == 7 || sub == 8 || sub == 10 || sub == 12 ? 1251u : 1250u;
    case 0x2C: case 0x43:  // Azeri, Uzbek: Latin (1) or Cyrillic (2)
      return sub == 2 ? 1251u : 1254u;
    // Languages that Windows writes in Unicode only.
    case 0x2B: case 0x37: case 0x39: case 0x45: case 0x46: case 0x47: case 0x48: case 0x49:
    case 0x4A: case 0x4B: case 0x4C: case 0x4D: case 0x4E: case 0x4F: case 0x57: case 0x5A:
    case 0x5B: case 0x61: case 0x63: case 0x65:
      return std::nullopt;
    default: return 1252;
  }
}

std::optional<std::uint32_t> WindowsCodePageOfCharset(std::uint32_t codePage) {
  switch (codePage) {
    case 874: case 932: case 936: case 949: case 950: case 1250: case 1251: case 1252:
    case 1253: case 1254: case 1255: case 1256: case 1257: case 1258:
      return codePage;
    case 50220: case 50221: case 50222: case 51932: case 20932: case 10001: return 932;
    case 51936: case 52936: case 54936: case 20936: case 10008: return 936;
    case 51949: case 50225: case 20949: case 10003: return 949;
    case 51950: case 20000: case 10002: return 950;
    case 20127: case 28591: case 28605: case 10000: case 20105: case 20106: case 20107:
    case 20108: case 437: case 850: case 858: return 1252;
    case 28592: case 852: case 10029: return 1250;
    case 28595: case 20866: case 21866: case 866: case 855: case 10007: return 1251;
    case 28597: case 737: case 869: case 10006: return 1253;
    case 28599: case 857: case 10081: return 1254;
    case 28598: case 38598: case 862: case 10005: return 1255;
    case 28596: case 864: case 10004: return 1256;
    case 28594: case 28603: case 775: return 1257;
    case 28601: case 10021: return 874;
    default: return std::nullopt;
  }
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) !=
        std::tolower(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && StartsWithIgnoringCase(a, b);
}

namespace {
constexpr std::int64_t kFileTimeEpochDays = 134774;  // days from 1601-01-01 to 1970-01-01
constexpr std::uint64_t kTicksPerSecond = 10000000ull;
}  // namespace

// Civil dates from and to days since 1970-01-01 (Howard Hinnant's algorithms).
CivilTime FileTimeToCivil(std::uint64_t fileTime) {
  const std::int64_t seconds = static_cast<std::int64_t>(fileTime / kTicksPerSecond);
  std::int64_t days = seconds / 86400 - kFileTimeEpochDays;
  const std::int64_t rest = seconds % 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t doe = days - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  std::int64_t year = yoe + era * 400;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
  if (month <= 2) ++year;
  return {static_cast<int>(year), static_cast<int>(month), static_cast<int>(day),
          static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60)};
}

std::optional<std::uint64_t> CivilToFileTime(const CivilTime& t) {
  if (t.year < 1601 || t.year > 30000 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 ||
      t.hour < 0 || t.hour > 23 || t.minute < 0 || t.minute > 59 || t.second < 0 || t.second > 60) {
    return std::nullopt;
  }
  const std::int64_t y = t.year - (t.month <= 2 ? 1 : 0);
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * (t.month + (t.month > 2 ? -3 : 9)) + 2) / 5 + t.day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = era * 146097 + doe - 719468 + kFileTimeEpochDays;
  const std::int64_t seconds = days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
  return static_cast<std::uint64_t>(seconds) * kTicksPerSecond;
}

std::string FileTimeToIso8601(std::uint64_t fileTime) {
  const CivilTime t = FileTimeToCivil(fileTime);
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", t.year, t.month, t.day,
                t.hour, t.minute, t.second);
  return buffer;
}

}  // namespace palvara
