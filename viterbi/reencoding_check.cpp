#include "viterbi/reencoding_check.h"

#include <bit>

namespace vantrel {
namespace {

// The code's generators, bit 0 the newest input bit (as the decoder has them).
constexpr unsigned kG1 = 0x4F;
constexpr unsigned kG2 = 0x6D;
constexpr unsigned kRegisterMask = 0x7F;

unsigned Parity(unsigned x) {
  return static_cast<unsigned>(std::popcount(x)) & 1u;
}

}  // namespace

void ReencodingCheck::Reset() {
  fed_.clear();
  fed_base_ = 0;
  checked_bits_ = 0;
  register_ = 0;
  g2_b2_ = 0;
  compared = errors = window_compared = window_errors = 0;
}

void ReencodingCheck::AddSymbols(const int8_t* symbols, size_t count) {
  fed_.insert(fed_.end(), symbols, symbols + count);
}

void ReencodingCheck::Compare(uint64_t symbol, unsigned coded) {
  if (symbol < fed_base_ || symbol - fed_base_ >= fed_.size()) return;
  const int8_t value = fed_[symbol - fed_base_];
  if (value == 0 || checked_bits_ < static_cast<uint64_t>(kSettleSteps)) return;
  const bool error = (value > 0) != (coded != 0);
  ++window_compared;
  ++compared;
  window_errors += error;
  errors += error;
}

void ReencodingCheck::AddBits(const uint8_t* bytes, size_t bits) {
  const bool metop = puncturing_ == ViterbiDecoder::Puncturing::kMetop;
  for (size_t i = 0; i < bits; ++i) {
    const unsigned bit = bytes[i / 8] >> (7 - i % 8) & 1u;
    register_ = ((register_ << 1) | bit) & kRegisterMask;
    const unsigned g1 = Parity(register_ & kG1), g2 = Parity(register_ & kG2);
    if (puncturing_ == ViterbiDecoder::Puncturing::kNone) {
      Compare(2 * checked_bits_, g1);
      Compare(2 * checked_bits_ + 1, g2);
      ++checked_bits_;
      continue;
    }
    // Per period of three bits b1 b2 b3: G1(b1) G2(b1), then MetOp G1(b3) G2(b2), the common
    // pattern G2(b2) G1(b3).
    const uint64_t first = checked_bits_ / 3 * ViterbiDecoder::kPunctureSymbols;
    switch (checked_bits_ % 3) {
      case 0:
        Compare(first, g1);
        Compare(first + 1, g2);
        break;
      case 1:
        g2_b2_ = g2;
        if (!metop) Compare(first + 2, g2);
        break;
      default:
        Compare(first + (metop ? 2 : 3), g1);
        if (metop) Compare(first + 3, g2_b2_);
        break;
    }
    ++checked_bits_;
  }
  // Symbols of periods already compared are let go.
  const uint64_t done = puncturing_ == ViterbiDecoder::Puncturing::kNone
                            ? 2 * checked_bits_
                            : checked_bits_ / 3 * ViterbiDecoder::kPunctureSymbols;
  if (done > fed_base_ + kKeptSymbols) {
    fed_.erase(fed_.begin(), fed_.begin() + static_cast<ptrdiff_t>(done - fed_base_));
    fed_base_ = done;
  }
}

}  // namespace vantrel
