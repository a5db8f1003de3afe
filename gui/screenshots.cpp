#include "gui/screenshots.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTableView>
#include <QProgressBar>
#include <QLabel>
#include <QThread>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "gui/help_about.h"
#include "gui/log_windows.h"
#include "gui/recovery_window.h"
#include "gui/saving_windows.h"
#include "gui/scripted_host.h"
#include "gui/search_window.h"
#include "gui/step1_window.h"
#include "shell/app_paths.h"
#include "writer/sample_generator.h"

namespace palvara::gui {
namespace {

class Camera {
 public:
  Camera(const QString& folder, QStringList* written) : m_folder(folder), m_written(written) {}
  void take(QWidget* window, const QString& name) {
    waitUntil([] { return false; }, 60);  // let layouts and pages settle
    const QString file = QString("%1-%2.png").arg(++m_count, 2, 10, QChar('0')).arg(name);
    window->grab().save(QDir(m_folder).filePath(file));
    if (m_written != nullptr) *m_written << file;
  }

 private:
  QString m_folder;
  QStringList* m_written;
  int m_count = 0;
};

QModelIndex findFolder(const CFolderTreeCtrl1* tree, const QString& name, const QModelIndex& parent = {}) {
  for (int r = 0; r < tree->rowCount(parent); ++r) {
    const QModelIndex i = tree->index(r, 0, parent);
    if (i.data().toString() == name) return i;
    if (QModelIndex below = findFolder(tree, name, i); below.isValid()) return below;
  }
  return {};
}

// Copies `from` to `to` with 64 KiB zeroed a third of the way in and the last 48 KiB cut off.
bool damageCopy(const QString& from, const QString& to) {
  QFile::remove(to);
  if (!QFile::copy(from, to)) return false;
  QFile file(to);
  if (!file.open(QIODevice::ReadWrite)) return false;
  const qint64 size = file.size();
  if (size < 1 << 20) return false;
  file.seek(size / 3);
  file.write(QByteArray(64 * 1024, '\0'));
  return file.resize(size - 48 * 1024);
}

}  // namespace

// While it lives, the settings are a private file whose log folder is `logFolder`: the run's
// entries never reach the user's own activity log. The data folder stays the same.
class PrivateSettings {
 public:
  explicit PrivateSettings(const QString& logFolder) {
    if (const char* now = std::getenv("PALVARA_SETTINGS")) m_previous = now;
    const std::string data = AppPaths::ApplicationFolder().string();
    const std::string file = QDir(logFolder).filePath("PV_PST.ini").toStdString();
    std::ofstream(file) << "[PV_PST]\nFilePath=" << data << "\nLogPath=" << logFolder.toStdString() << "\n";
    ::setenv("PALVARA_SETTINGS", file.c_str(), 1);
  }
  ~PrivateSettings() {
    if (m_previous) {
      ::setenv("PALVARA_SETTINGS", m_previous->c_str(), 1);
    } else {
      ::unsetenv("PALVARA_SETTINGS");
    }
  }

 private:
  std::optional<std::string> m_previous;
};

// Lets the paused analysis of `recovery` run in short steps until the window shows folders and
// counts, so that its picture is one of a run under way.
void stepUntilShowing(Repair_Recover* recovery) {
  for (int step = 0; step < 2000 && recovery->analysing(); ++step) {
    const bool showing = recovery->tree()->rowCount() > 0 &&
                         recovery->counterLabel(AnalysisCounters::kInbox)->text().toInt() > 0 &&
                         recovery->progressBar()->value() > 0;
    if (showing) return;
    recovery->control().Resume();
    QThread::msleep(1);
    recovery->control().Pause();
    waitUntil([] { return false; }, 45);  // the worker's throttled signals arrive
  }
}

bool takeScreenshots(const QString& folder, QStringList* written) {
  QDir().mkpath(folder);
  QTemporaryDir work;
  if (!work.isValid()) return false;
  const PrivateSettings settings(work.path());
  const QString sample = QDir(work.path()).filePath("Outlook.pst");
  SampleOptions options;
  options.messages = 2000;
  if (!WriteSampleStore(sample.toStdString(), options, nullptr).ok()) return false;

  Camera camera(folder, written);
  ScriptedHost host;
  QStringList photographed;  // a message shown twice is photographed once
  host.onBox = [&camera, &photographed](QMessageBox* box) {
    if (photographed.contains(box->text())) return;
    photographed << box->text();
    box->show();
    camera.take(box, "message");
    box->hide();
  };
  Wizard wizard(host);
  DiskSelection step1(wizard);
  step1.show();
  camera.take(&step1, "step1");
  step1.repair();  // "Not a valid PST File"
  step1.choose(sample);
  camera.take(&step1, "step1-chosen");

  Repair_Recover* recovery = nullptr;
  QObject::connect(&step1, &DiskSelection::opened, [&recovery](QDialog* w) {
    recovery = qobject_cast<Repair_Recover*>(w);
    if (recovery != nullptr) recovery->control().Pause();  // held from its first node
  });
  step1.repair();
  if (recovery == nullptr) return false;
  stepUntilShowing(recovery);
  camera.take(recovery, "recovery-analysing");
  recovery->control().Resume();
  if (!waitUntil([&] { return !recovery->analysing(); })) return false;
  camera.take(recovery, "recovery-analysed");
  recovery->showDamage();
  if (recovery->damageView() == nullptr) return false;
  camera.take(recovery->damageView(), "damage-intact");
  recovery->damageView()->close();

  const QModelIndex inbox = findFolder(recovery->tree(), "Inbox");
  recovery->tree()->toggle(inbox);
  recovery->folderClicked(inbox);
  waitUntil([&] { return !recovery->loader()->running() && recovery->list()->rowCount() > 0; });
  recovery->listView()->selectRow(0);
  camera.take(recovery, "recovery-inbox");
  const QModelIndex contacts = findFolder(recovery->tree(), "Contacts");
  if (contacts.isValid()) {
    recovery->folderClicked(contacts);
    waitUntil([&] { return !recovery->loader()->running(); });
    recovery->listView()->selectRow(0);
    camera.take(recovery, "recovery-contacts");
  }

  auto* changeLog = new Cchangelog(wizard, recovery);
  changeLog->show();
  camera.take(changeLog, "change-log-path");
  delete changeLog;
  auto* about = new CAboutDlg(wizard, recovery);
  about->show();
  camera.take(about, "about");
  delete about;

  const QString destination = QDir(work.path()).filePath("out");
  QDir().mkpath(destination);
  host.folderAnswer = destination;
  {
    // The status window as it looks part-way through a run.
    SavingProgress part;
    part.total = 400;
    part.saved = 130;
    part.currentFolder = "Personal Folders\\Inbox\\";
    part.countText = "130";
    part.destination = "Personal Folders\\Inbox\\";
    part.outputFile = destination.toStdString() + "/Repair/Outlook-9-12-2026 10-41-7.pst";
    ListPSTFile status(wizard, [part] { return part; }, [] {}, recovery);
    status.show();
    status.refresh();
    camera.take(&status, "saving-status");
  }
  recovery->save();
  if (!waitUntil([&] { return recovery->completedWindow() != nullptr; }, 120000)) return false;
  camera.take(recovery->completedWindow(), "saving-completed");
  recovery->completedWindow()->close();
  host.answers = {true};
  recovery->goBack();

  // The search window, after a search of the sample's folder.
  Settings* search = nullptr;
  QObject::connect(&step1, &DiskSelection::opened, [&search](QDialog* w) {
    if (auto* s = qobject_cast<Settings*>(w)) search = s;
  });
  step1.search();
  if (search == nullptr) return false;
  host.folderAnswer = work.path();
  search->browse();
  search->findOrStop();
  waitUntil([&] { return !search->searching(); });
  camera.take(search, "search");
  host.answers = {true};
  search->goBack();
  waitUntil([] { return false; }, 50);  // closed windows are released

  // The Damage window of a copy of the sample with a stretch zeroed and its end cut off.
  const QString damaged = QDir(work.path()).filePath("Damaged.pst");
  if (!damageCopy(sample, damaged)) return false;
  AnalysisOptions analysis;
  analysis.sourcePath = damaged.toStdString();
  analysis.keepItemLists = false;
  AnalysisObserver quiet;
  RunControl control;
  const AnalysisResult result = RunAnalysis(analysis, quiet, control);
  DamageView damage(result);
  damage.show();
  camera.take(&damage, "damage-damaged");
  return true;
}

}  // namespace palvara::gui
