// The wizard's shared state and its seam to the desktop: file and folder choosers, message
// boxes, the desktop opener and process exit go through WizardHost, so that tests can answer
// them and the screenshot run can photograph them.
#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>
#include <QUrl>

class QWidget;

namespace palvara::gui {

class WizardHost {
 public:
  virtual ~WizardHost() = default;
  // The file-open dialog; an empty text when cancelled.
  virtual QString chooseFile(QWidget* parent, const QString& title, const QString& filters) = 0;
  // The folder chooser; an empty text when cancelled.
  virtual QString chooseFolder(QWidget* parent, const QString& title, const QString& start) = 0;
  // A choice among `items` (the first one chosen at the start); its index, -1 when cancelled.
  virtual int chooseItem(QWidget* parent, const QString& title, const QString& label,
                         const QStringList& items) = 0;
  // A Yes/No question with the question icon; true for Yes.
  virtual bool ask(QWidget* parent, const QString& question) = 0;
  virtual void tell(QWidget* parent, const QString& text, QMessageBox::Icon icon) = 0;
  // The desktop opener (xdg-open): logs, reports, help pages, links.
  virtual void openUrl(const QUrl& url) = 0;
  // Ends the process at once (the application's own host never returns).
  virtual void terminate() = 0;
};

// The real desktop: Qt's dialogs and message boxes, QDesktopServices, _exit(0).
class DesktopHost : public WizardHost {
 public:
  QString chooseFile(QWidget* parent, const QString& title, const QString& filters) override;
  QString chooseFolder(QWidget* parent, const QString& title, const QString& start) override;
  int chooseItem(QWidget* parent, const QString& title, const QString& label,
                 const QStringList& items) override;
  bool ask(QWidget* parent, const QString& question) override;
  void tell(QWidget* parent, const QString& text, QMessageBox::Icon icon) override;
  void openUrl(const QUrl& url) override;
  void terminate() override;
};

// A message box with the product title as caption, application-modal.
QMessageBox* makeMessageBox(QWidget* parent, const QString& text, QMessageBox::Icon icon,
                            bool question);

// What the windows share: the chosen source, where it came from, and the exit guard.
struct Wizard {
  explicit Wizard(WizardHost& h) : host(h) {}
  WizardHost& host;
  QString sourcePath;        // the path chosen in step 1, exactly as chosen
  QString sourceFileName;    // its file-name part
  QString searchSourcePath;  // the path chosen in the search window
  QString searchFolder;      // the folder searched
  bool cameFromSearch = false;
  bool messageGuard = false;  // an exit question is open
};

inline constexpr const char* kTitle = "Palvara for Microsoft Outlook";

}  // namespace palvara::gui
