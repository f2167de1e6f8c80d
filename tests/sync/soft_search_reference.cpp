#include "tests/sync/soft_search_reference.h"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <utility>

namespace vantrel::reference {
namespace {

constexpr uint32_t kMarker = 0x1ACFFC1D;
constexpr size_t kFrameBits = 1024 * 8;
constexpr int kMarkerErrorsAllowed = 3;
constexpr int kSettleSteps = 16;
constexpr size_t kRankValues = 16384;
constexpr size_t kCandidatesTried = 4;
constexpr double kMaxLockRate = 0.15;
constexpr uint64_t kWindowSymbols = 32768;
constexpr double kRiseAbsolute = 0.015;
constexpr double kRiseFactor = 1.5;
constexpr double kRiseFloor = 0.03;
constexpr size_t kMarkerCheckBits = 3 * kFrameBits;
constexpr int kMaxPairShift = 4;

// The 32 bits from `bit` on, read one by one.
uint32_t BitsAt(const uint8_t* bytes, size_t bit) {
  uint32_t word = 0;
  for (size_t k = 0; k < 32; ++k)
    word = (word << 1) | ((bytes[(bit + k) / 8] >> (7 - (bit + k) % 8)) & 1u);
  return word;
}

unsigned Parity(unsigned x) {
  return static_cast<unsigned>(std::popcount(x)) & 1u;
}

std::vector<uint8_t> Unpack(const std::vector<uint8_t>& bytes, size_t bits) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < bits; ++i) out.push_back(bytes[i / 8] >> (7 - i % 8) & 1u);
  return out;
}

struct Differential {
  unsigned previous_x = 0, previous_y = 0;
  void Decode(unsigned x, unsigned y, unsigned* a, unsigned* b) {
    *a = (x ^ y) ? previous_y ^ y : previous_x ^ x;
    *b = (x ^ y) ? previous_x ^ x : previous_y ^ y;
    previous_x = x;
    previous_y = y;
  }
};

void Invert(std::vector<uint8_t>& bytes, size_t from) {
  for (size_t i = from; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
}

void SplitRails(const int8_t* values, size_t count, std::vector<int8_t>* rails) {
  rails[0].clear();
  rails[1].clear();
  for (size_t v = 0; v < count; ++v) rails[v % 2].push_back(values[v]);
}

}  // namespace

std::optional<bool> CaduMarkersInverted(const uint8_t* bytes, size_t bit_count) {
  if (bit_count < 40) return std::nullopt;
  const size_t last = bit_count - 40;
  for (size_t start = 0; start < kFrameBits && start <= last; ++start) {
    int straight = 0, inverted = 0;
    for (size_t bit = start; bit <= last; bit += kFrameBits) {
      const uint32_t word = BitsAt(bytes, bit);
      if (std::popcount(word ^ kMarker) <= kMarkerErrorsAllowed && ++straight == 2) return false;
      if (std::popcount(~word ^ kMarker) <= kMarkerErrorsAllowed && ++inverted == 2) return true;
    }
  }
  return std::nullopt;
}

void ChannelCheck::AddSymbols(const int8_t* symbols, size_t count) {
  fed_.insert(fed_.end(), symbols, symbols + count);
}

void ChannelCheck::Compare(uint64_t symbol, unsigned coded) {
  if (symbol >= fed_.size()) return;
  const int8_t value = fed_[symbol];
  if (value == 0 || bits_ < static_cast<uint64_t>(kSettleSteps)) return;
  const bool error = (value > 0) != (coded != 0);
  ++compared;
  ++window_compared;
  errors += error;
  window_errors += error;
}

void ChannelCheck::AddBits(const uint8_t* bytes, size_t bits) {
  for (size_t i = 0; i < bits; ++i) {
    register_ = ((register_ << 1) | (bytes[i / 8] >> (7 - i % 8) & 1u)) & 0x7F;
    const unsigned g1 = Parity(register_ & 0x4F), g2 = Parity(register_ & 0x6D);
    if (puncturing_ == ViterbiDecoder::Puncturing::kNone) {
      Compare(2 * bits_, g1);
      Compare(2 * bits_ + 1, g2);
    } else {
      const bool metop = puncturing_ == ViterbiDecoder::Puncturing::kMetop;
      const uint64_t first = bits_ / 3 * 4;
      if (bits_ % 3 == 0) {
        Compare(first, g1);
        Compare(first + 1, g2);
      } else if (bits_ % 3 == 1) {
        g2_b2_ = g2;
        if (!metop) Compare(first + 2, g2);
      } else {
        Compare(first + (metop ? 2 : 3), g1);
        if (metop) Compare(first + 3, g2_b2_);
      }
    }
    ++bits_;
  }
}

