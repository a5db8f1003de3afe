#include "items/rtf_html.h"

#include <gtest/gtest.h>

#include <string>

#include "common/text.h"

namespace palvara {
namespace {

Bytes BytesOf(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(p, p + text.size());
}

UnwrappedBody Unwrap(std::string_view rtf) { return UnwrapRtfBody(BytesOf(rtf)); }

// HTML as an encapsulating writer stores it: markup in htmltag groups, the text between them,
// RTF-only formatting between \htmlrtf and \htmlrtf0.
constexpr std::string_view kHtmlMail =
    "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl\r\n"
    "{\\f0\\fswiss\\fcharset0 Arial;}\r\n{\\f1\\fmodern Courier New;}}\r\n"
    "{\\colortbl\\red0\\green0\\blue0;\\red0\\green0\\blue255;}\r\n"
    "\\uc1\\pard\\plain\\deftab360 \\f0\\fs24 \r\n"
    "{\\*\\htmltag19 <html>}\r\n{\\*\\htmltag34 <head>}\r\n"
    "{\\*\\htmltag161 <meta http-equiv=\"Content-Type\" content=\"text/html; "
    "charset=us-ascii\">}\r\n"
    "{\\*\\htmltag241 <style>\\par p \\{margin:0\\}\\par </style>}\r\n"
    "{\\*\\htmltag41 </head>}\r\n{\\*\\htmltag50 <body lang=EN-US>}\\htmlrtf \\lang1033 \\htmlrtf0 "
    "\r\n"
    "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 Hello, \r\n"
    "{\\*\\htmltag84 <b>}\\htmlrtf {\\b \\htmlrtf0 world{\\*\\htmltag92 </b>}\\htmlrtf }\\htmlrtf0 "
    "!"
    "\\htmlrtf\\par}\\htmlrtf0 \r\n{\\*\\htmltag72 </p>}\r\n"
    "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 a {\\*\\htmltag84 &lt;}\\htmlrtf <\\htmlrtf0 tag"
    "{\\*\\htmltag84 &gt;}\\htmlrtf >\\htmlrtf0  \\{and\\} C:\\\\dir\\htmlrtf\\par}\\htmlrtf0 \r\n"
    "{\\*\\htmltag72 </p>}\r\n{\\*\\htmltag58 </body>}\r\n{\\*\\htmltag27 </html>}}";

constexpr std::string_view kHtmlMailText =
    "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=us-ascii\">"
    "<style>\r\np {margin:0}\r\n</style></head><body lang=EN-US>"
    "<p>Hello, <b>world</b>!</p><p>a &lt;tag&gt; {and} C:\\dir</p></body></html>";

TEST(RtfWrapped, HeaderSaysWhatIsWrapped) {
  EXPECT_EQ(WrappedBodyOf(BytesOf(kHtmlMail)), RtfWrapped::kHtml);
  EXPECT_EQ(WrappedBodyOf(BytesOf("{\\rtf1\\ansi\\fromhtml\\deff0 x}")), RtfWrapped::kHtml);
  EXPECT_EQ(
      WrappedBodyOf(BytesOf("{\\rtf1\\ansi\\fbidis\\ansicpg936\\deff0\\deftab720\\fromtext{")),
      RtfWrapped::kText);
  EXPECT_EQ(WrappedBodyOf(BytesOf("{\\rtf1\\ansi\\ansicpg1252\\deff0{\\fonttbl}Plain RTF}")),
            RtfWrapped::kNone);
  // Another version, too late in the header, or not RTF at all.
  EXPECT_EQ(WrappedBodyOf(BytesOf("{\\rtf1\\fromhtml2 x}")), RtfWrapped::kNone);
  EXPECT_EQ(WrappedBodyOf(BytesOf("{\\rtf1\\a\\b\\c\\d\\e\\f\\g\\h\\fromhtml1 x}")),
            RtfWrapped::kNone);
  EXPECT_EQ(WrappedBodyOf(BytesOf("{\\rtf1\\a\\b\\c\\d\\e\\f\\g\\fromhtml1 x}")),
            RtfWrapped::kHtml);
  EXPECT_EQ(WrappedBodyOf(BytesOf("<html>\\fromhtml1</html>")), RtfWrapped::kNone);
  EXPECT_EQ(WrappedBodyOf(BytesOf("{\\pict\\fromhtml1}")), RtfWrapped::kNone);
  EXPECT_EQ(WrappedBodyOf({}), RtfWrapped::kNone);
  // RTF of its own is left to the RTF reader.
  const UnwrappedBody plain = Unwrap("{\\rtf1\\ansi Plain RTF}");
  EXPECT_EQ(plain.kind, RtfWrapped::kNone);
  EXPECT_TRUE(plain.text.empty());
}

TEST(RtfUnwrap, HtmlTagsTextAndRtfOnlyParts) {
  const UnwrappedBody body = Unwrap(kHtmlMail);
  EXPECT_EQ(body.kind, RtfWrapped::kHtml);
  EXPECT_TRUE(body.complete);
  EXPECT_EQ(body.text, kHtmlMailText);
}

TEST(RtfUnwrap, HtmlRtfStateFollowsGroups) {
  // Off again after the group that turned it off; on again after the one that turned it on.
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 \\htmlrtf {\\htmlrtf0 a}b\\htmlrtf0 c}").text, "ac");
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 x{\\htmlrtf y{z}}w\\htmlrtf1 v\\htmlrtf0 u}").text, "xwu");
  // Characters and line ends are RTF-only inside it, text and tags outside.
  EXPECT_EQ(
      Unwrap(
          "{\\rtf1\\fromhtml1 \\htmlrtf \\lquote\\par\\tab\\u8364 ?\\htmlrtf0 "
          "\\lquote q\\rquote\\tab\\ldblquote\\rdblquote\\bullet\\endash\\emdash\\~\\_\\-.\\line}")
          .text,
      "‘q’\t“”•–—\u00A0\u2011.\r\n");
  // An HTML tag inside an RTF-only part is RTF-only too.
  EXPECT_EQ(
      Unwrap("{\\rtf1\\fromhtml1 \\htmlrtf {\\*\\htmltag84 <b>}\\htmlrtf0 {\\*\\htmltag92 </b>}}")
          .text,
      "</b>");
}

