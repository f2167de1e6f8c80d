// A run tells the truth through vantrel-cli, whatever surrounds it: working files an earlier
// run left, a second run in the same folder, a signal during the writer, a rerun that finds
// nothing, markers in folder names, recordings named like the run's own files, a FIFO. Exit 0
// only with a whole, right product; otherwise exit 1 (or 130/143 for a signal), one line on
// standard error that says why, and no product that is not the truth.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <csignal>

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
using testing::TempFolder;
using testing::WriteFileBytes;

constexpr size_t kHptRecord = 13864;
// Packet bytes 82..12881 stand at record bytes 937..13736.
constexpr size_t kPacketBytes = 12966;
constexpr size_t kPacketDataStart = 82;
constexpr size_t kPacketDataEnd = 12882;
constexpr size_t kRecordDataStart = 937;

void SimulateMetop(const std::string& path, int packets, const std::string& extra = "") {
  testing::Simulate("--sat metop --packets " + std::to_string(packets) + " " + extra, path);
}

// True when `hpt` holds one record per packet of `packets` (the simulator's truth), in order.
bool HptCarriesPackets(const std::vector<uint8_t>& hpt, const std::vector<uint8_t>& packets) {
  const size_t count = packets.size() / kPacketBytes;
  if (hpt.size() != count * kHptRecord) return false;
  for (size_t k = 0; k < count; ++k) {
    if (!std::equal(packets.begin() + static_cast<long>(k * kPacketBytes + kPacketDataStart),
                    packets.begin() + static_cast<long>(k * kPacketBytes + kPacketDataEnd),
                    hpt.begin() + static_cast<long>(k * kHptRecord + kRecordDataStart)))
      return false;
  }
  return true;
}

// The stderr line of a failed run is its last line; -q leaves only it.
void ExpectOnlyTheReason(const ProgramRun& run, int status, const std::string& reason) {
  EXPECT_EQ(run.status, status) << run.output;
  EXPECT_EQ(run.output, "vantrel-cli: " + reason + "\n");
}

TEST(RunTruth, QuietRunsStillSayWhyTheyFailed) {
  TempFolder folder;
  ExpectOnlyTheReason(Shell(Cli("-q pass.bin")), 1,
                      "Cannot read '" + folder.File("pass.bin") +
                          "' (No such file or directory): the run ends here.");
  ExpectOnlyTheReason(Shell(Cli("-q MetopB_20990101_000000.bin")), 1,
                      "Cannot open '" + folder.File("MetopB_20990101_000000.bin") +
                          "' (No such file or directory): the run ends here.");
  SimulateMetop(folder.File("MetopB_20200101_000000.bin"), 2);
  ExpectOnlyTheReason(Shell(Cli("-q MetopB_20200101_000000.bin DR_n")), 1,
                      "no line found in 'MetopB_20200101_000000.bin': no product was written");
  // A usage error says why too, before the usage text.
  const ProgramRun usage = Shell(Cli("-q MetopB_20200101_000000.bin --vcid 64"));
  EXPECT_EQ(usage.status, 2);
  EXPECT_EQ(usage.output.rfind("vantrel-cli: ", 0), 0u) << usage.output;
}

// Working files of an earlier pass (kept, or left by a killed run) never reach a product: with
// the recording missing the run ends at once, and nothing of the old pass is written.
TEST(RunTruth, StaleWorkingFilesNeverMakeAProduct) {
  TempFolder folder;
  SimulateMetop(folder.File("MetopB_20181231_101530.bin"), 3);
  ASSERT_EQ(Shell(Cli("MetopB_20181231_101530.bin DR_y --keep-files -q")).status, 0);
  ASSERT_TRUE(FileExists(folder.File("cadu.pds")));
  const ProgramRun run = Shell(Cli("MetopB_20990101_000000.bin DR_y"));
  EXPECT_EQ(run.status, 1) << run.output;
  EXPECT_TRUE(Contains(run.output, "Removed 5 working files left by an earlier run.\n"));
  EXPECT_FALSE(Contains(run.output, "processing DONE!")) << run.output;
  EXPECT_FALSE(Contains(run.output, "Delete intermediate files")) << run.output;
  EXPECT_FALSE(FileExists(folder.File("MetopB_20990101_0000_M03.hpt")));
  for (const char* name : {"cadu.pds", "cvcdu.rs", "vcdu_x.vcd", "mpdu_x.mpd", "APID.pkt"})
    EXPECT_FALSE(FileExists(folder.File(name))) << name;
}

