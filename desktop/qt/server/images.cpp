// The image list: pictures drawn here, flags from the program's resources.
#include "desktop/qt/server/images.h"

#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <string_view>

// The flags' resources live in this static library: registered on first use.
static void InitFlagResources() { Q_INIT_RESOURCE(mdl_flags); }

namespace mdl::ui {

using desktop::kImageLedOff;
using desktop::kImageLedOn;
using desktop::kImageServer;
using desktop::kImageService;

namespace {

QPixmap Canvas(int size, qreal scale) {
  QPixmap p(QSize(size, size) * scale);
  p.setDevicePixelRatio(scale);
  p.fill(Qt::transparent);
  return p;
}

// An indicator lamp: lit, a bright green glow; dark, a dull grey-green.
QPixmap DrawLed(bool lit, int size, qreal scale) {
  QPixmap p = Canvas(size, scale);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  const QRectF r(1, 1, size - 2, size - 2);
  QRadialGradient grad(r.center() - QPointF(size * 0.15, size * 0.15), size * 0.6);
  if (lit) {
    grad.setColorAt(0, QColor(220, 255, 200));
    grad.setColorAt(0.45, QColor(40, 230, 40));
    grad.setColorAt(1, QColor(0, 120, 0));
  } else {
    grad.setColorAt(0, QColor(150, 160, 150));
    grad.setColorAt(0.5, QColor(70, 85, 70));
    grad.setColorAt(1, QColor(35, 45, 35));
  }
  g.setBrush(grad);
  g.setPen(QPen(QColor(20, 30, 20), 1));
  g.drawEllipse(r);
  return p;
}

// The server: a clock face with a green rim.
QPixmap DrawServer(int size, qreal scale) {
  QPixmap p = Canvas(size, scale);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const QRectF face(s * 0.06, s * 0.06, s * 0.88, s * 0.88);
  g.setPen(QPen(QColor(0, 110, 40), s * 0.09));
  g.setBrush(QColor(250, 250, 240));
  g.drawEllipse(face);
  g.setPen(QPen(QColor(30, 30, 30), s * 0.08, Qt::SolidLine, Qt::RoundCap));
  const QPointF c = face.center();
  g.drawLine(c, c + QPointF(0, -s * 0.30));
  g.drawLine(c, c + QPointF(s * 0.22, s * 0.08));
  g.setBrush(QColor(200, 0, 0));
  g.setPen(Qt::NoPen);
  g.drawEllipse(c, s * 0.06, s * 0.06);
  return p;
}

// A service: a rack unit with a lamp.
QPixmap DrawService(int size, qreal scale) {
  QPixmap p = Canvas(size, scale);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  g.setPen(QPen(QColor(40, 50, 70), 1));
  g.setBrush(QColor(120, 140, 175));
  g.drawRoundedRect(QRectF(s * 0.08, s * 0.22, s * 0.84, s * 0.56), s * 0.1, s * 0.1);
  g.setPen(QPen(QColor(40, 50, 70), s * 0.07));
  g.drawLine(QPointF(s * 0.22, s * 0.42), QPointF(s * 0.58, s * 0.42));
  g.drawLine(QPointF(s * 0.22, s * 0.58), QPointF(s * 0.58, s * 0.58));
  g.setPen(Qt::NoPen);
  g.setBrush(QColor(40, 220, 40));
  g.drawEllipse(QPointF(s * 0.76, s * 0.5), s * 0.08, s * 0.08);
  return p;
}

// No flag: a globe.
QPixmap DrawGlobe(int size, qreal scale) {
  QPixmap p = Canvas(size, scale);
  QPainter g(&p);
  g.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const QRectF r(s * 0.1, s * 0.1, s * 0.8, s * 0.8);
  g.setBrush(QColor(110, 170, 230));
  g.setPen(QPen(QColor(20, 70, 140), s * 0.06));
  g.drawEllipse(r);
  g.setBrush(Qt::NoBrush);
  g.setPen(QPen(QColor(20, 70, 140), s * 0.05));
  g.drawEllipse(QRectF(s * 0.32, s * 0.1, s * 0.36, s * 0.8));
  g.drawLine(QPointF(s * 0.1, s * 0.5), QPointF(s * 0.9, s * 0.5));
  return p;
}

QPixmap Flag(const QString& cc) {
  static const bool registered = (InitFlagResources(), true);
  (void)registered;
  QPixmap p(":/flags/" + cc + ".png");
  return p;
}

// The flag picture's resource name, empty for numbers without a flag.
QString FlagCountry(int number) {
  const std::string_view cc = desktop::FlagCountry(number);
  return QString::fromLatin1(cc.data(), static_cast<qsizetype>(cc.size()));
}

}  // namespace

QPixmap ImagePixmap(int number, int logical_size, qreal scale) {
  switch (number) {
    case kImageServer:
      return DrawServer(logical_size, scale);
    case kImageLedOff:
      return DrawLed(false, logical_size, scale);
    case kImageLedOn:
      return DrawLed(true, logical_size, scale);
    case kImageService:
      return DrawService(logical_size, scale);
    default:
      break;
  }
  if (QString cc = FlagCountry(number); !cc.isEmpty()) {
    QPixmap f = Flag(cc);
    if (!f.isNull()) return f;
  }
  return DrawGlobe(logical_size, scale);
}

// Not cached in a static: pictures must not outlive the application.
QIcon ImageIcon(int number) {
  QIcon icon;
  if (FlagCountry(number).isEmpty() || Flag(FlagCountry(number)).isNull()) {
    for (int size : {16, 22, 32, 48}) icon.addPixmap(ImagePixmap(number, size, 2.0));
  } else {
    icon.addPixmap(Flag(FlagCountry(number)));
  }
  return icon;
}

}  // namespace mdl::ui
