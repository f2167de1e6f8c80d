#include "ccsds/vcdu_selection_stage.h"

#include <string>

#include "ccsds/ccsds_headers.h"
#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/frame_tags.h"
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

void VcduSelectionStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  const std::string& output_path = io.output_path;
  host.AppendLog("Starting VCDU selection...");
  host.AppendLog("");

  // A text that is no number throws; both files are closed by their owners on the way out.
  const int selected = SelectedVirtualChannel(host);
  const bool listing = host.RunSettings().GetVCDU;

  // Each selected VCDU is marked with its frame counter and Reed-Solomon verdict (the mark its
  // frame came with), for the steps behind that follow the frames.
  int64_t index = 0;
  int32_t count = 0;
  RecordBlockReader reader(input, kVcduLength);
  RecordBlockWriter writer(output);
  for (const uint8_t* vcdu = reader.Next(); vcdu != nullptr; vcdu = reader.Next(), ++index) {
    const int64_t offset = index * kVcduLength;
    StreamMark frame;
    const bool uncorrectable = input.TakeMarkAt(offset, offset + kVcduLength, &frame) &&
                               (frame.value & FrameMark::kUncorrectable) != 0;
    const VcduHeader header = VcduHeader::Parse(vcdu);
    if (header.virtual_channel == selected) {
      output.Mark({int64_t{count} * kVcduLength, kVcduLength,
                   (header.frame_counter & FrameMark::kCounterMask) |
                       (uncorrectable ? FrameMark::kUncorrectable : 0u)});
      writer.Write(vcdu, kVcduLength);
      ++count;
      if (listing) {
        std::string line = Format("Line %04d  ", count);
        AppendHexBytes(line, vcdu, kVcduListingBytes);
        host.AppendLog(line);
      }
    }
    host.ProcessEvents();
  }
  writer.Flush();
  const ClosedFiles closed = CloseStageFiles(host, input, output);

  LogSummary(host, Format("Vcdu selection done!  %d lines found.", count),
             Format("File '%s' contains %d byte VCDUs of ID = %d only.", output_path.c_str(),
                    kVcduLength, selected));
  host.SetProgressMaximum(count);
  EndRunIfDataLost(closed, io.input_path, output_path);
}

const StepSpec kVcduSelectionStep = {"VCDU selection",      VcduSelectionStep,
                                     "VCDUs (892 bytes)",   "the VCDUs of one virtual channel",
                                     WorkingFile::kVcduVcd, WorkingFile::kCvcduRs};

void VcduSelectionStage(StageHost& host) {
  RunStepAlone(host, kVcduSelectionStep);
}

}  // namespace vantrel
