#pragma once

#include <cstdint>

namespace vantrel {

// PackDatLine with SSSE3 byte shuffles, one 30-byte unit per step: the same bytes as the scalar
// packer. Returns false, writing nothing, where the processor lacks SSSE3 or is not x86.
bool PackDatLineVector(const uint8_t* line, uint8_t* record);

}  // namespace vantrel
