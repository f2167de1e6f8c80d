#include "viterbi/viterbi_decoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_VITERBI_X86 1
#endif

namespace vantrel {
namespace {

constexpr unsigned kG1 = ViterbiDecoder::kGenerator1;
constexpr unsigned kG2 = ViterbiDecoder::kGenerator2;
constexpr int kStates = 64;
constexpr int kButterflies = kStates / 2;
constexpr int kUpperState = kStates / 2;
constexpr int kStateBits = 6;
// A branch metric lies in -256..254, so metrics change by at most 256 a step and stay within
// 6 x 510 of the largest (every state is six steps from the best one). Bringing the largest back
// to 0 every 32 steps keeps them within -(3060 + 32 x 256) .. 32 x 256, inside int16_t.
constexpr int kRenormalizeSteps = 32;

constexpr int Parity(unsigned x) {
  int p = 0;
  for (; x != 0; x &= x - 1) p ^= 1;
  return p;
}

// Butterfly j joins the old states j and j + 32 to the new states 2j and 2j + 1. Leaving j with
// input 0 sends (G1, G2) of the register 2j; the other three branches send either that pair or
// its complement (both generators tap the newest and the oldest bit). A branch's metric is the
// sum of the symbols it expects as ones: mu for j -> 2j and j + 32 -> 2j + 1, and the
// complement's (g1 + g2 - mu) on the other two. (This is the correlation sum of +-symbol, halved
// and shifted by the same amount for every branch of a step, so the same paths survive.)
struct ButterflyBits {
  // Per butterfly, the byte pair (G1, G2) of the branch j -> 2j and of its complement.
  std::array<uint8_t, 2 * kButterflies> sent{};
  std::array<uint8_t, 2 * kButterflies> complement{};
};

constexpr ButterflyBits MakeButterflyBits() {
  ButterflyBits bits;
  for (int j = 0; j < kButterflies; ++j) {
    const unsigned reg = 2u * static_cast<unsigned>(j);
    bits.sent[2 * j] = static_cast<uint8_t>(Parity(reg & kG1));
    bits.sent[2 * j + 1] = static_cast<uint8_t>(Parity(reg & kG2));
    bits.complement[2 * j] = static_cast<uint8_t>(1 - bits.sent[2 * j]);
    bits.complement[2 * j + 1] = static_cast<uint8_t>(1 - bits.sent[2 * j + 1]);
  }
  return bits;
}

alignas(32) constexpr ButterflyBits kBranchBits = MakeButterflyBits();

// One trellis step on plain integers: the larger sum survives, ties go to the lower
// predecessor. Written as loops over the butterflies without branches, which compilers turn
// into the baseline vector instructions.
void StepPortable(int16_t* metrics, int8_t g1, int8_t g2, uint64_t& decision) {
  int16_t even[kButterflies], odd[kButterflies];
  uint8_t even_up[kButterflies], odd_up[kButterflies];
  for (int j = 0; j < kButterflies; ++j) {
    const int16_t mu =
        static_cast<int16_t>(kBranchBits.sent[2 * j] * g1 + kBranchBits.sent[2 * j + 1] * g2);
    const int16_t other = static_cast<int16_t>(g1 + g2 - mu);
    const int16_t even_low = static_cast<int16_t>(metrics[j] + mu);
    const int16_t even_high = static_cast<int16_t>(metrics[j + kUpperState] + other);
    const int16_t odd_low = static_cast<int16_t>(metrics[j] + other);
    const int16_t odd_high = static_cast<int16_t>(metrics[j + kUpperState] + mu);
    even_up[j] = even_high > even_low;
    odd_up[j] = odd_high > odd_low;
    even[j] = std::max(even_low, even_high);
    odd[j] = std::max(odd_low, odd_high);
  }
  uint64_t word = 0;
  for (int j = 0; j < kButterflies; ++j) {
    metrics[2 * j] = even[j];
    metrics[2 * j + 1] = odd[j];
    word |= static_cast<uint64_t>(even_up[j]) << (2 * j);
    word |= static_cast<uint64_t>(odd_up[j]) << (2 * j + 1);
  }
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
// mu/other the branch metrics of the butterflies' sent pair and of its complement;
// new_low/new_high receive the new states 32h .. 32h + 15 and 32h + 16 .. 32h + 31; returns
// their 32 decision bits, bit i for state 32h + i.
__attribute__((target("avx2"))) inline uint32_t HalfStepAvx2(__m256i low, __m256i high, __m256i mu,
                                                             __m256i other, __m256i& new_low,
                                                             __m256i& new_high) {
  const __m256i even_low = _mm256_add_epi16(low, mu);
  const __m256i even_high = _mm256_add_epi16(high, other);
  const __m256i odd_low = _mm256_add_epi16(low, other);
  const __m256i odd_high = _mm256_add_epi16(high, mu);
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
  const __m256i* sent_rows = reinterpret_cast<const __m256i*>(kBranchBits.sent.data());
  const __m256i* complement_rows = reinterpret_cast<const __m256i*>(kBranchBits.complement.data());
  const __m256i sent[2] = {_mm256_load_si256(sent_rows), _mm256_load_si256(sent_rows + 1)};
  const __m256i complement[2] = {_mm256_load_si256(complement_rows),
                                 _mm256_load_si256(complement_rows + 1)};
  int since = since_renormalize;
  for (int t = 0; t < steps; ++t) {
    // (g1, g2) in every 16-bit lane; multiplied by the expected bits and summed per lane.
    int16_t pair;
    std::memcpy(&pair, pairs + 2 * t, sizeof pair);
    const __m256i symbols = _mm256_set1_epi16(pair);
    __m256i next[4];
    const uint32_t low_word =
        HalfStepAvx2(state[0], state[2], _mm256_maddubs_epi16(sent[0], symbols),
                     _mm256_maddubs_epi16(complement[0], symbols), next[0], next[1]);
    const uint32_t high_word =
        HalfStepAvx2(state[1], state[3], _mm256_maddubs_epi16(sent[1], symbols),
                     _mm256_maddubs_epi16(complement[1], symbols), next[2], next[3]);
    decisions[t] = static_cast<uint64_t>(low_word) | (static_cast<uint64_t>(high_word) << 32);
    for (int r = 0; r < 4; ++r) state[r] = next[r];
    if (++since == kRenormalizeSteps) {
      since = 0;
      const __m256i top = HorizontalMax(state[0], state[1], state[2], state[3]);
      for (int r = 0; r < 4; ++r) state[r] = _mm256_sub_epi16(state[r], top);
    }
  }
  since_renormalize = since;
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

namespace {

// Rate-3/4 periods of four received symbols as three (G1, G2) pairs; 0 where nothing was sent.
// Returns the periods converted.
template <ViterbiDecoder::Puncturing kPattern>
size_t DepuncturePeriods(const int8_t* symbols, size_t periods, int8_t* pairs) {
  for (size_t p = 0; p < periods; ++p, symbols += 4, pairs += 6) {
    const bool metop = kPattern == ViterbiDecoder::Puncturing::kMetop;
    pairs[0] = symbols[0];                       // G1(b1)
    pairs[1] = symbols[1];                       // G2(b1)
    pairs[2] = 0;                                // G1(b2), not sent
    pairs[3] = metop ? symbols[3] : symbols[2];  // G2(b2)
    pairs[4] = metop ? symbols[2] : symbols[3];  // G1(b3)
    pairs[5] = 0;                                // G2(b3), not sent
  }
  return periods;
}

#if defined(VANTREL_VITERBI_X86)
// DepuncturePeriods four periods at a time: 16 symbols shuffled into 24 pair bytes, a zero where
// nothing was sent (index 0x80). SSSE3, which every AVX2 processor has.
template <ViterbiDecoder::Puncturing kPattern>
__attribute__((target("avx2"))) size_t DepuncturePeriodsShuffled(const int8_t* symbols,
                                                                 size_t periods, int8_t* pairs) {
  constexpr bool metop = kPattern == ViterbiDecoder::Puncturing::kMetop;
  constexpr char z = static_cast<char>(0x80);
  constexpr char a = metop ? 3 : 2, b = metop ? 2 : 3;  // the third and fourth pair bytes
  const __m128i first = _mm_setr_epi8(0, 1, z, a, b, z, 4, 5, z, 4 + a, 4 + b, z, 8, 9, z, 8 + a);
  const __m128i second =
      _mm_setr_epi8(8 + b, z, 12, 13, z, 12 + a, 12 + b, z, z, z, z, z, z, z, z, z);
  size_t p = 0;
  for (; p + 4 <= periods; p += 4, symbols += 16, pairs += 24) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(symbols));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pairs), _mm_shuffle_epi8(in, first));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(pairs + 16), _mm_shuffle_epi8(in, second));
  }
  DepuncturePeriods<kPattern>(symbols, periods - p, pairs);
  return periods;
}
#endif

}  // namespace

