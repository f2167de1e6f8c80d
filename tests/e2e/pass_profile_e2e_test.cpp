// Realistic simulated passes (noise before rise and after set, a bit error rate high at the
// horizon, bit slips, a phase flip, dropouts) of every family through the whole chain: every
// product record is a record of the simulator's truth, or (FY-3, Meteor-M N2) differs from one
// only where the chain wrote zeros for lost data; records keep their order; and the pass report's
// counts are the ones the simulator knows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "tests/meteor/dat_expected.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 20181231;  // printed by every test
constexpr size_t kNoise = 20000;      // bytes of noise before rise and after set
constexpr size_t kFrame = 1020;
// Non-zero bytes a record must share with a truth line to be taken for it: a record of another
// line matches each byte's bits with a chance of about 1 in 10.
constexpr size_t kLeastData = 1000;

sim::Impairments ProfileImpairments(double horizon) {
  sim::Impairments impairments;
  impairments.noise_before = kNoise;
  impairments.noise_after = kNoise;
  impairments.profile.enabled = true;
  impairments.profile.ber_horizon = horizon;
  impairments.profile.ber_top = 1e-6;
  impairments.profile.slips = 2;
  impairments.profile.phase_flips = 1;
  impairments.profile.dropouts = 2;
  impairments.profile.dropout_frames = 2;
  return impairments;
}

// Collects a streamed pass: the recording, the frame truth, the units, the fates, the whole list.
struct Collected {
  sim::Recording recording;
  std::vector<std::vector<uint8_t>> units;
  std::vector<std::vector<uint16_t>> samples;
  std::vector<sim::FrameFate> fates;  // of the frames in the recording (dropped ones left out)
  std::vector<bool> whole;
  sim::PassSinks Sinks() {
    sim::PassSinks sinks;
    sinks.recording = [this](const uint8_t* data, size_t size) {
      recording.bytes.insert(recording.bytes.end(), data, data + size);
    };
    sinks.frame = [this](const uint8_t* frame) {
      recording.frames.emplace_back(frame, frame + kFrame);
    };
    sinks.unit = [this](const uint8_t* data, size_t size) {
      units.emplace_back(data, data + size);
    };
    sinks.samples = [this](const uint16_t* data, size_t count) {
      samples.emplace_back(data, data + count);
    };
    sinks.fate = [this](const sim::FrameFate& fate) {
      if (!fate.dropped) fates.push_back(fate);
    };
    sinks.whole_units = [this](const std::vector<bool>& list) { whole = list; };
    return sinks;
  }
};

std::vector<std::vector<uint8_t>> Records(const std::vector<uint8_t>& file, size_t size,
                                          size_t skip = 0) {
  std::vector<std::vector<uint8_t>> records;
  for (size_t at = skip; at + size <= file.size(); at += size)
    records.emplace_back(file.begin() + static_cast<long>(at),
                         file.begin() + static_cast<long>(at + size));
  return records;
}

// The Reed-Solomon counts a decoder must report for the frames it wrote to cadu.pds: a record
// equal to a frame's truth (taken in order) is that frame, with the errors the simulator put in;
// a record equal to none is a frame cut by a slip or a flip, which no codeword survives.
struct RsCounts {
  int64_t symbols = 0, corrected = 0, uncorrectable = 0;
};
RsCounts ExpectedRsCounts(const std::vector<uint8_t>& cadu_pds, const Collected& pass) {
  RsCounts counts;
  const auto& truth = pass.recording.frames;
  size_t next = 0;
  for (const auto& record : Records(cadu_pds, kFrame)) {
    size_t f = next;
    while (f < truth.size() && truth[f] != record) ++f;
    if (f == truth.size()) {
      ++counts.uncorrectable;
      continue;
    }
    next = f + 1;
    bool corrected = false, uncorrectable = false;
    for (int errors : pass.fates[f].symbol_errors) {
      if (errors > sim::kCorrectableSymbolErrors) {
        uncorrectable = true;
      } else if (errors > 0) {
        corrected = true;
        counts.symbols += errors;
      }
    }
    counts.corrected += corrected;
    counts.uncorrectable += uncorrectable;
  }
  return counts;
}

// True when `record` differs from `truth` only in bits that are zero in the record (lost data
// is zero-filled in the stream, which FY-3 lines do not share the byte grid of), and holds at
// least `least` non-zero bytes (a record of zeros is no evidence of anything).
bool EqualButZeros(const uint8_t* record, const uint8_t* truth, size_t size, size_t least) {
  size_t data = 0;
  for (size_t k = 0; k < size; ++k) {
    if ((record[k] & ~truth[k]) != 0) return false;
    data += record[k] != 0;
  }
  return data >= least;
}

class PassProfileEndToEnd : public ::testing::Test {
 public:
  testing::TempFolder folder;
  testing::RecordingHost host;
  Collected pass;
  RunOutcome outcome;

