// The Log menu (View Log, Clear Log, Change Path) and View Report.
#pragma once

#include "gui/wizard_dialog.h"

class QLineEdit;

namespace palvara::gui {

// Opens the activity log with the desktop opener; says so when there is none yet.
void viewLog(Wizard& wizard, QWidget* parent);
// "Do you want to clear log file ?"; Yes deletes the log.
void clearLog(Wizard& wizard, QWidget* parent);
// Runs the Change Log Path window modally.
void changeLogPath(Wizard& wizard, QWidget* parent);
// Opens the report file named by "RPTFile" with the desktop opener; says so when there is none.
void viewReport(Wizard& wizard, QWidget* parent);

// The Change Log Path window: the log folder, Browse..., Apply, Cancel.
class Cchangelog : public WizardDialog {
  Q_OBJECT
 public:
  Cchangelog(Wizard& wizard, QWidget* parent = nullptr);
  QLineEdit* pathField() const { return m_path; }

 public slots:
  void browse();
  void apply();

 protected:
  void reject() override { QDialog::reject(); }
  bool closeAsksExit() const override { return false; }

 private:
  QLineEdit* m_path;
};

}  // namespace palvara::gui
