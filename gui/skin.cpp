#include "gui/skin.h"

#include <QApplication>
#include <QDir>
#include <QVector>

#include "shell/app_paths.h"

namespace palvara::gui {

bool isKeyColour(QRgb pixel) {
  return qRed(pixel) <= kKeyTolerance && qGreen(pixel) >= 255 - kKeyTolerance &&
         qBlue(pixel) <= kKeyTolerance;
}

QRegion outlineOf(const QImage& image) {
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  QRegion keyed;
  QVector<QRect> runs;
  auto flush = [&] {
    QRegion part;
    part.setRects(runs.constData(), static_cast<int>(runs.size()));
    keyed += part;
    runs.clear();
  };
  for (int y = 0; y < rgb.height(); ++y) {
    const auto* line = reinterpret_cast<const QRgb*>(rgb.constScanLine(y));
    int x = 0;
    while (x < rgb.width()) {
      if (!isKeyColour(line[x])) {
        ++x;
        continue;
      }
      const int start = x;
      while (x < rgb.width() && isKeyColour(line[x])) ++x;
      runs.append(QRect(start, y, x - start, 1));
      if (runs.size() == 3000) flush();
    }
  }
  if (!runs.isEmpty()) flush();
  return QRegion(rgb.rect()) - keyed;
}

QString skinFolder() {
  return QDir(QString::fromStdString(palvara::AppPaths::ApplicationFolder().string()))
      .filePath("skins");
}

QPixmap loadSkin(const QString& name) { return QPixmap(QDir(skinFolder()).filePath(name)); }

QImage withoutKeyColour(const QImage& image) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      if (isKeyColour(line[x])) line[x] = qRgba(0, 0, 0, 0);
    }
  }
  return out;
}

namespace {

// "Step1.bmp" -> "Step1@2x.bmp": the same picture drawn at twice the size.
QString atTwice(const QString& path) {
  const int dot = static_cast<int>(path.lastIndexOf('.'));
  return dot < 0 ? path + "@2x" : path.left(dot) + "@2x" + path.mid(dot);
}

// The picture at `path`, drawn at the screen's pixel density when a picture of twice the size
// is there and the screen is that dense.
QPixmap loadForScreen(const QString& path) {
  if (qApp != nullptr && qApp->devicePixelRatio() > 1.0) {
    QPixmap twice(atTwice(path));
    if (!twice.isNull()) {
      twice.setDevicePixelRatio(2.0);
      return twice;
    }
  }
  return QPixmap(path);
}

QString applicationFile(const QString& relativePath) {
  return QDir(QString::fromStdString(palvara::AppPaths::ApplicationFolder().string())).filePath(relativePath);
}

}  // namespace

QPixmap loadKeyedPicture(const QString& name) {
  const QPixmap picture = loadForScreen(QDir(skinFolder()).filePath(name));
  if (picture.isNull()) return picture;
  QPixmap keyed = QPixmap::fromImage(withoutKeyColour(picture.toImage()));
  keyed.setDevicePixelRatio(picture.devicePixelRatio());
  return keyed;
}

QPalette skinPalette() {
  // Button and window colours from which Qt derives the shades of frames and bevels.
  QPalette p(QColor(0xEF, 0xEF, 0xEF), QColor(0xF4, 0xF6, 0xF9));
  p.setColor(QPalette::WindowText, QColor(0x1E, 0x1E, 0x1E));
  p.setColor(QPalette::ButtonText, QColor(0x1E, 0x1E, 0x1E));
  p.setColor(QPalette::Text, QColor(0x1E, 0x1E, 0x1E));
  p.setColor(QPalette::Base, Qt::white);
  p.setColor(QPalette::AlternateBase, QColor(0xF5, 0xF7, 0xFA));
  p.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xDC));
  p.setColor(QPalette::ToolTipText, Qt::black);
  p.setColor(QPalette::PlaceholderText, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Highlight, QColor(0x2F, 0x7B, 0xC8));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x1A, 0x5F, 0xB4));
  p.setColor(QPalette::LinkVisited, QColor(0x6A, 0x3D, 0x9A));
  p.setColor(QPalette::BrightText, Qt::white);
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text}) {
    p.setColor(QPalette::Disabled, role, QColor(0x9A, 0x9A, 0x9A));
  }
  p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0xC8, 0xC8, 0xC8));
  return p;
}

QPixmap loadPicture(const QString& relativePath) { return loadForScreen(applicationFile(relativePath)); }

}  // namespace palvara::gui

namespace palvara::gui {
QVector<QIcon> loadIcons(const QString& prefix, int count) {
  QVector<QIcon> icons;
  for (int i = 0; i < count; ++i) {
    // Both sizes: the icon is drawn with the one of the screen it is shown on.
    const QString file = applicationFile(QString("icons/%1-%2.png").arg(prefix).arg(i, 2, 10, QChar('0')));
    QIcon icon;
    for (const QString& path : {file, atTwice(file)}) {
      if (const QPixmap p(path); !p.isNull()) icon.addPixmap(p);
    }
    icons.append(icon);
  }
  return icons;
}
}  // namespace palvara::gui