  void Run(const std::string& name) {
    host.input_path = folder.File(name);
    testing::WriteFileBytes(host.input_path, pass.recording.bytes);
    host.settings.DFiles = false;
    host.chain.BatchMode = true;
    outcome = ASMButtonClick(host);
  }

  // The counts the simulator knows exactly.
  void ExpectReportMatchesTheSimulator(const std::string& product, bool reed_solomon) {
    const PassCounts& counts = host.chain.Counts;
    const std::vector<uint8_t> cadu_pds = testing::ReadFileBytes(WorkingPath("cadu.pds"));
    EXPECT_EQ(counts.input_bytes, static_cast<int64_t>(pass.recording.bytes.size()));
    EXPECT_EQ(counts.cadus, static_cast<int64_t>(cadu_pds.size() / kFrame));
    // The decoder finds nearly every CADU in the recording: it loses a few around the slips and
    // the flip, and some near the horizon to marker errors while it searches.
    EXPECT_GT(counts.cadus, static_cast<int64_t>(pass.recording.frames.size() * 9 / 10));
    if (reed_solomon) {
      const RsCounts rs = ExpectedRsCounts(cadu_pds, pass);
      EXPECT_EQ(counts.rs_corrected_symbols, rs.symbols);
      EXPECT_EQ(counts.rs_corrected_frames, rs.corrected);
      EXPECT_EQ(counts.rs_uncorrectable_frames, rs.uncorrectable);
      EXPECT_GT(rs.symbols, 0);
      EXPECT_GT(rs.uncorrectable, 0);
    }
    // A phase flip costs the lock: the search falls back at least once.
    EXPECT_GE(counts.sync_losses, 1);
    EXPECT_EQ(outcome.product, WorkingPath(product));
    EXPECT_EQ(counts.product_lines, host.chain.LastLineCount);
    EXPECT_TRUE(host.Logged("Pass report:"));
  }
};

TEST_F(PassProfileEndToEnd, MetopReportCountsAreTheSimulators) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  sim::MetopOptions options;
  options.packets = 60;
  sim::StreamMetopPass(options, {}, ProfileImpairments(2e-2), kSeed, pass.Sinks());
  host.settings.PNdecoding = true;
  Run("MetopB_20181231_101530.bin");
  ExpectReportMatchesTheSimulator("MetopB_20181231_1015_M03.hpt", true);
  EXPECT_EQ(host.chain.Counts.first_line_time.substr(0, 11), "2018-12-31 ");
}

TEST_F(PassProfileEndToEnd, Fy3ReportCountsAreTheSimulators) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  sim::Fy3Options options;
  options.lines = 40;
  sim::StreamFy3Pass(options, {}, ProfileImpairments(2e-2), kSeed, pass.Sinks());
  host.settings.PNdecoding = true;
  Run("FY3A_2010-05-12_052330.bin");
  ExpectReportMatchesTheSimulator("FY3A_2010-05-12_0523.C10", true);
}

TEST_F(PassProfileEndToEnd, Mn2ReportCountsAreTheSimulators) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  sim::Mn2Options options;
  options.lines = 80;
  sim::StreamMn2Pass(options, ProfileImpairments(3e-3), kSeed, pass.Sinks());
  Run("MN2_20181231_101530.bin");
  ExpectReportMatchesTheSimulator("20181231_1015_MN2.dat", false);
}

// Record checks: the chain drops or zero-fills what lost data inside it (frames lost and frames
// Reed-Solomon could not correct), so a lost frame never splices two packets or slides the next
// line into a record.

TEST_F(PassProfileEndToEnd, MetopEveryRecordIsATruthPacketInOrder) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  sim::MetopOptions options;
  options.packets = 60;
  sim::StreamMetopPass(options, {}, ProfileImpairments(2e-2), kSeed, pass.Sinks());
  host.settings.PNdecoding = true;
  Run("MetopB_20181231_101530.bin");
  constexpr size_t kHpt = 13864, kSamplesAt = 937, kPacketSamplesAt = 82, kSampleBytes = 12800;
  const auto records =
      Records(testing::ReadFileBytes(WorkingPath("MetopB_20181231_1015_M03.hpt")), kHpt);
  ASSERT_FALSE(records.empty());
  size_t next = 0, whole_found = 0;
  for (size_t r = 0; r < records.size(); ++r) {
    SCOPED_TRACE("record " + std::to_string(r));
    const uint8_t* samples = records[r].data() + kSamplesAt;
    size_t k = next;
    while (k < pass.units.size() &&
           !std::equal(samples, samples + kSampleBytes, pass.units[k].begin() + kPacketSamplesAt))
      ++k;
    ASSERT_LT(k, pass.units.size()) << "a record that is no packet of the pass (or out of order)";
    // The time code is the packet's too.
    EXPECT_TRUE(
        std::equal(records[r].begin() + 12, records[r].begin() + 15, pass.units[k].begin() + 9));
    whole_found += pass.whole[k];
    next = k + 1;
  }
  // Most packets that arrived whole reach the product.
  const size_t whole = static_cast<size_t>(std::count(pass.whole.begin(), pass.whole.end(), true));
  EXPECT_GE(whole_found * 10, whole * 8);
}

