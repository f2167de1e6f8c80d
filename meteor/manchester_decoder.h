#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Decodes a Manchester-coded recording into cvcdu.man.
void ManchesterDecoder(StageHost& host);

}  // namespace vantrel
