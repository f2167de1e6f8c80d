// The pass report: its log block, its hints for misconfigured passes, its JSON text, and the line
// times the final writers note.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/pass_report.h"
#include "tests/support/recording_host.h"

namespace vantrel {
namespace {

PassCounts SomeCounts() {
  PassCounts counts;
  counts.input_bytes = 5000000000;  // past 32 bits
  counts.cadus = 1200;
  counts.sync_losses = 3;
  counts.rs_corrected_symbols = 4567;
  counts.rs_corrected_frames = 400;
  counts.rs_uncorrectable_frames = 12;
  counts.frames_missing = 20;
  counts.lines_dropped = 2;
  counts.lines_zero_filled = 1;
  counts.product_lines = 77;
  return counts;
}

bool HasLineContaining(const std::vector<std::string>& lines, const std::string& text) {
  for (const std::string& line : lines)
    if (line.find(text) != std::string::npos) return true;
  return false;
}

TEST(PassReport, BlockNamesEveryCount) {
  PassCounts counts = SomeCounts();
  counts.first_line_time = LineTime{6939, 36930000};
  counts.last_line_time = LineTime{6939, 36942833};
  const std::vector<std::string> lines = PassReportLines(counts, {});
  const std::vector<std::string> expected = {
      "Pass report:",
      "  Input bytes 5000000000, CADUs found 1200, sync losses 3",
      "  R-S corrected 4567 symbols in 400 frames, uncorrectable frames 12",
      "  Frames missing 20, lines dropped 2, lines zero-filled 1",
      "  Product lines 77",
      "  First line 2018-12-31 10:15:30.000, last line 2018-12-31 10:15:42.833",
  };
  EXPECT_EQ(lines, expected);

  // A product without times has no time line.
  counts.first_line_time.reset();
  counts.last_line_time.reset();
  EXPECT_EQ(PassReportLines(counts, {}).size(), expected.size() - 1);

  // Uncorrectable frames written as received are said before the product, and in the JSON.
  counts.keep_uncorrectable = true;
  const std::vector<std::string> kept = PassReportLines(counts, {});
  ASSERT_EQ(kept.size(), expected.size());
  EXPECT_EQ(kept[4], "  Uncorrectable frames' bytes written as received, not as zeros");
  EXPECT_NE(PassReportJson(counts, "", 0, 0).find(",\"keep_uncorrectable\":true,"),
            std::string::npos);
}

TEST(PassReport, AppendedToTheLogAfterAnEmptyLine) {
  testing::RecordingHost host;
  host.chain.Counts = SomeCounts();
  AppendPassReport(host, {});
  ASSERT_GE(host.log.size(), 2u);
  EXPECT_EQ(host.log[0], "");
  EXPECT_EQ(host.log[1], "Pass report:");
  EXPECT_EQ(host.log.back(), "  Product lines 77");
}

TEST(PassReport, HintsForMisconfiguredPasses) {
  PassCounts counts;
  counts.cadus = 50;
  counts.rs_uncorrectable_frames = 50;
  PassReportSettings settings;
  settings.reed_solomon = true;
  settings.derandomise = false;
  EXPECT_TRUE(HasLineContaining(PassReportLines(counts, settings), "try DR_y"));
  // Not with de-randomisation on, nor with one frame corrected, nor without Reed-Solomon.
  settings.derandomise = true;
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, settings), "try DR_y"));
  settings.derandomise = false;
  counts.rs_uncorrectable_frames = 49;
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, settings), "try DR_y"));
  counts.rs_uncorrectable_frames = 50;
  settings.reed_solomon = false;
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, settings), "try DR_y"));

  // The chosen channel never came: the channels that did are listed (and de-randomisation, when
  // it is off, is suggested: scrambled headers give such channels).
  PassReportSettings channel;
  channel.derandomise = true;
  channel.channel = 9;
  counts.vcids_seen.set(5);
  counts.vcids_seen.set(63);
  EXPECT_TRUE(
      HasLineContaining(PassReportLines(counts, channel), "VCID 9: none; channels seen: 5, 63"));
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, channel), "try DR_y"));
  channel.derandomise = false;
  EXPECT_TRUE(HasLineContaining(PassReportLines(counts, channel), "try DR_y"));
  counts.vcids_seen.set(9);
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, channel), "VCID 9: none"));
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, channel), "try DR_y"));
  counts.vcids_seen.reset();
  EXPECT_TRUE(
      HasLineContaining(PassReportLines(counts, channel), "VCID 9: none; channels seen: none"));
  // A channel past six bits can never be seen; without CADUs there is nothing to say.
  channel.channel = 70;
  EXPECT_TRUE(HasLineContaining(PassReportLines(counts, channel), "VCID 70: none"));
  counts.cadus = 0;
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, channel), "VCID"));

  // Meteor-M N2 without CADUs and without the Manchester decoder; not when nothing was read.
  PassReportSettings meteor;
  meteor.meteor = true;
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, meteor), "try MN_y"));
  counts.input_bytes = 4096;
  EXPECT_TRUE(HasLineContaining(PassReportLines(counts, meteor), "try MN_y"));
  meteor.manchester = true;
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, meteor), "try MN_y"));
  meteor.manchester = false;
  // A baseband recording that failed before its soft symbols: the demodulator decodes Manchester.
  counts.baseband.emplace();
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, meteor), "try MN_y"));
  counts.baseband.reset();
  counts.cadus = 1;
  EXPECT_FALSE(HasLineContaining(PassReportLines(counts, meteor), "try MN_y"));

  // A clean pass has no hint at all.
  PassCounts clean = SomeCounts();
  clean.vcids_seen.set(9);
  PassReportSettings metop;
  metop.reed_solomon = true;
  metop.derandomise = true;
  metop.channel = 9;
  EXPECT_FALSE(HasLineContaining(PassReportLines(clean, metop), "Hint"));
}

