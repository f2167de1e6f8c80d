#include "meteor/dat_writer.h"

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/frame_tags.h"
#include "core/log_format.h"
#include "core/output_name.h"
#include "core/product_file.h"
#include "core/working_file.h"
#include "meteor/stage_counts.h"
#include "meteor/vector_kernels.h"

namespace vantrel {
namespace {

constexpr size_t kWordsPerGroup = 4;    // words sharing one low-bits byte
constexpr size_t kGroupBytes = 5;       // bytes holding kWordsPerGroup 10-bit words
constexpr size_t kTransposeGroups = 6;  // g of w(4g + j) -> v(6j + g)
constexpr unsigned kWordBits = 10;
constexpr unsigned kWordMask = (1u << kWordBits) - 1;
constexpr unsigned kLowBits = 2;  // bits a word keeps in its group's low-bits byte
constexpr unsigned kLowBitsMask = (1u << kLowBits) - 1;

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

// Output word v comes from input word kSourceWord[v]: v(6j + g) = w(4g + j).
constexpr std::array<uint8_t, kDatWordsPerUnit> MakeSourceWords() {
  std::array<uint8_t, kDatWordsPerUnit> source{};
  for (size_t v = 0; v < kDatWordsPerUnit; ++v)
    source[v] =
        static_cast<uint8_t>(kWordsPerGroup * (v % kTransposeGroups) + v / kTransposeGroups);
  return source;
}
constexpr std::array<uint8_t, kDatWordsPerUnit> kSourceWord = MakeSourceWords();

}  // namespace

void PackDatUnit(const uint8_t* in, uint8_t* out) {
  constexpr size_t kGroups = kDatWordsPerUnit / kWordsPerGroup;
  // Unpack: each five-byte group is a 40-bit big-endian value of four words, first word highest.
  std::array<unsigned, kDatWordsPerUnit> words;
  for (size_t group = 0; group < kGroups; ++group) {
    const uint8_t* bytes = in + group * kGroupBytes;
    const uint64_t bits = (uint64_t{bytes[0]} << 32) | (uint64_t{bytes[1]} << 24) |
                          (uint64_t{bytes[2]} << 16) | (uint64_t{bytes[3]} << 8) | bytes[4];
    unsigned* group_words = &words[group * kWordsPerGroup];
    group_words[0] = static_cast<unsigned>(bits >> (3 * kWordBits)) & kWordMask;
    group_words[1] = static_cast<unsigned>(bits >> (2 * kWordBits)) & kWordMask;
    group_words[2] = static_cast<unsigned>(bits >> kWordBits) & kWordMask;
    group_words[3] = static_cast<unsigned>(bits) & kWordMask;
  }
  // Transpose and pack: the upper eight bits of four words, then their low bits in one byte.
  for (size_t q = 0; q < kGroups; ++q) {
    const uint8_t* source = &kSourceWord[q * kWordsPerGroup];
    const unsigned v0 = words[source[0]], v1 = words[source[1]];
    const unsigned v2 = words[source[2]], v3 = words[source[3]];
    uint8_t* group_out = out + q * kGroupBytes;
    group_out[0] = static_cast<uint8_t>(v0 >> kLowBits);
    group_out[1] = static_cast<uint8_t>(v1 >> kLowBits);
    group_out[2] = static_cast<uint8_t>(v2 >> kLowBits);
    group_out[3] = static_cast<uint8_t>(v3 >> kLowBits);
    group_out[4] = static_cast<uint8_t>(((v0 & kLowBitsMask) << (3 * kLowBits)) |
                                        ((v1 & kLowBitsMask) << (2 * kLowBits)) |
                                        ((v2 & kLowBitsMask) << kLowBits) | (v3 & kLowBitsMask));
  }
}

void PackDatLine(const uint8_t* line, uint8_t* record) {
  if (PackDatLineVector(line, record)) return;
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

void DatWriterStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  ChainState& chain = host.Chain();
  // A product named from its data learns its name from the first line.
  ProductFile product(chain.NameFromData ? std::string() : ProductPath(host));
  product.Open(host, input);
  OutputFile& output = product.Output();

  host.AppendLog("Starting creating .dat file...");
  std::vector<uint8_t> line(kMn2LineBytes);
  // Every data record shares the zeros and the frame marker; only the units change. The marker
  // is in place even when the header was written by an earlier run.
  std::vector<uint8_t> record(kDatRecordBytes);
  std::vector<uint8_t> header(kDatRecordBytes);
  FillDatDataFrame(record.data());
  FillDatHeaderRecord(header.data());

  int64_t lines = 0;
  NoisyLineCounts noisy{kNoisyLineBitErrorRate};
  while (input.ReadRecord(line.data(), line.size())) {
    const int64_t offset = lines * static_cast<int64_t>(kMn2LineBytes);
    StreamMark mark;
    if (input.TakeMarkAt(offset, offset + static_cast<int64_t>(kMn2LineBytes), &mark)) {
      if (const auto markers = MarkerErrors::FromMark(mark.value)) {
        ++noisy.measured;
        if (markers->BitErrorRate() > kNoisyLineBitErrorRate) {
          if (noisy.noisy++ == 0) noisy.first = lines + 1;
          noisy.last = lines + 1;
        }
      }
    }
    if (chain.DatHeaderPending) {
      // The header record comes first, before the first line's own record: no line is lost.
      if (!output.Write(header.data(), header.size())) break;
      chain.DatHeaderPending = false;
    }
    PackDatLine(line.data(), record.data());
    if (!output.Write(record.data(), record.size())) break;
    ++lines;
    host.ProcessEvents();
  }
  if (noisy.measured > 0) chain.Counts.noisy_lines = noisy;
  if (chain.NameFromData) product.Rename(host, ProductPath(host));
  FinishProduct(host, input, product, lines,
                Format("DAT file created done!  %lld lines found.", static_cast<long long>(lines)),
                "**************** Meteor MN2 processing DONE! ****************", false);
}

const StepSpec kDatWriterStep = {
    "DAT writer", DatWriterStep,         "MSU-MR lines", "the product (_MN2.dat)",
    {},           WorkingFile::kMn2Lines};

void DatWriter(StageHost& host) {
  RunStepAlone(host, kDatWriterStep);
}

}  // namespace vantrel
