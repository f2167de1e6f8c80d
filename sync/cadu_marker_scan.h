#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace vantrel {

// CADU sync markers in a decoded bit stream (bytes, most significant bit first): a marker is a
// 32-bit word at any bit offset within three bits of 0x1ACFFC1D (straight) or of its complement
// (inverted). Markers count as a pair when two of one polarity lie a whole number of frames
// (8192 bits) apart.

struct MarkerHit {
  uint64_t bit;   // the word's first bit
  bool inverted;  // near the complement
};

// How the words are read: the fastest way the processor has (AVX2 compares, else a popcount
// instruction), or one of the slower ones, which tests check against it.
enum class MarkerScanPath { kFastest, kPopcount, kPortable };

// Appends the markers whose word starts at bit from .. to - 1, in order. Reads no bit at or past
// to + 39 (the bytes must hold those before it).
void FindMarkerHits(const uint8_t* bytes, size_t from, size_t to, std::vector<MarkerHit>& hits,
                    MarkerScanPath path = MarkerScanPath::kFastest);

// The answer of the scan offset by offset (0 to 8191), each offset across every frame in order,
// given every hit of the stream it covers: the polarity of the first pair it meets, nullopt when
// there is none. Reorders `hits`.
std::optional<bool> FirstMarkerPair(std::vector<MarkerHit>& hits);

// Whether a marker word starting at bit 0 .. bit_count - 40 pairs with another of its polarity:
// the same as FirstMarkerPair having an answer, found by stopping at the first pair.
bool HasMarkerPair(const uint8_t* bytes, size_t bit_count);

}  // namespace vantrel
