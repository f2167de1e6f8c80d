// Throughput of the Meteor-M N2 stages, each on its own input file, in bytes of raw recording
// per second.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/basic_host.h"
#include "core/working_file.h"
#include "meteor/dat_writer.h"
#include "meteor/manchester_decoder.h"
#include "meteor/msu_mr_demultiplexer.h"

namespace vantrel {
namespace {

constexpr int64_t kRecordingBytes = int64_t{256} << 20;

class QuietHost : public BasicHost {
 public:
  void AppendLog(const std::string&) override {}
};

// A temporary working folder for the whole benchmark program.
const std::string& BenchFolder() {
  static const std::string folder = [] {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vantrel-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    std::filesystem::current_path(pattern);
    std::atexit([] { std::filesystem::remove_all(BenchFolder()); });
    return pattern;
  }();
  return folder;
}

void WriteRandomFile(const std::string& path, int64_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<uint32_t> chunk(1 << 16);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (int64_t done = 0; done < size;) {
    for (uint32_t& word : chunk) word = random();
    const int64_t bytes = std::min<int64_t>(size - done, chunk.size() * sizeof(uint32_t));
    out.write(reinterpret_cast<const char*>(chunk.data()), bytes);
    done += bytes;
  }
}

// Each run makes its output anew, as a new pass does: rewriting a truncated file would make the
// file system flush it on close and measure the disk instead.
void RemoveOutput(std::string_view name) {
  std::filesystem::remove(WorkingPath(name));
}

void BM_ManchesterDecoder(benchmark::State& state) {
  BenchFolder();
  const std::string raw = WorkingPath("MN2_20181231_101530.bin");
  WriteRandomFile(raw, kRecordingBytes, 1);
  QuietHost host;
  host.input_path = raw;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(WorkingFile::kCvcduMan);
    state.ResumeTiming();
    ManchesterDecoder(host);
  }
  state.SetBytesProcessed(state.iterations() * kRecordingBytes);
}
BENCHMARK(BM_ManchesterDecoder)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_MsuMrDemultiplexer(benchmark::State& state) {
  BenchFolder();
  // The frames of a Manchester-coded recording: half its size.
  WriteRandomFile(WorkingPath(WorkingFile::kCaduPds), kRecordingBytes / 2, 2);
  QuietHost host;
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput(WorkingFile::kMsuMrDmx);
    state.ResumeTiming();
    host.chain.InputFileSize = kRecordingBytes;
    MsuMrDemultiplexer(host);
  }
  state.SetBytesProcessed(state.iterations() * kRecordingBytes);
}
BENCHMARK(BM_MsuMrDemultiplexer)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_DatWriter(benchmark::State& state) {
  BenchFolder();
  WriteRandomFile(WorkingPath(WorkingFile::kMn2Lines), kRecordingBytes / 2 / 1020 * 948, 3);
  QuietHost host;
  host.input_path = WorkingPath("MN2_20181231_101530.bin");
  for (auto _ : state) {
    state.PauseTiming();
    RemoveOutput("20181231_1015_MN2.dat");
    state.ResumeTiming();
    host.chain.DatHeaderPending = true;
    DatWriter(host);
  }
  state.SetBytesProcessed(state.iterations() * kRecordingBytes);
}
BENCHMARK(BM_DatWriter)->Unit(benchmark::kMillisecond)->UseRealTime();

// The engines on buffers in memory, without the file system.
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
