// Runs the vantrel-cli and vantrel-sim programs as an operator would and checks what they leave.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "core/version.h"
#include "tests/support/programs.h"
#include "tests/support/shell.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::Cli;
using testing::Contains;
using testing::ProgramRun;
using testing::Shell;
using testing::Sim;

constexpr size_t kHptRecord = 13864;
constexpr size_t kPacket = 12966;

TEST(CliRun, UsageErrorsExitTwoWithAReasonAndTheUsage) {
  testing::TempFolder folder;
  for (const char* args : {"", "--bogus MetopB_1.bin", "MetopB_1.bin --apid 105"}) {
    const ProgramRun run = Shell(Cli(args));
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_TRUE(Contains(run.output, "vantrel-cli: ")) << run.output;
    EXPECT_TRUE(Contains(run.output, "Usage: vantrel-cli INPUT")) << run.output;
  }
  EXPECT_EQ(Shell(Cli("--help")).status, 0);
  EXPECT_EQ(Shell(Cli("--version")).output, std::string("vantrel-cli ") + kVersion + "\n");
}

TEST(CliRun, NoMarkerOrNoInputExitsOne) {
  testing::TempFolder folder;
  // A name without a marker is looked for in the data, which a missing file cannot show.
  ProgramRun run = Shell(Cli("pass.bin"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "No satellite marker in the name 'pass.bin': the satellite is looked for in the data, "
            "as with --satellite auto\nCannot read '" +
                folder.File("pass.bin") +
                "' (No such file or directory): the run ends here.\nvantrel-cli: Cannot read '" +
                folder.File("pass.bin") + "' (No such file or directory): the run ends here.\n");

  run = Shell(Cli("MetopB_20181231_101530.bin"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, "Open input file failed!"));
  EXPECT_TRUE(Contains(run.output, "vantrel-cli: Cannot open '" +
                                       folder.File("MetopB_20181231_101530.bin") +
                                       "' (No such file or directory): the run ends here.\n"));
  EXPECT_FALSE(testing::FileExists(folder.File("MetopB_20181231_1015_M03.hpt")));
}

TEST(CliRun, SatelliteOptionOnAnyFileName) {
  testing::TempFolder folder;
  // A demodulator's name, no marker: auto finds MetOp-C and names the product from its data.
  ASSERT_EQ(Shell(Sim("--sat metop --satellite C --packets 3 --out metop_ahrpt.bin")).status, 0);
  ProgramRun run = Shell(Cli("metop_ahrpt.bin --satellite auto -q --report r.json"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(testing::FileExists(folder.File("MetopC_20181231_1015_M04.hpt")));
  const std::vector<uint8_t> report = testing::ReadFileBytes(folder.File("r.json"));
  EXPECT_TRUE(Contains(std::string(report.begin(), report.end()), "\"satellite\":\"MetOp-C\""));

  // Noise: exit 1 and one line that says why.
  testing::WriteFileBytes(folder.File("noise.bin"), std::vector<uint8_t>(200000, 0x55));
  run = Shell(Cli("noise.bin --satellite auto -q"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1) << run.output;
  EXPECT_TRUE(Contains(
      run.output, "vantrel-cli: No satellite recognised in '" + folder.File("noise.bin") + "'"))
      << run.output;

  for (const char* args : {"pass.bin --satellite metop-d", "pass.bin --satellite MetOp-B",
                           "pass.bin --satellite fy3b --date 2026-13-01",
                           "pass.bin --satellite fy3b --date 2026-1-1"}) {
    run = Shell(Cli(args));
    EXPECT_EQ(run.status, 2) << args;
    EXPECT_TRUE(Contains(run.output, "vantrel-cli: --")) << run.output;
  }
}

TEST(CliRun, RecordingWithoutFramesWritesNoProductAndExitsOne) {
  testing::TempFolder folder;
  std::vector<uint8_t> noise(200000);
  uint32_t x = 12345;
  for (uint8_t& byte : noise) byte = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  testing::WriteFileBytes(folder.File("MetopA_20200101_000000.bin"), noise);
  const ProgramRun run = Shell(Cli("MetopA_20200101_000000.bin -q"));
  EXPECT_EQ(run.status, 1);
  // -q hides the log, not the reason for the failure.
  EXPECT_EQ(run.output,
            "vantrel-cli: no line found in 'MetopA_20200101_000000.bin': no product was written\n");
  EXPECT_FALSE(testing::FileExists(folder.File("20200101_0000_M02.hpt")));
  EXPECT_FALSE(testing::FileExists(folder.File("cadu.pds")));  // working files deleted
}

// A simulated pass through both programs: the product's records carry the simulator's packets, the
// working files stay with --keep-files, and the relative and absolute input forms agree.
TEST(CliRun, SimulatedMetopPassEndToEnd) {
  testing::TempFolder folder;
  const std::string name = "MetopC_20200101_000000.bin";
  ProgramRun run =
      Shell(Sim("--sat metop --satellite C --packets 12 --shift 6 --noise-before 333 "
                "--symbol-errors 10 --out " +
                name));
  ASSERT_EQ(run.status, 0) << run.output;

  run = Shell(Cli(name + " DR_y RS_y --keep-files"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Contains(
      run.output, "Finally, output file is '" + folder.File("MetopC_20200101_0000_M04.hpt") + "'"));
  EXPECT_EQ(testing::ReadFileBytes(folder.File("APID.pkt")),
            testing::ReadFileBytes(folder.File(name + ".packets")));
  const std::vector<uint8_t> hpt =
      testing::ReadFileBytes(folder.File("MetopC_20200101_0000_M04.hpt"));
  const std::vector<uint8_t> packets = testing::ReadFileBytes(folder.File(name + ".packets"));
  ASSERT_EQ(hpt.size(), 12 * kHptRecord);
  for (size_t k = 0; k < 12; ++k) {
    // Packet bytes 82..12881 are the record's bytes 937..13736.
    EXPECT_TRUE(std::equal(packets.begin() + k * kPacket + 82,
                           packets.begin() + k * kPacket + 12882,
                           hpt.begin() + k * kHptRecord + 937))
        << "record " << k;
  }

  // Without de-randomisation the frames stay scrambled: nothing survives the packet layer.
  std::filesystem::create_directory(folder.File("sub"));
  std::filesystem::current_path(folder.File("sub"));
  run = Shell(Cli(folder.File(name) + " DR_n"));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Contains(run.output, "HPT file created done!  0 lines found."));
}

// The value of "key": ... in the report's JSON text, as written.
std::string JsonValue(const std::string& json, const std::string& key) {
  const size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "(missing)";
  const size_t from = at + key.size() + 3;
  return json.substr(from, json.find_first_of(",}\n", from) - from);
}

std::string ReadText(const std::string& path) {
  const std::vector<uint8_t> bytes = testing::ReadFileBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

TEST(CliRun, ReportFileHoldsThePassReportAsJson) {
  testing::TempFolder folder;
  const std::string name = "FY3B_2012-12-31_235959.bin";
  ASSERT_EQ(Shell(Sim("--sat fy3 --satellite B --lines 4 --out " + name)).status, 0);
  ProgramRun run = Shell(Cli(name + " DR_y --report pass.json"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, "Pass report:"));
  std::string json = ReadText(folder.File("pass.json"));
  // Exactly these keys, in this order, on one line.
  const char* keys[] = {"input_bytes",
                        "cadus",
                        "sync_losses",
                        "rs_corrected_symbols",
                        "rs_corrected_frames",
                        "rs_uncorrectable_frames",
                        "frames_missing",
                        "lines_dropped",
                        "lines_zero_filled",
                        "keep_uncorrectable",
                        "product",
                        "satellite",
                        "product_lines",
                        "exit_status",
                        "seconds"};
  size_t previous = 0;
  for (const char* key : keys) {
    const size_t at = json.find(std::string("\"") + key + "\":");
    ASSERT_NE(at, std::string::npos) << key;
    EXPECT_GT(at, previous) << key;
    previous = at;
  }
  EXPECT_EQ(std::count(json.begin(), json.end(), ':'), 15) << json;
  EXPECT_EQ(JsonValue(json, "keep_uncorrectable"), "false");
  EXPECT_EQ(json.front(), '{');
  EXPECT_EQ(json.substr(json.size() - 2), "}\n");
  EXPECT_EQ(std::count(json.begin(), json.end(), '\n'), 1) << json;
  EXPECT_EQ(JsonValue(json, "input_bytes"),
            std::to_string(testing::ReadFileBytes(folder.File(name)).size()));
  EXPECT_EQ(JsonValue(json, "product"),
            std::string("\"") + folder.File("FY3B_2012-12-31_2359.C10") + "\"");
  EXPECT_EQ(JsonValue(json, "product_lines"), "4");
  EXPECT_EQ(JsonValue(json, "satellite"), "\"FY-3B\"");
  EXPECT_EQ(JsonValue(json, "rs_uncorrectable_frames"), "0");
  EXPECT_EQ(JsonValue(json, "exit_status"), "0");
  const std::string seconds = JsonValue(json, "seconds");  // a whole number, whatever it is
  EXPECT_TRUE(!seconds.empty() && std::all_of(seconds.begin(), seconds.end(), [](char c) {
    return c >= '0' && c <= '9';
  })) << seconds;

  // Without de-randomisation the frames still pass Reed-Solomon (the CCSDS sequence over a code
  // block is itself a code block), but their headers are scrambled: no frame of the channel. The
  // hints say what to try, and the report carries the failing exit status.
  run = Shell(Cli(name + " DR_n --report pass.json"));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Contains(run.output, "Hint: VCID 5: none; channels seen: ")) << run.output;
  EXPECT_TRUE(Contains(run.output, "try DR_y")) << run.output;
  json = ReadText(folder.File("pass.json"));
  EXPECT_EQ(JsonValue(json, "exit_status"), "1");
  EXPECT_EQ(JsonValue(json, "rs_uncorrectable_frames"), "0");
  EXPECT_NE(JsonValue(json, "cadus"), "0");

  // No satellite marker: no chain ran, nothing was written.
  run = Shell(Cli("pass.bin --report none.json"));
  EXPECT_EQ(run.status, 1);
  json = ReadText(folder.File("none.json"));
  EXPECT_EQ(JsonValue(json, "product"), "null");
  EXPECT_EQ(JsonValue(json, "exit_status"), "1");

  // A report that cannot be written is refused before the run, with the system's reason.
  std::filesystem::remove(folder.File("FY3B_2012-12-31_2359.C10"));
  run = Shell(Cli(name + " DR_y -q --report missing/pass.json"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output, "vantrel-cli: cannot write the report '" +
                            folder.File("missing/pass.json") + "': its folder '" +
                            folder.File("missing") +
                            "': No such file or directory: nothing was done\n");
  EXPECT_FALSE(testing::FileExists(folder.File("FY3B_2012-12-31_2359.C10")));
  EXPECT_EQ(Shell(Cli(name + " --report")).status, 2);
}

TEST(CliRun, ReportHintsAtTheChannelAndTheManchesterDecoder) {
  testing::TempFolder folder;
  ASSERT_EQ(Shell(Sim("--sat metop --packets 3 --out MetopB_20181231_101530.bin")).status, 0);
  ProgramRun run = Shell(Cli("MetopB_20181231_101530.bin DR_y --vcid 10"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, "VCID 10: none; channels seen: 9, 63")) << run.output;

  ASSERT_EQ(Shell(Sim("--sat mn2 --lines 4 --manchester --out MN2_20181231_101530.bin")).status, 0);
  run = Shell(Cli("MN2_20181231_101530.bin"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, "try MN_y")) << run.output;
  run = Shell(Cli("MN2_20181231_101530.bin --manchester"));
  EXPECT_EQ(run.status, 0);
  EXPECT_FALSE(Contains(run.output, "Hint:")) << run.output;
}

TEST(CliRun, UnwritableWorkingFolderIsReportedAndExitsOne) {
  testing::TempFolder folder;
  const std::string name = folder.File("MetopB_20181231_101530.bin");
  ASSERT_EQ(Shell(Sim("--sat metop --packets 2 --out " + name)).status, 0);
  // Nothing can be created in /proc, not even by root.
  const ProgramRun run = Shell("cd /proc && " + Cli(name));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, "vantrel-cli: Cannot lock the working folder '/proc'"))
      << run.output;
}

TEST(CliRun, ProductNameTakenByAFolderIsNotASuccess) {
  testing::TempFolder folder;
  const std::string name = "MetopB_20181231_101530.bin";
  ASSERT_EQ(Shell(Sim("--sat metop --packets 3 --out " + name)).status, 0);
  std::filesystem::create_directory(folder.File("MetopB_20181231_1015_M03.hpt"));
  const ProgramRun run = Shell(Cli(name + " DR_y"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, "Open output file failed!")) << run.output;
}

// --preview writes the quicklook beside the product of each family; a channel the instrument does
// not have leaves the product but fails the run; without a product there is no quicklook.
TEST(CliRun, PreviewWritesAPngBesideEachProduct) {
  testing::TempFolder folder;
  struct Family {
    const char* sim;
    const char* input;
    const char* switches;
    const char* product;
    const char* shows;
  };
  const Family families[] = {
      {"--sat metop --packets 3", "MetopB_20181231_101530.bin", "DR_y",
       "MetopB_20181231_1015_M03.hpt", "(AVHRR channel 2, 3 lines)"},
      {"--sat fy3 --lines 3", "FY3A_2010-05-12_052330.bin", "DR_y", "FY3A_2010-05-12_0523.C10",
       "(VIRR channel 2, 3 lines)"},
      {"--sat mn2 --lines 3", "MN2_20181231_101530.bin", "", "20181231_1015_MN2.dat",
       "(MSU-MR channel 2, 3 lines)"},
  };
  for (const Family& family : families) {
    ASSERT_EQ(Shell(Sim(std::string(family.sim) + " --out " + family.input)).status, 0);
    const ProgramRun run =
        Shell(Cli(std::string(family.input) + " " + family.switches + " --preview-channel 2"));
    EXPECT_EQ(run.status, 0) << run.output;
    const std::string png = folder.File(family.product) + ".png";
    EXPECT_TRUE(Contains(run.output, "Quicklook written to '" + png + "' " + family.shows))
        << run.output;
    const std::vector<uint8_t> bytes = testing::ReadFileBytes(png);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "PNG");
  }
  std::filesystem::remove(folder.File("20181231_1015_MN2.dat.png"));
  // A channel the instrument lacks is refused before the run: no product, no quicklook.
  std::filesystem::remove(folder.File("20181231_1015_MN2.dat"));
  ProgramRun run = Shell(Cli("MN2_20181231_101530.bin --preview-channel 7"));
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.output,
            "vantrel-cli: --preview-channel 7: MSU-MR has channels 1 to 6: nothing was done\n");
  EXPECT_FALSE(testing::FileExists(folder.File("20181231_1015_MN2.dat")));
  EXPECT_FALSE(testing::FileExists(folder.File("20181231_1015_MN2.dat.png")));
  // A run without a product writes no quicklook.
  testing::WriteFileBytes(folder.File("MetopC_20200101_000000.bin"), std::vector<uint8_t>(5000, 0));
  run = Shell(Cli("MetopC_20200101_000000.bin --preview"));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(testing::FileExists(folder.File("MetopC_20200101_0000_M04.hpt.png")));
}

// The bundled sample is what its README says: the simulator makes it again byte for byte, and it
// gives 160 HRPT minor frames.
TEST(CliRun, BundledSampleIsReproducibleAndGivesItsProduct) {
  testing::TempFolder folder;
  const std::string sample = std::string(VANTREL_SOURCE) + "/samples/MetopB_20181231_101530.bin";
  const ProgramRun made =
      Shell(Sim("--sat metop --satellite B --packets 160 --shift 5 --noise-before 3000 "
                "--symbol-errors 6 --marker-errors 2 --noise-after 2000 --out "
                "MetopB_20181231_101530.bin"));
  ASSERT_EQ(made.status, 0) << made.output;
  EXPECT_EQ(testing::ReadFileBytes(folder.File("MetopB_20181231_101530.bin")),
            testing::ReadFileBytes(sample));

  const ProgramRun run = Shell(Cli(sample + " DR_y RS_y -q"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(std::filesystem::file_size(folder.File("MetopB_20181231_1015_M03.hpt")),
            160 * kHptRecord);
}

}  // namespace
}  // namespace vantrel
