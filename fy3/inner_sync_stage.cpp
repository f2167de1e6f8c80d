#include "fy3/inner_sync_stage.h"

namespace vantrel {

// Placeholders until the stage lands.
void Fy3InnerSyncStage(StageHost& host) {
  host.AppendLog("Fy3InnerSyncStage is not built yet.");
}
void Mn2InnerSyncStage(StageHost& host) {
  host.AppendLog("Mn2InnerSyncStage is not built yet.");
}

}  // namespace vantrel
