#include "sync/cadu_decoder.h"

#include <cstring>

namespace vantrel {
namespace {

// Bits 16-31 of a frame result: some codeword was uncorrectable.
constexpr uint32_t kUncorrectableBits = 0xFFFF0000;

// out[j] = in[j] ^ sequence[j] (kWithSequence) or in[j], with the bit order of every byte reversed
// (the codec's ReverseBits, eight bytes at a time), for `size` bytes. `in` and `out` may be the
// same.
template <bool kWithSequence>
void ReverseBitsOfBytes(const uint8_t* in, const uint8_t* sequence, uint8_t* out, int32_t size) {
  constexpr uint64_t kOdd = 0x5555555555555555, kPairs = 0x3333333333333333,
                     kNibbles = 0x0F0F0F0F0F0F0F0F;
  int32_t at = 0;
  for (; at + 8 <= size; at += 8) {
    uint64_t word;
    std::memcpy(&word, in + at, sizeof word);
    if constexpr (kWithSequence) {
      uint64_t mask;
      std::memcpy(&mask, sequence + at, sizeof mask);
      word ^= mask;
    }
    word = ((word & kOdd) << 1) | ((word >> 1) & kOdd);
    word = ((word & kPairs) << 2) | ((word >> 2) & kPairs);
    word = ((word & kNibbles) << 4) | ((word >> 4) & kNibbles);
    std::memcpy(out + at, &word, sizeof word);
  }
  for (; at < size; ++at) {
    uint8_t byte = in[at];
    if constexpr (kWithSequence) byte ^= sequence[at];
    out[at] = ReedSolomonCodec::ReverseBits(byte);
  }
}

}  // namespace

bool CaduDecoder::Correctable(std::span<const uint8_t, kCaduBytes> cadu,
                              const CaduDecoding& decoding) {
  if (!decoding.correct || !codec_.Configured()) return false;
  const uint8_t* body = cadu.data() + kMarkerBytes;
  if (decoding.derandomise) {
    ReverseBitsOfBytes<true>(body, DerandomisationTable().data() + kMarkerBytes, block_.data(),
                             kCodeBlockBytes);
  } else {
    ReverseBitsOfBytes<false>(body, nullptr, block_.data(), kCodeBlockBytes);
  }
  return (codec_.CorrectFrame(block_.data()) & kUncorrectableBits) == 0;
}

CaduDecoder::Result CaduDecoder::Decode(std::span<const uint8_t, kCaduBytes> cadu,
                                        const CaduDecoding& decoding) {
  const uint8_t* sequence = decoding.derandomise ? DerandomisationTable().data() : nullptr;
  if (decoding.correct) {
    uint8_t* block = block_.data();
    // The codec takes the transmitted bytes with their bit order reversed.
    const uint8_t* body = cadu.data() + kMarkerBytes;
    if (sequence != nullptr) {
      ReverseBitsOfBytes<true>(body, sequence + kMarkerBytes, block, kCodeBlockBytes);
    } else {
      ReverseBitsOfBytes<false>(body, nullptr, block, kCodeBlockBytes);
    }
    bool uncorrectable = false;
    if (codec_.Configured()) {
      const uint32_t result = codec_.CorrectFrame(block);
      if (codec_.CorrectedSymbols() > 0) {
        ++corrected_frames_;
        corrected_symbols_ += codec_.CorrectedSymbols();
      }
      uncorrectable = (result & kUncorrectableBits) != 0;
      if (uncorrectable) ++uncorrectable_frames_;
    }
    ReverseBitsOfBytes<false>(block, nullptr, block, kCodeBlockBytes);
    return {std::span<const uint8_t>(block, kCodeBlockBytes), uncorrectable};
  }
  const uint8_t* frame = cadu.data();
  if (sequence != nullptr) {
    for (int32_t j = 0; j < kCaduBytes; ++j) frame_[j] = cadu[j] ^ sequence[j];
    frame = frame_.data();
  }
  if (decoding.full_cadu) return {std::span<const uint8_t>(frame, kCaduBytes), false};
  return {std::span<const uint8_t>(frame + kMarkerBytes, kCodeBlockBytes), false};
}

}  // namespace vantrel
