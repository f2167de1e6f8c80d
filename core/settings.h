#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/setting_ranges.h"

namespace vantrel {

// A whole-number setting: a number, or the text the operator typed when that is none. The
// command line gives numbers it has checked already; the window gives its fields' texts, read the
// way the fields are (blanks around an optionally signed run of decimal digits). The stage that
// uses the setting reads it with Value() at its start and checks it against its owner's range.
class IntegerSetting {
 public:
  IntegerSetting(const char* name, int value) : name_(name), value_(value) {}

  IntegerSetting& operator=(int value);
  // A text that is no whole number (or does not fit 32 bits) is kept as typed, for Value() to
  // name.
  IntegerSetting& operator=(std::string_view text);
  IntegerSetting& operator=(const char* text) { return *this = std::string_view(text); }
  IntegerSetting& operator=(const std::string& text) { return *this = std::string_view(text); }

  // The number. Throws StageError "NAME: 'TEXT' is not a valid integer value" when the text
  // given is none.
  int Value() const;
  bool Valid() const { return valid_; }
  const char* Name() const { return name_; }

 private:
  const char* name_;
  int value_;
  bool valid_ = true;
  std::string text_;  // the text given, when it is no number
};

// Converts a settings text to an integer the way the settings fields are read: optional blanks
// around an optionally signed run of decimal digits. Throws StageError naming the setting and
// the text when it is not a whole number or does not fit 32 bits.
int ParseSettingInteger(std::string_view setting, std::string_view text);

// Every option a stage or the driver reads, with the values the program starts with. The window
// keeps these in its controls and the command line and the tests in this struct; the driver hands
// each stage a copy read at the stage's start (StageHost::RunSettings).
struct Settings {
  // Main window.
  bool PNdecoding = false;  // de-randomisation
  // The operator set PNdecoding for this run (DR_y, DR_n, an option); otherwise the driver may
  // set it from what the downlink or the data show.
  bool PNdecodingGiven = false;
  bool RSolomon = true;  // Reed-Solomon correction
  // MetOp settings.
  IntegerSetting VCID_Metop{"VCID_Metop", kVcidDefault};
  bool APID104 = false;  // night channel; APID 103 otherwise
  IntegerSetting MPDU_header{"MPDU_header", kMpduHeaderDefault};
  IntegerSetting MaxPkLen{"MaxPkLen", kPacketLengthDefault};
  // FY-3 settings: the channel of the checked radio button (VIRR day 5, VIRR night 9, MERSI 3).
  int Fy3Vcid = kFy3ChannelDefault;
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
  // A live pass: the recording is read as its recorder writes it (a stream, "-" or
  // "tcp://HOST:PORT", always is), until it has not grown for FollowIdleSeconds, a NAME.part was
  // renamed, or DurationSeconds (> 0) passed.
  bool Follow = false;
  int FollowIdleSeconds = 10;
  int DurationSeconds = 0;
};

// The MetOp packet settings as the packet stages read them, checked against their ranges
// (setting_ranges.h): each throws StageError naming the setting when its value cannot work.
int MpduHeaderLength(const Settings& settings);
int MaxPacketLength(const Settings& settings);

}  // namespace vantrel
