#include "meteor/dat_writer.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/working_file.h"
#include "meteor/stage_counts.h"

namespace vantrel {
namespace {

constexpr size_t kWordsPerGroup = 4;    // words sharing one low-bits byte
constexpr size_t kGroupBytes = 5;       // bytes holding kWordsPerGroup 10-bit words
constexpr size_t kTransposeGroups = 6;  // g of w(4g + j) -> v(6j + g)
constexpr unsigned kWordBits = 10;
constexpr unsigned kWordMask = (1u << kWordBits) - 1;
constexpr unsigned kLowBits = 2;  // bits a word keeps in its group's low-bits byte
constexpr unsigned kLowBitsMask = (1u << kLowBits) - 1;
constexpr unsigned kByteBits = 8;
constexpr unsigned kByteMask = 0xFF;

static_assert(kDatUnitsPerLine * kDatUnitBytes + kMn2SamplesOffset <= kMn2LineBytes);
static_assert(kDatUnitsOffset + kDatUnitsPerLine * kDatUnitBytes <= kDatFrameMarkerOffset);
static_assert(kDatUnitBytes == kGroupBytes * kDatWordsPerUnit / kWordsPerGroup);

constexpr std::array<uint8_t, kDatFrameMarkerBytes> kFrameMarker = {
    'F', 'R', 'A', 'M', 'E', 0x29, 0x40, 0x02, 0x18, 0xA7, 0xA3, 0x00, 0x92, 0xDD, 0x9A, 0xBF};

// One run of fixed bytes of the header record.
struct HeaderField {
  size_t offset;
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> Ascii(const char* text) {
  return std::vector<uint8_t>(text, text + std::strlen(text));
}

// The header record's fields; every other byte is zero. Numbers are little-endian.
const std::vector<HeaderField>& HeaderFields() {
  static const std::vector<HeaderField> fields = {
      {0, Ascii("HRPTMeteoM2")},
      {23, {0x08, 0x36, 0x01}},
      {30, {0x20}},
      {32, {0x22}},
      {34, {0x0A}},
      {36, {0x0D}},
      {40, {0x6F}},
      {96, Ascii("EXT_V004")},
      {104, {0x80, 0x3E}},  // position of the frame marker
      {130, {0x63}},
      {151, {0xFF, 0x03, 0xFF, 0x03, 0xFF, 0x03, 0xFF, 0x03, 0xFF, 0x03}},  // 1023 five times
      {269, {0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01}},
      {279, {0x08}},
      {280, {0x9A, 0x99, 0x5D, 0x42}},  // 55.4 as a single-precision float
      {15992, Ascii("END_HDR_")},
  };
  return fields;
}

// The 10-bit word `index` of a unit, its bits starting at bit 10 * index.
unsigned UnitWord(const uint8_t* unit, size_t index) {
  const size_t group = index / kWordsPerGroup;
  const unsigned slot = static_cast<unsigned>(index % kWordsPerGroup);
  const uint8_t* bytes = unit + group * kGroupBytes + slot;
  // Word `slot` of a five-byte group starts 2 * slot bits into byte `slot` and ends in the next.
  const unsigned pair = (static_cast<unsigned>(bytes[0]) << kByteBits) | bytes[1];
  const unsigned shift = 2 * kByteBits - kWordBits - kLowBits * slot;
  return (pair >> shift) & kWordMask;
}

}  // namespace

void PackDatUnit(const uint8_t* in, uint8_t* out) {
  for (size_t q = 0; q < kDatWordsPerUnit / kWordsPerGroup; ++q) {
    unsigned low_bits = 0;
    for (size_t k = 0; k < kWordsPerGroup; ++k) {
      // Output word v(6j + g) is input word w(4g + j).
      const size_t v = q * kWordsPerGroup + k;
      const size_t j = v / kTransposeGroups;
      const size_t g = v % kTransposeGroups;
      const unsigned word = UnitWord(in, kWordsPerGroup * g + j);
      out[q * kGroupBytes + k] = static_cast<uint8_t>((word >> kLowBits) & kByteMask);
      low_bits = (low_bits << kLowBits) | (word & kLowBitsMask);
    }
    out[q * kGroupBytes + kWordsPerGroup] = static_cast<uint8_t>(low_bits);
  }
}

void PackDatLine(const uint8_t* line, uint8_t* record) {
  for (size_t u = 0; u < kDatUnitsPerLine; ++u) {
    PackDatUnit(line + kMn2SamplesOffset + u * kDatUnitBytes,
                record + kDatUnitsOffset + u * kDatUnitBytes);
  }
}

void FillDatDataFrame(uint8_t* record) {
  std::memset(record, 0, kDatRecordBytes);
  std::memcpy(record + kDatFrameMarkerOffset, kFrameMarker.data(), kFrameMarker.size());
}

void FillDatHeaderRecord(uint8_t* record) {
  FillDatDataFrame(record);
  for (const HeaderField& field : HeaderFields())
    std::memcpy(record + field.offset, field.bytes.data(), field.bytes.size());
}

void DatWriter(StageHost& host) {
  ChainState& chain = host.Chain();
  const std::string output_path =
      WorkingPath(OutputBaseName(host.InputPath(), "MN2_", true) + "_MN2.dat");

  InputFile input;
  if (!input.Open(WorkingPath(WorkingFile::kMn2Lines))) {
    host.AppendLog("Open input file failed!");
    return;
  }
  OutputFile output;
  if (!output.Create(output_path)) {
    input.Close();
    host.AppendLog("Open output file failed!");
    return;
  }

  host.AppendLog("Starting creating .dat file...");
  int64_t records = 0;
  std::vector<uint8_t> line(kMn2LineBytes);
  // Every data record shares the zeros and the frame marker; only the units change. The marker
  // is in place even when the header was written by an earlier run.
  std::vector<uint8_t> record(kDatRecordBytes);
  std::vector<uint8_t> header(kDatRecordBytes);
  FillDatDataFrame(record.data());
  FillDatHeaderRecord(header.data());

  while (input.ReadRecord(line.data(), line.size())) {
    const bool is_header = chain.DatHeaderPending;
    if (is_header) {
      // The first line of a run gives way to the header record; its own samples are not written.
      if (!output.Write(header.data(), header.size())) break;
      chain.DatHeaderPending = false;
    } else {
      PackDatLine(line.data(), record.data());
      if (!output.Write(record.data(), record.size())) break;
    }
    ++records;
    chain.ProgressCount = ProgressValue(records);
    host.ProcessEvents();
  }
  const bool read_failed = input.Failed();
  input.Close();
  const bool written = output.Close();

  if (read_failed || !written) {
    // A partial product must not pass for a finished one: no DONE banner, and the batch mode
    // sees no lines.
    host.AppendLog(read_failed ? "Read input file failed!" : "Write output file failed!");
    LogLine(host, "DAT file '%s' is incomplete!", output_path.c_str());
    host.AppendLog("");
    chain.ProgressCount = 0;
    host.ProcessEvents();
    chain.LastLineCount = 0;
    return;
  }
  LogLine(host, "DAT file created done!  %lld lines found.", static_cast<long long>(records));
  host.AppendLog("");
  LogLine(host, "Finally, output file is '%s'", output_path.c_str());
  host.AppendLog("");
  host.AppendLog("**************** Meteor MN2 processing DONE! ****************");
  chain.ProgressCount = 0;
  host.ProcessEvents();
  chain.LastLineCount = ProgressValue(records);
}

}  // namespace vantrel