TEST_F(PassProfileEndToEnd, Fy3EveryRecordIsATruthLineOrItsZeroFilledCopy) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  sim::Fy3Options options;
  options.lines = 40;
  sim::StreamFy3Pass(options, {}, ProfileImpairments(2e-2), kSeed, pass.Sinks());
  host.settings.PNdecoding = true;
  Run("FY3A_2010-05-12_052330.bin");
  constexpr size_t kC10 = 27728, kDataAt = 2000, kLineDataAt = 436, kDataBytes = 25614;
  const auto records =
      Records(testing::ReadFileBytes(WorkingPath("FY3A_2010-05-12_0523.C10")), kC10);
  ASSERT_FALSE(records.empty());
  size_t next = 0, whole_found = 0, filled = 0;
  for (size_t r = 0; r < records.size(); ++r) {
    SCOPED_TRACE("record " + std::to_string(r));
    const uint8_t* data = records[r].data() + kDataAt;
    size_t k = next;
    while (k < pass.units.size() &&
           !EqualButZeros(data, pass.units[k].data() + kLineDataAt, kDataBytes, kLeastData))
      ++k;
    ASSERT_LT(k, pass.units.size()) << "a record that is no line of the pass (or out of order)";
    // A line that arrived whole may still have zeros: the decoder can lose an intact frame next
    // to a slip or a flip, or while it searches.
    filled += !std::equal(data, data + kDataBytes, pass.units[k].begin() + kLineDataAt);
    whole_found += pass.whole[k];
    next = k + 1;
  }
  EXPECT_EQ(host.chain.Counts.lines_zero_filled, static_cast<int64_t>(filled));
  const size_t whole = static_cast<size_t>(std::count(pass.whole.begin(), pass.whole.end(), true));
  EXPECT_GE(whole_found * 10, whole * 8);
}

void CheckMn2Lines(PassProfileEndToEnd& test, int slips) {
  sim::Mn2Options options;
  options.lines = 80;
  sim::Impairments impairments = ProfileImpairments(3e-3);
  impairments.profile.slips = slips;
  sim::StreamMn2Pass(options, impairments, kSeed, test.pass.Sinks());
  test.Run("MN2_20181231_101530.bin");
  const Collected& pass = test.pass;
  // The product after its header record, checked through the aligned lines: each is a truth line
  // (found by the line counter in bytes 4-7 when intact, else by content), equal but for zeros
  // when it arrived whole, and its record packs exactly its samples.
  const auto lines = Records(testing::ReadFileBytes(WorkingPath("MN2_.mnx")), sim::kMn2LineSize);
  const auto records =
      Records(testing::ReadFileBytes(WorkingPath("20181231_1015_MN2.dat")), testing::kDatRecord);
  ASSERT_EQ(records.size(), lines.size());
  ASSERT_GE(lines.size(), 2u);
  size_t next = 0, whole_found = 0;
  for (size_t n = 1; n < lines.size(); ++n) {
    SCOPED_TRACE("line " + std::to_string(n));
    const std::vector<uint8_t>& line = lines[n];
    size_t k = next;
    auto matches = [&](size_t candidate) {
      const auto& truth = pass.units[candidate];
      if (EqualButZeros(line.data(), truth.data(), line.size(), kLeastData)) return true;
      if (pass.whole[candidate]) return false;
      // Bit errors with no Reed-Solomon to mend them: most bytes still agree.
      size_t same = 0;
      for (size_t j = 0; j < line.size(); ++j) same += line[j] == truth[j];
      return same * 10 >= line.size() * 9;
    };
    while (k < pass.units.size() && !matches(k)) ++k;
    ASSERT_LT(k, pass.units.size()) << "a line that is no line of the pass (or out of order)";
    if (pass.whole[k]) {
      ++whole_found;
      if (line == pass.units[k]) {
        EXPECT_EQ(records[n], testing::ExpectedDatRecord(pass.samples[k]));
      }
    }
    next = k + 1;
  }
  const size_t whole = static_cast<size_t>(std::count(pass.whole.begin(), pass.whole.end(), true));
  EXPECT_GE(whole_found * 10, whole * 8);
}

TEST_F(PassProfileEndToEnd, Mn2EveryRecordIsATruthLineOrItsZeroFilledCopy) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  // Without bit slips: see the next test.
  CheckMn2Lines(*this, 0);
}

// Without Reed-Solomon nothing tells the CADU search that it lost its bit offset: after a slip the
// marker one bit away is within the locked offset's tolerance of 20 bits (it is 11 or 12 bits
// from the marker). The search takes the exact marker one bit away instead, across a byte boundary
// too, so every line after a slip is a truth line again.
TEST_F(PassProfileEndToEnd, Mn2LinesAfterABitSlipAreTruthLines) {
  SCOPED_TRACE("seed " + std::to_string(kSeed));
  CheckMn2Lines(*this, 2);
}

}  // namespace
}  // namespace vantrel
