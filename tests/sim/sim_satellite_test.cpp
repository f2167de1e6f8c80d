// The simulator's passes name their satellite as the satellites do: the VCDU spacecraft id of
// MetOp and FY-3 frames, and the MSU-MR identifier and time of day of Meteor-M lines.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sim/simulator.h"

namespace vantrel::sim {
namespace {

constexpr uint64_t kSeed = 7;

// Version (2 bits), spacecraft id (8 bits) and virtual channel (6 bits) of a VCDU header, by hand.
int VersionOf(const std::vector<uint8_t>& vcdu) {
  return vcdu[0] >> 6;
}
int SpacecraftOf(const std::vector<uint8_t>& vcdu) {
  return ((vcdu[0] & 0x3F) << 2) | (vcdu[1] >> 6);
}

TEST(SimSatellite, FramesCarryTheSpacecraftIdsTheSatellitesSend) {
  // MetOp-A 12, MetOp-B 11, MetOp-C 13; FY-3A 49, FY-3B 50, FY-3C 51.
  const std::pair<char, int> metop[] = {{'A', 12}, {'B', 11}, {'C', 13}};
  for (const auto& [letter, id] : metop) {
    MetopOptions options;
    options.satellite = letter;
    options.packets = 2;
    const MetopPass pass = MakeMetopPass(options, CaduEncoding{}, Impairments{}, kSeed);
    ASSERT_FALSE(pass.recording.frames.empty());
    for (const std::vector<uint8_t>& frame : pass.recording.frames) {
      EXPECT_EQ(VersionOf(frame), 1);
      EXPECT_EQ(SpacecraftOf(frame), id) << letter;
    }
  }
  const std::pair<char, int> fy3[] = {{'A', 49}, {'B', 50}, {'C', 51}};
  for (const auto& [letter, id] : fy3) {
    Fy3Options options;
    options.satellite = letter;
    options.lines = 1;
    const Fy3Pass pass = MakeFy3Pass(options, CaduEncoding{}, Impairments{}, kSeed);
    ASSERT_FALSE(pass.recording.frames.empty());
    for (const std::vector<uint8_t>& frame : pass.recording.frames) {
      EXPECT_EQ(VersionOf(frame), 1);
      EXPECT_EQ(SpacecraftOf(frame), id) << letter;
    }
  }
}

TEST(SimSatellite, MsuMrLinesCarryTheIdentifierAndTheirTimeOfDay) {
  for (int id : {0, 2, 3, 4}) {
    Mn2Options options;
    options.lines = 7;
    options.msu_mr_id = id;
    options.start_ms = 23 * 3600000 + 59 * 60000 + 59 * 1000 + 800;  // 23:59:59.800
    const Mn2Pass pass = MakeMn2Pass(options, Impairments{}, kSeed);
    ASSERT_EQ(pass.lines.size(), 7u);
    for (size_t k = 0; k < pass.lines.size(); ++k) {
      const std::vector<uint8_t>& line = pass.lines[k];
      EXPECT_EQ(line[12] >> 4, id);
      EXPECT_EQ(line[12] & 0x0F, 12);  // the fill the rest of the byte keeps
      // Six lines a second, past midnight from the second line on.
      const int ms = static_cast<int>((options.start_ms + k * 1000 / 6) % 86400000);
      EXPECT_EQ(line[8], ms / 3600000) << k;
      EXPECT_EQ(line[9], ms / 60000 % 60) << k;
      EXPECT_EQ(line[10], ms / 1000 % 60) << k;
      EXPECT_EQ(line[11], ms % 1000 / 4) << k;
    }
    EXPECT_EQ(pass.lines[2][8], 0);  // 00:00:00.133, the next day
  }
}

}  // namespace
}  // namespace vantrel::sim
