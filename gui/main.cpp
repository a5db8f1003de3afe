// palvara: the desktop wizard. `palvara [FILE]` opens step 1 (with FILE chosen);
// `palvara --screenshots DIR` photographs every window into DIR and exits.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>

#include <unistd.h>

#include "common/version.h"
#include "gui/screenshots.h"
#include "gui/step1_window.h"
#include "shell/activity_log.h"
#include "shell/app_settings.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("palvara");
  QApplication::setApplicationVersion(palvara::kVersion);
  QCommandLineParser parser;
  parser.setApplicationDescription(palvara::kProductTitle);
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption screenshots("screenshots", "Write a picture of every window into DIR.", "DIR");
  parser.addOption(screenshots);
  parser.addPositionalArgument("FILE", "The store file to repair (optional).", "[FILE]");
  parser.process(app);

  // Without its companion library the program ends at once, silently.
  if (!palvara::LoadCompanionLibrary()) ::_exit(0);

  if (parser.isSet(screenshots)) {
    return palvara::gui::takeScreenshots(parser.value(screenshots)) ? 0 : 1;
  }

  palvara::gui::DesktopHost host;
  palvara::gui::Wizard wizard(host);
  palvara::gui::DiskSelection step1(wizard);
  palvara::WriteStartBanner();
  if (const QStringList files = parser.positionalArguments(); !files.isEmpty()) {
    step1.choose(QFileInfo(files.first()).absoluteFilePath());
  }
  QObject::connect(&step1, &QDialog::finished, &app, &QApplication::quit);
  step1.show();
  return QApplication::exec();
}
