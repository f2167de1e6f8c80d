// The satellite search that --satellite auto runs before the chain: the worst case is a
// recording without frames (every bit position tried at both polarities over the whole scan),
// the usual one a pass whose frames start after some noise.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "app/satellite_scan.h"
#include "sim/simulator.h"

namespace vantrel {
namespace {

void BM_ScanNoise(benchmark::State& state) {
  std::vector<uint8_t> noise(kSatelliteScanBytes);
  std::mt19937_64 random(1);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  for (auto _ : state) benchmark::DoNotOptimize(ScanForSatellite(noise, false).satellite);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * noise.size()));
}
BENCHMARK(BM_ScanNoise)->Unit(benchmark::kMillisecond);

void BM_ScanMetopPass(benchmark::State& state) {
  sim::MetopOptions options;
  options.packets = 60;
  sim::Impairments impairments;
  impairments.noise_before = 875000;  // two seconds at 3.5 Mbit/s before the satellite rises
  impairments.bit_shift = 5;
  const sim::MetopPass pass = sim::MakeMetopPass(options, sim::CaduEncoding{}, impairments, 1);
  for (auto _ : state)
    benchmark::DoNotOptimize(ScanForSatellite(pass.recording.bytes, false).satellite);
}
BENCHMARK(BM_ScanMetopPass)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel
