// Soft-symbol recordings through the whole chain: a simulated MetOp, FY-3 or Meteor-M N2 pass
// written as an SDR demodulator's soft symbols must give the very product its hard-bit twin gives,
// at every carrier phase and I/Q swap, from any first value, across a lost value or a phase jump;
// files with nothing to decode end the run with a reason and without a product.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "core/output_name.h"
#include "core/pass_report.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "sim/soft_symbols.h"
#include "sync/soft_symbol_stage.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t kSeed = 20261209;
constexpr const char* kMetopName = "MetopB_20181231_101530";
constexpr const char* kMeteorName = "MN2_20181231_101530";

Bytes SoftSymbols(const Bytes& recording, const sim::SoftOptions& options) {
  Bytes symbols;
  sim::SoftSymbolWriter writer(options, [&symbols](const uint8_t* data, size_t size) {
    symbols.insert(symbols.end(), data, data + size);
  });
  writer.Write(recording.data(), recording.size());
  writer.Finish();
  return symbols;
}

Bytes MetopRecording(int packets = 12) {
  sim::MetopOptions options;
  options.packets = packets;
  sim::Impairments impairments;
  impairments.noise_before = 700;
  return sim::MakeMetopPass(options, sim::CaduEncoding{}, impairments, kSeed).recording.bytes;
}

Bytes MeteorRecording() {
  sim::Mn2Options options;
  options.lines = 12;
  return sim::MakeMn2Pass(options, sim::Impairments{}, kSeed).recording.bytes;
}

sim::SoftOptions Qpsk(int rotation, bool swap, double ebn0 = 7.0) {
  sim::SoftOptions options;
  options.modulation = sim::SoftModulation::kMetopQpsk;
  options.rotation = rotation;
  options.iq_swap = swap;
  options.ebn0_db = ebn0;
  options.seed = kSeed;
  return options;
}

// One run of the chain in a fresh working folder; the product's bytes, empty when none.
struct ChainRun {
  testing::TempFolder folder;
  testing::RecordingHost host;
  RunOutcome outcome;
  Bytes product;

  ChainRun(const std::string& name, const Bytes& input, bool meteor = false, bool keep = false,
           const std::string& kind = "") {
    host.input_path = folder.File(name);
    testing::WriteFileBytes(host.input_path, input);
    host.settings.PNdecoding = !meteor;
    host.settings.DFiles = !keep;
    host.settings.InputKind = kind;
    host.settings.PassDate = "2018-12-31";
    outcome = ProcessRecording(host);
    if (!outcome.product.empty()) product = testing::ReadFileBytes(outcome.product);
  }
  std::string Log() const { return host.LogText(); }
  const SoftSymbolCounts& Soft() const { return *host.chain.Counts.soft; }
};

class MetopSoft : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    recording_ = new Bytes(MetopRecording());
    ChainRun hard(std::string(kMetopName) + ".bin", *recording_);
    ASSERT_FALSE(hard.product.empty()) << hard.Log();
    hard_product_ = new Bytes(hard.product);
  }
  static void TearDownTestSuite() {
    delete recording_;
    delete hard_product_;
  }
  static Bytes* recording_;
  static Bytes* hard_product_;
};
Bytes* MetopSoft::recording_ = nullptr;
Bytes* MetopSoft::hard_product_ = nullptr;

TEST_F(MetopSoft, EveryRotationAndSwapGivesTheHardBitProduct) {
  for (const int rotation : {0, 90, 180, 270}) {
    for (const bool swap : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "rotation " << rotation << " swap " << swap);
      const ChainRun soft(std::string(kMetopName) + ".soft",
                          SoftSymbols(*recording_, Qpsk(rotation, swap)));
      ASSERT_FALSE(soft.outcome.failed) << soft.Log();
      EXPECT_EQ(soft.product, *hard_product_);
      EXPECT_EQ(soft.outcome.product, soft.folder.File("MetopB_20181231_1015_M03.hpt"));
      // The lock is found on the first block, that block decoded again: no frame is lost.
      const std::string lock = "rotation " + std::to_string(rotation) + " degrees, I and Q " +
                               (swap ? "swapped" : "in order") + ", puncturing period from value 0";
      EXPECT_TRUE(soft.host.Logged("Lock found in the first block: " + lock)) << soft.Log();
      EXPECT_EQ(soft.Soft().lock, lock);
      EXPECT_EQ(soft.Soft().locks_lost, 0);
      EXPECT_LT(soft.Soft().channel_ber, 0.02);
      EXPECT_GT(soft.Soft().channel_ber, 0.0);  // 7 dB of noise makes errors to count
      EXPECT_EQ(soft.Soft().symbols, static_cast<int64_t>(recording_->size() * 8 * 4 / 3));
      // Every bit of the recording came out (the encoder's last period is padded).
      EXPECT_GE(soft.Soft().bits, static_cast<int64_t>(recording_->size() * 8));
      EXPECT_LT(soft.Soft().bits, static_cast<int64_t>(recording_->size() * 8 + 64));
      EXPECT_FALSE(testing::FileExists(soft.folder.File("soft.bits")));
    }
  }
}

