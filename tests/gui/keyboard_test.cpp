// The wizard by keyboard: Tab goes through each window's controls and then its caption buttons,
// the folder tree lists the folder the arrow keys or Enter reach, F1 opens the window's own part
// of the help, F10 and Alt+letter open the menus.
#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

#include "gui/search_window.h"
#include "tests/gui/gui_fixture.h"

namespace palvara::gui::testing {
namespace {

class Keyboard : public WizardTest {
 protected:
  std::string sample() {
    const std::string file = path("Outlook.pst");
    int status = -1;
    cli("make-sample --out '" + file + "' --messages 60", &status);
    EXPECT_EQ(status, 0);
    return file;
  }

  // What Tab reaches, in order, from the window's first focus, once round.
  static QList<QWidget*> tabCycle(QWidget& window) {
    window.show();
    QApplication::setActiveWindow(&window);
    window.activateWindow();
    waitUntil([&window] { return window.isActiveWindow(); }, 2000);
    QList<QWidget*> seen;
    for (int i = 0; i < 40; ++i) {
      QWidget* focus = QApplication::focusWidget();
      if (focus == nullptr || seen.contains(focus)) break;
      seen << focus;
      QTest::keyClick(focus, Qt::Key_Tab);
    }
    return seen;
  }

  static QWidget* named(QWidget& window, const QString& text) {
    for (QAbstractButton* b : window.findChildren<QAbstractButton*>()) {
      if (b->text() == text || b->accessibleName() == text) return b;
    }
    return nullptr;
  }
};

TEST_F(Keyboard, TabGoesThroughTheControlsThenTheCaptionButtons) {
  DiskSelection step1(wizard);
  // Six positions: Browse, Search, Repair, View Report, Help, Exit.
  EXPECT_EQ(tabCycle(step1), (QList<QWidget*>{named(step1, "Browse..."), named(step1, "Search"),
                                              named(step1, "Repair"), named(step1, "View Report"),
                                              named(step1, "Help"), named(step1, "Exit")}));
  Settings search(wizard);
  const QList<QWidget*> cycle = tabCycle(search);
  ASSERT_GE(cycle.size(), 5);
  EXPECT_EQ(cycle.mid(0, 3), (QList<QWidget*>{named(search, "Bro&wse"), named(search, "Find Now"),
                                              named(search, "Include subfolders")}));
  // View Report is off here (no report file), and passed by.
  EXPECT_EQ(cycle.mid(cycle.size() - 3),
            (QList<QWidget*>{named(search, "Back"), named(search, "Help"), named(search, "Exit")}));
  EXPECT_TRUE(cycle.contains(search.results()));
}

TEST_F(Keyboard, TheRecoveryWindowIsUsableByKeyboard) {
  const std::string file = sample();
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  const QList<QWidget*> cycle = tabCycle(*recovery);
  ASSERT_GE(cycle.size(), 6);
  // The tree, the list, the page, Damage beside the summary, then the buttons (Pause and Stop
  // are off after the analysis).
  EXPECT_EQ(cycle.mid(0, 4), (QList<QWidget*>{recovery->treeView(), recovery->listView(),
                                              recovery->preview(), recovery->damageButton()}));
  EXPECT_EQ(cycle.mid(4, 2), (QList<QWidget*>{recovery->backButton(), recovery->saveButton()}));

  // The arrow keys list the folder they reach; Enter lists it again.
  QTreeView* tree = recovery->treeView();
  tree->setFocus();
  const QModelIndex inbox = findFolder(recovery->tree(), "Inbox");
  ASSERT_TRUE(inbox.isValid());
  tree->setCurrentIndex(inbox.siblingAtRow(inbox.row() - 1));
  waitUntil([recovery] { return !recovery->loader()->running(); });
  QTest::keyClick(tree, Qt::Key_Down);
  ASSERT_EQ(tree->currentIndex(), inbox);
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  QCoreApplication::processEvents();
  int inboxItems = -1;
  for (const FolderEntry& f : recovery->result()->folders) {
    if (f.path == "Personal Folders\\Inbox\\") inboxItems = f.itemCount;
  }
  EXPECT_GT(inboxItems, 0);
  EXPECT_EQ(recovery->list()->rowCount(), inboxItems);
  // A mail shown, then another folder: nothing of the mail stays on screen.
  recovery->listView()->setCurrentIndex(recovery->list()->index(0, 0));
  ASSERT_FALSE(recovery->preview()->toPlainText().isEmpty());
  ASSERT_FALSE(recovery->headerLabel(2)->text().isEmpty());
  QTest::keyClick(tree, Qt::Key_Down);
  EXPECT_TRUE(recovery->preview()->toPlainText().trimmed().isEmpty());
  EXPECT_TRUE(recovery->headerLabel(2)->text().isEmpty());
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  tree->setCurrentIndex(inbox);
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  recovery->list()->begin(ListKind::kMail, -1);  // emptied: Enter fills it again
  QTest::keyClick(tree, Qt::Key_Return);
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(recovery->list()->rowCount(), inboxItems);
}

TEST_F(Keyboard, MenusOpenByF10AndByTheirLetters) {
  DiskSelection step1(wizard);
  step1.show();
  QApplication::setActiveWindow(&step1);
  auto* menuBar = step1.findChild<QMenuBar*>();
  ASSERT_NE(menuBar, nullptr);
  QStringList titles;
  for (QAction* a : menuBar->actions()) titles << a->text();
  EXPECT_EQ(titles, QStringList({"&File", "&Log", "&Help"}));
  QTest::keyClick(&step1, Qt::Key_F10);
  ASSERT_NE(menuBar->activeAction(), nullptr);
  EXPECT_EQ(menuBar->activeAction()->text(), "&File");
}

TEST_F(Keyboard, F1OpensTheWindowsOwnPartOfTheHelp) {
  DiskSelection step1(wizard);
  step1.show();
  QApplication::setActiveWindow(&step1);
  QTest::keyClick(step1.repairButton(), Qt::Key_F1);
  ASSERT_EQ(host.opened.size(), 1);
  // The desktop opener drops a file URL's "#section": the page opened leads there itself.
  const QUrl opened = host.opened.front();
  ASSERT_TRUE(opened.isLocalFile());
  QFile page(opened.toLocalFile());
  ASSERT_TRUE(page.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(page.readAll());
  EXPECT_TRUE(html.contains("windows.html#step1")) << html.toStdString();
  EXPECT_TRUE(html.contains("http-equiv=\"refresh\""));
  EXPECT_TRUE(QFile::exists(QString(PALVARA_GUI_DATA_DIR) + "/help/windows.html"));
}

}  // namespace
}  // namespace palvara::gui::testing
