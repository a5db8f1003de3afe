#include "gui/recovery_window.h"

#include <QBoxLayout>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableView>
#include <QTreeView>

#include "export/open_output.h"
#include "gui/elided_label.h"
#include "gui/saving_windows.h"
#include "gui/skin.h"
#include "shell/activity_log.h"
#include "shell/app_paths.h"

namespace palvara::gui {
namespace {

using C = AnalysisCounters;

// The summary labels, as the window shows them, and the counter each one shows.
constexpr std::pair<const char*, int> kCounterLabels[] = {
    {"Inbox", C::kInbox},         {"Outbox", C::kOutbox},         {"Drafts", C::kDrafts},
    {"Deleted Items ", C::kDeletedItems}, {"Junk E-mails", C::kJunkEmail},
    {"Sent Items", C::kSentItems}, {"Calendar", C::kCalendar},    {"Contacts", C::kContacts},
    {"Tasks", C::kTasks},         {"Journal", C::kJournal},       {"Notes", C::kNotes},
    {"Sync Issues", C::kSyncIssues}};

// What Save can write, the new PST first (the default), then the open formats under the names
// that open_output parses; nullptr for the PST.
struct SaveFormat {
  const char* label;
  const char* name;
};
constexpr SaveFormat kSaveFormats[] = {{"PST file", nullptr},
                                       {"mbox", "mbox"},
                                       {"Maildir", "maildir"},
                                       {"EML files", "eml"},
                                       {"All of mbox, Maildir and EML", "all"}};

// The note a row of the notes list shows.
const NoteEntry* noteOf(const AnalysisResult& result, std::uint32_t nodeId) {
  for (const NoteEntry& n : result.notes) {
    if (n.nodeId == nodeId) return &n;
  }
  return nullptr;
}

bool isPlaceholderFolder(const QString& caption) {
  return caption == "Calendar" || caption == "Contacts" || caption == "Journal" ||
         caption == "Tasks" || caption == "Notes";
}

}  // namespace

Repair_Recover::Repair_Recover(Wizard& wizard, QWidget* parent)
    : WizardDialog(wizard, "PalvaraSkin2.bmp", parent) {
  setObjectName("Repair_Recover");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 8, 14, 12);
  buildFrame(layout, "Step2.bmp");
  setHelpSection("recovery");
  enableViewReportByReport();
  m_selectFile->setEnabled(false);
  m_selectDirectory->setEnabled(false);
  m_save->setEnabled(false);
  connect(m_save, &QAction::triggered, this, &Repair_Recover::save);
  // The Log entries wait for the end of the analysis.
  for (QAction* a : {m_viewLog, m_clearLog, m_changePath}) a->setEnabled(false);

  auto* sourceRow = new QHBoxLayout;
  auto* sourceCaption = new QLabel("Source Path :", this);
  QFont bold = sourceCaption->font();
  bold.setBold(true);
  sourceCaption->setFont(bold);
  m_sourcePath = new ElidedLabel(wizard.cameFromSearch ? wizard.searchSourcePath : wizard.sourcePath, this);
  sourceRow->addWidget(sourceCaption);
  sourceRow->addWidget(m_sourcePath, 1);
  layout->addLayout(sourceRow);

  m_tree = new CFolderTreeCtrl1(this);
  m_tree->setImages(loadIcons("tree", CFolderTreeCtrl1::kImageCount));
  m_treeView = new QTreeView(this);
  m_treeView->setModel(m_tree);
  m_treeView->setHeaderHidden(true);
  m_treeView->setMinimumWidth(220);
  // The current folder is listed, whether a click, the arrow keys or Enter made it current.
  connect(m_treeView->selectionModel(), &QItemSelectionModel::currentChanged, this,
          [this](const QModelIndex& current) { listFolder(current); });
  connect(m_treeView, &QTreeView::activated, this, &Repair_Recover::listFolder);

  m_list = new ItemListModel(this);
  m_list->setIcons(loadIcons("list", 14));
  m_listView = new QTableView(this);
  m_listView->setModel(m_list);
  m_listView->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_listView->setSelectionMode(QAbstractItemView::SingleSelection);
  m_listView->setShowGrid(true);
  m_listView->verticalHeader()->hide();
  m_listView->verticalHeader()->setDefaultSectionSize(22);
  m_listView->horizontalHeader()->setStretchLastSection(true);
  m_listView->setWordWrap(false);
  auto columnWidths = [this] {
    for (int c = 0; c < m_list->columnCount(); ++c) {
      m_listView->setColumnWidth(c, m_list->columnWidth(c));
    }
  };
  columnWidths();  // the mail columns, before the first listing too
  connect(m_list, &QAbstractItemModel::modelReset, this, columnWidths);
  m_loader = new ListLoader(m_list, this);
  connect(m_listView->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &Repair_Recover::showPreview);

  auto* previewBox = new QWidget(this);
  auto* previewLayout = new QVBoxLayout(previewBox);
  previewLayout->setContentsMargins(0, 0, 0, 0);
  auto* headerGrid = new QGridLayout;
  const char* captions[] = {"From :   ", "To :", "Subject :"};
  for (int i = 0; i < 3; ++i) {
    auto* caption = new QLabel(captions[i], previewBox);
    caption->setFont(bold);
    m_header[static_cast<std::size_t>(i)] = new QLabel(previewBox);
    m_header[static_cast<std::size_t>(i)]->setTextFormat(Qt::PlainText);
    m_header[static_cast<std::size_t>(i)]->setAlignment(Qt::AlignLeft | Qt::AlignAbsolute |
                                                       Qt::AlignVCenter);
    headerGrid->addWidget(caption, i, 0);
    headerGrid->addWidget(m_header[static_cast<std::size_t>(i)], i, 1);
  }
  headerGrid->setColumnStretch(1, 1);
  previewLayout->addLayout(headerGrid);
  m_preview = new PreviewBrowser(previewBox);
  previewLayout->addWidget(m_preview, 1);

  auto* right = new QSplitter(Qt::Vertical, this);
  right->addWidget(m_listView);
  right->addWidget(previewBox);
  right->setStretchFactor(0, 1);
  right->setStretchFactor(1, 1);
  auto* middle = new QSplitter(Qt::Horizontal, this);
  middle->addWidget(m_treeView);
  middle->addWidget(right);
  middle->setStretchFactor(1, 1);
  middle->setSizes({240, 640});
  auto* body = new QHBoxLayout;
  body->addWidget(middle, 1);
  body->addWidget(buildCounters());
  layout->addLayout(body, 1);

  m_progress = new QProgressBar(this);
  m_progress->setRange(0, 100);
  layout->addWidget(m_progress);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  m_back = new QPushButton("Back", this);
  m_pause = new QPushButton("Pause", this);
  m_stop = new QPushButton("Stop", this);
  m_saveButton = new QPushButton("Save", this);
  for (QPushButton* b : {m_back, m_pause, m_stop, m_saveButton}) {
    b->setMinimumWidth(96);
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  layout->addLayout(buttons);
  connect(m_back, &QPushButton::clicked, this, &Repair_Recover::goBack);
  connect(m_pause, &QPushButton::clicked, this, &Repair_Recover::pauseOrResume);
  connect(m_stop, &QPushButton::clicked, this, &Repair_Recover::stopAnalysis);
  connect(m_saveButton, &QPushButton::clicked, this, &Repair_Recover::save);
  m_saveButton->setEnabled(false);
  resize(1120, 720);

  m_store = std::make_unique<BrowseStore>();
  startAnalysis();
  m_preview->showPage("progress.html");
  m_back->setEnabled(false);
}

Repair_Recover::~Repair_Recover() { stopWorkers(); }

QWidget* Repair_Recover::buildCounters() {
  auto* group = new QGroupBox("Summary", this);
  auto* grid = new QGridLayout(group);
  grid->setVerticalSpacing(8);
  int row = 0;
  for (const auto& [label, counter] : kCounterLabels) {
    auto* value = new QLabel("0", group);
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    value->setMinimumWidth(56);
    value->setObjectName(QString("counter%1").arg(counter));
    grid->addWidget(new QLabel(label, group), row, 0);
    grid->addWidget(value, row, 1);
    m_counters[static_cast<std::size_t>(counter)] = value;
    ++row;
  }
  grid->setRowStretch(row, 1);
  // What the analysis found damaged and what the recovery pass brought back, once it has ended.
  m_damageButton = new QPushButton("Damage", group);
  m_damageButton->setAutoDefault(false);
  m_damageButton->setEnabled(false);
  connect(m_damageButton, &QPushButton::clicked, this, &Repair_Recover::showDamage);
  grid->addWidget(m_damageButton, row + 1, 0, 1, 2);
  group->setFixedWidth(190);
  return group;
}

void Repair_Recover::startAnalysis() {
  AnalysisOptions options;
  options.sourcePath = m_wizard.sourcePath.toStdString();
  options.searchSourcePath = m_wizard.searchSourcePath.toStdString();
  options.cameFromSearch = m_wizard.cameFromSearch;
  m_analysisWorker = std::make_unique<AnalysisWorker>(options, m_control);
  AnalysisWorker* w = m_analysisWorker.get();
  connect(w, &AnalysisWorker::folderAdded, this, [this](const QString& path, const QString& cls) {
    const QModelIndex last = m_tree->addFolderPath(path, cls);
    for (QModelIndex i = last; i.isValid(); i = i.parent()) m_treeView->expand(i);
  });
  connect(w, &AnalysisWorker::countersChanged, this, [this](const QList<int>& values) {
    for (int i = 0; i < values.size() && i < C::kCount; ++i) {
      m_counters[static_cast<std::size_t>(i)]->setText(QString::number(values[i]));
    }
  });
  connect(w, &AnalysisWorker::progressRange, this,
          [this](int maximum) { m_progress->setRange(0, std::max(maximum, 1)); });
  connect(w, &AnalysisWorker::progress, this, [this](int position) {
    m_progress->setValue(std::min(position, m_progress->maximum()));
  });
  connect(w, &AnalysisWorker::pageShown, this, [this](const QString& page) { m_preview->showPage(page); });
  connect(w, &AnalysisWorker::finished, this, &Repair_Recover::analysisFinished);
  m_analysisThread = new QThread;
  startOnThread(w, m_analysisThread);
}

void Repair_Recover::analysisFinished() {
  if (!m_analysisWorker) return;  // stopped and joined already
  join(m_analysisThread);
  delete m_analysisThread;
  m_analysisThread = nullptr;
  m_result = m_analysisWorker->takeResult();
  const QStringList messages = m_analysisWorker->messages();
  m_analysisWorker.reset();
  if (!m_result) m_result = std::make_unique<AnalysisResult>();
  if (m_result->outcome == AnalysisResult::Outcome::kCannotOpen) {
    // Said with the reason; the user chooses another file in the window before.
    const QString why = QString::fromStdString(m_result->openError);
    m_wizard.host.tell(this, messages.value(0, kMessageFileInUse) + (why.isEmpty() ? "" : "\n" + why),
                       QMessageBox::Warning);
    emit analysisEnded();
    closeQuietly();
    return;
  }
  for (const QString& text : messages) m_wizard.host.tell(this, text, QMessageBox::Information);
  // The item list, the preview and Save read the store the analysis opened and indexed.
  m_store->adopt(m_result->store, m_result->source);
  m_progress->hide();
  m_selectDirectory->setEnabled(false);
  for (QAction* a : {m_viewLog, m_clearLog, m_changePath}) a->setEnabled(true);
  const bool anything = m_result->HasItems() && m_tree->hasItems();
  m_save->setEnabled(anything);
  m_saveButton->setEnabled(anything);
  m_back->setEnabled(true);
  m_stop->setEnabled(false);
  m_pause->setEnabled(false);
  m_damageButton->setEnabled(true);
  if (m_treeView->currentIndex().isValid()) folderClicked(m_treeView->currentIndex());
  emit analysisEnded();
}

void Repair_Recover::pauseOrResume() {
  if (!analysing()) return;
  if (m_pause->text().compare("Pause", Qt::CaseInsensitive) == 0) {
    m_pause->setText("Resume");
    m_control.Pause();
  } else {
    m_pause->setText("Pause");
    if (m_stopPending) m_control.RequestStopAnalysis();
    m_control.Resume();
  }
}

void Repair_Recover::stopAnalysis() {
  if (!analysing()) return;
  const bool wasPaused = m_control.Paused();
  m_control.Pause();  // held at its next safe point while the question is open
  const bool yes = m_wizard.host.ask(this, "Do you want to stop Analysis Process ?");
  m_stop->setEnabled(!yes);
  if (wasPaused) {
    // A paused run stays held until Resume, and stops then.
    m_stopPending = yes;
    return;
  }
  m_control.stopAnalysis = yes;
  m_control.Resume();
}

void Repair_Recover::folderClicked(const QModelIndex& index) {
  if (!index.isValid()) return;
  if (m_treeView->currentIndex() != index) {
    m_treeView->setCurrentIndex(index);  // listed as the current folder
    return;
  }
  listFolder(index);
}

void Repair_Recover::listFolder(const QModelIndex& index) {
  if (!index.isValid()) return;
  // Nothing of the folder listed before stays on screen.
  for (QLabel* l : m_header) l->clear();
  if (m_result == nullptr) return;  // listed once the analysis has ended
  m_preview->showItem({});
  m_loader->start(m_tree->folderPathOf(index), m_result.get(), m_store.get());
}

void Repair_Recover::showPreview(const QModelIndex& current) {
  const ListRow* row = current.isValid() ? m_list->row(current.row()) : nullptr;
  if (m_list->kind() == ListKind::kNotes && row != nullptr && m_result != nullptr) {
    for (QLabel* l : m_header) l->clear();
    m_header[2]->setText(row->cells.value(0));
    const NoteEntry* note = noteOf(*m_result, row->nodeId);
    const QString text = note != nullptr && note->body ? QString::fromStdString(*note->body) : "";
    m_preview->showItem({textPage(text), {}});
    return;
  }
  const QString caption = m_tree->data(m_treeView->currentIndex(), Qt::DisplayRole).toString();
  if (isPlaceholderFolder(caption)) {
    for (QLabel* l : m_header) l->clear();
    m_preview->showPage("Preview.html");
    return;
  }
  if (row == nullptr || row->cells.size() < 3 || m_store == nullptr || analysing()) return;
  m_header[2]->setText(row->cells[1]);
  m_header[0]->setText(row->cells[0]);
  m_header[1]->setText(row->cells[2]);
  const std::unique_ptr<SourceMessage> message = m_store->message(row->nodeId);
  m_preview->showItem(message ? previewOf(*message) : PreviewContent{});
}

void Repair_Recover::showDamage() {
  if (m_result == nullptr || analysing()) return;
  if (m_damage == nullptr) {
    m_damage = new DamageView(*m_result, this);
    m_damage->setAttribute(Qt::WA_DeleteOnClose);
  }
  m_damage->show();
  m_damage->raise();
  m_damage->activateWindow();
}

void Repair_Recover::save() {
  if (analysing() || saving()) return;
  const QString probe = QDir(QString::fromStdString(AppPaths::ApplicationFolder().string()))
                            .filePath("OutlookProbe");
  if (QFileInfo(probe).isExecutable() && QProcess::execute(probe, {}) == 0) {
    m_wizard.host.tell(this, "Microsoft Outlook not found installed or corrupted. Please install "
                             "Microsoft Outlook & re-run Application.", QMessageBox::Critical);
    m_wizard.host.terminate();
    return;
  }
  // Nothing ticked: said before any dialog is shown.
  m_selected = m_tree->collectTickedFolders();
  if (m_selected.isEmpty()) {
    m_wizard.host.tell(this, "Please Select Any Folder", QMessageBox::Warning);
    return;
  }
  WriteActivityLog("\r\n");
  WriteActivityLog("Step3: Saving PST File");
  const QString folder = m_wizard.host.chooseFolder(this, "Select the Destination Path", QString());
  if (folder.isEmpty()) return;
  if (!QFileInfo(folder).isDir()) {
    m_wizard.host.tell(this, "Saving path doesn't exist, select another path for saving ",
                       QMessageBox::Information);
    return;
  }
  QStringList formats;
  for (const SaveFormat& f : kSaveFormats) formats << f.label;
  const int format = m_wizard.host.chooseItem(this, "Save As", "Save the recovered items as:", formats);
  if (format < 0 || format >= formats.size()) return;
  m_destination = folder + (folder.endsWith('/') ? "" : "/") + "Repair";
  WriteActivityLog("Target Path: " + m_destination.toStdString());
  const char* openFormat = kSaveFormats[format].name;
  if (openFormat != nullptr) WriteActivityLog(std::string("Export Format: ") + openFormat);
  SaveOptions options;
  options.sourcePath = m_result->source;
  options.searchSourcePath = m_wizard.searchSourcePath.toStdString();
  options.targetFolder = m_destination.toStdString();
  options.output.defaultTargetFolder = m_destination.toStdString();
  options.output.sourceFileName = m_result->source.filename().string();
  for (const QString& f : m_selected) options.selectedFolders.push_back(f.toStdString());
  options.analysisCounters = m_result->counters;
  options.store = m_store->analysed();
  std::unique_ptr<SavingOutput> output;
  if (openFormat != nullptr) {
    output = std::make_unique<OpenFormatOutput>(*ParseOpenFormats(openFormat), options.targetFolder);
  }
  m_savingWorker = std::make_unique<SavingWorker>(options, m_control, std::move(output));
  connect(m_savingWorker.get(), &SavingWorker::finished, this, &Repair_Recover::savingFinished);
  m_savingThread = new QThread;
  startOnThread(m_savingWorker.get(), m_savingThread);
  SavingWorker* worker = m_savingWorker.get();
  m_statusWindow = new ListPSTFile(m_wizard, [worker] { return worker->latest(); },
                                   [this] { askStopSaving(); }, this);
  m_statusWindow->setAttribute(Qt::WA_DeleteOnClose);
  m_statusWindow->setWindowModality(Qt::ApplicationModal);
  m_statusWindow->show();
}

void Repair_Recover::askStopSaving() {
  if (!saving()) return;
  const bool wasPaused = m_control.Paused();
  m_control.Pause();
  m_control.stopSaving = m_wizard.host.ask(m_statusWindow, "Do you want to stop Saving ?");
  if (!wasPaused) m_control.Resume();
}

void Repair_Recover::savingFinished() {
  if (!m_savingWorker) return;  // stopped and joined already
  join(m_savingThread);
  delete m_savingThread;
  m_savingThread = nullptr;
  m_control.Resume();
  if (m_statusWindow) m_statusWindow->finish();
  for (const QString& text : m_savingWorker->messages()) {
    m_wizard.host.tell(this, text, QMessageBox::Information);
  }
  if (m_savingWorker->fatal()) m_wizard.host.terminate();
  m_save->setEnabled(false);
  m_saveButton->setEnabled(false);
  std::vector<std::string> selected;
  for (const QString& f : m_selected) selected.push_back(f.toStdString());
  const SavingReport report =
      savingReport(m_savingWorker->result(), m_control.stopSaving, m_result->tree, selected);
  for (const QString& problem : report.problems)
    WriteActivityLog("Not written: " + problem.toStdString());
  m_completed = new Last_Saving_Dialog(m_wizard, report, this);
  m_completed->setAttribute(Qt::WA_DeleteOnClose);
  m_completed->setWindowModality(Qt::ApplicationModal);
  m_completed->show();
  emit savingEnded();
}

void Repair_Recover::goBack() {
  m_selected.clear();
  if (!m_wizard.host.ask(this, "Do you want to go to Previous Step ?")) return;
  stopWorkers();
  m_loader->stop();
  m_list->begin(ListKind::kMail, -1);
  m_store.reset();
  m_result.reset();
  m_tree->clear();
  closeQuietly();
}

void Repair_Recover::stopWorkers() {
  if (m_loader != nullptr) m_loader->stop();
  if (m_analysisThread != nullptr) {
    m_control.RequestStopAnalysis();
    m_control.Resume();
    join(m_analysisThread);
    delete m_analysisThread;
    m_analysisThread = nullptr;
    m_analysisWorker.reset();
  }
  if (m_savingThread != nullptr) {
    m_control.RequestStopSaving();
    m_control.Resume();
    join(m_savingThread);
    delete m_savingThread;
    m_savingThread = nullptr;
    m_savingWorker.reset();
  }
}

}  // namespace palvara::gui
