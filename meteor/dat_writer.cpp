#include "meteor/dat_writer.h"

namespace vantrel {

// Placeholder until the stage lands.
void DatWriter(StageHost& host) {
  host.AppendLog("DatWriter is not built yet.");
}

}  // namespace vantrel
