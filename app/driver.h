#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/chain_runner.h"
#include "core/satellite.h"
#include "core/stage_host.h"

namespace vantrel {

// One step of a chain and when it runs. A step reads what the enabled step before it hands on
// (the first enabled step reads the recording), so a new front-end step is one more row.
struct ChainStep {
  const StepSpec* stage;
  // Whether the step runs in a run of this chain state; null: always.
  bool (*enabled)(const ChainState&) = nullptr;
  bool raise_dat_header = false;  // raise DatHeaderPending before the run

  const char* name() const { return stage->name; }
  // The working file the step's output is kept as; empty for the final writer.
  std::string_view writes() const { return stage->writes; }
  bool EnabledIn(const ChainState& chain) const { return enabled == nullptr || enabled(chain); }
};

// A chain: its steps in order and where its final writer puts the product.
struct ChainDefinition {
  ChainKind kind;
  const char* title;
  std::vector<ChainStep> steps;
  std::string (*product_path)(StageHost&);
};

// Every working file the steps of `definition` can write, enabled or not, in the steps' order.
std::vector<std::string_view> ChainWorkingFiles(const ChainDefinition& definition);

// A satellite marker of the input name and what it selects.
struct MarkerRule {
  const char* marker;
  ChainKind chain;
  int variant;  // MetOp and FY-3: 0, 1, 2 for A, B, C; Meteor-M: the MSU-MR id
  const Satellite* satellite;
};

// The markers in the order they are tested.
const std::vector<MarkerRule>& MarkerRules();

// The chain of each kind.
const ChainDefinition& Chain(ChainKind kind);

// The marker rule of `input_path` (case-sensitive), or null: the file's own name is searched
// first, markers in their order, then the whole path.
const MarkerRule* FindMarker(std::string_view input_path);

// The product a run on `input_path` writes, by the final writer's own rule: its path in the
// working folder. Empty when the path has no satellite marker.
std::string ProductPathFor(std::string_view input_path);

// The chain of a satellite family.
ChainKind ChainOf(SatelliteFamily family);

// The path a product is named from when `input_path` lacks `satellite`'s marker: the input path
// with the marker it has replaced by `satellite`'s, or, without any marker, the marker followed
// by the pass's date and time ("MetopB_20261209_101530.bin", FY-3 "FY3B_2026-12-09_101530.bin").
std::string NamingPathWithMarker(std::string_view input_path, const Satellite& satellite);
std::string NamingPathFromTime(const Satellite& satellite, int64_t days_since_2000,
                               int64_t ms_of_day);

// What a recording holds.
enum class RecordingKind { kHardBits, kSoftSymbols, kBaseband };

// What the run's recording holds: the host's input kind when it names one, else the file name's
// extension (".soft", ".s": soft symbols; ".wav", ".cs16", ".cs8", ".cu8", ".cf32": baseband;
// anything else hard bits). Throws StageError for a kind that is none of them.
RecordingKind RecordingKindOf(StageHost& host);

// What a run of the Process button came to.
struct RunOutcome {
  bool recognised = false;  // a satellite marker was found and the chain ran
  bool failed = false;      // an error ended the run early (no product was written)
  bool locked_out = false;  // another run held the working folder: nothing was done
  bool stopped = false;     // the run was asked to stop (signal, or the window closing)
  int stop_signal = 0;      // the signal that asked, 0 for the user
  std::string error;        // why the run failed, also in the log
  std::string product;      // the product's path when one was written
  const Satellite* satellite = nullptr;  // the satellite whose chain ran
  bool close_program = false;            // batch mode and the final stage wrote at least one line
};

// One run, as the Process button, the command line and the spool start it: picks the satellite
// and its chain from the input path (or the satellite setting), gives the run's session the
// satellite, runs the stages, deletes the working files when asked and tells whether batch mode
// ends the program.
// `host` shows the run; `controls` give the input path and the settings, which every stage reads
// as they are at its start.
RunOutcome ProcessRecording(StageHost& host, RunControls& controls);

// The same for a host that holds its controls (the window, the command line's and the tests'
// hosts).
template <typename Host>
requires std::derived_from<Host, StageHost> && std::derived_from<Host, RunControls> RunOutcome
ProcessRecording(Host& host) {
  return ProcessRecording(static_cast<StageHost&>(host), static_cast<RunControls&>(host));
}

}  // namespace vantrel
