#include "gui/damage_view.h"

#include <QBoxLayout>
#include <QDialogButtonBox>
#include <QEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QTableView>
#include <QToolTip>
#include <algorithm>
#include <cmath>

#include "reader/store_file.h"

namespace palvara::gui {
namespace {

constexpr int kCellHeight = 9;

QString hex(std::uint64_t value) { return QString::fromStdString(Hex(value)); }

QString grouped(std::uint64_t value) {
  return QLocale(QLocale::English, QLocale::UnitedStates).toString(static_cast<qulonglong>(value));
}

// Per cell and state, +1 where a run of cells starts and -1 after it ends: the counts are
// their running sums.
using Steps = std::vector<std::array<std::int32_t, 6>>;

void addRun(Steps& steps, int first, int last, CellState state) {
  const auto s = static_cast<std::size_t>(state);
  ++steps[static_cast<std::size_t>(first)][s];
  --steps[static_cast<std::size_t>(last) + 1][s];
}

// One line on the whole: how much damage of which kinds, and what the recovery pass gave back.
QString verdict(const AnalysisResult& result) {
  if (result.damageReports == 0 && !result.scanRan) {
    return "No damage found: every page and block the analysis read was as written. Bodies and "
           "attachments are read when an item is previewed or saved.";
  }
  QString text = result.damageReports == 0
                     ? QString("No damage found")
                     : QString("%1 damage %2")
                           .arg(grouped(result.damageReports))
                           .arg(result.damageReports == 1 ? "report" : "reports");
  std::array<std::size_t, kDamageKindCount> perKind{};
  for (const DamageEntry& e : result.damage) ++perKind[static_cast<std::size_t>(e.report.kind)];
  QStringList kinds;
  for (std::size_t k = 0; k < kDamageKindCount; ++k) {
    if (perKind[k] == 0) continue;
    kinds << QString("%1 %2").arg(DamageKindLabel(static_cast<DamageKind>(k))).arg(perKind[k]);
  }
  if (!kinds.isEmpty()) text += " (" + kinds.join(", ") + ")";
  if (result.scanRan) {
    text += QString("; the recovery pass brought back %1 %2 and %3 %4")
                .arg(result.itemsFromScan)
                .arg(result.itemsFromScan == 1 ? "item" : "items")
                .arg(result.foldersFromScan)
                .arg(result.foldersFromScan == 1 ? "folder" : "folders");
  }
  return text + ".";
}

}  // namespace

CellState cellStateOf(DamageKind kind) {
  switch (kind) {
    case DamageKind::kCutOff:
      return CellState::kCutOff;
    case DamageKind::kZeroed:
      return CellState::kZeroed;
    case DamageKind::kBadCrc:
      return CellState::kBadCrc;
    case DamageKind::kUnreadable:
      return CellState::kUnreadable;
    case DamageKind::kBadReference:
    case DamageKind::kCycle:
    case DamageKind::kInflate:
    case DamageKind::kInconsistent:
      return CellState::kOtherDamage;
  }
  return CellState::kOtherDamage;
}

QColor cellColour(CellState state) {
  // Mid tones: each stands out from a white and from a near-black background.
  switch (state) {
    case CellState::kCutOff:
      return QColor(0xC2, 0x18, 0x5B);  // magenta
    case CellState::kZeroed:
      return QColor(0x90, 0x90, 0x90);  // grey
    case CellState::kBadCrc:
      return QColor(0xF3, 0x9C, 0x12);  // amber
    case CellState::kUnreadable:
      return QColor(0x8E, 0x44, 0xAD);  // purple
    case CellState::kOtherDamage:
      return QColor(0xE5, 0x39, 0x35);  // red
    case CellState::kRecovered:
      return QColor(0x2E, 0x86, 0xDE);  // blue
    case CellState::kIntact:
      return QColor(0x5F, 0xA8, 0x5F);  // green
  }
  return Qt::black;
}

QString cellStateLabel(CellState state) {
  switch (state) {
    case CellState::kCutOff:
      return "Cut off";
    case CellState::kZeroed:
      return "Zeroed";
    case CellState::kBadCrc:
      return "Bad CRC";
    case CellState::kUnreadable:
      return "Unreadable";
    case CellState::kOtherDamage:
      return "Other damage";
    case CellState::kRecovered:
      return "Recovered by the scan";
    case CellState::kIntact:
      return "No damage found";
  }
  return {};
}

QString fileSizeText(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"KB", "MB", "GB", "TB"};
  QString text = grouped(bytes) + (bytes == 1 ? " byte" : " bytes");
  if (bytes < 1024) return text;
  double value = static_cast<double>(bytes);
  int unit = -1;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  return QString("%1 %2 (%3)").arg(value, 0, 'f', 1).arg(kUnits[unit]).arg(text);
}

