#include "app/product_path.h"

#include <array>

#include "app/driver.h"
#include "core/output_name.h"
#include "core/working_file.h"

namespace vantrel {
namespace {

// The MetOp products by satellite (A, B, C): MetOp-A drops its marker from the name.
struct MetopProduct {
  const char* marker;
  bool drop_marker;
  const char* suffix;
};
constexpr std::array<MetopProduct, 3> kMetopProducts = {{
    {"MetopA_", true, "_M02.hpt"},
    {"MetopB_", false, "_M03.hpt"},
    {"MetopC_", false, "_M04.hpt"},
}};

}  // namespace

std::string ProductPathFor(std::string_view input_path) {
  const MarkerRule* rule = FindMarker(input_path);
  if (rule == nullptr) return {};
  std::string name;
  switch (rule->chain) {
    case ChainKind::MetOp: {
      const MetopProduct& product = kMetopProducts.at(static_cast<size_t>(rule->variant));
      name = OutputBaseName(input_path, product.marker, product.drop_marker) + product.suffix;
      break;
    }
    case ChainKind::Fy3:
      name = OutputBaseName(input_path, rule->marker, false) + ".C10";
      break;
    case ChainKind::Mn2:
      name = OutputBaseName(input_path, rule->marker, true) + "_MN2.dat";
      break;
  }
  return WorkingPath(name);
}

}  // namespace vantrel
