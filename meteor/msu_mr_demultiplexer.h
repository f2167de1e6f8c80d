#pragma once

#include <cstddef>
#include <cstdint>

#include "core/chain_runner.h"
#include "core/record_sizes.h"
#include "core/stage_host.h"

namespace vantrel {

// A cadu.pds record: the 1020 bytes behind a frame's sync marker, cut into four slices at
// 256-byte steps (the last one 252 bytes long), each opening with 18 bytes of overhead.
inline constexpr size_t kMsuMrFrameBytes = kCodeBlockBytes;
inline constexpr size_t kMsuMrSliceStride = 256;
inline constexpr size_t kMsuMrSliceCount = 4;
inline constexpr size_t kMsuMrSliceOverhead = 18;
// Instrument bytes left per frame once the overhead is dropped.
inline constexpr size_t kMsuMrDataBytes = kMsuMrFrameBytes - kMsuMrSliceCount * kMsuMrSliceOverhead;

// Moves the instrument bytes of one kMsuMrFrameBytes frame, the four slices in order without
// their overhead, into the first kMsuMrDataBytes bytes of `data`. `data` may be `frame` itself.
void DemultiplexMsuMrFrame(const uint8_t* frame, uint8_t* data);

// Turns the frames of cadu.pds into the continuous MSU-MR byte stream MSU-MR.dmx; its progress
// scale is the input's whole frames.
void MsuMrDemultiplexerStep(StepIo& io);
extern const StepSpec kMsuMrDemultiplexerStep;
// The step alone, on its working files.
void MsuMrDemultiplexer(StageHost& host);

}  // namespace vantrel
