// The wizard's windows at their edges: what each refuses, asks and leaves behind.
#include <QApplication>
#include <QCheckBox>
#include <QCoreApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QToolButton>
#include <QTreeView>
#include <QTreeWidget>

#include "gui/help_about.h"
#include "gui/log_windows.h"
#include "gui/saving_windows.h"
#include "gui/search_window.h"
#include "gui/skin.h"
#include "shell/activity_log.h"
#include "shell/app_settings.h"
#include "tests/gui/gui_fixture.h"
#include "writer/store_writer.h"

namespace palvara::gui::testing {
namespace {

class Windows : public WizardTest {
 protected:
  std::string sample(int messages = 150) {
    const std::string file = path("Outlook.pst");
    if (!std::filesystem::exists(file)) {
      int status = -1;
      cli("make-sample --out '" + file + "' --messages " + std::to_string(messages), &status);
      EXPECT_EQ(status, 0);
    }
    return file;
  }
};

TEST_F(Windows, RepairRefusesOtherNames) {
  DiskSelection step1(wizard);
  step1.repair();  // nothing chosen yet
  host.fileAnswer = "/tmp/notes.txt";
  step1.browse();
  step1.repair();
  EXPECT_EQ(host.told, QStringList({"Not a valid PST File", "Not a valid PST File"}));
  EXPECT_EQ(host.icons.front(), QMessageBox::Information);
  EXPECT_TRUE(isStorePath("/data/backup.OST"));
  EXPECT_TRUE(isStorePath("/data/mailPST"));
  EXPECT_FALSE(isStorePath("PS"));
  // The chosen path is kept as chosen, shown, and logged.
  host.fileAnswer = "/tmp/Mixed Case/outlook.pst";
  step1.browse();
  EXPECT_EQ(step1.pathField()->text(), "/tmp/Mixed Case/outlook.pst");
  EXPECT_NE(log().find("\r\nStep1:\r\nSelect Source Path: /tmp/Mixed Case/outlook.pst"),
            std::string::npos);
  EXPECT_EQ(host.chooserTitles.front(), "Select PST File To Repair");
}

TEST_F(Windows, ExitAskedOnceAndAnsweredNo) {
  DiskSelection step1(wizard);
  host.answers = {false};
  step1.requestExit();
  EXPECT_EQ(host.questions, QStringList({"Do you want to exit ?"}));
  EXPECT_EQ(host.terminations, 0);
  EXPECT_FALSE(wizard.messageGuard);
  wizard.messageGuard = true;  // a question is open: a second Exit is ignored
  step1.requestExit();
  EXPECT_EQ(host.questions.size(), 1);
  wizard.messageGuard = false;
  step1.requestExit();  // Yes
  EXPECT_EQ(host.terminations, 1);
}

TEST_F(Windows, StopAnsweredNoGoesOnAndPauseThenStopStaysHeld) {
  const std::string file = sample(2000);
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file), false);
  ASSERT_NE(recovery, nullptr);
  ASSERT_TRUE(recovery->analysing());
  EXPECT_FALSE(recovery->backButton()->isEnabled());
  recovery->pauseOrResume();
  EXPECT_EQ(recovery->pauseButton()->text(), "Resume");
  // Pause, then Stop answered Yes: the run stays held until Resume.
  host.answers = {false, true};
  recovery->stopAnalysis();  // No
  EXPECT_FALSE(recovery->control().stopAnalysis);
  EXPECT_TRUE(recovery->stopButton()->isEnabled());
  recovery->stopAnalysis();  // Yes
  EXPECT_FALSE(recovery->stopButton()->isEnabled());
  EXPECT_FALSE(waitUntil([recovery] { return !recovery->analysing(); }, 400));
  EXPECT_TRUE(recovery->analysing());
  recovery->pauseOrResume();
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->analysing(); }));
  EXPECT_EQ(recovery->result()->outcome, AnalysisResult::Outcome::kAborted);
  EXPECT_TRUE(host.told.isEmpty()) << host.told.join(" / ").toStdString();  // no message
  EXPECT_NE(log().find("Step2: Analysis PST File"), std::string::npos);
  // Pause after the end does nothing.
  recovery->pauseOrResume();
  EXPECT_EQ(recovery->pauseButton()->text(), "Pause");
  EXPECT_FALSE(recovery->control().Paused());
}

