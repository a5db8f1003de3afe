// A host that answers the wizard without a person: questions from a list of answers (Yes when
// the list is empty), choosers from preset paths; it records what the wizard said and opened,
// and a terminate request instead of ending the process. Tests and the screenshot run use it.
#pragma once

#include <QList>
#include <QStringList>

#include <functional>

#include "gui/wizard.h"

namespace palvara::gui {

class ScriptedHost : public WizardHost {
 public:
  QString chooseFile(QWidget* parent, const QString& title, const QString& filters) override;
  QString chooseFolder(QWidget* parent, const QString& title, const QString& start) override;
  int chooseItem(QWidget* parent, const QString& title, const QString& label,
                 const QStringList& items) override;
  bool ask(QWidget* parent, const QString& question) override;
  void tell(QWidget* parent, const QString& text, QMessageBox::Icon icon) override;
  void openUrl(const QUrl& url) override { opened << url; }
  void terminate() override { ++terminations; }

  QString fileAnswer;
  QString folderAnswer;
  int itemAnswer = 0;        // the index chosen among items; -1 cancels
  QList<bool> answers;       // the next answers to questions, in order
  QStringList questions;     // every question asked
  QStringList told;          // every message shown
  QList<QMessageBox::Icon> icons;
  QStringList chooserTitles;
  QList<QUrl> opened;
  int terminations = 0;
  // Called with each message box as it would be shown (the screenshot run photographs it).
  std::function<void(QMessageBox*)> onBox;

 private:
  void show(QWidget* parent, const QString& text, QMessageBox::Icon icon, bool question);
};

// Runs the event loop until `done` holds or `timeoutMs` passes; returns `done()`.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 30000);

}  // namespace palvara::gui
