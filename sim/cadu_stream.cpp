// The CADU layer: PN sequence, Reed-Solomon code blocks through libfec, and the impaired stream.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "sim/simulator.h"

extern "C" {
#include <fec.h>
}

namespace vantrel::sim {
namespace {

constexpr std::array<uint8_t, kMarkerSize> kMarkerBytes = {0x1A, 0xCF, 0xFC, 0x1D};
constexpr int kMarkerBits = 32;
constexpr int kMaxBitShift = 7;
// A decoder accepts a marker with up to this many bit errors while it is in sync...
constexpr int kSyncTolerance = 6;
// ...and up to this many at the locked bit offset right after a run of frames.
constexpr int kLockTolerance = 20;
// Noise repairs per region before a window that cannot be fixed is let through.
constexpr int kMaxNoiseRepairs = 4096;
// Coded bytes gathered before they are handed to the sink.
constexpr size_t kSinkChunk = 1 << 16;
// Manchester-coded recordings are read in 1024-byte blocks, 512 plain bytes each.
constexpr uint64_t kManchesterPlainBlock = 512;

// 32 stream bits starting at bit `bit` of `buf` (most significant bit first).
uint32_t WindowAt(const std::vector<uint8_t>& buf, size_t bit) {
  const size_t byte = bit / 8;
  const int shift = static_cast<int>(bit % 8);
  uint64_t v = 0;
  for (size_t k = 0; k < 5; ++k) v = (v << 8) | (byte + k < buf.size() ? buf[byte + k] : 0);
  return static_cast<uint32_t>(v >> (8 - shift));
}

// Byte k of a 32-bit value 21..25 bits away from the marker: the inverted marker with 7..11
// distinct bits flipped back. A locked decoder takes nothing there at its wide tolerance, and one
// that follows phase flips takes no inverted marker there either.
std::array<uint8_t, kMarkerSize> FarFromMarkerAndItsInverse(std::mt19937_64& rng) {
  // Each bit flipped back is one more bit away from the inverse and one less from the marker.
  constexpr int kFewestFlips = kSyncTolerance + 1;
  constexpr int kMostFlips = kMarkerBits - kLockTolerance - 1;
  uint32_t value = ~kAttachedSyncMarker;
  const int flips = kFewestFlips + static_cast<int>(rng() % (kMostFlips - kFewestFlips + 1));
  uint32_t flipped = 0;
  while (std::popcount(flipped) < flips) flipped |= uint32_t{1} << (rng() % kMarkerBits);
  value ^= flipped;
  return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// Manchester symbols of one byte: bit 1 -> 10, bit 0 -> 01, first symbol bit first.
constexpr std::array<uint16_t, 256> MakeManchesterTable() {
  std::array<uint16_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    uint16_t word = 0;
    for (int k = 7; k >= 0; --k)
      word = static_cast<uint16_t>((word << 2) | (((b >> k) & 1) ? 2 : 1));
    table[b] = word;
  }
  return table;
}
constexpr std::array<uint16_t, 256> kManchester = MakeManchesterTable();

// Picks `count` distinct values of 0..range-1.
std::vector<int> DistinctPositions(std::mt19937_64& rng, int range, int count) {
  std::vector<int> all(range);
  for (int k = 0; k < range; ++k) all[k] = k;
  count = std::min(count, range);
  for (int k = 0; k < count; ++k) {
    const int pick = k + static_cast<int>(rng() % static_cast<uint64_t>(range - k));
    std::swap(all[k], all[pick]);
  }
  all.resize(count);
  return all;
}

}  // namespace

std::vector<uint8_t> PnSequence(size_t length) {
  // CCSDS TM Synchronization and Channel Coding (131.0-B): h(x) = x^8 + x^7 + x^5 + x^3 + 1, i.e.
  // a(n+8) = a(n+7) ^ a(n+5) ^ a(n+3) ^ a(n), with a(0..7) all ones. `window` holds a(n) in bit 7
  // down to a(n+7) in bit 0.
  std::vector<uint8_t> out(length);
  unsigned window = 0xFF;
  for (size_t i = 0; i < length; ++i) {
    unsigned byte = 0;
    for (int k = 0; k < 8; ++k) {
      byte = (byte << 1) | ((window >> 7) & 1);
      const unsigned next = (window ^ (window >> 2) ^ (window >> 4) ^ (window >> 7)) & 1;
      window = ((window << 1) | next) & 0xFF;
    }
    out[i] = static_cast<uint8_t>(byte);
  }
  return out;
}

void EncodeCodeBlock(const uint8_t* vcdu892, uint8_t* block1020) {
  std::array<uint8_t, kCodewordDataLength> data{};
  std::array<uint8_t, kCodewordParityLength> parity{};
  for (size_t i = 0; i < kInterleaveDepth; ++i) {
    for (size_t j = 0; j < kCodewordDataLength; ++j) data[j] = vcdu892[j * kInterleaveDepth + i];
    encode_rs_ccsds(data.data(), parity.data(), 0);
    for (size_t k = 0; k < kCodewordParityLength; ++k)
      block1020[kVcduSize + k * kInterleaveDepth + i] = parity[k];
  }
  std::copy(vcdu892, vcdu892 + kVcduSize, block1020);
}

std::vector<uint8_t> EncodeCodeBlock(const uint8_t* vcdu892) {
  std::vector<uint8_t> block(kCodeBlockSize);
  EncodeCodeBlock(vcdu892, block.data());
  return block;
}

CaduStream::CaduStream(const CaduEncoding& encoding, const Impairments& impairments, uint64_t seed,
                       ByteSink recording)
    : encoding_(encoding),
      impairments_(impairments),
      rng_(seed ^ 0x5EED1A17C0DEull),
      shift_rng_(seed ^ 0xB175B1F7ull),
      profile_rng_(seed ^ 0x9A55F11EDull),
      sink_(std::move(recording)),
      pn_(PnSequence(kCodeBlockSize)) {
  if (impairments.bit_shift < 0 || impairments.bit_shift > kMaxBitShift)
    throw std::invalid_argument("bit shift must be 0..7");
  if (impairments.marker_errors < 0 || impairments.marker_errors > kMarkerBits)
    throw std::invalid_argument("marker errors must be 0..32");
  if (impairments.symbol_errors < 0 ||
      impairments.symbol_errors > static_cast<int>(kCodewordLength))
    throw std::invalid_argument("symbol errors must be 0..255");
  if (impairments.uncorrectable_every < 0)
    throw std::invalid_argument("uncorrectable_every must not be negative");
  const PassProfile& profile = impairments.profile;
  if (profile.enabled) {
    if (!(profile.ber_horizon >= 0 && profile.ber_horizon <= 0.5 && profile.ber_top >= 0 &&
          profile.ber_top <= 0.5))
      throw std::invalid_argument("bit error rates must be 0..0.5");
    if (profile.slips < 0 || profile.phase_flips < 0 || profile.dropouts < 0 ||
        profile.dropout_frames < 0)
      throw std::invalid_argument("pass profile counts must not be negative");
    PlaceProfileEvents();
  }
  out_.reserve(kSinkChunk * 2 + 16);
}

void CaduStream::Put(uint8_t byte) {
  ++plain_bytes_;
  const uint8_t o = impairments_.invert ? static_cast<uint8_t>(~byte) : byte;
  if (manchester_) {
    out_.push_back(static_cast<uint8_t>(kManchester[o] >> 8));
    out_.push_back(static_cast<uint8_t>(kManchester[o] & 0xFF));
  } else {
    out_.push_back(o);
  }
}

void CaduStream::Emit(const uint8_t* data, size_t size) {
  if (!started_) {
    started_ = true;
    pending_ = impairments_.bit_shift;
    acc_ = static_cast<uint32_t>(shift_rng_() & ((1u << pending_) - 1));  // the prepended bits
  }
  for (size_t k = 0; k < size; ++k) {
    // Each byte waits in the accumulator behind the bits the shift (and the slips) left there.
    acc_ = (acc_ << 8) | static_cast<uint8_t>(data[k] ^ flip_);
    Put(static_cast<uint8_t>(acc_ >> pending_));
    acc_ &= (1u << pending_) - 1;
  }
  if (size > 0) last_byte_ = data[size - 1];
  if (out_.size() >= kSinkChunk) Flush();
}

void CaduStream::Flush() {
  sink_(out_.data(), out_.size());
  bytes_written_ += out_.size();
  out_.clear();
}

void CaduStream::EmitWithSlip(const uint8_t* data, size_t size, size_t at) {
  Emit(data, at);
  const uint64_t r = profile_rng_();
  if (r & 1) {
    // One random bit inserted before byte `at`.
    acc_ = (acc_ << 1) | ((r >> 1) & 1);
    if (++pending_ == 8) {
      Put(static_cast<uint8_t>(acc_));
      acc_ = 0;
      pending_ = 0;
    }
  } else {
    // One bit of byte `at` removed: its other seven bits go on.
    const int bit = static_cast<int>((r >> 1) % 8);
    const uint32_t b = static_cast<uint8_t>(data[at] ^ flip_);
    acc_ = (acc_ << 7) | ((b >> (bit + 1)) << bit) | (b & ((1u << bit) - 1));
    if (pending_ == 0) {
      pending_ = 7;
    } else {
      --pending_;
      Put(static_cast<uint8_t>(acc_ >> pending_));
      acc_ &= (1u << pending_) - 1;
    }
    ++at;
  }
  Emit(data + at, size - at);
}

void CaduStream::EmitNoise(size_t count, bool after_frame, const uint8_t* next_marker) {
  if (count == 0) return;
  // Work buffer: [last frame byte] noise [next marker]; only the noise may change.
  const size_t off = after_frame ? 1 : 0;
  std::vector<uint8_t> buf(off + count + (next_marker ? kMarkerSize : 0));
  // Shaped as a decoder that follows the phase flips reads it (Emit inverts all of it after a
  // flip, the frames and the noise alike).
  if (after_frame) buf[0] = last_byte_;
  for (size_t k = 0; k < count; ++k) buf[off + k] = static_cast<uint8_t>(rng_());
  if (next_marker)
    for (size_t k = 0; k < kMarkerSize; ++k) buf[off + count + k] = next_marker[k];

  // Right behind a frame a locked decoder tests the next 32 bits with a wide tolerance, and
  // against the inverted marker (a phase flip) with a narrow one: start the noise far from both.
  const size_t lock_bit = off * 8;
  const auto start_far = [&] {
    const std::array<uint8_t, kMarkerSize> start = FarFromMarkerAndItsInverse(rng_);
    for (size_t k = 0; k < kMarkerSize && k < count; ++k) buf[off + k] = start[k];
  };
  if (after_frame) start_far();

  const size_t first = after_frame ? 1 : 0;  // windows from the frame's last byte on
  const size_t total_bits = buf.size() * 8;
  const size_t marker_bit = (off + count) * 8;
  int repairs = 0;
  for (size_t w = first; w + kMarkerBits <= total_bits; ++w) {
    if (next_marker && w == marker_bit) continue;
    const uint32_t v = WindowAt(buf, w);
    const int distance = std::popcount(v ^ kAttachedSyncMarker);
    const bool strict = after_frame && w == lock_bit;
    if (strict ? distance > kLockTolerance && kMarkerBits - distance > kSyncTolerance
               : distance > kSyncTolerance && v != ~kAttachedSyncMarker)
      continue;
    // Re-draw one noise byte of this window and look again at every window that holds it.
    const size_t lo = std::max(w / 8, off);
    const size_t hi = std::min((w + kMarkerBits - 1) / 8, off + count - 1);
    if (lo > hi || ++repairs > kMaxNoiseRepairs) continue;
    const size_t b = lo + rng_() % (hi - lo + 1);
    if (strict && b - off < kMarkerSize)
      start_far();
    else
      buf[b] = static_cast<uint8_t>(rng_());
    const size_t restart = b * 8 >= first + kMarkerBits ? b * 8 - kMarkerBits : first;
    w = restart - 1;  // the loop's increment brings it back to `restart`
  }
  Emit(buf.data() + off, count);
}

FrameFate CaduStream::AddFrame(const uint8_t* body1020, uint8_t* truth1020) {
  if (finished_) throw std::logic_error("CaduStream: frame after Finish");
  const bool profile = impairments_.profile.enabled;
  const uint64_t index = profile_index_++;
  const Event event = index < events_.size() ? events_[index] : Event::kNone;
  FrameFate fate;
  if (event == Event::kDrop) {
    fate.dropped = true;
    fate.whole = false;
    return fate;
  }
  fate.inverted = flip_ != 0;

  std::array<uint8_t, kMarkerSize> marker = kMarkerBytes;
  if (frames_ > 0 && impairments_.marker_errors > 0)
    for (int bit : DistinctPositions(rng_, kMarkerBits, impairments_.marker_errors))
      marker[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));

