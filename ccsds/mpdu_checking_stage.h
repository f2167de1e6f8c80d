#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// Drops the 6-byte VCDU header of every VCDU: vcdu_x.vcd to 886-byte M_PDUs in mpdu_x.mpd.
void MpduCheckingStep(StepIo& io);
extern const StepSpec kMpduCheckingStep;
// The step alone, on its working files.
void MpduCheckingStage(StageHost& host);

}  // namespace vantrel
