// Speed of vantrel-sim --baseband on one core: output samples per second (items_per_second) of
// the modulators with everything a pass has switched on (Doppler, oscillator offset, clock error,
// noise following the pass, DC offset, I/Q imbalance), and of the sample file writer behind them.
// A 15-minute MetOp pass at 6 Msps is 5.4e9 samples.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "sim/baseband_modulator.h"
#include "sim/baseband_writer.h"

namespace vantrel::sim {
namespace {

constexpr size_t kRecordingBytes = 1 << 20;  // 8 Mbit: 2.4 s of MetOp, 12.6 s of Meteor-M N2
constexpr size_t kPiece = 1 << 16;           // bytes per Write, as the pass streams them

const std::vector<uint8_t>& Recording() {
  static const std::vector<uint8_t> bytes = [] {
    std::mt19937_64 rng(20181231);
    std::vector<uint8_t> b(kRecordingBytes);
    for (uint8_t& x : b) x = static_cast<uint8_t>(rng());
    return b;
  }();
  return bytes;
}

BasebandOptions PassOptions(SoftModulation modulation) {
  BasebandOptions o;
  o.modulation = modulation;
  const bool meteor = modulation == SoftModulation::kMeteorBpsk;
  o.symbol_rate = meteor ? kMn2DataRate : kMetopSymbolRate;
  o.sample_rate = meteor ? 3e6 : 6e6;
  o.clock_ppm = 40;
  o.doppler_hz = 40000;
  o.carrier_offset_hz = 25000;
  o.esn0_db = 8;
  o.esn0_horizon_db = -2;
  o.follow_pass = true;
  o.dc_i = 0.01;
  o.dc_q = -0.01;
  o.iq_gain_db = 0.5;
  o.iq_phase_deg = 2;
  return o;
}

void Modulate(benchmark::State& state, SoftModulation modulation, bool write_file) {
  const std::vector<uint8_t>& bytes = Recording();
  const BasebandTimeline timeline{8 * bytes.size(), 8 * bytes.size() / 10,
                                  8 * bytes.size() * 9 / 10};
  uint64_t samples = 0, sink_bytes = 0;
  for (auto _ : state) {
    const BasebandOptions options = PassOptions(modulation);
    BasebandModulator probe(options, timeline, [](const float*, size_t) {});
    SampleFileWriter file(SampleFileFormat::kWav, static_cast<uint32_t>(options.sample_rate),
                          probe.SampleCount(),
                          [&sink_bytes](const uint8_t*, size_t size) { sink_bytes += size; });
    BasebandModulator modulator(options, timeline, [&](const float* iq, size_t count) {
      if (write_file) file.Write(iq, count);
      benchmark::DoNotOptimize(iq[0]);
    });
    for (size_t at = 0; at < bytes.size(); at += kPiece)
      modulator.Write(bytes.data() + at, std::min(kPiece, bytes.size() - at));
    modulator.Finish();
    samples += modulator.SamplesWritten();
  }
  state.SetItemsProcessed(static_cast<int64_t>(samples));
  benchmark::DoNotOptimize(sink_bytes);
}

void BM_MetopBaseband(benchmark::State& state) {
  Modulate(state, SoftModulation::kMetopQpsk, false);
}
void BM_MetopBasebandToWav(benchmark::State& state) {
  Modulate(state, SoftModulation::kMetopQpsk, true);
}
void BM_Mn2Baseband(benchmark::State& state) {
  Modulate(state, SoftModulation::kMeteorBpsk, false);
}

void BM_GaussianNoise(benchmark::State& state) {
  GaussianNoise noise(1);
  float sum = 0;
  for (auto _ : state) {
    for (int k = 0; k < 4096; ++k) sum += noise.Next();
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 4096);
}

BENCHMARK(BM_MetopBaseband)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MetopBasebandToWav)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Mn2Baseband)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GaussianNoise);

}  // namespace
}  // namespace vantrel::sim
