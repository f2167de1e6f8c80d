#pragma once

#include <cstdint>
#include <span>

namespace vantrel {

// An AVHRR source packet as APID.pkt holds it, and the HRPT minor frame made from it: 11090
// 10-bit words packed most significant bit first, 12 zero bits behind the last word.
inline constexpr int kAvhrrPacketLength = 12966;
inline constexpr int kHptRecordLength = 13864;

// Day of the year (1 = 1 January) of the date `day_count` days after 1 January 2000.
int DayOfYear(int day_count);

// Fills the fields of HRPT minor frame number `k` (0 = first of the run) from `packet`: frame
// sync, frame counter, time code, words 18-20 and the 12800 instrument bytes. Bytes it does not
// name stay as they are, so `record` must start zeroed (or hold an earlier frame).
void FillHptRecord(std::span<uint8_t, kHptRecordLength> record,
                   std::span<const uint8_t, kAvhrrPacketLength> packet, int64_t k);

}  // namespace vantrel