TEST(RtfUnwrap, HexBytesThroughTheDocumentCodePage) {
  EXPECT_EQ(
      Unwrap("{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 {\\*\\htmltag64}caf\\'e9 \\'93q\\'94 \\'80}")
          .text,
      "café “q” €");
  // 日本語 in code page 932: two bytes per character, converted whole.
  EXPECT_EQ(
      Unwrap("{\\rtf1\\ansi\\ansicpg932\\fromhtml1 {\\*\\htmltag64}\\'93\\'fa\\'96\\'7b\\'8c\\'ea}")
          .text,
      "日本語");
  // Without \ansicpg: Windows-1252.
  EXPECT_EQ(Unwrap("{\\rtf1\\ansi\\fromhtml1 na\\'efve}").text, "naïve");
  // In code page 936 (a text body).
  EXPECT_EQ(Unwrap("{\\rtf1\\ansi\\ansicpg936\\fromtext \\'d6\\'d0\\'ce\\'c4}").text, "中文");
}

TEST(RtfUnwrap, FontCharsetsDecideTheTextsCodePage) {
  // A Western document with a Japanese font: its text in 932, the tags in 1252.
  const UnwrappedBody body = Unwrap(
      "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"
      "{\\f1\\fmodern\\fcharset128 MS Gothic;}{\\f2\\cpg1251 Courier;}}"
      "{\\*\\htmltag84 <span title=\"\\'e9\">}{\\f1 \\'93\\'fa\\'96\\'7b}\\'e9{\\f2 \\'cf}"
      "{\\f9 \\'e9}}");
  EXPECT_EQ(body.text, "<span title=\"é\">日本éПé");
  // The same bytes as Japanese document text.
  EXPECT_EQ(Unwrap("{\\rtf1\\ansi\\ansicpg932\\fromhtml1 {\\fonttbl{\\f0\\fcharset128 MS PGothic;}}"
                   "\\f0 \\'82\\'6c\\'82\\'72}")
                .text,
            "ＭＳ");
}

TEST(RtfUnwrap, UnicodeCharactersSkipTheirFallback) {
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 \\uc1\\u26085?\\u26412?}").text, "日本");
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 \\uc2\\u8364\\'80\\'80 euro}").text, "€ euro");
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 \\uc0\\u8364 x}").text, "€x");
  // A group ends the fallback; \ucN is scoped by groups.
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 {\\uc3\\u8364}abc{\\uc3 x}\\u8364 yz}").text, "€abcx€z");
  // Surrogate pairs join; a lone half is a replacement character.
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 \\u-10179?\\u-8704?}").text, "😀");
  EXPECT_EQ(Unwrap("{\\rtf1\\fromhtml1 \\u-10179?x\\u-8704?}").text, "\uFFFDx\uFFFD");
}

