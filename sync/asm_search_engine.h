#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "core/record_sizes.h"

namespace vantrel {

// The attached sync marker in front of every CADU (CCSDS 131.0-B, TM Synchronization and Channel
// Coding); the CADU's sizes are in record_sizes.h.
inline constexpr uint32_t kAttachedSyncMarker = 0x1ACFFC1D;

// The tolerance the extraction stage passes with every step (bit errors accepted at the locked
// offset).
inline constexpr int32_t kLockedTolerance = 20;

// The sliding window the search reads: three 1024-byte chunks. The stage fills and slides it;
// every byte at or beyond `valid` is zero and never holds stale input.
struct SyncWindow {
  static constexpr int32_t kChunkBytes = 1024;
  static constexpr int32_t kBytes = 3 * kChunkBytes;
  // The read index a step may start at; the stage slides the window once it is passed.
  static constexpr int32_t kLastStepStart = kChunkBytes;

  // The stream bytes the window keeps from before bytes[0]: a marker found right after a slide
  // can begin up to four bytes before the window, and the frame before a first frame found a
  // whole CADU (and a byte of bit offset) before that.
  static constexpr int32_t kHistoryBytes = kCaduBytes + 2 * kMarkerBytes;

  std::array<uint8_t, kBytes> bytes{};
  // The stream bytes just before bytes[0], the last in before[kHistoryBytes - 1] (zero before
  // the start of the input).
  std::array<uint8_t, kHistoryBytes> before{};
  // Leading bytes that hold input. A frame whose bits reach past them is never cut.
  int32_t valid = 0;
  // Stream position of bytes[0]: the bytes slid out so far.
  int64_t slid = 0;
};

// How well the stream is locked; compared by order.
enum class SyncState : int32_t { Search = -1, Check = 1, Sync = 2, Lock = 3 };

// Everything the engine carries from step to step. Compared as a whole by the tests that check
// the batched search against single steps.
struct AsmSearchFields {
  uint32_t shift_register = 0xFFFFFFFF;  // last 32 stream bits taken, newest in bit 0
  bool need_load = true;                 // refill the register with four whole bytes
  int32_t read_index = 0;                // window index of the next byte to take
  uint8_t PolarityMask = 0x00;           // XORed into every byte taken (0xFF: inverted)
  vantrel::SyncState SyncState = vantrel::SyncState::Search;
  int32_t LockShift = 0;    // bit offset 0..7 at which the lock was taken
  int32_t FrameShift = 0;   // bit offset 0..7 of the last frame found
  int32_t RunCount = 0;     // frames found back to back
  int32_t GapCount = 0;     // positions without a frame since the last frame or polarity switch
  int32_t retry_count = 0;  // positions past the gap limit while waiting to retry
  int32_t SearchMark = 0;   // window index a polarity retry returns to
  bool inversion_pending = false;  // the current polarity is a trial
  bool had_sync = false;           // a frame was found since the last polarity retry
  bool both_polarities = false;    // a polarity trial has begun: the noise search takes either
  int32_t ErrorScore = 0;          // miss score, held at 4 once it gets there
  int32_t unsynced_count = 0;      // positions without a frame since the last frame
  int32_t FramesFound = 0;         // frames cut and handed to the listener in this run
  int32_t SyncLosses = 0;          // falls back to Search from a synced state
  int32_t PhaseFlips = 0;          // polarity changes followed right after a frame
  uint64_t ConsumedBytes = 0;      // bytes advanced over; returns to the mark do not reduce it
  int64_t frames_end = 0;          // stream position one CADU past the start of the last frame
  int32_t EarlierFrames = 0;       // frames taken a CADU before the first frame after a search

