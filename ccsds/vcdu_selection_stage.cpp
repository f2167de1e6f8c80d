#include "ccsds/vcdu_selection_stage.h"

#include <string>

#include "ccsds/ccsds_headers.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "core/record_blocks.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {

void VcduSelectionStage(StageHost& host) {
  const std::string output_path = WorkingPath(WorkingFile::kVcduVcd);
  InputFile input;
  OutputFile output;
  OpenStageFiles(host, WorkingPath(WorkingFile::kCvcduRs), input, output_path, output);
  host.AppendLog("Starting VCDU selection...");
  host.AppendLog("");

  ChainState& chain = host.Chain();
  // A text that is no number throws; both files are closed by their owners on the way out.
  const int selected =
      chain.MetopMode ? ParseSettingInteger("VCID_Metop", host.VCID_Metop()) : host.Fy3Vcid();

  int32_t count = 0;
  RecordBlockReader reader(input, kVcduLength);
  RecordBlockWriter writer(output);
  while (const uint8_t* vcdu = reader.Next()) {
    if (VcduHeader::Parse(vcdu).virtual_channel == selected) {
      writer.Write(vcdu, kVcduLength);
      ++count;
      if (host.GetVCDU()) {
        std::string line = Format("Line %04d  ", count);
        AppendHexBytes(line, vcdu, kVcduListingBytes);
        host.AppendLog(line);
      }
    }
    chain.ProgressCount = count;
    host.ProcessEvents();
  }
  writer.Flush();
  const ClosedFiles closed = CloseStageFiles(host, input, output);

  LogSummary(
      host, Format("Vcdu selection done!  %d lines found.", count),
      Format("File '%s' contains 892 byte VCDUs of ID = %d only.", output_path.c_str(), selected));
  chain.ProgressCount = 0;
  host.SetProgressMaximum(count);
  EndRunIfDataLost(closed, WorkingPath(WorkingFile::kCvcduRs), output_path);
}

}  // namespace vantrel
