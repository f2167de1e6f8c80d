#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Keeps bytes 10-891 of every VCDU: vcdu_x.vcd to 882-byte records in mpdu_x.mpd.
void CutMpduStage(StageHost& host);

}  // namespace vantrel
