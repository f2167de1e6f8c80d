#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "viterbi/viterbi_decoder.h"

namespace vantrel {

// The first decoded steps not compared (the decoder starts in any state).
inline constexpr int kSettleSteps = 16;

// Re-encodes decoded bits and compares them with the symbols the decoder was fed, for the
// channel's error rate: symbols go in as fed, bits as decoded, in pieces of any size. A symbol
// that is erased (0) or belongs to the first kSettleSteps steps is not compared; symbols of
// periods already compared are let go, so memory stays bounded however long the stream.
class ReencodingCheck {
 public:
  explicit ReencodingCheck(ViterbiDecoder::Puncturing puncturing) : puncturing_(puncturing) {}
  // Starts again with the next symbol the first of a stream.
  void Reset();
  void AddSymbols(const int8_t* symbols, size_t count);
  // Feeds `count` symbols the caller writes into the room returned, before the next call (no copy
  // of its own needed). The room stays where it is until the next call.
  int8_t* AddSymbolRoom(size_t count);
  // Compares `bits` decoded bits from bytes[0] on (most significant bit first).
  void AddBits(const uint8_t* bytes, size_t bits);
  uint64_t compared = 0, errors = 0;                // since the Reset
  uint64_t window_compared = 0, window_errors = 0;  // since the caller cleared them

 private:
  // Symbols kept behind the last one compared before they are let go.
  static constexpr uint64_t kKeptSymbols = 65536;
  void Compare(uint64_t symbol, unsigned coded);
  // One bit compared the long way (the first steps, a part of a period, a symbol not fed).
  void AddBit(unsigned bit);
  ViterbiDecoder::Puncturing puncturing_;
  std::vector<int8_t> fed_;    // symbols fed, not yet compared
  uint64_t fed_base_ = 0;      // the index, counted from the Reset, of fed_[0]
  uint64_t checked_bits_ = 0;  // bits compared since the Reset
  unsigned register_ = 0;
  unsigned g2_b2_ = 0;
};

}  // namespace vantrel
