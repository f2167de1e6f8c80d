// The source packet builder fed arbitrary M_PDU sequences with arbitrary settings, the way the
// packet extraction stage drives it (FeedMpdu, then GetNext as often as it said), with set-ups
// again in the middle of the stream as a second run would do. Its state must stay inside the
// ranges the design allows: no slot holds more than it may, no ready flag other than 0 or 1.
//
// Input: header-length byte, maximum-length word, re-setup period byte, GetNext-length word, then
// 886-byte M_PDU records (a trailing short one is fed as it is).

#include <algorithm>
#include <vector>

#include "ccsds/ccsds_headers.h"
#include "ccsds/source_packet_builder.h"
#include "fuzz/fuzz_support.h"

namespace vantrel::fuzz {
namespace {

constexpr uint16_t kRawLengthBit = 0x8000;  // take the maximum length as it comes, not in range
constexpr uint8_t kOddHeaderLengths = 3;    // one header-length byte in four is taken raw
constexpr int32_t kPacketLengthRange = kPacketSlotCapacity - kMinPacketLength + 1;
constexpr uint8_t kSetupPeriods = 16;

int32_t HeaderLength(uint8_t byte) {
  if ((byte & kOddHeaderLengths) == kOddHeaderLengths) return byte >> 2;
  return (byte & 1) != 0 ? kMpduHeaderLengthBare : kMpduHeaderLengthSpare;
}

int32_t MaxLength(uint16_t word) {
  if ((word & kRawLengthBit) != 0) return static_cast<int16_t>(word);
  return kMinPacketLength + word % kPacketLengthRange;
}

void CheckState(const SourcePacketBuilder& builder) {
  const BuilderVariables& v = builder.Variables();
  const BuilderGeometry& g = builder.Geometry();
  Check(v.state == BuildState::IDLE || v.state == BuildState::GETHEADER ||
            v.state == BuildState::BUILDING,
        "a feed call ended inside a packet step");
  Check(v.header_follows_packet == 0, "SHORTY left set after a feed call");
  // The ring starts with kPacketSlotCount slots and grows, up to kMaxPacketSlots, rather than
  // overwrite a waiting packet.
  Check(builder.SlotCount() >= kPacketSlotCount && builder.SlotCount() <= kMaxPacketSlots,
        "the ring outside its sizes");
  Check(v.current_slot >= 0 && v.current_slot < builder.SlotCount(),
        "current slot out of the ring");
  Check(v.header_count >= 0 && v.header_count <= SourcePacketHeader::kLength,
        "header count out of range");
  Check(v.slot_fill >= 0 && v.slot_fill <= kPacketSlotCapacity,
        "a slot holds more than its data bytes");
  // A packet grows past the limit only in the zone its header began in (the longer zone of the
  // two layouts: a later set-up may change the layout while a slot keeps its count).
  constexpr int32_t kLongestZone = kMpduRecordLength - kMpduHeaderLengthBare;
  if (v.slot_fill > std::max(g.max_packet_length, SourcePacketHeader::kLength + kLongestZone)) {
    std::fprintf(stderr, "pi=%d MaxPkLen=%d zone=%d state=%d ln=%d hcnt=%d\n", v.slot_fill,
                 g.max_packet_length, g.zone_length, static_cast<int>(v.state), v.mpdus_fed,
                 v.first_header_pointer);
    Fail("a packet grew past the maximum length");
  }
  for (int32_t slot = 0; slot < builder.SlotCount(); ++slot) {
    const uint8_t flag = builder.Slot(slot)[kReadyFlagOffset];
    Check(flag == 0 || flag == 1, "a ready flag holds packet bytes");
  }
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace vantrel;
  using namespace vantrel::fuzz;
  InputCursor input(data, size);
  int32_t header_length = HeaderLength(input.Byte());
  const int32_t max_length = MaxLength(input.Word());
  const uint8_t setup_period = input.Byte() % kSetupPeriods;
  const uint16_t length_word = input.Word();
  // GetNext as the stage calls it (the maximum length), or with a length from the input.
  const int32_t get_length = length_word == 0 ? max_length : static_cast<int16_t>(length_word);

  SourcePacketBuilder builder;
  const int32_t setup = builder.Setup(max_length, header_length);
  const bool valid =
      max_length >= kMinPacketLength && max_length <= kPacketSlotCapacity &&
      (header_length == kMpduHeaderLengthBare || header_length == kMpduHeaderLengthSpare);
  Check((setup == 0) == valid, "Setup accepted settings it must refuse, or the reverse");

  DiagnosticBlock diagnostics{};
  std::vector<uint8_t> buffer(static_cast<size_t>(std::max(get_length, 0)));
  int32_t fed = 0;
  while (input.Left() > 0) {
    const std::span<const uint8_t> record = input.Take(kMpduRecordLength);
    const int32_t pb = builder.FeedMpdu(record, diagnostics);
    Check(pb >= 0, "negative packet count");
    for (const DiagnosticLine& line : diagnostics)
      Check(std::find(line.begin(), line.end(), '\0') != line.end(), "unterminated diagnostic");
    CheckState(builder);
    for (int32_t i = 0; i < pb; ++i) {
      std::fill(buffer.begin(), buffer.end(), uint8_t{0xA5});
      const int32_t next = builder.GetNext(buffer, get_length);
      Check(next >= -1 && next < builder.SlotCount(), "GetNext result out of range");
      if (next < 0) {
        Check(std::all_of(buffer.begin(), buffer.end(), [](uint8_t b) { return b == 0xA5; }),
              "GetNext wrote into the buffer and found nothing");
      }
      if (get_length < 0 || get_length > kPacketSlotCapacity)
        Check(next == -1, "GetNext handed out a length no slot has");
    }
    // A later run sets the builder up again over what this one left, with the other layout.
    if (setup_period != 0 && ++fed % setup_period == 0) {
      header_length =
          header_length == kMpduHeaderLengthSpare ? kMpduHeaderLengthBare : kMpduHeaderLengthSpare;
      builder.Setup(max_length, header_length);
      CheckState(builder);
    }
  }
  return 0;
}
