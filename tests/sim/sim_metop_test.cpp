// MetOp passes: VCDU headers, M_PDU pointers and AVHRR packets checked against hand-built values
// and an independent walk over the packet zones.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "sim/test_pattern.h"

namespace vantrel::sim {
namespace {

constexpr uint64_t kSeed = 77;

struct Zone {
  uint16_t pointer;
  std::vector<uint8_t> bytes;
};

// The zones of one channel, in order, from the truth code blocks (VCDU = first 892 bytes).
std::vector<Zone> ZonesOf(const Recording& rec, int vcid) {
  std::vector<Zone> zones;
  for (const auto& frame : rec.frames)
    if ((frame[1] & 0x3F) == vcid)
      zones.push_back({static_cast<uint16_t>(((frame[8] << 8) | frame[9]) & 0x7FF),
                       std::vector<uint8_t>(frame.begin() + 10, frame.begin() + 892)});
  return zones;
}

uint32_t Counter(const std::vector<uint8_t>& frame) {
  return (frame[2] << 16) | (frame[3] << 8) | frame[4];
}

TEST(PackSamples10, PacksMostSignificantBitFirst) {
  const uint16_t four[] = {0x3FF, 0x000, 0x2AA, 0x155};
  uint8_t out[5] = {};
  PackSamples10(four, 4, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 5),
            (std::vector<uint8_t>{0xFF, 0xC0, 0x0A, 0xA9, 0x55}));
  // Words 0..23 of one 30-byte unit, as worked out for the MSU-MR layout.
  uint16_t words[24];
  for (int n = 0; n < 24; ++n) words[n] = static_cast<uint16_t>(n);
  uint8_t unit[30] = {};
  PackSamples10(words, 24, unit);
  const std::vector<uint8_t> expected = {
      0x00, 0x00, 0x10, 0x08, 0x03, 0x01, 0x00, 0x50, 0x18, 0x07, 0x02, 0x00, 0x90, 0x28, 0x0B,
      0x03, 0x00, 0xD0, 0x38, 0x0F, 0x04, 0x01, 0x10, 0x48, 0x13, 0x05, 0x01, 0x50, 0x58, 0x17};
  EXPECT_EQ(std::vector<uint8_t>(unit, unit + 30), expected);
}

TEST(MetopPass, VcduHeadersCarrySpacecraftChannelAndCounters) {
  const uint8_t expected[3][2] = {{0x43, 0x09}, {0x42, 0xC9}, {0x43, 0x49}};  // ids 12, 11, 13
  for (int s = 0; s < 3; ++s) {
    MetopOptions opt;
    opt.satellite = static_cast<char>('A' + s);
    opt.packets = 3;
    const MetopPass pass = MakeMetopPass(opt, {}, {}, kSeed);
    const auto& frames = pass.recording.frames;
    EXPECT_EQ(pass.recording.bytes.size(), frames.size() * kCaduSize);
    uint32_t data = 0;
    uint32_t idle = 0;
    for (size_t f = 0; f < frames.size(); ++f) {
      EXPECT_EQ(frames[f][0], expected[s][0]);
      EXPECT_EQ(frames[f][5], 0);
      if (f % 4 == 3) {  // an idle VCDU behind every third data VCDU
        EXPECT_EQ(frames[f][1], (expected[s][1] & 0xC0) | 63);
        EXPECT_EQ(Counter(frames[f]), idle++);
      } else {
        EXPECT_EQ(frames[f][1], expected[s][1]);
        EXPECT_EQ(Counter(frames[f]), data++);
      }
    }
    // 3 x 12966 bytes and the closing idle packet fill whole zones.
    EXPECT_EQ(data, (3 * 12966 + 881) / 882);
  }
}

TEST(MetopPass, FirstVcduHeadLooksLikeThePeerBlocks) {
  // A peer's MetOp-A blocks: channel 9, counter 0, 2-byte spare, first-header pointer 0.
  std::ifstream in(std::string(VANTREL_SIM_TEST_DATA) + "/cvcdus.hex");
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  std::vector<uint8_t> peer;
  for (size_t k = 0; k < 24; k += 2)
    peer.push_back(static_cast<uint8_t>(std::stoi(line.substr(k, 2), nullptr, 16)));
  MetopOptions opt;
  opt.satellite = 'A';
  opt.packets = 1;
  const MetopPass pass = MakeMetopPass(opt, {}, {}, kSeed);
  EXPECT_EQ(
      std::vector<uint8_t>(pass.recording.frames[0].begin(), pass.recording.frames[0].begin() + 10),
      std::vector<uint8_t>(peer.begin(), peer.begin() + 10));
  // Both zones then start with a packet of APID 103 (ours with the secondary header flag set).
  EXPECT_EQ(pass.recording.frames[0][10], 0x08);
  EXPECT_EQ(pass.recording.frames[0][11], peer[11]);
  EXPECT_EQ(peer[11], 103);
}

TEST(MetopPass, PacketsCarryHeaderDayAndMillisecond) {
  MetopOptions opt;
  opt.packets = 7;
  opt.mix_night = true;
  opt.start_day = 6939;
  opt.start_ms = 86399000;  // crosses midnight after the sixth line
  const MetopPass pass = MakeMetopPass(opt, {}, {}, kSeed);
  ASSERT_EQ(pass.packets.size(), 7u);
  for (size_t k = 0; k < 7; ++k) {
    const auto& p = pass.packets[k];
    ASSERT_EQ(p.size(), 12966u);
    const int apid = k % 2 ? 104 : 103;
    EXPECT_EQ(p[0], 0x08);  // version 0, type 0, secondary header flag 1
    EXPECT_EQ(p[1], apid);
    EXPECT_EQ(p[2], 0xC0);  // sequence flags 11, count < 256
    EXPECT_EQ(p[3], k / 2);
    EXPECT_EQ(p[4], 0x32);  // 12959
    EXPECT_EQ(p[5], 0x9F);
    const uint64_t total = 86399000ull + (k * 1000 + 3) / 6;
    const uint32_t day = 6939 + static_cast<uint32_t>(total / 86400000);
    const uint32_t ms = static_cast<uint32_t>(total % 86400000);
    EXPECT_EQ((p[6] << 8) | p[7], day) << k;
    EXPECT_EQ((uint32_t{p[8]} << 24) | (p[9] << 16) | (p[10] << 8) | p[11], ms) << k;
  }
  EXPECT_NE(pass.packets[0], pass.packets[1]);
}

TEST(MetopPass, ZonePointersMarkEveryPacketStart) {
  MetopOptions opt;
  opt.packets = 12;
  opt.short_packets = 3;
  const MetopPass pass = MakeMetopPass(opt, {}, {}, kSeed);
  ASSERT_EQ(pass.short_packets.size(), 36u);
  // The packet stream in sending order and where each packet starts.
  std::vector<uint8_t> expected;
  std::vector<size_t> starts;
  for (size_t k = 0; k < 12; ++k) {
    starts.push_back(expected.size());
    expected.insert(expected.end(), pass.packets[k].begin(), pass.packets[k].end());
    for (size_t s = 0; s < 3; ++s) {
      const auto& sp = pass.short_packets[k * 3 + s];
      EXPECT_EQ(sp[1], 105);
      EXPECT_GE(sp.size(), 100u);
      EXPECT_LE(sp.size(), 400u);
      EXPECT_EQ(((sp[4] << 8) | sp[5]) + 7u, sp.size());
      starts.push_back(expected.size());
      expected.insert(expected.end(), sp.begin(), sp.end());
    }
  }
  const size_t closing = expected.size();  // the idle packet that ends the stream
  starts.push_back(closing);

  const std::vector<Zone> zones = ZonesOf(pass.recording, 9);
  std::vector<uint8_t> stream;
  for (size_t z = 0; z < zones.size(); ++z) {
    const size_t begin = z * 882;
    size_t first = 0x7FF;
    for (size_t s : starts)
      if (s >= begin && s < begin + 882) {
        first = s - begin;
        break;
      }
    EXPECT_EQ(zones[z].pointer, first) << "zone " << z;
    stream.insert(stream.end(), zones[z].bytes.begin(), zones[z].bytes.end());
  }
  ASSERT_GE(stream.size(), closing + 7);
  EXPECT_EQ(std::vector<uint8_t>(stream.begin(), stream.begin() + closing), expected);
  // The closing idle packet (APID 2047) runs exactly to the end of the last zone.
  EXPECT_EQ(((stream[closing] & 7) << 8) | stream[closing + 1], 0x7FF);
  EXPECT_EQ(((stream[closing + 4] << 8) | stream[closing + 5]) + 7u, stream.size() - closing);
}

// The samples are the test pattern, pixel-interleaved, from bit 4 of byte 82: where the HRPT
// frame's earth-data words begin once the writer has copied bytes 82 on to record byte 937.
TEST(MetopPass, SamplesAreThePatternOnTheHrptWordGrid) {
  MetopOptions opt;
  opt.packets = 3;
  const MetopPass pass = MakeMetopPass(opt, {}, {}, kSeed);
  for (size_t k = 0; k < 3; ++k) {
    const auto& p = pass.packets[k];
    EXPECT_EQ(p[82] >> 4, 0);
    for (int pixel = 0; pixel < 2048; ++pixel) {
      for (int c = 0; c < 5; ++c) {
        const size_t bit = 82 * 8 + 4 + 10 * (5 * pixel + c);
        uint32_t word = 0;
        for (size_t b = bit; b < bit + 10; ++b)
          word = (word << 1) | ((p[b / 8] >> (7 - b % 8)) & 1);
        ASSERT_EQ(word, TestPatternSample(c, pixel, 2048, static_cast<uint32_t>(k)))
            << k << " " << pixel << " " << c;
      }
    }
    EXPECT_EQ(p[12882] & 0x0F, 0);
    EXPECT_EQ(p[12883], static_cast<uint8_t>(12883 + k));  // the bytes behind stay as they were
  }
}

TEST(MetopPass, SameContentWhateverTheImpairments) {
  MetopOptions opt;
  opt.packets = 2;
  Impairments imp;
  imp.bit_shift = 5;
  imp.invert = true;
  imp.noise_between = 40;
  imp.symbol_errors = 9;
  const MetopPass clean = MakeMetopPass(opt, {}, {}, kSeed);
  const MetopPass impaired = MakeMetopPass(opt, {}, imp, kSeed);
  EXPECT_EQ(clean.packets, impaired.packets);
  EXPECT_EQ(clean.recording.frames, impaired.recording.frames);
  EXPECT_NE(clean.recording.bytes, impaired.recording.bytes);
}

TEST(MetopPass, RefusesImpossibleOptions) {
  MetopOptions opt;
  opt.satellite = 'D';
  EXPECT_THROW(MakeMetopPass(opt, {}, {}, kSeed), std::invalid_argument);
  opt.satellite = 'A';
  opt.apid = 105;
  EXPECT_THROW(MakeMetopPass(opt, {}, {}, kSeed), std::invalid_argument);
  opt.apid = 103;
  opt.vcid = 63;
  EXPECT_THROW(MakeMetopPass(opt, {}, {}, kSeed), std::invalid_argument);
}

}  // namespace
}  // namespace vantrel::sim
