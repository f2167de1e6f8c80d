// The runner on its own: steps made for the test, run on one thread and on one thread each, must
// give the same bytes, the same log in chain order, and the same ending (an error, a stop).
#include "core/chain_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/record_blocks.h"
#include "core/record_pipe.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "tests/support/recording_host.h"
#include "tests/support/temp_folder.h"

namespace vantrel {
namespace {

constexpr size_t kPayload = size_t{3} << 20;  // several times a stream's ring

uint8_t PayloadByte(size_t i) {
  return static_cast<uint8_t>((i * 7 + (i >> 11)) & 0xFF);
}

// Reads its input in pieces of odd sizes and hands each byte on plus one, with a line at its
// start and one at its end; a mark on its input goes on at the same offset.
void AddOne(StepIo& io) {
  io.host.AppendLog(std::string("start ") + io.output_path);
  std::vector<uint8_t> piece(4099);
  int64_t offset = 0;
  size_t pieces = 0;
  while (const size_t got = io.input.Read(piece.data(), 1 + (pieces++ * 977) % piece.size())) {
    io.input.TakeMarks(offset + static_cast<int64_t>(got));
    for (; !io.input.Marks().empty(); io.input.Marks().pop_front())
      io.output.Mark(io.input.Marks().front());
    for (size_t i = 0; i < got; ++i) piece[i] = static_cast<uint8_t>(piece[i] + 1);
    io.output.Write(piece.data(), got);
    offset += static_cast<int64_t>(got);
    io.host.ProcessEvents();
  }
  io.host.AppendLog("end " + std::to_string(offset));
}

// Writes nothing, reads everything: the bytes and marks that reached the end of the chain.
std::vector<uint8_t> sunk;
std::vector<StreamMark> sunk_marks;
void Sink(StepIo& io) {
  io.host.AppendLog("sink start");
  std::vector<uint8_t> piece(65536);
  sunk.clear();
  while (const size_t got = io.input.Read(piece.data(), piece.size()))
    sunk.insert(sunk.end(), piece.begin(), piece.begin() + static_cast<ptrdiff_t>(got));
  io.input.TakeMarks(static_cast<int64_t>(sunk.size()) + 1);
  sunk_marks.assign(io.input.Marks().begin(), io.input.Marks().end());
  io.host.AppendLog("sink end");
}

// Fails after a first piece, or at once.
void FailMidStream(StepIo& io) {
  io.host.AppendLog("failing step start");
  std::vector<uint8_t> piece(1000);
  io.input.Read(piece.data(), piece.size());
  throw StageError("the step failed mid-stream");
}
void FailAtOnce(StepIo& io) {
  io.host.AppendLog("failing at once");
  throw StageError("the later step failed");
}

// Never ends by itself.
void Endless(StepIo& io) {
  std::vector<uint8_t> piece(4096, 1);
  for (;;) {
    io.output.Write(piece.data(), piece.size());
    io.host.ProcessEvents();
  }
}

const StepSpec kAddOne = {"add one", AddOne, "bytes", "bytes", "plus-one.bin"};
const StepSpec kAddOneMore = {"add one more", AddOne, "bytes", "bytes", "plus-two.bin"};
const StepSpec kSink = {"sink", Sink, "bytes", "nothing", {}};
const StepSpec kFailMidStream = {"fail", FailMidStream, "bytes", "bytes", "failed.bin"};
const StepSpec kFailAtOnce = {"fail at once", FailAtOnce, "bytes", "nothing", {}};
const StepSpec kEndless = {"endless", Endless, "bytes", "bytes", "endless.bin"};

// Stops the run once the runner has pumped its events this often.
class StoppingHost : public testing::RecordingHost {
 public:
  long stop_after = -1;
  void ProcessEvents() override {
    RecordingHost::ProcessEvents();
    if (stop_after >= 0 && events >= stop_after) throw RunCancelled(15);
  }
};

class ChainRunnerTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    std::vector<uint8_t> payload(kPayload);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = PayloadByte(i);
    testing::WriteFileBytes(recording, payload);
  }

