// Throughput of the MetOp chain on a simulated 256 MiB recording (Reed-Solomon on, PN on): the
// whole chain through the driver with its per-stage breakdown, and each stage after CADU
// extraction on its own working file. Stage figures are given twice: bytes of the stage's own
// input per second (bytes_per_second) and bytes of the raw recording per second (raw_rate), so
// that the raw rates of the stages add up to the chain.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "app/run_session.h"
#include "bench/support/chain_bench.h"
#include "ccsds/apid_packet_extraction_stage.h"
#include "ccsds/mpdu_checking_stage.h"
#include "ccsds/source_packet_builder.h"
#include "ccsds/vcdu_selection_stage.h"
#include "core/basic_host.h"
#include "core/file_io.h"
#include "core/satellite.h"
#include "core/working_file.h"
#include "metop/hpt_record.h"
#include "metop/hpt_writer.h"
#include "sim/simulator.h"

namespace vantrel {
namespace {

constexpr int64_t kRecordingTarget = int64_t{256} << 20;
constexpr uint64_t kSeed = 20181231;
constexpr const char* kRecordingName = "MetopB_20181231_101530.bin";
constexpr const char* kProductName = "MetopB_20181231_1015_M03.hpt";
constexpr int kIdleEvery = 3;
constexpr const char* kDoneBanner =
    "**************** MetOp processing DONE! ****************";  // the simulator's default mix of
                                                                 // data and idle VCDUs

// A host that drops the log and times the stages the driver announces.
class TimingHost : public BasicHost {
 public:
  using Clock = std::chrono::steady_clock;
  std::vector<std::pair<std::string, Clock::time_point>> starts;

  // The writer's closing banner ends its time; what follows is the driver's deletion step.
  void AppendLog(const std::string& line) override {
    if (line == kDoneBanner) starts.emplace_back("deleting working files", Clock::now());
  }
  void StageStarting(std::string_view name) override {
    starts.emplace_back(std::string(name), Clock::now());
  }
};

// The working folder, made once, with the simulated recording and the truth of its CADUs.
struct Workspace {
  bench::ScratchFolder folder;
  int64_t recording_bytes = 0;
  int packets = 0;

  Workspace() {
    // One 12966-byte packet fills 14.7 zones; with one idle VCDU per three data VCDUs the
    // recording grows by about 4/3 x 1024 bytes per zone.
    sim::MetopOptions options;
    options.satellite = 'B';
    options.idle_every = kIdleEvery;
    const double bytes_per_packet =
        static_cast<double>(sim::kAvhrrPacketSize) / static_cast<double>(sim::kPacketZoneSize) *
        static_cast<double>(sim::kCaduSize) * (kIdleEvery + 1) / kIdleEvery;
    options.packets = static_cast<int>(static_cast<double>(kRecordingTarget) / bytes_per_packet);
    packets = options.packets;
    sim::CaduEncoding encoding;  // Reed-Solomon and PN on
    sim::Impairments impairments;
    impairments.bit_shift = 5;
    impairments.noise_before = 3000;
    impairments.noise_after = 4096;

    // The truth frames are what cadu.pds holds; the stages after CADU extraction are measured
    // on working files made from them, independently of the CADU layer.
    OutputFile cadu, cvcdu;
    if (!cadu.Create(WorkingPath(WorkingFile::kCaduPds)) ||
        !cvcdu.Create(WorkingPath(WorkingFile::kCvcduRs))) {
      std::abort();
    }
    recording_bytes = bench::MakeRecording(kRecordingName, [&](sim::PassSinks& sinks) {
      sinks.frame = [&](const uint8_t* frame) {
        cadu.Write(frame, sim::kCodeBlockSize);
        cvcdu.Write(frame, sim::kVcduSize);
      };
      sim::StreamMetopPass(options, encoding, impairments, kSeed, sinks);
    });
    if (!cadu.Close() || !cvcdu.Close()) std::abort();
    std::printf("Simulated MetOp-B recording: %d packets, %lld bytes, RS and PN on\n", packets,
                static_cast<long long>(recording_bytes));

    // The inputs of the later stages, made by the stages before them.
    TimingHost host;
    PrepareHost(host);
    OwnedRunSession session(host);
    session.session().satellite = SatelliteByOption("metop-b");
    VcduSelectionStage(host);
    MpduCheckingStage(host);
    ApidPacketExtractionStage(host);
  }

