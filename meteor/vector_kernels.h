#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// The SSSE3 versions of the Meteor-M N2 engines, used where the processor has SSSE3. Each gives
// the same bytes as its scalar version and reports when it cannot run (not x86, or no SSSE3).

// Decodes the first symbol_bytes - symbol_bytes % 32 bytes as ManchesterDecodeBytes does (in
// place allowed) and returns how many symbol bytes it decoded; 0 when it cannot run.
size_t ManchesterDecodeVector(const uint8_t* symbols, size_t symbol_bytes, uint8_t* data);

// PackDatLine one 30-byte unit per step; false, writing nothing, when it cannot run.
bool PackDatLineVector(const uint8_t* line, uint8_t* record);

}  // namespace vantrel
