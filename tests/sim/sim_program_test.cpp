// vantrel-sim as a program: what it writes, and how it refuses bad arguments.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/temp_folder.h"
#include "viterbi/viterbi_decoder.h"

namespace {

using vantrel::testing::FileExists;
using vantrel::testing::ReadFileBytes;
using vantrel::testing::TempFolder;

int RunSim(const std::string& args) {
  const std::string command = std::string(VANTREL_SIM_PROGRAM) + " " + args + " >sim.out 2>sim.err";
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SimProgram, WritesTheRecordingAndItsTruth) {
  TempFolder folder;
  ASSERT_EQ(RunSim("--sat metop --out MetopA_x.bin --packets 4 --apid 104 --mix-night "
                   "--satellite A --seed 5"),
            0);
  const auto recording = ReadFileBytes("MetopA_x.bin");
  const auto frames = ReadFileBytes("MetopA_x.bin.frames");
  const auto packets = ReadFileBytes("MetopA_x.bin.packets");
  ASSERT_FALSE(recording.empty());
  EXPECT_EQ(recording.size() % 1024, 0u);
  EXPECT_EQ(frames.size(), recording.size() / 1024 * 1020);
  // Four packets alternate 104 and 103: only the two of APID 104 are the truth.
  ASSERT_EQ(packets.size(), 2 * 12966u);
  EXPECT_EQ(packets[1], 104);
  EXPECT_EQ(packets[12966 + 1], 104);
  const auto out = ReadFileBytes("sim.out");
  EXPECT_NE(std::string(out.begin(), out.end()).find("seed 5"), std::string::npos);

  ASSERT_EQ(RunSim("--sat fy3 --out FY3B_y.bin --lines 2 --satellite B --fy3-channel 3"), 0);
  EXPECT_EQ(ReadFileBytes("FY3B_y.bin.lines").size(), 2 * 26050u);
  ASSERT_EQ(RunSim("--sat mn2 --out MN2_z.bin --lines 3 --manchester"), 0);
  EXPECT_EQ(ReadFileBytes("MN2_z.bin.lines").size(), 3 * 11850u);
  EXPECT_EQ(ReadFileBytes("MN2_z.bin").size() % 1024, 0u);
  ASSERT_EQ(RunSim("--sat cadu --out c.bin --frames 3 --shift 4"), 0);
  EXPECT_EQ(ReadFileBytes("c.bin").size(), 3 * 1024u + 1);
  EXPECT_EQ(ReadFileBytes("c.bin.frames").size(), 3 * 1020u);
}

// --soft writes the same recording as symbols: decoded (MetOp) or sliced (Meteor-M N2) it is
// the hard-bit recording of the same seed, and the truth beside it is the same.
TEST(SimProgram, SoftSymbolsCarryTheHardRecording) {
  TempFolder folder;
  ASSERT_EQ(RunSim("--sat metop --out h.bin --packets 2 --seed 3"), 0);
  ASSERT_EQ(RunSim("--sat metop --out s.soft --packets 2 --seed 3 --soft --ebn0 6"), 0);
  const auto hard = ReadFileBytes("h.bin");
  const auto soft = ReadFileBytes("s.soft");
  EXPECT_EQ(soft.size(), (hard.size() * 8 + 2) / 3 * 4);
  EXPECT_EQ(ReadFileBytes("s.soft.packets"), ReadFileBytes("h.bin.packets"));
  vantrel::ViterbiDecoder decoder(vantrel::ViterbiDecoder::Puncturing::kMetop);
  std::vector<uint8_t> decoded;
  decoder.Decode(reinterpret_cast<const int8_t*>(soft.data()), soft.size(), decoded);
  decoder.Flush(decoded);
  decoded.resize(hard.size());
  EXPECT_TRUE(decoded == hard);
  const auto out = ReadFileBytes("sim.out");
  EXPECT_NE(std::string(out.begin(), out.end()).find("soft symbols: MetOp QPSK"),
            std::string::npos);

  ASSERT_EQ(RunSim("--sat mn2 --out h.bin --lines 2 --seed 4"), 0);
  ASSERT_EQ(RunSim("--sat mn2 --out s.soft --lines 2 --seed 4 --soft --rotation 180"), 0);
  const auto mn2_hard = ReadFileBytes("h.bin");
  const auto mn2_soft = ReadFileBytes("s.soft");
  ASSERT_EQ(mn2_soft.size(), mn2_hard.size() * 8);
  for (size_t k = 0; k < mn2_soft.size(); ++k) {
    const bool one = (mn2_hard[k / 8] >> (7 - k % 8) & 1) != 0;
    ASSERT_EQ(static_cast<int8_t>(mn2_soft[k]) < 0, one) << "symbol " << k;  // half a turn
  }
}

TEST(SimProgram, PassProfileWritesTheWholeLinesList) {
  TempFolder folder;
  // Half a second of noise at 4.2 Mbit/s before rise and after set, a harsh horizon.
  ASSERT_EQ(RunSim("--sat fy3 --out FY3A_p.bin --lines 40 --pass-profile --noise-seconds 0.5 "
                   "--ber-horizon 0.03 --slips 1 --phase-flips 1 --dropouts 1 --seed 9"),
            0);
  const auto recording = ReadFileBytes("FY3A_p.bin");
  EXPECT_GT(recording.size(), 2 * 262500u + 40 * 26050u);
  const auto list = ReadFileBytes("FY3A_p.bin.whole");
  std::vector<int> whole;
  std::string text(list.begin(), list.end());
  for (size_t at = 0; at < text.size();) {
    const size_t end = text.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    whole.push_back(std::stoi(text.substr(at, end - at)));
    at = end + 1;
  }
  // Lines in order, some lost at the harsh ends and to the events, most whole.
  EXPECT_TRUE(std::is_sorted(whole.begin(), whole.end()));
  EXPECT_GT(whole.size(), 20u);
  EXPECT_LT(whole.size(), 40u);
  EXPECT_GE(whole.front(), 0);
  EXPECT_LT(whole.back(), 40);
  const auto out = ReadFileBytes("sim.out");
  EXPECT_NE(std::string(out.begin(), out.end()).find("2 damaged by a slip or flip"),
            std::string::npos);
}

TEST(SimProgram, SizeOptionGivesAboutThatMuch) {
  TempFolder folder;
  for (const char* sat : {"metop", "fy3", "mn2", "cadu"}) {
    ASSERT_EQ(RunSim(std::string("--sat ") + sat + " --out s.bin --size-mib 1"), 0) << sat;
    const double size = static_cast<double>(ReadFileBytes("s.bin").size());
    EXPECT_GT(size, 0.9 * 1048576) << sat;
    EXPECT_LT(size, 1.1 * 1048576) << sat;
  }
}

TEST(SimProgram, RefusesBadArgumentsWithExitTwo) {
  TempFolder folder;
  for (const char* args : {"",
                           "--sat metop",
                           "--out x.bin",
                           "--sat goes --out x.bin",
                           "--sat metop --out x.bin --shift 8",
                           "--sat metop --out x.bin --lines 3",
                           "--sat fy3 --out x.bin --fy3-channel 4",
                           "--sat metop --out x.bin --satellite D",
                           "--sat metop --out x.bin --packets -1",
                           "--sat metop --out x.bin --packets 12x",
                           "--sat metop --out x.bin --apid 105",
                           "--sat metop --out x.bin --manchester",
                           "--sat mn2 --out x.bin --satellite A",
                           "--sat cadu --out x.bin --frames 2 --size-mib 1",
                           "--sat cadu --out x.bin --bogus",
                           "--sat cadu --out x.bin --seed",
                           "--sat fy3 --out x.bin --vcid 5",
                           "--sat metop --out x.bin --fy3-channel 5",
                           "--sat fy3 --out x.bin --slips 2",
                           "--sat fy3 --out x.bin --pass-profile --ber-top 0.6",
                           "--sat fy3 --out x.bin --pass-profile --ber-horizon x",
                           "--sat mn2 --out x.bin --pass-profile --dropouts -1",
                           "--sat metop --out x.bin --ebn0 3",
                           "--sat cadu --out x.bin --soft",
                           "--sat metop --out x.bin --soft --rotation 45",
                           "--sat metop --out x.bin --soft --ebn0 loud",
                           "--sat mn2 --out x.bin --soft --rotation 90",
                           "--sat mn2 --out x.bin --soft --iq-swap",
                           "--sat mn2 --out x.bin --soft --manchester"}) {
    EXPECT_EQ(RunSim(args), 2) << args;
    const auto err = ReadFileBytes("sim.err");
    EXPECT_NE(std::string(err.begin(), err.end()).find("Usage:"), std::string::npos) << args;
  }
  EXPECT_FALSE(FileExists("x.bin"));
}

TEST(SimProgram, ReportsAFolderItCannotWriteTo) {
  TempFolder folder;
  EXPECT_EQ(RunSim("--sat cadu --out missing/x.bin"), 1);
  const auto err = ReadFileBytes("sim.err");
  EXPECT_NE(std::string(err.begin(), err.end()).find("cannot create"), std::string::npos);
}

}  // namespace
