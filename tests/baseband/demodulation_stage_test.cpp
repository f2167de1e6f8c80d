// The demodulation stage on recordings it must refuse or find empty: a format or rate it cannot
// know, a broken WAV header, a rate too low for the downlink, a search wider than the recording,
// zeros and noise. Each ends the run with one line that says what to do, and nothing is passed on
// as soft symbols of a signal.
#include "baseband/demodulation_stage.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/working_file.h"
#include "sim/baseband_writer.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::RecordingHost;
using testing::RunEnd;
using testing::TempFolder;

// A 16-bit stereo WAV file holding `samples` (I, Q values), with the simulator's header.
std::vector<uint8_t> Wav16(uint32_t rate, const std::vector<int16_t>& samples) {
  std::vector<uint8_t> b = sim::WavHeader(rate, samples.size() / 2);
  for (int16_t s : samples) {
    b.push_back(static_cast<uint8_t>(s));
    b.push_back(static_cast<uint8_t>(static_cast<uint16_t>(s) >> 8));
  }
  return b;
}

std::vector<int16_t> Noise(size_t values, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> gauss(0, 3000);
  std::vector<int16_t> samples(values);
  for (int16_t& s : samples) s = static_cast<int16_t>(gauss(rng));
  return samples;
}

struct Stage {
  TempFolder folder;
  RecordingHost host;
  Stage() {
    host.SetSatellite("metop-b");
    host.chain.BasebandInput = true;
    host.chain.SoftInput = true;
  }
  std::string Run(const std::string& name, const std::vector<uint8_t>& bytes) {
    host.input_path = folder.File(name);
    testing::WriteFileBytes(host.input_path, bytes);
    return RunEnd(DemodulationStage, host);
  }
  bool StartsWith(const std::string& reason, const std::string& start) const {
    return reason.rfind(start, 0) == 0;
  }
};

TEST(DemodulationStage, AFormatOrRateItCannotKnowIsAskedFor) {
  Stage stage;
  const std::vector<uint8_t> bytes(4096, 0x11);
  std::string reason = stage.Run("MetopB_1.raw", bytes);
  EXPECT_TRUE(stage.StartsWith(reason, "The sample format of '" +
                                           stage.folder.File("MetopB_1.raw") +
                                           "' is not known: give --baseband-format"))
      << reason;
  reason = stage.Run("MetopB_1.cs16", bytes);
  EXPECT_TRUE(stage.StartsWith(reason, "The sample rate of '" + stage.folder.File("MetopB_1.cs16") +
                                           "' is not known: a raw cs16 recording has no header, "
                                           "give --samplerate"))
      << reason;
  stage.host.settings.BasebandFormat = "s16";
  reason = stage.Run("MetopB_1.raw", bytes);
  EXPECT_TRUE(stage.StartsWith(reason, "Unknown baseband format 's16'")) << reason;
  // The format given wins over the extension: a .wav of raw samples is read as raw.
  stage.host.settings.BasebandFormat = "cu8";
  reason = stage.Run("MetopB_1.wav", bytes);
  EXPECT_TRUE(stage.StartsWith(reason, "The sample rate of")) << reason;
}

TEST(DemodulationStage, ABrokenWavHeaderEndsTheRunWithTheReaderReason) {
  Stage stage;
  std::vector<uint8_t> bytes = Wav16(6000000, Noise(2000, 1));
  bytes.resize(30);  // cut inside the fmt chunk
  std::string reason = stage.Run("MetopB_1.wav", bytes);
  EXPECT_TRUE(stage.StartsWith(reason, "'" + stage.folder.File("MetopB_1.wav") + "': ")) << reason;
  EXPECT_NE(reason.find("the run ends here"), std::string::npos) << reason;
  std::vector<uint8_t> text(400, 'x');
  reason = stage.Run("MetopB_2.wav", text);  // not a WAV file at all
  EXPECT_TRUE(stage.StartsWith(reason, "'" + stage.folder.File("MetopB_2.wav") + "': ")) << reason;
}

TEST(DemodulationStage, ARateTooLowForTheDownlinkOrTheSearchIsRefused) {
  Stage stage;
  std::string reason = stage.Run("MetopB_1.wav", Wav16(2000000, Noise(2000, 2)));
  EXPECT_TRUE(stage.StartsWith(reason, "The sample rate of '" + stage.folder.File("MetopB_1.wav") +
                                           "', 2000000 samples/s, is too low for MetOp QPSK at "
                                           "2.333 Msymbols/s: it needs at least 2800000 samples/s"))
      << reason;
  // The Meteor-M N2 downlink is slower: 2 Msps is enough there, but not for a 600 kHz search.
  stage.host.SetSatellite("meteor-m2");
  stage.host.settings.CarrierRangeHz = 600000;
  reason = stage.Run("MN2_1.wav", Wav16(2000000, Noise(2000, 3)));
  EXPECT_TRUE(stage.StartsWith(reason,
                               "A carrier search of +-600 kHz does not fit a recording of "
                               "2000000 samples/s"))
      << reason;
  // A WAV header's rate is overruled by the rate given, with a warning.
  stage.host.settings.CarrierRangeHz = 60000;
  stage.host.settings.SampleRate = 1000000;
  reason = stage.Run("MN2_2.wav", Wav16(3000000, Noise(2000, 4)));
  EXPECT_TRUE(
      stage.host.Logged("Warning: the WAV header says 3000000 samples/s; the rate given, 1000000 "
                        "samples/s, is used"));
  EXPECT_NE(reason.find("1000000 samples/s, is too low"), std::string::npos) << reason;
}

