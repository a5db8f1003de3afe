// The store file search window: a folder (and its subfolders) searched for store files on a
// worker, the matches listed with folder, size and date, Stop, and Repair on the chosen match.
#pragma once

#include <QThread>

#include <memory>

#include "common/run_control.h"
#include "gui/wizard_dialog.h"
#include "shell/store_search.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeWidget;

namespace palvara::gui {

class SearchWorker : public QObject, public StoreSearchObserver {
  Q_OBJECT
 public:
  SearchWorker(StoreSearchOptions options, RunControl& control)
      : m_options(std::move(options)), m_control(control) {}
  const StoreSearchResult& result() const { return m_result; }

 public slots:
  void run();

 signals:
  void found(const QString& name, const QString& path, const QString& size,
             const QString& modified, int count, const QString& folder);
  void searching(const QString& folder, int count);
  void finished();

 private:
  void Found(const FoundStoreFile& file, std::size_t count,
             const std::filesystem::path& folder) override;
  void SearchingFolder(const std::filesystem::path& folder, std::size_t count) override;
  void LogLine(const std::string& entry) override;

  StoreSearchOptions m_options;
  RunControl& m_control;
  StoreSearchResult m_result;
};

class Settings : public WizardDialog {
  Q_OBJECT
 public:
  Settings(Wizard& wizard, QWidget* parent = nullptr);
  ~Settings() override;

  bool searching() const { return m_thread != nullptr; }
  QTreeWidget* results() const { return m_results; }
  QLabel* statusLine() const { return m_status; }
  QPushButton* findButton() const { return m_find; }
  QPushButton* repairButton() const { return m_repair; }
  QCheckBox* subfolders() const { return m_subfolders; }

 public slots:
  void browse();
  void findOrStop();
  void repair();
  void goBack();

 signals:
  void searchEnded();
  void opened(QDialog* window);

 protected:
  void reject() override { goBack(); }

 private:
  void searchFinished();
  void stopSearch();

  RunControl m_control;
  QLineEdit* m_folder;
  QCheckBox* m_subfolders;
  QPushButton* m_browse;
  QPushButton* m_find;
  QTreeWidget* m_results;
  QLabel* m_status;
  QPushButton* m_back;
  QPushButton* m_repair;
  QThread* m_thread = nullptr;
  std::unique_ptr<SearchWorker> m_worker;
};

}  // namespace palvara::gui