TEST_F(Windows, StopAnsweredNoLetsTheRunFinish) {
  const std::string file = sample();
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file), false);
  ASSERT_NE(recovery, nullptr);
  host.answers = {false};
  recovery->stopAnalysis();
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->analysing(); }));
  EXPECT_EQ(recovery->result()->outcome, AnalysisResult::Outcome::kCompleted);
  EXPECT_EQ(recovery->counterLabel(AnalysisCounters::kInbox)->text().toInt(),
            cliCounters(file)[AnalysisCounters::kInbox]);
}

TEST_F(Windows, BackDuringAnalysisStopsJoinsAndReleases) {
  const std::string file = sample(2000);
  DiskSelection step1(wizard);
  step1.show();
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file), false);
  ASSERT_NE(recovery, nullptr);
  QPointer<Repair_Recover> alive(recovery);
  host.answers = {true};
  recovery->goBack();
  EXPECT_FALSE(recovery->analysing());
  EXPECT_EQ(recovery->result(), nullptr);
  EXPECT_EQ(recovery->tree()->rowCount(), 0);
  EXPECT_TRUE(waitUntil([&alive] { return alive.isNull(); }, 5000));  // the window is gone
  EXPECT_TRUE(step1.isVisible());
}

TEST_F(Windows, SaveRefusals) {
  const std::string file = sample();
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  ASSERT_TRUE(recovery->saveButton()->isEnabled());
  // Nothing ticked: said at once, before any dialog.
  const qsizetype dialogs = host.chooserTitles.size();
  recovery->save();
  EXPECT_EQ(host.told, QStringList({"Please Select Any Folder"}));
  EXPECT_EQ(host.icons.last(), QMessageBox::Warning);
  EXPECT_EQ(host.chooserTitles.size(), dialogs);
  EXPECT_EQ(log().find("Step3: Saving PST File"), std::string::npos);
  recovery->tree()->toggle(findFolder(recovery->tree(), "Inbox"));
  host.told.clear();
  host.folderAnswer.clear();  // cancelled: nothing said
  recovery->save();
  EXPECT_TRUE(host.told.isEmpty());
  host.folderAnswer = QString::fromStdString(path("gone"));
  recovery->save();
  EXPECT_EQ(host.told, QStringList({"Saving path doesn't exist, select another path for saving "}));
  host.folderAnswer = QString::fromStdString(path(""));
  host.itemAnswer = -1;  // the format choice cancelled
  recovery->save();
  EXPECT_FALSE(recovery->saving());
  // The format is chosen after the destination.
  EXPECT_EQ(host.chooserTitles.mid(host.chooserTitles.size() - 2),
            QStringList({"Select the Destination Path", "Save As"}));
  EXPECT_NE(log().find("\r\nStep3: Saving PST File"), std::string::npos);
}

