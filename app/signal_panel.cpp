#include "app/signal_panel.h"

#include <QPainter>
#include <QVBoxLayout>
#include <algorithm>

namespace vantrel {
namespace {

constexpr int kSide = 132;
// A clean symbol lies near magnitude 1; the square shows +-kScale.
constexpr float kScale = 1.6f;

}  // namespace

ConstellationView::ConstellationView(QWidget* parent) : QWidget(parent) {
  setObjectName("Constellation");
  setFixedSize(kSide, kSide);
  setToolTip("Constellation: the last symbols demodulated");
}

QSize ConstellationView::sizeHint() const {
  return {kSide, kSide};
}

void ConstellationView::SetPoints(const std::vector<std::complex<float>>& points) {
  points_ = points;
  update();
}

void ConstellationView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), QColor(16, 20, 28));
  const float half = static_cast<float>(width()) / 2;
  painter.setPen(QColor(70, 80, 96));
  painter.drawLine(QPointF(half, 0), QPointF(half, height()));
  painter.drawLine(QPointF(0, half), QPointF(width(), half));
  painter.setPen(QColor(120, 230, 140));
  for (const std::complex<float>& point : points_) {
    const float x = std::clamp(half + point.real() / kScale * half, 0.0f, width() - 1.0f);
    const float y = std::clamp(half - point.imag() / kScale * half, 0.0f, height() - 1.0f);
    painter.drawPoint(QPointF(x, y));
  }
}

SignalPanel::SignalPanel(QWidget* parent) : QWidget(parent) {
  setObjectName("SignalPanel");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(4);
  layout->addWidget(&constellation_);
  caption_.setObjectName("SignalCaption");
  caption_.setWordWrap(true);
  caption_.setFixedWidth(kSide);
  layout->addWidget(&caption_);
  layout->addStretch(1);
  setFixedWidth(kSide);
  hide();
}

void SignalPanel::Show(const SignalView& signal) {
  constellation_.SetPoints(signal.points);
  caption_.setText(
      signal.locked
          ? QString::asprintf("Locked (%.1f s in)\nCarrier %+.1f kHz\nEs/N0 %.1f dB",
                              signal.seconds, signal.carrier_offset_hz / 1000, signal.snr_db)
          : QString::asprintf("No lock (%.1f s in)\nSearching the carrier", signal.seconds));
  show();
}

void SignalPanel::Clear() {
  constellation_.SetPoints({});
  caption_.clear();
  hide();
}

}  // namespace vantrel
