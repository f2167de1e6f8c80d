#include "sync/cadu_extraction_stage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/stage_error.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "tests/support/file_size_limit.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"
#include "tests/sync/cadu_streams.h"

namespace vantrel {
namespace {

using testing::Bytes;
using testing::ReadFileBytes;
using testing::WriteFileBytes;

// A host with correction and de-randomisation off unless a test turns them on, reading
// `input` (relative to the temp folder, which is the working folder).
struct StageFixture {
  testing::TempFolder folder;
  testing::RecordingHost host;

  explicit StageFixture(const Bytes& input, const std::string& name = "MetopB_1.bin") {
    WriteFileBytes(folder.File(name), input);
    host.input_path = name;
    host.settings.RSolomon = false;
    host.settings.PNdecoding = false;
  }
  std::string Output() const { return folder.File("cadu.pds"); }
  // The output cut into records of `size` bytes.
  std::vector<Bytes> Records(size_t size = 1020) const {
    const Bytes bytes = ReadFileBytes(Output());
    EXPECT_EQ(bytes.size() % size, 0u);
    std::vector<Bytes> records;
    for (size_t at = 0; at + size <= bytes.size(); at += size)
      records.emplace_back(bytes.begin() + static_cast<long>(at),
                           bytes.begin() + static_cast<long>(at + size));
    return records;
  }
  // Log lines that name the short read.
  std::vector<std::string> ShortLines() const {
    std::vector<std::string> lines;
    for (const std::string& line : host.log)
      if (line.rfind("File line", 0) == 0) lines.push_back(line);
    return lines;
  }
};

TEST(CaduExtractionStage, BackToBackCadusAreAllWritten) {
  for (size_t count : {3u, 7u}) {
    const auto bodies = testing::RandomBodies(count, 30 + count);
    StageFixture stage(testing::Cadus(bodies));
    CaduExtractionStage(stage.host);
    EXPECT_EQ(stage.Records(), bodies) << count;
    // The read that meets the end comes after count - 1 frames; it is logged once.
    EXPECT_EQ(stage.ShortLines(),
              std::vector<std::string>{"File line " + std::to_string(count - 1) + " short 0"});
    const std::vector<std::string> expected = {
        "Starting ASM detection...", "File line " + std::to_string(count - 1) + " short 0", "",
        "ASM detection done!  " + std::to_string(count) + " lines found.", ""};
    EXPECT_EQ(stage.host.log, expected);
    EXPECT_EQ(stage.host.size_caption, "File size " + std::to_string(1024 * count) + " bytes");
    // Run without the driver, the stage reports the recording it read as the pass's input.
    EXPECT_EQ(stage.host.chain.Counts.input_bytes, static_cast<int64_t>(1024 * count));
    EXPECT_EQ(stage.host.progress_maximum, static_cast<int64_t>(count));
    EXPECT_FALSE(stage.host.lamp_active);
  }
}

TEST(CaduExtractionStage, NoiseThenTwelveCadus) {
  const auto bodies = testing::RandomBodies(12, 40);
  Bytes input = testing::RandomBytes(500, 41);
  testing::Append(input, testing::Cadus(bodies));
  StageFixture stage(input);
  CaduExtractionStage(stage.host);
  EXPECT_EQ(stage.Records(), bodies);
  EXPECT_TRUE(stage.host.Logged("ASM detection done!  12 lines found."));
  EXPECT_EQ(stage.ShortLines().size(), 1u);
  EXPECT_GT(stage.host.progress_position, 0);
  EXPECT_LE(stage.host.progress_position, stage.host.progress_maximum);
}

// Long noise before a pass: the search goes back over a few bytes at every polarity trial, yet
// the bar shows where it is in the recording, never past its end, and the pass comes out whole.
TEST(CaduExtractionStage, ProgressFollowsTheRecordingThroughLongNoise) {
  struct ProgressHost : testing::RecordingHost {
    int64_t largest = 0;
    void SetProgressPosition(int64_t position) override {
      largest = std::max(largest, position);
      RecordingHost::SetProgressPosition(position);
    }
  };
  const auto bodies = testing::RandomBodies(4, 44);
  Bytes input = testing::RandomBytes(4 << 20, 45);
  testing::Append(input, testing::Cadus(bodies));
  StageFixture stage(input);
  ProgressHost host;
  host.input_path = stage.host.input_path;
  host.settings = stage.host.settings;
  CaduExtractionStage(host);
  EXPECT_EQ(stage.Records(), bodies);
  const auto kib = static_cast<int64_t>(input.size() / 1024);
  EXPECT_EQ(host.progress_maximum, kib);
  EXPECT_LE(host.largest, kib);
  EXPECT_GE(host.largest, kib - 2);
}

// A marker that begins three bytes before a window slide is found only after the slide, when its
// first bytes have left the window: the full CADU still carries the marker as received.
TEST(CaduExtractionStage, MarkerAcrossAWindowSlideKeepsItsBytes) {
  const auto bodies = testing::RandomBodies(3, 43);
  Bytes input(1021, 0x00);
  testing::Append(input, testing::Cadus(bodies));
  StageFixture stage(input);
  stage.host.settings.Full_CADU = true;
  CaduExtractionStage(stage.host);
  const std::vector<Bytes> records = stage.Records(1024);
  ASSERT_EQ(records.size(), 3u);
  for (size_t k = 0; k < records.size(); ++k) {
    EXPECT_EQ(Bytes(records[k].begin(), records[k].begin() + 4), (Bytes{0x1A, 0xCF, 0xFC, 0x1D}));
    EXPECT_EQ(Bytes(records[k].begin() + 4, records[k].end()), bodies[k]);
  }
}

TEST(CaduExtractionStage, SmallInputs) {
  const auto bodies = testing::RandomBodies(2, 50);
  const Bytes two = testing::Cadus(bodies);
  struct Case {
    Bytes input;
    std::vector<Bytes> records;
  };
  Bytes one_and_noise(two.begin(), two.begin() + 1024);
  testing::Append(one_and_noise, testing::RandomBytes(100, 51));
  const std::vector<Case> cases = {
      {two, bodies},                                          // both, though under 3072 bytes
      {one_and_noise, {bodies[0]}},                           // 1124 bytes
      {Bytes(two.begin(), two.begin() + 1023), {}},           // one byte short of a CADU
      {Bytes(two.begin(), two.begin() + 2047), {bodies[0]}},  // second CADU cut
      {{}, {}},                                               // empty
      {testing::RandomBytes(100000, 52), {}},                 // pure noise
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    StageFixture stage(cases[i].input);
    CaduExtractionStage(stage.host);
    EXPECT_TRUE(testing::FileExists(stage.Output())) << i;
    EXPECT_EQ(stage.Records(), cases[i].records) << i;
    EXPECT_TRUE(stage.host.Logged("ASM detection done!  " +
                                  std::to_string(cases[i].records.size()) + " lines found."))
        << i;
    EXPECT_EQ(stage.ShortLines().size(), cases[i].input.size() >= 3072 ? 1u : 0u) << i;
    EXPECT_EQ(stage.host.size_caption,
              "File size " + std::to_string(cases[i].input.size()) + " bytes");
  }
}

// Neither a folder nor a FIFO is an input; the FIFO, which has no writer, is refused at once.
TEST(CaduExtractionStage, AFolderOrAFifoIsNoInput) {
  StageFixture stage({});
  std::filesystem::create_directory(stage.folder.File("MetopB_dir.bin"));
  stage.host.input_path = "MetopB_dir.bin";
  EXPECT_EQ(testing::RunEnd(CaduExtractionStage, stage.host),
            "Cannot open 'MetopB_dir.bin' (it is a folder): the run ends here.");
  ASSERT_EQ(mkfifo(stage.folder.File("MetopB_fifo.bin").c_str(), 0600), 0);
  stage.host.input_path = "MetopB_fifo.bin";
  EXPECT_EQ(testing::RunEnd(CaduExtractionStage, stage.host),
            "Cannot open 'MetopB_fifo.bin' (it is a FIFO): the run ends here.");
  EXPECT_EQ(stage.host.log, std::vector<std::string>(2, "Open input file failed!"));
}

TEST(CaduExtractionStage, ReadsTheWorkingFileTheDriverNames) {
  const auto bodies = testing::RandomBodies(4, 70);
  StageFixture stage(testing::RandomBytes(5000, 71), "MN2_1.bin");
  WriteFileBytes(stage.folder.File("cvcdu.man"), testing::Cadus(bodies));
  stage.host.SetSatellite("meteor-m2");
  RunStepAlone(stage.host, kCaduExtractionStep, WorkingFile::kCvcduMan);
  EXPECT_EQ(stage.Records(), bodies);
  EXPECT_EQ(stage.host.size_caption, "File size 4096 bytes");
  // The soft-symbol stage's output the same way, in any chain.
  stage.host.SetSatellite("metop-b");
  WriteFileBytes(stage.folder.File("soft.bits"), testing::Cadus(testing::RandomBodies(5, 72)));
  RunStepAlone(stage.host, kCaduExtractionStep, WorkingFile::kSoftBits);
  EXPECT_EQ(stage.Records().size(), 5u);
  EXPECT_EQ(stage.host.size_caption, "File size 5120 bytes");
  // Without a working file named the raw file is read.
  CaduExtractionStage(stage.host);
  EXPECT_TRUE(stage.Records().empty());
  EXPECT_EQ(stage.host.size_caption, "File size 5000 bytes");
}

// The pass's input bytes are the recording's, which the driver measured for the run, whatever
// working file the stage reads; run on its own it knows them only when it reads the recording.
TEST(CaduExtractionStage, InputBytesAreTheRecordingsTheDriverMeasured) {
  StageFixture stage(testing::RandomBytes(3000, 73), "MN2_1.bin");
  WriteFileBytes(stage.folder.File("cvcdu.man"), testing::Cadus(testing::RandomBodies(2, 74)));
  stage.host.chain.RecordingBytes = int64_t{5} << 32;  // past 32 bits, and not the file's size
  RunStepAlone(stage.host, kCaduExtractionStep, WorkingFile::kCvcduMan);
  EXPECT_EQ(stage.host.chain.Counts.input_bytes, int64_t{5} << 32);
  EXPECT_EQ(stage.host.size_caption, "File size 2048 bytes");
  EXPECT_EQ(stage.host.progress_maximum, 2);

  stage.host.chain.RecordingBytes.reset();
  RunStepAlone(stage.host, kCaduExtractionStep, WorkingFile::kCvcduMan);
  EXPECT_EQ(stage.host.chain.Counts.input_bytes, 0);
  CaduExtractionStage(stage.host);
  EXPECT_EQ(stage.host.chain.Counts.input_bytes, 3000);
}

TEST(CaduExtractionStage, OptionLinesAndRecordSizes) {
  const auto bodies = testing::RandomBodies(3, 80);
  const Bytes input = testing::Cadus(bodies);
  {
    StageFixture stage(input);
    stage.host.settings.PNdecoding = true;
    stage.host.settings.RSolomon = true;
    CaduExtractionStage(stage.host);
    const std::string path = stage.Output();
    const std::vector<std::string> tail(stage.host.log.end() - 6, stage.host.log.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"ASM detection done!  3 lines found.", "",
                                              "File '" + path + "' De-Randomization successfully.",
                                              "", "Uncorrectable R-S errors 3 ", ""}));
    EXPECT_EQ(stage.Records().size(), 3u);
  }
  {
    // Full_CADU with correction off: 1024-byte records and the debug line only.
    StageFixture stage(input);
    stage.host.settings.PNdecoding = true;
    stage.host.settings.Full_CADU = true;
    CaduExtractionStage(stage.host);
    EXPECT_EQ(stage.host.log.back(), "Debug full CADU output '" + stage.Output() + "' file\n");
    EXPECT_EQ(stage.Records(1024).size(), 3u);
    EXPECT_EQ(ReadFileBytes(stage.Output()).size(), 3u * 1024);
  }
  {
    // Full_CADU with correction on: corrected 1020-byte records, still the debug line.
    StageFixture stage(input);
    stage.host.settings.RSolomon = true;
    stage.host.settings.Full_CADU = true;
    CaduExtractionStage(stage.host);
    EXPECT_EQ(stage.host.log.back(), "Debug full CADU output '" + stage.Output() + "' file\n");
    EXPECT_EQ(ReadFileBytes(stage.Output()).size(), 3u * 1020);
  }
}

