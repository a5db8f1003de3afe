// The saving-status window (folder, count, destination and a real percentage, polled from the
// saving worker) and the saving-completed window.
#pragma once

#include <QTimer>

#include <functional>

#include "export/saving_driver.h"
#include "gui/wizard_dialog.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QPushButton;

namespace palvara::gui {

class ListPSTFile : public WizardDialog {
  Q_OBJECT
 public:
  // `poll` returns the latest progress; `stop` asks the stop question.
  ListPSTFile(Wizard& wizard, std::function<SavingProgress()> poll, std::function<void()> stop,
              QWidget* parent = nullptr);
  QProgressBar* bar() const { return m_bar; }
  QLabel* folderLabel() const { return m_folder; }
  QLabel* destinationLabel() const { return m_destination; }
  // Reads the progress once (the timer calls it: after 100 ms, then every 2 s).
  void refresh();
  // Closes the window at the end of the run.
  void finish();

 protected:
  void reject() override;  // Escape: the stop question
  void closeEvent(QCloseEvent* event) override;  // Close: the stop question too

 private:
  std::function<SavingProgress()> m_poll;
  std::function<void()> m_stop;
  QLabel* m_inProgress;
  QLabel* m_folder;
  QLabel* m_count;
  QLabel* m_destination;
  QProgressBar* m_bar;
  QTimer m_timer;
  bool m_closing = false;
};

// What a saving run wrote, as the saving-completed window tells it.
struct SavingReport {
  bool aborted = false;
  std::int32_t written = 0;
  std::int32_t notWritten = 0;
  QStringList files;     // the new files (or the folder the files went into)
  QStringList problems;  // a line per ticked folder whose items were not all written
  bool failed() const { return !aborted && (notWritten > 0 || !problems.isEmpty()); }
};

// The report of a finished run: the items written, and those of the ticked folders that were
// not (refused by the output, or never reached), folder by folder.
SavingReport savingReport(const SaveResult& result, bool aborted,
                          const std::vector<TreeFolder>& tree,
                          const std::vector<std::string>& selected);

class Last_Saving_Dialog : public WizardDialog {
  Q_OBJECT
 public:
  Last_Saving_Dialog(Wizard& wizard, const SavingReport& report, QWidget* parent = nullptr);
  QCheckBox* viewLogBox() const { return m_viewLog; }
  QLabel* messageLabel() const { return m_message; }
  QLabel* countsLabel() const { return m_counts; }
  QLabel* filesLabel() const { return m_files; }
  QLabel* problemsLabel() const { return m_problems; }

 public slots:
  void confirm();

 protected:
  void reject() override { QDialog::reject(); }
  bool closeAsksExit() const override { return false; }

 private:
  QLabel* m_message;
  QLabel* m_counts;
  QLabel* m_files;
  QLabel* m_problems;
  QCheckBox* m_viewLog;
};

}  // namespace palvara::gui
