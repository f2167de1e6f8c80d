#include "sync/soft_symbol_stage.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <functional>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "sync/asm_search_engine.h"
#include "sync/cadu_marker_scan.h"
#include "sync/differential_dibits.h"

namespace vantrel {
namespace {

constexpr size_t kFrameBits = size_t{kCaduBytes} * 8;

// Values ranked per lock search (a few thousand QPSK symbols tell the code apart), candidates
// decoded to look for markers, and the rate above which a candidate is not the code at all.
constexpr size_t kRankValues = 16384;
constexpr size_t kCandidatesTried = 4;
constexpr double kMaxLockRate = 0.15;
// Symbols compared per check of the lock; a rate above the lock's by this much asks for a search.
constexpr uint64_t kWindowSymbols = 32768;
constexpr double kRiseAbsolute = 0.015;
constexpr double kRiseFactor = 1.5;
constexpr double kRiseFloor = 0.03;
// Decoded bits of a block checked for markers while locked (three frames and more).
constexpr size_t kMarkerCheckBits = 3 * kFrameBits;
// A marker word is read with the 40 bits from its first.
constexpr size_t kMarkerReadBits = 40;
// Values of a block decoded at a time by the search (even: whole pairs), between checks of
// whether the rest can still give markers.
constexpr size_t kDecodePiece = 2048;

// The progress bar counts KiB.
constexpr int kKiBShift = 10;

std::string LockText(const MetopLock& lock) {
  return Format("rotation %d degrees, I and Q %s, puncturing period from value %zu",
                lock.phase.rotation + (lock.inverted ? 180 : 0),
                lock.phase.iq_swap ? "swapped" : "in order", lock.offset);
}

void Invert(std::vector<uint8_t>& bytes, size_t from) {
  for (size_t i = from; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
}

// Bits of a byte in the other order.
constexpr std::array<uint8_t, 256> MakeReversed() {
  std::array<uint8_t, 256> reversed{};
  for (unsigned value = 0; value < 256; ++value)
    for (unsigned bit = 0; bit < 8; ++bit)
      reversed[value] = static_cast<uint8_t>(reversed[value] | ((value >> bit) & 1u) << (7 - bit));
  return reversed;
}

constexpr std::array<uint8_t, 256> kReversed = MakeReversed();

// Meteor-M N2's BPSK values: the sign is the bit (positive = 1), eight to a byte, most
// significant first. A last group of fewer than eight values is dropped.
void PackSigns(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  const size_t first = out.size();
  out.resize(first + count / 8);
  uint8_t* bytes = out.data() + first;
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen signs from one compare; the mask has the first value's in its lowest bit.
  for (; i + 16 <= count; i += 16) {
    const __m128i lanes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + i));
    const auto signs =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpgt_epi8(lanes, _mm_setzero_si128())));
    bytes[i / 8] = kReversed[signs & 0xFFu];
    bytes[i / 8 + 1] = kReversed[signs >> 8];
  }
#endif
  for (; i + 8 <= count; i += 8) {
    unsigned byte = 0;
    for (size_t k = 0; k < 8; ++k) byte = (byte << 1) | (values[i + k] > 0 ? 1u : 0u);
    bytes[i / 8] = static_cast<uint8_t>(byte);
  }
}

}  // namespace

std::optional<bool> CaduMarkersInverted(const uint8_t* bytes, size_t bit_count) {
  // A word is read with the 40 bits from its first: keep that inside the buffer.
  if (bit_count < 40) return std::nullopt;
  std::vector<MarkerHit> hits;
  FindMarkerHits(bytes, 0, bit_count - 39, hits);
  return FirstMarkerPair(hits);
}

std::optional<MetopLock> FindMetopLock(const int8_t* values, size_t count) {
  MetopLockSearch search;
  return search.Find(values, count);
}

