// vantrel-sim as a program: what it writes, and how it refuses bad arguments.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <complex>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "baseband/baseband_reader.h"
#include "core/file_io.h"
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
                           "--sat mn2 --out x.bin --soft --manchester",
                           "--sat metop --out x.bin --baseband mp3",
                           "--sat metop --out x.bin --baseband wav --samplerate 2300000",
                           "--sat mn2 --out x.bin --baseband wav --samplerate 1900000",
                           "--sat metop --out x.bin --baseband wav --samplerate 6e6x",
                           "--sat metop --out x.bin --baseband wav --samplerate 6000000.5",
                           "--sat metop --out x.bin --baseband cu8 --clock-ppm -1001",
                           "--sat metop --out x.bin --clock-ppm 20",
                           "--sat cadu --out x.bin --baseband wav",
                           "--sat mn2 --out x.bin --baseband wav --manchester",
                           "--sat metop --out x.bin --baseband wav --soft",
                           "--sat mn2 --out x.bin --baseband wav --modulation-index 1.6",
                           "--sat metop --out x.bin --baseband wav --esn0 5 --esn0-horizon 0",
                           "--sat metop --out x.bin --baseband wav --pass-profile --esn0-horizon 0",
                           "--sat metop --out x.bin --baseband wav --doppler 40000 "
                           "--carrier-offset 2970000",
                           "--sat metop --out x.bin --baseband wav --doppler-rate 0",
                           "--sat metop --out x.bin --baseband wav --dc-offset 0.1",
                           "--sat metop --out x.bin --baseband wav --dc-offset 0.1,0.7",
                           "--sat metop --out x.bin --baseband wav --iq-imbalance 1,x",
                           "--sat metop --out x.bin --baseband wav --esn0 -30"}) {
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

std::vector<std::complex<float>> ReadBaseband(const std::string& path,
                                              vantrel::BasebandFormat format, uint32_t rate,
                                              vantrel::BasebandReader* reader) {
  vantrel::InputFile file;
  EXPECT_TRUE(file.Open(path)) << path;
  const bool opened = format == vantrel::BasebandFormat::kWav
                          ? reader->OpenWav(file)
                          : reader->OpenRaw(file, format, rate, file.Size());
  EXPECT_TRUE(opened) << path << ": " << reader->Error();
  std::vector<std::complex<float>> samples;
  while (reader->Read(samples, 1 << 16) > 0) {
  }
  EXPECT_EQ(reader->GetStatus(), vantrel::BasebandReader::Status::kEnd) << reader->Error();
  return samples;
}

std::string Text(const std::string& path) {
  const auto bytes = ReadFileBytes(path);
  return {bytes.begin(), bytes.end()};
}

// --baseband writes the same recording as samples: the truth beside it is the hard recording's,
// and the four formats hold the same samples at their own precision, the WAV header saying the
// rate and the count.
TEST(SimProgram, BasebandFormatsHoldOnePassWithTheHardRecordingsTruth) {
  TempFolder folder;
  const std::string pass =
      "--sat metop --packets 2 --seed 3 --carrier-offset 10000 "
      "--clock-ppm 20 --doppler 30000 --esn0 15 ";
  ASSERT_EQ(RunSim("--sat metop --packets 2 --seed 3 --out h.bin"), 0);
  for (const char* format : {"wav", "cs16", "cu8", "cf32"}) {
    ASSERT_EQ(RunSim(pass + "--baseband " + format + " --out b." + format), 0) << format;
    EXPECT_EQ(ReadFileBytes(std::string("b.") + format + ".frames"), ReadFileBytes("h.bin.frames"));
    EXPECT_EQ(ReadFileBytes(std::string("b.") + format + ".packets"),
              ReadFileBytes("h.bin.packets"));
    EXPECT_NE(Text("sim.out").find("baseband: 0 samples clipped"), std::string::npos) << format;
  }
  // 2 packets of MetOp: the hard recording's bits at 1.5 per symbol, 6 Msps on a clock 20 ppm
  // fast.
  const double symbols = std::ceil(ReadFileBytes("h.bin").size() * 8 / 3.0) * 2;
  const double expected = std::floor(symbols / 2.3333e6 * 6e6 * (1 + 20e-6));

  vantrel::BasebandReader wav_reader;
  const auto wav = ReadBaseband("b.wav", vantrel::BasebandFormat::kWav, 0, &wav_reader);
  EXPECT_EQ(wav_reader.SampleRate(), 6000000u);
  EXPECT_EQ(wav_reader.DeclaredSamples(), static_cast<int64_t>(wav.size()));
  EXPECT_NEAR(static_cast<double>(wav.size()), expected, 1);
  // The WAV file's samples are the cs16 file.
  const auto wav_bytes = ReadFileBytes("b.wav"), cs16_bytes = ReadFileBytes("b.cs16");
  ASSERT_EQ(wav_bytes.size() - cs16_bytes.size(), 76u);  // RIFF, fmt, LIST, data headers
  EXPECT_TRUE(std::equal(cs16_bytes.begin(), cs16_bytes.end(), wav_bytes.begin() + 76));

  vantrel::BasebandReader reader;
  const auto cf32 = ReadBaseband("b.cf32", vantrel::BasebandFormat::kCf32, 6000000, &reader);
  const auto cu8 = ReadBaseband("b.cu8", vantrel::BasebandFormat::kCu8, 6000000, &reader);
  ASSERT_EQ(cf32.size(), wav.size());
  ASSERT_EQ(cu8.size(), wav.size());
  double power = 0, worst16 = 0, worst8 = 0;
  for (size_t k = 0; k < wav.size(); ++k) {
    power += std::norm(cf32[k]);
    worst16 = std::max(worst16, static_cast<double>(std::abs(wav[k] - cf32[k])));
    worst8 = std::max(worst8, static_cast<double>(std::abs(cu8[k] - cf32[k])));
  }
  // Rounding: half a step on each component.
  EXPECT_LT(worst16, 0.71 / 32768);
  EXPECT_LT(worst8, 0.71 / 127.5);
  // The level leaves headroom: each component about a quarter of full scale.
  EXPECT_NEAR(std::sqrt(power / static_cast<double>(wav.size()) / 2), 0.25, 0.01);
}

// With a pass profile the noise before rise and after set is time without the signal: silence
// without --esn0, the noise floor with it.
TEST(SimProgram, BasebandPassStartsAndEndsWithoutTheSignal) {
  TempFolder folder;
  const std::string pass =
      "--sat mn2 --lines 4 --pass-profile --noise-seconds 0.05 --seed 9 "
      "--baseband cf32 ";
  ASSERT_EQ(RunSim(pass + "--out quiet.cf32"), 0);
  vantrel::BasebandReader reader;
  const auto quiet = ReadBaseband("quiet.cf32", vantrel::BasebandFormat::kCf32, 3000000, &reader);
  ASSERT_GT(quiet.size(), 400000u);
  auto power = [](const std::vector<std::complex<float>>& x, size_t from, size_t to) {
    double sum = 0;
    for (size_t k = from; k < to; ++k) sum += std::norm(x[k]);
    return sum / static_cast<double>(to - from);
  };
  // 0.05 s at 665.4 kbit/s in whole bytes is 0.04999 s: 149973 samples at 3 Msps.
  EXPECT_EQ(power(quiet, 0, 149900), 0);
  EXPECT_GT(power(quiet, 150100, 160000), 0.1);
  EXPECT_EQ(power(quiet, quiet.size() - 149900, quiet.size()), 0);
  EXPECT_GT(power(quiet, quiet.size() - 160000, quiet.size() - 150100), 0.1);

  ASSERT_EQ(RunSim(pass + "--esn0 10 --out noisy.cf32"), 0);
  EXPECT_NE(Text("sim.out").find("Es/N0 10.00 dB at the top, 0.00 dB at rise and set"),
            std::string::npos);
  const auto noisy = ReadBaseband("noisy.cf32", vantrel::BasebandFormat::kCf32, 3000000, &reader);
  ASSERT_EQ(noisy.size(), quiet.size());
  const double before = power(noisy, 0, 149900),
               after = power(noisy, noisy.size() - 149900, noisy.size());
  EXPECT_GT(before, 0);
  EXPECT_NEAR(after / before, 1, 0.03);
  const size_t middle = noisy.size() / 2;
  EXPECT_GT(power(noisy, middle - 10000, middle + 10000), 3 * before);
}

TEST(SimProgram, HelpNamesTheBasebandOptions) {
  TempFolder folder;
  ASSERT_EQ(RunSim("--help"), 0);
  const std::string help = Text("sim.out");
  for (const char* option :
       {"--baseband wav|cs16|cu8|cf32", "--samplerate", "--clock-ppm", "--modulation-index",
        "--doppler HZ", "--doppler-rate", "--carrier-offset", "--esn0 DB", "--esn0-horizon",
        "--dc-offset", "--iq-imbalance"})
    EXPECT_NE(help.find(option), std::string::npos) << option;
}

// A full disk stops the run at once with the reason, exit 1.
TEST(SimProgram, StopsWhenTheDiskIsFull) {
  TempFolder folder;
  if (!FileExists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  ASSERT_EQ(symlink("/dev/full", "full.wav"), 0);
  EXPECT_EQ(RunSim("--sat metop --packets 50 --baseband wav --out full.wav"), 1);
  EXPECT_NE(Text("sim.err").find("No space left on device"), std::string::npos);
  EXPECT_EQ(Text("sim.out").find("wrote full.wav"), std::string::npos);
}

}  // namespace
