#include "app/meteor_settings_form.h"

namespace vantrel {
namespace {

const SettingsDialog::Frame kFrame = {
    "Meteor_settings", "Meteor MNx settings", {321, 189}, "Meteor MNx", {8, 8, 305, 120}, false,
};

constexpr int kButtonY = 144;

}  // namespace

TMeteor_settings::TMeteor_settings(QWidget* parent) : SettingsDialog(parent, kFrame) {
  manchester_.setObjectName("Manchester_box");
  manchester_.setText("Manchester decoder");
  manchester_.setGeometry(24, 48, 240, 20);

  SetUpButton(ok_, "Button1", "OK", 76, kButtonY);
  ok_.setDefault(true);
  SetUpButton(cancel_, "Button2", "Cancel", 170, kButtonY);
  connect(&ok_, &QPushButton::clicked, this, &TMeteor_settings::Button1Click);
  connect(&cancel_, &QPushButton::clicked, this, &TMeteor_settings::Button2Click);
}

void TMeteor_settings::Button1Click() {
  hide();
}

void TMeteor_settings::Button2Click() {
  hide();
}

}  // namespace vantrel
