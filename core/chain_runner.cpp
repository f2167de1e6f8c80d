#include "core/chain_runner.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {
namespace {

// How long the caller's thread waits for the steps' events before it runs the host's event pump
// and moves the progress bar again.
constexpr auto kTick = std::chrono::milliseconds(20);

// The progress bar counts KiB of the recording.
constexpr int kKiBShift = 10;

// Reads a file ahead of the step that reads it, on a thread of its own, through a stream: the
// system's copying of the recording into memory is done beside the first step's work, not in it.
// Ending it (at the latest when it goes) stops the thread.
class ReadAhead {
 public:
  ReadAhead(InputFile& file, size_t stream_bytes)
      : file_(&file), stream_(stream_bytes), thread_([this] { Run(); }) {}
  // A live input: read until it ends (a short read is only what has arrived so far).
  ReadAhead(LiveSource& source, size_t stream_bytes)
      : source_(&source), stream_(stream_bytes), thread_([this] { Run(); }) {}
  ~ReadAhead() {
    stream_.Abort();
    thread_.join();
  }
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;
  RecordPipe& Stream() { return stream_; }

 private:
  static constexpr size_t kPiece = size_t{1} << 18;

  void Run() {
    std::vector<uint8_t> piece(kPiece);
    try {
      if (source_ != nullptr) {
        while (const size_t got = source_->Read(piece.data(), piece.size()))
          stream_.Write(piece.data(), got);
        if (source_->Failed()) stream_.Fail();
        stream_.Close();
        return;
      }
      for (;;) {
        const size_t got = file_->Read(piece.data(), piece.size());
        stream_.Write(piece.data(), got);
        if (got < piece.size()) break;
      }
      if (file_->Failed()) stream_.Fail();
      stream_.Close();
    } catch (const StepCancelled&) {
      // The step ended before the file did.
    }
  }

  InputFile* file_ = nullptr;
  LiveSource* source_ = nullptr;
  RecordPipe stream_;
  std::thread thread_;
};

}  // namespace

int ThreadsFromEnvironment() {
  const char* value = std::getenv("VANTREL_THREADS");
  return value != nullptr && std::string_view(value) == "1" ? 1 : 0;
}

struct ChainRunner::State {
  // What a step's thread tells the caller's thread, in the order it happened.
  struct Event {
    enum class Kind { kLog, kLampActive, kLampColour, kFinished };
    Event(Kind kind_, size_t step_) : kind(kind_), step(step_) {}
    Kind kind;
    size_t step;
    std::string line;
    bool active = false;
    LampColour colour = LampColour::Green;
    std::exception_ptr error;  // kFinished: the step's own error
    bool cancelled = false;    // kFinished: the step was stopped
  };

  // The host a step reports to: its lines and lamp go to the caller's thread as events; the
  // progress it would show is the runner's; its event pump only tells it to stop.
  class StepHost final : public StageHost {
   public:
    StepHost(State& state, size_t step) : state_(state), step_(step) {}

    void AppendLog(const std::string& line) override {
      Event event{Event::Kind::kLog, step_};
      event.line = line;
      state_.Post(std::move(event));
    }
    void SetProgressMaximum(int64_t) override {}
    void SetProgressPosition(int64_t) override {}
    void SetSizeCaption(const std::string&) override {}
    bool LampActive() const override { return lamp_active_; }
    void SetLampActive(bool active) override {
      lamp_active_ = active;
      Event event{Event::Kind::kLampActive, step_};
      event.active = active;
      state_.Post(std::move(event));
    }
    LampColour GetLampColour() const override { return lamp_colour_; }
    void SetLampColour(LampColour colour) override {
      lamp_colour_ = colour;
      Event event{Event::Kind::kLampColour, step_};
      event.colour = colour;
      state_.Post(std::move(event));
    }
    void ProcessEvents() override {
      if (state_.stopping.load(std::memory_order_relaxed)) throw StepCancelled();
      if (state_.options.threads == 1) state_.Pump();
    }
    void ShowSignal(const SignalView& signal) override { state_.PostSignal(signal); }

