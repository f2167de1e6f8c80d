#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QString>

#include "app/form_look.h"
#include "app/settings_dialog.h"

namespace vantrel {

// The MetOp settings: the virtual channel, day or night APID, the M_PDU header length and the
// largest packet length the packet builder accepts.
class TMetop_settings : public SettingsDialog {
  Q_OBJECT

 public:
  explicit TMetop_settings(QWidget* parent = nullptr);

  QString VCID_Metop() const { return vcid_.text(); }
  bool APID104() const { return apid104_.isChecked(); }
  // Checking APID 104 unchecks its radio partner APID 103, and the other way round.
  void SetAPID104(bool checked);
  QString MPDU_header() const { return mpdu_header_.text(); }
  QString MaxPkLen() const { return max_packet_length_.text(); }

  // True when every field holds a value the stages can use.
  bool FieldsAcceptable() const;

  // OK hides the dialog when the fields are usable and otherwise says which one is not.
  void Button_OKClick();
  // Cancel hides the dialog and keeps whatever was changed.
  void Button_CancelClick();

 private:
  QLabel vcid_label_{Group()};
  QLineEdit vcid_{Group()};
  QRadioButton apid103_{Group()};
  QRadioButton apid104_{Group()};
  QLabel mpdu_header_label_{Group()};
  QLineEdit mpdu_header_{Group()};
  QLabel max_packet_length_label_{Group()};
  QLineEdit max_packet_length_{Group()};
  QPushButton ok_{this};
  QPushButton cancel_{this};
  DigitsValidator vcid_validator_;
  ChoiceValidator mpdu_header_validator_;
  DigitsValidator max_packet_length_validator_;
};

}  // namespace vantrel
