// vantrel-cli as scripts and services use it: -C for the working folder, --output-dir for the
// products, several inputs in one call with a summary line each and an exit status for all.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/programs.h"
#include "tests/support/shell.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

using testing::Cli;
using testing::Contains;
using testing::FileExists;
using testing::ProgramRun;
using testing::ReadFileBytes;
using testing::Shell;
using testing::Simulate;
using testing::TempFolder;

constexpr size_t kHptRecord = 13864;
constexpr size_t kC10Record = 27728;
const std::string kMetop = "MetopB_20181231_101530.bin";
const std::string kMetopProduct = "MetopB_20181231_1015_M03.hpt";
const std::string kFy3 = "FY3A_2010-05-12_052330.bin";
const std::string kFy3Product = "FY3A_2010-05-12_0523.C10";

// Names of the entries of `folder`, sorted.
std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(CliAutomation, WorkDirIsMadeAndTakesTheRunInputsStayRelativeToTheStart) {
  TempFolder folder;
  std::filesystem::create_directory(folder.File("in"));
  Simulate("--sat metop --packets 3", folder.File("in/" + kMetop));

  const ProgramRun run = Shell(Cli("-C runs/new in/" + kMetop + " DR_y --keep-files"));
  EXPECT_EQ(run.status, 0) << run.output;
  const std::string work = folder.File("runs/new");
  EXPECT_EQ(std::filesystem::file_size(work + "/" + kMetopProduct), 3 * kHptRecord);
  EXPECT_TRUE(FileExists(work + "/cadu.pds"));  // the working files are there too
  EXPECT_EQ(Entries(folder.path()), (std::vector<std::string>{"in", "runs"}));

  // A working folder that cannot be made: no run, exit 1, the reason.
  testing::WriteFileBytes(folder.File("plain"), {1});
  const ProgramRun blocked = Shell(Cli("--work-dir plain/sub in/" + kMetop + " DR_y"));
  EXPECT_EQ(blocked.status, 1);
  EXPECT_TRUE(Contains(blocked.output, "cannot make the working folder")) << blocked.output;
  EXPECT_FALSE(Contains(blocked.output, "Starting")) << blocked.output;
}

