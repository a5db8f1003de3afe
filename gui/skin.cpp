#include "gui/skin.h"

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

QPixmap loadKeyedPicture(const QString& name) {
  const QPixmap skin = loadSkin(name);
  return skin.isNull() ? skin : QPixmap::fromImage(withoutKeyColour(skin.toImage()));
}

QPixmap loadPicture(const QString& relativePath) {
  return QPixmap(QDir(QString::fromStdString(palvara::AppPaths::ApplicationFolder().string()))
                     .filePath(relativePath));
}

}  // namespace palvara::gui

namespace palvara::gui {
QVector<QIcon> loadIcons(const QString& prefix, int count) {
  QVector<QIcon> icons;
  for (int i = 0; i < count; ++i) {
    const QPixmap p = loadPicture(QString("icons/%1-%2.png").arg(prefix).arg(i, 2, 10, QChar('0')));
    icons.append(p.isNull() ? QIcon() : QIcon(p));
  }
  return icons;
}
}  // namespace palvara::gui
