#pragma once

#include <cstddef>
#include <cstdint>

#include "core/chain_runner.h"
#include "core/stage_host.h"

namespace vantrel {

// Input bytes read per block and data bytes each block yields: two coded bits per data bit.
inline constexpr size_t kManchesterBlockBytes = 1024;
inline constexpr size_t kManchesterDataBytes = kManchesterBlockBytes / 2;

// Decodes `symbol_bytes` bytes of Manchester symbols (an even count) into symbol_bytes / 2 data
// bytes: the data bit of each two-bit symbol is its first bit, symbols taken most significant
// first and not validated. `data` may be the same buffer as `symbols` (in-place decoding).
void ManchesterDecodeBytes(const uint8_t* symbols, size_t symbol_bytes, uint8_t* data);

// Decodes the Manchester-coded recording named by the input path into cvcdu.man, block by block;
// a trailing partial block is dropped.
void ManchesterDecoderStep(StepIo& io);
extern const StepSpec kManchesterDecoderStep;
// The step alone, on its working files.
void ManchesterDecoder(StageHost& host);

}  // namespace vantrel