void ViterbiDecoder::DepunctureInto(const int8_t* symbols, size_t periods, int8_t* pairs) const {
#if defined(VANTREL_VITERBI_X86)
  if (path_ == Path::kAvx2) {
    if (puncturing_ == Puncturing::kMetop)
      DepuncturePeriodsShuffled<Puncturing::kMetop>(symbols, periods, pairs);
    else
      DepuncturePeriodsShuffled<Puncturing::kCommon>(symbols, periods, pairs);
    return;
  }
#endif
  if (puncturing_ == Puncturing::kMetop)
    DepuncturePeriods<Puncturing::kMetop>(symbols, periods, pairs);
  else
    DepuncturePeriods<Puncturing::kCommon>(symbols, periods, pairs);
}

int ViterbiDecoder::Depuncture(const int8_t*& symbols, size_t& count) {
  const int steps_per_period = kPunctureBits;
  int steps = 0;
  int8_t* pair = pairs_.data();
  // First complete a period begun in an earlier call.
  if (pending_count_ > 0) {
    while (pending_count_ < kPunctureSymbols && count > 0) {
      pending_[pending_count_++] = *symbols++;
      --count;
    }
    if (pending_count_ < kPunctureSymbols) return 0;
    pending_count_ = 0;
    DepunctureInto(pending_.data(), 1, pair);
    pair += 2 * steps_per_period;
    steps += steps_per_period;
  }
  const size_t room = static_cast<size_t>((kBatchSteps - steps) / steps_per_period);
  const size_t periods = std::min(room, count / kPunctureSymbols);
  DepunctureInto(symbols, periods, pair);
  symbols += periods * kPunctureSymbols;
  count -= periods * kPunctureSymbols;
  steps += static_cast<int>(periods) * steps_per_period;
  // Less than a period left: keep it for the next call.
  if (count < kPunctureSymbols) {
    while (count > 0) {
      pending_[pending_count_++] = *symbols++;
      --count;
    }
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

namespace {

// The state one step before `state`, from the decisions of the step that reached it.
inline unsigned Predecessor(unsigned state, uint64_t decisions) {
  const unsigned up = static_cast<unsigned>(decisions >> state) & 1u;
  return (state >> 1) | (up << (kStateBits - 1));
}

// Two steps back at once: both possible predecessors' decisions are read before the first
// decision is known, which halves the chain of dependent operations.
inline unsigned Predecessor2(unsigned state, uint64_t newer, uint64_t older) {
  const unsigned half = state >> 1;
  const unsigned up = static_cast<unsigned>(newer >> state) & 1u;
  const unsigned low_up = static_cast<unsigned>(older >> half) & 1u;
  const unsigned high_up = static_cast<unsigned>(older >> (half | kUpperState)) & 1u;
  const unsigned older_up = low_up ^ ((low_up ^ high_up) & up);
  return (state >> 2) | (up << (kStateBits - 2)) | (older_up << (kStateBits - 1));
}

}  // namespace

void ViterbiDecoder::Trace(int bits, uint8_t* bytes) const {
  // Start from the likeliest state (the first of equals) at the newest decision.
  unsigned state =
      static_cast<unsigned>(std::max_element(metrics_.begin(), metrics_.end()) - metrics_.begin());
  int t = decided_ - 1;
  for (; t >= bits + 1; t -= 2) state = Predecessor2(state, decisions_[t], decisions_[t - 1]);
  if (t >= bits) state = Predecessor(state, decisions_[t--]);
  // The bit decided at step t is the newest input bit of the state reached there, so the state
  // at t holds the bits of t and t - 1 in its bits 0 and 1. Bits are gathered 64 at a time (step
  // 64 g the most significant) and stored as eight bytes; the steps above the last whole 64 first,
  // one at a time.
  const int whole = bits / 64 * 64;
  std::memset(bytes + whole / 8, 0, static_cast<size_t>(bits - whole + 7) / 8);
  for (; t >= whole; --t) {
    bytes[t >> 3] = static_cast<uint8_t>(bytes[t >> 3] | (state & 1u) << (7 - (t & 7)));
    state = Predecessor(state, decisions_[t]);
  }
  for (; t >= 63; t -= 64) {
    uint64_t gathered = 0;
    for (int step = t; step > t - 64; step -= 2) {
      gathered = (gathered >> 2) | static_cast<uint64_t>(state & 3u) << 62;
      state = Predecessor2(state, decisions_[step], decisions_[step - 1]);
    }
    if constexpr (std::endian::native == std::endian::little)
      gathered = __builtin_bswap64(gathered);
    std::memcpy(bytes + (t - 63) / 8, &gathered, sizeof gathered);
  }
}

void ViterbiDecoder::TraceBack(int bits, std::vector<uint8_t>& out) {
  const size_t first = out.size();
  out.resize(first + static_cast<size_t>(bits + 7) / 8, 0);
  Trace(bits, out.data() + first);
  std::memmove(decisions_.data(), decisions_.data() + bits,
               static_cast<size_t>(decided_ - bits) * sizeof(uint64_t));
  decided_ -= bits;
  bits_out_ += static_cast<uint64_t>(bits);
}

void ViterbiDecoder::Run(const int8_t* pairs, int steps, std::vector<uint8_t>& out) {
  for (int done = 0; done < steps;) {
    const int n = std::min(kWindow - decided_, steps - done);
    Advance(pairs + 2 * done, n);
    done += n;
    if (decided_ == kWindow) TraceBack(kChunkBits, out);
  }
}

size_t ViterbiDecoder::Decode(const int8_t* symbols, size_t count, std::vector<uint8_t>& out) {
  const size_t before = out.size();
  if (puncturing_ == Puncturing::kNone) {
    // The symbols are already (G1, G2) pairs; only a lone first symbol waits for its partner.
    if (pending_count_ == 1 && count > 0) {
      pending_[1] = *symbols++;
      --count;
      pending_count_ = 0;
      Run(pending_.data(), 1, out);
    }
    while (count >= 2) {
      const size_t steps = std::min(count / 2, static_cast<size_t>(kBatchSteps));
      Run(symbols, static_cast<int>(steps), out);
      symbols += 2 * steps;
      count -= 2 * steps;
    }
    if (count == 1) {
      pending_[0] = *symbols;
      pending_count_ = 1;
    }
    return out.size() - before;
  }
  for (;;) {
    const int steps = Depuncture(symbols, count);
    if (steps == 0) break;
    Run(pairs_.data(), steps, out);
  }
  return out.size() - before;
}

size_t ViterbiDecoder::Peek(std::vector<uint8_t>& out) const {
  const size_t first = out.size();
  out.resize(first + static_cast<size_t>(decided_ + 7) / 8, 0);
  Trace(decided_, out.data() + first);
  return static_cast<size_t>(decided_);
}

size_t ViterbiDecoder::Flush(std::vector<uint8_t>& out) {
  const int bits = decided_;
  TraceBack(bits, out);
  Reset();
  return static_cast<size_t>(bits);
}

}  // namespace vantrel
