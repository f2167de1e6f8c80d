#include "fy3/inner_sync_stage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/frame_tags.h"
#include "core/working_file.h"
#include "fy3/cut_mpdu_stage.h"
#include "tests/fy3/line_sync_streams.h"
#include "tests/support/marked_chain.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr size_t kFy3L = 26050;
constexpr size_t kMn2L = 11850;
constexpr unsigned kSeed = 49;

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& lines) {
  std::vector<uint8_t> all;
  for (const auto& line : lines) all.insert(all.end(), line.begin(), line.end());
  return all;
}

TEST(Fy3InnerSyncStage, WritesEveryLineAndLogsTheRun) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  const auto lines = testing::Fy3Lines(5, kFy3L, kSeed);
  const std::vector<uint8_t> stream = testing::Stream(lines);
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), stream);

  Fy3InnerSyncStage(host);

  EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")), Concat(lines));
  const std::vector<std::string> expected = {
      "Starting inner FY3x ASM detection...",
      "File 1 line 4 short 0",
      "ASM detection done!  5 lines found.",
      "",
      "File '" + folder.File("FY3x_.fy3") + "' Inner ASM aligned, 26050 byte lines ",
      "",
      std::string(54, '*'),
      "",
  };
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(host.chain.ProgressCount, 0);
  EXPECT_EQ(host.progress_maximum, 5);
  EXPECT_GE(host.events, 5);
}

TEST(Fy3InnerSyncStage, FoundLinesAreLoggedWhenAsked) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.settings.FY3ASM = true;
  const auto lines = testing::Fy3Lines(3, kFy3L, kSeed);
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), testing::Stream(lines));
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("File 1  line 00001  found sync 00845BF5  shift=0  offset=0"));
  EXPECT_TRUE(host.Logged("File 1  line 00002  found sync 00845BF5  shift=0  offset=26050"));
  EXPECT_TRUE(host.Logged("File 1  line 00003  found sync 00845BF5  shift=0  offset=26050"));
  EXPECT_TRUE(host.Logged("ASM detection done!  3 lines found."));

  // Three bits that belong to no line: byte 1, five pattern bits before it, same lines.
  host.log.clear();
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), testing::Stream(lines, 3));
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("File 1  line 00001  found sync 008B7EB8  shift=5  offset=1"));
  EXPECT_TRUE(host.Logged("File 1  line 00002  found sync 008B7EB8  shift=5  offset=26050"));
  EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")), Concat(lines));
}

// The option is read as the stage starts: checked on while the stage runs, it waits for the next
// run.
TEST(Fy3InnerSyncStage, OptionChangedDuringTheStageWaitsForTheNextStage) {
  struct Host : testing::RecordingHost {
    void ProcessEvents() override {
      ++events;
      if (events >= 1) settings.FY3ASM = true;
    }
  } host;
  testing::TempFolder folder;
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"),
                          testing::Stream(testing::Fy3Lines(3, kFy3L, kSeed)));
  Fy3InnerSyncStage(host);
  ASSERT_TRUE(host.settings.FY3ASM);
  EXPECT_TRUE(host.Logged("ASM detection done!  3 lines found."));
  for (const std::string& line : host.log) EXPECT_EQ(line.find("File 1  line"), std::string::npos);
}

TEST(Mn2InnerSyncStage, AlignsMeteorLinesAndNeverLogsFoundLines) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.settings.FY3ASM = true;
  std::mt19937 random(kSeed);
  std::vector<std::vector<uint8_t>> lines;
  for (int i = 0; i < 4; ++i) lines.push_back(testing::Mn2Line(kMn2L, random));
  testing::WriteFileBytes(folder.File("MSU-MR.dmx"), testing::Stream(lines, 6));

  Mn2InnerSyncStage(host);

  EXPECT_EQ(testing::ReadFileBytes(folder.File("MN2_.mnx")), Concat(lines));
  EXPECT_EQ(host.log.front(), "Starting inner Metop MN2 ASM detection...");
  EXPECT_TRUE(host.Logged("ASM detection done!  4 lines found."));
  EXPECT_TRUE(
      host.Logged("File '" + folder.File("MN2_.mnx") + "' Inner ASM aligned, 11850 byte lines "));
  for (const std::string& line : host.log) EXPECT_EQ(line.find("found sync"), std::string::npos);
  EXPECT_EQ(host.progress_maximum, 4);
}

