#include "app/driver.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <system_error>
#include <thread>

#include "app/front_end_probe.h"
#include "app/run_session.h"
#include "app/satellite_scan.h"
#include "baseband/baseband_reader.h"
#include "baseband/demodulation_stage.h"
#include "ccsds/apid_packet_extraction_stage.h"
#include "ccsds/mpdu_checking_stage.h"
#include "ccsds/vcdu_selection_stage.h"
#include "core/basic_host.h"
#include "core/file_io.h"
#include "core/folder_lock.h"
#include "core/live_source.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/pass_report.h"
#include "core/product_file.h"
#include "core/record_pipe.h"
#include "core/recording_metadata.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "fy3/c10_record.h"
#include "fy3/c10_writer.h"
#include "fy3/cut_mpdu_stage.h"
#include "fy3/inner_sync_stage.h"
#include "meteor/dat_writer.h"
#include "meteor/manchester_decoder.h"
#include "meteor/msu_mr_demultiplexer.h"
#include "metop/hpt_record.h"
#include "metop/hpt_writer.h"
#include "rs/cvcdu_stage.h"
#include "sync/cadu_extraction_stage.h"
#include "sync/soft_symbol_stage.h"

namespace vantrel {
namespace {

namespace WF = WorkingFile;

void DeleteWorkingFile(std::string_view name) {
  std::error_code ignored;
  std::filesystem::remove(WorkingPath(name), ignored);
}

// The satellite a run is for, and what said so.
struct RunSatellite {
  const Satellite* satellite = nullptr;
  std::string chosen_by;        // "the marker 'MetopB_' in the file name", "--satellite", ...
  bool name_from_data = false;  // no marker to name the product by: the data's time names it
  bool manchester = false;      // auto found a Manchester-coded recording: decode it first
  // A stream searched for its satellite: open, its start held for the chain.
  std::unique_ptr<LiveSource> stream;
};

constexpr int64_t kMsPerDay = 86400000;
// An AVHRR packet's time: days since 2000 in bytes 6-7, the millisecond of the day in 8-11.
constexpr size_t kPacketDayOffset = 6;
// Meteor-M's on-board clock keeps Moscow time, UTC+3.
constexpr int64_t kMeteorClockAheadMs = 3 * 3600000;
// The pipe from a held stream to the search of its start.
constexpr size_t kProbePipeBytes = size_t{1} << 20;
// A hard-bit stream's start is first scanned when this much came (0.6 s of MetOp).
constexpr size_t kFirstHeldScanBytes = size_t{256} << 10;

uint32_t BigEndian(const uint8_t* bytes, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
  return value;
}

// Days since 2000 of an FY-3 or Meteor-M pass whose first line was taken at `ms_of_day` (UTC):
// the date the operator gave, else the day the recording was last modified (UTC), or the day
// before when that was earlier in its day than the first line (a pass written after midnight).
std::optional<int64_t> PassDays(StageHost& host, int64_t ms_of_day, std::string* from) {
  const std::string& given = host.RunSettings().PassDate;
  if (!given.empty()) {
    const std::optional<PassDate> date = ParsePassDate(given);
    if (!date) throw StageError(Format("'%s' is not a valid date", given.c_str()));
    *from = "the date given and the first line's time of day";
    return DaysSince2000(date->year, date->month, date->day);
  }
  const RecordingFacts& told = host.Chain().Recording;
  if (told.days_since_2000) {
    // The recording's start, as its name or metadata told it: the next day when the pass's first
    // line came more than half a day before the recording's start in the day (the recording began
    // before midnight, the pass after it).
    *from = "the recording's start in " + told.time_source + " and the first line's time of day";
    constexpr int64_t kHalfDayMs = 12 * 3600000LL;
    return *told.days_since_2000 + (ms_of_day < told.ms_of_day - kHalfDayMs ? 1 : 0);
  }
  struct stat status {};
  const bool stream = IsStreamInput(host.InputPath());
  if (!stream && ::stat(host.InputPath().c_str(), &status) != 0) return std::nullopt;
  std::tm utc{};
  // A stream is received as the pass goes on: now is its time.
  const std::time_t modified = stream ? std::time(nullptr) : status.st_mtime;
  if (gmtime_r(&modified, &utc) == nullptr) return std::nullopt;
  int64_t days = DaysSince2000(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
  const int64_t modified_ms = ((utc.tm_hour * 60 + utc.tm_min) * 60 + utc.tm_sec) * 1000LL;
  if (ms_of_day > modified_ms) --days;
  *from = stream ? "the stream's reception date and the first line's time of day"
                 : "the recording's modification date and the first line's time of day";
  return days;
}

// What the driver reads of the data as they pass through the chain: the satellite the frames or
// lines name, and, for a product without a marker to name it, the first record the final writer
// gets. Gathered on the steps' threads; read once the steps that made them have finished.
struct DataWatch {
  explicit DataWatch(const Satellite& satellite)
      : meteor(satellite.family == SatelliteFamily::Meteor),
        votes(meteor ? kMn2LineBytes : kVcduLength, kSatelliteVoteRecords),
        first_record(satellite.family == SatelliteFamily::MetOp ? kAvhrrPacketLength
                     : meteor                                   ? kMn2LineBytes
                                                                : kFy3LineBytes,
                     1) {}

  bool meteor;
  FirstRecords votes;         // the first VCDUs (cvcdu.rs), or MSU-MR lines (MN2_.mnx)
  FirstRecords first_record;  // the final writer's first record
  // The naming made of the first record, and its log line or its error.
  bool named = false;
  std::string naming_line;
  std::exception_ptr naming_error;
};

// Names the product of an input without a marker from the final writer's first record, as it
// passes on its way to the writer (which reads the name only after that record): MetOp the
// packet's own date and time; FY-3 and Meteor-M the line's time of day and the pass date from
// PassDays.
void NameFromData(StageHost& host, const Satellite& satellite, DataWatch& watch) {
  ChainState& chain = host.Chain();
  const uint8_t* record = watch.first_record.Record(0);
  std::optional<int64_t> days;
  int64_t ms = 0;
  std::string from = "the first packet's date and time";
  switch (satellite.family) {
    case SatelliteFamily::MetOp:
      days = BigEndian(&record[kPacketDayOffset], 2);
      ms = BigEndian(&record[kPacketDayOffset + 2], 4);
      break;
    case SatelliteFamily::Fy3:
      ms = ((record[kFy3LineTimeOffset] & 0x07) << 24) |
           BigEndian(&record[kFy3LineTimeOffset + 1], 3);
      days = PassDays(host, ms, &from);
      break;
    case SatelliteFamily::Meteor: {
      // Hours, minutes, seconds and milliseconds / 4 in line bytes 8 to 11, Moscow time.
      const uint8_t* clock = &record[kMsuMrTimeOffset];
      const int64_t moscow = ((clock[0] * 60 + clock[1]) * 60 + clock[2]) * 1000LL + clock[3] * 4;
      ms = (moscow - kMeteorClockAheadMs + kMsPerDay) % kMsPerDay;
      days = PassDays(host, ms, &from);
      break;
    }
  }
  if (!days) return;
  chain.NamingPath = NamingPathFromTime(satellite, *days, ms);
  const size_t dot = chain.NamingPath.rfind('.');
  watch.naming_line =
      Format("No satellite marker in the file name: the product is named from %s, as '%s'",
             from.c_str(), chain.NamingPath.substr(0, dot).c_str());
}

// Reports the satellite the data named and warns when it is not the one the run is for.
void CheckDataSatellite(StageHost& host, const RunSatellite& run, const DataWatch& watch) {
  int votes = 0;
  const bool meteor = watch.meteor;
  const Satellite* found =
      meteor ? SatelliteOfMsuMrLines(watch.votes, &votes) : SatelliteOfVcdus(watch.votes, &votes);
  if (found == nullptr) {
    LogLine(host, "Satellite from the data: not recognised (no %s)",
            meteor ? "line with a known MSU-MR identifier" : "VCDU with a known spacecraft id");
    return;
  }
  host.Chain().Counts.satellite = found->title;
  LogLine(host, "Satellite from the data: %s (%s %d in %d %s)", found->title,
          meteor ? "MSU-MR identifier" : "spacecraft id", found->data_id, votes,
          meteor ? "lines" : "VCDUs");
  if (found != run.satellite) {
    LogLine(host, "Warning: the data are from %s, but %s says %s: the product is named as %s's",
            found->title, run.chosen_by.c_str(), run.satellite->title, run.satellite->title);
  }
}

// The start of every run. The run gets a session of its own, attached to the host until the run
// ends: a new Reed-Solomon codec and source packet builder, so no packet, frame counter or codec
// state of one run reaches the next (see OwnedRunSession for what is shared read-only). What a
// run must not inherit from the one before is cleared from the host's chain state here; the run's
// satellite is set on the session once chosen; BatchMode and the options live for the program.
OwnedRunSession BeginRun(StageHost& host, RunControls& controls) {
  ChainState& chain = controls.KeptChain();
  chain.ProgressCount = 0;
  chain.LastLineCount = 0;
  chain.ManchesterDone = false;
  chain.SoftInput = false;
  chain.BasebandInput = false;
  chain.RecordingBytes.reset();
  chain.DatHeaderPending = false;
  chain.Counts = PassCounts{};
  chain.NamingPath.clear();
  chain.NameFromData = false;
  chain.Recording = RecordingFacts{};
  return OwnedRunSession(host, controls);
}

// Measures the run's recording once, before the first step: its size is the pass's input bytes,
// whichever working file the stages read. A recording that cannot be measured (missing, not a
// regular file) stays unmeasured; the first stage, which cannot open it either, says why.
void MeasureRecording(StageHost& host) {
  struct stat status {};
  if (::stat(host.Chain().Recording.path.c_str(), &status) == 0 && S_ISREG(status.st_mode))
    host.Chain().RecordingBytes = static_cast<int64_t>(status.st_size);
}

// The names of the working folder a run writes: its working files and the temporary product.
std::vector<std::string_view> RunFileNames(const ChainDefinition& definition) {
  std::vector<std::string_view> names = ChainWorkingFiles(definition);
  names.push_back(kProductTempName);
  return names;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Refuses an input that is one of the files the run writes: a stage would truncate it.
void RefuseInputAmongRunFiles(StageHost& host, const ChainDefinition& definition) {
  const std::string input = host.InputPath();
  struct stat input_status {};
  if (::stat(input.c_str(), &input_status) != 0) return;  // the first stage says why
  std::vector<std::string> written;
  for (std::string_view name : RunFileNames(definition)) written.push_back(WorkingPath(name));
  written.push_back(definition.product_path(host));
  for (const std::string& path : written) {
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && SameFile(status, input_status)) {
      throw StageError(RunEndsHere(
          Format("The recording '%s' is '%s', a file this run writes: rename it or move it to "
                 "another folder",
                 input.c_str(), path.c_str())));
    }
  }
}

// Removes the working files an earlier run left (kept, or left by a run that failed or was
// killed), so that no stage can read another pass's data. Anything but a regular file under
// such a name (a link, a folder) ends the run: it is not this program's, so it is left alone.
void RemoveStaleRunFiles(StageHost& host, const ChainDefinition& definition) {
  int removed = 0;
  for (std::string_view name : RunFileNames(definition)) {
    const std::string path = WorkingPath(name);
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) continue;
    if (!S_ISREG(status.st_mode)) {
      throw StageError(RunEndsHere(Format("'%s' is %s where a working file must go", path.c_str(),
                                          SpecialFileKind(path).c_str())));
    }
    if (::unlink(path.c_str()) != 0) {
      throw StageError(RunEndsHere(Format("Cannot remove '%s', left by an earlier run (%s)",
                                          path.c_str(), std::strerror(errno))));
    }
    ++removed;
  }
  if (removed > 0) LogLine(host, "Removed %d working files left by an earlier run.", removed);
}

// A live run's input and what the log tells of it as it goes: the bytes that came and how far
// behind the chain is, the lock, the frames and lines so far (counted on the steps' threads as
// they pass), the drops, and at the end why the input ended.
struct LiveWatch {
  std::unique_ptr<LiveSource> source;
  size_t unit_bytes = 1;        // a sample (drops are counted in these)
  double bytes_per_second = 0;  // the input's rate when known (a raw baseband stream)
  size_t record_bytes = 1;      // one record the final writer gets (a line, a packet)
  std::atomic<int64_t> frame_bytes{0};
  std::atomic<int64_t> record_bytes_seen{0};
};

bool IsLiveRun(StageHost& host) {
  return IsLiveInput(host.InputPath(), host.RunSettings().Follow);
}

// The run's live input as the log counts it: the sample it drops whole, and its bytes per second
// when known (a raw baseband stream).
void LiveUnits(StageHost& host, size_t* unit_bytes, double* bytes_per_second) {
  const Settings& settings = host.RunSettings();
  const ChainState& chain = host.Chain();
  *unit_bytes = 1;
  *bytes_per_second = 0;
  if (!chain.BasebandInput) return;
  const BasebandFormat format = ParseBasebandFormat(
      !settings.BasebandFormat.empty() ? settings.BasebandFormat : chain.Recording.sample_format);
  // A WAV stream's header is read by the chain, after the buffer: its samples are counted as
  // 16-bit I/Q, what SDR programs write, and its rate is not known here.
  const bool wav = format == BasebandFormat::kWav || format == BasebandFormat::kUnknown;
  const int bytes = wav ? 4 : BasebandSampleBytes(format);
  *unit_bytes = static_cast<size_t>(bytes);
  const int64_t rate = settings.SampleRate > 0 ? settings.SampleRate : chain.Recording.sample_rate;
  if (!wav) *bytes_per_second = static_cast<double>(rate) * bytes;
}

// Opens the run's live input; throws StageError when it cannot be.
std::unique_ptr<LiveSource> OpenLiveInput(StageHost& host) {
  const Settings& settings = host.RunSettings();
  const ChainState& chain = host.Chain();
  LiveOptions options;
  double bytes_per_second = 0;
  LiveUnits(host, &options.unit_bytes, &bytes_per_second);
  options.idle_seconds = settings.FollowIdleSeconds;
  options.duration_seconds = settings.DurationSeconds;
  options.sample_rate = settings.SampleRate;
  // A stream's temporary file goes where the user keeps temporary files, else beside the product.
  const char* temporary = std::getenv("TMPDIR");
  options.spill_folder = temporary != nullptr && *temporary != '\0' ? temporary : WorkingFolder();
  // The tests make a stream outrun a small buffer, and its temporary file fill.
  if (const char* bytes = std::getenv("VANTREL_LIVE_BUFFER_BYTES"); bytes != nullptr)
    options.buffer_bytes = std::max<size_t>(1, std::strtoull(bytes, nullptr, 10));
  if (const char* bytes = std::getenv("VANTREL_LIVE_SPILL_BYTES"); bytes != nullptr)
    options.spill_bytes = std::strtoll(bytes, nullptr, 10);
  std::string error;
  std::unique_ptr<LiveSource> source = OpenLiveSource(chain.Recording.path, options, &error);
  if (!source) throw StageError(RunEndsHere(error));
  LogLine(host, "Live input: %s is read as it arrives (it ends %s)", chain.Recording.path.c_str(),
          IsStreamInput(chain.Recording.path)
              ? Format("when the stream closes, after %d s without data, at --duration or at the "
                       "first SIGINT/SIGTERM",
                       settings.FollowIdleSeconds)
                    .c_str()
              : Format("when it has not grown for %d s, when NAME.part is renamed, at --duration "
                       "or at the first SIGINT/SIGTERM",
                       settings.FollowIdleSeconds)
                    .c_str());
  return source;
}

// The lines a live input has for the log now: what the source learnt of itself, and its drops.
void LogLiveEvents(StageHost& host, LiveSource& source, size_t unit_bytes) {
  for (const std::string& note : source.TakeNotes()) host.AppendLog(note);
  for (const LiveDrop& drop : source.TakeDrops()) {
    LogLine(host, "Dropped %lld samples at %.1f s (the chain fell behind)",
            static_cast<long long>(drop.bytes / static_cast<int64_t>(unit_bytes)), drop.seconds);
  }
}

// The once-a-second line of a live run.
void LogLiveProgress(StageHost& host, LiveWatch& live, int64_t bytes_read,
                     const SignalView* signal) {
  LogLiveEvents(host, *live.source, live.unit_bytes);
  const LiveSource& source = *live.source;
  const int64_t behind =
      std::max<int64_t>(0, source.BytesReceived() - source.BytesDropped() - bytes_read);
  std::string line =
      Format("Live at %.0f s: %.1f MiB received, the chain %s behind", source.Seconds(),
             static_cast<double>(source.BytesReceived()) / (1 << 20),
             live.bytes_per_second > 0
                 ? Format("%.1f s", static_cast<double>(behind) / live.bytes_per_second).c_str()
                 : Format("%.1f MiB", static_cast<double>(behind) / (1 << 20)).c_str());
  if (signal != nullptr) {
    line += signal->locked ? Format("; locked, Es/N0 %.1f dB", signal->snr_db) : "; no lock";
  }
  line += Format("; %lld frames, %lld lines so far",
                 static_cast<long long>(live.frame_bytes.load(std::memory_order_relaxed) /
                                        static_cast<int64_t>(kCodeBlockBytes)),
                 static_cast<long long>(live.record_bytes_seen.load(std::memory_order_relaxed) /
                                        static_cast<int64_t>(live.record_bytes)));
  if (const int64_t spilled = source.Spill().now; spilled > 0)
    line += Format("; %.1f MiB in the temporary file", static_cast<double>(spilled) / (1 << 20));
  host.AppendLog(line);
}

// Once the first step has read the live input to its end: the pass's input bytes are what
// arrived, and the log says why it ended and what was lost.
void EndLiveInput(StageHost& host, LiveWatch& live) {
  LogLiveEvents(host, *live.source, live.unit_bytes);
  const LiveSource& source = *live.source;
  const int64_t dropped = source.BytesDropped();
  const int64_t used = source.BytesReceived() - dropped;
  ChainState& chain = host.Chain();
  chain.RecordingBytes = used;
  chain.Counts.input_bytes = used;
  chain.Counts.dropped_samples = dropped / static_cast<int64_t>(live.unit_bytes);
  LogLine(host, "The live input ended after %.1f s: %s; %lld bytes used, %lld samples dropped",
          source.Seconds(), source.EndReason().c_str(), static_cast<long long>(used),
          static_cast<long long>(chain.Counts.dropped_samples));
  const LiveSpill spill = source.Spill();
  if (spill.written > 0)
    LogLine(host,
            "The stream's temporary file: %.1f MiB went through it, %.1f MiB at most at once, "
            "%.1f MiB still in it when the stream ended",
            static_cast<double>(spill.written) / (1 << 20),
            static_cast<double>(spill.peak) / (1 << 20),
            static_cast<double>(spill.at_end) / (1 << 20));
}

void RunSteps(StageHost& host, RunControls& controls, OwnedRunSession& session,
              const ChainDefinition& definition, RunSatellite& run) {
  ChainState& chain = host.Chain();
  const Downlink& downlink = *run.satellite->downlink;
  if (!downlink.randomised || !downlink.reed_solomon) {
    // A stream without randomisation or Reed-Solomon (Meteor-M N2 has neither): the boxes stay
    // unchecked for later runs until someone checks them again.
    if (!downlink.randomised) controls.SetPNdecoding(false);
    if (!downlink.reed_solomon) controls.SetRSolomon(false);
    session.ReadSettings();
  }
  if (downlink.randomised && chain.SoftInput && run.chosen_by != "the data" &&
      !host.RunSettings().PNdecoding && !host.RunSettings().PNdecodingGiven) {
    // What a receiver's demodulator hands on is the downlink as sent: randomised.
    controls.SetPNdecoding(true);
    session.ReadSettings();
    LogLine(host,
            "De-randomisation on: %s frames are always randomised on the downlink, and this %s "
            "recording was taken from it before any decoding (DR_n or --no-derandomize turns it "
            "off)",
            downlink.name, chain.BasebandInput ? "baseband" : "soft-symbol");
  }
  if (downlink.modulation == Modulation::kPhaseManchester) {
    // Manchester-coded data: a soft-symbol demodulator has already taken the coding off.
    chain.ManchesterDone =
        !chain.SoftInput && (host.RunSettings().Manchester_box || run.manchester);
  }
  // Each enabled step reads what the enabled step before it hands on; the first, the recording.
  std::vector<StepSpec> steps;
  for (const ChainStep& step : definition.steps) {
    if (!step.EnabledIn(chain)) continue;
    if (step.raise_dat_header) chain.DatHeaderPending = true;
    steps.push_back(*step.stage);
  }
  chain.NameFromData = run.name_from_data;
  // The settings of the run's start hold for every step.
  session.ReadSettings();
  RunnerOptions options;
  options.threads = ThreadsFromEnvironment();
  options.keep_files = !host.RunSettings().DFiles;
  ChainRunner runner(host, steps, options);

  // The data tell their satellite and time as they pass: the VCDUs (or the MSU-MR lines), and
  // the first record the final writer gets.
  DataWatch watch(*run.satellite);
  const std::string_view voted = watch.meteor ? WorkingFile::kMn2Lines : WorkingFile::kCvcduRs;
  const size_t last = steps.size() - 1;
  for (size_t k = 0; k < last; ++k) {
    if (steps[k].writes == voted) {
      runner.Observe(k, [&watch](std::span<const uint8_t> piece) { watch.votes.Add(piece); });
    }
  }
  if (run.name_from_data) {
    runner.Observe(last - 1, [&](std::span<const uint8_t> piece) {
      if (watch.named) return;
      watch.first_record.Add(piece);
      if (watch.first_record.Count() == 0) return;
      watch.named = true;
      try {
        NameFromData(host, *run.satellite, watch);
      } catch (...) {
        watch.naming_error = std::current_exception();
      }
    });
  }
  LiveWatch live;
  if (IsLiveRun(host)) {
    // A stream whose start was searched for its satellite is open already, from its first byte.
    live.source = run.stream ? std::move(run.stream) : OpenLiveInput(host);
    LiveUnits(host, &live.unit_bytes, &live.bytes_per_second);
    chain.RecordingBytes.reset();
    runner.ReadFrom(*live.source);
    live.record_bytes = run.satellite->family == SatelliteFamily::MetOp ? kAvhrrPacketLength
                        : watch.meteor                                  ? kMn2LineBytes
                                                                        : kFy3LineBytes;
    for (size_t k = 0; k < last; ++k) {
      if (steps[k].writes == WorkingFile::kCaduPds) {
        runner.Observe(k, [&live](std::span<const uint8_t> piece) {
          live.frame_bytes.fetch_add(static_cast<int64_t>(piece.size()), std::memory_order_relaxed);
        });
      }
    }
    runner.Observe(last - 1, [&live](std::span<const uint8_t> piece) {
      live.record_bytes_seen.fetch_add(static_cast<int64_t>(piece.size()),
                                       std::memory_order_relaxed);
    });
    runner.EverySecond([&](int64_t bytes_read, const SignalView* signal) {
      LogLiveProgress(host, live, bytes_read, signal);
    });
  }
  // The final writer names the product: by now the data told their satellite and time.
  runner.OnStepInputEnded([&](size_t index) {
    if (live.source && index == 1) EndLiveInput(host, live);
    if (index != last) return;
    CheckDataSatellite(host, run, watch);
    if (watch.naming_error) std::rethrow_exception(watch.naming_error);
    if (!watch.naming_line.empty()) host.AppendLog(watch.naming_line);
  });
  runner.Run(chain.Recording.path, chain.RecordingBytes.value_or(-1));
}

// Deletes the working files the run's enabled steps wrote, and no other: a file of a step that
// did not run (cvcdu.man when nothing was Manchester decoded) may be someone else's.
void DeleteWorkingFiles(StageHost& host, const ChainDefinition& definition) {
  for (const ChainStep& step : definition.steps) {
    if (step.EnabledIn(host.Chain()) && !step.writes().empty()) DeleteWorkingFile(step.writes());
  }
}

// What the pass report reads of the run's settings to tell a misconfigured pass.
PassReportSettings ReportSettings(StageHost& host, ChainKind kind) {
  PassReportSettings settings;
  settings.reed_solomon = host.RunSettings().RSolomon;
  settings.derandomise = host.RunSettings().PNdecoding;
  settings.meteor = kind == ChainKind::Mn2;
  settings.manchester = settings.meteor && host.Chain().ManchesterDone;
  if (kind != ChainKind::Mn2) {
    // The channel as VCDU selection reads it; a text it refuses selected no channel.
    try {
      settings.channel = SelectedVirtualChannel(host);
    } catch (const StageError&) {
      settings.channel = -1;
    }
  }
  return settings;
}

// Sets de-randomisation as the frames the search decoded needed it.
void SwitchDerandomisation(StageHost& host, RunControls& controls, OwnedRunSession& session,
                           const Satellite& satellite, bool derandomised) {
  if (!satellite.downlink->randomised || derandomised == host.RunSettings().PNdecoding) return;
  if (host.RunSettings().PNdecodingGiven) {
    LogLine(host, "Warning: the frames were found %s; de-randomisation stays %s, as it was set",
            derandomised ? "randomised" : "not randomised", derandomised ? "off" : "on");
    return;
  }
  controls.SetPNdecoding(derandomised);
  session.ReadSettings();
  LogLine(host, "De-randomisation switched %s, as the frames need", derandomised ? "on" : "off");
}

// Runs the front ends of the downlinks that fit a soft-symbol or baseband recording on the start
// `input` delivers (the recording at `path`) and logs what each found. Sets `error` when the
// recording cannot be read.
std::optional<FrontEndProbe> ProbeInput(StageHost& host, const std::string& path, InputFile& input,
                                        std::string* error) {
  FrontEndProbe probe;
  if (host.Chain().BasebandInput) {
    BasebandReader reader;
    try {
      OpenBasebandRecording(host, path, input, input.Size(), reader, false);
    } catch (const StageError& failed) {
      *error = failed.what();
      return std::nullopt;
    }
    LogLine(host,
            "Looking for the satellite in the data: each downlink's demodulator on the first "
            "%.0f s of the recording...",
            kProbeSeconds);
    probe = ProbeBaseband(reader, static_cast<double>(host.RunSettings().CarrierRangeHz));
    if (reader.GetStatus() == BasebandReader::Status::kReadError) {
      *error = RunEndsHere(Format("'%s': %s", path.c_str(), reader.Error().c_str()));
      return std::nullopt;
    }
  } else {
    LogLine(host,
            "Looking for the satellite in the data: each soft-symbol decoding on the first %lld "
            "MiB of the recording...",
            static_cast<long long>(kProbeSoftBytes >> 20));
    probe = ProbeSoftSymbols(input);
    if (input.Failed()) {
      *error = RunEndsHere(Format("Cannot read '%s'", path.c_str()));
      return std::nullopt;
    }
  }
  for (const std::string& line : probe.tried) host.AppendLog("  " + line);
  return probe;
}

// Runs the front ends of the downlinks that fit a soft-symbol or baseband recording on its start
// and logs what each found. Sets `error` when the recording cannot be read.
std::optional<FrontEndProbe> ProbeRecording(StageHost& host, std::string* error) {
  const std::string path =
      host.Chain().Recording.path.empty() ? host.InputPath() : host.Chain().Recording.path;
  InputFile input;
  if (!input.Open(path)) {
    *error = RunEndsHere(Format("Cannot read '%s' (%s)", path.c_str(), input.Error().c_str()));
    return std::nullopt;
  }
  return ProbeInput(host, path, input, error);
}

// ProbeRecording on a stream whose start is held (LiveSource::Hold): the front ends read it
// through a pipe, as the chain's first step does, fed on a thread of its own; then the stream is
// handed back to be read again from its first byte.
std::optional<FrontEndProbe> ProbeStream(StageHost& host, LiveSource& stream, std::string* error) {
  RecordPipe pipe(kProbePipeBytes);
  std::thread feeder([&stream, &pipe] {
    std::vector<uint8_t> piece(kProbePipeBytes);
    try {
      while (const size_t got = stream.ReadHeld(piece.data(), piece.size()))
        pipe.Write(piece.data(), got);
      if (stream.Failed()) pipe.Fail();
      pipe.Close();
    } catch (const StepCancelled&) {
      // The search had what it needed.
    }
  });
  // However the search ends, the feeder is stopped (in the pipe or in the stream) and joined.
  struct StopFeeder {
    RecordPipe& pipe;
    LiveSource& stream;
    std::thread& feeder;
    ~StopFeeder() {
      pipe.Abort();
      stream.Replay();
      feeder.join();
    }
  } stop{pipe, stream, feeder};
  InputFile input;
  input.AttachPipe(pipe);
  return ProbeInput(host, host.InputPath(), input, error);
}

// Reads a held stream on into `bytes` until it holds `size`; false when the stream ended (or its
// buffer filled) first.
bool ReadHeldStart(LiveSource& stream, std::vector<uint8_t>& bytes, size_t size) {
  size_t got = bytes.size();
  bytes.resize(std::max(got, size));
  while (got < size) {
    const size_t piece = stream.ReadHeld(bytes.data() + got, size - got);
    if (piece == 0) break;
    got += piece;
  }
  bytes.resize(got);
  return got >= size;
}

// Days since 2000 and millisecond of the day (UTC) of a local time the recording told.
void LocalToUtc(int64_t days, int64_t ms, int64_t* utc_days, int64_t* utc_ms) {
  const std::string text = LineTimeText(days, ms);  // "yyyy-mm-dd hh:mm:ss.mmm"
  std::tm local{};
  local.tm_year = std::stoi(text.substr(0, 4)) - 1900;
  local.tm_mon = std::stoi(text.substr(5, 2)) - 1;
  local.tm_mday = std::stoi(text.substr(8, 2));
  local.tm_hour = std::stoi(text.substr(11, 2));
  local.tm_min = std::stoi(text.substr(14, 2));
  local.tm_sec = std::stoi(text.substr(17, 2));
  local.tm_isdst = -1;
  const std::time_t moment = std::mktime(&local);
  std::tm utc{};
  if (moment == static_cast<std::time_t>(-1) || gmtime_r(&moment, &utc) == nullptr) {
    *utc_days = days;
    *utc_ms = ms;
    return;
  }
  *utc_days = DaysSince2000(utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
  *utc_ms = ((utc.tm_hour * 60 + utc.tm_min) * 60 + utc.tm_sec) * 1000LL + ms % 1000;
}

// Takes what `told` says into the run's facts, where nothing before told it, and logs it.
void TakeFacts(StageHost& host, const RecordingMetadata& told) {
  RecordingFacts& facts = host.Chain().Recording;
  std::vector<std::string> said;
  if (facts.sample_format.empty() && !told.sample_format.empty() && told.sample_format != "wav") {
    facts.sample_format = told.sample_format;
    said.push_back("samples " + told.sample_format);
  }
  if (facts.sample_rate == 0 && told.sample_rate > 0) {
    facts.sample_rate = told.sample_rate;
    said.push_back(Format("%lld samples/s", static_cast<long long>(told.sample_rate)));
  }
  if (told.frequency_hz > 0)
    said.push_back(
        Format("centre frequency %.4f MHz", static_cast<double>(told.frequency_hz) / 1e6));
  if (!facts.days_since_2000 && told.days_since_2000) {
    int64_t days = *told.days_since_2000;
    int64_t ms = told.ms_of_day;
    if (told.time_is_local) LocalToUtc(days, ms, &days, &ms);
    facts.days_since_2000 = days;
    facts.ms_of_day = ms;
    facts.time_source = told.source.empty() ? told.convention : told.source;
    said.push_back("start " + LineTimeText(days, ms).substr(0, 19) + " UTC" +
                   (told.time_is_local ? " (from local time)" : ""));
  }
  if (said.empty()) return;
  std::string line = "From " + (told.source.empty() ? told.convention : told.source) + ": ";
  for (size_t i = 0; i < said.size(); ++i) line += (i > 0 ? ", " : "") + said[i];
  host.AppendLog(line);
}

// Reads up to `limit` bytes of `path`; false when it cannot be opened or read.
bool ReadStart(const std::string& path, size_t limit, std::vector<uint8_t>* bytes,
               std::string* error) {
  InputFile input;
  if (!input.Open(path)) {
    *error = input.Error();
    return false;
  }
  bytes->resize(limit);
  bytes->resize(input.Read(bytes->data(), limit));
  if (input.Failed()) {
    *error = "a read failed";
    return false;
  }
  return true;
}

// What the run's recording is and holds, from the options, then from what the recording says of
// itself: a SigMF metadata file (given, or beside its data), an .sdriq header, a WAV file's auxi
// chunk, the conventions SDR programs name their recordings by, and, when none of these tells the
// kind, the statistics of its first MiB. Fills the chain's RecordingFacts; each value's source is
// logged. Throws StageError for a recording that cannot be used as told.
RecordingKind DescribeRecording(StageHost& host) {
  const Settings& settings = host.RunSettings();
  ChainState& chain = host.Chain();
  RecordingFacts& facts = chain.Recording;
  const std::string input = host.InputPath();
  facts.path = input;
  std::string error;

  // SigMF: the metadata file names the data file, and both describe it.
  std::string meta_path;
  if (input.ends_with(".sigmf-meta")) {
    meta_path = input;
    facts.path = SigmfDataPath(input);
    LogLine(host, "'%s' is SigMF metadata: the recording is '%s'", input.c_str(),
            facts.path.c_str());
  } else if (input.ends_with(".sigmf-data")) {
    meta_path = SigmfMetaPath(input);
    if (!std::filesystem::exists(meta_path)) meta_path.clear();
  }
  std::optional<RecordingMetadata> sigmf;
  if (!meta_path.empty()) {
    std::vector<uint8_t> text;
    if (!ReadStart(meta_path, kMaxSigmfMetaBytes + 1, &text, &error))
      throw StageError(
          RunEndsHere(Format("Cannot read '%s' (%s)", meta_path.c_str(), error.c_str())));
    sigmf = ParseSigmfMeta(
        std::string_view(reinterpret_cast<const char*>(text.data()), text.size()), &error);
    if (!sigmf) throw StageError(RunEndsHere(Format("'%s': %s", meta_path.c_str(), error.c_str())));
    TakeFacts(host, *sigmf);
  }

  const RecordingMetadata named = MetadataFromName(input);
  const std::string& kind_choice = settings.InputKind;
  RecordingKind kind = RecordingKind::kHardBits;
  bool kind_known = true;
  if (!kind_choice.empty()) {
    kind = RecordingKindOf(host);
  } else if (!settings.BasebandFormat.empty() || settings.SampleRate > 0) {
    kind = RecordingKind::kBaseband;
    LogLine(host, "The recording is read as baseband samples: %s given",
            !settings.BasebandFormat.empty() ? "--baseband-format" : "--samplerate");
  } else if (sigmf) {
    kind = RecordingKind::kBaseband;
  } else if (input.ends_with(".sdriq")) {
    kind = RecordingKind::kBaseband;
  } else if (named.kind == "soft" || named.kind == "baseband") {
    kind = named.kind == "soft" ? RecordingKind::kSoftSymbols : RecordingKind::kBaseband;
  } else if (named.kind == "hard" && FindMarker(input) != nullptr) {
    kind = RecordingKind::kHardBits;  // the naming rule's own recordings: hard bits
  } else {
    kind_known = false;
  }

  if (input.ends_with(".sdriq") && kind == RecordingKind::kBaseband) {
    std::vector<uint8_t> header;
    if (!ReadStart(input, kSdriqHeaderBytes, &header, &error))
      throw StageError(RunEndsHere(Format("Cannot read '%s' (%s)", input.c_str(), error.c_str())));
    const std::optional<RecordingMetadata> sdriq = ParseSdriqHeader(header, &error);
    if (!sdriq) throw StageError(RunEndsHere(Format("'%s': %s", input.c_str(), error.c_str())));
    facts.header_bytes = static_cast<int64_t>(kSdriqHeaderBytes);
    TakeFacts(host, *sdriq);
  }

  if (!kind_known) {
    std::vector<uint8_t> start;
    if (!ReadStart(facts.path, size_t{1} << 20, &start, &error)) {
      // The first step says why it cannot be read.
      return RecordingKind::kHardBits;
    }
    const ContentGuess guess = GuessRecordingContent(start);
    if (guess.kind.empty()) {
      LogLine(host,
              "The recording's name does not tell what it holds, nor do its first bytes (%s): it "
              "is read as hard bits (--input, --baseband-format and --samplerate tell otherwise)",
              guess.reason.c_str());
      kind = RecordingKind::kHardBits;
    } else {
      LogLine(host, "The recording's first bytes look like %s: %s",
              guess.kind == "hard"   ? "hard bits"
              : guess.kind == "soft" ? "8-bit soft symbols"
                                     : ("baseband " + guess.sample_format + " I/Q").c_str(),
              guess.reason.c_str());
      kind = guess.kind == "soft"       ? RecordingKind::kSoftSymbols
             : guess.kind == "baseband" ? RecordingKind::kBaseband
                                        : RecordingKind::kHardBits;
      if (kind == RecordingKind::kBaseband && facts.sample_format.empty())
        facts.sample_format = guess.sample_format;
    }
  }

  if (kind == RecordingKind::kBaseband) {
    TakeFacts(host, named);
    if (settings.BasebandFormat.empty() && facts.sample_format.empty() &&
        named.sample_format.empty() && facts.header_bytes == 0) {
      // Baseband, but nothing told its samples' format: their statistics may.
      std::vector<uint8_t> start;
      if (ReadStart(facts.path, size_t{1} << 20, &start, &error)) {
        const ContentGuess guess = GuessRecordingContent(start);
        if (guess.kind == "baseband") {
          facts.sample_format = guess.sample_format;
          LogLine(host, "The recording's first bytes look like %s I/Q: %s",
                  guess.sample_format.c_str(), guess.reason.c_str());
        }
      }
    }
    if (BasebandFormatFromExtension(input) == BasebandFormat::kWav ||
        named.sample_format == "wav") {
      // The header's own: its rate, and an auxi chunk's time and frequency.
      InputFile file;
      BasebandReader reader;
      if (file.Open(facts.path) && reader.OpenWav(file, file.Size())) {
        if (!reader.AuxiChunk().empty()) {
          const std::optional<RecordingMetadata> auxi = ParseAuxiChunk(reader.AuxiChunk(), &error);
          if (auxi) TakeFacts(host, *auxi);
        }
        if (settings.SampleRate > 0 && settings.SampleRate != reader.SampleRate()) {
          host.AppendWarning(Format(
              "Warning: '%s' has a WAV header that says %u samples/s, and --samplerate %lld is "
              "used over it: --samplerate is meant for raw files without a header",
              input.c_str(), reader.SampleRate(), static_cast<long long>(settings.SampleRate)));
        }
      }
    }
  } else {
    // Soft symbols and hard bits: the name's time still dates an FY-3 or Meteor-M pass.
    TakeFacts(host, named);
  }
  if (kind != RecordingKind::kBaseband &&
      (!settings.BasebandFormat.empty() || settings.SampleRate > 0))
    LogLine(host,
            "Warning: --baseband-format and --samplerate are for baseband recordings; this "
            "one is read as %s",
            kind == RecordingKind::kSoftSymbols ? "soft symbols" : "hard bits");
  return kind;
}

// For a soft-symbol or baseband run of a named satellite that found no frame: what the front ends
// of the other downlinks find in the recording's start, as the end of the failure's message
// ("; the data look like FY-3C at 2.6 Msymbols/s, the marker says FY-3A"), or nothing.
std::string WhatTheDataLookLike(StageHost& host, const RunSatellite& run) {
  if (!host.Chain().SoftInput || run.chosen_by == "the data" || host.Chain().Counts.cadus > 0)
    return {};
  std::string error;
  struct QuietHost : BasicHost {
    void AppendLog(const std::string&) override {}
  } quiet;
  quiet.settings = host.RunSettings();
  quiet.input_path = host.InputPath();
  quiet.chain.BasebandInput = host.Chain().BasebandInput;
  quiet.chain.SoftInput = true;
  quiet.chain.Recording = host.Chain().Recording;
  OwnedRunSession session(quiet);
  const std::optional<FrontEndProbe> probe = ProbeRecording(quiet, &error);
  if (!probe || probe->satellite == nullptr || probe->satellite == run.satellite) return {};
  const Downlink& found = *probe->satellite->downlink;
  std::string look = Format("; the data look like %s", probe->satellite->title);
  if (host.Chain().BasebandInput) look += Format(" at %.4g Msymbols/s", found.symbol_rate / 1e6);
  return look + Format(", %s says %s", run.chosen_by.c_str(), run.satellite->title);
}

// Whether a file name ends, before its extension, in the time the naming rule cuts the product's
// name from: "_HHMMSS" after the date ("MetopB_20261209_101530.bin", "FY3C_2026-12-09_101530.wav").
bool NameEndsInTime(std::string_view path) {
  const size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find('.');
  if (dot == std::string_view::npos || dot < 7) return false;
  const std::string_view stem = name.substr(0, dot);
  if (stem[stem.size() - 7] != '_') return false;
  return std::all_of(stem.end() - 6, stem.end(),
                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// A marker put in front of a recorder's own name ("MetopB_baseband_..._09-12-2026.wav"): the
// naming rule would cut the product's name out of the recorder's words, so the recording's start,
// when known, names it instead.
void NameFromRecordingStart(StageHost& host, const RunSatellite& run) {
  const RecordingFacts& told = host.Chain().Recording;
  if (NameEndsInTime(host.InputPath()) || !told.days_since_2000) return;
  std::string& path = host.Chain().NamingPath;
  path = NamingPathFromTime(*run.satellite, *told.days_since_2000, told.ms_of_day);
  LogLine(host,
          "The file name has no time where the product's name is taken from: the product is "
          "named from the recording's start in %s, as '%s'",
          told.time_source.c_str(), path.substr(0, path.rfind('.')).c_str());
}

// The satellite of the run: the file name's marker, or --satellite (a satellite's name, or
// "auto": the start of the recording decides). A choice that overrides a marker says so. On
// failure the satellite is null and `outcome.error` says why.
RunSatellite ChooseSatellite(StageHost& host, RunControls& controls, OwnedRunSession& session,
                             const MarkerRule* rule, const std::string& choice,
                             RunOutcome& outcome) {
  RunSatellite run;
  const Satellite* marked = rule != nullptr ? rule->satellite : nullptr;
  if (choice.empty()) {
    run.satellite = marked;
    run.chosen_by = Format("the marker '%s' in the file name", rule->marker);
    NameFromRecordingStart(host, run);
    return run;
  }
  // A stream is searched from its buffer, which holds what the search reads for the chain.
  const bool stream = choice == "auto" && IsStreamInput(host.InputPath());
  if (stream) {
    run.stream = OpenLiveInput(host);
    run.stream->Hold();
  }
  const auto held_for_the_chain = [&](int64_t bytes) {
    if (!stream) return;
    LogLine(host,
            "The search read the stream's first %.1f MiB, held in its buffer: the chain reads "
            "them again from the first byte",
            static_cast<double>(bytes) / (1 << 20));
    // What the buffer did meanwhile (it spilled, it dropped) is told now, before the chain's
    // lines.
    size_t unit_bytes = 1;
    double bytes_per_second = 0;
    LiveUnits(host, &unit_bytes, &bytes_per_second);
    LogLiveEvents(host, *run.stream, unit_bytes);
  };
  if (choice == "auto" && host.Chain().SoftInput) {
    std::string error;
    const std::optional<FrontEndProbe> probe =
        stream ? ProbeStream(host, *run.stream, &error) : ProbeRecording(host, &error);
    if (!error.empty()) {
      outcome.error = error;
      return run;
    }
    if (probe->satellite == nullptr) {
      outcome.error =
          Format("No satellite recognised in '%s': no downlink's frames in its first %s",
                 host.InputPath().c_str(),
                 host.Chain().BasebandInput ? Format("%.1f s", probe->seconds).c_str()
                                            : Format("%.1f MiB", probe->bytes / 1048576.0).c_str());
      return run;
    }
    run.satellite = probe->satellite;
    run.chosen_by = "the data";
    LogLine(host, "Satellite found in the data: %s (%s)", probe->satellite->title,
            probe->found.c_str());
    held_for_the_chain(probe->bytes);
    SwitchDerandomisation(host, controls, session, *run.satellite, probe->derandomised);
  } else if (choice == "auto") {
    std::string error;
    const bool manchester = host.RunSettings().Manchester_box;
    // A stream's start, enough for either scan, is read once and handed back.
    std::vector<uint8_t> held;
    const auto scan_start = [&](bool manchester_coded) {
      if (!stream) return ScanRecordingForSatellite(host.InputPath(), manchester_coded, &error);
      const size_t size = kSatelliteScanBytes * (manchester_coded ? 2 : 1);
      return ScanForSatellite(std::span(held).first(std::min(size, held.size())), manchester_coded);
    };
    if (stream) {
      // Scanned as it comes, twice as much each time: a slow stream (Meteor-M's 72 kbit/s) would
      // take minutes to fill the scan's whole length.
      for (size_t size = kFirstHeldScanBytes; ReadHeldStart(*run.stream, held, size); size *= 2) {
        if (size >= 2 * kSatelliteScanBytes || scan_start(manchester).satellite != nullptr) break;
      }
      run.stream->Replay();
    }
    SatelliteScan scan = scan_start(manchester);
    if (error.empty() && scan.satellite == nullptr && !manchester) {
      // A Meteor-M recording the receiver left Manchester coded shows its frames once decoded.
      SatelliteScan decoded = scan_start(true);
      if (decoded.satellite != nullptr && decoded.satellite->family == SatelliteFamily::Meteor) {
        scan = decoded;
        run.manchester = true;
        host.AppendLog("The recording is Manchester coded: it is decoded first, as with MN_y");
      }
    }
    if (!error.empty()) {
      outcome.error = RunEndsHere(error);
      return run;
    }
    if (scan.satellite == nullptr) {
      outcome.error = Format(
          "No satellite recognised in '%s': its first %.1f MiB hold %d frames, none with a known "
          "spacecraft id, and no MSU-MR line sync",
          host.InputPath().c_str(), static_cast<double>(scan.bytes) / (1 << 20), scan.frames);
      return run;
    }
    run.satellite = scan.satellite;
    run.chosen_by = "the data";
    LogLine(host, "Satellite found in the data: %s (%s)", scan.satellite->title,
            scan.found.c_str());
    held_for_the_chain(static_cast<int64_t>(scan.bytes));
    SwitchDerandomisation(host, controls, session, *run.satellite, scan.derandomised);
  } else {
    run.satellite = SatelliteByOption(choice);
    if (run.satellite == nullptr) {
      outcome.error = RunEndsHere(Format("Unknown satellite '%s': it is one of %s", choice.c_str(),
                                         SatelliteOptionList().data()));
      return run;
    }
    run.chosen_by = "the satellite chosen";
    LogLine(host, "Satellite chosen: %s", run.satellite->title);
  }
  if (marked == nullptr) {
    run.name_from_data = true;
  } else if (marked == run.satellite) {
    NameFromRecordingStart(host, run);
  } else if (marked != run.satellite) {
    LogLine(host,
            "Warning: the file name's marker '%s' says %s; the run is for %s (%s), and so "
            "is the product's name",
            rule->marker, marked->title, run.satellite->title, run.chosen_by.c_str());
    host.Chain().NamingPath = NamingPathWithMarker(host.InputPath(), *run.satellite);
  }
  return run;
}

}  // namespace

ChainKind ChainOf(SatelliteFamily family) {
  switch (family) {
    case SatelliteFamily::MetOp:
      return ChainKind::MetOp;
    case SatelliteFamily::Fy3:
      return ChainKind::Fy3;
    case SatelliteFamily::Meteor:
      break;
  }
  return ChainKind::Mn2;
}

const std::vector<MarkerRule>& MarkerRules() {
  static const std::vector<MarkerRule> rules = [] {
    std::vector<MarkerRule> list;
    for (const Satellite& satellite : Satellites())
      list.push_back({satellite.marker, satellite.downlink->chain, satellite.variant, &satellite});
    return list;
  }();
  return rules;
}

std::string NamingPathWithMarker(std::string_view input_path, const Satellite& satellite) {
  const MarkerRule* rule = FindMarker(input_path);
  std::string path(input_path);
  if (rule == nullptr) return path;
  const size_t at = FindMarkerIn(path, rule->marker);
  return path.replace(at, std::string_view(rule->marker).size(), satellite.marker);
}

std::string NamingPathFromTime(const Satellite& satellite, int64_t days_since_2000,
                               int64_t ms_of_day) {
  // "yyyy-mm-dd hh:mm:ss.mmm"
  const std::string time = LineTimeText(days_since_2000, ms_of_day);
  std::string date = time.substr(0, 10);
  if (satellite.family != SatelliteFamily::Fy3)
    date.erase(std::remove(date.begin(), date.end(), '-'), date.end());
  const std::string clock = time.substr(11, 2) + time.substr(14, 2) + time.substr(17, 2);
  return std::string(satellite.marker) + date + "_" + clock + ".bin";
}

RecordingKind RecordingKindOf(StageHost& host) {
  const std::string& kind = host.RunSettings().InputKind;
  if (kind.empty()) {
    const std::string path = host.InputPath();
    if (!SoftSymbolExtension(path).empty()) return RecordingKind::kSoftSymbols;
    if (!BasebandExtension(path).empty()) return RecordingKind::kBaseband;
    return RecordingKind::kHardBits;
  }
  if (kind == "soft") return RecordingKind::kSoftSymbols;
  if (kind == "baseband") return RecordingKind::kBaseband;
  if (kind == "hard") return RecordingKind::kHardBits;
  throw StageError(
      RunEndsHere(Format("Unknown input kind '%s': it is hard, soft or baseband", kind.c_str())));
}

namespace {

bool WithBaseband(const ChainState& chain) {
  return chain.BasebandInput;
}
bool WithSoftSymbols(const ChainState& chain) {
  return chain.SoftInput;
}
bool WithManchester(const ChainState& chain) {
  return chain.ManchesterDone;
}

}  // namespace

std::vector<std::string_view> ChainWorkingFiles(const ChainDefinition& definition) {
  std::vector<std::string_view> names;
  for (const ChainStep& step : definition.steps)
    if (!step.writes().empty()) names.push_back(step.writes());
  return names;
}

const ChainDefinition& Chain(ChainKind kind) {
  // The front end: baseband samples are demodulated into soft symbols, soft symbols decoded into
  // bits; a hard-bit recording goes straight to the CADU search.
  static const ChainStep demodulation = {&kDemodulationStep, WithBaseband};
  static const ChainStep soft_symbols = {&kSoftSymbolStep, WithSoftSymbols};
  static const ChainStep cadu_extraction = {&kCaduExtractionStep};
  static const ChainDefinition metop = {
      ChainKind::MetOp,
      "MetOp",
      {demodulation,
       soft_symbols,
       cadu_extraction,
       {&kCvcduStep},
       {&kVcduSelectionStep},
       {&kMpduCheckingStep},
       {&kApidPacketExtractionStep},
       {&kHptWriterStep}},
      ProductPath,
  };
  static const ChainDefinition fy3 = {
      ChainKind::Fy3,
      "FY-3",
      {demodulation,
       soft_symbols,
       cadu_extraction,
       {&kCvcduStep},
       {&kVcduSelectionStep},
       {&kCutMpduStep},
       {&kFy3InnerSyncStep},
       {&kC10WriterStep}},
      ProductPath,
  };
  static const ChainDefinition mn2 = {
      ChainKind::Mn2,
      "Meteor-M N2",
      {demodulation,
       soft_symbols,
       {&kManchesterDecoderStep, WithManchester},
       cadu_extraction,
       {&kMsuMrDemultiplexerStep},
       {&kMn2InnerSyncStep},
       {&kDatWriterStep, nullptr, true}},
      ProductPath,
  };
  switch (kind) {
    case ChainKind::MetOp:
      return metop;
    case ChainKind::Fy3:
      return fy3;
    case ChainKind::Mn2:
      break;
  }
  return mn2;
}

const MarkerRule* FindMarker(std::string_view input_path) {
  const size_t slash = input_path.rfind('/');
  const std::string_view file_name =
      slash == std::string_view::npos ? input_path : input_path.substr(slash + 1);
  for (std::string_view searched : {file_name, input_path}) {
    for (const MarkerRule& rule : MarkerRules()) {
      if (searched.find(rule.marker) != std::string_view::npos) return &rule;
    }
  }
  return nullptr;
}

std::string ProductPathFor(std::string_view input_path) {
  const MarkerRule* rule = FindMarker(input_path);
  if (rule == nullptr) return {};
  // The writers read the input path and the run's satellite; nothing is logged.
  struct NamingHost : BasicHost {
    void AppendLog(const std::string&) override {}
  } host;
  host.input_path = std::string(input_path);
  OwnedRunSession session(host);
  session.session().satellite = rule->satellite;
  return Chain(rule->chain).product_path(host);
}

RunOutcome ProcessRecording(StageHost& host, RunControls& controls) {
  RunOutcome outcome;
  host.SetProcessEnabled(false);
  const MarkerRule* rule = FindMarker(controls.InputPathChoice());
  const std::string choice = controls.CurrentSettings().Satellite;
  if (rule == nullptr && choice.empty()) {
    host.AppendLog("This is not Metopx_ or FY3x_ or MN2_ files !");
    host.AppendLog(
        "A recording named without a satellite marker: choose \"Satellite: auto (data)\" to find "
        "the satellite in its data, or name the satellite");
    host.SetProcessEnabled(true);
    return outcome;
  }
  outcome.recognised = true;

  // One run per working folder, for the run's whole duration.
  const std::string folder = WorkingFolder();
  WorkingFolderLock lock;
  const WorkingFolderLock::Result locked = lock.Take(folder);
  if (locked != WorkingFolderLock::Result::Taken) {
    outcome.failed = true;
    outcome.locked_out = locked == WorkingFolderLock::Result::Busy;
    outcome.error = outcome.locked_out
                        ? Format("Another run is using the working folder '%s'.", folder.c_str())
                        : RunEndsHere(Format("Cannot lock the working folder '%s' (%s)",
                                             folder.c_str(), lock.Error().c_str()));
    host.AppendLog(outcome.error);
    host.SetProcessEnabled(true);
    return outcome;
  }

  ChainState& chain = controls.KeptChain();
  OwnedRunSession session = BeginRun(host, controls);
  RunSatellite run;
  try {
    const RecordingKind recording = DescribeRecording(host);
    chain.BasebandInput = recording == RecordingKind::kBaseband;
    // Its report has a baseband object even when the run ends before the samples are read.
    if (chain.BasebandInput) chain.Counts.baseband.emplace();
    chain.SoftInput = recording != RecordingKind::kHardBits;
    run = ChooseSatellite(host, controls, session, rule, choice, outcome);
  } catch (const StageError& error) {
    outcome.error = error.what();
  }
  if (run.satellite == nullptr) {
    outcome.failed = true;
    host.AppendLog(outcome.error);
    host.SetProcessEnabled(true);
    return outcome;
  }
  outcome.satellite = run.satellite;
  const ChainKind kind = run.satellite->downlink->chain;
  const ChainDefinition& definition = Chain(kind);
  chain.Counts.keep_uncorrectable = host.RunSettings().KeepUncorrectable;
  session.session().satellite = run.satellite;
  try {
    MeasureRecording(host);
    RefuseInputAmongRunFiles(host, definition);
    RemoveStaleRunFiles(host, definition);
    RunSteps(host, controls, session, definition, run);
  } catch (const std::exception& error) {
    session.ReadSettings();
    // The stage's files were closed by their owners on the way out (a temporary product is
    // removed with its owner); the run ends here and the driver is ready for the next one.
    outcome.failed = true;
    outcome.error = error.what();
    if (dynamic_cast<const RunCancelled*>(&error) == nullptr) {
      // What the data look like goes before the line's end, ": the run ends here.".
      const std::string look = WhatTheDataLookLike(host, run);
      const std::string ending = RunEndsHere("");
      std::string& line = outcome.error;
      const bool ends = line.size() >= ending.size() &&
                        line.compare(line.size() - ending.size(), ending.size(), ending) == 0;
      line.insert(ends ? line.size() - ending.size() : line.size(), look);
    }
    AppendPassReport(host, ReportSettings(host, kind));
    host.AppendLog(outcome.error);
    if (const auto* stop = dynamic_cast<const RunCancelled*>(&error)) {
      // A stopped run leaves nothing behind unless the working files are to be kept.
      outcome.stopped = true;
      outcome.stop_signal = stop->signal_number();
      if (host.RunSettings().DFiles) DeleteWorkingFiles(host, definition);
    }
    host.SetProcessEnabled(true);
    return outcome;
  }
  // What the run ends with reads the settings as they are now.
  session.ReadSettings();
  AppendPassReport(host, ReportSettings(host, kind));
  if (host.RunSettings().DFiles) {
    DeleteWorkingFiles(host, definition);
    host.AppendLog("");
    host.AppendLog("Delete intermediate files...  OK!");
  }
  if (chain.LastLineCount > 0) outcome.product = definition.product_path(host);
  host.SetProcessEnabled(true);
  outcome.close_program = chain.BatchMode && chain.LastLineCount > 0;
  return outcome;
}

}  // namespace vantrel
