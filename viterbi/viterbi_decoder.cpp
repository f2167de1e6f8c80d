#include "viterbi/viterbi_decoder.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_VITERBI_X86 1
#endif

namespace vantrel {
namespace {

// Generators in the bit order where bit 0 is the newest input bit (CCSDS 131.0-B: 171 and 133
// octal, first tap = newest bit).
constexpr unsigned kG1 = 0x4F;
constexpr unsigned kG2 = 0x6D;
constexpr int kStates = 64;
constexpr int kButterflies = kStates / 2;
constexpr int kUpperState = kStates / 2;
constexpr int kStateBits = 6;
// Metrics grow by at most 2 x 128 a step and stay within 6 x 512 of each other (any state is
// six steps from any other), so renormalizing every 32 steps keeps them inside int16_t.
constexpr int kRenormalizeSteps = 32;

constexpr int Parity(unsigned x) {
  int p = 0;
  for (; x != 0; x &= x - 1) p ^= 1;
  return p;
}

// Butterfly j joins the old states j and j + 32 to the new states 2j and 2j + 1. Leaving j with
// input 0 sends (G1, G2) of the register 2j; the other three branches send either that pair or
// its complement (both generators tap the newest and the oldest bit), so one metric m serves
// all four: +m on j -> 2j and j + 32 -> 2j + 1, -m on the other two.
struct ButterflySigns {
  std::array<int16_t, kButterflies> g1{};
  std::array<int16_t, kButterflies> g2{};
};

constexpr ButterflySigns MakeButterflySigns() {
  ButterflySigns signs;
  for (int j = 0; j < kButterflies; ++j) {
    const unsigned reg = 2u * static_cast<unsigned>(j);
    signs.g1[j] = Parity(reg & kG1) ? 1 : -1;
    signs.g2[j] = Parity(reg & kG2) ? 1 : -1;
  }
  return signs;
}

alignas(32) constexpr ButterflySigns kSigns = MakeButterflySigns();

// One trellis step on plain integers. Correlation metric: +symbol when the branch sends a one,
// -symbol for a zero; the larger sum survives, ties go to the lower predecessor.
void StepPortable(int16_t* metrics, int8_t g1, int8_t g2, uint64_t& decision) {
  int16_t next[kStates];
  uint64_t word = 0;
  for (int j = 0; j < kButterflies; ++j) {
    const int m = kSigns.g1[j] * g1 + kSigns.g2[j] * g2;
    const int low = metrics[j];
    const int high = metrics[j + kUpperState];
    const int even_low = low + m, even_high = high - m;
    const int odd_low = low - m, odd_high = high + m;
    const bool even_up = even_high > even_low;
    const bool odd_up = odd_high > odd_low;
    next[2 * j] = static_cast<int16_t>(even_up ? even_high : even_low);
    next[2 * j + 1] = static_cast<int16_t>(odd_up ? odd_high : odd_low);
    word |= static_cast<uint64_t>(even_up) << (2 * j);
    word |= static_cast<uint64_t>(odd_up) << (2 * j + 1);
  }
  std::memcpy(metrics, next, sizeof next);
  decision = word;
}

#if defined(VANTREL_VITERBI_X86)
__attribute__((target("avx2"))) inline __m256i HorizontalMax(__m256i a, __m256i b, __m256i c,
                                                             __m256i d) {
  __m256i m = _mm256_max_epi16(_mm256_max_epi16(a, b), _mm256_max_epi16(c, d));
  m = _mm256_max_epi16(m, _mm256_permute2x128_si256(m, m, 0x01));
  m = _mm256_max_epi16(m, _mm256_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm256_max_epi16(m, _mm256_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
  m = _mm256_max_epi16(m, _mm256_shufflelo_epi16(_mm256_shufflehi_epi16(m, 0xB1), 0xB1));
  return m;  // the maximum in every lane
}

// Sixteen butterflies (j = 16h .. 16h + 15) on AVX2: low/high are the old states j and j + 32,
// new_low/new_high receive the new states 32h .. 32h + 15 and 32h + 16 .. 32h + 31; returns
// their 32 decision bits, bit i for state 32h + i.
__attribute__((target("avx2"))) inline uint32_t HalfStepAvx2(__m256i low, __m256i high, __m256i m,
                                                             __m256i& new_low, __m256i& new_high) {
  const __m256i even_low = _mm256_add_epi16(low, m);
  const __m256i even_high = _mm256_sub_epi16(high, m);
  const __m256i odd_low = _mm256_sub_epi16(low, m);
  const __m256i odd_high = _mm256_add_epi16(high, m);
  const __m256i even = _mm256_max_epi16(even_low, even_high);
  const __m256i odd = _mm256_max_epi16(odd_low, odd_high);
  const __m256i even_up = _mm256_cmpgt_epi16(even_high, even_low);
  const __m256i odd_up = _mm256_cmpgt_epi16(odd_high, odd_low);
  // Interleave even and odd states: within each 128-bit lane, then put the lanes in order.
  const __m256i first = _mm256_unpacklo_epi16(even, odd);
  const __m256i second = _mm256_unpackhi_epi16(even, odd);
  new_low = _mm256_permute2x128_si256(first, second, 0x20);
  new_high = _mm256_permute2x128_si256(first, second, 0x31);
  // Low byte of each 16-bit lane from the even decision, high byte from the odd one: the byte
  // mask's bits 2i and 2i + 1 are then states 32h + 2i and 32h + 2i + 1.
  const __m256i high_bytes = _mm256_set1_epi16(static_cast<int16_t>(0xFF00));
  const __m256i both = _mm256_blendv_epi8(even_up, odd_up, high_bytes);
  return static_cast<uint32_t>(_mm256_movemask_epi8(both));
}

__attribute__((target("avx2"))) void AdvanceAvx2(int16_t* metrics, const int8_t* pairs, int steps,
                                                 uint64_t* decisions, int& since_renormalize) {
  __m256i state[4];
  for (int r = 0; r < 4; ++r)
    state[r] = _mm256_load_si256(reinterpret_cast<const __m256i*>(metrics + 16 * r));
  const __m256i g1_signs[2] = {
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kSigns.g1.data())),
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kSigns.g1.data() + 16))};
  const __m256i g2_signs[2] = {
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kSigns.g2.data())),
      _mm256_load_si256(reinterpret_cast<const __m256i*>(kSigns.g2.data() + 16))};
  for (int t = 0; t < steps; ++t) {
    const __m256i g1 = _mm256_set1_epi16(pairs[2 * t]);
    const __m256i g2 = _mm256_set1_epi16(pairs[2 * t + 1]);
    const __m256i m0 =
        _mm256_add_epi16(_mm256_sign_epi16(g1, g1_signs[0]), _mm256_sign_epi16(g2, g2_signs[0]));
    const __m256i m1 =
        _mm256_add_epi16(_mm256_sign_epi16(g1, g1_signs[1]), _mm256_sign_epi16(g2, g2_signs[1]));
    __m256i next[4];
    const uint32_t low_word = HalfStepAvx2(state[0], state[2], m0, next[0], next[1]);
    const uint32_t high_word = HalfStepAvx2(state[1], state[3], m1, next[2], next[3]);
    decisions[t] = static_cast<uint64_t>(low_word) | (static_cast<uint64_t>(high_word) << 32);
    for (int r = 0; r < 4; ++r) state[r] = next[r];
    if (++since_renormalize == kRenormalizeSteps) {
      since_renormalize = 0;
      const __m256i top = HorizontalMax(state[0], state[1], state[2], state[3]);
      for (int r = 0; r < 4; ++r) state[r] = _mm256_sub_epi16(state[r], top);
    }
  }
  for (int r = 0; r < 4; ++r)
    _mm256_store_si256(reinterpret_cast<__m256i*>(metrics + 16 * r), state[r]);
}
#endif

}  // namespace

