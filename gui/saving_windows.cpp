#include "gui/saving_windows.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include "gui/log_windows.h"
#include "shell/activity_log.h"

namespace palvara::gui {

ListPSTFile::ListPSTFile(Wizard& wizard, std::function<SavingProgress()> poll,
                         std::function<void()> stop, QWidget* parent)
    : WizardDialog(wizard, "msgskin.bmp", parent), m_poll(std::move(poll)), m_stop(std::move(stop)) {
  setObjectName("ListPSTFile");
  setHelpSection("saving-status");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 14);
  auto* group = new QGroupBox("Saving Status", this);
  auto* form = new QFormLayout(group);
  m_folder = new QLabel(group);
  m_count = new QLabel(group);
  m_destination = new QLabel(group);
  m_destination->setWordWrap(true);
  m_destination->setMinimumWidth(300);
  form->addRow("Folder Name :", m_folder);
  form->addRow("No. of Mails  :", m_count);
  form->addRow("Destination Path :", m_destination);
  layout->addWidget(group);
  m_inProgress = new QLabel("Saving Process in Progress...", this);
  layout->addWidget(m_inProgress);
  m_bar = new QProgressBar(this);
  m_bar->setRange(0, 100);
  m_bar->hide();
  layout->addWidget(m_bar);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  auto* stopButton = new QPushButton("Stop", this);
  buttons->addWidget(stopButton);
  layout->addLayout(buttons);
  connect(stopButton, &QPushButton::clicked, this, [this] { m_stop(); });
  m_timer.setSingleShot(true);
  connect(&m_timer, &QTimer::timeout, this, &ListPSTFile::refresh);
  m_timer.start(100);
  resize(480, 220);
}

void ListPSTFile::refresh() {
  m_timer.stop();
  const SavingProgress p = m_poll();
  m_folder->setText(QString::fromStdString(p.currentFolder));
  m_count->setText(QString::fromStdString(p.countText));
  // The file being written; the store folder only until the first file is begun.
  m_destination->setText(
      QString::fromStdString(p.outputFile.empty() ? p.destination : p.outputFile));
  if (!p.currentFolder.empty()) {
    m_bar->show();
    m_inProgress->hide();
  }
  if (p.total > 0) {
    m_bar->setRange(0, 100);
    const qint64 percent = static_cast<qint64>(p.saved) * 100 / p.total;
    m_bar->setValue(static_cast<int>(std::clamp<qint64>(percent, 0, 100)));
  } else {
    m_bar->setRange(0, 0);  // busy while the total is not known
  }
  m_timer.start(2000);
}

void ListPSTFile::reject() { m_stop(); }

void ListPSTFile::closeEvent(QCloseEvent* event) {
  if (m_closing) {
    event->accept();
    return;
  }
  event->ignore();
  m_stop();
}

void ListPSTFile::finish() {
  m_closing = true;
  done(QDialog::Accepted);
}

SavingReport savingReport(const SaveResult& result, bool aborted,
                          const std::vector<TreeFolder>& tree,
                          const std::vector<std::string>& selected) {
  SavingReport report;
  report.aborted = aborted;
  report.written = result.Written();
  for (const auto& file : result.outputFiles) report.files << QString::fromStdString(file.string());
  if (aborted) return report;  // a stopped run leaves the rest unwritten on purpose
  std::int32_t missing = 0;
  for (const FolderShortfall& s : Shortfalls(tree, selected, result)) {
    missing += s.counted - s.written;
    report.problems << QString("%1: %2 of %3 items not written")
                           .arg(QString::fromStdString(s.folder))
                           .arg(s.counted - s.written)
                           .arg(s.counted);
  }
  report.notWritten = std::max(missing, result.failedItems);
  return report;
}

Last_Saving_Dialog::Last_Saving_Dialog(Wizard& wizard, const SavingReport& report, QWidget* parent)
    : WizardDialog(wizard, "msgskin.bmp", parent) {
  setObjectName("Last_Saving_Dialog");
  setHelpSection("saving-completed");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 14);
  auto* group = new QGroupBox("Open Log Path", this);
  auto* inner = new QVBoxLayout(group);
  const char* message = report.aborted ? "Saving aborted"
                        : report.failed()
                            ? "Saving failed: items of the ticked folders were not written"
                            : "Saving Completed Sucessfully";
  m_message = new QLabel(message, group);
  m_message->setObjectName(report.failed() ? "failedMessage" : "message");
  m_message->setWordWrap(true);
  QFont bold = m_message->font();
  bold.setBold(true);
  m_message->setFont(bold);
  if (report.failed()) m_message->setStyleSheet("color: #b00020;");
  m_counts = new QLabel(
      QString("%1 items written, %2 not written").arg(report.written).arg(report.notWritten),
      group);
  m_files = new QLabel(group);
  m_files->setTextFormat(Qt::PlainText);
  m_files->setWordWrap(true);
  m_files->setTextInteractionFlags(Qt::TextSelectableByMouse);
  if (!report.files.isEmpty()) {
    m_files->setText((report.files.size() == 1 ? "Written to: " : "Written to:\n") +
                     report.files.join("\n"));
  }
  m_files->setVisible(!report.files.isEmpty());
  m_problems = new QLabel(report.problems.join("\n"), group);
  m_problems->setTextFormat(Qt::PlainText);
  m_problems->setWordWrap(true);
  m_problems->setVisible(!report.problems.isEmpty());
  m_viewLog = new QCheckBox("View Log File", group);
  inner->addWidget(m_message);
  inner->addWidget(m_counts);
  inner->addWidget(m_files);
  inner->addWidget(m_problems);
  inner->addWidget(m_viewLog);
  layout->addWidget(group);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &Last_Saving_Dialog::confirm);
  layout->addWidget(buttons);
  setMinimumWidth(460);
  resize(520, sizeHint().height());
}

void Last_Saving_Dialog::confirm() {
  if (m_viewLog->isChecked()) viewLog(m_wizard, this);
  m_wizard.host.terminate();
  // Still here: the process could not end itself.
  WriteActivityLog("\r\n");
  WriteActivityLog("*******************************End View Log File**********************************");
  WriteActivityLog("\r\n");
  accept();
}

}  // namespace palvara::gui