// The completed window tells what was written, and says loudly when a ticked folder's items
// were not all written.
TEST_F(Windows, SavingReportNamesTheFoldersNotWritten) {
  std::vector<TreeFolder> tree(3);
  tree[0].path = "Personal Folders\\";
  tree[0].children.mail = 2;
  tree[1].path = "Personal Folders\\Inbox\\";
  tree[1].children.mail = 5;
  tree[1].children.appointment = 1;
  tree[2].path = "Personal Folders\\Sent Items\\";
  tree[2].children.mail = 4;  // not ticked
  SaveResult result;
  result.kinds[static_cast<std::size_t>(SavedKind::kMail)].written = 5;
  result.kinds[static_cast<std::size_t>(SavedKind::kAppointment)].written = 1;
  result.writtenInFolder["Personal Folders\\Inbox\\"] = 6;
  result.outputFiles = {"/tmp/x/Repair/Outlook.pst"};
  const std::vector<std::string> ticked = {"Personal Folders\\", "Personal Folders\\Inbox\\"};

  SavingReport report = savingReport(result, false, tree, ticked);
  EXPECT_TRUE(report.failed());
  EXPECT_EQ(report.written, 6);
  EXPECT_EQ(report.notWritten, 2);
  EXPECT_EQ(report.problems, QStringList({"Personal Folders\\: 2 of 2 items not written"}));
  Last_Saving_Dialog failed(wizard, report);
  EXPECT_EQ(failed.messageLabel()->text(),
            "Saving failed: items of the ticked folders were not written");
  EXPECT_EQ(failed.countsLabel()->text(), "6 items written, 2 not written");
  EXPECT_EQ(failed.problemsLabel()->text(), report.problems.join("\n"));
  EXPECT_EQ(failed.filesLabel()->text(), "Written to: /tmp/x/Repair/Outlook.pst");

  // Everything written: the usual message; a stopped run is no failure.
  result.writtenInFolder["Personal Folders\\"] = 2;
  result.kinds[static_cast<std::size_t>(SavedKind::kMail)].written = 7;
  report = savingReport(result, false, tree, ticked);
  EXPECT_FALSE(report.failed());
  EXPECT_EQ(Last_Saving_Dialog(wizard, report).messageLabel()->text(),
            "Saving Completed Sucessfully");
  result.writtenInFolder.clear();
  report = savingReport(result, true, tree, ticked);
  EXPECT_FALSE(report.failed());
  EXPECT_EQ(Last_Saving_Dialog(wizard, report).messageLabel()->text(), "Saving aborted");
  // Items the output refused count as not written even where the folder counts agree.
  result.writtenInFolder = {{"Personal Folders\\", 2}, {"Personal Folders\\Inbox\\", 6}};
  result.failedItems = 1;
  report = savingReport(result, false, tree, ticked);
  EXPECT_TRUE(report.failed());
  EXPECT_EQ(report.notWritten, 1);
}

TEST_F(Windows, ListingOfASecondFolderCancelsTheFirst) {
  const std::string file = sample(3000);
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  const QModelIndex inbox = findFolder(recovery->tree(), "Inbox");
  const QModelIndex contacts = findFolder(recovery->tree(), "Contacts");
  ASSERT_TRUE(inbox.isValid() && contacts.isValid());
  recovery->folderClicked(inbox);
  recovery->folderClicked(contacts);  // at once: the Inbox listing is cancelled
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  waitUntil([] { return false; }, 200);  // any rows still queued arrive
  EXPECT_EQ(recovery->list()->kind(), ListKind::kContacts);
  EXPECT_EQ(recovery->list()->rowCount(), recovery->counterLabel(AnalysisCounters::kContacts)->text().toInt());
  EXPECT_EQ(recovery->list()->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), "Contact Name");
  // Every mail of the Inbox is listed, not only the first ones.
  recovery->folderClicked(inbox);
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  waitUntil([] { return false; }, 200);
  int inboxItems = 0;
  for (const FolderEntry& f : recovery->result()->folders) {
    if (f.path == "Personal Folders\\Inbox\\") inboxItems = f.itemCount;
  }
  EXPECT_GT(inboxItems, 51);
  EXPECT_EQ(recovery->list()->rowCount(), inboxItems);
  // The selected row decides the header and the page; the contacts folder shows the placeholder.
  recovery->listView()->selectRow(3);
  EXPECT_EQ(recovery->headerLabel(2)->text(), recovery->list()->row(3)->cells[1]);
  EXPECT_FALSE(recovery->preview()->toPlainText().isEmpty());
  recovery->folderClicked(contacts);
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  waitUntil([] { return false; }, 100);
  recovery->listView()->selectRow(0);
  EXPECT_TRUE(recovery->headerLabel(0)->text().isEmpty());
  EXPECT_TRUE(recovery->preview()->toPlainText().contains("No preview for this folder"));
}

