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

class Last_Saving_Dialog : public WizardDialog {
  Q_OBJECT
 public:
  Last_Saving_Dialog(Wizard& wizard, bool aborted, QWidget* parent = nullptr);
  QCheckBox* viewLogBox() const { return m_viewLog; }
  QLabel* messageLabel() const { return m_message; }

 public slots:
  void confirm();

 protected:
  void reject() override { QDialog::reject(); }
  bool closeAsksExit() const override { return false; }

 private:
  QLabel* m_message;
  QCheckBox* m_viewLog;
};

}  // namespace palvara::gui
