#include "meteor/vector_kernels.h"

#include <array>
#include <cstddef>

#include "meteor/dat_writer.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_DAT_VECTOR 1
#endif

namespace vantrel {

#ifdef VANTREL_DAT_VECTOR
namespace {

bool HasSsse3() {
  static const bool supported = __builtin_cpu_supports("ssse3");
  return supported;
}

// ---- Manchester decoding ----

constexpr size_t kSymbolBytesPerStep = 32;  // two registers in, one out

// For a nibble (two symbols), the first bits of its symbols as a 2-bit value: bits 3 and 1.
constexpr int FirstBitsOfNibble(int nibble) {
  return ((nibble >> 2) & 2) | ((nibble >> 1) & 1);
}

constexpr std::array<int8_t, 16> MakeNibbleTable(int shift) {
  std::array<int8_t, 16> table{};
  for (int nibble = 0; nibble < 16; ++nibble)
    table[static_cast<size_t>(nibble)] = static_cast<int8_t>(FirstBitsOfNibble(nibble) << shift);
  return table;
}

constexpr std::array<int8_t, 16> kLowNibbleBits = MakeNibbleTable(0);
constexpr std::array<int8_t, 16> kHighNibbleBits = MakeNibbleTable(2);

// The four first bits of each byte of `symbols`, as 4-bit values, looked up nibble by nibble.
__attribute__((target("ssse3"))) inline __m128i FirstBits(__m128i symbols, __m128i low_table,
                                                          __m128i high_table) {
  const __m128i nibble_mask = _mm_set1_epi8(0x0F);
  const __m128i low = _mm_and_si128(symbols, nibble_mask);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(symbols, 4), nibble_mask);
  return _mm_or_si128(_mm_shuffle_epi8(low_table, low), _mm_shuffle_epi8(high_table, high));
}

__attribute__((target("ssse3"))) size_t DecodeManchester(const uint8_t* symbols, size_t size,
                                                         uint8_t* data) {
  const __m128i low_table =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLowNibbleBits.data()));
  const __m128i high_table =
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(kHighNibbleBits.data()));
  // Byte pairs (2i, 2i + 1) become 16 * bits(2i) + bits(2i + 1).
  const __m128i pair_weights = _mm_set1_epi16(0x0110);
  const size_t whole = size - size % kSymbolBytesPerStep;
  // Both loads of a step come before its store, and the store ends at or before the next step's
  // first symbol byte, so decoding in place is safe.
  for (size_t i = 0; i < whole; i += kSymbolBytesPerStep) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(symbols + i));
    const __m128i second =
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(symbols + i + kSymbolBytesPerStep / 2));
    const __m128i first_pairs =
        _mm_maddubs_epi16(FirstBits(first, low_table, high_table), pair_weights);
    const __m128i second_pairs =
        _mm_maddubs_epi16(FirstBits(second, low_table, high_table), pair_weights);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(data + i / 2),
                     _mm_packus_epi16(first_pairs, second_pairs));
  }
  return whole;
}

// ---- DAT unit packing ----

// A unit is read as two overlapping 16-byte loads (bytes 0-15 and 14-29) and written as two
// overlapping 16-byte stores, so nothing outside its 30 bytes is touched.
constexpr int kRegisterBytes = 16;
constexpr int kSecondHalf = 14;
constexpr int kLanes = 8;         // 16-bit lanes per register
constexpr int8_t kZeroByte = -1;  // shuffle index that yields 0
constexpr int kTransposeGroups = 6;
constexpr int kWordsPerGroup = 4;
constexpr int kGroupBytes = 5;
constexpr int kLowBitsAt = 8;       // in the second output source: the six low-bits bytes
constexpr int kLowBitsShift = 6;    // a shifted word's low bits sit in bits 7-6 of its lane
constexpr int kUpperByteShift = 8;  // and its upper eight bits in the lane's high byte

using Mask = std::array<int8_t, kRegisterBytes>;

// Output word v is input word w(4g + j) with g = v % 6, j = v / 6; that word's bits start in
// input byte 5g + j, 2j bits in.
constexpr int SourceByte(int v) {
  return kGroupBytes * (v % kTransposeGroups) + v / kTransposeGroups;
}

// Shuffle of one load into the 16-bit lanes of output words 8r..8r+7: each lane holds the two
// input bytes the word starts in, big-endian (first byte high). `from_second` picks the bytes
// that come from the second load; the others give zero.
constexpr Mask PairMask(int r, bool from_second) {
  Mask mask{};
  for (int lane = 0; lane < kLanes; ++lane) {
    const int first = SourceByte(kLanes * r + lane);
    const int bytes[2] = {first + 1, first};  // low byte, high byte of the lane
    for (int b = 0; b < 2; ++b) {
      const bool in_second = bytes[b] >= kRegisterBytes;
      mask[2 * lane + b] = in_second == from_second
                               ? static_cast<int8_t>(bytes[b] - (in_second ? kSecondHalf : 0))
                               : kZeroByte;
    }
  }
  return mask;
}

// Shuffle of the output bytes `start`..`start`+15 from the upper bytes of words 0-15 (first
// source) or from those of words 16-23 (second source, bytes 0-7) and the six low-bits bytes
// (second source, bytes 8-13).
constexpr Mask OutputMask(int start, bool from_second) {
  Mask mask{};
  for (int i = 0; i < kRegisterBytes; ++i) {
    const int o = start + i;
    const int q = o / kGroupBytes;
    const int k = o % kGroupBytes;
    int index = 0;
    bool second = true;
    if (k == kWordsPerGroup) {
      index = kLowBitsAt + q;
    } else {
      const int word = kWordsPerGroup * q + k;
      second = word >= kRegisterBytes;
      index = second ? word - kRegisterBytes : word;
    }
    mask[i] = second == from_second ? static_cast<int8_t>(index) : kZeroByte;
  }
  return mask;
}

