#include "rs/cvcdu_stage.h"

namespace vantrel {

// Placeholder until the stage lands.
void CvcduStage(StageHost& host) {
  host.AppendLog("CvcduStage is not built yet.");
}

}  // namespace vantrel