FileMap::FileMap(std::uint64_t fileSize, std::uint64_t endOfFile,
                 const std::vector<DamageEntry>& damage, const std::vector<FileExtent>& recovered)
    : m_fileSize(fileSize) {
  // The picture goes past the file's end only as far as structures were found cut off there,
  // or the header's end of file when that is further, and never past 64 times the file.
  std::uint64_t span = fileSize;
  bool cut = false;
  for (const DamageEntry& e : damage) {
    if (e.report.kind != DamageKind::kCutOff || e.report.offset < fileSize) continue;
    cut = true;
    span = std::max(span, e.report.offset + std::max<std::uint64_t>(e.report.size, 1));
  }
  if (cut && endOfFile > span) span = endOfFile;
  span = std::min(span, std::max<std::uint64_t>(fileSize, 1) * 64);
  m_span = std::max<std::uint64_t>(span, 1);

  const std::uint64_t wanted = (m_span + kMinCellBytes - 1) / kMinCellBytes;
  const std::uint64_t most = std::clamp<std::uint64_t>(wanted, 1, kMaxCells);
  m_cellBytes = (m_span + most - 1) / most;
  // Cells of that size that the span reaches into: none lies wholly past it.
  const auto cells = static_cast<std::size_t>((m_span + m_cellBytes - 1) / m_cellBytes);

  Steps steps(cells + 1);
  auto mark = [&](std::uint64_t offset, std::uint64_t size, CellState state) {
    if (offset >= m_span) return;
    const std::uint64_t last = std::min(m_span - 1, offset + std::max<std::uint64_t>(size, 1) - 1);
    addRun(steps, cellAt(offset), cellAt(last), state);
  };
  for (const DamageEntry& e : damage) {
    // Offset 0 is "not known": a report about a node with no place in the file.
    if (e.report.offset == 0) continue;
    mark(e.report.offset, e.report.size, cellStateOf(e.report.kind));
  }
  for (const FileExtent& x : recovered) mark(x.offset, x.size, CellState::kRecovered);

  m_states.resize(cells, CellState::kIntact);
  m_counts.resize(cells);
  std::array<std::int32_t, kCounted> running{};
  for (std::size_t c = 0; c < cells; ++c) {
    for (int s = 0; s < kCounted; ++s) {
      running[static_cast<std::size_t>(s)] += steps[c][static_cast<std::size_t>(s)];
      m_counts[c][static_cast<std::size_t>(s)] =
          static_cast<std::uint32_t>(running[static_cast<std::size_t>(s)]);
    }
    // Bytes missing from the file's end are cut off, whatever was reported there.
    if (cellStart(static_cast<int>(c)) >= fileSize) {
      m_states[c] = CellState::kCutOff;
      continue;
    }
    for (int s = 0; s < kCounted; ++s) {
      if (m_counts[c][static_cast<std::size_t>(s)] > 0) {
        m_states[c] = static_cast<CellState>(s);
        break;
      }
    }
  }
}

FileMap::FileMap(const AnalysisResult& result)
    : FileMap(result.fileSize != 0 || !result.store ? result.fileSize : result.store->fileSize,
              result.store ? result.store->endOfFile : 0, result.damage,
              result.store ? result.store->recovery.recoveredExtents : std::vector<FileExtent>{}) {}

std::uint32_t FileMap::count(int cell, CellState state) const {
  if (state == CellState::kIntact || cell < 0 || cell >= cellCount()) return 0;
  return m_counts[static_cast<std::size_t>(cell)][static_cast<std::size_t>(state)];
}

int FileMap::cellAt(std::uint64_t offset) const {
  if (offset >= m_span) return -1;
  return static_cast<int>(offset / m_cellBytes);
}

std::uint64_t FileMap::cellEnd(int cell) const {
  return std::min(m_span, cellStart(cell) + m_cellBytes) - 1;
}

std::array<int, kCellStates> FileMap::cellsPerState() const {
  std::array<int, kCellStates> n{};
  for (CellState s : m_states) ++n[static_cast<std::size_t>(s)];
  return n;
}

FileMapWidget::FileMapWidget(const FileMap& map, QWidget* parent) : QWidget(parent), m_map(map) {
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
  setMouseTracking(true);
}

int FileMapWidget::rows() const { return (m_map.cellCount() + kColumns - 1) / kColumns; }