TEST(InnerSyncStage, EmptyAndGarbageInputsGiveNoLines) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), {});
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("ASM detection done!  0 lines found."));
  EXPECT_TRUE(testing::FileExists(folder.File("FY3x_.fy3")));
  EXPECT_TRUE(testing::ReadFileBytes(folder.File("FY3x_.fy3")).empty());
  EXPECT_EQ(host.progress_maximum, 0);

  // Only the three sync bytes: a match whose line runs past the input.
  host.log.clear();
  testing::WriteFileBytes(folder.File("mpdu_x.mpd"), {0x84, 0x5B, 0xF5});
  Fy3InnerSyncStage(host);
  EXPECT_TRUE(host.Logged("ASM detection done!  0 lines found."));
  EXPECT_TRUE(testing::ReadFileBytes(folder.File("FY3x_.fy3")).empty());
}

// What became of the VCDUs that carried an FY-3 line stream.
struct Fates {
  std::vector<size_t> lost;           // never arrived
  std::vector<size_t> uncorrectable;  // arrived as noise, tagged uncorrectable
  size_t restart_at = SIZE_MAX;       // from this one on the counter runs 5000 further on
  // An uncorrectable frame whose noise holds the whole line sync pattern, and where in its cut.
  size_t false_sync_frame = SIZE_MAX;
  size_t false_sync_at = 0;
};

// The marks VCDU selection would have put on the VCDUs WriteFy3Vcdus writes.
std::vector<StreamMark> vcdu_marks;

// The FY-3 cut and the line search, as a chain runs them on vcdu_x.vcd with its marks.
void CutThenAlign(testing::RecordingHost& host) {
  testing::RunMarkedChain(host, "vcdu_x.vcd", vcdu_marks, {kCutMpduStep, kFy3InnerSyncStep});
}

// Writes vcdu_x.vcd (and its tags) for `lines` cut into 882-byte frames with `fates`; returns
// the stream as the cut should rebuild it: zeros for lost frames and for uncorrectable ones
// unless `keep`, which leaves what arrived where no lost frame follows (before the next frame
// that is not uncorrectable).
std::vector<uint8_t> WriteFy3Vcdus(const testing::TempFolder& folder, testing::RecordingHost& host,
                                   const std::vector<std::vector<uint8_t>>& lines,
                                   const Fates& fates, bool keep) {
  std::vector<StreamMark>& marks = vcdu_marks;
  constexpr size_t kVcdu = 892;
  constexpr size_t kCut = 882;
  std::vector<uint8_t> stream = Concat(lines);
  stream.resize((stream.size() + kCut - 1) / kCut * kCut, 0);
  const auto in = [](const std::vector<size_t>& list, size_t k) {
    return std::find(list.begin(), list.end(), k) != list.end();
  };
  std::vector<uint8_t> vcdus;
  std::vector<uint8_t> sent = stream;
  marks.clear();
  for (size_t k = 0; k < stream.size() / kCut; ++k) {
    const auto at = static_cast<ptrdiff_t>(k * kCut);
    if (in(fates.lost, k)) {
      std::fill_n(sent.begin() + at, kCut, uint8_t{0});
      continue;
    }
    const bool bad = in(fates.uncorrectable, k);
    const uint32_t counter = static_cast<uint32_t>(k + (k >= fates.restart_at ? 5000 : 0));
    std::vector<uint8_t> vcdu(kVcdu, 0x3C);
    vcdu[0] = 0x40;
    vcdu[1] = 0x05;
    vcdu[2] = static_cast<uint8_t>(counter >> 16);
    vcdu[3] = static_cast<uint8_t>(counter >> 8);
    vcdu[4] = static_cast<uint8_t>(counter);
    std::copy_n(stream.begin() + at, kCut, vcdu.begin() + 10);
    if (bad) {
      // Noise where the frame's data was.
      for (size_t i = 10; i < kVcdu; ++i) vcdu[i] = static_cast<uint8_t>(vcdu[i] * 5 + i);
      if (k == fates.false_sync_frame) {
        const uint8_t pattern[] = {0x84, 0x5B, 0xF5, 0xC6};
        std::copy_n(pattern, 4, vcdu.begin() + 10 + static_cast<ptrdiff_t>(fates.false_sync_at));
      }
      size_t next = k + 1;
      while (in(fates.uncorrectable, next)) ++next;
      if (keep && !in(fates.lost, next)) {
        std::copy_n(vcdu.begin() + 10, kCut, sent.begin() + at);
      } else {
        std::fill_n(sent.begin() + at, kCut, uint8_t{0});
      }
    }
    marks.push_back({static_cast<int64_t>(vcdus.size()), static_cast<int64_t>(kVcdu),
                     counter | (bad ? FrameMark::kUncorrectable : 0u)});
    vcdus.insert(vcdus.end(), vcdu.begin(), vcdu.end());
  }
  host.settings.KeepUncorrectable = keep;
  testing::WriteFileBytes(folder.File("vcdu_x.vcd"), vcdus);
  return sent;
}

