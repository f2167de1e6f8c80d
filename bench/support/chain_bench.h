#pragma once

// Shared pieces of the chain benchmarks: a scratch working folder holding one simulated
// recording, a host that drops the log, and the processor-time meter.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

#include "core/basic_host.h"
#include "core/file_io.h"
#include "sim/simulator.h"

namespace vantrel::bench {

// A host that drops the log.
class QuietHost : public BasicHost {
 public:
  void AppendLog(const std::string&) override {}
};

// A fresh folder made the working folder, removed with everything in it on destruction.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

 private:
  std::string path_;
};

// Writes a simulated recording named `name` into the working folder: `simulate` streams a pass
// into the sinks it is given, whose recording sink writes the file (it may add other sinks).
// Aborts when the file cannot be written. Returns its size in bytes.
int64_t MakeRecording(const std::string& name,
                      const std::function<void(sim::PassSinks&)>& simulate);

// Size of a working file.
int64_t FileBytes(std::string_view name);

// Removes a stage's output so that each run makes it anew, as a new pass does (rewriting a
// truncated file would make the file system flush it on close and measure the disk instead).
void RemoveOutput(std::string_view name);

// Runs the chain once with deletion off when one of `names` is missing from the working folder,
// so that the stage benchmarks find their inputs after a chain run deleted them.
void EnsureWorkingFiles(std::initializer_list<std::string_view> names,
                        const std::function<void(BasicHost&)>& prepare);

// Processor time of this process so far, user and kernel apart, in seconds.
struct CpuTimes {
  double user = 0;
  double kernel = 0;
};
CpuTimes ProcessCpu();

// Adds the processor time between construction and Stop() to a total.
class CpuMeter {
 public:
  explicit CpuMeter(CpuTimes& total) : total_(total), start_(ProcessCpu()) {}
  void Stop();

 private:
  CpuTimes& total_;
  CpuTimes start_;
};

// Bytes of raw recording per second, and the user and kernel processor time per iteration (file
// system work shows as kernel time).
void ReportRawRate(benchmark::State& state, int64_t recording_bytes, const CpuTimes& spent);

}  // namespace vantrel::bench
