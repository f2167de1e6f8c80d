// Simulated MetOp-A, -B and -C passes with impairments through the whole chain: every .hpt
// record is checked against the packet the simulator put in (time code and all 10240 samples),
// and every working file against the simulator's frames and packets.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "ccsds/source_packet_builder.h"
#include "core/run_session.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 20181231;
constexpr size_t kVcdu = 892;
constexpr size_t kRecord = 13864;
constexpr size_t kPacketZone = 882;
constexpr size_t kSamples = 10240;
constexpr size_t kRecordDataBit = 7496;

// Markers with errors are found only once the stream is locked on an exact one; an inverted
// stream's first (exact) marker is found only from the frame after it, so inverted cases keep
// their markers clean.
struct MetopCase {
  const char* name;
  char satellite;
  const char* product;
  int packets;
  int short_packets;  // 100..400-byte packets of APID 105 behind each AVHRR packet
  bool mix_night;     // every second AVHRR packet has APID 104
  bool night;         // APID104 checked
  sim::Impairments impairments;
};

void PrintTo(const MetopCase& param, std::ostream* out) {
  *out << param.name;
}

sim::Impairments Impaired(int shift, bool invert, size_t between, int marker_errors,
                          int symbol_errors) {
  sim::Impairments impairments;
  impairments.bit_shift = shift;
  impairments.invert = invert;
  impairments.noise_before = 700;
  impairments.noise_between = between;
  impairments.marker_errors = marker_errors;
  impairments.symbol_errors = symbol_errors;
  impairments.noise_after = 3000;
  return impairments;
}

// Bit `n` of `bytes`, bit 0 the most significant bit of byte 0.
int Bit(const std::vector<uint8_t>& bytes, size_t n) {
  return (bytes[n / 8] >> (7 - n % 8)) & 1;
}

// `width` bits from bit `n` on, most significant first.
uint32_t Bits(const std::vector<uint8_t>& bytes, size_t n, size_t width) {
  uint32_t value = 0;
  for (size_t b = 0; b < width; ++b)
    value = (value << 1) | static_cast<uint32_t>(Bit(bytes, n + b));
  return value;
}

// Day of the year of the date `days` after 1 January 2000, counted year by year.
int DayOfYearByHand(int days) {
  int year = 2000;
  const auto length = [](int y) {
    return (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0)) ? 366 : 365;
  };
  while (days >= length(year)) days -= length(year++);
  return days + 1;
}

