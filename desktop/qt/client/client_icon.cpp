// The client's picture.
#include "desktop/qt/client/client_icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

namespace mdl::ui {
namespace {

QPixmap Draw(int size) {
  QPixmap p(size, size);
  p.fill(Qt::transparent);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const QRectF face(s * 0.08, s * 0.08, s * 0.84, s * 0.84);
  QRadialGradient grad(face.center() - QPointF(s * 0.12, s * 0.12), s * 0.6);
  grad.setColorAt(0, QColor(255, 255, 255));
  grad.setColorAt(1, QColor(205, 220, 240));
  g.setBrush(grad);
  g.setPen(QPen(QColor(20, 70, 160), s * 0.09));
  g.drawEllipse(face);
  // Hour marks at 12, 3, 6 and 9.
  const QPointF c = face.center();
  g.setPen(QPen(QColor(40, 40, 60), s * 0.05, Qt::SolidLine, Qt::RoundCap));
  for (int i = 0; i < 4; ++i) {
    g.save();
    g.translate(c);
    g.rotate(90.0 * i);
    g.drawLine(QPointF(0, -s * 0.33), QPointF(0, -s * 0.27));
    g.restore();
  }
  // Hands at ten past ten.
  g.setPen(QPen(QColor(20, 20, 30), s * 0.07, Qt::SolidLine, Qt::RoundCap));
  g.drawLine(c, c + QPointF(-s * 0.17, -s * 0.1));
  g.setPen(QPen(QColor(20, 20, 30), s * 0.05, Qt::SolidLine, Qt::RoundCap));
  g.drawLine(c, c + QPointF(s * 0.2, -s * 0.2));
  // A small arrow on the rim: the clock is brought in step.
  QPainterPath arrow;
  arrow.moveTo(s * 0.98, s * 0.62);
  arrow.lineTo(s * 0.72, s * 0.98);
  arrow.lineTo(s * 0.62, s * 0.66);
  arrow.closeSubpath();
  g.setPen(QPen(QColor(255, 255, 255), s * 0.03));
  g.setBrush(QColor(0, 150, 60));
  g.drawPath(arrow);
  return p;
}

}  // namespace

QIcon ClientIcon() {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) icon.addPixmap(Draw(size));
  return icon;
}

}  // namespace mdl::ui
