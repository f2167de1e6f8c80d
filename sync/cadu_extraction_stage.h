#pragma once

#include "core/stage_host.h"
#include "rs/reed_solomon_codec.h"

namespace vantrel {

// Finds the CADUs of what the step before wrote (the raw recording, or cvcdu.man after Manchester
// decoding, soft.bits after soft-symbol decoding: see StepInputPath) and writes cadu.pds.
void CaduExtractionStage(StageHost& host);

// Configures `codec` for the CCSDS code of the frames: RS(255,223), interleaving depth 4.
void ConfigureCcsdsCodec(ReedSolomonCodec& codec);

}  // namespace vantrel
