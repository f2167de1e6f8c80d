#include "metop/hpt_writer.h"

namespace vantrel {

// Placeholder until the stage lands.
void HptWriter(StageHost& host) {
  host.AppendLog("HptWriter is not built yet.");
}

}  // namespace vantrel