std::vector<uint8_t> LineOf(const std::vector<uint8_t>& stream, size_t i) {
  return std::vector<uint8_t>(stream.begin() + static_cast<ptrdiff_t>(i * kFy3L),
                              stream.begin() + static_cast<ptrdiff_t>((i + 1) * kFy3L));
}

// FY-3 lines sent as VCDUs, some of them lost: the cut fills the lost frames with zeros, so
// every line written keeps its length and place and differs from the line sent only in the
// zeros of the lost frames. A line whose sync was lost is written at its place on the line grid
// all the same, since every byte before it is accounted for.
TEST(Fy3InnerSyncStage, LostFramesLeaveZerosInTheirLinesAndNothingShifts) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  const auto lines = testing::Fy3Lines(6, kFy3L, kSeed);
  // Frames 40 and 41 lie inside line 1; frame 88 holds the end of line 2 and the sync of line 3.
  ASSERT_LT(88 * 882, 3 * kFy3L);
  ASSERT_GT(89 * 882, 3 * kFy3L + 4);
  const auto sent = WriteFy3Vcdus(folder, host, lines, {{40, 41, 88}, {}}, false);
  CutThenAlign(host);
  EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")),
            Concat({LineOf(sent, 0), LineOf(sent, 1), LineOf(sent, 2), LineOf(sent, 3),
                    LineOf(sent, 4), LineOf(sent, 5)}));
  EXPECT_NE(LineOf(sent, 1), lines[1]);  // the zeros are really there
  EXPECT_NE(LineOf(sent, 3), lines[3]);
  EXPECT_EQ(host.chain.Counts.frames_missing, 3);
  EXPECT_EQ(host.chain.Counts.lines_zero_filled, 3);
  EXPECT_EQ(host.chain.Counts.lines_dropped, 0);
  EXPECT_TRUE(host.Logged("3 lines zero-filled: data lost inside them"));
  EXPECT_TRUE(host.Logged("ASM detection done!  6 lines found."));
}

// Several lines in a row whose syncs went with lost and uncorrectable frames all keep their
// places; with the option, the uncorrectable frames' bytes are written as they arrived.
TEST(Fy3InnerSyncStage, LinesWhoseSyncsWereLostInARowKeepTheirPlaces) {
  const auto lines = testing::Fy3Lines(7, kFy3L, kSeed);
  // Syncs of lines 2 (frame 59), 3 (frame 88, uncorrectable) and 4 (frame 118).
  for (const bool keep : {false, true}) {
    SCOPED_TRACE(keep ? "kept as received" : "zeros");
    testing::TempFolder folder;
    testing::RecordingHost host;
    // Frame 117 is uncorrectable right before the lost 118: where it belongs is not certain.
    const auto sent = WriteFy3Vcdus(folder, host, lines, {{59, 118}, {88, 100, 117}}, keep);
    CutThenAlign(host);
    std::vector<std::vector<uint8_t>> expected;
    for (size_t i = 0; i < lines.size(); ++i) expected.push_back(LineOf(sent, i));
    EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")), Concat(expected));
    EXPECT_EQ(host.chain.Counts.lines_zero_filled, 4);  // lines 1 to 4
    EXPECT_EQ(host.chain.Counts.lines_dropped, 0);
    EXPECT_EQ(host.chain.Counts.frames_missing, 2);
    // Frame 100 lies inside line 3: noise with the option, zeros without.
    const size_t in_line = 100 * 882 - 3 * kFy3L + 10;
    EXPECT_EQ(LineOf(sent, 3)[in_line] != 0, keep);
    EXPECT_EQ(LineOf(sent, 3)[117 * 882 - 3 * kFy3L + 10], 0);
  }
}

// Noise kept as received may hold a line sync off the grid: it is no line, and no line is
// counted as dropped for it.
TEST(Fy3InnerSyncStage, SyncInNoiseKeptAsReceivedIsNoDroppedLine) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  const auto lines = testing::Fy3Lines(4, kFy3L, kSeed);
  // Line 0's sync went with frame 0, so the search is on when it meets the noise of frame 5.
  Fates fates{{0}, {5}};
  fates.false_sync_frame = 5;
  fates.false_sync_at = 100;
  const auto sent = WriteFy3Vcdus(folder, host, lines, fates, true);
  CutThenAlign(host);
  EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")),
            Concat({LineOf(sent, 1), LineOf(sent, 2), LineOf(sent, 3)}));
  EXPECT_EQ(host.chain.Counts.lines_dropped, 0);
  EXPECT_EQ(host.chain.Counts.frames_missing, 0);  // frame 0 is before the first counter
}

