#include "fy3/inner_sync_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "fy3/inner_sync_stage.h"
#include "tests/fy3/line_sync_streams.h"

namespace vantrel {
namespace {

// A short line keeps the crafted streams small; the window logic does not depend on L.
constexpr size_t kL = 64;
constexpr unsigned kSeed = 20100512;

struct Found {
  int32_t number;
  uint32_t value;
  int shift;
  int64_t offset;
};

struct Recorder : LineSyncListener {
  std::vector<Found> found;
  std::vector<std::vector<uint8_t>> lines;
  std::vector<std::pair<int32_t, size_t>> shorts;
  int progress_calls = 0;

  void LineFound(int32_t number, uint32_t value, int shift, int64_t offset) override {
    found.push_back({number, value, shift, offset});
  }
  void LineReady(std::span<const uint8_t> line) override {
    lines.emplace_back(line.begin(), line.end());
  }
  void InputShort(int32_t lines_found, size_t got) override {
    shorts.emplace_back(lines_found, got);
  }
  void Progress(int32_t) override { ++progress_calls; }
  std::vector<int64_t> dropped;
  void LineDropped(int64_t at) override { dropped.push_back(at); }
};

// Serves `bytes` in reads of whatever size the aligner asks for.
LineSyncReader ReaderOf(const std::vector<uint8_t>& bytes) {
  auto at = std::make_shared<size_t>(0);
  return [&bytes, at](std::span<uint8_t> buffer) {
    const size_t n = std::min(buffer.size(), bytes.size() - *at);
    std::copy_n(bytes.begin() + static_cast<ptrdiff_t>(*at), n, buffer.begin());
    *at += n;
    return n;
  };
}

Recorder Align(const std::vector<uint8_t>& stream, size_t length = kL) {
  LineSyncAligner aligner(length, Fy3InnerSyncVariant().table);
  Recorder recorder;
  const int32_t count = aligner.Run(ReaderOf(stream), recorder);
  EXPECT_EQ(count, static_cast<int32_t>(recorder.lines.size()));
  EXPECT_EQ(recorder.found.size(), recorder.lines.size());
  return recorder;
}

// Entry s of a table is the 24 bits s..s+23 of the pattern written as a bit string.
uint32_t SliceOf(const std::string& bits, int s) {
  uint32_t value = 0;
  for (int i = s; i < s + 24; ++i) value = value << 1 | (bits[static_cast<size_t>(i)] == '1');
  return value;
}

TEST(LineSyncTable, Fy3EntriesAndComplements) {
  const LineSyncTable& table = Fy3InnerSyncVariant().table;
  const uint32_t expected[8] = {0x845BF5, 0x08B7EB, 0x116FD7, 0x22DFAE,
                                0x45BF5C, 0x8B7EB8, 0x16FD71, 0x2DFAE3};
  for (int s = 0; s < 8; ++s) {
    EXPECT_EQ(table[s], expected[s]) << "entry " << s;
    EXPECT_EQ(table[s + 8], expected[s] ^ 0xFFFFFFu) << "entry " << s + 8;
  }
}

TEST(LineSyncTable, Mn2EntriesFollowFromItsPattern) {
  const std::string pattern = "0000001000011000101001111010001";
  ASSERT_EQ(pattern.size(), 31u);
  const uint32_t published[8] = {0x0218A7, 0x04314F, 0x08629E, 0x10C53D,
                                 0x218A7A, 0x4314F4, 0x8629E8, 0x0C53D1};
  const LineSyncTable& table = Mn2InnerSyncVariant().table;
  for (int s = 0; s < 8; ++s) {
    EXPECT_EQ(table[s], SliceOf(pattern, s)) << "entry " << s;
    EXPECT_EQ(table[s], published[s]) << "entry " << s;
    EXPECT_EQ(table[s + 8], SliceOf(pattern, s) ^ 0xFFFFFFu) << "entry " << s + 8;
  }
}

TEST(LineSyncMatcher, FirstPositionWinsAndComplementsAreNotCompared) {
  const LineSyncMatcher matcher(Fy3InnerSyncVariant().table);
  // Entry 7 at position 1, entry 0 at position 4, the complement of entry 0 at position 8.
  const std::vector<uint8_t> bytes = {0x00, 0x2D, 0xFA, 0xE3, 0x84, 0x5B, 0xF5,
                                      0x00, 0x7B, 0xA4, 0x0A, 0x00, 0x00};
  auto match = matcher.Find(bytes, 0, bytes.size() - 2);
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(match->position, 1u);
  EXPECT_EQ(match->shift, 7);
  EXPECT_EQ(match->window_value, 0x2DFAE3u);
  match = matcher.Find(bytes, 2, bytes.size() - 2);
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(match->position, 4u);
  EXPECT_EQ(match->shift, 0);
  EXPECT_FALSE(matcher.Find(bytes, 5, bytes.size() - 2).has_value());
  // The end is exclusive, and a range reaching past the span is cut to it.
  EXPECT_FALSE(matcher.Find(bytes, 0, 1).has_value());
  EXPECT_FALSE(matcher.Find(std::span<const uint8_t>(bytes.data() + 4, 2), 0, 5).has_value());
}

TEST(LineSyncAligner, FindsLinesAtEveryShiftIdenticalToTheUnshiftedOnes) {
  constexpr size_t kCount = 7;
  const auto lines = testing::Fy3Lines(kCount, kL, kSeed);
  for (int prefix = 0; prefix < 8; ++prefix) {
    SCOPED_TRACE("prefix bits " + std::to_string(prefix));
    const Recorder result = Align(testing::Stream(lines, prefix));
    ASSERT_EQ(result.lines.size(), kCount);
    EXPECT_EQ(result.lines, lines);
    // The line starts at bit `prefix`: byte 0 at shift 0, else byte 1 with 8 - prefix bits before.
    const int shift = prefix == 0 ? 0 : 8 - prefix;
    const int64_t first = prefix == 0 ? 0 : 1;
    const uint32_t entry = Fy3InnerSyncVariant().table[shift];
    for (size_t i = 0; i < kCount; ++i) {
      EXPECT_EQ(result.found[i].number, static_cast<int32_t>(i + 1));
      EXPECT_EQ(result.found[i].shift, shift);
      EXPECT_EQ(result.found[i].value, entry);
      EXPECT_EQ(result.found[i].offset, i == 0 ? first : static_cast<int64_t>(kL));
    }
  }
}

TEST(LineSyncAligner, BackToBackLinesAreAllWrittenAndTheEndIsReportedOnce) {
  for (size_t count : {3u, 4u, 5u, 12u}) {
    SCOPED_TRACE("lines " + std::to_string(count));
    const auto lines = testing::Fy3Lines(count, kL, kSeed + count);
    const Recorder result = Align(testing::Stream(lines));
    EXPECT_EQ(result.lines, lines);
    // The refill that meets the end asks for the bytes after the last line and gets none.
    ASSERT_EQ(result.shorts.size(), 1u);
    EXPECT_EQ(result.shorts[0].first, static_cast<int32_t>(count - 1));
    EXPECT_EQ(result.shorts[0].second, 0u);
  }
}

TEST(LineSyncAligner, ALineRunningPastTheInputIsNotWritten) {
  const auto lines = testing::Fy3Lines(6, kL, kSeed);
  std::vector<uint8_t> stream = testing::Stream(lines);
  // The last line lacks its final byte: five lines.
  stream.pop_back();
  Recorder result = Align(stream);
  EXPECT_EQ(result.lines, std::vector(lines.begin(), lines.begin() + 5));
  ASSERT_EQ(result.shorts.size(), 1u);
  EXPECT_EQ(result.shorts[0].second, kL - 1);

  // Three bits on, each line uses L + 1 input bytes; its last byte holds its final bits.
  const std::vector<uint8_t> shifted = testing::Stream(lines, 3);
  ASSERT_EQ(shifted.size(), 6 * kL + 1);
  EXPECT_EQ(Align(shifted).lines, lines);
  const std::vector<uint8_t> cut(shifted.begin(), shifted.end() - 1);
  EXPECT_EQ(Align(cut).lines, std::vector(lines.begin(), lines.begin() + 5));

  // A line that would run past the end ends the search even with whole lines in the window
  // before it: garbage, a half line, nothing after.
  std::vector<uint8_t> half = testing::Stream({lines[0], lines[1]});
  half.insert(half.end(), lines[2].begin(), lines[2].begin() + kL / 2);
  result = Align(half);
  EXPECT_EQ(result.lines, std::vector(lines.begin(), lines.begin() + 2));
  EXPECT_TRUE(result.shorts.empty());  // shorter than the window: the set-up read is not a refill
}

TEST(LineSyncAligner, DamagedSyncIsSkippedAndTheNextLineFoundTwoLinesOn) {
  auto lines = testing::Fy3Lines(8, kL, kSeed);
  auto damaged = lines;
  damaged[3][2] ^= 0x80;  // a bit every compared slice holds
  const Recorder result = Align(testing::Stream(damaged));
  ASSERT_EQ(result.lines.size(), 7u);
  lines.erase(lines.begin() + 3);
  EXPECT_EQ(result.lines, lines);
  EXPECT_EQ(result.found[3].offset, static_cast<int64_t>(2 * kL));
  EXPECT_EQ(result.found[3].number, 4);
  EXPECT_EQ(result.found[4].offset, static_cast<int64_t>(kL));
}

TEST(LineSyncAligner, GarbageBetweenLinesDropsTheLineBeforeItAndGivesTheDistanceAsOffset) {
  const auto lines = testing::Fy3Lines(5, kL, kSeed);
  std::mt19937 random(kSeed);
  // Gaps from one byte to more than a window, data that cannot hold a sync. A line whose
  // successor's sync is not a whole number of lines on may hold bytes of another line: lines 0
  // and 3 are dropped. Line 1 sees no sync in the window behind it, line 2 one two lines on.
  const size_t gaps[5] = {5, 1, 3 * kL + 7, kL, 2};
  std::vector<uint8_t> stream;
  std::vector<int64_t> starts;
  for (size_t i = 0; i < lines.size(); ++i) {
    for (size_t g = 0; g < gaps[i]; ++g) stream.push_back(static_cast<uint8_t>(random() & 0x77));
    starts.push_back(static_cast<int64_t>(stream.size()));
    stream.insert(stream.end(), lines[i].begin(), lines[i].end());
  }
  const Recorder result = Align(stream);
  EXPECT_EQ(result.lines, (std::vector<std::vector<uint8_t>>{lines[1], lines[2], lines[4]}));
  EXPECT_EQ(result.dropped, (std::vector<int64_t>{starts[0], starts[3]}));
  ASSERT_EQ(result.found.size(), 3u);
  EXPECT_EQ(result.found[0].offset, starts[1]);
  EXPECT_EQ(result.found[1].offset, starts[2] - starts[1]);
  EXPECT_EQ(result.found[2].offset, starts[4] - starts[2]);
}

// Bytes lost from the stream: a line that lost bytes would take the next line's bytes in their
// place, so it is dropped; every line written is one of the lines sent.
TEST(LineSyncAligner, LineThatLostBytesIsDroppedAndNoOtherLine) {
  const auto lines = testing::Fy3Lines(9, kL, kSeed);
  const std::vector<uint8_t> whole = testing::Stream(lines);
  std::vector<uint8_t> stream = whole;
  // 10 bytes from the middle of line 2; then 30 bytes across the start of line 6 (its sync with
  // them); lines 5 and 6 are lost, 5 for its tail, 6 for its sync.
  stream.erase(stream.begin() + static_cast<ptrdiff_t>(6 * kL - 10),
               stream.begin() + static_cast<ptrdiff_t>(6 * kL + 20));
  stream.erase(stream.begin() + static_cast<ptrdiff_t>(2 * kL + 20),
               stream.begin() + static_cast<ptrdiff_t>(2 * kL + 30));
  const Recorder result = Align(stream);
  EXPECT_EQ(result.lines, (std::vector<std::vector<uint8_t>>{lines[0], lines[1], lines[3], lines[4],
                                                             lines[7], lines[8]}));
  EXPECT_EQ(result.dropped, (std::vector<int64_t>{2 * kL, 5 * kL - 10}));
  // The found lines' offsets still measure the input between them.
  ASSERT_EQ(result.found.size(), 6u);
  EXPECT_EQ(result.found[2].offset, static_cast<int64_t>(2 * kL - 10));
  EXPECT_EQ(result.found[4].offset, static_cast<int64_t>(3 * kL - 30));
}

// A lost bit moves every later line by one bit: the line it fell in is dropped, the rest are
// found at the new shift and come out whole.
TEST(LineSyncAligner, LineWithALostBitIsDropped) {
  const auto lines = testing::Fy3Lines(6, kL, kSeed);
  testing::BitWriter writer;
  for (size_t i = 0; i < lines.size(); ++i) {
    for (size_t byte = 0; byte < kL; ++byte) {
      for (int bit = 7; bit >= 0; --bit) {
        if (i == 2 && byte == 40 && bit == 3) continue;  // the slip
        writer.Bit((lines[i][byte] >> bit) & 1);
      }
    }
  }
  writer.Bits(0, 8);  // so that the last line's last bit is in the input
  const Recorder result = Align(writer.bytes());
  EXPECT_EQ(result.lines,
            (std::vector<std::vector<uint8_t>>{lines[0], lines[1], lines[3], lines[4], lines[5]}));
  EXPECT_EQ(result.dropped.size(), 1u);
}

TEST(LineSyncAligner, ShortAndEmptyInputs) {
  const auto lines = testing::Fy3Lines(2, kL, kSeed);
  // Two whole lines, less than the three-line window.
  Recorder result = Align(testing::Stream(lines));
  EXPECT_EQ(result.lines, lines);
  EXPECT_TRUE(result.shorts.empty());
  // One line and a few bytes.
  std::vector<uint8_t> stream = lines[0];
  stream.insert(stream.end(), {0x01, 0x02, 0x03});
  EXPECT_EQ(Align(stream).lines, std::vector<std::vector<uint8_t>>{lines[0]});
  // Just the sync bytes, and nothing at all.
  EXPECT_TRUE(Align({0x84, 0x5B, 0xF5}).lines.empty());
  EXPECT_TRUE(Align({0x84, 0x5B}).lines.empty());
  result = Align({});
  EXPECT_TRUE(result.lines.empty());
  EXPECT_TRUE(result.shorts.empty());
}

TEST(LineSyncAligner, BitsBeforeTheInputAreZero) {
  const auto lines = testing::Fy3Lines(4, kL, kSeed);
  // The stream begins three bits into the first line: a match at byte 0 with shift 3.
  testing::BitWriter writer;
  const std::vector<uint8_t> whole = testing::Stream(lines);
  for (size_t bit = 3; bit < whole.size() * 8; ++bit)
    writer.Bit(whole[bit / 8] >> (7 - bit % 8) & 1);
  const Recorder result = Align(writer.bytes());
  ASSERT_EQ(result.lines.size(), 4u);
  EXPECT_EQ(result.found[0].shift, 3);
  EXPECT_EQ(result.found[0].offset, 0);
  std::vector<uint8_t> first = lines[0];
  first[0] &= 0x1F;
  EXPECT_EQ(result.lines[0], first);
  EXPECT_EQ(result.lines[1], lines[1]);
  EXPECT_EQ(result.lines[3], lines[3]);
  EXPECT_EQ(result.found[3].offset, static_cast<int64_t>(kL));
}

TEST(LineSyncAligner, RealLineLengthAndReuse) {
  // The FY-3 length, lines straddling every window move, and a second run on the same window.
  const size_t length = Fy3InnerSyncVariant().line_length;
  const auto lines = testing::Fy3Lines(5, length, kSeed);
  LineSyncAligner aligner(length, Fy3InnerSyncVariant().table);
  const std::vector<uint8_t> stream = testing::Stream(lines, 5);
  Recorder first;
  EXPECT_EQ(aligner.Run(ReaderOf(stream), first), 5);
  EXPECT_EQ(first.lines, lines);
  const std::vector<uint8_t> shorter(stream.begin(), stream.begin() + 2 * length + 1);
  Recorder second;
  EXPECT_EQ(aligner.Run(ReaderOf(shorter), second), 2);
  EXPECT_EQ(second.lines, std::vector(lines.begin(), lines.begin() + 2));
  EXPECT_EQ(second.found[0].offset, 1);
}

// Found by fuzzing: a copy at a position after the first byte read the byte before it through a
// wrapped offset. Every output bit k must be stream bit 8 * position - shift + k (zero before the
// stream), at every shift, for lines shorter and longer than the eight-byte steps.
TEST(CopyShiftedLine, EveryOutputBitIsTheStreamBitItStandsFor) {
  std::vector<uint8_t> stream(40);
  for (size_t k = 0; k < stream.size(); ++k) stream[k] = static_cast<uint8_t>(k * 37 + 11);
  const auto stream_bit = [&stream](long bit) {
    return bit < 0 ? 0 : stream[static_cast<size_t>(bit) / 8] >> (7 - bit % 8) & 1;
  };
  for (size_t position : {0, 1, 5, 9}) {
    for (int shift = 0; shift < 8; ++shift) {
      for (size_t length : {1, 3, 8, 13, 20}) {
        std::vector<uint8_t> line(length);
        CopyShiftedLine(stream, position, shift, line);
        for (size_t k = 0; k < length * 8; ++k) {
          const long bit = static_cast<long>(position * 8 + k) - shift;
          ASSERT_EQ(line[k / 8] >> (7 - k % 8) & 1, stream_bit(bit))
              << "position " << position << " shift " << shift << " length " << length << " bit "
              << k;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vantrel
