#include "items/compressed_rtf.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace palvara {
namespace {

constexpr std::string_view kInitialDictionary =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kInitialDictionary.size() == 207);

constexpr std::uint32_t kUncompressed = 0x414C454D;  // "MELA"
constexpr std::size_t kDictionarySize = 4096;

}  // namespace

int DecodeCompressedRtf(ByteSpan stream, Bytes& out) {
  out.clear();
  if (stream.size() < 16) return 1;
  const std::uint32_t compSize = *LoadLe32(stream, 0);
  const std::uint32_t rawSize = *LoadLe32(stream, 4);
  const std::uint32_t compType = *LoadLe32(stream, 8);
  // COMPSIZE counts the bytes after itself; never read past what is there.
  const std::size_t end = std::min<std::uint64_t>(stream.size(), std::uint64_t{compSize} + 4);
  if (compType == kUncompressed) {
    const std::size_t n = std::min<std::size_t>(rawSize, end > 16 ? end - 16 : 0);
    out.assign(stream.begin() + 16, stream.begin() + 16 + static_cast<std::ptrdiff_t>(n));
    return 0;
  }
  // Any other COMPTYPE (normally "LZFu") is decoded as compressed.

  std::array<std::byte, kDictionarySize> dictionary{};
  std::memcpy(dictionary.data(), kInitialDictionary.data(), kInitialDictionary.size());
  std::size_t write = kInitialDictionary.size();
  // A reference yields at most 17 bytes from 2: never trust RAWSIZE beyond that.
  out.reserve(std::min<std::size_t>(rawSize, stream.size() * 9));
  std::size_t at = 16;
  while (at < end) {
    const auto control = std::to_integer<std::uint8_t>(stream[at++]);
    for (int bit = 0; bit < 8 && at < end; ++bit) {
      if ((control & (1u << bit)) == 0) {
        out.push_back(stream[at]);
        dictionary[write] = stream[at++];
        write = (write + 1) % kDictionarySize;
        continue;
      }
      if (at + 2 > end) return 0;  // Tolerant: a reference cut by the end of the data.
      const std::uint16_t word = static_cast<std::uint16_t>(
          (std::to_integer<std::uint16_t>(stream[at]) << 8) | std::to_integer<std::uint8_t>(stream[at + 1]));
      at += 2;
      const std::size_t offset = word >> 4;
      const std::size_t length = (word & 0xF) + 2;
      if (offset == write) return 0;  // the end marker
      for (std::size_t k = 0; k < length; ++k) {
        const std::byte b = dictionary[(offset + k) % kDictionarySize];
        out.push_back(b);
        dictionary[write] = b;
        write = (write + 1) % kDictionarySize;
      }
    }
  }
  return 0;
}

