// Meteor-M N2 passes: MSU-MR lines spread over the four slices of each frame, no RS, no PN.

#include <array>
#include <stdexcept>

#include "sim/pass_common.h"
#include "sim/simulator.h"
#include "sim/test_pattern.h"

namespace vantrel::sim {
namespace {

using internal::FrameSender;

// The line sync (31 bits) and the bit after it, at the head of every line.
constexpr std::array<uint8_t, 4> kLineSync = {0x02, 0x18, 0xA7, 0xA3};
constexpr std::array<uint32_t, 8> kLineSyncEntries = {0x0218A7, 0x04314F, 0x08629E, 0x10C53D,
                                                      0x218A7A, 0x4314F4, 0x8629E8, 0x0C53D1};
constexpr size_t kCounterOffset = 4;  // line counter, 32-bit big-endian
constexpr size_t kSampleEnd = kMn2SampleOffset + kMn2Samples * 10 / 8;  // 11810
constexpr uint8_t kFillMask = 0x0F;  // deterministic bytes: (j AND 0x0F)
constexpr uint32_t kLinesPerSecond = 6;
constexpr uint32_t kMsPerDay = 86400000;
constexpr size_t kGuardHead = kLineSync.size();
constexpr int kUnitPixels = 4;
constexpr size_t kUnitWords = kUnitPixels * kMsuMrChannels;  // 24 words, 30 bytes
static_assert(kMn2Samples == size_t{kMsuMrCarriedPixels} * kMsuMrChannels);
// Frame body slices: start and length; the first 18 bytes of each are overhead.
constexpr std::array<size_t, 4> kSliceStart = {0, 256, 512, 768};
constexpr std::array<size_t, 4> kSliceLength = {256, 256, 256, 252};
constexpr uint8_t kOverheadBit = 0x80;  // keeps every overhead byte non-zero

// Spreads the line stream over the slices of 1020-byte frame bodies.
class SliceWriter {
 public:
  SliceWriter(FrameSender& sender, internal::UnitTracker& tracker)
      : sender_(sender), tracker_(tracker) {}

  uint64_t StreamBytes() const { return stream_bytes_; }

  void Add(const uint8_t* data, size_t size) {
    stream_bytes_ += size;
    while (size > 0) {
      const size_t take = std::min(size, kMn2StreamPerFrame - fill_);
      std::copy(data, data + take, stream_.data() + fill_);
      fill_ += take;
      data += take;
      size -= take;
      if (fill_ == kMn2StreamPerFrame) Send();
    }
  }
  size_t Missing() const { return fill_ == 0 ? 0 : kMn2StreamPerFrame - fill_; }

 private:
  void Send() {
    size_t from = 0;
    for (size_t s = 0; s < kSliceStart.size(); ++s) {
      uint8_t* slice = body_.data() + kSliceStart[s];
      for (size_t i = 0; i < kMn2SliceOverhead; ++i)
        slice[i] = static_cast<uint8_t>(kOverheadBit | ((frame_ * 4 + s + i) & 0x7F));
      const size_t data = kSliceLength[s] - kMn2SliceOverhead;
      std::copy(stream_.begin() + from, stream_.begin() + from + data, slice + kMn2SliceOverhead);
      from += data;
    }
    tracker_.Zone(sender_.FramesMade());
    sender_.SendBody(body_.data());
    ++frame_;
    fill_ = 0;
  }

