#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/chain_state.h"
#include "core/run_session.h"
#include "core/setting_ranges.h"

namespace vantrel {

// What a display shows of a signal being demodulated.
struct SignalView {
  double seconds = 0;            // time into the recording
  double carrier_offset_hz = 0;  // the carrier's distance from the recording's centre
  double snr_db = 0;             // estimated Es/N0; meaningful while locked
  bool locked = false;
  std::vector<std::complex<float>> points;  // recent symbols, a clean one near magnitude 1
};

// Colours of the sync lamp, as Windows colour values (0x00BBGGRR).
enum class LampColour : uint32_t { Red = 0x0000FF, Green = 0x00FF00 };

// Everything a stage may use of the main window: the log, the progress bar, the size label, the
// sync lamp, the options (read at the moment they are needed), the input path and the event pump.
// The window implements it over its controls; the command line and the tests over plain values.
class StageHost {
 public:
  StageHost() = default;
  // A session belongs to the host it was attached to: a copy starts without one, and an
  // assignment keeps the session the host has.
  StageHost(const StageHost&) {}
  StageHost& operator=(const StageHost&) { return *this; }
  virtual ~StageHost() = default;

  // Appends one whole line to the log.
  virtual void AppendLog(const std::string& line) = 0;
  virtual void SetProgressMaximum(int64_t maximum) = 0;
  virtual void SetProgressPosition(int64_t position) = 0;
  // Caption of the size label ("File size ... bytes").
  virtual void SetSizeCaption(const std::string& caption) = 0;

  virtual bool LampActive() const = 0;
  virtual void SetLampActive(bool active) = 0;
  virtual LampColour GetLampColour() const = 0;
  virtual void SetLampColour(LampColour colour) = 0;

  // Lets the user interface run pending events. Called after every record, so it must return at
  // once when there is nothing to do.
  virtual void ProcessEvents() = 0;

  // Text of the input-path field, as typed.
  virtual std::string InputPath() const = 0;

  // Options, read live.
  virtual bool PNdecoding() const = 0;
  virtual void SetPNdecoding(bool checked) = 0;
  virtual bool RSolomon() const = 0;
  virtual void SetRSolomon(bool checked) = 0;
  virtual std::string VCID_Metop() const = 0;
  virtual bool APID104() const = 0;
  virtual std::string MPDU_header() const = 0;
  virtual std::string MaxPkLen() const = 0;
  // The FY-3 channel of the checked radio button, tested in the order VCID5, VCID9, VCID3.
  virtual int Fy3Vcid() const = 0;
  virtual bool Manchester_box() const = 0;
  virtual bool GetVCDU() const = 0;
  virtual bool GetAPID() const = 0;
  virtual bool FY3ASM() const = 0;
  virtual bool Full_CADU() const = 0;
  virtual bool DFiles() const = 0;
  virtual bool KeepUncorrectable() const = 0;

  // The satellite choice: empty for the file name's marker, "auto", or a --satellite value.
  virtual std::string SatelliteChoice() const { return {}; }
  // The pass date "YYYY-MM-DD" for an input without a marker; empty for the file's time.
  virtual std::string PassDateChoice() const { return {}; }

  // The recording's kind: "hard", "soft", "baseband", or empty for the file name's extension.
  virtual std::string InputKindChoice() const { return {}; }
  // Baseband recordings: the sample rate given (0: the WAV header's), the sample format given
  // (empty: the extension's or the header's) and the carrier search's half-width in hertz.
  virtual int64_t SampleRateChoice() const { return 0; }
  virtual std::string BasebandFormatChoice() const { return {}; }
  virtual int64_t CarrierRangeHz() const { return kCarrierRangeDefaultHz; }

  // The host's chain state (the session's `chain` during a run).
  virtual ChainState& Chain() = 0;

  // The session of the run going on (see RunSession). Throws StageError when no session is
  // attached: a stage run outside a run.
  RunSession& Session() const;
  // Attaches `session` (null: none) and returns the one attached before; the driver does it for
  // every run.
  RunSession* AttachSession(RunSession* session);

  // Driver notifications: the Process button's state and the stage about to run.
  virtual void SetProcessEnabled(bool /*enabled*/) {}
  virtual void StageStarting(std::string_view /*name*/) {}

  // The demodulated signal at this moment, a few times per second while a baseband recording is
  // demodulated (a window draws it; others need not).
  virtual void ShowSignal(const SignalView& /*signal*/) {}

 private:
  RunSession* session_ = nullptr;
};

}  // namespace vantrel
