#include "items/rtf_html.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <string_view>
#include <vector>

#include "common/text.h"

namespace palvara {
namespace {

// One token of an RTF document.
struct Token {
  enum Kind { kEnd, kTruncated, kOpen, kClose, kWord, kSymbol, kHex, kText } kind = kEnd;
  std::string_view word;  // a control word's name
  bool hasNumber = false;
  std::int32_t number = 0;  // its parameter
  char symbol = 0;          // a control symbol's character, or a text byte
  std::uint8_t byte = 0;    // the byte of \'hh
};

class Tokenizer {
 public:
  explicit Tokenizer(ByteSpan rtf) : in_(rtf) {}

  Token Next() {
    Token t;
    if (at_ >= in_.size()) return t;
    const char c = Char(at_++);
    switch (c) {
      case '{':
        t.kind = Token::kOpen;
        break;
      case '}':
        t.kind = Token::kClose;
        break;
      case '\\':
        ReadControl(t);
        break;
      default:
        t.kind = Token::kText;
        t.symbol = c;
    }
    return t;
  }

  // Steps over `count` bytes of \binN data (as many as there are).
  void SkipBytes(std::size_t count) { at_ += std::min(count, in_.size() - at_); }

 private:
  char Char(std::size_t i) const { return static_cast<char>(in_[i]); }
  static bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
  static bool IsDigit(char c) { return c >= '0' && c <= '9'; }
  static int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  void ReadControl(Token& t) {
    if (at_ >= in_.size()) {
      t.kind = Token::kTruncated;
      return;
    }
    const char c = Char(at_);
    if (!IsLetter(c)) {
      ++at_;
      if (c != '\'') {
        t.kind = Token::kSymbol;
        t.symbol = c;
        return;
      }
      if (at_ + 2 > in_.size()) {
        t.kind = Token::kTruncated;
        at_ = in_.size();
        return;
      }
      const int high = HexValue(Char(at_)), low = HexValue(Char(at_ + 1));
      // Tolerant: a \' without two hex digits is dropped and the digits read as text.
      if (high < 0 || low < 0) {
        t.kind = Token::kSymbol;
        t.symbol = 0;
        return;
      }
      at_ += 2;
      t.kind = Token::kHex;
      t.byte = static_cast<std::uint8_t>(high * 16 + low);
      return;
    }
    const std::size_t start = at_;
    while (at_ < in_.size() && IsLetter(Char(at_)) && at_ - start < 32) ++at_;
    t.kind = Token::kWord;
    t.word = std::string_view(reinterpret_cast<const char*>(in_.data()) + start, at_ - start);
    bool negative = false;
    if (at_ < in_.size() && Char(at_) == '-' && at_ + 1 < in_.size() && IsDigit(Char(at_ + 1))) {
      negative = true;
      ++at_;
    }
    std::int64_t value = 0;
    int digits = 0;
    while (at_ < in_.size() && IsDigit(Char(at_))) {
      if (digits++ < 10) value = value * 10 + (Char(at_) - '0');
      ++at_;
    }
    // A word the input ends in may have lost letters or digits: it cannot be read.
    if (at_ >= in_.size()) {
      t.kind = Token::kTruncated;
      return;
    }
    if (digits > 0) {
      t.hasNumber = true;
      value = std::min<std::int64_t>(value, INT32_MAX);
      t.number = static_cast<std::int32_t>(negative ? -value : value);
    }
    if (at_ < in_.size() && Char(at_) == ' ') ++at_;  // the delimiting blank belongs to the word
  }

