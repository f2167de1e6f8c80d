#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Turns the MSU-MR lines of MN2_.mnx into the _MN2.dat product.
void DatWriter(StageHost& host);

}  // namespace vantrel
