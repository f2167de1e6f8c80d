#include "sim/pass_common.h"

#include <algorithm>
#include <cstring>

namespace vantrel::sim::internal {
namespace {

constexpr int kVersionBits = 0x40;  // transfer frame version 01 in the top two bits
constexpr int kMaxGuardRepairs = 1 << 16;

}  // namespace

void FillRandom(std::mt19937_64& rng, uint8_t* out, size_t size) {
  size_t k = 0;
  for (; k + 8 <= size; k += 8) {
    const uint64_t r = rng();
    std::memcpy(out + k, &r, 8);
  }
  if (k < size) {
    const uint64_t r = rng();
    std::memcpy(out + k, &r, size - k);
  }
}

void WriteVcduHeader(uint8_t* vcdu, int spacecraft, int vcid, uint32_t counter) {
  vcdu[0] = static_cast<uint8_t>(kVersionBits | ((spacecraft >> 2) & 0x3F));
  vcdu[1] = static_cast<uint8_t>(((spacecraft & 0x03) << 6) | (vcid & 0x3F));
  vcdu[2] = static_cast<uint8_t>(counter >> 16);
  vcdu[3] = static_cast<uint8_t>(counter >> 8);
  vcdu[4] = static_cast<uint8_t>(counter);
  vcdu[5] = 0;
}

FrameSender::FrameSender(const CaduEncoding& encoding, const Impairments& impairments,
                         uint64_t seed, const PassSinks& sinks)
    : sinks_(sinks), stream_(encoding, impairments, seed, sinks.recording) {}

void FrameSender::SendVcdu(const uint8_t* vcdu892) {
  EncodeCodeBlock(vcdu892, block_.data());
  SendBody(block_.data(), vcdu892[1] & 0x3F);
}

void FrameSender::SendBody(const uint8_t* body1020, int vcid) {
  FrameFate fate = stream_.AddFrame(body1020, truth_.data());
  fate.vcid = vcid;
  frame_whole_.push_back(fate.whole);
  if (!fate.dropped && sinks_.frame) sinks_.frame(truth_.data());
  if (sinks_.fate) sinks_.fate(fate);
}

void UnitTracker::Report(const PassSinks& sinks, const std::vector<bool>& frame_whole) const {
  if (sinks.whole_units) {
    const std::vector<uint64_t>& zone_frames = layout_.zone_frames;
    std::vector<bool> whole(layout_.units.size(), false);
    for (size_t u = 0; u < layout_.units.size(); ++u) {
      const auto [begin, end] = layout_.units[u];
      if (end <= begin) continue;
      bool ok = true;
      for (uint64_t zone = begin / layout_.zone_bytes; ok && zone <= (end - 1) / layout_.zone_bytes;
           ++zone) {
        ok = zone < zone_frames.size() && zone_frames[zone] < frame_whole.size() &&
             frame_whole[zone_frames[zone]];
      }
      whole[u] = ok;
    }
    sinks.whole_units(whole);
  }
  if (sinks.layout) sinks.layout(layout_);
}

Impairments WithPassLength(const Impairments& impairments, uint64_t frames) {
  Impairments out = impairments;
  if (out.profile.enabled && out.profile.frames == 0) out.profile.frames = frames;
  return out;
}

SyncGuard::SyncGuard(const std::array<uint32_t, 8>& entries) : entries_(entries) {
  for (uint32_t e : entries_) first_byte_[(e >> 16) & 0xFF] = true;
}

bool SyncGuard::Matches(uint32_t value24) const {
  if (!first_byte_[value24 >> 16]) return false;
  return std::find(entries_.begin(), entries_.end(), value24) != entries_.end();
}

void SyncGuard::Clean(uint8_t* buf, const uint8_t* fixed_mask, size_t size, int phase,
                      size_t m_begin, size_t m_end, std::mt19937_64& rng) const {
  const size_t span = phase > 0 ? 4 : 3;  // bytes a window touches
  if (size < span) return;
  m_end = std::min(m_end, size - span + 1);
  int repairs = 0;
  for (size_t m = m_begin; m < m_end; ++m) {
    if (!first_byte_[((buf[m] << phase) | (phase > 0 ? buf[m + 1] >> (8 - phase) : 0)) & 0xFF])
      continue;
    uint32_t word = (static_cast<uint32_t>(buf[m]) << 24) | (buf[m + 1] << 16) | (buf[m + 2] << 8);
    if (phase > 0) word |= buf[m + 3];
    const uint32_t value = (word >> (8 - phase)) & 0xFFFFFF;
    if (!Matches(value)) continue;
    std::array<size_t, 4> free{};
    size_t free_count = 0;
    for (size_t k = m; k < m + span; ++k)
      if (fixed_mask[k] != 0xFF) free[free_count++] = k;
    if (free_count == 0 || ++repairs > kMaxGuardRepairs) continue;
    const size_t k = free[rng() % free_count];
    buf[k] = static_cast<uint8_t>((buf[k] & fixed_mask[k]) | (rng() & ~fixed_mask[k]));
    m = (k >= m_begin + span ? k - span : m_begin) - 1;  // look again at windows holding byte k
  }
}

}  // namespace vantrel::sim::internal

