// The QPSK demodulator's speed in input samples per second on one core, MetOp at 6 Msps
// (2.3333 Msym/s, 2.571 samples per symbol; real time is 6e6 samples/s), and its blocks beside
// the liquid-dsp blocks that do the same work:
//   QpskDemodulatorLocked      the whole demodulator on a signal (Es/N0 8 dB): what a pass costs
//   QpskDemodulatorSearching   on noise alone: the fourth-power search on every block
//   SymbolTimingRecovery       our polyphase matched filter and Gardner loop, any rate
//   LiquidResampSymsync        liquid's way to the same at 2.571 samples per symbol: resamp_crcf
//                              to 2 samples per symbol, then symsync_crcf (integer rates only)
//   LiquidSymsync              symsync_crcf alone at 2 samples per symbol (input samples/s)
//   LiquidFirfiltRrc, LiquidAgc, LiquidNcoMix   the standard blocks, per sample
#include <benchmark/benchmark.h>

#include <complex>
// liquid's C header after <complex>: its complex types are then std::complex<float>.
#include <liquid/liquid.h>

#include <cstdint>
#include <vector>

#include "baseband/carrier_search.h"
#include "baseband/qpsk_demodulator.h"
#include "tests/baseband/qpsk_test_signal.h"

namespace vantrel {
namespace {

constexpr double kSampleRate = 6e6;
constexpr double kSymbolRate = 2.3333e6;

const std::vector<std::complex<float>>& Signal() {
  static const std::vector<std::complex<float>> samples = [] {
    QpskTestSignal config;
    config.symbols = 1200000;  // about 3.1 M samples, 0.51 s
    config.timing_offset = 0.4;
    config.clock_ppm = 30;
    config.carrier_hz = 21000;
    config.drift_hz_per_s = 400;
    config.es_n0_db = 8;
    return MakeQpskTestSignal(config).samples;
  }();
  return samples;
}

void SetSamples(benchmark::State& state, size_t samples) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * samples));
  state.counters["x_real_time"] = benchmark::Counter(
      static_cast<double>(state.iterations() * samples) / kSampleRate, benchmark::Counter::kIsRate);
}

void QpskDemodulatorLocked(benchmark::State& state) {
  const auto& samples = Signal();
  DemodulatorConfig config;
  config.sample_rate = kSampleRate;
  config.symbol_rate = kSymbolRate;
  std::vector<int8_t> soft;
  soft.reserve(samples.size());
  uint64_t symbols = 0;
  for (auto _ : state) {
    auto demodulator = MakeQpskDemodulator(config);
    soft.clear();
    for (size_t at = 0; at < samples.size(); at += 65536)
      demodulator->Process(samples.data() + at, std::min<size_t>(65536, samples.size() - at), soft);
    demodulator->Finish(soft);
    symbols = demodulator->Summary().symbols;
    benchmark::DoNotOptimize(soft.data());
  }
  state.counters["symbols"] = static_cast<double>(symbols);
  SetSamples(state, samples.size());
}
BENCHMARK(QpskDemodulatorLocked)->Unit(benchmark::kMillisecond);

void QpskDemodulatorSearching(benchmark::State& state) {
  const auto noise = MakeNoise(size_t{1} << 21, 1.0, 5);
  DemodulatorConfig config;
  config.sample_rate = kSampleRate;
  config.symbol_rate = kSymbolRate;
  std::vector<int8_t> soft;
  for (auto _ : state) {
    auto demodulator = MakeQpskDemodulator(config);
    demodulator->Process(noise.data(), noise.size(), soft);
    benchmark::DoNotOptimize(soft.data());
  }
  SetSamples(state, noise.size());
}
BENCHMARK(QpskDemodulatorSearching)->Unit(benchmark::kMillisecond);

void CarrierSearchBlock(benchmark::State& state) {
  const auto noise = MakeNoise(65536, 1.0, 6);
  CarrierSearch search(65536, kSampleRate, 4, 60000);
  for (auto _ : state) benchmark::DoNotOptimize(search.Find(noise.data(), noise.size()));
  SetSamples(state, noise.size());
}
BENCHMARK(CarrierSearchBlock)->Unit(benchmark::kMicrosecond);

void SymbolTimingRecoveryBench(benchmark::State& state) {
  const auto& samples = Signal();
  std::vector<std::complex<float>> symbols;
  symbols.reserve(samples.size());
  for (auto _ : state) {
    SymbolTimingRecovery timing(kSampleRate / kSymbolRate, 0.5);
    symbols.clear();
    for (size_t at = 0; at < samples.size(); at += 65536)
      timing.Process(samples.data() + at, std::min<size_t>(65536, samples.size() - at), symbols);
    benchmark::DoNotOptimize(symbols.data());
  }
  SetSamples(state, samples.size());
}
BENCHMARK(SymbolTimingRecoveryBench)->Name("SymbolTimingRecovery")->Unit(benchmark::kMillisecond);

