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

// What a lost zone holds: zeros, as long as the longest zone.
constexpr std::array<uint8_t, kMpduRecordLength> kZeroZoneBytes{};
constexpr std::span<const uint8_t> kZeroZone(kZeroZoneBytes);

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
  int32_t next_line() const { return next_line_; }
  void Line(const char* format, ...) __attribute__((format(printf, 2, 3))) {
    if (next_line_ >= kDiagnosticLineCount) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(block_[next_line_].data(), block_[next_line_].size(), format, args);
    va_end(args);
    ++next_line_;
  }

 private:
  DiagnosticBlock& block_;
  int32_t next_line_ = 0;
};

int32_t SourcePacketBuilder::Setup(int32_t max_packet_length, int32_t header_length) {
  // A larger limit would let a packet run past its slot.
  if (max_packet_length < kMinPacketLength || max_packet_length > kPacketSlotCapacity) return -1;
  geometry_.max_packet_length = max_packet_length;
  for (const MpduLayout& layout : kLayouts) {
    if (layout.header_length != header_length) continue;
    geometry_.pointer_offset = layout.pointer_offset;
    geometry_.zone_offset = layout.zone_offset;
    geometry_.zone_length = layout.zone_length;
    vars_.state = BuildState::IDLE;
    vars_.mpdus_fed = 0;
    losses_ = BuilderLosses{};
    counter_.Forget();
    sequences_.Forget();
    missing_zones_ = 0;
    lost_next_zone_ = false;
    held_zones_ = 0;
    held_bytes_.clear();
    open_lost_bytes_ = false;
    return 0;
  }
  return -1;
}

int32_t SourcePacketBuilder::NoteFrame(uint32_t counter, bool uncorrectable) {
  if (uncorrectable) {
    ++losses_.skipped_frames;
    lost_next_zone_ = true;
    counter_.Untrusted();
    return 0;
  }
  const int32_t missing = counter_.Next(counter);
  if (missing == 0) return 0;
  if (missing == FrameCounterTrack::kRestart) {
    // How many bytes went between the last zone and this one is unknown: a packet open across
    // them has no place for its bytes.
    DropOpenPacket();
    missing_zones_ = 0;
    held_zones_ = 0;
    held_bytes_.clear();
    ++losses_.restarts;
    // A new stream's sequence counts have nothing to do with the old one's.
    sequences_.Forget();
    return 0;
  }
  losses_.frames_missing += missing;
  missing_zones_ = missing;
  return missing;
}

int32_t SourcePacketBuilder::FeedMpdu(std::span<const uint8_t> record,
                                      DiagnosticBlock& diagnostics) {
  DiagnosticWriter out(diagnostics);
  int32_t completed = 0;
  const size_t needed =
      static_cast<size_t>(std::max(geometry_.zone_offset + geometry_.zone_length,
                                   geometry_.pointer_offset + MpduHeader::kLength));
  if (record.size() < needed) return completed;

  const std::span<const uint8_t> zone =
      record.subspan(geometry_.zone_offset, geometry_.zone_length);
  if (lost_next_zone_) {
    // The frame could not be corrected: its pointer says nothing, and its place is known only
    // once the next trusted counter shows no gap after it. Held until then.
    lost_next_zone_ = false;
    ++held_zones_;
    // Only a packet being built takes them, and no more than a slot holds.
    if (keep_uncorrectable_ && vars_.state == BuildState::BUILDING &&
        held_bytes_.size() < static_cast<size_t>(kPacketSlotCapacity)) {
      held_bytes_.insert(held_bytes_.end(), zone.begin(), zone.end());
    }
    out.Line("BP: ln%d Zone of an uncorrectable frame held", vars_.mpdus_fed);
    ++vars_.mpdus_fed;
    return completed;
  }
  PlaceLostZones(zone.size(), out, completed);
  vars_.previous_first_header_pointer = vars_.first_header_pointer;
  vars_.first_header_pointer =
      MpduHeader::Parse(record.data() + geometry_.pointer_offset).first_header_pointer;
  const bool valid_pointer = vars_.first_header_pointer < geometry_.zone_length ||
                             vars_.first_header_pointer == MpduHeader::kNoHeader;
  if (!valid_pointer) {
    // No pointer a zone can have: the zone is lost, and with it the bytes of an open packet.
    if (vars_.state != BuildState::IDLE) {
      out.Line("BP: ln%d Dropping packet: zone with pointer %d lost", vars_.mpdus_fed,
               vars_.first_header_pointer);
    }
    DropOpenPacket();
  } else if (vars_.first_header_pointer < geometry_.zone_length ||
             vars_.state == BuildState::GETHEADER) {
    ProcessZone(zone, out, completed);
  } else {
    NoHeaderZone(zone, out, completed);
  }
  ++vars_.mpdus_fed;
  return completed;
}

