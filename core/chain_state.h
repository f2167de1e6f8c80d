#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/pass_counts.h"

namespace vantrel {

// What a recording told of itself before its run (its name, a metadata file, its header), as the
// driver found it; the operator's options win over every value.
struct RecordingFacts {
  // The file the steps read: the input, or the data file a metadata file names.
  std::string path;
  std::string sample_format;  // baseband: "cs16", "cu8", ...; empty: the options or the extension
  int64_t sample_rate = 0;    // baseband samples per second; 0: not told
  int64_t header_bytes = 0;   // bytes before the raw samples (an .sdriq header)
  // The recording's start (UTC), when told: the pass date of FY-3 and Meteor-M products, and the
  // product's name when the input's name has no time where the naming rule looks for it.
  std::optional<int64_t> days_since_2000;
  int64_t ms_of_day = 0;
  std::string time_source;  // where the start came from, for the log
};

// Values shared by the driver, the stages and the window, kept by the host for the program's life
// (the window's progress bar and the batch ending read them between runs). What a run must not
// inherit from the one before is cleared by the driver's BeginRun; the rest is set where noted.
struct ChainState {
  // Records done by the running stage; the window's timer copies it into the progress bar.
  int32_t ProgressCount = 0;
  // Size in bytes of the run's recording, measured by the driver before the first step (64-bit:
  // passes exceed 2 GiB); empty when it could not be measured (the first stage then says why)
  // and while no run goes on.
  std::optional<int64_t> RecordingBytes;
  // Record count of the last final writer that finished; read by the batch-mode ending.
  int32_t LastLineCount = 0;

  // The path the final writers take the product's name (and the FY-3 pass date) from when it is
  // not the input path: an input without the chosen satellite's marker is named as if it had it.
  std::string NamingPath;
  // Set before a run whose product is named from its data (no marker in the input's name): the
  // NamingPath is made as the first record reaches the final writer, which reads it only after
  // that record.
  bool NameFromData = false;
  // Set when the Manchester stage ran in the current Meteor-M N2 chain.
  bool ManchesterDone = false;
  // Set for a run whose recording holds soft symbols, or baseband samples that the demodulation
  // stage turns into soft symbols: the soft-symbol stage runs.
  bool SoftInput = false;
  // Set for a run whose recording holds baseband (I/Q) samples: the demodulation stage runs first.
  bool BasebandInput = false;
  // Raised just before the DAT writer runs; the writer lowers it after the header record.
  bool DatHeaderPending = false;
  // Set by the command-line start; never cleared.
  bool BatchMode = false;

  // What the recording told of itself, set by the driver before the first step.
  RecordingFacts Recording;

  // Counts of the current run, cleared by the driver before its first stage.
  PassCounts Counts;
};

}  // namespace vantrel
