#include "ccsds/source_packet_builder.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace vantrel {
namespace {

// Zone geometry of the two M_PDU layouts: where the pointer and the zone lie in the record.
struct MpduLayout {
  int32_t header_length;
  int32_t pointer_offset;
  int32_t zone_offset;
  int32_t zone_length;
};
constexpr MpduLayout kLayouts[] = {
    // 2 spare bytes, pointer, 882-byte zone
    {kMpduHeaderLengthSpare, kMpduHeaderLengthSpare - MpduHeader::kLength, kMpduHeaderLengthSpare,
     kMpduRecordLength - kMpduHeaderLengthSpare},
    // pointer, 884-byte zone
    {kMpduHeaderLengthBare, kMpduHeaderLengthBare - MpduHeader::kLength, kMpduHeaderLengthBare,
     kMpduRecordLength - kMpduHeaderLengthBare},
};

constexpr uint8_t kReady = 1;
constexpr uint8_t kEmpty = 0;

}  // namespace

// Writes the numbered diagnostic lines of one feed call: at most 16, each cut to 319 characters.
class SourcePacketBuilder::DiagnosticWriter {
 public:
  explicit DiagnosticWriter(DiagnosticBlock& block) : block_(block) {
    for (DiagnosticLine& line : block_) line[0] = '\0';
  }
  // Index of the next line to be written.
  int32_t m() const { return m_; }
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (m_ >= kDiagnosticLineCount) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(block_[m_].data(), block_[m_].size(), format, args);
    va_end(args);
    ++m_;
  }

 private:
  DiagnosticBlock& block_;
  int32_t m_ = 0;
};

int32_t SourcePacketBuilder::Setup(int32_t max_packet_length, int32_t header_length) {
  // A larger limit would let a packet run past its slot.
  if (max_packet_length < kMinPacketLength || max_packet_length > kPacketSlotCapacity) return -1;
  geometry_.MaxPkLen = max_packet_length;
  for (const MpduLayout& layout : kLayouts) {
    if (layout.header_length != header_length) continue;
    geometry_.pointer_offset = layout.pointer_offset;
    geometry_.zone_offset = layout.zone_offset;
    geometry_.zone_length = layout.zone_length;
    vars_.state = BuildState::IDLE;
    vars_.ln = 0;
    return 0;
  }
  return -1;
}

int32_t SourcePacketBuilder::FeedMpdu(std::span<const uint8_t> record,
                                      DiagnosticBlock& diagnostics) {
  DiagnosticWriter out(diagnostics);
  int32_t pb = 0;
  const size_t needed =
      static_cast<size_t>(std::max(geometry_.zone_offset + geometry_.zone_length,
                                   geometry_.pointer_offset + MpduHeader::kLength));
  if (record.size() < needed) return pb;

  vars_.oldhcnt = vars_.hcnt;
  vars_.hcnt = MpduHeader::Parse(record.data() + geometry_.pointer_offset).first_header_pointer;
  const std::span<const uint8_t> zone =
      record.subspan(geometry_.zone_offset, geometry_.zone_length);
  if (vars_.hcnt < geometry_.zone_length || vars_.state == BuildState::GETHEADER) {
    ProcessZone(zone, out, pb);
  } else {
    NoHeaderZone(zone, out);
  }
  ++vars_.ln;
  return pb;
}