  // Runs `steps` on the recording; the error's message, or empty.
  std::string Run(const std::vector<StepSpec>& steps, bool keep = false, size_t stream = 4096) {
    RunnerOptions options;
    options.threads = GetParam();
    options.keep_files = keep;
    options.stream_bytes = stream;
    ChainRunner runner(host, steps, options);
    runner.OnStepInputEnded([this](size_t index) {
      host.AppendLog("input of step " + std::to_string(index) + " ends");
    });
    try {
      runner.Run(recording, static_cast<int64_t>(kPayload));
    } catch (const StageError& error) {
      return error.what();
    }
    return {};
  }

  testing::TempFolder folder;
  StoppingHost host;
  std::string recording = folder.File("recording.bin");
};

TEST_P(ChainRunnerTest, BytesMarksAndLinesComeThroughInChainOrder) {
  EXPECT_EQ(Run({kAddOne, kAddOneMore, kSink}, /*keep=*/true), "");
  ASSERT_EQ(sunk.size(), kPayload);
  size_t wrong = 0;
  for (size_t i = 0; i < kPayload; ++i)
    wrong += sunk[i] != static_cast<uint8_t>(PayloadByte(i) + 2);
  EXPECT_EQ(wrong, 0u);
  // Each step's lines whole, step after step, with the input's end between them.
  const std::string size = std::to_string(kPayload);
  EXPECT_EQ(host.log, (std::vector<std::string>{
                          "start " + WorkingPath("plus-one.bin"), "end " + size,
                          "input of step 1 ends", "start " + WorkingPath("plus-two.bin"),
                          "end " + size, "input of step 2 ends", "sink start", "sink end"}));
  // A kept working file is what passed.
  const std::vector<uint8_t> kept = testing::ReadFileBytes(WorkingPath("plus-two.bin"));
  EXPECT_TRUE(kept == sunk);
  EXPECT_EQ(testing::ReadFileBytes(WorkingPath("plus-one.bin")).size(), kPayload);
}

TEST_P(ChainRunnerTest, NoWorkingFileUnlessKept) {
  EXPECT_EQ(Run({kAddOne, kSink}), "");
  EXPECT_EQ(sunk.size(), kPayload);
  EXPECT_FALSE(testing::FileExists(WorkingPath("plus-one.bin")));
}

TEST_P(ChainRunnerTest, StepFailingMidStreamEndsTheRunAfterTheStepsBeforeIt) {
  EXPECT_EQ(Run({kAddOne, kFailMidStream, kSink}), "the step failed mid-stream");
  // The step before finished its whole input; nothing of the step after it shows.
  EXPECT_EQ(host.log, (std::vector<std::string>{"start " + WorkingPath("plus-one.bin"),
                                                "end " + std::to_string(kPayload),
                                                "input of step 1 ends", "failing step start"}));
}

TEST_P(ChainRunnerTest, FirstFailedStepOfTheChainCounts) {
  EXPECT_EQ(Run({kAddOne, kFailMidStream, kFailAtOnce}), "the step failed mid-stream");
  EXPECT_FALSE(host.Logged("failing at once"));
}

TEST_P(ChainRunnerTest, StopEndsEveryStep) {
  // The stop is thrown as the host threw it, and no step's thread is left.
  host.stop_after = 3;
  RunnerOptions options;
  options.threads = GetParam();
  ChainRunner runner(host, {kEndless, kAddOne, kSink}, options);
  EXPECT_THROW(runner.Run(recording, -1), RunCancelled);
}

INSTANTIATE_TEST_SUITE_P(Threads, ChainRunnerTest, ::testing::Values(1, 0),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == 1 ? std::string("OneThread")
                                                  : std::string("ThreadPerStep");
                         });

