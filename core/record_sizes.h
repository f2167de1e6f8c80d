#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel {

// The records the chains' working files hold, each size defined here once; the stages that write
// and read them, the driver, the log lines and the help take them from here.
//
// A CADU: a 32-bit attached sync marker and a 1020-byte code block of four interleaved
// Reed-Solomon (255,223) codewords. cadu.pds holds the code blocks.
inline constexpr int32_t kMarkerBytes = 4;
inline constexpr int32_t kCodeBlockBytes = 1020;
inline constexpr int32_t kCaduBytes = kMarkerBytes + kCodeBlockBytes;
// A VCDU, the data of a code block (4 x 223 symbols): its primary header and the data unit zone
// (cvcdu.rs, vcdu_x.vcd).
inline constexpr int kVcduLength = 892;
inline constexpr int kVcduHeaderLength = 6;
// An M_PDU: a VCDU without its primary header (mpdu_x.mpd).
inline constexpr int kMpduRecordLength = kVcduLength - kVcduHeaderLength;
// An FY-3 instrument line (FY3x_.fy3) and a Meteor-M N2 MSU-MR line (MN2_.mnx), as the inner
// sync stage writes them.
inline constexpr size_t kFy3LineBytes = 26050;
inline constexpr size_t kMn2LineBytes = 11850;

}  // namespace vantrel
