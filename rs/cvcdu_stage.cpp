#include "rs/cvcdu_stage.h"

#include <cstddef>
#include <cstdint>

#include "core/chain_runner.h"
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

}  // namespace

void CvcduStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  host.AppendLog("CVCDU preparing...");
  host.AppendLog("");

  int64_t records = 0;
  // Records move in large blocks; a trailing partial record is dropped. A frame's marks go on
  // with its VCDU.
  RecordBlockReader reader(input, kFrameBytes);
  RecordBlockWriter writer(output);
  while (const uint8_t* record = reader.Next()) {
    const int64_t offset = records * static_cast<int64_t>(kFrameBytes);
    StreamMark mark;
    if (input.TakeMarkAt(offset, offset + static_cast<int64_t>(kFrameBytes), &mark))
      output.Mark({records * static_cast<int64_t>(kVcduBytes), kVcduBytes, mark.value});
    writer.Write(record, kVcduBytes);
    ++records;
    host.ProcessEvents();
  }
  writer.Flush();
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  EndRunIfDataLost(closed, io.input_path, io.output_path);
  host.AppendLog("CVCDU ok!");
  host.AppendLog("");
  host.SetProgressMaximum(records);
}

const StepSpec kCvcduStep = {"CVCDU",
                             CvcduStep,
                             "CADUs (1020-byte code blocks)",
                             "VCDUs (892 bytes)",
                             WorkingFile::kCvcduRs,
                             WorkingFile::kCaduPds};

void CvcduStage(StageHost& host) {
  RunStepAlone(host, kCvcduStep);
}

}  // namespace vantrel
