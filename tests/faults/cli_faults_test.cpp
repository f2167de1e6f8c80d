// Faults met end to end through vantrel-cli: folders that cannot take the files, products that
// cannot be written, recordings with nothing or nothing usable in them, settings at their limits.
// Each run must end with a log line that says what happened and an exit status that tells the
// truth: 0 only with a complete product, 1 without one, 2 for a command line that cannot work.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "tests/support/file_size_limit.h"
#include "tests/support/programs.h"
#include "tests/support/shell.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::Cli;
using testing::Contains;
using testing::ProgramRun;
using testing::Shell;

using testing::FileExists;
using testing::ReadFileBytes;
using testing::TempFolder;
using testing::WriteFileBytes;

constexpr int kExitProduct = 0;
constexpr int kExitNoProduct = 1;
constexpr int kExitUsage = 2;
constexpr uint64_t kSeed = 20240607;

// One satellite family: how to simulate a pass, how to process it, what it gives.
struct Family {
  const char* name;
  const char* sim_args;   // vantrel-sim options of a small pass
  const char* input;      // recording name, with the satellite marker
  const char* cli_args;   // switches the pass needs
  const char* product;    // product name in the working folder
  size_t record_bytes;    // product record size
  size_t records;         // records of the simulated pass's product
  size_t header_records;  // records of them that are no line (the _MN2.dat header record)
  const char* done_line;  // the final writer's count line, without the number
};

const std::vector<Family>& Families() {
  static const std::vector<Family> families = {
      {"MetOp", "--sat metop --satellite B --packets 4", "MetopB_20181231_101530.bin", "DR_y",
       "MetopB_20181231_1015_M03.hpt", 13864, 4, 0, "HPT file created done!  "},
      {"FY-3", "--sat fy3 --satellite A --lines 4", "FY3A_2010-05-12_052330.bin", "DR_y",
       "FY3A_2010-05-12_0523.C10", 27728, 4, 0, "Process done!  "},
      {"Meteor-M N2", "--sat mn2 --lines 5", "MN2_20181231_101530.bin", "", "20181231_1015_MN2.dat",
       16432, 6, 1, "DAT file created done!  "},
  };
  return families;
}

// Simulates `family`'s pass as `path` (truth beside it).
void Simulate(const Family& family, const std::string& path, const std::string& extra = "") {
  testing::Simulate(std::string(family.sim_args) + " " + extra, path);
}

// A run that wrote no product: exit status 1, the reason in the log, and no DONE banner.
void ExpectNoProduct(const ProgramRun& run, const std::string& reason) {
  EXPECT_EQ(run.status, kExitNoProduct) << run.output;
  EXPECT_TRUE(Contains(run.output, reason)) << run.output;
  EXPECT_FALSE(Contains(run.output, "processing DONE!")) << run.output;
}

// The final count line and the exit status agree with the product on disk: exit 0 exactly when
// the product holds at least one whole record and the count line gives their number; a run that
// found no line says so and writes nothing.
void ExpectTruthfulProduct(const ProgramRun& run, const Family& family, const std::string& path) {
  ASSERT_NE(run.status, -1) << run.output;
  if (Contains(run.output, family.done_line + std::string("0 lines found."))) {
    EXPECT_EQ(run.status, kExitNoProduct) << run.output;
    EXPECT_TRUE(Contains(run.output, "No line found: the product '" + path + "' was not written."))
        << run.output;
    return;
  }
  ASSERT_TRUE(FileExists(path)) << run.output;
  const auto size = std::filesystem::file_size(path);
  EXPECT_EQ(size % family.record_bytes, 0u);
  const size_t records = size / family.record_bytes;
  ASSERT_GT(records, family.header_records) << "a product without a line";
  const size_t lines = records - family.header_records;
  EXPECT_TRUE(Contains(run.output, family.done_line + std::to_string(lines) + " lines found."))
      << run.output;
  EXPECT_EQ(run.status, kExitProduct) << run.output;
}

TEST(CliFaults, WorkingFolderThatTakesNoFiles) {
  TempFolder folder;
  for (const Family& family : Families()) {
    SCOPED_TRACE(family.name);
    const std::string input = folder.File(family.input);
    Simulate(family, input);
    // Nothing can be created in /proc, not even by root: not even the run's lock file.
    ExpectNoProduct(Shell("cd /proc && " + Cli(input + " " + family.cli_args)),
                    "Cannot lock the working folder '/proc'");

    // A working folder removed during the session, a file now standing in its place.
    std::filesystem::create_directory(folder.File("gone"));
    const ProgramRun run = Shell("cd '" + folder.File("gone") + "' && rm -r ../gone && touch " +
                                 "../gone && " + Cli(input + " " + family.cli_args));
    ExpectNoProduct(run, "Cannot lock the working folder");
    EXPECT_TRUE(std::filesystem::is_regular_file(folder.File("gone")));
    std::filesystem::remove(folder.File("gone"));
  }
}