TEST(PassReport, JsonHasExactlyTheKeysInOrder) {
  const PassCounts counts = SomeCounts();
  EXPECT_EQ(PassReportJson(counts, "/data/MetopB_20181231_1015_M03.hpt", 0, 42),
            "{\"input_bytes\":5000000000,\"cadus\":1200,\"sync_losses\":3,"
            "\"rs_corrected_symbols\":4567,\"rs_corrected_frames\":400,"
            "\"rs_uncorrectable_frames\":12,\"frames_missing\":20,\"lines_dropped\":2,"
            "\"lines_zero_filled\":1,\"keep_uncorrectable\":false,\"product\":\"/data/"
            "MetopB_20181231_1015_M03.hpt\","
            "\"satellite\":null,\"product_lines\":77,\"exit_status\":0,\"seconds\":42}\n");
}

// The noisy lines come after the product lines, in the log and the JSON, only when measured.
struct NoisyReportCase {
  const char* name;
  NoisyLineCounts noisy;
  const char* line;  // the log line
  const char* json;  // the JSON between product_lines and exit_status
};

class NoisyLinesReport : public ::testing::TestWithParam<NoisyReportCase> {};

TEST_P(NoisyLinesReport, FollowsTheProductLines) {
  const NoisyReportCase& c = GetParam();
  PassCounts counts = SomeCounts();
  const std::vector<std::string> without = PassReportLines(counts, {});
  counts.noisy_lines = c.noisy;
  std::vector<std::string> expected = without;
  expected.insert(expected.begin() + 5, c.line);
  EXPECT_EQ(PassReportLines(counts, {}), expected);
  const std::string json = PassReportJson(counts, "", 1, 0);
  EXPECT_NE(json.find(std::string("\"product_lines\":77,") + c.json + ",\"exit_status\":1,"),
            std::string::npos)
      << json;
}

const NoisyReportCase kNoisyReportCases[] = {
    {"NoneNoisy",
     {0.05, 77, 0, 0, 0},
     "  Noisy lines 0 (estimated bit error rate above 5%)",
     "\"noisy_lines\":{\"count\":0,\"first\":null,\"last\":null,\"measured\":77,"
     "\"ber_threshold\":0.05}"},
    {"OneNoisy",
     {0.05, 77, 1, 77, 77},
     "  Noisy lines 1 (estimated bit error rate above 5%): first line 77, last line 77",
     "\"noisy_lines\":{\"count\":1,\"first\":77,\"last\":77,\"measured\":77,"
     "\"ber_threshold\":0.05}"},
    {"BothHorizons",
     {0.05, 70, 9, 1, 77},
     "  Noisy lines 9 (estimated bit error rate above 5%): first line 1, last line 77",
     "\"noisy_lines\":{\"count\":9,\"first\":1,\"last\":77,\"measured\":70,"
     "\"ber_threshold\":0.05}"},
};

