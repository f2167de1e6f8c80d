#include "sync/asm_search_engine.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

namespace vantrel {
namespace {

// Bit errors accepted in the marker, per state.
constexpr int32_t kSearchTolerance = 0;  // Search: only an exact marker
constexpr int32_t kCheckTolerance = 2;   // Check: after a position without a frame
constexpr int32_t kSyncTolerance = 6;    // Sync, and Lock away from the locked offset (at most T)
// The frame before a first frame found after searching: its own marker, damaged by the signal's
// rise out of the noise (4 and 7 bit errors seen at Es/N0 6 dB). Reed-Solomon alone cannot tell:
// four interleaved codewords read a multiple of four bytes off a frame lose only as many symbols
// to the shift, so bytes of a frame that lies that far before are taken for one; their "marker"
// is any 32 bits of that frame, rarely within this many errors.
constexpr int32_t kEarlierMarkerTolerance = 10;

// Frames already found back to back when the next one takes the lock.
constexpr int32_t kRunForLock = 3;
// Gap (byte positions without a frame) in which the flywheel keeps a Check state synced.
constexpr int32_t kFlywheelLowest = kCaduBytes - 5;
constexpr int32_t kFlywheelHighest = kCaduBytes + 5;
// ErrorScore above this: back to Search; at or above the next: no flywheel.
constexpr int32_t kErrorScoreForSearch = 3;
constexpr int32_t kErrorScoreNoFlywheel = 2;
// ErrorScore only matters through the two comparisons above, so it is held here at most.
constexpr int32_t kErrorScoreCeiling = 4;
// Gap after which the polarity rules apply.
constexpr int32_t kGapBeforePolarity = 1024;
// Positions past the gap limit before a retry in the other polarity after a loss of lock.
constexpr int32_t kRetriesBeforeReturn = 3;
// Each position without a frame adds (unsynced count / divisor) to ErrorScore.
constexpr int32_t kMissScoreDivisor = 1020;
// The unsynced-byte count restarts once it is above this.
constexpr int32_t kUnsyncedRestart = 614400;
constexpr uint8_t kInvert = 0xFF;
constexpr int32_t kMarkerBits = 32;
constexpr int kBitsPerByte = 8;

constexpr std::array<uint8_t, kCaduBytes> MakeDerandomisationTable() {
  std::array<uint8_t, kCaduBytes> table{};
  // Fibonacci form of h(x) = x^8 + x^7 + x^5 + x^3 + 1: a[n+8] = a[n+7] ^ a[n+5] ^ a[n+3] ^ a[n],
  // first eight bits all ones; bits go into bytes most significant first.
  uint32_t history = 0xFF;  // a[n] .. a[n+7], a[n] in bit 7
  for (int32_t j = kMarkerBytes; j < kCaduBytes; ++j) {
    uint8_t byte = 0;
    for (int bit = 0; bit < kBitsPerByte; ++bit) {
      const uint32_t out = (history >> 7) & 1;
      const uint32_t next = ((history >> 7) ^ (history >> 4) ^ (history >> 2) ^ history) & 1;
      history = ((history << 1) | next) & 0xFF;
      byte = static_cast<uint8_t>((byte << 1) | out);
    }
    table[j] = byte;
  }
  return table;
}

constexpr std::array<uint8_t, kCaduBytes> kDerandomisation = MakeDerandomisationTable();

// For a register whose low 16 bits are `key`, an exact marker, in either polarity, at some bit
// offset of the next byte is possible only when the key is one of sixteen values (the bits 0-15
// .. 7-22 of the marker and of its inverse).
constexpr int32_t kKeyCount = 1 << 16;
constexpr std::array<uint64_t, kKeyCount / 64> MakeMarkerKeys() {
  std::array<uint64_t, kKeyCount / 64> keys{};
  for (const uint32_t marker : {kAttachedSyncMarker, ~kAttachedSyncMarker}) {
    for (int shift = 0; shift < kBitsPerByte; ++shift) {
      const uint32_t key = (marker >> shift) & 0xFFFF;
      keys[key / 64] |= uint64_t{1} << (key % 64);
    }
  }
  return keys;
}

constexpr std::array<uint64_t, kKeyCount / 64> kMarkerKeys = MakeMarkerKeys();

inline bool MayHoldMarker(uint32_t shift_register) {
  const uint32_t key = shift_register & 0xFFFF;
  return (kMarkerKeys[key / 64] >> (key % 64)) & 1;
}

// Sum of floor(x / kMissScoreDivisor) for x from 1 to n.
constexpr int64_t MissScoreSum(int64_t n) {
  const int64_t q = n / kMissScoreDivisor;
  const int64_t r = n % kMissScoreDivisor;
  return kMissScoreDivisor * (q * (q - 1) / 2) + q * (r + 1);
}

}  // namespace

const std::array<uint8_t, kCaduBytes>& DerandomisationTable() {
  return kDerandomisation;
}

AsmSearchEngine::AsmSearchEngine(const SyncWindow& window, AsmSearchListener& listener)
    : window_(window), listener_(listener) {
  Reset();
}

void AsmSearchEngine::Reset() {
  f_ = AsmSearchFields{};
  framing_ = Framing::kNotYet;
}

void AsmSearchEngine::Enter(SyncState state) {
  if (state == f_.SyncState) return;
  const SyncState from = f_.SyncState;
  f_.SyncState = state;
  if (state == SyncState::Search) ++f_.SyncLosses;
  listener_.SyncStateEntered(from, state);
}

void AsmSearchEngine::ReportFraming(Framing framing) {
  if (framing_ == framing) return;
  framing_ = framing;
  listener_.FramingChanged(framing == Framing::kFrames);
}

void AsmSearchEngine::ReportPolarity(PolarityChange why) {
  listener_.PolarityChanged(f_.PolarityMask, why);
}

// Built twice, with and without the popcount instruction; the loader picks the one the processor
// runs. Only with GCC: clang 14 names the resolver so that calls from other files do not link.
// Not under ThreadSanitizer, whose instrumented resolver would run before the sanitizer is set up.
#if defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define VANTREL_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define VANTREL_POPCOUNT_CLONES
#endif
VANTREL_POPCOUNT_CLONES int32_t AsmSearchEngine::SearchStep(int32_t tolerance) {
  assert(f_.read_index >= 0 && f_.read_index <= SyncWindow::kLastStepStart);
  const uint8_t* window = window_.bytes.data();
  const uint8_t mask = f_.PolarityMask;
  uint32_t shift_register = f_.shift_register;
  // A step that starts with a load is the one right after a frame.
  const bool after_frame = f_.need_load;
  if (f_.need_load) {
    for (int32_t k = 0; k < kMarkerBytes; ++k)
      shift_register = (shift_register << kBitsPerByte) | (window[f_.read_index + k] ^ mask);
    f_.read_index += kMarkerBytes;
    f_.ConsumedBytes += kMarkerBytes;
    f_.need_load = false;
  }
  const uint32_t next_byte = window[f_.read_index] ^ mask;
  const uint32_t first_register = shift_register;

  // ErrorScore cannot change during the eight comparisons, so its check is made once.
  if (f_.ErrorScore > kErrorScoreForSearch) Enter(SyncState::Search);
  const int32_t near_tolerance = std::min(kSyncTolerance, tolerance);
  int32_t state_tolerance = kSearchTolerance;
  if (f_.SyncState == SyncState::Check) state_tolerance = kCheckTolerance;
  if (f_.SyncState >= SyncState::Sync) state_tolerance = near_tolerance;
  // The noise search alternates the polarity over stretches of positions, but its returns to the
  // mark do not scan a stretch again (the mark stays a window index while the window moves on):
  // once it has begun trying the other polarity it takes the exact marker in either.
  const bool either_polarity =
      f_.SyncState == SyncState::Search && f_.both_polarities && !f_.had_sync;

  for (int32_t shift = 0; shift < kBitsPerByte; ++shift) {
    const int32_t distance = std::popcount(shift_register ^ kAttachedSyncMarker);
    const int32_t allowed =
        f_.SyncState == SyncState::Lock && shift == f_.LockShift ? tolerance : state_tolerance;
    const uint32_t later = (shift_register << 1) | ((next_byte >> (7 - shift)) & 1);
    if (distance <= allowed) {
      // The locked offset's wide tolerance also takes a marker that a bit slip moved by one
      // bit (such a marker differs from itself in about ten bits). An exact marker one bit
      // away is that frame: cut there instead of one bit off.
      if (distance > state_tolerance) {
        const int32_t slip = SlippedMarker(shift_register, later, shift, distance, near_tolerance);
        if (slip != 0) listener_.SlipFollowed(slip);
        if (slip > 0 && shift + 1 < kBitsPerByte) {
          shift_register = later;
          continue;  // found at the next offset, within the narrow tolerance
        }
        if (slip > 0) {
          // Past the last offset: the marker starts at bit 0 of the byte after the register's.
          f_.shift_register = later;
          f_.read_index += 1;
          f_.ConsumedBytes += 1;
          return FrameFound(0);
        }
        if (slip < 0) {
          f_.shift_register = shift_register;
          f_.read_index -= 1;
          return FrameFound(kBitsPerByte - 1);
        }
      }
      f_.shift_register = shift_register;
      return FrameFound(shift);
    }
    if (either_polarity && distance == kMarkerBits) {
      // The exact marker inverted: turn to its polarity as the polarity rules would have, as a
      // trial of the other polarity or as the end of one.
      f_.PolarityMask ^= kInvert;
      f_.inversion_pending = !f_.inversion_pending;
      f_.shift_register = ~shift_register;
      ReportPolarity(f_.inversion_pending ? PolarityChange::kTrial : PolarityChange::kTrialEnded);
      return FrameFound(shift);
    }
    shift_register = later;
  }
  if (after_frame && f_.SyncState >= SyncState::Sync) {
    // Right after a frame, the next frame moved by a slip may lie where the eight offsets do not
    // reach (while locked the wide tolerance finds it above; not once an uncorrectable frame has
    // broken the lock). A lost bit after a frame at offset 0 puts its marker one bit before the
    // first offset; taken when exact, or within the narrow tolerance after such a frame.
    const int32_t before = DistanceOneBitBefore(first_register);
    if (before == 0 || (before <= near_tolerance && f_.FrameShift == 0)) {
      listener_.SlipFollowed(-1);
      f_.shift_register = first_register;
      f_.read_index -= 1;
      return FrameFound(kBitsPerByte - 1);
    }
    // An inserted bit after a frame at offset 7 puts it at bit 0 of the next byte: the register
    // after the eight offsets. Found there by the next step too, but only within the tolerance
    // of a stream that has lost a position.
    if (f_.FrameShift == kBitsPerByte - 1 &&
        std::popcount(shift_register ^ kAttachedSyncMarker) <= near_tolerance) {
      listener_.SlipFollowed(1);
      f_.shift_register = shift_register;
      f_.read_index += 1;
      f_.ConsumedBytes += 1;
      return FrameFound(0);
    }
    // The next marker where it belongs but inverted is a phase flip of the demodulator: the
    // polarity follows it at once, rather than after the lock is lost and the retries have
    // scanned past the frames that follow.
    const int32_t shift = f_.FrameShift;
    const uint32_t at_shift =
        shift == 0 ? first_register : (first_register << shift) | (next_byte >> (8 - shift));
    if (std::popcount(~at_shift ^ kAttachedSyncMarker) <= near_tolerance) {
      f_.PolarityMask ^= kInvert;
      f_.shift_register = ~at_shift;
      ++f_.PhaseFlips;
      ReportPolarity(PolarityChange::kPhaseFlip);
      return FrameFound(shift);
    }
  }
  f_.shift_register = shift_register;
  return NoFrameHere();
}

int32_t AsmSearchEngine::SlippedMarker(uint32_t shift_register, uint32_t later, int32_t shift,
                                       int32_t distance, int32_t near_tolerance) const {
  // A marker one bit away is the frame moved by a slip when it is within the narrow tolerance and
  // closer than the one here.
  const auto better = [&](int32_t there) { return there <= near_tolerance && there < distance; };
  // One bit on (from the last offset, that is bit 0 of the byte after the register's).
  if (better(std::popcount(later ^ kAttachedSyncMarker))) return 1;
  if (shift != 0) return 0;  // the offsets before this one were tried already
  return better(DistanceOneBitBefore(shift_register)) ? -1 : 0;
}

int32_t AsmSearchEngine::DistanceOneBitBefore(uint32_t first_register) const {
  // The stream bit before the register: the last bit of the byte before its first.
  const uint8_t byte = TakenAt(f_.read_index - kMarkerBytes - 1);
  const uint32_t earlier = (uint32_t{byte & 1u} << 31) | (first_register >> 1);
  return std::popcount(earlier ^ kAttachedSyncMarker);
}

uint8_t AsmSearchEngine::TakenAt(int32_t index) const {
  assert(index >= -SyncWindow::kHistoryBytes);
  const uint8_t byte = index >= 0
                           ? window_.bytes[static_cast<size_t>(index)]
                           : window_.before[static_cast<size_t>(SyncWindow::kHistoryBytes + index)];
  return byte ^ f_.PolarityMask;
}

void AsmSearchEngine::InvertPolarity() {
  f_.PolarityMask ^= kInvert;
  // Otherwise the next comparisons would mix bits of both polarities and miss a marker there.
  f_.shift_register = ~f_.shift_register;
}

void AsmSearchEngine::ReturnToMarkInverted() {
  // A mark ahead of the read index was set before the window moved on: a return there would pass
  // over bytes never searched, so the search turns where it is.
  f_.read_index = std::min(f_.SearchMark, f_.read_index);
  f_.PolarityMask ^= kInvert;
  // Reloaded, so that a marker is cut where the register found it.
  uint32_t shift_register = 0;
  for (int32_t k = kMarkerBytes; k > 0; --k)
    shift_register = (shift_register << kBitsPerByte) | TakenAt(f_.read_index - k);
  f_.shift_register = shift_register;
}

int32_t AsmSearchEngine::NoFrameHere() {
  ++f_.read_index;
  ++f_.ConsumedBytes;
  ++f_.GapCount;
  f_.RunCount = 0;

  // Flywheel: a gap of one CADU keeps a checked stream synced.
  if (f_.GapCount >= kFlywheelLowest && f_.GapCount <= kFlywheelHighest &&
      f_.ErrorScore < kErrorScoreNoFlywheel) {
    if (f_.SyncState == SyncState::Check) Enter(SyncState::Sync);
  } else if (f_.SyncState == SyncState::Sync || f_.SyncState == SyncState::Lock) {
    Enter(SyncState::Check);
  }

  ReportFraming(Framing::kNoFrame);

  if (f_.GapCount > kGapBeforePolarity) {
    if (f_.inversion_pending) {
      // The trial polarity found nothing: back to the other one, from here on.
      InvertPolarity();
      ReportPolarity(PolarityChange::kTrialEnded);
      f_.inversion_pending = false;
      f_.GapCount = 0;
      f_.SearchMark = f_.read_index;
      f_.retry_count = 0;
    } else if (f_.had_sync) {
      // Lock lost: after a few more positions, retry from the mark in the other polarity.
      if (++f_.retry_count >= kRetriesBeforeReturn) {
        ReturnToMarkInverted();
        ReportPolarity(PolarityChange::kTrial);
        f_.inversion_pending = true;
        f_.retry_count = 0;
        f_.had_sync = false;
      }
    } else {
      // Nothing found since the last retry: scan the stretch from the mark again, inverted.
      ReturnToMarkInverted();
      ReportPolarity(PolarityChange::kTrial);
      f_.inversion_pending = true;
      f_.GapCount = 0;
      f_.both_polarities = true;
    }
  }

  if (f_.unsynced_count > kUnsyncedRestart) {
    f_.unsynced_count = 0;
    return kStepUnsyncedRestart;
  }
  ++f_.unsynced_count;
  f_.ErrorScore =
      std::min(kErrorScoreCeiling, f_.ErrorScore + f_.unsynced_count / kMissScoreDivisor);
  return kStepDone;
}

int32_t AsmSearchEngine::FrameFound(int32_t shift) {
  const int32_t start = f_.read_index - kMarkerBytes;
  // One past the last byte holding bits of the frame.
  const int32_t end = start + kCaduBytes + (shift > 0 ? 1 : 0);
  if (end > window_.valid) return kStepFrameBeyondInput;

  ReportFraming(Framing::kFrames);
  if (f_.SyncState == SyncState::Search) OfferEarlierFrame(start, shift);
  if (f_.RunCount >= kRunForLock) {
    Enter(SyncState::Lock);
    f_.LockShift = shift;
  }
  f_.FrameShift = shift;
  f_.GapCount = 0;
  f_.retry_count = 0;
  f_.SearchMark = f_.read_index;
  f_.had_sync = true;
  f_.need_load = true;

  CutFrame(start, shift);
  f_.frames_end = window_.slid + start + kCaduBytes;
  f_.read_index += kCodeBlockBytes;
  f_.ConsumedBytes += kCodeBlockBytes;
  ++f_.FramesFound;
  if (listener_.FrameCut(FrameBuffer_) == FrameVerdict::kUncorrectable) {
    // A frame that cannot be trusted does not count towards the lock, and breaks one.
    f_.RunCount = 0;
    if (f_.SyncState == SyncState::Lock) Enter(SyncState::Sync);
  }

  if (f_.SyncState == SyncState::Search || f_.SyncState == SyncState::Check) Enter(SyncState::Sync);
  f_.ErrorScore = 0;
  ++f_.RunCount;
  f_.unsynced_count = 0;
  return kStepDone;
}

void AsmSearchEngine::OfferEarlierFrame(int32_t start, int32_t shift) {
  const int32_t earlier = start - kCaduBytes;
  // Not over a frame already cut, nor before the input's first byte (frames_end is never
  // negative).
  if (earlier < -SyncWindow::kHistoryBytes || window_.slid + earlier < f_.frames_end) return;
  uint64_t five = 0;
  for (int32_t k = 0; k <= kMarkerBytes; ++k) five = (five << kBitsPerByte) | TakenAt(earlier + k);
  const auto marker = static_cast<uint32_t>(five >> (kBitsPerByte - shift));
  if (std::popcount(marker ^ kAttachedSyncMarker) > kEarlierMarkerTolerance) return;
  CutFrame(earlier, shift);
  if (!listener_.TakeEarlierFrame(FrameBuffer_)) return;
  ++f_.EarlierFrames;
  ++f_.FramesFound;
  listener_.FrameCut(FrameBuffer_);
}

void AsmSearchEngine::CutFrame(int32_t start, int32_t shift) {
  const uint8_t* source = window_.bytes.data() + start;
  // A frame can begin before the window's first byte (a marker found right after a slide, the
  // frame before a first one): take those bytes from the ones the slides moved out.
  std::array<uint8_t, kCaduBytes + 1> joined;
  if (start < 0) {
    const int32_t missing = -start;
    const int32_t from_history = std::min(missing, kCaduBytes + 1);
    std::memcpy(joined.data(), window_.before.data() + SyncWindow::kHistoryBytes - missing,
                from_history);
    std::memcpy(joined.data() + from_history, window_.bytes.data(), kCaduBytes + 1 - from_history);
    source = joined.data();
  }
  uint8_t* frame = FrameBuffer_.data();
  const uint8_t mask = f_.PolarityMask;
  if (shift == 0) {
    for (int32_t j = 0; j < kCaduBytes; ++j) frame[j] = source[j] ^ mask;
  } else {
    // The 8 stream bits that start at bit `shift` of each byte.
    const int right = kBitsPerByte - shift;
    for (int32_t j = 0; j < kCaduBytes; ++j) {
      const uint32_t pair = (uint32_t{source[j]} << kBitsPerByte) | source[j + 1];
      frame[j] = static_cast<uint8_t>(pair >> right) ^ mask;
    }
  }
}

int32_t AsmSearchEngine::SkipQuietPositions(int32_t limit) {
  // Only a searching engine that has already reported positions without a frame, away from the
  // polarity rules and the counter restart: there a position without an exact marker changes
  // nothing but the counters.
  if (f_.need_load || f_.SyncState != SyncState::Search || framing_ != Framing::kNoFrame ||
      f_.GapCount >= kGapBeforePolarity || f_.unsynced_count > kUnsyncedRestart)
    return 0;
  const int32_t budget =
      std::min({limit, kGapBeforePolarity - f_.GapCount, kUnsyncedRestart + 1 - f_.unsynced_count});
  const uint8_t* next = window_.bytes.data() + f_.read_index;
  const uint8_t mask = f_.PolarityMask;
  uint32_t shift_register = f_.shift_register;
  int32_t count = 0;
  while (count < budget && !MayHoldMarker(shift_register)) {
    shift_register = (shift_register << kBitsPerByte) | (next[count] ^ mask);
    ++count;
  }
  if (count == 0) return 0;

  f_.shift_register = shift_register;
  f_.read_index += count;
  f_.ConsumedBytes += static_cast<uint64_t>(count);
  f_.GapCount += count;
  f_.RunCount = 0;
  if (f_.ErrorScore < kErrorScoreCeiling) {
    const int64_t added =
        MissScoreSum(f_.unsynced_count + int64_t{count}) - MissScoreSum(f_.unsynced_count);
    f_.ErrorScore =
        static_cast<int32_t>(std::min<int64_t>(kErrorScoreCeiling, f_.ErrorScore + added));
  }
  f_.unsynced_count += count;
  return count;
}

int32_t AsmSearchEngine::SearchSteps(int32_t tolerance, int32_t last_start) {
  while (f_.read_index <= last_start) {
    if (SkipQuietPositions(last_start - f_.read_index + 1) > 0) continue;
    if (SearchStep(tolerance) == kStepFrameBeyondInput) return kStepFrameBeyondInput;
  }
  return kStepDone;
}

}  // namespace vantrel