TEST(RtfUnwrap, DestinationsGiveNothing) {
  EXPECT_EQ(
      Unwrap("{\\rtf1\\fromhtml1 {\\fonttbl{\\f0 Arial;}}{\\colortbl;\\red1;}"
             "{\\stylesheet{\\s0 Normal;}}{\\info{\\title T}{\\author A}}"
             "{\\*\\generator Writer;}{\\*\\bkmkstart x}{\\pict\\pngblip 89504e47}"
             "{\\*\\mhtmltag84 <img src=\"http://x/a.gif\">}{\\*\\htmltag84 <img src=\"a.gif\">}"
             "{\\field{\\*\\fldinst HYPERLINK \"u\"}{\\fldrslt link}}\\bin3 {}}tail}")
          .text,
      "<img src=\"a.gif\">linktail");
}

TEST(RtfUnwrap, TextBodies) {
  const UnwrappedBody body = Unwrap(
      "{\\rtf1\\ansi\\ansicpg1252\\fromtext \\fbidis \\deff0{\\fonttbl\r\n{\\f0\\fmodern Courier "
      "New;}}\r\n"
      "{\\colortbl\\red0\\green0\\blue0;}\r\n\\uc1\\pard\\plain\\deftab360 \\f0\\fs20 Line "
      "one\\par\r\n"
      "Tab\\tab end \\{x\\}\\par\r\n}");
  EXPECT_EQ(body.kind, RtfWrapped::kText);
  EXPECT_TRUE(body.complete);
  EXPECT_EQ(body.text, "Line one\r\nTab\tend {x}\r\n");
}

TEST(RtfUnwrap, EndsWithTheOuterGroup) {
  const UnwrappedBody body = Unwrap(std::string("{\\rtf1\\fromhtml1 a}b}{c\0\0", 24));
  EXPECT_TRUE(body.complete);
  EXPECT_EQ(body.text, "a");
}

TEST(RtfUnwrap, GroupDepthIsCapped) {
  auto nested = [](int depth) {
    // `depth` groups in all, the outer one included.
    return "{\\rtf1\\fromhtml1 " + std::string(depth - 1, '{') + "x" + std::string(depth - 1, '}') +
           "}";
  };
  const UnwrappedBody deepest = Unwrap(nested(kMaxRtfGroupDepth));
  EXPECT_TRUE(deepest.complete);
  EXPECT_EQ(deepest.text, "x");
  const UnwrappedBody tooDeep = Unwrap(nested(kMaxRtfGroupDepth + 1));
  EXPECT_FALSE(tooDeep.complete);
  EXPECT_EQ(tooDeep.text, "");
  EXPECT_FALSE(Unwrap("{\\rtf1\\fromhtml1 " + std::string(1000000, '{')).complete);
}

TEST(RtfUnwrap, EveryTruncationGivesAPrefix) {
  const UnwrappedBody whole = Unwrap(kHtmlMail);
  const std::size_t header = kHtmlMail.find("\\fromhtml1") + 10;
  for (std::size_t n = 0; n < kHtmlMail.size(); ++n) {
    const UnwrappedBody cut = Unwrap(kHtmlMail.substr(0, n));
    if (n > header) {  // past the blank that ends \fromhtml1
      EXPECT_EQ(cut.kind, RtfWrapped::kHtml) << n;
    }
    if (cut.kind != RtfWrapped::kNone) {
      EXPECT_FALSE(cut.complete) << n;
    }
    EXPECT_EQ(whole.text.compare(0, cut.text.size(), cut.text), 0) << n << ": " << cut.text;
  }
}

TEST(RtfUnwrap, DamagedInputNeverCrashes) {
  const std::string rich =
      "{\\rtf1\\ansi\\ansicpg932\\fromhtml1 {\\fonttbl{\\f0\\fcharset128 X;}{\\f1\\cpg65001 Y;}}"
      "\\f0 \\'82\\'6c{\\f1 \\'e6\\'97}\\uc2\\u-10179\\'81\\'82\\u-8704 ab\\bin4 "
      "{}{}{\\*\\htmltag1 "
      "<a href=\"\\'e9\">}\\u\\'\\'z\\'4\\ansicpg99999999999\\f-5\\uc-1\\u99999999 x}";
  for (std::size_t n = 0; n <= rich.size(); ++n) {
    const UnwrappedBody body = Unwrap(rich.substr(0, n));
    // Only the whole document ends its outer group; whatever was read is UTF-8.
    if (body.kind == RtfWrapped::kHtml) {
      EXPECT_EQ(body.complete, n == rich.size()) << n;
    }
    EXPECT_TRUE(IsCleanUtf8(body.text)) << n;
  }
}

}  // namespace
}  // namespace palvara
