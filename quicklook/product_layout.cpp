#include "quicklook/product_layout.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "fy3/c10_record.h"
#include "meteor/dat_writer.h"
#include "metop/hpt_record.h"

namespace vantrel {
namespace {

constexpr int kWordBits = 10;
constexpr uint16_t kWordMask = 0x3FF;
constexpr size_t kGroupWords = 4;
constexpr size_t kGroupBytes = 5;

// HRPT minor frame: earth data in words 751-10990 (1-based), five AVHRR channels per pixel.
constexpr size_t kHrptEarthWord = 751;
// .C10 frame: record byte 2000 begins word 1601, the first of the ten VIRR channels per pixel.
constexpr size_t kC10EarthByte = 2000;

constexpr uint32_t Channels(std::initializer_list<int> list) {
  uint32_t bits = 0;
  for (int c : list) bits |= 1u << (c - 1);
  return bits;
}

const std::array<ProductLayout, 3> kLayouts = {{
    {"AVHRR", ".hpt", kHptRecordLength, (kHrptEarthWord - 1) * kWordBits, WordPacking::MsbFirst, 5,
     2048, 2048, 4, Channels({4, 5}), ""},
    {"VIRR", ".C10", kC10RecordBytes, kC10EarthByte * 8, WordPacking::MsbFirst, 10, 2048, 2048, 4,
     Channels({3, 4, 5}), ""},
    // The record has room for 1572 pixels; the writer fills the 1568 of 392 units.
    {"MSU-MR", "_MN2.dat", kDatRecordBytes, kDatUnitsOffset * 8, WordPacking::GroupsOfFive, 6, 1572,
     static_cast<int>(kDatUnitsPerLine* kDatWordsPerUnit / 6), 5, Channels({4, 5, 6}),
     "HRPTMeteoM2"},
}};

// Word `n` of the earth data of `record`.
uint16_t Word(const ProductLayout& layout, const uint8_t* record, size_t n) {
  const uint8_t* base = record + layout.first_word_bit / 8;
  if (layout.packing == WordPacking::GroupsOfFive) {
    const uint8_t* group = base + (n / kGroupWords) * kGroupBytes;
    const size_t i = n % kGroupWords;
    const int low = (group[kGroupWords] >> (2 * (kGroupWords - 1 - i))) & 3;
    return static_cast<uint16_t>((group[i] << 2) | low);
  }
  const size_t bit = layout.first_word_bit % 8 + n * kWordBits;
  const uint8_t* at = base + bit / 8;
  // Ten bits never span more than two bytes past the first; the last word of every layout ends
  // inside its record, so the third byte is read only when the word reaches it.
  const int shift = static_cast<int>(bit % 8);
  uint32_t window = (static_cast<uint32_t>(at[0]) << 16) | (static_cast<uint32_t>(at[1]) << 8);
  if (shift + kWordBits > 16) window |= at[2];
  return static_cast<uint16_t>((window >> (24 - shift - kWordBits)) & kWordMask);
}

// Bytes of a record that hold earth data: from the first word's byte to the last word's.
std::pair<size_t, size_t> EarthBytes(const ProductLayout& layout) {
  const size_t words = static_cast<size_t>(layout.carried_pixels) * layout.channels;
  const size_t first = layout.first_word_bit / 8;
  if (layout.packing == WordPacking::GroupsOfFive)
    return {first, first + (words + kGroupWords - 1) / kGroupWords * kGroupBytes};
  return {first, (layout.first_word_bit + words * kWordBits + 7) / 8};
}

}  // namespace

const std::array<ProductLayout, 3>& ProductLayouts() {
  return kLayouts;
}

const ProductLayout* FindProductLayout(std::string_view path) {
  for (const ProductLayout& layout : kLayouts) {
    if (path.size() > layout.name_ending.size() && path.ends_with(layout.name_ending))
      return &layout;
  }
  return nullptr;
}

bool IsHeaderRecord(const ProductLayout& layout, const uint8_t* record) {
  const std::string_view text = layout.header_text;
  return !text.empty() && std::equal(text.begin(), text.end(), record);
}

bool IsZeroFilled(const ProductLayout& layout, const uint8_t* record) {
  const auto [first, end] = EarthBytes(layout);
  // The words' bits share their first and last byte with neighbouring fields: mask those.
  const int lead = static_cast<int>(layout.first_word_bit % 8);
  if ((record[first] & (0xFF >> lead)) != 0) return false;
  const size_t words = static_cast<size_t>(layout.carried_pixels) * layout.channels;
  const int tail = layout.packing == WordPacking::MsbFirst
                       ? static_cast<int>((layout.first_word_bit + words * kWordBits) % 8)
                       : 0;
  const size_t last_whole = tail == 0 ? end : end - 1;
  if (tail != 0 && (record[end - 1] & (0xFF << (8 - tail)) & 0xFF) != 0) return false;
  return std::all_of(record + first + 1, record + last_whole, [](uint8_t b) { return b == 0; });
}

void ReadChannelWords(const ProductLayout& layout, const uint8_t* record, int channel,
                      uint16_t* out) {
  const size_t step = static_cast<size_t>(layout.channels);
  for (int p = 0; p < layout.carried_pixels; ++p)
    out[p] = Word(layout, record, static_cast<size_t>(p) * step + static_cast<size_t>(channel));
}

}  // namespace vantrel