  if (frames_ == 0)
    EmitNoise(impairments_.noise_before, false, marker.data());
  else
    EmitNoise(impairments_.noise_between, true, marker.data());

  std::array<uint8_t, kCaduSize> cadu;
  std::copy(marker.begin(), marker.end(), cadu.begin());
  uint8_t* block = cadu.data() + kMarkerSize;
  std::copy(body1020, body1020 + kCodeBlockSize, block);
  std::copy(body1020, body1020 + kCodeBlockSize, truth1020);
  const bool uncorrectable =
      impairments_.uncorrectable_every > 0 && (frames_ + 1) % impairments_.uncorrectable_every == 0;
  const int bad_codeword = uncorrectable ? static_cast<int>(rng_() % kInterleaveDepth) : -1;
  for (int c = 0; c < static_cast<int>(kInterleaveDepth); ++c) {
    int errors = impairments_.symbol_errors;
    if (c == bad_codeword) errors = std::max(errors, kUncorrectableSymbolErrors);
    if (errors == 0) continue;
    const bool kept = !encoding_.reed_solomon || errors > kCorrectableSymbolErrors;
    for (int j : DistinctPositions(rng_, kCodewordLength, errors)) {
      const size_t at = static_cast<size_t>(j) * kInterleaveDepth + c;
      const uint8_t flip = static_cast<uint8_t>(1 + rng_() % 255);
      block[at] ^= flip;
      if (kept) truth1020[at] ^= flip;
    }
  }
  if (encoding_.randomise)
    for (size_t j = 0; j < kCodeBlockSize; ++j) block[j] ^= pn_[j];

  if (profile) {
    AddBitErrors(cadu.data(), BitErrorRate(index));
    // The truth keeps the errors of the codewords a decoder cannot correct.
    std::array<uint8_t, kCodeBlockSize> sent_clean;
    std::copy(body1020, body1020 + kCodeBlockSize, sent_clean.begin());
    if (encoding_.randomise)
      for (size_t j = 0; j < kCodeBlockSize; ++j) sent_clean[j] ^= pn_[j];
    for (size_t j = 0; j < kCodeBlockSize; ++j) {
      const uint8_t error = block[j] ^ sent_clean[j];
      if (error != 0) ++fate.symbol_errors[j % kInterleaveDepth];
    }
    for (size_t j = 0; j < kCodeBlockSize; ++j) {
      const int errors = fate.symbol_errors[j % kInterleaveDepth];
      const bool kept = !encoding_.reed_solomon || errors > kCorrectableSymbolErrors;
      truth1020[j] =
          kept ? static_cast<uint8_t>(block[j] ^ sent_clean[j] ^ body1020[j]) : body1020[j];
    }
    for (size_t k = 0; k < kMarkerSize; ++k)
      fate.marker_errors += std::popcount(static_cast<uint8_t>(cadu[k] ^ kMarkerBytes[k]));
    for (int errors : fate.symbol_errors)
      if (errors > (encoding_.reed_solomon ? kCorrectableSymbolErrors : 0)) fate.whole = false;
  }

  // A slip or a flip lands in body bytes 200-799, so that every codeword is hit beyond repair
  // on both sides of it: a decoder that cuts the frame at the old alignment or polarity and one
  // that cuts it at the new both find more than 16 bad symbols in each codeword.
  constexpr size_t kEventFirst = 200;
  constexpr size_t kEventSpan = 600;
  if (event == Event::kSlip) {
    fate.damaged = true;
    fate.whole = false;
    EmitWithSlip(cadu.data(), kCaduSize, kMarkerSize + kEventFirst + profile_rng_() % kEventSpan);
  } else if (event == Event::kFlip) {
    fate.damaged = true;
    fate.whole = false;
    const size_t at = kMarkerSize + kEventFirst + profile_rng_() % kEventSpan;
    Emit(cadu.data(), at);
    flip_ ^= 0xFF;
    Emit(cadu.data() + at, kCaduSize - at);
  } else {
    Emit(cadu.data(), kCaduSize);
  }
  ++frames_;
  return fate;
}

double CaduStream::BitErrorRate(uint64_t index) const {
  // Falls from the horizon to the top of the pass and rises again, steeply near the ends as the
  // link margin does with elevation: log-linear in |2x - 1|^3.
  const PassProfile& p = impairments_.profile;
  const double last = p.frames > 1 ? static_cast<double>(p.frames - 1) : 1.0;
  const double x = std::min(1.0, static_cast<double>(index) / last);
  const double edge = std::pow(std::abs(2 * x - 1), 3);
  if (p.ber_top <= 0 || p.ber_horizon <= 0) return p.ber_top + (p.ber_horizon - p.ber_top) * edge;
  return std::exp(std::log(p.ber_top) + (std::log(p.ber_horizon) - std::log(p.ber_top)) * edge);
}

