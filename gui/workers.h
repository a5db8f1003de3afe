// The analysis and saving runs on worker threads. A worker object lives on its own QThread,
// runs the core driver there, and turns the driver's observer calls into queued signals that
// carry copies; it never touches a widget. Counters and progress are sent at most every
// 40 ms (and once more at the end), so a fast run cannot flood the window's event loop.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <QThread>

#include <memory>
#include <mutex>

#include "common/run_control.h"
#include "export/saving_driver.h"
#include "items/analysis.h"

namespace palvara::gui {

class AnalysisWorker : public QObject, public AnalysisObserver {
  Q_OBJECT
 public:
  AnalysisWorker(AnalysisOptions options, RunControl& control);

  // Valid after finished(): the whole result, handed over once.
  std::unique_ptr<AnalysisResult> takeResult() { return std::move(m_result); }
  // The messages the run asked to show, in order.
  QStringList messages() const { return m_messages; }

 public slots:
  void run();

 signals:
  void folderAdded(const QString& path, const QString& containerClass);
  void countersChanged(const QList<int>& counters);
  void progressRange(int maximum);
  void progress(int position);
  void pageShown(const QString& page);
  void finished();

 private:
  void SourcePathShown(const std::filesystem::path&) override {}
  void FolderAdded(const std::string& path, const std::string& containerClass) override;
  void CountersChanged(const AnalysisCounters& counters) override;
  void ProgressRange(std::int32_t maximum) override;
  void Progress(std::int32_t position) override;
  void Message(const std::string& text) override;
  void ShowPage(const std::string& page) override;
  void LogLine(const std::string& entry) override;
  bool due();

  AnalysisOptions m_options;
  RunControl& m_control;
  std::unique_ptr<AnalysisResult> m_result;
  QStringList m_messages;
  AnalysisCounters m_counters;
  std::int32_t m_position = 0;
  QElapsedTimer m_sinceSent;
};

// The saving run. The status window reads the latest progress when it likes (latest()); the
// worker never waits for it.
class SavingWorker : public QObject, public SavingObserver {
  Q_OBJECT
 public:
  // `output`, when given, takes the items instead of a new PST (files in open formats).
  SavingWorker(SaveOptions options, RunControl& control, std::unique_ptr<SavingOutput> output = nullptr);

  SavingProgress latest() const;
  const SaveResult& result() const { return m_result; }
  QStringList messages() const { return m_messages; }
  bool fatal() const { return m_fatal; }

 public slots:
  void run();

 signals:
  void finished();

 private:
  void Progress(const SavingProgress& progress) override;
  void Message(const std::string& text) override;
  void Fatal(const std::string& text) override;
  void LogLine(const std::string& entry) override;

  SaveOptions m_options;
  RunControl& m_control;
  std::unique_ptr<SavingOutput> m_output;
  SaveResult m_result;
  QStringList m_messages;
  bool m_fatal = false;
  mutable std::mutex m_mutex;
  SavingProgress m_latest;
};

// Runs `worker` on a new thread started at once; the thread ends when the worker's run()
// returns. The caller owns both and must join (stopAndJoin) before releasing them.
void startOnThread(QObject* worker, QThread* thread);
void join(QThread* thread);

}  // namespace palvara::gui
