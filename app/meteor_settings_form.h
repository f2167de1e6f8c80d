#pragma once

#include <QCheckBox>
#include <QPushButton>

#include "app/settings_dialog.h"

namespace vantrel {

// The Meteor-M N2 settings: whether the recording is still Manchester coded.
class TMeteor_settings : public SettingsDialog {
  Q_OBJECT

 public:
  explicit TMeteor_settings(QWidget* parent = nullptr);

  bool Manchester_box() const { return manchester_.isChecked(); }
  void SetManchester_box(bool checked) { manchester_.setChecked(checked); }

  void Button1Click();
  void Button2Click();

 private:
  QCheckBox manchester_{Group()};
  QPushButton ok_{this};
  QPushButton cancel_{this};
};

}  // namespace vantrel
