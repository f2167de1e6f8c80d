#pragma once

#include <QLabel>
#include <QWidget>
#include <complex>
#include <vector>

#include "core/stage_host.h"

namespace vantrel {

// A constellation diagram: the recent symbols of the signal being demodulated, as points on a
// dark square with the axes drawn; a clean QPSK signal shows four tight clouds.
class ConstellationView : public QWidget {
  Q_OBJECT

 public:
  explicit ConstellationView(QWidget* parent = nullptr);
  void SetPoints(const std::vector<std::complex<float>>& points);
  const std::vector<std::complex<float>>& Points() const { return points_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::vector<std::complex<float>> points_;
};

// Beside the log while a baseband recording is demodulated: the constellation, the carrier
// offset, the signal-to-noise ratio and the lock. Hidden until the first signal of a run.
class SignalPanel : public QWidget {
  Q_OBJECT

 public:
  explicit SignalPanel(QWidget* parent = nullptr);
  void Show(const SignalView& signal);
  // Forgets the last run's signal and hides the panel.
  void Clear();
  const ConstellationView& Constellation() const { return constellation_; }
  QString Caption() const { return caption_.text(); }

 private:
  ConstellationView constellation_{this};
  QLabel caption_{this};
};

}  // namespace vantrel
