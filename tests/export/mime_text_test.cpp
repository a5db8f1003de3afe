#include "export/mime_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "common/text.h"
#include "export/folder_names.h"
#include "export/mime_writer.h"
#include "export/open_output.h"
#include "export/recurrence.h"
#include "tests/export/recurrence_blob.h"

namespace palvara {
namespace {

std::string DecodeBase64(std::string_view text) {
  const std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    const auto v = alphabet.find(c);
    if (v == std::string_view::npos) continue;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    if ((count += 6) >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

TEST(MimeText, EncodedWordsHoldWholeCharactersWithinTheirLength) {
  EXPECT_EQ(EncodeWords("Plain subject"), "Plain subject");
  const std::string text = "Отчёт 東京 déjà vu " + std::string(40, 'x') + " 北京 데이터 שלום";
  const std::string encoded = EncodeWords(text);
  std::string decoded;
  std::size_t pos = 0;
  while (pos < encoded.size()) {
    std::size_t end = encoded.find("\n ", pos);
    if (end == std::string::npos) end = encoded.size();
    const std::string word = encoded.substr(pos, end - pos);
    EXPECT_LE(word.size(), 75u);
    ASSERT_TRUE(word.starts_with("=?UTF-8?B?") && word.ends_with("?=")) << word;
    const std::string piece = DecodeBase64(word.substr(10, word.size() - 12));
    EXPECT_EQ(ValidUtf8(piece), piece) << "a word splits a character";
    decoded += piece;
    pos = end + 2;
  }
  EXPECT_EQ(decoded, text);
  // A line break in a subject would end the header.
  EXPECT_EQ(EncodeWords("a\nb").find('\n'), std::string::npos);
}

TEST(MimeText, ValidUtf8TakesCleanTextAsItIsAndRepairsTheRest) {
  // The slow form: a round trip through UTF-16, NUL removed first.
  const auto repaired = [](std::string text) {
    std::erase(text, '\0');
    return Utf16LeToUtf8(Utf8ToUtf16Le(text));
  };
  const std::vector<std::string> cases = {
      "plain ASCII text long enough for whole words", "Zoë – 東京 🙂 end", std::string("a\0b", 3),
      std::string("0123456\0", 8), "\xC3", "\xC3\x41", "\xC0\x80", "\xE0\x80\x80", "\xED\xA0\x80",
      "\xF4\x90\x80\x80", "\xF0\x9F\x99", "\x80 lone", "ok \xFF", "\xF8\x88\x80\x80\x80"};
  for (const std::string& text : cases) {
    EXPECT_EQ(ValidUtf8(text), repaired(text)) << text;
    if (IsCleanUtf8(text)) {
      EXPECT_EQ(repaired(text), text) << text;
    }
  }
  EXPECT_TRUE(IsCleanUtf8("Zoë – 東京 🙂 end"));
  EXPECT_FALSE(IsCleanUtf8("\xED\xA0\x80"));  // a surrogate
  EXPECT_FALSE(IsCleanUtf8(std::string("01234567\0", 9)));
  // Random mixes of the bytes that matter, at every alignment to the eight-byte steps.
  const char pieces[][5] = {"a", "\xC3\xA9", "\xE6\x9D\xB1", "\xF0\x9F\x99\x82", "\x80", "\xC3", "\xED\xB0\x80", ""};
  std::uint32_t seed = 12345;
  for (int round = 0; round < 3000; ++round) {
    // Half the rounds lead with a run of ASCII, so that bytes of every kind also follow the
    // sixteen-byte steps at every alignment.
    std::string text(round % 2 == 0 ? 0 : round % 41, 'x');
    for (int k = 0, n = static_cast<int>(seed % 23); k < n; ++k) {
      seed = seed * 1103515245u + 12345u;
      const std::size_t pick = (seed >> 16) % 8;
      text += pick == 7 ? std::string(1, '\0') : std::string(pieces[pick]);
    }
    ASSERT_EQ(ValidUtf8(text), repaired(text)) << round;
  }
}

TEST(MimeText, AddressesAndParametersQuoteOrEncode) {
  EXPECT_EQ(AddressList({{"Doe, John \"JD\"", "jd@example.com"}}),
            "\"Doe, John \\\"JD\\\"\" <jd@example.com>");
  EXPECT_EQ(AddressList({{"", "a@b.c"}, {"Team", ""}}), "<a@b.c>, \"Team\":;");
  EXPECT_TRUE(AddressList({{"Grüße", "g@example.com"}}).starts_with("=?UTF-8?B?"));
  EXPECT_EQ(MimeParameter("filename", "report.pdf"), ";\n filename=\"report.pdf\"");
  EXPECT_EQ(MimeParameter("filename", "résumé 1.pdf"), ";\n filename*=UTF-8''r%C3%A9sum%C3%A9%201.pdf");
}

TEST(MimeText, QuotedPrintableKeepsLinesShortAndGuardsLineStarts) {
  const std::string text = std::string(200, 'a') + "\nFrom here\n.\ntrailing \n";
  const std::string qp = QuotedPrintable(text);
  std::size_t pos = 0;
  while (pos < qp.size()) {
    const std::size_t end = qp.find('\n', pos);
    EXPECT_LE(end - pos, 76u);
    pos = end + 1;
  }
  EXPECT_NE(qp.find("=46rom here"), std::string::npos);
  EXPECT_NE(qp.find("\n=2E\n"), std::string::npos);
  EXPECT_NE(qp.find("trailing=20\n"), std::string::npos);
}

TEST(MimeText, MboxrdQuotesEveryFromLineOnceMore) {
  EXPECT_EQ(MboxrdEscape("a\nFrom x\n>From y\n>>From z\nFromage\n From\n"),
            "a\n>From x\n>>From y\n>>>From z\nFromage\n From\n");
  EXPECT_EQ(MboxrdEscape("From the first line\nsays From here"), ">From the first line\nsays From here\n");
  // In place after a separator line, which stays as it is.
  std::string entry = "From a@b Mon Dec  7 09:05:00 2026\nSubject: x\n\nFrom y\n>>>\nFrom z";
  MboxrdQuote(entry, entry.find('\n') + 1);
  EXPECT_EQ(entry, "From a@b Mon Dec  7 09:05:00 2026\nSubject: x\n\n>From y\n>>>\n>From z\n");
  entry = "From a@b Mon Dec  7 09:05:00 2026\n";
  MboxrdQuote(entry, entry.size());
  EXPECT_EQ(entry, "From a@b Mon Dec  7 09:05:00 2026\n");
  // Long text, with the line at every offset of the sixteen-byte steps and "From " also
  // inside lines, where it stays.
  for (std::size_t lead = 0; lead < 40; ++lead) {
    const std::string x(lead, 'x'), y(30, 'y');
    EXPECT_EQ(MboxrdEscape(x + "\nFrom here\n" + y + " From mid\n>From z" + x + "From\nFrom"),
              x + "\n>From here\n" + y + " From mid\n>>From z" + x + "From\nFrom\n")
        << lead;
  }
}

TEST(MimeText, Base64LinesDecodeToTheBytesInLinesOf76) {
  // Every length around the line and group boundaries, and around the lines encoded at once.
  std::vector<std::size_t> sizes;
  for (std::size_t n = 0; n <= 3 * 57 + 4; ++n) sizes.push_back(n);
  for (std::size_t n : {64 * 57 - 1, 64 * 57, 64 * 57 + 1, 64 * 57 + 58, 128 * 57 + 2}) sizes.push_back(n);
  for (const std::size_t n : sizes) {
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i) bytes[i] = std::byte(static_cast<unsigned char>(i * 7 + n));
    const std::string text = Base64Lines(bytes);
    EXPECT_EQ(DecodeBase64(text), std::string(reinterpret_cast<const char*>(bytes.data()), n)) << n;
    EXPECT_EQ(text.size() - std::count(text.begin(), text.end(), '\n'), (n + 2) / 3 * 4) << n;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), static_cast<long>((n + 56) / 57)) << n;
    for (std::size_t pos = 0; pos < text.size();) {
      const std::size_t end = text.find('\n', pos);
      ASSERT_NE(end, std::string::npos) << n;
      EXPECT_LE(end - pos, 76u) << n;
      EXPECT_TRUE(end - pos == 76 || end + 1 == text.size()) << n;
      pos = end + 1;
    }
  }
  std::string appended = "prefix\n";
  AppendBase64Lines(appended, Bytes{std::byte{'M'}, std::byte{'a'}});
  EXPECT_EQ(appended, "prefix\nTWE=\n");
}

TEST(MimeText, StoredHeadersLoseWhatDescribesTheOldBodyAndWhatCannotParse) {
  const std::string stored =
      "Received: from a\r\n\tby b\r\nFrom: Ada <ada@example.com>\r\nnot a header line\r\n"
      "Content-Type: multipart/mixed;\r\n boundary=\"old\"\r\nMIME-Version: 1.0\r\n"
      "Subject: Hi\rthere =?gb2312?B?xe2bTtzn?= =?GB2312?Q?x?=\r\n\r\nbody text\r\n";
  EXPECT_EQ(CleanTransportHeaders(stored),
            "Received: from a\n\tby b\nFrom: Ada <ada@example.com>\n"
            "Subject: Hithere =?GBK?B?xe2bTtzn?= =?GBK?Q?x?=\n");
}

TEST(FolderNames, UnsafeNamesBecomeSafeAndClashesAreNumbered) {
  EXPECT_EQ(SafeFileName("a/b\\c:d", "F"), "a_b_c_d");
  EXPECT_EQ(SafeFileName("..", "F"), "F");
  EXPECT_EQ(SafeFileName(".hidden", "F"), "_hidden");
  EXPECT_EQ(SafeFileName("v1.2. ", "F"), "v1.2");
  EXPECT_EQ(SafeFileName("CON", "F"), "CON_");
  EXPECT_EQ(SafeFileName("lpt1.txt", "F"), "lpt1_.txt");
  EXPECT_EQ(SafeFileName("Входящие 東京", "F"), "Входящие 東京");
  EXPECT_EQ(SafeFileName(std::string("a\0b", 3), "F"), "ab");
  // Cut on a character boundary: each of these is three bytes.
  EXPECT_EQ(SafeFileName("東京東京", "F", 7), "東京");

  SiblingNames names({"mbox"});
  EXPECT_EQ(names.Claim("/x", "Reports"), "Reports");
  EXPECT_EQ(names.Claim("/x", "reports"), "reports (2)");
  EXPECT_EQ(names.Claim("/x", "REPORTS"), "REPORTS (3)");
  EXPECT_EQ(names.Claim("/y", "Reports"), "Reports");
  EXPECT_EQ(names.Claim("/y", "MBOX"), "MBOX (2)");
}

TEST(FolderNames, LongNamesAreBoundedWithAStableSuffix) {
  EXPECT_EQ(BoundedName("Inbox", 5), "Inbox");
  const std::string first = std::string(300, 'a') + "1", second = std::string(300, 'a') + "2";
  const std::string bounded = BoundedName(first, 120);
  EXPECT_EQ(bounded.size(), 120u);
  EXPECT_TRUE(bounded.starts_with(std::string(111, 'a') + "~")) << bounded;
  // The same name always gives the same result; names that differ past the cut stay apart.
  EXPECT_EQ(BoundedName(first, 120), bounded);
  EXPECT_NE(BoundedName(second, 120), bounded);
  // Cut between characters: each of these is three bytes.
  const std::string cut = BoundedName("東京東京東京東京", 20);
  EXPECT_EQ(cut.substr(0, 9), "東京東");
  EXPECT_EQ(cut.size(), 18u);
}

TEST(Recurrence, AWeeklyPatternBecomesItsRule) {
  const auto r = ParseRecurrence(testing::WeeklyBlob());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->rule, "FREQ=WEEKLY;INTERVAL=1;BYDAY=MO,WE;WKST=SU;COUNT=10");
  EXPECT_EQ(r->startOffset, 540u);
  EXPECT_EQ(r->endOffset, 600u);
  ASSERT_EQ(r->deleted.size(), 1u);
  EXPECT_EQ(LocalStamp(r->startDate + r->startOffset).substr(9), "090000");
}

TEST(Recurrence, EveryTruncationOfAPatternReadsWithinItsBytes) {
  const Bytes whole = testing::WeeklyBlob();
  for (std::size_t n = 0; n < whole.size(); ++n) {
    const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n));
    const auto r = ParseRecurrence(cut);
    if (r) {
      EXPECT_FALSE(r->rule.empty());
    }
  }
  Bytes huge = whole;
  huge[40] = std::byte{0xFF};  // an absurd deleted-instance count
  huge[41] = std::byte{0xFF};
  EXPECT_FALSE(ParseRecurrence(huge));
}

}  // namespace
}  // namespace palvara
