#include "common/html_charset.h"

#include <gtest/gtest.h>

#include "common/text.h"

namespace palvara {
namespace {

Bytes BytesOf(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(p, p + text.size());
}

std::string Utf8Of(std::string_view html, std::uint32_t codePage = 0, bool unicode = false) {
  return HtmlBodyToUtf8(BytesOf(html), codePage, unicode);
}

TEST(HtmlBody, InternetCodePageDecidesWhenSet) {
  // "café" in Windows-1252, and a euro sign from the range Latin-1 leaves to control codes.
  EXPECT_EQ(Utf8Of("<p>caf\xE9 \x80</p>", 1252), "<p>café €</p>");
  // The code page is believed before the document's own label...
  EXPECT_EQ(Utf8Of("<meta charset=shift_jis><p>caf\xE9</p>", 1252),
            "<meta charset=utf-8><p>café</p>");
  // ...and ASCII or Latin-1 labelled text keeps its Windows-1252 characters.
  EXPECT_EQ(Utf8Of("na\xEFve \x93quoted\x94", 20127), "naïve “quoted”");
  EXPECT_EQ(Utf8Of("na\xEFve \x93quoted\x94", 28591), "naïve “quoted”");
  // UTF-8 as declared, with what is not UTF-8 replaced.
  EXPECT_EQ(Utf8Of("Zo\xC3\xAB", kCodePageUtf8), "Zoë");
  EXPECT_EQ(Utf8Of("Zo\xEB!", kCodePageUtf8), "Zo\xEF\xBF\xBD!");
}

TEST(HtmlBody, ShiftJisByItsMetaCharsetWithoutCodePage) {
  // 日本語 in Shift_JIS: its second character's trail byte is '{'.
  const std::string sjis = "\x93\xFA\x96\x7B\x8C\xEA";
  EXPECT_EQ(Utf8Of("<html><head><meta charset=\"Shift_JIS\"></head><body>" + sjis + "</body>"),
            "<html><head><meta charset=\"utf-8\"></head><body>日本語</body>");
  EXPECT_EQ(Utf8Of("<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
                   "charset=shift_jis\"></HEAD>" +
                   sjis),
            "<HTML><HEAD><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; "
            "charset=utf-8\"></HEAD>日本語");
  // Outlook's unquoted form, with a blank before '>' and a self-closing one.
  EXPECT_EQ(
      Utf8Of("<meta http-equiv=Content-Type content='text/html; charset=\"x-sjis\"' />" + sjis),
      "<meta http-equiv=Content-Type content='text/html; charset=\"utf-8\"' />日本語");
}

TEST(HtmlBody, StoredAsUnicodeIsUtf16) {
  const std::string text = "<meta charset=windows-1252><p>Zoë – 東京 🙂</p>";
  const Bytes utf16 = Utf8ToUtf16Le(text);
  const std::string expected = "<meta charset=utf-8><p>Zoë – 東京 🙂</p>";
  EXPECT_EQ(HtmlBodyToUtf8(utf16, 0, true), expected);
  // The Unicode string wins over an 8-bit code page the item names.
  EXPECT_EQ(HtmlBodyToUtf8(utf16, 1252, true), expected);
  // Binary bytes that the code page says are UTF-16, either byte order.
  EXPECT_EQ(HtmlBodyToUtf8(utf16, kCodePageUtf16Le, false), expected);
  Bytes bigEndian = utf16;
  for (std::size_t i = 0; i + 1 < bigEndian.size(); i += 2)
    std::swap(bigEndian[i], bigEndian[i + 1]);
  EXPECT_EQ(HtmlBodyToUtf8(bigEndian, kCodePageUtf16Be, false), expected);
}

TEST(HtmlBody, WithoutCodePageOrLabelUtf8ElseWindows1252) {
  EXPECT_EQ(Utf8Of("<p>Zo\xC3\xAB \xE6\x9D\xB1</p>"), "<p>Zoë 東</p>");
  // Not UTF-8 (a lone é, then a Windows-1252 dash): Windows-1252.
  EXPECT_EQ(Utf8Of("<p>caf\xE9 \x96 ok</p>"), "<p>café – ok</p>");
  // A truncated UTF-8 sequence at the end is not UTF-8 either.
  EXPECT_EQ(Utf8Of("ab\xC3"), "abÃ");
  // A label nobody knows is no label.
  EXPECT_EQ(Utf8Of("<meta charset=x-klingon>caf\xE9"), "<meta charset=utf-8>café");
  // The text ends at a NUL, as stored bodies end.
  EXPECT_EQ(Utf8Of(std::string("<p>a</p>\0garbage", 16)), "<p>a</p>");
  EXPECT_EQ(Utf8Of(""), "");
}

TEST(HtmlBody, OnlyTheHeadsMetaElementsCount) {
  const std::string latin = "caf\xE9";  // as Shift_JIS it would be "caf" and half a character
  // In a comment, in the body, or named otherwise: not a declaration.
  EXPECT_EQ(Utf8Of("<!-- <meta charset=shift_jis> -->" + latin),
            "<!-- <meta charset=shift_jis> -->café");
  EXPECT_EQ(Utf8Of("<body><meta charset=shift_jis>" + latin), "<body><meta charset=shift_jis>café");
  EXPECT_EQ(Utf8Of("<metadata charset=shift_jis>" + latin), "<metadata charset=shift_jis>café");
  EXPECT_EQ(Utf8Of("<meta name=Generator content=\"charset=shift_jis\">" + latin),
            "<meta name=Generator content=\"charset=shift_jis\">café");
  // Past the part that is read, a label is not looked for.
  const std::string padding(kMetaScanLimit, ' ');
  EXPECT_EQ(Utf8Of(padding + "<meta charset=shift_jis>" + latin),
            padding + "<meta charset=shift_jis>café");
  // The first label known here decides.
  EXPECT_EQ(DeclaredCodePage("<meta charset=bogus><meta charset=koi8-r><meta charset=big5>"),
            20866u);
  // A label read in an 8-bit document cannot mean UTF-16.
  EXPECT_EQ(DeclaredCodePage("<meta charset=utf-16>"), kCodePageUtf8);
}

TEST(HtmlBody, BrokenMarkupNeverReadsOutOfBounds) {
  const std::string html =
      "<html><head><!-- c --><meta http-equiv='Content-Type' content=\"text/html; "
      "charset = 'windows-1251'\"><meta charset=koi8-r/></head><body>\xCF\xF0\xE8</body>";
  EXPECT_EQ(DeclaredCodePage(html), 1251u);
  for (std::size_t n = 0; n <= html.size(); ++n) {
    const std::string prefix = html.substr(0, n);
    for (const MetaCharset& m : FindMetaCharsets(prefix)) {
      EXPECT_LE(m.offset + m.length, prefix.size()) << n;
    }
    HtmlBodyToUtf8(BytesOf(prefix), 0, false);
  }
  std::string many;
  for (int i = 0; i < 100; ++i) many += "<meta charset=koi8-r>";
  EXPECT_EQ(FindMetaCharsets(many).size(), kMaxMetaCharsets);
}

struct LabelCase {
  const char* label;
  const char* bytes;  // a text in that charset
  const char* utf8;   // the same text
};

class CharsetLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(CharsetLabels, DocumentsInTheCharsetTheyNameReadRight) {
  const LabelCase& c = GetParam();
  const std::string html =
      std::string("<meta http-equiv=\"content-type\" content=\"text/html; charset=") + c.label +
      "\"><p>" + c.bytes + "</p>";
  const std::string out = Utf8Of(html);
  EXPECT_NE(out.find(std::string("<p>") + c.utf8 + "</p>"), std::string::npos) << out;
  EXPECT_NE(out.find("charset=utf-8\""), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, CharsetLabels,
    ::testing::Values(
        LabelCase{"koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4", "Привет"},
        LabelCase{"windows-1251", "\xCF\xF0\xE8\xE2\xE5\xF2", "Привет"},
        LabelCase{"euc-kr", "\xC7\xD1\xB1\xB9\xBE\xEE", "한국어"},
        LabelCase{"ks_c_5601-1987", "\xC7\xD1\xB1\xB9\xBE\xEE", "한국어"},
        LabelCase{"big5", "\xA4\xA4\xA4\xE5\xA6\x72", "中文字"},
        LabelCase{"gb2312", "\xD6\xD0\xCE\xC4\xD7\xD6", "中文字"},
        LabelCase{"GBK", "\xD6\xD0\xCE\xC4\xD7\xD6", "中文字"},
        LabelCase{"iso-8859-2", "\xA3\xF3\x64\xBC", "Łódź"},
        LabelCase{"ISO-2022-JP", "\x1B\x24\x42\x46\x7C\x4B\x5C\x38\x6C\x1B\x28\x42", "日本語"},
        LabelCase{"EUC-JP", "\xC6\xFC\xCB\xDC\xB8\xEC", "日本語"},
        LabelCase{"Shift_JIS", "\x93\xFA\x96\x7B\x8C\xEA", "日本語"},
        LabelCase{"windows-1253", "\xC5\xEB\xEB\xDC\xE4\xE1", "Ελλάδα"},
        LabelCase{"iso-8859-7", "\xC5\xEB\xEB\xDC\xE4\xE1", "Ελλάδα"},
        LabelCase{"ISO-8859-1", "\x63\x61\x66\xE9\x20\x80", "café €"},
        LabelCase{"us-ascii", "\x6E\x61\xEF\x76\x65", "naïve"},
        LabelCase{"tis-620", "\xC0\xD2\xC9\xD2\xE4\xB7\xC2", "ภาษาไทย"},
        LabelCase{"UTF-8", "\x5A\x6F\xC3\xAB\x20\xE6\x9D\xB1\xE4\xBA\xAC", "Zoë 東京"},
        LabelCase{"iso-8859-15", "\xA4\x75\x72\x6F", "€uro"},
        LabelCase{"iso_8859-5:1988", "\xBF\xE0\xD8\xD2\xD5\xE2", "Привет"}));

}  // namespace
}  // namespace palvara