// RSolomon switched on by the user while the stage goes (here: after the first frames): the stage
// keeps to the options of its start, for every frame and its summary; the change is for the
// stages after it.
class SwitchingHost : public testing::RecordingHost {
 public:
  void ProcessEvents() override {
    if (++events == 3) settings.RSolomon = true;
  }
};

TEST(CaduExtractionStage, OptionsChangedDuringTheStageWaitForTheNextStage) {
  std::vector<Bytes> clean, sent;
  for (uint64_t i = 0; i < 6; ++i) {
    clean.push_back(testing::EncodeBlock(testing::RandomBytes(892, 90 + i)));
    sent.push_back(clean.back());
    testing::CorruptCodeword(sent.back(), i % 4, 5);
  }
  testing::TempFolder folder;
  WriteFileBytes(folder.File("MetopA_1.bin"), testing::Cadus(sent));
  SwitchingHost host;
  host.input_path = "MetopA_1.bin";
  host.settings.PNdecoding = false;
  host.settings.RSolomon = false;
  CaduExtractionStage(host);
  ASSERT_TRUE(host.settings.RSolomon);  // the switch came during the stage
  const Bytes output = ReadFileBytes(folder.File("cadu.pds"));
  ASSERT_EQ(output.size(), 6u * 1020);
  for (size_t i = 0; i < 6; ++i) {
    const Bytes record(output.begin() + 1020 * i, output.begin() + 1020 * (i + 1));
    EXPECT_EQ(record, sent[i]) << i;
  }
  for (const std::string& line : host.log)
    EXPECT_EQ(line.find("Uncorrectable R-S errors"), std::string::npos) << line;
}

