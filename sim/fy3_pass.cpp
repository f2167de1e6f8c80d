// FY-3 passes: VIRR lines as one bit stream in 882-byte zones, other channels interleaved.

#include <array>
#include <stdexcept>

#include "sim/pass_common.h"
#include "sim/simulator.h"
#include "sim/test_pattern.h"

namespace vantrel::sim {
namespace {

using internal::FrameSender;

// HRPT frame sync, six 10-bit words sent first in every transmitted line.
constexpr std::array<uint16_t, 6> kFrameSyncWords = {0x284, 0x16F, 0x35C, 0x19D, 0x20F, 0x095};
constexpr int kFrameSyncBits = 60;
// The line sync starts this many bits into the frame sync; decoded lines start there.
constexpr int kLineSyncBit = 2;
constexpr int kAlignedSyncBits = kFrameSyncBits - kLineSyncBit;  // 58 sync bits at a line's head
// A decoder's line sync table: bits s..s+23 of the 31-bit line sync, s = 0..7.
constexpr std::array<uint32_t, 8> kLineSyncEntries = {0x845BF5, 0x08B7EB, 0x116FD7, 0x22DFAE,
                                                      0x45BF5C, 0x8B7EB8, 0x16FD71, 0x2DFAE3};
// Decoded lines sit 2 bits after the stream's byte grid, so a decoder tests their bits at
// offsets 8m + 6 (the 24 bits at a stream byte position).
constexpr int kGuardPhase = 8 - kLineSyncBit;
constexpr size_t kGuardHead = 4;  // bytes of the next line the last windows reach into
constexpr uint32_t kMsPerDay = 86400000;
constexpr uint32_t kLinesPerSecond = 6;
constexpr uint8_t kIdleFill = 0x55;
constexpr std::array<int, 3> kInstrumentChannels = {5, 9, 3};
// The VIRR samples: 2048 pixels of 10 pixel-interleaved channels from line byte 436, which the
// product puts at its byte 2000 (word 1601).
constexpr size_t kVirrSampleOffset = 436;
constexpr size_t kVirrSamples = size_t{kVirrPixels} * kVirrChannels;
constexpr size_t kVirrSampleEnd = kVirrSampleOffset + kVirrSamples * 10 / 8;
static_assert(kVirrSampleEnd <= kFy3TimeOffset);

uint64_t FrameSyncBits() {
  uint64_t sync = 0;
  for (uint16_t w : kFrameSyncWords) sync = (sync << 10) | w;
  return sync;
}

// Sends the line stream in zones at VCDU bytes 10-891 on the chosen channel, a VCDU of another
// channel after every `other_every` of them.
class StreamZones {
 public:
  StreamZones(FrameSender& sender, internal::UnitTracker& tracker, std::mt19937_64& rng,
              int spacecraft, int vcid, int other_every)
      : sender_(sender),
        tracker_(tracker),
        rng_(rng),
        spacecraft_(spacecraft),
        vcid_(vcid),
        other_every_(other_every) {
    for (int c : kInstrumentChannels)
      if (c != vcid) others_.push_back(c);
    others_.push_back(kIdleVcid);
  }

  uint64_t StreamBytes() const { return stream_bytes_; }

  void Add(const uint8_t* data, size_t size) {
    stream_bytes_ += size;
    while (size > 0) {
      const size_t take = std::min(size, kPacketZoneSize - fill_);
      std::copy(data, data + take, vcdu_.data() + internal::kPacketZoneOffset + fill_);
      fill_ += take;
      data += take;
      size -= take;
      if (fill_ == kPacketZoneSize) Send();
    }
  }

  // Bytes still missing from the current zone.
  size_t Missing() const { return fill_ == 0 ? 0 : kPacketZoneSize - fill_; }

