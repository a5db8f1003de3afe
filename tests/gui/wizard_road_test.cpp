// The whole road through the windows: choose a store, analyse it, tick the Inbox, save as a new
// PST or as mbox, and check what was written with the command-line program. After the analysis
// the file is moved away: the item list, the preview and Save read the store the analysis opened.
#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTableView>
#include <QTreeView>
#include <fstream>

#include "tests/gui/gui_fixture.h"

namespace palvara::gui::testing {
namespace {

class WizardRoad : public WizardTest {
 protected:
  // Runs the road on `store`, saving in the format at `format` among those offered, and returns
  // the folder written into (empty on failure).
  QString road(const QString& store, int format = 0) {
    DiskSelection step1(wizard);
    step1.show();
    Repair_Recover* recovery = repair(step1, store);
    if (recovery == nullptr || recovery->analysing()) return {};
    // The counters shown equal what the command line counts.
    const std::vector<int> expected = cliCounters(store.toStdString());
    EXPECT_EQ(expected.size(), static_cast<std::size_t>(AnalysisCounters::kCount));
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_EQ(recovery->counterLabel(static_cast<int>(i))->text().toInt(), expected[i])
          << AnalysisCounters::Name(static_cast<int>(i));
    }
    inboxCount_ = expected.empty() ? -1 : expected[AnalysisCounters::kInbox];
    const QString moved = store + ".moved";
    EXPECT_TRUE(QFile::rename(store, moved));
    // Every mail folder the tree shows, those the recovery pass brought back among them, lists
    // the items the analysis counted in it.
    int listed = 0;
    for (const FolderEntry& f : recovery->result()->folders) {
      const QModelIndex at = folderByPath(recovery->tree(), QString::fromStdString(f.path));
      EXPECT_TRUE(at.isValid()) << f.path;
      if (!at.isValid()) continue;
      recovery->folderClicked(at);
      EXPECT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }, 60000));
      QCoreApplication::processEvents();
      EXPECT_EQ(recovery->list()->rowCount(), f.itemCount) << f.path;
      listed += recovery->list()->rowCount();
    }
    EXPECT_GT(listed, 0);
    const QModelIndex inbox = findFolder(recovery->tree(), "Inbox");
    if (!inbox.isValid()) return {};
    recovery->folderClicked(inbox);
    EXPECT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }, 60000));
    QCoreApplication::processEvents();
    if (recovery->list()->rowCount() > 0) {
      recovery->listView()->setCurrentIndex(recovery->list()->index(0, 0));
      EXPECT_FALSE(recovery->headerLabel(2)->text().isEmpty() &&
                   recovery->headerLabel(0)->text().isEmpty());
      EXPECT_FALSE(recovery->preview()->toPlainText().isEmpty());
    }
    recovery->tree()->toggle(inbox);
    const QString destination = QString::fromStdString(path("out"));
    QDir().mkpath(destination);
    host.folderAnswer = destination;
    host.itemAnswer = format;
    recovery->save();
    EXPECT_TRUE(waitUntil([recovery] { return recovery->completedWindow() != nullptr; }, 120000));
    if (recovery->completedWindow() == nullptr) return {};
    EXPECT_EQ(recovery->completedWindow()->messageLabel()->text(), "Saving Completed Sucessfully");
    EXPECT_TRUE(log().find("Target Path: " + destination.toStdString() + "/Repair") != std::string::npos);
    // OK on the completed window ends the application.
    recovery->completedWindow()->confirm();
    EXPECT_EQ(recovery->store()->ownOpens(), 0);
    QFile::rename(moved, store);
    EXPECT_EQ(host.terminations, 1) << host.told.join(" / ").toStdString() << " ; "
                                    << host.questions.join(" / ").toStdString();
    return destination + "/Repair";
  }

  void checkNewStore(const QString& folder) {
    QDirIterator it(folder, {"*.pst"});
    const QString made = it.hasNext() ? it.next() : QString();
    ASSERT_FALSE(made.isEmpty());
    int status = -1;
    cli("check '" + made.toStdString() + "'", &status);
    EXPECT_EQ(status, 0) << made.toStdString();
    const std::vector<int> saved = cliCounters(made.toStdString());
    ASSERT_EQ(saved.size(), static_cast<std::size_t>(AnalysisCounters::kCount));
    EXPECT_GT(inboxCount_, 0);
    EXPECT_EQ(saved[AnalysisCounters::kInbox], inboxCount_);
    EXPECT_EQ(saved[AnalysisCounters::kSentItems], 0);  // only the Inbox was ticked
  }

  // A 300-message sample damaged in three ways (a zeroed page, a zeroed heap, a cut tail); empty
  // when it could not be made.
  std::string damagedSample() {
    const std::string sample = path("sample.pst");
    const std::string damaged = path("damaged.pst");
    int status = -1;
    cli("make-sample --out '" + sample + "' --messages 300", &status);
    if (status != 0) return {};
    const std::string command =
        std::string(PALVARA_DAMAGE_STORE_PATH) + " '" + sample + "' '" + damaged + "' >/dev/null";
    return std::system(command.c_str()) == 0 ? damaged : std::string();
  }

  int inboxCount_ = -1;
};

TEST_F(WizardRoad, GeneratedSample) {
  const std::string sample = path("Outlook.pst");
  int status = -1;
  cli("make-sample --out '" + sample + "' --messages 150", &status);
  ASSERT_EQ(status, 0);
  checkNewStore(road(QString::fromStdString(sample)));
}

TEST_F(WizardRoad, DamagedSample) {
  const std::string damaged = damagedSample();
  ASSERT_FALSE(damaged.empty());
  checkNewStore(road(QString::fromStdString(damaged)));
}

// The Damage button waits for the analysis; its window lists the reports `analyze --json` lists,
// each at the same offset with the same kind.
TEST_F(WizardRoad, TheDamageWindowListsWhatTheCommandLineReports) {
  const std::string damaged = damagedSample();
  ASSERT_FALSE(damaged.empty());
  int status = -1;
  const nlohmann::json json =
      nlohmann::json::parse(cli("analyze --json '" + damaged + "'", &status), nullptr, false);
  ASSERT_EQ(status, 0);
  const nlohmann::json& list = json["damage"]["list"];
  ASSERT_FALSE(list.empty());

  DiskSelection step1(wizard);
  step1.show();
  Repair_Recover* recovery = repair(step1, QString::fromStdString(damaged), false);
  ASSERT_NE(recovery, nullptr);
  EXPECT_FALSE(recovery->damageButton()->isEnabled());
  ASSERT_TRUE(waitUntil([recovery] { return !recovery->analysing(); }, 120000));
  ASSERT_TRUE(recovery->damageButton()->isEnabled());
  recovery->damageButton()->click();
  DamageView* view = recovery->damageView();
  ASSERT_NE(view, nullptr);
  EXPECT_TRUE(view->isVisible());
  ASSERT_EQ(view->reportModel()->rowCount(), static_cast<int>(list.size()));
  for (int row = 0; row < view->reportModel()->rowCount(); ++row) {
    const DamageEntry& e = view->reportModel()->entry(row);
    EXPECT_EQ(e.report.offset, list[static_cast<std::size_t>(row)]["offset"].get<std::uint64_t>());
    EXPECT_EQ(DamageKindName(e.report.kind),
              list[static_cast<std::size_t>(row)]["kind"].get<std::string>());
  }
  // A second click raises the same window.
  recovery->damageButton()->click();
  EXPECT_EQ(recovery->damageView(), view);
}

TEST_F(WizardRoad, SavedAsMbox) {
  const std::string sample = path("Outlook.pst");
  int status = -1;
  cli("make-sample --out '" + sample + "' --messages 150", &status);
  ASSERT_EQ(status, 0);
  const QString folder = road(QString::fromStdString(sample), 1);
  ASSERT_FALSE(folder.isEmpty());
  EXPECT_EQ(host.chooserTitles.last(), "Save As");
  EXPECT_NE(log().find("Export Format: mbox"), std::string::npos);
  // Only the ticked Inbox and the folders below it, one mboxrd file each holding every
  // message of its folder, and no new PST.
  QStringList written;
  int separators = 0;
  for (QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
    const QString file = it.next();
    written << QDir(folder).relativeFilePath(file);
    std::ifstream in(file.toStdString(), std::ios::binary);
    for (std::string line; std::getline(in, line);) separators += line.starts_with("From ") ? 1 : 0;
  }
  written.sort();
  EXPECT_EQ(written, (QStringList{"Inbox/Projects/mbox", "Inbox/Receipts/mbox", "Inbox/mbox"}));
  EXPECT_GT(inboxCount_, 0);
  EXPECT_EQ(separators, inboxCount_);
}

