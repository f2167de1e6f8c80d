// The files a call writes around its products tell the truth and touch nothing else: the report
// and the quicklook never land on the recording, a product, a working file or each other, never
// write through a link; an output folder that is the working folder under another path moves
// nothing; two inputs of one call never replace each other's product or recording; a report that
// cannot be written fails before the run; a closed or broken standard output costs only the log.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
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

constexpr size_t kHptRecord = 13864;
const std::string kMetop = "MetopB_20181231_101530.bin";
const std::string kProduct = "MetopB_20181231_1015_M03.hpt";
const std::string kQuicklook = kProduct + ".png";

void SimulateMetop(const std::string& path, int packets, const std::string& extra = "") {
  testing::Simulate("--sat metop --packets " + std::to_string(packets) + " " + extra, path);
}

std::vector<std::string> Entries(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool IsPng(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  return bytes.size() > 8 && std::string(bytes.begin() + 1, bytes.begin() + 4) == "PNG";
}

// Each of these report paths names a file of the run: refused before the run, exit 1, the
// reason, and nothing changed (the recording whole, no product, no report).
TEST(RunOutputs, AReportOnAFileOfTheRunIsRefusedBeforeTheRun) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 10);
  const std::vector<uint8_t> recording = ReadFileBytes(folder.File(kMetop));
  std::filesystem::create_hard_link(folder.File(kMetop), folder.File("other-name.json"));
  std::filesystem::create_directory(folder.File("work"));
  std::filesystem::create_symlink("work", folder.File("work-link"));
  const struct {
    const char* report;
    const char* options;
    std::string reason;
  } cases[] = {
      {"MetopB_20181231_101530.bin", "", "it is the recording '" + folder.File(kMetop) + "'"},
      {"other-name.json", "", "it is the recording '" + folder.File(kMetop) + "'"},
      {"MetopB_20181231_1015_M03.hpt", "", "it is the product '" + folder.File(kProduct) + "'"},
      {"cadu.pds", "--keep-files", "it is the working file '" + folder.File("cadu.pds") + "'"},
      {"MetopB_20181231_1015_M03.hpt.png", "--preview",
       "it is the quicklook '" + folder.File(kQuicklook) + "'"},
      {"work-link/MetopB_20181231_1015_M03.hpt", "--output-dir work",
       "it is the product '" + folder.File("work/" + kProduct) + "'"},
      {"work/APID.pkt", "-C work-link",
       "it is the working file '" + folder.File("work/APID.pkt") + "'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    const ProgramRun run =
        Shell(Cli("-q " + kMetop + " DR_y " + c.options + " --report " + c.report));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "vantrel-cli: cannot write the report '" + folder.File(c.report) +
                              "': " + c.reason + ": nothing was done\n");
    EXPECT_EQ(ReadFileBytes(folder.File(kMetop)), recording);
    EXPECT_FALSE(FileExists(folder.File(kProduct)));
    EXPECT_FALSE(FileExists(folder.File("work/" + kProduct)));
  }
}

// /dev/full, a FIFO, a folder and a missing folder: refused at once (no hang), exit 1, the reason.
TEST(RunOutputs, AReportThatCannotBeWrittenFailsBeforeTheRun) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 3);
  ASSERT_EQ(mkfifo(folder.File("fifo.json").c_str(), 0600), 0);
  std::filesystem::create_directory(folder.File("folder.json"));
  std::filesystem::create_symlink("fifo.json", folder.File("link.json"));
  const struct {
    std::string report;
    std::string reason;
  } cases[] = {
      {"/dev/full", "it is a device"},
      {folder.File("fifo.json"), "it is a FIFO"},
      {folder.File("link.json"), "it is a link to a FIFO"},
      {folder.File("folder.json"), "it is a folder"},
      {folder.File("none/r.json"),
       "its folder '" + folder.File("none") + "': No such file or directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    const ProgramRun run =
        Shell("timeout 20 " + Cli("-q " + kMetop + " DR_y --report " + c.report));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output, "vantrel-cli: cannot write the report '" + c.report + "': " + c.reason +
                              ": nothing was done\n");
    EXPECT_FALSE(FileExists(folder.File(kProduct)));
  }
  // A link to a regular file is replaced by the report; the file it led to stays.
  testing::WriteFileBytes(folder.File("victim"), {1, 2, 3});
  std::filesystem::create_symlink("victim", folder.File("to-victim.json"));
  EXPECT_EQ(Shell(Cli("-q " + kMetop + " DR_y --report to-victim.json")).status, 0);
  EXPECT_EQ(ReadFileBytes(folder.File("victim")), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_FALSE(std::filesystem::is_symlink(folder.File("to-victim.json")));
  EXPECT_EQ(ReadFileBytes(folder.File("to-victim.json")).back(), '\n');
}

