// The instrument line search on arbitrary streams, checked against a plain byte-by-byte model of
// the same rule: at every byte position the three bytes are compared with the pattern slices at
// shifts 0 to 7, smallest first; a match copies the next L bytes at its shift (bits before the
// input are zero) and the search goes on behind them; a line that would run past the input ends
// the search unwritten. A line whose next full sync is not a whole number of lines on lost bytes
// and is dropped (the search goes on one byte later): when nothing was dropped the lines equal
// the model's; when something was, every line still found is its sync's own bytes at its shift
// and no two lines overlap.
//
// Input: a variant byte (bit 0: Meteor-M N2 pattern, else FY-3; bit 1: the variant's real line
// length, else a short line of 4 + (next byte mod 60) bytes), then the stream.

#include <optional>
#include <span>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "fy3/inner_sync_engine.h"
#include "fy3/inner_sync_stage.h"

namespace vantrel::fuzz {
namespace {

constexpr uint8_t kMn2Bit = 1;
constexpr uint8_t kRealLengthBit = 2;
constexpr size_t kShortestLine = 4;
constexpr size_t kShortLineSpread = 60;
constexpr int kByteBits = 8;

struct FoundLine {
  uint32_t window_value;
  int shift;
  int64_t offset;
  std::vector<uint8_t> bytes;
  bool operator==(const FoundLine&) const = default;
};

class Recorder : public LineSyncListener {
 public:
  std::vector<FoundLine> lines;
  int shorts = 0;
  int dropped = 0;
  int32_t last_progress = 0;

  void LineDropped(int64_t) override { ++dropped; }

  void LineFound(int32_t lines_found, uint32_t window_value, int shift, int64_t offset) override {
    Check(lines_found == static_cast<int32_t>(lines.size()) + 1, "lines numbered out of order");
    lines.push_back({window_value, shift, offset, {}});
  }
  void LineReady(std::span<const uint8_t> line) override {
    Check(!lines.empty() && lines.back().bytes.empty(), "a line without its sync");
    lines.back().bytes.assign(line.begin(), line.end());
  }
  void InputShort(int32_t, size_t) override { ++shorts; }
  void Progress(int32_t lines_found) override {
    Check(lines_found >= last_progress, "progress went back");
    last_progress = lines_found;
  }
};

// The rule, one byte position after another over the whole stream.
std::vector<FoundLine> Model(std::span<const uint8_t> stream, const LineSyncTable& table,
                             size_t length) {
  std::vector<FoundLine> lines;
  const auto byte_at = [&](size_t k) -> uint32_t { return k < stream.size() ? stream[k] : 0; };
  int64_t last_match = 0;
  size_t p = 0;
  while (p < stream.size()) {
    const uint32_t value = byte_at(p) << 16 | byte_at(p + 1) << 8 | byte_at(p + 2);
    std::optional<int> shift;
    for (int s = 0; s < kLineSyncShifts && !shift; ++s)
      if (value == table[s]) shift = s;
    if (!shift) {
      ++p;
      continue;
    }
    if (p + length > stream.size()) break;
    FoundLine line{value, *shift, static_cast<int64_t>(p) - last_match, {}};
    for (size_t i = 0; i < length; ++i) {
      const uint32_t previous = p + i == 0 ? 0 : stream[p + i - 1];
      line.bytes.push_back(
          static_cast<uint8_t>(stream[p + i] >> *shift | previous << (kByteBits - *shift)));
    }
    lines.push_back(std::move(line));
    last_match = static_cast<int64_t>(p);
    p += length;
  }
  return lines;
}

// Each line found stands at its sync in the stream (the smallest matching shift) and carries the
// stream's bytes at that shift; lines follow each other at least a line apart.
void CheckEachLine(const std::vector<FoundLine>& lines, std::span<const uint8_t> stream,
                   const LineSyncTable& table, size_t length) {
  int64_t at = 0;
  int64_t end_of_last = 0;
  for (const FoundLine& line : lines) {
    at += line.offset;
    Check(at >= end_of_last && at >= 0 && static_cast<size_t>(at) + length <= stream.size(),
          "a line overlaps the one before or runs past the input");
    const size_t p = static_cast<size_t>(at);
    const auto byte_at = [&](size_t k) -> uint32_t { return k < stream.size() ? stream[k] : 0; };
    const uint32_t value = byte_at(p) << 16 | byte_at(p + 1) << 8 | byte_at(p + 2);
    Check(value == line.window_value && value == table[line.shift], "a line without its sync");
    for (int s = 0; s < line.shift; ++s) Check(value != table[s], "a sync at the wrong shift");
    for (size_t i = 0; i < length; ++i) {
      const uint32_t previous = p + i == 0 ? 0 : stream[p + i - 1];
      Check(line.bytes[i] == static_cast<uint8_t>(stream[p + i] >> line.shift |
                                                  previous << (kByteBits - line.shift)),
            "a line's bytes differ from the stream");
    }
    end_of_last = at + static_cast<int64_t>(length);
  }
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  using namespace vantrel::fuzz;
  InputCursor input(data, size);
  const uint8_t variant_byte = input.Byte();
  const InnerSyncVariant& variant =
      (variant_byte & kMn2Bit) != 0 ? Mn2InnerSyncVariant() : Fy3InnerSyncVariant();
  const size_t length = (variant_byte & kRealLengthBit) != 0
                            ? variant.line_length
                            : kShortestLine + input.Byte() % kShortLineSpread;
  const std::span<const uint8_t> stream = input.Rest();

  LineSyncAligner aligner(length, variant.table);
  Recorder recorder;
  size_t position = 0;
  const int32_t lines = aligner.Run(
      [&](std::span<uint8_t> buffer) {
        const size_t count = std::min(buffer.size(), stream.size() - position);
        std::copy_n(stream.begin() + static_cast<ptrdiff_t>(position), count, buffer.begin());
        position += count;
        return count;
      },
      recorder);

  Check(lines == static_cast<int32_t>(recorder.lines.size()), "lines returned differ from found");
  Check(recorder.shorts <= 1, "the end of the input reported twice");
  if (recorder.dropped == 0) {
    Check(recorder.lines == Model(stream, variant.table, length), "lines differ from the rule");
  } else {
    CheckEachLine(recorder.lines, stream, variant.table, length);
  }
  return 0;
}