std::optional<MetopLock> MetopLockSearch::Find(const int8_t* values, size_t count) {
  const size_t ranked = std::min(count, kRankValues);
  // Zero values carry nothing: with none other ranked, no candidate has a symbol to compare, so
  // every one has the rate 1 and none is tried.
  if (std::all_of(values, values + ranked, [](int8_t value) { return value == 0; }))
    return std::nullopt;
  // Where the code's parity checks hold nowhere (noise, a carrier without data) no trial decode
  // could find markers: the block is not decoded at all.
  if (screen_.MetopScore(values, count) < kMinCodeScore) return std::nullopt;
  struct Candidate {
    MetopLock lock;
    PhaseTrial* trial;
  };
  std::vector<Candidate> candidates;
  const auto by_rate = [](const Candidate& a, const Candidate& b) {
    return a.lock.channel_errors < b.lock.channel_errors;
  };
  // A value lost between I and Q shifts the pairs by one: both pairings are ranked.
  for (size_t shift = 0; shift < 2 && shift + 8 < ranked; ++shift) {
    TryMetopPhases(values + shift, ranked - shift, trials_[shift]);
    const size_t first = candidates.size();
    for (PhaseTrial& trial : trials_[shift]) {
      MetopLock lock;
      lock.phase = trial.candidate.phase;
      lock.offset = shift + static_cast<size_t>(lock.phase.skip_symbols);
      lock.channel_errors = trial.candidate.errors.Rate();
      candidates.push_back({lock, &trial});
    }
    std::stable_sort(candidates.begin() + static_cast<ptrdiff_t>(first), candidates.end(), by_rate);
  }
  std::stable_sort(candidates.begin(), candidates.end(), by_rate);
  for (size_t i = 0; i < candidates.size() && i < kCandidatesTried; ++i) {
    Candidate& candidate = candidates[i];
    if (candidate.lock.channel_errors > kMaxLockRate) break;
    const std::optional<bool> inverted =
        DecodeForMarkers(*candidate.trial, candidate.lock.offset, values, count);
    if (inverted) {
      candidate.lock.inverted = *inverted;
      return candidate.lock;
    }
  }
  return std::nullopt;
}

std::optional<bool> MetopLockSearch::DecodeForMarkers(PhaseTrial& trial, size_t offset,
                                                      const int8_t* values, size_t count) {
  // The block from `offset` on, whole pairs, is what the trial's decoder had the first of.
  const size_t total = count > offset ? (count - offset) & ~size_t{1} : 0;
  const size_t bits = total / ViterbiDecoder::kPunctureSymbols * ViterbiDecoder::kPunctureBits;
  if (bits < kMarkerReadBits) return std::nullopt;
  const size_t words = bits - (kMarkerReadBits - 1);  // marker words start at bit 0 .. words - 1
  std::vector<uint8_t>& bytes = trial.bytes;
  hits_.clear();
  size_t scanned = 0;
  // The decoder's bytes are final as they come: the words they hold whole are scanned at once.
  const auto scan = [&] {
    const size_t whole = bytes.size() * 8;
    const size_t upto = std::min(words, whole >= kMarkerReadBits ? whole - kMarkerReadBits + 1 : 0);
    if (upto > scanned) FindMarkerHits(bytes.data(), scanned, upto, hits_);
    scanned = std::max(scanned, upto);
  };
  // Without a marker so far, and less than a frame of words left, no two can be a frame apart:
  // the rest of the decode cannot give a pair.
  const auto hopeless = [&] { return hits_.empty() && words - scanned <= kFrameBits; };
  scan();
  for (size_t done = trial.symbols; done < total;) {
    if (hopeless()) return std::nullopt;
    const size_t piece = std::min(kDecodePiece, total - done);
    symbols_.resize(piece);
    UndoPhase(trial.candidate.phase, values + offset + done, symbols_.data(), piece);
    trial.decoder.Decode(symbols_.data(), piece, bytes);
    done += piece;
    scan();
  }
  if (hopeless()) return std::nullopt;
  trial.decoder.Flush(bytes);
  if (words > scanned) FindMarkerHits(bytes.data(), scanned, words, hits_);
  return FirstMarkerPair(hits_);
}

