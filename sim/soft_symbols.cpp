#include "sim/soft_symbols.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace vantrel::sim {
namespace {

constexpr size_t kOutBuffer = 1 << 16;
// Rate 3/4: three input bits make four sent symbols.
constexpr size_t kPeriodBits = 3;
constexpr double kPuncturedRate = 0.75;
constexpr double kUncodedRate = 1.0;

}  // namespace

unsigned DifferentialDibit(unsigned previous, unsigned a, unsigned b) {
  const unsigned x_prev = previous >> 1 & 1u, y_prev = previous & 1u;
  for (unsigned dibit = 0; dibit < 4; ++dibit) {
    const unsigned x = dibit >> 1, y = dibit & 1u;
    const unsigned out_a = (x ^ y) ? (y_prev ^ y) : (x_prev ^ x);
    const unsigned out_b = (x ^ y) ? (x_prev ^ x) : (y_prev ^ y);
    if (out_a == a && out_b == b) return dibit;
  }
  return 0;  // not reached: the four dibits give the four pairs
}

void RailBitEncoder::ProcessBits(bool final, std::vector<uint8_t>& i_rail,
                                 std::vector<uint8_t>& q_rail) {
  std::vector<uint8_t>& bits = pending_bits_;
  switch (modulation_) {
    case SoftModulation::kMeteorBpsk:
      i_rail.insert(i_rail.end(), bits.begin(), bits.end());
      bits.clear();
      return;
    case SoftModulation::kMetopQpsk: {
      if (final) bits.resize((bits.size() + kPeriodBits - 1) / kPeriodBits * kPeriodBits, 0);
      const size_t whole = bits.size() / kPeriodBits * kPeriodBits;
      coded_.clear();
      i_encoder_.Encode({bits.begin(), bits.begin() + static_cast<long>(whole)}, coded_);
      bits.erase(bits.begin(), bits.begin() + static_cast<long>(whole));
      // The punctured stream is I, Q, I, Q, ...
      const std::vector<uint8_t> sent = Puncture(coded_, Puncture34::kMetop);
      for (size_t k = 0; k + 1 < sent.size(); k += 2) {
        i_rail.push_back(sent[k]);
        q_rail.push_back(sent[k + 1]);
      }
      return;
    }
    case SoftModulation::kFy3Qpsk: {
      // Three dibits per period of each rail.
      constexpr size_t kDibitPeriod = 2 * kPeriodBits;
      if (final) bits.resize((bits.size() + kDibitPeriod - 1) / kDibitPeriod * kDibitPeriod, 0);
      const size_t whole = bits.size() / kDibitPeriod * kDibitPeriod;
      x_rail_.clear();
      y_rail_.clear();
      for (size_t k = 0; k < whole; k += 2) {
        dibit_ = DifferentialDibit(dibit_, bits[k], bits[k + 1]);
        x_rail_.push_back(static_cast<uint8_t>(dibit_ >> 1));
        y_rail_.push_back(static_cast<uint8_t>(dibit_ & 1u));
      }
      bits.erase(bits.begin(), bits.begin() + static_cast<long>(whole));
      coded_.clear();
      y_coded_.clear();
      i_encoder_.Encode(x_rail_, coded_);
      q_encoder_.Encode(y_rail_, y_coded_);
      const std::vector<uint8_t> x_sent = Puncture(coded_, Puncture34::kCommon);
      const std::vector<uint8_t> y_sent = Puncture(y_coded_, Puncture34::kCommon);
      i_rail.insert(i_rail.end(), x_sent.begin(), x_sent.end());
      q_rail.insert(q_rail.end(), y_sent.begin(), y_sent.end());
      return;
    }
  }
}

void RailBitEncoder::Encode(const uint8_t* bytes, size_t size, std::vector<uint8_t>& i_rail,
                            std::vector<uint8_t>& q_rail) {
  for (size_t k = 0; k < size; ++k)
    for (int b = 7; b >= 0; --b) pending_bits_.push_back(static_cast<uint8_t>(bytes[k] >> b & 1));
  ProcessBits(false, i_rail, q_rail);
}

void RailBitEncoder::Finish(std::vector<uint8_t>& i_rail, std::vector<uint8_t>& q_rail) {
  ProcessBits(true, i_rail, q_rail);
}

SoftSymbolWriter::SoftSymbolWriter(const SoftOptions& options, ByteSink sink)
    : options_(options), sink_(std::move(sink)), rng_(options.seed), rails_(options.modulation) {
  const bool bpsk = options.modulation == SoftModulation::kMeteorBpsk;
  const int r = options.rotation;
  if (r != 0 && r != 90 && r != 180 && r != 270)
    throw std::invalid_argument("the phase rotation must be 0, 90, 180 or 270 degrees");
  if (bpsk && (r == 90 || r == 270 || options.iq_swap))
    throw std::invalid_argument("BPSK soft symbols have one rail: rotation 0 or 180, no I/Q swap");
  if (!std::isnan(options.ebn0_db))
    sigma_ = kSoftAmplitude * NoiseSigma(options.ebn0_db, bpsk ? kUncodedRate : kPuncturedRate);
  out_.reserve(kOutBuffer + 16);
}

int8_t SoftSymbolWriter::Noisy(double value) {
  if (sigma_ > 0) value += sigma_ * noise_(rng_);
  return static_cast<int8_t>(std::clamp(std::lround(value), -127L, 127L));
}

void SoftSymbolWriter::EmitQpsk(const std::vector<uint8_t>& i_rail,
                                const std::vector<uint8_t>& q_rail) {
  for (size_t k = 0; k < i_rail.size(); ++k) {
    double i = i_rail[k] ? kSoftAmplitude : -kSoftAmplitude;
    double q = q_rail[k] ? kSoftAmplitude : -kSoftAmplitude;
    // Counter-clockwise by the rotation, then I and Q exchanged.
    for (int turn = 0; turn < options_.rotation / 90; ++turn) {
      const double turned = -q;
      q = i;
      i = turned;
    }
    if (options_.iq_swap) std::swap(i, q);
    out_.push_back(Noisy(i));
    out_.push_back(Noisy(q));
  }
  symbols_written_ += 2 * i_rail.size();
  if (out_.size() >= kOutBuffer) Flush();
}

void SoftSymbolWriter::EmitBpsk(const std::vector<uint8_t>& bits) {
  const bool inverted = options_.rotation == 180;
  for (const uint8_t bit : bits)
    out_.push_back(Noisy((bit != 0) != inverted ? kSoftAmplitude : -kSoftAmplitude));
  symbols_written_ += bits.size();
  if (out_.size() >= kOutBuffer) Flush();
}

void SoftSymbolWriter::Emit() {
  if (options_.modulation == SoftModulation::kMeteorBpsk)
    EmitBpsk(i_rail_);
  else
    EmitQpsk(i_rail_, q_rail_);
  i_rail_.clear();
  q_rail_.clear();
}

void SoftSymbolWriter::Flush() {
  if (out_.empty()) return;
  sink_(reinterpret_cast<const uint8_t*>(out_.data()), out_.size());
  out_.clear();
}

void SoftSymbolWriter::Write(const uint8_t* bytes, size_t size) {
  rails_.Encode(bytes, size, i_rail_, q_rail_);
  Emit();
}

void SoftSymbolWriter::Finish() {
  rails_.Finish(i_rail_, q_rail_);
  Emit();
  Flush();
}

}  // namespace vantrel::sim
