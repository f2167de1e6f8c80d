#include "quicklook/quicklook.h"

#include <png.h>

#include <algorithm>
#include <functional>
#include <string_view>
#include <vector>

#include "core/file_io.h"
#include "core/log_format.h"
#include "core/record_blocks.h"
#include "core/replacement_file.h"

namespace vantrel {
namespace {

// Calls `line(record)` for every whole line record of the product (header records skipped).
// False when the file cannot be opened or a read fails.
bool ForEachLine(const std::string& path, const ProductLayout& layout,
                 const std::function<void(const uint8_t*)>& line) {
  InputFile input;
  if (!input.Open(path)) return false;
  RecordBlockReader reader(input, layout.record_bytes);
  while (const uint8_t* record = reader.Next()) {
    if (!IsHeaderRecord(layout, record)) line(record);
  }
  return !input.Failed();
}

}  // namespace

QuicklookResult RenderQuicklook(const std::string& product_path, int channel) {
  QuicklookResult result;
  const ProductLayout* layout = FindProductLayout(product_path);
  if (layout == nullptr) {
    result.error = Format("'%s' is not a .hpt, .C10 or _MN2.dat product", product_path.c_str());
    return result;
  }
  if (channel == 0) channel = layout->default_channel;
  if (channel < 1 || channel > layout->channels) {
    result.error =
        Format("%.*s has channels 1 to %d, not %d", static_cast<int>(layout->instrument.size()),
               layout->instrument.data(), layout->channels, channel);
    return result;
  }

  // First pass: which lines hold data, and the histogram of the channel over them.
  Quicklook& image = result.image;
  std::vector<bool> zero_filled;
  SampleHistogram histogram;
  std::vector<uint16_t> words(static_cast<size_t>(layout->carried_pixels));
  const bool read = ForEachLine(product_path, *layout, [&](const uint8_t* record) {
    const bool empty = IsZeroFilled(*layout, record);
    zero_filled.push_back(empty);
    if (empty) return;
    ReadChannelWords(*layout, record, channel - 1, words.data());
    for (uint16_t w : words) histogram.Add(w);
  });
  if (!read) {
    result.error = Format("Cannot read '%s'", product_path.c_str());
    return result;
  }
  if (zero_filled.empty()) {
    result.error = Format("'%s' holds no image line", product_path.c_str());
    return result;
  }

  image.layout = layout;
  image.channel = channel;
  image.width = layout->pixels;
  image.height = static_cast<int>(zero_filled.size());
  image.zero_filled_lines = std::count(zero_filled.begin(), zero_filled.end(), true);
  image.stretch = PercentileStretch(histogram, IsInfrared(*layout, channel));
  image.pixels.assign(static_cast<size_t>(image.width) * image.height, 0);

  // Second pass: the stretched rows; black stays where there is no data.
  size_t row = 0;
  const bool reread = ForEachLine(product_path, *layout, [&](const uint8_t* record) {
    if (row >= zero_filled.size()) return;  // the file grew meanwhile
    uint8_t* out = image.pixels.data() + row * image.width;
    if (!zero_filled[row++]) {
      ReadChannelWords(*layout, record, channel - 1, words.data());
      std::transform(words.begin(), words.end(), out,
                     [&](uint16_t w) { return image.stretch.Map(w); });
    }
  });
  if (!reread) {
    result.error = Format("Cannot read '%s'", product_path.c_str());
    return result;
  }
  result.ok = true;
  return result;
}

GrowingQuicklook::GrowingQuicklook(const ProductLayout& layout, int channel)
    : layout_(layout),
      channel_(channel >= 1 && channel <= layout.channels ? channel : layout.default_channel) {}

void GrowingQuicklook::Add(std::span<const uint8_t> bytes) {
  bytes_added_ += static_cast<int64_t>(bytes.size());
  const size_t record_bytes = layout_.record_bytes;
  if (!partial_.empty()) {
    const size_t taken = std::min(record_bytes - partial_.size(), bytes.size());
    partial_.insert(partial_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(taken));
    bytes = bytes.subspan(taken);
    if (partial_.size() < record_bytes) return;
    AddRecord(partial_.data());
    partial_.clear();
  }
  for (; bytes.size() >= record_bytes; bytes = bytes.subspan(record_bytes)) AddRecord(bytes.data());
  partial_.assign(bytes.begin(), bytes.end());
}

void GrowingQuicklook::AddRecord(const uint8_t* record) {
  if (IsHeaderRecord(layout_, record)) return;
  const bool empty = IsZeroFilled(layout_, record);
  zero_filled_.push_back(empty);
  if (empty) return;
  const size_t at = words_.size();
  words_.resize(at + static_cast<size_t>(layout_.carried_pixels));
  ReadChannelWords(layout_, record, channel_ - 1, words_.data() + at);
  for (size_t k = at; k < words_.size(); ++k) histogram_.Add(words_[k]);
}

QuicklookResult GrowingQuicklook::Render() const {
  QuicklookResult result;
  if (zero_filled_.empty()) {
    result.error = "no image line yet";
    return result;
  }
  Quicklook& image = result.image;
  image.layout = &layout_;
  image.channel = channel_;
  image.width = layout_.pixels;
  image.height = Lines();
  image.zero_filled_lines = std::count(zero_filled_.begin(), zero_filled_.end(), true);
  image.stretch = PercentileStretch(histogram_, IsInfrared(layout_, channel_));
  image.pixels.assign(static_cast<size_t>(image.width) * image.height, 0);
  const auto carried = static_cast<size_t>(layout_.carried_pixels);
  const uint16_t* words = words_.data();
  for (size_t row = 0; row < zero_filled_.size(); ++row) {
    if (zero_filled_[row]) continue;
    std::transform(words, words + carried, image.pixels.data() + row * image.width,
                   [&](uint16_t w) { return image.stretch.Map(w); });
    words += carried;
  }
  result.ok = true;
  return result;
}

bool WriteQuicklookPng(const std::string& path, const Quicklook& image, std::string* error) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(image.width);
  png.height = static_cast<png_uint_32>(image.height);
  png.format = PNG_FORMAT_GRAY;
  if (image.width <= 0 || image.height <= 0 ||
      image.pixels.size() != static_cast<size_t>(image.width) * image.height) {
    if (error) *error = "The quicklook has no pixels";
    return false;
  }
  // Encoded in memory first (a size query, then the bytes), then written under a temporary name
  // beside `path` and renamed onto it: never through a link, never a partial picture.
  png_alloc_size_t size = 0;
  std::vector<uint8_t> encoded;
  int ok =
      png_image_write_to_memory(&png, nullptr, &size, 0, image.pixels.data(), image.width, nullptr);
  if (ok) {
    encoded.resize(size);
    ok = png_image_write_to_memory(&png, encoded.data(), &size, 0, image.pixels.data(), image.width,
                                   nullptr);
  }
  if (!ok) {
    if (error) *error = Format("Cannot write '%s': %s", path.c_str(), png.message);
    png_image_free(&png);
    return false;
  }
  std::string reason;
  if (!ReplaceFileContents(
          path, std::string_view(reinterpret_cast<const char*>(encoded.data()), size), &reason)) {
    if (error) *error = Format("Cannot write '%s': %s", path.c_str(), reason.c_str());
    return false;
  }
  return true;
}

std::string QuicklookPathFor(const std::string& product_path) {
  return product_path + ".png";
}

bool WriteQuicklookBeside(const std::string& product_path, int channel, std::string* message) {
  const QuicklookResult rendered = RenderQuicklook(product_path, channel);
  std::string line;
  bool ok = rendered.ok;
  if (!ok) {
    line = "No quicklook: " + rendered.error;
  } else {
    const std::string png_path = QuicklookPathFor(product_path);
    std::string error;
    ok = WriteQuicklookPng(png_path, rendered.image, &error);
    const Quicklook& image = rendered.image;
    line = ok ? Format("Quicklook written to '%s' (%.*s channel %d, %d lines)", png_path.c_str(),
                       static_cast<int>(image.layout->instrument.size()),
                       image.layout->instrument.data(), image.channel, image.height)
              : "No quicklook: " + error;
  }
  if (message) *message = line;
  return ok;
}

}  // namespace vantrel
