#include "meteor/msu_mr_demultiplexer.h"

namespace vantrel {

// Placeholder until the stage lands.
void MsuMrDemultiplexer(StageHost& host) {
  host.AppendLog("MsuMrDemultiplexer is not built yet.");
}

}  // namespace vantrel