// A file that cannot be repaired is said so, with the reason, and step 1 stays for another
// choice; so does the search window.
TEST_F(Windows, AFileThatCannotBeOpenedIsSaidAndStep1Stays) {
  DiskSelection step1(wizard);
  step1.show();
  std::filesystem::create_directory(path("folder.pst"));
  std::ofstream(path("locked.pst")) << "x";
  std::filesystem::permissions(path("locked.pst"), std::filesystem::perms::none);
  const bool rootReadsAnything = std::ifstream(path("locked.pst")).good();
  for (const std::string name : {"missing.pst", "folder.pst", "locked.pst"}) {
    if (name == "locked.pst" && rootReadsAnything) continue;  // permissions do not bind root
    SCOPED_TRACE(name);
    host.told.clear();
    Repair_Recover* recovery = repair(step1, QString::fromStdString(path(name)));
    EXPECT_EQ(recovery, nullptr);
    ASSERT_EQ(host.told.size(), 1);
    EXPECT_TRUE(host.told[0].contains(QString::fromStdString(path(name))))
        << host.told[0].toStdString();
    EXPECT_EQ(host.terminations, 0);
    EXPECT_TRUE(step1.isVisible());
  }
  EXPECT_EQ(host.told[0].isEmpty(), false);
  EXPECT_EQ(sourceProblem(QString::fromStdString(path("missing.pst"))),
            QString::fromStdString("The file \"" + path("missing.pst") + "\" does not exist."));
  std::filesystem::permissions(path("locked.pst"), std::filesystem::perms::owner_all);
}

// The menu entries by their text, and the caption button by its name.
QAction* menuEntry(QWidget& window, const QString& text) {
  for (QAction* a : window.findChildren<QAction*>()) {
    if (a->text() == text) return a;
  }
  return nullptr;
}

QToolButton* captionButton(QWidget& window, const QString& name) {
  for (QToolButton* b : window.findChildren<QToolButton*>()) {
    if (b->accessibleName() == name) return b;
  }
  return nullptr;
}

TEST_F(Windows, LogAndHelpEntriesActInEveryWindow) {
  WriteActivityLog("an entry");
  DiskSelection step1(wizard);
  step1.show();
  Repair_Recover* recovery = repair(step1, QString::fromStdString(sample()), false);
  ASSERT_NE(recovery, nullptr);
  // The Log entries of the recovery window wait for the end of the analysis.
  if (recovery->analysing()) {
    EXPECT_FALSE(menuEntry(*recovery, "Clear Log")->isEnabled());
  }
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->analysing(); }, 120000));
  Settings search(wizard);
  const std::pair<WizardDialog*, QString> windows[] = {
      {&step1, "step1"}, {&search, "search"}, {recovery, "recovery"}};
  for (const auto& [window, section] : windows) {
    SCOPED_TRACE(window->objectName().toStdString());
    for (const char* entry : {"View Log", "Clear Log", "Change Path", "Contents",
                              "About Palvara for Microsoft Outlook"}) {
      ASSERT_NE(menuEntry(*window, entry), nullptr) << entry;
      EXPECT_TRUE(menuEntry(*window, entry)->isEnabled()) << entry;
    }
    host.opened.clear();
    menuEntry(*window, "View Log")->trigger();
    ASSERT_EQ(host.opened.size(), 1);
    EXPECT_EQ(host.opened[0].toLocalFile().toStdString(), ActivityLogFile().string());
    const std::string before = log();
    host.answers = {false};
    menuEntry(*window, "Clear Log")->trigger();
    EXPECT_EQ(host.questions.last(), "Do you want to clear log file ?");
    EXPECT_EQ(log(), before);
    menuEntry(*window, "Change Path")->trigger();
    Cchangelog* change = window->findChild<Cchangelog*>();
    ASSERT_NE(change, nullptr);
    EXPECT_TRUE(change->isVisible());
    delete change;
    menuEntry(*window, "About Palvara for Microsoft Outlook")->trigger();
    CAboutDlg* about = window->findChild<CAboutDlg*>();
    ASSERT_NE(about, nullptr);
    delete about;

    // Contents opens the contents page; Help and F1 the part about this window.
    host.opened.clear();
    menuEntry(*window, "Contents")->trigger();
    ASSERT_NE(captionButton(*window, "Help"), nullptr);
    captionButton(*window, "Help")->click();
    // F1 is the active window's; the modal recovery window would keep it from the others.
    for (const auto& [other, unused] : windows) other->setVisible(other == window);
    QApplication::setActiveWindow(window);
    QKeyEvent f1(QEvent::KeyPress, Qt::Key_F1, Qt::NoModifier);
    QCoreApplication::sendEvent(window, &f1);
    ASSERT_EQ(host.opened.size(), 3);
    EXPECT_EQ(host.opened[0], helpPage());
    // The page opened leads to the window's section, which the help has.
    QFile help(helpPage("windows.html").toLocalFile());
    ASSERT_TRUE(help.open(QIODevice::ReadOnly));
    EXPECT_TRUE(help.readAll().contains(("id=\"" + section + "\"").toUtf8()));
    for (int i : {1, 2}) {
      QFile page(host.opened[i].toLocalFile());
      ASSERT_TRUE(page.open(QIODevice::ReadOnly)) << host.opened[i].toString().toStdString();
      const QByteArray content = page.readAll();
      EXPECT_TRUE(content.contains(("windows.html#" + section + "\"").toUtf8()))
          << content.toStdString();
    }
  }
}