namespace {

enum class Kind { kCharacter, kDestination, kProperty, kSpecial };
enum class Special { kNone, kBin, kSkipUnknown, kHex, kUnicodeSkip, kCodePage };

struct Keyword {
  std::string_view text;
  int defaultParameter;
  bool forceDefault;
  Kind kind;
  char character;     // kCharacter
  Special special;    // kSpecial
};

// The keyword table: characters, destinations whose groups are skipped, properties that emit
// nothing, and the special keywords.
constexpr Keyword kKeywords[] = {
    {"par", 0, false, Kind::kCharacter, '\n', Special::kNone},
    {"\n", 0, false, Kind::kCharacter, '\n', Special::kNone},
    {"\r", 0, false, Kind::kCharacter, '\n', Special::kNone},
    {"tab", 0, false, Kind::kCharacter, '\t', Special::kNone},
    {"ldblquote", 0, false, Kind::kCharacter, '"', Special::kNone},
    {"rdblquote", 0, false, Kind::kCharacter, '"', Special::kNone},
    {"{", 0, false, Kind::kCharacter, '{', Special::kNone},
    {"}", 0, false, Kind::kCharacter, '}', Special::kNone},
    {"\\", 0, false, Kind::kCharacter, '\\', Special::kNone},
    {"author", 0, false, Kind::kDestination, 0, Special::kNone},
    {"buptim", 0, false, Kind::kDestination, 0, Special::kNone},
    {"colortbl", 0, false, Kind::kDestination, 0, Special::kNone},
    {"comment", 0, false, Kind::kDestination, 0, Special::kNone},
    {"creatim", 0, false, Kind::kDestination, 0, Special::kNone},
    {"doccomm", 0, false, Kind::kDestination, 0, Special::kNone},
    {"fonttbl", 0, false, Kind::kDestination, 0, Special::kNone},
    {"footer", 0, false, Kind::kDestination, 0, Special::kNone},
    {"footerf", 0, false, Kind::kDestination, 0, Special::kNone},
    {"footerl", 0, false, Kind::kDestination, 0, Special::kNone},
    {"footerr", 0, false, Kind::kDestination, 0, Special::kNone},
    {"footnote", 0, false, Kind::kDestination, 0, Special::kNone},
    {"ftncn", 0, false, Kind::kDestination, 0, Special::kNone},
    {"ftnsep", 0, false, Kind::kDestination, 0, Special::kNone},
    {"ftnsepc", 0, false, Kind::kDestination, 0, Special::kNone},
    {"header", 0, false, Kind::kDestination, 0, Special::kNone},
    {"headerf", 0, false, Kind::kDestination, 0, Special::kNone},
    {"headerl", 0, false, Kind::kDestination, 0, Special::kNone},
    {"headerr", 0, false, Kind::kDestination, 0, Special::kNone},
    {"info", 0, false, Kind::kDestination, 0, Special::kNone},
    {"keywords", 0, false, Kind::kDestination, 0, Special::kNone},
    {"operator", 0, false, Kind::kDestination, 0, Special::kNone},
    {"pict", 0, false, Kind::kDestination, 0, Special::kNone},
    {"printim", 0, false, Kind::kDestination, 0, Special::kNone},
    {"private1", 0, false, Kind::kDestination, 0, Special::kNone},
    {"revtim", 0, false, Kind::kDestination, 0, Special::kNone},
    {"rxe", 0, false, Kind::kDestination, 0, Special::kNone},
    {"stylesheet", 0, false, Kind::kDestination, 0, Special::kNone},
    {"subject", 0, false, Kind::kDestination, 0, Special::kNone},
    {"tc", 0, false, Kind::kDestination, 0, Special::kNone},
    {"title", 0, false, Kind::kDestination, 0, Special::kNone},
    {"txe", 0, false, Kind::kDestination, 0, Special::kNone},
    {"xe", 0, false, Kind::kDestination, 0, Special::kNone},
    {"b", 1, false, Kind::kProperty, 0, Special::kNone},
    {"u", 1, false, Kind::kProperty, 0, Special::kNone},
    {"i", 1, false, Kind::kProperty, 0, Special::kNone},
    {"li", 0, false, Kind::kProperty, 0, Special::kNone},
    {"ri", 0, false, Kind::kProperty, 0, Special::kNone},
    {"fi", 0, false, Kind::kProperty, 0, Special::kNone},
    {"cols", 1, false, Kind::kProperty, 0, Special::kNone},
    {"sbknone", 0, true, Kind::kProperty, 0, Special::kNone},
    {"sbkcol", 1, true, Kind::kProperty, 0, Special::kNone},
    {"sbkeven", 2, true, Kind::kProperty, 0, Special::kNone},
    {"sbkodd", 3, true, Kind::kProperty, 0, Special::kNone},
    {"sbkpage", 4, true, Kind::kProperty, 0, Special::kNone},
    {"pgnx", 0, false, Kind::kProperty, 0, Special::kNone},
    {"pgny", 0, false, Kind::kProperty, 0, Special::kNone},
    {"pgndec", 0, true, Kind::kProperty, 0, Special::kNone},
    {"pgnucrm", 1, true, Kind::kProperty, 0, Special::kNone},
    {"pgnlcrm", 2, true, Kind::kProperty, 0, Special::kNone},
    {"pgnucltr", 3, true, Kind::kProperty, 0, Special::kNone},
    {"pgnlcltr", 4, true, Kind::kProperty, 0, Special::kNone},
    {"qc", 1, true, Kind::kProperty, 0, Special::kNone},
    {"ql", 0, true, Kind::kProperty, 0, Special::kNone},
    {"qr", 2, true, Kind::kProperty, 0, Special::kNone},
    {"qj", 3, true, Kind::kProperty, 0, Special::kNone},
    {"paperw", 12240, false, Kind::kProperty, 0, Special::kNone},
    {"paperh", 15480, false, Kind::kProperty, 0, Special::kNone},
    {"margl", 1800, false, Kind::kProperty, 0, Special::kNone},
    {"margr", 1800, false, Kind::kProperty, 0, Special::kNone},
    {"margt", 1440, false, Kind::kProperty, 0, Special::kNone},
    {"margb", 1440, false, Kind::kProperty, 0, Special::kNone},
    {"pgnstart", 1, true, Kind::kProperty, 0, Special::kNone},
    {"facingp", 1, true, Kind::kProperty, 0, Special::kNone},
    {"landscape", 1, true, Kind::kProperty, 0, Special::kNone},
    {"bin", 0, false, Kind::kSpecial, 0, Special::kBin},
    {"*", 0, false, Kind::kSpecial, 0, Special::kSkipUnknown},
    {"'", 0, false, Kind::kSpecial, 0, Special::kHex},
};
static_assert(std::size(kKeywords) == 77);

// Keywords beyond the table above: characters outside the document's code page, and the
// line break that mail clients write between header lines.
constexpr Keyword kMoreKeywords[] = {
    {"uc", 1, false, Kind::kSpecial, 0, Special::kUnicodeSkip},
    {"ansicpg", 1252, false, Kind::kSpecial, 0, Special::kCodePage},
    {"line", 0, false, Kind::kCharacter, '\n', Special::kNone},
};

constexpr int kMaxDepth = 10000;

struct GroupState {
  bool skip = false;          // inside a skipped destination
  int unicodeSkip = 1;        // \ucN: fallback characters after each \uN
};

class RtfReader {
 public:
  RtfReader(ByteSpan rtf, std::string& text) : in_(rtf), text_(text) {}

