// The screenshot run: drives the wizard through a generated sample store and writes a picture
// of every window and message box into a folder.
#pragma once

#include <QString>
#include <QStringList>

namespace palvara::gui {

// Writes the pictures into `folder` (created); returns false when the run could not be
// completed. `written` receives the file names, in order.
bool takeScreenshots(const QString& folder, QStringList* written = nullptr);

}  // namespace palvara::gui
