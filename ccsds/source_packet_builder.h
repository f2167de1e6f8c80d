#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "ccsds/ccsds_headers.h"
#include "core/frame_tags.h"
#include "core/setting_ranges.h"

namespace vantrel {

// One slot of the packet ring: bytes 0-12998 hold a packet (the longest the packet length setting
// allows), byte 12999 is its ready flag.
inline constexpr int32_t kPacketSlotCapacity = kPacketLengthRange.high;
inline constexpr int32_t kPacketSlotSize = kPacketSlotCapacity + 1;
inline constexpr int32_t kReadyFlagOffset = kPacketSlotCapacity;
inline constexpr int32_t kPacketSlotCount = 6;
// When more packets wait than the ring holds (many short packets finishing in one M_PDU), the
// ring grows up to this many slots rather than overwrite a waiting packet.
inline constexpr int32_t kMaxPacketSlots = 192;
inline constexpr int32_t kApidCount = 2048;
// The shortest packet a maximum length may allow: a primary header and one data byte.
inline constexpr int32_t kMinPacketLength = kPacketLengthRange.low;
static_assert(kMinPacketLength == SourcePacketHeader::kLengthBias);

// The two M_PDU layouts: 2 spare bytes before the pointer, or the pointer first.
inline constexpr int32_t kMpduHeaderLengthSpare = kMpduHeaderLengths[1];
inline constexpr int32_t kMpduHeaderLengthBare = kMpduHeaderLengths[0];

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
  int32_t max_packet_length = 0;
  int32_t pointer_offset = 0;
  int32_t zone_offset = 0;
  int32_t zone_length = 0;
};

// The builder's running variables. The diagnostic lines print them under short names: pi
// (slot_fill), mi (zone_position), hcnt and oldhcnt (the first-header pointers), ln (mpdus_fed).
struct BuilderVariables {
  int32_t current_slot = 0;
  int32_t slot_fill = 0;                      // bytes stored in the current slot
  int32_t header_count = 0;                   // primary-header bytes read so far
  int32_t zone_position = 0;                  // read position inside the current zone
  int32_t first_header_pointer = 0;           // of the current M_PDU
  int32_t previous_first_header_pointer = 0;  // of the M_PDU before it
  BuildState state = BuildState::IDLE;
  // 1 when the next header follows directly behind a packet in this zone.
  int32_t header_follows_packet = 0;
  int32_t mpdus_fed = 0;      // M_PDUs fed since Setup
  SourcePacketHeader header;  // the current packet's primary header
};

// What the builder dropped for lost data since the last Setup.
struct BuilderLosses {
  int64_t frames_missing = 0;  // frames missing by VCDU frame-counter gaps
  int64_t restarts = 0;        // counter jumps taken as a restart of the stream
  int64_t skipped_frames = 0;  // frames Reed-Solomon could not correct (their pointers unused)
  // Packets begun with a whole primary header and dropped because bytes were lost inside them
  // where their place could not be told, by APID.
  std::array<int64_t, kApidCount> dropped{};
  // Packets begun with a whole primary header and handed out whole in length, with zeros (or
  // an uncorrectable frame's bytes as received) where their bytes were lost, by APID.
  std::array<int64_t, kApidCount> zero_filled{};
  // Packets whose whole header never arrived (lost with their frames, or cut short), by APID:
  // the gaps in the source sequence count between packets of that APID whose headers did.
  std::array<int64_t, kApidCount> never_begun{};
  int64_t overflowed = 0;  // waiting packets overwritten because the grown ring was full

  // Packets of `apid` that lost data: dropped or never begun.
  int64_t DroppedOf(int32_t apid) const {
    if (apid < 0 || apid >= kApidCount) return 0;
    return dropped[static_cast<size_t>(apid)] + never_begun[static_cast<size_t>(apid)];
  }
  // Packets of `apid` handed out with lost bytes in place.
  int64_t ZeroFilledOf(int32_t apid) const {
    if (apid < 0 || apid >= kApidCount) return 0;
    return zero_filled[static_cast<size_t>(apid)];
  }
};