void SourcePacketBuilder::ProcessZone(std::span<const uint8_t> zone, DiagnosticWriter& out,
                                      int32_t& pb) {
  BuilderVariables& v = vars_;
  const int32_t zone_length = geometry_.zone_length;
  if (v.state == BuildState::GETHEADER) {
    out.Line("BP: ln%d ENTERED VIA GETHEADER hcnt=%d oldhcnt=%d\n", v.ln, v.hcnt, v.oldhcnt);
  }
  v.mi = 0;
  do {
    if (v.state == BuildState::BUILDING) {
      // A new header closes the running packet, whatever its length field says. Here hcnt is
      // below the zone length.
      if (geometry_.MaxPkLen + 1 - v.hcnt > v.pi) {
        Append(zone.first(static_cast<size_t>(v.hcnt)));
        ReadyFlag(v.current_slot) = kReady;
        ++pb;
        out.Line("BP: ln%d BUILDING - hc=%d pi=%d len=%d mi=%d m=%d pb=%d\n", v.ln, v.hcnt, v.pi,
                 v.header.Len, v.mi, out.m(), pb);
      } else {
        ReadyFlag(v.current_slot) = kEmpty;
        const SourcePacketHeader& h = v.header;
        out.Line("BP: ln%d BUILDING Discarding long packet before header!", v.ln);
        out.Line(
            "                  Source packet header - Ver=%02X Type=%02X Sec=%02X APID=%04X "
            "SeqFlg=%d SeqCnt=%04X Len=%d",
            h.Ver, h.Type, h.Sec, h.APID, h.SeqFlg, h.SeqCnt, h.Len);
        out.Line("                  Build pointers - hcnt=%d len=%d mi=%d pi=%d", v.hcnt, h.Len,
                 v.mi, v.pi);
      }
      v.state = BuildState::IDLE;
    }
    if (v.state == BuildState::IDLE) {
      v.pi = 0;
      v.current_slot = (v.current_slot + 1) % kPacketSlotCount;
      ReadyFlag(v.current_slot) = kEmpty;
      v.header_count = 0;
      if (v.SHORTY == 0) {
        v.mi = v.hcnt;
      } else {
        v.SHORTY = 0;
      }
      v.state = BuildState::GETHEADER;
    }
    if (v.state == BuildState::GETHEADER) {
      // Guard only: the pointer and the header count keep both positions in range.
      if (v.mi >= zone_length || v.pi >= kPacketSlotCapacity) break;
      CurrentSlot()[v.pi] = zone[static_cast<size_t>(v.mi)];
      ++v.pi;
      ++v.header_count;
      ++v.mi;
      if (v.header_count >= SourcePacketHeader::kLength) v.state = BuildState::READHEADER;
    }
    if (v.state == BuildState::READHEADER) {
      v.header = SourcePacketHeader::Parse(CurrentSlot());
      const SourcePacketHeader& h = v.header;
      out.Line(
          "BP: ln=%d READHEADER Found source packet - Ver=%02X Type=%02X Sec=%02X APID=%04X "
          "SeqFlg=%d SeqCnt=%04X Len=%d",
          v.ln, h.Ver, h.Type, h.Sec, h.APID, h.SeqFlg, h.SeqCnt, h.Len);
      v.state = BuildState::FIRSTBLOCK;
    }
    if (v.state == BuildState::FIRSTBLOCK && v.mi < zone_length) {
      // One byte per pass until the packet is whole or the zone ends, taken as one copy.
      const int32_t packet_size = v.header.Len + SourcePacketHeader::kLengthBias;
      const int32_t wanted = std::max(packet_size - v.pi, 1);
      const int32_t take = std::min({wanted, zone_length - v.mi, kPacketSlotCapacity - v.pi});
      if (take <= 0) break;  // guard only: a zone never fills a slot
      Append(zone.subspan(static_cast<size_t>(v.mi), static_cast<size_t>(take)));
      v.mi += take;
      if (v.pi > v.header.Len + SourcePacketHeader::kLength) {
        ReadyFlag(v.current_slot) = kReady;
        ++pb;
        out.Line("BP: ln%d FIRSTBLOCK - hc=%d pi=%d len=%d mi=%d m=%d pb=%d\n", v.ln, v.hcnt, v.pi,
                 v.header.Len, v.mi, out.m(), pb);
        v.state = BuildState::IDLE;
        if (v.mi < zone_length) {
          v.SHORTY = 1;
          out.Line("BP: ln%d SHORTY...hc=%d pi=%d len=%d mi=%d m=%d\n", v.ln, v.hcnt, v.pi,
                   v.header.Len, v.mi, out.m());
        }
      }
    }
  } while (v.mi < zone_length);
  if (v.state == BuildState::FIRSTBLOCK) v.state = BuildState::BUILDING;
}

void SourcePacketBuilder::NoHeaderZone(std::span<const uint8_t> zone, DiagnosticWriter& out) {
  BuilderVariables& v = vars_;
  // Other pointers from the zone length to 2046, and 2047 outside BUILDING, lose the zone.
  if (v.hcnt != MpduHeader::kNoHeader || v.state != BuildState::BUILDING) return;
  if (geometry_.MaxPkLen + 1 - geometry_.zone_length > v.pi) {
    Append(zone);
  } else {
    ReadyFlag(v.current_slot) = kEmpty;
    v.state = BuildState::IDLE;
    out.Line("BP: ln%d  Discarding long packet! hc=%d len=%d mi=%d", v.ln, v.hcnt, v.header.Len,
             v.mi);
  }
}

void SourcePacketBuilder::Append(std::span<const uint8_t> bytes) {
  // The callers' limits keep pi + size within the slot; clip all the same rather than spill
  // into the ready flag or the next slot.
  const int32_t room = kPacketSlotCapacity - vars_.pi;
  const int32_t size = std::min(static_cast<int32_t>(bytes.size()), std::max(room, 0));
  if (size <= 0) return;
  std::memcpy(CurrentSlot() + vars_.pi, bytes.data(), static_cast<size_t>(size));
  vars_.pi += size;
}

int32_t SourcePacketBuilder::GetNext(std::span<uint8_t> buffer, int32_t length) {
  if (length < 0 || length > kPacketSlotCapacity || static_cast<size_t>(length) > buffer.size()) {
    return -1;
  }
  // The first slot that does not wait, looked for among slots 0 to 4.
  int32_t empty = -1;
  for (int32_t slot = 0; slot < kPacketSlotCount - 1 && empty < 0; ++slot) {
    if (ReadyFlag(slot) != kReady) empty = slot;
  }
  if (empty < 0) return -1;
  // The oldest waiting packet is the first one behind that empty slot, in ring order.
  for (int32_t step = 1; step < kPacketSlotCount; ++step) {
    const int32_t slot = (empty + step) % kPacketSlotCount;
    if (ReadyFlag(slot) == kEmpty) continue;
    std::memcpy(buffer.data(), ring_.data() + slot * kPacketSlotSize, static_cast<size_t>(length));
    ReadyFlag(slot) = kEmpty;
    int32_t waiting = 0;
    for (int32_t i = 0; i < kPacketSlotCount; ++i) waiting += ReadyFlag(i) == kReady ? 1 : 0;
    return waiting;
  }
  return -1;
}

std::span<const uint8_t, kPacketSlotSize> SourcePacketBuilder::Slot(int32_t index) const {
  return std::span<const uint8_t, kPacketSlotSize>(ring_.data() + index * kPacketSlotSize,
                                                   kPacketSlotSize);
}

bool SourcePacketBuilder::SlotReady(int32_t index) const {
  return ring_[index * kPacketSlotSize + kReadyFlagOffset] == kReady;
}

SourcePacketBuilder& TheSourcePacketBuilder() {
  static SourcePacketBuilder builder;
  return builder;
}

}  // namespace vantrel
