#pragma once

#include <string>

namespace vantrel::cli {

// Where a product went, or why it could not go there.
struct Delivery {
  bool ok = false;
  std::string path;   // the product's new full path
  std::string error;  // a one-line reason when !ok
};

// Moves `product` into `folder` under its own name so that it appears there only whole: one
// rename when both are on one file system, otherwise CopyProductInto. A product of that name in
// `folder` is replaced. On failure the product stays where it was.
Delivery MoveProductInto(const std::string& product, const std::string& folder);

// The way across file systems: copies `product` to a hidden temporary name in `folder` (same
// permission bits), flushes it to disk, renames it to the product's name and removes the
// original. On failure the temporary copy is removed and the product stays where it was.
Delivery CopyProductInto(const std::string& product, const std::string& folder);

}  // namespace vantrel::cli