ViterbiDecoder::ViterbiDecoder(Puncturing puncturing) : puncturing_(puncturing) {
  path_ = Avx2Available() ? Path::kAvx2 : Path::kPortable;
  Reset();
}

bool ViterbiDecoder::Avx2Available() {
#if defined(VANTREL_VITERBI_X86)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool ViterbiDecoder::SelectPath(Path path) {
  if (path == Path::kAvx2 && !Avx2Available()) return false;
  path_ = path;
  return true;
}

void ViterbiDecoder::Reset() {
  metrics_.fill(0);
  decided_ = 0;
  steps_since_renormalize_ = 0;
  pending_count_ = 0;
  bits_out_ = 0;
}

int ViterbiDecoder::Depuncture(const int8_t*& symbols, size_t& count) {
  const bool punctured = puncturing_ != Puncturing::kNone;
  const int period = punctured ? kPunctureSymbols : 2;
  const int steps_per_period = punctured ? kPunctureBits : 1;
  int steps = 0;
  int8_t* pair = pairs_.data();
  while (steps + steps_per_period <= kBatchSteps) {
    int8_t unit[kPunctureSymbols];
    if (pending_count_ > 0) {
      while (pending_count_ < period && count > 0) {
        pending_[pending_count_++] = *symbols++;
        --count;
      }
      if (pending_count_ < period) break;
      std::memcpy(unit, pending_.data(), static_cast<size_t>(period));
      pending_count_ = 0;
    } else if (count >= static_cast<size_t>(period)) {
      std::memcpy(unit, symbols, static_cast<size_t>(period));
      symbols += period;
      count -= static_cast<size_t>(period);
    } else {
      while (count > 0) {
        pending_[pending_count_++] = *symbols++;
        --count;
      }
      break;
    }
    // The symbols not sent are erasures (0).
    switch (puncturing_) {
      case Puncturing::kNone:
        pair[0] = unit[0], pair[1] = unit[1];
        break;
      case Puncturing::kMetop:  // G1(b1) G2(b1) G1(b3) G2(b2)
        pair[0] = unit[0], pair[1] = unit[1];
        pair[2] = 0, pair[3] = unit[3];
        pair[4] = unit[2], pair[5] = 0;
        break;
      case Puncturing::kCommon:  // G1(b1) G2(b1) G2(b2) G1(b3)
        pair[0] = unit[0], pair[1] = unit[1];
        pair[2] = 0, pair[3] = unit[2];
        pair[4] = unit[3], pair[5] = 0;
        break;
    }
    pair += 2 * steps_per_period;
    steps += steps_per_period;
  }
  return steps;
}

