#include "sync/cadu_extraction_stage.h"

namespace vantrel {

// Placeholder until the stage lands.
void CaduExtractionStage(StageHost& host) {
  host.AppendLog("CaduExtractionStage is not built yet.");
}

}  // namespace vantrel
