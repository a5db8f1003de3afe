// palvara-draw DIR: draws the wizard's skins, step pictures and icons into DIR (the data
// folder): our own drawings, made with QPainter so that they can be redrawn at will.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <functional>

namespace {

const QColor kKey(0, 255, 0);
const QColor kInk(0x2b, 0x3a, 0x55);
const QColor kBlue(0x2f, 0x6f, 0xd0);
const QColor kYellow(0xf2, 0xc1, 0x4e);
const QColor kYellowDark(0xc9, 0x93, 0x1e);

// A window background: a soft gradient, an accent line, and key-coloured rounded corners.
QImage skin(int w, int h) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(kKey);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing, false);
  QLinearGradient g(0, 0, 0, h);
  g.setColorAt(0, QColor(0xe9, 0xf0, 0xfa));
  g.setColorAt(0.22, QColor(0xf8, 0xfa, 0xfd));
  g.setColorAt(1, QColor(0xff, 0xff, 0xff));
  QPainterPath body;
  body.addRoundedRect(QRectF(0, 0, w, h), 7, 7);
  p.fillPath(body, g);
  p.fillRect(QRect(0, h - 4, w, 4), kBlue);
  return img;
}

// A step banner: three numbered stages, the current one filled; `scale` 2 for screens of twice
// the pixel density.
QImage stepPicture(int current, const QStringList& names, int scale = 1) {
  QImage img(540 * scale, 40 * scale, QImage::Format_RGB32);
  img.fill(kKey);  // shown as transparent
  QPainter p(&img);
  p.scale(scale, scale);
  p.setRenderHint(QPainter::Antialiasing, false);  // no blend of ink into the key colour
  QFont f("DejaVu Sans", 9);
  for (int i = 0; i < names.size(); ++i) {
    const int x = 6 + i * 178;
    const bool on = i + 1 == current;
    p.setPen(QPen(on ? kBlue : QColor(0xa8, 0xb4, 0xc8), 2));
    p.setBrush(on ? kBlue : QColor(Qt::white));
    p.drawEllipse(QRectF(x, 8, 24, 24));
    f.setBold(true);
    p.setFont(f);
    p.setPen(on ? Qt::white : QColor(0x7a, 0x88, 0xa0));
    p.drawText(QRectF(x, 8, 24, 24), Qt::AlignCenter, QString::number(i + 1));
    f.setBold(on);
    p.setFont(f);
    p.setPen(on ? kInk : QColor(0x7a, 0x88, 0xa0));
    p.drawText(QRectF(x + 30, 8, 142, 24), Qt::AlignVCenter | Qt::AlignLeft, names[i]);
  }
  return img;
}

using Drawing = std::function<void(QPainter&)>;

// The scale the icons are drawn at: 1, or 2 for their "@2x" files.
int gIconScale = 1;