void CaduStream::AddBitErrors(uint8_t* cadu, double rate) {
  if (rate <= 0) return;
  // The gaps between errors are geometric: drawn by inversion here rather than with the standard
  // library's distribution, whose output differs between library implementations.
  const double log_keep = std::log1p(-std::min(rate, 0.5));
  auto gap = [&] {
    const double u = (static_cast<double>(profile_rng_() >> 11) + 0.5) * 0x1.0p-53;
    return static_cast<uint64_t>(std::min(std::log(u) / log_keep, 1e18));
  };
  constexpr uint64_t kBits = kCaduSize * 8;
  for (uint64_t bit = gap(); bit < kBits; bit += 1 + gap())
    cadu[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
}

void CaduStream::PlaceProfileEvents() {
  const PassProfile& p = impairments_.profile;
  events_.assign(p.frames, Event::kNone);
  std::vector<Event> kinds;
  kinds.insert(kinds.end(), p.slips, Event::kSlip);
  kinds.insert(kinds.end(), p.phase_flips, Event::kFlip);
  kinds.insert(kinds.end(), p.dropouts, Event::kDrop);
  for (size_t k = kinds.size(); k > 1; --k) std::swap(kinds[k - 1], kinds[profile_rng_() % k]);
  // Spread evenly over the pass, each moved by up to a quarter of the spacing.
  const double spacing = 1.0 / static_cast<double>(kinds.size() + 1);
  for (size_t k = 0; k < kinds.size(); ++k) {
    const double jitter = (static_cast<double>(profile_rng_() % 1001) / 1000 - 0.5) * spacing / 2;
    const auto at = static_cast<uint64_t>((static_cast<double>(k + 1) * spacing + jitter) *
                                          static_cast<double>(p.frames));
    const int span = kinds[k] == Event::kDrop ? p.dropout_frames : 1;
    for (uint64_t f = at; f < at + static_cast<uint64_t>(span) && f < events_.size(); ++f)
      if (events_[f] == Event::kNone) events_[f] = kinds[k];
  }
}

void CaduStream::Finish() {
  if (finished_) return;
  finished_ = true;
  if (frames_ == 0) EmitNoise(impairments_.noise_before, false, nullptr);
  if (!started_) {
    started_ = true;
    pending_ = impairments_.bit_shift;
    acc_ = static_cast<uint32_t>(shift_rng_() & ((1u << pending_) - 1));
  }
  size_t after = impairments_.noise_after;
  if (manchester_) {
    const uint64_t total = plain_bytes_ + after + (pending_ > 0 ? 1 : 0);
    after += (kManchesterPlainBlock - total % kManchesterPlainBlock) % kManchesterPlainBlock;
  }
  EmitNoise(after, frames_ > 0, nullptr);
  // The last byte: the bits still waiting, padded with zeros.
  if (pending_ > 0) Put(static_cast<uint8_t>(acc_ << (8 - pending_)));
  if (!out_.empty()) Flush();
}

Recording MakeCaduRecording(const std::vector<std::vector<uint8_t>>& frame_bodies_1020,
                            const CaduEncoding& encoding, const Impairments& impairments,
                            uint64_t seed) {
  Recording rec;
  CaduStream stream(encoding, impairments, seed, [&rec](const uint8_t* data, size_t size) {
    rec.bytes.insert(rec.bytes.end(), data, data + size);
  });
  rec.frames.reserve(frame_bodies_1020.size());
  for (const std::vector<uint8_t>& body : frame_bodies_1020) {
    if (body.size() != kCodeBlockSize)
      throw std::invalid_argument("frame bodies must be 1020 bytes");
    rec.frames.emplace_back(kCodeBlockSize);
    stream.AddFrame(body.data(), rec.frames.back().data());
  }
  stream.Finish();
  return rec;
}

}  // namespace vantrel::sim
