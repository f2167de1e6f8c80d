// Speed of the marker search and of the CADU extraction stage.
//   AsmSearch/Random      the engine over random bytes (searching all the time)
//   AsmSearch/Locked      the engine over back-to-back CADUs (locked; no correction)
//   PlainBitSearch        reference: a per-bit shift register compared with the marker
//   CaduExtractionStage   the whole stage over a 64 MiB simulated recording, RS and PN on

#include <benchmark/benchmark.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "app/run_session.h"
#include "core/basic_host.h"
#include "rs/reed_solomon_codec.h"
#include "sim/simulator.h"
#include "sync/asm_search_engine.h"
#include "sync/cadu_extraction_stage.h"
#include "sync/window_search.h"

namespace vantrel {
namespace {

constexpr size_t kSearchBytes = 16u << 20;
constexpr size_t kStageBytes = 64u << 20;
constexpr uint64_t kSeed = 20240601;

class QuietHost : public BasicHost {
 public:
  void AppendLog(const std::string&) override {}
};

std::vector<uint8_t> RandomStream(size_t size) {
  std::mt19937_64 rng(kSeed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
  return bytes;
}

// Back-to-back clean CADUs with random bodies.
std::vector<uint8_t> LockedStream(size_t size) {
  std::vector<uint8_t> bytes = RandomStream(size);
  for (size_t at = 0; at + kCaduBytes <= size; at += kCaduBytes) {
    bytes[at] = 0x1A;
    bytes[at + 1] = 0xCF;
    bytes[at + 2] = 0xFC;
    bytes[at + 3] = 0x1D;
  }
  return bytes;
}

// Takes every frame as it is cut.
class FrameDrain : public AsmSearchListener {
 public:
  FrameVerdict FrameCut(std::span<const uint8_t, kCaduBytes> cadu) override {
    benchmark::DoNotOptimize(cadu.data());
    return FrameVerdict::kAccepted;
  }
};

void RunEngine(benchmark::State& state, const std::vector<uint8_t>& stream, Stepping stepping) {
  FrameDrain drain;
  int64_t frames = 0;
  for (auto _ : state) {
    SyncWindow window;
    AsmSearchEngine engine(window, drain);
    size_t position = 0;
    const ByteSource source = [&](uint8_t* buffer, size_t size) {
      const size_t count = std::min(size, stream.size() - position);
      std::copy_n(stream.data() + position, count, buffer);
      position += count;
      return count;
    };
    SearchThroughWindow(engine, window, source, stepping, {});
    frames = engine.fields().FramesFound;
  }
  state.counters["frames"] = static_cast<double>(frames);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

void BM_AsmSearchRandom(benchmark::State& state) {
  static const std::vector<uint8_t> stream = RandomStream(kSearchBytes);
  RunEngine(state, stream, state.range(0) ? Stepping::kBatched : Stepping::kSingle);
}
BENCHMARK(BM_AsmSearchRandom)->ArgName("batched")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void BM_AsmSearchLocked(benchmark::State& state) {
  static const std::vector<uint8_t> stream = LockedStream(kSearchBytes);
  RunEngine(state, stream, state.range(0) ? Stepping::kBatched : Stepping::kSingle);
}
BENCHMARK(BM_AsmSearchLocked)->ArgName("batched")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

// Reference: the textbook search, one register shift and one comparison per bit.
void BM_PlainBitSearch(benchmark::State& state) {
  static const std::vector<uint8_t> stream = RandomStream(kSearchBytes);
  for (auto _ : state) {
    uint32_t shift_register = 0;
    int64_t found = 0;
    for (uint8_t byte : stream)
      for (int bit = 7; bit >= 0; --bit) {
        shift_register = (shift_register << 1) | ((byte >> bit) & 1);
        found += std::popcount(shift_register ^ kAttachedSyncMarker) == 0;
      }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}
BENCHMARK(BM_PlainBitSearch)->Unit(benchmark::kMillisecond);

// A clean, randomised, RS-encoded recording of 64 MiB in a temp folder, made once.
std::string StageRecording() {
  static const std::string path = [] {
    const auto folder = std::filesystem::temp_directory_path() / "vantrel-sync-bench";
    std::filesystem::create_directories(folder);
    const std::string file = (folder / "MetopB_20240601_101530.bin").string();
    std::FILE* out = std::fopen(file.c_str(), "wb");
    sim::CaduStream stream(
        {.reed_solomon = true, .randomise = true}, {}, kSeed,
        [&](const uint8_t* data, size_t size) { std::fwrite(data, 1, size, out); });
    std::mt19937_64 rng(kSeed);
    std::vector<uint8_t> vcdu(sim::kVcduSize), block(sim::kCodeBlockSize),
        truth(sim::kCodeBlockSize);
    for (size_t i = 0; i < kStageBytes / kCaduBytes; ++i) {
      for (uint8_t& byte : vcdu) byte = static_cast<uint8_t>(rng());
      sim::EncodeCodeBlock(vcdu.data(), block.data());
      stream.AddFrame(block.data(), truth.data());
    }
    stream.Finish();
    std::fclose(out);
    return file;
  }();
  return path;
}

void BM_CaduExtractionStage(benchmark::State& state) {
  const std::string input = StageRecording();
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(std::filesystem::path(input).parent_path());
  QuietHost host;
  host.input_path = input;
  host.settings.RSolomon = true;
  host.settings.PNdecoding = true;
  const OwnedRunSession session(host);
  for (auto _ : state) CaduExtractionStage(host);
  std::filesystem::current_path(previous);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kStageBytes));
}
BENCHMARK(BM_CaduExtractionStage)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace vantrel
