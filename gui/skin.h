// Window skins: a bitmap from the data folder painted as the window's background, and the
// window's outline taken from it (every pixel near pure green is cut away).
#pragma once

#include <QImage>
#include <QPalette>
#include <QPixmap>
#include <QRegion>
#include <QString>

namespace palvara::gui {

inline constexpr int kKeyTolerance = 17;

// Whether a pixel lies within the tolerance of the key colour (red 0, green 255, blue 0).
bool isKeyColour(QRgb pixel);

// The image's rectangle minus every key-coloured pixel; the whole rectangle when none is.
QRegion outlineOf(const QImage& image);

// The folder of the skin bitmaps and pictures: the application folder's "skins".
QString skinFolder();

// The bitmap `name` of the skin folder; a null pixmap when it is missing.
QPixmap loadSkin(const QString& name);

// The same with its key-coloured pixels transparent (pictures placed on a window).
QPixmap loadKeyedPicture(const QString& name);

// `image` with every key-coloured pixel made transparent.
QImage withoutKeyColour(const QImage& image);

// The palette a skinned window draws its controls with, whatever the desktop's: dark text on
// the light skins, light fields, the selection in the skins' blue.
QPalette skinPalette();

// A picture of the application folder ("icons/tree-07.png", ...); null when missing.
QPixmap loadPicture(const QString& relativePath);

}  // namespace palvara::gui

#include <QIcon>
#include <QVector>

namespace palvara::gui {
// Icons "icons/<prefix>-00.png" ... of the application folder; a missing one is an empty icon.
QVector<QIcon> loadIcons(const QString& prefix, int count);
}  // namespace palvara::gui
