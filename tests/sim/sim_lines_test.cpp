// FY-3 and Meteor-M N2 passes: line syncs where the line layouts put them and nowhere else, VCDU
// headers and frame slices as worked out by hand.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/simulator.h"
#include "sim/test_pattern.h"

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

// 10-bit words from `first_bit` on, most significant bit first.
uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t first_bit) {
  uint32_t word = 0;
  for (size_t b = first_bit; b < first_bit + 10; ++b)
    word = (word << 1) | static_cast<uint32_t>(BitAt(bytes, b));
  return word;
}

TEST(TestPattern, BarGridAndRamps) {
  // Line 0x8001: bar cells 0 and 15 bright, the rest dark.
  EXPECT_EQ(TestPatternSample(0, 0, 2048, 0x8001), kPatternBright);
  EXPECT_EQ(TestPatternSample(0, 7, 2048, 0x8001), kPatternBright);
  EXPECT_EQ(TestPatternSample(3, 8, 2048, 0x8001), kPatternDark);
  EXPECT_EQ(TestPatternSample(3, 127, 2048, 0x8001), kPatternBright);
  EXPECT_EQ(TestPatternSample(0, 120, 2048, 0x10000), kPatternDark);  // modulo 65536
  // The grid: column 255, line 31.
  EXPECT_EQ(TestPatternSample(2, 255, 2048, 5), kPatternGrid);
  EXPECT_EQ(TestPatternSample(2, 300, 2048, 31), kPatternGrid);
  // Channel c + 1 ramps over columns 128-2047 (1920 columns): channel 1 from 0 up to 1023, channel
  // 2 restarts at column 128 + 960.
  EXPECT_EQ(TestPatternSample(0, 128, 2048, 0), 0);
  EXPECT_EQ(TestPatternSample(0, 2046, 2048, 0), 1918 * 1023 / 1919);  // 2047 is on the grid
  EXPECT_EQ(TestPatternSample(0, 2047, 2048, 0), kPatternGrid);
  EXPECT_EQ(TestPatternSample(0, 1088, 2048, 0), 960 * 1023 / 1919);
  EXPECT_EQ(TestPatternSample(1, 1087, 2048, 0), 1918 * 1023 / 1919);
  EXPECT_EQ(TestPatternSample(1, 1088, 2048, 0), 0);
}

// What the pattern never holds, whatever the line number: the line number only changes the bar,
// whose words are all ones or all zeros, so the lines below cover every neighbourhood the bar
// has (its first and last bit, grid lines and plain lines).
TEST(TestPattern, HoldsNoLineSyncAndNoMarker) {
  const std::vector<uint32_t> fy3 = SyncTable(kFy3Sync);
  const std::vector<uint32_t> mn2 = SyncTable(kMn2Sync);
  for (uint32_t line : {0u, 1u, 30u, 31u, 32767u, 32768u, 65535u}) {
    // VIRR, MSU-MR (their line syncs and the marker), AVHRR (the marker).
    for (int family = 0; family < 3; ++family) {
      const int channels = std::array<int, 3>{10, 6, 5}[family];
      const int width = family == 1 ? 1572 : 2048;
      std::vector<uint16_t> words;
      for (int p = 0; p < width; ++p)
        for (int c = 0; c < channels; ++c) words.push_back(TestPatternSample(c, p, width, line));
      std::vector<uint8_t> bytes(words.size() * 10 / 8 + 1);
      PackSamples10(words.data(), words.size(), bytes.data());
      for (size_t bit = 0; bit + 32 <= (bytes.size() - 1) * 8; ++bit) {
        uint32_t window = 0;
        for (size_t b = bit; b < bit + 32; ++b)
          window = (window << 1) | static_cast<uint32_t>(BitAt(bytes, b));
        const uint32_t head = window >> 8;
        if (family < 2) {
          for (uint32_t e : family == 0 ? fy3 : mn2) ASSERT_NE(head, e) << line << " " << bit;
        }
        ASSERT_NE(window, 0x1ACFFC1Du) << line << " " << bit;
        ASSERT_NE(window, ~0x1ACFFC1Du) << line << " " << bit;
      }
    }
  }
}

TEST(Fy3Pass, LinesCarryThePatternFromByte436) {
  Fy3Options opt;
  opt.lines = 3;
  const Fy3Pass pass = MakeFy3Pass(opt, {}, {}, kSeed);
  for (size_t k = 0; k < 3; ++k)
    for (int p = 0; p < 2048; ++p)
      for (int c = 0; c < 10; ++c)
        ASSERT_EQ(WordAt(pass.lines[k], 436 * 8 + 10 * (10 * p + c)),
                  TestPatternSample(c, p, 2048, static_cast<uint32_t>(k)))
            << k << " " << p << " " << c;
}

TEST(Mn2Pass, SamplesAreThePatternFourPixelsAChannelAtATime) {
  Mn2Options opt;
  opt.lines = 2;
  const Mn2Pass pass = MakeMn2Pass(opt, {}, kSeed);
  for (size_t k = 0; k < 2; ++k)
    for (int u = 0; u < 392; ++u)
      for (int g = 0; g < 6; ++g)
        for (int j = 0; j < 4; ++j)
          ASSERT_EQ(pass.samples[k][24 * u + 4 * g + j],
                    TestPatternSample(g, 4 * u + j, 1572, static_cast<uint32_t>(k)))
              << k << " " << u << " " << g << " " << j;
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
