#include "ccsds/apid_packet_extraction_stage.h"

namespace vantrel {

// Placeholder until the stage lands.
void ApidPacketExtractionStage(StageHost& host) {
  host.AppendLog("ApidPacketExtractionStage is not built yet.");
}

}  // namespace vantrel
