#include "metop/hpt_writer.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/pass_report.h"
#include "core/record_blocks.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "metop/hpt_record.h"

namespace vantrel {
namespace {

// The product name of the satellite the driver chose: MetOp-A drops its marker.
std::string HptOutputName(StageHost& host) {
  const ChainState& chain = host.Chain();
  if (chain.MetopSatelliteA) return OutputBaseName(host.InputPath(), "MetopA_", true) + "_M02.hpt";
  if (chain.MetopSatelliteB) return OutputBaseName(host.InputPath(), "MetopB_", false) + "_M03.hpt";
  return OutputBaseName(host.InputPath(), "MetopC_", false) + "_M04.hpt";
}

// APID.pkt holds one packet per record of MaxPkLen bytes, the size the packet extraction stage
// writes; the same limits as there.
constexpr int32_t kShortestPacketRecord = 7;
constexpr int32_t kLongestPacketRecord = 12999;

int32_t PacketRecordLength(StageHost& host) {
  const int32_t length = ParseSettingInteger("MaxPkLen", host.MaxPkLen());
  if (length < kShortestPacketRecord || length > kLongestPacketRecord) {
    throw StageError(Format("MaxPkLen: %d is outside the packet lengths %d..%d", length,
                            kShortestPacketRecord, kLongestPacketRecord));
  }
  return length;
}

}  // namespace

void HptWriter(StageHost& host) {
  // Records are read at the size they were written, so that each one is one packet: a packet is
  // taken from the front of its record, with zeros behind a record shorter than a packet. A
  // setting that cannot work ends the run before any file is opened.
  const auto record_length = static_cast<size_t>(PacketRecordLength(host));
  const std::string output_path = WorkingPath(HptOutputName(host));
  InputFile input;
  OutputFile output;
  if (!OpenStageFiles(host, WorkingPath(WorkingFile::kApidPkt), input, output_path, output)) return;
  host.AppendLog("Starting creating .hpt file...");

  ChainState& chain = host.Chain();
  int32_t count = 0;
  std::array<uint8_t, kHptRecordLength> record{};
  std::array<uint8_t, kAvhrrPacketLength> packet{};
  const size_t packet_bytes = std::min<size_t>(record_length, kAvhrrPacketLength);
  RecordBlockReader reader(input, record_length);
  RecordBlockWriter writer(output);
  while (const uint8_t* packet_record = reader.Next()) {
    std::copy_n(packet_record, packet_bytes, packet.begin());
    FillHptRecord(record, packet, count);
    NoteLineTime(chain.Counts, packet[6] << 8 | packet[7],
                 int64_t{packet[8]} << 24 | packet[9] << 16 | packet[10] << 8 | packet[11]);
    writer.Write(record.data(), record.size());
    if (!output.Ok()) break;
    ++count;
    chain.ProgressCount = count;
    host.ProcessEvents();
  }
  writer.Flush();
  input.Close();
  const bool complete = output.Close();

  if (!complete) {
    // A partial product is no result: batch mode must not take it for one.
    LogLine(host, "Writing output file '%s' failed: the product is incomplete!",
            output_path.c_str());
    chain.ProgressCount = 0;
    host.ProcessEvents();
    chain.LastLineCount = 0;
    return;
  }
  LogLine(host, "HPT file created done!  %d lines found.", count);
  host.AppendLog("");
  LogLine(host, "Finally, output file is '%s'", output_path.c_str());
  host.AppendLog("");
  host.AppendLog("**************** MetOp processing DONE! ****************");
  chain.ProgressCount = 0;
  host.ProcessEvents();
  chain.LastLineCount = count;
  NoteProduct(chain.Counts, output_path, count);
}

}  // namespace vantrel
