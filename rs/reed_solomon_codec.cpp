#include "rs/reed_solomon_codec.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_RS_X86 1
#endif

namespace vantrel {
namespace {

// Conventional <-> dual-basis conversion matrix of CCSDS 131.0-B (TM Synchronization and
// Channel Coding, Reed-Solomon annex), row 0 first.
constexpr std::array<uint8_t, 8> kDualBasisMatrix = {0x8D, 0xEF, 0xEC, 0x86,
                                                     0xFA, 0x99, 0xAF, 0x7B};

constexpr int kBitsPerByte = 8;
constexpr int kByteValues = 256;
// Largest symbol size the codec handles.
constexpr int32_t kMaxSymbolSize = 8;
// Largest pad DecodeCodeword accepts (255 - 32 - 1).
constexpr int32_t kMaxDecodePad = 222;
// Bit of the frame result that tells that some codeword was uncorrectable.
constexpr uint32_t kUncorrectableBit = 0x10000;
// Bits 0-15 of the frame result count the corrected codewords.
constexpr uint32_t kCorrectedCountMask = 0xFFFF;
// The remainder paths are built for 8-bit symbols.
constexpr int32_t kFastSymbolSize = 8;
// Interleaved codewords the remainder kernels divide side by side.
constexpr int kChains = 4;
// The division register: one byte per check symbol, as four 64-bit words in portable code.
constexpr int kRegisterBytes = 32;
constexpr int kWordBytes = 8;
constexpr int kRegisterWords = kRegisterBytes / kWordBytes;
// Moves byte 0 of the next word into byte 7 of a word.
constexpr int kTopByteShift = (kWordBytes - 1) * kBitsPerByte;
constexpr uint64_t kByteMask = 0xFF;

constexpr uint8_t ReverseByte(uint8_t value) {
  value = static_cast<uint8_t>(((value & 0x55) << 1) | ((value >> 1) & 0x55));
  value = static_cast<uint8_t>(((value & 0x33) << 2) | ((value >> 2) & 0x33));
  return static_cast<uint8_t>((value << 4) | (value >> 4));
}

// ToDual[c]: the CCSDS dual-basis form of conventional symbol c, with its bits reversed (the
// order in which the frame bytes reach the codec).
constexpr std::array<uint8_t, kByteValues> MakeToDual() {
  std::array<uint8_t, kByteValues> table{};
  for (int c = 0; c < kByteValues; ++c) {
    uint8_t value = 0;
    for (int k = 0; k < kBitsPerByte; ++k)
      if (c & (1 << k)) value ^= ReverseByte(kDualBasisMatrix[kBitsPerByte - 1 - k]);
    table[c] = value;
  }
  return table;
}

constexpr std::array<uint8_t, kByteValues> kToDual = MakeToDual();

constexpr std::array<uint8_t, kByteValues> MakeFromDual() {
  std::array<uint8_t, kByteValues> table{};
  for (int c = 0; c < kByteValues; ++c) table[kToDual[c]] = static_cast<uint8_t>(c);
  return table;
}

constexpr std::array<uint8_t, kByteValues> kFromDual = MakeFromDual();

static_assert(kToDual[1] == 0xDE && kToDual[2] == 0xF5 && kToDual[7] == 0xB2);

using Remainder = std::array<uint8_t, kRegisterBytes>;
using RemainderWords = std::array<uint64_t, kRegisterWords>;

// Divides kCount codewords side by side by the generator polynomial: for every symbol the
// register moves up one degree and the row of the feedback value (symbol XOR top byte) is
// added. Symbol j of chain c is data[j * stride + c], converted from the dual basis when
// kDualInput. Leaves x^32 c(x) mod g(x) of each chain in `out`.
template <int kCount, bool kDualInput>
void DivideWords(const uint8_t* data, int32_t length, int32_t stride, const RemainderWords* rows,
                 Remainder* out) {
  uint64_t w0[kCount] = {}, w1[kCount] = {}, w2[kCount] = {}, w3[kCount] = {};
  for (int32_t j = 0; j < length; ++j) {
    const uint8_t* symbols = data + static_cast<size_t>(j) * static_cast<size_t>(stride);
    for (int c = 0; c < kCount; ++c) {
      const uint8_t symbol = kDualInput ? kFromDual[symbols[c]] : symbols[c];
      const RemainderWords& row = rows[(w0[c] & kByteMask) ^ symbol];
      w0[c] = ((w0[c] >> kBitsPerByte) | (w1[c] << kTopByteShift)) ^ row[0];
      w1[c] = ((w1[c] >> kBitsPerByte) | (w2[c] << kTopByteShift)) ^ row[1];
      w2[c] = ((w2[c] >> kBitsPerByte) | (w3[c] << kTopByteShift)) ^ row[2];
      w3[c] = (w3[c] >> kBitsPerByte) ^ row[3];
    }
  }
  for (int c = 0; c < kCount; ++c) {
    const uint64_t words[kRegisterWords] = {w0[c], w1[c], w2[c], w3[c]};
    for (int p = 0; p < kRegisterBytes; ++p)
      out[c][p] = static_cast<uint8_t>(words[p / kWordBytes] >> (kBitsPerByte * (p % kWordBytes)));
  }
}

#if defined(VANTREL_RS_X86)
// The same division with the register in one AVX2 register: four codewords, dual-basis input.
__attribute__((target("avx2"))) void DivideAvx2(const uint8_t* data, int32_t length, int32_t stride,
                                                const Remainder* rows, Remainder* out) {
  __m256i r[kChains];
  for (int c = 0; c < kChains; ++c) r[c] = _mm256_setzero_si256();
  for (int32_t j = 0; j < length; ++j) {
    const uint8_t* symbols = data + static_cast<size_t>(j) * static_cast<size_t>(stride);
    for (int c = 0; c < kChains; ++c) {
      const unsigned top =
          static_cast<unsigned>(_mm_cvtsi128_si32(_mm256_castsi256_si128(r[c]))) & kByteMask;
      const unsigned feedback = top ^ kFromDual[symbols[c]];
      // Whole register down one byte: byte p takes byte p + 1, byte 31 becomes 0 (0x81: high
      // lane into the low one, zeros above).
      const __m256i high = _mm256_permute2x128_si256(r[c], r[c], 0x81);
      const __m256i moved = _mm256_alignr_epi8(high, r[c], 1);
      const __m256i row =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[feedback].data()));
      r[c] = _mm256_xor_si256(moved, row);
    }
  }
  for (int c = 0; c < kChains; ++c)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[c].data()), r[c]);
}
#endif

