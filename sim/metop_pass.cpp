// MetOp AHRPT passes: AVHRR source packets in M_PDUs, idle VCDUs between them.

#include <array>
#include <stdexcept>

#include "sim/pass_common.h"
#include "sim/simulator.h"
#include "sim/test_pattern.h"

namespace vantrel::sim {
namespace {

using internal::FrameSender;

constexpr size_t kPrimaryHeaderSize = 6;
constexpr int kDayApid = 103;
constexpr int kNightApid = 104;
constexpr int kIdleApid = 0x7FF;
constexpr int kMaxApid = 0x7FF;
constexpr uint8_t kSecondaryHeaderFlag = 0x08;  // version 0, type 0, secondary header present
constexpr uint8_t kUnsegmented = 0xC0;          // sequence flags 11
constexpr uint16_t kSequenceCountMask = 0x3FFF;
constexpr uint32_t kMsPerDay = 86400000;
constexpr uint32_t kMsPerLineNumerator = 1000;  // AVHRR scans 6 lines per second
constexpr uint32_t kLinesPerSecond = 6;
// The samples start 4 bits into byte 82, where the product's earth-data words begin (HRPT word
// 751); the last sample's lowest 4 bits fall into byte 12882, beyond what the product keeps.
constexpr int kSampleLeadBits = 4;
static_assert(kAvhrrSamples == size_t{kAvhrrPixels} * kAvhrrChannels);
constexpr size_t kSampleEnd = kAvhrrSampleOffset + (kSampleLeadBits + kAvhrrSamples * 10 + 7) / 8;
constexpr size_t kShortPacketMin = 100;
constexpr size_t kShortPacketSpread = 301;  // lengths 100..400
constexpr int kMaxShortPackets = 3;
constexpr uint8_t kIdleFill = 0x55;

void WritePrimaryHeader(uint8_t* p, int apid, uint16_t count, size_t total_size) {
  const size_t data_length = total_size - kPrimaryHeaderSize - 1;
  p[0] = static_cast<uint8_t>(kSecondaryHeaderFlag | ((apid >> 8) & 0x07));
  p[1] = static_cast<uint8_t>(apid & 0xFF);
  p[2] = static_cast<uint8_t>(kUnsegmented | ((count >> 8) & 0x3F));
  p[3] = static_cast<uint8_t>(count & 0xFF);
  p[4] = static_cast<uint8_t>(data_length >> 8);
  p[5] = static_cast<uint8_t>(data_length & 0xFF);
}

// Cuts a continuous packet stream into 882-byte zones and sends them as VCDUs with their
// first-header pointers, an idle VCDU after every `idle_every` of them.
class ZoneWriter {
 public:
  ZoneWriter(FrameSender& sender, internal::UnitTracker& tracker, int spacecraft, int vcid,
             int idle_every)
      : sender_(sender),
        tracker_(tracker),
        spacecraft_(spacecraft),
        vcid_(vcid),
        idle_every_(idle_every) {}

  // Bytes of the packet stream so far.
  uint64_t StreamBytes() const { return stream_bytes_; }

  void AddPacket(const uint8_t* packet, size_t size) {
    stream_bytes_ += size;
    if (pointer_ == kNoHeaderPointer) pointer_ = static_cast<uint16_t>(fill_);
    while (size > 0) {
      const size_t take = std::min(size, kPacketZoneSize - fill_);
      std::copy(packet, packet + take, zone_() + fill_);
      fill_ += take;
      packet += take;
      size -= take;
      if (fill_ == kPacketZoneSize) SendZone();
    }
  }

  // Ends the stream with an idle packet, so that a header follows the last real packet and the
  // last zone is full.
  void Finish() {
    size_t rest = kPacketZoneSize - fill_;
    if (rest < kPrimaryHeaderSize + 1) rest += kPacketZoneSize;
    std::vector<uint8_t> idle(rest, kIdleFill);
    WritePrimaryHeader(idle.data(), kIdleApid, 0, rest);
    idle[0] &= static_cast<uint8_t>(~kSecondaryHeaderFlag);
    AddPacket(idle.data(), idle.size());
  }

 private:
  uint8_t* zone_() { return vcdu_.data() + internal::kPacketZoneOffset; }

