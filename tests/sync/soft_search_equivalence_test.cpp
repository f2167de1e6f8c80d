// The soft-symbol decoding gives exactly what the straightforward way gives
// (tests/sync/soft_search_reference.h): the CADU marker scan, the channel-error count, the MetOp
// and FY-3 lock searches on every kind of block (noise, silence, a bare carrier, coded data
// without frames, a signal at every phase and first value, a signal that begins mid-block, short
// blocks), and the stream decoders and the stage on passes with noise or silence before them:
// the same first lock at the same soft symbol after the same searches, the same bits, the same
// figures.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "core/working_file.h"
#include "sim/convolutional_encoder.h"
#include "sim/simulator.h"
#include "sim/soft_symbols.h"
#include "sync/cadu_marker_scan.h"
#include "sync/soft_symbol_stage.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"
#include "tests/sync/soft_search_reference.h"
#include "viterbi/phase_search.h"
#include "viterbi/reencoding_check.h"

namespace vantrel {
namespace {

using Values = std::vector<int8_t>;
constexpr uint64_t kSeed = 20261211;
constexpr uint32_t kMarker = 0x1ACFFC1D;
constexpr size_t kFrameBits = 8192;
constexpr size_t kBlock = MetopSoftDecoder::kBlockValues;

int8_t Clip(double value) {
  return static_cast<int8_t>(std::clamp(std::lround(value), -128L, 127L));
}

// What a demodulator gives with no signal.
Values Noise(size_t count, uint64_t seed, double sigma = 40) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<double> gauss(0, sigma);
  Values values(count);
  for (int8_t& value : values) value = Clip(gauss(rng));
  return values;
}

// An unmodulated carrier held at one point, with noise.
Values Carrier(size_t count, uint64_t seed) {
  Values values = Noise(count, seed, 24);
  for (int8_t& value : values) value = Clip(value + 64.0);
  return values;
}

Values Soft(const std::vector<uint8_t>& bytes, sim::SoftModulation modulation, int rotation,
            bool swap, double ebn0, uint64_t seed) {
  sim::SoftOptions options;
  options.modulation = modulation;
  options.rotation = rotation;
  options.iq_swap = swap;
  options.ebn0_db = ebn0;
  options.seed = seed;
  Values values;
  sim::SoftSymbolWriter writer(options, [&values](const uint8_t* data, size_t size) {
    values.insert(values.end(), reinterpret_cast<const int8_t*>(data),
                  reinterpret_cast<const int8_t*>(data) + size);
  });
  writer.Write(bytes.data(), bytes.size());
  writer.Finish();
  return values;
}

std::vector<uint8_t> RandomBytes(size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
  return bytes;
}

// Coded random data: a modulated carrier whose bits hold no frame.
Values Coded(size_t count, sim::SoftModulation modulation, uint64_t seed) {
  Values values = Soft(RandomBytes(count * 3 / 8 + 64, seed), modulation, 90, false, 5, seed);
  values.resize(count);
  return values;
}

std::vector<uint8_t> MetopPass(int packets, size_t noise_before, size_t noise_after = 0) {
  sim::MetopOptions options;
  options.packets = packets;
  sim::Impairments impairments;
  impairments.noise_before = noise_before;
  impairments.noise_after = noise_after;
  return sim::MakeMetopPass(options, sim::CaduEncoding{}, impairments, kSeed).recording.bytes;
}

std::vector<uint8_t> Fy3Pass(int lines, size_t noise_before) {
  sim::Fy3Options options;
  options.lines = lines;
  sim::Impairments impairments;
  impairments.noise_before = noise_before;
  return sim::MakeFy3Pass(options, sim::CaduEncoding{}, impairments, kSeed).recording.bytes;
}

Values Concat(std::initializer_list<Values> parts) {
  Values all;
  for (const Values& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// --- The marker scan ---

// Random bits with markers written at chosen places, and the scan's answer on them.
struct MarkerPlant {
  size_t bit;
  bool inverted;
  uint32_t wrong;  // bits of the marker flipped
};
struct MarkerCase {
  const char* name;
  size_t bits;
  std::vector<MarkerPlant> plants;
};

std::vector<uint8_t> Planted(const MarkerCase& c, uint64_t seed) {
  std::vector<uint8_t> bytes = RandomBytes((c.bits + 7) / 8, seed);
  for (const MarkerPlant& plant : c.plants) {
    const uint32_t word = (plant.inverted ? ~kMarker : kMarker) ^ plant.wrong;
    for (size_t k = 0; k < 32; ++k) {
      const size_t n = plant.bit + k;
      const auto mask = static_cast<uint8_t>(0x80u >> (n % 8));
      if ((word >> (31 - k)) & 1u)
        bytes[n / 8] |= mask;
      else
        bytes[n / 8] &= static_cast<uint8_t>(~mask);
    }
  }
  return bytes;
}

class MarkerScan : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(MarkerScan, AnswersAsTheOffsetByOffsetScan) {
  const MarkerCase& c = GetParam();
  for (uint64_t seed = 0; seed < 4; ++seed) {
    const std::vector<uint8_t> bytes = Planted(c, kSeed + seed);
    const std::optional<bool> expected = reference::CaduMarkersInverted(bytes.data(), c.bits);
    EXPECT_EQ(CaduMarkersInverted(bytes.data(), c.bits), expected) << "seed " << seed;
    // The locked stream's check asks only whether there is a pair.
    EXPECT_EQ(HasMarkerPair(bytes.data(), c.bits), expected.has_value()) << "seed " << seed;
  }
}

// Offsets are scanned in order, each across every frame: the first offset with two markers of
// one polarity decides, wherever in the stream its markers lie.
INSTANTIATE_TEST_SUITE_P(
    Table, MarkerScan,
    ::testing::Values(
        MarkerCase{"none", 6 * kFrameBits, {}}, MarkerCase{"too few bits", 39, {}},
        MarkerCase{"one alone", 6 * kFrameBits, {{100, false, 0}}},
        MarkerCase{"two straight", 6 * kFrameBits, {{100, false, 0}, {100 + kFrameBits, false, 0}}},
        MarkerCase{"two inverted three wrong",
                   6 * kFrameBits,
                   {{7, true, 0x80000101}, {7 + 4 * kFrameBits, true, 0x00700000}}},
        MarkerCase{"four wrong is none",
                   6 * kFrameBits,
                   {{7, true, 0x0F000000}, {7 + kFrameBits, true, 0}}},
        MarkerCase{"earlier offset wins though later in the stream",
                   6 * kFrameBits,
                   {{3 * kFrameBits + 5, true, 0},
                    {5 * kFrameBits + 5, true, 1},
                    {900, false, 0},
                    {900 + kFrameBits, false, 0}}},
        MarkerCase{"second straight before second inverted in one offset",
                   6 * kFrameBits,
                   {{40, true, 0},
                    {40 + kFrameBits, false, 0},
                    {40 + 2 * kFrameBits, false, 0},
                    {40 + 3 * kFrameBits, true, 0}}},
        MarkerCase{"a pair ending at the last word read",
                   2 * kFrameBits + 300,
                   {{260, false, 0}, {260 + 2 * kFrameBits, false, 0}}},
        MarkerCase{"a pair ending one bit past it",
                   2 * kFrameBits + 299,
                   {{260, false, 0}, {260 + 2 * kFrameBits, false, 0}}},
        MarkerCase{"odd length, markers near the end",
                   3 * kFrameBits + 77,
                   {{kFrameBits + 37, false, 2}, {2 * kFrameBits + 37, false, 0}}},
        MarkerCase{"offset 8191 and offset 0 of the next frame",
                   4 * kFrameBits,
                   {{kFrameBits - 1, true, 0},
                    {2 * kFrameBits - 1, true, 0},
                    {kFrameBits, false, 0},
                    {3 * kFrameBits, false, 0}}},
        MarkerCase{"short stream", 100, {{3, false, 0}, {50, false, 0}}},
        MarkerCase{"inverted pair at the last word read",
                   2 * kFrameBits + 45,
                   {{kFrameBits + 5, true, 0}, {2 * kFrameBits + 5, true, 0}}},
        MarkerCase{"inverted pair one bit past it",
                   2 * kFrameBits + 44,
                   {{kFrameBits + 5, true, 0}, {2 * kFrameBits + 5, true, 0}}}),
    [](const ::testing::TestParamInfo<MarkerCase>& info) {
      std::string name = info.param.name;
      std::replace_if(
          name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
      return name;
    });

TEST(MarkerScanRandom, RandomPlantsAgreeWithTheOffsetByOffsetScan) {
  std::mt19937_64 rng(kSeed);
  for (int run = 0; run < 300; ++run) {
    MarkerCase c{"random", 40 + rng() % (7 * kFrameBits), {}};
    const int plants = static_cast<int>(rng() % 6);
    for (int k = 0; k < plants && c.bits > 32; ++k) {
      uint32_t wrong = 0;
      for (uint64_t flips = rng() % 5; flips > 0; --flips) wrong |= 1u << (rng() % 32);
      // Markers a whole number of frames apart, so that pairs are common.
      const size_t base = rng() % std::min<size_t>(c.bits - 32, kFrameBits);
      const size_t bit = base + kFrameBits * (rng() % 7);
      if (bit + 32 <= c.bits) c.plants.push_back({bit, (rng() & 1) != 0, wrong});
    }
    const std::vector<uint8_t> bytes = Planted(c, rng());
    const std::optional<bool> expected = reference::CaduMarkersInverted(bytes.data(), c.bits);
    ASSERT_EQ(CaduMarkersInverted(bytes.data(), c.bits), expected) << "run " << run;
    ASSERT_EQ(HasMarkerPair(bytes.data(), c.bits), expected.has_value()) << "run " << run;
  }
}

// Every way of reading the words finds the words within three bits of the marker or of its
// complement, from any first bit to any last, in order.
TEST(MarkerScanRandom, EveryPathFindsEveryMarkerWord) {
  std::mt19937_64 rng(kSeed + 1);
  for (int run = 0; run < 100; ++run) {
    MarkerCase c{"random", 40 + rng() % 20000, {}};
    for (int k = 0; k < 40; ++k) {
      uint32_t wrong = 0;
      for (uint64_t flips = rng() % 5; flips > 0; --flips) wrong |= 1u << (rng() % 32);
      c.plants.push_back({rng() % (c.bits - 32), (rng() & 1) != 0, wrong});
    }
    const std::vector<uint8_t> bytes = Planted(c, rng());
    const size_t to = c.bits - 39;
    const size_t from = rng() % 3 == 0 ? 0 : rng() % to;
    std::vector<MarkerHit> expected;
    for (size_t bit = from; bit < to; ++bit) {
      uint32_t word = 0;
      for (size_t k = 0; k < 32; ++k)
        word = (word << 1) | ((bytes[(bit + k) / 8] >> (7 - (bit + k) % 8)) & 1u);
      const int wrong = std::popcount(word ^ kMarker);
      if (wrong <= 3 || wrong >= 29) expected.push_back({bit, wrong >= 29});
    }
    for (const MarkerScanPath path :
         {MarkerScanPath::kFastest, MarkerScanPath::kPopcount, MarkerScanPath::kPortable}) {
      std::vector<MarkerHit> hits;
      FindMarkerHits(bytes.data(), from, to, hits, path);
      ASSERT_EQ(hits.size(), expected.size())
          << "run " << run << " path " << static_cast<int>(path);
      for (size_t i = 0; i < hits.size(); ++i) {
        EXPECT_EQ(hits[i].bit, expected[i].bit);
        EXPECT_EQ(hits[i].inverted, expected[i].inverted);
      }
    }
  }
}

// --- The channel-error count ---

class ChannelCount : public ::testing::TestWithParam<ViterbiDecoder::Puncturing> {};

// Symbols and decoded bits in pieces of any size, as a stream decoder hands them over (the bits
// of symbols already fed), a fifth of the symbols erased; the counts after every piece are the
// bit-by-bit ones.
TEST_P(ChannelCount, CountsAsTheBitByBitCheckInPiecesOfAnySize) {
  const bool none = GetParam() == ViterbiDecoder::Puncturing::kNone;
  std::mt19937_64 rng(kSeed);
  for (int run = 0; run < 20; ++run) {
    ReencodingCheck check(GetParam());
    reference::ChannelCheck expected(GetParam());
    const size_t total = 20000 + rng() % 150000;
    Values symbols = Noise(total, rng());
    for (int8_t& value : symbols)
      if (rng() % 5 == 0) value = 0;
    const std::vector<uint8_t> bits = RandomBytes(total / 8, rng());
    size_t fed = 0, compared_bits = 0;
    for (;;) {
      // The bits the symbols fed so far carry.
      const size_t covered = none ? fed / 2 : fed / 4 * 3;
      if (fed < total && (rng() % 2 == 0 || covered < compared_bits + 8)) {
        const size_t n = std::min<size_t>(total - fed, rng() % 9000);
        check.AddSymbols(symbols.data() + fed, n);
        expected.AddSymbols(symbols.data() + fed, n);
        fed += n;
        continue;
      }
      // Whole bytes from a byte boundary of the stream, as the decoder hands them out; the
      // flush's last piece of any length ends the stream.
      size_t n = std::min<size_t>((covered - compared_bits) / 8, rng() % 900) * 8;
      const bool last = fed == total && (rng() % 4 == 0 || n == 0);
      if (last) n = covered - compared_bits;
      check.AddBits(bits.data() + compared_bits / 8, n);
      expected.AddBits(bits.data() + compared_bits / 8, n);
      compared_bits += n;
      ASSERT_EQ(check.compared, expected.compared) << "run " << run;
      ASSERT_EQ(check.errors, expected.errors);
      ASSERT_EQ(check.window_compared, expected.window_compared);
      ASSERT_EQ(check.window_errors, expected.window_errors);
      if (rng() % 5 == 0) {
        check.window_compared = check.window_errors = 0;
        expected.window_compared = expected.window_errors = 0;
      }
      if (last) break;
    }
    EXPECT_GT(check.compared, total / 3);
  }
}

TEST_P(ChannelCount, CountsOfAWholeDecodeAsTheBitByBitCheck) {
  for (const Values& symbols : {Noise(30001, kSeed), Carrier(30000, kSeed), Values(5000, 0),
                                Coded(40000, sim::SoftModulation::kMetopQpsk, kSeed)}) {
    const ChannelErrors got = CountChannelErrors(symbols.data(), symbols.size(), GetParam());
    const ChannelErrors expected =
        reference::CountChannelErrors(symbols.data(), symbols.size(), GetParam());
    EXPECT_EQ(got.compared, expected.compared);
    EXPECT_EQ(got.errors, expected.errors);
  }
}

INSTANTIATE_TEST_SUITE_P(Patterns, ChannelCount,
                         ::testing::Values(ViterbiDecoder::Puncturing::kMetop,
                                           ViterbiDecoder::Puncturing::kCommon,
                                           ViterbiDecoder::Puncturing::kNone));

// --- Undoing the phase ---

// Every (I, Q) pair at every rotation and swap, in place and copied, at every alignment of the
// pairs in memory (the copy works on several pairs at a time, the rest one by one).
TEST(PhaseUndo, EveryPairAsTheOneByOneTurn) {
  Values all;
  for (int i = -128; i < 128; ++i) {
    for (int q = -128; q < 128; ++q) {
      all.push_back(static_cast<int8_t>(i));
      all.push_back(static_cast<int8_t>(q));
    }
  }
  for (const int rotation : {0, 90}) {
    for (const bool swap : {false, true}) {
      const QpskPhase phase{rotation, swap, 0};
      Values expected = all;
      reference::UndoPhase(phase, expected.data(), expected.size());
      Values in_place = all;
      UndoPhase(phase, in_place.data(), in_place.size());
      EXPECT_EQ(in_place, expected) << rotation << " " << swap;
      for (const size_t skip : {0u, 2u, 6u}) {
        Values copied(all.size() - skip + 1, 99);
        UndoPhase(phase, all.data() + skip, copied.data(), all.size() - skip);
        EXPECT_TRUE(std::equal(copied.begin(), copied.end() - 1, expected.begin() + skip))
            << rotation << " " << swap << " " << skip;
        EXPECT_EQ(copied.back(), 99);  // nothing written past the pairs
      }
    }
  }
}

// --- The lock searches on single blocks ---

struct BlockCase {
  const char* name;
  Values values;
};

std::vector<BlockCase> MetopBlocks() {
  const std::vector<uint8_t> pass = MetopPass(8, 0);
  const auto qpsk = [&](int rotation, bool swap, size_t lead, double ebn0 = 4) {
    Values values = Soft(pass, sim::SoftModulation::kMetopQpsk, rotation, swap, ebn0, kSeed);
    values.insert(values.begin(), lead, 37);
    values.resize(kBlock);
    return values;
  };
  Values sparse(kBlock, 0);
  sparse[20000] = 90;
  sparse[9000] = -3;
  Values late = Noise(kBlock, kSeed + 9);  // the signal begins late in the block
  const Values signal = qpsk(0, true, 0);
  std::copy(signal.begin(), signal.begin() + 30000, late.begin() + (kBlock - 30000));
  Values zeros_then_signal(kBlock, 0);
  std::copy(signal.begin(), signal.begin() + 50000, zeros_then_signal.begin() + 15536);
  return {
      {"noise", Noise(kBlock, kSeed)},
      {"loud noise", Noise(kBlock, kSeed + 1, 90)},
      {"zeros", Values(kBlock, 0)},
      {"two values in zeros", sparse},
      {"carrier", Carrier(kBlock, kSeed)},
      {"coded data without frames", Coded(kBlock, sim::SoftModulation::kMetopQpsk, kSeed)},
      {"FY-3 symbols", Coded(kBlock, sim::SoftModulation::kFy3Qpsk, kSeed)},
      {"signal 0", qpsk(0, false, 0)},
      {"signal 90 swapped lead 1", qpsk(90, true, 1)},
      {"signal 180 lead 2", qpsk(180, false, 2)},
      {"signal 270 swapped lead 3", qpsk(270, true, 3)},
      {"weak signal", qpsk(90, false, 5, 1.5)},
      {"signal late in noise", late},
      {"signal after zeros", zeros_then_signal},
      {"short signal", Values(signal.begin(), signal.begin() + 20001)},
      {"shorter than ranked", Values(signal.begin(), signal.begin() + 16383)},
      {"tiny", Values(signal.begin(), signal.begin() + 9)},
      {"empty", {}},
  };
}

TEST(MetopLockSearch, EveryBlockGivesTheStraightforwardSearchsLock) {
  for (const BlockCase& c : MetopBlocks()) {
    SCOPED_TRACE(c.name);
    const std::optional<MetopLock> got = FindMetopLock(c.values.data(), c.values.size());
    const std::optional<MetopLock> expected =
        reference::FindMetopLock(c.values.data(), c.values.size());
    ASSERT_EQ(got.has_value(), expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->phase.rotation, expected->phase.rotation);
    EXPECT_EQ(got->phase.iq_swap, expected->phase.iq_swap);
    EXPECT_EQ(got->phase.skip_symbols, expected->phase.skip_symbols);
    EXPECT_EQ(got->offset, expected->offset);
    EXPECT_EQ(got->inverted, expected->inverted);
    EXPECT_EQ(got->channel_errors, expected->channel_errors);
  }
}

TEST(Fy3LockSearch, EveryBlockGivesTheStraightforwardSearchsLock) {
  const std::vector<uint8_t> pass = Fy3Pass(2, 0);
  const auto qpsk = [&](int rotation, bool swap, size_t lead) {
    Values values = Soft(pass, sim::SoftModulation::kFy3Qpsk, rotation, swap, 5, kSeed);
    values.insert(values.begin(), lead, -20);
    values.resize(kBlock);
    return values;
  };
  std::vector<BlockCase> cases = {
      {"noise", Noise(kBlock, kSeed)},
      {"zeros", Values(kBlock, 0)},
      {"carrier", Carrier(kBlock, kSeed)},
      {"coded data without frames", Coded(kBlock, sim::SoftModulation::kFy3Qpsk, kSeed)},
      {"signal 90 swapped lead 3", qpsk(90, true, 3)},
      {"signal 270 lead 5", qpsk(270, false, 5)},
      {"short", Values(kBlock / 5, 11)},
  };
  // The pass begins with a marker: at every phase the first dibit (decoded from no previous one)
  // is in the first marker word.
  for (const int rotation : {0, 90, 180, 270})
    for (const bool swap : {false, true})
      cases.push_back({"signal from its first marker", qpsk(rotation, swap, 0)});
  // Blocks so short that the paired bits hold one or two marker words at most.
  const Values clean = Soft(pass, sim::SoftModulation::kFy3Qpsk, 0, true, NAN, kSeed);
  for (const size_t values : {50u, 54u, 56u, 58u, 60u, 64u, 70u})
    cases.push_back({"a few values", Values(clean.begin(), clean.begin() + values)});
  for (const BlockCase& c : cases) {
    SCOPED_TRACE(c.name);
    SCOPED_TRACE(&c - cases.data());
    const std::optional<Fy3Lock> got = FindFy3Lock(c.values.data(), c.values.size());
    const std::optional<Fy3Lock> expected =
        reference::FindFy3Lock(c.values.data(), c.values.size());
    ASSERT_EQ(got.has_value(), expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->rail_offset[0], expected->rail_offset[0]);
    EXPECT_EQ(got->rail_offset[1], expected->rail_offset[1]);
    EXPECT_EQ(got->shift, expected->shift);
    EXPECT_EQ(got->exchanged, expected->exchanged);
    EXPECT_EQ(got->invert_x, expected->invert_x);
    EXPECT_EQ(got->inverted, expected->inverted);
    EXPECT_EQ(got->channel_errors, expected->channel_errors);
  }
}

// Two rails whose pairing with X inverted decodes to `bits` (one per byte, from a previous dibit
// of 0), coded and punctured each on its own, clean, as FY-3 soft values (I then Q).
Values Fy3RailsFor(const std::vector<uint8_t>& bits) {
  std::vector<uint8_t> x, y;
  unsigned dibit = 0;
  for (size_t k = 0; k + 1 < bits.size(); k += 2) {
    dibit = sim::DifferentialDibit(dibit, bits[k], bits[k + 1]);
    x.push_back(static_cast<uint8_t>((dibit >> 1) ^ 1u));  // sent inverted
    y.push_back(static_cast<uint8_t>(dibit & 1u));
  }
  std::vector<int8_t> rail[2];
  for (int r = 0; r < 2; ++r) {
    sim::ConvolutionalEncoder encoder;
    std::vector<uint8_t> coded;
    encoder.Encode(r == 0 ? x : y, coded);
    for (const uint8_t bit : sim::Puncture(coded, sim::Puncture34::kCommon))
      rail[r].push_back(static_cast<int8_t>(bit ? 100 : -100));
  }
  Values values;
  for (size_t k = 0; k < std::min(rail[0].size(), rail[1].size()); ++k) {
    values.push_back(rail[0][k]);
    values.push_back(rail[1][k]);
  }
  return values;
}

// With X inverted the first dibit decodes apart from the rest (no previous one to invert): a
// pair of markers, the first of them at bit 0 with three bits wrong already, is found with X
// inverted only when that dibit is decoded right, and where else the straightforward search
// finds it when it is not.
TEST(Fy3LockSearch, TheFirstDibitWithXInvertedDecidesAMarkerAtBitZero) {
  std::mt19937_64 rng(kSeed);
  for (const uint32_t first_dibit_wrong : {0u, 0x40000000u}) {
    std::vector<uint8_t> bits(6 * kFrameBits + 96);
    for (uint8_t& bit : bits) bit = static_cast<uint8_t>(rng() & 1);
    const auto put = [&](size_t at, uint32_t word) {
      for (size_t k = 0; k < 32; ++k) bits[at + k] = static_cast<uint8_t>((word >> (31 - k)) & 1);
    };
    put(0, kMarker ^ 0x04100800u ^ first_dibit_wrong);
    put(kFrameBits, kMarker);
    const Values values = Fy3RailsFor(bits);
    SCOPED_TRACE(first_dibit_wrong);
    const std::optional<Fy3Lock> got = FindFy3Lock(values.data(), values.size());
    const std::optional<Fy3Lock> expected = reference::FindFy3Lock(values.data(), values.size());
    ASSERT_EQ(got.has_value(), expected.has_value());
    if (!got) continue;
    EXPECT_EQ(got->exchanged, expected->exchanged);
    EXPECT_EQ(got->invert_x, expected->invert_x);
    EXPECT_EQ(got->shift, expected->shift);
    EXPECT_EQ(got->inverted, expected->inverted);
    // Right, the first dibit makes the marker at bit 0: found with X inverted.
    if (first_dibit_wrong == 0) {
      EXPECT_TRUE(got->invert_x && !got->exchanged && got->shift == 0);
    }
  }
}

// --- Whole streams: passes with noise, silence or a carrier before them ---

enum class Family { kMetop, kFy3 };

struct StreamCase {
  const char* name;
  Family family;
  size_t coded_noise_bytes;  // random bytes before the first frame, coded with the pass
  size_t noise_values;       // a demodulator's noise before the pass
  size_t zero_values;        // silence before that
  size_t carrier_values;     // a bare carrier before the noise
  int rotation;
  bool swap;
  double ebn0 = 5;
};

Values StreamOf(const StreamCase& c) {
  const bool metop = c.family == Family::kMetop;
  const std::vector<uint8_t> pass =
      metop ? MetopPass(10, c.coded_noise_bytes, 3000) : Fy3Pass(2, c.coded_noise_bytes);
  const Values signal =
      Soft(pass, metop ? sim::SoftModulation::kMetopQpsk : sim::SoftModulation::kFy3Qpsk,
           c.rotation, c.swap, c.ebn0, kSeed);
  return Concat({Values(c.zero_values, 0), Carrier(c.carrier_values, kSeed + 3),
                 Noise(c.noise_values, kSeed + 4), signal, Noise(40000, kSeed + 5)});
}

template <typename Decoder>
std::vector<uint8_t> DecodeStream(Decoder& decoder, const Values& values) {
  std::vector<uint8_t> out, bits;
  for (size_t at = 0; at < values.size(); at += kBlock) {
    bits.clear();
    decoder.Block(values.data() + at, std::min(kBlock, values.size() - at), bits);
    out.insert(out.end(), bits.begin(), bits.end());
  }
  bits.clear();
  decoder.Finish(bits);
  out.insert(out.end(), bits.begin(), bits.end());
  return out;
}

void ExpectSameSummary(const SoftDecodeSummary& got, const SoftDecodeSummary& expected) {
  EXPECT_EQ(got.symbols, expected.symbols);
  EXPECT_EQ(got.searches, expected.searches);
  EXPECT_EQ(got.locks, expected.locks);
  EXPECT_EQ(got.locks_lost, expected.locks_lost);
  EXPECT_EQ(got.first_lock_value, expected.first_lock_value);
  EXPECT_EQ(got.first_lock, expected.first_lock);
  EXPECT_EQ(got.compared, expected.compared);
  EXPECT_EQ(got.errors, expected.errors);
  EXPECT_EQ(got.bits, expected.bits);
}

class StreamDecoding : public ::testing::TestWithParam<StreamCase> {};

TEST_P(StreamDecoding, SameFirstLockSameBitsSameFigures) {
  const StreamCase& c = GetParam();
  const Values values = StreamOf(c);
  // Blocks wholly before the signal, each searched in vain first.
  const size_t lead = c.zero_values + c.carrier_values + c.noise_values;
  const uint64_t searched_in_vain = (lead + c.coded_noise_bytes * 8 * 4 / 3) / kBlock;
  if (c.family == Family::kMetop) {
    MetopSoftDecoder decoder;
    reference::MetopDecoder expected;
    const std::vector<uint8_t> bits = DecodeStream(decoder, values);
    EXPECT_EQ(bits, DecodeStream(expected, values));
    ExpectSameSummary(decoder.Summary(), expected.Summary());
    EXPECT_FALSE(decoder.Summary().first_lock.empty());
    EXPECT_GE(decoder.Summary().first_lock_value, lead / kBlock * kBlock);
    EXPECT_GT(decoder.Summary().searches, searched_in_vain);
  } else {
    Fy3SoftDecoder decoder;
    reference::Fy3Decoder expected;
    const std::vector<uint8_t> bits = DecodeStream(decoder, values);
    EXPECT_EQ(bits, DecodeStream(expected, values));
    ExpectSameSummary(decoder.Summary(), expected.Summary());
    EXPECT_FALSE(decoder.Summary().first_lock.empty());
    EXPECT_GE(decoder.Summary().first_lock_value, lead / kBlock * kBlock);
    EXPECT_GT(decoder.Summary().searches, searched_in_vain);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StreamDecoding,
    ::testing::Values(
        StreamCase{"MetopLockedFromTheStart", Family::kMetop, 0, 0, 0, 0, 90, true},
        StreamCase{"MetopCodedNoiseBefore", Family::kMetop, 100000, 0, 0, 0, 0, false},
        StreamCase{"MetopNoiseBefore", Family::kMetop, 0, 150001, 0, 0, 270, true},
        StreamCase{"MetopZerosBefore", Family::kMetop, 0, 0, 200000, 0, 180, false},
        StreamCase{"MetopZerosCarrierNoiseBefore", Family::kMetop, 20000, 70000, 65536, 40000, 90,
                   false},
        StreamCase{"Fy3CodedNoiseBefore", Family::kFy3, 30000, 0, 0, 0, 90, true},
        StreamCase{"Fy3ZerosAndNoiseBefore", Family::kFy3, 0, 70001, 65536, 0, 0, false},
        // Weak passes after a demodulator's noise, where the parity screen before the searches
        // has the least to go on: the same first lock as the search without it.
        StreamCase{"MetopWeakAfterNoise", Family::kMetop, 0, 200001, 0, 0, 270, true, 1},
        StreamCase{"Fy3WeakAfterNoise", Family::kFy3, 0, 150003, 0, 0, 90, false, 1}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

// A lock lost and found again mid-stream (a value lost, a jump of the carrier) takes the same
// searches and gives the same bits.
TEST(StreamDecodingEvents, LockLostMidStreamAsTheStraightforwardDecoder) {
  const std::vector<uint8_t> pass = MetopPass(10, 0);
  const Values swapped = Soft(pass, sim::SoftModulation::kMetopQpsk, 90, true, 5, kSeed);
  const Values turned = Soft(pass, sim::SoftModulation::kMetopQpsk, 0, false, 5, kSeed);
  const size_t at = swapped.size() / 2 + 1;
  Values lost(swapped.begin(), swapped.begin() + static_cast<ptrdiff_t>(at));
  lost.insert(lost.end(), swapped.begin() + static_cast<ptrdiff_t>(at + 1), swapped.end());
  Values jump(swapped.begin(), swapped.begin() + static_cast<ptrdiff_t>(at));
  jump.insert(jump.end(), turned.begin() + static_cast<ptrdiff_t>(at), turned.end());
  Values fade = swapped;  // a fade to noise for two blocks mid-pass
  const Values noise = Noise(2 * kBlock, kSeed + 6);
  std::copy(noise.begin(), noise.end(), fade.begin() + static_cast<ptrdiff_t>(at));
  for (const Values* values : {&lost, &jump, &fade}) {
    MetopSoftDecoder decoder;
    reference::MetopDecoder expected;
    EXPECT_EQ(DecodeStream(decoder, *values), DecodeStream(expected, *values));
    ExpectSameSummary(decoder.Summary(), expected.Summary());
    EXPECT_GE(decoder.Summary().locks_lost, 1u);
  }
}

// --- The stage ---

// The stage on a pass with silence and noise before it: soft.bits holds the reference decoder's
// bits, and the lock line names the reference's first lock and searches.
TEST(SoftStageEquivalence, BitsAndLockLineAsTheStraightforwardDecoding) {
  const Values lead = Concat({Values(100000, 0), Noise(140000, kSeed + 7)});
  for (const bool meteor : {false, true}) {
    for (const Family family : {Family::kMetop, Family::kFy3}) {
      if (meteor && family == Family::kFy3) continue;
      SCOPED_TRACE(meteor ? "Meteor" : family == Family::kMetop ? "MetOp" : "FY-3");
      Values values;
      std::vector<uint8_t> expected;
      std::string lock_line;
      if (meteor) {
        sim::Mn2Options options;
        options.lines = 10;
        const std::vector<uint8_t> pass =
            sim::MakeMn2Pass(options, sim::Impairments{}, kSeed).recording.bytes;
        values = Concat({lead, Soft(pass, sim::SoftModulation::kMeteorBpsk, 180, false, 12, kSeed),
                         Noise(kBlock, kSeed + 8)});
        // A last block of 29 values: sixteen signs, eight, and five dropped (no whole byte).
        values.resize(values.size() / kBlock * kBlock + 29);
        // The first block that holds markers decides the polarity (inverted here) for itself and
        // every block after it.
        std::optional<bool> inverted;
        for (size_t at = 0; at < values.size(); at += kBlock) {
          std::vector<uint8_t> bits =
              reference::PackSigns(values.data() + at, std::min(kBlock, values.size() - at));
          if (!inverted) inverted = reference::CaduMarkersInverted(bits.data(), bits.size() * 8);
          if (inverted.value_or(false))
            for (uint8_t& byte : bits) byte = static_cast<uint8_t>(~byte);
          expected.insert(expected.end(), bits.begin(), bits.end());
        }
        EXPECT_EQ(inverted, std::optional<bool>(true));
        lock_line = "Polarity: BPSK inverted (a half turn), the bits turned back";
      } else {
        StreamCase stream{"", family, 5000, 0, 0, 0, 90, true};
        values = Concat({lead, StreamOf(stream)});
        SoftDecodeSummary summary;
        if (family == Family::kMetop) {
          reference::MetopDecoder decoder;
          expected = DecodeStream(decoder, values);
          summary = decoder.Summary();
        } else {
          reference::Fy3Decoder decoder;
          expected = DecodeStream(decoder, values);
          summary = decoder.Summary();
        }
        lock_line = "Lock found at soft symbol " + std::to_string(summary.first_lock_value) +
                    " after " + std::to_string(summary.searches) +
                    " searches: " + summary.first_lock;
      }
      testing::TempFolder folder;
      testing::RecordingHost host;
      host.input_path = folder.File("pass.soft");
      testing::WriteFileBytes(host.input_path, std::vector<uint8_t>(values.begin(), values.end()));
      host.settings.DFiles = false;
      host.SetSatellite(meteor ? "meteor-m2" : family == Family::kMetop ? "metop-b" : "fy3a");
      SoftSymbolStage(host);
      EXPECT_EQ(testing::ReadFileBytes(WorkingPath(WorkingFile::kSoftBits)), expected);
      EXPECT_TRUE(host.Logged(lock_line)) << host.LogText();
    }
  }
}

}  // namespace
}  // namespace vantrel
