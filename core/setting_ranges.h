#pragma once

#include <array>
#include <cstdint>

namespace vantrel {

// A closed range of whole numbers.
struct IntRange {
  int low;
  int high;
  constexpr bool Contains(int value) const { return value >= low && value <= high; }
  constexpr bool Contains(int64_t value) const { return value >= low && value <= high; }
};

// The MetOp settings: the values a run can use and the ones the program starts with. The packet
// builder, VCDU selection, the settings dialog, the command line and its help all read them here.
// - A virtual channel has 6 bits; AVHRR data come on channel 9. (VCDU selection takes any number
//   the field holds: one outside the range matches no channel.)
// - An M_PDU header is 2 bytes (the pointer) or 4 (2 spare bytes, then the pointer).
// - A source packet holds at least its 6-byte primary header and one byte, and at most what a
//   slot of the packet builder holds (its size, one byte more, keeps the ready flag). The limit
//   starts at the length of an AVHRR packet, the record the HPT writer reads.
inline constexpr IntRange kVcidRange{0, 63};
inline constexpr int kVcidDefault = 9;
inline constexpr std::array<int, 2> kMpduHeaderLengths{2, 4};
inline constexpr int kMpduHeaderDefault = 4;
inline constexpr IntRange kPacketLengthRange{7, 12999};
inline constexpr int kPacketLengthDefault = 12966;

// The FY-3 settings' channels, in the order the dialog's buttons are tested: VIRR by day (the
// default), VIRR at night, MERSI.
inline constexpr std::array<int, 3> kFy3Channels{5, 9, 3};
inline constexpr int kFy3ChannelDefault = 5;

// Baseband recordings: sample rates an SDR records at (a rate below the lowest a downlink can be
// demodulated at is refused by the demodulation stage, which knows the symbol rate), and the
// carrier search's half-width: at least the Doppler of a pass, at most a quarter of the lowest
// sample rate.
inline constexpr IntRange kSampleRateRange{100000, 200000000};
inline constexpr IntRange kCarrierRangeHzRange{1000, 500000};
inline constexpr int kCarrierRangeDefaultHz = 60000;

}  // namespace vantrel