void MetopSoftDecoder::Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  summary_.symbols += count;
  if (!locked_) {
    ++summary_.searches;
    // The search depends on the block alone: the same values as the block searched in vain just
    // before (silence, a clipped carrier) are not searched again.
    const bool again =
        count == searched_.size() && std::equal(values, values + count, searched_.begin());
    const std::optional<MetopLock> lock = again ? std::nullopt : search_.Find(values, count);
    if (!lock) {
      if (!again) searched_.assign(values, values + count);
    } else if (searched_.empty()) {
      StartLock(*lock, values, count, out);
    } else {
      // The signal may have begun in the block before, too short there to find: that block is
      // decoded with this lock as well (whole blocks keep the period's and the pair's place).
      const uint64_t found_at = stream_values_ + lock->offset;
      const size_t before = searched_.size();
      searched_.insert(searched_.end(), values, values + count);
      stream_values_ -= before;
      StartLock(*lock, searched_.data(), searched_.size(), out);
      stream_values_ += before;
      if (summary_.locks == 1) summary_.first_lock_value = found_at;
      searched_.clear();
    }
  } else {
    const size_t before = out.size();
    Feed(values, count, out);
    // A rise of the errors shows most losses; a jump to the twin of the lock's phase (a quarter
    // turn taken for a swap) leaves them low and only the markers tell.
    bool suspect = false;
    if (check_.window_compared >= kWindowSymbols) {
      const double rate = static_cast<double>(check_.window_errors) / check_.window_compared;
      check_.window_compared = check_.window_errors = 0;
      suspect = rate > std::max(kRiseFloor, kRiseFactor * lock_rate_ + kRiseAbsolute);
    }
    const size_t bits = (out.size() - before) * 8;
    if (bits >= kMarkerCheckBits && !HasMarkerPair(out.data() + before, bits)) suspect = true;
    if (suspect) {
      ++summary_.searches;
      const std::optional<MetopLock> lock = search_.Find(values, count);
      const bool same = lock && lock->phase.rotation == lock_.phase.rotation &&
                        lock->phase.iq_swap == lock_.phase.iq_swap &&
                        lock->inverted == lock_.inverted &&
                        (stream_values_ + lock->offset - lock_start_) % 4 == 0;
      if (!same) {
        EndLock(out);
        ++summary_.locks_lost;
        if (lock) StartLock(*lock, values, count, out);
      }
    }
  }
  stream_values_ += count;
}

void MetopSoftDecoder::StartLock(const MetopLock& lock, const int8_t* values, size_t count,
                                 std::vector<uint8_t>& out) {
  if (summary_.first_lock.empty()) {
    summary_.first_lock = LockText(lock);
    summary_.first_lock_value = stream_values_ + lock.offset;
  }
  ++summary_.locks;
  locked_ = true;
  lock_ = lock;
  lock_rate_ = lock.channel_errors;
  lock_start_ = stream_values_ + lock.offset;
  decoder_.Reset();
  pending_.clear();
  check_.Reset();
  // The block the lock was found in is decoded from the lock's first symbol on.
  Feed(values + lock.offset, count - lock.offset, out);
}

void MetopSoftDecoder::Feed(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  const size_t before = out.size();
  // The phase is undone into the check's own copy of the symbols, which the decoder reads.
  const auto decode = [this, &out](const int8_t* from, size_t pair_values) {
    int8_t* symbols = check_.AddSymbolRoom(pair_values);
    UndoPhase(lock_.phase, from, symbols, pair_values);
    decoder_.Decode(symbols, pair_values, out);
  };
  // A value left over from the block before pairs with this block's first.
  if (!pending_.empty() && count > 0) {
    const int8_t pair[2] = {pending_.front(), values[0]};
    pending_.clear();
    decode(pair, 2);
    ++values;
    --count;
  }
  const size_t pair_values = count & ~size_t{1};
  decode(values, pair_values);
  if (pair_values < count) pending_.push_back(values[pair_values]);
  Check(out, before, (out.size() - before) * 8);
  if (lock_.inverted) Invert(out, before);
}

void MetopSoftDecoder::EndLock(std::vector<uint8_t>& out) {
  const size_t before = out.size();
  Check(out, before, decoder_.Flush(out));
  if (lock_.inverted) Invert(out, before);
  locked_ = false;
}

void MetopSoftDecoder::Finish(std::vector<uint8_t>& out) {
  if (locked_) EndLock(out);
}

void MetopSoftDecoder::Check(const std::vector<uint8_t>& out, size_t from_byte, size_t bits) {
  summary_.bits += bits;
  const uint64_t compared = check_.compared, errors = check_.errors;
  check_.AddBits(out.data() + from_byte, bits);
  summary_.compared += check_.compared - compared;
  summary_.errors += check_.errors - errors;
}

namespace {

constexpr int kMaxPairShift = 4;

std::string Fy3LockText(const Fy3Lock& lock) {
  return Format(
      "puncturing periods from symbol %zu of I and %zu of Q, branches %s, %s%s, rails "
      "paired %+d bits",
      lock.rail_offset[0], lock.rail_offset[1], lock.exchanged ? "exchanged" : "in order",
      lock.invert_x ? "X inverted" : "X as decoded", lock.inverted ? ", output inverted" : "",
      lock.shift);
}

void SplitRails(const int8_t* values, size_t count, std::vector<int8_t>* rails) {
  rails[0].resize((count + 1) / 2);
  rails[1].resize(count / 2);
  int8_t* i_rail = rails[0].data();
  int8_t* q_rail = rails[1].data();
  for (size_t k = 0; k < count / 2; ++k) {
    i_rail[k] = values[2 * k];
    q_rail[k] = values[2 * k + 1];
  }
  if (count % 2 != 0) i_rail[count / 2] = values[count - 1];
}

// The bits to drop from the front of X and of Y to pair them with `shift`.
size_t DropX(int shift) {
  return shift < 0 ? static_cast<size_t>(-shift) : 0;
}
size_t DropY(int shift) {
  return shift > 0 ? static_cast<size_t>(shift) : 0;
}

}  // namespace

