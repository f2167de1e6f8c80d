#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/file_io.h"
#include "core/live_source.h"
#include "core/stage_host.h"

namespace vantrel {

// What a running step works with: the host it reports to (its log lines, lamp and signal; the
// run's session), the stream it reads and the one it writes, both opened for it by the runner.
// The paths name them in log lines: the working file a stream is kept as (whether it is kept or
// not), or the recording.
struct StepIo {
  StepIo(StageHost& host_, InputFile& input_, OutputFile& output_)
      : host(host_), input(input_), output(output_) {}
  StageHost& host;
  InputFile& input;
  // Not open for a final writer, which writes its product itself.
  OutputFile& output;
  std::string input_path;
  std::string output_path;
  // The input's size in bytes when it is a file; -1 for a stream from the step before.
  int64_t input_size = -1;
  // The runner runs the steps on threads of their own: a step may give part of its work to a
  // thread of its own too (false in the one-thread mode and for a step run alone).
  bool threads = false;
};

// One step of a chain: what it consumes and produces, and its body, which reads its input to the
// end (or until it must stop) and writes its output. A step keeps its engine, counts and log
// lines; files, threads, progress and cancellation are the runner's.
struct StepSpec {
  const char* name;  // "CVCDU": the progress label
  void (*body)(StepIo& io);
  const char* consumes;  // "CADUs (1020-byte code blocks)"
  const char* produces;  // "VCDUs (892 bytes)"; a final writer: "the product"
  // The working file the step's output is kept as; empty for a final writer.
  std::string_view writes;
  // The working file a step run on its own reads; empty: the recording.
  std::string_view reads = {};
};

// How the runner runs a chain.
struct RunnerOptions {
  // 0: every step on a thread of its own, with bounded streams between them (the default); 1:
  // the steps one after another on the caller's thread, each stream held whole in memory between
  // them (for tests and debugging; results are the same).
  int threads = 0;
  // Write each step's output as its working file too, byte for byte what passes.
  bool keep_files = false;
  // Bytes each stream between two threads holds at most.
  size_t stream_bytes = size_t{1} << 20;
};

// The number of threads the environment asks for: VANTREL_THREADS=1 runs every chain on one
// thread; unset (or anything else) the default.
int ThreadsFromEnvironment();

// Runs one chain: the first step reads the recording (`recording_path`, measured as
// `recording_bytes`, -1 when unknown), each next step what the one before wrote. Each step's log
// lines reach the host in chain order, whole step after whole step, exactly as if the steps ran
// one after another: a step's lines are held until every step before it has finished (the first
// step's come as they are written). The host's events (log, lamp, signal, progress from the
// recording's position, the running step's name) are sent from the caller's thread, which also
// runs the host's event pump; a RunCancelled it throws stops every step. When a step fails, the
// steps before it finish, the steps after it are stopped, and its error is thrown after its lines;
// of several failed steps the first in the chain counts.
class ChainRunner {
 public:
  ChainRunner(StageHost& host, std::vector<StepSpec> steps, RunnerOptions options);
  ~ChainRunner();
  ChainRunner(const ChainRunner&) = delete;
  ChainRunner& operator=(const ChainRunner&) = delete;

  // Called on the caller's thread just before step `index`'s lines are let through and its input
  // ends: every step before it has finished. The driver reads what the records showed here.
  void OnStepInputEnded(std::function<void(size_t index)> callback);

  // Shows every piece of step `index`'s output to `observer`, on that step's thread, before the
  // next step reads it. What it gathers may be read in OnStepInputEnded of a later step.
  void Observe(size_t index, std::function<void(std::span<const uint8_t>)> observer);

  // The first step reads `source` (a live input, not owned) instead of opening the recording:
  // its size is not known (-1), and Run's path only names it in messages. The runner reads it
  // on a thread of its own, with threads or without.
  void ReadFrom(LiveSource& source);

  // Called about once a second on the caller's thread while the chain runs, with the bytes the
  // first step has read so far and the latest signal the host was shown (null before any).
  void EverySecond(std::function<void(int64_t bytes_read, const SignalView* signal)> callback);

  // Runs the chain to its end; throws the error that ended it (RunCancelled for a stop).
  void Run(const std::string& recording_path, int64_t recording_bytes);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Runs one step alone on files, on the caller's thread and its host: its input is the working
// file `input` when given, else the one it `reads` (or the recording), its output the working
// file it `writes`, both in the working folder. For tests and benchmarks of one step.
void RunStepAlone(StageHost& host, const StepSpec& step, std::string_view input = {});

}  // namespace vantrel
