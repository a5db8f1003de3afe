#include "common/text.h"

#include <cstdio>

namespace palvara {

void AppendUtf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::string Utf16LeToUtf8(ByteSpan bytes) {
  std::string out;
  out.reserve(bytes.size() / 2);
  const std::size_t units = bytes.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    const char16_t u = *LoadLe16(bytes, 2 * i);
    if (u == 0) break;
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char16_t low = *LoadLe16(bytes, 2 * i + 2);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{low} - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, u);  // lone surrogates come out as U+FFFD
  }
  return out;
}

std::string FileTimeToIso8601(std::uint64_t fileTime) {
  // Days from 1601-01-01 to 1970-01-01.
  constexpr std::int64_t kEpochDelta = 134774;
  const std::int64_t seconds = static_cast<std::int64_t>(fileTime / 10000000ull);
  std::int64_t days = seconds / 86400 - kEpochDelta;
  const std::int64_t rest = seconds % 86400;
  // Civil date from days since 1970-01-01 (Howard Hinnant's algorithm).
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
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(rest / 3600),
                static_cast<long long>(rest / 60 % 60), static_cast<long long>(rest % 60));
  return buffer;
}

}  // namespace palvara
