#pragma once

#include <string>

#include "core/stage_host.h"

namespace vantrel {

// The product's path for the MetOp satellite the driver chose: the input name's base and
// "_M02.hpt", "_M03.hpt" or "_M04.hpt" (MetOp-A drops its marker), in the working folder.
std::string HptProductPath(StageHost& host);

// Packs every AVHRR packet of APID.pkt into an HRPT minor frame of the .hpt product.
void HptWriter(StageHost& host);

}  // namespace vantrel
