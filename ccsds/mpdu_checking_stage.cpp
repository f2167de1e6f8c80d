#include "ccsds/mpdu_checking_stage.h"

#include <string>

#include "ccsds/ccsds_headers.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "core/record_blocks.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {

void MpduCheckingStage(StageHost& host) {
  const std::string output_path = WorkingPath(WorkingFile::kMpduMpd);
  InputFile input;
  OutputFile output;
  OpenStageFiles(host, WorkingPath(WorkingFile::kVcduVcd), input, output_path, output);
  host.AppendLog("Starting Mpdu checking...");
  host.AppendLog("");

  ChainState& chain = host.Chain();
  int32_t count = 0;
  RecordBlockReader reader(input, kVcduLength);
  RecordBlockWriter writer(output);
  while (const uint8_t* vcdu = reader.Next()) {
    writer.Write(vcdu + kVcduHeaderLength, kMpduRecordLength);
    ++count;
    chain.ProgressCount = count;
    host.ProcessEvents();
  }
  writer.Flush();
  const ClosedFiles closed = CloseStageFiles(host, input, output);

  LogSummary(host, Format("Mpdu checking done!  %d lines found.", count),
             Format("File '%s' contains %d byte MPDUs.", output_path.c_str(), kMpduRecordLength));
  chain.ProgressCount = 0;
  host.SetProgressMaximum(count);
  EndRunIfDataLost(closed, WorkingPath(WorkingFile::kVcduVcd), output_path);
}

}  // namespace vantrel
