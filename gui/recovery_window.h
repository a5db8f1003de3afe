// The recovery window: the analysis starts on a worker as soon as the window opens; the
// counters, progress, folder tree, item list and preview follow it; Pause/Resume, Stop, Back and
// Save steer the workers; Save runs the saving worker under the saving-status window and ends at
// the saving-completed window.
#pragma once

#include <QPointer>

#include <array>
#include <memory>

#include "common/run_control.h"
#include "gui/damage_view.h"
#include "gui/folder_tree.h"
#include "gui/item_list.h"
#include "gui/preview.h"
#include "gui/saving_windows.h"
#include "gui/wizard_dialog.h"
#include "gui/workers.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;
class QTreeView;

namespace palvara::gui {

class Repair_Recover : public WizardDialog {
  Q_OBJECT
 public:
  Repair_Recover(Wizard& wizard, QWidget* parent = nullptr);
  ~Repair_Recover() override;

  bool analysing() const { return m_analysisThread != nullptr; }
  bool saving() const { return m_savingThread != nullptr; }
  const AnalysisResult* result() const { return m_result.get(); }
  RunControl& control() { return m_control; }
  CFolderTreeCtrl1* tree() const { return m_tree; }
  QTreeView* treeView() const { return m_treeView; }
  ItemListModel* list() const { return m_list; }
  QTableView* listView() const { return m_listView; }
  ListLoader* loader() const { return m_loader; }
  BrowseStore* store() const { return m_store.get(); }
  PreviewBrowser* preview() const { return m_preview; }
  QLabel* counterLabel(int counter) const { return m_counters[static_cast<std::size_t>(counter)]; }
  QLabel* headerLabel(int which) const { return m_header[static_cast<std::size_t>(which)]; }
  QProgressBar* progressBar() const { return m_progress; }
  QPushButton* pauseButton() const { return m_pause; }
  QPushButton* stopButton() const { return m_stop; }
  QPushButton* saveButton() const { return m_saveButton; }
  QPushButton* backButton() const { return m_back; }
  QPushButton* damageButton() const { return m_damageButton; }
  DamageView* damageView() const { return m_damage; }
  ListPSTFile* statusWindow() const { return m_statusWindow; }
  Last_Saving_Dialog* completedWindow() const { return m_completed; }

 public slots:
  void pauseOrResume();
  void stopAnalysis();
  void save();
  void goBack();
  // Makes `index` the current folder and lists it.
  void folderClicked(const QModelIndex& index);
  // Lists the items of the folder at `index` (the current one).
  void listFolder(const QModelIndex& index);
  void showPreview(const QModelIndex& current);
  // Opens (or raises) the Damage window of the ended analysis.
  void showDamage();

 signals:
  void analysisEnded();
  void savingEnded();

 protected:
  void reject() override { goBack(); }

 private:
  QWidget* buildCounters();
  void startAnalysis();
  void analysisFinished();
  void askStopSaving();
  void savingFinished();
  void stopWorkers();

  RunControl m_control;
  CFolderTreeCtrl1* m_tree;
  QTreeView* m_treeView;
  ItemListModel* m_list;
  QTableView* m_listView;
  ListLoader* m_loader;
  PreviewBrowser* m_preview;
  std::array<QLabel*, AnalysisCounters::kCount> m_counters{};
  std::array<QLabel*, 3> m_header{};  // From, To, Subject
  QLabel* m_sourcePath;
  QProgressBar* m_progress;
  QPushButton* m_back;
  QPushButton* m_pause;
  QPushButton* m_stop;
  QPushButton* m_saveButton;
  QPushButton* m_damageButton = nullptr;
  QPointer<DamageView> m_damage;

  QThread* m_analysisThread = nullptr;
  std::unique_ptr<AnalysisWorker> m_analysisWorker;
  std::unique_ptr<AnalysisResult> m_result;
  std::unique_ptr<BrowseStore> m_store;
  QThread* m_savingThread = nullptr;
  std::unique_ptr<SavingWorker> m_savingWorker;
  QPointer<ListPSTFile> m_statusWindow;
  QPointer<Last_Saving_Dialog> m_completed;
  QStringList m_selected;
  QString m_destination;
  bool m_stopPending = false;  // Stop confirmed while paused: takes effect on Resume
};

}  // namespace palvara::gui