  bool operator==(const AsmSearchFields&) const = default;
};

// Four zero bytes and the first 1020 bytes of the CCSDS pseudo-random sequence (CCSDS 131.0-B:
// h(x) = x^8 + x^7 + x^5 + x^3 + 1, register initialised to all ones), so entry j applies to
// byte j of a CADU and the marker is left alone.
const std::array<uint8_t, kCaduBytes>& DerandomisationTable();

// What the listener makes of a frame: whether its bytes can be trusted (Reed-Solomon corrected
// them, or nothing was checked) or not (Reed-Solomon could not correct it).
enum class FrameVerdict : int32_t { kAccepted, kUncorrectable };

// Why the polarity in force changed.
enum class PolarityChange : int32_t {
  kTrial,       // the search tries the other polarity (from its mark, or at an inverted marker)
  kTrialEnded,  // the trial polarity found nothing, or an inverted marker ended the trial
  kPhaseFlip,   // the marker right after a frame came inverted: the demodulator flipped
};

// What the search reports while it runs. The extraction stage turns these into records, the sync
// lamp and its counts; tests record them. Every call is made from inside a step.
class AsmSearchListener {
 public:
  virtual ~AsmSearchListener() = default;
  // A frame was cut: its 1024 bytes from the marker on, realigned to bytes and in the polarity in
  // force, nothing else done to them; valid during the call only. An uncorrectable frame breaks
  // the run of frames that leads to the lock (and leaves Lock for Sync).
  virtual FrameVerdict FrameCut(std::span<const uint8_t, kCaduBytes> cadu) = 0;
  // The search found a frame after searching (an exact marker), and one CADU before it, where no
  // frame was cut, lies a marker within 10 bit errors: whether that is a frame to take. The
  // first frame of a pass rises out of the noise, often with a damaged marker that the search,
  // which takes only an exact one, passes over. True takes it: FrameCut follows with it, before
  // the frame that was found.
  virtual bool TakeEarlierFrame(std::span<const uint8_t, kCaduBytes> cadu) {
    (void)cadu;
    return false;
  }
  // The sync state went from `from` to `to` (never the same).
  virtual void SyncStateEntered(SyncState from, SyncState to) {
    (void)from;
    (void)to;
  }
  // Whether the search is finding frames changed: true at a frame after positions without one,
  // false at a position without a frame after frames (reported at the first position too).
  virtual void FramingChanged(bool finding_frames) { (void)finding_frames; }
  // The polarity in force changed: `mask` (0xFF: inverted) is XORed into every byte from here on.
  virtual void PolarityChanged(uint8_t mask, PolarityChange why) {
    (void)mask;
    (void)why;
  }
  // The next frame is taken one bit from where the lock expected it: a bit of the stream was
  // lost (-1) or inserted (+1).
  virtual void SlipFollowed(int32_t bits) { (void)bits; }
};

// Finds attached sync markers at any bit offset and in either polarity in a SyncWindow and cuts
// the CADUs out. It reports each frame and each change of its state to the listener, which
// decides what the frame is worth; it knows no files, no options and no codec.
class AsmSearchEngine {
 public:
  // Step results.
  static constexpr int32_t kStepDone = 0;
  // The unsynced-byte count passed its limit and was restarted (informational).
  static constexpr int32_t kStepUnsyncedRestart = 1;
  // A marker matched whose frame would reach past the window's input bytes: nothing was cut or
  // counted, and the search is over.
  static constexpr int32_t kStepFrameBeyondInput = 2;

  // `window` and `listener` must outlive the engine.
  AsmSearchEngine(const SyncWindow& window, AsmSearchListener& listener);

  // Initial values of a run.
  void Reset();

  // Tests one byte position at its eight bit offsets with `tolerance` at the locked offset.
  // Precondition: read index <= SyncWindow::kLastStepStart. Reads window bytes up to index
  // read index + 1024. A frame found leaves the read index at most 2049 (a slipped marker cut
  // from bit 0 of the next byte), so the window may have to slide twice before the next step.
  // Returns a kStep... value.
  int32_t SearchStep(int32_t tolerance);

  // Runs SearchStep while the read index is at most `last_start` (<= kLastStepStart), with the
  // same results as calling it step by step. Returns kStepFrameBeyondInput when a step did (and
  // stops there), otherwise kStepDone.
  int32_t SearchSteps(int32_t tolerance, int32_t last_start);

  const AsmSearchFields& fields() const { return f_; }
  int32_t read_index() const { return f_.read_index; }
  // Used by the stage when it slides the window (the mark is deliberately not moved).
  void MoveReadIndex(int32_t delta) { f_.read_index += delta; }

 private:
  // Whether the last position searched held a frame, as last reported to the listener.
  enum class Framing : uint8_t { kNotYet, kFrames, kNoFrame };

  // Every change of the sync state: counts a loss of sync and tells the listener.
  void Enter(SyncState state);
  void ReportFraming(Framing framing);
  void ReportPolarity(PolarityChange why);
  int32_t NoFrameHere();
  // Whether the marker, `distance` bits from the register at `shift`, lies one bit after it
  // (`later`: 1; from offset 7 that is bit 0 of the next byte) or, at offset 0, one bit before it
  // (-1): there within `near_tolerance` and closer; 0 when neither.
  int32_t SlippedMarker(uint32_t shift_register, uint32_t later, int32_t shift, int32_t distance,
                        int32_t near_tolerance) const;
  // Bit errors of the marker one bit before `first_register`, the register at offset 0 of this
  // step (at offset 7 of the byte before).
  int32_t DistanceOneBitBefore(uint32_t first_register) const;
  // The window byte at `index` (down to -4: the bytes before the window) as taken.
  uint8_t TakenAt(int32_t index) const;
  // Turns to the other polarity, or returns to the mark and turns, keeping the register the 32
  // bits before the read index as taken in the polarity now in force.
  void InvertPolarity();
  void ReturnToMarkInverted();
  int32_t FrameFound(int32_t shift);
  // Offers the listener the frame one CADU before a frame found at `start` from Search.
  void OfferEarlierFrame(int32_t start, int32_t shift);
  void CutFrame(int32_t start, int32_t shift);
  // Positions that cannot hold an exact marker while searching, handled in bulk. Returns how many
  // were consumed (0 when the next position needs a full step).
  int32_t SkipQuietPositions(int32_t limit);

  const SyncWindow& window_;
  AsmSearchListener& listener_;
  AsmSearchFields f_;
  Framing framing_ = Framing::kNotYet;
  alignas(64) std::array<uint8_t, kCaduBytes> FrameBuffer_{};
};

}  // namespace vantrel
