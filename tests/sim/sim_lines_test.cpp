// FY-3 and Meteor-M N2 passes: line syncs where the line layouts put them and nowhere else, VCDU
// headers and frame slices as worked out by hand.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace vantrel::sim {
namespace {

constexpr uint64_t kSeed = 9001;

int BitAt(const std::vector<uint8_t>& bytes, size_t k) {
  return (bytes[k / 8] >> (7 - k % 8)) & 1;
}

std::vector<uint8_t> BitsAt(const std::vector<uint8_t>& bytes, size_t first_bit, size_t count) {
  std::vector<uint8_t> out(count);
  for (size_t i = 0; i < count; ++i)
    for (int k = 0; k < 8; ++k)
      out[i] = static_cast<uint8_t>((out[i] << 1) | BitAt(bytes, first_bit + i * 8 + k));
  return out;
}

// The eight 24-bit values a decoder compares at a byte position: bits s..s+23 of the line sync.
std::vector<uint32_t> SyncTable(const std::string& pattern31) {
  std::vector<uint32_t> table;
  for (int s = 0; s < 8; ++s) {
    uint32_t v = 0;
    for (int k = 0; k < 24; ++k) v = (v << 1) | static_cast<uint32_t>(pattern31[s + k] - '0');
    table.push_back(v);
  }
  return table;
}

// Byte positions of `stream` whose 24 bits equal one of the table's values.
std::vector<size_t> SyncHits(const std::vector<uint8_t>& stream, const std::vector<uint32_t>& t) {
  std::vector<size_t> hits;
  for (size_t p = 0; p + 3 <= stream.size(); ++p) {
    const uint32_t v = (stream[p] << 16) | (stream[p + 1] << 8) | stream[p + 2];
    for (uint32_t e : t)
      if (v == e) hits.push_back(p);
  }
  return hits;
}

std::vector<uint8_t> ZoneStream(const Recording& rec, int vcid) {
  std::vector<uint8_t> stream;
  for (const auto& frame : rec.frames)
    if ((frame[1] & 0x3F) == vcid)
      stream.insert(stream.end(), frame.begin() + 10, frame.begin() + 892);
  return stream;
}

const std::string kFy3Sync = "1000010001011011111101011100011";
const std::string kMn2Sync = "0000001000011000101001111010001";

TEST(Fy3Pass, VcduHeadersInterleaveTheOtherChannels) {
  const uint8_t byte1[3] = {0x45, 0x85, 0xC5};  // ids 49, 50, 51 on channel 5
  for (int s = 0; s < 3; ++s) {
    Fy3Options opt;
    opt.satellite = static_cast<char>('A' + s);
    opt.lines = 2;
    const Fy3Pass pass = MakeFy3Pass(opt, {}, {}, kSeed);
    const auto& frames = pass.recording.frames;
    ASSERT_EQ(frames.size() % 2, 0u);
    const int others[3] = {9, 3, 63};
    for (size_t f = 0; f < frames.size(); ++f) {
      EXPECT_EQ(frames[f][0], 0x4C);
      const int vcid = f % 2 == 0 ? 5 : others[(f / 2) % 3];
      EXPECT_EQ(frames[f][1], (byte1[s] & 0xC0) | vcid) << f;
      if (vcid == 5) {
        EXPECT_EQ(((frames[f][2] << 16) | (frames[f][3] << 8) | frames[f][4]), f / 2);
        EXPECT_EQ(std::vector<uint8_t>(frames[f].begin() + 6, frames[f].begin() + 10),
                  std::vector<uint8_t>(4, 0));
      }
    }
  }
}

TEST(Fy3Pass, LinesFollowTheFrameSyncTwoBitsIn) {
  Fy3Options opt;
  opt.lines = 6;
  opt.vcid = 9;
  opt.lead_bytes = 333;
  opt.start_ms = 86399900;  // the time value wraps at midnight
  const Fy3Pass pass = MakeFy3Pass(opt, {}, {}, kSeed);
  const std::vector<uint8_t> stream = ZoneStream(pass.recording, 9);
  ASSERT_EQ(pass.lines.size(), 6u);
  ASSERT_EQ(stream.size() % 882, 0u);
  // 60-bit frame sync 0x284 0x16F 0x35C 0x19D 0x20F 0x095 as bits.
  std::string sync;
  for (int w : {0x284, 0x16F, 0x35C, 0x19D, 0x20F, 0x095})
    for (int k = 9; k >= 0; --k) sync += static_cast<char>('0' + ((w >> k) & 1));
  ASSERT_EQ(sync.substr(2, 31), kFy3Sync);
  for (size_t k = 0; k < 6; ++k) {
    const size_t start = 333 * 8 + k * 26050 * 8;  // transmitted line k
    for (size_t b = 0; b < 60; ++b)
      ASSERT_EQ(BitAt(stream, start + b), sync[b] - '0') << "line " << k << " bit " << b;
    EXPECT_EQ(BitsAt(stream, start + 2, 26050), pass.lines[k]) << k;
    const auto& line = pass.lines[k];
    EXPECT_EQ(line[0], 0x84);
    EXPECT_EQ(line[1], 0x5B);
    EXPECT_EQ(line[2], 0xF5);
    EXPECT_EQ(line[26049] & 3, 2);  // the next frame sync's first bits, 1 0
    const uint32_t ms = (86399900 + (k * 1000 + 3) / 6) % 86400000;
    EXPECT_EQ(
        (uint32_t{line[26044]} << 24) | (line[26045] << 16) | (line[26046] << 8) | line[26047], ms);
  }
  EXPECT_NE(pass.lines[0], pass.lines[1]);
}

TEST(Fy3Pass, TheLineSyncShowsOnlyAtLineStarts) {
  Fy3Options opt;
  opt.lines = 8;
  const Fy3Pass pass = MakeFy3Pass(opt, {}, {}, kSeed);
  const std::vector<uint8_t> stream = ZoneStream(pass.recording, 5);
  std::vector<size_t> expected;
  for (size_t k = 0; k < 8; ++k) expected.push_back(1000 + 1 + k * 26050);
  const std::vector<size_t> hits = SyncHits(stream, SyncTable(kFy3Sync));
  // Up to the last line's end; hits in the padding behind it could never give a whole line.
  std::vector<size_t> within;
  for (size_t p : hits)
    if (p < 1000 + 8 * 26050) within.push_back(p);
  EXPECT_EQ(within, expected);
}

TEST(Mn2Pass, LinesSamplesAndSlices) {
  Mn2Options opt;
  opt.lines = 5;
  opt.lead_bytes = 123;
  const Mn2Pass pass = MakeMn2Pass(opt, {}, kSeed);
  ASSERT_EQ(pass.lines.size(), 5u);
  ASSERT_EQ(pass.samples.size(), 5u);
  // Plain frames: exact marker, body as is.
  const auto& rec = pass.recording;
  ASSERT_EQ(rec.bytes.size(), rec.frames.size() * 1024);
  std::vector<uint8_t> stream;
  for (size_t f = 0; f < rec.frames.size(); ++f) {
    EXPECT_EQ(rec.bytes[f * 1024], 0x1A);
    EXPECT_EQ(rec.bytes[f * 1024 + 3], 0x1D);
    ASSERT_EQ(
        std::vector<uint8_t>(rec.bytes.begin() + f * 1024 + 4, rec.bytes.begin() + f * 1024 + 1024),
        rec.frames[f]);
    const size_t starts[4] = {0, 256, 512, 768};
    const size_t ends[4] = {256, 512, 768, 1020};
    for (int s = 0; s < 4; ++s) {
      for (size_t i = starts[s]; i < starts[s] + 18; ++i) EXPECT_NE(rec.frames[f][i], 0);
      stream.insert(stream.end(), rec.frames[f].begin() + starts[s] + 18,
                    rec.frames[f].begin() + ends[s]);
    }
  }
  ASSERT_EQ(stream.size(), rec.frames.size() * 948);
  for (size_t k = 0; k < 5; ++k) {
    const auto& line = pass.lines[k];
    EXPECT_EQ(std::vector<uint8_t>(stream.begin() + 123 + k * 11850,
                                   stream.begin() + 123 + (k + 1) * 11850),
              line);
    EXPECT_EQ(line[0], 0x02);
    EXPECT_EQ(line[1], 0x18);
    EXPECT_EQ(line[2], 0xA7);
    EXPECT_EQ(line[7], k);
    ASSERT_EQ(pass.samples[k].size(), 9408u);
    for (size_t n = 0; n < 9408; ++n) {
      int v = 0;
      for (int b = 0; b < 10; ++b) v = (v << 1) | BitAt(line, 50 * 8 + n * 10 + b);
      ASSERT_EQ(pass.samples[k][n], v) << k << " " << n;
    }
  }
  std::vector<size_t> expected;
  for (size_t k = 0; k < 5; ++k) expected.push_back(123 + k * 11850);
  std::vector<size_t> within;
  for (size_t p : SyncHits(stream, SyncTable(kMn2Sync)))
    if (p < 123 + 5 * 11850) within.push_back(p);
  EXPECT_EQ(within, expected);
}

TEST(Mn2Pass, ManchesterDoublesTheImpairedRecording) {
  Mn2Options opt;
  opt.lines = 2;
  Impairments imp;
  imp.bit_shift = 3;
  const Mn2Pass plain = MakeMn2Pass(opt, imp, kSeed);
  opt.manchester = true;
  const Mn2Pass coded = MakeMn2Pass(opt, imp, kSeed);
  EXPECT_EQ(coded.lines, plain.lines);
  EXPECT_EQ(coded.recording.frames, plain.recording.frames);
  ASSERT_EQ(coded.recording.bytes.size() % 1024, 0u);
  for (size_t k = 0; k < (plain.recording.bytes.size() - 1) * 8; ++k) {
    ASSERT_EQ(BitAt(coded.recording.bytes, 2 * k), BitAt(plain.recording.bytes, k)) << k;
    ASSERT_NE(BitAt(coded.recording.bytes, 2 * k + 1), BitAt(plain.recording.bytes, k)) << k;
  }
}

}  // namespace
}  // namespace vantrel::sim
