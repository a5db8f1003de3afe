#include "gui/screenshots.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTreeView>
#include <QTableView>

#include "gui/help_about.h"
#include "gui/log_windows.h"
#include "gui/recovery_window.h"
#include "gui/saving_windows.h"
#include "gui/scripted_host.h"
#include "gui/search_window.h"
#include "gui/step1_window.h"
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

}  // namespace

bool takeScreenshots(const QString& folder, QStringList* written) {
  QDir().mkpath(folder);
  QTemporaryDir work;
  if (!work.isValid()) return false;
  const QString sample = QDir(work.path()).filePath("Outlook.pst");
  SampleOptions options;
  options.messages = 400;
  if (!WriteSampleStore(sample.toStdString(), options, nullptr).ok()) return false;

  Camera camera(folder, written);
  ScriptedHost host;
  host.onBox = [&camera](QMessageBox* box) {
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
  });
  step1.repair();
  if (recovery == nullptr) return false;
  camera.take(recovery, "recovery-analysing");
  if (!waitUntil([&] { return !recovery->analysing(); })) return false;
  camera.take(recovery, "recovery-analysed");

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
    part.destination = destination.toStdString() + "/Repair";
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
  return true;
}

}  // namespace palvara::gui
