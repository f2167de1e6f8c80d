#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ccsds/apid_packet_extraction_stage.h"
#include "ccsds/mpdu_checking_stage.h"
#include "ccsds/vcdu_selection_stage.h"
#include "core/stage_error.h"
#include "tests/ccsds/mpdu_fixtures.h"
#include "tests/support/marked_chain.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::CutIntoMpdus;
using testing::MakeMpdu;
using testing::MakePacket;
using testing::ReadFileBytes;
using testing::RecordingHost;
using testing::TempFolder;
using testing::WriteFileBytes;

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<uint8_t> Slice(const std::vector<uint8_t>& v, size_t from, size_t to) {
  return std::vector<uint8_t>(v.begin() + static_cast<long>(from),
                              v.begin() + static_cast<long>(to));
}

// The expected summary: done line, empty, file line, empty, separator, empty.
std::vector<std::string> Summary(const std::string& done, const std::string& file, int stars) {
  return {done, "", file, "", std::string(static_cast<size_t>(stars), '*'), ""};
}

// Bytes [from, to) as the listings print them: "%02X " each.
std::string Hex(const std::vector<uint8_t>& v, size_t from, size_t to) {
  std::string hex;
  char text[4];
  for (size_t i = from; i < to; ++i) {
    std::snprintf(text, sizeof text, "%02X ", v[i]);
    hex += text;
  }
  return hex;
}

std::vector<std::string> Tail(const std::vector<std::string>& log, size_t count) {
  if (log.size() < count) return log;
  return std::vector<std::string>(log.end() - static_cast<long>(count), log.end());
}

TEST(MpduCheckingStage, DropsTheVcduHeaderOfEveryWholeVcdu) {
  TempFolder folder;
  std::vector<uint8_t> a(892), b(892);
  for (size_t i = 0; i < 892; ++i) {
    a[i] = static_cast<uint8_t>(i);
    b[i] = static_cast<uint8_t>(255 - i);
  }
  a[6] = 0x11;
  a[7] = 0x22;
  a[8] = 0x07;
  a[9] = 0xFF;
  std::vector<uint8_t> input = Concat({a, b});
  input.resize(input.size() + 891, 0x33);  // incomplete last VCDU
  WriteFileBytes("vcdu_x.vcd", input);
  RecordingHost host;
  MpduCheckingStage(host);

  const auto out = ReadFileBytes("mpdu_x.mpd");
  ASSERT_EQ(out.size(), 2u * 886);
  EXPECT_EQ(Slice(out, 0, 4), (std::vector<uint8_t>{0x11, 0x22, 0x07, 0xFF}));
  EXPECT_EQ(Slice(out, 0, 886), Slice(a, 6, 892));
  EXPECT_EQ(Slice(out, 886, 1772), Slice(b, 6, 892));
  std::vector<std::string> expected = {"Starting Mpdu checking...", ""};
  for (const auto& line :
       Summary("Mpdu checking done!  2 lines found.",
               "File '" + folder.File("mpdu_x.mpd") + "' contains 886 byte MPDUs.", 54))
    expected.push_back(line);
  EXPECT_EQ(host.log, expected);
  EXPECT_EQ(host.events, 2);
  EXPECT_EQ(host.progress_maximum, 2);
  EXPECT_EQ(host.chain.ProgressCount, 0);
}

TEST(MpduCheckingStage, EmptyInput) {
  TempFolder folder;
  WriteFileBytes("vcdu_x.vcd", {});
  RecordingHost empty;
  MpduCheckingStage(empty);
  EXPECT_TRUE(testing::FileExists("mpdu_x.mpd"));
  EXPECT_TRUE(ReadFileBytes("mpdu_x.mpd").empty());
  EXPECT_TRUE(empty.Logged("Mpdu checking done!  0 lines found."));
  EXPECT_EQ(empty.progress_maximum, 0);
}

