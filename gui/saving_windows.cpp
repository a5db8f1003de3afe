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
  m_destination->setText(QString::fromStdString(p.destination));
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

Last_Saving_Dialog::Last_Saving_Dialog(Wizard& wizard, bool aborted, QWidget* parent)
    : WizardDialog(wizard, "msgskin.bmp", parent) {
  setObjectName("Last_Saving_Dialog");
  setHelpSection("saving-completed");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(20, 16, 20, 14);
  auto* group = new QGroupBox("Open Log Path", this);
  auto* inner = new QVBoxLayout(group);
  m_message = new QLabel(aborted ? "Saving aborted" : "Saving Completed Sucessfully", group);
  QFont bold = m_message->font();
  bold.setBold(true);
  m_message->setFont(bold);
  m_viewLog = new QCheckBox("View Log File", group);
  inner->addWidget(m_message);
  inner->addWidget(m_viewLog);
  layout->addWidget(group);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &Last_Saving_Dialog::confirm);
  layout->addWidget(buttons);
  resize(400, 190);
}

void Last_Saving_Dialog::confirm() {
  if (m_viewLog->isChecked()) viewLog(m_wizard);
  m_wizard.host.terminate();
  // Still here: the process could not end itself.
  WriteActivityLog("\r\n");
  WriteActivityLog("*******************************End View Log File**********************************");
  WriteActivityLog("\r\n");
  accept();
}

}  // namespace palvara::gui
