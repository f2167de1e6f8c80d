#pragma once

#include "core/chain_runner.h"
#include "core/stage_host.h"
#include "rs/reed_solomon_codec.h"

namespace vantrel {

// Finds the CADUs of what the step before wrote (the raw recording, or cvcdu.man after Manchester
// decoding, soft.bits after soft-symbol decoding: what the step before it hands on) and writes
// cadu.pds.
void CaduExtractionStep(StepIo& io);
extern const StepSpec kCaduExtractionStep;
// The step alone, on its working files.
void CaduExtractionStage(StageHost& host);

// Configures `codec` for the CCSDS code of the frames: RS(255,223), interleaving depth 4.
void ConfigureCcsdsCodec(ReedSolomonCodec& codec);

// The host's sync lamp as the search's framing reports drive it: green while frames are found,
// red while positions go by without one. The first report switches the lamp on; each change of
// colour lets the user interface run its events.
class SyncLamp {
 public:
  // Starts from the lamp as the host shows it.
  explicit SyncLamp(StageHost& host);
  void Show(bool finding_frames);

 private:
  StageHost& host_;
  bool active_;
  LampColour colour_;
};

}  // namespace vantrel
