// Throughput of soft-symbol recordings: a simulated MetOp pass of about 128 MiB of QPSK soft
// symbols (Eb/N0 5 dB, a quarter turn, I and Q swapped) through the soft-symbol stage alone and
// through the whole chain to the .hpt. Counters: soft values read per second (raw_rate, bytes:
// one value a byte) and decoded Mbit/s.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/driver.h"
#include "app/run_session.h"
#include "bench/support/chain_bench.h"
#include "core/satellite.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "sim/soft_symbols.h"
#include "sync/soft_symbol_stage.h"

namespace vantrel {
namespace {

constexpr const char* kRecordingName = "MetopB_20181231_101530.soft";
constexpr uint64_t kSeed = 20181231;
constexpr int kPackets = 600;  // about 12 MiB of hard bits, 128 MiB of soft symbols

struct Workspace {
  bench::ScratchFolder folder;
  int64_t recording_bytes = 0;

  Workspace() {
    sim::MetopOptions options;
    options.packets = kPackets;
    sim::SoftOptions soft;
    soft.ebn0_db = 5.0;
    soft.rotation = 90;
    soft.iq_swap = true;
    soft.seed = kSeed;
    recording_bytes = bench::MakeRecording(kRecordingName, [&](sim::PassSinks& sinks) {
      sim::SoftSymbolWriter writer(soft, sinks.recording);
      sinks.recording = [&writer](const uint8_t* data, size_t size) { writer.Write(data, size); };
      sim::StreamMetopPass(options, sim::CaduEncoding{}, sim::Impairments{}, kSeed, sinks);
      writer.Finish();
    });
  }
};

Workspace& Space() {
  static Workspace space;
  return space;
}

void Prepare(BasicHost& host) {
  host.input_path = WorkingPath(kRecordingName);
  host.settings.PNdecoding = true;
}

void Report(benchmark::State& state, const bench::CpuTimes& spent, uint64_t decoded_bits) {
  bench::ReportRawRate(state, Space().recording_bytes, spent);
  state.counters["Mbit/s"] = benchmark::Counter(
      static_cast<double>(decoded_bits) * static_cast<double>(state.iterations()) / 1e6,
      benchmark::Counter::kIsRate);
}

void BM_SoftSymbolStage(benchmark::State& state) {
  Space();
  bench::CpuTimes spent;
  uint64_t bits = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench::RemoveOutput(WorkingFile::kSoftBits);
    bench::QuietHost host;
    Prepare(host);
    OwnedRunSession session(host);
    session.session().satellite = SatelliteByOption("metop-b");
    state.ResumeTiming();
    bench::CpuMeter meter(spent);
    SoftSymbolStage(host);
    meter.Stop();
    bits = static_cast<uint64_t>(host.chain.Counts.soft->bits);
  }
  Report(state, spent, bits);
}
BENCHMARK(BM_SoftSymbolStage)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_MetopSoftChain(benchmark::State& state) {
  Space();
  bench::CpuTimes spent;
  uint64_t bits = 0;
  for (auto _ : state) {
    state.PauseTiming();
    bench::QuietHost host;
    Prepare(host);
    state.ResumeTiming();
    bench::CpuMeter meter(spent);
    ProcessRecording(host);
    meter.Stop();
    if (host.chain.LastLineCount != kPackets) state.SkipWithError("the chain lost lines");
    bits = static_cast<uint64_t>(host.chain.Counts.soft->bits);
  }
  Report(state, spent, bits);
}
BENCHMARK(BM_MetopSoftChain)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace vantrel
