// Recordings as SDR programs write them, named and wrapped as each one does, through vantrel-cli
// with no option but what the README says a user must give: each gives the product of its
// marker-named hard-bit twin. WAV files whose sizes a recorder left wrong are read whole; a wrong
// marker and a recording of noise fail with the reason.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/programs.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using Bytes = std::vector<uint8_t>;

// The passes: the simulator's options for the hard-bit twin and for every recording made of it.
struct Pass {
  const char* sim;     // the pass
  const char* marker;  // the twin's marker-named recording
  const char* twin_options;
};
const Pass kMetop{"--sat metop --packets 12", "MetopB_20181231_101530.bin", "DR_y"};
const Pass kFy3c{"--sat fy3 --satellite C --lines 6", "FY3C_2026-12-09_052330.bin", "DR_y"};
const Pass kMeteor{"--sat mn2 --lines 10 --noise-before 20000 --noise-after 20000",
                   "MN2_20261209_101530.bin", "--date 2026-12-09"};

// How a recording is made from the simulator's baseband or soft output.
enum class Wrap {
  kNone,         // the simulator's file, renamed
  kSigmf,        // cf32 data beside a SigMF metadata file; the input is the metadata file
  kSdriq,        // cs16 after a 32-byte .sdriq header
  kAuxi,         // a WAV with an auxi chunk before its data
  kShortSize,    // a WAV whose data size a killed recorder left at a third
  kZeroSize,     // a WAV whose sizes were never written
  kStreamedList  // a WAV of streamed size (0xFFFFFFFF) with a LIST chunk after the samples
};

struct Convention {
  const char* what;
  const Pass* pass;
  const char* kind;  // the simulator's output: "--esn0 12 --baseband wav", "--soft --ebn0 6", ...
  Wrap wrap;
  const char* name;               // as the program names it
  const char* options;            // what the user must give
  const char* product = nullptr;  // the product's name; null: the twin's
};

uint32_t Le32(const Bytes& b, size_t at) {
  uint32_t v;
  std::memcpy(&v, &b[at], 4);
  return v;
}
void Put32(Bytes& b, size_t at, uint32_t v) {
  std::memcpy(&b[at], &v, 4);
}
// Where the WAV's data chunk header starts.
size_t DataChunk(const Bytes& wav) {
  for (size_t at = 12; at + 8 <= wav.size(); at += 8 + Le32(wav, at + 4))
    if (std::memcmp(&wav[at], "data", 4) == 0) return at;
  return 0;
}