TEST(MpduCheckingStage, InputLargerThanOneReadBlock) {
  TempFolder folder;
  // 1500 VCDUs (1.3 MB) and a partial one: records cross the stage's read blocks.
  std::vector<uint8_t> input(1500 * 892 + 100);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 7 + i / 892);
  WriteFileBytes("vcdu_x.vcd", input);
  RecordingHost host;
  MpduCheckingStage(host);
  std::vector<uint8_t> expected;
  for (size_t k = 0; k < 1500; ++k) {
    expected.insert(expected.end(), input.begin() + static_cast<long>(k * 892 + 6),
                    input.begin() + static_cast<long>((k + 1) * 892));
  }
  EXPECT_EQ(ReadFileBytes("mpdu_x.mpd"), expected);
  EXPECT_TRUE(host.Logged("Mpdu checking done!  1500 lines found."));
  EXPECT_EQ(host.events, 1500);
}

// 15 M_PDUs: an APID-103 packet of 12966 bytes from offset 0 of the first zone, pointers 0,
// then 2047 thirteen times, then 618 where the next packet (longer than the rest) begins.
std::vector<std::vector<uint8_t>> FifteenMpdus(std::vector<uint8_t>& packet) {
  packet = MakePacket(103, 1, 12966, 7);
  auto records = CutIntoMpdus({packet, MakePacket(103, 2, 1000, 8)}).records;
  records.resize(15);
  return records;
}

TEST(ApidPacketExtractionStage, PacketAcrossFifteenZonesIsWrittenWhole) {
  TempFolder folder;
  std::vector<uint8_t> packet;
  const auto records = FifteenMpdus(packet);
  ASSERT_EQ(records[0][3], 0);
  ASSERT_EQ(records[1][2] << 8 | records[1][3], 2047);
  ASSERT_EQ(records[14][2] << 8 | records[14][3], 618);
  WriteFileBytes("mpdu_x.mpd", Concat(records));

  RecordingHost host;
  host.settings.GetAPID = true;
  ApidPacketExtractionStage(host);
  EXPECT_EQ(ReadFileBytes("APID.pkt"), packet);

  ASSERT_GE(host.log.size(), 2u);
  EXPECT_EQ(host.log[0], "Starting APID packet building...");
  EXPECT_EQ(host.log[1], "");
  EXPECT_EQ(host.log[2],
            "*** MPDU INPUT Line 0000  EE EE 00 00 08 67 C0 01 32 9F " + Hex(records[0], 10, 16));
  EXPECT_EQ(host.log[3], "*** Packet Builder returned 0");
  EXPECT_TRUE(host.Logged("*** Packet Builder returned 1"));
  EXPECT_TRUE(host.Logged("@ Packet Builder found packets - returned 1"));
  EXPECT_TRUE(host.Logged("Packet Builder apid=103  apid2save=103"));
  EXPECT_TRUE(host.Logged("Get Line 0014  GetNext=0  08 67 C0 01 32 9F " + Hex(packet, 6, 16)));
  EXPECT_EQ(
      Tail(host.log, 6),
      Summary("Packet building done!  15 lines found.",
              "File '" + folder.File("APID.pkt") + "' contains source packets of APID 103.", 53));
  EXPECT_EQ(host.events, 15);
  EXPECT_EQ(host.progress_maximum, 1);  // 15 / 14
  EXPECT_EQ(host.chain.ProgressCount, 0);
}

TEST(ApidPacketExtractionStage, NightApidKeepsNothingOfADayPass) {
  TempFolder folder;
  std::vector<uint8_t> packet;
  WriteFileBytes("mpdu_x.mpd", Concat(FifteenMpdus(packet)));
  RecordingHost host;
  host.settings.APID104 = true;
  ApidPacketExtractionStage(host);
  EXPECT_TRUE(testing::FileExists("APID.pkt"));
  EXPECT_TRUE(ReadFileBytes("APID.pkt").empty());
  EXPECT_TRUE(host.Logged("Packet building done!  15 lines found."));
  EXPECT_TRUE(
      host.Logged("File '" + folder.File("APID.pkt") + "' contains source packets of APID 104."));
  EXPECT_FALSE(host.Logged("*** Packet Builder returned 0"));  // no listing without GetAPID
}

