#pragma once

#include <QColor>
#include <QWidget>

#include "core/stage_host.h"

namespace vantrel {

// A Windows colour value (0x00BBGGRR) as a QColor.
QColor ColourFromWindowsValue(uint32_t value);

// The round sync lamp: lit in its active colour, dark (a darker shade of the same colour) when
// off. Changing a state only schedules a repaint, so stages may switch it freely.
class TiLedRound : public QWidget {
  Q_OBJECT

 public:
  explicit TiLedRound(QWidget* parent = nullptr);

  bool Active() const { return active_; }
  void SetActive(bool active);
  LampColour ActiveColour() const { return colour_; }
  void SetActiveColour(LampColour colour);

  // The colour the lamp is drawn in at the moment.
  QColor ShownColour() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  bool active_ = false;
  LampColour colour_ = LampColour::Green;
};

}  // namespace vantrel
