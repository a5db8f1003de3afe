#include "common/html_charset.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "common/text.h"

namespace palvara {
namespace {

// The labels of each code page that do not spell it as a number ("windows-1251", "cp936" and
// "iso-8859-5" are read by NumberedCodePage below), blank-separated; 1200 and 1201 are UTF-16
// LE and BE.
constexpr struct {
  std::uint32_t codePage;
  std::string_view labels;
} kLabels[] = {
    {65001, "unicode-1-1-utf-8 utf-8 utf8"},
    {1200, "utf-16 utf-16le"},
    {1201, "utf-16be"},
    {65000, "utf-7"},
    {1252, "ascii cp819 l1 latin1 us-ascii x-cp1252"},
    {936, "chinese csgb2312 gb2312 gb_2312-80 gbk iso-ir-58 ms936 x-gbk"},
    {54936, "gb18030"},
    {52936, "hz-gb-2312"},
    {950, "big5 big5-hkscs cn-big5 csbig5 x-x-big5"},
    {932, "csshiftjis ms932 ms_kanji shift-jis shift_jis sjis windows-31j x-sjis"},
    {51932, "cseucpkdfmtjapanese euc-jp x-euc-jp"},
    {50220, "csiso2022jp iso-2022-jp"},
    {949,
     "csksc56011987 euc-kr iso-ir-149 korean ks_c_5601-1987 ks_c_5601-1989 ksc5601 ksc_5601 "
     "x-windows-949"},
    {50225, "csiso2022kr iso-2022-kr"},
    {20866, "cskoi8r koi8 koi8-r"},
    {21866, "koi8-ru koi8-u"},
    {866, "ibm866"},
    {874, "tis-620"},
    {10000, "mac macintosh x-mac-roman"},
};

// ISO 8859 parts by number; 1 and 9 are read as their Windows supersets, as browsers do.
constexpr std::uint32_t kIso8859[17] = {0,     1252,  28592, 28593, 28594, 28595,
                                        28596, 28597, 28598, 1254,  28600, 874,
                                        0,     28603, 0,     28605, 28606};

bool IsWindowsOrDosCodePage(std::uint32_t n) {
  return n == 437 || n == 850 || n == 852 || n == 855 || n == 857 || n == 862 || n == 864 ||
         n == 866 || n == 869 || n == 874 || n == 932 || n == 936 || n == 949 || n == 950 ||
         (n >= 1250 && n <= 1258);
}

std::optional<std::uint32_t> Number(std::string_view digits) {
  std::uint32_t n = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return n;
}

// "windows-1251", "cp936", "x-cp1250", "iso-8859-5", "iso_8859-2:1987", "iso8859-15".
std::optional<std::uint32_t> NumberedCodePage(std::string_view label) {
  for (std::string_view prefix : {"windows-", "x-cp", "cp"}) {
    if (!label.starts_with(prefix)) continue;
    const auto n = Number(label.substr(prefix.size()));
    if (n && IsWindowsOrDosCodePage(*n)) return n;
    return std::nullopt;
  }
  for (std::string_view prefix : {"iso-8859-", "iso_8859-", "iso8859-", "iso8859"}) {
    if (!label.starts_with(prefix)) continue;
    std::string_view part = label.substr(prefix.size());
    part = part.substr(0, part.find_first_of(":-"));  // "-i" and ":1987" change nothing here
    const auto n = Number(part);
    if (n && *n < std::size(kIso8859) && kIso8859[*n] != 0) return kIso8859[*n];
    return std::nullopt;
  }
  return std::nullopt;
}

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

bool StartsWithWord(std::string_view text, std::size_t at, std::string_view word) {
  return at + word.size() <= text.size() && EqualsIgnoringCase(text.substr(at, word.size()), word);
}

// One attribute of a tag: its name and where its value lies in the document.
struct Attribute {
  std::string_view name;
  std::size_t valueOffset = 0;
  std::size_t valueLength = 0;
};

// Reads the attributes of the tag whose name ends at `at`, up to its '>' (or the end); returns
// the position after the tag.
std::size_t ReadAttributes(std::string_view html, std::size_t at, std::vector<Attribute>& out) {
  const std::size_t n = html.size();
  while (at < n) {
    while (at < n && (IsBlank(html[at]) || html[at] == '/')) ++at;
    if (at >= n || html[at] == '>') return at + 1;
    const std::size_t nameStart = at;
    while (at < n && !IsBlank(html[at]) && html[at] != '=' && html[at] != '>' && html[at] != '/') {
      ++at;
    }
    Attribute attribute{html.substr(nameStart, at - nameStart)};
    while (at < n && IsBlank(html[at])) ++at;
    if (at < n && html[at] == '=') {
      ++at;
      while (at < n && IsBlank(html[at])) ++at;
      if (at < n && (html[at] == '"' || html[at] == '\'')) {
        const char quote = html[at++];
        const std::size_t close = std::min(html.find(quote, at), n);
        attribute.valueOffset = at;
        attribute.valueLength = close - at;
        at = close + 1;
      } else {
        attribute.valueOffset = at;
        while (at < n && !IsBlank(html[at]) && html[at] != '>') ++at;
        attribute.valueLength = at - attribute.valueOffset;
      }
    }
    if (out.size() < 64) out.push_back(attribute);
    if (at == nameStart) ++at;  // a lone '=' or quote: step over it
  }
  return n;
}

// The label after "charset=" in a Content-Type value that starts at `offset`.
std::optional<MetaCharset> CharsetInContent(std::string_view html, std::size_t offset,
                                            std::size_t length) {
  const std::string_view content = html.substr(offset, length);
  for (std::size_t at = 0; at + 7 <= content.size(); ++at) {
    if (!StartsWithWord(content, at, "charset")) continue;
    std::size_t p = at + 7;
    while (p < content.size() && IsBlank(content[p])) ++p;
    if (p >= content.size() || content[p] != '=') continue;
    ++p;
    while (p < content.size() && IsBlank(content[p])) ++p;
    std::size_t end;
    if (p < content.size() && (content[p] == '"' || content[p] == '\'')) {
      const char quote = content[p++];
      end = std::min(content.find(quote, p), content.size());
    } else {
      end = p;
      while (end < content.size() && content[end] != ';' && !IsBlank(content[end])) ++end;
    }
    if (end > p) return MetaCharset{offset + p, end - p};
  }
  return std::nullopt;
}

void AddMetaCharset(std::string_view html, const std::vector<Attribute>& attributes,
                    std::vector<MetaCharset>& out) {
  const Attribute* content = nullptr;
  bool contentType = false;
  for (const Attribute& a : attributes) {
    if (EqualsIgnoringCase(a.name, "charset") && a.valueLength > 0) {
      out.push_back({a.valueOffset, a.valueLength});
      return;
    }
    if (EqualsIgnoringCase(a.name, "content")) content = &a;
    if (EqualsIgnoringCase(a.name, "http-equiv")) {
      std::string_view value = html.substr(a.valueOffset, a.valueLength);
      while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
      contentType = EqualsIgnoringCase(value, "content-type");
    }
  }
  if (!contentType || content == nullptr) return;
  if (auto found = CharsetInContent(html, content->valueOffset, content->valueLength)) {
    out.push_back(*found);
  }
}

// Text in `codePage` as UTF-8, up to its first NUL character.
std::string Decode(ByteSpan bytes, std::uint32_t codePage) {
  switch (codePage) {
    case kCodePageUtf16Le:
      return Utf16LeToUtf8(bytes);
    case kCodePageUtf16Be: {
      Bytes swapped(bytes.begin(), bytes.end());
      for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
      return Utf16LeToUtf8(swapped);
    }
    // Tolerant: text labelled ASCII or Latin-1 is read as Windows-1252, the superset its
    // writers meant (browsers do the same); a byte from 0x80 up is then a character, not an error.
    case 20127:
    case 28591:
      return CodePageToUtf8(bytes, 1252);
    case kCodePageUtf8: {
      const auto nul = std::find(bytes.begin(), bytes.end(), std::byte{0});
      const std::string_view text(reinterpret_cast<const char*>(bytes.data()),
                                  static_cast<std::size_t>(nul - bytes.begin()));
      if (IsCleanUtf8(text)) return std::string(text);
      return CodePageToUtf8(bytes, kCodePageUtf8);
    }
    default:
      return CodePageToUtf8(bytes, codePage);
  }
}

}  // namespace

std::optional<std::uint32_t> CodePageOfCharsetLabel(std::string_view label) {
  auto trimmed = [](char c) { return IsBlank(c) || c == '"' || c == '\''; };
  while (!label.empty() && trimmed(label.front())) label.remove_prefix(1);
  while (!label.empty() && trimmed(label.back())) label.remove_suffix(1);
  if (label.empty() || label.size() > 40) return std::nullopt;
  std::string lower(label);
  std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
  for (const auto& [codePage, labels] : kLabels) {
    for (std::size_t at = 0; at < labels.size();) {
      const std::size_t end = std::min(labels.find(' ', at), labels.size());
      if (labels.substr(at, end - at) == lower) return codePage;
      at = end + 1;
    }
  }
  return NumberedCodePage(lower);
}

std::vector<MetaCharset> FindMetaCharsets(std::string_view html) {
  html = html.substr(0, std::min(html.size(), kMetaScanLimit));
  std::vector<MetaCharset> found;
  std::vector<Attribute> attributes;
  std::size_t at = 0;
  while (found.size() < kMaxMetaCharsets) {
    at = html.find('<', at);
    if (at == std::string_view::npos) break;
    ++at;
    if (html.substr(at).starts_with("!--")) {
      const std::size_t close = html.find("-->", at + 3);
      if (close == std::string_view::npos) break;
      at = close + 3;
      continue;
    }
    const bool meta = StartsWithWord(html, at, "meta");
    const std::size_t after = at + 4;
    const bool ends =
        after >= html.size() || IsBlank(html[after]) || html[after] == '/' || html[after] == '>';
    if (StartsWithWord(html, at, "body") && ends) break;
    if (!meta || !ends) continue;
    attributes.clear();
    at = ReadAttributes(html, after, attributes);
    AddMetaCharset(html, attributes, found);
  }
  return found;
}

std::optional<std::uint32_t> DeclaredCodePage(std::string_view html) {
  for (const MetaCharset& m : FindMetaCharsets(html)) {
    const auto codePage = CodePageOfCharsetLabel(html.substr(m.offset, m.length));
    if (!codePage) continue;
    // A document read as ASCII to find its label is not in UTF-16, whatever the label says.
    if (*codePage == kCodePageUtf16Le || *codePage == kCodePageUtf16Be) return kCodePageUtf8;
    return codePage;
  }
  return std::nullopt;
}

std::string HtmlBodyToUtf8(ByteSpan html, std::uint32_t internetCodePage, bool storedAsUnicode) {
  std::uint32_t codePage = storedAsUnicode ? kCodePageUtf16Le : internetCodePage;
  if (codePage == 0) {
    const auto nul = std::find(html.begin(), html.end(), std::byte{0});
    const std::string_view text(reinterpret_cast<const char*>(html.data()),
                                static_cast<std::size_t>(nul - html.begin()));
    codePage = DeclaredCodePage(text).value_or(IsCleanUtf8(text) ? kCodePageUtf8 : 1252);
  }
  std::string out = Decode(html, codePage);
  RelabelMetaCharsets(out);
  return out;
}

void RelabelMetaCharsets(std::string& html) {
  const std::vector<MetaCharset> labels = FindMetaCharsets(html);
  for (auto it = labels.rbegin(); it != labels.rend(); ++it)
    html.replace(it->offset, it->length, "utf-8");
}

}  // namespace palvara
