#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Rebuilds source packets from the M_PDUs and keeps one APID: mpdu_x.mpd to APID.pkt.
void ApidPacketExtractionStage(StageHost& host);

}  // namespace vantrel