QSize FileMapWidget::sizeHint() const { return {kColumns * 6, rows() * kCellHeight}; }

QSize FileMapWidget::minimumSizeHint() const { return {kColumns * 3, rows() * kCellHeight}; }

QRectF FileMapWidget::cellRect(int cell) const {
  const double w = static_cast<double>(width()) / kColumns;
  const double h = static_cast<double>(height()) / std::max(1, rows());
  return {(cell % kColumns) * w, (cell / kColumns) * h, w, h};
}

int FileMapWidget::cellAtPoint(const QPoint& point) const {
  if (width() <= 0 || height() <= 0 || !rect().contains(point)) return -1;
  const int column = point.x() * kColumns / width();
  const int row = point.y() * std::max(1, rows()) / height();
  const int cell = row * kColumns + column;
  return cell < m_map.cellCount() ? cell : -1;
}

QString FileMapWidget::toolTipFor(int cell) const {
  if (cell < 0 || cell >= m_map.cellCount()) return {};
  const std::uint64_t first = m_map.cellStart(cell), last = m_map.cellEnd(cell);
  QStringList lines{QString("Bytes %1 to %2 (%3 to %4)")
                        .arg(hex(first), hex(last), grouped(first), grouped(last))};
  if (first >= m_map.fileSize()) lines << "Missing: the file ends before these bytes";
  for (int s = 0; s < kCellStates - 1; ++s) {
    const auto state = static_cast<CellState>(s);
    const std::uint32_t n = m_map.count(cell, state);
    if (n == 0) continue;
    lines << (state == CellState::kRecovered
                  ? QString("Recovered by the scan: %1 %2")
                        .arg(n)
                        .arg(n == 1 ? "block or page" : "blocks or pages")
                  : QString("%1: %2 %3")
                        .arg(cellStateLabel(state))
                        .arg(n)
                        .arg(n == 1 ? "report" : "reports"));
  }
  if (lines.size() == 1) lines << "No damage found here";
  return lines.join('\n');
}

void FileMapWidget::setMarkedCell(int cell) {
  m_marked = cell;
  update();
}

void FileMapWidget::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Base));
  const QRectF first = cellRect(0);
  // A gap between cells large enough to show one.
  const double gap = first.width() >= 4 ? 1.0 : 0.0;
  for (int c = 0; c < m_map.cellCount(); ++c) {
    painter.fillRect(cellRect(c).adjusted(0, 0, -gap, -gap), cellColour(m_map.state(c)));
  }
  if (m_marked >= 0 && m_marked < m_map.cellCount()) {
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    painter.drawRect(cellRect(m_marked).adjusted(-1, -1, 1, 1));
  }
}

bool FileMapWidget::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QString text = toolTipFor(cellAtPoint(help->pos()));
    if (text.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(help->globalPos(), text, this);
    }
    return true;
  }
  return QWidget::event(event);
}

DamageTableModel::DamageTableModel(std::vector<DamageEntry> entries, QObject* parent)
    : QAbstractTableModel(parent), m_entries(std::move(entries)) {}

int DamageTableModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int DamageTableModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant DamageTableModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount() || role != Qt::DisplayRole) {
    if (role == Qt::TextAlignmentRole && index.column() == kWhere) {
      return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    }
    return {};
  }
  const DamageEntry& e = entry(index.row());
  switch (index.column()) {
    case kWhere:
      return e.report.offset != 0 ? hex(e.report.offset) : QString("-");
    case kKind:
      return QString(DamageKindLabel(e.report.kind));
    case kStructure:
      return QString::fromStdString(e.report.structure);
    case kCost:
      return QString::fromStdString(DamageCost(e));
    case kText:
      return QString::fromStdString(e.report.text);
    default:
      return {};
  }
}

QVariant DamageTableModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case kWhere:
      return "Where";
    case kKind:
      return "Kind";
    case kStructure:
      return "Structure";
    case kCost:
      return "What it cost";
    case kText:
      return "Report";
    default:
      return {};
  }
}