    void TakeLamp(bool active, LampColour colour) {
      lamp_active_ = active;
      lamp_colour_ = colour;
    }

   private:
    State& state_;
    size_t step_;
    bool lamp_active_ = false;
    LampColour lamp_colour_ = LampColour::Green;
  };

  State(StageHost& host_, std::vector<StepSpec> steps_, RunnerOptions options_)
      : host(host_), steps(std::move(steps_)), options(options_) {}

  void Post(Event event) {
    {
      const std::lock_guard lock(mutex);
      events.push_back(std::move(event));
    }
    wake.notify_one();
  }
  // Signals come many times a second: only the latest waiting one is kept.
  void PostSignal(const SignalView& view) {
    const std::lock_guard lock(mutex);
    signal = view;
  }

  void RunStep(size_t k);
  // Hands the waiting events to the host and runs its pump (the caller's thread only). False
  // once the host asked the run to stop.
  bool Pump();
  void Handle(Event& event);
  void Advance();
  void ShowPosition(bool again);
  void Stop();

  StageHost& host;
  std::vector<StepSpec> steps;
  RunnerOptions options;
  std::function<void(size_t)> on_input_ended;
  std::vector<std::function<void(std::span<const uint8_t>)>> observers;

  std::string recording_path;
  LiveSource* live = nullptr;
  std::function<void(int64_t, const SignalView*)> every_second;
  std::optional<SignalView> last_signal;
  std::chrono::steady_clock::time_point last_second = std::chrono::steady_clock::now();
  std::vector<std::unique_ptr<RecordPipe>> pipes;  // pipes[k]: from step k to step k + 1
  std::vector<std::unique_ptr<StepHost>> step_hosts;
  std::vector<std::unique_ptr<InputFile>> inputs;

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Event> events;
  std::optional<SignalView> signal;

  // The caller's thread's own bookkeeping.
  std::vector<bool> finished;
  std::vector<std::exception_ptr> errors;
  std::vector<bool> cancelled;
  std::vector<std::vector<std::string>> held_lines;
  size_t frontier = 0;  // the first step not finished; its lines pass at once
  size_t running = 0;   // steps whose thread has not reported its end
  std::optional<size_t> failed;
  std::exception_ptr failure;  // the error of the failed step
  std::exception_ptr stop;     // what the host's pump threw
  std::atomic<bool> stopping{false};
  int64_t shown_position = -1;
};

void ChainRunner::State::RunStep(size_t k) {
  StepHost& step_host = *step_hosts[k];
  const StepSpec& step = steps[k];
  std::exception_ptr error;
  bool was_cancelled = false;
  try {
    InputFile& input = *inputs[k];
    OutputFile output;
    StepIo io{step_host, input, output};
    io.threads = options.threads != 1;
    // With threads, the recording is read ahead of the first step (declared before the step's
    // files: it stops first).
    InputFile recording;
    std::optional<ReadAhead> read_ahead;
    if (k == 0 && live != nullptr) {
      io.input_path = recording_path;
      read_ahead.emplace(*live, options.stream_bytes);
      input.AttachPipe(read_ahead->Stream());
    } else if (k == 0) {
      const bool ahead = options.threads != 1;
      io.input_path = recording_path;
      InputFile& file = ahead ? recording : input;
      OpenStageInput(step_host, recording_path, file);
      io.input_size = file.Size();
      if (ahead) {
        read_ahead.emplace(recording, options.stream_bytes);
        input.AttachPipe(read_ahead->Stream());
      }
    } else {
      io.input_path = WorkingPath(steps[k - 1].writes);
      input.AttachPipe(*pipes[k - 1]);
    }
    if (!step.writes.empty()) {
      io.output_path = WorkingPath(step.writes);
      if (options.keep_files) CreateStageOutput(step_host, io.output_path, output, input);
      if (k + 1 < steps.size()) output.AttachPipe(*pipes[k]);
    }
    step.body(io);
  } catch (const StepCancelled&) {
    was_cancelled = true;
  } catch (...) {
    error = std::current_exception();
  }
  // Whatever the step did not read is nobody's now; a step that ended early takes the rest of
  // the chain with it.
  if (k > 0) pipes[k - 1]->Discard();
  if ((error || was_cancelled) && k + 1 < steps.size()) pipes[k]->Abort();
  Event event{Event::Kind::kFinished, k};
  event.error = error;
  event.cancelled = was_cancelled;
  Post(std::move(event));
}