TEST_F(MetopSoft, AnyFirstValueIsFound) {
  const Bytes symbols = SoftSymbols(*recording_, Qpsk(90, true));
  for (const size_t lead : {1u, 2u, 3u, 7u}) {
    SCOPED_TRACE(lead);
    Bytes input(lead, 0x55);
    input.insert(input.end(), symbols.begin(), symbols.end());
    const ChainRun soft(std::string(kMetopName) + ".soft", input);
    EXPECT_EQ(soft.product, *hard_product_) << soft.Log();
    EXPECT_NE(soft.Soft().lock.find("from value " + std::to_string(lead % 4)), std::string::npos)
        << soft.Soft().lock;
  }
}

// A value lost or doubled, or a jump of the carrier to the phase twin (a quarter turn with the
// swap undone, which leaves the error rate low), mid-pass: the lock is lost once and found again,
// and only the frame across the event is lost.
TEST_F(MetopSoft, LockLostMidPassIsFoundAgain) {
  const Bytes swapped = SoftSymbols(*recording_, Qpsk(90, true));
  const Bytes twin = SoftSymbols(*recording_, Qpsk(0, false));
  const Bytes turned = SoftSymbols(*recording_, Qpsk(90, false));
  const size_t at = swapped.size() / 2 + 1;
  struct Event {
    const char* name;
    Bytes input;
  };
  const auto splice = [&](const Bytes& after, size_t from) {
    Bytes input(swapped.begin(), swapped.begin() + static_cast<ptrdiff_t>(at));
    input.insert(input.end(), after.begin() + static_cast<ptrdiff_t>(from), after.end());
    return input;
  };
  const std::vector<Event> events = {{"value lost", splice(swapped, at + 1)},
                                     {"value doubled", splice(swapped, at - 1)},
                                     {"jump to the twin", splice(twin, at)},
                                     {"quarter turn", splice(turned, at)}};
  const ChainRun whole(std::string(kMetopName) + ".soft", swapped);
  for (const Event& event : events) {
    SCOPED_TRACE(event.name);
    const ChainRun soft(std::string(kMetopName) + ".soft", event.input);
    ASSERT_FALSE(soft.outcome.failed) << soft.Log();
    EXPECT_EQ(soft.Soft().locks_lost, 1) << soft.Log();
    EXPECT_GE(soft.host.chain.Counts.cadus, whole.host.chain.Counts.cadus - 2);
  }
}

// A realistic pass starts in noise: the blocks before the signal are searched in vain, and the
// one the signal begins in (too little of it there to lock on) is decoded once the next block
// finds the lock. Nothing is lost against the hard bits.
TEST(SoftPassProfile, NoFrameLostWhereTheSignalBegins) {
  sim::MetopOptions options;
  options.packets = 30;
  sim::Impairments impairments;
  impairments.noise_before = 150000;  // some ten blocks of symbols
  impairments.noise_after = 20000;
  impairments.profile.enabled = true;
  impairments.profile.slips = 1;
  const Bytes recording =
      sim::MakeMetopPass(options, sim::CaduEncoding{}, impairments, kSeed).recording.bytes;
  const ChainRun hard(std::string(kMetopName) + ".bin", recording);
  ASSERT_FALSE(hard.product.empty()) << hard.Log();
  const ChainRun soft(std::string(kMetopName) + ".soft",
                      SoftSymbols(recording, Qpsk(270, true, NAN)));
  EXPECT_EQ(soft.host.chain.Counts.cadus, hard.host.chain.Counts.cadus) << soft.Log();
  EXPECT_EQ(soft.product, hard.product);
  EXPECT_NE(soft.Log().find("Lock found at soft symbol "), std::string::npos) << soft.Log();
}

