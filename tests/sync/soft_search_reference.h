#pragma once

// The soft-symbol decoding done the straightforward way, as the oracle of the equivalence tests:
// every lock search ranks all phases and period starts on the first values of a block with whole
// Viterbi decodes, decodes the best few again over the whole block and scans every bit offset of
// the result for CADU markers in the order the contract states (offset by offset, frame by frame);
// the channel errors are counted bit by bit. Only the Viterbi decoder (checked against libfec
// elsewhere) is shared with the code under test. Slow on purpose: nothing is skipped.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sync/soft_symbol_stage.h"
#include "viterbi/viterbi_decoder.h"

namespace vantrel::reference {

std::optional<bool> CaduMarkersInverted(const uint8_t* bytes, size_t bit_count);

// Re-encodes decoded bits and compares them with the symbols fed, one bit at a time.
class ChannelCheck {
 public:
  explicit ChannelCheck(ViterbiDecoder::Puncturing puncturing) : puncturing_(puncturing) {}
  void AddSymbols(const int8_t* symbols, size_t count);
  void AddBits(const uint8_t* bytes, size_t bits);
  uint64_t compared = 0, errors = 0;
  uint64_t window_compared = 0, window_errors = 0;

 private:
  void Compare(uint64_t symbol, unsigned coded);
  ViterbiDecoder::Puncturing puncturing_;
  std::vector<int8_t> fed_;  // every symbol fed
  uint64_t bits_ = 0;
  unsigned register_ = 0;
  unsigned g2_b2_ = 0;
};

ChannelErrors CountChannelErrors(const int8_t* symbols, size_t count,
                                 ViterbiDecoder::Puncturing puncturing);
void UndoPhase(const QpskPhase& phase, int8_t* iq, size_t count);
std::optional<MetopLock> FindMetopLock(const int8_t* values, size_t count);
std::optional<Fy3Lock> FindFy3Lock(const int8_t* values, size_t count);

// The stream decoders: blocks in, bits and figures out, as MetopSoftDecoder and Fy3SoftDecoder.
class MetopDecoder {
 public:
  void Block(const int8_t* values, size_t count, std::vector<uint8_t>& out);
  void Finish(std::vector<uint8_t>& out);
  const SoftDecodeSummary& Summary() const { return summary_; }

 private:
  void StartLock(const MetopLock& lock, const int8_t* values, size_t count,
                 std::vector<uint8_t>& out);
  void Feed(const int8_t* values, size_t count, std::vector<uint8_t>& out);
  void EndLock(std::vector<uint8_t>& out);
  void Check(const std::vector<uint8_t>& out, size_t from_byte, size_t bits);

  ViterbiDecoder decoder_{ViterbiDecoder::Puncturing::kMetop};
  SoftDecodeSummary summary_;
  bool locked_ = false;
  MetopLock lock_;
  uint64_t stream_values_ = 0;
  uint64_t lock_start_ = 0;
  double lock_rate_ = 0;
  std::vector<int8_t> pending_;
  std::vector<int8_t> searched_;
  ChannelCheck check_{ViterbiDecoder::Puncturing::kMetop};
};

class Fy3Decoder {
 public:
  void Block(const int8_t* values, size_t count, std::vector<uint8_t>& out);
  void Finish(std::vector<uint8_t>& out);
  const SoftDecodeSummary& Summary() const { return summary_; }

 private:
  void StartLock(const Fy3Lock& lock, std::vector<uint8_t>& out);
  void Feed(size_t from_i, size_t from_q, std::vector<uint8_t>& out);
  void EndLock(std::vector<uint8_t>& out);
  void Pair(std::vector<uint8_t>& out);

  ViterbiDecoder decoders_[2] = {ViterbiDecoder(ViterbiDecoder::Puncturing::kCommon),
                                 ViterbiDecoder(ViterbiDecoder::Puncturing::kCommon)};
  ChannelCheck checks_[2] = {ChannelCheck(ViterbiDecoder::Puncturing::kCommon),
                             ChannelCheck(ViterbiDecoder::Puncturing::kCommon)};
  SoftDecodeSummary summary_;
  bool locked_ = false;
  Fy3Lock lock_;
  uint64_t stream_values_ = 0;
  std::vector<int8_t> rails_[2];
  std::vector<int8_t> searched_;
  std::vector<uint8_t> bits_[2];
  size_t drop_[2] = {0, 0};
  unsigned previous_x_ = 0, previous_y_ = 0;
  unsigned byte_ = 0;
  int byte_bits_ = 0;
};

// Meteor-M N2: the sign of every value, eight to a byte, most significant first (a last group of
// fewer than eight dropped).
std::vector<uint8_t> PackSigns(const int8_t* values, size_t count);

}  // namespace vantrel::reference
