#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

// Crafted instrument lines and bit streams for the inner sync tests.
namespace vantrel::testing {

// Appends bits most significant first, the way the stream is read.
class BitWriter {
 public:
  void Bit(int bit) {
    if (used_ % 8 == 0) bytes_.push_back(0);
    if (bit) bytes_.back() |= static_cast<uint8_t>(0x80 >> (used_ % 8));
    ++used_;
  }
  void Bits(uint32_t value, int count) {
    for (int i = count - 1; i >= 0; --i) Bit((value >> i) & 1);
  }
  void Bytes(const std::vector<uint8_t>& bytes) {
    for (uint8_t byte : bytes) Bits(byte, 8);
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
  size_t used_ = 0;
};

// An FY-3 line of `length` bytes: the 31 line sync bits, then data with no run of six ones (every
// byte's bits 7 and 3 clear). Every slice of the line sync holds its six-ones run, so such a
// stream can match only where a line begins.
inline std::vector<uint8_t> Fy3Line(size_t length, std::mt19937& random) {
  std::vector<uint8_t> line(length);
  const uint8_t head[] = {0x84, 0x5B, 0xF5, 0xC6};  // 1000 0100 0101 1011 1111 0101 1100 011, 0
  for (size_t i = 0; i < length; ++i) {
    line[i] = i < sizeof head ? head[i] : static_cast<uint8_t>(random() & 0x77);
  }
  return line;
}

// A Meteor-M N2 line: the 31 line sync bits, then data with no run of four zeros (bits 7 and 3
// of every byte set); every slice of that line sync holds a run of four zeros.
inline std::vector<uint8_t> Mn2Line(size_t length, std::mt19937& random) {
  std::vector<uint8_t> line(length);
  const uint8_t head[] = {0x02, 0x18, 0xA7, 0xA2};  // 0000 0010 0001 1000 1010 0111 1010 001, 0
  for (size_t i = 0; i < length; ++i) {
    line[i] = i < sizeof head ? head[i] : static_cast<uint8_t>(random() | 0x88);
  }
  return line;
}

// `count` FY-3 lines.
inline std::vector<std::vector<uint8_t>> Fy3Lines(size_t count, size_t length, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::vector<uint8_t>> lines;
  for (size_t i = 0; i < count; ++i) lines.push_back(Fy3Line(length, random));
  return lines;
}

// `prefix_bits` zero bits followed by the lines back to back, padded with zero bits to a byte.
inline std::vector<uint8_t> Stream(const std::vector<std::vector<uint8_t>>& lines,
                                   int prefix_bits = 0) {
  BitWriter writer;
  for (int i = 0; i < prefix_bits; ++i) writer.Bit(0);
  for (const auto& line : lines) writer.Bytes(line);
  return writer.bytes();
}

}  // namespace vantrel::testing
