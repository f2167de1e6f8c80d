#include "ccsds/vcdu_selection_stage.h"

namespace vantrel {

// Placeholder until the stage lands.
void VcduSelectionStage(StageHost& host) {
  host.AppendLog("VcduSelectionStage is not built yet.");
}

}  // namespace vantrel
