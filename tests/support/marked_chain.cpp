#include "tests/support/marked_chain.h"

#include <cstdio>
#include <limits>

#include "core/working_file.h"

namespace vantrel::testing {
namespace {

// The marks the source puts and the sink found; one marked chain runs at a time.
std::vector<StreamMark> source_marks;
std::vector<StreamMark> sink_marks;
constexpr std::string_view kSourceCopy = ".marked-source";

void MarkedSource(StepIo& io) {
  std::vector<uint8_t> bytes(1 << 16);
  for (const StreamMark& mark : source_marks) io.output.Mark(mark);
  while (const size_t got = io.input.Read(bytes.data(), bytes.size()))
    io.output.Write(bytes.data(), got);
}

void MarkSink(StepIo& io) {
  std::vector<uint8_t> bytes(1 << 16);
  while (io.input.Read(bytes.data(), bytes.size()) > 0) {
  }
  io.input.TakeMarks(std::numeric_limits<int64_t>::max());
  sink_marks.assign(io.input.Marks().begin(), io.input.Marks().end());
}

}  // namespace

std::vector<StreamMark> RunMarkedChain(StageHost& host, const std::string& input,
                                       const std::vector<StreamMark>& marks,
                                       const std::vector<StepSpec>& steps, int threads) {
  source_marks = marks;
  sink_marks.clear();
  std::vector<StepSpec> chain = {{"source", MarkedSource, "bytes", "bytes", kSourceCopy}};
  chain.insert(chain.end(), steps.begin(), steps.end());
  chain.push_back({"sink", MarkSink, "bytes", "nothing", {}});
  RunnerOptions options;
  options.threads = threads;
  options.keep_files = true;
  ChainRunner runner(host, chain, options);
  runner.Run(WorkingPath(input), -1);
  std::remove(WorkingPath(kSourceCopy).c_str());
  return sink_marks;
}

}  // namespace vantrel::testing
