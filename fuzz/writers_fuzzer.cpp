// The three final writers (HPT, DAT and C10) run as stages in a scratch working folder on
// arbitrary working files and input names. Whatever the lines hold, a run either ends with its
// DONE line and a product of exactly one record per whole input line (the count in
// LastLineCount), or ends without a product it calls finished.
//
// Input: a writer byte (low two bits: 0 HPT, 1 DAT, 2 and 3 C10; bits 2-3 the run's satellite
// among those whose product the writer writes, in the table's order and counted round; bit 4 the
// DAT header flag, bits 5-7 the HPT maximum packet length), a name length byte and that many bytes
// of input name (a slash becomes '_': the scratch folder is flat), then the working file's bytes.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "app/run_session.h"
#include "core/satellite.h"
#include "core/stage_error.h"
#include "core/working_file.h"
#include "fuzz/fuzz_support.h"
#include "fy3/c10_record.h"
#include "fy3/c10_writer.h"
#include "meteor/dat_writer.h"
#include "metop/hpt_record.h"
#include "metop/hpt_writer.h"

namespace vantrel::fuzz {
namespace {

constexpr uint8_t kWriterBits = 3;
constexpr int kSatelliteShift = 2;
constexpr uint8_t kSatelliteBits = 3;
constexpr uint8_t kDatHeaderBit = 0x10;
// HPT: bits 5-7 choose the maximum packet length, which is the APID.pkt record size.
constexpr int kLengthShift = 5;
struct PacketLimit {
  const char* text;
  size_t record_bytes;  // 0: refused
};
constexpr PacketLimit kPacketLimits[] = {{"12966", 12966}, {"7", 7},         {"100", 100},
                                         {"12882", 12882}, {"12999", 12999}, {"13000", 0},
                                         {"12x", 0},       {"12966", 12966}};

struct WriterFacts {
  std::string_view input_file;
  size_t line_bytes;
  size_t record_bytes;
  const char* done_prefix;
};

WriterFacts Facts(ProductWriter writer) {
  switch (writer) {
    case ProductWriter::kHpt:
      return {WorkingFile::kApidPkt, kAvhrrPacketLength, kHptRecordLength,
              "HPT file created done!  "};
    case ProductWriter::kDat:
      return {WorkingFile::kMn2Lines, kMn2LineBytes, kDatRecordBytes, "DAT file created done!  "};
    case ProductWriter::kC10:
      break;
  }
  return {WorkingFile::kFy3Lines, kFy3LineBytes, kC10RecordBytes, "Process done!  "};
}

// A flat scratch folder, made once and made the working folder.
const std::filesystem::path& ScratchFolder() {
  static const std::filesystem::path folder = [] {
    const std::filesystem::path base =
        std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
    std::filesystem::path path = base / ("vantrel-writers-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(path);
    std::filesystem::current_path(path);
    return path;
  }();
  return folder;
}

// The `index`th satellite (counted round) of those whose product `writer` writes.
const Satellite* SatelliteOf(ProductWriter writer, int index) {
  std::vector<const Satellite*> served;
  for (const Satellite& satellite : Satellites())
    if (satellite.downlink->writer == writer) served.push_back(&satellite);
  return served[static_cast<size_t>(index) % served.size()];
}

void EmptyFolder(const std::filesystem::path& folder) {
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::error_code ignored;
    std::filesystem::remove_all(entry.path(), ignored);
  }
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  using namespace vantrel::fuzz;
  InputCursor input(data, size);
  const uint8_t flags = input.Byte();
  const uint8_t kind = flags & kWriterBits;
  const ProductWriter writer = kind == 0   ? ProductWriter::kHpt
                               : kind == 1 ? ProductWriter::kDat
                                           : ProductWriter::kC10;
  const int satellite = (flags >> kSatelliteShift) & kSatelliteBits;
  const std::span<const uint8_t> name_bytes = input.Take(input.Byte());
  std::string name(name_bytes.begin(), name_bytes.end());
  for (char& c : name)
    if (c == '/' || c == '\0') c = '_';
  const std::span<const uint8_t> content = input.Rest();

  const std::filesystem::path& folder = ScratchFolder();
  EmptyFolder(folder);
  WriterFacts facts = Facts(writer);
  const PacketLimit& limit = kPacketLimits[flags >> kLengthShift];
  if (writer == ProductWriter::kHpt) facts.line_bytes = limit.record_bytes;
  {
    std::ofstream file(WorkingPath(facts.input_file), std::ios::binary);
    file.write(reinterpret_cast<const char*>(content.data()),
               static_cast<std::streamsize>(content.size()));
  }

  FuzzHost host;
  host.input_path = name;
  OwnedRunSession session(host);
  session.session().satellite = SatelliteOf(writer, satellite);
  ChainState& chain = host.chain;
  chain.LastLineCount = -1;
  const bool header_pending = (flags & kDatHeaderBit) != 0;
  chain.DatHeaderPending = header_pending;
  host.settings.MaxPkLen = limit.text;
  bool refused = false;
  try {
    switch (writer) {
      case ProductWriter::kHpt:
        HptWriter(host);
        break;
      case ProductWriter::kDat:
        DatWriter(host);
        break;
      case ProductWriter::kC10:
        C10Writer(host);
        break;
    }
  } catch (const StageError&) {
    refused = true;  // a date that is not a date, an unusable setting: no product may remain
  }

  if (facts.line_bytes == 0) Check(refused, "an unusable packet length was taken");
  const size_t lines = facts.line_bytes == 0 ? 0 : content.size() / facts.line_bytes;
  bool done = false;
  for (const std::string& line : host.log) done = done || line.rfind(facts.done_prefix, 0) == 0;
  std::string product;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().filename() != facts.input_file) product = entry.path().string();
  }
  if (refused) {
    Check(!done, "a refused run reported done");
    Check(product.empty(), "a refused run left a product");
    Check(chain.LastLineCount == -1, "a refused run set the line count");
  } else if (done && lines == 0) {
    // No line: nothing is written under the product's name, not even an empty file.
    Check(product.empty(), "a product without a line was left");
    Check(chain.LastLineCount == 0, "a run without a line set a line count");
  } else if (done) {
    Check(!product.empty(), "done without a product");
    // The header record, when it was pending, comes before the first line's record.
    const size_t header_records = writer == ProductWriter::kDat && header_pending ? 1 : 0;
    Check(std::filesystem::file_size(product) == (lines + header_records) * facts.record_bytes,
          "product size differs from one record per whole line");
    Check(chain.LastLineCount == static_cast<int32_t>(lines), "line count differs from lines");
  } else {
    // A failed open ends the run with a StageError; nothing else ends it without a done line.
    Check(false, "a run ended without a done line and without a reason");
    Check(chain.LastLineCount == -1, "a failed run set the line count");
  }
  return 0;
}
