#include "cli/product_delivery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

namespace vantrel::cli {
namespace {

constexpr size_t kCopyBuffer = 1 << 20;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Delivery Failed(const std::string& what, const std::string& path, int error) {
  return {false, "", what + " '" + path + "': " + std::strerror(error)};
}

// A file descriptor closed when it goes out of scope.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now and tells whether the close succeeded.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// Copies the open `from` into the open `to`; errno tells why when it fails.
bool CopyContents(int from, int to) {
  std::vector<char> buffer(kCopyBuffer);
  for (;;) {
    const ssize_t got = ::read(from, buffer.data(), buffer.size());
    if (got == 0) return true;
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (!WriteAll(to, buffer.data(), static_cast<size_t>(got))) return false;
  }
}

}  // namespace

Delivery MoveProductInto(const std::string& product, const std::string& folder) {
  const std::string target = folder + "/" + BaseName(product);
  if (::rename(product.c_str(), target.c_str()) == 0) return {true, target, ""};
  if (errno == EXDEV) return CopyProductInto(product, folder);
  return Failed("cannot move the product to", target, errno);
}

Delivery CopyProductInto(const std::string& product, const std::string& folder) {
  const std::string name = BaseName(product);
  const std::string target = folder + "/" + name;
  Descriptor source(::open(product.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat source_status {};
  if (source.get() < 0 || ::fstat(source.get(), &source_status) != 0)
    return Failed("cannot read the product", product, errno);

  std::string temporary = folder + "/." + name + ".XXXXXX";
  Descriptor copy(::mkostemp(temporary.data(), O_CLOEXEC));
  if (copy.get() < 0) return Failed("cannot write in", folder, errno);
  const bool copied = CopyContents(source.get(), copy.get()) &&
                      ::fchmod(copy.get(), source_status.st_mode & 07777) == 0 &&
                      ::fsync(copy.get()) == 0;
  const int copy_error = errno;
  if (!copy.Close() || !copied) {
    const int error = copied ? errno : copy_error;
    ::unlink(temporary.c_str());
    return Failed("cannot copy the product to", temporary, error);
  }
  if (::rename(temporary.c_str(), target.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return Failed("cannot move the product to", target, error);
  }
  ::unlink(product.c_str());
  return {true, target, ""};
}

}  // namespace vantrel::cli
