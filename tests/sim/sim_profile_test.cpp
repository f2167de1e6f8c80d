// The simulator's realistic passes: every CADU's fate is checked against the bytes actually in
// the recording (with libfec's decoder as the judge of what Reed-Solomon can correct), the bit
// error rate's shape over the pass, and the slips, flips, dropouts and whole-unit lists.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/simulator.h"

extern "C" {
#include <fec.h>
}

namespace vantrel::sim {
namespace {

constexpr uint64_t kSeed = 777001;  // printed by every test that draws from it
constexpr std::array<uint8_t, 4> kMarker = {0x1A, 0xCF, 0xFC, 0x1D};
constexpr size_t kNoise = 3000;

struct ProfilePass {
  std::vector<uint8_t> recording;
  std::vector<std::vector<uint8_t>> bodies;  // as made, before any impairment
  std::vector<std::vector<uint8_t>> truth;   // Recording::frames
  std::vector<FrameFate> fates;
};

ProfilePass MakeCaduProfilePass(size_t frames, const PassProfile& profile, uint64_t seed) {
  ProfilePass pass;
  Impairments impairments;
  impairments.noise_before = kNoise;
  impairments.noise_after = kNoise;
  impairments.profile = profile;
  impairments.profile.enabled = true;
  PassSinks sinks;
  sinks.recording = [&pass](const uint8_t* data, size_t size) {
    pass.recording.insert(pass.recording.end(), data, data + size);
  };
  sinks.unit = [&pass](const uint8_t* data, size_t size) {
    pass.bodies.emplace_back(data, data + size);
  };
  sinks.frame = [&pass](const uint8_t* frame) { pass.truth.emplace_back(frame, frame + 1020); };
  sinks.fate = [&pass](const FrameFate& fate) { pass.fates.push_back(fate); };
  StreamCaduPass(frames, CaduEncoding{}, impairments, seed, false, sinks);
  return pass;
}

PassProfile ErrorsOnly(double horizon, double top) {
  PassProfile profile;
  profile.ber_horizon = horizon;
  profile.ber_top = top;
  profile.slips = 0;
  profile.phase_flips = 0;
  profile.dropouts = 0;
  return profile;
}

TEST(SimPassProfile, FatesCountTheErrorsInTheRecording) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  constexpr size_t kFrames = 120;
  const ProfilePass pass = MakeCaduProfilePass(kFrames, ErrorsOnly(2e-2, 1e-6), kSeed);
  ASSERT_EQ(pass.fates.size(), kFrames);
  ASSERT_EQ(pass.truth.size(), kFrames);
  const std::vector<uint8_t> pn = PnSequence(kCodeBlockSize);
  int uncorrectable = 0, corrected = 0;
  for (size_t f = 0; f < kFrames; ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    // Without slips, shifts or dropouts frame f lies at a whole-byte place behind the noise.
    const uint8_t* cadu = pass.recording.data() + kNoise + f * kCaduSize;
    int marker_errors = 0;
    for (size_t k = 0; k < 4; ++k) marker_errors += std::popcount(uint8_t(cadu[k] ^ kMarker[k]));
    EXPECT_EQ(pass.fates[f].marker_errors, marker_errors);
    bool whole = true;
    for (size_t c = 0; c < kInterleaveDepth; ++c) {
      std::array<uint8_t, kCodewordLength> codeword;
      int errors = 0;
      for (size_t j = 0; j < kCodewordLength; ++j) {
        const uint8_t received = cadu[4 + j * 4 + c] ^ pn[j * 4 + c];
        codeword[j] = received;
        errors += received != pass.bodies[f][j * 4 + c];
      }
      EXPECT_EQ(pass.fates[f].symbol_errors[c], errors);
      // libfec corrects exactly the codewords the fate calls correctable.
      const int decoded = decode_rs_ccsds(codeword.data(), nullptr, 0, 0);
      if (errors <= kCorrectableSymbolErrors) {
        EXPECT_EQ(decoded, errors);
        EXPECT_TRUE(std::equal(codeword.begin(), codeword.end(), pass.truth[f].begin(),
                               [&, j = size_t{0}](uint8_t a, uint8_t) mutable {
                                 return a == pass.bodies[f][j++ * 4 + c];
                               }));
        if (errors > 0) ++corrected;
      } else {
        EXPECT_LT(decoded, 0);
        whole = false;
        ++uncorrectable;
      }
      // The truth keeps exactly the errors of the uncorrectable codewords.
      for (size_t j = 0; j < kCodewordLength; ++j) {
        const uint8_t received = cadu[4 + j * 4 + c] ^ pn[j * 4 + c];
        EXPECT_EQ(pass.truth[f][j * 4 + c],
                  errors > kCorrectableSymbolErrors ? received : pass.bodies[f][j * 4 + c]);
      }
    }
    EXPECT_EQ(pass.fates[f].whole, whole);
  }
  // The ends of the pass hold uncorrectable and corrected codewords, its top none at all.
  EXPECT_GT(uncorrectable, 0);
  EXPECT_GT(corrected, 0);
  for (size_t f = kFrames * 2 / 5; f < kFrames * 3 / 5; ++f) EXPECT_TRUE(pass.fates[f].whole) << f;
  EXPECT_FALSE(pass.fates.front().whole);
  EXPECT_FALSE(pass.fates.back().whole);
}

TEST(SimPassProfile, BitErrorRateFallsToTheTopAndRisesAgain) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  constexpr size_t kFrames = 1000;
  const ProfilePass pass = MakeCaduProfilePass(kFrames, ErrorsOnly(1e-2, 1e-7), kSeed);
  auto errors_in = [&](size_t from, size_t to) {
    long sum = 0;
    for (size_t f = from; f < to; ++f)
      for (int e : pass.fates[f].symbol_errors) sum += e;
    return sum;
  };
  const long rise = errors_in(0, 50), early = errors_in(100, 150), top = errors_in(475, 525);
  const long late = errors_in(850, 900), set = errors_in(950, 1000);
  EXPECT_GT(rise, early);
  EXPECT_GT(early, top);
  EXPECT_LT(top, late);
  EXPECT_LT(late, set);
  // At 1e-2 a codeword of 2040 bits gets some 20 symbols wrong: the ends are uncorrectable.
  EXPECT_GT(errors_in(0, 10), 10 * 4 * 8);
  EXPECT_GT(errors_in(kFrames - 10, kFrames), 10 * 4 * 8);
}