std::optional<Fy3Lock> FindFy3Lock(const int8_t* values, size_t count) {
  Fy3LockSearch search;
  return search.Find(values, count);
}

std::optional<Fy3Lock> Fy3LockSearch::Find(const int8_t* values, size_t count) {
  SplitRails(values, count, rails_);
  Fy3Lock lock;
  double worst = 0;
  // Each rail's period start: the fewest channel errors on its first values (the first of
  // equals). Zero values carry nothing: a rail with no other ranked has the rate 1 everywhere.
  size_t ranked[2];
  for (int r = 0; r < 2; ++r) {
    ranked[r] = std::min(rails_[r].size(), kRankValues / 2);
    if (std::all_of(rails_[r].begin(), rails_[r].begin() + static_cast<ptrdiff_t>(ranked[r]),
                    [](int8_t value) { return value == 0; }))
      return std::nullopt;
  }
  // As MetOp's: a block where the rails do not hold the code's checks is not decoded.
  if (screen_.Fy3Score(values, count) < kMinCodeScore) return std::nullopt;
  for (int r = 0; r < 2; ++r) {
    double best = 2;
    for (size_t offset = 0; offset < ViterbiDecoder::kPunctureSymbols && offset + 8 < ranked[r];
         ++offset) {
      RailTrial& trial = trials_[r][offset];
      const double rate =
          DecodeAndCount(rails_[r].data() + offset, ranked[r] - offset, trial.decoder, trial.bytes)
              .Rate();
      if (rate < best) {
        best = rate;
        lock.rail_offset[r] = offset;
      }
    }
    if (best > kMaxLockRate) return std::nullopt;
    worst = std::max(worst, best);
  }
  lock.channel_errors = worst;
  // The whole of each rail from its period start: its ranking decode gone on with.
  for (int r = 0; r < 2; ++r) {
    RailTrial& trial = trials_[r][lock.rail_offset[r]];
    const int8_t* rest = rails_[r].data() + ranked[r];
    trial.decoder.Decode(rest, rails_[r].size() - ranked[r], trial.bytes);
    const size_t bits = trial.bytes.size() * 8 + trial.decoder.Flush(trial.bytes);
    decoded_[r].Clear();
    decoded_[r].Append(trial.bytes.data(), bits);
  }
  // The pairings in the order tried: branches in order then exchanged, each shift, X as decoded
  // then inverted. Exchanging the branches exchanges a and b of every dibit, and so does
  // inverting X but for the first dibit: each pairing of the two rails' bits is decoded once,
  // as it is and with its dibits exchanged, and only the first dibit is decoded again.
  for (Pairing& pairing : pairings_) pairing.made = false;
  for (const bool exchanged : {false, true}) {
    for (int shift = -kMaxPairShift; shift <= kMaxPairShift; ++shift) {
      // The rails' bits paired: X from rail I dropping DropX, Y from rail Q dropping DropY.
      const int rails_shift = exchanged ? -shift : shift;
      if (decoded_[0].Size() <= DropX(rails_shift) || decoded_[1].Size() <= DropY(rails_shift))
        continue;
      Pairing& pairing = MakePairing(rails_shift);
      for (const bool invert_x : {false, true}) {
        // Exchanged, or X inverted, but not both: the dibits exchanged.
        Stream& stream = pairing.streams[exchanged != invert_x ? 1 : 0];
        hits_ = stream.hits;
        if (invert_x) FirstDibitAgain(pairing, exchanged, stream);
        const std::optional<bool> inverted = FirstMarkerPair(hits_);
        if (inverted) {
          lock.exchanged = exchanged;
          lock.shift = shift;
          lock.invert_x = invert_x;
          lock.inverted = *inverted;
          return lock;
        }
      }
    }
  }
  return std::nullopt;
}