  void SendZone() {
    internal::WriteVcduHeader(vcdu_.data(), spacecraft_, vcid_, counter_);
    counter_ = (counter_ + 1) & internal::kFrameCounterMask;
    vcdu_[6] = 0;  // insert zone / spare
    vcdu_[7] = 0;
    vcdu_[internal::kMpduHeaderOffset] = static_cast<uint8_t>(pointer_ >> 8);
    vcdu_[internal::kMpduHeaderOffset + 1] = static_cast<uint8_t>(pointer_ & 0xFF);
    tracker_.Zone(sender_.FramesMade());
    sender_.SendVcdu(vcdu_.data());
    fill_ = 0;
    pointer_ = kNoHeaderPointer;
    if (idle_every_ > 0 && ++since_idle_ == idle_every_) {
      since_idle_ = 0;
      std::array<uint8_t, kVcduSize> idle;
      idle.fill(kIdleFill);
      internal::WriteVcduHeader(idle.data(), spacecraft_, kIdleVcid, idle_counter_);
      idle_counter_ = (idle_counter_ + 1) & internal::kFrameCounterMask;
      idle[internal::kMpduHeaderOffset] = static_cast<uint8_t>(kNoHeaderPointer >> 8);
      idle[internal::kMpduHeaderOffset + 1] = static_cast<uint8_t>(kNoHeaderPointer & 0xFF);
      sender_.SendVcdu(idle.data());
    }
  }

