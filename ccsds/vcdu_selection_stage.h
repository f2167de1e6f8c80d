#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Keeps the VCDUs of the selected virtual channel: cvcdu.rs to vcdu_x.vcd.
void VcduSelectionStage(StageHost& host);

}  // namespace vantrel