// Follows each APID's 14-bit source sequence count from one whole header to the next.
class SequenceCountTrack {
 public:
  static constexpr int32_t kModulus = 1 << 14;
  // A step over more missing packets than this is no gap a pass could have: the stream
  // restarted (as is a step backwards or the same count again).
  static constexpr int32_t kMaxGap = 1000;
  // The idle APID counts nothing.
  static constexpr int32_t kIdleApid = kApidCount - 1;

  SequenceCountTrack() { Forget(); }
  void Forget() { last_.fill(-1); }
  // Takes the sequence count of the next packet of `apid` whose header arrived whole; returns
  // the packets of that APID missing before it (0 for the first, the idle APID and a restart).
  int32_t Next(int32_t apid, int32_t count) {
    if (apid < 0 || apid >= kIdleApid) return 0;
    int32_t& last = last_[static_cast<size_t>(apid)];
    const int32_t missing = last < 0 ? 0 : (count - last - 1) & (kModulus - 1);
    last = count & (kModulus - 1);
    return missing <= kMaxGap ? missing : 0;
  }

 private:
  std::array<int32_t, kApidCount> last_{};
};

// Reassembles CCSDS source packets from the packet zones of consecutive M_PDUs into a ring of
// six slots (grown when more packets wait). Knows no files; not re-entrant. Whatever the inputs,
// nothing is read outside the record given and nothing is written outside a slot's 12999 data
// bytes. A packet whose primary header arrived whole is handed out when every one of its bytes
// has a known place: the zones of frames missing by a counter gap (measured exactly), and of
// frames that could not be corrected, count as zones of zeros (or, on request, the uncorrectable
// zone's bytes as received) whose pointers are unknown, so the packet keeps its length and every
// byte its position. The open packet is dropped where its place is unknown: a first-header
// pointer that disagrees with its length, a zone without a valid pointer, a counter jump taken
// as a restart, its header cut by a loss. Packets lost before their header was whole show as
// gaps in their APID's sequence count (see Losses).
class SourcePacketBuilder {
 public:
  // Header length 4 (pointer at record byte 2, zone at byte 4, 882 bytes) or 2 (pointer at 0,
  // zone at 2, 884 bytes). Returns 0 and sets state IDLE and the M_PDU count 0, clears the losses
  // and forgets the last frame counter; keeps the ring, the current slot, its fill, the zone
  // position, the pointer and the decoded header. Returns -1 and changes nothing else for another
  // header length; a maximum packet length outside 7..12999 is refused (-1) and changes nothing.
  int32_t Setup(int32_t max_packet_length, int32_t header_length);

  // Feeds one M_PDU record (only read; at least max(zone offset + zone length, pointer offset
  // + 2) bytes, a shorter one is ignored and yields 0). Rewrites `diagnostics` (at most 16
  // lines). Returns the number of packets completed during this call (the listings call it pb).
  int32_t FeedMpdu(std::span<const uint8_t> record, DiagnosticBlock& diagnostics);

  // Tells the builder about the VCDU whose M_PDU is fed next: its 24-bit frame counter, and
  // whether Reed-Solomon could not correct it (its counter and pointer are then not trusted: the
  // counter is taken as one on and the zone is held until the next trusted counter places it).
  // Frames missing by the counter are counted, and the next FeedMpdu first fills the held zones
  // and theirs into the open packet; a step no pass could make is a restart of the stream
  // (FrameCounterTrack), which drops the open packet. Returns the frames missing before this
  // one.
  int32_t NoteFrame(uint32_t counter, bool uncorrectable);

  // Whether an uncorrectable frame's zone goes into its packet as received (noisy samples)
  // rather than as zeros. Missing frames are zeros either way. Off when made; kept by
  // Setup.
  void SetKeepUncorrectable(bool keep) { keep_uncorrectable_ = keep; }

