// ReedSolomonCodec against libfec's CCSDS encoder and tables, against field arithmetic done here
// from the definition, and against peer vectors made by another project.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

extern "C" {
#include <fec.h>
}

#include "rs/reed_solomon_codec.h"

namespace vantrel {
namespace {

using Path = ReedSolomonCodec::Path;

constexpr int kDepth = 4;
constexpr int kN = 255;
constexpr int kDataSymbols = 223;
constexpr int kRoots = 32;
constexpr int kFrameBytes = kDepth * kN;
constexpr uint32_t kSeed = 0x5EED2024;

using Frame = std::array<uint8_t, kFrameBytes>;
using Codeword = std::array<uint8_t, kN>;
using Codewords = std::array<Codeword, kDepth>;

void PrintSeed(uint32_t seed) {
  std::printf("[   seed   ] %u\n", seed);
}

// ---- GF(2^8) with x^8 + x^7 + x^2 + x + 1, computed bit by bit (not from the codec's tables).

uint8_t GfMul(uint8_t a, uint8_t b) {
  uint8_t product = 0;
  while (b != 0) {
    if (b & 1) product ^= a;
    b >>= 1;
    const bool carry = (a & 0x80) != 0;
    a = static_cast<uint8_t>(a << 1);
    if (carry) a ^= 0x87;
  }
  return product;
}

uint8_t GfPow(uint8_t a, int exponent) {
  uint8_t result = 1;
  for (int e = exponent % kN; e > 0; --e) result = GfMul(result, a);
  return result;
}

uint8_t GfInv(uint8_t a) {
  return GfPow(a, kN - 1);
}

uint8_t Alpha(int exponent) {
  return GfPow(2, exponent);
}

// Root i of the CCSDS generator: alpha^(11 x (112 + i)).
uint8_t Root(int i) {
  static const std::array<uint8_t, kRoots> roots = [] {
    std::array<uint8_t, kRoots> values;
    for (int k = 0; k < kRoots; ++k) values[k] = Alpha(11 * (112 + k));
    return values;
  }();
  return roots[i];
}

// Syndrome i of a conventional word: the word at root i, its first symbol the highest power.
uint8_t Syndrome(const uint8_t* word, int length, int i) {
  uint8_t s = 0;
  for (int j = 0; j < length; ++j) s = GfMul(s, Root(i)) ^ word[j];
  return s;
}

// Solves a x = b for a square, regular a over the field.
std::vector<uint8_t> Solve(std::vector<std::vector<uint8_t>> a, std::vector<uint8_t> b) {
  const size_t size = b.size();
  for (size_t col = 0; col < size; ++col) {
    size_t pivot = col;
    while (pivot < size && a[pivot][col] == 0) ++pivot;
    if (pivot == size) return {};
    std::swap(a[pivot], a[col]);
    std::swap(b[pivot], b[col]);
    const uint8_t inverse = GfInv(a[col][col]);
    for (size_t k = 0; k < size; ++k) a[col][k] = GfMul(a[col][k], inverse);
    b[col] = GfMul(b[col], inverse);
    for (size_t row = 0; row < size; ++row) {
      if (row == col || a[row][col] == 0) continue;
      const uint8_t factor = a[row][col];
      for (size_t k = 0; k < size; ++k) a[row][k] ^= GfMul(factor, a[col][k]);
      b[row] ^= GfMul(factor, b[col]);
    }
  }
  return b;
}

// ---- Frames as they reach the codec.

// Random data, encoded by libfec: a codeword as transmitted (dual basis).
Codeword EncodeRandom(std::mt19937& rng) {
  Codeword codeword;
  for (int j = 0; j < kDataSymbols; ++j) codeword[j] = static_cast<uint8_t>(rng());
  encode_rs_ccsds(codeword.data(), codeword.data() + kDataSymbols, 0);
  return codeword;
}

// Adds `count` errors at distinct shuffled positions with non-zero values.
void Corrupt(uint8_t* symbols, int length, int count, std::mt19937& rng) {
  std::vector<int> positions(static_cast<size_t>(length));
  std::iota(positions.begin(), positions.end(), 0);
  std::shuffle(positions.begin(), positions.end(), rng);
  for (int e = 0; e < count; ++e) symbols[positions[e]] ^= static_cast<uint8_t>(1 + rng() % kN);
}

// The frame the codec receives: transmitted codewords interleaved, every byte bit-reversed.
Frame Interleave(const Codewords& codewords) {
  Frame frame;
  for (int c = 0; c < kDepth; ++c)
    for (int j = 0; j < kN; ++j)
      frame[j * kDepth + c] = ReedSolomonCodec::ReverseBits(codewords[c][j]);
  return frame;
}

// A transmitted codeword from conventional symbols.
Codeword FromConventional(const Codeword& conventional) {
  Codeword transmitted;
  for (int j = 0; j < kN; ++j) transmitted[j] = Taltab[conventional[j]];
  return transmitted;
}

class ConfiguredCodec {
 public:
  explicit ConfiguredCodec(Path path) {
    codec.Configure(8, 391, 112, 11, 32, 0, 4);
    usable = codec.SelectPath(path);
  }
  ReedSolomonCodec codec;
  bool usable = false;
};

const Path kPaths[] = {Path::kPlain, Path::kPortable, Path::kAvx2};

std::string PathName(Path path) {
  switch (path) {
    case Path::kPlain:
      return "Plain";
    case Path::kPortable:
      return "Portable";
    case Path::kAvx2:
      return "Avx2";
  }
  return "?";
}

// ---- Tables and small operations.

TEST(ReedSolomonTables, FieldTablesFollowThePolynomial) {
  ReedSolomonCodec codec;
  EXPECT_FALSE(codec.Configured());
  EXPECT_EQ(codec.ExpTable(), nullptr);
  EXPECT_EQ(codec.LogTable(), nullptr);
  codec.Configure(8, 391, 112, 11, 32, 0, 4);
  ASSERT_TRUE(codec.Configured());
  const uint8_t* exp = codec.ExpTable();
  const uint8_t* log = codec.LogTable();
  EXPECT_EQ(exp[8], 0x87);
  EXPECT_EQ(log[1], 0);
  EXPECT_EQ(log[0], 255);
  EXPECT_EQ(exp[255], 0);
  EXPECT_EQ(codec.InverseStep(), 116);
  for (int i = 0; i < kN; ++i) {
    EXPECT_EQ(exp[i], Alpha(i)) << i;
    EXPECT_EQ(log[Alpha(i)], i) << i;
  }
}

TEST(ReedSolomonTables, DualBasisTablesMatchLibfec) {
  ReedSolomonCodec codec;  // built at construction, before any configuration
  const uint8_t* to_dual = codec.ToDualTable();
  const uint8_t* from_dual = codec.FromDualTable();
  const uint8_t first[] = {0x00, 0xDE, 0xF5, 0x2B, 0x99, 0x47, 0x6C, 0xB2};
  for (int c = 0; c < 8; ++c) EXPECT_EQ(to_dual[c], first[c]) << c;
  for (int c = 0; c < 256; ++c) {
    const auto value = static_cast<uint8_t>(c);
    EXPECT_EQ(to_dual[c], ReedSolomonCodec::ReverseBits(Taltab[c])) << c;
    EXPECT_EQ(from_dual[to_dual[c]], c) << c;
    EXPECT_EQ(from_dual[c], Tal1tab[ReedSolomonCodec::ReverseBits(value)]) << c;
  }
}

TEST(ReedSolomonCodec, ReverseBitsMirrorsTheByte) {
  EXPECT_EQ(ReedSolomonCodec::ReverseBits(0x01), 0x80);
  EXPECT_EQ(ReedSolomonCodec::ReverseBits(0x1A), 0x58);
  EXPECT_EQ(ReedSolomonCodec::ReverseBits(0xCF), 0xF3);
  EXPECT_EQ(ReedSolomonCodec::ReverseBits(0xF0), 0x0F);
  for (int v = 0; v < 256; ++v) {
    const uint8_t reversed = ReedSolomonCodec::ReverseBits(static_cast<uint8_t>(v));
    for (int k = 0; k < 8; ++k) EXPECT_EQ((reversed >> k) & 1, (v >> (7 - k)) & 1) << v;
  }
}

TEST(ReedSolomonCodec, ReduceExponentIsModuloN) {
  ReedSolomonCodec codec;
  // Without a field nothing is reduced, and the call returns.
  EXPECT_EQ(codec.ReduceExponent(300), 300);
  codec.Configure(8, 391, 112, 11, 32, 0, 4);
  for (int x = 0; x < 70000; ++x) ASSERT_EQ(codec.ReduceExponent(x), x % kN) << x;
}

// ---- Configure.

// True when the codec still corrects a one-error CCSDS frame of depth 4.
bool CorrectsCcsdsFrames(ReedSolomonCodec& codec) {
  std::mt19937 rng(kSeed);
  Codewords codewords;
  for (Codeword& codeword : codewords) codeword = EncodeRandom(rng);
  const Frame clean = Interleave(codewords);
  Frame frame = clean;
  frame[5] ^= 0x21;
  return codec.CorrectFrame(frame.data()) == 1 && frame == clean;
}

TEST(ReedSolomonConfigure, RefusesOutOfRangeArgumentsAndKeepsTheCode) {
  ReedSolomonCodec codec;
  codec.Configure(8, 391, 112, 11, 32, 0, 4);
  const std::vector<std::array<int32_t, 7>> refused = {
      {9, 391, 112, 11, 32, 0, 4},    // symbol size above 8
      {-1, 391, 112, 11, 32, 0, 4},   // negative symbol size
      {8, 391, 256, 11, 32, 0, 4},    // first root beyond the field
      {8, 391, -1, 11, 32, 0, 4},     // negative first root
      {8, 391, 112, 0, 32, 0, 4},     // no step between roots
      {8, 391, 112, 256, 32, 0, 4},   // step beyond the field
      {8, 391, 112, 11, 256, 0, 4},   // more roots than the field has
      {8, 391, 112, 11, 32, 223, 4},  // pad leaves no data symbol
      {8, 391, 112, 11, 32, -1, 4},   // negative pad
      {8, 391, 112, 3, 32, 0, 4},     // step sharing a factor with 255: roots would repeat
      {8, 391, 112, 17, 32, 0, 4},
  };
  for (const auto& a : refused) {
    codec.Configure(a[0], a[1], a[2], a[3], a[4], a[5], a[6]);
    EXPECT_TRUE(codec.Configured());
    EXPECT_EQ(codec.InverseStep(), 116);
    EXPECT_TRUE(CorrectsCcsdsFrames(codec)) << a[0] << " " << a[2] << " " << a[3] << " " << a[5];
  }
}

TEST(ReedSolomonConfigure, AcceptsTheLargestPad) {
  ReedSolomonCodec codec;
  codec.Configure(8, 391, 112, 11, 32, 222, 1);
  ASSERT_TRUE(codec.Configured());
  // The shortest code: one data symbol and 32 check symbols, conventional basis.
  std::array<uint8_t, 33> block = {0x5A};
  encode_rs_8(block.data(), block.data() + 1, 222);
  const auto clean = block;
  block[0] ^= 0x11;
  block[20] ^= 0xFE;
  for (Path path : kPaths) {
    if (!codec.SelectPath(path)) continue;
    auto work = block;
    EXPECT_EQ(codec.DecodeCodeword(work.data()), 2) << PathName(path);
    EXPECT_EQ(work, clean) << PathName(path);
  }
}

TEST(ReedSolomonConfigure, PolynomialThatIsNotPrimitiveLeavesNoFieldTables) {
  std::mt19937 rng(kSeed);
  Codewords codewords;
  for (Codeword& codeword : codewords) codeword = EncodeRandom(rng);
  Frame received = Interleave(codewords);
  received[7] ^= 0x44;
  // 0x11B is irreducible, but x has order 51 in its field: the register comes back to 1 early.
  // 0x100 (x^8) and 0x186 (divisible by x) are reducible.
  for (int32_t polynomial : {0x11B, 0x100, 0x186}) {
    ReedSolomonCodec codec;
    codec.Configure(8, 391, 112, 11, 32, 0, 4);
    codec.Configure(8, polynomial, 112, 11, 32, 0, 4);
    EXPECT_FALSE(codec.Configured()) << polynomial;
    EXPECT_EQ(codec.ExpTable(), nullptr);
    EXPECT_EQ(codec.LogTable(), nullptr);
    Frame frame = received;
    EXPECT_EQ(codec.CorrectFrame(frame.data()), 0u);
    EXPECT_EQ(frame, received);
    codec.Configure(8, 391, 112, 11, 32, 0, 4);
    EXPECT_TRUE(CorrectsCcsdsFrames(codec));
  }
}

TEST(ReedSolomonCodec, NeverConfiguredCodecCorrectsNothing) {
  ReedSolomonCodec codec;
  std::mt19937 rng(kSeed);
  Codewords codewords;
  for (Codeword& codeword : codewords) codeword = EncodeRandom(rng);
  Frame frame = Interleave(codewords);
  frame[0] ^= 1;
  const Frame received = frame;
  EXPECT_EQ(codec.CorrectFrame(frame.data()), 0u);
  EXPECT_EQ(frame, received);
  std::array<uint8_t, kN> block{};
  block[3] = 9;
  EXPECT_EQ(codec.DecodeCodeword(block.data()), -1);
  EXPECT_EQ(block[3], 9);
}

// ---- Against libfec's encoder: k errors per codeword.

class LibfecOracle : public ::testing::TestWithParam<std::tuple<Path, int>> {};

TEST_P(LibfecOracle, CorrectsUpToSixteenAndReportsMore) {
  const auto [path, errors] = GetParam();
  ConfiguredCodec setup(path);
  if (!setup.usable) GTEST_SKIP() << "no AVX2 on this processor";
  const uint32_t seed = kSeed + static_cast<uint32_t>(errors);
  PrintSeed(seed);
  std::mt19937 rng(seed);
  constexpr int kFrames = 12;
  for (int f = 0; f < kFrames; ++f) {
    Codewords codewords;
    for (Codeword& codeword : codewords) codeword = EncodeRandom(rng);
    const Frame clean = Interleave(codewords);
    Codewords received_words = codewords;
    for (Codeword& codeword : received_words) Corrupt(codeword.data(), kN, errors, rng);
    const Frame received = Interleave(received_words);
    Frame frame = received;
    const uint32_t result = setup.codec.CorrectFrame(frame.data());
    if (errors == 0) {
      EXPECT_EQ(result, 0u);
      EXPECT_EQ(frame, clean);
    } else if (errors <= 16) {
      EXPECT_EQ(result, 4u) << "frame " << f;
      EXPECT_EQ(frame, clean) << "frame " << f;
    } else {
      EXPECT_EQ(result, 0x10000u) << "frame " << f;
      EXPECT_EQ(frame, received) << "frame " << f;
    }
    // One codeword alone, in conventional form.
    Codeword conventional;
    Codeword expected;
    for (int j = 0; j < kN; ++j) {
      conventional[j] = Tal1tab[received_words[0][j]];
      expected[j] = Tal1tab[codewords[0][j]];
    }
    const Codeword before = conventional;
    const int32_t decoded = setup.codec.DecodeCodeword(conventional.data());
    if (errors <= 16) {
      EXPECT_EQ(decoded, errors);
      EXPECT_EQ(conventional, expected);
    } else {
      EXPECT_EQ(decoded, -1);
      EXPECT_EQ(conventional, before);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(ErrorsPerCodeword, LibfecOracle,
                         ::testing::Combine(::testing::ValuesIn(kPaths),
                                            ::testing::Values(0, 1, 2, 9, 15, 16, 17, 20, 40)),
                         [](const ::testing::TestParamInfo<LibfecOracle::ParamType>& info) {
                           return PathName(std::get<0>(info.param)) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

class FrameResult : public ::testing::TestWithParam<Path> {};

TEST_P(FrameResult, CountsCorrectedCodewordsAndFlagsFailures) {
  ConfiguredCodec setup(GetParam());
  if (!setup.usable) GTEST_SKIP() << "no AVX2 on this processor";
  ReedSolomonCodec& codec = setup.codec;
  PrintSeed(kSeed);
  std::mt19937 rng(kSeed);
  Codewords codewords;
  for (Codeword& codeword : codewords) codeword = EncodeRandom(rng);
  const Frame clean = Interleave(codewords);

  Frame zeros{};
  EXPECT_EQ(codec.CorrectFrame(zeros.data()), 0u);
  EXPECT_EQ(zeros, Frame{});

  Frame frame = clean;
  frame[401] ^= 0x80;  // one byte of codeword 1
  EXPECT_EQ(codec.CorrectFrame(frame.data()), 1u);
  EXPECT_EQ(frame, clean);

  // Errors in codewords 0 and 3.
  Codewords two = codewords;
  Corrupt(two[0].data(), kN, 5, rng);
  Corrupt(two[3].data(), kN, 16, rng);
  frame = Interleave(two);
  EXPECT_EQ(codec.CorrectFrame(frame.data()), 2u);
  EXPECT_EQ(frame, clean);

  // Codeword 1 corrected, codeword 2 beyond repair and left as received.
  Codewords mixed = codewords;
  Corrupt(mixed[1].data(), kN, 3, rng);
  Corrupt(mixed[2].data(), kN, 30, rng);
  frame = Interleave(mixed);
  Frame expected = Interleave(mixed);
  for (int j = 0; j < kN; ++j) expected[j * kDepth + 1] = clean[j * kDepth + 1];
  EXPECT_EQ(codec.CorrectFrame(frame.data()), 0x10001u);
  EXPECT_EQ(frame, expected);

  // All four beyond repair: the flag, not a count of failures.
  Codewords failed = codewords;
  for (Codeword& codeword : failed) Corrupt(codeword.data(), kN, 25, rng);
  frame = Interleave(failed);
  const Frame received = frame;
  EXPECT_EQ(codec.CorrectFrame(frame.data()), 0x10000u);
  EXPECT_EQ(frame, received);
}

INSTANTIATE_TEST_SUITE_P(Paths, FrameResult, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<Path>& info) {
                           return PathName(info.param);
                         });

// ---- Every path gives the same syndromes, results and bytes.

TEST(ReedSolomonPaths, SyndromesMatchTheirDefinition) {
  PrintSeed(kSeed);
  std::mt19937 rng(kSeed);
  ConfiguredCodec plain(Path::kPlain);
  ConfiguredCodec portable(Path::kPortable);
  ConfiguredCodec avx2(Path::kAvx2);
  for (int trial = 0; trial < 60; ++trial) {
    Frame frame;
    if (trial % 3 == 0) {
      Codewords codewords;
      for (Codeword& codeword : codewords) codeword = EncodeRandom(rng);
      if (trial % 2 == 0) Corrupt(codewords[trial % kDepth].data(), kN, 1 + trial % 20, rng);
      frame = Interleave(codewords);
    } else {
      for (uint8_t& byte : frame) byte = static_cast<uint8_t>(rng());
    }
    std::array<uint8_t, kDepth * kRoots> expected;
    for (int c = 0; c < kDepth; ++c) {
      Codeword conventional;
      for (int j = 0; j < kN; ++j)
        conventional[j] = Tal1tab[ReedSolomonCodec::ReverseBits(frame[j * kDepth + c])];
      for (int i = 0; i < kRoots; ++i)
        expected[c * kRoots + i] = Syndrome(conventional.data(), kN, i);
    }
    for (ConfiguredCodec* setup : {&plain, &portable, &avx2}) {
      if (!setup->usable) continue;
      std::array<uint8_t, kDepth * kRoots> syndromes{};
      setup->codec.FrameSyndromes(frame.data(), syndromes.data());
      EXPECT_EQ(syndromes, expected) << PathName(setup->codec.ActivePath()) << " trial " << trial;
    }
  }
}

// Runs the same received frames through every path of codecs configured alike.
void ExpectPathsAgree(const std::array<int32_t, 7>& code, int frames, uint32_t seed) {
  PrintSeed(seed);
  std::mt19937 rng(seed);
  ReedSolomonCodec plain;
  ReedSolomonCodec portable;
  ReedSolomonCodec avx2;
  for (ReedSolomonCodec* codec : {&plain, &portable, &avx2})
    codec->Configure(code[0], code[1], code[2], code[3], code[4], code[5], code[6]);
  ASSERT_TRUE(plain.Configured());
  plain.SelectPath(Path::kPlain);
  portable.SelectPath(Path::kPortable);
  const bool have_avx2 = avx2.SelectPath(Path::kAvx2);
  const int length = kN - code[5];
  const int depth = code[6];
  std::vector<uint8_t> frame(static_cast<size_t>(length * depth));
  for (int f = 0; f < frames; ++f) {
    // Start from zeros (a codeword of every code) or from random bytes, then add errors.
    if (f % 4 == 0)
      for (uint8_t& byte : frame) byte = static_cast<uint8_t>(rng());
    else
      std::fill(frame.begin(), frame.end(), 0);
    for (int c = 0; c < depth; ++c) {
      std::vector<uint8_t> codeword(static_cast<size_t>(length));
      Corrupt(codeword.data(), length, static_cast<int>(rng() % 22), rng);
      for (int j = 0; j < length; ++j) frame[static_cast<size_t>(j * depth + c)] ^= codeword[j];
    }
    std::vector<uint8_t> by_plain = frame;
    std::vector<uint8_t> by_portable = frame;
    std::vector<uint8_t> by_avx2 = frame;
    const uint32_t expected = plain.CorrectFrame(by_plain.data());
    ASSERT_EQ(portable.CorrectFrame(by_portable.data()), expected) << "frame " << f;
    ASSERT_EQ(by_portable, by_plain) << "frame " << f;
    if (!have_avx2) continue;
    ASSERT_EQ(avx2.CorrectFrame(by_avx2.data()), expected) << "frame " << f;
    ASSERT_EQ(by_avx2, by_plain) << "frame " << f;
  }
}

TEST(ReedSolomonPaths, AgreeOnCorruptedCcsdsFrames) {
  ExpectPathsAgree({8, 391, 112, 11, 32, 0, 4}, 600, kSeed);
}

TEST(ReedSolomonPaths, AgreeOnOtherCodesOfThirtyTwoRoots) {
  // Other depths (partial groups of four), a shortened code, another field and root set.
  ExpectPathsAgree({8, 391, 112, 11, 32, 0, 1}, 100, kSeed + 1);
  ExpectPathsAgree({8, 391, 112, 11, 32, 0, 6}, 100, kSeed + 2);
  ExpectPathsAgree({8, 391, 112, 11, 32, 100, 4}, 100, kSeed + 3);
  ExpectPathsAgree({8, 0x11D, 0, 1, 32, 0, 4}, 100, kSeed + 4);
}

// ---- Faults the plain decoding steps would let through.

// Errors of 17 symbols chosen so that the decode lands on a codeword 17 symbols away: the
// locator has degree 17 and splits. The roots X_k need a zero x^16 coefficient in the product of
// (1 + X_k x), syndromes 0..15 zero and syndrome 16 equal to the x^17 coefficient.
Codeword SeventeenErrorWord(std::mt19937& rng) {
  constexpr int kErrors = 17;
  for (;;) {
    std::vector<int> positions(kN);
    std::iota(positions.begin(), positions.end(), 0);
    std::shuffle(positions.begin(), positions.end(), rng);
    positions.resize(kErrors);
    std::vector<uint8_t> x(kErrors);
    for (int k = 0; k < kErrors; ++k) x[k] = Alpha(11 * (kN - 1 - positions[k]));
    std::vector<uint8_t> locator = {1};
    for (uint8_t root : x) {
      std::vector<uint8_t> next(locator.size() + 1, 0);
      for (size_t i = 0; i < locator.size(); ++i) {
        next[i] ^= locator[i];
        next[i + 1] ^= GfMul(locator[i], root);
      }
      locator = next;
    }
    if (locator[16] != 0) continue;
    // z_k = y_k x_k^112; syndrome i = sum z_k x_k^i. Fix z_16 = 1 and null syndromes 0..15.
    std::vector<std::vector<uint8_t>> a(16, std::vector<uint8_t>(16));
    std::vector<uint8_t> b(16);
    for (int i = 0; i < 16; ++i) {
      for (int k = 0; k < 16; ++k) a[i][k] = GfPow(x[k], i);
      b[i] = GfPow(x[16], i);
    }
    std::vector<uint8_t> z = Solve(a, b);
    if (z.empty()) continue;
    z.push_back(1);
    uint8_t s16 = 0;
    for (int k = 0; k < kErrors; ++k) s16 ^= GfMul(z[k], GfPow(x[k], 16));
    if (s16 == 0 || std::count(z.begin(), z.end(), 0) != 0) continue;
    const uint8_t scale = GfMul(locator[kErrors], GfInv(s16));
    Codeword word{};
    for (int k = 0; k < kErrors; ++k)
      word[positions[k]] = GfMul(GfMul(z[k], scale), GfInv(GfPow(x[k], 112)));
    return word;
  }
}

class DecoderLimits : public ::testing::TestWithParam<Path> {};

TEST_P(DecoderLimits, DecodeBeyondSixteenCorrectionsCountsAsUncorrectable) {
  ConfiguredCodec setup(GetParam());
  if (!setup.usable) GTEST_SKIP() << "no AVX2 on this processor";
  PrintSeed(kSeed);
  std::mt19937 rng(kSeed);
  const Codeword word = SeventeenErrorWord(rng);
  // The decoding steps find a codeword (all zeros) 17 symbols away...
  Codeword block = word;
  EXPECT_EQ(setup.codec.DecodeCodeword(block.data()), 17);
  EXPECT_EQ(block, Codeword{});
  // ...which the frame correction does not take: flagged, left as received.
  Codewords codewords{};
  codewords[2] = FromConventional(word);
  Frame frame = Interleave(codewords);
  const Frame received = frame;
  EXPECT_EQ(setup.codec.CorrectFrame(frame.data()), 0x10000u);
  EXPECT_EQ(frame, received);
}

TEST_P(DecoderLimits, SyndromesWithoutErrorLocatorAreUncorrectable) {
  ConfiguredCodec setup(GetParam());
  if (!setup.usable) GTEST_SKIP() << "no AVX2 on this processor";
  // A word whose only non-zero syndrome is the first: the locator comes out constant.
  std::vector<std::vector<uint8_t>> a(kRoots, std::vector<uint8_t>(kRoots));
  for (int i = 0; i < kRoots; ++i)
    for (int k = 0; k < kRoots; ++k) a[i][k] = GfPow(Root(i), kRoots - 1 - k);
  std::vector<uint8_t> b(kRoots, 0);
  b[0] = 0x3C;
  const std::vector<uint8_t> check = Solve(a, b);
  ASSERT_EQ(check.size(), static_cast<size_t>(kRoots));
  Codeword word{};
  std::copy(check.begin(), check.end(), word.begin() + kDataSymbols);
  ASSERT_EQ(Syndrome(word.data(), kN, 0), 0x3C);
  ASSERT_EQ(Syndrome(word.data(), kN, 1), 0);
  Codeword block = word;
  EXPECT_EQ(setup.codec.DecodeCodeword(block.data()), -1);
  EXPECT_EQ(block, word);
  Codewords codewords{};
  codewords[0] = FromConventional(word);
  Frame frame = Interleave(codewords);
  const Frame received = frame;
  EXPECT_EQ(setup.codec.CorrectFrame(frame.data()), 0x10000u);
  EXPECT_EQ(frame, received);
}

INSTANTIATE_TEST_SUITE_P(Paths, DecoderLimits, ::testing::ValuesIn(kPaths),
                         [](const ::testing::TestParamInfo<Path>& info) {
                           return PathName(info.param);
                         });

TEST(ReedSolomonCodec, SmallFieldCorrectsAndRefusesWideSymbols) {
  ReedSolomonCodec codec;
  // GF(16) with x^4 + x + 1, four roots alpha^1..alpha^4, one codeword of 15 symbols.
  codec.Configure(4, 0x13, 1, 1, 4, 0, 1);
  ASSERT_TRUE(codec.Configured());
  EXPECT_EQ(codec.InverseStep(), 1);
  std::array<uint8_t, 15> block{};
  block[3] = 5;
  block[11] = 0xF;
  EXPECT_EQ(codec.DecodeCodeword(block.data()), 2);
  EXPECT_EQ(block, (std::array<uint8_t, 15>{}));
  // A byte that is no symbol of GF(16).
  block[6] = 0x40;
  EXPECT_EQ(codec.DecodeCodeword(block.data()), -1);
  EXPECT_EQ(block[6], 0x40);
}

// ---- Peer vectors from another project.

std::vector<Frame> PeerBlocks() {
  std::ifstream file(std::string(VANTREL_RS_TEST_DATA) + "/cvcdus.hex");
  std::vector<Frame> blocks;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty()) continue;
    if (line.size() != 2 * kFrameBytes) return {};
    Frame block;
    for (int i = 0; i < kFrameBytes; ++i)
      block[i] = static_cast<uint8_t>(std::stoi(line.substr(2 * i, 2), nullptr, 16));
    blocks.push_back(block);
  }
  return blocks;
}

TEST(PeerVectors, FixtureHoldsThePublishedFrames) {
  const std::vector<Frame> blocks = PeerBlocks();
  ASSERT_EQ(blocks.size(), 4u);
  const int first_header_pointers[] = {0, 2047, 236, 0};
  for (int k = 0; k < 4; ++k) {
    const Frame& vcdu = blocks[k];
    EXPECT_EQ(vcdu[0] >> 6, 1);                               // version 2
    EXPECT_EQ(((vcdu[0] & 0x3F) << 2) | (vcdu[1] >> 6), 12);  // spacecraft
    EXPECT_EQ(vcdu[1] & 0x3F, 9);                             // virtual channel
    EXPECT_EQ(vcdu[2] << 16 | vcdu[3] << 8 | vcdu[4], k);     // frame counter
    EXPECT_EQ((vcdu[8] << 8 | vcdu[9]) & 0x7FF, first_header_pointers[k]);
  }
}

TEST(PeerVectors, DecodeCleanAndComeBackFromErrors) {
  const std::vector<Frame> blocks = PeerBlocks();
  ASSERT_EQ(blocks.size(), 4u);
  PrintSeed(kSeed);
  std::mt19937 rng(kSeed);
  for (Path path : kPaths) {
    ConfiguredCodec setup(path);
    if (!setup.usable) continue;
    for (const Frame& block : blocks) {
      Frame clean;
      for (int i = 0; i < kFrameBytes; ++i) clean[i] = ReedSolomonCodec::ReverseBits(block[i]);
      Frame frame = clean;
      EXPECT_EQ(setup.codec.CorrectFrame(frame.data()), 0u) << PathName(path);
      EXPECT_EQ(frame, clean);
      for (int errors : {1, 8, 16}) {
        for (int c = 0; c < kDepth; ++c) {
          Codeword symbols{};
          Corrupt(symbols.data(), kN, errors, rng);
          for (int j = 0; j < kN; ++j) frame[j * kDepth + c] ^= symbols[j];
        }
        EXPECT_EQ(setup.codec.CorrectFrame(frame.data()), 4u) << PathName(path) << " " << errors;
        EXPECT_EQ(frame, clean) << PathName(path) << " " << errors;
      }
    }
  }
}

}  // namespace
}  // namespace vantrel
