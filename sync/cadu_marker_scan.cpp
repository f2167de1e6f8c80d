#include "sync/cadu_marker_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/record_sizes.h"
#include "sync/asm_search_engine.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define VANTREL_MARKER_SCAN_X86 1
#endif

namespace vantrel {
namespace {

constexpr uint32_t kMarker = kAttachedSyncMarker;
constexpr uint64_t kFrameBits = uint64_t{kCaduBytes} * 8;
constexpr int kMarkerErrorsAllowed = 3;
// Bits read past a word's first bit by the five-byte read of WordAt.
constexpr size_t kReadBits = 39;

// The 32-bit word from `bit` on, read from the five bytes that hold it.
uint32_t WordAt(const uint8_t* bytes, uint64_t bit) {
  uint64_t window = 0;
  const uint8_t* first = bytes + bit / 8;
  for (int i = 0; i < 5; ++i) window = (window << 8) | first[i];
  return static_cast<uint32_t>(window >> (8 - bit % 8));
}

// 0 = no marker, 1 = straight, 2 = inverted.
int Classify(uint32_t word) {
  const int wrong = std::popcount(word ^ kMarker);
  if (wrong <= kMarkerErrorsAllowed) return 1;
  if (wrong >= 32 - kMarkerErrorsAllowed) return 2;
  return 0;
}

void AddHit(const uint8_t* bytes, uint64_t bit, std::vector<MarkerHit>& hits) {
  const int kind = Classify(WordAt(bytes, bit));
  if (kind != 0) hits.push_back({bit, kind == 2});
}

// At most kMarkerErrorsAllowed (three) bits set, without a popcount instruction.
bool FewBits(uint32_t x) {
  x &= x - 1;
  x &= x - 1;
  x &= x - 1;
  return x == 0;
}

uint64_t LoadBigEndian(const uint8_t* bytes) {
  uint64_t word;
  std::memcpy(&word, bytes, sizeof word);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  return word;
}

// The eight words starting at the bits of bytes[first] .. bytes[last - 1], each read from the
// eight bytes from its own on. A word is a marker when it has at most three bits wrong, or at
// most three right: (wrong - 4) as unsigned is then above 24. Only the rare byte with a marker is
// looked at again. With a popcount instruction this is a handful of instructions a bit.
template <bool kHardwarePopcount>
__attribute__((always_inline)) inline void ScanBytes(const uint8_t* bytes, size_t first,
                                                     size_t last, std::vector<MarkerHit>& hits) {
  for (size_t i = first; i < last; ++i) {
    const uint64_t window = LoadBigEndian(bytes + i);
    unsigned found = 0;
    for (int k = 0; k < 8; ++k) {
      const auto word = static_cast<uint32_t>(window >> (32 - k));
      const uint32_t wrong = word ^ kMarker;
      if constexpr (kHardwarePopcount) {
        const auto count = static_cast<unsigned>(__builtin_popcount(wrong));
        found |= static_cast<unsigned>(count - (kMarkerErrorsAllowed + 1) >
                                       32 - 2 * (kMarkerErrorsAllowed + 1))
                 << k;
      } else {
        found |= static_cast<unsigned>(FewBits(wrong) || FewBits(~wrong)) << k;
      }
    }
    while (found != 0) {
      const int k = std::countr_zero(found);
      found &= found - 1;
      AddHit(bytes, 8 * uint64_t{i} + static_cast<uint64_t>(k), hits);
    }
  }
}

#if defined(VANTREL_MARKER_SCAN_X86)
__attribute__((target("popcnt"))) void ScanBytesPopcount(const uint8_t* bytes, size_t first,
                                                         size_t last,
                                                         std::vector<MarkerHit>& hits) {
  ScanBytes<true>(bytes, first, last, hits);
}

bool HasPopcount() {
  static const bool has = __builtin_cpu_supports("popcnt");
  return has;
}

bool HasAvx2() {
  static const bool has = __builtin_cpu_supports("avx2");
  return has;
}

// The bytes at bit 8 i + kShift of 32 consecutive i: (b[i] << kShift) | (b[i + 1] >> (8 - kShift)),
// from the bytes at i and at i + 1.
template <int kShift>
__attribute__((target("avx2"))) inline __m256i ShiftedBytes(__m256i at, __m256i next) {
  if constexpr (kShift == 0) {
    return at;
  } else {
    // Shifts of 16-bit lanes, each byte then cleared of what came in from its neighbour.
    const __m256i high = _mm256_and_si256(_mm256_slli_epi16(at, kShift),
                                          _mm256_set1_epi8(static_cast<char>(0xFF << kShift)));
    const __m256i low = _mm256_and_si256(_mm256_srli_epi16(next, 8 - kShift),
                                         _mm256_set1_epi8(static_cast<char>(0xFF >> (8 - kShift))));
    return _mm256_or_si256(high, low);
  }
}

// A marker word has at most three bits wrong, so one of its four bytes is right (or, inverted,
// one is the complement): bit i of the result is set when the word at bit 8 i + kShift has one.
template <int kShift>
__attribute__((target("avx2"))) inline uint32_t MaybeMarkers(__m256i at, __m256i next) {
  const __m256i bytes = ShiftedBytes<kShift>(at, next);
  uint32_t maybe = 0;
  for (int j = 0; j < 4; ++j) {
    const auto marker_byte = static_cast<char>(kMarker >> (24 - 8 * j));
    const __m256i right = _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(marker_byte));
    const __m256i complement =
        _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(static_cast<char>(~marker_byte)));
    maybe |= static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(right, complement))) >> j;
  }
  return maybe;
}