void SourcePacketBuilder::ProcessZone(std::span<const uint8_t> zone, DiagnosticWriter& out,
                                      int32_t& completed) {
  BuilderVariables& v = vars_;
  const int32_t zone_length = geometry_.zone_length;
  if (v.state == BuildState::GETHEADER) {
    out.Line("BP: ln%d ENTERED VIA GETHEADER hcnt=%d oldhcnt=%d\n", v.mpdus_fed,
             v.first_header_pointer, v.previous_first_header_pointer);
  }
  // A packet carried over from earlier zones must end exactly where the pointer puts the first
  // header of this zone, or run on past it when the pointer says no header begins here.
  bool carried = v.state == BuildState::GETHEADER || v.state == BuildState::BUILDING;
  v.zone_position = 0;
  do {
    if (v.state == BuildState::BUILDING) {
      // A new header closes the running packet. Here the pointer is below the zone length.
      carried = false;
      if (geometry_.max_packet_length + 1 - v.first_header_pointer > v.slot_fill) {
        if (v.slot_fill + v.first_header_pointer ==
            v.header.Len + SourcePacketHeader::kLengthBias) {
          Append(zone.first(static_cast<size_t>(v.first_header_pointer)));
          MarkReady(completed);
          out.Line("BP: ln%d BUILDING - hc=%d pi=%d len=%d mi=%d m=%d pb=%d\n", v.mpdus_fed,
                   v.first_header_pointer, v.slot_fill, v.header.Len, v.zone_position,
                   out.next_line(), completed);
        } else {
          // Shorter or longer than its header says: bytes were lost inside it.
          out.Line("BP: ln%d BUILDING Dropping packet: header at %d, pi=%d len=%d", v.mpdus_fed,
                   v.first_header_pointer, v.slot_fill, v.header.Len);
          DropOpenPacket();
        }
      } else {
        ReadyFlag(v.current_slot) = kEmpty;
        const SourcePacketHeader& h = v.header;
        out.Line("BP: ln%d BUILDING Discarding long packet before header!", v.mpdus_fed);
        out.Line(
            "                  Source packet header - Ver=%02X Type=%02X Sec=%02X APID=%04X "
            "SeqFlg=%d SeqCnt=%04X Len=%d",
            h.Ver, h.Type, h.Sec, h.APID, h.SeqFlg, h.SeqCnt, h.Len);
        out.Line("                  Build pointers - hcnt=%d len=%d mi=%d pi=%d",
                 v.first_header_pointer, h.Len, v.zone_position, v.slot_fill);
      }
      v.state = BuildState::IDLE;
    }
    if (v.state == BuildState::IDLE) {
      if (v.header_follows_packet == 0) {
        // Guard only: a dropped carried packet leaves no header in the zone when the pointer
        // says none begins here.
        if (v.first_header_pointer >= zone_length) break;
        v.zone_position = v.first_header_pointer;
      } else {
        v.header_follows_packet = 0;
      }
      v.slot_fill = 0;
      OpenNextSlot();
      open_lost_bytes_ = false;
      v.header_count = 0;
      v.state = BuildState::GETHEADER;
    }
    if (v.state == BuildState::GETHEADER) {
      // Guard only: the pointer and the header count keep both positions in range.
      if (v.zone_position >= zone_length || v.slot_fill >= kPacketSlotCapacity) break;
      CurrentSlot()[v.slot_fill] = zone[static_cast<size_t>(v.zone_position)];
      ++v.slot_fill;
      ++v.header_count;
      ++v.zone_position;
      if (v.header_count >= SourcePacketHeader::kLength) v.state = BuildState::READHEADER;
    }
    if (v.state == BuildState::READHEADER) {
      v.header = SourcePacketHeader::Parse(CurrentSlot());
      const SourcePacketHeader& h = v.header;
      losses_.never_begun[static_cast<size_t>(h.APID)] += sequences_.Next(h.APID, h.SeqCnt);
      out.Line(
          "BP: ln=%d READHEADER Found source packet - Ver=%02X Type=%02X Sec=%02X APID=%04X "
          "SeqFlg=%d SeqCnt=%04X Len=%d",
          v.mpdus_fed, h.Ver, h.Type, h.Sec, h.APID, h.SeqFlg, h.SeqCnt, h.Len);
      v.state = BuildState::FIRSTBLOCK;
    }
    if (v.state == BuildState::FIRSTBLOCK && v.zone_position < zone_length) {
      // One byte per pass until the packet is whole or the zone ends, taken as one copy.
      const int32_t packet_size = v.header.Len + SourcePacketHeader::kLengthBias;
      const int32_t wanted = std::max(packet_size - v.slot_fill, 1);
      const int32_t take =
          std::min({wanted, zone_length - v.zone_position, kPacketSlotCapacity - v.slot_fill});
      if (take <= 0) break;  // guard only: a zone never fills a slot
      Append(zone.subspan(static_cast<size_t>(v.zone_position), static_cast<size_t>(take)));
      v.zone_position += take;
      if (v.slot_fill > v.header.Len + SourcePacketHeader::kLength) {
        const int32_t pointer_wanted =
            v.zone_position < zone_length ? v.zone_position : MpduHeader::kNoHeader;
        if (carried && v.first_header_pointer != pointer_wanted) {
          // A carried packet that ends elsewhere than the pointer says lost bytes; the next
          // packet begins where the pointer says.
          carried = false;
          out.Line("BP: ln%d FIRSTBLOCK Dropping packet: ends at %d, pointer %d", v.mpdus_fed,
                   v.zone_position, v.first_header_pointer);
          DropOpenPacket();
          if (v.first_header_pointer < zone_length) v.zone_position = v.first_header_pointer;
          continue;
        }
        carried = false;
        MarkReady(completed);
        out.Line("BP: ln%d FIRSTBLOCK - hc=%d pi=%d len=%d mi=%d m=%d pb=%d\n", v.mpdus_fed,
                 v.first_header_pointer, v.slot_fill, v.header.Len, v.zone_position,
                 out.next_line(), completed);
        v.state = BuildState::IDLE;
        if (v.zone_position < zone_length) {
          v.header_follows_packet = 1;
          out.Line("BP: ln%d SHORTY...hc=%d pi=%d len=%d mi=%d m=%d\n", v.mpdus_fed,
                   v.first_header_pointer, v.slot_fill, v.header.Len, v.zone_position,
                   out.next_line());
        }
      }
    }
  } while (v.zone_position < zone_length);
  if (v.state == BuildState::FIRSTBLOCK) {
    v.state = BuildState::BUILDING;
    if (carried && v.first_header_pointer < zone_length) {
      // The carried packet runs on, yet a header begins in this zone.
      out.Line("BP: ln%d Dropping packet: runs past the header at %d", v.mpdus_fed,
               v.first_header_pointer);
      DropOpenPacket();
    }
  }
}

