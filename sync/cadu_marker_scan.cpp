#include "sync/cadu_marker_scan.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "core/record_sizes.h"
#include "sync/asm_search_engine.h"

#if defined(__x86_64__) || defined(__i386__)
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
#endif

void ScanWholeBytes(const uint8_t* bytes, size_t first, size_t last, std::vector<MarkerHit>& hits) {
#if defined(VANTREL_MARKER_SCAN_X86)
  if (HasPopcount()) {
    ScanBytesPopcount(bytes, first, last, hits);
    return;
  }
#endif
  ScanBytes<false>(bytes, first, last, hits);
}

}  // namespace

void FindMarkerHits(const uint8_t* bytes, size_t from, size_t to, std::vector<MarkerHit>& hits) {
  if (from >= to) return;
  // Whole bytes of words whose eight-byte read stays below to + 39: 8 i + 64 <= to + 39.
  const size_t first = (from + 7) / 8;
  const size_t last = to + kReadBits >= 64 ? std::min(to / 8, (to + kReadBits - 64) / 8 + 1) : 0;
  if (first >= last) {
    for (size_t bit = from; bit < to; ++bit) AddHit(bytes, bit, hits);
    return;
  }
  for (size_t bit = from; bit < 8 * first; ++bit) AddHit(bytes, bit, hits);
  ScanWholeBytes(bytes, first, last, hits);
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