bool IsZero(const Remainder& remainder) {
  uint64_t words[kRegisterWords];
  std::memcpy(words, remainder.data(), sizeof words);
  return (words[0] | words[1] | words[2] | words[3]) == 0;
}

}  // namespace

ReedSolomonCodec::ReedSolomonCodec() : to_dual_(kToDual), from_dual_(kFromDual) {
  path_ = Avx2Available() ? Path::kAvx2 : Path::kPortable;
}

ReedSolomonCodec::~ReedSolomonCodec() = default;

bool ReedSolomonCodec::Avx2Available() {
#if defined(VANTREL_RS_X86)
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

bool ReedSolomonCodec::SelectPath(Path path) {
  if (path == Path::kAvx2 && !Avx2Available()) return false;
  path_ = path;
  return true;
}

uint8_t ReedSolomonCodec::ReverseBits(uint8_t value) {
  return ReverseByte(value);
}

int32_t ReedSolomonCodec::ReduceExponent(int32_t x) const {
  // Without a field there is nothing to reduce by (and the folding would never end).
  if (n_ <= 0) return x;
  while (x >= n_) {
    x -= n_;
    x = (x >> symbol_size_) + (x & n_);
  }
  return x;
}

void ReedSolomonCodec::Configure(int32_t symbol_size, int32_t field_polynomial, int32_t first_root,
                                 int32_t primitive_element, int32_t root_count, int32_t pad,
                                 int32_t interleave_depth) {
  if (symbol_size < 0 || symbol_size > kMaxSymbolSize) return;
  const int32_t size = 1 << symbol_size;
  if (first_root < 0 || first_root >= size) return;
  if (primitive_element <= 0 || primitive_element >= size) return;
  if (root_count < 0 || root_count >= size) return;
  if (pad < 0 || pad >= size - 1 - root_count) return;
  // A step that shares a factor with n has no inverse: the roots would repeat and the search
  // for the inverse step would never end.
  if (std::gcd(primitive_element, size - 1) != 1) return;

  symbol_size_ = symbol_size;
  n_ = size - 1;
  pad_ = pad;
  interleave_depth_ = interleave_depth;

  field_tables_ = false;
  exp_.fill(0);
  log_.fill(0);
  log_[0] = static_cast<uint8_t>(n_);
  exp_[n_] = 0;
  // Powers of alpha by a shift register. The polynomial is primitive only when the register
  // comes back to 1 after exactly n steps and not before.
  int32_t sr = 1;
  bool back_early = false;
  for (int32_t i = 0; i < n_; ++i) {
    log_[sr] = static_cast<uint8_t>(i);
    exp_[i] = static_cast<uint8_t>(sr);
    sr <<= 1;
    if (sr & size) sr ^= field_polynomial;
    sr &= n_;
    if (sr == 1 && i + 1 < n_) back_early = true;
  }
  if (sr != 1 || back_early) return;
  field_tables_ = true;

  root_count_ = root_count;
  first_root_ = first_root;
  primitive_element_ = primitive_element;
  int32_t t = 1;
  while (t % primitive_element != 0) t += n_;
  inverse_step_ = t / primitive_element;

  BuildRemainderTables();
}

bool ReedSolomonCodec::Configured() const {
  return field_tables_;
}

bool ReedSolomonCodec::RemainderPathUsable() const {
  return field_tables_ && symbol_size_ == kFastSymbolSize && root_count_ == kFastRoots;
}

void ReedSolomonCodec::BuildRemainderTables() {
  if (!RemainderPathUsable()) return;
  const auto multiply = [this](int32_t a, int32_t b) -> uint8_t {
    if (a == 0 || b == 0) return 0;
    return exp_[ReduceExponent(log_[a] + log_[b])];
  };
  // g(x) = (x - beta_0)...(x - beta_31), beta_i = alpha^(primitive element x (first root + i));
  // genpoly[k] is the coefficient of x^k.
  std::array<uint8_t, kFastRoots + 1> genpoly{};
  genpoly[0] = 1;
  for (int32_t i = 0; i < kFastRoots; ++i) {
    const uint8_t beta = exp_[ReduceExponent(primitive_element_ * (first_root_ + i))];
    genpoly[i + 1] = 1;
    for (int32_t k = i; k > 0; --k) genpoly[k] = genpoly[k - 1] ^ multiply(genpoly[k], beta);
    genpoly[0] = multiply(genpoly[0], beta);
  }
  for (int32_t f = 0; f < kTableSize; ++f) {
    for (int32_t p = 0; p < kFastRoots; ++p)
      generator_rows_[f][p] = multiply(f, genpoly[kFastRoots - 1 - p]);
    for (int32_t w = 0; w < kRegisterWords; ++w) {
      uint64_t word = 0;
      for (int32_t k = 0; k < kWordBytes; ++k)
        word |= static_cast<uint64_t>(generator_rows_[f][kWordBytes * w + k]) << (kBitsPerByte * k);
      generator_words_[f][w] = word;
    }
  }
  // Remainder byte p is the coefficient of x^(31 - p) in x^32 c(x) mod g(x); syndrome i of c is
  // the remainder at beta_i times beta_i^-32, so byte p is weighed by beta_i to the power
  // 31 - p - 32 + n = n - 1 - p (the same value modulo n, and never negative).
  for (int32_t i = 0; i < kFastRoots; ++i) {
    const int32_t beta_log = ReduceExponent(primitive_element_ * (first_root_ + i));
    for (int32_t p = 0; p < kFastRoots; ++p)
      remainder_exponents_[i][p] = static_cast<uint8_t>(ReduceExponent((n_ - 1 - p) * beta_log));
  }
}

void ReedSolomonCodec::HornerSyndromes(const uint8_t* block, uint8_t* syndromes) const {
  const int32_t length = n_ - pad_;
  // Log of root i, reduced once here (the sums below then stay under 2n).
  std::array<int32_t, kTableSize> steps;
  for (int32_t i = 0; i < root_count_; ++i) {
    steps[i] = ReduceExponent((first_root_ + i) * primitive_element_);
    syndromes[i] = block[0];
  }
  // Symbol by symbol, so that the root count chains run side by side.
  for (int32_t j = 1; j < length; ++j) {
    const uint8_t symbol = block[j];
    for (int32_t i = 0; i < root_count_; ++i) {
      const uint8_t s = syndromes[i];
      syndromes[i] = s == 0 ? symbol : symbol ^ exp_[ReduceOnce(log_[s] + steps[i])];
    }
  }
}

void ReedSolomonCodec::SyndromesFromRemainder(const Remainder& remainder,
                                              uint8_t* syndromes) const {
  for (int32_t i = 0; i < kFastRoots; ++i) {
    uint8_t s = 0;
    for (int32_t p = 0; p < kFastRoots; ++p)
      if (remainder[p] != 0) s ^= exp_[ReduceOnce(log_[remainder[p]] + remainder_exponents_[i][p])];
    syndromes[i] = s;
  }
}

void ReedSolomonCodec::BlockRemainder(const uint8_t* block, Remainder& remainder) const {
  DivideWords<1, false>(block, n_ - pad_, 1, generator_words_.data(), &remainder);
}

int32_t ReedSolomonCodec::DecodeCodeword(uint8_t* block) {
  if (pad_ < 0 || pad_ > kMaxDecodePad) return -1;
  if (!field_tables_) return -1;
  std::array<uint8_t, kTableSize> syndromes;
  if (path_ != Path::kPlain && RemainderPathUsable()) {
    Remainder remainder;
    BlockRemainder(block, remainder);
    if (IsZero(remainder)) return 0;
    SyndromesFromRemainder(remainder, syndromes.data());
  } else {
    // Symbols wider than the field are not a word of this code (and must not index the tables).
    if (symbol_size_ < kMaxSymbolSize) {
      const int32_t length = n_ - pad_;
      for (int32_t j = 0; j < length; ++j)
        if (block[j] > n_) return -1;
    }
    HornerSyndromes(block, syndromes.data());
  }
  return DecodeWithSyndromes(block, syndromes.data());
}

int32_t ReedSolomonCodec::DecodeWithSyndromes(uint8_t* block, uint8_t* s) {
  const int32_t a0 = n_;  // log of zero
  const int32_t rc = root_count_;

  bool syndrome_error = false;
  for (int32_t i = 0; i < rc; ++i) {
    if (s[i] != 0) syndrome_error = true;
    s[i] = log_[s[i]];
  }
  if (!syndrome_error) return 0;

  // Berlekamp-Massey: error locator lambda in polynomial form, b in log form.
  std::array<uint8_t, kTableSize + 1> lambda{};
  std::array<int32_t, kTableSize + 1> b;
  std::array<uint8_t, kTableSize + 1> t;
  lambda[0] = 1;
  for (int32_t i = 0; i <= rc; ++i) b[i] = log_[lambda[i]];
  const auto shift_b = [&b, rc, a0] {
    for (int32_t i = rc - 1; i >= 0; --i) b[i + 1] = b[i];
    b[0] = a0;
  };
  int32_t el = 0;
  for (int32_t r = 1; r <= rc; ++r) {
    int32_t discrepancy = 0;
    for (int32_t i = 0; i < r; ++i)
      if (lambda[i] != 0 && s[r - 1 - i] != a0)
        discrepancy ^= exp_[ReduceOnce(log_[lambda[i]] + s[r - 1 - i])];
    discrepancy = log_[discrepancy];
    if (discrepancy == a0) {
      shift_b();
      continue;
    }
    t[0] = lambda[0];
    for (int32_t i = 0; i < rc; ++i)
      t[i + 1] = b[i] != a0 ? lambda[i + 1] ^ exp_[ReduceOnce(discrepancy + b[i])] : lambda[i + 1];
    if (2 * el <= r - 1) {
      el = r - el;
      for (int32_t i = 0; i <= rc; ++i)
        b[i] = lambda[i] == 0 ? a0 : ReduceOnce(log_[lambda[i]] - discrepancy + n_);
    } else {
      shift_b();
    }
    std::copy(t.begin(), t.begin() + rc + 1, lambda.begin());
  }

  // Locator to log form and its degree.
  std::array<int32_t, kTableSize + 1> lambda_log;
  int32_t degree = 0;
  for (int32_t i = 0; i <= rc; ++i) {
    lambda_log[i] = log_[lambda[i]];
    if (lambda_log[i] != a0) degree = i;
  }
  // Non-zero syndromes with a constant locator: no error pattern explains them.
  if (degree == 0) return -1;

  // Chien search over every non-zero field element.
  std::array<int32_t, kTableSize + 1> reg;
  std::copy(lambda_log.begin() + 1, lambda_log.begin() + rc + 1, reg.begin() + 1);
  std::array<int32_t, kTableSize> roots;
  std::array<int32_t, kTableSize> locations;
  int32_t count = 0;
  for (int32_t i = 1, k = inverse_step_ - 1; i <= n_; ++i, k = ReduceOnce(k + inverse_step_)) {
    int32_t q = 1;
    for (int32_t j = degree; j > 0; --j) {
      if (reg[j] != a0) {
        reg[j] = ReduceOnce(reg[j] + j);
        q ^= exp_[reg[j]];
      }
    }
    if (q != 0) continue;
    roots[count] = i;
    locations[count] = k;
    if (++count == degree) break;
  }
  if (count != degree) return -1;

  // Error evaluator omega in log form.
  const int32_t omega_degree = degree - 1;
  std::array<int32_t, kTableSize> omega;
  for (int32_t i = 0; i <= omega_degree; ++i) {
    int32_t sum = 0;
    for (int32_t j = i; j >= 0; --j)
      if (s[i - j] != a0 && lambda_log[j] != a0) sum ^= exp_[ReduceOnce(s[i - j] + lambda_log[j])];
    omega[i] = log_[sum];
  }

  // Forney: error values, applied from the last root found to the first.
  for (int32_t j = count - 1; j >= 0; --j) {
    int32_t num1 = 0;
    for (int32_t i = omega_degree; i >= 0; --i)
      if (omega[i] != a0) num1 ^= exp_[ReduceExponent(omega[i] + i * roots[j])];
    const int32_t num2 = exp_[ReduceExponent(roots[j] * (first_root_ - 1) + n_)];
    int32_t den = 0;
    for (int32_t i = std::min(degree, rc - 1) & ~1; i >= 0; i -= 2)
      if (lambda_log[i + 1] != a0) den ^= exp_[ReduceExponent(lambda_log[i + 1] + i * roots[j])];
    if (num1 != 0 && locations[j] >= pad_) {
      block[locations[j] - pad_] ^= exp_[ReduceExponent(log_[num1] + log_[num2] + n_ - log_[den])];
    }
  }
  return count;
}

void ReedSolomonCodec::FinishCodeword(int32_t decoded, uint8_t* frame, int32_t codeword,
                                      uint32_t& result) {
  // A decode that claims more corrections than half the check symbols is beyond the code's
  // reach: the codeword counts as uncorrectable and stays as received.
  const int32_t capacity = root_count_ / 2;
  if (decoded < 0 || decoded > capacity) {
    result |= kUncorrectableBit;
    return;
  }
  if (decoded == 0) return;
  corrected_symbols_ += decoded;
  const int32_t length = n_ - pad_;
  const size_t depth = static_cast<size_t>(interleave_depth_);
  for (int32_t j = 0; j < length; ++j)
    frame[static_cast<size_t>(j) * depth + static_cast<size_t>(codeword)] = to_dual_[work_[j]];
  if ((result & kCorrectedCountMask) < kCorrectedCountMask) ++result;
}

uint32_t ReedSolomonCodec::CorrectFramePlain(uint8_t* frame) {
  uint32_t result = 0;
  for (int32_t i = 0; i < interleave_depth_; ++i) {
    LoadCodeword(frame, i);
    FinishCodeword(DecodeCodeword(work_.data()), frame, i, result);
  }
  return result;
}

void ReedSolomonCodec::FrameRemainders(const uint8_t* frame, int32_t first, int32_t chains,
                                       Remainder* out) const {
  const int32_t length = n_ - pad_;
  const int32_t depth = interleave_depth_;
  const uint8_t* data = frame + first;
  if (chains == kChains) {
#if defined(VANTREL_RS_X86)
    if (path_ == Path::kAvx2) {
      DivideAvx2(data, length, depth, generator_rows_.data(), out);
      return;
    }
#endif
    DivideWords<kChains, true>(data, length, depth, generator_words_.data(), out);
    return;
  }
  for (int32_t c = 0; c < chains; ++c)
    DivideWords<1, true>(data + c, length, depth, generator_words_.data(), &out[c]);
}

void ReedSolomonCodec::LoadCodeword(const uint8_t* frame, int32_t codeword) {
  const int32_t length = n_ - pad_;
  const size_t depth = static_cast<size_t>(interleave_depth_);
  for (int32_t j = 0; j < length; ++j)
    work_[j] = from_dual_[frame[static_cast<size_t>(j) * depth + static_cast<size_t>(codeword)]];
}

uint32_t ReedSolomonCodec::CorrectFrameByRemainder(uint8_t* frame) {
  uint32_t result = 0;
  const int32_t depth = interleave_depth_;
  std::array<Remainder, kChains> remainders;
  std::array<uint8_t, kTableSize> syndromes;
  for (int32_t first = 0; first < depth; first += kChains) {
    const int32_t chains = std::min(kChains, depth - first);
    FrameRemainders(frame, first, chains, remainders.data());
    for (int32_t c = 0; c < chains; ++c) {
      // A zero remainder: every syndrome is zero, the codeword is clean.
      if (IsZero(remainders[c])) continue;
      LoadCodeword(frame, first + c);
      SyndromesFromRemainder(remainders[c], syndromes.data());
      FinishCodeword(DecodeWithSyndromes(work_.data(), syndromes.data()), frame, first + c, result);
    }
  }
  return result;
}

void ReedSolomonCodec::FrameSyndromes(const uint8_t* frame, uint8_t* syndromes) {
  if (!field_tables_) return;
  const int32_t depth = interleave_depth_;
  if (path_ == Path::kPlain || !RemainderPathUsable()) {
    for (int32_t i = 0; i < depth; ++i) {
      LoadCodeword(frame, i);
      HornerSyndromes(work_.data(), syndromes + static_cast<size_t>(i) * root_count_);
    }
    return;
  }
  std::array<Remainder, kChains> remainders;
  for (int32_t first = 0; first < depth; first += kChains) {
    const int32_t chains = std::min(kChains, depth - first);
    FrameRemainders(frame, first, chains, remainders.data());
    for (int32_t c = 0; c < chains; ++c)
      SyndromesFromRemainder(remainders[c],
                             syndromes + static_cast<size_t>(first + c) * kFastRoots);
  }
}

uint32_t ReedSolomonCodec::CorrectFrame(uint8_t* frame) {
  corrected_symbols_ = 0;
  // Never configured: nothing to correct with, the frame passes as it is.
  if (!field_tables_) return 0;
  if (path_ != Path::kPlain && RemainderPathUsable()) return CorrectFrameByRemainder(frame);
  return CorrectFramePlain(frame);
}

const uint8_t* ReedSolomonCodec::ExpTable() const {
  return field_tables_ ? exp_.data() : nullptr;
}

const uint8_t* ReedSolomonCodec::LogTable() const {
  return field_tables_ ? log_.data() : nullptr;
}

const uint8_t* ReedSolomonCodec::ToDualTable() const {
  return to_dual_.data();
}

const uint8_t* ReedSolomonCodec::FromDualTable() const {
  return from_dual_.data();
}

int32_t ReedSolomonCodec::InverseStep() const {
  return inverse_step_;
}

}  // namespace vantrel