// A run holds its working folder: a second one there ends at once, exit 1, with the reason.
TEST(RunTruth, ASecondRunInTheSameFolderIsRefused) {
  TempFolder folder;
  SimulateMetop(folder.File("MetopB_20181231_101530.bin"), 2);
  // The test holds the folder as a running vantrel would.
  const int held = open(folder.File(".vantrel.lock").c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
  ExpectOnlyTheReason(Shell(Cli("-q MetopB_20181231_101530.bin DR_y")), 1,
                      "Another run is using the working folder '" + folder.path() + "'.");
  EXPECT_FALSE(FileExists(folder.File("MetopB_20181231_1015_M03.hpt")));
  // Another folder is independent.
  std::filesystem::create_directory(folder.File("other"));
  EXPECT_EQ(Shell("cd other && " + Cli("-q ../MetopB_20181231_101530.bin DR_y")).status, 0);
  close(held);
  EXPECT_EQ(Shell(Cli("-q MetopB_20181231_101530.bin DR_y")).status, 0);
}

// Two passes started together in one folder: each run either gives its own pass byte for byte
// or is refused; never exit 0 with a wrong product.
TEST(RunTruth, TwoRunsStartedTogetherNeverMixTheirPasses) {
  TempFolder folder;
  SimulateMetop(folder.File("MetopB_20181231_101530.bin"), 12, "--seed 1");
  SimulateMetop(folder.File("MetopC_20181231_101530.bin"), 9, "--seed 2");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    const ProgramRun both = Shell(Cli("-q MetopB_20181231_101530.bin DR_y") + " > b.out 2>&1 & " +
                                  Cli("-q MetopC_20181231_101530.bin DR_y") +
                                  " > c.out 2>&1; c=$?; wait $!; b=$?; echo $b $c");
    ASSERT_EQ(both.status, 0) << both.output;
    const int b_status = both.output[0] - '0';
    const int c_status = both.output[2] - '0';
    const struct {
      int status;
      const char* log;
      const char* input;
      const char* product;
    } runs[] = {{b_status, "b.out", "MetopB_20181231_101530.bin", "MetopB_20181231_1015_M03.hpt"},
                {c_status, "c.out", "MetopC_20181231_101530.bin", "MetopC_20181231_1015_M04.hpt"}};
    for (const auto& run : runs) {
      SCOPED_TRACE(run.input);
      const std::vector<uint8_t> log = ReadFileBytes(folder.File(run.log));
      const std::string text(log.begin(), log.end());
      if (run.status == 0) {
        EXPECT_TRUE(
            HptCarriesPackets(ReadFileBytes(folder.File(run.product)),
                              ReadFileBytes(folder.File(std::string(run.input) + ".packets"))));
      } else {
        EXPECT_EQ(run.status, 1);
        EXPECT_TRUE(Contains(text, "Another run is using the working folder")) << text;
      }
      std::filesystem::remove(folder.File(run.product));
    }
  }
}

// Starts vantrel-cli with `args` (its output into `log`), waits until `ready` exists in the
// current folder or the program has ended, sends `signal_number` and returns the exit status
// as a shell gives it (128 + signal for a program the signal killed).
int RunAndSignal(const std::vector<std::string>& args, const std::string& log,
                 const std::string& ready, int signal_number) {
  std::vector<std::string> words = {VANTREL_CLI};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int wait_status = 0;
  pid_t ended = 0;
  while (!FileExists(ready) && (ended = waitpid(pid, &wait_status, WNOHANG)) == 0) {
  }
  if (ended == 0) {
    kill(pid, signal_number);
    waitpid(pid, &wait_status, 0);
  }
  if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
  return WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : -1;
}

// Ctrl-C or SIGTERM while the writer runs: exit 130 or 143 with no product, no temporary
// product and no working files; or, when the run had finished, exit 0 and the whole product.
TEST(RunTruth, ASignalDuringTheWriterLeavesNoPartialProduct) {
  TempFolder folder;
  SimulateMetop(folder.File("MetopB_20181231_101530.bin"), 400);
  const std::vector<uint8_t> packets =
      ReadFileBytes(folder.File("MetopB_20181231_101530.bin.packets"));
  for (const auto& [signal, status] : {std::pair{SIGINT, 130}, std::pair{SIGTERM, 143}}) {
    SCOPED_TRACE(signal);
    // The signal comes as soon as the temporary product exists (or the run has ended).
    ProgramRun run;
    run.status = RunAndSignal({"-q", "MetopB_20181231_101530.bin", "DR_y"}, folder.File("log"),
                              ".vantrel-product.tmp", signal);
    const std::vector<uint8_t> log = ReadFileBytes(folder.File("log"));
    run.output.assign(log.begin(), log.end());
    const std::string product = folder.File("MetopB_20181231_1015_M03.hpt");
    if (run.status == 0) {
      EXPECT_TRUE(HptCarriesPackets(ReadFileBytes(product), packets));
      std::filesystem::remove(product);
    } else {
      EXPECT_EQ(run.status, status) << run.output;
      EXPECT_TRUE(Contains(run.output, "the run ends here.")) << run.output;
      EXPECT_FALSE(FileExists(product));
    }
    for (const char* left : {".vantrel-product.tmp", "cadu.pds", "APID.pkt"})
      EXPECT_FALSE(FileExists(folder.File(left))) << left;
  }
}

