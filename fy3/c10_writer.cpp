#include "fy3/c10_writer.h"

namespace vantrel {

// Placeholder until the stage lands.
void C10Writer(StageHost& host) {
  host.AppendLog("C10Writer is not built yet.");
}

}  // namespace vantrel
