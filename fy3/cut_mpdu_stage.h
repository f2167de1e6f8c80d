#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// Keeps bytes 10-891 of every VCDU: vcdu_x.vcd to 882-byte records in mpdu_x.mpd.
// Bytes written for missing or uncorrectable frames, and unmeasured gaps, are marked.
void CutMpduStep(StepIo& io);
extern const StepSpec kCutMpduStep;
// The step alone, on its working files.
void CutMpduStage(StageHost& host);

}  // namespace vantrel