TEST(SoftInputFailures, NothingToDecodeEndsTheRunWithAReason) {
  const Bytes symbols = SoftSymbols(MetopRecording(2), Qpsk(0, false));
  std::mt19937 rng(kSeed);
  Bytes noise(400000);
  for (uint8_t& value : noise) value = static_cast<uint8_t>(rng());
  struct Case {
    const char* name;
    Bytes input;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {"empty", {}, "holds no soft symbols: no signal to decode: the run ends here."},
      {"zeros", Bytes(300000, 0), "holds only zero soft symbols"},
      {"noise", noise, "No lock found: no phase, I/Q swap or puncturing offset"},
      {"cut to one frame", Bytes(symbols.begin(), symbols.begin() + 12000), "No lock found"},
      {"BPSK given as MetOp",
       SoftSymbols(MeteorRecording(),
                   [] {
                     sim::SoftOptions options;
                     options.modulation = sim::SoftModulation::kMeteorBpsk;
                     return options;
                   }()),
       "No lock found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChainRun soft(std::string(kMetopName) + ".soft", c.input);
    EXPECT_TRUE(soft.outcome.failed);
    EXPECT_TRUE(soft.outcome.product.empty());
    EXPECT_FALSE(testing::FileExists(soft.folder.File("MetopB_20181231_1015_M03.hpt")));
    EXPECT_NE(soft.outcome.error.find(c.reason), std::string::npos) << soft.outcome.error;
  }
  // Meteor-M N2 reads signs: QPSK symbols, noise or zeros give no markers.
  const std::vector<Case> bpsk = {
      {"QPSK given as BPSK", symbols, "not Meteor-M N2 BPSK: QPSK symbols given as BPSK?"},
      {"noise", noise, "No CADU markers in the signs of the 400000 soft symbols"},
      {"zeros", Bytes(300000, 0), "holds only zero soft symbols"},
  };
  for (const Case& c : bpsk) {
    SCOPED_TRACE(c.name);
    const ChainRun soft(std::string(kMeteorName) + ".s", c.input, true);
    EXPECT_TRUE(soft.outcome.failed);
    EXPECT_TRUE(soft.outcome.product.empty());
    EXPECT_NE(soft.outcome.error.find(c.reason), std::string::npos) << soft.outcome.error;
  }
}

// After the demodulation stage the soft symbols are a working file: a run that ends in the
// soft-symbol stage still reports the recording's size as its input, not the working file's.
TEST(SoftInputFailures, AfterDemodulationTheInputIsStillTheRecording) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.SetSatellite("metop-b");
  host.input_path = folder.File(std::string(kMetopName) + ".cs16");
  testing::WriteFileBytes(host.input_path, Bytes(1200000, 0));
  testing::WriteFileBytes(WorkingPath(WorkingFile::kDemodSoft), Bytes(300000, 0));
  host.chain.RecordingBytes = 1200000;
  std::string error;
  try {
    RunStepAlone(host, kSoftSymbolStep, WorkingFile::kDemodSoft);
  } catch (const StageError& e) {
    error = e.what();
  }
  EXPECT_NE(error.find("holds only zero soft symbols"), std::string::npos);
  EXPECT_EQ(host.chain.Counts.input_bytes, 1200000);
  EXPECT_EQ(host.size_caption, "File size 300000 bytes");  // its own input, for its progress
  // Run on its own, the stage that reads the recording reports it.
  host.chain.RecordingBytes.reset();
  testing::WriteFileBytes(host.input_path, Bytes(70000, 0));
  EXPECT_NE(testing::RunEnd(SoftSymbolStage, host), "");
  EXPECT_EQ(host.chain.Counts.input_bytes, 70000);
}