  int Run() {
    int status = kRtfOk;
    while (status == kRtfOk && at_ < in_.size()) {
      const char c = static_cast<char>(in_[at_++]);
      if (binaryLeft_ > 0) {
        --binaryLeft_;
        Emit(c);
        continue;
      }
      switch (c) {
        case '{':
          if (stack_.size() >= kMaxDepth) return Finish(kRtfStackOverflow);
          stack_.push_back(state_);
          break;
        case '}':
          if (stack_.empty()) return Finish(kRtfStackUnderflow);
          state_ = stack_.back();
          stack_.pop_back();
          break;
        case '\\':
          status = ReadKeyword();
          break;
        case '\r':
        case '\n':
          break;
        default:
          Emit(c);
      }
    }
    if (status != kRtfOk) return Finish(status);
    return Finish(stack_.empty() ? kRtfOk : kRtfUnmatchedBrace);
  }

 private:
  int Finish(int status) {
    Flush();
    return status;
  }

  // Text bytes wait in `pending_` until a run ends, so that multi-byte code pages convert
  // whole characters.
  void Emit(char c) {
    if (state_.skip || c == '\0') return;
    if (fallbackLeft_ > 0) {
      --fallbackLeft_;
      return;
    }
    pending_.push_back(static_cast<std::byte>(c));
  }

  void EmitCodePoint(char32_t c) {
    if (state_.skip) return;
    Flush();
    AppendUtf8(text_, c);
    fallbackLeft_ = state_.unicodeSkip;
  }

  void Flush() {
    if (pending_.empty()) return;
    text_ += CodePageToUtf8(pending_, codePage_);
    pending_.clear();
  }

