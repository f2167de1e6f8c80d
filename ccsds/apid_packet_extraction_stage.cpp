#include "ccsds/apid_packet_extraction_stage.h"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "ccsds/ccsds_headers.h"
#include "ccsds/source_packet_builder.h"
#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/frame_tags.h"
#include "core/log_format.h"
#include "core/record_blocks.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"

namespace vantrel {
namespace {

constexpr int32_t kDayApid = 103;
constexpr int32_t kNightApid = 104;
// The progress bar of the next stage counts packets: about one per 14 M_PDUs.
constexpr int32_t kMpdusPerPacket = 14;
// This stage's summary ends with one asterisk fewer than the others.
constexpr int kSeparatorLength = 53;

// Reads and checks the builder settings; throws StageError naming a setting that cannot work.
// Both texts are read before either value is checked.
struct BuilderSettings {
  int32_t header_length;
  int32_t max_packet_length;
};

BuilderSettings ReadBuilderSettings(const Settings& settings) {
  settings.MPDU_header.Value();
  settings.MaxPkLen.Value();
  return {MpduHeaderLength(settings), MaxPacketLength(settings)};
}

std::string ListingLine(std::string line, const uint8_t* bytes) {
  AppendHexBytes(line, bytes, kVcduListingBytes);
  return line;
}

}  // namespace

void ApidPacketExtractionStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  const std::string& output_path = io.output_path;
  host.AppendLog("Starting APID packet building...");
  host.AppendLog("");

  // A setting that cannot work ends the run here; both files are closed by their owners.
  const Settings& options = host.RunSettings();
  const BuilderSettings settings = ReadBuilderSettings(options);
  const bool listing = options.GetAPID;
  const int32_t wanted_apid = options.APID104 ? kNightApid : kDayApid;
  SourcePacketBuilder& builder = host.Session().packets;
  builder.Setup(settings.max_packet_length, settings.header_length);
  builder.SetKeepUncorrectable(options.KeepUncorrectable);

  // Receives each packet handed out; the listing shows its front, or the M_PDU's when none came.
  std::array<uint8_t, kPacketSlotCapacity> buffer{};
  DiagnosticBlock diagnostics{};
  ChainState& chain = host.Chain();
  int32_t index = 0;
  RecordBlockReader reader(input, kMpduRecordLength);
  RecordBlockWriter writer(output);
  while (const uint8_t* mpdu = reader.Next()) {
    // The frame counter and Reed-Solomon verdict of the M_PDU's VCDU, marked by VCDU selection.
    const int64_t offset = int64_t{index} * kMpduRecordLength;
    StreamMark frame;
    if (input.TakeMarkAt(offset, offset + kMpduRecordLength, &frame)) {
      builder.NoteFrame(frame.value & FrameMark::kCounterMask,
                        (frame.value & FrameMark::kUncorrectable) != 0);
    }
    // Only the listed front of the M_PDU is ever looked at in the buffer.
    std::copy_n(mpdu, kVcduListingBytes, buffer.begin());
    if (listing) {
      host.AppendLog(ListingLine(Format("*** MPDU INPUT Line %04d  ", index), mpdu));
    }
    const int32_t completed =
        builder.FeedMpdu(std::span<const uint8_t>(mpdu, kMpduRecordLength), diagnostics);
    if (listing) LogLine(host, "*** Packet Builder returned %d", completed);
    if (completed > 0) {
      if (listing) LogLine(host, "@ Packet Builder found packets - returned %d", completed);
      for (int32_t i = 0; i < completed; ++i) {
        const int32_t next = builder.GetNext(buffer, settings.max_packet_length);
        const int32_t apid = SourcePacketHeader::ApidOf(buffer.data());
        if (listing) {
          host.AppendLog(
              ListingLine(Format("Get Line %04d  GetNext=%d  ", index, next), buffer.data()));
          LogLine(host, "Packet Builder apid=%d  apid2save=%d", apid, wanted_apid);
        }
        if (next >= 0 && apid == wanted_apid) {
          writer.Write(buffer.data(), static_cast<size_t>(settings.max_packet_length));
        }
      }
    }
    ++index;
    host.ProcessEvents();
  }
  writer.Flush();
  const ClosedFiles closed = CloseStageFiles(host, input, output);
  const BuilderLosses& losses = builder.Losses();
  const int64_t dropped = losses.DroppedOf(wanted_apid);
  const int64_t zero_filled = losses.ZeroFilledOf(wanted_apid);
  chain.Counts.frames_missing += losses.frames_missing;
  chain.Counts.lines_dropped += dropped;
  chain.Counts.lines_zero_filled += zero_filled;
  if (dropped > 0) {
    LogLine(host, "%d packets dropped: data lost inside them", static_cast<int>(dropped));
  }
  if (zero_filled > 0) {
    LogLine(host, "%d lines zero-filled: data lost inside them", static_cast<int>(zero_filled));
  }

  LogSummary(
      host, Format("Packet building done!  %d lines found.", index),
      Format("File '%s' contains source packets of APID %d.", output_path.c_str(), wanted_apid),
      kSeparatorLength);
  host.SetProgressMaximum(index / kMpdusPerPacket);
  EndRunIfDataLost(closed, io.input_path, output_path);
}

const StepSpec kApidPacketExtractionStep = {
    "APID packet extraction", ApidPacketExtractionStep,
    "M_PDUs (886 bytes)",     "source packets of one APID (MaxPkLen-byte records)",
    WorkingFile::kApidPkt,    WorkingFile::kMpduMpd};

void ApidPacketExtractionStage(StageHost& host) {
  RunStepAlone(host, kApidPacketExtractionStep);
}

}  // namespace vantrel