Fy3LockSearch::Pairing& Fy3LockSearch::MakePairing(int shift) {
  Pairing& pairing = pairings_[static_cast<size_t>(shift + kMaxPairShift)];
  if (pairing.made) return pairing;
  pairing.made = true;
  pairing.shift = shift;
  const size_t drop_x = DropX(shift), drop_y = DropY(shift);
  pairing.pairs = std::min(decoded_[0].Size() - drop_x, decoded_[1].Size() - drop_y);
  const size_t bits = 2 * pairing.pairs;
  Stream& plain = pairing.streams[0];
  Stream& swapped = pairing.streams[1];
  plain.bytes.clear();
  unsigned byte = 0;
  int held = 0;
  BitSink sink{plain.bytes, byte, held};
  DibitState state;
  DecodeDibits(decoded_[0], drop_x, decoded_[1], drop_y, pairing.pairs, false, false, state, sink);
  if (held > 0) plain.bytes.push_back(static_cast<uint8_t>(byte << (8 - held)));
  // a and b of every dibit exchanged: the even and odd bits of every byte.
  swapped.bytes.resize(plain.bytes.size());
  for (size_t i = 0; i < plain.bytes.size(); ++i) {
    const unsigned value = plain.bytes[i];
    swapped.bytes[i] = static_cast<uint8_t>((value >> 1 & 0x55u) | (value << 1 & 0xAAu));
  }
  for (Stream& stream : pairing.streams) {
    // Room for a marker word read from any bit (CaduMarkersInverted's contract).
    stream.bytes.resize(stream.bytes.size() + 8, 0);
    stream.hits.clear();
    if (bits >= kMarkerReadBits) FindMarkerHits(stream.bytes.data(), 0, bits - 39, stream.hits);
  }
  return pairing;
}

void Fy3LockSearch::FirstDibitAgain(const Pairing& pairing, bool exchanged, const Stream& stream) {
  const size_t bits = 2 * pairing.pairs;
  if (bits < kMarkerReadBits) return;
  // X inverted from the first dibit on, from the previous (0, 0): X is rail Q's first paired
  // bit when exchanged, else rail I's.
  const int shift = pairing.shift;
  const BitQueue& x_rail = decoded_[exchanged ? 1 : 0];
  const BitQueue& y_rail = decoded_[exchanged ? 0 : 1];
  const size_t x_at = exchanged ? DropY(shift) : DropX(shift);
  const size_t y_at = exchanged ? DropX(shift) : DropY(shift);
  std::vector<uint8_t> first;
  unsigned byte = 0;
  int held = 0;
  BitSink sink{first, byte, held};
  DibitState state;
  DecodeDibits(x_rail, x_at, y_rail, y_at, 1, true, false, state, sink);
  // The stream with that dibit in its place, read for the two words it begins.
  uint8_t head[8];
  std::memcpy(head, stream.bytes.data(), sizeof head);
  head[0] = static_cast<uint8_t>((head[0] & 0x3Fu) | byte << 6);
  hits_.erase(
      std::remove_if(hits_.begin(), hits_.end(), [](const MarkerHit& hit) { return hit.bit < 2; }),
      hits_.end());
  std::vector<MarkerHit> head_hits;
  FindMarkerHits(head, 0, std::min<size_t>(2, bits - (kMarkerReadBits - 1)), head_hits);
  hits_.insert(hits_.end(), head_hits.begin(), head_hits.end());
}

void Fy3SoftDecoder::Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  summary_.symbols += count;
  SplitRails(values, count, rails_);
  if (!locked_) {
    ++summary_.searches;
    // As MetOp's: the same values as the block searched in vain before are not searched again.
    const bool again =
        count == searched_.size() && std::equal(values, values + count, searched_.begin());
    const std::optional<Fy3Lock> lock = again ? std::nullopt : search_.Find(values, count);
    if (!lock) {
      if (!again) searched_.assign(values, values + count);
    } else {
      // As MetOp's: the block searched in vain before this one is decoded with the lock too.
      if (!searched_.empty()) {
        searched_.insert(searched_.end(), values, values + count);
        SplitRails(searched_.data(), searched_.size(), rails_);
        searched_.clear();
      }
      StartLock(*lock, out);
    }
  } else {
    const size_t before = out.size();
    Feed(0, 0, out);
    const size_t bits = (out.size() - before) * 8;
    if (bits >= kMarkerCheckBits && !HasMarkerPair(out.data() + before, bits)) {
      ++summary_.searches;
      const std::optional<Fy3Lock> lock = search_.Find(values, count);
      // The same lock again: the block only held no frame whole enough to show a marker.
      const bool same = lock && lock->rail_offset[0] == lock_.rail_offset[0] &&
                        lock->rail_offset[1] == lock_.rail_offset[1] &&
                        lock->exchanged == lock_.exchanged && lock->invert_x == lock_.invert_x &&
                        lock->inverted == lock_.inverted && lock->shift == lock_.shift;
      if (!same) {
        EndLock(out);
        ++summary_.locks_lost;
        if (lock) StartLock(*lock, out);
      }
    }
  }
  stream_values_ += count;
}