TEST(CliAutomation, OutputDirReceivesTheFinishedProductOnly) {
  TempFolder folder;
  Simulate("--sat metop --packets 4", folder.File(kMetop));
  const std::string out = folder.File("products/metop");
  // A product of the same name already there is replaced.
  std::filesystem::create_directories(out);
  testing::WriteFileBytes(out + "/" + kMetopProduct, {1, 2, 3});

  const ProgramRun run = Shell(Cli(kMetop + " DR_y -q -C work --output-dir products/metop"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output, "");
  EXPECT_EQ(Entries(out), std::vector<std::string>{kMetopProduct});  // no temporary name left
  EXPECT_EQ(std::filesystem::file_size(out + "/" + kMetopProduct), 4 * kHptRecord);
  // Only the run lock stays in the working folder.
  EXPECT_EQ(Entries(folder.File("work")), std::vector<std::string>{".vantrel.lock"});

  // The quicklook follows its product.
  const ProgramRun preview =
      Shell(Cli(kMetop + " DR_y -q --preview -C work --output-dir products/metop"));
  EXPECT_EQ(preview.status, 0) << preview.output;
  EXPECT_EQ(Entries(out), (std::vector<std::string>{kMetopProduct, kMetopProduct + ".png"}));
  EXPECT_EQ(Entries(folder.File("work")), std::vector<std::string>{".vantrel.lock"});
  std::filesystem::remove(out + "/" + kMetopProduct + ".png");

  // A recording without a line gives no product to move.
  testing::WriteFileBytes(folder.File("MetopC_20200101_000000.bin"), std::vector<uint8_t>(9000));
  const ProgramRun empty =
      Shell(Cli("MetopC_20200101_000000.bin -q -C work --output-dir products/metop"));
  EXPECT_EQ(empty.status, 1);
  EXPECT_EQ(Entries(out), std::vector<std::string>{kMetopProduct});

  // An output folder the product cannot go to: exit 1, the product kept in the working folder.
  const ProgramRun refused = Shell(Cli(kMetop + " DR_y -q -C work --output-dir /proc/vantrel"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_TRUE(Contains(refused.output, "cannot make the output folder")) << refused.output;
}

// Three inputs, the middle one without a product: exit 1, the two products written, a summary
// line per input in order; each product equal to the one a call of its own makes.
TEST(CliAutomation, SeveralInputsOneBad) {
  TempFolder folder;
  // The MetOp pass is cut in the middle of a packet: nothing of it may reach the next pass.
  Simulate("--sat metop --packets 5 --seed 7", folder.File("cut_" + kMetop));
  std::filesystem::resize_file(folder.File("cut_" + kMetop),
                               std::filesystem::file_size(folder.File("cut_" + kMetop)) * 6 / 10);
  std::filesystem::rename(folder.File("cut_" + kMetop), folder.File(kMetop));
  Simulate("--sat fy3 --lines 3", folder.File(kFy3));
  testing::WriteFileBytes(folder.File("MetopA_bad.bin"), std::vector<uint8_t>(5000, 0x55));
  Simulate("--sat metop --packets 3 --seed 9", folder.File("MetopC_20200101_000000.bin"));

  const ProgramRun run = Shell(Cli("-q --output-dir out -C work " + kMetop +
                                   " MetopA_bad.bin MetopC_20200101_000000.bin " + kFy3 + " DR_y"));
  EXPECT_EQ(run.status, 1) << run.output;
  const std::string out = folder.File("out");
  EXPECT_EQ(Entries(out),
            (std::vector<std::string>{kFy3Product, kMetopProduct, "MetopC_20200101_0000_M04.hpt"}));
  EXPECT_EQ(std::filesystem::file_size(out + "/" + kFy3Product), 3 * kC10Record);
  EXPECT_EQ(std::filesystem::file_size(out + "/MetopC_20200101_0000_M04.hpt"), 3 * kHptRecord);
  // With -q: the failure's line on standard error under the input's name, then the summary.
  const std::string no_line = "no line found in 'MetopA_bad.bin': no product was written";
  const size_t metop_lines = std::filesystem::file_size(out + "/" + kMetopProduct) / kHptRecord;
  EXPECT_GT(metop_lines, 0u);
  EXPECT_EQ(run.output, "vantrel-cli: MetopA_bad.bin: " + no_line + "\n" +  //
                            kMetop + ": " + out + "/" + kMetopProduct + ", " +
                            std::to_string(metop_lines) + " lines\n" +  //
                            "MetopA_bad.bin: no product: " + no_line + "\n" +
                            "MetopC_20200101_000000.bin: " + out +
                            "/MetopC_20200101_0000_M04.hpt, 3 lines\n" +  //
                            kFy3 + ": " + out + "/" + kFy3Product + ", 3 lines\n");

  // One call per input gives the same bytes.
  for (const std::string& input : {kMetop, std::string("MetopC_20200101_000000.bin"), kFy3}) {
    const ProgramRun alone = Shell(Cli("-q -C alone " + input + " DR_y"));
    EXPECT_EQ(alone.status, 0) << input << alone.output;
  }
  for (const std::string& product :
       {kMetopProduct, std::string("MetopC_20200101_0000_M04.hpt"), kFy3Product})
    EXPECT_EQ(ReadFileBytes(out + "/" + product), ReadFileBytes(folder.File("alone/" + product)))
        << product;

  // Every input good: exit 0; without -q each log comes under its input's name.
  const ProgramRun good = Shell(Cli(kFy3 + " MetopC_20200101_000000.bin DR_y -C work"));
  EXPECT_EQ(good.status, 0) << good.output;
  EXPECT_TRUE(Contains(good.output, "==> " + kFy3 + " <==\nStarting")) << good.output;
  EXPECT_TRUE(Contains(good.output, "==> MetopC_20200101_000000.bin <==\nStarting"));
}

}  // namespace
}  // namespace vantrel
