#include "app/fy3x_settings_form.h"

#include "core/setting_ranges.h"

namespace vantrel {
namespace {

// Virtual channels of the instruments, in the order of the buttons.
constexpr int kVirrDayVcid = kFy3Channels[0];
constexpr int kVirrNightVcid = kFy3Channels[1];
constexpr int kMersiVcid = kFy3Channels[2];
static_assert(kFy3ChannelDefault == kVirrDayVcid, "the day button is the one checked at start");

const SettingsDialog::Frame kFrame = {
    "FY3x_settings", "FY3A/3B settings", {329, 251}, "FY3A/3B", {8, 8, 313, 192}, true,
};

constexpr int kRadioX = 24;
constexpr int kRadioWidth = 260;
constexpr int kRadioHeight = 20;
constexpr int kButtonY = 212;

}  // namespace

TFY3x_settings::TFY3x_settings(QWidget* parent) : SettingsDialog(parent, kFrame) {
  Group()->setObjectName("FY3xsettings");
  vcid5_.setObjectName("VCID5");
  vcid5_.setText("VIRR (day) VCID=5");
  vcid5_.setChecked(true);
  vcid5_.setGeometry(kRadioX, 40, kRadioWidth, kRadioHeight);
  vcid9_.setObjectName("VCID9");
  vcid9_.setText("VIRR (night) VCID=9");
  vcid9_.setGeometry(kRadioX, 84, kRadioWidth, kRadioHeight);
  vcid3_.setObjectName("VCID3");
  vcid3_.setText("MERSI VCID=3");
  vcid3_.setGeometry(kRadioX, 128, kRadioWidth, kRadioHeight);

  SetUpButton(ok_, "Button_OK", "OK", 80, kButtonY);
  ok_.setDefault(true);
  SetUpButton(cancel_, "Button_Cancel", "Cancel", 174, kButtonY);
  connect(&ok_, &QPushButton::clicked, this, &TFY3x_settings::Button_OKClick);
  connect(&cancel_, &QPushButton::clicked, this, &TFY3x_settings::Button_CancelClick);
}

int TFY3x_settings::Vcid() const {
  if (vcid5_.isChecked()) return kVirrDayVcid;
  if (vcid9_.isChecked()) return kVirrNightVcid;
  if (vcid3_.isChecked()) return kMersiVcid;
  return kVirrDayVcid;
}

void TFY3x_settings::Button_OKClick() {
  hide();
}

void TFY3x_settings::Button_CancelClick() {
  hide();
}

}  // namespace vantrel
