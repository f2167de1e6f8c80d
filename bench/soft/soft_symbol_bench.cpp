// Throughput of soft-symbol recordings. Counters: soft values read per second (bytes_per_second:
// one value a byte), processor time per run, and for the locked pass decoded Mbit/s.
//   BM_SoftSymbolStage, BM_MetopSoftChain: a simulated MetOp pass of about 128 MiB of QPSK soft
//     symbols (Eb/N0 5 dB, a quarter turn, I and Q swapped), locked from the first block, through
//     the soft-symbol stage alone and through the whole chain to the .hpt.
//   BM_SoftStageNoLock/<family>/<content>: the stage on a recording where it never locks, as a
//     station's file is for minutes before and after the pass (each run ends with the stage's
//     "no lock" reason):
//       noise    what a demodulator gives with no signal: Gaussian values (sigma 40, clipped);
//       zeros    silence: every value 0 (no information);
//       carrier  a carrier without modulation, held at one constellation point, with noise;
//       coded    a carrier modulated by coded random data that holds no frame (what the simulator
//                writes as noise before a pass).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/driver.h"
#include "app/run_session.h"
#include "bench/support/chain_bench.h"
#include "core/satellite.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "sim/soft_symbols.h"
#include "sync/soft_symbol_stage.h"

namespace vantrel {
namespace {

constexpr const char* kRecordingName = "MetopB_20181231_101530.soft";
constexpr uint64_t kSeed = 20181231;
constexpr int kPackets = 600;  // about 12 MiB of hard bits, 128 MiB of soft symbols

// The working folder of every recording here, made the current folder once.
void Folder() {
  static bench::ScratchFolder folder;
}

struct Workspace {
  int64_t recording_bytes = 0;

  Workspace() {
    Folder();
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

// --- Recordings without a lock ---

enum class Family { kMetop, kFy3, kMeteor };
enum class Content { kNoise, kZeros, kCarrier, kCoded };

constexpr double kNoiseSigma = 40;         // a demodulator's values with no signal
constexpr double kCarrierLevel = 64;       // the point an unmodulated carrier is held at
constexpr double kCarrierSigma = 24;       // the noise on it
constexpr double kCodedEbN0 = 5;           // the coded data's noise (dB)
constexpr size_t kNoLockBytes = 16 << 20;  // the recording's size, a whole number of blocks

int8_t Clip(double value) {
  return static_cast<int8_t>(std::clamp(std::lround(value), -128L, 127L));
}

std::string NoLockName(Family family, Content content) {
  const char* prefix = family == Family::kMetop ? "MetopB_20181231_1015"
                       : family == Family::kFy3 ? "FY3A_2018-12-31_1015"
                                                : "MN2_20181231_1015";
  return prefix + std::to_string(static_cast<int>(content)) + "0.soft";
}

// Writes the recording of (family, content) once; its size in bytes.
int64_t NoLockRecording(Family family, Content content) {
  static std::map<std::string, int64_t> made;
  Folder();
  const std::string name = NoLockName(family, content);
  if (made.count(name) != 0) return made[name];
  made[name] = bench::MakeRecording(name, [&](sim::PassSinks& sinks) {
    std::mt19937_64 rng(kSeed + static_cast<uint64_t>(content));
    std::normal_distribution<double> gauss(0, 1);
    std::vector<int8_t> values(1 << 16);
    if (content == Content::kCoded) {
      sim::SoftOptions soft;
      soft.modulation = family == Family::kMetop ? sim::SoftModulation::kMetopQpsk
                        : family == Family::kFy3 ? sim::SoftModulation::kFy3Qpsk
                                                 : sim::SoftModulation::kMeteorBpsk;
      soft.ebn0_db = kCodedEbN0;
      soft.seed = kSeed;
      size_t written = 0;
      sim::SoftSymbolWriter writer(soft, [&](const uint8_t* data, size_t size) {
        size = std::min(size, kNoLockBytes - written);
        sinks.recording(data, size);
        written += size;
      });
      std::vector<uint8_t> bytes(4096);
      while (written < kNoLockBytes) {
        for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
        writer.Write(bytes.data(), bytes.size());
      }
      return;
    }
    for (size_t done = 0; done < kNoLockBytes; done += values.size()) {
      for (size_t k = 0; k < values.size(); ++k) {
        switch (content) {
          case Content::kNoise:
            values[k] = Clip(kNoiseSigma * gauss(rng));
            break;
          case Content::kZeros:
            values[k] = 0;
            break;
          default:  // the carrier: both values of a QPSK symbol, or each BPSK value, at the level
            values[k] = Clip(kCarrierLevel + kCarrierSigma * gauss(rng));
            break;
        }
      }
      sinks.recording(reinterpret_cast<const uint8_t*>(values.data()), values.size());
    }
  });
  return made[name];
}

void BM_SoftStageNoLock(benchmark::State& state) {
  const auto family = static_cast<Family>(state.range(0));
  const auto content = static_cast<Content>(state.range(1));
  const int64_t bytes = NoLockRecording(family, content);
  bench::CpuTimes spent;
  for (auto _ : state) {
    state.PauseTiming();
    bench::RemoveOutput(WorkingFile::kSoftBits);
    bench::QuietHost host;
    host.input_path = WorkingPath(NoLockName(family, content));
    host.settings.PNdecoding = family != Family::kMeteor;
    OwnedRunSession session(host);
    session.session().satellite = SatelliteByOption(family == Family::kMetop    ? "metop-b"
                                                    : family == Family::kMeteor ? "meteor-m2"
                                                                                : "fy3a");
    state.ResumeTiming();
    bench::CpuMeter meter(spent);
    std::string reason;
    try {
      SoftSymbolStage(host);
    } catch (const StageError& error) {
      reason = error.what();
    }
    meter.Stop();
    // The run must end for want of a lock (or of any value but 0), after reading everything.
    if (reason.find("No lock found") == std::string::npos &&
        reason.find("No CADU markers") == std::string::npos &&
        reason.find("only zero soft symbols") == std::string::npos)
      state.SkipWithError(("not a run without a lock: " + reason).c_str());
  }
  bench::ReportRawRate(state, bytes, spent);
}

void NoLockCases(benchmark::internal::Benchmark* bench) {
  bench->ArgNames({"family", "content"});
  for (const Family family : {Family::kMetop, Family::kFy3, Family::kMeteor}) {
    for (const Content content :
         {Content::kNoise, Content::kZeros, Content::kCarrier, Content::kCoded}) {
      bench->Args({static_cast<int64_t>(family), static_cast<int64_t>(content)});
    }
  }
}
BENCHMARK(BM_SoftStageNoLock)
    ->Apply(NoLockCases)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);

}  // namespace
}  // namespace vantrel
