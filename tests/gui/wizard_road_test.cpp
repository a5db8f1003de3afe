// The whole road through the windows: choose a store, analyse it, tick the Inbox, save, and
// check the new PST with the command-line program.
#include <QDirIterator>
#include <QLabel>
#include <QTreeView>

#include "tests/gui/gui_fixture.h"

namespace palvara::gui::testing {
namespace {

class WizardRoad : public WizardTest {
 protected:
  // Runs the road on `store` and returns the new PST (empty on failure).
  QString road(const QString& store) {
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
    const QModelIndex inbox = findFolder(recovery->tree(), "Inbox");
    if (!inbox.isValid()) return {};
    recovery->tree()->toggle(inbox);
    const QString destination = QString::fromStdString(path("out"));
    QDir().mkpath(destination);
    host.folderAnswer = destination;
    recovery->save();
    EXPECT_TRUE(waitUntil([recovery] { return recovery->completedWindow() != nullptr; }, 120000));
    if (recovery->completedWindow() == nullptr) return {};
    EXPECT_EQ(recovery->completedWindow()->messageLabel()->text(), "Saving Completed Sucessfully");
    EXPECT_TRUE(log().find("Target Path: " + destination.toStdString() + "/Repair") != std::string::npos);
    QDirIterator it(destination + "/Repair", {"*.pst"});
    const QString made = it.hasNext() ? it.next() : QString();
    // OK on the completed window ends the application.
    recovery->completedWindow()->confirm();
    EXPECT_EQ(host.terminations, 1) << host.told.join(" / ").toStdString() << " ; "
                                    << host.questions.join(" / ").toStdString();
    return made;
  }

  void checkNewStore(const QString& made) {
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
  const std::string sample = path("sample.pst");
  const std::string damaged = path("damaged.pst");
  int status = -1;
  cli("make-sample --out '" + sample + "' --messages 300", &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(std::system((std::string(PALVARA_DAMAGE_STORE_PATH) + " '" + sample + "' '" + damaged +
                         "' >/dev/null").c_str()), 0);
  checkNewStore(road(QString::fromStdString(damaged)));
}

TEST_F(WizardRoad, SharedStore) {
  const auto store = palvara::testing::kTestData / "stores" / "aspose_Outlook_1.pst";
  if (!std::filesystem::exists(store)) GTEST_SKIP() << "no shared test data";
  checkNewStore(road(QString::fromStdString(store.string())));
}

}  // namespace
}  // namespace palvara::gui::testing
