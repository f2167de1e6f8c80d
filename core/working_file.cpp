#include "core/working_file.h"

#include <filesystem>
#include <system_error>

namespace vantrel {

std::string WorkingFolder() {
  std::error_code error;
  std::filesystem::path folder = std::filesystem::current_path(error);
  return error ? std::string(".") : folder.string();
}

std::string WorkingPath(std::string_view name) {
  std::string path = WorkingFolder();
  path += '/';
  path += name;
  return path;
}

}  // namespace vantrel