TEST(ApidPacketExtractionStage, TwoPacketsInOneMpduOnlyTheWantedOneWritten) {
  TempFolder folder;
  const auto night = MakePacket(104, 1, 300, 1);
  const auto day = MakePacket(103, 2, 400, 2);
  const auto open = MakePacket(103, 3, 500, 3);
  std::vector<uint8_t> zone = Concat({night, day, Slice(open, 0, 182)});
  WriteFileBytes("mpdu_x.mpd", MakeMpdu(0, zone));
  RecordingHost host;
  host.settings.GetAPID = true;
  host.settings.MaxPkLen = "400";
  ApidPacketExtractionStage(host);
  EXPECT_EQ(ReadFileBytes("APID.pkt"), day);
  const std::vector<std::string> listing = {
      "*** Packet Builder returned 2",
      "@ Packet Builder found packets - returned 2",
      "Get Line 0000  GetNext=1  08 68 C0 01 01 25 " + Hex(night, 6, 16),
      "Packet Builder apid=104  apid2save=103",
  };
  ASSERT_GE(host.log.size(), 7u);
  EXPECT_EQ(std::vector<std::string>(host.log.begin() + 3, host.log.begin() + 7), listing);
  EXPECT_TRUE(host.Logged("Packet Builder apid=103  apid2save=103"));
}

TEST(ApidPacketExtractionStage, ProgressMaximumCountsMpdusOverFourteen) {
  TempFolder folder;
  std::vector<std::vector<uint8_t>> records(100, MakeMpdu(2047, {}));
  std::vector<uint8_t> input = Concat(records);
  input.resize(input.size() + 400, 0);  // incomplete last M_PDU
  WriteFileBytes("mpdu_x.mpd", input);
  RecordingHost host;
  ApidPacketExtractionStage(host);
  EXPECT_TRUE(host.Logged("Packet building done!  100 lines found."));
  EXPECT_EQ(host.progress_maximum, 7);
  EXPECT_EQ(host.events, 100);
}

TEST(ApidPacketExtractionStage, SettingsThatCannotWorkEndTheRunWithFilesClosed) {
  struct Case {
    const char* header;
    const char* max;
    const char* message;
  };
  const Case cases[] = {
      {"4", "13000", "MaxPkLen: 13000 is outside the packet lengths 7..12999"},
      {"4", "99999", "MaxPkLen: 99999 is outside the packet lengths 7..12999"},
      {"4", "6", "MaxPkLen: 6 is outside the packet lengths 7..12999"},
      {"4", "-1", "MaxPkLen: -1 is outside the packet lengths 7..12999"},
      {"4", "12966x", "MaxPkLen: '12966x' is not a valid integer value"},
      {"x", "12966", "MPDU_header: 'x' is not a valid integer value"},
      {"3", "12966", "MPDU_header: 3 is not an M_PDU header length (2 or 4)"},
  };
  TempFolder folder;
  std::vector<uint8_t> packet;
  WriteFileBytes("mpdu_x.mpd", Concat(FifteenMpdus(packet)));
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.header) + " / " + c.max);
    RecordingHost host;
    host.settings.MPDU_header = c.header;
    host.settings.MaxPkLen = c.max;
    try {
      ApidPacketExtractionStage(host);
      ADD_FAILURE() << "the stage accepted the settings";
    } catch (const StageError& error) {
      EXPECT_EQ(std::string(error.what()), c.message);
    }
    EXPECT_FALSE(host.Logged("Packet building done!  15 lines found."));
    EXPECT_TRUE(ReadFileBytes("APID.pkt").empty());
    EXPECT_TRUE(std::filesystem::remove("APID.pkt"));
  }
  // The largest limit a slot takes is accepted.
  RecordingHost widest;
  widest.settings.MaxPkLen = "12999";
  ApidPacketExtractionStage(widest);
  const auto out = ReadFileBytes("APID.pkt");
  ASSERT_EQ(out.size(), 12999u);
  EXPECT_EQ(Slice(out, 0, 12966), packet);
}

