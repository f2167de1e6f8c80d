// The Reed-Solomon decoder on arbitrary blocks. Every syndrome path must give the same result, and
// the result must be true: a codeword reported corrected is a codeword afterwards (its syndromes,
// evaluated here by Horner's rule over the codec's own field tables, are zero) and differs from
// what came in in at most 16 symbols; one reported uncorrectable is left exactly as it came.
//
// Input: a mode byte, then
//   mode 0: a 1020-byte frame as CorrectFrame receives it (zero-padded when short);
//   mode 1: one 255-byte codeword in the dual basis, decoded with DecodeCodeword;
//   mode 2: Configure arguments (symbol size, polynomial, first root, primitive element, root
//           count, pad, depth), then a codeword and a frame of the configured code.

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "rs/reed_solomon_codec.h"

namespace vantrel::fuzz {
namespace {

using Path = ReedSolomonCodec::Path;

// The CCSDS code as the extraction stage configures it.
constexpr int32_t kSymbolBits = 8;
constexpr int32_t kPolynomial = 0x187;
constexpr int32_t kFirstRoot = 112;
constexpr int32_t kPrimitive = 11;
constexpr int32_t kRoots = 32;
constexpr int32_t kDepth = 4;
constexpr int32_t kN = 255;
constexpr int32_t kFrameBytes = kDepth * kN;
constexpr int32_t kCorrectable = kRoots / 2;
constexpr uint32_t kUncorrectableBit = 0x10000;
constexpr uint32_t kCountMask = 0xFFFF;

std::vector<Path> Paths() {
  std::vector<Path> paths = {Path::kPlain, Path::kPortable};
  if (ReedSolomonCodec::Avx2Available()) paths.push_back(Path::kAvx2);
  return paths;
}

ReedSolomonCodec& CcsdsCodec() {
  static ReedSolomonCodec codec;
  static const bool configured = [] {
    codec.Configure(kSymbolBits, kPolynomial, kFirstRoot, kPrimitive, kRoots, 0, kDepth);
    return true;
  }();
  (void)configured;
  return codec;
}

// True when every syndrome of the conventional codeword `block` (kN symbols) is zero:
// sum over j of block[j] * alpha^((first root + i) * primitive * (kN - 1 - j)) for every root i.
bool IsCodeword(const ReedSolomonCodec& codec, const uint8_t* block) {
  const uint8_t* exp = codec.ExpTable();
  const uint8_t* log = codec.LogTable();
  for (int32_t i = 0; i < kRoots; ++i) {
    const int32_t root = ((kFirstRoot + i) * kPrimitive) % kN;
    uint8_t sum = 0;
    for (int32_t j = 0; j < kN; ++j) {
      if (block[j] == 0) continue;
      sum ^= exp[(log[block[j]] + root * (kN - 1 - j)) % kN];
    }
    if (sum != 0) return false;
  }
  return true;
}

int Differences(const uint8_t* a, const uint8_t* b, size_t size) {
  int count = 0;
  for (size_t k = 0; k < size; ++k) count += a[k] != b[k];
  return count;
}

// Codeword `c` of a dual-basis frame, in the conventional basis.
std::array<uint8_t, kN> Codeword(const ReedSolomonCodec& codec, const uint8_t* frame, int32_t c) {
  std::array<uint8_t, kN> block;
  for (int32_t j = 0; j < kN; ++j) block[j] = codec.FromDualTable()[frame[j * kDepth + c]];
  return block;
}

void FuzzFrame(InputCursor& input) {
  std::array<uint8_t, kFrameBytes> received{};
  const std::span<const uint8_t> bytes = input.Take(kFrameBytes);
  std::copy(bytes.begin(), bytes.end(), received.begin());

  ReedSolomonCodec& codec = CcsdsCodec();
  std::array<uint8_t, kFrameBytes> first{};
  uint32_t first_result = 0;
  bool have_first = false;
  for (const Path path : Paths()) {
    codec.SelectPath(path);
    std::array<uint8_t, kFrameBytes> frame = received;
    const uint32_t result = codec.CorrectFrame(frame.data());
    if (!have_first) {
      first = frame;
      first_result = result;
      have_first = true;
      continue;
    }
    Check(result == first_result, "syndrome paths give different frame results");
    Check(frame == first, "syndrome paths correct a frame differently");
  }

  uint32_t changed = 0;
  bool some_invalid = false;
  for (int32_t c = 0; c < kDepth; ++c) {
    const std::array<uint8_t, kN> before = Codeword(codec, received.data(), c);
    const std::array<uint8_t, kN> after = Codeword(codec, first.data(), c);
    const int differences = Differences(before.data(), after.data(), kN);
    const bool valid = IsCodeword(codec, after.data());
    if (differences > 0) {
      ++changed;
      Check(valid, "a codeword reported corrected is not a codeword");
      Check(differences <= kCorrectable, "a codeword corrected in more than 16 symbols");
    }
    some_invalid = some_invalid || !valid;
  }
  Check((first_result & kCountMask) == changed, "corrected count differs from codewords changed");
  Check(((first_result & kUncorrectableBit) != 0) == some_invalid,
        "uncorrectable bit differs from the codewords left invalid");
  Check((first_result & ~(kCountMask | kUncorrectableBit)) == 0, "unknown bits in frame result");
}

void FuzzCodeword(InputCursor& input) {
  ReedSolomonCodec& codec = CcsdsCodec();
  std::array<uint8_t, kN> received{};
  const std::span<const uint8_t> bytes = input.Take(kN);
  for (size_t j = 0; j < bytes.size(); ++j) received[j] = codec.FromDualTable()[bytes[j]];

  std::array<uint8_t, kN> first{};
  int32_t first_result = 0;
  bool have_first = false;
  for (const Path path : Paths()) {
    codec.SelectPath(path);
    std::array<uint8_t, kN> block = received;
    const int32_t result = codec.DecodeCodeword(block.data());
    if (!have_first) {
      first = block;
      first_result = result;
      have_first = true;
      continue;
    }
    Check(result == first_result, "syndrome paths give different codeword results");
    Check(block == first, "syndrome paths decode a codeword differently");
  }
  const int differences = Differences(received.data(), first.data(), kN);
  Check(first_result >= -1 && first_result <= kRoots, "codeword result out of range");
  if (first_result < 0) Check(differences == 0, "an uncorrectable codeword was changed");
  if (first_result == 0) {
    Check(differences == 0, "a clean codeword was changed");
    Check(IsCodeword(codec, received.data()), "a block with errors reported clean");
  }
  if (first_result > 0 && first_result <= kCorrectable) {
    Check(IsCodeword(codec, first.data()), "a decoded codeword is not a codeword");
    Check(differences <= first_result, "more symbols changed than reported");
  }
}

// Small signed values around the valid ranges, so that both refusals and odd codes are tried.
int32_t Around(uint8_t byte, int32_t low) {
  return low + static_cast<int32_t>(byte);
}

void FuzzConfigure(InputCursor& input) {
  // A fresh codec each time, so that what it holds is what this input configured (or nothing).
  ReedSolomonCodec codec;
  const int32_t symbol_size = Around(input.Byte() % 11, -1);  // -1..9
  const int32_t polynomial = input.Word();
  const int32_t first_root = Around(input.Byte(), -2);
  const int32_t primitive = Around(input.Byte(), -2);
  const int32_t roots = Around(input.Byte() % 40, -2);  // -2..37
  const int32_t pad = Around(input.Byte(), -2);
  const int32_t depth = Around(input.Byte() % 8, -1);  // -1..6
  codec.Configure(symbol_size, polynomial, first_root, primitive, roots, pad, depth);
  if (!codec.Configured()) {
    std::array<uint8_t, kN> block{};
    Check(codec.DecodeCodeword(block.data()) == -1, "an unconfigured codec decoded");
    Check(codec.CorrectFrame(block.data()) == 0, "an unconfigured codec corrected");
    return;
  }
  // A codeword holds n - pad symbols.
  const int32_t n = (1 << symbol_size) - 1;
  const int32_t length = std::max(0, n - pad);
  std::vector<uint8_t> block(static_cast<size_t>(std::max(length, 1)));
  const std::span<const uint8_t> bytes = input.Take(block.size());
  std::copy(bytes.begin(), bytes.end(), block.begin());
  for (const Path path : Paths()) {
    codec.SelectPath(path);
    std::vector<uint8_t> copy = block;
    const int32_t result = codec.DecodeCodeword(copy.data());
    Check(result >= -1 && result <= std::max(roots, 0), "codeword result out of range");
    if (result < 0) Check(copy == block, "an uncorrectable codeword was changed");
  }
  if (depth > 0) {
    std::vector<uint8_t> frame(static_cast<size_t>(depth) * block.size());
    const std::span<const uint8_t> frame_bytes = input.Take(frame.size());
    std::copy(frame_bytes.begin(), frame_bytes.end(), frame.begin());
    for (const Path path : Paths()) {
      codec.SelectPath(path);
      std::vector<uint8_t> copy = frame;
      const uint32_t result = codec.CorrectFrame(copy.data());
      Check((result & kCountMask) <= static_cast<uint32_t>(depth), "more codewords than depth");
    }
  }
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel::fuzz;
  constexpr int kModes = 3;
  InputCursor input(data, size);
  switch (input.Byte() % kModes) {
    case 0:
      FuzzFrame(input);
      break;
    case 1:
      FuzzCodeword(input);
      break;
    default:
      FuzzConfigure(input);
      break;
  }
  return 0;
}
