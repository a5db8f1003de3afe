#include "export/message_body.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "common/text.h"
#include "export/mime_writer.h"
#include "items/compressed_rtf.h"
#include "items/rtf_html.h"
#include "tests/support/store_items.h"
#include "tests/support/test_data.h"

namespace palvara {
namespace {

Bytes BytesOf(std::string_view text) {
  const auto* p = reinterpret_cast<const std::byte*>(text.data());
  return Bytes(p, p + text.size());
}

// An uncompressed compressed-RTF stream ("MELA") of `rtf`.
Bytes RtfStream(std::string_view rtf) {
  Bytes stream(16);
  StoreLe(stream, 0, rtf.size() + 12, 4);
  StoreLe(stream, 4, rtf.size(), 4);
  StoreLe(stream, 8, 0x414C454D, 4);
  const Bytes document = BytesOf(rtf);
  stream.insert(stream.end(), document.begin(), document.end());
  return stream;
}

// A message as ReadSourceMessage gives it, built field by field: properties, the mapped
// fields the bodies come from, attachments.
class Message {
 public:
  Message() { m_.properties = std::make_unique<PropertyList>(); }
  Message& Property(std::uint16_t id, std::uint16_t type, Bytes value) {
    PropertyEntry e;
    e.id = e.tag = id;
    e.type = type;
    e.reference = type;
    e.value = std::move(value);
    m_.properties->entries.push_back(std::move(e));
    return *this;
  }
  Message& Html(Bytes html, std::uint16_t type = 0x0102) {
    m_.record.Mail().html = html;
    return Property(0x1013, type, std::move(html));
  }
  Message& CodePage(std::uint32_t codePage) {
    Bytes value(4);
    StoreLe(value, 0, codePage, 4);
    return Property(0x3FDE, 0x0003, std::move(value));
  }
  Message& Rtf(std::string_view rtf, std::string rtfText) {
    m_.record.Mail().rtfText = std::move(rtfText);
    return Property(0x1009, 0x0102, RtfStream(rtf));
  }
  Message& Body(std::string body) {
    m_.record.Mail().body = std::move(body);
    return *this;
  }
  SourceMessage& get() { return m_; }

