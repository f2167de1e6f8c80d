// Throughput of the Meteor-M N2 chain on a simulated 256 MiB Manchester-coded recording: the
// whole chain through the driver, and each of its stages on its own working file. All figures
// are bytes of the raw recording per second, so the stages add up to the chain.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "core/basic_host.h"
#include "core/file_io.h"
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

class QuietHost : public BasicHost {
 public:
  void AppendLog(const std::string&) override {}
};

// The working folder, made once, with the simulated recording in it.
struct Workspace {
  std::string folder;
  int64_t recording_bytes = 0;

  Workspace() {
    folder = (std::filesystem::temp_directory_path() / "vantrel-bench-XXXXXX").string();
    if (mkdtemp(folder.data()) == nullptr) std::abort();
    std::filesystem::current_path(folder);

    // Lines enough for 256 MiB once Manchester coded: 948 stream bytes per 1024-byte CADU.
    sim::Mn2Options options;
    options.manchester = true;
    options.lines = static_cast<int>(kRecordingTarget / 2 / static_cast<int64_t>(sim::kCaduSize) *
                                     static_cast<int64_t>(sim::kMn2StreamPerFrame) /
                                     static_cast<int64_t>(sim::kMn2LineSize));
    sim::Impairments impairments;
    impairments.bit_shift = 3;
    impairments.noise_after = 4096;
    OutputFile recording;
    if (!recording.Create(WorkingPath(kRecordingName))) std::abort();
    sim::PassSinks sinks;
    sinks.recording = [&](const uint8_t* data, size_t size) { recording.Write(data, size); };
    sim::StreamMn2Pass(options, impairments, kSeed, sinks);
    if (!recording.Close()) std::abort();
    recording_bytes = static_cast<int64_t>(std::filesystem::file_size(WorkingPath(kRecordingName)));
    std::printf("Simulated recording: %d lines, %lld bytes, Manchester coded\n", options.lines,
                static_cast<long long>(recording_bytes));
  }
  ~Workspace() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

Workspace& Space() {
  static Workspace workspace;
  return workspace;
}

void PrepareHost(QuietHost& host) {
  host.input_path = WorkingPath(kRecordingName);
  host.settings.Manchester_box = true;
}

// Leaves every working file of the chain in the folder (one run with deletion off).
void EnsureWorkingFiles() {
  for (std::string_view name : {WorkingFile::kCvcduMan, WorkingFile::kCaduPds,
                                WorkingFile::kMsuMrDmx, WorkingFile::kMn2Lines}) {
    if (!std::filesystem::exists(WorkingPath(name))) {
      QuietHost host;
      PrepareHost(host);
      host.settings.DFiles = false;
      ASMButtonClick(host);
      return;
    }
  }
}

// Each run makes its output anew, as a new pass does: rewriting a truncated file would make the
// file system flush it on close and measure the disk instead.
void RemoveOutput(std::string_view name) {
  std::filesystem::remove(WorkingPath(name));
}

// Processor time of this process so far, user and kernel apart, in seconds.
struct CpuTimes {
  double user = 0;
  double kernel = 0;
};
CpuTimes ProcessCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec * 1e-6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

// Bytes of raw recording per second, and the user and kernel processor time of the timed part
// per iteration (file system work shows as kernel time).
void Report(benchmark::State& state, const CpuTimes& spent) {
  state.SetBytesProcessed(state.iterations() * Space().recording_bytes);
  const double runs = static_cast<double>(state.iterations());
  state.counters["user_ms"] = spent.user * 1000 / runs;
  state.counters["kernel_ms"] = spent.kernel * 1000 / runs;
}

// Adds the processor time between construction and Stop() to a total.
class CpuMeter {
 public:
  explicit CpuMeter(CpuTimes& total) : total_(total), start_(ProcessCpu()) {}
  void Stop() {
    const CpuTimes now = ProcessCpu();
    total_.user += now.user - start_.user;
    total_.kernel += now.kernel - start_.kernel;
  }

 private:
  CpuTimes& total_;
  CpuTimes start_;
};

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
    ASMButtonClick(host);
    meter.Stop();
    if (host.chain.LastLineCount == 0) state.SkipWithError("the chain wrote no line");
  }
  Report(state, spent);
}
BENCHMARK(BM_Mn2Chain)->Unit(benchmark::kMillisecond)->UseRealTime();

// One stage on the working files of the recording, with the flags the driver sets for it.
void RunStage(benchmark::State& state, void (*stage)(StageHost&), std::string_view output,
              bool header_pending) {
  Space();
  EnsureWorkingFiles();
  QuietHost host;
  PrepareHost(host);
  host.settings.PNdecoding = false;
  host.settings.RSolomon = false;
  host.chain.MetopMode = false;
  host.chain.Mn2Mode = true;
  host.chain.ManchesterDone = true;
  CpuTimes spent;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(output);
    host.chain.InputFileSize = Space().recording_bytes;
    host.chain.DatHeaderPending = header_pending;
    state.ResumeTiming();
    CpuMeter meter(spent);
    stage(host);
    meter.Stop();
  }
  Report(state, spent);
}

void BM_ManchesterDecoder(benchmark::State& state) {
  RunStage(state, ManchesterDecoder, WorkingFile::kCvcduMan, false);
}
void BM_CaduExtraction(benchmark::State& state) {
  RunStage(state, CaduExtractionStage, WorkingFile::kCaduPds, false);
}
void BM_MsuMrDemultiplexer(benchmark::State& state) {
  RunStage(state, MsuMrDemultiplexer, WorkingFile::kMsuMrDmx, false);
}
void BM_Mn2InnerSync(benchmark::State& state) {
  RunStage(state, Mn2InnerSyncStage, WorkingFile::kMn2Lines, false);
}
void BM_DatWriter(benchmark::State& state) {
  RunStage(state, DatWriter, kProductName, true);
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
