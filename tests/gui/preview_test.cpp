// The item preview: the page of each kind of body, the images a page may load, and the recovery
// window previewing mail in several character sets, HTML wrapped in RTF with its inline image,
// and notes.
#include "gui/preview.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QImage>
#include <QTableView>
#include <QTextDocument>
#include <QTreeView>

#include "common/text.h"
#include "gui/page_bounds.h"
#include "tests/gui/gui_fixture.h"
#include "writer/store_writer.h"

namespace palvara::gui::testing {
namespace {

Bytes bytesOf(std::string_view s) {
  const auto* p = reinterpret_cast<const std::byte*>(s.data());
  return Bytes(p, p + s.size());
}

QByteArray png(int width, int height) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(Qt::red);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, "PNG");
  return bytes;
}

Bytes pngBytes(int width, int height) { return bytesOf(png(width, height).toStdString()); }

// 日本語 in Shift_JIS.
constexpr std::string_view kShiftJis = "\x93\xFA\x96\x7B\x8C\xEA";

// HTML as Exchange stores it when RTF is the only body: wrapped in RTF, with an inline image.
constexpr std::string_view kWrappedHtml =
    "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss Arial;}}"
    "{\\*\\htmltag19 <html>}{\\*\\htmltag50 <body>}"
    "{\\*\\htmltag64 <p>}\\htmlrtf {\\htmlrtf0 Caf\\'e9 chart:{\\*\\htmltag84 <img "
    "src=\"cid:chart1@palvara\">}"
    "\\htmlrtf\\par}\\htmlrtf0 {\\*\\htmltag72 </p>}{\\*\\htmltag58 </body>}{\\*\\htmltag27 "
    "</html>}}";

TEST(Preview, PageOfEachBody) {
  SourceMessage html;
  html.record.Mail().html = bytesOf("<p>Hello <b>there</b></p>");
  html.record.Mail().rtfText = "rtf";
  EXPECT_EQ(previewOf(html).html, "<p>Hello <b>there</b></p> ");
  // Without a code page, HTML that is not UTF-8 is Windows-1252.
  SourceMessage western;
  western.record.Mail().html = bytesOf("<p>caf\xE9</p>");
  EXPECT_EQ(previewOf(western).html, "<p>café</p> ");
  // The RTF body's text before the plain body, escaped.
  SourceMessage rtf;
  rtf.record.Mail().rtfText = "from <rtf> & co";
  rtf.record.Mail().body = "plain";
  EXPECT_TRUE(previewOf(rtf).html.contains("from &lt;rtf&gt; &amp; co"));
  SourceMessage plain;
  plain.record.Mail().body = "only <plain>";
  EXPECT_TRUE(previewOf(plain).html.contains("only &lt;plain&gt;"));
  // Each line end, CR LF or a lone CR, is one line break on the page.
  plain.record.Mail().body = "Hello,\r\n\r\nfirst\rsecond\n-- ";
  QTextDocument shown;
  shown.setHtml(previewOf(plain).html);
  EXPECT_EQ(shown.toPlainText(), "Hello,\n\nfirst\nsecond\n-- ");
  SourceMessage none;
  none.record.Mail();
  EXPECT_TRUE(previewOf(none).html.isEmpty());
}

TEST(Preview, OnlyTheNamedAttachmentsAreKept) {
  SourceMessage m;
  m.record.Mail().html = bytesOf("<img src=\"cid:chart1@palvara\"><img src=\"logo.png\">");
  const Bytes image = pngBytes(2, 2);
  for (const char* name : {"chart.png", "logo.png", "report.pdf"}) {
    SourceAttachment a;
    a.fileName = name;
    a.contentId = std::string(name) == "chart.png" ? "<chart1@palvara>" : "";
    a.ownData = image;
    a.data = a.ownData;
    m.attachments.push_back(std::move(a));
  }
  const PreviewContent content = previewOf(m);
  ASSERT_EQ(content.images.size(), 2u);
  EXPECT_EQ(content.images[0].contentId, "chart1@palvara");  // without its brackets
  EXPECT_EQ(content.images[1].fileName, "logo.png");
  EXPECT_EQ(content.images[1].data.size(), static_cast<qsizetype>(image.size()));
}

TEST(Preview, OnlyTheItemsOwnImagesLoad) {
  PreviewBrowser browser;
  browser.showItem(
      {"<img src=\"cid:chart1@palvara\"><img src=\"http://example.com/t.gif\">"
       "<img src=\"file:///etc/passwd\">",
       {{"chart1@palvara", "chart.png", png(4, 4)}, {"", "logo.png", png(6, 6)}}});
  auto sizeOf = [&browser](const char* url) {
    return browser.loadResource(QTextDocument::ImageResource, QUrl(url)).value<QImage>().size();
  };
  const int refusedAtFirst = browser.refusedLoads();
  EXPECT_EQ(sizeOf("cid:chart1@palvara"), QSize(4, 4));  // by content id
  EXPECT_EQ(sizeOf("cid:CHART1@palvara"), QSize(4, 4));
  EXPECT_EQ(sizeOf("cid:logo.png@01D2"), QSize(6, 6));  // by file name
  EXPECT_EQ(sizeOf("logo.png"), QSize(6, 6));           // a page saved with its images
  EXPECT_EQ(browser.refusedLoads(), refusedAtFirst);
  for (const char* refused : {"http://example.com/t.gif", "file:///etc/passwd", "cid:missing",
                              "/logo.png", "../logo.png", "chart1@palvara"}) {
    EXPECT_FALSE(browser.loadResource(QTextDocument::ImageResource, QUrl(refused)).isValid())
        << refused;
  }
  EXPECT_EQ(browser.refusedLoads(), refusedAtFirst + 6);
  // Not an image: refused whatever it names.
  EXPECT_FALSE(browser.loadResource(QTextDocument::StyleSheetResource, QUrl("logo.png")).isValid());
}

// A page of tables nested `depth` levels, each level with its own text.
std::string nestedTables(int depth) {
  std::string html = "<html><body>";
  for (int i = 0; i < depth; ++i)
    html += "<table border=1><tr><td>level " + std::to_string(i) + " ";
  html += "innermost text";
  for (int i = 0; i < depth; ++i) html += "</td></tr></table>";
  return html + "</body></html>";
}

TEST(Preview, DeeplyNestedTablesShowAllTheirText) {
  PreviewBrowser browser;
  browser.resize(640, 480);
  browser.show();
  for (const int depth : {10, 40, 2000}) {
    SourceMessage m;
    m.record.Mail().html = bytesOf(nestedTables(depth));
    const PreviewContent content = previewOf(m);
    browser.showItem(content);
    (void)browser.grab();  // laid out and drawn
    const QString shown = browser.toPlainText();
    EXPECT_TRUE(shown.contains("innermost text")) << depth;
    for (int i = 0; i < depth; ++i) {
      ASSERT_TRUE(shown.contains(QString("level %1 ").arg(i))) << depth << " " << i;
    }
    // Only a page that lost tables says so.
    EXPECT_EQ(shown.contains("nested too deeply"), depth > PageLimits{}.maxTableDepth) << depth;
    EXPECT_LE(browser.document()->toHtml().count("<table"), PageLimits{}.maxTableDepth) << depth;
  }
}

TEST(Preview, AHugePageOrTextIsCutWithANote) {
  const auto limit = static_cast<qsizetype>(PageLimits{}.maxBytes);
  SourceMessage m;
  std::string html = "<html><body><p>first paragraph</p>";
  while (html.size() < 3u << 20) html += "<p>more text, caf\xC3\xA9</p>\n";
  m.record.Mail().html = bytesOf(html + "<p>the very end</p>");
  const PreviewContent content = previewOf(m);
  EXPECT_LT(content.html.toUtf8().size(), limit + 1000);
  EXPECT_TRUE(content.html.contains("The preview shows the first"))
      << content.html.right(300).toStdString();
  EXPECT_FALSE(content.html.contains("the very end"));
  PreviewBrowser browser;
  browser.showItem(content);
  EXPECT_TRUE(browser.toPlainText().startsWith("first paragraph"));
  EXPECT_TRUE(browser.toPlainText().contains("saving keeps all of it"));
  EXPECT_FALSE(browser.toPlainText().contains(QChar(0xFFFD)));

  // Text: cut after as many characters, never between the halves of a character.
  QString text = QString(limit - 1, 'x') + QString::fromUtf8("🙂") + "the very end";
  const QString page = textPage(text);
  EXPECT_FALSE(page.contains("the very end"));
  EXPECT_TRUE(page.contains("The preview shows the first"));
  QTextDocument shown;
  shown.setHtml(page);
  EXPECT_FALSE(shown.toPlainText().contains(QChar(0xFFFD)));
  EXPECT_FALSE(textPage("short <text>").contains("The preview shows"));
}

