#include "sim/convolutional_encoder.h"

#include <algorithm>
#include <cmath>

namespace vantrel::sim {
namespace {

constexpr unsigned kTaps171 = 0171;
constexpr unsigned kTaps133 = 0133;
constexpr int kNewestBit = 6;
constexpr int kCodedPerPeriod = 6;

unsigned ParityOf(unsigned x) {
  unsigned p = 0;
  while (x != 0) {
    p ^= x & 1u;
    x >>= 1;
  }
  return p;
}

}  // namespace

void ConvolutionalEncoder::Encode(const std::vector<uint8_t>& bits, std::vector<uint8_t>& coded) {
  coded.reserve(coded.size() + 2 * bits.size());
  for (const uint8_t bit : bits) {
    delay_line_ = (delay_line_ >> 1) | (static_cast<unsigned>(bit & 1u) << kNewestBit);
    coded.push_back(static_cast<uint8_t>(ParityOf(delay_line_ & kTaps171)));
    coded.push_back(static_cast<uint8_t>(ParityOf(delay_line_ & kTaps133)));
  }
}

std::vector<uint8_t> Puncture(const std::vector<uint8_t>& coded, Puncture34 pattern) {
  std::vector<uint8_t> sent;
  sent.reserve(coded.size() / kCodedPerPeriod * 4);
  for (size_t i = 0; i + kCodedPerPeriod <= coded.size(); i += kCodedPerPeriod) {
    // coded[i..i+5] = 171(b1) 133(b1) 171(b2) 133(b2) 171(b3) 133(b3)
    sent.push_back(coded[i]);
    sent.push_back(coded[i + 1]);
    if (pattern == Puncture34::kMetop) {
      sent.push_back(coded[i + 4]);
      sent.push_back(coded[i + 3]);
    } else {
      sent.push_back(coded[i + 3]);
      sent.push_back(coded[i + 4]);
    }
  }
  return sent;
}

std::vector<uint8_t> UnpackBits(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> bits;
  bits.reserve(bytes.size() * 8);
  for (const uint8_t byte : bytes)
    for (int b = 7; b >= 0; --b) bits.push_back(static_cast<uint8_t>((byte >> b) & 1));
  return bits;
}

std::vector<int8_t> SoftSymbols(const std::vector<uint8_t>& coded, double amplitude,
                                double noise_sigma, std::mt19937& rng) {
  std::normal_distribution<double> noise(0.0, noise_sigma > 0 ? noise_sigma : 1.0);
  std::vector<int8_t> symbols;
  symbols.reserve(coded.size());
  for (const uint8_t bit : coded) {
    double value = bit ? amplitude : -amplitude;
    if (noise_sigma > 0) value += noise(rng);
    symbols.push_back(static_cast<int8_t>(std::clamp(std::lround(value), -127L, 127L)));
  }
  return symbols;
}

double NoiseSigma(double ebn0_db, double code_rate) {
  // Es/N0 = Eb/N0 x rate; with unit amplitude Es = 1 and sigma^2 = N0 / 2.
  const double esn0 = std::pow(10.0, ebn0_db / 10.0) * code_rate;
  return std::sqrt(1.0 / (2.0 * esn0));
}

}  // namespace vantrel::sim
