#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// Rebuilds source packets from the M_PDUs and keeps one APID: mpdu_x.mpd to APID.pkt.
void ApidPacketExtractionStep(StepIo& io);
extern const StepSpec kApidPacketExtractionStep;
// The step alone, on its working files.
void ApidPacketExtractionStage(StageHost& host);

}  // namespace vantrel