namespace vantrel::sim {
namespace {

// Random frame bodies: RS code blocks of VCDUs of spacecraft 11, channel 9, counting frame
// counters and random data; or 1020 random bytes.
class RandomBodies {
 public:
  RandomBodies(bool reed_solomon, uint64_t seed)
      : reed_solomon_(reed_solomon), rng_(internal::ContentSeed(seed)) {}
  void Next(uint8_t* body1020) {
    constexpr int kSpacecraft = 11;
    constexpr int kChannel = 9;
    if (!reed_solomon_) {
      internal::FillRandom(rng_, body1020, kCodeBlockSize);
      return;
    }
    internal::FillRandom(rng_, vcdu_.data(), kVcduSize);
    internal::WriteVcduHeader(vcdu_.data(), kSpacecraft, kChannel, counter_);
    counter_ = (counter_ + 1) & internal::kFrameCounterMask;
    EncodeCodeBlock(vcdu_.data(), body1020);
  }

 private:
  bool reed_solomon_;
  std::mt19937_64 rng_;
  std::array<uint8_t, kVcduSize> vcdu_{};
  uint32_t counter_ = 0;
};

}  // namespace

std::vector<std::vector<uint8_t>> MakeRandomFrameBodies(size_t count, bool reed_solomon,
                                                        uint64_t seed) {
  RandomBodies maker(reed_solomon, seed);
  std::vector<std::vector<uint8_t>> bodies(count, std::vector<uint8_t>(kCodeBlockSize));
  for (auto& body : bodies) maker.Next(body.data());
  return bodies;
}

void StreamCaduPass(size_t frames, const CaduEncoding& encoding, const Impairments& impairments,
                    uint64_t seed, bool manchester, const PassSinks& sinks) {
  RandomBodies maker(encoding.reed_solomon, seed);
  internal::FrameSender sender(encoding, internal::WithPassLength(impairments, frames), seed,
                               sinks);
  sender.SetManchester(manchester);
  std::array<uint8_t, kCodeBlockSize> body;
  for (size_t f = 0; f < frames; ++f) {
    maker.Next(body.data());
    if (sinks.unit) sinks.unit(body.data(), body.size());
    sender.SendBody(body.data());
  }
  sender.Finish();
}

}  // namespace vantrel::sim

namespace vantrel::sim::internal {

PassSinks CollectingSinks(Recording& recording, std::vector<std::vector<uint8_t>>& units) {
  PassSinks sinks;
  sinks.recording = [&recording](const uint8_t* data, size_t size) {
    recording.bytes.insert(recording.bytes.end(), data, data + size);
  };
  sinks.frame = [&recording](const uint8_t* frame) {
    recording.frames.emplace_back(frame, frame + kCodeBlockSize);
  };
  sinks.unit = [&units](const uint8_t* data, size_t size) {
    units.emplace_back(data, data + size);
  };
  return sinks;
}

}  // namespace vantrel::sim::internal