void ChainRunner::State::Handle(Event& event) {
  switch (event.kind) {
    case Event::Kind::kLog:
      if (event.step == frontier)
        host.AppendLog(event.line);
      else
        held_lines[event.step].push_back(std::move(event.line));
      break;
    case Event::Kind::kLampActive:
      host.SetLampActive(event.active);
      break;
    case Event::Kind::kLampColour:
      host.SetLampColour(event.colour);
      break;
    case Event::Kind::kFinished:
      finished[event.step] = true;
      errors[event.step] = event.error;
      cancelled[event.step] = event.cancelled;
      --running;
      Advance();
      break;
  }
}

// Moves the frontier over the steps that finished, in chain order: the next step's input ends and
// its held lines come out.
void ChainRunner::State::Advance() {
  while (frontier < steps.size() && finished[frontier] && !failed) {
    if (errors[frontier]) {
      failure = errors[frontier];
      failed = frontier;
      Stop();
      return;
    }
    if (cancelled[frontier]) return;  // stopped from outside: the stop says why
    ++frontier;
    if (frontier == steps.size()) return;
    if (on_input_ended) {
      // What the driver does here (naming the product from the data) may fail: as the step's.
      try {
        on_input_ended(frontier);
      } catch (...) {
        failure = std::current_exception();
        failed = frontier;
        Stop();
        return;
      }
    }
    for (const std::string& line : held_lines[frontier]) host.AppendLog(line);
    held_lines[frontier].clear();
    host.StageStarting(steps[frontier].name);
    ShowPosition(/*again=*/true);  // under the new step's label
    pipes[frontier - 1]->Close();
  }
}

// The progress bar follows what the first step has read of the recording.
void ChainRunner::State::ShowPosition(bool again) {
  const int64_t position = inputs[0]->BytesRead() >> kKiBShift;
  if (position == shown_position && !again) return;
  shown_position = position;
  host.SetProgressPosition(position);
}

void ChainRunner::State::Stop() {
  stopping.store(true, std::memory_order_relaxed);
  for (const std::unique_ptr<RecordPipe>& pipe : pipes) pipe->Abort();
}

bool ChainRunner::State::Pump() {
  std::deque<Event> taken;
  std::optional<SignalView> view;
  {
    const std::lock_guard lock(mutex);
    taken.swap(events);
    view.swap(signal);
  }
  for (Event& event : taken) Handle(event);
  if (view) host.ShowSignal(*view);
  ShowPosition(/*again=*/false);
  if (every_second && std::chrono::steady_clock::now() - last_second >= std::chrono::seconds(1)) {
    last_second = std::chrono::steady_clock::now();
    if (view) last_signal = std::move(view);
    every_second(inputs[0]->BytesRead(), last_signal ? &*last_signal : nullptr);
  } else if (every_second && view) {
    last_signal = std::move(view);
  }
  // Once the last step has finished, the product is in place: a stop asked now is too late.
  if (stop || (!steps.empty() && finished.back() && !errors.back() && !cancelled.back()))
    return !stop;
  try {
    host.ProcessEvents();
  } catch (const RunCancelled&) {
    stop = std::current_exception();
    Stop();
    return false;
  }
  return true;
}

ChainRunner::ChainRunner(StageHost& host, std::vector<StepSpec> steps, RunnerOptions options)
    : state_(std::make_unique<State>(host, std::move(steps), options)) {
  state_->observers.resize(state_->steps.size());
}

ChainRunner::~ChainRunner() = default;

void ChainRunner::OnStepInputEnded(std::function<void(size_t)> callback) {
  state_->on_input_ended = std::move(callback);
}

