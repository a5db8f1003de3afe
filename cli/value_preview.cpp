#include "cli/value_preview.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"

namespace palvara::cli {
namespace {

constexpr std::size_t kMaxBinary = 64;
constexpr std::size_t kMaxText = 400;

std::string HexBytes(ByteSpan bytes) {
  std::string out;
  char two[4];
  for (std::size_t i = 0; i < bytes.size() && i < kMaxBinary; ++i) {
    std::snprintf(two, sizeof two, "%02X", std::to_integer<unsigned>(bytes[i]));
    out += two;
    if (i + 1 < bytes.size()) out += ' ';
  }
  if (bytes.size() > kMaxBinary) out += "...";
  return out;
}

std::string Shorten(std::string text) {
  if (text.size() > kMaxText) {
    std::size_t cut = kMaxText;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    text += "...";
  }
  return text;
}

}  // namespace

std::string Hex4(std::uint32_t value) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%04X", value);
  return buffer;
}

std::string ValuePreview(const PropertyEntry& entry, std::uint32_t codePage) {
  if (!entry.value) return "";
  const ByteSpan v(*entry.value);
  switch (entry.type) {
    case 0x0002: return std::to_string(static_cast<std::int16_t>(LoadLe16(v, 0).value_or(0)));
    case 0x0003: return std::to_string(static_cast<std::int32_t>(LoadLe32(v, 0).value_or(0)));
    case 0x000A: return Hex(LoadLe32(v, 0).value_or(0));
    case 0x000B: return LoadLe32(v, 0).value_or(0) != 0 ? "true" : "false";
    case 0x0014: return std::to_string(static_cast<std::int64_t>(LoadLe64(v, 0).value_or(0)));
    case 0x0040: return FileTimeToIso8601(LoadLe64(v, 0).value_or(0));
    case 0x0004: {
      float f = 0;
      if (v.size() >= 4) std::memcpy(&f, v.data(), 4);
      return std::to_string(f);
    }
    case 0x0005: {
      double d = 0;
      if (v.size() >= 8) std::memcpy(&d, v.data(), 8);
      return std::to_string(d);
    }
    case 0x001F: return Shorten(Utf16LeToUtf8(v));
    case 0x001E: return Shorten(CodePageToUtf8(v, codePage));
    default: return HexBytes(v);
  }
}

}  // namespace palvara::cli
