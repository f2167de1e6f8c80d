#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Keeps the 892 data bytes of every cadu.pds record: cvcdu.rs.
void CvcduStage(StageHost& host);

}  // namespace vantrel