void SourcePacketBuilder::NoHeaderZone(std::span<const uint8_t> zone, DiagnosticWriter& out,
                                       int32_t& completed) {
  BuilderVariables& v = vars_;
  // Pointer 2047 outside BUILDING loses the zone.
  if (v.state != BuildState::BUILDING) return;
  if (geometry_.max_packet_length + 1 - geometry_.zone_length > v.slot_fill) {
    const int32_t remaining = v.header.Len + SourcePacketHeader::kLengthBias - v.slot_fill;
    if (remaining < geometry_.zone_length) {
      // The packet ends inside this zone, so a header would follow it: bytes were lost.
      out.Line("BP: ln%d Dropping packet: %d bytes left, no header in the zone", v.mpdus_fed,
               remaining);
      DropOpenPacket();
      return;
    }
    Append(zone);
    if (remaining == geometry_.zone_length) {
      // Ends with the zone: complete now, so that a gap before the next zone cannot cost it.
      MarkReady(completed);
      v.state = BuildState::IDLE;
      out.Line("BP: ln%d BUILDING - hc=%d pi=%d len=%d mi=%d m=%d pb=%d\n", v.mpdus_fed,
               v.first_header_pointer, v.slot_fill, v.header.Len, v.zone_position, out.next_line(),
               completed);
    }
  } else {
    ReadyFlag(v.current_slot) = kEmpty;
    v.state = BuildState::IDLE;
    out.Line("BP: ln%d  Discarding long packet! hc=%d len=%d mi=%d", v.mpdus_fed,
             v.first_header_pointer, v.header.Len, v.zone_position);
  }
}