  static void PrepareHost(BasicHost& host) {
    host.input_path = WorkingPath(kRecordingName);
    host.settings.PNdecoding = true;
    host.settings.RSolomon = true;
  }
};

Workspace& Space() {
  static Workspace workspace;
  return workspace;
}

using bench::FileBytes;
using bench::RemoveOutput;

void BM_MetopChain(benchmark::State& state) {
  Space();
  std::map<std::string, double> stage_seconds;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(kProductName);
    TimingHost host;
    Workspace::PrepareHost(host);
    state.ResumeTiming();
    ProcessRecording(host);
    const auto end = TimingHost::Clock::now();
    state.PauseTiming();
    if (host.chain.LastLineCount != Space().packets) {
      state.SkipWithError("the product does not hold every packet");
    }
    for (size_t i = 0; i < host.starts.size(); ++i) {
      const auto stop = i + 1 < host.starts.size() ? host.starts[i + 1].second : end;
      stage_seconds[host.starts[i].first] +=
          std::chrono::duration<double>(stop - host.starts[i].second).count();
    }
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * Space().recording_bytes);
  // Share of the chain's time per stage, in percent.
  double total = 0;
  for (const auto& [name, seconds] : stage_seconds) total += seconds;
  for (const auto& [name, seconds] : stage_seconds) {
    state.counters["% " + name] = total > 0 ? 100.0 * seconds / total : 0.0;
  }
}
BENCHMARK(BM_MetopChain)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void EnsureWorkingFiles() {
  bench::EnsureWorkingFiles(
      {WorkingFile::kCvcduRs, WorkingFile::kVcduVcd, WorkingFile::kMpduMpd, WorkingFile::kApidPkt},
      Workspace::PrepareHost);
}

// One stage on the working file the stage before it left.
void BM_Stage(benchmark::State& state, void (*stage)(StageHost&), std::string_view input,
              std::string_view output) {
  Space();
  EnsureWorkingFiles();
  TimingHost host;
  Workspace::PrepareHost(host);
  OwnedRunSession session(host);
  session.session().satellite = SatelliteByOption("metop-b");
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(output);
    state.ResumeTiming();
    stage(host);
  }
  state.SetBytesProcessed(state.iterations() * FileBytes(input));
  state.counters["raw_rate"] =
      benchmark::Counter(static_cast<double>(state.iterations() * Space().recording_bytes),
                         benchmark::Counter::kIsRate, benchmark::Counter::kIs1024);
}
BENCHMARK_CAPTURE(BM_Stage, VcduSelection, VcduSelectionStage, WorkingFile::kCvcduRs,
                  WorkingFile::kVcduVcd)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Stage, MpduChecking, MpduCheckingStage, WorkingFile::kVcduVcd,
                  WorkingFile::kMpduMpd)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Stage, ApidPacketExtraction, ApidPacketExtractionStage, WorkingFile::kMpduMpd,
                  WorkingFile::kApidPkt)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(BM_Stage, HptWriter, HptWriter, WorkingFile::kApidPkt, kProductName)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The engines on buffers in memory, without the file system (bytes of their own input).
void BM_FeedMpdu(benchmark::State& state) {
  sim::MetopOptions options;
  options.packets = 200;
  options.idle_every = 0;
  std::vector<uint8_t> mpdus;
  sim::PassSinks sinks;
  sinks.recording = [](const uint8_t*, size_t) {};
  sinks.frame = [&](const uint8_t* frame) {
    mpdus.insert(mpdus.end(), frame + 6, frame + sim::kVcduSize);
  };
  sim::StreamMetopPass(options, sim::CaduEncoding{}, sim::Impairments{}, kSeed, sinks);
  const size_t records = mpdus.size() / kMpduRecordLength;
  SourcePacketBuilder builder;
  DiagnosticBlock diagnostics{};
  std::vector<uint8_t> packet(kPacketSlotCapacity);
  builder.Setup(sim::kAvhrrPacketSize, kMpduHeaderLengthSpare);
  for (auto _ : state) {
    for (size_t i = 0; i < records; ++i) {
      const int32_t pb = builder.FeedMpdu(
          std::span<const uint8_t>(mpdus.data() + i * kMpduRecordLength, kMpduRecordLength),
          diagnostics);
      for (int32_t k = 0; k < pb; ++k) builder.GetNext(packet, sim::kAvhrrPacketSize);
    }
    benchmark::DoNotOptimize(packet.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(records * kMpduRecordLength));
}
BENCHMARK(BM_FeedMpdu);

void BM_FillHptRecord(benchmark::State& state) {
  std::vector<uint8_t> packet(kAvhrrPacketLength, 0x5A);
  std::vector<uint8_t> record(kHptRecordLength, 0);
  int64_t k = 0;
  for (auto _ : state) {
    FillHptRecord(std::span<uint8_t, kHptRecordLength>(record.data(), kHptRecordLength),
                  std::span<const uint8_t, kAvhrrPacketLength>(packet.data(), kAvhrrPacketLength),
                  k++);
    benchmark::DoNotOptimize(record.data());
  }
  state.SetBytesProcessed(state.iterations() * kAvhrrPacketLength);
}
BENCHMARK(BM_FillHptRecord);

}  // namespace
}  // namespace vantrel