TEST(SimPassProfile, SlipsFlipsAndDropoutsWhereTheFatesSay) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  constexpr size_t kFrames = 200;
  PassProfile profile = ErrorsOnly(0, 0);
  profile.slips = 3;
  profile.phase_flips = 1;
  profile.dropouts = 2;
  profile.dropout_frames = 3;
  const ProfilePass pass = MakeCaduProfilePass(kFrames, profile, kSeed);
  ASSERT_EQ(pass.fates.size(), kFrames);
  int dropped = 0, damaged = 0;
  for (const FrameFate& fate : pass.fates) {
    dropped += fate.dropped;
    damaged += fate.damaged;
    EXPECT_EQ(fate.whole, !fate.dropped && !fate.damaged);
  }
  EXPECT_EQ(dropped, 6);
  EXPECT_EQ(damaged, 4);
  EXPECT_EQ(pass.truth.size(), kFrames - 6);  // a dropped frame has no truth

  // Follow the recording: every frame that is not damaged sits where the slips before it put it,
  // with its marker inverted once the flip has passed.
  size_t bit = kNoise * 8;
  bool inverted = false;
  auto marker_at = [&](size_t at, bool invert) {
    uint64_t window = 0;
    for (size_t k = 0; k < 5; ++k) window = window << 8 | pass.recording[at / 8 + k];
    uint32_t value = static_cast<uint32_t>(window >> (8 - at % 8));
    if (invert) value = ~value;
    return value == 0x1ACFFC1D;
  };
  for (size_t f = 0; f < kFrames; ++f) {
    SCOPED_TRACE("frame " + std::to_string(f));
    const FrameFate& fate = pass.fates[f];
    if (fate.dropped) continue;
    EXPECT_EQ(fate.inverted, inverted);
    ASSERT_TRUE(marker_at(bit, inverted));
    bit += kCaduSize * 8;
    if (!fate.damaged) continue;
    // A slip moves the next marker by one bit either way; a flip leaves it in place, inverted.
    if (marker_at(bit, inverted)) continue;
    if (marker_at(bit, !inverted)) {
      inverted = !inverted;
      continue;
    }
    ASSERT_TRUE(marker_at(bit + 1, inverted) || marker_at(bit - 1, inverted));
    bit = marker_at(bit + 1, inverted) ? bit + 1 : bit - 1;
  }
  EXPECT_TRUE(inverted);
}

