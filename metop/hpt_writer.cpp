#include "metop/hpt_writer.h"

#include <array>
#include <string>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/record_blocks.h"
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

}  // namespace

void HptWriter(StageHost& host) {
  const std::string output_path = WorkingPath(HptOutputName(host));
  InputFile input;
  if (!input.Open(WorkingPath(WorkingFile::kApidPkt))) {
    host.AppendLog("Open input file failed!");
    return;
  }
  OutputFile output;
  if (!output.Create(output_path)) {
    input.Close();
    host.AppendLog("Open output file failed!");
    return;
  }
  host.AppendLog("Starting creating .hpt file...");

  ChainState& chain = host.Chain();
  int32_t count = 0;
  std::array<uint8_t, kHptRecordLength> record{};
  RecordBlockReader reader(input, kAvhrrPacketLength);
  RecordBlockWriter writer(output);
  while (const uint8_t* packet = reader.Next()) {
    FillHptRecord(record, std::span<const uint8_t, kAvhrrPacketLength>(packet, kAvhrrPacketLength),
                  count);
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
}

}  // namespace vantrel
