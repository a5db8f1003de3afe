// The folder tree: insertion by path, the icon rules, ticking with the bold rule, and the
// collected folders; the model checked by QAbstractItemModelTester throughout.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>

#include "gui/folder_tree.h"

namespace palvara::gui {
namespace {

using Tree = CFolderTreeCtrl1;

class FolderTree : public ::testing::Test {
 protected:
  FolderTree() : tester_(&tree_, QAbstractItemModelTester::FailureReportingMode::Fatal) {}
  int image(const QModelIndex& i) const { return i.data(Tree::kImageRole).toInt(); }
  Tree tree_;
  QAbstractItemModelTester tester_;
};

TEST_F(FolderTree, PathsShareTheirLevels) {
  const QModelIndex old = tree_.addFolderPath("Personal Folders\\Inbox\\Old\\", "IPF.Note");
  const QModelIndex inbox = tree_.addFolderPath("Personal Folders\\Inbox\\", "IPF.Note");
  tree_.addFolderPath("Personal Folders\\inbox\\", "IPF.Note");  // another name: letter case counts
  EXPECT_EQ(tree_.rowCount(), 1);
  EXPECT_EQ(tree_.rowCount(tree_.index(0, 0)), 2);
  EXPECT_EQ(old.parent(), inbox);
  EXPECT_EQ(tree_.folderPathOf(old), "Personal Folders\\Inbox\\Old\\");
  EXPECT_EQ(tree_.folderPathOf(inbox), "Personal Folders\\Inbox\\");
}

TEST_F(FolderTree, IconRules) {
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\", "")), Tree::kStoreRoot);
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\Inbox\\", "IPF.Note")), Tree::kInbox);
  // A later rule wins: a folder named Tasks of class IPF.Note, any name of class IPF.Task.
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\Tasks\\", "IPF.Note")), Tree::kTasks);
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\To do\\", "IPF.Task")), Tree::kTasks);
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\Birthdays\\", "ipf.appointment")),
            Tree::kCalendar);
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\junk e-mails\\", "")), Tree::kJunk);
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\sync issues\\", "")), Tree::kSyncIssues);
  // Defaults: 5 at the top level, 0 (1 when selected) below.
  EXPECT_EQ(image(tree_.addFolderPath("Archive\\", "")), Tree::kDeletedItems);
  EXPECT_EQ(image(tree_.addFolderPath("Personal Folders\\Projects\\", "IPF.Note")), Tree::kFolder);
  EXPECT_EQ(Tree::imageFor("Notes", "IPF.Contact", false), Tree::kNotes);
  EXPECT_EQ(Tree::imageFor("Contacts", "IPF.StickyNote", false), Tree::kNotes);
}

TEST_F(FolderTree, ANameWithABackslashIsOneNodeAndTicksApart) {
  // "Q3\\2024" (one folder, its backslash written twice) beside "2024" inside "Q3".
  const QModelIndex one = tree_.addFolderPath("Personal Folders\\Q3\\\\2024\\", "IPF.Note");
  const QModelIndex nested = tree_.addFolderPath("Personal Folders\\Q3\\2024\\", "IPF.Note");
  EXPECT_EQ(one.data().toString(), "Q3\\2024");
  EXPECT_EQ(one.parent(), tree_.index(0, 0));
  EXPECT_EQ(nested.parent().parent(), tree_.index(0, 0));
  EXPECT_EQ(tree_.rowCount(tree_.index(0, 0)), 2);
  tree_.toggle(one);
  EXPECT_EQ(tree_.collectTickedFolders(), QStringList({"Personal Folders\\Q3\\\\2024\\"}));
  tree_.toggle(one);
  tree_.toggle(nested);  // the only child of "Q3": that one is ticked with it
  EXPECT_EQ(tree_.collectTickedFolders(),
            QStringList({"Personal Folders\\Q3\\", "Personal Folders\\Q3\\2024\\"}));
}

TEST_F(FolderTree, TickingSpreadsDownAndSettlesParents) {
  const QModelIndex a = tree_.addFolderPath("Personal Folders\\Inbox\\A\\", "");
  const QModelIndex b = tree_.addFolderPath("Personal Folders\\Inbox\\B\\", "");
  const QModelIndex inbox = a.parent();
  const QModelIndex root = inbox.parent();
  tree_.addFolderPath("Personal Folders\\Sent Items\\", "");
  tree_.toggle(a);
  EXPECT_TRUE(tree_.isTicked(a));
  EXPECT_FALSE(tree_.isTicked(inbox));
  EXPECT_TRUE(tree_.isBold(inbox));  // holds a tick
  EXPECT_TRUE(tree_.isBold(root));
  // The last sibling ticked ticks the parent.
  tree_.setData(b, Qt::Checked, Qt::CheckStateRole);
  EXPECT_TRUE(tree_.isTicked(inbox));
  EXPECT_FALSE(tree_.isTicked(root));  // Sent Items is not ticked
  // Unticking one child unticks the parent, which stays bold.
  tree_.toggle(b);
  EXPECT_FALSE(tree_.isTicked(inbox));
  EXPECT_TRUE(tree_.isBold(inbox));
  EXPECT_FALSE(tree_.isBold(b));
  // Ticking the root ticks everything; unticking it clears every tick and every bold mark.
  tree_.toggle(root);
  EXPECT_EQ(tree_.collectTickedFolders(),
            QStringList({"Personal Folders\\", "Personal Folders\\Inbox\\",
                         "Personal Folders\\Inbox\\A\\", "Personal Folders\\Inbox\\B\\",
                         "Personal Folders\\Sent Items\\"}));
  tree_.toggle(root);
  EXPECT_TRUE(tree_.collectTickedFolders().isEmpty());
  EXPECT_FALSE(tree_.isBold(inbox));
  EXPECT_FALSE(tree_.isBold(root));
}

// The items filed directly under the top folder are saved when it is ticked, and only then.
TEST_F(FolderTree, ATickedTopLevelFolderIsCollectedWithItsOwnItems) {
  const QModelIndex root = tree_.addFolderPath("Personal Folders\\", "");
  tree_.toggle(root);
  EXPECT_TRUE(tree_.isTicked(root));
  EXPECT_EQ(tree_.collectTickedFolders(), QStringList({"Personal Folders\\"}));
  const QModelIndex inbox = tree_.addFolderPath("Personal Folders\\Inbox\\", "");
  const QModelIndex sent = tree_.addFolderPath("Personal Folders\\Sent Items\\", "");
  // A folder added below a ticked parent makes the parent incomplete.
  EXPECT_FALSE(tree_.isTicked(root));
  tree_.toggle(inbox);
  EXPECT_EQ(tree_.collectTickedFolders(), QStringList({"Personal Folders\\Inbox\\"}));
  tree_.toggle(sent);  // every child ticked: the top folder is ticked with them
  EXPECT_EQ(tree_.collectTickedFolders(),
            QStringList({"Personal Folders\\", "Personal Folders\\Inbox\\",
                         "Personal Folders\\Sent Items\\"}));
}

TEST_F(FolderTree, ClearEmptiesTheTree) {
  tree_.addFolderPath("Personal Folders\\Inbox\\", "");
  tree_.clear();
  EXPECT_EQ(tree_.rowCount(), 0);
  EXPECT_FALSE(tree_.hasItems());
}

}  // namespace
}  // namespace palvara::gui
