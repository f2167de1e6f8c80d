#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "baseband/baseband_reader.h"
#include "baseband/demodulator.h"
#include "core/chain_runner.h"
#include "core/satellite.h"
#include "core/stage_host.h"

namespace vantrel {

// The demodulation stage, first in a chain whose recording holds baseband samples: reads the
// recording (a WAV/RF64 file, or raw samples of the format and rate the options give), demodulates
// the downlink of the run's satellite (its modulation and symbol rate) and writes the soft symbols
// to demod.soft for the soft-symbol stage. Logs the signal once per second of recording (carrier
// offset, Es/N0, lock) and its summary, shows the signal to the host a few times per second, and
// adds its figures to the pass counts. A recording whose format or rate cannot be known, a broken
// header, or one with no signal ends the run with a line saying why.
void DemodulationStep(StepIo& io);

// The lowest sample rate a downlink is demodulated at, in samples per symbol.
double MinSamplesPerSymbol(Modulation modulation);
// The demodulator of a modulation. Throws std::invalid_argument for a config it cannot work with.
std::unique_ptr<Demodulator> MakeDemodulator(Modulation modulation,
                                             const DemodulatorConfig& config);

// Opens the baseband recording `path` (read through `input`, `size` bytes, -1 when unknown) as
// `reader` reads it: the format from the options, else the file's extension; the rate from the
// options, else the header's. Throws a StageError naming what is missing or wrong. Logs the
// warning of a rate given over a header's only when `log_warnings`.
void OpenBasebandRecording(StageHost& host, const std::string& path, InputFile& input, int64_t size,
                           BasebandReader& reader, bool log_warnings = true);
extern const StepSpec kDemodulationStep;
// The step alone, on its working files.
void DemodulationStage(StageHost& host);

}  // namespace vantrel
