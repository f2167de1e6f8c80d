#include "ccsds/mpdu_checking_stage.h"

namespace vantrel {

// Placeholder until the stage lands.
void MpduCheckingStage(StageHost& host) {
  host.AppendLog("MpduCheckingStage is not built yet.");
}

}  // namespace vantrel
