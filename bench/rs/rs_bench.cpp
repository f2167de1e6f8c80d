// CorrectFrame on clean frames and on frames with 4 and 16 symbol errors per codeword, on each
// path of the codec, beside libfec's decode_rs_ccsds on the same frames.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

extern "C" {
#include <fec.h>
}

#include "rs/reed_solomon_codec.h"

namespace vantrel {
namespace {

constexpr int kDepth = 4;
constexpr int kCodewordBytes = 255;
constexpr int kDataBytes = 223;
constexpr int kFrameBytes = kDepth * kCodewordBytes;
// Distinct frames cycled through, so that the branch predictor cannot learn one frame.
constexpr int kFrameCount = 64;
constexpr uint32_t kSeed = 20240611;

using Frame = std::array<uint8_t, kFrameBytes>;

// Frames as transmitted (libfec's dual-basis bytes), `errors` symbols corrupted per codeword.
std::vector<Frame> TransmittedFrames(int errors) {
  std::mt19937 rng(kSeed + static_cast<uint32_t>(errors));
  std::vector<Frame> frames(kFrameCount);
  for (Frame& frame : frames) {
    for (int c = 0; c < kDepth; ++c) {
      uint8_t codeword[kCodewordBytes];
      for (int j = 0; j < kDataBytes; ++j) codeword[j] = static_cast<uint8_t>(rng());
      encode_rs_ccsds(codeword, codeword + kDataBytes, 0);
      std::array<int, kCodewordBytes> positions;
      std::iota(positions.begin(), positions.end(), 0);
      std::shuffle(positions.begin(), positions.end(), rng);
      for (int e = 0; e < errors; ++e)
        codeword[positions[e]] ^= static_cast<uint8_t>(1 + rng() % 255);
      for (int j = 0; j < kCodewordBytes; ++j) frame[j * kDepth + c] = codeword[j];
    }
  }
  return frames;
}

// The same frames as the codec receives them: every byte bit-reversed.
std::vector<Frame> CodecFrames(int errors) {
  std::vector<Frame> frames = TransmittedFrames(errors);
  for (Frame& frame : frames)
    for (uint8_t& byte : frame) byte = ReedSolomonCodec::ReverseBits(byte);
  return frames;
}

void Report(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
  state.counters["frames/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

void CorrectFrame(benchmark::State& state, ReedSolomonCodec::Path path) {
  const int errors = static_cast<int>(state.range(0));
  ReedSolomonCodec codec;
  codec.Configure(8, 391, 112, 11, 32, 0, 4);
  if (!codec.SelectPath(path)) {
    state.SkipWithError("path not available on this processor");
    return;
  }
  const std::vector<Frame> frames = CodecFrames(errors);
  Frame work;
  size_t next = 0;
  for (auto _ : state) {
    work = frames[next];
    next = (next + 1) % frames.size();
    benchmark::DoNotOptimize(codec.CorrectFrame(work.data()));
    benchmark::ClobberMemory();
  }
  Report(state);
}

void BM_CorrectFramePlain(benchmark::State& state) {
  CorrectFrame(state, ReedSolomonCodec::Path::kPlain);
}
void BM_CorrectFramePortable(benchmark::State& state) {
  CorrectFrame(state, ReedSolomonCodec::Path::kPortable);
}
void BM_CorrectFrameAvx2(benchmark::State& state) {
  CorrectFrame(state, ReedSolomonCodec::Path::kAvx2);
}

// libfec on the same frames: de-interleave, decode each codeword, interleave back.
void BM_LibfecDecodeRsCcsds(benchmark::State& state) {
  const int errors = static_cast<int>(state.range(0));
  const std::vector<Frame> frames = TransmittedFrames(errors);
  Frame work;
  uint8_t codeword[kCodewordBytes];
  size_t next = 0;
  for (auto _ : state) {
    work = frames[next];
    next = (next + 1) % frames.size();
    int total = 0;
    for (int c = 0; c < kDepth; ++c) {
      for (int j = 0; j < kCodewordBytes; ++j) codeword[j] = work[j * kDepth + c];
      const int result = decode_rs_ccsds(codeword, nullptr, 0, 0);
      if (result > 0)
        for (int j = 0; j < kCodewordBytes; ++j) work[j * kDepth + c] = codeword[j];
      total += result;
    }
    benchmark::DoNotOptimize(total);
    benchmark::ClobberMemory();
  }
  Report(state);
}

BENCHMARK(BM_LibfecDecodeRsCcsds)->Arg(0)->Arg(4)->Arg(16);
BENCHMARK(BM_CorrectFramePlain)->Arg(0)->Arg(4)->Arg(16);
BENCHMARK(BM_CorrectFramePortable)->Arg(0)->Arg(4)->Arg(16);
BENCHMARK(BM_CorrectFrameAvx2)->Arg(0)->Arg(4)->Arg(16);

}  // namespace
}  // namespace vantrel
