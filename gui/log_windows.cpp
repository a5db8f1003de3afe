#include "gui/log_windows.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>

#include "shell/activity_log.h"
#include "shell/app_settings.h"

namespace palvara::gui {
namespace {

// The shell's questions and errors, answered through the wizard's host.
class HostPrompts : public ShellPrompts {
 public:
  HostPrompts(WizardHost& host, QWidget* parent) : host_(host), parent_(parent) {}
  bool Confirm(const std::string& question) override {
    return host_.ask(parent_, QString::fromStdString(question));
  }
  void ShowError(const std::string& message) override {
    host_.tell(parent_, QString::fromStdString(message), QMessageBox::Critical);
  }

 private:
  WizardHost& host_;
  QWidget* parent_;
};

QString fromPath(const std::filesystem::path& path) { return QString::fromStdString(path.string()); }

}  // namespace

void viewLog(Wizard& wizard, QWidget* parent) {
  const QString log = fromPath(ActivityLogFile());
  if (!QFile::exists(log) || QFileInfo(log).size() == 0) {
    wizard.host.tell(parent, "The activity log is empty: nothing has been written to " + log + " yet.",
                     QMessageBox::Information);
    return;
  }
  QFile::setPermissions(log, QFile::permissions(log) | QFile::WriteOwner);
  wizard.host.openUrl(QUrl::fromLocalFile(log));
}

void clearLog(Wizard& wizard, QWidget* parent) {
  HostPrompts prompts(wizard.host, parent);
  ClearLog(prompts);
}

void changeLogPath(Wizard& wizard, QWidget* parent) {
  auto* window = new Cchangelog(wizard, parent);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->open();
}

void viewReport(Wizard& wizard, QWidget* parent) {
  const QString report = QString::fromStdString(AppSettings::Read("RPTFile"));
  if (report.isEmpty() || !QFileInfo(report).isFile()) {
    wizard.host.tell(parent,
                     report.isEmpty() ? "There is no report to show: no report file is set."
                                      : "There is no report to show: " + report + " does not exist.",
                     QMessageBox::Information);
    return;
  }
  wizard.host.openUrl(QUrl::fromLocalFile(report));
}

Cchangelog::Cchangelog(Wizard& wizard, QWidget* parent)
    : WizardDialog(wizard, "msgskin.bmp", parent) {
  setObjectName("Cchangelog");
  setHelpSection("change-log-path");
  auto* layout = new QVBoxLayout(this);
  auto* group = new QGroupBox("Change Log Path", this);
  auto* row = new QHBoxLayout(group);
  m_path = new QLineEdit(QString::fromStdString(CurrentLogPathSetting()), group);
  m_path->setMinimumWidth(300);
  auto* browseButton = new QPushButton("Browse...", group);
  row->addWidget(m_path, 1);
  row->addWidget(browseButton);
  layout->addWidget(group);
  auto* buttons = new QDialogButtonBox(this);
  QPushButton* applyButton = buttons->addButton("Apply", QDialogButtonBox::AcceptRole);
  QPushButton* cancelButton = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
  layout->addWidget(buttons);
  connect(browseButton, &QPushButton::clicked, this, &Cchangelog::browse);
  connect(applyButton, &QPushButton::clicked, this, &Cchangelog::apply);
  connect(cancelButton, &QPushButton::clicked, this, &QDialog::reject);
  setWindowTitle("Change Log Path");
  resize(480, 150);
}

void Cchangelog::browse() {
  const QString chosen = m_wizard.host.chooseFolder(this, "Select Folder:", m_path->text());
  if (!chosen.isEmpty()) m_path->setText(chosen);
}

void Cchangelog::apply() {
  HostPrompts prompts(m_wizard.host, this);
  if (ChangeLogPath(m_path->text().toStdString(), prompts)) accept();
}

}  // namespace palvara::gui