uint32_t Crc32(const uint8_t* p, size_t n) {
  uint32_t crc = 0xFFFFFFFF;
  for (size_t i = 0; i < n; ++i) {
    crc ^= p[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

// Makes the recording `name` in `folder` from the simulator's file `made`.
void WrapRecording(const Convention& c, const std::string& made, const std::string& folder) {
  Bytes bytes = testing::ReadFileBytes(made);
  const std::string path = folder + "/" + c.name;
  switch (c.wrap) {
    case Wrap::kNone:
      break;
    case Wrap::kSigmf: {
      const std::string meta =
          R"({"global":{"core:datatype":"cf32_le","core:sample_rate":6000000,"core:version":"1.0.0"},)"
          R"("captures":[{"core:sample_start":0,"core:frequency":1701300000,)"
          R"("core:datetime":"2026-12-09T10:15:30Z"}],"annotations":[]})";
      testing::WriteFileBytes(path, Bytes(meta.begin(), meta.end()));
      std::string data = path;
      data.replace(data.size() - 4, 4, "data");
      testing::WriteFileBytes(data, bytes);
      return;
    }
    case Wrap::kSdriq: {
      Bytes header(32, 0);
      Put32(header, 0, 6000000);
      const uint64_t frequency = 1701300000, start_ms = 1796810130000;  // 2026-12-09 10:15:30 UTC
      std::memcpy(&header[4], &frequency, 8);
      std::memcpy(&header[12], &start_ms, 8);
      Put32(header, 20, 16);
      Put32(header, 28, Crc32(header.data(), 28));
      bytes.insert(bytes.begin(), header.begin(), header.end());
      break;
    }
    case Wrap::kAuxi: {
      Bytes auxi = {'a', 'u', 'x', 'i', 40, 0, 0, 0};
      const uint16_t start[8] = {2026, 12, 3, 9, 10, 15, 30, 0};
      Bytes content(40, 0);
      std::memcpy(content.data(), start, 16);
      std::memcpy(content.data() + 16, start, 16);
      Put32(content, 32, 1701300000);
      auxi.insert(auxi.end(), content.begin(), content.end());
      const size_t data = DataChunk(bytes);
      bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(data), auxi.begin(), auxi.end());
      break;
    }
    case Wrap::kShortSize:
      Put32(bytes, DataChunk(bytes) + 4, (Le32(bytes, DataChunk(bytes) + 4) / 3) & ~3u);
      break;
    case Wrap::kZeroSize:
      Put32(bytes, 4, 0);
      Put32(bytes, DataChunk(bytes) + 4, 0);
      break;
    case Wrap::kStreamedList: {
      Put32(bytes, DataChunk(bytes) + 4, 0xFFFFFFFF);
      const Bytes list = {'L', 'I', 'S', 'T', 12,  0,   0, 0, 'I', 'N',
                          'F', 'O', 'I', 'S', 'F', 'T', 0, 0, 0,   0};
      bytes.insert(bytes.end(), list.begin(), list.end());
      break;
    }
  }
  testing::WriteFileBytes(path, bytes);
}

// The extension the simulator needs to write a kind.
std::string SimulatedName(const Convention& c) {
  const std::string kind = c.kind;
  if (kind.find("--soft --ebn0 6") != std::string::npos) return "made.soft";
  if (kind.find("wav") != std::string::npos) return "made.wav";
  if (kind.find("cf32") != std::string::npos) return "made.cf32";
  if (kind.find("cu8") != std::string::npos) return "made.cu8";
  return "made.cs16";
}

void PrintTo(const Convention& c, std::ostream* out) {
  *out << c.what;
}

class RecordingConventions : public ::testing::TestWithParam<Convention> {};

TEST_P(RecordingConventions, GiveTheTwinsProductWithoutGuessedOptions) {
  const Convention& c = GetParam();
  testing::TempFolder folder;
  const std::string twin_dir = folder.File("twin"), run_dir = folder.File("run");
  std::filesystem::create_directories(twin_dir);
  std::filesystem::create_directories(run_dir);
  testing::Simulate(c.pass->sim, twin_dir + "/" + c.pass->marker);
  const testing::ProgramRun twin =
      testing::Shell(testing::Cli("'" + twin_dir + "/" + c.pass->marker + "' " +
                                  c.pass->twin_options + " -C '" + twin_dir + "' 2>&1"));
  ASSERT_EQ(twin.status, 0) << twin.output;

  const std::string made = folder.File(SimulatedName(c));
  testing::Simulate(std::string(c.pass->sim) + " " + c.kind, made);
  WrapRecording(c, made, run_dir);
  // SDR++ names its recordings in local time: the test's is UTC.
  const testing::ProgramRun run =
      testing::Shell("TZ=UTC " + testing::Cli(std::string("'") + run_dir + "/" + c.name + "' " +
                                              c.options + " -C '" + run_dir + "' 2>&1"));
  ASSERT_EQ(run.status, 0) << run.output;

  // The one product of each folder: the same bytes.
  auto product = [](const std::string& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      const std::string name = entry.path().filename().string();
      if (name.ends_with(".hpt") || name.ends_with(".C10") || name.ends_with(".dat"))
        return entry.path().string();
    }
    return std::string();
  };
  const std::string twin_product = product(twin_dir), run_product = product(run_dir);
  ASSERT_FALSE(run_product.empty()) << run.output;
  EXPECT_EQ(testing::ReadFileBytes(run_product), testing::ReadFileBytes(twin_product))
      << run.output;
  // Named as a station expects: the satellite's marker and the pass's time, never the recorder's
  // own words.
  EXPECT_EQ(
      std::filesystem::path(run_product).filename().string(),
      c.product != nullptr ? c.product : std::filesystem::path(twin_product).filename().string())
      << run.output;
  EXPECT_EQ(run.output.find("Warning: the WAV header gives") != std::string::npos,
            c.wrap == Wrap::kShortSize || c.wrap == Wrap::kZeroSize)
      << run.output;
}

// MetOp at 6 Msps unless said. Meteor-M has no error correction: its recordings are clean enough
// for every bit to come through.
INSTANTIATE_TEST_SUITE_P(
    AsWritten, RecordingConventions,
    ::testing::Values(
        Convention{"sdrpp", &kMetop, "--esn0 12 --baseband wav", Wrap::kNone,
                   "baseband_1701300000Hz_10-15-30_09-12-2026.wav", ""},
        Convention{"satdump_s16_fy3c", &kFy3c, "--esn0 12 --baseband cs16", Wrap::kNone,
                   "2026-12-09_10-15-30_6000000SPS_1701300000Hz.s16", ""},
        Convention{"gqrx", &kMetop, "--esn0 12 --baseband cf32", Wrap::kNone,
                   "gqrx_20261209_101530_1701300000_6000000_fc.raw", ""},
        Convention{"satdump_u8_meteor", &kMeteor, "--esn0 16 --baseband cu8 --samplerate 3000000",
                   Wrap::kNone, "2026-12-09_10-15-30_3000000SPS_137900000Hz.u8", ""},
        Convention{"satdump_soft_metop", &kMetop, "--soft --ebn0 6", Wrap::kNone,
                   "metop_ahrpt.soft", ""},
        Convention{"satdump_soft_fy3", &kFy3c, "--soft --ebn0 6", Wrap::kNone,
                   "fengyun3_c_ahrpt.soft", "--date 2026-12-09"},
        Convention{"satdump_soft_meteor", &kMeteor, "--soft", Wrap::kNone, "meteor_hrpt.soft",
                   "--date 2026-12-09"},
        Convention{"rtl_sdr_cu8", &kMetop, "--esn0 12 --baseband cu8", Wrap::kNone, "pass.bin",
                   "--samplerate 6000000"},
        Convention{"sigmf", &kMetop, "--esn0 12 --baseband cf32", Wrap::kSigmf, "pass.sigmf-meta",
                   ""},
        Convention{"sdriq", &kMetop, "--esn0 12 --baseband cs16", Wrap::kSdriq, "pass.sdriq", ""},
        Convention{"auxi", &kMetop, "--esn0 12 --baseband wav", Wrap::kAuxi, "HDSDR_pass.wav", ""},
        // A marker put in front: the recording's start names the product, not the recorder's words.
        Convention{"marker_in_front", &kMetop, "--esn0 12 --baseband wav", Wrap::kNone,
                   "MetopB_baseband_1701300000Hz_10-15-30_09-12-2026.wav", "",
                   "MetopB_20261209_1015_M03.hpt"},
        Convention{"wav_short_size", &kMetop, "--esn0 12 --baseband wav", Wrap::kShortSize,
                   "MetopB_20181231_101530.wav", ""},
        Convention{"wav_zero_size", &kMetop, "--esn0 12 --baseband wav", Wrap::kZeroSize,
                   "MetopB_20181231_101530.wav", ""},
        Convention{"wav_streamed_list", &kMetop, "--esn0 12 --baseband wav", Wrap::kStreamedList,
                   "MetopB_20181231_101530.wav", ""}),
    [](const ::testing::TestParamInfo<Convention>& info) { return info.param.what; });

// What cannot give a product says why: a marker that names another satellite than the data's,
// and a recording of noise.
TEST(RecordingConventionsFail, WithTheReason) {
  testing::TempFolder folder;
  testing::Simulate("--sat fy3 --satellite C --lines 6 --baseband cs16 --esn0 12",
                    folder.File("FY3A_2026-12-09_101530.cs16"));
  // Half a second of receiver noise, no satellite in it.
  Bytes noise(6000000 / 2 * 4);
  uint32_t state = 12345;
  for (size_t i = 0; i + 1 < noise.size(); i += 2) {
    state = state * 1664525u + 1013904223u;
    const int16_t value = static_cast<int16_t>(static_cast<int32_t>(state >> 16) % 2001 - 1000);
    std::memcpy(&noise[i], &value, 2);
  }
  testing::WriteFileBytes(folder.File("noise.cs16"), noise);
  struct Case {
    const char* input;
    const char* reason;
  } cases[] = {
      {"FY3A_2026-12-09_101530.cs16 --samplerate 6000000",
       "the data look like FY-3C at 2.6 Msymbols/s, the marker 'FY3A_' in the file name says "
       "FY-3A"},
      {"noise.cs16 --samplerate 6000000 --carrier-range 20", "No satellite recognised"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    const testing::ProgramRun run =
        testing::Shell(testing::Cli(std::string(c.input) + " -C '" + folder.File("") + "' 2>&1"));
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find(c.reason), std::string::npos) << run.output;
  }
}

}  // namespace
}  // namespace vantrel
