#include "bench/support/chain_bench.h"

#include <stdlib.h>
#include <sys/resource.h>

#include <cstdlib>
#include <filesystem>

#include "app/driver.h"
#include "core/working_file.h"

namespace vantrel::bench {

ScratchFolder::ScratchFolder() {
  path_ = (std::filesystem::temp_directory_path() / "vantrel-bench-XXXXXX").string();
  if (mkdtemp(path_.data()) == nullptr) std::abort();
  std::filesystem::current_path(path_);
}

ScratchFolder::~ScratchFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

int64_t MakeRecording(const std::string& name,
                      const std::function<void(sim::PassSinks&)>& simulate) {
  OutputFile recording;
  if (!recording.Create(WorkingPath(name))) std::abort();
  sim::PassSinks sinks;
  sinks.recording = [&](const uint8_t* data, size_t size) { recording.Write(data, size); };
  simulate(sinks);
  if (!recording.Close()) std::abort();
  return FileBytes(name);
}

int64_t FileBytes(std::string_view name) {
  return static_cast<int64_t>(std::filesystem::file_size(WorkingPath(name)));
}

void RemoveOutput(std::string_view name) {
  std::error_code ignored;
  std::filesystem::remove(WorkingPath(name), ignored);
}

void EnsureWorkingFiles(std::initializer_list<std::string_view> names,
                        const std::function<void(BasicHost&)>& prepare) {
  for (std::string_view name : names) {
    if (!std::filesystem::exists(WorkingPath(name))) {
      QuietHost host;
      prepare(host);
      host.settings.DFiles = false;
      ProcessRecording(host);
      return;
    }
  }
}

CpuTimes ProcessCpu() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& time) { return time.tv_sec + time.tv_usec * 1e-6; };
  return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
}

void CpuMeter::Stop() {
  const CpuTimes now = ProcessCpu();
  total_.user += now.user - start_.user;
  total_.kernel += now.kernel - start_.kernel;
}

void ReportRawRate(benchmark::State& state, int64_t recording_bytes, const CpuTimes& spent) {
  state.SetBytesProcessed(state.iterations() * recording_bytes);
  const double runs = static_cast<double>(state.iterations());
  state.counters["user_ms"] = spent.user * 1000 / runs;
  state.counters["kernel_ms"] = spent.kernel * 1000 / runs;
}

}  // namespace vantrel::bench