// View Log and View Report say so when there is nothing to show; Change Log Path shows the
// folder the log is written in even when no folder is set.
TEST_F(Windows, NothingToShowIsSaid) {
  DiskSelection step1(wizard);
  std::filesystem::remove(path("Activity Log.txt"));
  viewLog(wizard, &step1);
  EXPECT_TRUE(host.opened.isEmpty());
  ASSERT_EQ(host.told.size(), 1);
  EXPECT_TRUE(host.told[0].startsWith("The activity log is empty")) << host.told[0].toStdString();
  viewReport(wizard, &step1);  // no "RPTFile"
  ASSERT_EQ(host.told.size(), 2);
  EXPECT_EQ(host.told[1], "There is no report to show: no report file is set.");
  EXPECT_TRUE(host.opened.isEmpty());
  WriteActivityLog("an entry");
  viewLog(wizard, &step1);
  EXPECT_EQ(host.opened.size(), 1);

  writeSettings("", "");  // neither a log folder nor an application folder named
  Cchangelog window(wizard);
  EXPECT_FALSE(window.pathField()->text().isEmpty());
  EXPECT_EQ(window.pathField()->text().toStdString(), ActivityLogFolder().string());
}

TEST_F(Windows, ClearLogAnsweredNoKeepsTheLog) {
  WriteActivityLog("an entry");
  const std::string before = log();
  ASSERT_FALSE(before.empty());
  DiskSelection step1(wizard);
  host.answers = {false};
  clearLog(wizard, &step1);
  EXPECT_EQ(log(), before);
  EXPECT_EQ(host.questions.last(), "Do you want to clear log file ?");
  clearLog(wizard, &step1);  // Yes
  EXPECT_FALSE(std::filesystem::exists(path("Activity Log.txt")));
}

TEST_F(Windows, ChangeLogPathRefusesAMissingFolder) {
  Cchangelog window(wizard);
  EXPECT_EQ(window.pathField()->text().toStdString(), m_dir.path().toStdString());
  window.pathField()->setText(QString::fromStdString(path("nowhere")));
  window.apply();
  EXPECT_EQ(host.told, QStringList({"Path Does't exists"}));
  EXPECT_EQ(host.icons.front(), QMessageBox::Critical);
  EXPECT_EQ(AppSettings::Read("LogPath"), m_dir.path().toStdString());
  std::filesystem::create_directory(path("logs"));
  host.folderAnswer = QString::fromStdString(path("logs"));
  window.browse();
  window.apply();
  EXPECT_EQ(AppSettings::Read("LogPath"), path("logs"));
  EXPECT_EQ(host.chooserTitles.last(), "Select Folder:");
}

