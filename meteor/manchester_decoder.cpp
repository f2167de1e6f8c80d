#include "meteor/manchester_decoder.h"

#include <array>

#include "core/chain_runner.h"
#include "core/file_io.h"
#include "core/log_format.h"
#include "core/stage_error.h"
#include "core/stage_files.h"
#include "core/working_file.h"
#include "meteor/stage_counts.h"
#include "meteor/vector_kernels.h"

namespace vantrel {
namespace {

constexpr int kSymbolsPerByte = 4;

// For every input byte, the first bits of its four symbols (bits 7, 5, 3, 1) as a 4-bit value.
constexpr std::array<uint8_t, 256> MakeFirstBitTable() {
  std::array<uint8_t, 256> table{};
  for (int byte = 0; byte < 256; ++byte) {
    int nibble = 0;
    for (int symbol = 0; symbol < kSymbolsPerByte; ++symbol) {
      const int first_bit = (byte >> (7 - 2 * symbol)) & 1;
      nibble = (nibble << 1) | first_bit;
    }
    table[static_cast<size_t>(byte)] = static_cast<uint8_t>(nibble);
  }
  return table;
}

constexpr std::array<uint8_t, 256> kFirstBits = MakeFirstBitTable();

}  // namespace

void ManchesterDecodeBytes(const uint8_t* symbols, size_t symbol_bytes, uint8_t* data) {
  // Output byte i depends on input bytes 2i and 2i + 1 only, so ascending order is alias-safe.
  const size_t data_bytes = symbol_bytes / 2;
  const size_t done = ManchesterDecodeVector(symbols, symbol_bytes, data) / 2;
  for (size_t i = done; i < data_bytes; ++i) {
    data[i] = static_cast<uint8_t>((kFirstBits[symbols[2 * i]] << kSymbolsPerByte) |
                                   kFirstBits[symbols[2 * i + 1]]);
  }
}

void ManchesterDecoderStep(StepIo& io) {
  StageHost& host = io.host;
  InputFile& input = io.input;
  OutputFile& output = io.output;
  const std::string& input_path = io.input_path;
  const int64_t size = io.input_size;

  int64_t blocks = 0;
  host.AppendLog("Starting Manchester decoding...");
  host.AppendLog("");
  host.SetSizeCaption(Format("File size %lld bytes", static_cast<long long>(size)));
  host.SetProgressMaximum(size / static_cast<int64_t>(kManchesterBlockBytes));
  host.ProcessEvents();

  std::array<uint8_t, kManchesterBlockBytes> block;
  int64_t bytes_read = 0;
  for (;;) {
    const size_t got = input.Read(block.data(), block.size());
    bytes_read += static_cast<int64_t>(got);
    // A short last block is decoded too, as far as its symbol byte pairs are complete: its data
    // can hold the end of the last line. It is not counted among the blocks.
    const size_t pairs = got / 2;
    ManchesterDecodeBytes(block.data(), 2 * pairs, block.data());
    if (pairs > 0 && !output.Write(block.data(), pairs)) break;
    if (got < block.size()) break;
    ++blocks;
    host.ProcessEvents();
  }
  // A partial cvcdu.man would give a partial product that looks finished: the run ends here. The
  // bytes read must cover the input as measured (a stream's length is what it held).
  if (!CloseStageFiles(host, input, output).Complete()) {
    throw StageError(RunEndsHere(Format("'%s' was not decoded whole", input_path.c_str())));
  }
  if (bytes_read < size) {
    throw StageError(RunEndsHere(Format(
        "'%s' ended after %lld of its %lld bytes: it was cut while it was read", input_path.c_str(),
        static_cast<long long>(bytes_read), static_cast<long long>(size))));
  }
  LogLine(host, "Manchester decodig done!  %lld lines decoding.", static_cast<long long>(blocks));
  host.AppendLog("");
  host.AppendLog("");
  host.AppendLog(Asterisks(kMeteorSeparatorStars));
  host.AppendLog("");
  host.SetProgressMaximum(blocks);
}

const StepSpec kManchesterDecoderStep = {"Manchester decoding", ManchesterDecoderStep,
                                         "Manchester-coded bits", "bits", WorkingFile::kCvcduMan};

void ManchesterDecoder(StageHost& host) {
  RunStepAlone(host, kManchesterDecoderStep);
}

}  // namespace vantrel