// Simulated recordings: cadu.pds must hold the simulator's frame truth for every impairment.
struct Impaired {
  const char* name;
  sim::Impairments impairments;
  size_t first_kept;  // CADUs lost at the start
};

TEST(CaduExtractionStage, SimulatedRecordingsGiveTheFramesThatWentIn) {
  const std::vector<Impaired> cases = {
      {"clean", {}, 0},
      {"shift 3, noise before and after",
       {.bit_shift = 3, .noise_before = 777, .noise_after = 2000, .profile = {}},
       0},
      // The polarity search passes over the first marker; the frame after it brings it back.
      {"inverted, shift 5", {.bit_shift = 5, .invert = true, .profile = {}}, 0},
      {"marker errors 6", {.marker_errors = 6, .profile = {}}, 0},
      {"noise between, marker errors 2",
       {.noise_between = 300, .marker_errors = 2, .profile = {}},
       0},
      {"symbol errors 16, uncorrectable every 5",
       {.symbol_errors = 16, .uncorrectable_every = 5, .profile = {}},
       0},
  };
  constexpr size_t kFrames = 40;
  std::mt19937_64 rng(100);
  std::vector<std::vector<uint8_t>> blocks;
  for (size_t i = 0; i < kFrames; ++i) {
    const Bytes vcdu = testing::RandomBytes(892, rng());
    blocks.push_back(sim::EncodeCodeBlock(vcdu.data()));
  }
  for (const Impaired& impaired : cases) {
    const sim::Recording recording = sim::MakeCaduRecording(blocks, {}, impaired.impairments, 101);
    StageFixture stage(recording.bytes);
    stage.host.settings.PNdecoding = true;
    stage.host.settings.RSolomon = true;
    CaduExtractionStage(stage.host);
    const std::vector<Bytes> expected(recording.frames.begin() + impaired.first_kept,
                                      recording.frames.end());
    EXPECT_EQ(stage.Records(), expected) << impaired.name;
    const int uncorrectable =
        impaired.impairments.uncorrectable_every > 0
            ? static_cast<int>(kFrames) / impaired.impairments.uncorrectable_every
            : 0;
    EXPECT_TRUE(
        stage.host.Logged("Uncorrectable R-S errors " + std::to_string(uncorrectable) + " "))
        << impaired.name;
  }
}