// A rerun that finds no line (a wrong switch) keeps the earlier product as it was.
TEST(RunTruth, ARerunWithoutLinesKeepsTheEarlierProduct) {
  TempFolder folder;
  SimulateMetop(folder.File("MetopB_20181231_101530.bin"), 3);
  ASSERT_EQ(Shell(Cli("-q MetopB_20181231_101530.bin DR_y")).status, 0);
  const std::vector<uint8_t> good = ReadFileBytes(folder.File("MetopB_20181231_1015_M03.hpt"));
  ASSERT_EQ(good.size(), 3 * kHptRecord);
  const ProgramRun rerun = Shell(Cli("MetopB_20181231_101530.bin DR_n"));
  EXPECT_EQ(rerun.status, 1);
  EXPECT_TRUE(Contains(rerun.output,
                       "HPT file created done!  0 lines found.\nNo line found: the "
                       "product '" +
                           folder.File("MetopB_20181231_1015_M03.hpt") + "' was not written.\n"))
      << rerun.output;
  EXPECT_EQ(ReadFileBytes(folder.File("MetopB_20181231_1015_M03.hpt")), good);
}

// The marker of the file's own name decides the chain, the product name and the FY-3 date.
TEST(RunTruth, TheFileNameMarkerWinsOverAFolderName) {
  TempFolder folder;
  std::filesystem::create_directory(folder.File("MetopB_station"));
  SimulateMetop(folder.File("MetopB_station/MetopC_20200101_010000.bin"), 2, "--satellite C");
  ProgramRun run = Shell(Cli("-q MetopB_station/MetopC_20200101_010000.bin DR_y"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(FileExists(folder.File("MetopC_20200101_0100_M04.hpt")));

  std::filesystem::create_directory(folder.File("FY3A_archive"));
  run = Shell(testing::Sim("--sat fy3 --lines 2 --out FY3A_archive/FY3A_2010-05-12_052330.bin"));
  ASSERT_EQ(run.status, 0) << run.output;
  run = Shell(Cli("FY3A_archive/FY3A_2010-05-12_052330.bin DR_y"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(Contains(run.output, "Date stamp: 2010-5-12\n")) << run.output;
  EXPECT_TRUE(FileExists(folder.File("FY3A_2010-05-12_0523.C10")));
}

// A recording named like a file the run writes is refused before anything is opened, and
// stays as it was.
TEST(RunTruth, ARecordingNamedLikeARunFileIsRefused) {
  TempFolder folder;
  const ProgramRun made = Shell(testing::Sim("--sat mn2 --lines 3 --manchester --out MN2_.mnx"));
  ASSERT_EQ(made.status, 0) << made.output;
  const std::vector<uint8_t> recording = ReadFileBytes(folder.File("MN2_.mnx"));
  const ProgramRun run = Shell(Cli("-q MN2_.mnx MN_y"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(
      Contains(run.output, "' is '" + folder.File("MN2_.mnx") + "', a file this run writes"))
      << run.output;
  EXPECT_EQ(ReadFileBytes(folder.File("MN2_.mnx")), recording);
}

// A FIFO as the recording is refused at once instead of waiting for a writer (the timeout only
// keeps a fault from hanging the test).
TEST(RunTruth, AFifoIsRefusedWithoutWaiting) {
  TempFolder folder;
  ASSERT_EQ(mkfifo(folder.File("MetopB_20181231_101530.bin").c_str(), 0600), 0);
  const ProgramRun run = Shell("timeout 20 " + Cli("-q MetopB_20181231_101530.bin"));
  ExpectOnlyTheReason(run, 1,
                      "Cannot open '" + folder.File("MetopB_20181231_101530.bin") +
                          "' (it is a FIFO): the run ends here.");
}

}  // namespace
}  // namespace vantrel
