#include "fy3/inner_sync_stage.h"

#include <algorithm>
#include <deque>
#include <numeric>
#include <span>
#include <string>
#include <vector>

#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/frame_tags.h"
#include "core/log_format.h"
#include "core/record_sizes.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {
namespace {

// Instrument bytes one Meteor-M N2 frame carries: what the demultiplexed stream loses per frame.
constexpr size_t kMn2FrameShare = 948;
// The 31-bit line sync patterns, first bit the most significant.
constexpr uint32_t kFy3LineSync = 0b1000'0100'0101'1011'1111'0101'1100'011;
constexpr uint32_t kMn2LineSync = 0b0000'0010'0001'1000'1010'0111'1010'001;

// Turns the aligner's reports into output lines, log lines and progress.
class StageListener : public LineSyncListener {
 public:
  // The input's marks tell the byte ranges written for lost data and the offsets where an
  // unknown number of bytes went missing (the FY-3 cut's); a stream without marks has neither.
  StageListener(StageHost& host, const InnerSyncVariant& variant, InputFile& input,
                OutputFile& output)
      : host_(host),
        variant_(variant),
        logs_lines_(variant.logs_found_lines && host.RunSettings().FY3ASM),
        input_(input),
        output_(output) {}

  void LineFound(int32_t lines_found, uint32_t window_value, int shift, int64_t offset) override {
    if (logs_lines_) {
      LogLine(host_, "File 1  line %05d  found sync %08X  shift=%d  offset=%lld", lines_found,
              window_value, shift, static_cast<long long>(offset));
    }
    // The line's bits begin `shift` bits before the byte at `at` and take L bytes from there.
    at_ += offset;
    NoteLineStart(at_, shift);
    const int64_t begin = at_ - (shift > 0 ? 1 : 0);
    const int64_t end = at_ + static_cast<int64_t>(variant_.line_length);
    TakeMarks(end);
    while (next_run_ < zero_runs_.size() && zero_runs_[next_run_].end <= begin) ++next_run_;
    if (next_run_ < zero_runs_.size() && zero_runs_[next_run_].begin < end) ++zero_filled;
    line_markers_ = MarkersWithin(begin, end);
  }
  // The sync one line after the last line lies, wholly or in part, in bytes written for lost
  // data, and nothing between the last line and the end of this one went missing unmeasured:
  // the line keeps its place.
  bool SyncLostInPlace(int64_t at) override {
    const int64_t line_end = at + static_cast<int64_t>(variant_.line_length);
    TakeMarks(line_end);
    const auto gap = std::upper_bound(unmeasured_gaps_.begin(), unmeasured_gaps_.end(), at_);
    if (gap != unmeasured_gaps_.end() && *gap < line_end) return false;
    return SyncInLostBytes(at);
  }
  void LineDropped(int64_t at) override {
    // Where lost frames keep their places, a sync off the grid in the bytes of uncorrectable
    // frames written as received is noise, not a line.
    if (SyncInLostBytes(at)) return;
    ++dropped;
    NoteLineStart(at, kUnknownShift);
  }
  void LineReady(std::span<const uint8_t> line) override {
    // The line carries the marker errors of every frame that has bytes in it.
    if (line_markers_.markers > 0) {
      output_.Mark({output_.Written(), static_cast<int64_t>(line.size()), line_markers_.ToMark()});
    }
    output_.Write(line.data(), line.size());
  }
  void InputShort(int32_t lines_found, size_t got) override {
    LogLine(host_, "File 1 line %d short %d", lines_found, static_cast<int>(got));
  }
  // Events are pumped once per line and once per window move rather than at every byte position:
  // the window's pump is rate-limited anyway, and a call per byte would cost more than the search.
  void Progress(int32_t /*lines_found*/) override { host_.ProcessEvents(); }

  int64_t dropped = 0;      // lines dropped for bytes lost inside them
  int64_t zero_filled = 0;  // lines written with zeros where bytes were lost

 private:
  static constexpr int kUnknownShift = -1;