void LiquidResampSymsync(benchmark::State& state) {
  const auto& samples = Signal();
  const float rate = static_cast<float>(2 * kSymbolRate / kSampleRate);
  std::vector<std::complex<float>> resampled(samples.size() + 64), symbols(samples.size());
  for (auto _ : state) {
    resamp_crcf resamp = resamp_crcf_create(rate, 13, 0.45f, 60.0f, 64);
    symsync_crcf sync = symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, 2, 4, 0.5f, 32);
    symsync_crcf_set_lf_bw(sync, 0.01f);
    size_t made_symbols = 0;
    for (size_t at = 0; at < samples.size(); at += 8192) {
      const unsigned count = static_cast<unsigned>(std::min<size_t>(8192, samples.size() - at));
      unsigned resampled_count = 0, symbol_count = 0;
      resamp_crcf_execute_block(resamp, const_cast<std::complex<float>*>(samples.data() + at),
                                count, resampled.data(), &resampled_count);
      symsync_crcf_execute(sync, resampled.data(), resampled_count, symbols.data(), &symbol_count);
      made_symbols += symbol_count;
    }
    benchmark::DoNotOptimize(made_symbols);
    resamp_crcf_destroy(resamp);
    symsync_crcf_destroy(sync);
  }
  SetSamples(state, samples.size());
}
BENCHMARK(LiquidResampSymsync)->Unit(benchmark::kMillisecond);

void LiquidSymsync(benchmark::State& state) {
  const auto& samples = Signal();  // timing is wrong for 2 samples per symbol, the work is not
  std::vector<std::complex<float>> symbols(samples.size());
  for (auto _ : state) {
    symsync_crcf sync = symsync_crcf_create_rnyquist(LIQUID_FIRFILT_RRC, 2, 4, 0.5f, 32);
    unsigned count = 0;
    symsync_crcf_execute(sync, const_cast<std::complex<float>*>(samples.data()),
                         static_cast<unsigned>(samples.size()), symbols.data(), &count);
    benchmark::DoNotOptimize(count);
    symsync_crcf_destroy(sync);
  }
  SetSamples(state, samples.size());
}
BENCHMARK(LiquidSymsync)->Unit(benchmark::kMillisecond);

void LiquidFirfiltRrc(benchmark::State& state) {
  const auto& samples = Signal();
  std::vector<std::complex<float>> out(samples.size());
  // 2.571 samples per symbol has no integer design: the length a +-4 symbol pulse takes.
  std::vector<float> taps(23, 0.1f);
  for (auto _ : state) {
    firfilt_crcf filter = firfilt_crcf_create(taps.data(), static_cast<unsigned>(taps.size()));
    firfilt_crcf_execute_block(filter, const_cast<std::complex<float>*>(samples.data()),
                               static_cast<unsigned>(samples.size()), out.data());
    benchmark::DoNotOptimize(out.data());
    firfilt_crcf_destroy(filter);
  }
  SetSamples(state, samples.size());
}
BENCHMARK(LiquidFirfiltRrc)->Unit(benchmark::kMillisecond);

void LiquidAgc(benchmark::State& state) {
  const auto& samples = Signal();
  std::vector<std::complex<float>> out(samples.size());
  for (auto _ : state) {
    agc_crcf agc = agc_crcf_create();
    agc_crcf_set_bandwidth(agc, 1e-4f);
    agc_crcf_execute_block(agc, const_cast<std::complex<float>*>(samples.data()),
                           static_cast<unsigned>(samples.size()), out.data());
    benchmark::DoNotOptimize(out.data());
    agc_crcf_destroy(agc);
  }
  SetSamples(state, samples.size());
}
BENCHMARK(LiquidAgc)->Unit(benchmark::kMillisecond);

void LiquidNcoMix(benchmark::State& state) {
  const auto& samples = Signal();
  std::vector<std::complex<float>> out(samples.size());
  for (auto _ : state) {
    nco_crcf nco = nco_crcf_create(LIQUID_NCO);
    nco_crcf_set_frequency(nco, 0.02f);
    nco_crcf_mix_block_down(nco, const_cast<std::complex<float>*>(samples.data()), out.data(),
                            static_cast<unsigned>(samples.size()));
    benchmark::DoNotOptimize(out.data());
    nco_crcf_destroy(nco);
  }
  SetSamples(state, samples.size());
}
BENCHMARK(LiquidNcoMix)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel
