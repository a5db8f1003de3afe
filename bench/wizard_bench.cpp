// palvara-wizard-bench [--analysis-only] FILE: the wizard's own timings on one store, on the
// offscreen platform: the analysis from Repair to its end, the longest stall of the window's
// event loop while the analysis and the listing workers run, and the time from a click on the
// largest mail folder to its first screen of rows, and the time the Damage window takes from
// its button to its first picture. With --analysis-only the program ends when
// the analysis does, so that a whole-process timing compares with `palvara-cli analyze`.
#include <QApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include "gui/recovery_window.h"
#include "gui/scripted_host.h"
#include "gui/step1_window.h"

using namespace palvara::gui;

namespace {

// Records the longest gap between ticks of a 5 ms timer: how long the event loop was busy.
class StallMeter {
 public:
  StallMeter() {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      longest_ = std::max(longest_, clock_.restart());
    });
  }
  void start() {
    longest_ = 0;
    clock_.start();
    timer_.start(5);
  }
  qint64 stop() {
    timer_.stop();
    return longest_;
  }

 private:
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 longest_ = 0;
};

QModelIndex largestMailFolder(Repair_Recover& w, int* items) {
  const palvara::AnalysisResult* r = w.result();
  const palvara::FolderEntry* best = nullptr;
  for (const auto& f : r->folders) {
    if (best == nullptr || f.itemCount > best->itemCount) best = &f;
  }
  *items = best != nullptr ? best->itemCount : 0;
  if (best == nullptr) return {};
  QModelIndex at;
  for (const QString& part : QString::fromStdString(best->path).split('\\', Qt::SkipEmptyParts)) {
    QModelIndex found;
    for (int r2 = 0; r2 < w.tree()->rowCount(at); ++r2) {
      if (w.tree()->index(r2, 0, at).data().toString() == part) found = w.tree()->index(r2, 0, at);
    }
    at = found;
  }
  return at;
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const bool analysisOnly = argc == 3 && std::strcmp(argv[1], "--analysis-only") == 0;
  if (argc != 2 && !analysisOnly) {
    std::fprintf(stderr, "usage: palvara-wizard-bench [--analysis-only] FILE\n");
    return 2;
  }
  ScriptedHost host;
  Wizard wizard(host);
  DiskSelection step1(wizard);
  step1.show();
  host.fileAnswer = QString::fromLocal8Bit(argv[argc - 1]);
  step1.browse();
  Repair_Recover* w = nullptr;
  QObject::connect(&step1, &DiskSelection::opened,
                   [&w](QDialog* d) { w = qobject_cast<Repair_Recover*>(d); });
  StallMeter stalls;
  stalls.start();
  QElapsedTimer clock;
  clock.start();
  step1.repair();
  if (w == nullptr) return 1;
  waitUntil([w] { return !w->analysing(); }, 3600000);
  const qint64 analysis = clock.elapsed();
  const qint64 analysisStall = stalls.stop();
  if (analysisOnly) {
    std::printf("analysis in the wizard: %lld ms (longest event-loop stall %lld ms)\n",
                static_cast<long long>(analysis), static_cast<long long>(analysisStall));
    delete w;
    return 0;
  }

  // The Damage window: built, laid out and drawn on the GUI thread.
  clock.restart();
  w->showDamage();
  const QImage damagePicture = w->damageView()->grab().toImage();
  const qint64 damage = clock.elapsed();
  const int reports = w->damageView()->reportModel()->rowCount();
  const int cells = w->damageView()->fileMap().cellCount();
  (void)damagePicture;
  w->damageView()->close();

  int items = 0;
  const QModelIndex folder = largestMailFolder(*w, &items);
  stalls.start();
  clock.restart();
  w->folderClicked(folder);
  const int screen = 30;
  waitUntil([w, items, screen] { return w->list()->rowCount() >= std::min(items, screen); }, 60000);
  const qint64 firstScreen = clock.elapsed();
  waitUntil([w] { return !w->loader()->running(); }, 3600000);
  const qint64 whole = clock.elapsed();
  waitUntil([] { return false; }, 200);
  const qint64 listingStall = stalls.stop();
  std::printf("analysis in the wizard: %lld ms (longest event-loop stall %lld ms)\n",
              static_cast<long long>(analysis), static_cast<long long>(analysisStall));
  std::printf("damage window: %d reports, %d cells, shown and drawn in %lld ms\n", reports,
              cells,
              static_cast<long long>(damage));
  std::printf("largest mail folder: %d items; first %d rows after %lld ms, all %d rows after "
              "%lld ms (longest event-loop stall %lld ms)\n",
              items, screen, static_cast<long long>(firstScreen), w->list()->rowCount(),
              static_cast<long long>(whole), static_cast<long long>(listingStall));
  delete w;
  return 0;
}
