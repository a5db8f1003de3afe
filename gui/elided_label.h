// A one-line label whose text is shortened in the middle ("…") to the width it is given, so
// that a long text (a folder path) never widens its window.
#pragma once

#include <QLabel>
#include <QPainter>

namespace palvara::gui {

class ElidedLabel : public QLabel {
 public:
  explicit ElidedLabel(const QString& text = {}, QWidget* parent = nullptr) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setText(text);
  }
  // The whole text; text() is the same, the label only draws it shortened.
  void setText(const QString& text) {
    QLabel::setText(text);
    setToolTip(text);
  }
  QSize minimumSizeHint() const override { return {0, QLabel::minimumSizeHint().height()}; }
  QSize sizeHint() const override { return {0, QLabel::sizeHint().height()}; }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    const QRect area = contentsRect();
    painter.setPen(palette().color(foregroundRole()));
    painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
  }
};

}  // namespace palvara::gui