void SourcePacketBuilder::PlaceLostZones(size_t zone_length, DiagnosticWriter& out,
                                         int32_t& completed) {
  if (held_zones_ == 0 && missing_zones_ == 0) return;
  // Uncorrectable frames followed by a gap may lie anywhere in it: their bytes are kept only
  // where the counter leaves no doubt.
  const bool received = keep_uncorrectable_ && missing_zones_ == 0;
  const int32_t zones = held_zones_ + missing_zones_;
  // Once no packet is open, the rest hold nothing anyone can place.
  for (int32_t i = 0; i < zones && vars_.state != BuildState::IDLE; ++i) {
    const size_t at = static_cast<size_t>(i) * zone_length;
    // Held zones not stored are past what the packet can take.
    const bool held = i < held_zones_ && received && at + zone_length <= held_bytes_.size();
    LostZone(held ? std::span<const uint8_t>(held_bytes_).subspan(at, zone_length)
                  : kZeroZone.first(zone_length),
             out, completed);
  }
  held_zones_ = 0;
  missing_zones_ = 0;
  held_bytes_.clear();
}

void SourcePacketBuilder::LostZone(std::span<const uint8_t> bytes, DiagnosticWriter& out,
                                   int32_t& completed) {
  BuilderVariables& v = vars_;
  if (v.state == BuildState::GETHEADER) {
    // The rest of the header went with the zone.
    out.Line("BP: ln%d Dropping packet: header cut by a lost zone", v.mpdus_fed);
    DropOpenPacket();
    return;
  }
  if (v.state != BuildState::BUILDING) return;
  const int32_t remaining = v.header.Len + SourcePacketHeader::kLengthBias - v.slot_fill;
  const int32_t take = std::min(remaining, static_cast<int32_t>(bytes.size()));
  if (geometry_.max_packet_length + 1 - take <= v.slot_fill) {
    ReadyFlag(v.current_slot) = kEmpty;
    v.state = BuildState::IDLE;
    out.Line("BP: ln%d  Discarding long packet! hc=%d len=%d mi=%d", v.mpdus_fed,
             v.first_header_pointer, v.header.Len, v.zone_position);
    return;
  }
  Append(bytes.first(static_cast<size_t>(std::max(take, 0))));
  open_lost_bytes_ = true;
  if (take == remaining) {
    // Ends in the lost zone: whole in length, and what followed it there is lost.
    MarkReady(completed);
    v.state = BuildState::IDLE;
    out.Line("BP: ln%d LOST ZONE - pi=%d len=%d m=%d pb=%d\n", v.mpdus_fed, v.slot_fill,
             v.header.Len, out.next_line(), completed);
  }
}

