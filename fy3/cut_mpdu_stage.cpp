#include "fy3/cut_mpdu_stage.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ccsds/ccsds_headers.h"
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

constexpr size_t kVcduBytes = kVcduLength;
// The kept slice: after the 6-byte VCDU header and the first four bytes of the data field.
constexpr size_t kCutStart = 10;
constexpr size_t kCutBytes = 882;
static_assert(kCutStart + kCutBytes == kVcduBytes);
// VCDUs read and written per file access.
constexpr size_t kBatchRecords = 256;
// Uncorrectable frames' bytes held for their place at most: a longer run of them is written as
// zeros as it goes, since no counter places it yet.
constexpr size_t kMaxHeldBytes = size_t{16} << 20;
// Records per progress step: the next stage counts lines of roughly this many records.
constexpr int32_t kRecordsPerProgressStep = 35;

}  // namespace

void CutMpduStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  const std::string& output_path = io.output_path;
  host.AppendLog("Starting cut Mpdu 3FFF...");
  host.AppendLog("");

  ChainState& chain = host.Chain();
  // Frames missing by the counter, and frames that could not be corrected (by their VCDU's mark),
  // become records of zeros, so that every byte after them keeps its place in the line stream.
  // Asked to keep uncorrectable frames as received, the cut holds them until the next trusted
  // counter: with no gap after them their place is certain and they are written as they came,
  // else as zeros. Those bytes are marked for the line search, before they are written.
  const bool keep_uncorrectable = host.RunSettings().KeepUncorrectable;
  int64_t bytes_out = 0;
  const std::vector<uint8_t> zeros(kCutBytes, 0);
  const auto note_zeros = [&](int64_t begin, int64_t end) {
    output.Mark({begin, end - begin, FrameMark::kFilledBytes});
  };
  // Writes the held cuts (as zeros unless `as_received`) at their place before `bytes_out`.
  std::vector<uint8_t> held;  // uncorrectable frames' cuts since the last trusted counter
  const auto write_held = [&](bool as_received) {
    if (held.empty()) return;
    const auto held_bytes = static_cast<int64_t>(held.size());
    note_zeros(bytes_out - held_bytes, bytes_out);
    if (!as_received) std::fill(held.begin(), held.end(), uint8_t{0});
    output.Write(held.data(), held.size());
    held.clear();
  };
  FrameCounterTrack counter;

  int32_t count = 0;
  // Whole VCDUs are read and cut a batch at a time; a trailing piece shorter than a VCDU is
  // dropped.
  std::vector<uint8_t> vcdus(kBatchRecords * kVcduBytes);
  std::vector<uint8_t> cuts(kBatchRecords * kCutBytes);
  for (;;) {
    const size_t records = input.Read(vcdus.data(), vcdus.size()) / kVcduBytes;
    size_t pending = 0;  // cut records of this batch not yet written
    for (size_t k = 0; k < records; ++k) {
      const uint8_t* vcdu = vcdus.data() + k * kVcduBytes;
      uint8_t* cut = cuts.data() + pending * kCutBytes;
      const int64_t offset = int64_t{count} * static_cast<int64_t>(kVcduBytes);
      StreamMark frame;
      const uint32_t tag =
          input.TakeMarkAt(offset, offset + static_cast<int64_t>(kVcduBytes), &frame) ? frame.value
                                                                                      : 0;
      if ((tag & FrameMark::kUncorrectable) != 0 && keep_uncorrectable) {
        counter.Untrusted();
        output.Write(cuts.data(), pending * kCutBytes);
        pending = 0;
        if (held.size() + kCutBytes > kMaxHeldBytes) write_held(false);
        held.insert(held.end(), vcdu + kCutStart, vcdu + kCutStart + kCutBytes);
        bytes_out += static_cast<int64_t>(kCutBytes);
        ++count;
        host.ProcessEvents();
        continue;
      }
      if ((tag & FrameMark::kUncorrectable) != 0) {
        counter.Untrusted();
        std::memset(cut, 0, kCutBytes);
        note_zeros(bytes_out, bytes_out + static_cast<int64_t>(kCutBytes));
      } else {
        const int32_t missing = counter.Next(VcduHeader::Parse(vcdu).frame_counter);
        const auto held_bytes = static_cast<int64_t>(held.size());
        if (missing == FrameCounterTrack::kRestart)
          output.Mark({bytes_out - held_bytes, 0, FrameMark::kUnmeasuredGap});
        // Nothing of this batch waits before them: holding flushed it.
        write_held(missing == 0);
        if (missing > 0) {
          output.Write(cuts.data(), pending * kCutBytes);
          cut = cuts.data();
          pending = 0;
          const int64_t filled = static_cast<int64_t>(missing) * static_cast<int64_t>(kCutBytes);
          note_zeros(bytes_out, bytes_out + filled);
          for (int32_t i = 0; i < missing; ++i) output.Write(zeros.data(), kCutBytes);
          bytes_out += filled;
          chain.Counts.frames_missing += missing;
        }
        std::memcpy(cut, vcdu + kCutStart, kCutBytes);
      }
      bytes_out += static_cast<int64_t>(kCutBytes);
      ++pending;
      ++count;
      host.ProcessEvents();
    }
    output.Write(cuts.data(), pending * kCutBytes);
    if (records < kBatchRecords) break;
  }
  // Held to the end: whether frames went missing before them is unknown.
  write_held(false);
  const ClosedFiles closed = CloseStageFiles(host, input, output);

  LogSummary(host, Format("Mpdu cuting done!  %d lines found.", count),
             Format("File '%s' contains %zu byte cut MPDUs.", output_path.c_str(), kCutBytes));
  host.SetProgressMaximum(count / kRecordsPerProgressStep);
  EndRunIfDataLost(closed, io.input_path, output_path);
}

const StepSpec kCutMpduStep = {"MPDU cut",
                               CutMpduStep,
                               "the VCDUs of one virtual channel",
                               "the FY-3 instrument byte stream (882 bytes a frame)",
                               WorkingFile::kMpduMpd,
                               WorkingFile::kVcduVcd};

void CutMpduStage(StageHost& host) {
  RunStepAlone(host, kCutMpduStep);
}

}  // namespace vantrel
