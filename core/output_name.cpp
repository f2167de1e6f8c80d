#include "core/output_name.h"

#include <algorithm>
#include <cctype>

#include "core/working_file.h"

namespace vantrel {

size_t FindMarkerIn(std::string_view input_path, std::string_view marker) {
  const size_t slash = input_path.rfind('/');
  const size_t name_start = slash == std::string_view::npos ? 0 : slash + 1;
  const size_t in_name = input_path.find(marker, name_start);
  return in_name != std::string_view::npos ? in_name : input_path.find(marker);
}

std::string_view WithoutPartEnding(std::string_view input_path) {
  constexpr std::string_view kPart = ".part";
  const size_t slash = input_path.rfind('/');
  const size_t name_size = input_path.size() - (slash == std::string_view::npos ? 0 : slash + 1);
  if (name_size <= kPart.size() || !input_path.ends_with(kPart)) return input_path;
  return input_path.substr(0, input_path.size() - kPart.size());
}

std::string_view SoftSymbolExtension(std::string_view input_path) {
  input_path = WithoutPartEnding(input_path);
  const size_t slash = input_path.rfind('/');
  const std::string_view name =
      slash == std::string_view::npos ? input_path : input_path.substr(slash + 1);
  for (std::string_view extension : {".soft", ".s"}) {
    if (name.size() > extension.size() && name.ends_with(extension)) return extension;
  }
  return {};
}

std::string_view BasebandExtension(std::string_view input_path) {
  input_path = WithoutPartEnding(input_path);
  const size_t slash = input_path.rfind('/');
  const std::string_view name =
      slash == std::string_view::npos ? input_path : input_path.substr(slash + 1);
  for (std::string_view extension : {".wav", ".cs16", ".cs8", ".cu8", ".cf32"}) {
    if (name.size() <= extension.size()) continue;
    const std::string_view end = name.substr(name.size() - extension.size());
    const bool same = std::equal(end.begin(), end.end(), extension.begin(), [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) == b;
    });
    if (same) return end;
  }
  return {};
}

std::string OutputBaseName(std::string_view input_path, std::string_view marker, bool drop_marker) {
  std::string name(WithoutPartEnding(input_path));
  const size_t at = FindMarkerIn(name, marker);
  if (at != std::string::npos) name.erase(0, drop_marker ? at + marker.size() : at);

  size_t bin = name.find(".bin");
  if (bin == std::string::npos) {
    std::string_view extension = SoftSymbolExtension(name);
    if (extension.empty()) extension = BasebandExtension(name);
    if (!extension.empty()) bin = name.size() - extension.size();
  }
  if (bin != std::string::npos) {
    const size_t p = bin + 1;  // 1-based position of ".bin" (or of the soft extension)
    if (p >= 3) {
      const size_t start = p - 3;  // 0-based index of position p - 2
      name.erase(start, std::min(p + 3, name.size() - start));
    }
  }
  // A marker found in a folder name leaves folder separators in the name; the product still
  // belongs in the working folder, never in another folder ("../" included).
  std::replace(name.begin(), name.end(), '/', '_');
  // A name left empty or hidden ("MetopA_.bin" gives ".bin") gets the marker back in front, so
  // the product is always a visible file of its own name: "MetopA_.bin".
  if (drop_marker && at != std::string::npos && (name.empty() || name[0] == '.'))
    name.insert(0, marker);
  return name;
}

std::string ProductName(std::string_view naming_path, const Satellite& satellite) {
  return OutputBaseName(naming_path, satellite.marker, satellite.product_drops_marker) +
         satellite.product_suffix;
}

std::string ProductPath(StageHost& host) {
  return WorkingPath(ProductName(NamingPath(host), host.RunSatellite()));
}

std::string NamingPath(StageHost& host) {
  const std::string& naming = host.Chain().NamingPath;
  return naming.empty() ? host.InputPath() : naming;
}

}  // namespace vantrel
