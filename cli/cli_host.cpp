#include "cli/cli_host.h"

#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "core/live_source.h"
#include "core/log_format.h"
#include "core/stage_error.h"

namespace vantrel::cli {
namespace {

// The bar is redrawn at most this often. The runner calls the pump a few dozen times a second
// (on one thread, once per record: a clock read is some nanoseconds), so it reads the clock at
// every call.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);
constexpr int kBarWidth = 30;

// The signal that asked the run to stop, 0 while none did.
volatile std::sig_atomic_t stop_signal = 0;

extern "C" void RecordStopSignal(int signal_number) {
  stop_signal = signal_number;
}

// Set once standard output has failed: the errno that told it, later text is dropped.
int output_lost = 0;
// Standard output was closed when the program started (it is /dev/null now).
bool output_closed = false;

void LoseOutput(int error) {
  if (output_lost != 0) return;
  output_lost = error != 0 ? error : EIO;
  std::fprintf(stderr,
               "vantrel-cli: the log could not be written to standard output (%s): the "
               "run goes on without it\n",
               std::strerror(output_lost));
  std::fflush(stderr);
}

}  // namespace

void PrepareStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    if (fd == STDOUT_FILENO) output_closed = true;
    // The lower numbers are open by now, so the lowest free one is `fd`.
    const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
  std::signal(SIGPIPE, SIG_IGN);
}

void WriteStandardOutput(std::string_view text) {
  if (output_lost != 0) return;
  if (output_closed) return LoseOutput(EBADF);
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() || std::ferror(stdout))
    LoseOutput(errno);
}

void FlushStandardOutput() {
  if (output_lost != 0 || output_closed) return;
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) LoseOutput(errno);
}

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = RecordStopSignal;
  sigemptyset(&action.sa_mask);
  // One-shot: the default action comes back, so a second Ctrl-C ends a run that does not stop.
  action.sa_flags = SA_RESETHAND;
  for (const int signal_number : {SIGINT, SIGTERM}) {
    // A signal ignored at the start stays ignored (a shell ignores SIGINT for a job it starts
    // in the background).
    struct sigaction current {};
    sigaction(signal_number, nullptr, &current);
    if (current.sa_handler != SIG_IGN) sigaction(signal_number, &action, nullptr);
  }
}

CliHost::~CliHost() {
  Finish();
}

void CliHost::AppendLog(const std::string& line) {
  if (quiet_) return;
  ClearProgress();
  WriteStandardOutput(line);
  WriteStandardOutput("\n");
}

void CliHost::AppendWarning(const std::string& line) {
  AppendLog(line);
  if (!quiet_) return;
  ClearProgress();
  std::fprintf(stderr, "vantrel-cli: %s\n", line.c_str());
}

void CliHost::ProcessEvents() {
  if (stop_signal != 0 && !stop_ended_input_) {
    // On a live input the first signal is the pass's end: the input ends, and the chain makes the
    // product of what arrived. The handler is gone by now, so a second signal ends the process.
    if (EndLiveInputs(Format("signal %d asked the input to end", static_cast<int>(stop_signal)))) {
      stop_ended_input_ = true;
      return;
    }
    ClearProgress();
    throw RunCancelled(stop_signal);
  }
  if (!show_progress_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  DrawProgress();
}

void CliHost::StageStarting(std::string_view name) {
  // The position is the recording's, which the runner keeps: a new label keeps it.
  stage_ = name;
  FlushStandardOutput();
  if (show_progress_) DrawProgress();
}

void CliHost::Finish() {
  ClearProgress();
  FlushStandardOutput();
}

void CliHost::DrawProgress() {
  // The runner moves the bar with the recording's position; a stage run alone may count records
  // in ProgressCount.
  const int64_t position = std::max<int64_t>(progress_position, chain.ProgressCount);
  const int64_t maximum = progress_maximum;
  if (maximum <= 0) {
    // A live input's length is not known: how much has been read.
    FlushStandardOutput();
    std::fprintf(stderr, "\r%-24.24s %10.1f MiB read%*s", stage_.c_str(),
                 static_cast<double>(position) / 1024, kBarWidth - 8, "");
    std::fflush(stderr);
    progress_drawn_ = true;
    return;
  }
  const int percent =
      maximum > 0 ? static_cast<int>(std::min<int64_t>(100, position * 100 / maximum)) : 0;
  const int filled = percent * kBarWidth / 100;
  FlushStandardOutput();
  std::fprintf(stderr, "\r%-24.24s [%-*.*s] %3d%%", stage_.c_str(), kBarWidth, filled,
               "##############################", percent);
  std::fflush(stderr);
  progress_drawn_ = true;
}

void CliHost::ClearProgress() {
  if (!progress_drawn_) return;
  std::fprintf(stderr, "\r%*s\r", 24 + kBarWidth + 8, "");
  std::fflush(stderr);
  progress_drawn_ = false;
}

}  // namespace vantrel::cli
