#pragma once

#include <string>

#include "baseband/baseband_reader.h"
#include "core/chain_runner.h"
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
extern const StepSpec kDemodulationStep;
// The step alone, on its working files.
void DemodulationStage(StageHost& host);

}  // namespace vantrel
