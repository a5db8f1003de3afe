// The program itself: silent end without its companion library, a store named on the command
// line, and the screenshot run, once on the offscreen platform and once on a real X server.
#include <QDir>
#include <QFile>
#include <QImage>

#include <set>

#include "shell/activity_log.h"

#include "tests/gui/gui_fixture.h"

namespace palvara::gui::testing {
namespace {

class Startup : public WizardTest {
 protected:
  int run(const std::string& command) {
    const std::string lsan = "LSAN_OPTIONS=suppressions=" PALVARA_GUI_LSAN_SUPPRESSIONS " ";
    return WEXITSTATUS(std::system(("cd '" + path("") + "' && " + lsan + command + " >'" +
                                    path("out.txt") + "' 2>&1").c_str()));
  }
  std::string output() const {
    std::ifstream in(path("out.txt"));
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
};

TEST_F(Startup, WithoutTheCompanionLibraryTheProgramEndsSilently) {
  const std::string alone = path("alone");
  std::filesystem::create_directory(alone);
  std::filesystem::copy_file(PALVARA_GUI_PATH, alone + "/palvara");
  EXPECT_EQ(run("QT_QPA_PLATFORM=offscreen timeout 60 '" + alone + "/palvara'"), 0);
  EXPECT_EQ(log().find("START LOG FILE"), std::string::npos);
}

TEST_F(Startup, AFileOnTheCommandLineIsChosen) {
  // The window stays open until the time-out ends it; by then step 1 has taken the file.
  run("QT_QPA_PLATFORM=offscreen timeout 8 '" + std::string(PALVARA_GUI_PATH) + "' some.pst");
  EXPECT_NE(log().find("START LOG FILE"), std::string::npos);
  EXPECT_NE(log().find("Select Source Path: " + path("some.pst")), std::string::npos) << log();
}

// Every picture differs from the others (the analysing window shows a run under way), and the
// run writes nothing into the user's own activity log.
TEST_F(Startup, ScreenshotRunOffscreen) {
  WriteActivityLog("the user's own entry");
  const std::string before = log();
  ASSERT_EQ(run("QT_QPA_PLATFORM=offscreen '" + std::string(PALVARA_GUI_PATH) +
                "' --screenshots shots"), 0) << output();
  const QDir shots(QString::fromStdString(path("shots")));
  const QStringList names = shots.entryList({"*.png"});
  EXPECT_GE(names.size(), 12);
  std::set<QByteArray> contents;
  for (const QString& name : names) {
    QFile file(shots.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_TRUE(contents.insert(file.readAll()).second) << name.toStdString() << " repeats a picture";
  }
  EXPECT_EQ(log(), before);
}

// Under a window manager on a real X server: in the desktop's light palette, and in a dark GTK
// theme at twice the scale. The pictures stay in the build folder for reviewers.
TEST_F(Startup, ScreenshotRunsUnderAWindowManager) {
  if (std::system("command -v xvfb-run >/dev/null 2>&1 && command -v openbox >/dev/null 2>&1") !=
      0) {
    GTEST_SKIP() << "no xvfb-run or openbox";
  }
  const std::string underX = std::string(PALVARA_GUI_TEST_SOURCE_DIR) + "/under_x.sh ";
  const std::string program = "'" + std::string(PALVARA_GUI_PATH) + "' --screenshots ";
  const std::string light = std::string(PALVARA_BUILD_DIR) + "/gui-screenshots-x";
  const std::string darkTwice = std::string(PALVARA_BUILD_DIR) + "/gui-screenshots-x-dark-2x";
  for (const std::string& folder : {light, darkTwice}) std::filesystem::remove_all(folder);
  ASSERT_EQ(run(underX + program + "'" + light + "'"), 0) << output();
  ASSERT_EQ(run("QT_QPA_PLATFORMTHEME=gtk3 GTK_THEME=Adwaita:dark QT_SCALE_FACTOR=2 " + underX +
                program + "'" + darkTwice + "'"),
            0)
      << output();
  const QStringList shots = QDir(QString::fromStdString(light)).entryList({"*.png"});
  EXPECT_GE(shots.size(), 12);
  EXPECT_FALSE(shots.filter("saving-completed").isEmpty());
  EXPECT_EQ(QDir(QString::fromStdString(darkTwice)).entryList({"*.png"}), shots);
  // At twice the scale every picture has twice the pixels.
  for (const QString& name : {QString("01-step1.png"), shots.filter("recovery-inbox").value(0)}) {
    const QImage once(QString::fromStdString(light) + "/" + name);
    const QImage twice(QString::fromStdString(darkTwice) + "/" + name);
    ASSERT_FALSE(once.isNull() || twice.isNull()) << name.toStdString();
    EXPECT_EQ(twice.width(), 2 * once.width()) << name.toStdString();
  }
}

}  // namespace
}  // namespace palvara::gui::testing
