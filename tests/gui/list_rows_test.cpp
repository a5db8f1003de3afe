// Row texts of the item list and the item list model under QAbstractItemModelTester.
#include "gui/list_rows.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <cstdlib>
#include <ctime>

#include "gui/item_list.h"

namespace palvara::gui {
namespace {

Bytes fileTime(std::uint64_t unixSeconds) {
  const std::uint64_t ticks = (unixSeconds + 11644473600ULL) * 10000000ULL;
  Bytes b(8);
  for (int i = 0; i < 8; ++i) b[static_cast<std::size_t>(i)] = std::byte((ticks >> (8 * i)) & 0xFF);
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

TEST(ListRows, NotesShowTheirText) {
  const NoteEntry note{"Shopping", "Shopping\r\nmilk\teggs", fileTime(1700000000), 0x200024};
  const ListRow row = noteRow(note);
  ASSERT_EQ(row.cells.size(), 3);
  EXPECT_EQ(row.cells[1], "Shopping  milk eggs");
  EXPECT_EQ(row.nodeId, 0x200024u);
  const NoteEntry longNote{"Long", std::string(300, 'n'), {}, 1};
  EXPECT_EQ(noteRow(longNote).cells[1], QString(200, 'n') + "...");
  EXPECT_EQ(noteRow(NoteEntry{}).cells[1], "");
}

}  // namespace
}  // namespace palvara::gui
