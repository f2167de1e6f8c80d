#include "app/metop_settings_form.h"

#include "app/form_look.h"

#include <QStringList>

#include "core/setting_ranges.h"

namespace vantrel {
namespace {

constexpr int kVcidDigits = 2;
constexpr int kMpduHeaderDigits = 1;
constexpr int kMaxPkLenDigits = 5;

const SettingsDialog::Frame kFrame = {
    "Metop_settings", "MetOp-A/B settings", {327, 256}, "MetOp - A/B", {8, 8, 311, 192}, true,
};

// Field column and rows inside the group box.
constexpr int kLabelX = 16;
constexpr int kFieldX = 184;
constexpr int kFieldHeight = 21;
constexpr int kRadioWidth = 240;
constexpr int kRadioHeight = 20;
constexpr int kButtonY = 212;

void SetUpLabel(QLabel& label, const char* text, QLineEdit& field, int y) {
  label.setText(text);
  MakeBold(label);
  label.move(kLabelX, y + 2);
  label.adjustSize();
  label.setBuddy(&field);
}

}  // namespace

TMetop_settings::TMetop_settings(QWidget* parent)
    : SettingsDialog(parent, kFrame),
      vcid_validator_(kVcidRange.low, kVcidRange.high, this),
      mpdu_header_validator_({kMpduHeaderLengths.begin(), kMpduHeaderLengths.end()}, this),
      max_packet_length_validator_(kPacketLengthRange.low, kPacketLengthRange.high, this) {
  vcid_.setObjectName("VCID_Metop");
  vcid_.setText(QString::number(kVcidDefault));
  vcid_.setMaxLength(kVcidDigits);
  vcid_.setValidator(&vcid_validator_);
  vcid_.setGeometry(kFieldX, 28, 41, kFieldHeight);
  SetUpLabel(vcid_label_, "VCID =", vcid_, 28);

  apid103_.setObjectName("APID103");
  apid103_.setText("APID 103 ( Day )");
  apid103_.setChecked(true);
  apid103_.setGeometry(kLabelX, 62, kRadioWidth, kRadioHeight);
  apid104_.setObjectName("APID104");
  apid104_.setText("APID 104 ( Night )");
  apid104_.setGeometry(kLabelX, 90, kRadioWidth, kRadioHeight);

  mpdu_header_.setObjectName("MPDU_header");
  mpdu_header_.setText(QString::number(kMpduHeaderDefault));
  mpdu_header_.setMaxLength(kMpduHeaderDigits);
  mpdu_header_.setValidator(&mpdu_header_validator_);
  mpdu_header_.setToolTip("MPDU HEADER LENGTH in bytes");
  mpdu_header_.setGeometry(kFieldX, 122, 25, kFieldHeight);
  SetUpLabel(mpdu_header_label_, "MPDU Header =", mpdu_header_, 122);

  max_packet_length_.setObjectName("MaxPkLen");
  max_packet_length_.setText(QString::number(kPacketLengthDefault));
  max_packet_length_.setMaxLength(kMaxPkLenDigits);
  max_packet_length_.setValidator(&max_packet_length_validator_);
  max_packet_length_.setGeometry(kFieldX, 154, 57, kFieldHeight);
  SetUpLabel(max_packet_length_label_, "MAX. PACKET LENGTH ", max_packet_length_, 154);

  SetUpButton(ok_, "Button_OK", "OK", 80, kButtonY);
  ok_.setDefault(true);
  SetUpButton(cancel_, "Button_Cancel", "Cancel", 172, kButtonY);
  connect(&ok_, &QPushButton::clicked, this, &TMetop_settings::Button_OKClick);
  connect(&cancel_, &QPushButton::clicked, this, &TMetop_settings::Button_CancelClick);
}

void TMetop_settings::SetAPID104(bool checked) {
  (checked ? apid104_ : apid103_).setChecked(true);
}

bool TMetop_settings::FieldsAcceptable() const {
  return vcid_.hasAcceptableInput() && mpdu_header_.hasAcceptableInput() &&
         max_packet_length_.hasAcceptableInput();
}

void TMetop_settings::Button_OKClick() {
  QStringList problems;
  if (!vcid_.hasAcceptableInput()) {
    problems << QString("VCID: a channel number from %1 to %2.")
                    .arg(kVcidRange.low)
                    .arg(kVcidRange.high);
  }
  if (!mpdu_header_.hasAcceptableInput()) {
    problems << QString("MPDU Header: a length of %1 or %2 bytes.")
                    .arg(kMpduHeaderLengths[0])
                    .arg(kMpduHeaderLengths[1]);
  }
  if (!max_packet_length_.hasAcceptableInput()) {
    problems << QString("MAX. PACKET LENGTH: a whole number from %1 to %2.")
                    .arg(kPacketLengthRange.low)
                    .arg(kPacketLengthRange.high);
  }
  if (!problems.isEmpty()) {
    ShowMessage(this, windowTitle(), "Please enter\n" + problems.join('\n'));
    return;
  }
  hide();
}

void TMetop_settings::Button_CancelClick() {
  hide();
}

}  // namespace vantrel
