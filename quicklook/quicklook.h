#pragma once

#include <cstdint>
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
