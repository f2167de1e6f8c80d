#pragma once

#include <string>

namespace vantrel {

// Every option a stage or the driver reads, with the values the program starts with. The window
// keeps these in its controls; the command line and the tests keep them in this struct.
struct Settings {
  // Main window.
  bool PNdecoding = false;  // de-randomisation
  bool RSolomon = true;     // Reed-Solomon correction
  // MetOp settings (texts as typed; stages convert them when they read them).
  std::string VCID_Metop = "9";
  bool APID104 = false;  // night channel; APID 103 otherwise
  std::string MPDU_header = "4";
  std::string MaxPkLen = "12966";
  // FY-3 settings: the channel of the checked radio button (VIRR day 5, VIRR night 9, MERSI 3).
  int Fy3Vcid = 5;
  // Meteor settings.
  bool Manchester_box = false;
  // Debug settings.
  bool ASMsearch = false;  // no effect
  bool RSolInfo = false;   // no effect
  bool GetVCDU = false;
  bool GetAPID = false;
  bool FY3ASM = false;
  bool Full_CADU = false;
  bool DFiles = true;  // delete intermediate files after a run
  // The satellite: empty for the file name's marker, "auto" for the data, or a satellite's
  // --satellite value ("metop-c").
  std::string Satellite;
  // The pass date "YYYY-MM-DD" of an input named without a marker (FY-3, Meteor-M); empty for
  // the recording's modification time.
  std::string PassDate;
  // The recording's kind: "hard" (demodulated and decoded bits), "soft" (soft symbols), or empty
  // for the file name's extension to tell (".soft" and ".s" are soft symbols).
  std::string InputKind;
  // Uncorrectable frames' bytes go into the product as received instead of as zeros.
  bool KeepUncorrectable = false;
};

}  // namespace vantrel
