#include "ccsds/mpdu_checking_stage.h"

#include <string>

#include "ccsds/ccsds_headers.h"
#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "core/record_blocks.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {

void MpduCheckingStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  const std::string& output_path = io.output_path;
  host.AppendLog("Starting Mpdu checking...");
  host.AppendLog("");

  int32_t count = 0;
  RecordBlockReader reader(input, kVcduLength);
  RecordBlockWriter writer(output);
  while (const uint8_t* vcdu = reader.Next()) {
    // The VCDU's mark goes on with its M_PDU.
    const int64_t offset = int64_t{count} * kVcduLength;
    StreamMark mark;
    if (input.TakeMarkAt(offset, offset + kVcduLength, &mark))
      output.Mark({int64_t{count} * kMpduRecordLength, kMpduRecordLength, mark.value});
    writer.Write(vcdu + kVcduHeaderLength, kMpduRecordLength);
    ++count;
    host.ProcessEvents();
  }
  writer.Flush();
  const ClosedFiles closed = CloseStageFiles(host, input, output);

  LogSummary(host, Format("Mpdu checking done!  %d lines found.", count),
             Format("File '%s' contains %d byte MPDUs.", output_path.c_str(), kMpduRecordLength));
  host.SetProgressMaximum(count);
  EndRunIfDataLost(closed, io.input_path, output_path);
}

const StepSpec kMpduCheckingStep = {
    "MPDU checking",      MpduCheckingStep,      "the VCDUs of one virtual channel",
    "M_PDUs (886 bytes)", WorkingFile::kMpduMpd, WorkingFile::kVcduVcd};

void MpduCheckingStage(StageHost& host) {
  RunStepAlone(host, kMpduCheckingStep);
}

}  // namespace vantrel