// The independent code blocks: VCDU selection, M_PDU checking and packet extraction give the
// packets their publisher describes.
std::vector<std::vector<uint8_t>> PeerVcdus() {
  std::ifstream in(std::string(VANTREL_CCSDS_TEST_DATA) + "/cvcdus.hex");
  std::vector<std::vector<uint8_t>> vcdus;
  std::string line;
  while (std::getline(in, line)) {
    if (line.size() < 2 * 1020) continue;
    std::vector<uint8_t> block;
    for (size_t i = 0; i + 1 < line.size(); i += 2)
      block.push_back(static_cast<uint8_t>(std::stoi(line.substr(i, 2), nullptr, 16)));
    block.resize(892);  // the check symbols follow the VCDU
    vcdus.push_back(block);
  }
  return vcdus;
}

TEST(ApidPacketExtractionStage, PeerCodeBlocksYieldThePublishedPackets) {
  const auto vcdus = PeerVcdus();
  ASSERT_EQ(vcdus.size(), 4u);
  // The 2000-byte packet: zone bytes (VCDU bytes 10..891) of frames 0 and 1, then 236 bytes.
  const std::vector<uint8_t> day =
      Concat({Slice(vcdus[0], 10, 892), Slice(vcdus[1], 10, 892), Slice(vcdus[2], 10, 246)});
  const std::vector<uint8_t> night = Slice(vcdus[2], 246, 892);
  ASSERT_EQ(Slice(day, 0, 6), (std::vector<uint8_t>{0x00, 0x67, 0xC0, 0x00, 0x07, 0xC9}));

  TempFolder folder;
  // An idle VCDU among them is dropped by the selection.
  std::vector<uint8_t> idle(892, 0x55);
  idle[0] = 0x43;
  idle[1] = 0x3F;
  WriteFileBytes("cvcdu.rs", Concat({vcdus[0], idle, vcdus[1], vcdus[2], vcdus[3]}));
  RecordingHost host;
  host.SetSatellite("metop-b");
  host.settings.MaxPkLen = "2000";
  testing::RunMarkedChain(host, "cvcdu.rs", {},
                          {kVcduSelectionStep, kMpduCheckingStep, kApidPacketExtractionStep});
  EXPECT_TRUE(host.Logged("Vcdu selection done!  4 lines found."));
  EXPECT_EQ(ReadFileBytes("APID.pkt"), day);

  RecordingHost night_host;
  night_host.settings.APID104 = true;
  night_host.settings.MaxPkLen = "646";
  ApidPacketExtractionStage(night_host);
  EXPECT_EQ(ReadFileBytes("APID.pkt"), night);
}

// A VCDU of MetOp's channel 9 carrying `mpdu`: version 01, spacecraft 12, counter `counter`.
std::vector<uint8_t> VcduOf(const std::vector<uint8_t>& mpdu, uint32_t counter) {
  constexpr size_t kHeader = 6;
  std::vector<uint8_t> vcdu(kHeader + mpdu.size(), 0);
  vcdu[0] = 0x43;
  vcdu[1] = 0x09;
  vcdu[2] = static_cast<uint8_t>(counter >> 16);
  vcdu[3] = static_cast<uint8_t>(counter >> 8);
  vcdu[4] = static_cast<uint8_t>(counter);
  std::copy(mpdu.begin(), mpdu.end(), vcdu.begin() + kHeader);
  return vcdu;
}

