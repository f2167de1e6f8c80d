#pragma once

// Soft symbols as an SDR demodulator writes them from each downlink: signed 8-bit values,
// positive = bit 1, about kSoftAmplitude for a clean symbol, no header.
//   kMetopQpsk:   the recording's bits convolutionally coded, punctured to 3/4 in MetOp's order
//                 and sent as QPSK: each symbol's I then Q.
//   kFy3Qpsk:     the recording's bits taken in pairs and differentially coded into a dibit
//                 (X, Y); X goes to I, Y to Q, each rail coded and punctured to 3/4 in the common
//                 order on its own; written as I then Q of each symbol.
//   kMeteorBpsk:  one value per recording bit (Manchester already removed), no code.
// Gaussian noise for a given Eb/N0 per recording bit; the carrier phase rotated by a multiple of
// 90 degrees and I and Q optionally exchanged, as a receiver's unknown phase leaves them.

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "sim/convolutional_encoder.h"
#include "sim/simulator.h"

namespace vantrel::sim {

inline constexpr double kSoftAmplitude = 100.0;

enum class SoftModulation { kMetopQpsk, kFy3Qpsk, kMeteorBpsk };

struct SoftOptions {
  SoftModulation modulation = SoftModulation::kMetopQpsk;
  double ebn0_db = NAN;  // NaN: no noise
  int rotation = 0;      // degrees: 0, 90, 180 or 270 (BPSK: 0 or 180)
  bool iq_swap = false;  // I and Q exchanged (QPSK only)
  uint64_t seed = 1;
};

// The differential dibit of FY-3 for the output pair (a, b) after the dibit `previous`: the one
// (X, Y) whose decoding with (X', Y') = previous gives (a, b), where decoding is
// X xor Y = 1: (Y' xor Y, X' xor X), else (X' xor X, Y' xor Y). Bit 1 = X, bit 0 = Y.
unsigned DifferentialDibit(unsigned previous, unsigned a, unsigned b);

// Turns recording bytes, in pieces of any size, into the rail bits (0/1) the downlink sends:
// QPSK one I and one Q bit per symbol, BPSK one bit per recording bit (on the I rail only). The
// code's state and an unfinished puncturing period carry over between calls. Shared by the soft
// symbols and the baseband modulator, so both send the same symbols.
class RailBitEncoder {
 public:
  explicit RailBitEncoder(SoftModulation modulation) : modulation_(modulation) {}
  // Appends the rail bits of the whole symbols these bytes complete to i_rail and q_rail.
  void Encode(const uint8_t* bytes, size_t size, std::vector<uint8_t>& i_rail,
              std::vector<uint8_t>& q_rail);
  // Completes the last puncturing period with zero bits and appends what is left.
  void Finish(std::vector<uint8_t>& i_rail, std::vector<uint8_t>& q_rail);
  SoftModulation modulation() const { return modulation_; }

 private:
  void ProcessBits(bool final, std::vector<uint8_t>& i_rail, std::vector<uint8_t>& q_rail);

  SoftModulation modulation_;
  ConvolutionalEncoder i_encoder_, q_encoder_;
  std::vector<uint8_t> pending_bits_;                       // not yet a whole period
  unsigned dibit_ = 0;                                      // FY-3: the previous differential dibit
  std::vector<uint8_t> coded_, x_rail_, y_rail_, y_coded_;  // scratch
};

// Turns recording bytes, in pieces of any size, into soft symbols for `sink`. Throws
// std::invalid_argument for a rotation or swap the modulation cannot have.
class SoftSymbolWriter {
 public:
  SoftSymbolWriter(const SoftOptions& options, ByteSink sink);
  void Write(const uint8_t* bytes, size_t size);
  // Completes the last puncturing period (zero bits) and hands out what is left.
  void Finish();
  uint64_t SymbolsWritten() const { return symbols_written_; }

 private:
  // Takes the rail values (0/1) of whole QPSK symbols or BPSK values and writes them noisy.
  void EmitQpsk(const std::vector<uint8_t>& i_rail, const std::vector<uint8_t>& q_rail);
  void EmitBpsk(const std::vector<uint8_t>& bits);
  void Emit();
  void Flush();
  int8_t Noisy(double value);

  SoftOptions options_;
  ByteSink sink_;
  std::mt19937_64 rng_;
  std::normal_distribution<double> noise_;
  double sigma_ = 0;
  RailBitEncoder rails_;
  std::vector<uint8_t> i_rail_, q_rail_;
  std::vector<int8_t> out_;
  uint64_t symbols_written_ = 0;
};

}  // namespace vantrel::sim