  // Copies the oldest waiting packet into `buffer` (which must hold `length` bytes): its first
  // `length` bytes, zeros behind a shorter packet. Marks the slot empty and returns how many
  // slots still wait. Returns -1 with the buffer untouched when no packet waits, or when
  // `length` is outside 0..12999 or larger than the buffer.
  int32_t GetNext(std::span<uint8_t> buffer, int32_t length);

  // Read access for diagnostics and tests.
  const BuilderGeometry& Geometry() const { return geometry_; }
  const BuilderVariables& Variables() const { return vars_; }
  const BuilderLosses& Losses() const { return losses_; }
  int32_t SlotCount() const { return static_cast<int32_t>(sizes_.size()); }
  // Index below SlotCount().
  std::span<const uint8_t, kPacketSlotSize> Slot(int32_t index) const;
  bool SlotReady(int32_t index) const;

 private:
  class DiagnosticWriter;

  void ProcessZone(std::span<const uint8_t> zone, DiagnosticWriter& out, int32_t& completed);
  void NoHeaderZone(std::span<const uint8_t> zone, DiagnosticWriter& out, int32_t& completed);
  // A zone whose pointer is unknown (its frame missing or uncorrectable) but whose place is: a
  // packet being built takes `bytes` (a zone's length) as far as its length says, and is handed
  // out when it ends there; a header cut by the zone is lost.
  void LostZone(std::span<const uint8_t> bytes, DiagnosticWriter& out, int32_t& completed);
  // Before a trusted frame's zone: the held zones of uncorrectable frames (as received when
  // asked and no gap follows them, else zeros), then the zones of the frames missing.
  void PlaceLostZones(size_t zone_length, DiagnosticWriter& out, int32_t& completed);
  // Appends `bytes` to the current slot at its fill; the caller has checked the size limit.
  void Append(std::span<const uint8_t> bytes);
  // The open packet is complete: it waits in its slot, to be handed out after those before it.
  void MarkReady(int32_t& completed);
  // The open packet (GETHEADER, BUILDING or within a zone) lost bytes: its slot is freed, it is
  // counted (one whose header was not yet whole is counted by the sequence count gap it leaves)
  // and the state becomes IDLE. Nothing happens when no packet is open.
  void DropOpenPacket();
  // Opens the slot for the next packet: the next one in ring order that does not wait, a new
  // one when all wait (up to kMaxPacketSlots), else the oldest waiting one, counted.
  void OpenNextSlot();
  uint8_t& ReadyFlag(int32_t slot) {
    return ring_[static_cast<size_t>(slot) * kPacketSlotSize + kReadyFlagOffset];
  }
  uint8_t* CurrentSlot() {
    return ring_.data() + static_cast<size_t>(vars_.current_slot) * kPacketSlotSize;
  }

  BuilderGeometry geometry_;
  BuilderVariables vars_;
  BuilderLosses losses_;
  // The slots as one block, six at first; never cleared.
  std::vector<uint8_t> ring_ = std::vector<uint8_t>(kPacketSlotCount * kPacketSlotSize, 0);
  // Per slot: the packet's size and its place in the order of completion (while it waits).
  std::vector<int32_t> sizes_ = std::vector<int32_t>(kPacketSlotCount, 0);
  std::vector<uint64_t> order_ = std::vector<uint64_t>(kPacketSlotCount, 0);
  uint64_t completed_ = 0;
  // The frame counter of the fed M_PDUs' VCDUs; forgotten at Setup.
  FrameCounterTrack counter_;
  // The source sequence counts of the packets begun; forgotten at Setup and at a restart.
  SequenceCountTrack sequences_;
  // Zones of frames missing before the M_PDU fed next, to be filled in as zeros.
  int32_t missing_zones_ = 0;
  // The zone of the M_PDU fed next is lost in place (its frame could not be corrected).
  bool lost_next_zone_ = false;
  // Zones of uncorrectable frames since the last trusted counter, and (when kept as received)
  // their bytes.
  int32_t held_zones_ = 0;
  std::vector<uint8_t> held_bytes_;
  bool keep_uncorrectable_ = false;
  // The open packet took lost bytes.
  bool open_lost_bytes_ = false;
};

}  // namespace vantrel