constexpr std::array<Mask, 6> kPairMasks = {PairMask(0, false), PairMask(0, true),
                                            PairMask(1, false), PairMask(1, true),
                                            PairMask(2, false), PairMask(2, true)};
constexpr std::array<Mask, 4> kOutputMasks = {OutputMask(0, false), OutputMask(0, true),
                                              OutputMask(kSecondHalf, false),
                                              OutputMask(kSecondHalf, true)};

__attribute__((target("ssse3"))) __m128i Load(const Mask& mask) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(mask.data()));
}

// The 16-bit lanes of three output words' byte pairs, gathered from the unit's two loads.
__attribute__((target("ssse3"))) inline __m128i Pairs(__m128i first, __m128i second,
                                                      const __m128i* masks) {
  return _mm_or_si128(_mm_shuffle_epi8(first, masks[0]), _mm_shuffle_epi8(second, masks[1]));
}

// Per pair of 32-bit lanes, the low bits of four shifted words combined into one byte value.
__attribute__((target("ssse3"))) inline __m128i LowBits(__m128i shifted, __m128i mask,
                                                        __m128i weights) {
  return _mm_madd_epi16(_mm_and_si128(_mm_srli_epi16(shifted, kLowBitsShift), mask), weights);
}

__attribute__((target("ssse3"))) void PackLine(const uint8_t* line, uint8_t* record) {
  __m128i pair_masks[6];
  for (int i = 0; i < 6; ++i) pair_masks[i] = Load(kPairMasks[static_cast<size_t>(i)]);
  __m128i output_masks[4];
  for (int i = 0; i < 4; ++i) output_masks[i] = Load(kOutputMasks[static_cast<size_t>(i)]);
  // Lane multipliers 4^j: words 0-5 of the output have j = 0, 6-11 j = 1, 12-17 j = 2, 18-23
  // j = 3. Shifting a word's two bytes left by 2j puts its upper eight bits in the lane's high
  // byte and its two low bits in bits 7-6.
  const __m128i shift0 = _mm_setr_epi16(1, 1, 1, 1, 1, 1, 4, 4);
  const __m128i shift1 = _mm_setr_epi16(4, 4, 4, 4, 16, 16, 16, 16);
  const __m128i shift2 = _mm_setr_epi16(16, 16, 64, 64, 64, 64, 64, 64);
  // Places the low bits of four consecutive words at bits 7-6, 5-4, 3-2, 1-0.
  const __m128i low_weights = _mm_setr_epi16(64, 16, 4, 1, 64, 16, 4, 1);
  const __m128i low_mask = _mm_set1_epi16(3);

  for (size_t u = 0; u < kDatUnitsPerLine; ++u) {
    const uint8_t* in = line + kMn2SamplesOffset + u * kDatUnitBytes;
    uint8_t* out = record + kDatUnitsOffset + u * kDatUnitBytes;
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + kSecondHalf));
    const __m128i m0 = _mm_mullo_epi16(Pairs(first, second, &pair_masks[0]), shift0);
    const __m128i m1 = _mm_mullo_epi16(Pairs(first, second, &pair_masks[2]), shift1);
    const __m128i m2 = _mm_mullo_epi16(Pairs(first, second, &pair_masks[4]), shift2);

    const __m128i upper01 =
        _mm_packus_epi16(_mm_srli_epi16(m0, kUpperByteShift), _mm_srli_epi16(m1, kUpperByteShift));
    const __m128i upper2 =
        _mm_packus_epi16(_mm_srli_epi16(m2, kUpperByteShift), _mm_setzero_si128());

    const __m128i low0 = LowBits(m0, low_mask, low_weights);
    const __m128i low2 = LowBits(m2, low_mask, low_weights);
    const __m128i groups0123 = _mm_hadd_epi32(low0, LowBits(m1, low_mask, low_weights));
    const __m128i groups45 = _mm_hadd_epi32(low2, low2);
    const __m128i low16 = _mm_packs_epi32(groups0123, groups45);
    const __m128i low8 = _mm_packus_epi16(low16, low16);
    const __m128i rest = _mm_unpacklo_epi64(upper2, low8);

    const __m128i head = _mm_or_si128(_mm_shuffle_epi8(upper01, output_masks[0]),
                                      _mm_shuffle_epi8(rest, output_masks[1]));
    const __m128i tail = _mm_or_si128(_mm_shuffle_epi8(upper01, output_masks[2]),
                                      _mm_shuffle_epi8(rest, output_masks[3]));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), head);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + kSecondHalf), tail);
  }
}

}  // namespace

size_t ManchesterDecodeVector(const uint8_t* symbols, size_t symbol_bytes, uint8_t* data) {
  return HasSsse3() ? DecodeManchester(symbols, symbol_bytes, data) : 0;
}

bool PackDatLineVector(const uint8_t* line, uint8_t* record) {
  if (!HasSsse3()) return false;
  PackLine(line, record);
  return true;
}

#else

size_t ManchesterDecodeVector(const uint8_t*, size_t, uint8_t*) {
  return 0;
}

bool PackDatLineVector(const uint8_t*, uint8_t*) {
  return false;
}

#endif

}  // namespace vantrel
