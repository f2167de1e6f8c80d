// Every step of every chain, run as the driver runs it, on the two faults any step can meet: its
// input is not there, or a folder stands where its output goes. Either ends the run with one log
// line and a reason naming the path, before anything is written or read.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "app/driver.h"
#include "core/working_file.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

// What the recording holds, as far as the chain's optional front-end steps go.
enum class FrontEnd { kHardBits, kManchester, kSoftSymbols, kBaseband };

const char* FrontEndName(FrontEnd front_end) {
  switch (front_end) {
    case FrontEnd::kHardBits:
      return "HardBits";
    case FrontEnd::kManchester:
      return "Manchester";
    case FrontEnd::kSoftSymbols:
      return "SoftSymbols";
    case FrontEnd::kBaseband:
      return "Baseband";
  }
  return "";
}

// One step of one chain in a run on one kind of recording, and what it reads there: the working
// file of the enabled step before it, or (empty) the recording.
struct StepCase {
  ChainKind kind;
  size_t step;
  FrontEnd front_end;
  std::string_view input;

  const ChainStep& Step() const { return Chain(kind).steps[step]; }
};

const char* ChainName(ChainKind kind) {
  switch (kind) {
    case ChainKind::MetOp:
      return "MetOp";
    case ChainKind::Fy3:
      return "Fy3";
    case ChainKind::Mn2:
      break;
  }
  return "Mn2";
}

// The recording a run of `kind` on `front_end` is made on, named as a station names it.
std::string RecordingName(ChainKind kind, FrontEnd front_end) {
  const char* base = kind == ChainKind::MetOp ? "MetopB_20181231_101530"
                     : kind == ChainKind::Fy3 ? "FY3B_2010-05-12_052330"
                                              : "MN2_20181231_101530";
  const char* extension = front_end == FrontEnd::kSoftSymbols ? ".soft"
                          : front_end == FrontEnd::kBaseband  ? ".cs16"
                                                              : ".bin";
  return std::string(base) + extension;
}

// The host of a run of `kind` on `front_end`, set as the driver sets it: the run's satellite (the
// one RecordingName marks), the recording's kind, and the Meteor-M chain's unchecked
// de-randomisation and Reed-Solomon.
void PrepareRun(testing::RecordingHost& host, ChainKind kind, FrontEnd front_end) {
  ChainState& chain = host.chain;
  host.SetSatellite(kind == ChainKind::MetOp ? "metop-b"
                    : kind == ChainKind::Fy3 ? "fy3b"
                                             : "meteor-m2");
  chain.BasebandInput = front_end == FrontEnd::kBaseband;
  chain.SoftInput = chain.BasebandInput || front_end == FrontEnd::kSoftSymbols;
  chain.ManchesterDone = kind == ChainKind::Mn2 && front_end == FrontEnd::kManchester;
  if (kind == ChainKind::Mn2) {
    host.settings.PNdecoding = false;
    host.settings.RSolomon = false;
  }
}

// Every enabled step of every chain on every kind of recording its front end takes; a step that
// reads the same file on several kinds is listed once, on the first.
std::vector<StepCase> AllStepCases() {
  std::vector<StepCase> cases;
  for (ChainKind kind : {ChainKind::MetOp, ChainKind::Fy3, ChainKind::Mn2}) {
    const ChainDefinition& definition = Chain(kind);
    for (FrontEnd front_end : {FrontEnd::kHardBits, FrontEnd::kManchester, FrontEnd::kSoftSymbols,
                               FrontEnd::kBaseband}) {
      if (front_end == FrontEnd::kManchester && kind != ChainKind::Mn2) continue;
      testing::RecordingHost host;
      PrepareRun(host, kind, front_end);
      std::string_view input;
      for (size_t i = 0; i < definition.steps.size(); ++i) {
        const ChainStep& step = definition.steps[i];
        if (!step.EnabledIn(host.chain)) continue;
        bool listed = false;
        for (const StepCase& c : cases)
          listed = listed || (c.kind == kind && c.step == i && c.input == input);
        if (!listed) cases.push_back({kind, i, front_end, input});
        input = step.writes();
      }
    }
  }
  return cases;
}

void PrintTo(const StepCase& c, std::ostream* out) {
  *out << ChainName(c.kind) << " " << c.Step().name() << " on " << FrontEndName(c.front_end)
       << ", reading " << (c.input.empty() ? std::string_view("the recording") : c.input);
}

// "MetOp_CADUextraction_SoftSymbols": the chain, the step and the recording's kind.
std::string CaseName(const ::testing::TestParamInfo<StepCase>& info) {
  std::string step;
  for (const char* c = info.param.Step().name(); *c != '\0'; ++c)
    if (std::isalnum(static_cast<unsigned char>(*c))) step += *c;
  return std::string(ChainName(info.param.kind)) + "_" + step + "_" +
         FrontEndName(info.param.front_end);
}

// The working folder's files and their bytes; a folder is listed with no bytes.
std::map<std::string, std::vector<uint8_t>> FolderContents() {
  std::map<std::string, std::vector<uint8_t>> contents;
  for (const auto& entry : std::filesystem::directory_iterator(WorkingFolder())) {
    const std::string name = entry.path().filename().string();
    contents[name] = entry.is_directory() ? std::vector<uint8_t>{}
                                          : testing::ReadFileBytes(entry.path().string());
  }
  return contents;
}

std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed);
  return bytes;
}

// How running the step alone on its files ended: the error's message, or empty.
std::string RunStepEnd(const StepSpec& step, testing::RecordingHost& host, std::string_view input) {
  try {
    RunStepAlone(host, step, input);
  } catch (const StageError& error) {
    return error.what();
  }
  return {};
}

class ChainStepFaults : public ::testing::TestWithParam<StepCase> {
 protected:
  testing::TempFolder folder;
  testing::RecordingHost host;

  void SetUp() override {
    const StepCase& c = GetParam();
    host.input_path = folder.File(RecordingName(c.kind, c.front_end));
    PrepareRun(host, c.kind, c.front_end);
    if (c.Step().raise_dat_header) host.chain.DatHeaderPending = true;
    // Values of the run so far, which a stage that ends at its files leaves alone.
    host.chain.ProgressCount = 7;
    host.chain.LastLineCount = 9;
  }

  const ChainStep& Step() const { return GetParam().Step(); }
  std::string InputPath() const {
    return GetParam().input.empty() ? host.input_path : WorkingPath(GetParam().input);
  }
  // Where the step writes: its working file, or the final writer's product.
  std::string OutputPath() {
    return Step().writes().empty() ? Chain(GetParam().kind).product_path(host)
                                   : WorkingPath(Step().writes());
  }
  void ExpectRunStateKept() const {
    EXPECT_EQ(host.chain.ProgressCount, 7);
    EXPECT_EQ(host.chain.LastLineCount, 9);
    EXPECT_EQ(host.chain.DatHeaderPending, Step().raise_dat_header);
  }
};

TEST_P(ChainStepFaults, InputMissing) {
  // The recording is there when the step reads a working file made from it.
  if (!GetParam().input.empty()) testing::WriteFileBytes(host.input_path, Pattern(8192, 1));
  // An earlier output of the step's name stays as it was.
  const std::string output = OutputPath();
  testing::WriteFileBytes(output, {1, 2, 3});
  const auto before = FolderContents();

  EXPECT_EQ(RunStepEnd(*Step().stage, host, GetParam().input),
            "Cannot open '" + InputPath() + "' (No such file or directory): the run ends here.");
  EXPECT_EQ(host.log, std::vector<std::string>{"Open input file failed!"});
  EXPECT_EQ(FolderContents(), before);
  ExpectRunStateKept();
}

TEST_P(ChainStepFaults, OutputUnwritable) {
  testing::WriteFileBytes(host.input_path, Pattern(8192, 1));
  if (!GetParam().input.empty()) testing::WriteFileBytes(InputPath(), Pattern(8192, 2));
  const std::string output = OutputPath();
  std::filesystem::create_directory(output);
  const auto before = FolderContents();

  // A working file's name is the program's own: what else stands there is not its file.
  const std::string kind =
      Step().writes().empty() ? "a folder" : "a folder, not a file this program made";
  EXPECT_EQ(RunStepEnd(*Step().stage, host, GetParam().input),
            "Cannot create '" + output + "' (it is " + kind + "): the run ends here.");
  EXPECT_EQ(host.log, std::vector<std::string>{"Open output file failed!"});
  // The input is left as it was, the folder in the output's place is empty and nothing else,
  // a temporary product included, was left behind.
  EXPECT_EQ(FolderContents(), before);
  EXPECT_TRUE(std::filesystem::is_empty(output));
  ExpectRunStateKept();
}

INSTANTIATE_TEST_SUITE_P(EveryStep, ChainStepFaults, ::testing::ValuesIn(AllStepCases()), CaseName);

// The table above reaches every step of every chain.
TEST(ChainStepFaultCases, CoverEveryStepOfEveryChain) {
  const std::vector<StepCase> cases = AllStepCases();
  for (ChainKind kind : {ChainKind::MetOp, ChainKind::Fy3, ChainKind::Mn2}) {
    for (size_t i = 0; i < Chain(kind).steps.size(); ++i) {
      bool found = false;
      for (const StepCase& c : cases) found = found || (c.kind == kind && c.step == i);
      EXPECT_TRUE(found) << ChainName(kind) << " " << Chain(kind).steps[i].name();
    }
  }
  // The CADU stage reads the recording, the decoded soft symbols and the Manchester decoder's
  // output: three cases in the Meteor-M chain.
  int mn2_cadu = 0;
  for (const StepCase& c : cases)
    if (c.kind == ChainKind::Mn2 && std::string_view(c.Step().name()) == "CADU extraction")
      ++mn2_cadu;
  EXPECT_EQ(mn2_cadu, 3);
}

}  // namespace
}  // namespace vantrel
