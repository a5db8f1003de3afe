// Row texts of the item list, the item list model under QAbstractItemModelTester, and the
// preview page of each kind of mail body.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QBuffer>
#include <QImage>
#include <QTextDocument>

#include <cstdlib>
#include <ctime>

#include "gui/item_list.h"
#include "gui/list_rows.h"
#include "gui/preview.h"

namespace palvara::gui {
namespace {

Bytes fileTime(std::uint64_t unixSeconds) {
  const std::uint64_t ticks = (unixSeconds + 11644473600ULL) * 10000000ULL;
  Bytes b(8);
  for (int i = 0; i < 8; ++i) b[static_cast<std::size_t>(i)] = std::byte((ticks >> (8 * i)) & 0xFF);
  return b;
}

Bytes bytesOf(const std::string& s) {
  Bytes b(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) b[i] = std::byte(static_cast<unsigned char>(s[i]));
  return b;
}

TEST(ListRows, KindsByExactPath) {
  EXPECT_EQ(listKindOf("Personal Folders\\Contacts\\"), ListKind::kContacts);
  EXPECT_EQ(listKindOf("Personal Folders\\Calendar\\"), ListKind::kCalendar);
  EXPECT_EQ(listKindOf("Personal Folders\\Old\\Contacts\\"), ListKind::kMail);
  EXPECT_EQ(listKindOf("Personal Folders\\contacts\\"), ListKind::kMail);
  QStringList captions;
  for (const ListColumn& c : columnsOf(ListKind::kMail)) captions << c.caption;
  EXPECT_EQ(captions, QStringList({"From", "E-mail Subject", "To", "Received"}));
  EXPECT_EQ(columnsOf(ListKind::kTasks).front().width, 260);
}

TEST(ListRows, CleanUpActsOnCharacters) {
  EXPECT_EQ(cleanText("a\r\nb\tc", false), "a  b c");
  EXPECT_EQ(cleanText(QString("x") + QChar(3) + QChar(27) + QChar(28), true),
            QString("x  ") + QChar(28));
  EXPECT_EQ(cleanText(QString("x") + QChar(3), false), QString("x") + QChar(3));
  // Letters beyond ASCII are kept whole.
  EXPECT_EQ(cleanText(QString::fromUtf8("Grüße — 東京"), true), QString::fromUtf8("Grüße — 東京"));
  EXPECT_EQ(shortened(QString(254, 'a')), QString(254, 'a'));
  EXPECT_EQ(shortened(QString(300, 'a')), QString(200, 'a') + "...");
}

TEST(ListRows, DatesInLocalTime) {
  const char* oldTz = std::getenv("TZ");
  const std::string saved = oldTz != nullptr ? oldTz : "";
  ::setenv("TZ", "UTC", 1);
  ::tzset();
  EXPECT_EQ(dateText(fileTime(1230768000)), "Thu Jan  1 00:00:00 2009");
  ::setenv("TZ", "EST5", 1);
  ::tzset();
  EXPECT_EQ(dateText(fileTime(1230768000)), "Wed Dec 31 19:00:00 2008");
  if (oldTz != nullptr) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();
  EXPECT_EQ(dateText(std::nullopt), "");
  EXPECT_EQ(dateText(Bytes(3)), "");
}

TEST(ListRows, MailPlaceholders) {
  MailFields empty;
  EXPECT_EQ(mailRow(empty, 7).cells, QStringList({"None", "Unspecified", "None", ""}));
  MailFields m;
  m.senderName = "Ann\tLee";
  m.displayTo = "Bob";
  m.subject = std::make_unique<SubjectText>();
  m.subject->text = "Hi\r\nthere";
  EXPECT_EQ(mailRow(m, 7).cells.mid(0, 3), QStringList({"Ann Lee", "Hi  there", "Bob"}));
  EXPECT_EQ(mailRow(m, 7).nodeId, 7u);
}

TEST(ItemList, BatchesKeepOrderAndDropOldListings) {
  ItemListModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
  model.begin(ListKind::kMail, 1);
  model.addRows(1, {ListRow{{"a", "1", "x", ""}}, ListRow{{"b", "2", "y", ""}}});
  model.addRows(1, {ListRow{{"c", "3", "z", ""}}});
  model.addRows(0, {ListRow{{"stale", "", "", ""}}});  // from a cancelled listing
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(model.index(2, 0).data().toString(), "c");
  EXPECT_EQ(model.headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), "Received");
  // Tasks go in at the top: the last produced comes first.
  model.begin(ListKind::kTasks, 2);
  model.addRows(2, {ListRow{{"t1", ""}}, ListRow{{"t2", ""}}});
  model.addRows(2, {ListRow{{"t3", ""}}});
  ASSERT_EQ(model.rowCount(), 3);
  EXPECT_EQ(model.columnCount(), 2);
  EXPECT_EQ(model.index(0, 0).data().toString(), "t3");
  EXPECT_EQ(model.index(2, 0).data().toString(), "t1");
}

TEST(Preview, PagePerBody) {
  ItemRecord html;
  html.Mail().html = bytesOf("<p>Hello <b>there</b></p>");
  html.Mail().rtfText = "rtf";
  EXPECT_EQ(previewPage(html), "<p>Hello <b>there</b></p> ");
  ItemRecord rtf;
  rtf.Mail().rtfText = "from <rtf> & co";
  rtf.Mail().body = "plain";
  EXPECT_TRUE(previewPage(rtf).contains("from &lt;rtf&gt; &amp; co"));
  ItemRecord plain;
  plain.Mail().body = "only <plain>";
  EXPECT_TRUE(previewPage(plain).contains("only &lt;plain&gt;"));
  // Each line end, CR LF or a lone CR, is one line break on the page.
  plain.Mail().body = "Hello,\r\n\r\nfirst\rsecond\n-- ";
  QTextDocument shown;
  shown.setHtml(previewPage(plain));
  EXPECT_EQ(shown.toPlainText(), "Hello,\n\nfirst\nsecond\n-- ");
  ItemRecord none;
  none.Mail();
  EXPECT_TRUE(previewPage(none).isEmpty());
}

TEST(Preview, OnlyTheItemsOwnImagesLoad) {
  PreviewBrowser browser;
  AttachmentNode picture;
  picture.longFileName = "logo.png";
  QImage image(4, 4, QImage::Format_RGB32);
  image.fill(Qt::red);
  QByteArray png;
  {
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
  }
  picture.data = bytesOf(png.toStdString());
  browser.showItem("<img src=\"cid:logo.png@01D2\"><img src=\"http://example.com/t.gif\">"
                   "<img src=\"file:///etc/passwd\">", {picture});
  const QVariant loaded = browser.loadResource(QTextDocument::ImageResource, QUrl("cid:logo.png@01D2"));
  EXPECT_EQ(loaded.value<QImage>().size(), QSize(4, 4));
  EXPECT_FALSE(browser.loadResource(QTextDocument::ImageResource, QUrl("http://example.com/t.gif")).isValid());
  EXPECT_FALSE(browser.loadResource(QTextDocument::ImageResource, QUrl("file:///etc/passwd")).isValid());
  EXPECT_GE(browser.refusedLoads(), 2);
}

}  // namespace
}  // namespace palvara::gui
