// Decoded throughput of the Viterbi decoder (AVX2 and portable, rate 1/2 and MetOp's 3/4)
// beside libfec's viterbi27 on the same noisy symbols (Eb/N0 3 dB). The counter "Mbit/s" is
// decoded bits per second.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

extern "C" {
#include <fec.h>
}

#include "sim/convolutional_encoder.h"
#include "viterbi/viterbi_decoder.h"

namespace vantrel {
namespace {

constexpr size_t kBits = 1 << 20;
constexpr uint32_t kSeed = 20261209;
constexpr double kAmplitude = 100.0;
constexpr double kEbN0 = 3.0;

std::vector<uint8_t> CodedBits() {
  std::mt19937 rng(kSeed);
  std::vector<uint8_t> bits(kBits + 6, 0);
  for (size_t i = 0; i < kBits; ++i) bits[i] = static_cast<uint8_t>(rng() & 1u);
  sim::ConvolutionalEncoder encoder;
  std::vector<uint8_t> coded;
  encoder.Encode(bits, coded);
  return coded;
}

const std::vector<int8_t>& HalfRateSymbols() {
  static const std::vector<int8_t> symbols = [] {
    std::mt19937 rng(kSeed + 1);
    return sim::SoftSymbols(CodedBits(), kAmplitude, kAmplitude * sim::NoiseSigma(kEbN0, 0.5), rng);
  }();
  return symbols;
}

const std::vector<int8_t>& MetopSymbols() {
  static const std::vector<int8_t> symbols = [] {
    std::mt19937 rng(kSeed + 2);
    return sim::SoftSymbols(sim::Puncture(CodedBits(), sim::Puncture34::kMetop), kAmplitude,
                            kAmplitude * sim::NoiseSigma(kEbN0, 0.75), rng);
  }();
  return symbols;
}

void Report(benchmark::State& state, size_t bits_per_run) {
  state.counters["Mbit/s"] = benchmark::Counter(
      static_cast<double>(bits_per_run) * static_cast<double>(state.iterations()) / 1e6,
      benchmark::Counter::kIsRate);
}

void Ours(benchmark::State& state, ViterbiDecoder::Path path,
          ViterbiDecoder::Puncturing puncturing) {
  const std::vector<int8_t>& symbols =
      puncturing == ViterbiDecoder::Puncturing::kNone ? HalfRateSymbols() : MetopSymbols();
  ViterbiDecoder decoder(puncturing);
  if (!decoder.SelectPath(path)) {
    state.SkipWithError("no AVX2 on this processor");
    return;
  }
  std::vector<uint8_t> out;
  out.reserve(kBits / 8 + 64);
  size_t bits = 0;
  for (auto _ : state) {
    out.clear();
    decoder.Decode(symbols.data(), symbols.size(), out);
    bits = out.size() * 8 + decoder.Flush(out);
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, bits);
}

void BM_Avx2HalfRate(benchmark::State& state) {
  Ours(state, ViterbiDecoder::Path::kAvx2, ViterbiDecoder::Puncturing::kNone);
}
void BM_PortableHalfRate(benchmark::State& state) {
  Ours(state, ViterbiDecoder::Path::kPortable, ViterbiDecoder::Puncturing::kNone);
}
void BM_Avx2Metop34(benchmark::State& state) {
  Ours(state, ViterbiDecoder::Path::kAvx2, ViterbiDecoder::Puncturing::kMetop);
}
void BM_PortableMetop34(benchmark::State& state) {
  Ours(state, ViterbiDecoder::Path::kPortable, ViterbiDecoder::Puncturing::kMetop);
}

// libfec's viterbi27 (as Debian builds it: the portable code) on the same rate-1/2 symbols,
// whole block then chainback, as it is meant to be used.
void BM_LibfecViterbi27(benchmark::State& state) {
  const std::vector<int8_t>& symbols = HalfRateSymbols();
  std::vector<unsigned char> offset(symbols.size());
  for (size_t i = 0; i < symbols.size(); ++i)
    offset[i] = static_cast<unsigned char>(symbols[i] + 128);
  int polys[2] = {0x4F, 0x6D};
  set_viterbi27_polynomial(polys);
  void* vp = create_viterbi27(static_cast<int>(kBits));
  std::vector<uint8_t> out(kBits / 8);
  for (auto _ : state) {
    init_viterbi27(vp, 0);
    update_viterbi27_blk(vp, offset.data(), static_cast<int>(offset.size() / 2));
    chainback_viterbi27(vp, out.data(), static_cast<unsigned>(kBits), 0);
    benchmark::DoNotOptimize(out.data());
  }
  delete_viterbi27(vp);
  Report(state, kBits);
}

BENCHMARK(BM_Avx2HalfRate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PortableHalfRate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Avx2Metop34)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PortableMetop34)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LibfecViterbi27)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel
