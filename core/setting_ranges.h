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

// Baseband recordings: sample rates an SDR records at (a rate below the lowest a downlink can be
// demodulated at is refused by the demodulation stage, which knows the symbol rate), and the
// carrier search's half-width: at least the Doppler of a pass, at most a quarter of the lowest
// sample rate.
inline constexpr IntRange kSampleRateRange{100000, 200000000};
inline constexpr IntRange kCarrierRangeHzRange{1000, 500000};
inline constexpr int kCarrierRangeDefaultHz = 60000;

}  // namespace vantrel