// A counter restart says nothing of how many bytes went missing: a line whose sync was lost
// after it has no known place, and counts as dropped.
TEST(Fy3InnerSyncStage, NoLineIsPlacedAcrossARestart) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  const auto lines = testing::Fy3Lines(6, kFy3L, kSeed);
  // The counter jumps at frame 60, inside line 2; frame 88 took the sync of line 3.
  const auto sent = WriteFy3Vcdus(folder, host, lines, {{88}, {}, 60}, false);
  const std::vector<StreamMark> cut_marks =
      testing::RunMarkedChain(host, "vcdu_x.vcd", vcdu_marks, {kCutMpduStep});
  std::vector<int64_t> gaps;
  for (const StreamMark& mark : cut_marks)
    if (mark.value == FrameMark::kUnmeasuredGap) gaps.push_back(mark.offset);
  ASSERT_EQ(gaps, std::vector<int64_t>{60 * 882});
  host.chain.Counts = PassCounts{};
  CutThenAlign(host);
  EXPECT_EQ(testing::ReadFileBytes(folder.File("FY3x_.fy3")),
            Concat({LineOf(sent, 0), LineOf(sent, 1), LineOf(sent, 2), LineOf(sent, 4),
                    LineOf(sent, 5)}));
  EXPECT_EQ(host.chain.Counts.lines_dropped, 1);
  EXPECT_EQ(host.chain.Counts.lines_zero_filled, 1);  // line 2
}

// `count` random MSU-MR lines, and MSU-MR.dmx written with their stream less the frames' shares
// (948 bytes each) of every loss {byte offset, shares}, taken out in the order given.
std::vector<std::vector<uint8_t>> WriteMn2StreamLosing(
    const testing::TempFolder& folder, int count,
    std::initializer_list<std::pair<size_t, size_t>> losses) {
  std::mt19937 random(kSeed);
  std::vector<std::vector<uint8_t>> lines;
  for (int i = 0; i < count; ++i) lines.push_back(testing::Mn2Line(kMn2L, random));
  std::vector<uint8_t> stream = Concat(lines);
  for (const auto& [from, shares] : losses) {
    stream.erase(stream.begin() + static_cast<ptrdiff_t>(from),
                 stream.begin() + static_cast<ptrdiff_t>(from + shares * 948));
  }
  testing::WriteFileBytes(folder.File("MSU-MR.dmx"), stream);
  return lines;
}

// Meteor-M N2 frames carry no counter to trust: a line sync found less than a line after the
// previous one shows bytes lost inside that line, which is dropped rather than written with the
// next line's bytes slid into it.
TEST(Mn2InnerSyncStage, LineThatLostAFramesBytesIsDropped) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  // Three frames' worth of MSU-MR bytes lost from the middle of line 2.
  const auto lines = WriteMn2StreamLosing(folder, 6, {{2 * kMn2L + 5000, 3}});

  Mn2InnerSyncStage(host);

  EXPECT_EQ(testing::ReadFileBytes(folder.File("MN2_.mnx")),
            Concat({lines[0], lines[1], lines[3], lines[4], lines[5]}));
  EXPECT_EQ(host.chain.Counts.lines_dropped, 1);
  EXPECT_TRUE(host.Logged("1 lines dropped: data lost inside them"));
  EXPECT_TRUE(host.Logged("ASM detection done!  5 lines found."));
}

// Frames' shares lost across a line sync: the line before is dropped, and the line whose sync
// went with the lost bytes is counted too, from how many shares make the distance whole lines.
TEST(Mn2InnerSyncStage, LinesWhoseSyncWasLostAreCountedFromTheLostShares) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  // 14 shares (more than a line) from inside line 5 over the sync of line 6, then two shares
  // around the sync of line 3.
  const auto lines =
      WriteMn2StreamLosing(folder, 8, {{5 * kMn2L + 3000, 14}, {3 * kMn2L - 900, 2}});

  Mn2InnerSyncStage(host);

  // Line 2 dropped and 3 lost with its sync; 5 dropped and 6 lost with its sync. Line 4 is whole.
  EXPECT_EQ(testing::ReadFileBytes(folder.File("MN2_.mnx")),
            Concat({lines[0], lines[1], lines[4], lines[7]}));
  EXPECT_EQ(host.chain.Counts.lines_dropped, 4);
  EXPECT_TRUE(host.Logged("4 lines dropped: data lost inside them"));
}

}  // namespace
}  // namespace vantrel
