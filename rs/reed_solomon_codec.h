#pragma once

#include <cstdint>

namespace vantrel {

// Table-driven Reed-Solomon decoder for the CCSDS (255,223) code with interleaving and the
// dual-basis symbol representation (CCSDS 131.0-B, TM Synchronization and Channel Coding).
// Decode only: no encoder, no erasures. Not re-entrant (one shared work block).
class ReedSolomonCodec {
 public:
  // Builds the dual-basis tables; depth 1, field tables absent until Configure succeeds.
  ReedSolomonCodec();
  ~ReedSolomonCodec();
  ReedSolomonCodec(const ReedSolomonCodec&) = delete;
  ReedSolomonCodec& operator=(const ReedSolomonCodec&) = delete;

  // Builds the field tables. Out-of-range arguments leave the codec unchanged; a polynomial that
  // is not primitive leaves it without field tables. The system calls (8, 391, 112, 11, 32, 0, 4).
  void Configure(int32_t symbol_size, int32_t field_polynomial, int32_t first_root,
                 int32_t primitive_element, int32_t root_count, int32_t pad,
                 int32_t interleave_depth);

  // True once the field tables exist.
  bool Configured() const;

  // Corrects one codeword of n - pad conventional symbols in place. Returns the number of
  // symbols corrected (0 for a codeword), or -1 when uncorrectable (block untouched).
  int32_t DecodeCodeword(uint8_t* block);

  // Corrects a frame of depth x (n - pad) dual-basis bytes in place (1020 as configured).
  // Bits 0-15: codewords corrected; bit 16: some codeword was uncorrectable.
  uint32_t CorrectFrame(uint8_t* frame);

  // x >= 0 reduced modulo n by folding.
  int32_t ReduceExponent(int32_t x) const;

  static uint8_t ReverseBits(uint8_t value);

  // Read access for tests.
  const uint8_t* ExpTable() const;
  const uint8_t* LogTable() const;
  const uint8_t* ToDualTable() const;
  const uint8_t* FromDualTable() const;
  int32_t InverseStep() const;

 private:
  // (fields: to be laid out with the implementation)
};

// The one codec of the program, created at first use and destroyed at program end.
ReedSolomonCodec& TheCodec();

}  // namespace vantrel
