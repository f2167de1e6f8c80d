#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/chain_state.h"
#include "core/run_session.h"
#include "core/satellite.h"
#include "core/settings.h"

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

// What a run shows while it goes on, in the main window or wherever the host puts it: the log, the
// progress bar, the size label, the sync lamp and the signal, with the event pump. The window
// implements it over its controls; the command line and the tests over plain values. The rest of
// what a stage reads comes with the run's session: the chain state, the recording's path and the
// settings, read for the stage at its start.
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
  // A warning the operator must see even when the log is not shown (the command line's -q): the
  // log has it as any line, and a host that hides its log shows it elsewhere.
  virtual void AppendWarning(const std::string& line) { AppendLog(line); }
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

  // Driver notifications: the Process button's state and the stage about to run.
  virtual void SetProcessEnabled(bool /*enabled*/) {}
  virtual void StageStarting(std::string_view /*name*/) {}

  // The demodulated signal at this moment, a few times per second while a baseband recording is
  // demodulated (a window draws it; others need not).
  virtual void ShowSignal(const SignalView& /*signal*/) {}

  // The session of the run going on (see RunSession). Throws StageError when no session is
  // attached: a stage run outside a run.
  RunSession& Session() const;
  // Attaches `session` (null: none) and returns the one attached before; the driver does it for
  // every run.
  RunSession* AttachSession(RunSession* session);

  // The session's parts, as the stages read them.
  ChainState& Chain() const { return Session().chain; }
  const Settings& RunSettings() const { return Session().settings; }
  // The recording the run is for, as the input field held it when the run began.
  const std::string& InputPath() const { return Session().input_path; }
  // The satellite the run is for. Throws StageError when the session names none: a stage run
  // before the driver chose the satellite.
  const Satellite& RunSatellite() const;

 private:
  RunSession* session_ = nullptr;
};

// What the driver reads of the operator's controls for a run, and the two it sets: the window
// implements it over its fields and dialogs, the command line and the tests over a Settings
// struct.
class RunControls {
 public:
  virtual ~RunControls() = default;

  // Text of the input-path field, as typed.
  virtual std::string InputPathChoice() const = 0;
  // Every setting as the controls hold it now.
  virtual Settings CurrentSettings() const = 0;
  // The chain state the host keeps for the program's life (a run's session refers to it).
  virtual ChainState& KeptChain() = 0;
  // The driver switches de-randomisation and Reed-Solomon off for a Meteor-M N2 run, and
  // de-randomisation to what the frames need when the data chose the satellite; the boxes keep
  // the change for later runs.
  virtual void SetPNdecoding(bool checked) = 0;
  virtual void SetRSolomon(bool checked) = 0;
};

}  // namespace vantrel