// The words starting at the bits of bytes[first] .. bytes[last - 1], 28 bytes at a time from
// reads of the 33 bytes from each; only the words with a right byte are read whole. The bytes
// up to last + 5 must be there. Returns where it stopped (the last whole 28 bytes done).
__attribute__((target("avx2,popcnt"))) size_t ScanBytesAvx2(const uint8_t* bytes, size_t first,
                                                            size_t last,
                                                            std::vector<MarkerHit>& hits) {
  constexpr size_t kStep = 28;  // a word's four bytes from i .. i + 27 lie in the 32 read
  size_t i = first;
  for (; i + kStep <= last; i += kStep) {
    const __m256i at = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i + 1));
    const uint32_t maybe[8] = {MaybeMarkers<0>(at, next), MaybeMarkers<1>(at, next),
                               MaybeMarkers<2>(at, next), MaybeMarkers<3>(at, next),
                               MaybeMarkers<4>(at, next), MaybeMarkers<5>(at, next),
                               MaybeMarkers<6>(at, next), MaybeMarkers<7>(at, next)};
    uint32_t any = 0;
    for (const uint32_t bits : maybe) any |= bits;
    any &= (1u << kStep) - 1;
    // In order of their first bit: byte by byte, and within a byte bit by bit.
    while (any != 0) {
      const int byte = std::countr_zero(any);
      any &= any - 1;
      // The five bytes that hold the eight words starting in this byte.
      const uint8_t* held = bytes + i + static_cast<size_t>(byte);
      uint64_t window = 0;
      for (int k = 0; k < 5; ++k) window = (window << 8) | held[k];
      for (int shift = 0; shift < 8; ++shift) {
        if (((maybe[shift] >> byte) & 1u) == 0) continue;
        const auto word = static_cast<uint32_t>(window >> (8 - shift));
        const int wrong = __builtin_popcount(word ^ kMarker);
        if (wrong <= kMarkerErrorsAllowed || wrong >= 32 - kMarkerErrorsAllowed)
          hits.push_back(
              {8 * uint64_t{i + static_cast<size_t>(byte)} + static_cast<uint64_t>(shift),
               wrong > kMarkerErrorsAllowed});
      }
    }
  }
  return i;
}
#endif

// The words starting at the bits of bytes[first] .. bytes[last - 1]; the bytes below `readable`
// may be read.
void ScanWholeBytes(const uint8_t* bytes, size_t first, size_t last, size_t readable,
                    MarkerScanPath path, std::vector<MarkerHit>& hits) {
#if defined(VANTREL_MARKER_SCAN_X86)
  if (path == MarkerScanPath::kFastest && HasAvx2() && readable >= 5)
    first = ScanBytesAvx2(bytes, first, std::max(first, std::min(last, readable - 5)), hits);
  if (path != MarkerScanPath::kPortable && HasPopcount()) {
    ScanBytesPopcount(bytes, first, last, hits);
    return;
  }
#else
  (void)readable;
  (void)path;
#endif
  ScanBytes<false>(bytes, first, last, hits);
}

}  // namespace

void FindMarkerHits(const uint8_t* bytes, size_t from, size_t to, std::vector<MarkerHit>& hits,
                    MarkerScanPath path) {
  if (from >= to) return;
  // Whole bytes of words whose eight-byte read stays below to + 39: 8 i + 64 <= to + 39.
  const size_t first = (from + 7) / 8;
  const size_t last = to + kReadBits >= 64 ? std::min(to / 8, (to + kReadBits - 64) / 8 + 1) : 0;
  if (first >= last) {
    for (size_t bit = from; bit < to; ++bit) AddHit(bytes, bit, hits);
    return;
  }
  for (size_t bit = from; bit < 8 * first; ++bit) AddHit(bytes, bit, hits);
  // Bytes whose every bit lies below to + 39.
  const size_t readable = (to + kReadBits) / 8;
  ScanWholeBytes(bytes, first, last, readable, path, hits);
  for (size_t bit = 8 * last; bit < to; ++bit) AddHit(bytes, bit, hits);
}

std::optional<bool> FirstMarkerPair(std::vector<MarkerHit>& hits) {
  std::sort(hits.begin(), hits.end(), [](const MarkerHit& a, const MarkerHit& b) {
    const uint64_t offset_a = a.bit % kFrameBits, offset_b = b.bit % kFrameBits;
    return offset_a != offset_b ? offset_a < offset_b : a.bit < b.bit;
  });
  for (size_t i = 0; i < hits.size();) {
    const uint64_t offset = hits[i].bit % kFrameBits;
    int straight = 0, inverted = 0;
    for (; i < hits.size() && hits[i].bit % kFrameBits == offset; ++i) {
      if (!hits[i].inverted && ++straight == 2) return false;
      if (hits[i].inverted && ++inverted == 2) return true;
    }
  }
  return std::nullopt;
}

bool HasMarkerPair(const uint8_t* bytes, size_t bit_count) {
  if (bit_count < kReadBits + 1) return false;
  const size_t end = bit_count - kReadBits;  // words start at 0 .. bit_count - 40
  // A pair's first marker is met first: scanning on from the start and looking only forward
  // from each marker finds every pair.
  constexpr size_t kPiece = 4096;
  std::vector<MarkerHit> hits;
  for (size_t from = 0; from < end; from += kPiece) {
    hits.clear();
    FindMarkerHits(bytes, from, std::min(end, from + kPiece), hits);
    for (const MarkerHit& hit : hits) {
      for (uint64_t bit = hit.bit + kFrameBits; bit < end; bit += kFrameBits) {
        const int kind = Classify(WordAt(bytes, bit));
        if (kind != 0 && (kind == 2) == hit.inverted) return true;
      }
    }
  }
  return false;
}

}  // namespace vantrel
