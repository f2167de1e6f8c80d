#include "fy3/cut_mpdu_stage.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {
namespace {

constexpr size_t kVcduBytes = 892;
// The kept slice: after the 6-byte VCDU header and the first four bytes of the data field.
constexpr size_t kCutStart = 10;
constexpr size_t kCutBytes = 882;
static_assert(kCutStart + kCutBytes == kVcduBytes);
// VCDUs read and written per file access.
constexpr size_t kBatchRecords = 256;
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
  int32_t count = 0;
  // Whole VCDUs are read and cut a batch at a time; a trailing piece shorter than a VCDU is
  // dropped.
  std::vector<uint8_t> vcdus(kBatchRecords * kVcduBytes);
  std::vector<uint8_t> cuts(kBatchRecords * kCutBytes);
  for (;;) {
    const size_t records = input.Read(vcdus.data(), vcdus.size()) / kVcduBytes;
    for (size_t k = 0; k < records; ++k) {
      std::memcpy(cuts.data() + k * kCutBytes, vcdus.data() + k * kVcduBytes + kCutStart,
                  kCutBytes);
      ++count;
      chain.ProgressCount = count;
      host.ProcessEvents();
    }
    output.Write(cuts.data(), records * kCutBytes);
    if (records < kBatchRecords) break;
  }
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  chain.ProgressCount = 0;

  LogSummary(host, Format("Mpdu cuting done!  %d lines found.", count),
             Format("File '%s' contains 882 byte cut MPDUs.", output_path.c_str()));
  chain.ProgressCount = 0;
  host.SetProgressMaximum(count / kRecordsPerProgressStep);
  EndRunIfDataLost(closed, WorkingPath(WorkingFile::kVcduVcd), output_path);
}

}  // namespace vantrel