  int ReadKeyword() {
    if (at_ >= in_.size()) return kRtfEndOfFileInKeyword;
    std::string name;
    char c = static_cast<char>(in_[at_++]);
    if (!std::isalpha(static_cast<unsigned char>(c))) {
      name.assign(1, c);  // a control symbol
      return Dispatch(name, false, 0);
    }
    while (std::isalpha(static_cast<unsigned char>(c)) && name.size() < 64) {
      name.push_back(c);
      if (at_ >= in_.size()) return Dispatch(name, false, 0);
      c = static_cast<char>(in_[at_++]);
    }
    bool negative = false;
    bool hasParameter = false;
    long parameter = 0;
    if (c == '-') {
      negative = true;
      if (at_ >= in_.size()) return kRtfEndOfFileInKeyword;
      c = static_cast<char>(in_[at_++]);
    }
    while (std::isdigit(static_cast<unsigned char>(c))) {
      hasParameter = true;
      if (parameter < 100000000) parameter = parameter * 10 + (c - '0');
      if (at_ >= in_.size()) {
        c = ' ';
        break;
      }
      c = static_cast<char>(in_[at_++]);
    }
    if (c != ' ') --at_;  // the delimiter belongs to the text, unless it is a blank
    return Dispatch(name, hasParameter, negative ? -parameter : parameter);
  }

  int Dispatch(const std::string& name, bool hasParameter, long parameter) {
    const bool afterStar = afterStar_;
    afterStar_ = false;
    // \uN is a character; \u alone is the underline property.
    if (name == "u" && hasParameter) {
      const auto unit = static_cast<std::uint16_t>(static_cast<std::int16_t>(parameter));
      EmitCodePoint(unit);
      return kRtfOk;
    }
    const Keyword* keyword = nullptr;
    for (const Keyword& k : kKeywords) {
      if (k.text == name) keyword = &k;
    }
    for (const Keyword& k : kMoreKeywords) {
      if (k.text == name) keyword = &k;
    }
    if (keyword == nullptr) {
      if (afterStar) state_.skip = true;
      return kRtfOk;
    }
    const long value = keyword->forceDefault || !hasParameter ? keyword->defaultParameter : parameter;
    switch (keyword->kind) {
      case Kind::kCharacter:
        Emit(keyword->character);
        return kRtfOk;
      case Kind::kDestination:
        state_.skip = true;
        return kRtfOk;
      case Kind::kProperty:
        return kRtfOk;
      case Kind::kSpecial:
        return RunSpecial(keyword->special, value);
    }
    return kRtfBadTable;
  }

  int RunSpecial(Special which, long value) {
    switch (which) {
      case Special::kBin:
        binaryLeft_ = value > 0 ? static_cast<std::size_t>(value) : 0;
        return kRtfOk;
      case Special::kSkipUnknown:
        afterStar_ = true;
        return kRtfOk;
      case Special::kHex: {
        int byte = 0;
        for (int i = 0; i < 2; ++i) {
          if (at_ >= in_.size()) return kRtfEndOfFileInKeyword;
          const char h = static_cast<char>(in_[at_++]);
          int digit;
          if (h >= '0' && h <= '9') {
            digit = h - '0';
          } else if (h >= 'a' && h <= 'f') {
            digit = h - 'a' + 10;
          } else if (h >= 'A' && h <= 'F') {
            digit = h - 'A' + 10;
          } else {
            return kRtfInvalidHex;
          }
          byte = byte * 16 + digit;
        }
        Emit(static_cast<char>(byte));
        return kRtfOk;
      }
      case Special::kUnicodeSkip:
        state_.unicodeSkip = value >= 0 && value < 16 ? static_cast<int>(value) : 1;
        return kRtfOk;
      case Special::kCodePage:
        Flush();
        codePage_ = value > 0 ? static_cast<std::uint32_t>(value) : 1252;
        return kRtfOk;
      case Special::kNone:
        break;
    }
    return kRtfInternal;
  }

  ByteSpan in_;
  std::string& text_;
  std::size_t at_ = 0;
  GroupState state_;
  std::vector<GroupState> stack_;
  Bytes pending_;
  std::uint32_t codePage_ = 1252;
  std::size_t binaryLeft_ = 0;
  int fallbackLeft_ = 0;
  bool afterStar_ = false;
};

}  // namespace

int RtfToText(ByteSpan rtf, std::string& text) {
  RtfReader reader(rtf, text);
  return reader.Run();
}

}  // namespace palvara
