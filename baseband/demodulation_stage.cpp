#include "baseband/demodulation_stage.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "baseband/demodulator.h"
#include "baseband/qpsk_demodulator.h"
#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {
namespace {

constexpr int kKiBShift = 10;
// The signal is shown to the host at most this often.
constexpr auto kShowInterval = std::chrono::milliseconds(250);
// Constellation points shown.
constexpr size_t kShownPoints = 512;

// Below this many samples per symbol the recording cuts QPSK's root-raised-cosine band (1.5 times
// the symbol rate), and the run says so.
constexpr double kFullBandSamplesPerSymbol = 1.5;

}  // namespace

// QPSK's matched filter and timing recovery work from kMinSamplesPerSymbol (qpsk_demodulator.h);
// Manchester-coded phase modulation's half-bits need about 1.4 samples each.
double MinSamplesPerSymbol(Modulation modulation) {
  switch (modulation) {
    case Modulation::kQpsk:
      return kMinSamplesPerSymbol;
    case Modulation::kPhaseManchester:
      break;
  }
  return 2.8;
}

std::unique_ptr<Demodulator> MakeDemodulator(Modulation modulation,
                                             const DemodulatorConfig& config) {
  switch (modulation) {
    case Modulation::kQpsk:
      return MakeQpskDemodulator(config);
    case Modulation::kPhaseManchester:
      break;
  }
  return MakeMeteorDemodulator(config);
}

namespace {

std::string SignalLine(const SignalReport& report) {
  if (!report.locked) return Format("Signal at %5.1f s: no lock", report.seconds);
  return Format("Signal at %5.1f s: carrier %+.1f kHz, Es/N0 %.1f dB, locked", report.seconds,
                report.carrier_offset_hz / 1000, report.snr_db);
}

// One piece of the recording on its way to the demodulator.
struct SampleBlock {
  std::vector<std::complex<float>> samples;  // a prepared block when `prepared`, else as read
  bool prepared = false;
  bool any_signal = false;   // some sample is not zero
  int64_t samples_read = 0;  // the reader's count once the piece was read
};

// Reads the recording's samples in the demodulator's whole blocks and prepares each one
// (Demodulator::Prepare). With `ahead`, on a thread of its own, up to kAhead blocks before the
// demodulator, so that reading, converting and preparing the samples do not hold it up; without,
// each block when it is asked for. The blocks and everything in them are the same either way.
// The reader belongs to the feeder until Stop().
class SampleFeeder {
 public:
  SampleFeeder(BasebandReader& reader, const Demodulator& demodulator, bool ahead)
      : reader_(reader), demodulator_(demodulator), block_samples_(demodulator.BlockSamples()) {
    if (ahead) thread_ = std::thread([this] { Run(); });
  }
  ~SampleFeeder() { Stop(); }
  SampleFeeder(const SampleFeeder&) = delete;
  SampleFeeder& operator=(const SampleFeeder&) = delete;

  // Puts the next piece in `block` (its old buffers are reused) and returns true, or returns
  // false at the end of the samples. Throws what reading threw, after the pieces read before.
  bool Next(SampleBlock& block) {
    if (!thread_.joinable()) {
      if (ended_) return false;
      Fill(block);
      ended_ = block.samples.empty();
      return !ended_;
    }
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return !filled_.empty() || ended_; });
    if (filled_.empty()) {
      if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
      return false;
    }
    std::swap(block, filled_.front());
    free_.push_back(std::move(filled_.front()));
    filled_.pop_front();
    changed_.notify_all();
    return !block.samples.empty();  // an empty piece is the end: nothing follows it
  }

  // Ends the reading (a read under way finishes first) and hands the reader back.
  void Stop() {
    if (!thread_.joinable()) return;
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  static constexpr size_t kAhead = 3;

  void Fill(SampleBlock& block) {
    const size_t want = block_samples_ > 0 ? block_samples_ : BasebandReader::kBlockSamples;
    raw_.clear();
    while (raw_.size() < want && reader_.Read(raw_, want - raw_.size()) > 0) {
    }
    block.any_signal =
        std::any_of(raw_.begin(), raw_.end(), [](std::complex<float> s) { return s != 0.0f; });
    block.samples_read = reader_.SamplesRead();
    block.prepared = block_samples_ > 0 && raw_.size() == block_samples_;
    if (block.prepared) {
      demodulator_.Prepare(raw_.data(), block.samples);
    } else {
      std::swap(block.samples, raw_);
    }
  }

  void Run() {
    for (;;) {
      SampleBlock block;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return stopping_ || filled_.size() < kAhead; });
        if (stopping_) return;
        if (!free_.empty()) {
          block = std::move(free_.back());
          free_.pop_back();
        }
      }
      bool end = false;
      try {
        Fill(block);
        end = block.samples.empty();
      } catch (...) {
        const std::lock_guard lock(mutex_);
        failure_ = std::current_exception();
        ended_ = true;
        changed_.notify_all();
        return;
      }
      const std::lock_guard lock(mutex_);
      filled_.push_back(std::move(block));
      if (end) ended_ = true;
      changed_.notify_all();
      if (end) return;
    }
  }

  BasebandReader& reader_;
  const Demodulator& demodulator_;
  const size_t block_samples_;
  std::vector<std::complex<float>> raw_;  // the feeding thread's (or the caller's) own
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<SampleBlock> filled_;
  std::vector<SampleBlock> free_;
  bool ended_ = false;
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace

void OpenBasebandRecording(StageHost& host, const std::string& path, InputFile& input, int64_t size,
                           BasebandReader& reader, bool log_warnings) {
  const std::string& format_choice = host.RunSettings().BasebandFormat;
  BasebandFormat format = ParseBasebandFormat(format_choice);
  if (!format_choice.empty() && format == BasebandFormat::kUnknown) {
    throw StageError(RunEndsHere(Format(
        "Unknown baseband format '%s': it is wav, cs16, cs8, cu8 or cf32", format_choice.c_str())));
  }
  const RecordingFacts& told = host.Chain().Recording;
  if (format == BasebandFormat::kUnknown) format = ParseBasebandFormat(told.sample_format);
  if (format == BasebandFormat::kUnknown) format = BasebandFormatFromExtension(path);
  int64_t rate_choice = host.RunSettings().SampleRate;
  // A rate the recording's name or metadata told serves a raw file; a WAV header's is its own.
  if (rate_choice <= 0 && format != BasebandFormat::kWav) rate_choice = told.sample_rate;
  if (format == BasebandFormat::kUnknown) {
    throw StageError(RunEndsHere(
        Format("The sample format of '%s' is not known: give --baseband-format (cs16, cs8, cu8 "
               "or cf32) or name the file by its format (.wav, .cs16, .cs8, .cu8, .cf32)",
               path.c_str())));
  }
  if (format == BasebandFormat::kWav) {
    if (!reader.OpenWav(input, size))
      throw StageError(RunEndsHere(Format("'%s': %s", path.c_str(), reader.Error().c_str())));
    if (rate_choice > 0 && rate_choice != reader.SampleRate()) {
      if (log_warnings)
        LogLine(
            host,
            "Warning: the WAV header says %u samples/s; the rate given, %lld samples/s, is used",
            reader.SampleRate(), static_cast<long long>(rate_choice));
      reader.OverrideSampleRate(static_cast<uint32_t>(rate_choice));
    }
    return;
  }
  if (rate_choice <= 0) {
    throw StageError(RunEndsHere(
        Format("The sample rate of '%s' is not known: a raw %s recording has no header, give "
               "--samplerate (samples per second)",
               path.c_str(), BasebandFormatName(format))));
  }
  if (told.header_bytes > 0) {
    // A header of the recorder's own (read by the driver): the samples follow it.
    std::vector<uint8_t> header(static_cast<size_t>(told.header_bytes));
    if (input.Read(header.data(), header.size()) != header.size())
      throw StageError(RunEndsHere(Format("'%s' ends inside its %lld-byte header", path.c_str(),
                                          static_cast<long long>(told.header_bytes))));
    if (size >= 0) size -= told.header_bytes;
  }
  if (!reader.OpenRaw(input, format, static_cast<uint32_t>(rate_choice), size))
    throw StageError(RunEndsHere(Format("'%s': %s", path.c_str(), reader.Error().c_str())));
}

void DemodulationStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  ChainState& chain = host.Chain();
  host.SetProgressPosition(0);
  const std::string& input_path = io.input_path;
  const std::string& output_path = io.output_path;
  const int64_t size = io.input_size;
  chain.Counts.input_bytes = size;
  // The report has the recording's baseband counts even when the run ends before its end.
  BasebandCounts& known = chain.Counts.baseband.emplace();
  known.file_bytes = size;

  BasebandReader reader;
  OpenBasebandRecording(host, input_path, input, size, reader);
  known.format = BasebandFormatName(reader.SampleFormat());
  known.sample_rate = reader.SampleRate();
  const Downlink& downlink = *host.RunSatellite().downlink;
  const double rate = reader.SampleRate();
  const double lowest = downlink.symbol_rate * MinSamplesPerSymbol(downlink.modulation);
  if (rate < lowest) {
    throw StageError(RunEndsHere(Format(
        "The sample rate of '%s', %.0f samples/s, is too low for %s at %.4g Msymbols/s: it needs "
        "at least %.0f samples/s (a wrong --samplerate, or another satellite's recording?)",
        input_path.c_str(), rate, downlink.signal, downlink.symbol_rate / 1e6, std::ceil(lowest))));
  }
  DemodulatorConfig config;
  config.sample_rate = rate;
  config.symbol_rate = downlink.symbol_rate;
  config.carrier_range_hz = static_cast<double>(host.RunSettings().CarrierRangeHz);
  if (config.carrier_range_hz > rate / 4) {
    throw StageError(RunEndsHere(
        Format("A carrier search of +-%.0f kHz does not fit a recording of %.0f samples/s: give a "
               "--carrier-range of at most %.0f kHz",
               config.carrier_range_hz / 1000, rate, rate / 4000)));
  }
  std::unique_ptr<Demodulator> demodulator;
  try {
    demodulator = MakeDemodulator(downlink.modulation, config);
  } catch (const std::invalid_argument& error) {
    throw StageError(
        RunEndsHere(Format("Cannot demodulate '%s': %s", input_path.c_str(), error.what())));
  }

  LogLine(host, "Starting demodulation (%s, %.4g Msymbols/s) of %s samples at %.0f samples/s...",
          downlink.signal, downlink.symbol_rate / 1e6, BasebandFormatName(reader.SampleFormat()),
          rate);
  if (downlink.modulation == Modulation::kQpsk &&
      rate < downlink.symbol_rate * kFullBandSamplesPerSymbol) {
    LogLine(host,
            "Warning: %.0f samples/s is %.2f samples per symbol, under the %.1f that hold the "
            "signal's whole band: demodulated with some loss (%.0f samples/s or more is better)",
            rate, rate / downlink.symbol_rate, kFullBandSamplesPerSymbol,
            std::ceil(downlink.symbol_rate * kFullBandSamplesPerSymbol));
  }
  host.SetSizeCaption(Format("File size %lld bytes", static_cast<long long>(size)));
  host.SetProgressMaximum(size >> kKiBShift);
  host.SetLampColour(LampColour::Green);
  host.SetLampActive(false);
  host.ProcessEvents();

  const int sample_bytes = BasebandSampleBytes(reader.SampleFormat());
  SampleFeeder feeder(reader, *demodulator, io.threads);
  SampleBlock block;
  std::vector<int8_t> soft;
  std::vector<SignalReport> reports;
  int64_t soft_values = 0;
  bool written = true;
  bool any_signal = false;
  auto shown = std::chrono::steady_clock::now() - kShowInterval;
  SignalView view;
  auto hand_on = [&] {
    written = output.Write(soft.data(), soft.size()) && written;
    soft_values += static_cast<int64_t>(soft.size());
    soft.clear();
  };
  // The seconds the demodulator completed, one log line each.
  auto log_reports = [&] {
    demodulator->TakeReports(reports);
    for (const SignalReport& report : reports) host.AppendLog(SignalLine(report));
    reports.clear();
  };
  while (written && feeder.Next(block)) {
    any_signal = any_signal || block.any_signal;
    if (block.prepared) {
      demodulator->ProcessPrepared(block.samples, soft);
    } else {
      demodulator->Process(block.samples.data(), block.samples.size(), soft);
    }
    hand_on();
    log_reports();
    const SignalReport now = demodulator->Current();
    if (now.locked != host.LampActive()) host.SetLampActive(now.locked);
    const auto clock = std::chrono::steady_clock::now();
    if (clock - shown >= kShowInterval) {
      shown = clock;
      view.seconds = now.seconds;
      view.carrier_offset_hz = std::isnan(now.carrier_offset_hz) ? 0 : now.carrier_offset_hz;
      view.snr_db = std::isnan(now.snr_db) ? 0 : now.snr_db;
      view.locked = now.locked;
      demodulator->RecentSymbols(view.points, kShownPoints);
      host.ShowSignal(view);
    }
    host.SetProgressPosition((block.samples_read * sample_bytes) >> kKiBShift);
    host.ProcessEvents();
  }
  // The reader is the step's again.
  feeder.Stop();
  if (written) {
    demodulator->Finish(soft);
    hand_on();
    log_reports();
  }
  host.SetLampActive(false);
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  EndRunIfDataLost(closed, input_path, output_path);
  if (reader.GetStatus() == BasebandReader::Status::kReadError)
    throw StageError(RunEndsHere(Format("'%s': %s", input_path.c_str(), reader.Error().c_str())));
  if (reader.GetStatus() != BasebandReader::Status::kEnd)
    LogLine(host, "Warning: %s", reader.Error().c_str());
  if (!reader.Warning().empty()) LogLine(host, "Warning: %s", reader.Warning().c_str());
  if (reader.NonFiniteValues() > 0 && any_signal) {
    LogLine(host, "Warning: %lld sample values were NaN or infinite and were read as 0",
            static_cast<long long>(reader.NonFiniteValues()));
  }

  const DemodulatorSummary& summary = demodulator->Summary();
  BasebandCounts counts;
  counts.demodulated = true;
  counts.format = BasebandFormatName(reader.SampleFormat());
  counts.sample_rate = static_cast<int64_t>(rate);
  counts.bytes_read = reader.BytesRead();
  counts.file_bytes = size;
  counts.samples = reader.SamplesRead();
  counts.locked_seconds = summary.locked_seconds;
  counts.locks_lost = static_cast<int64_t>(summary.locks_lost);
  counts.soft_values = soft_values;
  if (!std::isnan(summary.first_lock_seconds)) {
    counts.first_lock_seconds = summary.first_lock_seconds;
    counts.best_snr_db = std::isnan(summary.best_snr_db) ? 0 : summary.best_snr_db;
    counts.min_offset_hz = std::isnan(summary.min_offset_hz) ? 0 : summary.min_offset_hz;
    counts.max_offset_hz = std::isnan(summary.max_offset_hz) ? 0 : summary.max_offset_hz;
  }
  chain.Counts.baseband = counts;

  const double seconds = static_cast<double>(counts.samples) / rate;
  LogLine(host, "Samples read: %lld (%.1f s of recording)", static_cast<long long>(counts.samples),
          seconds);
  if (counts.samples == 0 || !any_signal) {
    const char* what = counts.samples == 0 ? "no samples"
                       : reader.NonFiniteValues() > 0
                           ? "only zero samples and samples that are not numbers (NaN or infinite)"
                           : "only zero samples";
    throw StageError(
        RunEndsHere(Format("'%s' holds %s: no signal to demodulate", input_path.c_str(), what)));
  }
  if (counts.first_lock_seconds < 0) {
    throw StageError(RunEndsHere(Format(
        "No signal found: no %s carrier within +-%.0f kHz locked in the %.1f s of '%s' (noise, a "
        "wrong sample rate or format, or another satellite's recording)",
        downlink.signal, config.carrier_range_hz / 1000, seconds, input_path.c_str())));
  }
  LogLine(host,
          "Lock held %.1f s from %.1f s on (locks lost %lld); Es/N0 at best %.1f dB; carrier "
          "%+.1f to %+.1f kHz",
          counts.locked_seconds, counts.first_lock_seconds,
          static_cast<long long>(counts.locks_lost), counts.best_snr_db,
          counts.min_offset_hz / 1000, counts.max_offset_hz / 1000);
  LogLine(host, "Demodulation done!  %lld soft symbols written to '%s'.",
          static_cast<long long>(soft_values), output_path.c_str());
  host.AppendLog("");
}

const StepSpec kDemodulationStep = {"Demodulation", DemodulationStep, "baseband I/Q samples",
                                    "8-bit soft symbols", WorkingFile::kDemodSoft};

void DemodulationStage(StageHost& host) {
  RunStepAlone(host, kDemodulationStep);
}

}  // namespace vantrel
