// The simulator's CADU layer against independent facts: the published PN bytes, a peer's
// libfec-made code blocks, libfec's decoder, and layouts worked out by hand.

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "sim/simulator.h"

extern "C" {
#include <fec.h>
}

namespace vantrel::sim {
namespace {

constexpr uint64_t kSeed = 424242;  // printed by every test that draws from it
constexpr std::array<uint8_t, 4> kMarker = {0x1A, 0xCF, 0xFC, 0x1D};

std::vector<std::vector<uint8_t>> ReadPeerBlocks() {
  std::ifstream in(std::string(VANTREL_SIM_TEST_DATA) + "/cvcdus.hex");
  std::vector<std::vector<uint8_t>> blocks;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<uint8_t> block;
    for (size_t k = 0; k + 1 < line.size(); k += 2)
      block.push_back(static_cast<uint8_t>(std::stoi(line.substr(k, 2), nullptr, 16)));
    blocks.push_back(block);
  }
  return blocks;
}

// The CCSDS sequence computed bit by bit from its recurrence a(n+8) = a(n) ^ a(n+3) ^ a(n+5) ^
// a(n+7), independently of the simulator's code.
std::vector<uint8_t> ReferencePn(size_t length) {
  std::vector<int> bits(8, 1);
  while (bits.size() < length * 8) {
    const size_t n = bits.size() - 8;
    bits.push_back(bits[n] ^ bits[n + 3] ^ bits[n + 5] ^ bits[n + 7]);
  }
  std::vector<uint8_t> out(length);
  for (size_t i = 0; i < length; ++i)
    for (int k = 0; k < 8; ++k) out[i] = static_cast<uint8_t>((out[i] << 1) | bits[i * 8 + k]);
  return out;
}

// Random code blocks made from random VCDUs.
std::vector<std::vector<uint8_t>> RandomBodies(size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<uint8_t>> bodies;
  for (size_t f = 0; f < count; ++f) {
    std::vector<uint8_t> vcdu(kVcduSize);
    for (uint8_t& b : vcdu) b = static_cast<uint8_t>(rng());
    bodies.push_back(EncodeCodeBlock(vcdu.data()));
  }
  return bodies;
}

// Codeword i of a code block, symbols in transmission order.
std::vector<uint8_t> Codeword(const std::vector<uint8_t>& block, size_t i) {
  std::vector<uint8_t> cw(kCodewordLength);
  for (size_t j = 0; j < kCodewordLength; ++j) cw[j] = block[j * kInterleaveDepth + i];
  return cw;
}

// The 1020 bytes after the marker at byte `at`, PN removed when asked.
std::vector<uint8_t> BodyAt(const std::vector<uint8_t>& bytes, size_t at, bool derandomise) {
  std::vector<uint8_t> body(bytes.begin() + at + 4, bytes.begin() + at + kCaduSize);
  if (derandomise) {
    const std::vector<uint8_t> pn = ReferencePn(kCodeBlockSize);
    for (size_t j = 0; j < kCodeBlockSize; ++j) body[j] ^= pn[j];
  }
  return body;
}

int MarkerDistance(const std::vector<uint8_t>& bytes, size_t at) {
  int d = 0;
  for (size_t k = 0; k < 4; ++k)
    d += std::popcount(static_cast<unsigned>(bytes[at + k] ^ kMarker[k]));
  return d;
}

TEST(PnSequence, StartsWithThePublishedBytesAndRepeatsEvery255) {
  const std::vector<uint8_t> pn = PnSequence(600);
  const std::vector<uint8_t> expected = {0xFF, 0x48, 0x0E, 0xC0, 0x9A, 0x0D, 0x70, 0xBC};
  EXPECT_EQ(std::vector<uint8_t>(pn.begin(), pn.begin() + 8), expected);
  for (size_t i = 0; i + 255 < pn.size(); ++i) ASSERT_EQ(pn[i], pn[i + 255]) << i;
  EXPECT_EQ(pn, ReferencePn(600));
}

TEST(EncodeCodeBlock, ReproducesThePeerCheckBytes) {
  const std::vector<std::vector<uint8_t>> peer = ReadPeerBlocks();
  ASSERT_EQ(peer.size(), 4u);
  for (const std::vector<uint8_t>& block : peer) {
    ASSERT_EQ(block.size(), kCodeBlockSize);
    EXPECT_EQ(EncodeCodeBlock(block.data()), block);
  }
}

TEST(EncodeCodeBlock, GivesCodewordsThatLibfecDecodesAndRepairs) {
  std::printf("seed %llu\n", static_cast<unsigned long long>(kSeed));
  const std::vector<uint8_t> block = RandomBodies(1, kSeed)[0];
  std::mt19937_64 rng(kSeed);
  for (size_t i = 0; i < kInterleaveDepth; ++i) {
    std::vector<uint8_t> cw = Codeword(block, i);
    EXPECT_EQ(decode_rs_ccsds(cw.data(), nullptr, 0, 0), 0);
    const std::vector<uint8_t> clean = cw;
    for (int e = 0; e < 16; ++e) cw[(e * 15 + rng() % 15) % kCodewordLength] ^= 0x5A;
    EXPECT_EQ(decode_rs_ccsds(cw.data(), nullptr, 0, 0), 16);
    EXPECT_EQ(cw, clean);
  }
}

TEST(MakeCaduRecording, LaysOutMarkersAndRandomisedBlocksBackToBack) {
  const auto bodies = RandomBodies(5, kSeed);
  const Recording rec = MakeCaduRecording(bodies, {}, {}, kSeed);
  ASSERT_EQ(rec.bytes.size(), 5 * kCaduSize);
  ASSERT_EQ(rec.frames.size(), 5u);
  for (size_t f = 0; f < 5; ++f) {
    EXPECT_EQ(MarkerDistance(rec.bytes, f * kCaduSize), 0);
    EXPECT_EQ(BodyAt(rec.bytes, f * kCaduSize, true), bodies[f]);
    EXPECT_EQ(rec.frames[f], bodies[f]);
  }
  // The scrambled body of an all-zero block is the sequence itself.
  const Recording zeros = MakeCaduRecording({std::vector<uint8_t>(kCodeBlockSize)}, {}, {}, kSeed);
  EXPECT_EQ(BodyAt(zeros.bytes, 0, false), ReferencePn(kCodeBlockSize));
  const Recording plain = MakeCaduRecording(bodies, {true, false}, {}, kSeed);
  EXPECT_EQ(BodyAt(plain.bytes, kCaduSize, false), bodies[1]);
}

TEST(MakeCaduRecording, SymbolErrorsAreWhatLibfecCorrectsOrRefuses) {
  std::printf("seed %llu\n", static_cast<unsigned long long>(kSeed));
  const auto bodies = RandomBodies(6, kSeed);
  Impairments imp;
  imp.symbol_errors = 16;
  imp.uncorrectable_every = 3;  // frames 2 and 5
  const Recording rec = MakeCaduRecording(bodies, {}, imp, kSeed);
  for (size_t f = 0; f < 6; ++f) {
    const std::vector<uint8_t> received = BodyAt(rec.bytes, f * kCaduSize, true);
    int failed = 0;
    for (size_t i = 0; i < kInterleaveDepth; ++i) {
      std::vector<uint8_t> cw = Codeword(received, i);
      const int result = decode_rs_ccsds(cw.data(), nullptr, 0, 0);
      if (result < 0) {
        ++failed;
        EXPECT_EQ(Codeword(rec.frames[f], i), Codeword(received, i)) << "frame " << f;
      } else {
        EXPECT_EQ(result, 16) << "frame " << f << " codeword " << i;
        EXPECT_EQ(cw, Codeword(bodies[f], i));
        EXPECT_EQ(Codeword(rec.frames[f], i), cw);
      }
    }
    EXPECT_EQ(failed, f % 3 == 2 ? 1 : 0) << "frame " << f;
  }
  // Without Reed-Solomon the truth is what arrives.
  const Recording raw = MakeCaduRecording(bodies, {false, true}, imp, kSeed);
  EXPECT_EQ(raw.frames[1], BodyAt(raw.bytes, kCaduSize, true));
  EXPECT_NE(raw.frames[1], bodies[1]);
}

TEST(MakeCaduRecording, MarkerErrorsSpareTheFirstMarkerOnly) {
  const auto bodies = RandomBodies(4, kSeed);
  Impairments imp;
  imp.marker_errors = 5;
  const Recording rec = MakeCaduRecording(bodies, {}, imp, kSeed);
  EXPECT_EQ(MarkerDistance(rec.bytes, 0), 0);
  for (size_t f = 1; f < 4; ++f) EXPECT_EQ(MarkerDistance(rec.bytes, f * kCaduSize), 5);
  EXPECT_EQ(rec.frames, bodies);
}

// Bit k of a byte vector, most significant bit first.
int BitAt(const std::vector<uint8_t>& bytes, size_t k) {
  return (bytes[k / 8] >> (7 - k % 8)) & 1;
}

TEST(MakeCaduRecording, ShiftPrependsBitsAndInversionFlipsEveryBit) {
  const auto bodies = RandomBodies(3, kSeed);
  Impairments imp;
  imp.noise_before = 100;
  imp.noise_between = 30;
  imp.noise_after = 50;
  const Recording base = MakeCaduRecording(bodies, {}, imp, kSeed);
  ASSERT_EQ(base.bytes.size(), 100 + 3 * kCaduSize + 2 * 30 + 50);
  for (int shift = 1; shift <= 7; ++shift) {
    imp.bit_shift = shift;
    const Recording shifted = MakeCaduRecording(bodies, {}, imp, kSeed);
    ASSERT_EQ(shifted.bytes.size(), base.bytes.size() + 1);
    for (size_t k = 0; k < base.bytes.size() * 8; ++k)
      ASSERT_EQ(BitAt(shifted.bytes, k + shift), BitAt(base.bytes, k)) << shift << " " << k;
  }
  imp.bit_shift = 0;
  imp.invert = true;
  const Recording inverted = MakeCaduRecording(bodies, {}, imp, kSeed);
  ASSERT_EQ(inverted.bytes.size(), base.bytes.size());
  for (size_t k = 0; k < base.bytes.size(); ++k)
    ASSERT_EQ(inverted.bytes[k], static_cast<uint8_t>(~base.bytes[k]));
  EXPECT_EQ(inverted.frames, bodies);
}

// Every 32-bit window of the recording that starts in [from, to) bits.
int MinDistance(const std::vector<uint8_t>& bytes, size_t from, size_t to, bool* inverted_hit) {
  int best = 32;
  for (size_t w = from; w < to && w + 32 <= bytes.size() * 8; ++w) {
    uint32_t v = 0;
    for (int k = 0; k < 32; ++k) v = (v << 1) | static_cast<uint32_t>(BitAt(bytes, w + k));
    best = std::min(best, std::popcount(v ^ kAttachedSyncMarker));
    if (v == ~kAttachedSyncMarker) *inverted_hit = true;
  }
  return best;
}

TEST(MakeCaduRecording, NoiseNeverComesCloseToTheMarker) {
  std::printf("seed %llu\n", static_cast<unsigned long long>(kSeed));
  const auto bodies = RandomBodies(40, kSeed);
  Impairments imp;
  imp.noise_before = 3000;
  imp.noise_between = 700;
  const Recording gaps = MakeCaduRecording(bodies, {}, imp, kSeed);
  bool inverted_hit = false;
  // Before the first marker, and in every gap from the frame's last byte to the next marker.
  EXPECT_GT(MinDistance(gaps.bytes, 0, 3000 * 8, &inverted_hit), 6);
  for (size_t f = 0; f + 1 < bodies.size(); ++f) {
    const size_t end = 3000 + f * (kCaduSize + 700) + kCaduSize;
    EXPECT_EQ(MarkerDistance(gaps.bytes, end + 700), 0);
    EXPECT_GT(MinDistance(gaps.bytes, end * 8 - 7, (end + 700) * 8, &inverted_hit), 6) << f;
    // Right behind a frame: beyond a locked decoder's tolerance, and more than 6 bits from the
    // inverted marker (no phase flip to follow there).
    const int behind = MinDistance(gaps.bytes, end * 8, end * 8 + 1, &inverted_hit);
    EXPECT_GT(behind, 20) << f;
    EXPECT_LT(behind, 26) << f;
  }
  EXPECT_FALSE(inverted_hit);

  Impairments tail;
  tail.noise_after = 5000;
  const Recording locked = MakeCaduRecording(bodies, {}, tail, kSeed);
  const size_t end = bodies.size() * kCaduSize;
  ASSERT_EQ(locked.bytes.size(), end + 5000);
  const int behind = MinDistance(locked.bytes, end * 8, end * 8 + 1, &inverted_hit);
  EXPECT_GT(behind, 20);
  EXPECT_LT(behind, 26);
  EXPECT_GT(MinDistance(locked.bytes, end * 8 - 7, locked.bytes.size() * 8, &inverted_hit), 6);
  EXPECT_FALSE(inverted_hit);
}

TEST(CaduStream, ManchesterCodesEveryBitAfterTheImpairments) {
  const auto bodies = RandomBodies(3, kSeed);
  Impairments imp;
  imp.invert = true;
  imp.bit_shift = 2;
  const Recording plain = MakeCaduRecording(bodies, {false, false}, imp, kSeed);
  std::vector<uint8_t> coded;
  CaduStream stream({false, false}, imp, kSeed, [&coded](const uint8_t* data, size_t size) {
    coded.insert(coded.end(), data, data + size);
  });
  stream.SetManchester(true);
  std::array<uint8_t, kCodeBlockSize> truth;
  for (const auto& body : bodies) stream.AddFrame(body.data(), truth.data());
  stream.Finish();
  ASSERT_EQ(coded.size() % 1024, 0u);
  ASSERT_GE(coded.size(), plain.bytes.size() * 2);
  // The coded stream goes on with padding where the plain one ends with its shifted-out bits.
  for (size_t k = 0; k < (plain.bytes.size() - 1) * 8 + 2; ++k) {
    ASSERT_EQ(BitAt(coded, 2 * k), BitAt(plain.bytes, k)) << k;
    ASSERT_NE(BitAt(coded, 2 * k + 1), BitAt(plain.bytes, k)) << k;
  }
  // The marker's first byte 0x1A = 0001 1010 becomes 01 01 01 10 10 01 10 01.
  std::vector<uint8_t> direct;
  CaduStream simple({false, false}, {}, kSeed, [&direct](const uint8_t* data, size_t size) {
    direct.insert(direct.end(), data, data + size);
  });
  simple.SetManchester(true);
  simple.AddFrame(bodies[0].data(), truth.data());
  simple.Finish();
  EXPECT_EQ(direct[0], 0x56);
  EXPECT_EQ(direct[1], 0x99);
}

TEST(MakeCaduRecording, RefusesBadSettings) {
  Impairments imp;
  imp.bit_shift = 8;
  EXPECT_THROW(MakeCaduRecording({}, {}, imp, kSeed), std::invalid_argument);
  EXPECT_THROW(MakeCaduRecording({std::vector<uint8_t>(10)}, {}, {}, kSeed), std::invalid_argument);
  EXPECT_TRUE(MakeCaduRecording({}, {}, {}, kSeed).bytes.empty());
}

}  // namespace
}  // namespace vantrel::sim
