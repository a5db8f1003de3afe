// Help pages (HTML in the data folder, opened with the desktop opener), the About window and
// its link buttons.
#pragma once

#include <QPushButton>
#include <QUrl>

#include "gui/wizard_dialog.h"

namespace palvara::gui {

// The help page `page` of the application folder's "help" folder.
QUrl helpPage(const QString& page = "index.html");
// Opens the help: the part of "windows.html" about one window (`section`, its anchor), or the
// contents when `section` is empty.
void showHelp(Wizard& wizard, const QString& section = {});
// The page that opens the help of `section` (a page of the user's cache that leads to
// "windows.html#section"; that URL itself when the page cannot be written).
QUrl helpSectionPage(const QString& section);
void showAbout(Wizard& wizard, QWidget* parent);

// A button showing a target; "Contact Us" opens the About window instead.
class LinkButton : public QPushButton {
  Q_OBJECT
 public:
  LinkButton(Wizard& wizard, const QString& text, const QUrl& target, QWidget* parent);
  bool visited() const { return m_visited; }

 private:
  void follow();
  Wizard& m_wizard;
  QUrl m_target;
  bool m_visited = false;
};

class CAboutDlg : public WizardDialog {
  Q_OBJECT
 public:
  CAboutDlg(Wizard& wizard, QWidget* parent = nullptr);

 protected:
  void reject() override { QDialog::reject(); }
  bool closeAsksExit() const override { return false; }
};

}  // namespace palvara::gui
