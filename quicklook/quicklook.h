#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quicklook/contrast_stretch.h"
#include "quicklook/product_layout.h"

namespace vantrel {

// A quicklook of one channel of a product: 8-bit grey, one row per product line, the full
// instrument width, contrast-stretched between percentiles of the channel's samples. Lines the
// chain filled with zeros, and columns the product does not carry, are black and count in no
// percentile.
struct Quicklook {
  const ProductLayout* layout = nullptr;
  int channel = 0;  // 1-based
  int width = 0;
  int height = 0;
  int64_t zero_filled_lines = 0;
  ContrastStretch stretch;
  std::vector<uint8_t> pixels;  // height rows of width bytes
};

struct QuicklookResult {
  bool ok = false;
  std::string error;  // one line, when not ok
  Quicklook image;
};

// Renders channel `channel` (1-based; 0 for the product's default channel) of the product at
// `product_path`, recognised by its name (.hpt, .C10, _MN2.dat). Thermal infrared channels are
// shown cold = bright. Fails for an unknown name, a channel the instrument does not have, a file
// that cannot be read, or a product without a line. A partial record at the end is left out.
QuicklookResult RenderQuicklook(const std::string& product_path, int channel = 0);

// The quicklook of a product that is still being written, made of its bytes as they come, in
// pieces of any size: Render gives the picture RenderQuicklook gives of a file holding the whole
// records added so far. It keeps the channel's words of every line (2 bytes a pixel), since the
// stretch changes as lines come.
class GrowingQuicklook {
 public:
  // `channel` is 1-based, 0 for the layout's default; one the instrument lacks is the default.
  explicit GrowingQuicklook(const ProductLayout& layout, int channel = 0);

  // Adds the product's next bytes; a record split between two calls is joined.
  void Add(std::span<const uint8_t> bytes);
  // Product bytes added so far, and the lines among their whole records (headers left out).
  int64_t BytesAdded() const { return bytes_added_; }
  int Lines() const { return static_cast<int>(zero_filled_.size()); }
  const ProductLayout& Layout() const { return layout_; }
  // The picture of the lines so far; not ok before the first line.
  QuicklookResult Render() const;

 private:
  void AddRecord(const uint8_t* record);

  const ProductLayout& layout_;
  int channel_;
  int64_t bytes_added_ = 0;
  std::vector<uint8_t> partial_;   // the start of a record not yet whole
  std::vector<bool> zero_filled_;  // one per line
  std::vector<uint16_t> words_;    // carried_pixels per line with data
  SampleHistogram histogram_;
};

// Writes `image` as an 8-bit greyscale PNG. False, with a one-line reason in `error`, when the
// file cannot be written.
bool WriteQuicklookPng(const std::string& path, const Quicklook& image, std::string* error);

// Where the command line writes a product's quicklook: beside it, the product's name + ".png".
std::string QuicklookPathFor(const std::string& product_path);

// Renders channel `channel` (0 = default) of the product and writes it to
// QuicklookPathFor(product_path). `message` gets one line for the log: where the picture went and
// what it shows, or why there is none.
bool WriteQuicklookBeside(const std::string& product_path, int channel, std::string* message);

}  // namespace vantrel
