// The Damage window: a picture of the store file, stretch by stretch, coloured by what the
// analysis found there (intact, damaged by kind, brought back by the recovery pass), the damage
// reports as a table with what each cost, and what the recovery pass found.
#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QDialog>
#include <QWidget>
#include <array>
#include <cstdint>
#include <vector>

#include "items/analysis.h"

class QLabel;
class QTableView;

namespace palvara::gui {

// What a stretch of the file shows. A cell takes the colour of the first state present in it,
// in this order: damage before recovery, recovery before nothing found.
enum class CellState { kCutOff, kZeroed, kBadCrc, kUnreadable, kOtherDamage, kRecovered, kIntact };
inline constexpr int kCellStates = 7;

// The state a report of `kind` gives its cells.
CellState cellStateOf(DamageKind kind);
// Fixed fills, legible on light and dark palettes alike (they never follow the palette).
QColor cellColour(CellState state);
QString cellStateLabel(CellState state);  // "Bad CRC", "Recovered by the scan", ...

// The file cut into cells of equal size, each with the reports and recovered extents that
// touch it. Built in one pass over the reports, the extents and the cells.
class FileMap {
 public:
  static constexpr int kMaxCells = 4096;
  static constexpr std::uint64_t kMinCellBytes = 512;  // a page of the small layouts

  FileMap() = default;
  // `endOfFile`: the end of the file the header gives (0 when not known); the picture goes on
  // past the file's own end to it when the analysis found structures cut off there.
  FileMap(std::uint64_t fileSize, std::uint64_t endOfFile, const std::vector<DamageEntry>& damage,
          const std::vector<FileExtent>& recovered);
  explicit FileMap(const AnalysisResult& result);

  int cellCount() const { return static_cast<int>(m_states.size()); }
  std::uint64_t cellBytes() const { return m_cellBytes; }
  std::uint64_t fileSize() const { return m_fileSize; }
  // The bytes drawn: the file, and the part missing from its end when it was cut off.
  std::uint64_t span() const { return m_span; }
  CellState state(int cell) const { return m_states[static_cast<std::size_t>(cell)]; }
  // Reports (or recovered extents, for kRecovered) of that state touching the cell.
  std::uint32_t count(int cell, CellState state) const;
  // The cell that holds byte `offset`, or -1 past the span.
  int cellAt(std::uint64_t offset) const;
  std::uint64_t cellStart(int cell) const { return static_cast<std::uint64_t>(cell) * m_cellBytes; }
  // The last byte of the cell (within the span).
  std::uint64_t cellEnd(int cell) const;
  // How many cells are in each state.
  std::array<int, kCellStates> cellsPerState() const;

 private:
  static constexpr int kCounted = 6;  // the states counted per cell: all but kIntact
  std::uint64_t m_fileSize = 0;
  std::uint64_t m_span = 0;
  std::uint64_t m_cellBytes = 1;
  std::vector<CellState> m_states;
  std::vector<std::array<std::uint32_t, kCounted>> m_counts;
};

// Draws a FileMap as a grid of cells, row after row; a tooltip says a cell's byte range and
// what is there.
class FileMapWidget : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kColumns = 128;

  explicit FileMapWidget(const FileMap& map, QWidget* parent = nullptr);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

  // The cell under a point of the widget, or -1; where a cell is drawn.
  int cellAtPoint(const QPoint& point) const;
  QRectF cellRect(int cell) const;
  QString toolTipFor(int cell) const;
  // Outlines one cell (-1: none), the one that holds the report chosen in the table.
  void setMarkedCell(int cell);
  int markedCell() const { return m_marked; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  bool event(QEvent* event) override;

 private:
  int rows() const;

  const FileMap& m_map;
  int m_marked = -1;
};

// The reports of an analysis: where, kind, structure, what it cost, the report's own text.
class DamageTableModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { kWhere, kKind, kStructure, kCost, kText, kColumnCount };

  explicit DamageTableModel(std::vector<DamageEntry> entries, QObject* parent = nullptr);
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  const DamageEntry& entry(int row) const { return m_entries[static_cast<std::size_t>(row)]; }

 private:
  std::vector<DamageEntry> m_entries;
};

// The Damage window of one analysis. It keeps its own copy of what it shows: the analysis
// result may go before it does.
class DamageView : public QDialog {
  Q_OBJECT
 public:
  explicit DamageView(const AnalysisResult& result, QWidget* parent = nullptr);

  const FileMap& fileMap() const { return m_map; }
  FileMapWidget* fileMapWidget() const { return m_mapWidget; }
  QTableView* reportTable() const { return m_table; }
  DamageTableModel* reportModel() const { return m_model; }
  QLabel* verdictLabel() const { return m_verdict; }
  QLabel* fileSizeLabel() const { return m_fileSize; }
  QLabel* recoveryLabel() const { return m_recovery; }
  // The legend's entries as shown ("Zeroed (3 cells)"), in the states' order.
  QStringList legendEntries() const { return m_legend; }

 private:
  QWidget* buildLegend();
  void markChosenReport();

  FileMap m_map;
  FileMapWidget* m_mapWidget = nullptr;
  DamageTableModel* m_model = nullptr;
  QTableView* m_table = nullptr;
  QLabel* m_verdict = nullptr;
  QLabel* m_fileSize = nullptr;
  QLabel* m_recovery = nullptr;
  QStringList m_legend;
};

// "414.2 MB (434,000,000 bytes)".
QString fileSizeText(std::uint64_t bytes);

}  // namespace palvara::gui