// cvcdu.rs of VCDUs carrying `records`, counted on from `first_counter`, without record `lost`.
void WriteCountedVcdus(const std::vector<std::vector<uint8_t>>& records, uint32_t first_counter,
                       size_t lost = SIZE_MAX) {
  std::vector<std::vector<uint8_t>> vcdus;
  for (size_t k = 0; k < records.size(); ++k) {
    if (k != lost) vcdus.push_back(VcduOf(records[k], first_counter + static_cast<uint32_t>(k)));
  }
  WriteFileBytes("cvcdu.rs", Concat(vcdus));
}

// Selection, M_PDU checking and packet extraction over VCDUs whose frame counter shows one frame
// missing inside the second packet: that packet is kept with zeros in its place, the others
// come out whole.
TEST(ApidPacketExtractionStage, FrameMissingInsideAPacketIsZeroFilledInPlace) {
  TempFolder folder;
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 5; ++i) packets.push_back(MakePacket(103, i, 12966, 70 + i));
  // Packet 1 spans records 14 to 29; the counter wraps on the way.
  WriteCountedVcdus(CutIntoMpdus(packets).records, 0xFFFFF0, 20);

  RecordingHost host;
  host.SetSatellite("metop-a");
  testing::RunMarkedChain(host, "cvcdu.rs", {},
                          {kVcduSelectionStep, kMpduCheckingStep, kApidPacketExtractionStep});
  // The last packet stays open at the end of the input.
  std::vector<uint8_t> kept = packets[1];
  const auto zone_20 = static_cast<ptrdiff_t>(20 * 882 - 12966);
  std::fill(kept.begin() + zone_20, kept.begin() + zone_20 + 882, uint8_t{0});
  EXPECT_EQ(ReadFileBytes("APID.pkt"), Concat({packets[0], kept, packets[2], packets[3]}));
  EXPECT_TRUE(host.Logged("1 lines zero-filled: data lost inside them"));
  EXPECT_FALSE(host.Logged("1 packets dropped: data lost inside them"));
  EXPECT_EQ(host.chain.Counts.frames_missing, 1);
  EXPECT_EQ(host.chain.Counts.lines_dropped, 0);
  EXPECT_EQ(host.chain.Counts.lines_zero_filled, 1);

  // The same M_PDUs without the counters (no selection in this run): the loss goes unseen by
  // the counter, but the pointer after it disagrees with the packet's length all the same.
  RecordingHost bare;
  ApidPacketExtractionStage(bare);
  EXPECT_EQ(ReadFileBytes("APID.pkt"), Concat({packets[0], packets[2], packets[3]}));
  EXPECT_EQ(bare.chain.Counts.frames_missing, 0);
  EXPECT_EQ(bare.chain.Counts.lines_dropped, 1);
}

// A clean stream gives no message and no count.
TEST(ApidPacketExtractionStage, CleanCountedStreamReportsNoLoss) {
  TempFolder folder;
  std::vector<std::vector<uint8_t>> packets;
  for (int i = 0; i < 3; ++i) packets.push_back(MakePacket(103, i, 12966, 80 + i));
  WriteCountedVcdus(CutIntoMpdus(packets).records, 0);
  RecordingHost host;
  host.SetSatellite("metop-a");
  testing::RunMarkedChain(host, "cvcdu.rs", {},
                          {kVcduSelectionStep, kMpduCheckingStep, kApidPacketExtractionStep});
  EXPECT_EQ(ReadFileBytes("APID.pkt"), Concat({packets[0], packets[1]}));
  for (const std::string& line : host.log) EXPECT_EQ(line.find("dropped"), std::string::npos);
  EXPECT_EQ(host.chain.Counts.frames_missing, 0);
  EXPECT_EQ(host.chain.Counts.lines_dropped, 0);
}

}  // namespace
}  // namespace vantrel
