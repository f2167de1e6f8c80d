#pragma once

#include "core/stage_host.h"

namespace vantrel {

// Finds the instrument line sync at any bit of the FY-3 stream (mpdu_x.mpd) and writes the
// byte-aligned 26050-byte lines to FY3x_.fy3.
void Fy3InnerSyncStage(StageHost& host);

// The same for the Meteor-M N2 stream: MSU-MR.dmx to 11850-byte lines in MN2_.mnx.
void Mn2InnerSyncStage(StageHost& host);

}  // namespace vantrel
