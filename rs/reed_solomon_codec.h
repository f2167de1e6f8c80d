#pragma once

#include <array>
#include <cstdint>

namespace vantrel {

// Table-driven Reed-Solomon decoder for the CCSDS (255,223) code with interleaving and the
// dual-basis symbol representation (CCSDS 131.0-B, TM Synchronization and Channel Coding).
// Decode only: no encoder, no erasures. Not re-entrant (one shared work block).
class ReedSolomonCodec {
 public:
  // How the syndromes are found. kPlain evaluates every syndrome by Horner's rule; the other two
  // divide the received word by the generator polynomial (one table row per symbol) and evaluate
  // the remainder only when it is not zero. All three give identical results.
  enum class Path { kPlain, kPortable, kAvx2 };

  // Builds the dual-basis tables; depth 1, field tables absent until Configure succeeds.
  ReedSolomonCodec();
  ~ReedSolomonCodec();
  ReedSolomonCodec(const ReedSolomonCodec&) = delete;
  ReedSolomonCodec& operator=(const ReedSolomonCodec&) = delete;

  // Builds the field tables. Out-of-range arguments (and a root step sharing a factor with n)
  // leave the codec unchanged; a polynomial that is not primitive leaves it without field tables.
  // The system calls (8, 391, 112, 11, 32, 0, 4).
  void Configure(int32_t symbol_size, int32_t field_polynomial, int32_t first_root,
                 int32_t primitive_element, int32_t root_count, int32_t pad,
                 int32_t interleave_depth);

  // True once the field tables exist.
  bool Configured() const;

  // Corrects one codeword of n - pad conventional symbols in place. Returns the number of
  // symbols corrected (0 for a codeword), or -1 when uncorrectable (block untouched): also for
  // non-zero syndromes that no error locator explains, for a symbol wider than a field of fewer
  // than 8 bits, and on a codec without field tables.
  int32_t DecodeCodeword(uint8_t* block);

  // Corrects a frame of depth x (n - pad) dual-basis bytes in place (1020 as configured).
  // Bits 0-15: codewords corrected; bit 16: some codeword was uncorrectable (also when its
  // decode claimed more corrections than the code can make; such a codeword stays as received).
  // On a codec without field tables nothing is corrected: result 0, frame untouched.
  uint32_t CorrectFrame(uint8_t* frame);
  // Symbols the last CorrectFrame corrected, over all its codewords.
  int32_t CorrectedSymbols() const { return corrected_symbols_; }

  // x >= 0 reduced modulo n by folding.
  int32_t ReduceExponent(int32_t x) const;

  static uint8_t ReverseBits(uint8_t value);

  // Read access for tests.
  const uint8_t* ExpTable() const;
  const uint8_t* LogTable() const;
  const uint8_t* ToDualTable() const;
  const uint8_t* FromDualTable() const;
  int32_t InverseStep() const;

  // The path in use: the fastest the processor supports, unless a test chose another.
  Path ActivePath() const { return path_; }
  // Chooses the path; false (and no change) when the processor lacks AVX2 for kAvx2.
  bool SelectPath(Path path);
  static bool Avx2Available();

  // Syndromes of every codeword of a frame (as CorrectFrame receives it), by the active path:
  // depth x root count values in polynomial form, codeword 0 first. For tests; nothing on a
  // codec without field tables.
  void FrameSyndromes(const uint8_t* frame, uint8_t* syndromes);

 private:
  // Check symbols the remainder paths are built for: one 32-byte row per feedback value.
  static constexpr int kFastRoots = 32;
  // Largest table size: 2^8 entries.
  static constexpr int kTableSize = 256;

  using Remainder = std::array<uint8_t, kFastRoots>;

  // ReduceExponent for 0 <= x < 2n, where one subtraction does it (the same result).
  int32_t ReduceOnce(int32_t x) const { return x >= n_ ? x - n_ : x; }

  // Syndromes of one conventional block by Horner's rule, in polynomial form.
  void HornerSyndromes(const uint8_t* block, uint8_t* syndromes) const;
  // Syndromes (polynomial form) from the remainder of x^32 c(x) divided by g(x).
  void SyndromesFromRemainder(const Remainder& remainder, uint8_t* syndromes) const;
  // Remainder of one conventional block, portable code.
  void BlockRemainder(const uint8_t* block, Remainder& remainder) const;
  // Berlekamp-Massey, Chien search and Forney on syndromes in polynomial form; corrects the
  // block in place and returns the root count, or -1.
  int32_t DecodeWithSyndromes(uint8_t* block, uint8_t* syndromes);
  // Builds the generator rows and the remainder evaluation table for the configured code.
  void BuildRemainderTables();
  // True when the remainder paths apply to the configured code.
  bool RemainderPathUsable() const;
  // Remainders of the codewords first .. first + chains - 1 of a frame.
  void FrameRemainders(const uint8_t* frame, int32_t first, int32_t chains, Remainder* out) const;
  // De-interleaves one codeword of a frame into the work block, in conventional form.
  void LoadCodeword(const uint8_t* frame, int32_t codeword);
  uint32_t CorrectFramePlain(uint8_t* frame);
  uint32_t CorrectFrameByRemainder(uint8_t* frame);
  // Adds one codeword's decode result to the frame result; writes the work block back when the
  // codeword was corrected.
  void FinishCodeword(int32_t decoded, uint8_t* frame, int32_t codeword, uint32_t& result);

  int32_t symbol_size_ = 0;
  int32_t n_ = 0;
  bool field_tables_ = false;
  std::array<uint8_t, kTableSize> exp_{};
  std::array<uint8_t, kTableSize> log_{};
  int32_t root_count_ = 0;
  int32_t first_root_ = 0;
  int32_t primitive_element_ = 0;
  int32_t inverse_step_ = 0;
  int32_t pad_ = 0;
  int32_t interleave_depth_ = 1;
  std::array<uint8_t, kTableSize> to_dual_{};
  std::array<uint8_t, kTableSize> from_dual_{};
  std::array<uint8_t, kTableSize> work_{};
  int32_t corrected_symbols_ = 0;

  Path path_ = Path::kPortable;
  // generator_rows_[f][p] = f * g(31 - p): byte p of the remainder register holds the
  // coefficient of x^(31 - p), so byte 0 is the one that feeds back.
  alignas(32) std::array<Remainder, kTableSize> generator_rows_{};
  // The same rows as four 64-bit words, byte p at bits 8 * (p % 8) of word p / 8.
  std::array<std::array<uint64_t, kFastRoots / sizeof(uint64_t)>, kTableSize> generator_words_{};
  // remainder_exponents_[i][k]: exponent of root i that turns remainder coefficient k of
  // x^(k - 32) into its share of syndrome i.
  std::array<std::array<uint8_t, kFastRoots>, kFastRoots> remainder_exponents_{};
};

}  // namespace vantrel
