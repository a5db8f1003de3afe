#include "gui/search_window.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QFileInfo>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>

#include "gui/elided_label.h"
#include "gui/recovery_window.h"
#include "gui/step1_window.h"
#include "gui/workers.h"
#include "shell/activity_log.h"

namespace palvara::gui {
namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

void SearchWorker::run() {
  try {
    m_result = StoreSearch(m_options).Run(*this, m_control);
  } catch (...) {
    m_result.outcome = StoreSearchResult::Outcome::kStopped;
  }
  emit finished();
}

void SearchWorker::Found(const FoundStoreFile& file, std::size_t count,
                         const std::filesystem::path& folder) {
  QString path = qs(file.path.string());
  if (file.isFolder && !path.endsWith('/')) path += '/';
  emit found(qs(file.name), path, qs(SearchSizeText(file.size)),
             qs(SearchModifiedText(file.modified)), static_cast<int>(count), qs(folder.string()));
}

void SearchWorker::SearchingFolder(const std::filesystem::path& folder, std::size_t count) {
  emit searching(qs(folder.string()), static_cast<int>(count));
}

void SearchWorker::LogLine(const std::string& entry) { WriteActivityLog(entry); }

Settings::Settings(Wizard& wizard, QWidget* parent)
    : WizardDialog(wizard, "msgskinsearch.bmp", parent) {
  setObjectName("Settings");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(18, 8, 18, 14);
  buildFrame(layout, "Step5.bmp");
  setHelpSection("search");
  enableViewReportByReport();
  m_selectFile->setEnabled(false);
  m_save->setEnabled(false);
  connect(m_selectDirectory, &QAction::triggered, this, &Settings::browse);

  auto* group = new QGroupBox("Searching Information", this);
  auto* g = new QVBoxLayout(group);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel("Searching Directory :", group));
  m_folder = new QLineEdit(group);
  m_folder->setReadOnly(true);
  m_folder->setFocusPolicy(Qt::ClickFocus);  // chosen with Browse: Tab passes it by
  m_browse = new QPushButton("Bro&wse", group);
  m_find = new QPushButton("Find Now", group);
  m_find->setMinimumWidth(90);
  row->addWidget(m_folder, 1);
  row->addWidget(m_browse);
  row->addWidget(m_find);
  g->addLayout(row);
  m_subfolders = new QCheckBox("Include subfolders", group);
  m_subfolders->setChecked(true);
  g->addWidget(m_subfolders);
  layout->addWidget(group);

  m_results = new QTreeWidget(this);
  m_results->setRootIsDecorated(false);
  m_results->setUniformRowHeights(true);
  m_results->setHeaderLabels({"Name", "In Folder", "Size", "Modified"});
  const int widths[] = {150, 300, 100, 120};
  for (int c = 0; c < 4; ++c) m_results->setColumnWidth(c, widths[c]);
  m_results->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  layout->addWidget(m_results, 1);
  m_status = new ElidedLabel("0 items found", this);
  layout->addWidget(m_status);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  m_back = new QPushButton("Back", this);
  m_repair = new QPushButton("Repair", this);
  for (QPushButton* b : {m_back, m_repair}) {
    b->setMinimumWidth(96);
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  layout->addLayout(buttons);
  m_repair->setEnabled(false);
  connect(m_browse, &QPushButton::clicked, this, &Settings::browse);
  connect(m_find, &QPushButton::clicked, this, &Settings::findOrStop);
  connect(m_back, &QPushButton::clicked, this, &Settings::goBack);
  connect(m_repair, &QPushButton::clicked, this, &Settings::repair);
  connect(m_results, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
    m_wizard.searchSourcePath = item->text(1);
  });
  m_wizard.cameFromSearch = true;
  resize(780, 540);
}

Settings::~Settings() { stopSearch(); }

void Settings::browse() {
  const QString folder = m_wizard.host.chooseFolder(this, kSearchBrowseTitle, m_folder->text());
  if (folder.isEmpty()) return;
  m_folder->setText(folder);
  m_wizard.searchFolder = folder;
  WriteActivityLog(kSearchLogSelectPath);
  WriteActivityLog(folder.toStdString());
}

