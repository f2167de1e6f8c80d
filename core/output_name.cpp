#include "core/output_name.h"

#include <algorithm>

namespace vantrel {

std::string OutputBaseName(std::string_view input_path, std::string_view marker, bool drop_marker) {
  std::string name(input_path);
  const size_t at = name.find(marker);
  if (at != std::string::npos) name.erase(0, drop_marker ? at + marker.size() : at);

  const size_t bin = name.find(".bin");
  if (bin != std::string::npos) {
    const size_t p = bin + 1;  // 1-based position of ".bin"
    if (p >= 3) {
      const size_t start = p - 3;  // 0-based index of position p - 2
      name.erase(start, std::min(p + 3, name.size() - start));
    }
  }
  // A marker found in a folder name leaves folder separators in the name; the product still
  // belongs in the working folder, never in another folder ("../" included).
  std::replace(name.begin(), name.end(), '/', '_');
  return name;
}

}  // namespace vantrel