  FrameSender& sender_;
  internal::UnitTracker& tracker_;
  uint64_t stream_bytes_ = 0;
  std::array<uint8_t, kMn2StreamPerFrame> stream_{};
  std::array<uint8_t, kCodeBlockSize> body_{};
  size_t fill_ = 0;
  uint64_t frame_ = 0;
};

void UnpackSamples10(const uint8_t* in, size_t count, uint16_t* samples) {
  uint32_t acc = 0;
  int bits = 0;
  for (size_t k = 0; k < count; ++k) {
    while (bits < 10) {
      acc = (acc << 8) | *in++;
      bits += 8;
    }
    bits -= 10;
    samples[k] = static_cast<uint16_t>((acc >> bits) & 0x3FF);
  }
}

}  // namespace

void StreamMn2Pass(const Mn2Options& options, const Impairments& impairments, uint64_t seed,
                   const PassSinks& sinks) {
  if (options.lines < 0) throw std::invalid_argument("line count must not be negative");
  std::mt19937_64 rng(internal::ContentSeed(seed));
  const CaduEncoding plain{false, false};
  const uint64_t frames_expected =
      (options.lead_bytes + static_cast<uint64_t>(options.lines) * kMn2LineSize) /
          kMn2StreamPerFrame +
      1;
  FrameSender sender(plain, internal::WithPassLength(impairments, frames_expected), seed, sinks);
  sender.SetManchester(options.manchester);
  internal::UnitTracker tracker(kMn2StreamPerFrame);
  SliceWriter slices(sender, tracker);
  const internal::SyncGuard guard(kLineSyncEntries);

  std::vector<uint8_t> line(kMn2LineSize + kGuardHead, 0);
  std::copy(kLineSync.begin(), kLineSync.end(), line.begin());
  std::copy(kLineSync.begin(), kLineSync.end(), line.begin() + kMn2LineSize);
  for (size_t j = kCounterOffset + 4; j < kMn2SampleOffset; ++j)
    line[j] = static_cast<uint8_t>(j & kFillMask);
  for (size_t j = kSampleEnd; j < kMn2LineSize; ++j) line[j] = static_cast<uint8_t>(j & kFillMask);
  line[kMn2IdOffset] = static_cast<uint8_t>((options.msu_mr_id << 4) | (kMn2IdOffset & kFillMask));

  std::vector<uint8_t> lead(options.lead_bytes + kGuardHead);
  std::vector<uint8_t> lead_fixed(lead.size(), 0);
  internal::FillRandom(rng, lead.data(), options.lead_bytes);
  std::copy(kLineSync.begin(), kLineSync.end(), lead.begin() + options.lead_bytes);
  std::fill(lead_fixed.begin() + options.lead_bytes, lead_fixed.end(), 0xFF);
  guard.Clean(lead.data(), lead_fixed.data(), lead.size(), 0, 0, options.lead_bytes, rng);
  slices.Add(lead.data(), options.lead_bytes);

  std::vector<uint16_t> samples(kMn2Samples);
  for (int k = 0; k < options.lines; ++k) {
    for (size_t j = 0; j < 4; ++j)
      line[kCounterOffset + j] = static_cast<uint8_t>(static_cast<uint32_t>(k) >> (24 - 8 * j));
    // Six lines a second: line k is taken k / 6 s after the first.
    const uint32_t ms =
        (options.start_ms + static_cast<uint32_t>(k) * 1000 / kLinesPerSecond) % kMsPerDay;
    line[kMn2TimeOffset] = static_cast<uint8_t>(ms / 3600000);
    line[kMn2TimeOffset + 1] = static_cast<uint8_t>(ms / 60000 % 60);
    line[kMn2TimeOffset + 2] = static_cast<uint8_t>(ms / 1000 % 60);
    line[kMn2TimeOffset + 3] = static_cast<uint8_t>(ms % 1000 / 4);
    // Units of 4 pixels: each channel's 4 samples in turn (word 4g + j of unit u is channel g of
    // pixel 4u + j).
    for (size_t n = 0; n < kMn2Samples; ++n) {
      const int unit = static_cast<int>(n / kUnitWords);
      const int channel = static_cast<int>(n % kUnitWords) / kUnitPixels;
      const int pixel = unit * kUnitPixels + static_cast<int>(n % kUnitPixels);
      samples[n] = TestPatternSample(channel, pixel, kMsuMrPixels, static_cast<uint32_t>(k));
    }
    PackSamples10(samples.data(), kMn2Samples, line.data() + kMn2SampleOffset);
    UnpackSamples10(line.data() + kMn2SampleOffset, kMn2Samples, samples.data());
    if (sinks.unit) sinks.unit(line.data(), kMn2LineSize);
    if (sinks.samples) sinks.samples(samples.data(), samples.size());
    tracker.Unit(slices.StreamBytes(), slices.StreamBytes() + kMn2LineSize);
    slices.Add(line.data(), kMn2LineSize);
  }
  std::vector<uint8_t> pad(slices.Missing());
  internal::FillRandom(rng, pad.data(), pad.size());
  slices.Add(pad.data(), pad.size());
  sender.Finish();
  tracker.Report(sinks, sender.FrameWhole());
}

Mn2Pass MakeMn2Pass(const Mn2Options& options, const Impairments& impairments, uint64_t seed) {
  Mn2Pass pass;
  PassSinks sinks = internal::CollectingSinks(pass.recording, pass.lines);
  sinks.samples = [&pass](const uint16_t* samples, size_t count) {
    pass.samples.emplace_back(samples, samples + count);
  };
  StreamMn2Pass(options, impairments, seed, sinks);
  return pass;
}

}  // namespace vantrel::sim