// FY-3: two rails coded on their own and differential dibits. Any rotation and swap, any first
// value (which moves each rail's puncturing period and may pair Q with the next I), and a value
// lost mid-pass.
TEST(Fy3Soft, EveryPhaseAndFirstValueGivesTheHardBitProduct) {
  sim::Fy3Options fy3;
  fy3.lines = 3;
  const Bytes recording =
      sim::MakeFy3Pass(fy3, sim::CaduEncoding{}, sim::Impairments{}, kSeed).recording.bytes;
  const std::string name = "FY3A_2018-12-31_101530";
  const ChainRun hard(name + ".bin", recording);
  ASSERT_FALSE(hard.product.empty()) << hard.Log();
  const auto qpsk = [](int rotation, bool swap) {
    sim::SoftOptions options = Qpsk(rotation, swap);
    options.modulation = sim::SoftModulation::kFy3Qpsk;
    return options;
  };
  for (const int rotation : {0, 90, 180, 270}) {
    for (const bool swap : {false, true}) {
      SCOPED_TRACE(::testing::Message() << "rotation " << rotation << " swap " << swap);
      const ChainRun soft(name + ".soft", SoftSymbols(recording, qpsk(rotation, swap)));
      EXPECT_EQ(soft.product, hard.product) << soft.Log();
      EXPECT_EQ(soft.outcome.product, soft.folder.File("FY3A_2018-12-31_1015.C10"));
      EXPECT_EQ(soft.Soft().locks_lost, 0);
      EXPECT_GT(soft.Soft().channel_ber, 0.0);
      EXPECT_LT(soft.Soft().channel_ber, 0.02);
      EXPECT_NE(soft.Log().find("Lock found in the first block: puncturing periods"),
                std::string::npos);
    }
  }
  const Bytes symbols = SoftSymbols(recording, qpsk(90, false));
  for (const size_t lead : {1u, 2u, 3u, 5u, 7u}) {
    SCOPED_TRACE(lead);
    Bytes input(lead, 0x33);
    input.insert(input.end(), symbols.begin(), symbols.end());
    const ChainRun soft(name + ".soft", input);
    EXPECT_EQ(soft.product, hard.product) << soft.Log();
  }
  for (const size_t lost : {1u, 2u}) {
    SCOPED_TRACE(lost);
    const size_t at = symbols.size() / 2 + 1;
    Bytes input(symbols.begin(), symbols.begin() + static_cast<ptrdiff_t>(at));
    input.insert(input.end(), symbols.begin() + static_cast<ptrdiff_t>(at + lost), symbols.end());
    const ChainRun soft(name + ".soft", input);
    EXPECT_EQ(soft.Soft().locks_lost, 1) << soft.Log();
    EXPECT_GE(soft.host.chain.Counts.cadus, hard.host.chain.Counts.cadus - 2);
  }
  // Noise and MetOp's symbols are not FY-3's.
  const ChainRun metop(name + ".soft", SoftSymbols(MetopRecording(2), Qpsk(0, false)));
  EXPECT_TRUE(metop.outcome.failed);
  EXPECT_NE(metop.outcome.error.find("No lock found"), std::string::npos) << metop.outcome.error;
  EXPECT_TRUE(metop.outcome.product.empty());
}

TEST(MeteorSoft, BpskGivesTheHardBitProductEitherPolarity) {
  const Bytes recording = MeteorRecording();
  const ChainRun hard(std::string(kMeteorName) + ".bin", recording, true);
  ASSERT_FALSE(hard.product.empty()) << hard.Log();
  for (const int rotation : {0, 180}) {
    SCOPED_TRACE(rotation);
    sim::SoftOptions options;
    options.modulation = sim::SoftModulation::kMeteorBpsk;
    options.rotation = rotation;
    options.ebn0_db = 14;  // no code: every bit error would reach the product
    options.seed = kSeed;
    const ChainRun soft(std::string(kMeteorName) + ".s", SoftSymbols(recording, options), true);
    EXPECT_EQ(soft.product, hard.product) << soft.Log();
    EXPECT_EQ(soft.Soft().bits, static_cast<int64_t>(recording.size() * 8));
    EXPECT_EQ(soft.Soft().lock,
              rotation ? "BPSK inverted (a half turn), the bits turned back" : "BPSK as sent");
    EXPECT_LT(soft.Soft().channel_ber, 0);  // no code to measure it by
  }
}