TEST(CliFaults, ProductNameTakenByAFolder) {
  for (const Family& family : Families()) {
    SCOPED_TRACE(family.name);
    TempFolder folder;
    Simulate(family, folder.File(family.input));
    std::filesystem::create_directory(folder.File(family.product));
    WriteFileBytes(folder.File(std::string(family.product) + "/keep"), {1, 2, 3});
    ExpectNoProduct(Shell(Cli(std::string(family.input) + " " + family.cli_args)),
                    "Open output file failed!");
    EXPECT_EQ(ReadFileBytes(folder.File(std::string(family.product) + "/keep")),
              (std::vector<uint8_t>{1, 2, 3}));
  }
}

// A disk that fills at any point of the run (here: a file size limit, from a few KiB to just
// short of the product) gives no product and exit 1; an earlier product of the name stays.
TEST(CliFaults, DiskFullAnywhereIsNotASuccess) {
  for (const Family& family : Families()) {
    SCOPED_TRACE(family.name);
    TempFolder folder;
    Simulate(family, folder.File(family.input));
    WriteFileBytes(folder.File(family.product), {1, 2, 3});
    const size_t product_bytes = family.records * family.record_bytes;
    for (size_t limit : {size_t{4096}, product_bytes / 2, product_bytes - 512}) {
      SCOPED_TRACE(limit);
      const ProgramRun run = Shell(testing::FileSizeLimitPrefix(limit) +
                                   Cli(std::string(family.input) + " " + family.cli_args));
      ExpectNoProduct(run, "the run ends here.");
      EXPECT_EQ(ReadFileBytes(folder.File(family.product)), (std::vector<uint8_t>{1, 2, 3}));
      EXPECT_FALSE(FileExists(folder.File(".vantrel-product.tmp")));
    }
  }
}

// A link where a working file goes ends the run with the reason, and the file it names is never
// written or deleted; a link where the product goes is replaced by the product, not written
// through.
TEST(CliFaults, LinksInTheWorkingFolderAreNeverWrittenThrough) {
  const char* working_files[] = {"APID.pkt", "FY3x_.fy3", "MSU-MR.dmx"};
  for (size_t f = 0; f < Families().size(); ++f) {
    const Family& family = Families()[f];
    SCOPED_TRACE(family.name);
    TempFolder folder;
    Simulate(family, folder.File(family.input));
    TempFolder elsewhere;  // the victim lives outside the working folder
    const std::string victim = elsewhere.File("victim");
    WriteFileBytes(victim, {4, 5, 6});
    std::filesystem::current_path(folder.path());

    const std::string working = folder.File(working_files[f]);
    std::filesystem::create_symlink(victim, working);
    ProgramRun run = Shell(Cli(std::string(family.input) + " " + family.cli_args));
    ExpectNoProduct(run, "'" + working +
                             "' is a symbolic link where a working file must go: the run ends "
                             "here.");
    EXPECT_TRUE(std::filesystem::is_symlink(working));
    std::filesystem::remove(working);

    std::filesystem::create_symlink(victim, folder.File(family.product));
    run = Shell(Cli(std::string(family.input) + " " + family.cli_args));
    EXPECT_EQ(run.status, kExitProduct) << run.output;
    EXPECT_FALSE(std::filesystem::is_symlink(folder.File(family.product)));
    EXPECT_EQ(std::filesystem::file_size(folder.File(family.product)),
              family.records * family.record_bytes);
    EXPECT_EQ(ReadFileBytes(victim), (std::vector<uint8_t>{4, 5, 6}));
  }
}

TEST(CliFaults, RecordingThatIsAFolderOrMissing) {
  TempFolder folder;
  for (const Family& family : Families()) {
    SCOPED_TRACE(family.name);
    ExpectNoProduct(Shell(Cli(family.input)), "Open input file failed!");
    std::filesystem::create_directory(folder.File(family.input));
    ExpectNoProduct(Shell(Cli(family.input)), "Open input file failed!");
    std::filesystem::remove(folder.File(family.input));
  }
}

// Zeros, ones and noise hold no frame a pass would have: every family writes an empty product,
// says so in its count line and exits 1.
TEST(CliFaults, RecordingsOfZerosOnesOrNoise) {
  constexpr size_t kBytes = 1 << 20;
  std::mt19937_64 random(kSeed);
  std::vector<uint8_t> noise(kBytes);
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>(random());
  const std::vector<std::pair<const char*, std::vector<uint8_t>>> recordings = {
      {"zeros", std::vector<uint8_t>(kBytes, 0x00)},
      {"ones", std::vector<uint8_t>(kBytes, 0xFF)},
      {"noise (seed 20240607)", noise},
  };
  for (const Family& family : Families()) {
    for (const auto& [what, bytes] : recordings) {
      SCOPED_TRACE(std::string(family.name) + ", " + what);
      TempFolder folder;
      WriteFileBytes(folder.File(family.input), bytes);
      const ProgramRun run = Shell(Cli(std::string(family.input) + " " + family.cli_args));
      EXPECT_EQ(run.status, kExitNoProduct) << run.output;
      EXPECT_TRUE(Contains(run.output, std::string(family.done_line) + "0 lines found."))
          << run.output;
      EXPECT_FALSE(Contains(run.output, "failed")) << run.output;
      EXPECT_FALSE(FileExists(folder.File(family.product)));
    }
  }
}

