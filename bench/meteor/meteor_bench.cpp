// Throughput of the Meteor-M N2 chain on a simulated 256 MiB Manchester-coded recording: the
// whole chain through the driver, and each of its stages on its own working file. All figures
// are bytes of the raw recording per second, so the stages add up to the chain.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "app/run_session.h"
#include "bench/support/chain_bench.h"
#include "core/file_io.h"
#include "core/satellite.h"
#include "core/working_file.h"
#include "fy3/inner_sync_stage.h"
#include "meteor/dat_writer.h"
#include "meteor/manchester_decoder.h"
#include "meteor/msu_mr_demultiplexer.h"
#include "sim/simulator.h"
#include "sync/cadu_extraction_stage.h"

namespace vantrel {
namespace {

constexpr int64_t kRecordingTarget = int64_t{256} << 20;
constexpr uint64_t kSeed = 20181231;
constexpr const char* kRecordingName = "MN2_20181231_101530.bin";
constexpr const char* kProductName = "20181231_1015_MN2.dat";

using bench::CpuMeter;
using bench::CpuTimes;
using bench::QuietHost;
using bench::RemoveOutput;

// The working folder, made once, with the simulated recording in it.
struct Workspace {
  bench::ScratchFolder folder;
  int64_t recording_bytes = 0;

  Workspace() {
    // Lines enough for 256 MiB once Manchester coded: 948 stream bytes per 1024-byte CADU.
    sim::Mn2Options options;
    options.manchester = true;
    options.lines = static_cast<int>(kRecordingTarget / 2 / static_cast<int64_t>(sim::kCaduSize) *
                                     static_cast<int64_t>(sim::kMn2StreamPerFrame) /
                                     static_cast<int64_t>(sim::kMn2LineSize));
    sim::Impairments impairments;
    impairments.bit_shift = 3;
    impairments.noise_after = 4096;
    recording_bytes = bench::MakeRecording(kRecordingName, [&](sim::PassSinks& sinks) {
      sim::StreamMn2Pass(options, impairments, kSeed, sinks);
    });
    std::printf("Simulated recording: %d lines, %lld bytes, Manchester coded\n", options.lines,
                static_cast<long long>(recording_bytes));
  }
};

Workspace& Space() {
  static Workspace workspace;
  return workspace;
}

void PrepareHost(BasicHost& host) {
  host.input_path = WorkingPath(kRecordingName);
  host.settings.Manchester_box = true;
}

void EnsureWorkingFiles() {
  bench::EnsureWorkingFiles({WorkingFile::kCvcduMan, WorkingFile::kCaduPds, WorkingFile::kMsuMrDmx,
                             WorkingFile::kMn2Lines},
                            PrepareHost);
}

void Report(benchmark::State& state, const CpuTimes& spent) {
  bench::ReportRawRate(state, Space().recording_bytes, spent);
}

void BM_Mn2Chain(benchmark::State& state) {
  Space();
  CpuTimes spent;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(kProductName);
    QuietHost host;
    PrepareHost(host);
    state.ResumeTiming();
    CpuMeter meter(spent);
    ProcessRecording(host);
    meter.Stop();
    if (host.chain.LastLineCount == 0) state.SkipWithError("the chain wrote no line");
  }
  Report(state, spent);
}
BENCHMARK(BM_Mn2Chain)->Unit(benchmark::kMillisecond)->UseRealTime();

// One stage on the working files of the recording, with the satellite and the flags the driver
// sets for it: the head stages read `step_input` (empty: the recording), the others their own
// working file.
void RunStage(benchmark::State& state, const StepSpec& stage, std::string_view step_input,
              std::string_view output, bool header_pending) {
  Space();
  EnsureWorkingFiles();
  QuietHost host;
  PrepareHost(host);
  host.settings.PNdecoding = false;
  host.settings.RSolomon = false;
  host.chain.ManchesterDone = true;
  OwnedRunSession session(host);
  session.session().satellite = SatelliteByOption("meteor-m2");
  CpuTimes spent;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(output);
    host.chain.DatHeaderPending = header_pending;
    state.ResumeTiming();
    CpuMeter meter(spent);
    RunStepAlone(host, stage, step_input);
    meter.Stop();
  }
  Report(state, spent);
}

void BM_ManchesterDecoder(benchmark::State& state) {
  RunStage(state, kManchesterDecoderStep, {}, WorkingFile::kCvcduMan, false);
}
void BM_CaduExtraction(benchmark::State& state) {
  RunStage(state, kCaduExtractionStep, WorkingFile::kCvcduMan, WorkingFile::kCaduPds, false);
}
void BM_MsuMrDemultiplexer(benchmark::State& state) {
  RunStage(state, kMsuMrDemultiplexerStep, {}, WorkingFile::kMsuMrDmx, false);
}
void BM_Mn2InnerSync(benchmark::State& state) {
  RunStage(state, kMn2InnerSyncStep, {}, WorkingFile::kMn2Lines, false);
}
void BM_DatWriter(benchmark::State& state) {
  RunStage(state, kDatWriterStep, {}, kProductName, true);
}
BENCHMARK(BM_ManchesterDecoder)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_CaduExtraction)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MsuMrDemultiplexer)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Mn2InnerSync)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DatWriter)->Unit(benchmark::kMillisecond)->UseRealTime();

// The engines on buffers in memory, without the file system (bytes of their own input).
void BM_ManchesterDecodeBytes(benchmark::State& state) {
  std::vector<uint8_t> symbols(kManchesterBlockBytes * 1024);
  std::mt19937 random(4);
  for (uint8_t& byte : symbols) byte = static_cast<uint8_t>(random());
  std::vector<uint8_t> data(symbols.size() / 2);
  for (auto _ : state) {
    ManchesterDecodeBytes(symbols.data(), symbols.size(), data.data());
    benchmark::DoNotOptimize(data.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(symbols.size()));
}
BENCHMARK(BM_ManchesterDecodeBytes);

void BM_PackDatLine(benchmark::State& state) {
  std::vector<uint8_t> line(kMn2LineBytes);
  std::mt19937 random(5);
  for (uint8_t& byte : line) byte = static_cast<uint8_t>(random());
  std::vector<uint8_t> record(kDatRecordBytes);
  for (auto _ : state) {
    PackDatLine(line.data(), record.data());
    benchmark::DoNotOptimize(record.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kMn2LineBytes));
}
BENCHMARK(BM_PackDatLine);

}  // namespace
}  // namespace vantrel
