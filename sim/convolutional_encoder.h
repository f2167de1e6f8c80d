#pragma once

// The downlinks' convolutional code as the satellites apply it, for simulated soft-symbol
// passes and as the decoder's counterpart in tests: constraint length 7, rate 1/2, generators
// 171 and 133 octal (CCSDS 131.0-B), the first symbol of each pair from 171, neither inverted,
// and the two rate-3/4 puncturing patterns.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

namespace vantrel::sim {

class ConvolutionalEncoder {
 public:
  // Encodes `bits` (one per byte, 0 or 1) and appends two coded bits per input bit to `coded`
  // (171 first, then 133). The shift register carries over between calls; it starts all zero.
  void Encode(const std::vector<uint8_t>& bits, std::vector<uint8_t>& coded);
  void Reset() { delay_line_ = 0; }

 private:
  // The last seven input bits, the newest at bit 6 (the octal taps' most significant bit).
  unsigned delay_line_ = 0;
};

// Which four of the six coded bits of three input bits b1 b2 b3 rate 3/4 sends, in order.
//   kMetop:  171(b1) 133(b1) 171(b3) 133(b2)
//   kCommon: 171(b1) 133(b1) 133(b2) 171(b3)
enum class Puncture34 { kMetop, kCommon };

// Punctures rate-1/2 coded bits (a multiple of six; a shorter tail is dropped).
std::vector<uint8_t> Puncture(const std::vector<uint8_t>& coded, Puncture34 pattern);

// Packed bytes (most significant bit first) as one bit per byte.
std::vector<uint8_t> UnpackBits(const std::vector<uint8_t>& bytes);

// Soft symbols of coded bits: +amplitude for a one, -amplitude for a zero, plus Gaussian noise
// of the given standard deviation, rounded and clipped to -127..127.
std::vector<int8_t> SoftSymbols(const std::vector<uint8_t>& coded, double amplitude,
                                double noise_sigma, std::mt19937& rng);

// Noise standard deviation, in units of the symbol amplitude, for an energy per decoded bit
// over noise density of `ebn0_db` dB, with `code_rate` decoded bits per coded symbol (BPSK on
// each symbol: Es/N0 = rate x Eb/N0, sigma^2 = N0 / 2).
double NoiseSigma(double ebn0_db, double code_rate);

}  // namespace vantrel::sim