// 24 symbol errors in every codeword: every frame is found and every one is reported
// uncorrectable; whatever the damaged frames still give, the product and the status agree.
TEST(CliFaults, EveryFrameUncorrectable) {
  for (const Family& family : Families()) {
    if (std::string(family.cli_args).empty()) continue;  // Meteor-M N2 frames carry no RS code
    SCOPED_TRACE(family.name);
    TempFolder folder;
    Simulate(family, folder.File(family.input), "--symbol-errors 24");
    const ProgramRun run = Shell(Cli(std::string(family.input) + " " + family.cli_args));
    const size_t frames =
        std::filesystem::file_size(folder.File(std::string(family.input) + ".frames")) / 1020;
    ASSERT_GT(frames, 0u);
    EXPECT_TRUE(Contains(run.output, "Uncorrectable R-S errors " + std::to_string(frames) + " \n"))
        << run.output;
    ExpectTruthfulProduct(run, family, folder.File(family.product));
  }
}

// The MetOp settings at the ends of their ranges, and one step beyond them.
TEST(CliFaults, MetopSettingsAtTheirLimits) {
  const Family& metop = Families()[0];
  TempFolder folder;
  const std::string input = metop.input;
  const std::string product = folder.File(metop.product);
  Simulate(metop, folder.File(input));
  const std::vector<uint8_t> packets = ReadFileBytes(folder.File(input + ".packets"));
  ASSERT_EQ(packets.size(), metop.records * 12966);

  // Channel 0 carries the pass; channel 63 is the idle channel, which carries no packet.
  Simulate(metop, folder.File("MetopB_20181231_111111.bin"), "--vcid 0");
  ProgramRun run = Shell(Cli("MetopB_20181231_111111.bin DR_y --vcid 0"));
  EXPECT_EQ(run.status, kExitProduct) << run.output;
  EXPECT_EQ(std::filesystem::file_size(folder.File("MetopB_20181231_1111_M03.hpt")),
            metop.records * metop.record_bytes);
  run = Shell(Cli(input + " DR_y --vcid 63"));
  EXPECT_TRUE(Contains(run.output, "contains 892 byte VCDUs of ID = 63 only.")) << run.output;
  ExpectTruthfulProduct(run, metop, product);

  // The longest limit keeps every packet, and every record still carries its own packet.
  run = Shell(Cli(input + " DR_y --max-packet-length 12999"));
  EXPECT_EQ(run.status, kExitProduct) << run.output;
  const std::vector<uint8_t> hpt = ReadFileBytes(product);
  ASSERT_EQ(hpt.size(), metop.records * metop.record_bytes);
  for (size_t k = 0; k < metop.records; ++k) {
    // Packet bytes 82..12881 are record bytes 937..13736.
    EXPECT_TRUE(std::equal(packets.begin() + static_cast<long>(k * 12966 + 82),
                           packets.begin() + static_cast<long>(k * 12966 + 12882),
                           hpt.begin() + static_cast<long>(k * metop.record_bytes + 937)))
        << "record " << k;
  }
  // The shortest limit drops every AVHRR packet.
  run = Shell(Cli(input + " DR_y --max-packet-length 7"));
  EXPECT_EQ(run.status, kExitNoProduct) << run.output;
  EXPECT_TRUE(Contains(run.output, "HPT file created done!  0 lines found.")) << run.output;
  // A two-byte M_PDU header on a stream made with four reads the zones two bytes early.
  run = Shell(Cli(input + " DR_y --mpdu-header 2"));
  ExpectTruthfulProduct(run, metop, product);

  // One step beyond: refused before anything is read or written.
  std::filesystem::remove(product);
  for (const char* beyond : {"--vcid 64", "--vcid -1", "--max-packet-length 6",
                             "--max-packet-length 13000", "--mpdu-header 3", "--mpdu-header 0"}) {
    SCOPED_TRACE(beyond);
    run = Shell(Cli(input + " DR_y " + beyond));
    EXPECT_EQ(run.status, kExitUsage) << run.output;
    EXPECT_TRUE(Contains(run.output, "vantrel-cli: ")) << run.output;
    EXPECT_FALSE(FileExists(product));
    EXPECT_FALSE(FileExists(folder.File("cadu.pds")));
  }
}

}  // namespace
}  // namespace vantrel
