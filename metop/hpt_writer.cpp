#include "metop/hpt_writer.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/pass_report.h"
#include "core/product_file.h"
#include "core/record_blocks.h"
#include "core/setting_ranges.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "metop/hpt_record.h"

namespace vantrel {
namespace {

// APID.pkt holds one packet per record of MaxPkLen bytes, the size the packet extraction stage
// writes; the same limits as there.
static_assert(kPacketLengthDefault == kAvhrrPacketLength,
              "the packet stage's records are AVHRR packets with the default limit");

int32_t PacketRecordLength(StageHost& host) {
  return MaxPacketLength(host.RunSettings());
}

}  // namespace

void HptWriterStep(StepIo& io) {
  // Records are read at the size they were written, so that each one is one packet: a packet is
  // taken from the front of its record, with zeros behind a record shorter than a packet. A
  // setting that cannot work ends the run before any file is opened.
  StageHost& host = io.host;
  InputFile& input = io.input;
  const auto record_length = static_cast<size_t>(PacketRecordLength(host));
  ChainState& chain = host.Chain();
  // A product named from its data learns its name from the first packet.
  ProductFile product(chain.NameFromData ? std::string() : ProductPath(host));
  product.Open(host, input);
  host.AppendLog("Starting creating .hpt file...");

  int32_t count = 0;
  std::array<uint8_t, kHptRecordLength> record{};
  std::array<uint8_t, kAvhrrPacketLength> packet{};
  const size_t packet_bytes = std::min<size_t>(record_length, kAvhrrPacketLength);
  RecordBlockReader reader(input, record_length);
  RecordBlockWriter writer(product.Output());
  while (const uint8_t* packet_record = reader.Next()) {
    std::copy_n(packet_record, packet_bytes, packet.begin());
    FillHptRecord(record, packet, count);
    NoteLineTime(chain.Counts, packet[6] << 8 | packet[7],
                 int64_t{packet[8]} << 24 | packet[9] << 16 | packet[10] << 8 | packet[11]);
    writer.Write(record.data(), record.size());
    if (!product.Output().Ok()) break;
    ++count;
    host.ProcessEvents();
  }
  writer.Flush();
  if (chain.NameFromData) product.Rename(host, ProductPath(host));
  FinishProduct(host, input, product, count,
                Format("HPT file created done!  %d lines found.", count),
                "**************** MetOp processing DONE! ****************", false);
}

const StepSpec kHptWriterStep = {
    "HPT writer", HptWriterStep,        "AVHRR source packets", "the product (.hpt)",
    {},           WorkingFile::kApidPkt};

void HptWriter(StageHost& host) {
  RunStepAlone(host, kHptWriterStep);
}

}  // namespace vantrel
