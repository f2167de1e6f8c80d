#include "core/file_io.h"

#include <sys/types.h>

namespace vantrel {
namespace {

// Large stdio buffers: stages read and write small fixed records. The buffer is supplied, since
// glibc ignores the size when setvbuf is left to allocate (it keeps one block, 4 KiB), and every
// record would then cost the file system a call per 4 KiB.
constexpr size_t kStreamBuffer = 1 << 18;

void UseLargeBuffer(std::FILE* file, std::unique_ptr<char[]>& buffer) {
  if (!buffer) buffer = std::make_unique_for_overwrite<char[]>(kStreamBuffer);
  std::setvbuf(file, buffer.get(), _IOFBF, kStreamBuffer);
}

}  // namespace

bool InputFile::Open(const std::string& path) {
  file_.reset(std::fopen(path.c_str(), "rb"));
  at_end_ = false;
  if (!file_) return false;
  UseLargeBuffer(file_.get(), buffer_);
  return true;
}

int64_t InputFile::Size() {
  if (!file_) return -1;
  const off_t here = ftello(file_.get());
  if (here < 0 || fseeko(file_.get(), 0, SEEK_END) != 0) return -1;
  const off_t size = ftello(file_.get());
  if (fseeko(file_.get(), here, SEEK_SET) != 0) return -1;
  return static_cast<int64_t>(size);
}

size_t InputFile::Read(void* buffer, size_t size) {
  if (!file_) {
    at_end_ = true;
    return 0;
  }
  const size_t got = std::fread(buffer, 1, size, file_.get());
  if (got < size) at_end_ = true;
  return got;
}

bool InputFile::Failed() const {
  return file_ && std::ferror(file_.get()) != 0;
}

void InputFile::Close() {
  file_.reset();
}

bool OutputFile::Create(const std::string& path) {
  file_.reset(std::fopen(path.c_str(), "wb"));
  ok_ = file_ != nullptr;
  if (file_) UseLargeBuffer(file_.get(), buffer_);
  return ok_;
}

bool OutputFile::Write(const void* buffer, size_t size) {
  if (!file_ || std::fwrite(buffer, 1, size, file_.get()) != size) ok_ = false;
  return ok_;
}

bool OutputFile::Close() {
  if (!file_) return ok_;
  if (std::fflush(file_.get()) != 0) ok_ = false;
  if (std::fclose(file_.release()) != 0) ok_ = false;
  return ok_;
}

}  // namespace vantrel
