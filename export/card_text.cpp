#include "export/card_text.h"

#include <cstdio>

#include "common/text.h"
#include "export/mime_text.h"

namespace palvara {

std::string EscapeCardText(std::string_view text) {
  std::string out;
  const std::string valid = ValidUtf8(text);
  for (std::size_t i = 0; i < valid.size(); ++i) {
    const char c = valid[i];
    if (c == '\\' || c == ',' || c == ';') {
      out += '\\';
      out += c;
    } else if (c == '\r') {
      if (i + 1 < valid.size() && valid[i + 1] == '\n') ++i;
      out += "\\n";
    } else if (c == '\n') {
      out += "\\n";
    } else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
      out += ' ';
    } else {
      out += c;
    }
  }
  return out;
}

std::string CardLine(std::string_view nameAndParameters, std::string_view value) {
  const std::string line = std::string(nameAndParameters) + ":" + std::string(value);
  std::string out;
  std::size_t column = 0;
  for (std::size_t i = 0; i < line.size();) {
    const auto u = static_cast<unsigned char>(line[i]);
    const std::size_t n = u < 0x80 ? 1 : u >= 0xF0 ? 4 : u >= 0xE0 ? 3 : u >= 0xC0 ? 2 : 1;
    if (column + n > 75) {
      out += "\r\n ";
      column = 1;
    }
    out.append(line, i, n);
    column += n;
    i += n;
  }
  return out + "\r\n";
}

std::string CardUtcStamp(std::uint64_t fileTime) {
  const CivilTime t = FileTimeToCivil(fileTime);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02dZ", t.year, t.month, t.day, t.hour,
                t.minute, t.second);
  return text;
}

std::string CardDate(std::uint64_t fileTime) {
  const CivilTime t = FileTimeToCivil(fileTime);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
  return text;
}

std::string CardNearestDate(std::uint64_t fileTime) {
  return CardDate(fileTime + 12ull * 3600 * 10000000);
}

std::string CardParameter(std::string_view value) {
  std::string v = ValidUtf8(value);
  std::erase_if(v, [](char c) { return c == '"' || static_cast<unsigned char>(c) < 0x20; });
  return v.find_first_of(":;,") == std::string::npos ? v : "\"" + v + "\"";
}

}  // namespace palvara