ChannelErrors CountChannelErrors(const int8_t* symbols, size_t count,
                                 ViterbiDecoder::Puncturing puncturing) {
  ViterbiDecoder decoder(puncturing);
  std::vector<uint8_t> packed;
  decoder.Decode(symbols, count, packed);
  const size_t bits = packed.size() * 8 + decoder.Flush(packed);
  ChannelCheck check(puncturing);
  check.AddSymbols(symbols, count);
  check.AddBits(packed.data(), bits);
  return {check.compared, check.errors};
}

void UndoPhase(const QpskPhase& phase, int8_t* iq, size_t count) {
  for (size_t k = 0; k + 1 < count; k += 2) {
    int i = iq[k], q = iq[k + 1];
    if (phase.iq_swap) std::swap(i, q);
    if (phase.rotation == 90) {
      const int turned = q;
      q = -i;
      i = turned;
    }
    iq[k] = static_cast<int8_t>(std::min(i, 127));
    iq[k + 1] = static_cast<int8_t>(std::min(q, 127));
  }
}

std::optional<MetopLock> FindMetopLock(const int8_t* values, size_t count) {
  const size_t ranked = std::min(count, kRankValues);
  std::vector<MetopLock> candidates;
  for (size_t shift = 0; shift < 2 && shift + 8 < ranked; ++shift) {
    // Every phase and period start on these pairs, fewest errors first (ties in the order tried).
    std::vector<MetopLock> tried;
    for (const int skip : {0, 2}) {
      for (const int rotation : {0, 90}) {
        for (const bool swap : {false, true}) {
          const size_t from = shift + static_cast<size_t>(skip);
          std::vector<int8_t> trial;
          if (ranked > from) trial.assign(values + from, values + ranked);
          if (trial.size() % 2 != 0) trial.pop_back();
          MetopLock lock;
          lock.phase = {rotation, swap, skip};
          lock.offset = from;
          reference::UndoPhase(lock.phase, trial.data(), trial.size());
          lock.channel_errors = reference::CountChannelErrors(trial.data(), trial.size(),
                                                              ViterbiDecoder::Puncturing::kMetop)
                                    .Rate();
          tried.push_back(lock);
        }
      }
    }
    std::stable_sort(tried.begin(), tried.end(), [](const MetopLock& a, const MetopLock& b) {
      return a.channel_errors < b.channel_errors;
    });
    candidates.insert(candidates.end(), tried.begin(), tried.end());
  }
  std::stable_sort(
      candidates.begin(), candidates.end(),
      [](const MetopLock& a, const MetopLock& b) { return a.channel_errors < b.channel_errors; });
  for (size_t i = 0; i < candidates.size() && i < kCandidatesTried; ++i) {
    MetopLock& candidate = candidates[i];
    if (candidate.channel_errors > kMaxLockRate) break;
    std::vector<int8_t> trial(values + candidate.offset, values + count);
    if (trial.size() % 2 != 0) trial.pop_back();
    reference::UndoPhase(candidate.phase, trial.data(), trial.size());
    ViterbiDecoder decoder(ViterbiDecoder::Puncturing::kMetop);
    std::vector<uint8_t> decoded;
    decoder.Decode(trial.data(), trial.size(), decoded);
    const size_t bits = decoded.size() * 8 + decoder.Flush(decoded);
    const std::optional<bool> inverted = reference::CaduMarkersInverted(decoded.data(), bits);
    if (inverted) {
      candidate.inverted = *inverted;
      return candidate;
    }
  }
  return std::nullopt;
}

