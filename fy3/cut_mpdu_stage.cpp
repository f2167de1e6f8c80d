#include "fy3/cut_mpdu_stage.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ccsds/ccsds_headers.h"
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

void CutMpduStage(StageHost& host) {
  const std::string output_path = WorkingPath(WorkingFile::kMpduMpd);
  InputFile input;
  OutputFile output;
  OpenStageFiles(host, WorkingPath(WorkingFile::kVcduVcd), input, output_path, output);
  host.AppendLog("Starting cut Mpdu 3FFF...");
  host.AppendLog("");

  ChainState& chain = host.Chain();
  // Each VCDU's Reed-Solomon verdict, as VCDU selection left it for this file.
  const std::vector<uint32_t>& tags = chain.Frames.selected_vcdus;
  const bool tagged =
      chain.Frames.selected_vcdus_valid &&
      static_cast<int64_t>(tags.size()) == input.Size() / static_cast<int64_t>(kVcduBytes);
  // Frames missing by the counter, and frames that could not be corrected, become records of
  // zeros, so that every byte after them keeps its place in the line stream. Asked to keep
  // uncorrectable frames as received, the cut holds them until the next trusted counter: with no
  // gap after them their place is certain and they are written as they came, else as zeros.
  std::vector<FrameTags::ByteRun>& zero_runs = chain.Frames.zero_filled_mpdu_bytes;
  zero_runs.clear();
  std::vector<int64_t>& unmeasured = chain.Frames.unmeasured_mpdu_gaps;
  unmeasured.clear();
  chain.Frames.mpdu_bytes = -1;
  const bool keep_uncorrectable = host.RunSettings().KeepUncorrectable;
  int64_t bytes_out = 0;
  const std::vector<uint8_t> zeros(kCutBytes, 0);
  const auto note_zeros = [&](int64_t begin, int64_t end) {
    if (!zero_runs.empty() && zero_runs.back().end == begin) {
      zero_runs.back().end = end;
    } else {
      zero_runs.push_back({begin, end});
    }
  };
  FrameCounterTrack counter;

  int32_t count = 0;
  // Whole VCDUs are read and cut a batch at a time; a trailing piece shorter than a VCDU is
  // dropped.
  std::vector<uint8_t> vcdus(kBatchRecords * kVcduBytes);
  std::vector<uint8_t> cuts(kBatchRecords * kCutBytes);
  std::vector<uint8_t> held;  // uncorrectable frames' cuts since the last trusted counter
  for (;;) {
    const size_t records = input.Read(vcdus.data(), vcdus.size()) / kVcduBytes;
    size_t pending = 0;  // cut records of this batch not yet written
    for (size_t k = 0; k < records; ++k) {
      const uint8_t* vcdu = vcdus.data() + k * kVcduBytes;
      uint8_t* cut = cuts.data() + pending * kCutBytes;
      const uint32_t tag = tagged ? tags[static_cast<size_t>(count)] : 0;
      if ((tag & FrameTags::kUncorrectableTag) != 0 && keep_uncorrectable) {
        counter.Untrusted();
        output.Write(cuts.data(), pending * kCutBytes);
        pending = 0;
        if (held.size() + kCutBytes > kMaxHeldBytes) {
          std::fill(held.begin(), held.end(), uint8_t{0});
          output.Write(held.data(), held.size());
          held.clear();
        }
        held.insert(held.end(), vcdu + kCutStart, vcdu + kCutStart + kCutBytes);
        note_zeros(bytes_out, bytes_out + static_cast<int64_t>(kCutBytes));
        bytes_out += static_cast<int64_t>(kCutBytes);
        ++count;
        chain.ProgressCount = count;
        host.ProcessEvents();
        continue;
      }
      if ((tag & FrameTags::kUncorrectableTag) != 0) {
        counter.Untrusted();
        std::memset(cut, 0, kCutBytes);
        note_zeros(bytes_out, bytes_out + static_cast<int64_t>(kCutBytes));
      } else {
        const int32_t missing = counter.Next(VcduHeader::Parse(vcdu).frame_counter);
        const auto held_bytes = static_cast<int64_t>(held.size());
        if (!held.empty()) {
          // Nothing of this batch waits before them: holding flushed it.
          if (missing != 0) std::fill(held.begin(), held.end(), uint8_t{0});
          output.Write(held.data(), held.size());
          held.clear();
        }
        if (missing == FrameCounterTrack::kRestart) unmeasured.push_back(bytes_out - held_bytes);
        if (missing > 0) {
          output.Write(cuts.data(), pending * kCutBytes);
          cut = cuts.data();
          pending = 0;
          for (int32_t i = 0; i < missing; ++i) output.Write(zeros.data(), kCutBytes);
          const int64_t filled = static_cast<int64_t>(missing) * static_cast<int64_t>(kCutBytes);
          note_zeros(bytes_out, bytes_out + filled);
          bytes_out += filled;
          chain.Counts.frames_missing += missing;
        }
        std::memcpy(cut, vcdu + kCutStart, kCutBytes);
      }
      bytes_out += static_cast<int64_t>(kCutBytes);
      ++pending;
      ++count;
      chain.ProgressCount = count;
      host.ProcessEvents();
    }
    output.Write(cuts.data(), pending * kCutBytes);
    if (records < kBatchRecords) break;
  }
  // Held to the end: whether frames went missing before them is unknown.
  if (!held.empty()) {
    std::fill(held.begin(), held.end(), uint8_t{0});
    output.Write(held.data(), held.size());
  }
  chain.Frames.mpdu_bytes = bytes_out;
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  chain.ProgressCount = 0;

  LogSummary(host, Format("Mpdu cuting done!  %d lines found.", count),
             Format("File '%s' contains %zu byte cut MPDUs.", output_path.c_str(), kCutBytes));
  chain.ProgressCount = 0;
  host.SetProgressMaximum(count / kRecordsPerProgressStep);
  EndRunIfDataLost(closed, WorkingPath(WorkingFile::kVcduVcd), output_path);
}

}  // namespace vantrel