TEST_F(WizardRoad, CancelledFormatChoiceSavesNothing) {
  const std::string sample = path("Outlook.pst");
  int status = -1;
  cli("make-sample --out '" + sample + "' --messages 20", &status);
  ASSERT_EQ(status, 0);
  DiskSelection step1(wizard);
  step1.show();
  Repair_Recover* recovery = repair(step1, QString::fromStdString(sample));
  ASSERT_NE(recovery, nullptr);
  recovery->tree()->toggle(findFolder(recovery->tree(), "Inbox"));
  const QString destination = QString::fromStdString(path("out"));
  QDir().mkpath(destination);
  host.folderAnswer = destination;
  host.itemAnswer = -1;
  recovery->save();
  EXPECT_FALSE(recovery->saving());
  EXPECT_FALSE(QDir(destination + "/Repair").exists());
}

// With its header wiped, the store opens only through the recovery pass: every folder and item
// shown is one it found.
TEST_F(WizardRoad, HeaderWipedSample) {
  const std::string sample = path("wiped.pst");
  int status = -1;
  cli("make-sample --out '" + sample + "' --messages 150", &status);
  ASSERT_EQ(status, 0);
  {
    std::fstream file(sample, std::ios::in | std::ios::out | std::ios::binary);
    const std::string zeros(512, '\0');
    file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
    ASSERT_TRUE(file.good());
  }
  checkNewStore(road(QString::fromStdString(sample)));
}

TEST_F(WizardRoad, SharedStore) {
  const auto shared = palvara::testing::kTestData / "stores" / "aspose_Outlook_1.pst";
  if (!std::filesystem::exists(shared)) GTEST_SKIP() << "no shared test data";
  const std::string store = path("aspose_Outlook_1.pst");
  std::filesystem::copy_file(shared, store);
  checkNewStore(road(QString::fromStdString(store)));
}

// Mail filed directly under the top folder is listed there, and saved when the top folder is
// ticked; the completed window says how many items were written.
TEST_F(WizardRoad, MailUnderTheTopFolderIsSaved) {
  for (const char* name : {"hiraoka_alpha_beta_gamma_delta.pst", "rubymsg_attach_and_inline.pst"}) {
    SCOPED_TRACE(name);
    const auto shared = palvara::testing::kTestData / "stores" / name;
    if (!std::filesystem::exists(shared)) GTEST_SKIP() << "no shared test data";
    DiskSelection step1(wizard);
    step1.show();
    Repair_Recover* recovery = repair(step1, QString::fromStdString(shared.string()));
    ASSERT_NE(recovery, nullptr);
    const QModelIndex top = folderByPath(recovery->tree(), "Personal Folders\\");
    ASSERT_TRUE(top.isValid());
    recovery->folderClicked(top);
    ASSERT_TRUE(waitUntil([recovery] { return !recovery->loader()->running(); }, 60000));
    QCoreApplication::processEvents();
    const int listed = recovery->list()->rowCount();
    EXPECT_GT(listed, 0);
    recovery->tree()->toggle(top);  // and with it everything below
    const QString destination = QString::fromStdString(path(std::string("out-") + name));
    QDir().mkpath(destination);
    host.folderAnswer = destination;
    host.itemAnswer = 0;
    recovery->save();
    ASSERT_TRUE(waitUntil([recovery] { return recovery->completedWindow() != nullptr; }, 120000));
    Last_Saving_Dialog* done = recovery->completedWindow();
    EXPECT_EQ(done->messageLabel()->text(), "Saving Completed Sucessfully");
    const int written = done->countsLabel()->text().section(' ', 0, 0).toInt();
    EXPECT_GE(written, listed);
    EXPECT_TRUE(done->countsLabel()->text().endsWith(", 0 not written"))
        << done->countsLabel()->text().toStdString();
    EXPECT_FALSE(recovery->saveButton()->isEnabled());
    QDirIterator it(destination + "/Repair", {"*.pst"});
    ASSERT_TRUE(it.hasNext());
    const QString made = it.next();
    EXPECT_TRUE(done->filesLabel()->text().contains(made))
        << done->filesLabel()->text().toStdString();
    // The new store holds the top folder's mail, as the command line reads it.
    int status = -1;
    const nlohmann::json json = nlohmann::json::parse(
        cli("analyze --json '" + made.toStdString() + "'", &status), nullptr, false);
    ASSERT_EQ(status, 0);
    int topMail = -1;
    for (const auto& folder : json["folders"]) {
      if (folder["path"] == "Personal Folders\\") topMail = folder["children"]["mail"].get<int>();
    }
    EXPECT_EQ(topMail, listed);
    done->close();
    host.answers = {true};
    recovery->goBack();
  }
}

}  // namespace
}  // namespace palvara::gui::testing
