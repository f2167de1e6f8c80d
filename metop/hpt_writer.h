#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// Packs every AVHRR packet of APID.pkt into an HRPT minor frame of the .hpt product, named by
// the run's satellite (ProductPath): the input name's base and "_M02.hpt", "_M03.hpt" or
// "_M04.hpt" (MetOp-A drops its marker), in the working folder.
void HptWriterStep(StepIo& io);
extern const StepSpec kHptWriterStep;
// The step alone, on its working files.
void HptWriter(StageHost& host);

}  // namespace vantrel
