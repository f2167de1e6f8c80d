#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "ccsds/ccsds_headers.h"

namespace vantrel {

// One slot of the packet ring: bytes 0-12998 hold a packet, byte 12999 is its ready flag.
inline constexpr int32_t kPacketSlotSize = 13000;
inline constexpr int32_t kPacketSlotCapacity = kPacketSlotSize - 1;
inline constexpr int32_t kReadyFlagOffset = kPacketSlotCapacity;
inline constexpr int32_t kPacketSlotCount = 6;
// The shortest packet a maximum length may allow: a primary header and one data byte.
inline constexpr int32_t kMinPacketLength = SourcePacketHeader::kLengthBias;

// The two M_PDU layouts: 2 spare bytes before the pointer, or the pointer first.
inline constexpr int32_t kMpduHeaderLengthSpare = 4;
inline constexpr int32_t kMpduHeaderLengthBare = 2;

// The caller-owned block of diagnostic lines that every FeedMpdu call rewrites.
inline constexpr int kDiagnosticLineCount = 16;
inline constexpr int kDiagnosticLineLength = 320;
using DiagnosticLine = std::array<char, kDiagnosticLineLength>;
using DiagnosticBlock = std::array<DiagnosticLine, kDiagnosticLineCount>;

// What the builder is doing between (and, for READHEADER and FIRSTBLOCK, within) feed calls.
enum class BuildState : int32_t {
  IDLE = 0,        // no packet open
  GETHEADER = 1,   // reading the 6 primary-header bytes, one per step
  READHEADER = 2,  // header complete, to be decoded
  FIRSTBLOCK = 3,  // copying the body from the zone in which the header began
  BUILDING = 5,    // packet runs on into the following zones
};

// Where the M_PDU header and the packet zone lie in a record, and the packet size limit.
// All zero until the first successful Setup.
struct BuilderGeometry {
  int32_t MaxPkLen = 0;
  int32_t pointer_offset = 0;
  int32_t zone_offset = 0;
  int32_t zone_length = 0;
};

// The builder's running variables, named as its diagnostic lines print them.
struct BuilderVariables {
  int32_t current_slot = 0;
  int32_t pi = 0;            // bytes stored in the current slot
  int32_t header_count = 0;  // primary-header bytes read so far
  int32_t mi = 0;            // read position inside the current zone
  int32_t hcnt = 0;          // first-header pointer of the current M_PDU
  int32_t oldhcnt = 0;       // first-header pointer of the previous M_PDU
  BuildState state = BuildState::IDLE;
  int32_t SHORTY = 0;  // 1 when the next header follows directly behind a packet in this zone
  int32_t ln = 0;      // M_PDUs fed since Setup
  SourcePacketHeader header;  // the current packet's primary header
};

// Reassembles CCSDS source packets from the packet zones of consecutive M_PDUs into a ring of
// six slots. Knows no files; not re-entrant. Whatever the inputs, nothing is read outside the
// record given and nothing is written outside a slot's 12999 data bytes.
class SourcePacketBuilder {
 public:
  // Header length 4 (pointer at record byte 2, zone at byte 4, 882 bytes) or 2 (pointer at 0,
  // zone at 2, 884 bytes). Returns 0 and sets state IDLE and ln 0; keeps the ring, the current
  // slot, pi, mi, hcnt and the decoded header. Returns -1 and changes nothing else for another
  // header length; a maximum packet length outside 7..12999 is refused (-1) and changes nothing.
  int32_t Setup(int32_t max_packet_length, int32_t header_length);

  // Feeds one M_PDU record (only read; at least max(zone offset + zone length, pointer offset
  // + 2) bytes, a shorter one is ignored and yields 0). Rewrites `diagnostics` (at most 16
  // lines). Returns pb, the number of packets completed during this call.
  int32_t FeedMpdu(std::span<const uint8_t> record, DiagnosticBlock& diagnostics);

  // Copies the first `length` bytes of the oldest waiting slot into `buffer` (which must hold
  // them), marks the slot empty and returns how many slots still wait. Returns -1 with the
  // buffer untouched when no waiting slot is found, or when `length` is outside 0..12999 or
  // larger than the buffer.
  int32_t GetNext(std::span<uint8_t> buffer, int32_t length);

  // Read access for diagnostics and tests.
  const BuilderGeometry& Geometry() const { return geometry_; }
  const BuilderVariables& Variables() const { return vars_; }
  std::span<const uint8_t, kPacketSlotSize> Slot(int32_t index) const;
  bool SlotReady(int32_t index) const;

 private:
  class DiagnosticWriter;

  void ProcessZone(std::span<const uint8_t> zone, DiagnosticWriter& out, int32_t& pb);
  void NoHeaderZone(std::span<const uint8_t> zone, DiagnosticWriter& out);
  // Appends `bytes` to the current slot at pi; the caller has checked the size limit.
  void Append(std::span<const uint8_t> bytes);
  uint8_t& ReadyFlag(int32_t slot) { return ring_[slot * kPacketSlotSize + kReadyFlagOffset]; }
  uint8_t* CurrentSlot() { return ring_.data() + vars_.current_slot * kPacketSlotSize; }

  BuilderGeometry geometry_;
  BuilderVariables vars_;
  // The six slots as one block; never cleared.
  std::array<uint8_t, kPacketSlotCount * kPacketSlotSize> ring_{};
};

// The program-wide builder that the packet extraction stage uses: zero at program start, alive
// until program end, only partly reset by Setup.
SourcePacketBuilder& TheSourcePacketBuilder();

}  // namespace vantrel