TEST(InputKinds, ExtensionOrChoiceDecides) {
  const Bytes recording = MetopRecording(4);
  const Bytes symbols = SoftSymbols(recording, Qpsk(0, true, NAN));
  // Soft symbols under a hard name, told by --input soft.
  const ChainRun told(std::string(kMetopName) + ".bin", symbols, false, false, "soft");
  EXPECT_FALSE(told.product.empty()) << told.Log();
  // A .soft name that holds hard bits, told by --input hard: no soft stage runs.
  const ChainRun hard(std::string(kMetopName) + ".soft", recording, false, false, "hard");
  EXPECT_FALSE(hard.product.empty()) << hard.Log();
  EXPECT_FALSE(hard.host.chain.Counts.soft.has_value());
  EXPECT_EQ(hard.outcome.product, hard.folder.File("MetopB_20181231_1015_M03.hpt"));
  // Hard bits under a .soft name, not told: searched as soft symbols, no lock.
  const ChainRun wrong(std::string(kMetopName) + ".soft", recording);
  EXPECT_TRUE(wrong.outcome.failed);
  EXPECT_NE(wrong.outcome.error.find("No lock found"), std::string::npos);
  // An unknown kind names itself.
  const ChainRun unknown(std::string(kMetopName) + ".bin", recording, false, false, "iq");
  EXPECT_TRUE(unknown.outcome.failed);
  EXPECT_NE(unknown.outcome.error.find("Unknown input kind 'iq'"), std::string::npos);
}

// The soft-symbol stage runs first, only for soft symbols; the Manchester decoder never after it.
TEST(InputKinds, TheChainRunsTheSoftStageFirst) {
  struct StageListHost : testing::RecordingHost {
    std::vector<std::string> stages;
    void StageStarting(std::string_view name) override { stages.emplace_back(name); }
  };
  const Bytes recording = MeteorRecording();
  sim::SoftOptions options;
  options.modulation = sim::SoftModulation::kMeteorBpsk;
  for (const bool soft : {false, true}) {
    SCOPED_TRACE(soft);
    testing::TempFolder folder;
    StageListHost host;
    host.input_path = folder.File(std::string(kMeteorName) + (soft ? ".soft" : ".bin"));
    testing::WriteFileBytes(host.input_path, soft ? SoftSymbols(recording, options) : recording);
    host.settings.PassDate = "2018-12-31";
    host.settings.Manchester_box = soft;  // checked, yet soft symbols are never Manchester coded
    EXPECT_FALSE(ProcessRecording(host).product.empty());
    const std::vector<std::string> expected =
        soft ? std::vector<std::string>{"Soft symbol decoding", "CADU extraction",
                                        "MSU-MR demultiplexing", "Inner sync alignment",
                                        "DAT writer"}
             : std::vector<std::string>{"CADU extraction", "MSU-MR demultiplexing",
                                        "Inner sync alignment", "DAT writer"};
    EXPECT_EQ(host.stages, expected);
  }
}

TEST(InputKinds, SatelliteAutoFindsTheSatelliteOfSoftSymbols) {
  testing::TempFolder folder;
  testing::RecordingHost host;
  host.input_path = folder.File("pass.soft");
  testing::WriteFileBytes(host.input_path, SoftSymbols(MetopRecording(2), Qpsk(90, true)));
  host.settings.Satellite = "auto";
  const RunOutcome outcome = ProcessRecording(host);
  EXPECT_FALSE(outcome.failed) << outcome.error;
  ASSERT_NE(outcome.satellite, nullptr);
  EXPECT_STREQ(outcome.satellite->title, "MetOp-B");
  EXPECT_TRUE(host.process_enabled);
  // Named, the same file gives the same product.
  const std::vector<uint8_t> found = testing::ReadFileBytes(outcome.product);
  host.settings.Satellite = "metop-b";
  const RunOutcome named = ProcessRecording(host);
  EXPECT_FALSE(named.failed) << host.log.back();
  EXPECT_EQ(testing::ReadFileBytes(named.product), found);
}

TEST(InputKinds, KeptWorkingFilesIncludeTheDecodedBits) {
  const Bytes recording = MetopRecording(4);
  const ChainRun soft(std::string(kMetopName) + ".soft",
                      SoftSymbols(recording, Qpsk(0, false, NAN)), false, true);
  const Bytes bits = testing::ReadFileBytes(soft.folder.File("soft.bits"));
  ASSERT_GE(bits.size(), recording.size());
  // Clean symbols: the decoded bits are the recording itself.
  EXPECT_TRUE(std::equal(recording.begin(), recording.end(), bits.begin()));
  EXPECT_TRUE(testing::FileExists(soft.folder.File("cadu.pds")));
}