  FrameSender& sender_;
  internal::UnitTracker& tracker_;
  int spacecraft_;
  int vcid_;
  int idle_every_;
  uint64_t stream_bytes_ = 0;
  std::array<uint8_t, kVcduSize> vcdu_{};
  size_t fill_ = 0;
  uint16_t pointer_ = kNoHeaderPointer;
  uint32_t counter_ = 0;
  uint32_t idle_counter_ = 0;
  int since_idle_ = 0;
};

}  // namespace

int MetopSpacecraftId(char satellite) {
  switch (satellite) {
    case 'A':
      return 12;
    case 'B':
      return 11;
    case 'C':
      return 13;
    default:
      return -1;
  }
}

void PackSamples10(const uint16_t* samples, size_t count, uint8_t* out) {
  internal::PackSamples10After(0, samples, count, out);
}

void internal::PackSamples10After(int lead_bits, const uint16_t* samples, size_t count,
                                  uint8_t* out) {
  uint32_t acc = 0;
  int bits = lead_bits;
  size_t o = 0;
  for (size_t k = 0; k < count; ++k) {
    acc = (acc << 10) | (samples[k] & 0x3FF);
    bits += 10;
    while (bits >= 8) {
      bits -= 8;
      out[o++] = static_cast<uint8_t>(acc >> bits);
    }
  }
  if (bits > 0) out[o] = static_cast<uint8_t>(acc << (8 - bits));
}

void StreamMetopPass(const MetopOptions& options, const CaduEncoding& encoding,
                     const Impairments& impairments, uint64_t seed, const PassSinks& sinks) {
  const int spacecraft = MetopSpacecraftId(options.satellite);
  if (spacecraft < 0) throw std::invalid_argument("MetOp satellite must be A, B or C");
  if (options.apid != kDayApid && options.apid != kNightApid)
    throw std::invalid_argument("AVHRR APID must be 103 or 104");
  if (options.vcid < 0 || options.vcid >= kIdleVcid)
    throw std::invalid_argument("virtual channel must be 0..62");
  if (options.packets < 0 || options.idle_every < 0)
    throw std::invalid_argument("counts must not be negative");
  if (options.short_packets < 0 || options.short_packets > kMaxShortPackets)
    throw std::invalid_argument("short packets per AVHRR packet must be 0..3");
  if (options.short_apid < 0 || options.short_apid >= kMaxApid)
    throw std::invalid_argument("short packet APID must be 0..2046");

  std::mt19937_64 rng(internal::ContentSeed(seed));
  // Expected length for a pass profile: the zones of the packet stream, and the idle VCDUs.
  const double stream =
      options.packets * (kAvhrrPacketSize + options.short_packets * (kShortPacketMin + 150.0));
  const auto zones_expected = static_cast<uint64_t>(stream / kPacketZoneSize) + 2;
  const uint64_t frames_expected =
      zones_expected + (options.idle_every > 0 ? zones_expected / options.idle_every : 0);
  FrameSender sender(encoding, internal::WithPassLength(impairments, frames_expected), seed, sinks);
  internal::UnitTracker tracker(kPacketZoneSize);
  ZoneWriter zones(sender, tracker, spacecraft, options.vcid, options.idle_every);
  std::array<uint16_t, kMaxApid + 1> sequence{};
  std::vector<uint8_t> packet(kAvhrrPacketSize);
  std::array<uint16_t, kAvhrrSamples> samples{};
  std::vector<uint8_t> short_packet;

  for (int k = 0; k < options.packets; ++k) {
    const int apid =
        options.mix_night && k % 2 == 1 ? kDayApid + kNightApid - options.apid : options.apid;
    WritePrimaryHeader(packet.data(), apid, sequence[apid], kAvhrrPacketSize);
    sequence[apid] = (sequence[apid] + 1) & kSequenceCountMask;
    const uint64_t elapsed =
        (static_cast<uint64_t>(k) * kMsPerLineNumerator + kLinesPerSecond / 2) / kLinesPerSecond;
    const uint64_t total = options.start_ms + elapsed;
    const uint32_t day = options.start_day + static_cast<uint32_t>(total / kMsPerDay);
    const uint32_t ms = static_cast<uint32_t>(total % kMsPerDay);
    packet[6] = static_cast<uint8_t>(day >> 8);
    packet[7] = static_cast<uint8_t>(day);
    packet[8] = static_cast<uint8_t>(ms >> 24);
    packet[9] = static_cast<uint8_t>(ms >> 16);
    packet[10] = static_cast<uint8_t>(ms >> 8);
    packet[11] = static_cast<uint8_t>(ms);
    // Deterministic bytes around the samples: position plus packet number.
    for (size_t j = 12; j < kAvhrrSampleOffset; ++j) packet[j] = static_cast<uint8_t>(j + k);
    for (size_t j = kSampleEnd; j < kAvhrrPacketSize; ++j) packet[j] = static_cast<uint8_t>(j + k);
    // Pixel-interleaved channels: sample 5p + c is channel c of pixel p.
    for (int p = 0; p < kAvhrrPixels; ++p)
      for (int c = 0; c < kAvhrrChannels; ++c)
        samples[p * kAvhrrChannels + c] =
            TestPatternSample(c, p, kAvhrrPixels, static_cast<uint32_t>(k));
    internal::PackSamples10After(kSampleLeadBits, samples.data(), kAvhrrSamples,
                                 packet.data() + kAvhrrSampleOffset);
    tracker.Unit(zones.StreamBytes(), zones.StreamBytes() + packet.size());
    zones.AddPacket(packet.data(), packet.size());
    if (sinks.unit) sinks.unit(packet.data(), packet.size());

    for (int s = 0; s < options.short_packets; ++s) {
      short_packet.resize(kShortPacketMin + rng() % kShortPacketSpread);
      internal::FillRandom(rng, short_packet.data(), short_packet.size());
      WritePrimaryHeader(short_packet.data(), options.short_apid, sequence[options.short_apid],
                         short_packet.size());
      sequence[options.short_apid] = (sequence[options.short_apid] + 1) & kSequenceCountMask;
      zones.AddPacket(short_packet.data(), short_packet.size());
      if (sinks.short_packet) sinks.short_packet(short_packet.data(), short_packet.size());
    }
  }
  zones.Finish();
  sender.Finish();
  tracker.Report(sinks, sender.FrameWhole());
}

MetopPass MakeMetopPass(const MetopOptions& options, const CaduEncoding& encoding,
                        const Impairments& impairments, uint64_t seed) {
  MetopPass pass;
  PassSinks sinks = internal::CollectingSinks(pass.recording, pass.packets);
  sinks.short_packet = [&pass](const uint8_t* data, size_t size) {
    pass.short_packets.emplace_back(data, data + size);
  };
  StreamMetopPass(options, encoding, impairments, seed, sinks);
  return pass;
}

}  // namespace vantrel::sim
