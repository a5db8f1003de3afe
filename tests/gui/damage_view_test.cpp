// The Damage window: the picture of the file puts each report and each recovered extent in the
// cells of its bytes, coloured by kind; the table lists every report with what it cost; an
// intact store says so. Builds for the largest results are timed (printed, not asserted).
#include "gui/damage_view.h"

#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QTableView>
#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <random>

#include "reader/store_file.h"
#include "tests/support/damage_kinds.h"
#include "tests/support/test_data.h"
#include "writer/sample_generator.h"

namespace palvara::gui {
namespace {

namespace fs = std::filesystem;

AnalysisResult analyze(const fs::path& path) {
  AnalysisOptions options;
  options.sourcePath = path;
  options.keepItemLists = false;
  AnalysisObserver quiet;
  RunControl control;
  return RunAnalysis(options, quiet, control);
}

// A sample store written once for the suite, intact.
class DamageViewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new QTemporaryDir;
    SampleOptions options;
    options.messages = 300;
    ASSERT_TRUE(WriteSampleStore(path("intact.pst"), options, nullptr).ok());
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  static fs::path path(const std::string& name) {
    return fs::path(dir_->path().toStdString()) / name;
  }

  // The colour drawn at the middle of a cell.
  static QColor drawnColour(FileMapWidget* widget, const QImage& image, int cell) {
    const QPointF centre = widget->cellRect(cell).center();
    return image.pixelColor(static_cast<int>(centre.x()), static_cast<int>(centre.y()));
  }