void ViterbiDecoder::Advance(const int8_t* pairs, int steps) {
  uint64_t* decisions = decisions_.data() + decided_;
#if defined(VANTREL_VITERBI_X86)
  if (path_ == Path::kAvx2) {
    AdvanceAvx2(metrics_.data(), pairs, steps, decisions, steps_since_renormalize_);
    decided_ += steps;
    return;
  }
#endif
  for (int t = 0; t < steps; ++t) {
    StepPortable(metrics_.data(), pairs[2 * t], pairs[2 * t + 1], decisions[t]);
    if (++steps_since_renormalize_ == kRenormalizeSteps) Renormalize();
  }
  decided_ += steps;
}

void ViterbiDecoder::Renormalize() {
  steps_since_renormalize_ = 0;
  const int16_t top = *std::max_element(metrics_.begin(), metrics_.end());
  for (int16_t& metric : metrics_) metric = static_cast<int16_t>(metric - top);
}

void ViterbiDecoder::TraceBack(int bits, std::vector<uint8_t>& out) {
  // Start from the likeliest state (the first of equals) at the newest decision.
  unsigned state =
      static_cast<unsigned>(std::max_element(metrics_.begin(), metrics_.end()) - metrics_.begin());
  int t = decided_ - 1;
  for (; t >= bits; --t) {
    const unsigned up = static_cast<unsigned>(decisions_[t] >> state) & 1u;
    state = (state >> 1) | (up << (kStateBits - 1));
  }
  const size_t first = out.size();
  out.resize(first + static_cast<size_t>(bits + 7) / 8, 0);
  uint8_t* bytes = out.data() + first;
  // The bit decided at step t is the newest input bit of the state reached there.
  for (; t >= 0; --t) {
    bytes[t >> 3] |= static_cast<uint8_t>((state & 1u) << (7 - (t & 7)));
    const unsigned up = static_cast<unsigned>(decisions_[t] >> state) & 1u;
    state = (state >> 1) | (up << (kStateBits - 1));
  }
  std::memmove(decisions_.data(), decisions_.data() + bits,
               static_cast<size_t>(decided_ - bits) * sizeof(uint64_t));
  decided_ -= bits;
  bits_out_ += static_cast<uint64_t>(bits);
}

size_t ViterbiDecoder::Decode(const int8_t* symbols, size_t count, std::vector<uint8_t>& out) {
  const size_t before = out.size();
  for (;;) {
    const int steps = Depuncture(symbols, count);
    if (steps == 0) break;
    for (int done = 0; done < steps;) {
      const int n = std::min(kWindow - decided_, steps - done);
      Advance(pairs_.data() + 2 * done, n);
      done += n;
      if (decided_ == kWindow) TraceBack(kChunkBits, out);
    }
  }
  return out.size() - before;
}

size_t ViterbiDecoder::Flush(std::vector<uint8_t>& out) {
  const int bits = decided_;
  TraceBack(bits, out);
  Reset();
  return static_cast<size_t>(bits);
}

}  // namespace vantrel
