// The attached-sync-marker search fed arbitrary recordings through the extraction stage's sliding
// window, once step by step and once in batches: both must find the same frames with the same
// engine state, and never read outside the window.
//
// Input: one option byte (bit 0 de-randomisation, bit 1 Reed-Solomon, bit 2 full CADU output,
// bit 3 every frame before a first one taken, whatever Reed-Solomon says, so that frames cut from
// the window's history are reached by any input), then the recording.

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "rs/reed_solomon_codec.h"
#include "sync/asm_search_engine.h"
#include "sync/cadu_decoder.h"
#include "sync/cadu_extraction_stage.h"
#include "sync/window_search.h"

namespace vantrel::fuzz {
namespace {

constexpr uint8_t kPnBit = 1;
constexpr uint8_t kRsBit = 2;
constexpr uint8_t kFullCaduBit = 4;
constexpr uint8_t kTakeEarlierBit = 8;

// Decodes every frame as the extraction stage does, and keeps the records.
class RecordKeeper : public AsmSearchListener {
 public:
  RecordKeeper(ReedSolomonCodec& codec, uint8_t options)
      : decoder_(codec), take_earlier_((options & kTakeEarlierBit) != 0) {
    decoding_.derandomise = (options & kPnBit) != 0;
    decoding_.correct = (options & kRsBit) != 0;
    decoding_.full_cadu = (options & kFullCaduBit) != 0 && !decoding_.correct;
  }
  FrameVerdict FrameCut(std::span<const uint8_t, kCaduBytes> cadu) override {
    const CaduDecoder::Result result = decoder_.Decode(cadu, decoding_);
    records.emplace_back(result.record.begin(), result.record.end());
    return result.uncorrectable ? FrameVerdict::kUncorrectable : FrameVerdict::kAccepted;
  }
  bool TakeEarlierFrame(std::span<const uint8_t, kCaduBytes> cadu) override {
    return take_earlier_ || decoder_.Correctable(cadu, decoding_);
  }
  void FramingChanged(bool finding_frames) override { framing = finding_frames ? 1 : 0; }

  std::vector<std::vector<uint8_t>> records;
  int framing = -1;  // the last framing reported, -1 before any
  const CaduDecoder& decoder() const { return decoder_; }

 private:
  CaduDecoder decoder_;
  bool take_earlier_;
  CaduDecoding decoding_;
};

struct SearchResult {
  std::vector<std::vector<uint8_t>> records;
  AsmSearchFields fields;
  std::vector<int32_t> short_reads;
  int framing = -1;
  int32_t uncorrectable = 0;
};

SearchResult Search(uint8_t options, std::span<const uint8_t> recording, Stepping stepping) {
  // The CCSDS code, as the extraction stage configures it.
  ReedSolomonCodec codec;
  ConfigureCcsdsCodec(codec);
  RecordKeeper keeper(codec, options);
  SearchResult result;
  SyncWindow window;
  AsmSearchEngine engine(window, keeper);
  size_t position = 0;
  const ByteSource source = [&](uint8_t* buffer, size_t size) {
    const size_t count = std::min(size, recording.size() - position);
    if (count > 0) std::memcpy(buffer, recording.data() + position, count);
    position += count;
    return count;
  };
  WindowSearchHooks hooks;
  hooks.short_read = [&](int32_t bytes) { result.short_reads.push_back(bytes); };
  hooks.before_steps = [] { return true; };
  SearchThroughWindow(engine, window, source, stepping, hooks);
  result.fields = engine.fields();
  result.records = std::move(keeper.records);
  result.framing = keeper.framing;
  result.uncorrectable = keeper.decoder().UncorrectableFrames();
  return result;
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  using namespace vantrel::fuzz;
  InputCursor input(data, size);
  const uint8_t options = input.Byte();
  const std::span<const uint8_t> recording = input.Rest();

  const SearchResult single = Search(options, recording, Stepping::kSingle);
  const SearchResult batched = Search(options, recording, Stepping::kBatched);

  Check(single.fields == batched.fields, "batched search ends in another engine state");
  Check(single.records == batched.records, "batched search cuts other frames");
  Check(single.short_reads == batched.short_reads, "batched search reads the input differently");
  Check(single.framing == batched.framing, "batched search reports the framing differently");
  Check(single.uncorrectable == batched.uncorrectable,
        "batched search judges other frames uncorrectable");

  const AsmSearchFields& f = single.fields;
  Check(static_cast<int32_t>(single.records.size()) == f.FramesFound,
        "frames counted differ from frames handed out");
  Check(single.uncorrectable <= f.FramesFound, "more uncorrectable frames than frames");
  Check(single.short_reads.size() <= 1, "the end of the input reported twice");
  const bool full_cadu = (options & kFullCaduBit) != 0 && (options & kRsBit) == 0;
  const size_t record_size = full_cadu ? kCaduBytes : kCodeBlockBytes;
  for (const std::vector<uint8_t>& record : single.records)
    Check(record.size() == record_size, "a record of the wrong size");
  return 0;
}
