#include "sync/differential_dibits.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace vantrel {
namespace {

// Bit i of a byte at bit 2 i: two spread bytes, one shifted by one, interleave their bits.
constexpr std::array<uint16_t, 256> MakeSpread() {
  std::array<uint16_t, 256> spread{};
  for (unsigned value = 0; value < 256; ++value)
    for (unsigned bit = 0; bit < 8; ++bit)
      spread[value] = static_cast<uint16_t>(spread[value] | ((value >> bit) & 1u) << (2 * bit));
  return spread;
}

constexpr std::array<uint16_t, 256> kSpread = MakeSpread();

// Bits let go at the front before their bytes are removed (a move of what is left).
constexpr size_t kCompactBits = size_t{1} << 16;

}  // namespace

void BitQueue::Clear() {
  bytes_.assign(kSlackBytes, 0);
  begin_ = end_ = 0;
}

void BitQueue::Append(const uint8_t* bytes, size_t bits) {
  if (bytes_.empty()) Clear();
  const size_t whole = (end_ + bits + 7) / 8;
  bytes_.resize(whole + kSlackBytes, 0);
  if (end_ % 8 == 0) {
    std::memcpy(bytes_.data() + end_ / 8, bytes, (bits + 7) / 8);
  } else {
    // Each byte split across two held bytes (the last held byte's free bits are zero).
    const int shift = static_cast<int>(end_ % 8);
    uint8_t* to = bytes_.data() + end_ / 8;
    for (size_t i = 0; i < (bits + 7) / 8; ++i) {
      to[i] = static_cast<uint8_t>(to[i] | bytes[i] >> shift);
      to[i + 1] = static_cast<uint8_t>(bytes[i] << (8 - shift));
    }
  }
  end_ += bits;
  // Bits past the end read as zero.
  if (end_ % 8 != 0) bytes_[end_ / 8] &= static_cast<uint8_t>(0xFF00u >> (end_ % 8));
  std::fill(bytes_.begin() + static_cast<ptrdiff_t>(whole), bytes_.end(), 0);
}

void BitQueue::Drop(size_t bits) {
  begin_ += std::min(bits, Size());
  if (begin_ >= kCompactBits) {
    const size_t bytes = begin_ / 8;
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(bytes));
    begin_ -= 8 * bytes;
    end_ -= 8 * bytes;
  }
}

uint64_t BitQueue::Word(size_t at) const {
  const size_t bit = begin_ + at;
  const uint8_t* from = bytes_.data() + bit / 8;
  uint64_t word = 0;
  for (int i = 0; i < 8; ++i) word = (word << 8) | from[i];
  const int shift = static_cast<int>(bit % 8);
  return shift == 0 ? word : (word << shift) | (from[8] >> (8 - shift));
}

void BitSink::Put(uint32_t value, int count) {
  uint64_t bits = (uint64_t{byte} << count) | (value & ((uint64_t{1} << count) - 1));
  held += count;
  while (held >= 8) {
    held -= 8;
    out.push_back(static_cast<uint8_t>(bits >> held));
  }
  byte = static_cast<unsigned>(bits & ((1u << held) - 1));
}

void DecodeDibits(const BitQueue& x, size_t x_at, const BitQueue& y, size_t y_at, size_t pairs,
                  bool invert_x, bool flip, DibitState& state, BitSink& sink) {
  const uint64_t x_mask = invert_x ? ~uint64_t{0} : 0, out_mask = flip ? ~uint64_t{0} : 0;
  for (size_t done = 0; done < pairs; done += 64) {
    const int count = static_cast<int>(std::min<size_t>(64, pairs - done));
    // Dibit k of the 64 is bit 63 - k of each word.
    const uint64_t xs = x.Word(x_at + done) ^ x_mask, ys = y.Word(y_at + done);
    const uint64_t previous_xs = (xs >> 1) | uint64_t{state.previous_x} << 63;
    const uint64_t previous_ys = (ys >> 1) | uint64_t{state.previous_y} << 63;
    const uint64_t differ = xs ^ ys, dx = previous_xs ^ xs, dy = previous_ys ^ ys;
    const uint64_t a = ((differ & dy) | (~differ & dx)) ^ out_mask;
    const uint64_t b = ((differ & dx) | (~differ & dy)) ^ out_mask;
    state.previous_x = static_cast<unsigned>(xs >> (64 - count)) & 1u;
    state.previous_y = static_cast<unsigned>(ys >> (64 - count)) & 1u;
    // Eight dibits a time: a's bits at the odd places from the top, b's between.
    for (int at = 0; at < count; at += 8) {
      const int dibits = std::min(8, count - at);
      const auto a_byte = static_cast<unsigned>(a >> (56 - at)) & 0xFFu;
      const auto b_byte = static_cast<unsigned>(b >> (56 - at)) & 0xFFu;
      const uint32_t both = static_cast<uint32_t>(kSpread[a_byte]) << 1 | kSpread[b_byte];
      sink.Put(both >> (16 - 2 * dibits), 2 * dibits);
    }
  }
}

}  // namespace vantrel