TEST_F(Windows, ViewReportFollowsTheSetting) {
  writeSettings(PALVARA_GUI_DATA_DIR, m_dir.path().toStdString(), "RPTFile=" + path("report.txt") + "\n");
  DiskSelection step1(wizard);
  Settings search(wizard);
  EXPECT_FALSE(search.viewReportButton()->isEnabled());  // no such file yet
  QFile report(QString::fromStdString(path("report.txt")));
  ASSERT_TRUE(report.open(QIODevice::WriteOnly));
  report.close();
  Settings again(wizard);
  EXPECT_TRUE(again.viewReportButton()->isEnabled());
  again.viewReportButton()->click();
  ASSERT_EQ(host.opened.size(), 1);
  EXPECT_EQ(host.opened.front().toLocalFile().toStdString(), path("report.txt"));
}

TEST_F(Windows, SearchListsStoresAndHandsOneToRepair) {
  std::filesystem::create_directories(path("tree/sub"));
  for (const auto& [name, size] : {std::pair{"tree/a.pst", 10239}, {"tree/sub/b.OST", 10240},
                                   {"tree/c.txt", 5}}) {
    std::ofstream(path(name)) << std::string(static_cast<std::size_t>(size), 'x');
  }
  DiskSelection step1(wizard);
  Settings search(wizard);
  EXPECT_TRUE(wizard.cameFromSearch);
  search.findOrStop();  // no folder chosen
  EXPECT_EQ(host.told.last(), "Not a valid Directory, Please select another directory? ");
  host.folderAnswer = QString::fromStdString(path("tree"));
  search.browse();
  EXPECT_EQ(host.chooserTitles.last(), "Select Directory for Searching PST Files");
  search.repair();
  EXPECT_EQ(host.told.last(), "Please Select the File");
  search.findOrStop();
  ASSERT_TRUE(waitUntil([&search] { return !search.searching(); }));
  ASSERT_EQ(search.results()->topLevelItemCount(), 2);
  // Subfolders first, then the folder's own matches; sizes in bytes up to 9 KB.
  EXPECT_EQ(search.results()->topLevelItem(0)->text(0), "b.OST");
  EXPECT_EQ(search.results()->topLevelItem(0)->text(2), "10 KB");
  EXPECT_EQ(search.results()->topLevelItem(1)->text(2), "10239 B");
  EXPECT_EQ(search.statusLine()->text(), "2 items found");
  EXPECT_TRUE(search.repairButton()->isEnabled());
  Repair_Recover* recovery = nullptr;
  QObject::connect(&search, &Settings::opened,
                   [this, &recovery](QDialog* w) {
                     recovery = qobject_cast<Repair_Recover*>(w);
                     opened_.push_back(w);
                   });
  search.results()->setCurrentItem(search.results()->topLevelItem(1));
  search.repair();
  ASSERT_NE(recovery, nullptr);
  EXPECT_EQ(wizard.searchSourcePath.toStdString(), path("tree/a.pst"));
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->analysing(); }));
  // Not a store: the analysis says so; the window stays.
  EXPECT_EQ(host.terminations, 0);
}

// The status line follows the walk through folders of any length without widening the window,
// and Repair opens only what is named as a store.
TEST_F(Windows, SearchWindowKeepsItsSizeAndRepairsOnlyStores) {
  std::string deep = "tree";
  for (int level = 0; level < 4; ++level) deep += "/" + std::string(200, static_cast<char>('a' + level));
  std::filesystem::create_directories(path(deep));
  std::ofstream(path(deep + "/x.pst")) << "x";
  std::ofstream(path("tree/old.pst.bak")) << "x";
  DiskSelection step1(wizard);
  Settings search(wizard);
  search.show();
  QCoreApplication::processEvents();
  const int width = search.width();
  const QRect repairAt = search.repairButton()->geometry();
  host.folderAnswer = QString::fromStdString(path("tree"));
  search.browse();
  search.findOrStop();
  ASSERT_TRUE(waitUntil([&search] { return !search.searching(); }));
  // The longest status the walk showed, laid out again.
  search.statusLine()->setText(QString::fromStdString("(1) - " + path(deep)));
  QCoreApplication::processEvents();
  EXPECT_EQ(search.width(), width);
  EXPECT_EQ(search.repairButton()->geometry(), repairAt);
  EXPECT_LE(search.repairButton()->geometry().right(), search.width());
  ASSERT_EQ(search.results()->topLevelItemCount(), 2);
  for (int i = 0; i < 2; ++i) {
    if (search.results()->topLevelItem(i)->text(0) == "old.pst.bak") {
      search.results()->setCurrentItem(search.results()->topLevelItem(i));
    }
  }
  search.repair();
  EXPECT_EQ(host.told.last(), "Not a valid PST File");
}

