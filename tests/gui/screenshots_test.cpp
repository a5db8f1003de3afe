// Every window and message box photographed into the build folder (gui-screenshots), for
// reviewers to look at; each picture must hold a drawn window, not an empty image.
#include <QImage>

#include "gui/screenshots.h"
#include "tests/gui/gui_fixture.h"

namespace palvara::gui::testing {
namespace {

TEST_F(WizardTest, ScreenshotOfEveryWindow) {
  const QString folder = QString(PALVARA_BUILD_DIR) + "/gui-screenshots";
  QDir(folder).removeRecursively();
  QStringList written;
  ASSERT_TRUE(takeScreenshots(folder, &written));
  for (const char* name : {"step1", "recovery-analysed", "recovery-inbox", "saving-status",
                           "saving-completed", "change-log-path", "about", "message"}) {
    EXPECT_FALSE(written.filter(name).isEmpty()) << name;
  }
  for (const QString& file : written) {
    const QImage image(QDir(folder).filePath(file));
    ASSERT_FALSE(image.isNull()) << file.toStdString();
    EXPECT_GT(image.width(), 200) << file.toStdString();
    // More than one colour: the window was drawn.
    const QRgb first = image.pixel(image.width() / 2, image.height() / 2);
    bool varied = false;
    for (int y = 0; y < image.height() && !varied; y += 5) {
      for (int x = 0; x < image.width() && !varied; x += 5) varied = image.pixel(x, y) != first;
    }
    EXPECT_TRUE(varied) << file.toStdString();
  }
}

}  // namespace
}  // namespace palvara::gui::testing
