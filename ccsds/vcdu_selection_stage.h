#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// The virtual channel the stage keeps, from the setting the run's satellite names: VCID_Metop for
// MetOp (read as every settings field is, so " +9" is 9), the FY-3 channel for FY-3; -1 for a
// downlink without channels. Throws StageError when VCID_Metop holds no whole number. The pass
// report reads it here too, so that it names the channel that was selected.
int SelectedVirtualChannel(StageHost& host);

// Keeps the VCDUs of the selected virtual channel (cvcdu.rs to vcdu_x.vcd), each marked with its
// frame counter and Reed-Solomon verdict.
void VcduSelectionStep(StepIo& io);
extern const StepSpec kVcduSelectionStep;
// The step alone, on its working files.
void VcduSelectionStage(StageHost& host);

}  // namespace vantrel