  inline static QTemporaryDir* dir_ = nullptr;
};

TEST_F(DamageViewTest, ADamagedStoreColoursTheCellsOfEachReportByItsKind) {
  const Bytes damaged = testing::Damage(testing::ReadFileBytes(path("intact.pst")),
                                        testing::DamageKind::kBlockLeafZeroed, 2);
  testing::WriteFileBytes(path("damaged.pst"), damaged);
  const AnalysisResult result = analyze(path("damaged.pst"));
  ASSERT_FALSE(result.damage.empty());
  ASSERT_TRUE(result.scanRan);

  DamageView view(result);
  view.resize(1000, 700);
  view.show();
  const FileMap& map = view.fileMap();
  EXPECT_EQ(map.fileSize(), damaged.size());
  EXPECT_EQ(map.span(), damaged.size());
  std::uint64_t zeroedOffset = 0;
  for (const DamageEntry& e : result.damage) {
    if (e.report.offset == 0) continue;
    const int cell = map.cellAt(e.report.offset);
    ASSERT_GE(cell, 0) << e.report.ToString();
    const CellState state = cellStateOf(e.report.kind);
    EXPECT_GE(map.count(cell, state), 1u) << e.report.ToString();
    // Nothing drawn there ranks below the report's own kind.
    EXPECT_LE(static_cast<int>(map.state(cell)), static_cast<int>(state)) << e.report.ToString();
    if (e.report.kind == DamageKind::kZeroed) zeroedOffset = e.report.offset;
  }
  ASSERT_NE(zeroedOffset, 0u) << "the zeroed leaf is not among the reports";
  const int zeroedCell = map.cellAt(zeroedOffset);
  EXPECT_EQ(map.state(zeroedCell), CellState::kZeroed);

  // The blocks the scan brought back are drawn where they lie, unless damage was found there.
  const std::vector<FileExtent>& extents = result.store->recovery.recoveredExtents;
  ASSERT_FALSE(extents.empty());
  const int recoveredCell = map.cellAt(extents.front().offset);
  EXPECT_GE(map.count(recoveredCell, CellState::kRecovered), 1u);
  const std::array<int, kCellStates> perState = map.cellsPerState();
  EXPECT_GT(perState[static_cast<std::size_t>(CellState::kRecovered)], 0);
  EXPECT_GT(perState[static_cast<std::size_t>(CellState::kIntact)], map.cellCount() / 2);

  // As drawn: the zeroed cell in the zeroed colour, an untouched one in the intact colour.
  const QImage image = view.fileMapWidget()->grab().toImage();
  EXPECT_EQ(drawnColour(view.fileMapWidget(), image, zeroedCell), cellColour(CellState::kZeroed));
  int intactCell = 0;
  while (map.state(intactCell) != CellState::kIntact) ++intactCell;
  EXPECT_EQ(drawnColour(view.fileMapWidget(), image, intactCell), cellColour(CellState::kIntact));
  const QString tip = view.fileMapWidget()->toolTipFor(zeroedCell);
  EXPECT_TRUE(tip.contains("Zeroed: 1 report")) << tip.toStdString();
  EXPECT_TRUE(tip.contains(QString::fromStdString(Hex(map.cellStart(zeroedCell)))))
      << tip.toStdString();

  EXPECT_TRUE(view.legendEntries().filter("Zeroed (").size() == 1);
  EXPECT_TRUE(view.fileSizeLabel()->text().contains(fileSizeText(damaged.size())));
  EXPECT_TRUE(view.verdictLabel()->text().startsWith(QString::number(result.damageReports)));
  EXPECT_TRUE(view.verdictLabel()->text().contains("zeroed "))
      << view.verdictLabel()->text().toStdString();
  EXPECT_TRUE(view.recoveryLabel()->text().contains(
      QString("Blocks added to the index: %1").arg(result.store->recovery.blocksAdded)));

  // The table: one row a report, the zeroed leaf where it lies, put down to the index.
  QAbstractItemModelTester tester(view.reportModel(),
                                  QAbstractItemModelTester::FailureReportingMode::Warning);
  DamageTableModel* model = view.reportModel();
  ASSERT_EQ(model->rowCount(), static_cast<int>(result.damage.size()));
  const QString where = QString::fromStdString(Hex(zeroedOffset));
  int row = 0;
  while (row < model->rowCount() &&
         model->index(row, DamageTableModel::kWhere).data().toString() != where) {
    ++row;
  }
  ASSERT_LT(row, model->rowCount());
  EXPECT_EQ(model->index(row, DamageTableModel::kKind).data().toString(), "zeroed");
  EXPECT_EQ(model->index(row, DamageTableModel::kCost).data().toString(), "the index");
  // Choosing the report outlines its cell.
  view.reportTable()->selectRow(row);
  EXPECT_EQ(view.fileMapWidget()->markedCell(), zeroedCell);

  // A dark palette changes the words, never the cells' fills.
  QPalette dark = view.palette();
  dark.setColor(QPalette::Window, QColor(0x20, 0x20, 0x20));
  dark.setColor(QPalette::Base, QColor(0x14, 0x14, 0x14));
  dark.setColor(QPalette::WindowText, QColor(0xEE, 0xEE, 0xEE));
  dark.setColor(QPalette::Text, QColor(0xEE, 0xEE, 0xEE));
  const QImage light = view.grab().toImage();
  view.setPalette(dark);
  const QImage darkMap = view.fileMapWidget()->grab().toImage();
  EXPECT_EQ(drawnColour(view.fileMapWidget(), darkMap, zeroedCell), cellColour(CellState::kZeroed));
  EXPECT_EQ(drawnColour(view.fileMapWidget(), darkMap, intactCell), cellColour(CellState::kIntact));

  // Pictures for a person to look at, in a folder of their own in the build.
  const QString folder = QString(PALVARA_BUILD_DIR) + "/damage-view";
  QDir().mkpath(folder);
  ASSERT_TRUE(light.save(QDir(folder).filePath("damage-view.png")));
  ASSERT_TRUE(view.grab().save(QDir(folder).filePath("damage-view-dark.png")));
}

TEST_F(DamageViewTest, AnIntactStoreSaysNoDamageWasFound) {
  const AnalysisResult result = analyze(path("intact.pst"));
  ASSERT_EQ(result.damageReports, 0u);
  DamageView view(result);
  EXPECT_TRUE(view.verdictLabel()->text().startsWith(
      "No damage found: every page and block the analysis read was as written."));
  EXPECT_EQ(view.reportModel()->rowCount(), 0);
  const std::array<int, kCellStates> perState = view.fileMap().cellsPerState();
  EXPECT_EQ(perState[static_cast<std::size_t>(CellState::kIntact)], view.fileMap().cellCount());
  EXPECT_TRUE(view.recoveryLabel()->text().contains("did not run"));
  EXPECT_TRUE(
      view.legendEntries().contains(QString("No damage found (%1 cells)").arg(view.fileMap().cellCount())));
}

// Bytes missing from the end are drawn as cut off, up to where the header says the file went.
TEST(FileMapTest, AFileCutShortIsDrawnToItsEndWithTheMissingPartCutOff) {
  const std::uint64_t size = 100 * 1024, end = 160 * 1024;
  std::vector<DamageEntry> damage;
  damage.push_back(
      {DamageReport{DamageKind::kCutOff, "BTPAGE", 120 * 1024, 512, 0, "x"}, true, {}, {}});
  const FileMap map(size, end, damage, {});
  EXPECT_EQ(map.span(), end);
  EXPECT_EQ(map.state(map.cellAt(size - 1)), CellState::kIntact);
  EXPECT_EQ(map.state(map.cellAt(size + map.cellBytes())), CellState::kCutOff);
  EXPECT_EQ(map.state(map.cellCount() - 1), CellState::kCutOff);
  EXPECT_EQ(map.cellEnd(map.cellCount() - 1), end - 1);
  // Without a report past the end, the file is all there is.
  EXPECT_EQ(FileMap(size, end, {}, {}).span(), size);
  // A header whose end of file is garbage does not stretch the picture without bound.
  EXPECT_LE(FileMap(size, ~0ull, damage, {}).span(), 64 * size);
}

// The counts come from running sums over each report's and extent's cells: the same counts as
// looking at every cell for every report.
TEST(FileMapTest, CountsAreThoseOfEveryReportAndExtentOverlappingEachCell) {
  std::mt19937_64 random(11);
  const std::uint64_t size = 3'000'000;
  std::vector<DamageEntry> damage;
  std::vector<FileExtent> extents;
  for (int i = 0; i < 300; ++i) {
    const auto kind = static_cast<DamageKind>(random() % kDamageKindCount);
    damage.push_back({DamageReport{kind, "BLOCK", random() % size,
                                   static_cast<std::uint32_t>(random() % 9000), 0, "x"},
                      false,
                      {},
                      {}});
  }
  for (int i = 0; i < 500; ++i) extents.push_back({random() % size, 64 + random() % 20000});
  const FileMap map(size, 0, damage, extents);
  ASSERT_LE(map.cellCount(), FileMap::kMaxCells);
  ASSERT_GT(map.cellCount(), FileMap::kMaxCells - 10);
  ASSERT_LT(map.cellStart(map.cellCount() - 1), size);
  for (int cell = 0; cell < map.cellCount(); ++cell) {
    std::array<std::uint32_t, kCellStates> expected{};
    const auto touches = [&](std::uint64_t offset, std::uint64_t bytes) {
      const std::uint64_t last = std::min(size - 1, offset + std::max<std::uint64_t>(bytes, 1) - 1);
      return offset <= map.cellEnd(cell) && last >= map.cellStart(cell);
    };
    for (const DamageEntry& e : damage) {
      if (touches(e.report.offset, e.report.size))
        ++expected[static_cast<std::size_t>(cellStateOf(e.report.kind))];
    }
    for (const FileExtent& x : extents) {
      if (touches(x.offset, x.size)) ++expected[static_cast<std::size_t>(CellState::kRecovered)];
    }
    CellState first = CellState::kIntact;
    for (int s = kCellStates - 2; s >= 0; --s) {
      EXPECT_EQ(map.count(cell, static_cast<CellState>(s)), expected[static_cast<std::size_t>(s)])
          << cell;
      if (expected[static_cast<std::size_t>(s)] > 0) first = static_cast<CellState>(s);
    }
    EXPECT_EQ(map.state(cell), first) << cell;
  }
}

// The largest result the view may be given: the damage list at its cap and 100,000 extents
// over a 434 MB file. Printed for the record; the budget is 50 ms of the GUI thread.
TEST(DamageViewTiming, BuildingTheViewOfTenThousandReportsAndAHundredThousandExtents) {
  std::mt19937_64 random(5);
  AnalysisResult result;
  auto store = std::make_shared<StoreFile>();
  store->fileSize = 434'000'000;
  result.fileSize = store->fileSize;
  result.scanRan = true;
  for (int i = 0; i < 100'000; ++i) {
    store->recovery.recoveredExtents.push_back({random() % store->fileSize / 64 * 64, 512});
  }
  result.store = store;
  for (std::size_t i = 0; i < DamageLog::kMaxKept; ++i) {
    const auto kind = static_cast<DamageKind>(random() % kDamageKindCount);
    result.damage.push_back({DamageReport{kind, "BTPAGE", random() % store->fileSize, 512, 0,
                                          "page at 0x4A200 could not be read: subtree skipped"},
                             i % 2 == 0, "Personal Folders\\Inbox\\", "A subject"});
  }
  result.damageReports = result.damage.size();

  QElapsedTimer build;
  build.start();
  auto view = std::make_unique<DamageView>(result);
  const qint64 built = build.nsecsElapsed();
  view->resize(1000, 700);
  QElapsedTimer paint;
  paint.start();
  const QImage image = view->grab().toImage();
  const qint64 painted = paint.nsecsElapsed();
  std::printf("damage view of %zu reports and %zu extents: built in %.1f ms, drawn in %.1f ms\n",
              result.damage.size(), store->recovery.recoveredExtents.size(), built / 1e6,
              painted / 1e6);
  EXPECT_EQ(view->reportModel()->rowCount(), static_cast<int>(DamageLog::kMaxKept));
  EXPECT_FALSE(image.isNull());
}

}  // namespace
}  // namespace palvara::gui
