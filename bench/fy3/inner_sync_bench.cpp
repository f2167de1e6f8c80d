// Speed of the inner sync alignment: the matcher alone on data without a line sync (the worst
// case, every byte position searched), and the FY-3 stage on a file of lines (MB/s of its input).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/basic_host.h"
#include "fy3/inner_sync_engine.h"
#include "fy3/inner_sync_stage.h"

namespace vantrel {
namespace {

constexpr unsigned kSeed = 26050;
constexpr size_t kSearchBytes = 16 << 20;
constexpr size_t kStageLines = 2048;  // about 53 MB of input
constexpr int kLineShiftBits = 3;
constexpr size_t kGapBytes = 1000;  // garbage before every 64th line
constexpr size_t kGapEvery = 64;

class QuietHost : public BasicHost {
 public:
  void AppendLog(const std::string&) override {}
};

// Random bytes with no run of six ones: no FY-3 line sync can occur, so every position is tried.
std::vector<uint8_t> SyncFreeBytes(size_t size) {
  std::mt19937 random(kSeed);
  std::vector<uint8_t> bytes(size);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random() & 0x77);
  return bytes;
}

void BM_MatcherSearch(benchmark::State& state) {
  const std::vector<uint8_t> bytes = SyncFreeBytes(kSearchBytes);
  const LineSyncMatcher matcher(Fy3InnerSyncVariant().table);
  for (auto _ : state) {
    benchmark::DoNotOptimize(matcher.Find(bytes, 0, bytes.size() - 2));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_MatcherSearch)->Unit(benchmark::kMillisecond);

void BM_MatcherRandomData(benchmark::State& state) {
  // Unconstrained random bytes: about one position in 32 starts an entry's first byte.
  std::mt19937 random(kSeed);
  std::vector<uint8_t> bytes(kSearchBytes);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
  const LineSyncMatcher matcher(Fy3InnerSyncVariant().table);
  for (auto _ : state) {
    size_t at = 0;
    size_t found = 0;
    while (auto match = matcher.Find(bytes, at, bytes.size() - 2)) {
      ++found;
      at = match->position + 1;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_MatcherRandomData)->Unit(benchmark::kMillisecond);

// The stage reading a file of FY-3 lines three bits off the byte grid, with some garbage.
void BM_Fy3InnerSyncStage(benchmark::State& state) {
  std::string folder = (std::filesystem::temp_directory_path() / "vantrel-bench-XXXXXX").string();
  if (mkdtemp(folder.data()) == nullptr) {
    state.SkipWithError("cannot create a temporary folder");
    return;
  }
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);

  const size_t length = Fy3InnerSyncVariant().line_length;
  std::vector<uint8_t> stream;
  {
    std::vector<uint8_t> line = SyncFreeBytes(length);
    const uint8_t head[] = {0x84, 0x5B, 0xF5, 0xC6};
    std::copy(std::begin(head), std::end(head), line.begin());
    std::vector<uint8_t> aligned;
    for (size_t n = 0; n < kStageLines; ++n) {
      if (n % kGapEvery == 0) aligned.insert(aligned.end(), kGapBytes, 0x11);
      aligned.insert(aligned.end(), line.begin(), line.end());
    }
    stream.resize(aligned.size() + 1);
    for (size_t i = 0; i < stream.size(); ++i) {
      const unsigned high = i < aligned.size() ? aligned[i] : 0;
      const unsigned low = i > 0 ? aligned[i - 1] : 0;
      stream[i] = static_cast<uint8_t>(high >> kLineShiftBits | low << (8 - kLineShiftBits));
    }
  }
  std::ofstream("mpdu_x.mpd", std::ios::binary)
      .write(reinterpret_cast<const char*>(stream.data()),
             static_cast<std::streamsize>(stream.size()));

  QuietHost host;
  for (auto _ : state) {
    Fy3InnerSyncStage(host);
    if (host.progress_maximum != static_cast<int64_t>(kStageLines)) {
      state.SkipWithError("wrong line count");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));

  std::filesystem::current_path(previous);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_Fy3InnerSyncStage)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel
