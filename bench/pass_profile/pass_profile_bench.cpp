// Throughput of each chain on a realistic simulated 256 MiB pass (vantrel-sim --pass-profile:
// noise before rise and after set, a bit error rate of 2e-2 at the horizon falling to 1e-6 at the
// top, two bit slips, a phase flip, two dropouts of two CADUs), beside the clean-pass figures of
// the family benchmarks. Bytes per second are bytes of raw recording; the counters say what the
// pass report counted, so a run that lost its way shows.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/driver.h"
#include "bench/support/chain_bench.h"
#include "core/file_io.h"
#include "core/working_file.h"
#include "sim/simulator.h"

namespace vantrel {
namespace {

constexpr int64_t kRecordingTarget = int64_t{256} << 20;
constexpr uint64_t kSeed = 20181231;
// Two seconds of noise at each end, at the family's bit rate.
constexpr size_t kMetopNoise = 2 * 3500000 / 8;
constexpr size_t kFy3Noise = 2 * 4200000 / 8;
constexpr size_t kMn2Noise = 2 * 665400 / 8;

sim::Impairments Profile(size_t noise) {
  sim::Impairments impairments;
  impairments.noise_before = noise;
  impairments.noise_after = noise;
  impairments.profile.enabled = true;
  return impairments;
}

// One family's pass, simulated into a scratch folder that goes with it (the benchmarks run once,
// with a fixed number of iterations, so each recording is made once).
struct Pass {
  std::string name;
  std::function<void(BasicHost&)> prepare;
  std::unique_ptr<bench::ScratchFolder> folder;
  int64_t bytes = 0;
};

void RunChain(benchmark::State& state, Pass& pass) {
  bench::CpuTimes spent;
  PassCounts counts;
  for (auto _ : state) {
    bench::QuietHost host;
    host.input_path = WorkingPath(pass.name);
    pass.prepare(host);
    bench::CpuMeter meter(spent);
    ProcessRecording(host);
    meter.Stop();
    counts = host.chain.Counts;
    if (counts.product_lines == 0) state.SkipWithError("the pass gave no product");
  }
  bench::ReportRawRate(state, pass.bytes, spent);
  state.counters["cadus"] = static_cast<double>(counts.cadus);
  state.counters["uncorrectable"] = static_cast<double>(counts.rs_uncorrectable_frames);
  state.counters["sync_losses"] = static_cast<double>(counts.sync_losses);
  state.counters["product_lines"] = static_cast<double>(counts.product_lines);
}

void BM_MetopPassProfile(benchmark::State& state) {
  Pass pass = [] {
    Pass p{"MetopB_20181231_101530.bin", [](BasicHost& host) { host.settings.PNdecoding = true; },
           std::make_unique<bench::ScratchFolder>(), 0};
    sim::MetopOptions options;
    // 14.7 zones a packet, one idle VCDU after three data VCDUs.
    options.packets =
        static_cast<int>(kRecordingTarget / (sim::kAvhrrPacketSize * 1024 / 882 * 4 / 3));
    p.bytes = bench::MakeRecording(p.name, [&](sim::PassSinks& sinks) {
      sim::StreamMetopPass(options, {}, Profile(kMetopNoise), kSeed, sinks);
    });
    std::printf("MetOp-B pass profile: %d packets, %lld bytes\n", options.packets,
                static_cast<long long>(p.bytes));
    return p;
  }();
  RunChain(state, pass);
}

void BM_Fy3PassProfile(benchmark::State& state) {
  Pass pass = [] {
    Pass p{"FY3A_2010-05-12_052330.bin", [](BasicHost& host) { host.settings.PNdecoding = true; },
           std::make_unique<bench::ScratchFolder>(), 0};
    sim::Fy3Options options;
    // 29.5 zones a line, a VCDU of another channel after each.
    options.lines = static_cast<int>(kRecordingTarget / (sim::kFy3LineSize * 1024 / 882 * 2));
    p.bytes = bench::MakeRecording(p.name, [&](sim::PassSinks& sinks) {
      sim::StreamFy3Pass(options, {}, Profile(kFy3Noise), kSeed, sinks);
    });
    std::printf("FY-3A pass profile: %d lines, %lld bytes\n", options.lines,
                static_cast<long long>(p.bytes));
    return p;
  }();
  RunChain(state, pass);
}

void BM_Mn2PassProfile(benchmark::State& state) {
  Pass pass = [] {
    Pass p{"MN2_20181231_101530.bin", [](BasicHost&) {}, std::make_unique<bench::ScratchFolder>(),
           0};
    sim::Mn2Options options;
    // 948 line bytes a CADU; no Reed-Solomon, so a lower horizon error rate.
    options.lines = static_cast<int>(kRecordingTarget / 1024 * 948 / sim::kMn2LineSize);
    sim::Impairments impairments = Profile(kMn2Noise);
    impairments.profile.ber_horizon = 3e-3;
    p.bytes = bench::MakeRecording(p.name, [&](sim::PassSinks& sinks) {
      sim::StreamMn2Pass(options, impairments, kSeed, sinks);
    });
    std::printf("Meteor-M N2 pass profile: %d lines, %lld bytes\n", options.lines,
                static_cast<long long>(p.bytes));
    return p;
  }();
  RunChain(state, pass);
}

// Frames a bit slip or a phase flip costs the CADU layer: a pass of random VCDUs without bit
// errors, with only slips or only flips, through the MetOp chain; the frames whose truth is not in
// cadu.pds are lost. The frame the event lands in is always lost (no decoder can recover it); the
// counters give the lost frames per event with it, and the frames beyond it.
void FramesLostPerEvent(benchmark::State& state, bool flips) {
  constexpr size_t kFrames = 3000;
  constexpr int kEvents = 20;
  bench::ScratchFolder folder;
  sim::Impairments impairments;
  impairments.noise_before = 5000;
  impairments.noise_after = 5000;
  impairments.profile.enabled = true;
  impairments.profile.ber_horizon = 0;
  impairments.profile.ber_top = 0;
  impairments.profile.dropouts = 0;
  impairments.profile.slips = flips ? 0 : kEvents;
  impairments.profile.phase_flips = flips ? kEvents : 0;
  const std::string name = "MetopB_20181231_101530.bin";
  std::vector<std::vector<uint8_t>> truth;
  const int64_t bytes = bench::MakeRecording(name, [&](sim::PassSinks& sinks) {
    sinks.frame = [&](const uint8_t* frame) { truth.emplace_back(frame, frame + 1020); };
    sim::StreamCaduPass(kFrames, {}, impairments, kSeed, false, sinks);
  });
  double lost = 0;
  for (auto _ : state) {
    bench::QuietHost host;
    host.input_path = WorkingPath(name);
    host.settings.PNdecoding = true;
    host.settings.DFiles = false;
    ProcessRecording(host);
    InputFile cadu;
    if (!cadu.Open(WorkingPath(WorkingFile::kCaduPds))) std::abort();
    std::vector<uint8_t> record(1020);
    size_t next = 0, found = 0;
    while (cadu.ReadRecord(record.data(), record.size())) {
      size_t f = next;
      while (f < truth.size() && truth[f] != record) ++f;
      if (f == truth.size()) continue;
      ++found;
      next = f + 1;
    }
    lost = static_cast<double>(truth.size() - found);
  }
  state.SetBytesProcessed(state.iterations() * bytes);
  state.counters["lost_per_event"] = lost / kEvents;
  state.counters["lost_beyond_its_frame"] = (lost - kEvents) / kEvents;
}
void BM_FramesLostPerSlip(benchmark::State& state) {
  FramesLostPerEvent(state, false);
}
void BM_FramesLostPerFlip(benchmark::State& state) {
  FramesLostPerEvent(state, true);
}
BENCHMARK(BM_FramesLostPerSlip)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_FramesLostPerFlip)->Unit(benchmark::kMillisecond)->Iterations(1);

BENCHMARK(BM_MetopPassProfile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Fy3PassProfile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Mn2PassProfile)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace
}  // namespace vantrel
