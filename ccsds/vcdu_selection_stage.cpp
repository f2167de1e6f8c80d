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

int SelectedVirtualChannel(StageHost& host) {
  const Settings& settings = host.RunSettings();
  switch (host.RunSatellite().downlink->channel) {
    case ChannelSetting::kMetop:
      return settings.VCID_Metop.Value();
    case ChannelSetting::kFy3:
      return settings.Fy3Vcid;
    case ChannelSetting::kNone:
      break;
  }
  return -1;
}

void VcduSelectionStage(StageHost& host) {
  const std::string output_path = WorkingPath(WorkingFile::kVcduVcd);
  InputFile input;
  OutputFile output;
  OpenStageFiles(host, WorkingPath(WorkingFile::kCvcduRs), input, output_path, output);
  host.AppendLog("Starting VCDU selection...");
  host.AppendLog("");

  ChainState& chain = host.Chain();
  // A text that is no number throws; both files are closed by their owners on the way out.
  const int selected = SelectedVirtualChannel(host);
  const bool listing = host.RunSettings().GetVCDU;

  // Each selected VCDU's frame counter and Reed-Solomon verdict, for the stage after the next.
  // The verdicts of cadu.pds apply record by record when cvcdu.rs was cut from it in this run.
  FrameTags& tags = chain.Frames;
  tags.selected_vcdus.clear();
  tags.selected_vcdus_valid = false;
  const int64_t input_records = input.Size() / kVcduLength;
  const bool verdicts = tags.cadu_records >= 0 && tags.cadu_records == input_records;
  auto next_uncorrectable = tags.uncorrectable_cadus.cbegin();
  int64_t index = 0;

  int32_t count = 0;
  RecordBlockReader reader(input, kVcduLength);
  RecordBlockWriter writer(output);
  for (const uint8_t* vcdu = reader.Next(); vcdu != nullptr; vcdu = reader.Next(), ++index) {
    bool uncorrectable = false;
    if (verdicts && next_uncorrectable != tags.uncorrectable_cadus.cend() &&
        *next_uncorrectable == index) {
      uncorrectable = true;
      ++next_uncorrectable;
    }
    const VcduHeader header = VcduHeader::Parse(vcdu);
    if (header.virtual_channel == selected) {
      writer.Write(vcdu, kVcduLength);
      ++count;
      tags.selected_vcdus.push_back((header.frame_counter & FrameTags::kCounterMask) |
                                    (uncorrectable ? FrameTags::kUncorrectableTag : 0u));
      if (listing) {
        std::string line = Format("Line %04d  ", count);
        AppendHexBytes(line, vcdu, kVcduListingBytes);
        host.AppendLog(line);
      }
    }
    chain.ProgressCount = count;
    host.ProcessEvents();
  }
  writer.Flush();
  tags.selected_vcdus_valid = true;
  const ClosedFiles closed = CloseStageFiles(host, input, output);

  LogSummary(host, Format("Vcdu selection done!  %d lines found.", count),
             Format("File '%s' contains %d byte VCDUs of ID = %d only.", output_path.c_str(),
                    kVcduLength, selected));
  chain.ProgressCount = 0;
  host.SetProgressMaximum(count);
  EndRunIfDataLost(closed, WorkingPath(WorkingFile::kCvcduRs), output_path);
}

}  // namespace vantrel