void ChainRunner::Observe(size_t index, std::function<void(std::span<const uint8_t>)> observer) {
  auto& slot = state_->observers.at(index);
  if (!slot) {
    slot = std::move(observer);
    return;
  }
  slot = [first = std::move(slot), second = std::move(observer)](std::span<const uint8_t> piece) {
    first(piece);
    second(piece);
  };
}

void ChainRunner::ReadFrom(LiveSource& source) {
  state_->live = &source;
}

void ChainRunner::EverySecond(
    std::function<void(int64_t bytes_read, const SignalView* signal)> callback) {
  state_->every_second = std::move(callback);
}

void ChainRunner::Run(const std::string& recording_path, int64_t recording_bytes) {
  State& s = *state_;
  const size_t n = s.steps.size();
  if (n == 0) return;
  s.recording_path = recording_path;
  const bool one_thread = s.options.threads == 1;
  for (size_t k = 0; k + 1 < n; ++k) {
    s.pipes.push_back(std::make_unique<RecordPipe>(one_thread ? 0 : s.options.stream_bytes));
    if (s.live != nullptr) s.pipes.back()->SetPrompt();
    if (s.observers[k]) s.pipes.back()->SetObserver(s.observers[k]);
  }
  for (size_t k = 0; k < n; ++k) {
    s.step_hosts.push_back(std::make_unique<State::StepHost>(s, k));
    s.step_hosts.back()->AttachSession(&s.host.Session());
    s.step_hosts.back()->TakeLamp(s.host.LampActive(), s.host.GetLampColour());
    s.inputs.push_back(std::make_unique<InputFile>());
  }
  s.finished.assign(n, false);
  s.errors.assign(n, nullptr);
  s.cancelled.assign(n, false);
  s.held_lines.assign(n, {});
  s.running = n;

  if (recording_bytes >= 0) {
    s.host.SetSizeCaption(Format("File size %lld bytes", static_cast<long long>(recording_bytes)));
    s.host.SetProgressMaximum(recording_bytes >> kKiBShift);
  } else if (s.live != nullptr) {
    s.host.SetProgressMaximum(0);  // a live input's length is known only at its end
  }
  s.host.SetProgressPosition(0);
  s.host.StageStarting(s.steps[0].name);

  if (one_thread) {
    for (size_t k = 0; k < n && !s.failed && !s.stop; ++k) {
      s.RunStep(k);
      s.Pump();
    }
  } else {
    std::vector<std::jthread> threads;
    threads.reserve(n);
    for (size_t k = 0; k < n; ++k) threads.emplace_back([&s, k] { s.RunStep(k); });
    std::exception_ptr host_error;
    while (s.running > 0) {
      {
        std::unique_lock lock(s.mutex);
        s.wake.wait_for(lock, kTick, [&s] { return !s.events.empty(); });
      }
      if (host_error) {
        // The host failed: only wait for the steps to end.
        const std::lock_guard lock(s.mutex);
        for (const State::Event& event : s.events)
          if (event.kind == State::Event::Kind::kFinished) --s.running;
        s.events.clear();
        continue;
      }
      try {
        s.Pump();
      } catch (...) {
        host_error = std::current_exception();
        s.Stop();
      }
    }
    threads.clear();
    if (host_error) std::rethrow_exception(host_error);
  }
  // Every thread has ended (a jthread joins as it goes).
  s.Pump();
  const bool product_written = !s.errors.back() && s.finished.back() && !s.cancelled.back();
  if (s.stop && !product_written) std::rethrow_exception(s.stop);
  if (s.failed) std::rethrow_exception(s.failure);
}

void RunStepAlone(StageHost& host, const StepSpec& step, std::string_view input_file) {
  InputFile input;
  OutputFile output;
  StepIo io{host, input, output};
  if (input_file.empty()) input_file = step.reads;
  io.input_path = input_file.empty() ? host.InputPath() : WorkingPath(input_file);
  OpenStageInput(host, io.input_path, input);
  io.input_size = input.Size();
  if (!step.writes.empty()) {
    io.output_path = WorkingPath(step.writes);
    CreateStageOutput(host, io.output_path, output, input);
  }
  step.body(io);
}

}  // namespace vantrel