  // Whether the line sync at `at` lies, wholly or in part, in bytes written for lost data: the
  // pattern's 31 bits begin up to 7 bits before `at` and end within the fourth byte.
  bool SyncInLostBytes(int64_t at) {
    const int64_t sync_begin = at - 1;
    const int64_t sync_end = at + 4;
    TakeMarks(sync_end);
    const auto run =
        std::lower_bound(zero_runs_.begin(), zero_runs_.end(), sync_begin,
                         [](const ByteRun& r, int64_t offset) { return r.end <= offset; });
    return run != zero_runs_.end() && run->begin < sync_end;
  }

  // Adds the marks that begin before `end` to the lists, in stream order.
  void TakeMarks(int64_t end) {
    if (end <= marks_end_) return;
    marks_end_ = end;
    input_.TakeMarks(end);
    std::deque<StreamMark>& marks = input_.Marks();
    for (; !marks.empty() && marks.front().offset < end; marks.pop_front()) {
      const StreamMark& mark = marks.front();
      if (mark.value == FrameMark::kFilledBytes)
        zero_runs_.push_back({mark.offset, mark.offset + mark.length});
      else if (mark.value == FrameMark::kUnmeasuredGap)
        unmeasured_gaps_.push_back(mark.offset);
      else if (const auto errors = MarkerErrors::FromMark(mark.value))
        marker_runs_.push_back({{mark.offset, mark.offset + mark.length}, *errors});
    }
  }

  // The marker errors of the marked byte ranges that meet [begin, end); ranges that end before
  // `begin` are let go (lines come in stream order).
  MarkerErrors MarkersWithin(int64_t begin, int64_t end) {
    while (!marker_runs_.empty() && marker_runs_.front().bytes.end <= begin)
      marker_runs_.pop_front();
    MarkerErrors sum;
    for (const MarkedRun& run : marker_runs_) {
      if (run.bytes.begin >= end) break;
      sum += run.errors;
    }
    return sum;
  }

  // Lines whose sync was lost (zero-filled, or hit by bit errors) leave their places on the line
  // grid empty: a line start a whole number k >= 2 of lines after the one before (at the same
  // shift) passed over k - 1 lines, which are counted as dropped. Where the input loses whole
  // frames' shares instead (Meteor-M N2), the distance plus the fewest shares that make it whole
  // lines tells the lines spanned; all but the first (dropped already) went with the lost bytes.
  void NoteLineStart(int64_t at, int shift) {
    const auto length = static_cast<int64_t>(variant_.line_length);
    const auto share = static_cast<int64_t>(variant_.loss_unit);
    const int64_t distance = at - last_start_;
    if (last_start_ >= 0 && (shift == last_shift_ || shift < 0 || last_shift_ < 0) &&
        distance > 0) {
      if (distance % length == 0) {
        dropped += distance / length - 1;
      } else if (share > 0) {
        // Shares repeat the remainders after length / gcd of them; the lines spanned are known
        // only up to that many shares lost.
        const int64_t period = length / std::gcd(length, share);
        for (int64_t n = 1; n < period; ++n) {
          if ((distance + n * share) % length == 0) {
            dropped += (distance + n * share) / length - 1;
            break;
          }
        }
      }
    }
    last_start_ = at;
    last_shift_ = shift;
  }

  struct ByteRun {
    int64_t begin;
    int64_t end;
  };
  struct MarkedRun {
    ByteRun bytes;
    MarkerErrors errors;
  };

  StageHost& host_;
  const InnerSyncVariant& variant_;
  const bool logs_lines_;  // the FY3ASM option, as the stage started
  InputFile& input_;
  OutputFile& output_;
  // Ascending byte ranges written for lost data (adjacent ones not merged: only whether a range
  // of the input meets one counts), and ascending offsets of unmeasured gaps.
  std::vector<ByteRun> zero_runs_;
  std::vector<int64_t> unmeasured_gaps_;
  // Ascending byte ranges with their frames' marker errors, from the first that may still meet a
  // line on; and the sum over the ranges of the line just found.
  std::deque<MarkedRun> marker_runs_;
  MarkerErrors line_markers_;
  int64_t marks_end_ = 0;  // the marks before this offset are in the lists
  size_t next_run_ = 0;
  int64_t at_ = 0;           // input offset of the last line found
  int64_t last_start_ = -1;  // input offset of the last line found or dropped
  int last_shift_ = kUnknownShift;
};

}  // namespace

const InnerSyncVariant& Fy3InnerSyncVariant() {
  static const InnerSyncVariant variant = {
      WorkingFile::kMpduMpd,
      WorkingFile::kFy3Lines,
      kFy3LineBytes,
      MakeLineSyncTable(kFy3LineSync),
      "Starting inner FY3x ASM detection...",
      "File '%s' Inner ASM aligned, %zu byte lines ",
      true,
      0,
  };
  return variant;
}

const InnerSyncVariant& Mn2InnerSyncVariant() {
  static const InnerSyncVariant variant = {
      WorkingFile::kMsuMrDmx,
      WorkingFile::kMn2Lines,
      kMn2LineBytes,
      MakeLineSyncTable(kMn2LineSync),
      "Starting inner Metop MN2 ASM detection...",
      "File '%s' Inner ASM aligned, %zu byte lines ",
      false,
      kMn2FrameShare,
  };
  return variant;
}

void InnerSyncStep(StepIo& io, const InnerSyncVariant& variant) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  const std::string& output_path = io.output_path;
  host.AppendLog(variant.start_line);

  LineSyncAligner aligner(variant.line_length, variant.table);
  StageListener listener(host, variant, input, output);
  const int32_t lines = aligner.Run(
      [&input](std::span<uint8_t> buffer) { return input.Read(buffer.data(), buffer.size()); },
      listener);

  const ClosedFiles closed = CloseStageFiles(host, input, output);
  PassCounts& counts = host.Chain().Counts;
  counts.lines_dropped += listener.dropped;
  counts.lines_zero_filled += listener.zero_filled;
  if (listener.dropped > 0) {
    LogLine(host, "%lld lines dropped: data lost inside them",
            static_cast<long long>(listener.dropped));
  }
  if (listener.zero_filled > 0) {
    LogLine(host, "%lld lines zero-filled: data lost inside them",
            static_cast<long long>(listener.zero_filled));
  }
  LogSummary(host, Format("ASM detection done!  %d lines found.", lines),
             Format(variant.result_line, output_path.c_str(), variant.line_length));
  // The writer that follows counts its progress in lines.
  host.SetProgressMaximum(lines);
  EndRunIfDataLost(closed, io.input_path, output_path);
}

namespace {

void Fy3InnerSyncStep(StepIo& io) {
  InnerSyncStep(io, Fy3InnerSyncVariant());
}

void Mn2InnerSyncStep(StepIo& io) {
  InnerSyncStep(io, Mn2InnerSyncVariant());
}

}  // namespace

const StepSpec kFy3InnerSyncStep = {
    "Inner sync alignment",           Fy3InnerSyncStep,       "the FY-3 instrument byte stream",
    "VIRR/MERSI lines (26050 bytes)", WorkingFile::kFy3Lines, WorkingFile::kMpduMpd};
const StepSpec kMn2InnerSyncStep = {"Inner sync alignment",   Mn2InnerSyncStep,
                                    "the MSU-MR byte stream", "MSU-MR lines (11850 bytes)",
                                    WorkingFile::kMn2Lines,   WorkingFile::kMsuMrDmx};

void InnerSyncStage(StageHost& host, const InnerSyncVariant& variant) {
  RunStepAlone(host, &variant == &Fy3InnerSyncVariant() ? kFy3InnerSyncStep : kMn2InnerSyncStep);
}

void Fy3InnerSyncStage(StageHost& host) {
  RunStepAlone(host, kFy3InnerSyncStep);
}

void Mn2InnerSyncStage(StageHost& host) {
  RunStepAlone(host, kMn2InnerSyncStep);
}

}  // namespace vantrel
