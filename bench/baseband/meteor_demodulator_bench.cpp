// The Meteor-M N2 demodulator's speed in input samples per second at 3 Msps (real time is
// 3e6 samples/s): locked on a pass-like signal, and searching in noise. Beside it, the
// liquid-dsp blocks its own blocks stand in for, on the same samples: the AGC and the NCO with
// its PLL stepped per sample, against the block AGC and the sub-block derotating PLL.
#include <benchmark/benchmark.h>

#include <complex>
#include <cstdint>
#include <vector>

// liquid's C header wants <complex> first in C++.
#include <liquid/liquid.h>

#include "baseband/demodulator.h"
#include "baseband/meteor_demodulator.h"
#include "tests/baseband/meteor_test_signal.h"

namespace vantrel {
namespace {

constexpr double kSampleRate = 3e6;
constexpr size_t kPiece = 65536;

const std::vector<std::complex<float>>& PassSignal() {
  static const std::vector<std::complex<float>> samples = [] {
    testing::MeteorSignalParams params;
    params.carrier_offset_hz = 31000;
    params.carrier_drift_hz_per_s = 400;
    params.clock_error_ppm = 40;
    params.timing_offset_bits = 0.4;
    params.es_n0_db = 5;
    params.amplitude = 0.3;
    return testing::MakeMeteorSignal(params, testing::RandomBits(665400 / 2, 5));  // 0.5 s
  }();
  return samples;
}

const std::vector<std::complex<float>>& Noise() {
  static const std::vector<std::complex<float>> samples = [] {
    testing::MeteorSignalParams params;
    params.es_n0_db = 0;
    return testing::MakeMeteorSignal(params, {}, 1500000);
  }();
  return samples;
}

void RunDemodulator(benchmark::State& state, const std::vector<std::complex<float>>& samples) {
  DemodulatorConfig config;
  config.sample_rate = kSampleRate;
  config.symbol_rate = 665.4e3;
  std::vector<int8_t> out;
  out.reserve(samples.size());
  size_t written = 0;
  for (auto _ : state) {
    const auto demodulator = MakeMeteorDemodulator(config);
    out.clear();
    for (size_t at = 0; at < samples.size(); at += kPiece)
      demodulator->Process(samples.data() + at, std::min(kPiece, samples.size() - at), out);
    demodulator->Finish(out);
    written = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples.size()));
  state.counters["real_time_x"] =
      benchmark::Counter(static_cast<double>(state.iterations() * samples.size()) / kSampleRate,
                         benchmark::Counter::kIsRate);
  state.counters["values_per_sample"] =
      static_cast<double>(written) / static_cast<double>(samples.size());
}

void BM_MeteorDemodulatorLocked(benchmark::State& state) {
  RunDemodulator(state, PassSignal());
}
BENCHMARK(BM_MeteorDemodulatorLocked)->Unit(benchmark::kMillisecond);

void BM_MeteorDemodulatorSearchingNoise(benchmark::State& state) {
  RunDemodulator(state, Noise());
}
BENCHMARK(BM_MeteorDemodulatorSearchingNoise)->Unit(benchmark::kMillisecond);

// The carrier PLL alone: derotation, quadrature out, one loop update per 64 samples.
void BM_OwnCarrierPll(benchmark::State& state) {
  const auto& samples = PassSignal();
  std::vector<float> quadrature(samples.size());
  ResidualCarrierPll pll(kSampleRate, 200);
  for (auto _ : state) {
    pll.Reset(31000, 0, 0.36);
    pll.Process(samples.data(), samples.size(), quadrature.data());
    benchmark::DoNotOptimize(quadrature.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples.size()));
}
BENCHMARK(BM_OwnCarrierPll)->Unit(benchmark::kMillisecond);

// liquid-dsp's NCO as a carrier PLL, stepped per sample: mix down, phase error, loop, step.
void BM_LiquidNcoPllPerSample(benchmark::State& state) {
  const auto& samples = PassSignal();
  std::vector<float> quadrature(samples.size());
  nco_crcf nco = nco_crcf_create(LIQUID_NCO);
  nco_crcf_pll_set_bandwidth(nco, 200 / kSampleRate);
  for (auto _ : state) {
    nco_crcf_set_frequency(nco, static_cast<float>(2 * 3.14159265358979 * 31000 / kSampleRate));
    for (size_t i = 0; i < samples.size(); ++i) {
      liquid_float_complex y;
      nco_crcf_mix_down(nco, samples[i], &y);
      quadrature[i] = y.imag();
      nco_crcf_pll_step(nco, std::arg(y));
      nco_crcf_step(nco);
    }
    benchmark::DoNotOptimize(quadrature.data());
  }
  nco_crcf_destroy(nco);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples.size()));
}
BENCHMARK(BM_LiquidNcoPllPerSample)->Unit(benchmark::kMillisecond);

// liquid-dsp's mix-down of a whole block at a fixed frequency (no loop at all).
void BM_LiquidNcoMixBlock(benchmark::State& state) {
  const auto& samples = PassSignal();
  std::vector<std::complex<float>> in(samples), out(samples.size());
  nco_crcf nco = nco_crcf_create(LIQUID_NCO);
  nco_crcf_set_frequency(nco, static_cast<float>(2 * 3.14159265358979 * 31000 / kSampleRate));
  for (auto _ : state) {
    nco_crcf_mix_block_down(nco, in.data(), out.data(), static_cast<unsigned>(in.size()));
    benchmark::DoNotOptimize(out.data());
  }
  nco_crcf_destroy(nco);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples.size()));
}
BENCHMARK(BM_LiquidNcoMixBlock)->Unit(benchmark::kMillisecond);

// liquid-dsp's AGC over the samples (the demodulator levels each block by its measured power).
void BM_LiquidAgc(benchmark::State& state) {
  const auto& samples = PassSignal();
  std::vector<std::complex<float>> in(samples), out(samples.size());
  agc_crcf agc = agc_crcf_create();
  agc_crcf_set_bandwidth(agc, 1e-4f);
  for (auto _ : state) {
    agc_crcf_execute_block(agc, in.data(), static_cast<unsigned>(in.size()), out.data());
    benchmark::DoNotOptimize(out.data());
  }
  agc_crcf_destroy(agc);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples.size()));
}
BENCHMARK(BM_LiquidAgc)->Unit(benchmark::kMillisecond);

// The bit timing and matched filter alone, on the quadrature component.
void BM_OwnManchesterBitSync(benchmark::State& state) {
  const auto& samples = PassSignal();
  std::vector<float> quadrature(samples.size());
  for (size_t i = 0; i < samples.size(); ++i) quadrature[i] = samples[i].imag();
  std::vector<float> bits;
  ManchesterBitSync sync(kSampleRate, 665.4e3);
  for (auto _ : state) {
    sync.Reset();
    bits.clear();
    for (size_t at = 0; at < quadrature.size(); at += 32768)
      sync.Process(quadrature.data() + at, std::min<size_t>(32768, quadrature.size() - at), bits);
    benchmark::DoNotOptimize(bits.data());
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples.size()));
}
BENCHMARK(BM_OwnManchesterBitSync)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel
