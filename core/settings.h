#pragma once

#include <cstdint>
#include <string>

#include "core/setting_ranges.h"

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
  // The recording's kind: "hard" (demodulated and decoded bits), "soft" (soft symbols),
  // "baseband" (I/Q samples), or empty for the file name's extension to tell (".soft" and ".s"
  // are soft symbols; ".wav", ".cs16", ".cs8", ".cu8" and ".cf32" baseband).
  std::string InputKind;
  // Baseband recordings: the samples per second (0: from the WAV header), the sample format
  // ("wav", "cs16", "cs8", "cu8", "cf32"; empty: from the extension) and the half-width of the
  // carrier search around the recording's centre.
  int64_t SampleRate = 0;
  std::string BasebandFormat;
  int64_t CarrierRangeHz = kCarrierRangeDefaultHz;
  // Uncorrectable frames' bytes go into the product as received instead of as zeros.
  bool KeepUncorrectable = false;
};

}  // namespace vantrel
