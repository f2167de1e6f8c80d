#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantrel {

// FY-3's two decoded rails, X and Y, back to the recording's bits, 64 dibits at a time: with the
// previous (X', Y'), (X, Y) gives (Y' ^ Y, X' ^ X) when X ^ Y = 1, else (X' ^ X, Y' ^ Y).

// Bits kept packed, most significant first: appended at the end, let go at the front.
class BitQueue {
 public:
  void Clear();
  // Appends `bits` bits from bytes[0]'s most significant on.
  void Append(const uint8_t* bytes, size_t bits);
  size_t Size() const { return end_ - begin_; }
  // Lets the first `bits` (at most Size()) go.
  void Drop(size_t bits);
  // The 64 bits from the held bit `at` on, the first the most significant (zeros past the end).
  uint64_t Word(size_t at) const;

 private:
  static constexpr size_t kSlackBytes = 9;  // Word reads nine bytes from any held bit
  std::vector<uint8_t> bytes_;              // the bits, then kSlackBytes zero bytes
  size_t begin_ = 0, end_ = 0;              // bit positions in bytes_
};

// Bits appended to a byte string; a last part of a byte waits in `byte` (its `held` bits, the
// newest the least significant), as the caller keeps it between calls.
struct BitSink {
  std::vector<uint8_t>& out;
  unsigned& byte;
  int& held;
  // Appends the `count` (at most 32) low bits of `value`, the most significant first.
  void Put(uint32_t value, int count);
};

// The differential state carried from dibit to dibit: the previous X (as inverted, if it is) and Y.
struct DibitState {
  unsigned previous_x = 0, previous_y = 0;
};

// Decodes `pairs` dibits, X from x's held bit x_at on and Y from y's y_at on, X inverted when
// `invert_x` (the state's previous X as given), every output bit inverted when `flip`; appends
// the 2 * pairs bits (a, b of each dibit in turn) to `sink` and moves `state` on.
void DecodeDibits(const BitQueue& x, size_t x_at, const BitQueue& y, size_t y_at, size_t pairs,
                  bool invert_x, bool flip, DibitState& state, BitSink& sink);

}  // namespace vantrel
