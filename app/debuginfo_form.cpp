#include "app/debuginfo_form.h"

namespace vantrel {
namespace {

const SettingsDialog::Frame kFrame = {
    "DebugInfo", "Debug Info", {258, 328}, "Show info during: ", {8, 8, 242, 265}, true,
};

constexpr int kBoxX = 16;
constexpr int kFirstBoxY = 28;
constexpr int kBoxPitch = 29;
constexpr int kBoxWidth = 220;
constexpr int kBoxHeight = 20;

}  // namespace

TDebugInfo::TDebugInfo(QWidget* parent) : SettingsDialog(parent, kFrame) {
  struct Box {
    QCheckBox& box;
    const char* name;
    const char* caption;
    bool checked;
  };
  const Box boxes[] = {
      {asm_search_, "ASMsearch", "ASM search", false},
      {rs_info_, "RSolInfo", "Reed-Solomon processing", false},
      {get_vcdu_, "GetVCDU", "Get VCDU", false},
      {get_apid_, "GetAPID", "Get APID", false},
      {fy3_asm_, "FY3ASM", "Inner ASM search (for FY3x)", false},
      {full_cadu_, "Full_CADU", "Fulll CADU", false},
      {delete_files_, "DFiles", "Delete intermediate files", true},
      {keep_uncorrectable_, "KeepUncorrectable", "Keep uncorrectable frames", false},
  };
  int y = kFirstBoxY;
  for (const Box& entry : boxes) {
    entry.box.setObjectName(entry.name);
    entry.box.setText(entry.caption);
    entry.box.setChecked(entry.checked);
    entry.box.setGeometry(kBoxX, y, kBoxWidth, kBoxHeight);
    y += kBoxPitch;
  }

  SetUpButton(ok_, "ButtonOK", "OK", 92, 285);
  ok_.setDefault(true);
  connect(&ok_, &QPushButton::clicked, this, &TDebugInfo::ButtonOKClick);
}

void TDebugInfo::ButtonOKClick() {
  hide();
}

}  // namespace vantrel