TEST(SimPassProfile, SameSeedSamePass) {
  const PassProfile profile;
  const ProfilePass a = MakeCaduProfilePass(300, profile, kSeed);
  const ProfilePass b = MakeCaduProfilePass(300, profile, kSeed);
  const ProfilePass c = MakeCaduProfilePass(300, profile, kSeed + 1);
  EXPECT_EQ(a.recording, b.recording);
  EXPECT_NE(a.recording, c.recording);
  // The content does not depend on the impairments.
  EXPECT_EQ(a.bodies, MakeCaduProfilePass(300, ErrorsOnly(0, 0), kSeed).bodies);
}

TEST(SimPassProfile, UnitsTouchedByALostFrameAreNotWhole) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  MetopOptions options;
  options.packets = 12;
  Impairments impairments;
  impairments.profile = ErrorsOnly(0, 0);
  impairments.profile.enabled = true;
  impairments.profile.dropouts = 1;
  impairments.profile.dropout_frames = 1;
  std::vector<bool> whole;
  std::vector<FrameFate> fates;
  PassSinks sinks;
  sinks.recording = [](const uint8_t*, size_t) {};
  sinks.whole_units = [&](const std::vector<bool>& units) { whole = units; };
  sinks.fate = [&](const FrameFate& fate) { fates.push_back(fate); };
  const auto lost_frame = [&]() {
    for (size_t f = 0; f < fates.size(); ++f)
      if (fates[f].dropped) return f;
    return fates.size();
  };
  StreamMetopPass(options, CaduEncoding{}, impairments, kSeed, sinks);
  ASSERT_EQ(whole.size(), 12u);
  const size_t lost = lost_frame();
  ASSERT_LT(lost, fates.size());
  // Frames go data, data, data, idle: frame f carries zone f - f / 4 unless it is an idle one.
  const size_t missing = std::count(whole.begin(), whole.end(), false);
  if (lost % 4 == 3) {
    EXPECT_EQ(missing, 0u);
  } else {
    const size_t zone = lost - lost / 4;
    // Zone z holds packet bytes 882z .. 882z + 881: one packet, or the end of one and the start
    // of the next.
    const size_t first = zone * kPacketZoneSize / kAvhrrPacketSize;
    const size_t last = (zone * kPacketZoneSize + kPacketZoneSize - 1) / kAvhrrPacketSize;
    EXPECT_EQ(missing, last - first + 1);
    for (size_t u = first; u <= last && u < whole.size(); ++u) EXPECT_FALSE(whole[u]) << u;
  }

  // Without impairments every unit is whole.
  fates.clear();
  impairments.profile.dropouts = 0;
  StreamMetopPass(options, CaduEncoding{}, impairments, kSeed, sinks);
  EXPECT_EQ(std::count(whole.begin(), whole.end(), true), 12);
}

}  // namespace
}  // namespace vantrel::sim