  ByteSpan in_;
  std::size_t at_ = 0;
};

// Font character sets (\fcharsetN) and their code pages; the others (default, symbol, OEM)
// leave the text in the document's code page.
constexpr struct {
  std::int32_t charset;
  std::uint32_t codePage;
} kFontCharsets[] = {
    {0, 1252},   {77, 10000}, {128, 932},  {129, 949},  {130, 1361}, {134, 936},
    {136, 950},  {161, 1253}, {162, 1254}, {163, 1258}, {177, 1255}, {178, 1256},
    {186, 1257}, {204, 1251}, {222, 874},  {238, 1250}, {254, 437},
};

// The code page of a font's character set; 0 for "the document's".
std::uint32_t CodePageOfFontCharset(std::int32_t charset) {
  for (const auto& [set, codePage] : kFontCharsets) {
    if (set == charset) return codePage;
  }
  return 0;
}

// Destinations whose text is not part of the body (the header's tables, document information,
// pictures, objects, field instructions, headers and footers, ...).
bool IsSkippedDestination(std::string_view word) {
  static constexpr std::string_view kWords[] = {
      "author",    "buptim",     "colortbl", "comment",      "creatim",
      "datastore", "doccomm",    "fldinst",  "footer",       "footerf",
      "footerl",   "footerr",    "footnote", "ftncn",        "ftnsep",
      "ftnsepc",   "generator",  "header",   "headerf",      "headerl",
      "headerr",   "info",       "keywords", "latentstyles", "listoverridetable",
      "listtable", "nonshppict", "object",   "operator",     "pict",
      "printim",   "private",    "revtbl",   "revtim",       "rsidtbl",
      "rxe",       "stylesheet", "subject",  "tc",           "themedata",
      "title",     "txe",        "xe",       "xmlnstbl",     "colorschememapping",
      "filetbl"};
  for (std::string_view w : kWords) {
    if (w == word) return true;
  }
  return false;
}

struct Keyword {
  std::string_view word;
  char32_t character;
};

// Control words that stand for one character.
constexpr Keyword kCharacterWords[] = {
    {"tab", U'\t'},           {"lquote", U'\u2018'},    {"rquote", U'\u2019'},
    {"ldblquote", U'\u201C'}, {"rdblquote", U'\u201D'}, {"bullet", U'\u2022'},
    {"endash", U'\u2013'},    {"emdash", U'\u2014'},    {"enspace", U'\u2002'},
    {"emspace", U'\u2003'},   {"qmspace", U'\u2005'},   {"zwj", U'\u200D'},
    {"zwnj", U'\u200C'},      {"ltrmark", U'\u200E'},   {"rtlmark", U'\u200F'},
};

constexpr std::size_t kMaxFonts = 4096;
constexpr int kMaxFallback = 16;

// Code pages are 16-bit numbers; a larger one is damage (and would only cost a failed lookup).
bool IsCodePage(const Token& t) { return t.hasNumber && t.number > 0 && t.number <= 0xFFFF; }

class Unwrapper {
 public:
  Unwrapper(ByteSpan rtf, UnwrappedBody& out) : tokens_(rtf), out_(out) {}

  void Run() {
    out_.complete = false;
    for (;;) {
      const Token t = tokens_.Next();
      if (t.kind != Token::kWord && !(t.kind == Token::kSymbol && t.symbol == '*')) {
        destinationNext_ = false;  // \* names the control word right after it, or nothing
      }
      switch (t.kind) {
        case Token::kEnd:
        case Token::kTruncated:
          return Flush();
        case Token::kOpen:
          if (stack_.size() >= static_cast<std::size_t>(kMaxRtfGroupDepth)) return Flush();
          fallbackLeft_ = 0;
          stack_.push_back(state_);
          break;
        case Token::kClose:
          fallbackLeft_ = 0;
          if (stack_.empty()) {  // the outer group has ended: what follows is not the document
            out_.complete = true;
            return Flush();
          }
          state_ = stack_.back();
          stack_.pop_back();
          if (stack_.empty()) {
            out_.complete = true;
            return Flush();
          }
          break;
        case Token::kWord:
          Word(t);
          break;
        case Token::kSymbol:
          Symbol(t.symbol);
          break;
        case Token::kHex:
          Byte(t.byte);
          break;
        case Token::kText:
          if (t.symbol != '\r' && t.symbol != '\n') Byte(static_cast<std::uint8_t>(t.symbol));
          break;
      }
    }
  }

 private:
  enum class Destination { kBody, kHtmlTag, kFontTable, kSkipped };

  struct State {
    Destination destination = Destination::kBody;
    bool htmlRtf = false;
    int fallback = 1;            // \ucN
    std::uint32_t codePage = 0;  // the current font's, 0 for the document's
  };

  bool Writes() const {
    return !state_.htmlRtf && (state_.destination == Destination::kBody ||
                               state_.destination == Destination::kHtmlTag);
  }

  std::uint32_t CodePage() const {
    const bool document = state_.destination == Destination::kHtmlTag || state_.codePage == 0;
    return document ? documentCodePage_ : state_.codePage;
  }

  // Bytes wait until the code page changes or a character is written another way, so that a
  // character of several bytes is converted whole.
  void Byte(std::uint8_t b) {
    if (fallbackLeft_ > 0) {
      --fallbackLeft_;
      return;
    }
    if (!Writes() || b == 0) return;
    EndSurrogate();
    if (!pending_.empty() && pendingCodePage_ != CodePage()) Flush();
    pendingCodePage_ = CodePage();
    pending_.push_back(static_cast<std::byte>(b));
  }

  void Flush() {
    if (pending_.empty()) return;
    out_.text += CodePageToUtf8(pending_, pendingCodePage_);
    pending_.clear();
  }

  void Character(char32_t c) {
    if (!Writes()) return;
    Flush();
    EndSurrogate();
    AppendUtf8(out_.text, c);
  }

  void LineEnd() {
    if (!Writes()) return;
    Flush();
    EndSurrogate();
    out_.text += "\r\n";
  }

  // A high surrogate not followed by its low half.
  void EndSurrogate() {
    if (highSurrogate_ == 0) return;
    highSurrogate_ = 0;
    AppendUtf8(out_.text, 0xFFFD);
  }

  void Unicode(std::int32_t n) {
    const auto unit = static_cast<char16_t>(static_cast<std::uint16_t>(n));
    fallbackLeft_ = 0;
    if (Writes()) {
      Flush();
      if (unit >= 0xDC00 && unit <= 0xDFFF && highSurrogate_ != 0) {
        AppendUtf8(out_.text,
                   0x10000 + ((char32_t{highSurrogate_} - 0xD800) << 10) + (unit - 0xDC00));
        highSurrogate_ = 0;
      } else {
        EndSurrogate();
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          highSurrogate_ = unit;
        } else if (unit != 0) {
          AppendUtf8(out_.text, unit);  // a lone low surrogate comes out as U+FFFD
        }
      }
    }
    fallbackLeft_ = state_.fallback;
  }

  void Symbol(char c) {
    switch (c) {
      case '{':
      case '}':
      case '\\':
        Byte(static_cast<std::uint8_t>(c));
        return;
      case '~':
        Character(U'\u00A0');
        return;
      case '_':
        Character(U'\u2011');
        return;
      case '\r':
      case '\n':
        LineEnd();
        return;  // a backslash before a line end is a paragraph mark
      case '*':
        destinationNext_ = true;
        return;
      default:
        return;  // \- (optional hyphen), \| and \: and the rest have no text
    }
  }

  void Word(const Token& t) {
    const bool destination = destinationNext_;
    destinationNext_ = false;
    const std::string_view w = t.word;
    if (destination) {
      if (w == "htmltag" && state_.destination == Destination::kBody) {
        Flush();
        state_.destination = Destination::kHtmlTag;
      } else {
        state_.destination = Destination::kSkipped;  // \mhtmltag and every other \* group
      }
      return;
    }
    if (w == "fonttbl") {
      state_.destination = Destination::kFontTable;
      return;
    }
    if (IsSkippedDestination(w)) {
      state_.destination = Destination::kSkipped;
      return;
    }
    if (state_.destination == Destination::kFontTable) return FontTableWord(t);
    if (w == "htmlrtf") {
      state_.htmlRtf = !t.hasNumber || t.number != 0;
    } else if (w == "par" || w == "line") {
      LineEnd();
    } else if (w == "u" && t.hasNumber) {
      Unicode(t.number);
    } else if (w == "uc") {
      state_.fallback = t.hasNumber && t.number >= 0 && t.number <= kMaxFallback ? t.number : 1;
    } else if (w == "ansicpg" && IsCodePage(t)) {
      documentCodePage_ = static_cast<std::uint32_t>(t.number);
    } else if (w == "f" && t.hasNumber) {
      const auto font = fonts_.find(t.number);
      state_.codePage = font == fonts_.end() ? 0 : font->second;
    } else if (w == "bin") {
      tokens_.SkipBytes(t.hasNumber && t.number > 0 ? static_cast<std::size_t>(t.number) : 0);
    } else {
      for (const Keyword& k : kCharacterWords) {
        if (k.word == w) return Character(k.character);
      }
    }
  }

  // In the font table: \fN starts a font's definition, \fcharsetN and \cpgN give its code page.
  void FontTableWord(const Token& t) {
    if (!t.hasNumber) return;
    if (t.word == "f") {
      definedFont_ = t.number;
    } else if (t.word == "fcharset" && fonts_.size() < kMaxFonts) {
      fonts_[definedFont_] = CodePageOfFontCharset(t.number);
    } else if (t.word == "cpg" && IsCodePage(t) && fonts_.size() < kMaxFonts) {
      fonts_[definedFont_] = static_cast<std::uint32_t>(t.number);
    }
  }

  Tokenizer tokens_;
  UnwrappedBody& out_;
  State state_;
  std::vector<State> stack_;
  std::map<std::int32_t, std::uint32_t> fonts_;  // font number -> code page (0: the document's)
  std::int32_t definedFont_ = 0;
  std::uint32_t documentCodePage_ = 1252;
  Bytes pending_;
  std::uint32_t pendingCodePage_ = 1252;
  int fallbackLeft_ = 0;
  char16_t highSurrogate_ = 0;
  bool destinationNext_ = false;
};

}  // namespace

RtfWrapped WrappedBodyOf(ByteSpan rtf) {
  Tokenizer tokens(rtf);
  if (tokens.Next().kind != Token::kOpen) return RtfWrapped::kNone;
  const Token first = tokens.Next();
  if (first.kind != Token::kWord || first.word != "rtf") return RtfWrapped::kNone;
  for (int read = 2; read < 10; ++read) {
    const Token t = tokens.Next();
    if (t.kind == Token::kEnd || t.kind == Token::kTruncated) break;
    if (t.kind != Token::kWord) continue;
    if (t.word == "fromhtml" && (!t.hasNumber || t.number == 1)) return RtfWrapped::kHtml;
    if (t.word == "fromtext") return RtfWrapped::kText;
  }
  return RtfWrapped::kNone;
}

UnwrappedBody UnwrapRtfBody(ByteSpan rtf) {
  UnwrappedBody out;
  out.kind = WrappedBodyOf(rtf);
  if (out.kind == RtfWrapped::kNone) return out;
  Unwrapper(rtf, out).Run();
  return out;
}

}  // namespace palvara
