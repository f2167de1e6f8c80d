#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "rs/reed_solomon_codec.h"
#include "sync/asm_search_engine.h"

namespace vantrel {

// What is done to each CADU the search cuts (the options PNdecoding, RSolomon and Full_CADU).
struct CaduDecoding {
  bool derandomise = false;  // remove the CCSDS pseudo-random sequence
  bool correct = false;      // Reed-Solomon: 1020-byte records, corrected
  bool full_cadu = false;    // debug, without correction: 1024-byte records, marker included
};

// Turns a cut CADU into the record the extraction stage writes: de-randomised when asked, then
// corrected by Reed-Solomon (1020 bytes), or kept whole with its marker (1024 bytes), or its code
// block as it is (1020 bytes). Knows no files; counts what the correction found.
class CaduDecoder {
 public:
  struct Result {
    std::span<const uint8_t> record;  // valid until the next Decode
    bool uncorrectable = false;       // some codeword Reed-Solomon could not correct
  };

  // `codec` must outlive the decoder; it is used only while correcting, and a codec without field
  // tables passes every frame uncorrected (none uncorrectable).
  explicit CaduDecoder(ReedSolomonCodec& codec) : codec_(codec) {}

  Result Decode(std::span<const uint8_t, kCaduBytes> cadu, const CaduDecoding& decoding);

  // Whether Reed-Solomon corrects every codeword of `cadu` as `decoding` would take it; false
  // when the decoding does not correct or the codec has no tables. Counts nothing: the frame is
  // only weighed (Decode it to take it). It works in the decoder's block: the record of the last
  // Decode is not valid after it.
  bool Correctable(std::span<const uint8_t, kCaduBytes> cadu, const CaduDecoding& decoding);

  int32_t UncorrectableFrames() const { return uncorrectable_frames_; }
  int32_t CorrectedFrames() const { return corrected_frames_; }  // at least one symbol corrected
  int64_t CorrectedSymbols() const { return corrected_symbols_; }

 private:
  ReedSolomonCodec& codec_;
  int32_t uncorrectable_frames_ = 0;
  int32_t corrected_frames_ = 0;
  int64_t corrected_symbols_ = 0;
  alignas(64) std::array<uint8_t, kCaduBytes> frame_{};
  alignas(64) std::array<uint8_t, kCodeBlockBytes> block_{};
};

}  // namespace vantrel