std::optional<Fy3Lock> FindFy3Lock(const int8_t* values, size_t count) {
  std::vector<int8_t> rails[2];
  SplitRails(values, count, rails);
  Fy3Lock lock;
  std::vector<uint8_t> decoded[2];
  double worst = 0;
  for (int r = 0; r < 2; ++r) {
    const size_t ranked = std::min(rails[r].size(), kRankValues / 2);
    double best = 2;
    for (size_t offset = 0; offset < 4 && offset + 8 < ranked; ++offset) {
      const double rate = reference::CountChannelErrors(rails[r].data() + offset, ranked - offset,
                                                        ViterbiDecoder::Puncturing::kCommon)
                              .Rate();
      if (rate < best) {
        best = rate;
        lock.rail_offset[r] = offset;
      }
    }
    if (best > kMaxLockRate) return std::nullopt;
    worst = std::max(worst, best);
    ViterbiDecoder decoder(ViterbiDecoder::Puncturing::kCommon);
    std::vector<uint8_t> packed;
    decoder.Decode(rails[r].data() + lock.rail_offset[r], rails[r].size() - lock.rail_offset[r],
                   packed);
    const size_t bits = packed.size() * 8 + decoder.Flush(packed);
    decoded[r] = Unpack(packed, bits);
  }
  lock.channel_errors = worst;
  for (const bool exchanged : {false, true}) {
    const std::vector<uint8_t>& x = decoded[exchanged ? 1 : 0];
    const std::vector<uint8_t>& y = decoded[exchanged ? 0 : 1];
    for (int shift = -kMaxPairShift; shift <= kMaxPairShift; ++shift) {
      const size_t drop_x = shift < 0 ? static_cast<size_t>(-shift) : 0;
      const size_t drop_y = shift > 0 ? static_cast<size_t>(shift) : 0;
      if (x.size() <= drop_x || y.size() <= drop_y) continue;
      const size_t pairs = std::min(x.size() - drop_x, y.size() - drop_y);
      for (const bool invert_x : {false, true}) {
        Differential differential;
        std::vector<uint8_t> packed((2 * pairs + 7) / 8 + 1, 0);
        for (size_t k = 0; k < pairs; ++k) {
          unsigned a = 0, b = 0;
          differential.Decode(x[drop_x + k] ^ (invert_x ? 1u : 0u), y[drop_y + k], &a, &b);
          packed[2 * k / 8] |= static_cast<uint8_t>(a << (7 - 2 * k % 8));
          packed[(2 * k + 1) / 8] |= static_cast<uint8_t>(b << (7 - (2 * k + 1) % 8));
        }
        const std::optional<bool> inverted =
            reference::CaduMarkersInverted(packed.data(), 2 * pairs);
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

// --- MetOp ---

void MetopDecoder::Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  summary_.symbols += count;
  if (!locked_) {
    ++summary_.searches;
    const std::optional<MetopLock> lock = reference::FindMetopLock(values, count);
    if (!lock) {
      searched_.assign(values, values + count);
    } else if (searched_.empty()) {
      StartLock(*lock, values, count, out);
    } else {
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
    bool suspect = false;
    if (check_.window_compared >= kWindowSymbols) {
      const double rate = static_cast<double>(check_.window_errors) / check_.window_compared;
      check_.window_compared = check_.window_errors = 0;
      suspect = rate > std::max(kRiseFloor, kRiseFactor * lock_rate_ + kRiseAbsolute);
    }
    const size_t bits = (out.size() - before) * 8;
    if (bits >= kMarkerCheckBits && !reference::CaduMarkersInverted(out.data() + before, bits))
      suspect = true;
    if (suspect) {
      ++summary_.searches;
      const std::optional<MetopLock> lock = reference::FindMetopLock(values, count);
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

void MetopDecoder::StartLock(const MetopLock& lock, const int8_t* values, size_t count,
                             std::vector<uint8_t>& out) {
  if (summary_.first_lock.empty()) {
    summary_.first_lock = std::string("rotation ") +
                          std::to_string(lock.phase.rotation + (lock.inverted ? 180 : 0)) +
                          " degrees, I and Q " + (lock.phase.iq_swap ? "swapped" : "in order") +
                          ", puncturing period from value " + std::to_string(lock.offset);
    summary_.first_lock_value = stream_values_ + lock.offset;
  }
  ++summary_.locks;
  locked_ = true;
  lock_ = lock;
  lock_rate_ = lock.channel_errors;
  lock_start_ = stream_values_ + lock.offset;
  decoder_.Reset();
  pending_.clear();
  check_ = ChannelCheck(ViterbiDecoder::Puncturing::kMetop);
  Feed(values + lock.offset, count - lock.offset, out);
}

void MetopDecoder::Feed(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  pending_.insert(pending_.end(), values, values + count);
  const size_t pairs = pending_.size() & ~size_t{1};
  reference::UndoPhase(lock_.phase, pending_.data(), pairs);
  check_.AddSymbols(pending_.data(), pairs);
  const size_t before = out.size();
  decoder_.Decode(pending_.data(), pairs, out);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(pairs));
  Check(out, before, (out.size() - before) * 8);
  if (lock_.inverted) Invert(out, before);
}

void MetopDecoder::EndLock(std::vector<uint8_t>& out) {
  const size_t before = out.size();
  Check(out, before, decoder_.Flush(out));
  if (lock_.inverted) Invert(out, before);
  locked_ = false;
}

void MetopDecoder::Finish(std::vector<uint8_t>& out) {
  if (locked_) EndLock(out);
}

void MetopDecoder::Check(const std::vector<uint8_t>& out, size_t from_byte, size_t bits) {
  summary_.bits += bits;
  const uint64_t compared = check_.compared, errors = check_.errors;
  check_.AddBits(out.data() + from_byte, bits);
  summary_.compared += check_.compared - compared;
  summary_.errors += check_.errors - errors;
}

// --- FY-3 ---

void Fy3Decoder::Block(const int8_t* values, size_t count, std::vector<uint8_t>& out) {
  summary_.symbols += count;
  SplitRails(values, count, rails_);
  if (!locked_) {
    ++summary_.searches;
    const std::optional<Fy3Lock> lock = reference::FindFy3Lock(values, count);
    if (!lock) {
      searched_.assign(values, values + count);
    } else {
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
    if (bits >= kMarkerCheckBits && !reference::CaduMarkersInverted(out.data() + before, bits)) {
      ++summary_.searches;
      const std::optional<Fy3Lock> lock = reference::FindFy3Lock(values, count);
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

void Fy3Decoder::StartLock(const Fy3Lock& lock, std::vector<uint8_t>& out) {
  if (summary_.first_lock.empty()) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "puncturing periods from symbol %zu of I and %zu of Q, branches %s, %s%s, rails "
                  "paired %+d bits",
                  lock.rail_offset[0], lock.rail_offset[1],
                  lock.exchanged ? "exchanged" : "in order",
                  lock.invert_x ? "X inverted" : "X as decoded",
                  lock.inverted ? ", output inverted" : "", lock.shift);
    summary_.first_lock = text;
    summary_.first_lock_value = stream_values_;
  }
  ++summary_.locks;
  locked_ = true;
  lock_ = lock;
  for (int r = 0; r < 2; ++r) {
    decoders_[r].Reset();
    checks_[r] = ChannelCheck(ViterbiDecoder::Puncturing::kCommon);
    bits_[r].clear();
  }
  const int x_rail = lock.exchanged ? 1 : 0;
  drop_[x_rail] = lock.shift < 0 ? static_cast<size_t>(-lock.shift) : 0;
  drop_[1 - x_rail] = lock.shift > 0 ? static_cast<size_t>(lock.shift) : 0;
  previous_x_ = previous_y_ = 0;
  byte_ = 0;
  byte_bits_ = 0;
  Feed(lock.rail_offset[0], lock.rail_offset[1], out);
}

void Fy3Decoder::Feed(size_t from_i, size_t from_q, std::vector<uint8_t>& out) {
  const size_t from[2] = {from_i, from_q};
  for (int r = 0; r < 2; ++r) {
    if (rails_[r].size() <= from[r]) continue;
    const int8_t* symbols = rails_[r].data() + from[r];
    const size_t count = rails_[r].size() - from[r];
    checks_[r].AddSymbols(symbols, count);
    std::vector<uint8_t> packed;
    decoders_[r].Decode(symbols, count, packed);
    checks_[r].AddBits(packed.data(), packed.size() * 8);
    const std::vector<uint8_t> bits = Unpack(packed, packed.size() * 8);
    bits_[r].insert(bits_[r].end(), bits.begin(), bits.end());
  }
  Pair(out);
}

void Fy3Decoder::EndLock(std::vector<uint8_t>& out) {
  for (int r = 0; r < 2; ++r) {
    std::vector<uint8_t> packed;
    const size_t bits = decoders_[r].Flush(packed);
    checks_[r].AddBits(packed.data(), bits);
    const std::vector<uint8_t> unpacked = Unpack(packed, bits);
    bits_[r].insert(bits_[r].end(), unpacked.begin(), unpacked.end());
  }
  Pair(out);
  if (byte_bits_ > 0) {
    out.push_back(static_cast<uint8_t>(byte_ << (8 - byte_bits_)));
    byte_bits_ = 0;
    byte_ = 0;
  }
  for (const ChannelCheck& check : checks_) {
    summary_.compared += check.compared;
    summary_.errors += check.errors;
  }
  locked_ = false;
}

void Fy3Decoder::Finish(std::vector<uint8_t>& out) {
  if (locked_) EndLock(out);
}

void Fy3Decoder::Pair(std::vector<uint8_t>& out) {
  for (int r = 0; r < 2; ++r) {
    const size_t dropped = std::min(drop_[r], bits_[r].size());
    bits_[r].erase(bits_[r].begin(), bits_[r].begin() + static_cast<ptrdiff_t>(dropped));
    drop_[r] -= dropped;
  }
  const int x_rail = lock_.exchanged ? 1 : 0;
  const std::vector<uint8_t>& x = bits_[x_rail];
  const std::vector<uint8_t>& y = bits_[1 - x_rail];
  const size_t pairs = std::min(x.size(), y.size());
  Differential differential{previous_x_, previous_y_};
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

std::vector<uint8_t> PackSigns(const int8_t* values, size_t count) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 8 <= count; i += 8) {
    unsigned byte = 0;
    for (size_t k = 0; k < 8; ++k) byte = (byte << 1) | (values[i + k] > 0 ? 1u : 0u);
    out.push_back(static_cast<uint8_t>(byte));
  }
  return out;
}

}  // namespace vantrel::reference
