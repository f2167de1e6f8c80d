// Throughput of the FY-3 chain on a simulated 256 MiB recording: the whole chain through the
// driver, and the FY-3 stages on their own working files. Figures are bytes of the raw recording
// per second, so the stages can be set against the chain; the inner sync stage is also given in
// bytes of its own input.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "app/driver.h"
#include "app/run_session.h"
#include "bench/support/chain_bench.h"
#include "core/file_io.h"
#include "core/satellite.h"
#include "core/working_file.h"
#include "fy3/c10_writer.h"
#include "fy3/cut_mpdu_stage.h"
#include "fy3/inner_sync_stage.h"
#include "sim/simulator.h"

namespace vantrel {
namespace {

constexpr int64_t kRecordingTarget = int64_t{256} << 20;
constexpr uint64_t kSeed = 20100512;
constexpr const char* kRecordingName = "FY3A_2010-05-12_052330.bin";
constexpr const char* kProductName = "FY3A_2010-05-12_0523.C10";
constexpr int kVirrDay = 5;

using bench::QuietHost;
using bench::RemoveOutput;

// The working folder, made once, with the simulated recording in it.
struct Workspace {
  bench::ScratchFolder folder;
  int64_t recording_bytes = 0;

  Workspace() {
    // One VCDU of another channel after every VIRR VCDU: two CADUs per 882 bytes of lines.
    sim::Fy3Options options;
    options.vcid = kVirrDay;
    options.other_every = 1;
    const int64_t raw_per_line = static_cast<int64_t>(sim::kFy3LineSize) * 2 *
                                 static_cast<int64_t>(sim::kCaduSize) /
                                 static_cast<int64_t>(sim::kPacketZoneSize);
    options.lines = static_cast<int>(kRecordingTarget / raw_per_line);
    sim::Impairments impairments;
    impairments.bit_shift = 5;
    impairments.noise_before = 4096;
    impairments.noise_after = 4096;
    recording_bytes = bench::MakeRecording(kRecordingName, [&](sim::PassSinks& sinks) {
      sim::StreamFy3Pass(options, sim::CaduEncoding{}, impairments, kSeed, sinks);
    });
    std::printf("Simulated recording: %d lines, %lld bytes\n", options.lines,
                static_cast<long long>(recording_bytes));
  }
};

Workspace& Space() {
  static Workspace workspace;
  return workspace;
}

void PrepareHost(BasicHost& host) {
  host.input_path = WorkingPath(kRecordingName);
  host.settings.PNdecoding = true;
  host.settings.RSolomon = true;
  host.settings.Fy3Vcid = kVirrDay;
}

void EnsureWorkingFiles() {
  bench::EnsureWorkingFiles({WorkingFile::kCaduPds, WorkingFile::kCvcduRs, WorkingFile::kVcduVcd,
                             WorkingFile::kMpduMpd, WorkingFile::kFy3Lines},
                            PrepareHost);
}

void BM_Fy3Chain(benchmark::State& state) {
  Space();
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(kProductName);
    QuietHost host;
    PrepareHost(host);
    state.ResumeTiming();
    ProcessRecording(host);
    if (host.chain.LastLineCount == 0) state.SkipWithError("the chain wrote no line");
  }
  state.SetBytesProcessed(state.iterations() * Space().recording_bytes);
}
BENCHMARK(BM_Fy3Chain)->Unit(benchmark::kMillisecond)->UseRealTime();

// One FY-3 stage on its working file. Bytes are those of the raw recording, or of the stage's
// own input when `own_input` names it.
void BM_Stage(benchmark::State& state, void (*stage)(StageHost&), std::string_view output,
              std::string_view own_input) {
  Space();
  EnsureWorkingFiles();
  QuietHost host;
  PrepareHost(host);
  OwnedRunSession session(host);
  session.session().satellite = SatelliteByOption("fy3a");
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(output);
    state.ResumeTiming();
    stage(host);
  }
  const int64_t bytes = own_input.empty() ? Space().recording_bytes : bench::FileBytes(own_input);
  state.SetBytesProcessed(state.iterations() * bytes);
}
BENCHMARK_CAPTURE(BM_Stage, CutMpdu, CutMpduStage, WorkingFile::kMpduMpd, "")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Stage, InnerSync, Fy3InnerSyncStage, WorkingFile::kFy3Lines, "")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Stage, InnerSyncOwnInput, Fy3InnerSyncStage, WorkingFile::kFy3Lines,
                  WorkingFile::kMpduMpd)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Stage, C10Writer, C10Writer, kProductName, "")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
}  // namespace vantrel
