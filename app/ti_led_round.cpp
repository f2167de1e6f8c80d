#include "app/ti_led_round.h"

#include <QLinearGradient>
#include <QPainter>

namespace vantrel {
namespace {

// How much darker the off state is than the active colour (QColor::darker factor, percent).
constexpr int kOffShadeFactor = 300;
// Raised bevel: a light rim on the upper left, a dark one on the lower right.
constexpr int kBevelLightFactor = 160;
constexpr int kBevelDarkFactor = 250;
constexpr qreal kRimWidth = 1.5;
constexpr qreal kGlintOffset = 1.5;
constexpr qreal kGlintSize = 3.0;

}  // namespace

QColor ColourFromWindowsValue(uint32_t value) {
  return QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                static_cast<int>((value >> 16) & 0xFF));
}

TiLedRound::TiLedRound(QWidget* parent) : QWidget(parent) {}

void TiLedRound::SetActive(bool active) {
  if (active == active_) return;
  active_ = active;
  update();
}

void TiLedRound::SetActiveColour(LampColour colour) {
  if (colour == colour_) return;
  colour_ = colour;
  update();
}

QColor TiLedRound::ShownColour() const {
  const QColor active = ColourFromWindowsValue(static_cast<uint32_t>(colour_));
  return active_ ? active : active.darker(kOffShadeFactor);
}

void TiLedRound::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  const QColor base = ShownColour();

  // Bevel ring, lit from the upper left.
  QLinearGradient rim(bounds.topLeft(), bounds.bottomRight());
  rim.setColorAt(0.0, QColor(Qt::white));
  rim.setColorAt(1.0, QColor(Qt::gray).darker(kBevelDarkFactor));
  painter.setPen(Qt::NoPen);
  painter.setBrush(rim);
  painter.drawEllipse(bounds);

  // The lamp face: a flat disc in the shown colour with a small glint on the upper left.
  const QRectF face = bounds.adjusted(kRimWidth, kRimWidth, -kRimWidth, -kRimWidth);
  painter.setBrush(base);
  painter.drawEllipse(face);
  const QColor glint = base.lighter(kBevelLightFactor);
  painter.setBrush(glint);
  painter.drawEllipse(
      QRectF(face.topLeft() + QPointF(kGlintOffset, kGlintOffset), QSizeF(kGlintSize, kGlintSize)));
}

}  // namespace vantrel
