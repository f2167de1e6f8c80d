#include "rs/cvcdu_stage.h"

#include <cstddef>
#include <cstdint>
#include <limits>

#include "core/file_io.h"
#include "core/record_blocks.h"
#include "core/record_sizes.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {
namespace {

// One cadu.pds record, four interleaved RS(255,223) codewords, and its data part: one VCDU.
constexpr size_t kFrameBytes = kCodeBlockBytes;
constexpr size_t kVcduBytes = kVcduLength;

// The shared progress value is 32-bit; longer files stop it at its top.
int32_t ProgressValue(int64_t records) {
  constexpr int64_t kTop = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(records < kTop ? records : kTop);
}

}  // namespace

void CvcduStage(StageHost& host) {
  InputFile input;
  OutputFile output;
  OpenStageFiles(host, WorkingPath(WorkingFile::kCaduPds), input,
                 WorkingPath(WorkingFile::kCvcduRs), output);
  host.AppendLog("CVCDU preparing...");
  host.AppendLog("");

  ChainState& chain = host.Chain();
  int64_t records = 0;
  // Records move in large blocks; a trailing partial record is dropped.
  RecordBlockReader reader(input, kFrameBytes);
  RecordBlockWriter writer(output);
  while (const uint8_t* record = reader.Next()) {
    writer.Write(record, kVcduBytes);
    ++records;
    chain.ProgressCount = ProgressValue(records);
    host.ProcessEvents();
  }
  writer.Flush();
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  chain.ProgressCount = 0;
  EndRunIfDataLost(closed, WorkingPath(WorkingFile::kCaduPds), WorkingPath(WorkingFile::kCvcduRs));
  host.AppendLog("CVCDU ok!");
  host.AppendLog("");
  host.SetProgressMaximum(records);
}

}  // namespace vantrel