INSTANTIATE_TEST_SUITE_P(Counts, NoisyLinesReport, ::testing::ValuesIn(kNoisyReportCases),
                         [](const ::testing::TestParamInfo<NoisyReportCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(PassReport, JsonProductIsNullOrAnEscapedString) {
  const PassCounts counts;
  const std::string none = PassReportJson(counts, "", 1, 0);
  EXPECT_NE(none.find("\"product\":null,"), std::string::npos);
  EXPECT_NE(none.find("\"exit_status\":1,"), std::string::npos);
  PassCounts named;
  named.satellite = "Meteor-M N2-3";
  EXPECT_NE(PassReportJson(named, "", 0, 0).find(",\"satellite\":\"Meteor-M N2-3\","),
            std::string::npos);
  const std::string odd = std::string("a\"b\\c\nd\x01") + "e";
  EXPECT_NE(
      PassReportJson(counts, odd, 0, 0).find("\"product\":\"a\\\"b\\\\\\\\c\\u000ad\\u0001e\","),
      std::string::npos);
}

// Bytes that are not UTF-8 stand as the text \xNN; characters of UTF-8 stay as they are, and a
// backslash of the name is doubled so that the two can always be told apart.
TEST(PassReport, JsonIsUtf8WhateverThePathHolds) {
  const PassCounts counts;
  const struct {
    std::string path;
    std::string json;  // the product's value as written
  } cases[] = {
      {"/d/\xE9t\xE9.bin", R"("/d/\\xe9t\\xe9.bin")"},       // Latin-1 bytes
      {"/d/\xC3\xA9t\xC3\xA9", "\"/d/\xC3\xA9t\xC3\xA9\""},  // UTF-8 stays
      {"\xF0\x9F\x9B\xB0x", "\"\xF0\x9F\x9B\xB0x\""},        // four bytes
      {"a\xC3", R"("a\\xc3")"},                              // cut short at the end
      {"\xC3(", R"("\\xc3(")"},                              // lead without continuation
      {"\xC0\xAF", R"("\\xc0\\xaf")"},                       // overlong '/'
      {"\xED\xA0\x80", R"("\\xed\\xa0\\x80")"},              // a surrogate
      {"\xF4\x90\x80\x80", R"("\\xf4\\x90\\x80\\x80")"},     // past U+10FFFF
      {"\x80\\x80", R"("\\x80\\\\x80")"},                    // a real "\x80" in the name
  };
  for (const auto& c : cases) {
    const std::string json = PassReportJson(counts, c.path, 0, 0);
    EXPECT_NE(json.find("\"product\":" + c.json + ","), std::string::npos) << json;
  }
}

TEST(PassReport, CalendarDays) {
  EXPECT_EQ(DaysSince2000(2000, 1, 1), 0);
  EXPECT_EQ(DaysSince2000(2000, 3, 1), 60);  // 2000 is a leap year
  EXPECT_EQ(DaysSince2000(2001, 1, 1), 366);
  EXPECT_EQ(DaysSince2000(2018, 12, 31), 6939);
  EXPECT_EQ(DaysSince2000(1999, 12, 31), -1);
  EXPECT_EQ(DaysSince2000(2100, 3, 1), 36584);  // 2100 is not a leap year
}

TEST(PassReport, LineTimes) {
  EXPECT_EQ(LineTimeText(0, 0), "2000-01-01 00:00:00.000");
  EXPECT_EQ(LineTimeText(6939, 86399999), "2018-12-31 23:59:59.999");
  EXPECT_EQ(LineTimeText(6939, 36930000), "2018-12-31 10:15:30.000");
  EXPECT_EQ(LineTimeText(365, 0), "2000-12-31 00:00:00.000");
  // A millisecond count past the day runs into the next one.
  EXPECT_EQ(LineTimeText(6939, 86400000 + 1500), "2019-01-01 00:00:01.500");
  EXPECT_EQ(LineTimeText(36583, 0), "2100-02-28 00:00:00.000");
  EXPECT_EQ(LineTimeText(36584, 0), "2100-03-01 00:00:00.000");

  PassCounts counts;
  NoteLineTime(counts, 6939, 1000);
  NoteLineTime(counts, 6939, 2000);
  NoteLineTime(counts, 6939, 3167);
  ASSERT_TRUE(counts.first_line_time && counts.last_line_time);
  EXPECT_EQ(LineTimeText(*counts.first_line_time), "2018-12-31 00:00:01.000");
  EXPECT_EQ(LineTimeText(*counts.last_line_time), "2018-12-31 00:00:03.167");
}

}  // namespace
}  // namespace vantrel
