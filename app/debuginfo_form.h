#pragma once

#include <QCheckBox>
#include <QPushButton>

#include "app/settings_dialog.h"

namespace vantrel {

// The debug options: extra log listings of the stages and whether the working files are deleted
// after a run, and whether uncorrectable frames' bytes go into the product as received (noisy
// samples) rather than as zeros. "ASM search" and "Reed-Solomon processing" are kept for their look
// only.
class TDebugInfo : public SettingsDialog {
  Q_OBJECT

 public:
  explicit TDebugInfo(QWidget* parent = nullptr);

  bool GetVCDU() const { return get_vcdu_.isChecked(); }
  bool GetAPID() const { return get_apid_.isChecked(); }
  bool FY3ASM() const { return fy3_asm_.isChecked(); }
  bool Full_CADU() const { return full_cadu_.isChecked(); }
  bool DFiles() const { return delete_files_.isChecked(); }
  bool KeepUncorrectable() const { return keep_uncorrectable_.isChecked(); }

  void ButtonOKClick();

 private:
  QCheckBox asm_search_{Group()};
  QCheckBox rs_info_{Group()};
  QCheckBox get_vcdu_{Group()};
  QCheckBox get_apid_{Group()};
  QCheckBox fy3_asm_{Group()};
  QCheckBox full_cadu_{Group()};
  QCheckBox delete_files_{Group()};
  QCheckBox keep_uncorrectable_{Group()};
  QPushButton ok_{this};
};

}  // namespace vantrel