TEST_F(Windows, SearchStopEndsTheWalk) {
  for (int i = 0; i < 300; ++i) {
    std::filesystem::create_directories(path("deep/d" + std::to_string(i)));
    std::ofstream(path("deep/d" + std::to_string(i) + "/x.pst")) << "x";
  }
  Settings search(wizard);
  host.folderAnswer = QString::fromStdString(path("deep"));
  search.browse();
  search.findOrStop();
  EXPECT_EQ(search.findButton()->text(), "Stop");
  search.findOrStop();  // Stop
  ASSERT_TRUE(waitUntil([&search] { return !search.searching(); }));
  waitUntil([] { return false; }, 100);
  const int listed = search.results()->topLevelItemCount();
  EXPECT_EQ(search.statusLine()->text(), QString("%1 items found").arg(listed));
  EXPECT_EQ(search.findButton()->text(), "Find Now");
  EXPECT_EQ(search.repairButton()->isEnabled(), listed > 0);
}

// On a dark desktop the skinned windows, and the message boxes and menus they open, draw with
// the skins' light palette throughout; a window without its skin follows the desktop throughout.
TEST_F(Windows, SkinnedWindowsNeverMixTheirPaletteWithADarkDesktops) {
  const QPalette before = QApplication::palette();
  QPalette dark(QColor(0x35, 0x35, 0x35), QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::WindowText, Qt::white);
  dark.setColor(QPalette::Text, Qt::white);
  dark.setColor(QPalette::ButtonText, Qt::white);
  dark.setColor(QPalette::Base, QColor(0x18, 0x18, 0x18));
  QApplication::setPalette(dark);
  // Every control of `window`: dark text on light ground, or (plain) light text on dark ground.
  auto drawnLight = [](QWidget& window, bool light) {
    QList<QWidget*> all = window.findChildren<QWidget*>();
    all << &window;
    for (QWidget* w : all) {
      auto lightness = [w](QPalette::ColorRole role) {
        return w->palette().color(QPalette::Active, role).lightness();
      };
      const bool textDark =
          lightness(QPalette::WindowText) < 100 && lightness(QPalette::Text) < 100;
      const bool groundLight = lightness(QPalette::Window) > 180 && lightness(QPalette::Base) > 180;
      EXPECT_EQ(textDark && groundLight, light) << w->metaObject()->className();
      if (::testing::Test::HasFailure()) return;
    }
  };

  {
    DiskSelection step1(wizard);
    Settings search(wizard);
    Cchangelog change(wizard, &step1);
    CAboutDlg about(wizard, &step1);
    ListPSTFile status(
        wizard, [] { return SavingProgress{}; }, [] {}, &step1);
    Last_Saving_Dialog done(wizard, SavingReport{}, &step1);
    for (WizardDialog* w :
         std::initializer_list<WizardDialog*>{&step1, &search, &change, &about, &status, &done}) {
      SCOPED_TRACE(w->objectName().toStdString());
      drawnLight(*w, true);
    }
    std::unique_ptr<QMessageBox> box(
        makeMessageBox(&step1, "Not a valid PST File", QMessageBox::Information, false));
    drawnLight(*box, true);
    for (QMenu* menu : step1.findChildren<QMenu*>()) drawnLight(*menu, true);
  }
  writeSettings(path("no-skins"), m_dir.path().toStdString());  // a data folder without skins
  {
    DiskSelection plain(wizard);
    drawnLight(plain, false);
  }
  QApplication::setPalette(before);
}

