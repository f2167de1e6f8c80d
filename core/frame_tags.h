#pragma once

#include <cstdint>
#include <vector>

namespace vantrel {

// Facts about the frames behind working-file records that the fixed record formats have no room
// for, handed within one run from the stage that writes a file to the stage that reads it. Each
// list is rewritten by its writer at every run; a reader uses it only when its length agrees
// with the records of the file it reads, and otherwise goes on without it.
struct FrameTags {
  // cadu.pds: indices of the records whose frame held a codeword Reed-Solomon could not correct,
  // ascending, and the number of records written; -1 while no list was made in this run.
  std::vector<int64_t> uncorrectable_cadus;
  int64_t cadu_records = -1;

  // vcdu_x.vcd: one tag per record, the VCDU frame counter in the low 24 bits and
  // kUncorrectableTag when its frame could not be corrected. Valid only when
  // selected_vcdus_valid is set.
  std::vector<uint32_t> selected_vcdus;
  bool selected_vcdus_valid = false;
  static constexpr uint32_t kCounterMask = 0xFFFFFF;
  static constexpr uint32_t kUncorrectableTag = 0x80000000u;

  // FY-3 mpdu_x.mpd: the bytes written for frames that were missing (zeros) or could not be
  // corrected (zeros, or as received when asked), as ascending [begin, end) byte ranges, and the
  // file's length; -1 while no list was made in this run.
  struct ByteRun {
    int64_t begin;
    int64_t end;
  };
  std::vector<ByteRun> zero_filled_mpdu_bytes;
  int64_t mpdu_bytes = -1;
  // FY-3 mpdu_x.mpd: ascending byte offsets where an unknown number of bytes went missing (a
  // counter jump taken as a restart): the line grid does not carry across them.
  std::vector<int64_t> unmeasured_mpdu_gaps;
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
