#pragma once

#include <QPushButton>
#include <QRadioButton>

#include "app/settings_dialog.h"

namespace vantrel {

// The FY-3 settings: which instrument's virtual channel the chain keeps.
class TFY3x_settings : public SettingsDialog {
  Q_OBJECT

 public:
  explicit TFY3x_settings(QWidget* parent = nullptr);

  // The channel of the checked radio button, tested in the order VIRR day, VIRR night, MERSI.
  int Vcid() const;

  void Button_OKClick();
  void Button_CancelClick();

 private:
  QRadioButton vcid5_{Group()};
  QRadioButton vcid9_{Group()};
  QRadioButton vcid3_{Group()};
  QPushButton ok_{this};
  QPushButton cancel_{this};
};

}  // namespace vantrel