// A mail folder lists each item with the icon of its own kind.
TEST_F(Windows, RowsOfAMailFolderCarryTheirOwnKindsIcon) {
  const std::string file = path("mixed.pst");
  {
    Status status = Status::Ok();
    auto w = StoreWriter::Create(file, "Personal Folders", EncodingMethod::kPermute, &status);
    ASSERT_TRUE(w);
    const std::uint32_t inbox = w->CreateFolder(kNidIpmSubtree, "Inbox", "IPF.Note");
    MessageSpec mail;
    mail.subject = "A mail";
    w->AddMessage(inbox, mail);
    w->AddAppointment(inbox, {"A meeting", "Room 1", "", 0x01DB000000000000ull,
                              0x01DB000000000000ull + 36000000000ull, false});
    w->AddTask(inbox, {"A task", "", 0, 0, 0, ""});
    ASSERT_TRUE(w->Finish().ok());
  }
  DiskSelection step1(wizard);
  Repair_Recover* recovery = repair(step1, QString::fromStdString(file));
  ASSERT_NE(recovery, nullptr);
  recovery->folderClicked(findFolder(recovery->tree(), "Inbox"));
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }));
  QCoreApplication::processEvents();
  ASSERT_EQ(recovery->list()->rowCount(), 3);
  const QVector<QIcon> icons = loadIcons("list", 14);
  std::map<QString, int> expected = {{"A mail", 13}, {"A meeting", 0}, {"A task", 10}};
  for (int r = 0; r < 3; ++r) {
    const QString subject = recovery->list()->index(r, 1).data().toString();
    ASSERT_TRUE(expected.count(subject)) << subject.toStdString();
    const QIcon shown = recovery->list()->index(r, 0).data(Qt::DecorationRole).value<QIcon>();
    EXPECT_EQ(shown.pixmap(16).toImage(), icons[expected[subject]].pixmap(16).toImage())
        << subject.toStdString();
  }
}

TEST_F(Windows, KeyColourOutline) {
  QImage image(10, 4, QImage::Format_RGB32);
  image.fill(Qt::white);
  image.setPixel(0, 0, qRgb(0, 255, 0));
  image.setPixel(1, 0, qRgb(17, 238, 17));  // within the tolerance
  image.setPixel(2, 0, qRgb(18, 255, 0));   // just outside
  const QRegion outline = outlineOf(image);
  EXPECT_FALSE(outline.contains(QPoint(0, 0)));
  EXPECT_FALSE(outline.contains(QPoint(1, 0)));
  EXPECT_TRUE(outline.contains(QPoint(2, 0)));
  EXPECT_TRUE(outline.contains(QPoint(9, 3)));
  // More runs than one flush holds.
  QImage striped(6001, 2, QImage::Format_RGB32);
  striped.fill(Qt::white);
  for (int x = 0; x < 6001; x += 2) striped.setPixel(x, 1, qRgb(0, 255, 0));
  const QRegion many = outlineOf(striped);
  EXPECT_FALSE(many.contains(QPoint(6000, 1)));
  EXPECT_TRUE(many.contains(QPoint(5999, 1)));
  // A missing skin leaves the plain window.
  EXPECT_TRUE(loadSkin("no-such-skin.bmp").isNull());
  // The outline shapes only a window that draws its own frame: under a window manager's title
  // bar the rounded corners would be cut into steps.
  DiskSelection decorated(wizard);
  decorated.show();
  decorated.resize(700, 420);
  EXPECT_TRUE(decorated.mask().isEmpty());
  DiskSelection frameless(wizard);
  frameless.setWindowFlag(Qt::FramelessWindowHint);
  frameless.show();
  frameless.resize(700, 420);
  EXPECT_FALSE(frameless.mask().isEmpty());
  EXPECT_FALSE(frameless.mask().contains(QPoint(0, 0)));  // a rounded corner
  EXPECT_TRUE(frameless.mask().contains(QPoint(350, 210)));
}

}  // namespace
}  // namespace palvara::gui::testing
