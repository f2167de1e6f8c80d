#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>

namespace vantrel {

// The marks that travel beside the records of the streams between steps (StreamMark::value):
// facts about the frames behind the records that the fixed record formats have no room for.
namespace FrameMark {
// On a CADU or VCDU record whose frame held a codeword Reed-Solomon could not correct.
inline constexpr uint32_t kUncorrectable = 0x80000000u;
// On every VCDU of the selected virtual channel: its frame counter in these low 24 bits, with
// kUncorrectable.
inline constexpr uint32_t kCounterMask = 0xFFFFFF;
// On the FY-3 M_PDU byte stream: bytes written for frames that were missing (zeros) or could not
// be corrected (zeros, or as received when asked).
inline constexpr uint32_t kFilledBytes = 1;
// On the FY-3 M_PDU byte stream, length 0: an unknown number of bytes went missing here (a
// counter jump taken as a restart); the line grid does not carry across it.
inline constexpr uint32_t kUnmeasuredGap = 2;
// On every CADU record of a frame that Reed-Solomon does not check, and on what the steps after
// make of it (the frame's share of an instrument stream, the lines of such shares): the sync
// markers behind the record and their bit errors, packed as MarkerErrors::ToMark packs them. With
// no check block, the marker is the only part of a frame whose bits are known.
inline constexpr uint32_t kMarkerErrors = 0x40000000u;
}  // namespace FrameMark

// The bit errors of some frames' 32-bit sync markers, as a kMarkerErrors mark carries them: the
// marker count in bits 16-25, the bit errors in bits 0-15 (both held at their largest value).
struct MarkerErrors {
  static constexpr uint32_t kMarkerBits = 32;
  static constexpr uint32_t kMaxMarkers = 0x3FF;
  static constexpr uint32_t kCountShift = 16;
  static constexpr uint32_t kErrorsMask = 0xFFFF;

  uint32_t markers = 0;
  uint32_t errors = 0;

  uint32_t ToMark() const {
    return FrameMark::kMarkerErrors | (std::min(markers, kMaxMarkers) << kCountShift) |
           std::min(errors, kErrorsMask);
  }
  // The count a mark carries, or nothing when it is no kMarkerErrors mark.
  static std::optional<MarkerErrors> FromMark(uint32_t value) {
    if ((value & FrameMark::kMarkerErrors) == 0) return std::nullopt;
    return MarkerErrors{(value >> kCountShift) & kMaxMarkers, value & kErrorsMask};
  }
  // Bit errors per marker bit: the channel's bit error rate where the markers were; 0 without any.
  double BitErrorRate() const {
    return markers == 0 ? 0.0 : static_cast<double>(errors) / (markers * double{kMarkerBits});
  }
  MarkerErrors& operator+=(const MarkerErrors& other) {
    markers += other.markers;
    errors += other.errors;
    return *this;
  }
};

// Follows the 24-bit VCDU frame counter of one virtual channel from frame to frame.
class FrameCounterTrack {
 public:
  static constexpr uint32_t kModulus = uint32_t{1} << 24;
  // A step over more missing frames than this is no gap a pass could have: the stream restarted.
  static constexpr uint32_t kMaxGap = 1000;
  static constexpr int32_t kRestart = -1;

  // Starts anew: the next counter is taken as it comes.
  void Forget() { known_ = false; }
  // Takes the counter of the next frame. Returns the frames missing before it (0 for the next
  // in line and for the first), or kRestart for a step no pass could make: backwards, the same
  // counter again, or more than kMaxGap frames on.
  int32_t Next(uint32_t counter) {
    counter %= kModulus;
    const bool known = known_;
    const uint32_t missing = (counter - expected_) % kModulus;
    known_ = true;
    expected_ = (counter + 1) % kModulus;
    if (!known) return 0;
    return missing <= kMaxGap ? static_cast<int32_t>(missing) : kRestart;
  }
  // A frame whose counter cannot be trusted (Reed-Solomon could not correct it), taken as the
  // next in line.
  void Untrusted() { expected_ = (expected_ + 1) % kModulus; }

 private:
  bool known_ = false;
  uint32_t expected_ = 0;
};

}  // namespace vantrel
