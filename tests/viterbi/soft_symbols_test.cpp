// The simulator's soft-symbol writer against the decoder: clean symbols of every modulation,
// rotation and I/Q swap decode (after the test undoes the rotation) to the recording's bits, and
// the noise has the asked-for Eb/N0.
#include "sim/soft_symbols.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <utility>
#include <vector>

#include "viterbi/phase_search.h"
#include "viterbi/viterbi_decoder.h"

namespace vantrel {
namespace {

using sim::SoftModulation;

constexpr uint32_t kSeed = 20261210;

std::vector<uint8_t> RandomBytes(size_t count) {
  std::printf("random bytes: seed %u\n", kSeed);
  std::mt19937 rng(kSeed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
  return bytes;
}

std::vector<int8_t> Modulate(const sim::SoftOptions& options, const std::vector<uint8_t>& bytes,
                             size_t piece = 0) {
  std::vector<int8_t> symbols;
  sim::SoftSymbolWriter writer(options, [&symbols](const uint8_t* data, size_t size) {
    symbols.insert(symbols.end(), reinterpret_cast<const int8_t*>(data),
                   reinterpret_cast<const int8_t*>(data) + size);
  });
  if (piece == 0) piece = bytes.size();
  for (size_t at = 0; at < bytes.size(); at += piece)
    writer.Write(bytes.data() + at, std::min(piece, bytes.size() - at));
  writer.Finish();
  EXPECT_EQ(writer.SymbolsWritten(), symbols.size());
  return symbols;
}

// Turns QPSK symbols back: I and Q exchanged again, then clockwise by the rotation.
void Derotate(std::vector<int8_t>& symbols, int rotation, bool swapped) {
  for (size_t k = 0; k + 1 < symbols.size(); k += 2) {
    int i = symbols[k], q = symbols[k + 1];
    if (swapped) std::swap(i, q);
    for (int turn = 0; turn < rotation / 90; ++turn) {
      const int turned = q;
      q = -i;
      i = turned;
    }
    symbols[k] = static_cast<int8_t>(i);
    symbols[k + 1] = static_cast<int8_t>(q);
  }
}

std::vector<uint8_t> Decode(ViterbiDecoder::Puncturing puncturing,
                            const std::vector<int8_t>& symbols) {
  ViterbiDecoder decoder(puncturing);
  std::vector<uint8_t> out;
  decoder.Decode(symbols.data(), symbols.size(), out);
  decoder.Flush(out);
  return out;
}

// The FY-3 differential decoding: previous (X', Y'), current (X, Y).
std::vector<uint8_t> Fy3Bits(const std::vector<uint8_t>& x_bytes,
                             const std::vector<uint8_t>& y_bytes, size_t dibits) {
  std::vector<uint8_t> bytes((2 * dibits + 7) / 8, 0);
  unsigned x_prev = 0, y_prev = 0;
  for (size_t k = 0; k < dibits; ++k) {
    const unsigned x = x_bytes[k / 8] >> (7 - k % 8) & 1u;
    const unsigned y = y_bytes[k / 8] >> (7 - k % 8) & 1u;
    const unsigned a = (x ^ y) ? (y_prev ^ y) : (x_prev ^ x);
    const unsigned b = (x ^ y) ? (x_prev ^ x) : (y_prev ^ y);
    bytes[2 * k / 8] |= static_cast<uint8_t>(a << (7 - (2 * k) % 8));
    bytes[(2 * k + 1) / 8] |= static_cast<uint8_t>(b << (7 - (2 * k + 1) % 8));
    x_prev = x;
    y_prev = y;
  }
  return bytes;
}

TEST(SoftSymbolsTest, DifferentialDibitInvertsTheDecodingRule) {
  // Hand-worked from (X', Y') = (0, 0): (1, 0) needs X xor Y = 1 with Y = 1, so (0, 1).
  EXPECT_EQ(sim::DifferentialDibit(0, 1, 0), 1u);
  EXPECT_EQ(sim::DifferentialDibit(0, 0, 1), 2u);
  EXPECT_EQ(sim::DifferentialDibit(0, 1, 1), 3u);
  for (unsigned previous = 0; previous < 4; ++previous) {
    for (unsigned pair = 0; pair < 4; ++pair) {
      const unsigned dibit = sim::DifferentialDibit(previous, pair >> 1, pair & 1u);
      const unsigned x = dibit >> 1, y = dibit & 1u, xp = previous >> 1, yp = previous & 1u;
      const unsigned a = (x ^ y) ? (yp ^ y) : (xp ^ x);
      const unsigned b = (x ^ y) ? (xp ^ x) : (yp ^ y);
      EXPECT_EQ(a << 1 | b, pair) << "previous " << previous;
    }
  }
}

TEST(SoftSymbolsTest, MetopQpskDecodesAtEveryRotationAndSwap) {
  const std::vector<uint8_t> bytes = RandomBytes(3000);
  for (const int rotation : {0, 90, 180, 270}) {
    for (const bool swap : {false, true}) {
      sim::SoftOptions options;
      options.rotation = rotation;
      options.iq_swap = swap;
      std::vector<int8_t> symbols = Modulate(options, bytes, 7);
      ASSERT_EQ(symbols.size(), bytes.size() * 8 / 3 * 4);
      Derotate(symbols, rotation, swap);
      std::vector<uint8_t> decoded = Decode(ViterbiDecoder::Puncturing::kMetop, symbols);
      decoded.resize(bytes.size());
      EXPECT_EQ(decoded, bytes) << "rotation " << rotation << ", swap " << swap;
    }
  }
}

// Both generators have odd weight: half a turn of the carrier inverts the decoded bits.
TEST(SoftSymbolsTest, MetopHalfTurnDecodesToTheInvertedBits) {
  const std::vector<uint8_t> bytes = RandomBytes(999);
  sim::SoftOptions options;
  options.rotation = 180;
  std::vector<uint8_t> decoded =
      Decode(ViterbiDecoder::Puncturing::kMetop, Modulate(options, bytes));
  decoded.resize(bytes.size());
  for (uint8_t& byte : decoded) byte = static_cast<uint8_t>(~byte);
  EXPECT_EQ(decoded, bytes);
}

TEST(SoftSymbolsTest, Fy3RailsDecodeAndUndifferentiateToTheBits) {
  const std::vector<uint8_t> bytes = RandomBytes(3000);  // a multiple of the 6-bit period
  for (const int rotation : {0, 90}) {
    for (const bool swap : {false, true}) {
      sim::SoftOptions options;
      options.modulation = SoftModulation::kFy3Qpsk;
      options.rotation = rotation;
      options.iq_swap = swap;
      std::vector<int8_t> symbols = Modulate(options, bytes, 1000);
      Derotate(symbols, rotation, swap);
      std::vector<int8_t> i_rail, q_rail;
      for (size_t k = 0; k + 1 < symbols.size(); k += 2) {
        i_rail.push_back(symbols[k]);
        q_rail.push_back(symbols[k + 1]);
      }
      const std::vector<uint8_t> x = Decode(ViterbiDecoder::Puncturing::kCommon, i_rail);
      const std::vector<uint8_t> y = Decode(ViterbiDecoder::Puncturing::kCommon, q_rail);
      std::vector<uint8_t> decoded = Fy3Bits(x, y, bytes.size() * 4);
      EXPECT_EQ(decoded, bytes) << "rotation " << rotation << ", swap " << swap;
    }
  }
}

TEST(SoftSymbolsTest, MeteorBpskSignsAreTheBits) {
  const std::vector<uint8_t> bytes = RandomBytes(100);
  for (const int rotation : {0, 180}) {
    sim::SoftOptions options;
    options.modulation = SoftModulation::kMeteorBpsk;
    options.rotation = rotation;
    const std::vector<int8_t> symbols = Modulate(options, bytes, 3);
    ASSERT_EQ(symbols.size(), bytes.size() * 8);
    for (size_t k = 0; k < symbols.size(); ++k) {
      const bool one = (bytes[k / 8] >> (7 - k % 8) & 1) != 0;
      ASSERT_EQ(symbols[k] > 0, one != (rotation == 180)) << "symbol " << k;
    }
  }
  sim::SoftOptions quarter;
  quarter.modulation = SoftModulation::kMeteorBpsk;
  quarter.rotation = 90;
  EXPECT_THROW(sim::SoftSymbolWriter(quarter, [](const uint8_t*, size_t) {}),
               std::invalid_argument);
}

// The raw symbol error rate at 2 dB per bit matches Q(sqrt(2 Es/N0)) with Es = 3/4 Eb, and the
// decoder brings a 5 dB pass to (near) no errors.
TEST(SoftSymbolsTest, NoiseHasTheAskedForEbN0) {
  const std::vector<uint8_t> bytes = RandomBytes(60000);
  sim::SoftOptions options;
  options.ebn0_db = 2.0;
  options.seed = kSeed;
  const std::vector<int8_t> noisy = Modulate(options, bytes);
  sim::SoftOptions clean;
  const std::vector<int8_t> reference = Modulate(clean, bytes);
  size_t flipped = 0;
  for (size_t k = 0; k < noisy.size(); ++k) flipped += (noisy[k] > 0) != (reference[k] > 0);
  const double esn0 = 0.75 * std::pow(10.0, 0.2);
  const double expected = 0.5 * std::erfc(std::sqrt(esn0));
  const double measured = static_cast<double>(flipped) / static_cast<double>(noisy.size());
  std::printf("symbol error rate %.5f, expected %.5f\n", measured, expected);
  EXPECT_NEAR(measured, expected, 0.05 * expected);

  options.ebn0_db = 5.0;
  std::vector<uint8_t> decoded =
      Decode(ViterbiDecoder::Puncturing::kMetop, Modulate(options, bytes));
  decoded.resize(bytes.size());
  size_t errors = 0;
  for (size_t k = 0; k < bytes.size(); ++k) errors += __builtin_popcount(decoded[k] ^ bytes[k]);
  EXPECT_LT(errors, 20u) << "of " << bytes.size() * 8 << " bits";
}

// Every rotation, swap and period start of a noisy MetOp block ranks first or second, beside its
// twin (the quarter turn taken for a swap); half a turn more is the same phase, bits inverted.
// The six others have clearly more errors.
TEST(PhaseSearchTest, RanksEveryMetopPhaseAndPeriodStartFirst) {
  const std::vector<uint8_t> bytes = RandomBytes(1500);
  for (const int rotation : {0, 90, 180, 270}) {
    for (const bool swap : {false, true}) {
      for (const int skip : {0, 2}) {
        sim::SoftOptions options;
        options.rotation = rotation;
        options.iq_swap = swap;
        options.ebn0_db = 4.0;
        options.seed = kSeed + static_cast<uint64_t>(rotation + swap + skip);
        std::vector<int8_t> symbols = Modulate(options, bytes);
        // One QPSK symbol from before the block: the period starts on the second.
        if (skip) symbols.insert(symbols.begin(), {40, -60});
        const std::vector<PhaseCandidate> ranked = RankMetopPhases(symbols.data(), symbols.size());
        ASSERT_EQ(ranked.size(), 8u);
        const int right = rotation % 180;
        bool seen_right = false, seen_twin = false;
        for (int k = 0; k < 2; ++k) {
          const QpskPhase& phase = ranked[k].phase;
          EXPECT_EQ(phase.skip_symbols, skip);
          seen_right |= phase.rotation == right && phase.iq_swap == swap;
          seen_twin |= phase.rotation == 90 - right && phase.iq_swap != swap;
          // 4 dB per bit is 2.75 dB per symbol: a raw error rate of about 3.5 %.
          EXPECT_LT(ranked[k].errors.Rate(), 0.05);
          EXPECT_GT(ranked[k].errors.compared, bytes.size() * 8u);
        }
        EXPECT_TRUE(seen_right && seen_twin) << rotation << " " << swap << " " << skip;
        EXPECT_GT(ranked[2].errors.Rate(), 1.3 * ranked[1].errors.Rate())
            << rotation << " " << swap << " " << skip;
      }
    }
  }
}

TEST(PhaseSearchTest, ChannelErrorsAreTheRawErrorRateWhenRight) {
  const std::vector<uint8_t> bytes = RandomBytes(3000);
  sim::SoftOptions options;
  options.ebn0_db = 3.0;
  const std::vector<int8_t> symbols = Modulate(options, bytes);
  const double esn0 = 0.75 * std::pow(10.0, 0.3);
  const double raw = 0.5 * std::erfc(std::sqrt(esn0));
  const ChannelErrors right =
      CountChannelErrors(symbols.data(), symbols.size(), ViterbiDecoder::Puncturing::kMetop);
  EXPECT_NEAR(right.Rate(), raw, 0.1 * raw);
  const ChannelErrors wrong =
      CountChannelErrors(symbols.data(), symbols.size(), ViterbiDecoder::Puncturing::kCommon);
  EXPECT_GT(wrong.Rate(), 1.4 * right.Rate());
  std::vector<int8_t> zeros(4000, 0);
  EXPECT_EQ(
      CountChannelErrors(zeros.data(), zeros.size(), ViterbiDecoder::Puncturing::kNone).compared,
      0u);
}

}  // namespace
}  // namespace vantrel