// A host whose event pump cuts the recording short, or fills the disk, at its n-th call.
struct CuttingHost : testing::RecordingHost {
  std::string path;
  long cut_at = 0;
  uintmax_t cut_to = 0;
  void ProcessEvents() override {
    if (++events == cut_at) std::filesystem::resize_file(path, cut_to);
  }
};

// A recording cut while it is read, or a cadu.pds that cannot be written whole, must not pass for
// a shorter pass: the stage ends the run with the reason.
TEST(CaduExtractionStage, InputCutWhileReadOrOutputLostEndsTheRun) {
  // 2 MiB: well past what the stream has buffered when the cut comes.
  const Bytes stream = testing::Cadus(testing::RandomBodies(2048, 77));
  StageFixture stage(stream);
  CuttingHost host;
  host.input_path = stage.host.input_path;
  host.settings = stage.host.settings;
  host.path = stage.folder.File(host.input_path);
  host.cut_at = 3;
  host.cut_to = 5000;
  try {
    CaduExtractionStage(host);
    ADD_FAILURE() << "the cut was not noticed";
  } catch (const StageError& error) {
    EXPECT_NE(std::string(error.what()).find("ended after"), std::string::npos) << error.what();
    EXPECT_NE(std::string(error.what()).find("of its " + std::to_string(stream.size()) + " bytes"),
              std::string::npos)
        << error.what();
  }

  StageFixture full(stream);
  {
    testing::FileSizeLimit disk_full(1 << 16);
    EXPECT_THROW(CaduExtractionStage(full.host), StageError);
  }
  EXPECT_TRUE(full.host.Logged("Write output file failed!"));
}

}  // namespace
}  // namespace vantrel
