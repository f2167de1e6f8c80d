#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Finds the CADUs of the raw recording (or of cvcdu.man after Manchester decoding) and writes
// cadu.pds.
void CaduExtractionStage(StageHost& host);

}  // namespace vantrel
