#include "sync/soft_symbol_stage.h"

#include <algorithm>
#include <bit>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "sync/asm_search_engine.h"
#include "sync/cadu_marker_scan.h"

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
constexpr size_t kDecodePiece = 8192;

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

// Meteor-M N2's BPSK values: the sign is the bit (positive = 1), eight to a byte, most
// significant first. A last group of fewer than eight values is dropped.
void PackSigns(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  for (size_t i = 0; i + 8 <= count; i += 8) {
    unsigned byte = 0;
    for (size_t k = 0; k < 8; ++k) byte = (byte << 1) | (values[i + k] > 0 ? 1u : 0u);
    out.push_back(static_cast<uint8_t>(byte));
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

// The differential dibits back to the recording's bits: with the previous (X', Y'), (X, Y) gives
// (Y' ^ Y, X' ^ X) when X ^ Y = 1, else (X' ^ X, Y' ^ Y).
struct DifferentialDecoder {
  unsigned previous_x = 0, previous_y = 0;
  void Decode(unsigned x, unsigned y, unsigned* a, unsigned* b) {
    if (x ^ y) {
      *a = previous_y ^ y;
      *b = previous_x ^ x;
    } else {
      *a = previous_x ^ x;
      *b = previous_y ^ y;
    }
    previous_x = x;
    previous_y = y;
  }
};

void Unpack(const std::vector<uint8_t>& bytes, size_t bits, std::vector<uint8_t>& out) {
  for (size_t i = 0; i < bits; ++i) out.push_back(bytes[i / 8] >> (7 - i % 8) & 1u);
}

std::vector<uint8_t> DecodeRail(const int8_t* rail, size_t count) {
  ViterbiDecoder decoder(ViterbiDecoder::Puncturing::kCommon);
  std::vector<uint8_t> packed;
  decoder.Decode(rail, count, packed);
  const size_t bits = packed.size() * 8 + decoder.Flush(packed);
  std::vector<uint8_t> unpacked;
  Unpack(packed, bits, unpacked);
  return unpacked;
}

std::string Fy3LockText(const Fy3Lock& lock) {
  return Format(
      "puncturing periods from symbol %zu of I and %zu of Q, branches %s, %s%s, rails "
      "paired %+d bits",
      lock.rail_offset[0], lock.rail_offset[1], lock.exchanged ? "exchanged" : "in order",
      lock.invert_x ? "X inverted" : "X as decoded", lock.inverted ? ", output inverted" : "",
      lock.shift);
}

void SplitRails(const int8_t* values, size_t count, std::vector<int8_t>* rails) {
  rails[0].clear();
  rails[1].clear();
  for (size_t v = 0; v < count; ++v) rails[v & 1].push_back(values[v]);
}

}  // namespace

std::optional<Fy3Lock> FindFy3Lock(const int8_t* values, size_t count) {
  std::vector<int8_t> rails[2];
  SplitRails(values, count, rails);
  Fy3Lock lock;
  std::vector<uint8_t> decoded[2];
  double worst = 0;
  for (int r = 0; r < 2; ++r) {
    const size_t ranked = std::min(rails[r].size(), kRankValues / 2);
    double best = 2;
    for (size_t offset = 0; offset < ViterbiDecoder::kPunctureSymbols && offset + 8 < ranked;
         ++offset) {
      const double rate = CountChannelErrors(rails[r].data() + offset, ranked - offset,
                                             ViterbiDecoder::Puncturing::kCommon)
                              .Rate();
      if (rate < best) {
        best = rate;
        lock.rail_offset[r] = offset;
      }
    }
    if (best > kMaxLockRate) return std::nullopt;
    worst = std::max(worst, best);
    decoded[r] =
        DecodeRail(rails[r].data() + lock.rail_offset[r], rails[r].size() - lock.rail_offset[r]);
  }
  lock.channel_errors = worst;
  std::vector<uint8_t> packed;
  for (const bool exchanged : {false, true}) {
    const std::vector<uint8_t>& x = decoded[exchanged ? 1 : 0];
    const std::vector<uint8_t>& y = decoded[exchanged ? 0 : 1];
    for (int shift = -kMaxPairShift; shift <= kMaxPairShift; ++shift) {
      const size_t drop_x = shift < 0 ? static_cast<size_t>(-shift) : 0;
      const size_t drop_y = shift > 0 ? static_cast<size_t>(shift) : 0;
      if (x.size() <= drop_x || y.size() <= drop_y) continue;
      const size_t pairs = std::min(x.size() - drop_x, y.size() - drop_y);
      for (const bool invert_x : {false, true}) {
        DifferentialDecoder differential;
        packed.assign((2 * pairs + 7) / 8 + 1, 0);
        for (size_t k = 0; k < pairs; ++k) {
          unsigned a = 0, b = 0;
          differential.Decode(x[drop_x + k] ^ (invert_x ? 1u : 0u), y[drop_y + k], &a, &b);
          packed[2 * k / 8] |= static_cast<uint8_t>(a << (7 - 2 * k % 8));
          packed[(2 * k + 1) / 8] |= static_cast<uint8_t>(b << (7 - (2 * k + 1) % 8));
        }
        const std::optional<bool> inverted = CaduMarkersInverted(packed.data(), 2 * pairs);
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

void Fy3SoftDecoder::Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  summary_.symbols += count;
  SplitRails(values, count, rails_);
  if (!locked_) {
    ++summary_.searches;
    const std::optional<Fy3Lock> lock = FindFy3Lock(values, count);
    if (!lock) {
      searched_.assign(values, values + count);
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
      const std::optional<Fy3Lock> lock = FindFy3Lock(values, count);
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
    bits_[r].clear();
  }
  const int x_rail = lock.exchanged ? 1 : 0;
  drop_[x_rail] = lock.shift < 0 ? static_cast<size_t>(-lock.shift) : 0;
  drop_[1 - x_rail] = lock.shift > 0 ? static_cast<size_t>(lock.shift) : 0;
  previous_x_ = previous_y_ = 0;
  byte_ = 0;
  byte_bits_ = 0;
  // The block the lock was found in is decoded from each rail's first period on.
  Feed(lock.rail_offset[0], lock.rail_offset[1], out);
}

void Fy3SoftDecoder::Feed(size_t from_i, size_t from_q, std::vector<uint8_t>& out) {
  std::vector<uint8_t> packed;
  const size_t from[2] = {from_i, from_q};
  for (int r = 0; r < 2; ++r) {
    if (rails_[r].size() <= from[r]) continue;
    const int8_t* symbols = rails_[r].data() + from[r];
    const size_t count = rails_[r].size() - from[r];
    checks_[r].AddSymbols(symbols, count);
    packed.clear();
    decoders_[r].Decode(symbols, count, packed);
    checks_[r].AddBits(packed.data(), packed.size() * 8);
    Unpack(packed, packed.size() * 8, bits_[r]);
  }
  Pair(out);
}

void Fy3SoftDecoder::EndLock(std::vector<uint8_t>& out) {
  std::vector<uint8_t> packed;
  for (int r = 0; r < 2; ++r) {
    packed.clear();
    const size_t bits = decoders_[r].Flush(packed);
    checks_[r].AddBits(packed.data(), bits);
    Unpack(packed, bits, bits_[r]);
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
    const size_t dropped = std::min(drop_[r], bits_[r].size());
    bits_[r].erase(bits_[r].begin(), bits_[r].begin() + static_cast<ptrdiff_t>(dropped));
    drop_[r] -= dropped;
  }
  const int x_rail = lock_.exchanged ? 1 : 0;
  const std::vector<uint8_t>& x = bits_[x_rail];
  const std::vector<uint8_t>& y = bits_[1 - x_rail];
  const size_t pairs = std::min(x.size(), y.size());
  DifferentialDecoder differential{previous_x_, previous_y_};
  const unsigned flip = lock_.inverted ? 1u : 0u;
  for (size_t k = 0; k < pairs; ++k) {
    unsigned a = 0, b = 0;
    differential.Decode(x[k] ^ (lock_.invert_x ? 1u : 0u), y[k], &a, &b);
    byte_ = (byte_ << 2) | ((a ^ flip) << 1) | (b ^ flip);
    byte_bits_ += 2;
    if (byte_bits_ == 8) {
      out.push_back(static_cast<uint8_t>(byte_));
      byte_ = 0;
      byte_bits_ = 0;
    }
  }
  summary_.bits += 2 * pairs;
  previous_x_ = differential.previous_x;
  previous_y_ = differential.previous_y;
  for (std::vector<uint8_t>& rail : bits_)
    rail.erase(rail.begin(), rail.begin() + static_cast<ptrdiff_t>(pairs));
}

void SoftSymbolStage(StageHost& host) {
  ChainState& chain = host.Chain();
  host.SetProgressPosition(0);
  const std::string input_path = StepInputPath(host);
  const std::string output_path = WorkingPath(WorkingFile::kSoftBits);
  const bool metop = chain.MetopMode;
  const bool meteor = chain.Mn2Mode;
  const bool fy3 = !metop && !meteor;
  const bool coded = !meteor;

  InputFile input;
  const int64_t size = OpenMeasuredStageInput(host, input_path, input);
  OutputFile output;
  CreateStageOutput(host, output_path, output, input);

  host.AppendLog(metop ? "Starting soft symbol decoding (MetOp QPSK, Viterbi)..."
                 : fy3 ? "Starting soft symbol decoding (FY-3 QPSK, two Viterbi rails)..."
                       : "Starting soft symbol reading (Meteor-M N2 BPSK)...");
  host.SetSizeCaption(Format("File size %lld bytes", static_cast<long long>(size)));
  host.SetProgressMaximum(size >> kKiBShift);
  host.ProcessEvents();

  MetopSoftDecoder decoder;
  Fy3SoftDecoder fy3_decoder;
  std::vector<int8_t> block(MetopSoftDecoder::kBlockValues);
  std::vector<uint8_t> bits;
  uint64_t values = 0;
  uint64_t bits_written = 0;
  bool any_signal = false;
  bool written = true;
  // BPSK: a half turn of the carrier inverts every bit; the first markers tell.
  std::optional<bool> bpsk_inverted;
  while (written) {
    const size_t got = input.Read(block.data(), block.size());
    if (got == 0) break;
    values += got;
    any_signal =
        any_signal || std::any_of(block.begin(), block.begin() + static_cast<ptrdiff_t>(got),
                                  [](int8_t value) { return value != 0; });
    bits.clear();
    if (metop) {
      decoder.Block(block.data(), got, bits);
    } else if (fy3) {
      fy3_decoder.Block(block.data(), got, bits);
    } else {
      PackSigns(block.data(), got, bits);
      if (!bpsk_inverted) bpsk_inverted = CaduMarkersInverted(bits.data(), bits.size() * 8);
      if (bpsk_inverted.value_or(false)) Invert(bits, 0);
    }
    written = output.Write(bits.data(), bits.size());
    bits_written += bits.size() * 8;
    host.SetProgressPosition(static_cast<int64_t>(values >> kKiBShift));
    host.ProcessEvents();
    if (got < block.size()) break;
  }
  if (coded && written) {
    bits.clear();
    if (metop)
      decoder.Finish(bits);
    else
      fy3_decoder.Finish(bits);
    written = output.Write(bits.data(), bits.size());
    bits_written += bits.size() * 8;
  }
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  EndRunIfDataLost(closed, input_path, output_path);

  SoftSymbolCounts counts;
  counts.symbols = static_cast<int64_t>(values);
  counts.bits = static_cast<int64_t>(bits_written);
  const SoftDecodeSummary& summary = metop ? decoder.Summary() : fy3_decoder.Summary();
  if (coded) {
    counts.locks_lost = static_cast<int64_t>(summary.locks_lost);
    counts.lock = summary.first_lock;
    if (summary.compared > 0)
      counts.channel_ber = static_cast<double>(summary.errors) / summary.compared;
  } else if (bpsk_inverted) {
    counts.lock =
        *bpsk_inverted ? "BPSK inverted (a half turn), the bits turned back" : "BPSK as sent";
  }
  chain.Counts.soft = counts;
  // The pass's input is the recording, which this stage's input is unless it follows the
  // demodulation stage (the driver measured the recording then).
  chain.Counts.input_bytes = chain.RecordingBytes.value_or(size);

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
                    "or sample format, or not %s QPSK)",
                    static_cast<unsigned long long>(values), host.InputPath().c_str(),
                    metop ? "MetOp" : "FY-3")
              : Format("the %llu soft symbols of '%s' (noise, a cut file, or not %s QPSK)",
                       static_cast<unsigned long long>(values), input_path.c_str(),
                       metop ? "MetOp" : "FY-3");
      throw StageError(RunEndsHere(
          Format("No lock found: no phase, I/Q swap or puncturing offset gives %s's code with CADU "
                 "markers in %s",
                 metop ? "MetOp" : "FY-3", source.c_str())));
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
                       "made of '%s' (a wrong sample rate or sample format, or not Meteor-M N2)",
                       static_cast<unsigned long long>(values), host.InputPath().c_str())
              : Format("No CADU markers in the signs of the %llu soft symbols of '%s' (noise, a "
                       "cut file, or not Meteor-M N2 BPSK: QPSK symbols given as BPSK?)",
                       static_cast<unsigned long long>(values), input_path.c_str())));
    }
    LogLine(host, "Polarity: %s", counts.lock.c_str());
  }
  LogLine(host, "Soft symbol decoding done!  %llu bits written to '%s'.",
          static_cast<unsigned long long>(bits_written), output_path.c_str());
  host.AppendLog("");
}

}  // namespace vantrel
