#pragma once

#include <string>

#include "core/chain_state.h"
#include "core/settings.h"

namespace vantrel {

class ReedSolomonCodec;
class SourcePacketBuilder;
struct Satellite;

// What the stages of one run share besides the working files: the host's chain state, the
// recording's path, the settings read for the running stage, the run's satellite, and the
// Reed-Solomon codec and the source packet builder made for this run alone. The driver makes one at
// the start of every run (BeginRun) and attaches it to the host until the run ends, so nothing of
// the codec or the builder passes from one run to the next, in the window as on the command line.
// Stages reach it with StageHost::Session().
struct RunSession {
  // Kept by the host for the program's life (the window's progress bar and the batch ending read
  // it); BeginRun clears its per-run part.
  ChainState& chain;
  // The settings as the controls held them when the running stage started: the driver reads them
  // again before every stage, so a stage sees one set of values from its start to its end.
  const Settings& settings;
  // The recording, as the input field held it when the run began.
  const std::string& input_path;
  // Configured by the CADU stage at its start.
  ReedSolomonCodec& codec;
  // Set up by the packet extraction stage at its start.
  SourcePacketBuilder& packets;
  // The satellite the run is for, set by the driver once it is chosen and before the first
  // stage: the stages take its downlink, its virtual channel setting and its product's name from
  // it. Never null while a stage runs (StageHost::RunSatellite refuses a session without one).
  const Satellite* satellite = nullptr;
};

}  // namespace vantrel