class PreviewWindow : public WizardTest {
 protected:
  std::string writeStore() {
    const std::string file = path("Preview.pst");
    Status status = Status::Ok();
    auto w = StoreWriter::Create(file, "Personal Folders", EncodingMethod::kPermute, &status);
    EXPECT_TRUE(status.ok());
    const std::uint32_t inbox = w->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
    const std::uint32_t notes = w->CreateFolder(kNidIpmSubtree, "Notes", "IPF.StickyNote");
    const std::uint32_t contacts = w->CreateFolder(kNidIpmSubtree, "Contacts", "IPF.Contact");
    MessageSpec western;
    western.subject = "Western";
    western.html = bytesOf(
        "<html><head><meta http-equiv=Content-Type content=\"text/html; charset=windows-1252\">"
        "</head><body><p>Caf\xE9 costs \x80 5</p></body></html>");
    western.htmlCodePage = 1252;
    western.body = "Cafe costs EUR 5";
    w->AddMessage(inbox, western);
    MessageSpec japanese;
    japanese.subject = "Japanese";
    japanese.html = bytesOf("<html><head><meta charset=\"shift_jis\"></head><body><p>" +
                            std::string(kShiftJis) + "</p></body></html>");
    japanese.htmlCodePage = 0;
    w->AddMessage(inbox, japanese);
    MessageSpec wrapped;
    wrapped.subject = "Wrapped";
    wrapped.rtf = bytesOf(kWrappedHtml);
    auto contentId = [](const std::string& id) {
      return std::vector<PropertyValue>{{0x3712, 0x001F, Utf8ToUtf16Le(id)}};
    };
    // The image the page names by content id, and another before it.
    wrapped.attachments.push_back(
        {"other.png", pngBytes(3, 3), "image/png", nullptr, contentId("other@palvara")});
    wrapped.attachments.push_back(
        {"picture.png", pngBytes(5, 7), "image/png", nullptr, contentId("chart1@palvara")});
    w->AddMessage(inbox, wrapped);
    const std::uint32_t deep = w->CreateFolder(kNidIpmSubtree, "Deep", "IPF.Note");
    MessageSpec nested;
    nested.subject = "Nested";
    nested.html = bytesOf(nestedTables(2000));
    nested.htmlCodePage = 65001;
    w->AddMessage(deep, nested);
    w->AddNote(notes, "Shopping\nmilk, eggs\n<b>not bold</b>", 0x01DB000000000000ull);
    StoreWriter::Contact contact;
    contact.displayName = "Ada Lovelace";
    contact.email = "ada@example.com";
    w->AddContact(contacts, contact);
    EXPECT_TRUE(w->Finish().ok());
    return file;
  }

  // Lists the folder named `name` and waits for its rows.
  void list(Repair_Recover* recovery, const QString& name) {
    const QModelIndex folder = findFolder(recovery->tree(), name);
    ASSERT_TRUE(folder.isValid()) << name.toStdString();
    recovery->treeView()->setCurrentIndex(folder);  // the caption the preview reads
    recovery->folderClicked(folder);
    ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
    QCoreApplication::processEvents();
  }

  // Selects the row whose column `column` reads `text`; false when there is none.
  static bool select(Repair_Recover* recovery, int column, const QString& text) {
    for (int r = 0; r < recovery->list()->rowCount(); ++r) {
      if (recovery->list()->row(r)->cells.value(column) == text) {
        recovery->listView()->setCurrentIndex(recovery->list()->index(r, 0));
        return true;
      }
    }
    return false;
  }
};