void Settings::findOrStop() {
  m_back->setEnabled(false);
  m_browse->setEnabled(false);
  m_selectDirectory->setEnabled(false);
  if (searching()) {
    m_control.RequestStopSearch();
    return;
  }
  const QString folder = m_wizard.searchFolder;
  if (folder.isEmpty() || !QFileInfo(folder).isDir()) {
    m_wizard.host.tell(this, kSearchNotAValidDirectory, QMessageBox::Question);
    m_browse->setEnabled(true);
    m_selectDirectory->setEnabled(true);
    m_back->setEnabled(true);
    return;
  }
  WriteActivityLog("\r\n");
  WriteActivityLog(kSearchLogStart);
  WriteActivityLog(folder.toStdString());
  m_results->clear();
  m_status->setText("0 items found");
  m_repair->setEnabled(false);
  m_control.stopSearch = false;
  StoreSearchOptions options;
  options.baseFolder = folder.toStdString();
  options.includeSubfolders = m_subfolders->isChecked();
  m_worker = std::make_unique<SearchWorker>(options, m_control);
  connect(m_worker.get(), &SearchWorker::found, this,
          [this](const QString& name, const QString& path, const QString& size,
                 const QString& modified, int count, const QString& current) {
            auto* item = new QTreeWidgetItem(m_results, {name, path, size, modified});
            item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
            // The columns are narrow for long names: the whole text shows on hover.
            item->setToolTip(0, name);
            item->setToolTip(1, path);
            m_status->setText(qs(SearchProgressText(static_cast<std::size_t>(count),
                                                    current.toStdString())));
          });
  connect(m_worker.get(), &SearchWorker::searching, this, [this](const QString& current, int count) {
    m_status->setText(qs(SearchProgressText(static_cast<std::size_t>(count), current.toStdString())));
  });
  connect(m_worker.get(), &SearchWorker::finished, this, &Settings::searchFinished);
  m_find->setText("Stop");
  m_thread = new QThread;
  startOnThread(m_worker.get(), m_thread);
}

void Settings::searchFinished() {
  if (!m_worker) return;
  join(m_thread);
  delete m_thread;
  m_thread = nullptr;
  const std::size_t n = m_worker->result().found.size();
  m_worker.reset();
  m_find->setText("Find Now");
  m_status->setText(qs(SearchFoundText(n)));
  m_repair->setEnabled(n > 0);
  m_back->setEnabled(true);
  m_browse->setEnabled(true);
  m_selectDirectory->setEnabled(true);
  emit searchEnded();
}

void Settings::stopSearch() {
  if (m_thread == nullptr) return;
  m_control.RequestStopSearch();
  join(m_thread);
  delete m_thread;
  m_thread = nullptr;
  m_worker.reset();
}

void Settings::repair() {
  QTreeWidgetItem* item = m_results->currentItem();
  if (item == nullptr) {
    m_wizard.host.tell(this, kSearchSelectTheFile, QMessageBox::Information);
    return;
  }
  const QString path = item->text(1);
  // A folder whose name matched, or a file that only holds ".pst" in its name (old.pst.bak):
  // nothing to open.
  if (path.endsWith('/') || !isStorePath(path)) {
    m_wizard.host.tell(this, "Not a valid PST File", QMessageBox::Information);
    return;
  }
  if (const QString problem = sourceProblem(path); !problem.isEmpty()) {  // gone since the search
    m_wizard.host.tell(this, problem, QMessageBox::Warning);
    return;
  }
  m_wizard.sourceFileName = item->text(0);
  m_wizard.sourcePath = path;
  m_wizard.searchSourcePath = path;
  WriteActivityLog("\r\n");
  WriteActivityLog("Step1:");
  WriteActivityLog("Select Source Path: " + path.toStdString());
  m_wizard.cameFromSearch = true;
  auto* window = new Repair_Recover(m_wizard);
  openAbove(window);
  emit opened(window);
}

void Settings::goBack() {
  if (searching()) return;
  WriteActivityLog(kSearchLogBack);
  if (!m_wizard.host.ask(this, "Do you want to go to Previous Step ?")) return;
  closeQuietly();
}

}  // namespace palvara::gui
