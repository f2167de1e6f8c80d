#pragma once

#include <array>

namespace vantrel {

// A closed range of whole numbers.
struct IntRange {
  int low;
  int high;
  constexpr bool Contains(int value) const { return value >= low && value <= high; }
};

// The values of the MetOp settings that a run can use: a virtual channel has 6 bits; an M_PDU
// header is 2 or 4 bytes long; a source packet holds at least its 6-byte primary header and one
// byte, and at most what a slot of the packet builder holds.
inline constexpr IntRange kVcidRange{0, 63};
inline constexpr std::array<int, 2> kMpduHeaderLengths{2, 4};
inline constexpr IntRange kPacketLengthRange{7, 12999};

}  // namespace vantrel