 private:
  void Send() {
    internal::WriteVcduHeader(vcdu_.data(), spacecraft_, vcid_, counters_[vcid_]);
    counters_[vcid_] = (counters_[vcid_] + 1) & internal::kFrameCounterMask;
    std::fill(vcdu_.begin() + internal::kVcduHeaderSize,
              vcdu_.begin() + internal::kPacketZoneOffset, 0);
    tracker_.Zone(sender_.FramesMade());
    sender_.SendVcdu(vcdu_.data());
    fill_ = 0;
    if (other_every_ > 0 && ++since_other_ == other_every_) {
      since_other_ = 0;
      const int channel = others_[next_other_];
      next_other_ = (next_other_ + 1) % others_.size();
      std::array<uint8_t, kVcduSize> other;
      if (channel == kIdleVcid)
        other.fill(kIdleFill);
      else
        internal::FillRandom(rng_, other.data(), other.size());
      internal::WriteVcduHeader(other.data(), spacecraft_, channel, counters_[channel]);
      counters_[channel] = (counters_[channel] + 1) & internal::kFrameCounterMask;
      sender_.SendVcdu(other.data());
    }
  }

  FrameSender& sender_;
  internal::UnitTracker& tracker_;
  uint64_t stream_bytes_ = 0;
  std::mt19937_64& rng_;
  int spacecraft_;
  int vcid_;
  int other_every_;
  std::vector<int> others_;
  size_t next_other_ = 0;
  int since_other_ = 0;
  std::array<uint8_t, kVcduSize> vcdu_{};
  size_t fill_ = 0;
  std::array<uint32_t, kIdleVcid + 1> counters_{};
};

}  // namespace

int Fy3SpacecraftId(char satellite) {
  switch (satellite) {
    case 'A':
      return 49;
    case 'B':
      return 50;
    case 'C':
      return 51;
    default:
      return -1;
  }
}

void StreamFy3Pass(const Fy3Options& options, const CaduEncoding& encoding,
                   const Impairments& impairments, uint64_t seed, const PassSinks& sinks) {
  const int spacecraft = Fy3SpacecraftId(options.satellite);
  if (spacecraft < 0) throw std::invalid_argument("FY-3 satellite must be A, B or C");
  if (options.vcid != 5 && options.vcid != 9 && options.vcid != 3)
    throw std::invalid_argument("FY-3 channel must be 5, 9 or 3");
  if (options.lines < 0 || options.other_every < 0)
    throw std::invalid_argument("counts must not be negative");

  std::mt19937_64 rng(internal::ContentSeed(seed));
  // Expected length for a pass profile: the zones of the line stream, and the other channels.
  const uint64_t zones_expected =
      (options.lead_bytes + static_cast<uint64_t>(options.lines) * kFy3LineSize) / kPacketZoneSize +
      2;
  const uint64_t frames_expected =
      zones_expected + (options.other_every > 0 ? zones_expected / options.other_every : 0);
  FrameSender sender(encoding, internal::WithPassLength(impairments, frames_expected), seed, sinks);
  internal::UnitTracker tracker(kPacketZoneSize);
  StreamZones zones(sender, tracker, rng, spacecraft, options.vcid, options.other_every);
  const internal::SyncGuard guard(kLineSyncEntries);
  const uint64_t sync = FrameSyncBits();

  // A decoded line with its fixed bits; the random content goes between them.
  std::vector<uint8_t> line(kFy3LineSize + kGuardHead, 0);
  std::vector<uint8_t> fixed(kFy3LineSize + kGuardHead, 0);
  auto set_bit = [&](size_t bit, int value) {
    const uint8_t mask = static_cast<uint8_t>(0x80 >> (bit % 8));
    fixed[bit / 8] |= mask;
    if (value) line[bit / 8] |= mask;
  };
  for (int j = 0; j < kAlignedSyncBits; ++j)
    set_bit(j, static_cast<int>((sync >> (kFrameSyncBits - 1 - kLineSyncBit - j)) & 1));
  // The last two bits are the first two of the next line's frame sync.
  for (int j = 0; j < kLineSyncBit; ++j)
    set_bit(kFy3LineSize * 8 - kLineSyncBit + j,
            static_cast<int>((sync >> (kFrameSyncBits - 1 - j)) & 1));
  for (size_t j = kFy3TimeOffset; j < kFy3TimeOffset + 4; ++j) fixed[j] = 0xFF;
  std::fill(fixed.begin() + kVirrSampleOffset, fixed.begin() + kVirrSampleEnd, 0xFF);
  // The next line's head, for the windows that reach into it.
  for (size_t j = 0; j < kGuardHead; ++j) {
    line[kFy3LineSize + j] = line[j];
    fixed[kFy3LineSize + j] = 0xFF;
  }
  const std::vector<uint8_t> pattern = line;

  // The lead: random bytes in the stream's own byte grid, ahead of the first frame sync.
  std::vector<uint8_t> lead(options.lead_bytes + kGuardHead);
  std::vector<uint8_t> lead_fixed(lead.size(), 0);
  internal::FillRandom(rng, lead.data(), options.lead_bytes);
  uint8_t carry = static_cast<uint8_t>(sync >> (kFrameSyncBits - kLineSyncBit));  // bits "10"
  for (size_t j = 0; j < kGuardHead; ++j) {
    lead[options.lead_bytes + j] = static_cast<uint8_t>(
        (j == 0 ? carry << kGuardPhase : line[j - 1] << kGuardPhase) | (line[j] >> kLineSyncBit));
    lead_fixed[options.lead_bytes + j] = 0xFF;
  }
  guard.Clean(lead.data(), lead_fixed.data(), lead.size(), 0, 0, options.lead_bytes, rng);
  zones.Add(lead.data(), options.lead_bytes);

  std::vector<uint8_t> out(kFy3LineSize);
  std::vector<uint16_t> samples(kVirrSamples);
  for (int k = 0; k < options.lines; ++k) {
    internal::FillRandom(rng, line.data(), kFy3LineSize);
    for (size_t j = 0; j < kFy3LineSize; ++j)
      line[j] = static_cast<uint8_t>((pattern[j] & fixed[j]) | (line[j] & ~fixed[j]));
    for (int p = 0; p < kVirrPixels; ++p)
      for (int c = 0; c < kVirrChannels; ++c)
        samples[p * kVirrChannels + c] =
            TestPatternSample(c, p, kVirrPixels, static_cast<uint32_t>(k));
    PackSamples10(samples.data(), samples.size(), line.data() + kVirrSampleOffset);
    const uint64_t elapsed =
        (static_cast<uint64_t>(k) * 1000 + kLinesPerSecond / 2) / kLinesPerSecond;
    const uint32_t ms = static_cast<uint32_t>((options.start_ms + elapsed) % kMsPerDay);
    for (size_t j = 0; j < 4; ++j)
      line[kFy3TimeOffset + j] = static_cast<uint8_t>(ms >> (24 - 8 * j));
    guard.Clean(line.data(), fixed.data(), line.size(), kGuardPhase, 1, kFy3LineSize, rng);
    if (sinks.unit) sinks.unit(line.data(), kFy3LineSize);
    // The decoded line starts two bits into the stream's byte: it reaches one byte further.
    tracker.Unit(zones.StreamBytes(), zones.StreamBytes() + kFy3LineSize + 1);
    for (size_t j = 0; j < kFy3LineSize; ++j) {
      out[j] = static_cast<uint8_t>((carry << kGuardPhase) | (line[j] >> kLineSyncBit));
      carry = line[j] & ((1 << kLineSyncBit) - 1);
    }
    zones.Add(out.data(), out.size());
  }
  // The bits still held, then random bytes to the end of the zone.
  uint8_t last = static_cast<uint8_t>((carry << kGuardPhase) | (rng() & ((1 << kGuardPhase) - 1)));
  zones.Add(&last, 1);
  std::vector<uint8_t> pad(zones.Missing());
  internal::FillRandom(rng, pad.data(), pad.size());
  zones.Add(pad.data(), pad.size());
  sender.Finish();
  tracker.Report(sinks, sender.FrameWhole());
}

Fy3Pass MakeFy3Pass(const Fy3Options& options, const CaduEncoding& encoding,
                    const Impairments& impairments, uint64_t seed) {
  Fy3Pass pass;
  PassSinks sinks = internal::CollectingSinks(pass.recording, pass.lines);
  StreamFy3Pass(options, encoding, impairments, seed, sinks);
  return pass;
}

}  // namespace vantrel::sim
