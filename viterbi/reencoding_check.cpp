#include "viterbi/reencoding_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantrel {
namespace {

constexpr unsigned kG1 = ViterbiDecoder::kGenerator1;
constexpr unsigned kG2 = ViterbiDecoder::kGenerator2;
constexpr unsigned kRegisterMask = 0x7F;
constexpr unsigned kStateMask = 0x3F;

constexpr unsigned Parity(unsigned x) {
  unsigned p = 0;
  for (; x != 0; x &= x - 1) p ^= 1u;
  return p;
}

// The four symbols sent for a period of three bits (b1 b2 b3 = bits 2, 1, 0 of the index's low
// three bits) after the six bits before it (the index's high six bits, bit 0 the newest): bit k
// is the period's symbol k. Per period MetOp sends G1(b1) G2(b1) G1(b3) G2(b2), the common
// pattern G1(b1) G2(b1) G2(b2) G1(b3).
constexpr std::array<uint8_t, 512> MakePeriodCodes(bool metop) {
  std::array<uint8_t, 512> codes{};
  for (unsigned index = 0; index < 512; ++index) {
    const unsigned r1 = ((index >> 2) & kRegisterMask);
    const unsigned r2 = ((index >> 1) & kRegisterMask);
    const unsigned r3 = index & kRegisterMask;
    const unsigned g2_b2 = Parity(r2 & kG2), g1_b3 = Parity(r3 & kG1);
    codes[index] =
        static_cast<uint8_t>(Parity(r1 & kG1) | Parity(r1 & kG2) << 1 |
                             (metop ? g1_b3 : g2_b2) << 2 | (metop ? g2_b2 : g1_b3) << 3);
  }
  return codes;
}

// G1 (bit 0) and G2 (bit 1) of every register.
constexpr std::array<uint8_t, 128> MakeOutputs() {
  std::array<uint8_t, 128> outputs{};
  for (unsigned r = 0; r < 128; ++r)
    outputs[r] = static_cast<uint8_t>(Parity(r & kG1) | Parity(r & kG2) << 1);
  return outputs;
}

constexpr std::array<uint8_t, 128> kOutputs = MakeOutputs();

// The four symbols of a period, one a byte in memory order, as sign bits (bit 7 of each byte).
struct SymbolSigns {
  uint32_t nonzero;   // the symbol is not erased
  uint32_t positive;  // the symbol says 1
};

SymbolSigns Signs(const int8_t* symbols) {
  uint32_t bytes;
  std::memcpy(&bytes, symbols, sizeof bytes);
  constexpr uint32_t kHigh = 0x80808080u, kLow = 0x7F7F7F7Fu;
  const uint32_t nonzero = (((bytes & kLow) + kLow) | bytes) & kHigh;
  return {nonzero, nonzero & ~bytes & kHigh};
}

#if defined(__SSE2__)
// 32 symbols' signs, bit k for symbol k.
SymbolSigns Signs32(const int8_t* symbols) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(symbols));
  const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(symbols + 16));
  const auto mask = [](__m128i lanes) { return static_cast<uint32_t>(_mm_movemask_epi8(lanes)); };
  return {~(mask(_mm_cmpeq_epi8(low, zero)) | mask(_mm_cmpeq_epi8(high, zero)) << 16),
          mask(_mm_cmpgt_epi8(low, zero)) | mask(_mm_cmpgt_epi8(high, zero)) << 16};
}

// Set bits, without a popcount instruction.
uint32_t BitCount(uint32_t x) {
  x = x - ((x >> 1) & 0x55555555u);
  x = (x & 0x33333333u) + ((x >> 2) & 0x33333333u);
  x = (x + (x >> 4)) & 0x0F0F0F0Fu;
  return (x * 0x01010101u) >> 24;
}
#endif

// The number of bytes with bit 7 set.
uint32_t ByteSum(uint32_t high_bits) {
  return ((high_bits >> 7) * 0x01010101u) >> 24;
}

// A period's four sent bits (bit k = symbol k) as Signs has them: bit 7 of the k-th byte in
// memory.
constexpr std::array<uint32_t, 16> MakeSentBytes() {
  std::array<uint32_t, 16> sent{};
  for (unsigned code = 0; code < 16; ++code) {
    for (unsigned k = 0; k < 4; ++k) {
      if (((code >> k) & 1u) == 0) continue;
      const unsigned byte = std::endian::native == std::endian::little ? k : 3 - k;
      sent[code] |= 0x80u << (8 * byte);
    }
  }
  return sent;
}

constexpr std::array<uint32_t, 16> kSentBytes = MakeSentBytes();
constexpr std::array<uint8_t, 512> kMetopCodes = MakePeriodCodes(true);
constexpr std::array<uint8_t, 512> kCommonCodes = MakePeriodCodes(false);

