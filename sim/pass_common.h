#pragma once

// Pieces shared by the pass generators: random fill, VCDU headers, the frame sender that turns
// VCDUs or frame bodies into CADUs, and the guard that keeps line syncs out of random content.

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "sim/simulator.h"

namespace vantrel::sim::internal {

inline constexpr size_t kVcduHeaderSize = 6;
inline constexpr size_t kPacketZoneOffset = 10;  // VCDU bytes 10-891
inline constexpr size_t kMpduHeaderOffset = 8;   // behind a 2-byte spare
inline constexpr uint32_t kFrameCounterMask = 0xFFFFFF;

// Seeds of the separate generators derived from the caller's seed.
inline uint64_t ContentSeed(uint64_t seed) {
  return seed * 0x9E3779B97F4A7C15ull + 1;
}

void FillRandom(std::mt19937_64& rng, uint8_t* out, size_t size);

// 10-bit samples packed most significant bit first behind `lead_bits` (0..7) zero bits; `out`
// holds (lead_bits + count * 10 + 7) / 8 bytes.
void PackSamples10After(int lead_bits, const uint16_t* samples, size_t count, uint8_t* out);

// VCDU primary header: version 01, spacecraft id (8 bits), virtual channel (6 bits), 24-bit
// frame counter, signalling byte 0.
void WriteVcduHeader(uint8_t* vcdu, int spacecraft, int vcid, uint32_t counter);

// Turns VCDUs (RS-encoded here) or ready frame bodies into CADUs and hands every piece to the
// sinks.
class FrameSender {
 public:
  FrameSender(const CaduEncoding& encoding, const Impairments& impairments, uint64_t seed,
              const PassSinks& sinks);
  void SetManchester(bool on) { stream_.SetManchester(on); }
  void SendVcdu(const uint8_t* vcdu892);
  void SendBody(const uint8_t* body1020, int vcid = -1);
  void Finish() { stream_.Finish(); }
  // Frames made so far (dropped ones included): the index of the next one.
  uint64_t FramesMade() const { return frame_whole_.size(); }
  // Per frame made, whether its data arrives intact.
  const std::vector<bool>& FrameWhole() const { return frame_whole_; }

 private:
  const PassSinks& sinks_;
  std::vector<bool> frame_whole_;
  CaduStream stream_;
  std::array<uint8_t, kCodeBlockSize> block_{};
  std::array<uint8_t, kCodeBlockSize> truth_{};
};

// Which units (packets, lines) arrive whole: each unit is a byte range of the stream the pass
// cuts into zones of `zone_bytes`, and each zone goes out in one frame.
class UnitTracker {
 public:
  explicit UnitTracker(size_t zone_bytes) { layout_.zone_bytes = zone_bytes; }
  void Unit(uint64_t begin, uint64_t end) { layout_.units.emplace_back(begin, end); }
  void Zone(uint64_t frame_index) { layout_.zone_frames.push_back(frame_index); }
  // Hands the list to the sinks: a unit is whole when every zone holding its bytes went out in a
  // frame that arrived whole; then the layout itself.
  void Report(const PassSinks& sinks, const std::vector<bool>& frame_whole) const;

 private:
  UnitLayout layout_;
};

// A pass profile without a length gets `frames`, the pass's expected CADU count.
Impairments WithPassLength(const Impairments& impairments, uint64_t frames);

// A decoder finds a line where the 24 bits at a byte position equal one of eight shifted copies
// of the line sync. The guard re-draws free bits of random content wherever such a window would
// match anywhere but at a real line start.
class SyncGuard {
 public:
  explicit SyncGuard(const std::array<uint32_t, 8>& entries);
  bool Matches(uint32_t value24) const;
  // Tests the windows that start at bit 8m + phase of buf for m in [m_begin, m_end) (only those
  // whose bytes lie inside buf) and re-draws bits outside fixed_mask[k] of a byte of each
  // matching window until none matches. Windows with no free bit are left as they are.
  void Clean(uint8_t* buf, const uint8_t* fixed_mask, size_t size, int phase, size_t m_begin,
             size_t m_end, std::mt19937_64& rng) const;

 private:
  std::array<uint32_t, 8> entries_;
  std::array<bool, 256> first_byte_{};
};

// Sinks that collect a streamed pass in memory: the recording and its frame truth into
// `recording`, each packet or line into `units`.
PassSinks CollectingSinks(Recording& recording, std::vector<std::vector<uint8_t>>& units);

}  // namespace vantrel::sim::internal