// The quicklook is written under a temporary name and renamed: a link at its name is replaced,
// the file it pointed at stays as it was, and no temporary file is left.
TEST(RunOutputs, ALinkAtTheQuicklookNameIsReplacedNotWrittenThrough) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 4);
  testing::WriteFileBytes(folder.File("victim"), {7, 7, 7});
  std::filesystem::create_symlink(folder.File("victim"), folder.File(kQuicklook));
  const ProgramRun run = Shell(Cli("-q " + kMetop + " DR_y --preview"));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(ReadFileBytes(folder.File("victim")), (std::vector<uint8_t>{7, 7, 7}));
  EXPECT_FALSE(std::filesystem::is_symlink(folder.File(kQuicklook)));
  EXPECT_TRUE(IsPng(folder.File(kQuicklook)));
  EXPECT_EQ(Entries(folder.path()),
            (std::vector<std::string>{".vantrel.lock", kMetop, kMetop + ".frames",
                                      kMetop + ".packets", kProduct, kQuicklook, "victim"}));

  // A folder at the quicklook's name, or a channel the instrument lacks: refused before the run.
  std::filesystem::remove(folder.File(kQuicklook));
  std::filesystem::remove(folder.File(kProduct));
  std::filesystem::create_directory(folder.File(kQuicklook));
  ProgramRun refused = Shell(Cli("-q " + kMetop + " DR_y --preview"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output, "vantrel-cli: cannot write the quicklook '" + folder.File(kQuicklook) +
                                "': it is a folder: nothing was done\n");
  EXPECT_FALSE(FileExists(folder.File(kProduct)));
  refused = Shell(Cli("-q " + kMetop + " DR_y --preview-channel 6"));
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.output,
            "vantrel-cli: --preview-channel 6: AVHRR has channels 1 to 5: nothing was done\n");
  EXPECT_FALSE(FileExists(folder.File(kProduct)));
}

// The working folder named once more as the output folder, by a link, by "..", and as a second
// mount of the folder: the product and its quicklook stay whole where they are.
TEST(RunOutputs, AnOutputFolderThatIsTheWorkingFolderMovesNothing) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 6);
  std::filesystem::create_directory(folder.File("work"));
  std::filesystem::create_symlink("work", folder.File("link"));
  std::filesystem::create_directory(folder.File("mounted"));
  const bool mounted = mount(folder.File("work").c_str(), folder.File("mounted").c_str(), nullptr,
                             MS_BIND, nullptr) == 0;
  std::vector<std::string> outputs = {"link", "work/../work", "./work"};
  if (mounted) outputs.push_back("mounted");
  for (const std::string& output : outputs) {
    SCOPED_TRACE(output);
    const ProgramRun run = Shell(Cli("-q -C work --preview --output-dir " + output + " " + kMetop +
                                     " DR_y --report r.json"));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(std::filesystem::file_size(folder.File("work/" + kProduct)), 6 * kHptRecord);
    EXPECT_TRUE(IsPng(folder.File("work/" + kQuicklook)));
    EXPECT_EQ(Entries(folder.File("work")),
              (std::vector<std::string>{".vantrel.lock", kProduct, kQuicklook}));
    const std::vector<uint8_t> report = ReadFileBytes(folder.File("r.json"));
    EXPECT_TRUE(Contains(std::string(report.begin(), report.end()),
                         "\"product\":\"" + folder.File("work/" + kProduct) + "\""));
  }
  if (mounted) {
    umount(folder.File("mounted").c_str());
  } else {
    GTEST_SKIP() << "cannot bind-mount here (" << std::strerror(errno)
                 << "): the second mount was not tried; the link and '..' were";
  }
}

