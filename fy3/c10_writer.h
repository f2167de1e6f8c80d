#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Turns the FY-3 lines of FY3x_.fy3 into the .C10 product.
void C10Writer(StageHost& host);

}  // namespace vantrel