void Fy3SoftDecoder::StartLock(const Fy3Lock& lock, std::vector<uint8_t>& out) {
  if (summary_.first_lock.empty()) {
    summary_.first_lock = Fy3LockText(lock);
    summary_.first_lock_value = stream_values_;
  }
  ++summary_.locks;
  locked_ = true;
  lock_ = lock;
  for (int r = 0; r < 2; ++r) {
    decoders_[r].Reset();
    checks_[r].Reset();
    bits_[r].Clear();
  }
  const int x_rail = lock.exchanged ? 1 : 0;
  drop_[x_rail] = DropX(lock.shift);
  drop_[1 - x_rail] = DropY(lock.shift);
  dibits_ = DibitState{};
  byte_ = 0;
  byte_bits_ = 0;
  // The block the lock was found in is decoded from each rail's first period on.
  Feed(lock.rail_offset[0], lock.rail_offset[1], out);
}

void Fy3SoftDecoder::Feed(size_t from_i, size_t from_q, std::vector<uint8_t>& out) {
  const size_t from[2] = {from_i, from_q};
  for (int r = 0; r < 2; ++r) {
    if (rails_[r].size() <= from[r]) continue;
    const int8_t* symbols = rails_[r].data() + from[r];
    const size_t count = rails_[r].size() - from[r];
    checks_[r].AddSymbols(symbols, count);
    packed_.clear();
    decoders_[r].Decode(symbols, count, packed_);
    checks_[r].AddBits(packed_.data(), packed_.size() * 8);
    bits_[r].Append(packed_.data(), packed_.size() * 8);
  }
  Pair(out);
}

void Fy3SoftDecoder::EndLock(std::vector<uint8_t>& out) {
  for (int r = 0; r < 2; ++r) {
    packed_.clear();
    const size_t bits = decoders_[r].Flush(packed_);
    checks_[r].AddBits(packed_.data(), bits);
    bits_[r].Append(packed_.data(), bits);
  }
  Pair(out);
  if (byte_bits_ > 0) {
    out.push_back(static_cast<uint8_t>(byte_ << (8 - byte_bits_)));
    byte_bits_ = 0;
    byte_ = 0;
  }
  for (const ReencodingCheck& check : checks_) {
    summary_.compared += check.compared;
    summary_.errors += check.errors;
  }
  locked_ = false;
}

void Fy3SoftDecoder::Finish(std::vector<uint8_t>& out) {
  if (locked_) EndLock(out);
}

void Fy3SoftDecoder::Pair(std::vector<uint8_t>& out) {
  for (int r = 0; r < 2; ++r) {
    const size_t dropped = std::min(drop_[r], bits_[r].Size());
    bits_[r].Drop(dropped);
    drop_[r] -= dropped;
  }
  const int x_rail = lock_.exchanged ? 1 : 0;
  BitQueue& x = bits_[x_rail];
  BitQueue& y = bits_[1 - x_rail];
  const size_t pairs = std::min(x.Size(), y.Size());
  BitSink sink{out, byte_, byte_bits_};
  DecodeDibits(x, 0, y, 0, pairs, lock_.invert_x, lock_.inverted, dibits_, sink);
  summary_.bits += 2 * pairs;
  x.Drop(pairs);
  y.Drop(pairs);
}

namespace {

// An uncoded downlink's decoder: the sign of each value is its bit (PackSigns). A half turn of the
// carrier inverts every bit; the first block whose bits hold CADU markers tells, and the bits are
// turned back from there on.
class SignSoftDecoder : public SoftSymbolDecoder {
 public:
  void Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) override {
    const size_t before = out.size();
    PackSigns(values, count, out);
    summary_.symbols += count;
    summary_.bits += (out.size() - before) * 8;
    if (!inverted_) {
      inverted_ = CaduMarkersInverted(out.data() + before, (out.size() - before) * 8);
      if (inverted_) {
        summary_.first_lock =
            *inverted_ ? "BPSK inverted (a half turn), the bits turned back" : "BPSK as sent";
      }
    }
    if (inverted_.value_or(false)) Invert(out, before);
  }
  void Finish(std::vector<uint8_t>& /*out*/) override {}
  const SoftDecodeSummary& Summary() const override { return summary_; }

 private:
  SoftDecodeSummary summary_;
  std::optional<bool> inverted_;  // known once markers were found
};

}  // namespace

