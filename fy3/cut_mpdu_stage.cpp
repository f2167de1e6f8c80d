#include "fy3/cut_mpdu_stage.h"

namespace vantrel {

// Placeholder until the stage lands.
void CutMpduStage(StageHost& host) {
  host.AppendLog("CutMpduStage is not built yet.");
}

}  // namespace vantrel
