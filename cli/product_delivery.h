#pragma once

#include <string>

namespace vantrel::cli {

// Where a product went, or why it could not go there.
struct Delivery {
  bool ok = false;
  std::string path;   // the product's new full path
  std::string error;  // a one-line reason when !ok
};

// True when the folders `a` and `b` are one folder (same device and inode), whatever paths name
// them: a symbolic link, "..", a second mount of the folder (a bind mount). False when either
// cannot be looked at.
bool SameFolder(const std::string& a, const std::string& b);

// Moves `product` into `folder` under its own name so that it appears there only whole: one
// rename when both are on one file system, otherwise CopyProductInto. A product of that name in
// `folder` is replaced. When `folder` is the product's own folder nothing is moved and the
// product's path is returned. On failure the product stays where it was. `what` names the file
// in the messages ("product", "quicklook").
Delivery MoveProductInto(const std::string& product, const std::string& folder,
                         const std::string& what = "product");

// The way across file systems: copies `product` to a hidden temporary name in `folder` (same
// permission bits), flushes it to disk, renames it to the product's name and removes the
// original, unless the original is no longer the file that was copied or is the copy itself. On
// failure the temporary copy is removed and the product stays where it was.
Delivery CopyProductInto(const std::string& product, const std::string& folder,
                         const std::string& what = "product");

}  // namespace vantrel::cli