// Two inputs with one product name: the first product stays, the second input fails and says
// why, and the summary tells where each went.
TEST(RunOutputs, TwoInputsOfOneProductNameNeverReplaceEachOther) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 5, "--seed 1");
  SimulateMetop(folder.File("MetopB_20181231_101545.bin"), 3, "--seed 2");
  std::filesystem::create_directory(folder.File("a"));
  std::filesystem::create_directory(folder.File("b"));
  std::filesystem::copy_file(folder.File(kMetop), folder.File("a/" + kMetop));
  std::filesystem::copy_file(folder.File("MetopB_20181231_101545.bin"), folder.File("b/" + kMetop));
  const struct {
    std::string inputs;
    std::string options;
    std::string product;  // where the first product goes
    std::string second;   // the second input as given
  } cases[] = {
      {kMetop + " MetopB_20181231_101545.bin", "", folder.File(kProduct),
       "MetopB_20181231_101545.bin"},
      {"a/" + kMetop + " b/" + kMetop, "", folder.File(kProduct), "b/" + kMetop},
      {"a/" + kMetop + " b/" + kMetop, "-C work --output-dir out", folder.File("out/" + kProduct),
       "b/" + kMetop},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.inputs + " " + c.options);
    std::filesystem::remove(c.product);
    const std::string first = c.inputs.substr(0, c.inputs.find(' '));
    const ProgramRun run = Shell(Cli("-q " + c.options + " " + c.inputs + " DR_y"));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(std::filesystem::file_size(c.product), 5 * kHptRecord);
    const std::string why =
        "product '" + c.product + "' was already written by '" + first + "' in this call";
    EXPECT_EQ(run.output, "vantrel-cli: " + c.second + ": " + why + "\n" + first + ": " +
                              c.product + ", 5 lines\n" + c.second + ": no product: " + why + "\n");
  }
}

// An input that is the product of an earlier input (or whose product would replace a later
// input) is refused before anything is written: the file named as a recording stays as it was.
TEST(RunOutputs, AnInputThatIsAnotherInputsProductIsNeverOverwritten) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 4);
  testing::WriteFileBytes(folder.File(kProduct), std::vector<uint8_t>(kHptRecord, 0x42));
  const ProgramRun run = Shell(Cli("-q " + kMetop + " " + kProduct + " DR_y"));
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(Contains(run.output, kMetop + ": no product: its product '" + folder.File(kProduct) +
                                       "' would replace the recording '" + kProduct +
                                       "' of this call: nothing was done\n"))
      << run.output;
  EXPECT_TRUE(Contains(run.output, kProduct + ": no product: '" + kProduct +
                                       "' is the product of '" + kMetop +
                                       "', an earlier input of this call: it is not processed\n"))
      << run.output;
  EXPECT_EQ(ReadFileBytes(folder.File(kProduct)), std::vector<uint8_t>(kHptRecord, 0x42));
}

