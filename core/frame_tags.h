#pragma once

#include <cstdint>

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
}  // namespace FrameMark

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
