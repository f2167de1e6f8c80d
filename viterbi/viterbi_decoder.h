#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

// Soft-decision Viterbi decoder for the CCSDS convolutional code (TM Synchronization and Channel
// Coding, CCSDS 131.0-B): constraint length 7, rate 1/2, generators G1 = 0x4F then G2 = 0x6D
// with bit 0 the newest input bit (171 and 133 octal), neither output inverted; optionally
// depunctured from rate 3/4. Streaming: symbols go in in pieces of any size, decoded bits come
// out a bounded traceback later, memory stays constant (the object, about 20 KiB, holds it
// all). Not thread-safe; one object per stream.
class ViterbiDecoder {
 public:
  // How the received symbols map onto the encoder's outputs. Per three input bits b1 b2 b3,
  // rate 3/4 sends four of the six outputs:
  //   kMetop:  G1(b1) G2(b1) G1(b3) G2(b2)
  //   kCommon: G1(b1) G2(b1) G2(b2) G1(b3)
  // The symbols not sent are decoded as erasures.
  enum class Puncturing { kNone, kMetop, kCommon };
  // Add-compare-select code. Both give identical output.
  enum class Path { kPortable, kAvx2 };

  // Decisions a decoded bit waits for before it is traced back (the survivor memory depth).
  static constexpr int kTracebackDepth = 128;
  // Bits decoded by one traceback once the depth is reached (a multiple of 8).
  static constexpr int kChunkBits = 2048;
  // The code's generators, bit 0 the newest input bit (CCSDS 131.0-B: 171 and 133 octal, first
  // tap = newest bit), and its constraint length.
  static constexpr unsigned kGenerator1 = 0x4F;
  static constexpr unsigned kGenerator2 = 0x6D;
  static constexpr int kConstraintLength = 7;
  // Input symbols per puncturing period and the decoded bits they carry.
  static constexpr int kPunctureSymbols = 4;
  static constexpr int kPunctureBits = 3;

  explicit ViterbiDecoder(Puncturing puncturing = Puncturing::kNone);

  // Forgets every symbol and decision: the next symbol is the first of a stream (and of a
  // puncturing period), every encoder state equally likely.
  void Reset();

  // Takes `count` soft symbols (sign: the bit, positive = 1; magnitude: confidence; 0 =
  // unknown) and appends the bits decoded so far to `out`, packed most significant bit first,
  // whole bytes only. Symbols left over from a pair or a puncturing period are kept for the
  // next call. Output lags input by at most kTracebackDepth + kChunkBits bits. `symbols` must
  // not point into `out`. Returns the number of bytes appended.
  size_t Decode(const int8_t* symbols, size_t count, std::vector<uint8_t>& out);

  // Ends the stream: traces back from the likeliest state and appends every bit not yet
  // written, the last byte padded with zero bits. Symbols of an incomplete pair or period are
  // dropped. The decoder is Reset afterwards. Returns the number of bits appended (not padding).
  size_t Flush(std::vector<uint8_t>& out);

  // Appends what Flush would append now, and leaves the stream as it is: more symbols may follow.
  // Returns the number of bits appended (not padding).
  size_t Peek(std::vector<uint8_t>& out) const;

  Puncturing puncturing() const { return puncturing_; }

  // Decoded bits appended since the last Reset, padding not counted.
  uint64_t BitsOut() const { return bits_out_; }

  // The path in use: AVX2 when the processor has it, unless a test chose another.
  Path ActivePath() const { return path_; }
  // Chooses the path; false (and no change) when the processor lacks AVX2 for kAvx2.
  bool SelectPath(Path path);
  static bool Avx2Available();

 private:
  static constexpr int kStates = 64;
  static constexpr int kWindow = kTracebackDepth + kChunkBits;
  // Decoded steps depunctured and run through add-compare-select at a time.
  static constexpr int kBatchSteps = 1024;

  // Turns the pending and new rate-3/4 symbols into (G1, G2) pairs, one per decoder step;
  // returns the number of steps written to pairs_ and consumes what it used of symbols.
  int Depuncture(const int8_t*& symbols, size_t& count);
  // `periods` whole periods of symbols as (G1, G2) pairs, 0 where nothing was sent.
  void DepunctureInto(const int8_t* symbols, size_t periods, int8_t* pairs) const;
  // Runs `steps` (G1, G2) pairs through the trellis, decisions appended to decisions_.
  void Advance(const int8_t* pairs, int steps);
  // Advance, tracing back whenever the window is full.
  void Run(const int8_t* pairs, int steps, std::vector<uint8_t>& out);
  // Traces back from the likeliest state over the whole window and writes the oldest `bits`
  // decisions' bits to bytes[0 ...] (a last part of a byte padded with zero bits).
  void Trace(int bits, uint8_t* bytes) const;
  // Trace, appended to out; the decisions traced out are let go.
  void TraceBack(int bits, std::vector<uint8_t>& out);
  // Subtracts the largest metric from every metric (portable path; AVX2 does it in registers).
  void Renormalize();

  Puncturing puncturing_;
  Path path_ = Path::kPortable;
  // Path metric of every state (state = the six newest input bits, bit 0 the newest): larger is
  // likelier. The largest is brought back to 0 every 32 steps, which keeps all inside int16_t.
  alignas(32) std::array<int16_t, kStates> metrics_{};
  // One 64-bit word per decoded step: bit s set when state s was reached from its upper
  // predecessor (s >> 1) | 32 rather than s >> 1.
  std::array<uint64_t, kWindow> decisions_{};
  int decided_ = 0;  // steps in decisions_
  int steps_since_renormalize_ = 0;
  // Symbols waiting for the rest of their pair or puncturing period.
  std::array<int8_t, kPunctureSymbols> pending_{};
  int pending_count_ = 0;
  // Depunctured (G1, G2) pairs of one batch.
  std::array<int8_t, 2 * kBatchSteps> pairs_{};
  uint64_t bits_out_ = 0;
};

}  // namespace vantrel
