#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::testing {

// A fresh folder that becomes the current (working) folder for the object's lifetime; the
// previous current folder is restored and the folder removed on destruction.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() + '/' + name.
  std::string File(const std::string& name) const;

 private:
  std::string path_;
  std::string previous_;
};

// Whole-file helpers for fixtures and checks.
std::vector<uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
bool FileExists(const std::string& path);

}  // namespace vantrel::testing