// Draws on a 16 x 16 grid at four times the size, then scales down smoothly.
QImage icon(const Drawing& draw, int size = 16) {
  const int pixels = size * gIconScale;
  QImage big(pixels * 4, pixels * 4, QImage::Format_ARGB32);
  big.fill(Qt::transparent);
  QPainter p(&big);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(4.0 * pixels / 16, 4.0 * pixels / 16);
  draw(p);
  p.end();
  return big.scaled(pixels, pixels, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void folder(QPainter& p, const QColor& face, const QColor& edge, bool open = false) {
  p.setPen(QPen(edge, 0.8));
  p.setBrush(face.darker(108));
  QPainterPath back;
  back.moveTo(1.5, 3.5);
  back.lineTo(6, 3.5);
  back.lineTo(7.5, 5);
  back.lineTo(14.5, 5);
  back.lineTo(14.5, 13.5);
  back.lineTo(1.5, 13.5);
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(face);
  if (open) {
    QPainterPath flap;
    flap.moveTo(3.5, 7);
    flap.lineTo(15.5, 7);
    flap.lineTo(13.5, 13.5);
    flap.lineTo(1.5, 13.5);
    flap.closeSubpath();
    p.drawPath(flap);
  } else {
    p.drawRect(QRectF(1.5, 6.5, 13, 7));
  }
}

void badge(QPainter& p, const QColor& c) {
  p.setPen(QPen(c.darker(140), 0.6));
  p.setBrush(c);
  p.drawEllipse(QRectF(8.5, 8.5, 7, 7));
}

void arrow(QPainter& p, bool down, const QColor& c) {
  p.setPen(QPen(c, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  if (down) {
    p.drawLine(QPointF(8, 1.5), QPointF(8, 7.5));
    p.drawPolyline(QPolygonF({QPointF(5.5, 5), QPointF(8, 7.5), QPointF(10.5, 5)}));
  } else {
    p.drawLine(QPointF(8, 7.5), QPointF(8, 1.5));
    p.drawPolyline(QPolygonF({QPointF(5.5, 4), QPointF(8, 1.5), QPointF(10.5, 4)}));
  }
}

void tray(QPainter& p, const QColor& c) {
  p.setPen(QPen(c.darker(150), 0.8));
  p.setBrush(c);
  QPainterPath t;
  t.moveTo(1.5, 9);
  t.lineTo(5, 9);
  t.lineTo(6, 11);
  t.lineTo(10, 11);
  t.lineTo(11, 9);
  t.lineTo(14.5, 9);
  t.lineTo(14.5, 14.5);
  t.lineTo(1.5, 14.5);
  t.closeSubpath();
  p.drawPath(t);
}

void page(QPainter& p, const QColor& paper = Qt::white) {
  p.setPen(QPen(QColor(0x70, 0x7c, 0x90), 0.8));
  p.setBrush(paper);
  p.drawRect(QRectF(3.5, 1.5, 9, 13));
}

void lines(QPainter& p, double x0, double x1, std::initializer_list<double> ys) {
  p.setPen(QPen(QColor(0x90, 0x9c, 0xb0), 0.8));
  for (double y : ys) p.drawLine(QPointF(x0, y), QPointF(x1, y));
}

void calendar(QPainter& p) {
  p.setPen(QPen(QColor(0x70, 0x7c, 0x90), 0.8));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(1.5, 2.5, 13, 12));
  p.fillRect(QRectF(1.9, 2.9, 12.2, 3.2), QColor(0xd6, 0x45, 0x45));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x60, 0x6c, 0x80));
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 4; ++c) p.drawRect(QRectF(3 + c * 2.8, 7.5 + r * 2.2, 1.6, 1.3));
}

void person(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawEllipse(QRectF(5, 1.5, 6, 6));
  QPainterPath body;
  body.moveTo(2, 15);
  body.cubicTo(2, 9, 14, 9, 14, 15);
  body.closeSubpath();
  p.drawPath(body);
}

void envelope(QPainter& p) {
  p.setPen(QPen(QColor(0x55, 0x66, 0x80), 0.8));
  p.setBrush(QColor(0xfb, 0xfc, 0xff));
  p.drawRect(QRectF(1.5, 3.5, 13, 9));
  p.setBrush(Qt::NoBrush);
  p.drawPolyline(QPolygonF({QPointF(1.5, 3.5), QPointF(8, 9), QPointF(14.5, 3.5)}));
}

void note(QPainter& p) {
  p.setPen(QPen(kYellowDark, 0.8));
  p.setBrush(QColor(0xff, 0xe8, 0x7a));
  QPainterPath n;
  n.moveTo(2.5, 2.5);
  n.lineTo(13.5, 2.5);
  n.lineTo(13.5, 10);
  n.lineTo(10, 13.5);
  n.lineTo(2.5, 13.5);
  n.closeSubpath();
  p.drawPath(n);
  lines(p, 4.5, 11.5, {5.5, 8});
}

void book(QPainter& p) {
  p.setPen(QPen(QColor(0x6b, 0x3e, 0x1e), 0.8));
  p.setBrush(QColor(0xa8, 0x62, 0x32));
  p.drawRoundedRect(QRectF(2.5, 1.5, 11, 13), 1, 1);
  p.setBrush(QColor(0xf3, 0xe6, 0xc8));
  p.drawRect(QRectF(5, 4, 6.5, 3));
}

void clipboard(QPainter& p) {
  p.setPen(QPen(QColor(0x70, 0x5a, 0x3a), 0.8));
  p.setBrush(QColor(0xd9, 0xb8, 0x84));
  p.drawRoundedRect(QRectF(2.5, 2, 11, 13), 1, 1);
  p.setBrush(Qt::white);
  p.drawRect(QRectF(4, 4, 8, 9.5));
  p.setPen(QPen(QColor(0x2a, 0x9d, 0x4a), 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.drawPolyline(QPolygonF({QPointF(5.5, 8.5), QPointF(7.5, 10.5), QPointF(11, 6)}));
}

void trash(QPainter& p) {
  p.setPen(QPen(QColor(0x4a, 0x55, 0x68), 0.8));
  p.setBrush(QColor(0xc4, 0xcc, 0xd8));
  QPainterPath bin;
  bin.moveTo(3.5, 4.5);
  bin.lineTo(12.5, 4.5);
  bin.lineTo(11.5, 14.5);
  bin.lineTo(4.5, 14.5);
  bin.closeSubpath();
  p.drawPath(bin);
  p.drawRect(QRectF(2, 3, 12, 1.5));
  p.drawRect(QRectF(6.5, 1.5, 3, 1.5));
  p.drawLine(QPointF(6.5, 6.5), QPointF(6.8, 12.5));
  p.drawLine(QPointF(9.5, 6.5), QPointF(9.2, 12.5));
}

void database(QPainter& p) {
  p.setPen(QPen(kBlue.darker(140), 0.8));
  p.setBrush(kBlue);
  p.drawRect(QRectF(2.5, 4, 11, 8.5));
  p.drawEllipse(QRectF(2.5, 10, 11, 4.5));
  p.setBrush(kBlue.lighter(150));
  p.drawEllipse(QRectF(2.5, 1.5, 11, 4.5));
}

QImage treeIcon(int index) {
  switch (index) {
    case 0: return icon([](QPainter& p) { folder(p, kYellow, kYellowDark); });
    case 1: return icon([](QPainter& p) { folder(p, kYellow, kYellowDark, true); });
    case 2: return icon(database);
    case 3: return icon(calendar);
    case 4: return icon([](QPainter& p) { person(p, QColor(0x3a, 0x7b, 0xc8)); });
    case 5: return icon(trash);
    case 6: return icon([](QPainter& p) {
      page(p);
      lines(p, 5, 11, {4.5, 7, 9.5});
      p.setPen(QPen(QColor(0xe0, 0x8a, 0x1e), 2.2, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(7.5, 13.5), QPointF(14, 7));
    });
    case 7: return icon([](QPainter& p) { tray(p, QColor(0x5a, 0x9b, 0xe6)); arrow(p, true, kInk); });
    case 8: return icon(book);
    case 9: return icon([](QPainter& p) {
      folder(p, QColor(0xd4, 0xd8, 0xde), QColor(0x80, 0x88, 0x94));
      badge(p, QColor(0xd6, 0x45, 0x45));
      p.setPen(QPen(Qt::white, 1.2));
      p.drawLine(QPointF(10.2, 10.2), QPointF(13.8, 13.8));
      p.drawLine(QPointF(13.8, 10.2), QPointF(10.2, 13.8));
    });
    case 10: return icon(note);
    case 11: return icon([](QPainter& p) { tray(p, QColor(0x8a, 0xc0, 0x6a)); arrow(p, false, kInk); });
    case 12: return icon([](QPainter& p) {
      p.setPen(QPen(kBlue.darker(130), 0.8));
      p.setBrush(QColor(0xe6, 0xef, 0xfc));
      p.drawPolygon(QPolygonF({QPointF(1, 7.5), QPointF(15, 1.5), QPointF(10.5, 14.5),
                               QPointF(7.5, 9.5)}));
      p.drawLine(QPointF(7.5, 9.5), QPointF(15, 1.5));
    });
    case 13: return icon(clipboard);
    case 14: return icon([](QPainter& p) {
      p.setPen(QPen(QColor(0x2a, 0x9d, 0x4a), 1.6, Qt::SolidLine, Qt::RoundCap));
      p.setBrush(Qt::NoBrush);
      p.drawArc(QRectF(2, 2, 12, 12), 30 * 16, 150 * 16);
      p.drawArc(QRectF(2, 2, 12, 12), 210 * 16, 150 * 16);
      p.setPen(QPen(QColor(0xd6, 0x45, 0x45), 1.8, Qt::SolidLine, Qt::RoundCap));
      p.drawLine(QPointF(8, 5), QPointF(8, 8.8));
      p.drawPoint(QPointF(8, 11.2));
    });
    case 15: return icon([](QPainter& p) { folder(p, QColor(0xc8, 0xd2, 0xe0), QColor(0x70, 0x7c, 0x90)); });
    default: return icon([](QPainter& p) {
      folder(p, kYellow, kYellowDark);
      badge(p, kBlue);
    });
  }
}

QImage listIcon(int index) {
  switch (index) {
    case 0: return icon(calendar);
    case 1: return icon([](QPainter& p) { person(p, QColor(0x3a, 0x7b, 0xc8)); });
    case 5: return icon(book);
    case 7: return icon(note);
    case 10: return icon(clipboard);
    case 13: return icon(envelope);
    default: {
      QImage empty(16 * gIconScale, 16 * gIconScale, QImage::Format_ARGB32);
      empty.fill(Qt::transparent);
      return empty;
    }
  }
}

QImage appIcon() {
  return icon([](QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 3, 3);
    envelope(p);
    p.setPen(QPen(QColor(0x2a, 0x9d, 0x4a), 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(9, 12.2), QPointF(11, 14), QPointF(14.6, 10)}));
  }, 64);
}

QImage captionIcon(int which) {
  return icon([which](QPainter& p) {
    if (which == 0) {  // View Report
      page(p);
      lines(p, 5, 11, {4.5, 7, 9.5, 12});
      return;
    }
    const QColor c = which == 1 ? kBlue : QColor(0xd6, 0x45, 0x45);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap));
    if (which == 1) {  // Help
      QFont f("DejaVu Sans", 10);
      f.setBold(true);
      p.setFont(f);
      p.drawText(QRectF(1, 1, 14, 14), Qt::AlignCenter, "?");
    } else {  // Exit
      p.drawLine(QPointF(5.5, 5.5), QPointF(10.5, 10.5));
      p.drawLine(QPointF(10.5, 5.5), QPointF(5.5, 10.5));
    }
  }, 20);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) return 2;
  QDir data(argv[1]);
  data.mkpath("skins");
  data.mkpath("icons");
  skin(640, 400).save(data.filePath("skins/PalvaraSkin1.bmp"));
  skin(1120, 720).save(data.filePath("skins/PalvaraSkin2.bmp"));
  skin(480, 250).save(data.filePath("skins/msgskin.bmp"));
  skin(780, 540).save(data.filePath("skins/msgskinsearch.bmp"));
  const QStringList road{"Choose the store", "Recover", "Save"};
  // Every picture placed on a window also at twice the size, for screens of twice the density.
  for (const int scale : {1, 2}) {
    gIconScale = scale;
    const QString at = scale == 1 ? "" : "@2x";
    stepPicture(1, road, scale).save(data.filePath("skins/Step1" + at + ".bmp"));
    stepPicture(2, road, scale).save(data.filePath("skins/Step2" + at + ".bmp"));
    stepPicture(3, road, scale).save(data.filePath("skins/Step4" + at + ".bmp"));
    stepPicture(1, {"Find the store", "Recover", "Save"}, scale).save(data.filePath("skins/Step5" + at + ".bmp"));
    for (int i = 0; i < 17; ++i) {
      treeIcon(i).save(data.filePath(QString("icons/tree-%1%2.png").arg(i, 2, 10, QChar('0')).arg(at)));
    }
    for (int i = 0; i < 14; ++i) {
      listIcon(i).save(data.filePath(QString("icons/list-%1%2.png").arg(i, 2, 10, QChar('0')).arg(at)));
    }
    captionIcon(0).save(data.filePath("icons/caption-report" + at + ".png"));
    captionIcon(1).save(data.filePath("icons/caption-help" + at + ".png"));
    captionIcon(2).save(data.filePath("icons/caption-exit" + at + ".png"));
  }
  gIconScale = 1;
  appIcon().save(data.filePath("icons/palvara.png"));
  return 0;
}
