#include "gui/workers.h"

#include "shell/activity_log.h"

namespace palvara::gui {
namespace {

constexpr qint64 kSendEveryMs = 40;

QList<int> listOf(const AnalysisCounters& counters) {
  QList<int> out;
  for (std::int32_t v : counters.values) out << v;
  return out;
}

}  // namespace

AnalysisWorker::AnalysisWorker(AnalysisOptions options, RunControl& control)
    : m_options(std::move(options)), m_control(control) {}

void AnalysisWorker::run() {
  m_control.stopSaving = false;
  m_control.stopAnalysis = false;
  m_control.savingActive = false;
  m_sinceSent.start();
  try {
    m_result = std::make_unique<AnalysisResult>(RunAnalysis(m_options, *this, m_control));
  } catch (...) {
    // Whatever went wrong ends the run quietly; what was shown stays shown.
    m_result = std::make_unique<AnalysisResult>();
    m_result->outcome = AnalysisResult::Outcome::kCorrupted;
  }
  emit countersChanged(listOf(m_counters));
  emit progress(m_position);
  emit finished();
}

bool AnalysisWorker::due() {
  if (m_sinceSent.elapsed() < kSendEveryMs) return false;
  m_sinceSent.restart();
  return true;
}

void AnalysisWorker::FolderAdded(const std::string& path, const std::string& containerClass) {
  emit folderAdded(QString::fromStdString(path), QString::fromStdString(containerClass));
}

void AnalysisWorker::CountersChanged(const AnalysisCounters& counters) {
  m_counters = counters;
  if (due()) {
    emit countersChanged(listOf(counters));
    emit progress(m_position);
  }
}

void AnalysisWorker::ProgressRange(std::int32_t maximum) { emit progressRange(maximum); }

void AnalysisWorker::Progress(std::int32_t position) {
  m_position = position;
  if (due()) {
    emit countersChanged(listOf(m_counters));
    emit progress(position);
  }
}

void AnalysisWorker::Message(const std::string& text) {
  m_messages << QString::fromStdString(text);
}

void AnalysisWorker::ShowPage(const std::string& page) {
  emit pageShown(QString::fromStdString(page));
}

void AnalysisWorker::LogLine(const std::string& entry) { WriteActivityLog(entry); }

SavingWorker::SavingWorker(SaveOptions options, RunControl& control,
                           std::unique_ptr<SavingOutput> output)
    : m_options(std::move(options)), m_control(control), m_output(std::move(output)) {
  if (m_output) m_options.target = m_output.get();
}

void SavingWorker::run() {
  m_control.stopSaving = false;
  m_control.savingActive = true;
  try {
    m_result = RunSave(m_options, *this, m_control);
  } catch (const std::exception& e) {
    m_result.outcome = SaveResult::Outcome::kOutputFailed;
    m_messages << QString::fromStdString(e.what());
  }
  emit finished();
}

SavingProgress SavingWorker::latest() const {
  std::lock_guard lock(m_mutex);
  return m_latest;
}

void SavingWorker::Progress(const SavingProgress& progress) {
  std::lock_guard lock(m_mutex);
  m_latest = progress;
}

void SavingWorker::Message(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_messages << QString::fromStdString(text);
}

void SavingWorker::Fatal(const std::string& text) {
  std::lock_guard lock(m_mutex);
  m_fatal = true;
  m_messages << QString::fromStdString(text);
}

void SavingWorker::LogLine(const std::string& entry) { WriteActivityLog(entry); }

void startOnThread(QObject* worker, QThread* thread) {
  worker->moveToThread(thread);
  QObject::connect(thread, &QThread::started, worker, [worker, thread] {
    QMetaObject::invokeMethod(worker, "run", Qt::DirectConnection);
    thread->quit();
  });
  thread->start();
}

void join(QThread* thread) {
  if (thread == nullptr) return;
  thread->quit();
  thread->wait();
}

}  // namespace palvara::gui
