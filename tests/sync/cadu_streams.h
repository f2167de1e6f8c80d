#pragma once

// Hand-made CADU streams for the sync tests: markers, bodies, bit shifts, inversion, marker bit
// errors and Reed-Solomon code blocks from libfec's CCSDS encoder.

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

extern "C" {
#include <fec.h>
}

namespace vantrel::testing {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kMarkerBytes[4] = {0x1A, 0xCF, 0xFC, 0x1D};
inline constexpr size_t kBody = 1020;
inline constexpr size_t kCadu = 1024;

inline Bytes RandomBytes(size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  Bytes bytes(count);
  for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(rng());
  return bytes;
}

// `count` bodies of random bytes.
inline std::vector<Bytes> RandomBodies(size_t count, uint64_t seed) {
  std::vector<Bytes> bodies;
  for (size_t i = 0; i < count; ++i) bodies.push_back(RandomBytes(kBody, seed * 1000 + i));
  return bodies;
}

inline void Append(Bytes& stream, const Bytes& more) {
  stream.insert(stream.end(), more.begin(), more.end());
}

// Marker + body for every body, back to back.
inline Bytes Cadus(const std::vector<Bytes>& bodies) {
  Bytes stream;
  for (const Bytes& body : bodies) {
    stream.insert(stream.end(), kMarkerBytes, kMarkerBytes + 4);
    Append(stream, body);
  }
  return stream;
}

// Flips `count` distinct bits (bit 7i mod 32 of the marker, i < count) of the marker that starts
// at byte `offset`. With this spread no other bit offset comes within 6 errors of the marker.
inline void FlipMarkerBits(Bytes& stream, size_t offset, int count) {
  for (int i = 0; i < count; ++i) {
    const int bit = (7 * i) % 32;  // 0 = most significant bit of the marker
    stream[offset + bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
  }
}

// The stream delayed by `bits` (0..7) bits: `bits` bits of `fill` first, and the last byte padded
// with the low bits of `fill`.
inline Bytes Delay(const Bytes& stream, int bits, uint8_t fill = 0xA5) {
  if (bits == 0) return stream;
  Bytes out;
  uint8_t carry = static_cast<uint8_t>(fill >> (8 - bits));
  for (uint8_t byte : stream) {
    out.push_back(static_cast<uint8_t>((carry << (8 - bits)) | (byte >> bits)));
    carry = static_cast<uint8_t>(byte & ((1 << bits) - 1));
  }
  out.push_back(static_cast<uint8_t>((carry << (8 - bits)) | (fill & ((1 << (8 - bits)) - 1))));
  return out;
}

inline Bytes Inverted(Bytes stream) {
  for (uint8_t& byte : stream) byte ^= 0xFF;
  return stream;
}

// A code block of four interleaved RS(255,223) codewords in the CCSDS dual-basis representation,
// encoded by libfec: byte 4j + i is symbol j of codeword i.
inline Bytes EncodeBlock(const Bytes& vcdu892) {
  constexpr size_t kDepth = 4, kData = 223, kParity = 32;
  Bytes block(kBody);
  for (size_t i = 0; i < kDepth; ++i) {
    unsigned char codeword[kData + kParity];
    for (size_t j = 0; j < kData; ++j) codeword[j] = vcdu892[j * kDepth + i];
    encode_rs_ccsds(codeword, codeword + kData, 0);
    for (size_t j = 0; j < kData + kParity; ++j) block[j * kDepth + i] = codeword[j];
  }
  return block;
}

// Puts `errors` symbol errors into codeword `codeword` (0..3) of a code block, at symbols
// 0, 15, 30, ... (distinct for up to 17 errors) XORed with a non-zero pattern.
inline void CorruptCodeword(Bytes& block, size_t codeword, int errors) {
  for (int e = 0; e < errors; ++e)
    block[(15 * e % 255) * 4 + codeword] ^= static_cast<uint8_t>(e + 1);
}

}  // namespace vantrel::testing