TEST_F(PreviewWindow, MailInEachCharacterSetAndWrappedInRtf) {
  const std::string file = writeStore();
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  list(recovery, "Inbox");
  ASSERT_EQ(recovery->list()->rowCount(), 3);
  PreviewBrowser* preview = recovery->preview();

  ASSERT_TRUE(select(recovery, 1, "Western"));
  EXPECT_EQ(recovery->headerLabel(2)->text(), "Western");
  EXPECT_TRUE(preview->toPlainText().contains("Café costs € 5"))
      << preview->toPlainText().toStdString();

  ASSERT_TRUE(select(recovery, 1, "Japanese"));
  EXPECT_TRUE(preview->toPlainText().contains("日本語")) << preview->toPlainText().toStdString();

  ASSERT_TRUE(select(recovery, 1, "Wrapped"));
  EXPECT_EQ(preview->toPlainText().trimmed(), "Café chart:\uFFFC");  // the image's place
  const int refused = preview->refusedLoads();
  const QImage image = preview->document()
                           ->resource(QTextDocument::ImageResource, QUrl("cid:chart1@palvara"))
                           .value<QImage>();
  EXPECT_EQ(image.size(), QSize(5, 7));
  EXPECT_EQ(preview->refusedLoads(), refused);
}

TEST_F(PreviewWindow, TablesNestedThousandsDeepPreviewAsText) {
  const std::string file = writeStore();
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  list(recovery, "Deep");
  ASSERT_TRUE(select(recovery, 1, "Nested"));
  (void)recovery->grab();
  const QString shown = recovery->preview()->toPlainText();
  EXPECT_TRUE(shown.contains("level 0 ")) << shown.left(200).toStdString();
  EXPECT_TRUE(shown.contains("level 1999 innermost text"));
}

TEST_F(PreviewWindow, NotesShowTheirTextOtherFoldersThePlaceholder) {
  const std::string file = writeStore();
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  list(recovery, "Notes");
  ASSERT_EQ(recovery->list()->kind(), ListKind::kNotes);
  ASSERT_EQ(recovery->list()->rowCount(), 1);
  EXPECT_EQ(recovery->list()->index(0, 1).data().toString(), "Shopping milk, eggs <b>not bold</b>");
  ASSERT_TRUE(select(recovery, 0, "Shopping"));
  EXPECT_EQ(recovery->headerLabel(2)->text(), "Shopping");
  EXPECT_TRUE(recovery->headerLabel(0)->text().isEmpty());
  EXPECT_EQ(recovery->preview()->toPlainText(), "Shopping\nmilk, eggs\n<b>not bold</b>");

  list(recovery, "Contacts");
  ASSERT_EQ(recovery->list()->rowCount(), 1);
  recovery->listView()->setCurrentIndex(recovery->list()->index(0, 0));
  EXPECT_TRUE(recovery->preview()->toPlainText().contains("No preview for this folder"));
}

// A real mail whose only body is RTF that wraps HTML with an inline image named by content id.
TEST_F(PreviewWindow, SharedStoreWithHtmlWrappedInRtf) {
  const std::string file =
      std::string(PALVARA_TESTDATA_DIR) + "/stores/rubymsg_attach_and_inline.pst";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "no shared test data";
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  ASSERT_FALSE(recovery->result()->folders.empty());
  const QString top = QString::fromStdString(recovery->result()->folders.front().path);
  const QModelIndex folder = folderByPath(recovery->tree(), top);
  ASSERT_TRUE(folder.isValid());
  recovery->treeView()->setCurrentIndex(folder);
  recovery->folderClicked(folder);
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  QCoreApplication::processEvents();
  ASSERT_TRUE(select(recovery, 1, "Attach and inline"));
  PreviewBrowser* preview = recovery->preview();
  EXPECT_FALSE(preview->toPlainText().contains(QChar(0xFFFD)));
  EXPECT_TRUE(preview->toHtml().contains("cid:image001.png@01D78380.EF6DC500"));
  const QImage image =
      preview->document()
          ->resource(QTextDocument::ImageResource, QUrl("cid:image001.png@01D78380.EF6DC500"))
          .value<QImage>();
  EXPECT_FALSE(image.isNull());
}

}  // namespace
}  // namespace palvara::gui::testing
