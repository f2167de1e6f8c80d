// The Viterbi decoder against the simulator's encoder (clean input must come back exactly) and
// against libfec's viterbi27 on the same noisy symbols (the decoded bit error rate must stay
// within kBerFactor of libfec's). Random data is seeded; the seed is printed.
#include "viterbi/viterbi_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <random>
#include <tuple>
#include <vector>

extern "C" {
#include <fec.h>
}

#include "sim/convolutional_encoder.h"

namespace vantrel {
namespace {

using Puncturing = ViterbiDecoder::Puncturing;

constexpr uint32_t kSeed = 20261209;
constexpr double kAmplitude = 100.0;
// The k = 7 code's memory: six zero bits end the encoder in state 0 (libfec's chainback needs
// the end state).
constexpr int kTail = 6;
// Our decoded errors may exceed libfec's by this factor plus kBerSlack bits: it traces back
// kTracebackDepth bits, libfec over the whole block from the known end state.
constexpr double kBerFactor = 1.25;
constexpr int kBerSlack = 20;

std::vector<uint8_t> RandomBits(size_t count, uint32_t seed) {
  std::printf("random bits: seed %u\n", seed);
  std::mt19937 rng(seed);
  std::vector<uint8_t> bits(count);
  for (uint8_t& bit : bits) bit = static_cast<uint8_t>(rng() & 1u);
  return bits;
}

std::vector<uint8_t> Encode(const std::vector<uint8_t>& bits) {
  sim::ConvolutionalEncoder encoder;
  std::vector<uint8_t> coded;
  encoder.Encode(bits, coded);
  return coded;
}

std::vector<uint8_t> WithTail(std::vector<uint8_t> bits) {
  bits.insert(bits.end(), kTail, 0);
  return bits;
}

// Decodes all symbols in one call plus Flush, as one bit per byte.
std::vector<uint8_t> DecodeBits(ViterbiDecoder& decoder, const std::vector<int8_t>& symbols) {
  std::vector<uint8_t> packed;
  decoder.Decode(symbols.data(), symbols.size(), packed);
  const size_t whole = packed.size() * 8;
  const size_t last = decoder.Flush(packed);
  std::vector<uint8_t> bits = sim::UnpackBits(packed);
  bits.resize(whole + last);
  return bits;
}

// libfec's viterbi27 on rate-1/2 symbols (tail included), nbits decoded bits, with the
// generators in the order the symbols come (G1 then G2 unless a test says otherwise).
std::vector<uint8_t> LibfecDecode(const std::vector<int8_t>& symbols, size_t nbits,
                                  int first = 0x4F, int second = 0x6D) {
  int polys[2] = {first, second};
  set_viterbi27_polynomial(polys);
  void* vp = create_viterbi27(static_cast<int>(nbits));
  init_viterbi27(vp, 0);
  std::vector<unsigned char> offset(symbols.size());
  for (size_t i = 0; i < symbols.size(); ++i)
    offset[i] = static_cast<unsigned char>(symbols[i] + 128);  // libfec: 255 = strong one
  update_viterbi27_blk(vp, offset.data(), static_cast<int>(symbols.size() / 2));
  std::vector<uint8_t> packed((nbits + 7) / 8);
  chainback_viterbi27(vp, packed.data(), static_cast<unsigned>(nbits), 0);
  delete_viterbi27(vp);
  std::vector<uint8_t> bits = sim::UnpackBits(packed);
  bits.resize(nbits);
  return bits;
}

// Rate-1/2 symbols with erasures where the pattern sent nothing (libfec's input).
std::vector<int8_t> Depunctured(const std::vector<int8_t>& sent, sim::Puncture34 pattern) {
  std::vector<int8_t> pairs;
  for (size_t i = 0; i + 4 <= sent.size(); i += 4) {
    const int8_t g2_b2 = pattern == sim::Puncture34::kMetop ? sent[i + 3] : sent[i + 2];
    const int8_t g1_b3 = pattern == sim::Puncture34::kMetop ? sent[i + 2] : sent[i + 3];
    pairs.insert(pairs.end(), {sent[i], sent[i + 1], 0, g2_b2, g1_b3, 0});
  }
  return pairs;
}

int CountErrors(const std::vector<uint8_t>& decoded, const std::vector<uint8_t>& truth,
                size_t count) {
  int errors = 0;
  for (size_t i = 0; i < count; ++i) errors += decoded[i] != truth[i];
  return errors;
}

TEST(ConvolutionalEncoderTest, ImpulseResponseIsTheCcsdsGenerators) {
  // A single one: 171 octal = 1111001, 133 octal = 1011011, first tap first.
  std::vector<uint8_t> coded = Encode({1, 0, 0, 0, 0, 0, 0, 0});
  const std::vector<uint8_t> g1 = {1, 1, 1, 1, 0, 0, 1, 0};
  const std::vector<uint8_t> g2 = {1, 0, 1, 1, 0, 1, 1, 0};
  for (size_t t = 0; t < g1.size(); ++t) {
    EXPECT_EQ(coded[2 * t], g1[t]) << "G1 at " << t;
    EXPECT_EQ(coded[2 * t + 1], g2[t]) << "G2 at " << t;
  }
}

TEST(ConvolutionalEncoderTest, CarriesItsStateBetweenCalls) {
  const std::vector<uint8_t> bits = RandomBits(301, kSeed);
  sim::ConvolutionalEncoder encoder;
  std::vector<uint8_t> pieces;
  encoder.Encode({bits.begin(), bits.begin() + 100}, pieces);
  encoder.Encode({bits.begin() + 100, bits.end()}, pieces);
  EXPECT_EQ(pieces, Encode(bits));
}

TEST(ConvolutionalEncoderTest, PuncturesBothPatternsAsSent) {
  // 171(b1) 133(b1) 171(b2) 133(b2) 171(b3) 133(b3) as six distinct markers.
  const std::vector<uint8_t> coded = {1, 2, 3, 4, 5, 6, 7};
  EXPECT_EQ(sim::Puncture(coded, sim::Puncture34::kMetop), (std::vector<uint8_t>{1, 2, 5, 4}));
  EXPECT_EQ(sim::Puncture(coded, sim::Puncture34::kCommon), (std::vector<uint8_t>{1, 2, 4, 5}));
}

// libfec with the polynomials set explicitly as (0x4F, 0x6D) decodes our encoder's symbols;
// its defaults (V27POLYA first) do not: V27POLYA is 0x6D, not G1.
TEST(ViterbiReferenceTest, LibfecNeedsTheGeneratorsSetExplicitly) {
  const std::vector<uint8_t> bits = RandomBits(4000, kSeed + 1);
  std::mt19937 rng(kSeed);
  const std::vector<int8_t> symbols = sim::SoftSymbols(Encode(WithTail(bits)), kAmplitude, 0, rng);
  EXPECT_EQ(LibfecDecode(symbols, bits.size()), bits);

  ASSERT_EQ(V27POLYA, 0x6D);
  const std::vector<uint8_t> decoded = LibfecDecode(symbols, bits.size(), V27POLYA, V27POLYB);
  EXPECT_GT(CountErrors(decoded, bits, bits.size()), 100);
}

// Every length around the chunk and window edges, clean symbols: every bit back, none more.
TEST(ViterbiDecoderTest, CleanSymbolsDecodeExactlyAtEveryBlockEdge) {
  constexpr int kChunk = ViterbiDecoder::kChunkBits;
  constexpr int kWindow = ViterbiDecoder::kTracebackDepth + kChunk;
  const std::vector<size_t> lengths = {1,
                                       2,
                                       7,
                                       8,
                                       9,
                                       127,
                                       128,
                                       129,
                                       kChunk - 1,
                                       kChunk,
                                       kChunk + 1,
                                       kWindow - 1,
                                       kWindow,
                                       kWindow + 1,
                                       kWindow + kChunk,
                                       3 * kChunk + 129,
                                       100003};
  const std::vector<uint8_t> all = RandomBits(lengths.back(), kSeed + 2);
  std::mt19937 rng(kSeed);
  for (const ViterbiDecoder::Path path :
       {ViterbiDecoder::Path::kPortable, ViterbiDecoder::Path::kAvx2}) {
    ViterbiDecoder decoder;
    if (!decoder.SelectPath(path)) continue;
    for (const size_t length : lengths) {
      const std::vector<uint8_t> bits(all.begin(), all.begin() + static_cast<long>(length));
      const std::vector<int8_t> symbols = sim::SoftSymbols(Encode(bits), kAmplitude, 0, rng);
      EXPECT_EQ(DecodeBits(decoder, symbols), bits) << "length " << length;
    }
  }
}

// Symbols handed over in pieces of every odd size decode as in one call, for every puncturing.
TEST(ViterbiDecoderTest, PiecesOfAnySizeDecodeAsOneCall) {
  std::mt19937 rng(kSeed + 3);
  const std::vector<uint8_t> bits = RandomBits(30000, kSeed + 3);
  const std::vector<uint8_t> coded = Encode(bits);
  const double sigma = kAmplitude * sim::NoiseSigma(2.0, 0.5);
  for (const Puncturing puncturing : {Puncturing::kNone, Puncturing::kMetop, Puncturing::kCommon}) {
    const std::vector<uint8_t> sent =
        puncturing == Puncturing::kNone
            ? coded
            : sim::Puncture(coded, puncturing == Puncturing::kMetop ? sim::Puncture34::kMetop
                                                                    : sim::Puncture34::kCommon);
    const std::vector<int8_t> symbols = sim::SoftSymbols(sent, kAmplitude, sigma, rng);
    ViterbiDecoder whole(puncturing);
    std::vector<uint8_t> expected;
    whole.Decode(symbols.data(), symbols.size(), expected);
    const size_t expected_tail = whole.Flush(expected);

    ViterbiDecoder pieces(puncturing);
    std::vector<uint8_t> got;
    std::uniform_int_distribution<size_t> piece(0, 5000);
    for (size_t at = 0; at < symbols.size();) {
      const size_t n = std::min(symbols.size() - at, at < 40 ? at % 5 + 1 : piece(rng));
      pieces.Decode(symbols.data() + at, n, got);
      at += n;
    }
    EXPECT_EQ(pieces.Flush(got), expected_tail);
    EXPECT_EQ(got, expected) << "puncturing " << static_cast<int>(puncturing);
  }
}

// The AVX2 and the portable path (each with its own depuncturing) decide alike, also on symbols
// too noisy to decode.
TEST(ViterbiDecoderTest, Avx2AndPortablePathsGiveIdenticalOutput) {
  if (!ViterbiDecoder::Avx2Available()) GTEST_SKIP() << "no AVX2 on this processor";
  std::mt19937 rng(kSeed + 4);
  const std::vector<uint8_t> coded = Encode(RandomBits(200000, kSeed + 4));
  for (const double ebn0 : {-2.0, 1.0, 4.0}) {
    const std::vector<int8_t> symbols =
        sim::SoftSymbols(coded, kAmplitude, kAmplitude * sim::NoiseSigma(ebn0, 0.5), rng);
    for (const Puncturing puncturing :
         {Puncturing::kNone, Puncturing::kMetop, Puncturing::kCommon}) {
      ViterbiDecoder portable(puncturing), avx2(puncturing);
      ASSERT_TRUE(portable.SelectPath(ViterbiDecoder::Path::kPortable));
      ASSERT_TRUE(avx2.SelectPath(ViterbiDecoder::Path::kAvx2));
      EXPECT_EQ(DecodeBits(portable, symbols), DecodeBits(avx2, symbols)) << "Eb/N0 " << ebn0;
    }
  }
}

// A single inverted symbol anywhere around a traceback edge is corrected.
TEST(ViterbiDecoderTest, CorrectsOneErrorAroundEveryTracebackEdge) {
  const std::vector<uint8_t> bits = RandomBits(3 * ViterbiDecoder::kChunkBits, kSeed + 5);
  std::mt19937 rng(kSeed);
  const std::vector<int8_t> clean = sim::SoftSymbols(Encode(bits), kAmplitude, 0, rng);
  for (const int edge :
       {ViterbiDecoder::kChunkBits, ViterbiDecoder::kChunkBits + ViterbiDecoder::kTracebackDepth}) {
    for (int step = edge - 3; step <= edge + 3; ++step) {
      for (int symbol = 0; symbol < 2; ++symbol) {
        std::vector<int8_t> hit = clean;
        hit[2 * step + symbol] = static_cast<int8_t>(-hit[2 * step + symbol]);
        ViterbiDecoder decoder;
        EXPECT_EQ(DecodeBits(decoder, hit), bits) << "error at step " << step;
      }
    }
  }
}

// Full-scale symbols (-128 and 127) stretch the metrics the most: after a long stretch of
// full-scale noise the metrics must not have wrapped, so clean data after it decodes exactly.
TEST(ViterbiDecoderTest, FullScaleSymbolsDoNotOverflowTheMetrics) {
  const std::vector<uint8_t> bits = RandomBits(100000, kSeed + 7);
  std::vector<int8_t> symbols;
  std::mt19937 rng(kSeed + 7);
  for (int k = 0; k < 200000; ++k) symbols.push_back(rng() & 1u ? 127 : -128);
  const size_t noise_steps = symbols.size() / 2;
  for (const uint8_t bit : Encode(bits)) symbols.push_back(bit ? 127 : -128);
  for (const ViterbiDecoder::Path path :
       {ViterbiDecoder::Path::kPortable, ViterbiDecoder::Path::kAvx2}) {
    ViterbiDecoder decoder;
    if (!decoder.SelectPath(path)) continue;
    const std::vector<uint8_t> decoded = DecodeBits(decoder, symbols);
    ASSERT_EQ(decoded.size(), noise_steps + bits.size());
    // The first few bits after the noise depend on the encoder state it left.
    constexpr size_t kSettle = 64;
    EXPECT_TRUE(std::equal(bits.begin() + kSettle, bits.end(),
                           decoded.begin() + static_cast<long>(noise_steps + kSettle)));
  }
}

TEST(ViterbiDecoderTest, ErasuresOnlyGiveOneBitPerPairAndNoCrash) {
  ViterbiDecoder decoder;
  const std::vector<int8_t> zeros(2 * 10001 + 1, 0);
  std::vector<uint8_t> out;
  decoder.Decode(zeros.data(), zeros.size(), out);
  const size_t before = out.size();
  const size_t tail = decoder.Flush(out);
  EXPECT_EQ(before * 8 + tail, 10001u);  // the odd symbol left is dropped
  EXPECT_EQ(out.size(), before + (tail + 7) / 8);
  EXPECT_EQ(decoder.BitsOut(), 0u);  // Flush resets
}

struct BerPoint {
  Puncturing puncturing;
  double ebn0_db;
};

void PrintTo(const BerPoint& point, std::ostream* os) {
  *os << "puncturing " << static_cast<int>(point.puncturing) << ", " << point.ebn0_db << " dB";
}

class ViterbiBerTest : public testing::TestWithParam<BerPoint> {};

// On the same noisy symbols our errors stay within kBerFactor of libfec's.
TEST_P(ViterbiBerTest, ErrorRateWithinFactorOfLibfec) {
  const BerPoint point = GetParam();
  constexpr size_t kBits = 300000;
  const uint32_t seed = kSeed + 100 + static_cast<uint32_t>(point.ebn0_db * 10);
  const std::vector<uint8_t> bits = RandomBits(kBits, seed);
  const std::vector<uint8_t> coded = Encode(WithTail(bits));
  std::mt19937 rng(seed);
  std::vector<int8_t> ours_in, libfec_in;
  if (point.puncturing == Puncturing::kNone) {
    ours_in =
        sim::SoftSymbols(coded, kAmplitude, kAmplitude * sim::NoiseSigma(point.ebn0_db, 0.5), rng);
    libfec_in = ours_in;
  } else {
    const sim::Puncture34 pattern =
        point.puncturing == Puncturing::kMetop ? sim::Puncture34::kMetop : sim::Puncture34::kCommon;
    ours_in = sim::SoftSymbols(sim::Puncture(coded, pattern), kAmplitude,
                               kAmplitude * sim::NoiseSigma(point.ebn0_db, 0.75), rng);
    libfec_in = Depunctured(ours_in, pattern);
  }
  const size_t steps = libfec_in.size() / 2;
  ASSERT_GE(steps, kBits);
  const std::vector<uint8_t> reference = LibfecDecode(libfec_in, steps - kTail);
  ViterbiDecoder decoder(point.puncturing);
  const std::vector<uint8_t> ours = DecodeBits(decoder, ours_in);
  ASSERT_GE(ours.size(), kBits);
  const int ours_errors = CountErrors(ours, bits, kBits);
  const int libfec_errors = CountErrors(reference, bits, kBits);
  std::printf("Eb/N0 %.1f dB, puncturing %d: %d errors (libfec %d) in %zu bits\n", point.ebn0_db,
              static_cast<int>(point.puncturing), ours_errors, libfec_errors, kBits);
  EXPECT_LE(ours_errors, kBerFactor * libfec_errors + kBerSlack);
  // A working decoder at these points: under one error in twenty (about 1 in 50 at 1.5 dB).
  EXPECT_LT(ours_errors, static_cast<int>(kBits / 20));
}

INSTANTIATE_TEST_SUITE_P(
    EbN0Points, ViterbiBerTest,
    testing::Values(BerPoint{Puncturing::kNone, 1.5}, BerPoint{Puncturing::kNone, 2.5},
                    BerPoint{Puncturing::kNone, 3.5}, BerPoint{Puncturing::kMetop, 3.0},
                    BerPoint{Puncturing::kMetop, 4.0}, BerPoint{Puncturing::kCommon, 3.0},
                    BerPoint{Puncturing::kCommon, 4.0}));

// Clean punctured symbols of each pattern decode exactly; the other pattern does not.
TEST(ViterbiDecoderTest, DepuncturesBothPatterns) {
  const std::vector<uint8_t> bits = RandomBits(3 * 5000, kSeed + 6);
  const std::vector<uint8_t> coded = Encode(bits);
  std::mt19937 rng(kSeed);
  for (const auto& [pattern, puncturing, other] :
       {std::tuple{sim::Puncture34::kMetop, Puncturing::kMetop, Puncturing::kCommon},
        std::tuple{sim::Puncture34::kCommon, Puncturing::kCommon, Puncturing::kMetop}}) {
    const std::vector<int8_t> symbols =
        sim::SoftSymbols(sim::Puncture(coded, pattern), kAmplitude, 0, rng);
    ViterbiDecoder right(puncturing), wrong(other);
    EXPECT_EQ(DecodeBits(right, symbols), bits);
    EXPECT_GT(CountErrors(DecodeBits(wrong, symbols), bits, bits.size()), 1000);
  }
}

}  // namespace
}  // namespace vantrel