TEST(DemodulationStage, ZerosAndNoiseGiveNoSignal) {
  Stage stage;
  std::string reason = stage.Run("MetopB_1.wav", Wav16(6000000, std::vector<int16_t>(200000, 0)));
  EXPECT_TRUE(stage.StartsWith(reason, "'" + stage.folder.File("MetopB_1.wav") +
                                           "' holds only zero samples: no signal to demodulate"))
      << reason;
  reason = stage.Run("MetopB_2.wav", Wav16(6000000, {}));
  EXPECT_NE(reason.find("holds no samples"), std::string::npos) << reason;
  // A third of a second of noise: searched, never locked, nothing written as symbols.
  reason = stage.Run("MetopB_3.wav", Wav16(6000000, Noise(4000000, 5)));
  EXPECT_TRUE(stage.StartsWith(reason,
                               "No signal found: no MetOp QPSK carrier within +-60 kHz "
                               "locked in the 0.3 s of"))
      << reason;
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath(WorkingFile::kDemodSoft)).size(), 0u);
  ASSERT_TRUE(stage.host.chain.Counts.baseband.has_value());
  EXPECT_EQ(stage.host.chain.Counts.baseband->samples, 2000000);
  EXPECT_EQ(stage.host.chain.Counts.baseband->format, "cs16");
  EXPECT_LT(stage.host.chain.Counts.baseband->first_lock_seconds, 0);

  stage.host.SetSatellite("meteor-m2");
  reason = stage.Run("MN2_3.wav", Wav16(3000000, Noise(2000000, 6)));
  EXPECT_TRUE(stage.StartsWith(reason, "No signal found: no Meteor-M N2 PM carrier")) << reason;
}

// From 1.2 to 1.5 samples a QPSK symbol the recording is narrower than the signal's band: it is
// demodulated, with a warning line; at 6 Msps there is none.
TEST(DemodulationStage, UnderTheWholeBandARateIsWarnedOf) {
  const std::string warning =
      "Warning: 3000000 samples/s is 1.29 samples per symbol, under the 1.5 that hold the "
      "signal's whole band: demodulated with some loss (3500000 samples/s or more is better)";
  Stage stage;
  std::string reason = stage.Run("MetopB_1.wav", Wav16(3000000, Noise(200000, 3)));
  EXPECT_TRUE(stage.StartsWith(reason, "No signal found: no MetOp QPSK carrier")) << reason;
  EXPECT_TRUE(stage.host.Logged(warning));
  Stage full;
  reason = full.Run("MetopB_2.wav", Wav16(6000000, Noise(200000, 4)));
  EXPECT_TRUE(full.StartsWith(reason, "No signal found: no MetOp QPSK carrier")) << reason;
  for (const std::string& line : full.host.log) EXPECT_NE(line.rfind("Warning: ", 0), 0u) << line;
}

TEST(DemodulationStage, ATooLowRateIsMeasuredAgainstTheRunSatellitesDownlink) {
  // At 1.2 samples a QPSK symbol 2.7 Msps fits neither FY-3 rate: FY-3C's 2.6 Msymbols/s needs
  // 3.12 Msps, FY-3A's 2.8 Msymbols/s 3.36 Msps. Each satellite is refused with its own figures.
  Stage stage;
  stage.host.SetSatellite("fy3c");
  std::string reason = stage.Run("FY3C_1.wav", Wav16(2700000, Noise(2000, 7)));
  EXPECT_NE(reason.find("too low for FY-3 QPSK at 2.6 Msymbols/s: it needs at least 3120000"),
            std::string::npos)
      << reason;
  stage.host.SetSatellite("fy3a");
  reason = stage.Run("FY3A_1.wav", Wav16(2700000, Noise(2000, 8)));
  EXPECT_NE(reason.find("too low for FY-3 QPSK at 2.8 Msymbols/s: it needs at least 3360000"),
            std::string::npos)
      << reason;
  // Meteor-M N2-3 shares Meteor-M N2's downlink: 665.4 kbit/s at 2.8 samples a bit.
  stage.host.SetSatellite("meteor-m2-3");
  reason = stage.Run("MN23_1.wav", Wav16(1000000, Noise(2000, 9)));
  EXPECT_NE(reason.find("too low for Meteor-M N2 PM at 0.6654 Msymbols/s: it needs at least "
                        "1863120 samples/s"),
            std::string::npos)
      << reason;
  EXPECT_EQ(ParseBasebandFormat("cf32"), BasebandFormat::kCf32);
  EXPECT_EQ(ParseBasebandFormat("CS16"), BasebandFormat::kUnknown);
}

}  // namespace
}  // namespace vantrel
