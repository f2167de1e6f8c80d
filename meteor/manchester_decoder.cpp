#include "meteor/manchester_decoder.h"

namespace vantrel {

// Placeholder until the stage lands.
void ManchesterDecoder(StageHost& host) {
  host.AppendLog("ManchesterDecoder is not built yet.");
}

}  // namespace vantrel