// A stream never holds more than its ring: the writer waits for the reader.
TEST(RecordPipe, WriterWaitsForTheReaderBeyondItsRing) {
  constexpr size_t kRing = 1000;
  RecordPipe pipe(kRing);
  std::thread writer([&pipe] {
    std::vector<uint8_t> bytes(10000);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
    pipe.Write(bytes.data(), bytes.size());
    pipe.Close();
  });
  std::vector<uint8_t> got(10000);
  size_t read = 0;
  while (read < got.size()) {
    const size_t n = pipe.Read(got.data() + read, 37);
    read += n;
    EXPECT_LE(pipe.BytesWritten(), static_cast<int64_t>(read + kRing));
    if (n == 0) break;
  }
  writer.join();
  ASSERT_EQ(read, got.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], static_cast<uint8_t>(i)) << i;
  EXPECT_EQ(pipe.Read(got.data(), 1), 0u);
}

// An aborted stream stops both ends; a discarded one lets the writer finish into nothing.
TEST(RecordPipe, AbortStopsBothEndsAndDiscardLetsTheWriterFinish) {
  RecordPipe aborted(16);
  std::thread writer([&aborted] {
    std::vector<uint8_t> bytes(1000);
    EXPECT_THROW(aborted.Write(bytes.data(), bytes.size()), StepCancelled);
  });
  aborted.Abort();
  writer.join();
  uint8_t byte = 0;
  EXPECT_THROW(aborted.Read(&byte, 1), StepCancelled);

  RecordPipe discarded(16);
  discarded.Discard();
  std::vector<uint8_t> bytes(1000);
  discarded.Write(bytes.data(), bytes.size());
  EXPECT_EQ(discarded.BytesWritten(), 1000);
}

// A growing stream (one-thread mode) keeps every byte in order across its growth.
TEST(RecordPipe, GrowingRingKeepsTheOrder) {
  RecordPipe pipe(0);
  std::vector<uint8_t> bytes(300000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 13);
  std::vector<uint8_t> got(bytes.size());
  // Read a little between writes, so the ring's start moves before it grows.
  pipe.Write(bytes.data(), 1000);
  ASSERT_EQ(pipe.Read(got.data(), 700), 700u);
  pipe.Write(bytes.data() + 1000, bytes.size() - 1000);
  pipe.Close();
  ASSERT_EQ(pipe.Read(got.data() + 700, got.size()), got.size() - 700);
  EXPECT_TRUE(got == bytes);
}

// Through a prompt pipe (a live run's) the record helpers hand each record on as it is made: the
// reader has the first record while the writer still holds the pipe open (a plain pipe keeps it
// back for a whole block, here until the writer gives up waiting and closes), and every record
// arrives whole and in order.
TEST(RecordPipe, PromptPipeHandsEachRecordOnAsItIsMade) {
  constexpr size_t kRecord = 892;
  constexpr int kRecords = 5;
  RecordPipe pipe(kRecordBlockBytes);
  pipe.SetPrompt();
  std::mutex mutex;
  std::condition_variable taken_changed;
  bool taken = false;
  std::atomic<bool> closed{false};
  std::thread writer([&] {
    OutputFile output;
    output.AttachPipe(pipe);
    RecordBlockWriter records(output);
    std::vector<uint8_t> record(kRecord);
    for (int k = 0; k < kRecords; ++k) {
      std::fill(record.begin(), record.end(), static_cast<uint8_t>(k));
      records.Write(record.data(), record.size());
    }
    {
      std::unique_lock lock(mutex);
      taken_changed.wait_for(lock, std::chrono::seconds(10), [&] { return taken; });
    }
    records.Flush();
    closed = true;
    pipe.Close();
  });
  InputFile input;
  input.AttachPipe(pipe);
  RecordBlockReader reader(input, kRecord);
  int count = 0;
  while (const uint8_t* record = reader.Next()) {
    if (count == 0) {
      EXPECT_FALSE(closed.load());
      const std::lock_guard lock(mutex);
      taken = true;
      taken_changed.notify_all();
    }
    EXPECT_EQ(record[0], count);
    EXPECT_EQ(record[kRecord - 1], count);
    ++count;
  }
  writer.join();
  EXPECT_EQ(count, kRecords);
}

}  // namespace
}  // namespace vantrel