 private:
  SourceMessage m_;
};

constexpr std::string_view kWrappedHtml =
    "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss Arial;}}"
    "{\\*\\htmltag19 <html>}{\\*\\htmltag34 <head>}"
    "{\\*\\htmltag161 <meta http-equiv=\"Content-Type\" content=\"text/html; "
    "charset=windows-1252\">}"
    "{\\*\\htmltag41 </head>}{\\*\\htmltag50 <body>}"
    "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 Caf\\'e9 chart:{\\*\\htmltag84 <img "
    "src=\"cid:chart1@palvara\">}"
    "\\htmlrtf\\par}\\htmlrtf0 {\\*\\htmltag72 </p>}{\\*\\htmltag58 </body>}{\\*\\htmltag27 "
    "</html>}}";

TEST(MessageBodies, HtmlBodyInItsCodePage) {
  Message m;
  m.Html(BytesOf("<meta charset=windows-1252><p>caf\xE9</p>")).CodePage(1252).Body("cafe");
  const MessageBodies bodies(m.get());
  ASSERT_TRUE(bodies.Html());
  EXPECT_EQ(*bodies.Html(), "<meta charset=utf-8><p>café</p>");
  EXPECT_FALSE(bodies.HtmlFromRtf());
  EXPECT_EQ(bodies.Plain(), "cafe");
  // Stored as a Unicode string, whatever the code page says.
  Message wide;
  wide.Html(Utf8ToUtf16Le("<p>東京</p>"), 0x001F).CodePage(1252);
  EXPECT_EQ(*MessageBodies(wide.get()).Html(), "<p>東京</p>");
}

TEST(MessageBodies, HtmlWrappedInTheRtfBody) {
  Message m;
  m.Rtf(kWrappedHtml, "\xEF\xBF\xBD");  // what a plain RTF reader makes of it
  const MessageBodies bodies(m.get());
  ASSERT_TRUE(bodies.Html());
  EXPECT_TRUE(bodies.HtmlFromRtf());
  EXPECT_EQ(*bodies.Html(),
            "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
            "</head><body><p>Café chart:<img src=\"cid:chart1@palvara\"></p></body></html>");
  // The RTF reader's text of wrapped HTML is no text to show.
  EXPECT_EQ(bodies.Plain(), "");
  EXPECT_EQ(bodies.ShownText(), "");
  // A stored HTML body comes first.
  Message both;
  both.Rtf(kWrappedHtml, "x").Html(BytesOf("<p>stored</p>")).CodePage(65001);
  EXPECT_EQ(*MessageBodies(both.get()).Html(), "<p>stored</p>");
}

TEST(MessageBodies, TextOfEachKindOfBody) {
  // Text wrapped in RTF is the text; a plain body still comes first for the export.
  Message wrapped;
  wrapped.Rtf("{\\rtf1\\ansi\\ansicpg1251\\fromtext \\'cf\\'f0\\'e8\\par}", "rtf text");
  EXPECT_FALSE(MessageBodies(wrapped.get()).Html());
  EXPECT_EQ(MessageBodies(wrapped.get()).Plain(), "При\r\n");
  EXPECT_EQ(MessageBodies(wrapped.get()).ShownText(), "При\r\n");
  wrapped.Body("plain");
  EXPECT_EQ(MessageBodies(wrapped.get()).Plain(), "plain");
  EXPECT_EQ(MessageBodies(wrapped.get()).ShownText(), "При\r\n");
  // RTF of its own: its text is shown, the plain body exported.
  Message rtf;
  rtf.Rtf("{\\rtf1\\ansi {\\b bold} words}", "bold words").Body("plain words");
  EXPECT_EQ(MessageBodies(rtf.get()).ShownText(), "bold words");
  EXPECT_EQ(MessageBodies(rtf.get()).Plain(), "plain words");
  // Only a plain body; text that is not UTF-8 repaired; nothing at all.
  Message plain;
  plain.Body("ok \xFF");
  EXPECT_EQ(MessageBodies(plain.get()).ShownText(), "ok \xEF\xBF\xBD");
  Message none;
  EXPECT_FALSE(MessageBodies(none.get()).Html());
  EXPECT_TRUE(MessageBodies(none.get()).ShownText().empty());
  // A damaged RTF stream is no body.
  Message damaged;
  damaged.Property(0x1009, 0x0102, BytesOf("short"));
  EXPECT_FALSE(MessageBodies(damaged.get()).Html());
}

TEST(MessageBodies, ExportWritesTheWrappedHtmlWithItsImage) {
  Message m;
  m.Rtf(kWrappedHtml, "\xEF\xBF\xBD");
  SourceAttachment image;
  image.fileName = "chart.png";
  image.mimeType = "image/png";
  image.contentId = "chart1@palvara";
  image.ownData = BytesOf("\x89PNG fake");
  image.data = image.ownData;
  m.get().attachments.push_back(std::move(image));
  const std::string mail = RenderMessage(m.get());
  EXPECT_NE(mail.find("Content-Type: multipart/related"), std::string::npos) << mail;
  EXPECT_NE(mail.find("Content-Type: text/html; charset=\"utf-8\""), std::string::npos) << mail;
  EXPECT_NE(mail.find("<p>Café chart:<img src=\"cid:chart1@palvara\"></p>"), std::string::npos)
      << mail;
  EXPECT_NE(mail.find("Content-ID: <chart1@palvara>"), std::string::npos) << mail;
  EXPECT_EQ(mail.find("text/plain"), std::string::npos) << mail;
}

// What the shared stores wrap in their RTF bodies: HTML in 80 mails (in four code pages, with
// images named by content id and by file name), text in 8.
TEST(MessageBodies, SharedStoresUnwrapWhole) {
  if (!std::filesystem::exists(testing::kTestData / "stores"))
    GTEST_SKIP() << "no shared test data";
  int html = 0, text = 0;
  std::map<std::string, std::string> seen;  // "store nid" -> the HTML of a few named mails
  for (const auto& entry : std::filesystem::directory_iterator(testing::kTestData / "stores")) {
    testing::StoreItems items;
    if (!testing::LoadStoreItems(entry.path(), items)) continue;
    for (const auto& [folder, nodes] : items.nodes) {
      for (const StoreNode* node : nodes) {
        const auto m = ReadSourceMessage(items.store, *node, 0);
        const Bytes* rtf = m ? m->Properties().Binary(0x1009) : nullptr;
        Bytes document;
        if (rtf == nullptr || DecodeCompressedRtf(*rtf, document) != 0) continue;
        const UnwrappedBody unwrapped = UnwrapRtfBody(document);
        if (unwrapped.kind == RtfWrapped::kNone) continue;
        const std::string where =
            entry.path().filename().string() + " " + std::to_string(node->nid);
        EXPECT_TRUE(unwrapped.complete) << where;
        EXPECT_EQ(unwrapped.text.find("\xEF\xBF\xBD"), std::string::npos) << where;
        const MessageBodies bodies(*m);
        const std::string body =
            m->record.mail && m->record.mail->body ? *m->record.mail->body : "";
        if (unwrapped.kind == RtfWrapped::kText) {
          ++text;
          // The same text as the plain body, but for the line ends after it.
          auto trimmed = [](std::string t) {
            while (!t.empty() && (t.back() == '\r' || t.back() == '\n')) t.pop_back();
            return t;
          };
          EXPECT_EQ(trimmed(unwrapped.text), trimmed(body)) << where;
          continue;
        }
        ++html;
        ASSERT_TRUE(bodies.Html()) << where;
        EXPECT_TRUE(bodies.HtmlFromRtf()) << where;
        seen[where] = *bodies.Html();
      }
    }
  }
  if (html + text == 0) GTEST_SKIP() << "no shared stores";
  EXPECT_EQ(html, 80);
  EXPECT_EQ(text, 8);
  auto has = [&seen](const std::string& where, const std::string& part) {
    return seen[where].find(part) != std::string::npos;
  };
  // Code page 932 in the tags (a Japanese font's name), the text between them.
  EXPECT_TRUE(has("rubymsg_msg_in_msg.pst 2097188", "font-family:\"ＭＳ ゴシック\""));
  EXPECT_TRUE(has("rubymsg_msg_in_msg.pst 2097188", "I have attachments!"));
  EXPECT_TRUE(
      has("rubymsg_attach_and_inline.pst 2097188", "src=\"cid:image001.png@01D78380.EF6DC500\""));
  // The links rewritten for MHTML are left out, the page's own kept.
  EXPECT_TRUE(has("pst2john_2003_compressible_quickquick.pst 2097508", "src=\"icons.gif\""));
  EXPECT_FALSE(has("pst2john_2003_compressible_quickquick.pst 2097508",
                   "src=\"http://outlook/outlook9/specs/welcomemsg/icons.gif\""));
  EXPECT_TRUE(has("pst2john_2003_compressible_quickquick.pst 2097508",
                  "is the premier messaging and collaboration"));
}

}  // namespace
}  // namespace palvara
