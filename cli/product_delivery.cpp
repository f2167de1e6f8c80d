#include "cli/product_delivery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/replacement_file.h"

namespace vantrel::cli {
namespace {

constexpr size_t kCopyBuffer = 1 << 20;

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

Delivery Failed(const std::string& what, const std::string& path, int error) {
  return {false, "", what + " '" + path + "': " + std::strerror(error)};
}

// The product already in the folder it is to go to: it stays, when it is there.
Delivery Unmoved(const std::string& product, const std::string& what) {
  struct stat status {};
  if (::lstat(product.c_str(), &status) != 0)
    return Failed("cannot read the " + what, product, errno);
  return {true, product, ""};
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

bool SameFolder(const std::string& a, const std::string& b) {
  struct stat first {
  }, second{};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         S_ISDIR(first.st_mode) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

Delivery MoveProductInto(const std::string& product, const std::string& folder,
                         const std::string& what) {
  // The same folder under another path: a rename would do nothing, and across a second mount of
  // the folder it fails with EXDEV, where a copy onto itself followed by the removal of "the
  // original" would lose the product.
  if (SameFolder(FolderOf(product), folder)) return Unmoved(product, what);
  const std::string target = folder + "/" + BaseName(product);
  if (::rename(product.c_str(), target.c_str()) == 0) return {true, target, ""};
  if (errno == EXDEV) return CopyProductInto(product, folder, what);
  return Failed("cannot move the " + what + " to", target, errno);
}

Delivery CopyProductInto(const std::string& product, const std::string& folder,
                         const std::string& what) {
  if (SameFolder(FolderOf(product), folder)) return Unmoved(product, what);
  const std::string target = folder + "/" + BaseName(product);
  Descriptor source(::open(product.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat source_status {};
  if (source.get() < 0 || ::fstat(source.get(), &source_status) != 0)
    return Failed("cannot read the " + what, product, errno);

  ReplacementFile copy(target);
  if (!copy.Open(source_status.st_mode & 07777))
    return {false, "", "cannot write in '" + folder + "': " + copy.Error()};
  // The bits exactly as the original's, whatever the umask.
  const bool copied = CopyContents(source.get(), copy.Descriptor()) &&
                      ::fchmod(copy.Descriptor(), source_status.st_mode & 07777) == 0;
  if (!copied) return Failed("cannot copy the " + what + " to", copy.TemporaryPath(), errno);
  if (!copy.Commit())
    return {false, "", "cannot move the " + what + " to '" + target + "': " + copy.Error()};
  // The original goes only when it is still the file that was copied and not the copy itself.
  struct stat now {
  }, delivered{};
  if (::lstat(product.c_str(), &now) == 0 && ::stat(target.c_str(), &delivered) == 0 &&
      SameFile(now, source_status) && !SameFile(now, delivered))
    ::unlink(product.c_str());
  return {true, target, ""};
}

}  // namespace vantrel::cli