// Several inputs give JSON Lines: one compact object a line, each valid JSON in valid UTF-8, a
// name with a byte that is not UTF-8 written as \xNN. Read back by Python's strict decoder.
TEST(RunOutputs, TheReportOfSeveralInputsIsJsonLinesInUtf8) {
  TempFolder folder;
  const std::string odd =
      "MetopB_20181231_1015\xE9"
      "30.bin";  // Latin-1 e-acute
  SimulateMetop(folder.File(odd), 3);
  SimulateMetop(folder.File("MetopC_20200101_000000.bin"), 2, "--satellite C");
  const ProgramRun run = Shell(
      Cli("-q '" + odd + "' MetopA_missing.bin MetopC_20200101_000000.bin DR_y --report r.json"));
  EXPECT_EQ(run.status, 1) << run.output;
  const ProgramRun check = Shell(
      "python3 -c 'import json,sys\n"
      "for line in open(sys.argv[1], encoding=\"utf-8\"):\n"
      "  assert line.endswith(\"}\\n\") and line.count(\"\\n\") == 1\n"
      "  r = json.loads(line)\n"
      "  print(r[\"product\"], r[\"product_lines\"], r[\"exit_status\"])' r.json");
  if (check.status != 0 && Contains(check.output, "not found")) GTEST_SKIP() << "no python3";
  EXPECT_EQ(check.status, 0) << check.output;
  EXPECT_EQ(check.output, folder.File("MetopB_20181231_1015\\xe9_M03.hpt") + " 3 0\n" +
                              "None 0 1\n" + folder.File("MetopC_20200101_0000_M04.hpt") +
                              " 2 0\n");
  // One input: one object, one line.
  ASSERT_EQ(Shell(Cli("-q MetopC_20200101_000000.bin DR_y --report one.json")).status, 0);
  const std::vector<uint8_t> one = ReadFileBytes(folder.File("one.json"));
  EXPECT_EQ(std::count(one.begin(), one.end(), '\n'), 1);
  EXPECT_EQ(one.front(), '{');
}

// Runs vantrel-cli in the current folder with standard output on the write end of a pipe whose
// reader is gone; returns the exit status and what came on standard error.
ProgramRun RunIntoABrokenPipe(const std::vector<std::string>& args) {
  int pipe_ends[2];
  int errors[2];
  if (pipe(pipe_ends) != 0 || pipe(errors) != 0) return {};
  close(pipe_ends[0]);
  std::vector<std::string> words = {VANTREL_CLI};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, errors[0]);
  // The child must die of SIGPIPE as any program would, unless it takes care.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  close(pipe_ends[1]);
  close(errors[1]);
  ProgramRun run;
  char buffer[4096];
  ssize_t got = 0;
  while ((got = read(errors[0], buffer, sizeof buffer)) > 0) run.output.append(buffer, got);
  close(errors[0]);
  if (spawned != 0) return run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

// `| head -n 1`, a reader gone, a closed standard output: the run goes on to its product, exits
// as usual and deletes its working files; standard error says once that the log was lost.
TEST(RunOutputs, AClosedOrBrokenStandardOutputCostsOnlyTheLog) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 8);
  const ProgramRun head =
      Shell("{ " + Cli(kMetop + " DR_y") + " 2>/dev/null; echo $? > status; } | head -n 1");
  EXPECT_EQ(head.output.substr(0, head.output.find('\n')), "Starting ASM detection...");
  const std::vector<uint8_t> status = ReadFileBytes(folder.File("status"));
  EXPECT_EQ(std::string(status.begin(), status.end()), "0\n");
  EXPECT_EQ(std::filesystem::file_size(folder.File(kProduct)), 8 * kHptRecord);
  const std::vector<std::string> only = {".vantrel.lock",     kMetop,   kMetop + ".frames",
                                         kMetop + ".packets", kProduct, "status"};
  EXPECT_EQ(Entries(folder.path()), only);

  const std::string lost =
      "vantrel-cli: the log could not be written to standard output (Broken pipe): the run goes "
      "on without it\n";
  std::filesystem::remove(folder.File(kProduct));
  const ProgramRun broken = RunIntoABrokenPipe({kMetop, "DR_y"});
  EXPECT_EQ(broken.status, 0);
  EXPECT_EQ(broken.output, lost);
  EXPECT_EQ(std::filesystem::file_size(folder.File(kProduct)), 8 * kHptRecord);
  EXPECT_EQ(Entries(folder.path()), only);

  // Several inputs: the summary is lost too, the message still comes once.
  std::filesystem::remove(folder.File(kProduct));
  const ProgramRun several = RunIntoABrokenPipe({kMetop, "MetopA_missing.bin", "DR_y"});
  EXPECT_EQ(several.status, 1);
  EXPECT_TRUE(Contains(several.output, lost)) << several.output;
  EXPECT_EQ(several.output.find(lost), several.output.rfind(lost)) << several.output;
  EXPECT_EQ(std::filesystem::file_size(folder.File(kProduct)), 8 * kHptRecord);

  std::filesystem::remove(folder.File(kProduct));
  const ProgramRun closed = Shell("(" + Cli(kMetop + " DR_y") + " >&-)");
  EXPECT_EQ(closed.status, 0);
  EXPECT_EQ(closed.output,
            "vantrel-cli: the log could not be written to standard output (Bad file descriptor): "
            "the run goes on without it\n");
  EXPECT_EQ(std::filesystem::file_size(folder.File(kProduct)), 8 * kHptRecord);
  EXPECT_EQ(Entries(folder.path()), only);
}

