#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "viterbi/viterbi_decoder.h"

namespace vantrel {

// What a receiver's unknown carrier phase did to QPSK soft symbols (I then Q of each symbol),
// and where the puncturing period starts. Half a turn is not told apart: it leaves the code
// valid and inverts the decoded bits, which the CADU search undoes.
struct QpskPhase {
  int rotation = 0;      // degrees the symbols were turned counter-clockwise: 0 or 90
  bool iq_swap = false;  // I and Q exchanged (after the rotation)
  int skip_symbols = 0;  // soft values before the first whole puncturing period: 0 or 2
};

// Decoded bits re-encoded and compared with the symbols received.
struct ChannelErrors {
  uint64_t compared = 0;  // symbols not erased (0) and past the first steps
  uint64_t errors = 0;    // of those, the ones whose sign disagrees with the re-encoding
  double Rate() const { return compared ? static_cast<double>(errors) / compared : 1.0; }
};

// Undoes `phase`'s rotation and swap on count / 2 (I, Q) pairs in place (count even).
void UndoPhase(const QpskPhase& phase, int8_t* iq, size_t count);
// The same from `from` into `to` (the same buffer, or not overlapping it).
void UndoPhase(const QpskPhase& phase, const int8_t* from, int8_t* to, size_t count);

// Decodes `count` soft symbols as one block with `puncturing`, re-encodes the decoded bits and
// counts the symbols whose sign disagrees: the channel's bit error rate when the decoder is
// right; clearly more when the symbols are not this code (wrong phase, pattern or offset), though
// far from one half: the decoder still finds the nearest codeword (about 5 % on clean symbols).
// Decoded steps are compared as ReencodingCheck compares them (the first kSettleSteps are not).
ChannelErrors CountChannelErrors(const int8_t* symbols, size_t count,
                                 ViterbiDecoder::Puncturing puncturing);

// CountChannelErrors keeping what a decode of more symbols can go on from: `decoder` (reset first)
// holds every symbol, not flushed, and `bytes` (cleared first) what it handed out; the flush's
// bits are only looked at.
ChannelErrors DecodeAndCount(const int8_t* symbols, size_t count, ViterbiDecoder& decoder,
                             std::vector<uint8_t>& bytes);

struct PhaseCandidate {
  QpskPhase phase;
  ChannelErrors errors;
};

// One phase and period start tried on a block's first symbols, with what a decode of more of the
// block with it can go on from: the decoder holding every symbol tried (not flushed) and the
// bytes it had handed out by then.
struct PhaseTrial {
  PhaseCandidate candidate;
  size_t symbols = 0;  // symbols decoded: from skip_symbols on, whole (I, Q) pairs
  ViterbiDecoder decoder{ViterbiDecoder::Puncturing::kMetop};
  std::vector<uint8_t> bytes;
};

// Tries every phase and period start on a block of MetOp QPSK soft symbols (a few thousand are
// plenty) and returns all eight, fewest channel errors first. The right one cannot be told from
// one twin by errors alone: with MetOp's pattern Q always carries a G2 output, so mistaking a
// quarter turn for a swap (or the reverse) inverts every G2 symbol, and that stream is a
// codeword too (of the input xor a fixed periodic sequence). The first two candidates are such
// a pair, (r, swap) and (90 - r, not swap); the CADU markers in the decoded bits decide.
std::vector<PhaseCandidate> RankMetopPhases(const int8_t* iq, size_t count);

// The eight trials RankMetopPhases ranks, in the order tried (period start 0 then 2, rotation 0
// then 90, in order then swapped), into `trials` (whose storage is used again).
void TryMetopPhases(const int8_t* iq, size_t count, std::vector<PhaseTrial>& trials);

}  // namespace vantrel
