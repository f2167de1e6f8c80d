#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Packs every AVHRR packet of APID.pkt into an HRPT minor frame of the .hpt product.
void HptWriter(StageHost& host);

}  // namespace vantrel