std::vector<uint8_t> Concat(const std::vector<std::vector<uint8_t>>& parts) {
  std::vector<uint8_t> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

class MetopEndToEnd : public ::testing::TestWithParam<MetopCase> {
 protected:
  testing::TempFolder folder;
  testing::RecordingHost host;
  sim::MetopPass pass;
  sim::MetopOptions options;

  RunOutcome Run(bool keep_working_files) {
    const MetopCase& param = GetParam();
    options.satellite = param.satellite;
    options.packets = param.packets;
    options.short_packets = param.short_packets;
    options.mix_night = param.mix_night;
    sim::CaduEncoding encoding;  // Reed-Solomon and PN on
    pass = sim::MakeMetopPass(options, encoding, param.impairments, kSeed);

    host.input_path = folder.File(std::string("Metop") + param.satellite + "_20181231_101530.bin");
    testing::WriteFileBytes(host.input_path, pass.recording.bytes);
    host.settings.PNdecoding = true;
    host.settings.RSolomon = true;
    host.settings.APID104 = param.night;
    host.settings.DFiles = !keep_working_files;
    host.chain.BatchMode = true;
    return ProcessRecording(host);
  }

  // The frames the CADU layer delivers: an inverted stream's first one, which the polarity search
  // passes over, is taken back from the frame after it when that follows it back to back (one
  // CADU on; Reed-Solomon is on), and lost when bytes lie between them.
  size_t FirstFrame() const {
    const sim::Impairments& impairments = GetParam().impairments;
    return impairments.invert && impairments.noise_between > 0 ? 1 : 0;
  }

  // The AVHRR packets of the wanted APID whose first byte came in a delivered frame, in order.
  std::vector<std::vector<uint8_t>> ExpectedPackets() const {
    const int wanted = GetParam().night ? 104 : 103;
    // Zones lost with the frames before the first delivered one.
    size_t lost_zones = 0;
    for (size_t f = 0; f < FirstFrame(); ++f)
      if ((pass.recording.frames[f][1] & 0x3F) == options.vcid) ++lost_zones;
    std::vector<std::vector<uint8_t>> expected;
    size_t offset = 0;  // of the packet in the zone stream
    size_t short_index = 0;
    for (const auto& packet : pass.packets) {
      const int apid = ((packet[0] & 7) << 8) | packet[1];
      if (apid == wanted && offset >= lost_zones * kPacketZone) expected.push_back(packet);
      offset += packet.size();
      for (int s = 0; s < options.short_packets; ++s)
        offset += pass.short_packets[short_index++].size();
    }
    return expected;
  }

  std::string Product() const { return WorkingPath(GetParam().product); }
};

TEST_P(MetopEndToEnd, EveryRecordMatchesItsPacket) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  const RunOutcome outcome = Run(/*keep_working_files=*/false);
  const auto expected = ExpectedPackets();
  ASSERT_GE(expected.size(), 2u);

  const std::vector<uint8_t> hpt = testing::ReadFileBytes(Product());
  ASSERT_EQ(hpt.size(), expected.size() * kRecord);
  for (size_t k = 0; k < expected.size(); ++k) {
    SCOPED_TRACE("record " + std::to_string(k));
    const std::vector<uint8_t> record(hpt.begin() + static_cast<long>(k * kRecord),
                                      hpt.begin() + static_cast<long>((k + 1) * kRecord));
    const std::vector<uint8_t>& packet = expected[k];
    // Frame sync and counter.
    const uint32_t sync[] = {0x284, 0x16F, 0x35C, 0x19D, 0x20F, 0x095};
    for (size_t w = 0; w < 6; ++w) EXPECT_EQ(Bits(record, 10 * w, 10), sync[w]);
    EXPECT_EQ(Bits(record, 60, 10), 0x040u + 0x080u * (k % 4));
    // Time code from the packet's day count and millisecond of day.
    const int day_count = (packet[6] << 8) | packet[7];
    const uint32_t ms = (uint32_t{packet[8]} << 24) | (uint32_t{packet[9]} << 16) |
                        (uint32_t{packet[10]} << 8) | packet[11];
    EXPECT_EQ(Bits(record, 80, 10), static_cast<uint32_t>(DayOfYearByHand(day_count) * 2));
    EXPECT_EQ(Bits(record, 90, 10), 0x280u | ((ms >> 20) & 0x7F));
    EXPECT_EQ(Bits(record, 100, 10), (ms >> 10) & 0x3FF);
    EXPECT_EQ(Bits(record, 110, 10), ms & 0x3FF);
    // All 10240 samples.
    for (size_t s = 0; s < kSamples; ++s) {
      ASSERT_EQ(Bits(record, kRecordDataBit + 10 * s, 10), Bits(packet, 82 * 8 + 10 * s, 10))
          << "sample " << s;
    }
  }
  EXPECT_EQ(host.chain.LastLineCount, static_cast<int32_t>(expected.size()));
  EXPECT_TRUE(outcome.close_program);
  EXPECT_TRUE(host.Logged("Finally, output file is '" + Product() + "'"));
  EXPECT_TRUE(host.Logged("Delete intermediate files...  OK!"));
  for (const char* name : {"cadu.pds", "cvcdu.rs", "vcdu_x.vcd", "mpdu_x.mpd", "APID.pkt"})
    EXPECT_FALSE(testing::FileExists(WorkingPath(name))) << name;
}

TEST_P(MetopEndToEnd, WorkingFilesHoldTheSimulatedFramesAndPackets) {
  Run(/*keep_working_files=*/true);
  const auto& frames = pass.recording.frames;
  std::vector<uint8_t> cadu, cvcdu, vcdu, mpdu;
  for (size_t f = FirstFrame(); f < frames.size(); ++f) {
    const auto& frame = frames[f];
    cadu.insert(cadu.end(), frame.begin(), frame.end());
    cvcdu.insert(cvcdu.end(), frame.begin(), frame.begin() + kVcdu);
    if ((frame[1] & 0x3F) != options.vcid) continue;
    vcdu.insert(vcdu.end(), frame.begin(), frame.begin() + kVcdu);
    mpdu.insert(mpdu.end(), frame.begin() + 6, frame.begin() + kVcdu);
  }
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("cadu.pds")), cadu);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("cvcdu.rs")), cvcdu);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("vcdu_x.vcd")), vcdu);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("mpdu_x.mpd")), mpdu);
  const auto expected = ExpectedPackets();
  const auto apid = testing::ReadFileBytes(WorkingPath("APID.pkt"));
  EXPECT_EQ(apid.size(), expected.size() * sim::kAvhrrPacketSize);
  EXPECT_EQ(apid, Concat(expected));
  EXPECT_TRUE(
      host.Logged("Mpdu checking done!  " + std::to_string(mpdu.size() / 886) + " lines found."));
  EXPECT_FALSE(host.Logged("Delete intermediate files...  OK!"));
}

INSTANTIATE_TEST_SUITE_P(
    Passes, MetopEndToEnd,
    ::testing::Values(MetopCase{"MetopAShiftedCorrectable", 'A', "20181231_1015_M02.hpt", 5, 0,
                                false, false, Impaired(3, false, 0, 0, 8)},
                      MetopCase{"MetopBInvertedNightWithGaps", 'B', "MetopB_20181231_1015_M03.hpt",
                                8, 0, true, true, Impaired(5, true, 40, 0, 4)},
                      MetopCase{"MetopCShortPacketsSixteenErrors", 'C',
                                "MetopC_20181231_1015_M04.hpt", 5, 3, false, false,
                                Impaired(7, false, 0, 1, 16)},
                      MetopCase{"MetopBDayOfMixedPass", 'B', "MetopB_20181231_1015_M03.hpt", 6, 1,
                                true, false, Impaired(0, true, 0, 0, 0)}),
    [](const ::testing::TestParamInfo<MetopCase>& info) { return std::string(info.param.name); });

// Writes a clean MetOp-B pass of `packets` AVHRR packets into `folder`; returns its path.
std::string WriteCleanPass(const testing::TempFolder& folder, int packets) {
  sim::MetopOptions options;
  options.packets = packets;
  const sim::MetopPass pass =
      sim::MakeMetopPass(options, sim::CaduEncoding{}, sim::Impairments{}, kSeed);
  const std::string input = folder.File("MetopB_20181231_101530.bin");
  testing::WriteFileBytes(input, pass.recording.bytes);
  return input;
}

// A maximum packet length the packet slots cannot hold ends the run before the product; one
// below the AVHRR packet size drops every AVHRR packet and the product stays empty.
TEST(MetopEndToEndSettings, PacketLengthLimits) {
  testing::TempFolder folder;
  const std::string input = WriteCleanPass(folder, 3);
  const std::string product = WorkingPath("MetopB_20181231_1015_M03.hpt");

  testing::RecordingHost too_long;
  too_long.input_path = input;
  too_long.settings.PNdecoding = true;
  too_long.settings.MaxPkLen = "13000";
  const RunOutcome refused = ProcessRecording(too_long);
  EXPECT_TRUE(refused.failed);
  EXPECT_TRUE(too_long.Logged("MaxPkLen: 13000 is outside the packet lengths 7..12999"));
  EXPECT_FALSE(testing::FileExists(product));
  EXPECT_TRUE(too_long.process_enabled);

  testing::RecordingHost too_short;
  too_short.input_path = input;
  too_short.settings.PNdecoding = true;
  too_short.settings.MaxPkLen = "12965";
  too_short.chain.BatchMode = true;
  const RunOutcome empty = ProcessRecording(too_short);
  EXPECT_FALSE(empty.failed);
  EXPECT_FALSE(testing::FileExists(product));  // no line, no product
  EXPECT_EQ(too_short.chain.LastLineCount, 0);
  EXPECT_FALSE(empty.close_program);  // batch mode stays open when nothing was written

  // The same pass with the default limit: every packet.
  testing::RecordingHost normal;
  normal.input_path = input;
  normal.settings.PNdecoding = true;
  ProcessRecording(normal);
  EXPECT_EQ(testing::ReadFileBytes(product).size(), 3 * kRecord);
}

// The pass report reads the channel as VCDU selection does: " +10" selects channel 10, which this
// pass does not carry, and the report says so; " +9" selects the pass's channel and needs no hint.
// A text that is no number ends the run in VCDU selection, and the report still comes.
TEST(MetopEndToEndSettings, ReportNamesTheChannelTheSelectionRead) {
  testing::TempFolder folder;
  const std::string input = WriteCleanPass(folder, 3);

  testing::RecordingHost other;
  other.input_path = input;
  other.settings.PNdecoding = true;
  other.settings.VCID_Metop = " +10";
  ProcessRecording(other);
  EXPECT_TRUE(other.Logged("Hint: VCID 10: none; channels seen: 9, 63"));

  testing::RecordingHost own;
  own.input_path = input;
  own.settings.PNdecoding = true;
  own.settings.VCID_Metop = "+9 ";
  EXPECT_FALSE(ProcessRecording(own).failed);
  EXPECT_EQ(own.chain.LastLineCount, 3);
  for (const std::string& line : own.log) EXPECT_EQ(line.find("Hint:"), std::string::npos) << line;

  testing::RecordingHost bad;
  bad.input_path = input;
  bad.settings.PNdecoding = true;
  bad.settings.VCID_Metop = "9x";
  const RunOutcome refused = ProcessRecording(bad);
  EXPECT_TRUE(refused.failed);
  EXPECT_EQ(refused.error, "VCID_Metop: '9x' is not a valid integer value");
  EXPECT_TRUE(bad.Logged("Pass report:"));
}

// Every step reads the settings as they were when the run started: a channel changed once the
// run goes on, as the CVCDU or the VCDU selection step comes up, waits for the next run (the pass
// report, read at the end, sees the change).
TEST(MetopEndToEndSettings, EveryStepReadsTheSettingsOfTheRunsStart) {
  testing::TempFolder folder;
  const std::string input = WriteCleanPass(folder, 3);

  struct ChangingHost : testing::RecordingHost {
    std::string_view stage;
    void StageStarting(std::string_view name) override {
      if (name == stage) settings.VCID_Metop = 10;
    }
  };
  ChangingHost early;
  early.stage = "CVCDU";
  early.input_path = input;
  early.settings.PNdecoding = true;
  EXPECT_FALSE(ProcessRecording(early).failed);
  EXPECT_FALSE(early.Logged("Vcdu selection done!  0 lines found."));
  EXPECT_EQ(early.chain.LastLineCount, 3);

  ChangingHost late;
  late.stage = "VCDU selection";
  late.input_path = input;
  late.settings.PNdecoding = true;
  EXPECT_FALSE(ProcessRecording(late).failed);
  EXPECT_FALSE(late.Logged("Vcdu selection done!  0 lines found."));
  EXPECT_EQ(late.chain.LastLineCount, 3);
  EXPECT_TRUE(late.Logged("Hint: VCID 10: none; channels seen: 9, 63"));
}

// Every run has a session of its own: the packet builder the packet stage finds is a new one,
// not the last run's, whether the runs are the window's, one after the other on one host, or the
// command line's inputs; and after a run the host has the session it had before.
TEST(MetopEndToEndRuns, EveryRunStartsWithANewPacketBuilder) {
  struct BuilderWatchingHost : testing::RecordingHost {
    std::vector<BuilderVariables> at_packet_stage;  // before its Setup
    std::vector<BuilderVariables> at_writer;        // after the packet stage
    std::vector<int32_t> slots_at_packet_stage;
    std::vector<const RunSession*> sessions;
    void StageStarting(std::string_view name) override {
      const SourcePacketBuilder& builder = Session().packets;
      if (name == "APID packet extraction") {
        at_packet_stage.push_back(builder.Variables());
        slots_at_packet_stage.push_back(builder.SlotCount());
        sessions.push_back(&Session());
      }
      if (name == "HPT writer") at_writer.push_back(builder.Variables());
    }
  };
  testing::TempFolder folder;
  const std::string input = WriteCleanPass(folder, 7);
  const std::string product = WorkingPath("MetopB_20181231_1015_M03.hpt");

  BuilderWatchingHost host;
  host.input_path = input;
  host.settings.PNdecoding = true;
  const RunSession* own = &host.Session();
  ProcessRecording(host);
  const std::vector<uint8_t> first = testing::ReadFileBytes(product);
  ProcessRecording(host);
  EXPECT_EQ(&host.Session(), own);
  ASSERT_EQ(host.at_packet_stage.size(), 2u);
  ASSERT_EQ(host.at_writer.size(), 2u);
  EXPECT_NE(host.sessions[0], own);
  // The first run left its builder used: M_PDUs fed, a slot other than the first in use.
  EXPECT_GT(host.at_writer[0].mpdus_fed, 0);
  EXPECT_NE(host.at_writer[0].current_slot, 0);
  // The second run's builder is new: nothing fed, the first slot, the six slots it starts with.
  const BuilderVariables& fresh = host.at_packet_stage[1];
  EXPECT_EQ(fresh.mpdus_fed, 0);
  EXPECT_EQ(fresh.current_slot, 0);
  EXPECT_EQ(fresh.slot_fill, 0);
  EXPECT_EQ(fresh.state, BuildState::IDLE);
  EXPECT_EQ(host.slots_at_packet_stage[1], kPacketSlotCount);
  // And the product is the same.
  EXPECT_EQ(first.size(), 7 * kRecord);
  EXPECT_EQ(testing::ReadFileBytes(product), first);
}

}  // namespace
}  // namespace vantrel
