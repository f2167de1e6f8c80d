// The baseband reader's speed in samples per second, file in the page cache: 16-bit WAV (what
// SDR programs write) and raw cu8, 32 Mi samples each (about 5 s of a 6 Msps pass).
#include <benchmark/benchmark.h>

#include <unistd.h>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "baseband/baseband_reader.h"
#include "core/file_io.h"

namespace vantrel {
namespace {

constexpr size_t kSamples = size_t{32} << 20;

// Writes a recording of kSamples samples of `sample_bytes` bytes after `header`; returns its path.
std::string WriteRecording(const char* name, const std::vector<uint8_t>& header, int sample_bytes) {
  const std::string path = "/tmp/vantrel_bench_" + std::to_string(getpid()) + "_" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(header.data(), 1, header.size(), file);
  std::vector<uint8_t> block(size_t{1} << 20);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 37);
  for (size_t left = kSamples * sample_bytes; left > 0;) {
    const size_t piece = std::min(left, block.size());
    std::fwrite(block.data(), 1, piece, file);
    left -= piece;
  }
  std::fclose(file);
  return path;
}

std::vector<uint8_t> WavHeader() {
  std::vector<uint8_t> h;
  auto put = [&h](uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
  };
  auto id = [&h](const char* s) { h.insert(h.end(), s, s + 4); };
  const uint32_t data = static_cast<uint32_t>(kSamples * 4);
  id("RIFF"), put(36 + data, 4), id("WAVE");
  id("fmt "), put(16, 4), put(1, 2), put(2, 2), put(6000000, 4), put(24000000, 4), put(4, 2),
      put(16, 2);
  id("data"), put(data, 4);
  return h;
}

void ReadAll(benchmark::State& state, const std::string& path, bool wav) {
  std::vector<std::complex<float>> samples;
  samples.reserve(BasebandReader::kBlockSamples);
  for (auto _ : state) {
    InputFile file;
    if (!file.Open(path)) state.SkipWithError("cannot open the recording");
    BasebandReader reader;
    if (!(wav ? reader.OpenWav(file)
              : reader.OpenRaw(file, BasebandFormat::kCu8, 6000000, file.Size())))
      state.SkipWithError(reader.Error().c_str());
    float sum = 0;
    for (;;) {
      samples.clear();
      if (reader.Read(samples, BasebandReader::kBlockSamples) == 0) break;
      sum += samples[0].real();
    }
    benchmark::DoNotOptimize(sum);
    if (reader.GetStatus() != BasebandReader::Status::kEnd)
      state.SkipWithError("not read to the end");
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kSamples));
}

void BM_ReadWav16(benchmark::State& state) {
  const std::string path = WriteRecording("wav16", WavHeader(), 4);
  ReadAll(state, path, true);
  std::remove(path.c_str());
}
BENCHMARK(BM_ReadWav16)->Unit(benchmark::kMillisecond);

void BM_ReadRawCu8(benchmark::State& state) {
  const std::string path = WriteRecording("cu8", {}, 2);
  ReadAll(state, path, false);
  std::remove(path.c_str());
}
BENCHMARK(BM_ReadRawCu8)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vantrel
