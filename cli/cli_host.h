#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "core/basic_host.h"

namespace vantrel::cli {

// Makes SIGINT and SIGTERM ask the running chain to stop at its next record (the host's event
// pump throws RunCancelled); a second signal of either kind ends the process at once.
void InstallStopHandlers();

// Makes the program safe in the streams it was given: a closed standard input, output or error is
// opened on /dev/null (so no file the run opens can take its number and receive the log), and
// SIGPIPE is ignored, so a reader that goes away (`| head -n 1`) costs the log, not the run.
void PrepareStandardStreams();

// Writes `text` to standard output. When that fails (closed, a broken pipe, a full disk) the run
// goes on: standard error says so once, and later text is dropped.
void WriteStandardOutput(std::string_view text);
void FlushStandardOutput();

// The command line's host: the log goes to standard output, and a one-line progress bar (stage
// name, percent) to standard error when that is a terminal. The event pump reads the clock only
// when the bar is shown.
class CliHost : public BasicHost {
 public:
  CliHost(bool quiet, bool show_progress) : quiet_(quiet), show_progress_(show_progress) {}
  ~CliHost() override;

  void AppendLog(const std::string& line) override;
  // With -q on standard error, as failures are.
  void AppendWarning(const std::string& line) override;
  void ProcessEvents() override;
  void StageStarting(std::string_view name) override;
  // Clears the progress line and flushes the log.
  void Finish();

 private:
  void DrawProgress();
  void ClearProgress();

  bool quiet_;
  bool show_progress_;
  bool progress_drawn_ = false;
  bool stop_ended_input_ = false;  // a stop signal ended a live input instead of the run
  std::string stage_;
  std::chrono::steady_clock::time_point last_draw_{};
};

}  // namespace vantrel::cli
