// Faults that strike while a run is going, through the driver in-process: the recording is cut
// short or removed between two records, from the event pump as a file manager would do it. A cut
// recording ends the run with the reason and no product; a removed one is still read whole (the
// open handle keeps it), so the product is complete and says so. A stop asked for from the pump
// either ends the run with nothing left or, once the product is in place, changes nothing.
#include <gtest/gtest.h>

#include <cstdlib>

#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

#include "app/driver.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "sim/simulator.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr uint64_t kSeed = 20240607;
constexpr size_t kPacket = 12966;
constexpr size_t kHptRecord = 13864;
constexpr size_t kInstrumentInPacket = 82;
constexpr size_t kInstrumentInRecord = 937;
constexpr size_t kInstrumentBytes = 12800;

// A host whose event pump does something to the recording at its n-th call, or stops the run
// (as Ctrl-C does) at every call from the n-th on, or from the first call that finds the file
// `stop_when_exists`.
// The faults below strike at a given call of the host's event pump, which the runner calls at
// every record only when the chain runs on one thread: these runs do.
const bool kOneThread = ::setenv("VANTREL_THREADS", "1", 1) == 0;

class MeddlingHost : public testing::RecordingHost {
 public:
  enum class Act { kCut, kRemove, kStop };
  Act act = Act::kCut;
  long at_call = 0;
  uintmax_t cut_to = 0;
  std::string stop_when_exists;
  bool acted = false;

  void ProcessEvents() override {
    ++events;
    if (act == Act::kStop) {
      if (events >= at_call &&
          (stop_when_exists.empty() || testing::FileExists(stop_when_exists))) {
        acted = true;
        throw RunCancelled(SIGINT);
      }
      return;
    }
    if (events != at_call) return;
    if (act == Act::kCut) {
      std::filesystem::resize_file(input_path, cut_to);
    } else {
      std::filesystem::remove(input_path);
    }
    acted = true;
  }
};

// A MetOp-B pass of 60 packets (about 1.2 MB, well past what the input stream buffers).
struct MetopPassFixture {
  testing::TempFolder folder;
  sim::MetopPass pass;
  MeddlingHost host;

  MetopPassFixture() {
    sim::MetopOptions options;
    options.packets = 60;
    pass = sim::MakeMetopPass(options, {true, true}, {}, kSeed);
    host.input_path = folder.File("MetopB_20181231_101530.bin");
    testing::WriteFileBytes(host.input_path, pass.recording.bytes);
    host.settings.PNdecoding = true;
    host.chain.BatchMode = true;
  }
  std::string Product() const { return folder.File("MetopB_20181231_1015_M03.hpt"); }
};

bool LoggedPart(const testing::RecordingHost& host, const std::string& part) {
  for (const std::string& line : host.log)
    if (line.find(part) != std::string::npos) return true;
  return false;
}

TEST(RunFaults, RecordingCutWhileTheRunReadsItEndsTheRunWithoutAProduct) {
  MetopPassFixture run;
  run.host.act = MeddlingHost::Act::kCut;
  run.host.at_call = 5;
  run.host.cut_to = 300000;
  const RunOutcome outcome = ProcessRecording(run.host);
  ASSERT_TRUE(run.host.acted);
  EXPECT_TRUE(outcome.failed);
  EXPECT_FALSE(outcome.close_program);
  const std::string size = std::to_string(run.pass.recording.bytes.size());
  EXPECT_NE(outcome.error.find("of its " + size + " bytes"), std::string::npos) << outcome.error;
  EXPECT_TRUE(run.host.Logged(outcome.error));
  EXPECT_FALSE(testing::FileExists(run.Product()));
  EXPECT_FALSE(LoggedPart(run.host, "processing DONE!"));
  EXPECT_EQ(run.host.chain.LastLineCount, 0);
  EXPECT_TRUE(run.host.process_enabled);  // ready for the next run
}

