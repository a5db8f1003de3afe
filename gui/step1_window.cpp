#include "gui/step1_window.h"

#include <QBoxLayout>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "gui/recovery_window.h"
#include "gui/search_window.h"
#include "shell/activity_log.h"

namespace palvara::gui {

bool isStorePath(const QString& path) {
  const QString tail = path.right(3);
  return tail.compare("PST", Qt::CaseInsensitive) == 0 ||
         tail.compare("OST", Qt::CaseInsensitive) == 0;
}

QString sourceProblem(const QString& path) {
  const QFileInfo file(path);
  if (!file.exists()) return QString("The file \"%1\" does not exist.").arg(path);
  if (file.isDir()) return QString("\"%1\" is a folder, not an Outlook data file.").arg(path);
  if (!file.isFile()) return QString("\"%1\" is not a regular file.").arg(path);
  if (!file.isReadable()) return QString("The file \"%1\" cannot be read: permission denied.").arg(path);
  return {};
}

DiskSelection::DiskSelection(Wizard& wizard, QWidget* parent)
    : WizardDialog(wizard, "PalvaraSkin1.bmp", parent) {
  setObjectName("DiskSelection");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(24, 8, 24, 18);
  buildFrame(layout, "Step1.bmp");
  setHelpSection("step1");
  m_selectDirectory->setEnabled(false);
  m_save->setEnabled(false);
  connect(m_selectFile, &QAction::triggered, this, &DiskSelection::browse);

  auto* intro = new QLabel("Choose the Outlook data file that no longer opens. Palvara reads "
                           "it directly, shows what it can still recover, and saves the folders "
                           "you tick into a new PST file.", this);
  intro->setWordWrap(true);
  layout->addWidget(intro);
  layout->addSpacing(8);
  auto* group = new QGroupBox("Select PST File To Repair", this);
  auto* row = new QHBoxLayout(group);
  row->setContentsMargins(12, 14, 12, 14);
  m_path = new QLineEdit(group);
  m_path->setReadOnly(true);
  m_path->setPlaceholderText("No file chosen");
  m_path->setFocusPolicy(Qt::ClickFocus);  // shown, not typed in: Tab passes it by
  auto* browseButton = new QPushButton("Browse...", group);
  auto* searchButton = new QPushButton("Search", group);
  row->addWidget(m_path, 1);
  row->addWidget(browseButton);
  row->addWidget(searchButton);
  layout->addWidget(group);
  layout->addStretch(1);
  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  m_repair = new QPushButton("Repair", this);
  m_repair->setMinimumWidth(110);
  m_repair->setDefault(true);
  bottom->addWidget(m_repair);
  layout->addLayout(bottom);
  connect(browseButton, &QPushButton::clicked, this, &DiskSelection::browse);
  connect(searchButton, &QPushButton::clicked, this, &DiskSelection::search);
  connect(m_repair, &QPushButton::clicked, this, &DiskSelection::repair);
  resize(640, 400);
}

void DiskSelection::choose(const QString& path) {
  m_wizard.sourcePath = path;
  m_wizard.sourceFileName = QFileInfo(path).fileName();
  m_path->setText(path);
  WriteActivityLog("\r\n");
  WriteActivityLog("Step1:");
  WriteActivityLog("Select Source Path: " + path.toStdString());
}

void DiskSelection::browse() {
  const QString path = m_wizard.host.chooseFile(
      this, "Select PST File To Repair", "Outlook data files (*.pst *.ost);;All files (*)");
  if (!path.isEmpty()) choose(path);
}

void DiskSelection::search() {
  WriteActivityLog("\r\n");
  WriteActivityLog("Click The Search Button");
  auto* window = new Settings(m_wizard);
  openAbove(window);
  emit opened(window);
}

void DiskSelection::repair() {
  if (!isStorePath(m_wizard.sourcePath)) {
    m_wizard.host.tell(this, "Not a valid PST File", QMessageBox::Information);
    return;
  }
  if (const QString problem = sourceProblem(m_wizard.sourcePath); !problem.isEmpty()) {
    m_wizard.host.tell(this, problem, QMessageBox::Warning);
    return;
  }
  m_wizard.cameFromSearch = false;
  auto* window = new Repair_Recover(m_wizard);
  openAbove(window);
  emit opened(window);
}

}  // namespace palvara::gui