void SourcePacketBuilder::Append(std::span<const uint8_t> bytes) {
  // The callers' limits keep the fill + size within the slot; clip all the same rather than spill
  // into the ready flag or the next slot.
  const int32_t room = kPacketSlotCapacity - vars_.slot_fill;
  const int32_t size = std::min(static_cast<int32_t>(bytes.size()), std::max(room, 0));
  if (size <= 0) return;
  std::memcpy(CurrentSlot() + vars_.slot_fill, bytes.data(), static_cast<size_t>(size));
  vars_.slot_fill += size;
}

void SourcePacketBuilder::MarkReady(int32_t& completed) {
  const size_t slot = static_cast<size_t>(vars_.current_slot);
  ReadyFlag(vars_.current_slot) = kReady;
  if (open_lost_bytes_) {
    ++losses_.zero_filled[static_cast<size_t>(vars_.header.APID)];
    open_lost_bytes_ = false;
  }
  sizes_[slot] = vars_.slot_fill;
  order_[slot] = ++completed_;
  ++completed;
}

void SourcePacketBuilder::DropOpenPacket() {
  BuilderVariables& v = vars_;
  if (v.state == BuildState::IDLE) return;
  if (v.state != BuildState::GETHEADER) ++losses_.dropped[static_cast<size_t>(v.header.APID)];
  ReadyFlag(v.current_slot) = kEmpty;
  v.state = BuildState::IDLE;
  v.header_follows_packet = 0;
  open_lost_bytes_ = false;
}

void SourcePacketBuilder::OpenNextSlot() {
  BuilderVariables& v = vars_;
  const int32_t count = SlotCount();
  int32_t slot = -1;
  for (int32_t step = 1; step <= count && slot < 0; ++step) {
    const int32_t candidate = (v.current_slot + step) % count;
    if (ReadyFlag(candidate) != kReady) slot = candidate;
  }
  if (slot < 0 && count < kMaxPacketSlots) {
    ring_.resize(ring_.size() + kPacketSlotSize, 0);
    sizes_.push_back(0);
    order_.push_back(0);
    slot = count;
  }
  if (slot < 0) {
    // Full to the limit (the caller takes no packets out): the oldest gives way, counted.
    slot = 0;
    for (int32_t i = 1; i < count; ++i) {
      if (order_[static_cast<size_t>(i)] < order_[static_cast<size_t>(slot)]) slot = i;
    }
    ++losses_.overflowed;
  }
  v.current_slot = slot;
  ReadyFlag(slot) = kEmpty;
}

int32_t SourcePacketBuilder::GetNext(std::span<uint8_t> buffer, int32_t length) {
  if (length < 0 || length > kPacketSlotCapacity || static_cast<size_t>(length) > buffer.size()) {
    return -1;
  }
  // The packet that completed first among those waiting.
  int32_t oldest = -1;
  int32_t waiting = 0;
  for (int32_t slot = 0; slot < SlotCount(); ++slot) {
    if (ReadyFlag(slot) != kReady) continue;
    ++waiting;
    if (oldest < 0 || order_[static_cast<size_t>(slot)] < order_[static_cast<size_t>(oldest)]) {
      oldest = slot;
    }
  }
  if (oldest < 0) return -1;
  const size_t size = static_cast<size_t>(std::min(length, sizes_[static_cast<size_t>(oldest)]));
  std::memcpy(buffer.data(), ring_.data() + static_cast<size_t>(oldest) * kPacketSlotSize, size);
  // Behind a shorter packet: zeros, never what earlier packets left in the slot.
  std::fill(buffer.begin() + static_cast<ptrdiff_t>(size), buffer.begin() + length, uint8_t{0});
  ReadyFlag(oldest) = kEmpty;
  return waiting - 1;
}

std::span<const uint8_t, kPacketSlotSize> SourcePacketBuilder::Slot(int32_t index) const {
  return std::span<const uint8_t, kPacketSlotSize>(
      ring_.data() + static_cast<size_t>(index) * kPacketSlotSize, kPacketSlotSize);
}

bool SourcePacketBuilder::SlotReady(int32_t index) const {
  return ring_[static_cast<size_t>(index) * kPacketSlotSize + kReadyFlagOffset] == kReady;
}

}  // namespace vantrel