// Bits of a byte string read in order, most significant first, a few at a time.
class BitReader {
 public:
  BitReader(const uint8_t* bytes, size_t bits) : bytes_(bytes), end_(bits) {}
  size_t Position() const { return position_; }
  size_t Left() const { return end_ - position_; }
  // The next `count` (1 to 24) bits, the first of them the most significant; needs
  // Left() >= count.
  unsigned Take(int count) {
    if (held_ < count) {
      // Whole bytes while they fit in the 64-bit window (the byte under the position included).
      size_t byte = (position_ + static_cast<size_t>(held_)) / 8;
      const size_t bytes = (end_ + 7) / 8;
      while (held_ <= 56 && byte < bytes) {
        window_ |= uint64_t{bytes_[byte++]} << (56 - held_);
        held_ += 8;
      }
    }
    const auto value = static_cast<unsigned>(window_ >> (64 - count));
    window_ <<= count;
    held_ -= count;
    position_ += static_cast<size_t>(count);
    return value;
  }

 private:
  const uint8_t* bytes_;
  size_t end_;
  size_t position_ = 0;
  uint64_t window_ = 0;  // the next held_ bits, from the most significant on
  int held_ = 0;
};

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

int8_t* ReencodingCheck::AddSymbolRoom(size_t count) {
  const size_t before = fed_.size();
  fed_.resize(before + count);
  return fed_.data() + before;
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

void ReencodingCheck::AddBit(unsigned bit) {
  const bool metop = puncturing_ == ViterbiDecoder::Puncturing::kMetop;
  register_ = ((register_ << 1) | bit) & kRegisterMask;
  const unsigned g1 = kOutputs[register_] & 1u, g2 = kOutputs[register_] >> 1;
  if (puncturing_ == ViterbiDecoder::Puncturing::kNone) {
    Compare(2 * checked_bits_, g1);
    Compare(2 * checked_bits_ + 1, g2);
    ++checked_bits_;
    return;
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

void ReencodingCheck::AddBits(const uint8_t* bytes, size_t bits) {
  BitReader reader(bytes, bits);
  const bool punctured = puncturing_ != ViterbiDecoder::Puncturing::kNone;
  // Bit by bit up to a period's start past the first steps, which are not compared.
  while (reader.Left() > 0 &&
         (!punctured || checked_bits_ % 3 != 0 || checked_bits_ < uint64_t{kSettleSteps}))
    AddBit(reader.Take(1));
  if (punctured) {
    // Whole periods whose symbols were all fed: their four symbols at once, from a table.
    const uint8_t* codes = puncturing_ == ViterbiDecoder::Puncturing::kMetop ? kMetopCodes.data()
                                                                             : kCommonCodes.data();
    const uint64_t first = checked_bits_ / 3 * ViterbiDecoder::kPunctureSymbols;
    const uint64_t fed_end = fed_base_ + fed_.size();
    size_t periods = 0;
    if (first >= fed_base_ && first < fed_end)
      periods = static_cast<size_t>(std::min<uint64_t>(reader.Left() / 3, (fed_end - first) / 4));
    const int8_t* symbol = fed_.data() + (first - std::min(first, fed_base_));
    uint64_t count = 0, wrong = 0;
    unsigned shift_register = register_;
    for (size_t p = 0; p < periods;) {
      // Eight periods from one read of 24 bits where there are eight.
      const size_t run = std::min<size_t>(8, periods - p);
      const unsigned inputs = reader.Take(3 * static_cast<int>(run));
#if defined(__SSE2__)
      if (run == 8) {
        // The eight periods' 32 sent bits, each period's code indexed by the nine bits that end
        // with it; then the 32 symbols' signs from two compares, and counts of set bits.
        const uint64_t stream = uint64_t{shift_register & kStateMask} << 24 | inputs;
        uint32_t sent = 0;
        for (int r = 0; r < 8; ++r)
          sent |= uint32_t{codes[(stream >> (21 - 3 * r)) & 0x1FF]} << (4 * r);
        shift_register = static_cast<unsigned>(stream) & kRegisterMask;
        const SymbolSigns signs = Signs32(symbol);
        count += BitCount(signs.nonzero);
        wrong += BitCount((signs.positive ^ sent) & signs.nonzero);
        symbol += 8 * ViterbiDecoder::kPunctureSymbols;
        p += run;
        continue;
      }
#endif
      for (size_t r = 0; r < run; ++r, symbol += ViterbiDecoder::kPunctureSymbols) {
        const unsigned input = (inputs >> (3 * (run - 1 - r))) & 7u;
        const unsigned code = codes[(shift_register & kStateMask) << 3 | input];
        shift_register = ((shift_register << 3) | input) & kRegisterMask;
        const SymbolSigns signs = Signs(symbol);
        count += ByteSum(signs.nonzero);
        wrong += ByteSum((signs.positive ^ kSentBytes[code]) & signs.nonzero);
      }
      p += run;
    }
    register_ = shift_register;
    checked_bits_ += 3 * periods;
    compared += count;
    errors += wrong;
    window_compared += count;
    window_errors += wrong;
    while (reader.Left() > 0) AddBit(reader.Take(1));
  }
  // Symbols of periods already compared are let go.
  const uint64_t done = puncturing_ == ViterbiDecoder::Puncturing::kNone
                            ? 2 * checked_bits_
                            : checked_bits_ / 3 * ViterbiDecoder::kPunctureSymbols;
  if (done > fed_base_ + kKeptSymbols) {
    const uint64_t let_go = std::min<uint64_t>(done - fed_base_, fed_.size());
    fed_.erase(fed_.begin(), fed_.begin() + static_cast<ptrdiff_t>(let_go));
    fed_base_ += let_go;
  }
}

}  // namespace vantrel