DamageView::DamageView(const AnalysisResult& result, QWidget* parent)
    : QDialog(parent), m_map(result) {
  setObjectName("DamageView");
  setWindowTitle("Damage");
  auto* layout = new QVBoxLayout(this);

  m_verdict = new QLabel(this);
  m_verdict->setWordWrap(true);
  m_verdict->setText(verdict(result));
  layout->addWidget(m_verdict);

  auto* picture = new QGroupBox("The file", this);
  auto* pictureLayout = new QVBoxLayout(picture);
  QString size = "File size: " + fileSizeText(m_map.fileSize());
  if (m_map.span() > m_map.fileSize()) {
    size += QString("; the file ends early: %1 bytes after its end are missing")
                .arg(grouped(m_map.span() - m_map.fileSize()));
  }
  size += QString(". Each cell is %1 bytes.").arg(grouped(m_map.cellBytes()));
  m_fileSize = new QLabel(size, picture);
  m_fileSize->setWordWrap(true);
  pictureLayout->addWidget(m_fileSize);
  m_mapWidget = new FileMapWidget(m_map, picture);
  pictureLayout->addWidget(m_mapWidget);
  pictureLayout->addWidget(buildLegend());
  layout->addWidget(picture);

  auto* reports = new QGroupBox("Damage reports", this);
  auto* reportsLayout = new QVBoxLayout(reports);
  m_model = new DamageTableModel(result.damage, this);
  m_table = new QTableView(reports);
  m_table->setModel(m_model);
  m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_table->setSelectionMode(QAbstractItemView::SingleSelection);
  m_table->verticalHeader()->hide();
  m_table->horizontalHeader()->setStretchLastSection(true);
  m_table->setWordWrap(false);
  // Fixed widths: sizing columns to their contents would measure every row.
  m_table->setColumnWidth(DamageTableModel::kWhere, 90);
  m_table->setColumnWidth(DamageTableModel::kKind, 110);
  m_table->setColumnWidth(DamageTableModel::kStructure, 80);
  m_table->setColumnWidth(DamageTableModel::kCost, 240);
  reportsLayout->addWidget(m_table);
  if (result.damageReports > result.damage.size()) {
    reportsLayout->addWidget(
        new QLabel(QString("%1 more reports were counted but not kept.")
                       .arg(grouped(result.damageReports - result.damage.size())),
                   reports));
  }
  layout->addWidget(reports, 1);
  connect(m_table->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
          &DamageView::markChosenReport);

  auto* recovery = new QGroupBox("Recovery pass", this);
  auto* recoveryLayout = new QVBoxLayout(recovery);
  m_recovery = new QLabel(recovery);
  if (!result.scanRan) {
    m_recovery->setText("The recovery pass did not run: the walk of the file met no damage.");
  } else {
    const RecoverySummary none;
    const RecoverySummary& r = result.store ? result.store->recovery : none;
    m_recovery->setText(
        QString("Items put into \"%1\": %2\nFolders rebuilt: %3\nBlocks added to the index: %4\n"
                "Node entries added: %5\nItems recovered by the scan: %6\n"
                "Folders recovered by the scan: %7")
            .arg(kRecoveredItemsFolder)
            .arg(r.itemsFiled)
            .arg(r.foldersRebuilt)
            .arg(r.blocksAdded)
            .arg(r.nodesAdded)
            .arg(result.itemsFromScan)
            .arg(result.foldersFromScan));
  }
  recoveryLayout->addWidget(m_recovery);
  layout->addWidget(recovery);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(900, 640);
}

QWidget* DamageView::buildLegend() {
  auto* legend = new QWidget(this);
  auto* grid = new QGridLayout(legend);
  grid->setContentsMargins(0, 0, 0, 0);
  grid->setHorizontalSpacing(6);
  constexpr int kPerRow = 4;
  const std::array<int, kCellStates> cells = m_map.cellsPerState();
  for (int s = 0; s < kCellStates; ++s) {
    const auto state = static_cast<CellState>(s);
    auto* swatch = new QLabel(legend);
    QPixmap fill(12, 12);
    fill.fill(cellColour(state));
    swatch->setPixmap(fill);
    const int n = cells[static_cast<std::size_t>(s)];
    const QString text =
        QString("%1 (%2 %3)").arg(cellStateLabel(state)).arg(n).arg(n == 1 ? "cell" : "cells");
    m_legend << text;
    // The legend's words follow the palette; only the swatches have fixed colours.
    grid->addWidget(swatch, s / kPerRow, 2 * (s % kPerRow));
    grid->addWidget(new QLabel(text, legend), s / kPerRow, 2 * (s % kPerRow) + 1);
  }
  grid->setColumnStretch(2 * kPerRow - 1, 1);
  return legend;
}

void DamageView::markChosenReport() {
  const QModelIndex current = m_table->currentIndex();
  if (!current.isValid()) {
    m_mapWidget->setMarkedCell(-1);
    return;
  }
  const std::uint64_t offset = m_model->entry(current.row()).report.offset;
  m_mapWidget->setMarkedCell(offset != 0 ? m_map.cellAt(offset) : -1);
}

}  // namespace palvara::gui