// The program killed (SIGKILL: nothing can hold it off) the moment the report first appears:
// the report is absent or holds whole lines only, never a part of one. (SIGINT and SIGTERM are
// held off while the report is written, so they cannot cut it either.)
TEST(RunOutputs, AKilledCallNeverLeavesAPartialReport) {
  TempFolder folder;
  std::string inputs;
  for (int k = 0; k < 3; ++k) {
    const std::string name = "MetopB_2018123" + std::to_string(k) + "_101530.bin";
    SimulateMetop(folder.File(name), 40, "--seed " + std::to_string(k + 1));
    inputs += name + " ";
  }
  std::filesystem::create_directory(folder.File("reports"));
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    std::filesystem::remove(folder.File("reports/r.json"));
    std::vector<std::string> words = {VANTREL_CLI, "-q",       "-C",
                                      "work",      "--report", "reports/r.json"};
    for (size_t at = 0, next; at < inputs.size(); at = next + 1) {
      next = inputs.find(' ', at);
      words.push_back(inputs.substr(at, next - at));
    }
    words.push_back("DR_y");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    pid_t ended = 0;
    while (!FileExists(folder.File("reports/r.json")) &&
           (ended = waitpid(pid, &status, WNOHANG)) == 0) {
    }
    if (ended == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
    }
    const std::vector<uint8_t> bytes = ReadFileBytes(folder.File("reports/r.json"));
    const std::string report(bytes.begin(), bytes.end());
    // A report that is there holds at least the first input's line.
    EXPECT_EQ(report.empty(), !FileExists(folder.File("reports/r.json")));
    for (size_t at = 0; at < report.size();) {
      const size_t end = report.find('\n', at);
      ASSERT_NE(end, std::string::npos) << report;
      EXPECT_EQ(report[at], '{') << report;
      EXPECT_EQ(report[end - 1], '}') << report;
      at = end + 1;
    }
  }
}

// A second recording without a marker is an error, not a switch; a name left hidden by the
// naming rule gets its marker back.
TEST(RunOutputs, NamesThatWouldMislead) {
  TempFolder folder;
  SimulateMetop(folder.File(kMetop), 2);
  testing::WriteFileBytes(folder.File("pass2.bin"), {1});
  const ProgramRun run = Shell(Cli("-q " + kMetop + " DR_y pass2.bin"));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.output.substr(0, run.output.find('\n')),
            "vantrel-cli: no satellite marker in 'pass2.bin' (a recording's name needs MetopA_, "
            "MetopB_, MetopC_, FY3A_, FY3B_, FY3C_, MN2_, MN22_, MN23_ or MN24_, or --satellite)");
  EXPECT_FALSE(FileExists(folder.File(kProduct)));
  // A switch value stays a switch even when a file has its name.
  testing::WriteFileBytes(folder.File("DR_y"), {1});
  EXPECT_EQ(Shell(Cli("-q " + kMetop + " DR_y")).status, 0);

  SimulateMetop(folder.File("MetopA_.bin"), 2, "--satellite A");
  const ProgramRun hidden = Shell(Cli("-q MetopA_.bin DR_y"));
  EXPECT_EQ(hidden.status, 0) << hidden.output;
  EXPECT_EQ(std::filesystem::file_size(folder.File("MetopA_.bin_M02.hpt")), 2 * kHptRecord);
  EXPECT_FALSE(FileExists(folder.File(".bin_M02.hpt")));
}

}  // namespace
}  // namespace vantrel