TEST(InputKinds, ProductNameCutsTheSoftExtensionAsBin) {
  EXPECT_EQ(OutputBaseName("/x/MetopB_20181231_101530.soft", "MetopB_", false),
            "MetopB_20181231_1015");
  EXPECT_EQ(OutputBaseName("MN2_20181231_101530.s", "MN2_", true), "20181231_1015");
  EXPECT_EQ(OutputBaseName("MetopB_20181231_101530.bin", "MetopB_", false), "MetopB_20181231_1015");
  EXPECT_EQ(SoftSymbolExtension("a/MetopB_1.soft"), ".soft");
  EXPECT_EQ(SoftSymbolExtension("MetopB_1.s"), ".s");
  EXPECT_EQ(SoftSymbolExtension("MetopB_1.raw"), "");
  EXPECT_EQ(SoftSymbolExtension("data.soft/MetopB_1.bin"), "");
  EXPECT_EQ(SoftSymbolExtension(".s"), "");
}

TEST(CaduMarkers, TwoAtFrameSpacingEitherPolarity) {
  std::mt19937 rng(kSeed);
  Bytes bits(4 * 1024);
  for (uint8_t& byte : bits) byte = static_cast<uint8_t>(rng());
  EXPECT_FALSE(CaduMarkersInverted(bits.data(), bits.size() * 8).has_value());
  // Markers at bit 13 of frames 1 and 2, one with three bits wrong.
  const auto put = [&](size_t bit, uint32_t word) {
    for (int k = 0; k < 32; ++k) {
      const size_t n = bit + static_cast<size_t>(k);
      const uint8_t mask = static_cast<uint8_t>(0x80 >> (n % 8));
      if ((word >> (31 - k)) & 1u)
        bits[n / 8] |= mask;
      else
        bits[n / 8] &= static_cast<uint8_t>(~mask);
    }
  };
  put(8192 + 13, 0x1ACFFC1D);
  EXPECT_FALSE(CaduMarkersInverted(bits.data(), bits.size() * 8).has_value());  // one alone
  put(2 * 8192 + 13, 0x1ACFFC1D ^ 0x80010001);
  EXPECT_EQ(CaduMarkersInverted(bits.data(), bits.size() * 8), std::optional<bool>(false));
  put(8192 + 13, ~0x1ACFFC1Du);
  put(2 * 8192 + 13, ~0x1ACFFC1Du);
  EXPECT_EQ(CaduMarkersInverted(bits.data(), bits.size() * 8), std::optional<bool>(true));
  // Four bits wrong is not a marker.
  put(2 * 8192 + 13, ~0x1ACFFC1Du ^ 0x0F000000);
  EXPECT_FALSE(CaduMarkersInverted(bits.data(), bits.size() * 8).has_value());
  // Bits too few to hold two: nothing is read beyond them.
  EXPECT_FALSE(CaduMarkersInverted(bits.data(), 39).has_value());
}

TEST(PassReport, SoftFiguresInTheReportAndJson) {
  PassCounts counts;
  EXPECT_EQ(PassReportJson(counts, "", 0, 0).find("soft_symbols"), std::string::npos);
  SoftSymbolCounts soft;
  soft.symbols = 4000;
  soft.lock = "rotation 90 degrees";
  soft.locks_lost = 2;
  soft.channel_ber = 0.00125;
  soft.bits = 3000;
  counts.soft = soft;
  EXPECT_NE(PassReportJson(counts, "", 0, 0)
                .find("{\"input_bytes\":0,\"soft_symbols\":{\"symbols\":4000,\"lock\":\"rotation "
                      "90 degrees\",\"locks_lost\":2,\"channel_ber\":1.250e-03,\"bits\":3000},"
                      "\"cadus\":0,"),
            std::string::npos);
  const std::vector<std::string> lines = PassReportLines(counts, PassReportSettings{});
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "  Soft symbols 4000, bits decoded 3000, locks lost 2, channel bit error "
                      "rate 1.25e-03"),
            lines.end());
  counts.soft->channel_ber = -1;
  counts.soft->lock.clear();
  EXPECT_NE(
      PassReportJson(counts, "", 0, 0).find("\"lock\":null,\"locks_lost\":2,\"channel_ber\":null,"),
      std::string::npos);
}

}  // namespace
}  // namespace vantrel