std::unique_ptr<SoftSymbolDecoder> MakeSoftSymbolDecoder(SoftDecoding decoding) {
  switch (decoding) {
    case SoftDecoding::kPuncturedViterbi:
      return std::make_unique<MetopSoftDecoder>();
    case SoftDecoding::kTwoRailViterbi:
      return std::make_unique<Fy3SoftDecoder>();
    case SoftDecoding::kSigns:
      break;
  }
  return std::make_unique<SignSoftDecoder>();
}

namespace {

// Cuts a stream of soft values into the blocks a SoftSymbolDecoder takes (each `block_values`
// long, the last one shorter) and hands them to `sink`, leaving out a run of at least
// kPaddingValues zeros at the very end. Zeros are counted, not stored, until a non-zero value
// shows they were inside the stream; shorter runs at the end are handed on (a few values a noisy
// demodulator happened to put at 0).
class ErasureTrimmedFeed {
 public:
  // Far more zeros in a row than noise gives (an 8-bit soft value is 0 one time in tens at
  // worst), and far fewer than the frame a padding would otherwise make.
  static constexpr uint64_t kPaddingValues = 64;

  ErasureTrimmedFeed(size_t block_values, std::function<void(const int8_t*, size_t)> sink)
      : block_values_(block_values), sink_(std::move(sink)) {
    block_.reserve(block_values);
  }
  void Push(const int8_t* values, size_t count) {
    size_t end = count;
    while (end > 0 && values[end - 1] == 0) --end;
    if (end == 0) {
      held_zeros_ += count;
      return;
    }
    ReleaseZeros();
    Append(values, end);
    held_zeros_ = count - end;
  }
  void Finish() {
    if (held_zeros_ < kPaddingValues) ReleaseZeros();
    held_zeros_ = 0;
    if (!block_.empty()) sink_(block_.data(), block_.size());
    block_.clear();
  }

 private:
  void ReleaseZeros() {
    while (held_zeros_ > 0) {
      const size_t take =
          static_cast<size_t>(std::min<uint64_t>(held_zeros_, block_values_ - block_.size()));
      block_.insert(block_.end(), take, int8_t{0});
      held_zeros_ -= take;
      if (block_.size() == block_values_) Flush();
    }
  }
  void Append(const int8_t* values, size_t count) {
    while (count > 0) {
      const size_t take = std::min(count, block_values_ - block_.size());
      block_.insert(block_.end(), values, values + take);
      values += take;
      count -= take;
      if (block_.size() == block_values_) Flush();
    }
  }
  void Flush() {
    sink_(block_.data(), block_.size());
    block_.clear();
  }

  size_t block_values_;
  std::function<void(const int8_t*, size_t)> sink_;
  std::vector<int8_t> block_;
  uint64_t held_zeros_ = 0;
};

}  // namespace

void SoftSymbolStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  ChainState& chain = host.Chain();
  host.SetProgressPosition(0);
  const std::string& input_path = io.input_path;
  const std::string& output_path = io.output_path;
  const Downlink& downlink = *host.RunSatellite().downlink;
  // A coded downlink reports its lock and the channel's errors, an uncoded one its polarity.
  const bool coded = downlink.decoding != SoftDecoding::kSigns;

  const int64_t size = io.input_size;

  host.AppendLog(downlink.soft_start);
  host.SetSizeCaption(Format("File size %lld bytes", static_cast<long long>(size)));
  host.SetProgressMaximum(size >> kKiBShift);
  host.ProcessEvents();

  const std::unique_ptr<SoftSymbolDecoder> decoder = MakeSoftSymbolDecoder(downlink.decoding);
  std::vector<int8_t> block(MetopSoftDecoder::kBlockValues);
  std::vector<uint8_t> bits;
  uint64_t values = 0;
  uint64_t bits_written = 0;
  bool any_signal = false;
  bool written = true;
  // The decoder takes the recording in blocks of kBlockValues from its start, as read, but for
  // a run of zero values (every one unknown) at the end: a recorder's padding, decoded, would
  // give frames that were never received. Zeros are held back as a count until a value follows.
  ErasureTrimmedFeed feed(MetopSoftDecoder::kBlockValues, [&](const int8_t* data, size_t count) {
    if (!written) return;
    bits.clear();
    decoder->Block(data, count, bits);
    written = output.Write(bits.data(), bits.size());
    bits_written += bits.size() * 8;
  });
  while (written) {
    const size_t got = input.Read(block.data(), block.size());
    if (got == 0) break;
    values += got;
    any_signal =
        any_signal || std::any_of(block.begin(), block.begin() + static_cast<ptrdiff_t>(got),
                                  [](int8_t value) { return value != 0; });
    feed.Push(block.data(), got);
    host.SetProgressPosition(static_cast<int64_t>(values >> kKiBShift));
    host.ProcessEvents();
    if (got < block.size()) break;
  }
  if (written) feed.Finish();
  if (written) {
    bits.clear();
    decoder->Finish(bits);
    written = output.Write(bits.data(), bits.size());
    bits_written += bits.size() * 8;
  }
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  EndRunIfDataLost(closed, input_path, output_path);

  SoftSymbolCounts counts;
  counts.symbols = static_cast<int64_t>(values);
  counts.bits = static_cast<int64_t>(bits_written);
  const SoftDecodeSummary& summary = decoder->Summary();
  counts.lock = summary.first_lock;
  if (coded) {
    counts.locks_lost = static_cast<int64_t>(summary.locks_lost);
    if (summary.compared > 0)
      counts.channel_ber = static_cast<double>(summary.errors) / summary.compared;
  }
  chain.Counts.soft = counts;
  // The pass's input is the recording, which this stage's input is unless it follows the
  // demodulation stage (the driver measured the recording then).
  chain.Counts.input_bytes = chain.RecordingBytes.value_or(size < 0 ? 0 : size);

  LogLine(host, "Soft symbols read: %llu", static_cast<unsigned long long>(values));
  if (values == 0 || !any_signal) {
    throw StageError(RunEndsHere(
        Format("'%s' holds %s: no signal to decode", input_path.c_str(),
               values == 0 ? "no soft symbols" : "only zero soft symbols (every one unknown)")));
  }
  if (coded) {
    if (summary.first_lock.empty()) {
      // Symbols the demodulator made of a recording read at the wrong rate or in the wrong
      // format look like a signal to it, but carry no code: say where to look.
      const std::string source =
          chain.BasebandInput
              ? Format(
                    "the %llu soft symbols the demodulator made of '%s' (a wrong sample rate "
                    "or sample format, or not %s)",
                    static_cast<unsigned long long>(values), host.InputPath().c_str(),
                    downlink.soft_symbols)
              : Format("the %llu soft symbols of '%s' (noise, a cut file, or not %s)",
                       static_cast<unsigned long long>(values), input_path.c_str(),
                       downlink.soft_symbols);
      throw StageError(RunEndsHere(
          Format("No lock found: no phase, I/Q swap or puncturing offset gives %s's code with CADU "
                 "markers in %s",
                 downlink.name, source.c_str())));
    }
    if (summary.first_lock_value < MetopSoftDecoder::kBlockValues) {
      LogLine(host, "Lock found in the first block: %s", counts.lock.c_str());
    } else {
      LogLine(host, "Lock found at soft symbol %llu after %llu searches: %s",
              static_cast<unsigned long long>(summary.first_lock_value),
              static_cast<unsigned long long>(summary.searches), counts.lock.c_str());
    }
    LogLine(host, "Locks lost: %llu (locks found %llu, searches %llu)",
            static_cast<unsigned long long>(summary.locks_lost),
            static_cast<unsigned long long>(summary.locks),
            static_cast<unsigned long long>(summary.searches));
    LogLine(host, "Estimated channel bit error rate: %.2e (%llu symbols re-encoded and compared)",
            counts.channel_ber, static_cast<unsigned long long>(summary.compared));
  } else {
    // Without two markers a frame apart anywhere, the CADU stage would find nothing either.
    if (counts.lock.empty()) {
      throw StageError(RunEndsHere(
          chain.BasebandInput
              ? Format("No CADU markers in the signs of the %llu soft symbols the demodulator "
                       "made of '%s' (a wrong sample rate or sample format, or not %s)",
                       static_cast<unsigned long long>(values), host.InputPath().c_str(),
                       downlink.name)
              : Format("No CADU markers in the signs of the %llu soft symbols of '%s' (noise, a "
                       "cut file, or not %s: QPSK symbols given as BPSK?)",
                       static_cast<unsigned long long>(values), input_path.c_str(),
                       downlink.soft_symbols)));
    }
    LogLine(host, "Polarity: %s", counts.lock.c_str());
  }
  LogLine(host, "Soft symbol decoding done!  %llu bits written to '%s'.",
          static_cast<unsigned long long>(bits_written), output_path.c_str());
  host.AppendLog("");
}

const StepSpec kSoftSymbolStep = {"Soft symbol decoding", SoftSymbolStep, "8-bit soft symbols",
                                  "bits", WorkingFile::kSoftBits};

void SoftSymbolStage(StageHost& host) {
  RunStepAlone(host, kSoftSymbolStep);
}

}  // namespace vantrel
