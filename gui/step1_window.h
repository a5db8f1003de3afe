// Step 1: the main window. The user names the damaged store (Browse, or the store file search)
// and starts its recovery (Repair).
#pragma once

#include "gui/wizard_dialog.h"

class QLineEdit;
class QPushButton;

namespace palvara::gui {

class DiskSelection : public WizardDialog {
  Q_OBJECT
 public:
  DiskSelection(Wizard& wizard, QWidget* parent = nullptr);
  QLineEdit* pathField() const { return m_path; }
  QPushButton* repairButton() const { return m_repair; }
  // Takes `path` as the chosen store, as Browse does.
  void choose(const QString& path);

 public slots:
  void browse();
  void search();
  void repair();

 signals:
  // The window just opened above step 1 (the recovery window or the search window).
  void opened(QDialog* window);

 private:
  QLineEdit* m_path;
  QPushButton* m_repair;
};

// Whether Repair accepts `path`: it ends in "PST" or "OST" in any letter case.
bool isStorePath(const QString& path);
// Why the file at `path` cannot be repaired (missing, a folder, not a regular file, unreadable);
// empty when it can be opened.
QString sourceProblem(const QString& path);

}  // namespace palvara::gui
