#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Drops the slice overhead of every cadu.pds frame: the MSU-MR stream MSU-MR.dmx.
void MsuMrDemultiplexer(StageHost& host);

}  // namespace vantrel
