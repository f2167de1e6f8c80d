#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace vantrel {

// How a product packs its 10-bit words.
enum class WordPacking {
  MsbFirst,      // without gaps, most significant bit first (HRPT minor frames, .C10 frames)
  GroupsOfFive,  // four words per five bytes: their upper eight bits, then one byte of their
                 // two low bits, first word highest (_MN2.dat records)
};

// Where a product keeps the image of each line: every record after the header records is one
// line; its earth data are `pixels` pixels of `channels` pixel-interleaved channels (word
// channels * p + c is channel c of pixel p) from bit `first_word_bit` of the record on.
struct ProductLayout {
  std::string_view instrument;   // "AVHRR", "VIRR", "MSU-MR"
  std::string_view name_ending;  // how the product's file name ends
  size_t record_bytes;
  size_t first_word_bit;
  WordPacking packing;
  int channels;
  int pixels;           // image width
  int carried_pixels;   // pixels the product fills; columns beyond them are shown black
  int default_channel;  // 1-based: the window and the command line show it unless told otherwise
  uint32_t infrared;    // bit c - 1 set: channel c is thermal infrared, shown cold = bright
  std::string_view header_text;  // records that begin with it are a header, not a line
};

// The three products, in the order AVHRR (.hpt), VIRR (.C10), MSU-MR (_MN2.dat).
const std::array<ProductLayout, 3>& ProductLayouts();

// The layout of the product named `path` (by how its name ends), or null.
const ProductLayout* FindProductLayout(std::string_view path);

// True when channel `channel` (1-based) is shown cold = bright.
inline bool IsInfrared(const ProductLayout& layout, int channel) {
  return channel >= 1 && channel <= layout.channels && ((layout.infrared >> (channel - 1)) & 1);
}

// True when `record` (layout.record_bytes) is a header record rather than a line.
bool IsHeaderRecord(const ProductLayout& layout, const uint8_t* record);

// True when every earth-data word of `record` is zero: a line the chain filled with zeros.
bool IsZeroFilled(const ProductLayout& layout, const uint8_t* record);

// The words of channel `channel` (0-based, < layout.channels) of `record`, pixels 0 to
// carried_pixels - 1, into `out` (carried_pixels values). Reads only inside the record.
void ReadChannelWords(const ProductLayout& layout, const uint8_t* record, int channel,
                      uint16_t* out);

}  // namespace vantrel