TEST(RunFaults, RecordingRemovedWhileTheRunReadsItIsStillReadWhole) {
  MetopPassFixture run;
  run.host.act = MeddlingHost::Act::kRemove;
  run.host.at_call = 5;
  const RunOutcome outcome = ProcessRecording(run.host);
  ASSERT_TRUE(run.host.acted);
  EXPECT_FALSE(testing::FileExists(run.host.input_path));
  EXPECT_FALSE(outcome.failed) << outcome.error;
  EXPECT_TRUE(outcome.close_program);
  const std::vector<uint8_t> hpt = testing::ReadFileBytes(run.Product());
  ASSERT_EQ(hpt.size(), run.pass.packets.size() * kHptRecord);
  for (size_t k = 0; k < run.pass.packets.size(); ++k) {
    const auto& packet = run.pass.packets[k];
    EXPECT_TRUE(std::equal(packet.begin() + kInstrumentInPacket,
                           packet.begin() + kInstrumentInPacket + kInstrumentBytes,
                           hpt.begin() + static_cast<long>(k * kHptRecord + kInstrumentInRecord)))
        << "record " << k;
  }
  EXPECT_EQ(run.host.chain.LastLineCount, static_cast<int32_t>(run.pass.packets.size()));
  EXPECT_EQ(run.pass.packets[0].size(), kPacket);
}

TEST(RunFaults, AStopBeforeTheProductIsInPlaceLeavesNothing) {
  MetopPassFixture run;
  run.host.settings.DFiles = true;
  run.host.act = MeddlingHost::Act::kStop;
  run.host.stop_when_exists = run.host.input_path;  // at once
  run.host.at_call = 40;                            // in the middle of the run
  const RunOutcome outcome = ProcessRecording(run.host);
  ASSERT_TRUE(run.host.acted);
  EXPECT_TRUE(outcome.stopped);
  EXPECT_EQ(outcome.stop_signal, SIGINT);
  EXPECT_TRUE(outcome.product.empty());
  EXPECT_FALSE(testing::FileExists(run.Product()));
  for (const char* left : {".vantrel-product.tmp", "cadu.pds", "APID.pkt"})
    EXPECT_FALSE(testing::FileExists(WorkingPath(left))) << left;
}

// A stop that comes once the product has been put in place (Ctrl-C a moment too late) does not
// turn a whole product into a stopped run: the run ends as it would have, product and all.
TEST(RunFaults, AStopAfterTheProductIsInPlaceChangesNothing) {
  MetopPassFixture run;
  run.host.settings.DFiles = true;
  run.host.act = MeddlingHost::Act::kStop;
  run.host.stop_when_exists = run.Product();
  const RunOutcome outcome = ProcessRecording(run.host);
  EXPECT_FALSE(outcome.stopped);
  EXPECT_FALSE(outcome.failed) << outcome.error;
  EXPECT_EQ(outcome.product, run.Product());
  EXPECT_EQ(testing::ReadFileBytes(run.Product()).size(), run.pass.packets.size() * kHptRecord);
  EXPECT_TRUE(run.host.Logged("Delete intermediate files...  OK!"));
}

// With the Manchester decoder on, the Meteor-M N2 chain reads the recording in its first stage.
TEST(RunFaults, ManchesterRecordingCutWhileReadEndsTheRun) {
  testing::TempFolder folder;
  sim::Mn2Options options;
  options.lines = 60;
  options.manchester = true;
  const sim::Mn2Pass pass = sim::MakeMn2Pass(options, {}, kSeed);
  MeddlingHost host;
  host.input_path = folder.File("MN2_20181231_101530.bin");
  testing::WriteFileBytes(host.input_path, pass.recording.bytes);
  host.settings.Manchester_box = true;
  host.chain.BatchMode = true;
  host.act = MeddlingHost::Act::kCut;
  host.at_call = 4;
  host.cut_to = 5000;
  ASSERT_GT(pass.recording.bytes.size(), size_t{1} << 20);
  const RunOutcome outcome = ProcessRecording(host);
  ASSERT_TRUE(host.acted);
  EXPECT_TRUE(outcome.failed);
  EXPECT_NE(outcome.error.find("ended after"), std::string::npos) << outcome.error;
  EXPECT_FALSE(testing::FileExists(folder.File("20181231_1015_MN2.dat")));
  // The run's satellite went with the run's session: the host's own session names none.
  EXPECT_THROW(host.RunSatellite(), StageError);
  EXPECT_EQ(host.chain.LastLineCount, 0);
}

}  // namespace
}  // namespace vantrel
